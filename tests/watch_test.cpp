// The probe and the loop against a fake process table, sleep and launcher.
#include "watch/loop.h"
#include "watch/ops.h"
#include "watch/probe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <sstream>

namespace {

const char worker[] = "Quorvank-LT-7.exe";

struct FakeSystem {
    std::string scans;  // per cycle: '+' worker listed, '-' absent, '.' no list
    std::vector<ProcessId> ids;
    std::map<ProcessId, std::string> images;  // processes without an entry cannot be opened
    std::vector<ProcessId> opened;
    bool scriptPresent = true;
    int launches = 0;
    int sleeps = 0;
} fake;

// Sets the process table for the next cycle from the next character of scans.
void nextTable() {
    if (fake.scans.empty()) {
        return;
    }
    fake.images = {{4, "init"}, {9, fake.scans[0] == '+' ? worker : "sh"}};
    fake.ids = fake.scans[0] == '.' ? std::vector<ProcessId>{} : std::vector<ProcessId>{4, 9};
    fake.scans.erase(0, 1);
}

// An empty table stands for a process list that cannot be taken.
const WatchOps fakeOps = {
    [](std::vector<ProcessId>& ids) {
        ids = fake.ids;
        return !fake.ids.empty();
    },
    [](ProcessId id, char* name, std::size_t size) {
        fake.opened.push_back(id);
        auto image = fake.images.find(id);
        return image != fake.images.end() &&
               std::snprintf(name, size, "%s", image->second.c_str()) > 0;
    },
    [](const std::string&) { return fake.scriptPresent; },
    [](const std::string&) { return ++fake.launches > 0; },
    [](std::uint64_t) {
        ++fake.sleeps;
        nextTable();  // the world changes while the watchdog sleeps
    },
    [](ProcessId id, bool& listed) {
        listed = std::find(fake.ids.begin(), fake.ids.end(), id) != fake.ids.end();
        return !fake.ids.empty();
    },
};

class Watch : public testing::Test {
protected:
    void SetUp() override {
        fake = FakeSystem();
        watchOps = fakeOps;
    }
    bool scan(bool& found) {
        fake.opened.clear();
        return scanForWorker(worker, found);
    }
};

TEST_F(Watch, ProbeMatchesWholeNameByteForByte) {
    fake.images = {{1, worker},
                   {2, "quorvank-lt-7.exe"},
                   {3, "Quorvank-LT-7.exe "},
                   {4, "Quorvank-LT-7"},
                   {6, "fourteen-chars"}};
    const bool expected[] = {false, true, false, false, false, false};
    for (ProcessId id = 0; id <= 5; ++id) {
        EXPECT_EQ(isProcessRunning(worker, id), expected[id]) << id;  // 0 and 5 cannot be opened
    }
    EXPECT_FALSE(isProcessRunning("fourteen-chars", 6));  // 14 characters never match
    EXPECT_FALSE(isProcessRunning("unknown", 5));         // nor does an unreadable image
}

TEST_F(Watch, ScanVerdictCarryOverFirstMatchAndRememberedWorker) {
    bool found = true;
    EXPECT_FALSE(scan(found));  // no process list: verdict untouched
    EXPECT_TRUE(found);
    fake.ids = {0};  // nothing but identifier 0: never opened, verdict carried over
    EXPECT_TRUE(scan(found));
    EXPECT_TRUE(found);
    EXPECT_TRUE(fake.opened.empty());

    // Far beyond 2048 processes; two matches: the walk stops at the first.
    for (ProcessId id = 100; id < 5100; ++id) {
        fake.ids.push_back(id);
    }
    fake.images = {{4900, worker}, {4901, worker}};
    found = false;
    EXPECT_TRUE(scan(found));
    EXPECT_TRUE(found);
    EXPECT_EQ(fake.opened.size(), 4801u);
    EXPECT_EQ(fake.opened.back(), 4900u);
    EXPECT_TRUE(scan(found));  // the remembered worker is confirmed first, alone
    EXPECT_EQ(fake.opened, std::vector<ProcessId>{4900});

    fake.images = {{4900, "sh"}, {4950, worker}};  // identifier reused by another program
    EXPECT_TRUE(scan(found));
    EXPECT_TRUE(found);
    EXPECT_EQ(fake.opened.back(), 4950u);
    fake.ids.clear();  // no list while a worker is remembered: no verdict either
    EXPECT_FALSE(scan(found));
    EXPECT_TRUE(found);
    fake.ids = {0, 200, 300};  // worker gone from the list: not even opened
    EXPECT_TRUE(scan(found));
    EXPECT_FALSE(found);
    EXPECT_EQ(fake.opened, (std::vector<ProcessId>{200, 300}));
}

TEST_F(Watch, LoopStateTable) {
    // R: "is running", S: restart line, F: "Could not get process list" (the list fails once
    // the scans are used up), X: the script was gone at restart time. Every cycle that does not
    // end the watchdog is followed by one sleep.
    const struct {
        const char* scans;
        const char* events;
        bool scriptPresent = true;
    } cases[] = {
        {"", "F"},           {"+---", "RSX", false}, {"+++", "RF"},
        {"-+-", "RF"},       {"---", "SF"},          {"-------", "SSF"},
        {"+---+++", "RSRF"}, {"+--+-+--+", "RF"},    {"---+-+---", "SRSF"},
        {"--+---", "RSF"},
    };
    for (const auto& c : cases) {
        SetUp();
        fake.scans = std::string(c.scans) + ".";
        nextTable();
        fake.scriptPresent = c.scriptPresent;
        WatchSettings settings;
        settings.processName = worker;
        settings.scriptPath = "start.sh";
        testing::internal::CaptureStdout();
        EXPECT_EQ(runWatchLoop(settings), 1);
        std::string events;
        std::istringstream lines(testing::internal::GetCapturedStdout());
        for (std::string line; std::getline(lines, line);) {
            events += line == "File start.sh does not exist."                                  ? 'X'
                      : line.find("] Quorvank-LT-7.exe is running") == 20                      ? 'R'
                      : line.find("] Quorvank-LT-7.exe not running - starting start.sh") == 20 ? 'S'
                      : line.find("] Could not get process list") == 20                        ? 'F'
                                                                        : '?';
        }
        EXPECT_EQ(events, c.events) << c.scans;
        const bool stoppedAtLaunch = events.back() == 'X';
        EXPECT_EQ(fake.launches, std::count(events.begin(), events.end(), 'S') - stoppedAtLaunch);
        EXPECT_EQ(fake.sleeps, static_cast<int>(std::strlen(c.scans)) - stoppedAtLaunch);
    }
}

}  // namespace
