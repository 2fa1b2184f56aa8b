// The probe and the loop against a fake process table, sleep and launcher.
#include "watch/loop.h"
#include "watch/ops.h"
#include "watch/probe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <sstream>
#include <utility>

namespace {

const char worker[] = "Quorvank-LT-7.exe";

struct Process {
    ProcessId id;
    std::string image;
};

struct FakeSystem {
    std::string scans;                         // the world of each next cycle, see nextTable
    std::vector<ProcessId> ids;                // the process list; empty: it cannot be taken
    std::map<HeldProcess, Process> processes;  // those that can be opened, by their handle
    std::set<HeldProcess> held;
    bool reuseBeforeHold = false;
    std::vector<ProcessId> opened;
    std::string calls;  // 'L' list taken, 'h' held process asked, ' ' sleep
    bool scriptPresent = true;
    int launches = 0;
} fake;
HeldProcess lastHandle = 0;  // handles are never reused, not even from test to test

// A new process under id, in place of any that had it.
void start(ProcessId id, const char* image) {
    for (auto p = fake.processes.begin(); p != fake.processes.end();) {
        p = p->second.id == id ? fake.processes.erase(p) : std::next(p);
    }
    fake.processes[++lastHandle] = {id, image};
}

Process* find(ProcessId id) {
    for (auto& p : fake.processes) {
        if (p.second.id == id) {
            return &p.second;
        }
    }
    return nullptr;
}

// Sets the world for the next cycle from the next character of scans. Beside init (4), id 9 is:
// '+' the worker (the same process while it runs), '*' a new worker in place of the last one,
// '-' another program, 'x' the worker's own process, now running another image, 'r' the worker,
// but by the time it is opened another program has its identifier. '.' nothing, and no list.
void nextTable() {
    if (fake.scans.empty()) {
        return;
    }
    const char c = fake.scans[0];
    fake.scans.erase(0, 1);
    fake.ids = c == '.' ? std::vector<ProcessId>{} : std::vector<ProcessId>{4, 9};
    fake.reuseBeforeHold = c == 'r';
    if (c == '.') {
        fake.processes.clear();
        return;
    }
    if (find(4) == nullptr) {
        start(4, "init");
    }
    Process* nine = find(9);
    const std::string image = std::strchr("+*r", c) ? worker : "sh";
    if (c == 'x' && nine != nullptr) {
        nine->image = image;
    } else if (c == '*' || nine == nullptr || nine->image != image) {
        start(9, image.c_str());
    }
}

bool nameOf(const Process* p, char* name, std::size_t size) {
    return p != nullptr && std::snprintf(name, size, "%s", p->image.c_str()) > 0;
}

const WatchOps fakeOps = {
    [](std::vector<ProcessId>& ids) {
        fake.calls += 'L';
        ids = fake.ids;
        return !fake.ids.empty();
    },
    [](ProcessId id, char* name, std::size_t size) {
        fake.opened.push_back(id);
        return nameOf(find(id), name, size);
    },
    [](ProcessId id, char* name, std::size_t size) {
        if (std::exchange(fake.reuseBeforeHold, false)) {
            start(id, "sh");
        }
        for (const auto& p : fake.processes) {
            if (p.second.id == id && nameOf(&p.second, name, size)) {
                fake.held.insert(p.first);
                return p.first;
            }
        }
        return noHeldProcess;
    },
    [](HeldProcess process, char* name, std::size_t size) {
        fake.calls += 'h';
        auto p = fake.processes.find(process);
        return p != fake.processes.end() && nameOf(&p->second, name, size);
    },
    [](HeldProcess process) { fake.held.erase(process); },
    [](const std::string&) { return fake.scriptPresent; },
    [](const std::string&) { return ++fake.launches > 0; },
    [](std::uint64_t) {
        fake.calls += ' ';
        nextTable();  // the world changes while the watchdog sleeps
    },
};

class Watch : public testing::Test {
protected:
    void SetUp() override {
        fake = FakeSystem();
        watchOps = fakeOps;
    }
    void TearDown() override {  // the probe lets go of a worker it still holds
        fake.processes.clear();
        bool found = false;
        scanForWorker(worker, found);
    }
    bool scan(bool& found) {
        fake.opened.clear();
        return scanForWorker(worker, found);
    }
};

TEST_F(Watch, ProbeMatchesWholeNameByteForByte) {
    const char* images[] = {worker,  "quorvank-lt-7.exe", "Quorvank-LT-7.exe ", "Quorvank-LT-7",
                            nullptr, "fourteen-chars"};
    for (ProcessId id = 1; id <= 6; ++id) {
        if (images[id - 1] != nullptr) {
            start(id, images[id - 1]);
        }
        EXPECT_EQ(isProcessRunning(worker, id), id == 1) << id;  // 5 cannot be opened
    }
    EXPECT_FALSE(isProcessRunning("fourteen-chars", 6));  // 14 characters never match
    EXPECT_FALSE(isProcessRunning("unknown", 5));         // nor does an unreadable image
}

TEST_F(Watch, ScanVerdictCarryOverAndFirstMatch) {
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
    start(4900, worker);
    start(4901, worker);
    found = false;
    EXPECT_TRUE(scan(found));
    EXPECT_TRUE(found);
    EXPECT_EQ(fake.opened.size(), 4801u);
    EXPECT_EQ(fake.opened.back(), 4900u);
}

TEST_F(Watch, LoopStateTable) {
    // R: "is running", S: restart line, F: "Could not get process list" (the list fails once
    // the scans are used up), X: the script was gone at restart time.
    const struct {
        const char* scans;
        const char* events;
        const char* calls;
        bool scriptPresent = true;
    } cases[] = {
        {"", "F", "L"},
        {"+---", "RSX", "L hL L L", false},
        {"+++", "RF", "L h h hL"},
        {"-+-", "RF", "L L hL L"},
        {"---", "SF", "L L L L"},
        {"-------", "SSF", "L L L L L L L L"},
        {"+---+++", "RSRF", "L hL L L L h h hL"},
        {"+--+-+--+", "RF", "L hL L L hL L hL L L hL"},
        {"---+-+---", "SRSF", "L L L L hL L hL L L L"},
        {"--+---", "RSF", "L L L hL L L L"},
        {"+*--", "RF", "L hL hL L L"},  // a new worker: found by the walk of the same cycle
        {"+xxx", "RSF", "L hL L L L"},  // the held process changed its image
        {"r--", "RF", "L L L L"},       // the identifier was reused before the worker was held
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
        EXPECT_EQ(fake.calls, c.calls) << c.scans;  // a sleep after each cycle that goes on
        EXPECT_TRUE(fake.held.empty()) << c.scans;
        const bool stoppedAtLaunch = events.back() == 'X';
        EXPECT_EQ(fake.launches, std::count(events.begin(), events.end(), 'S') - stoppedAtLaunch);
    }
}

}  // namespace
