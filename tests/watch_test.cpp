// The probe and the loop against a fake process table, sleep and launcher.
#include "log/log.h"
#include "watch/loop.h"
#include "watch/ops.h"
#include "watch/probe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>

namespace {

struct FakeSystem {
    bool listFails = false;
    std::vector<ProcessId> ids;
    std::map<ProcessId, std::string> images;  // processes without an entry cannot be opened
    std::vector<ProcessId> opened;
    bool scriptPresent = true;
    int launches = 0;
    int sleeps = 0;
};

FakeSystem fake;

const WatchOps fakeOps = {
    [](std::vector<ProcessId>& ids) {
        ids = fake.ids;
        return !fake.listFails;
    },
    [](ProcessId id, char* name, std::size_t size) {
        fake.opened.push_back(id);
        auto image = fake.images.find(id);
        if (image == fake.images.end()) {
            return false;
        }
        std::snprintf(name, size, "%s", image->second.c_str());
        return true;
    },
    [](const std::string&) { return fake.scriptPresent; },
    [](const std::string&) {
        ++fake.launches;
        return true;
    },
    [](std::uint64_t) { ++fake.sleeps; },
    [](ProcessId id, bool& listed) {
        listed = std::find(fake.ids.begin(), fake.ids.end(), id) != fake.ids.end();
        return !fake.listFails;
    },
};

class Watch : public testing::Test {
protected:
    void SetUp() override {
        fake = FakeSystem();
        watchOps = fakeOps;
        settings.processName = "Quorvank-LT-7.exe";
        settings.scriptPath = "start.sh";
    }
    // Runs one cycle with the worker present or not and returns what it logged.
    std::string cycle(bool workerPresent, bool expectContinue = true) {
        fake.ids = {4, 9};
        fake.images = {{4, "init"}};
        if (workerPresent) {
            fake.images[9] = settings.processName;
        }
        testing::internal::CaptureStdout();
        EXPECT_EQ(runWatchCycle(settings, state), expectContinue);
        return testing::internal::GetCapturedStdout();
    }
    // Runs cycles in order (operands of + would run in any order) and returns what they logged.
    std::string cycles(std::initializer_list<bool> present) {
        std::string logged;
        for (bool workerPresent : present) {
            logged += cycle(workerPresent);
        }
        return logged;
    }
    bool scan(bool& found) {
        fake.opened.clear();
        return scanForWorker(settings.processName, found);
    }
    WatchSettings settings;
    LoopState state;
};

bool contains(const std::string& text, const char* part) {
    return text.find(part) != std::string::npos;
}

TEST_F(Watch, ProbeMatchesWholeNameByteForByte) {
    fake.images = {{1, "Quorvank-LT-7.exe"},
                   {2, "quorvank-lt-7.exe"},
                   {3, "Quorvank-LT-7.exe "},
                   {4, "Quorvank-LT-7"}};
    EXPECT_TRUE(isProcessRunning("Quorvank-LT-7.exe", 1));
    EXPECT_FALSE(isProcessRunning("Quorvank-LT-7.exe", 2));
    EXPECT_FALSE(isProcessRunning("Quorvank-LT-7.exe", 3));
    EXPECT_FALSE(isProcessRunning("Quorvank-LT-7.exe", 4));
    EXPECT_FALSE(isProcessRunning("Quorvank-LT-7.exe", 5));  // cannot be opened
    // Names of 14 characters or fewer never match, even when equal.
    fake.images[6] = "fourteen-chars";
    EXPECT_FALSE(isProcessRunning("fourteen-chars", 6));
    // A process whose image cannot be read is "unknown", which matches nothing.
    EXPECT_FALSE(isProcessRunning("unknown", 5));
}

TEST_F(Watch, ScanVerdictCarryOverAndFirstMatch) {
    bool found = true;
    fake.listFails = true;
    EXPECT_FALSE(scan(found));
    EXPECT_TRUE(found);  // untouched by a failed enumeration
    fake.listFails = false;

    fake.ids = {0};  // nothing but identifier 0: never opened, verdict carried over
    EXPECT_TRUE(scan(found));
    EXPECT_TRUE(found);
    EXPECT_TRUE(fake.opened.empty());

    fake.ids = {0, 5, 6, 7, 8};
    fake.images = {{6, "Quorvank-LT-7.exe"}, {7, "Quorvank-LT-7.exe"}};
    found = false;
    EXPECT_TRUE(scan(found));
    EXPECT_TRUE(found);
    EXPECT_EQ(fake.opened, (std::vector<ProcessId>{5, 6}));  // stops at the first match

    fake.images.erase(6);
    fake.images.erase(7);
    EXPECT_TRUE(scan(found));
    EXPECT_FALSE(found);
}

TEST_F(Watch, RememberedWorkerIsConfirmedFirstButNeverTrustedBlindly) {
    fake.ids.resize(5000);
    for (ProcessId id = 0; id < 5000; ++id) {
        fake.ids[id] = id + 100;
    }
    fake.images = {{4900, "Quorvank-LT-7.exe"}};  // far beyond 2048 entries
    bool found = false;
    EXPECT_TRUE(scan(found));
    EXPECT_TRUE(found);
    EXPECT_TRUE(scan(found));
    EXPECT_TRUE(found);
    EXPECT_EQ(fake.opened, std::vector<ProcessId>{4900});

    fake.images = {{4900, "sh"}, {4950, "Quorvank-LT-7.exe"}};  // identifier reused
    EXPECT_TRUE(scan(found));
    EXPECT_TRUE(found);
    EXPECT_EQ(fake.opened.back(), 4950u);

    fake.listFails = true;  // the list cannot be taken: no verdict, even for the known worker
    EXPECT_FALSE(scan(found));
    EXPECT_TRUE(fake.opened.empty());
    fake.listFails = false;

    fake.ids = {200, 300};  // gone from the list: not even opened
    fake.images = {{4950, "Quorvank-LT-7.exe"}};
    EXPECT_TRUE(scan(found));
    EXPECT_FALSE(found);
    EXPECT_EQ(fake.opened, (std::vector<ProcessId>{200, 300}));
}

TEST_F(Watch, LoopRestartsOnThirdMissAndAnnouncesOncePerLaunch) {
    EXPECT_TRUE(contains(cycle(true), "] Quorvank-LT-7.exe is running\n"));
    EXPECT_EQ(cycle(true), "");

    // One or two misses followed by a sighting: nothing logged, count back to 0.
    EXPECT_EQ(cycles({false, false, true}), "");
    EXPECT_EQ(state.missCount, 0);

    EXPECT_EQ(cycles({false, false}), "");
    EXPECT_EQ(fake.launches, 0);
    EXPECT_TRUE(contains(cycle(false), "] Quorvank-LT-7.exe not running - starting start.sh\n"));
    EXPECT_EQ(fake.launches, 1);
    EXPECT_EQ(state.missCount, 0);

    // Still absent: the next launch comes three cycles later, not sooner.
    EXPECT_EQ(cycles({false, false}), "");
    EXPECT_FALSE(cycle(false).empty());
    EXPECT_EQ(fake.launches, 2);

    // Re-armed by the launch: the next sighting is announced, later ones are not.
    EXPECT_TRUE(contains(cycle(true), "is running"));
    EXPECT_EQ(cycle(true), "");
}

TEST_F(Watch, LoopStopsWhenListOrScriptIsGoneAndSleepsAfterEveryCycle) {
    fake.scriptPresent = false;
    for (int i = 0; i < 2; ++i) {
        cycle(false);
    }
    const std::string output = cycle(false, false);
    EXPECT_TRUE(
        contains(output, "not running - starting start.sh\nFile start.sh does not exist.\n"));

    fake = FakeSystem();
    fake.listFails = true;
    testing::internal::CaptureStdout();
    EXPECT_EQ(runWatchLoop(settings), 1);
    EXPECT_TRUE(contains(testing::internal::GetCapturedStdout(), "] Could not get process list\n"));
    EXPECT_EQ(fake.sleeps, 0);

    // Four cycles with a launch in the third, then a failed list: four sleeps.
    fake = FakeSystem();
    fake.ids = {3};
    static int cycles;
    cycles = 0;
    watchOps.listProcessIds = [](std::vector<ProcessId>& ids) {
        ids = fake.ids;
        return ++cycles <= 4;
    };
    testing::internal::CaptureStdout();
    EXPECT_EQ(runWatchLoop(settings), 1);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(fake.launches, 1);
    EXPECT_EQ(fake.sleeps, 4);
}

}  // namespace
