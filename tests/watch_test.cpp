// The probe and the loop against a fake process table, wait and launcher.
#include "watch/exit_status.h"
#include "watch/loop.h"
#include "watch/ops.h"
#include "watch/probe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <sstream>

namespace {

const char worker[] = "Quorvank-LT-7.exe";

// The world the watch code sees. Process 4 is init; process 9 is described by one letter per
// cycle (see nextCycle).
struct FakeSystem {
    std::string cycles;  // what process 9 is in each next cycle
    char now = '.';      // what it is in this cycle
    std::vector<ProcessId> ids;
    std::map<ProcessId, std::string> images;  // processes without an entry cannot be opened
    int held = 0;
    int launches = 0;
    std::uint64_t waitedMilliseconds = 0;
    bool scriptPresent = true;
} fake;

// A lower-case letter: the worker, the same process while the letter stays; its capital: that
// process running another image; '-': another program; 'r': the worker, but the identifier passes
// to another program before it can be held; '.': no process list; '!': a stop is requested.
// Once the letters are used up the list cannot be taken.
void nextCycle() {
    fake.now = fake.cycles.empty() ? '.' : fake.cycles[0];
    fake.cycles.erase(0, 1);
    fake.ids = fake.now == '.' ? std::vector<ProcessId>{} : std::vector<ProcessId>{4, 9};
    fake.images = {{4, "init"}, {9, std::islower(fake.now) ? worker : "sh"}};
}

bool nameOf(ProcessId id, char* name, std::size_t size) {
    auto image = fake.images.find(id);
    return image != fake.images.end() && std::snprintf(name, size, "%s", image->second.c_str()) > 0;
}

// Only process 9 can be held; its handle is its letter.
const WatchOps fakeOps = {
    [](std::vector<ProcessId>& ids) {
        ids = fake.ids;
        return !fake.ids.empty();
    },
    [](ProcessId id, char* name, std::size_t size) { return nameOf(id, name, size); },
    [](ProcessId id, char* name, std::size_t size) {
        if (id != 9 || !nameOf(fake.now == 'r' ? 4 : id, name, size)) {
            return noHeldProcess;
        }
        ++fake.held;
        return static_cast<HeldProcess>(std::tolower(fake.now));
    },
    [](HeldProcess process, char* name, std::size_t size) {
        return process == std::tolower(fake.now) && nameOf(9, name, size);
    },
    [](HeldProcess) { --fake.held; },
    [](const std::string&) { return fake.scriptPresent; },
    [](const std::string&) { return ++fake.launches > 0; },
    [](std::uint64_t milliseconds) {
        if (fake.now == '.') {  // the loop went on without a process list: end it here
            ADD_FAILURE() << "waited after the process list could not be taken";
            return true;
        }
        fake.waitedMilliseconds += milliseconds;
        nextCycle();  // the world changes while the watchdog waits
        return fake.now == '!';
    },
};

class Watch : public ::testing::Test {
protected:
    void SetUp() override {
        saved = watchOps;
        watchOps = fakeOps;
        fake = FakeSystem();
    }
    void TearDown() override {
        // A scan of an empty table lets go of a worker the probe still holds.
        fake = FakeSystem();
        bool found = false;
        scanForWorker(worker, found);
        watchOps = saved;
    }
    WatchOps saved;
};

// The loop's lines, one letter each: R "is running", S the restart line, F "Could not get process
// list", X the script gone at restart time.
std::string eventLetters(const std::string& output) {
    std::string letters;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        const std::string message = line.size() > 22 ? line.substr(22) : line;
        letters += message == "Quorvank-LT-7.exe is running"                        ? 'R'
                   : message == "Quorvank-LT-7.exe not running - starting start.sh" ? 'S'
                   : message == "Could not get process list"                        ? 'F'
                   : line == "File start.sh does not exist."                        ? 'X'
                                                                                    : '?';
    }
    return letters;
}

}  // namespace

TEST_F(Watch, ProbeMatchesTheWholeNameAndTheWalkCarriesOverAndStopsAtTheFirst) {
    fake.images = {{1, worker},
                   {2, "Quorvank-LT-7.exE"},
                   {3, "Quorvank-LT-7.exe "},
                   {4, "Quorvank-LT-7"},
                   {6, "fourteen-chars"},
                   {7, "Quorvank-LT.exe"},
                   {8, "Quorvank-LT-7.exf"}};
    for (ProcessId id = 0; id <= 5; ++id) {
        EXPECT_EQ(isProcessRunning(worker, id), id == 1) << id;  // 0 and 5 cannot be opened
    }
    EXPECT_FALSE(isProcessRunning(worker, 8));                // the last letter differs
    EXPECT_FALSE(isProcessRunning("fourteen-chars", 6));      // 14 characters never match
    EXPECT_FALSE(isProcessRunning("Quorvank-LT-7.exe.", 1));  // nor a longer name
    EXPECT_TRUE(isProcessRunning("Quorvank-LT.exe", 7));      // the un-numbered worker, 15

    bool found = true;
    fake.ids = {0};  // nothing but identifier 0: never opened, the verdict carried over
    EXPECT_TRUE(scanForWorker(worker, found) && found);
    fake.ids = {0, 6, 1, 2};  // the walk stops at the match: 2 does not undo it
    found = false;
    EXPECT_TRUE(scanForWorker(worker, found) && found);
}

TEST_F(Watch, LoopRestartsOnTheThirdMissAnnouncesOnceAndEndsOnFailureOrStop) {
    const struct {
        const char* cycles;
        const char* events;
        int status;
        int waits;  // of the interval, 3 s
    } cases[] = {
        {"", "F", exitFailure, 0},          {"a---", "RSX", exitFailure, 3},
        {"aaa", "RF", exitFailure, 3},      {"-a-", "RF", exitFailure, 3},
        {"--a--", "RF", exitFailure, 5},  // a sighting starts the count again
        {"-------", "SSF", exitFailure, 7}, {"a---bbb", "RSRF", exitFailure, 7},
        {"ab--", "RF", exitFailure, 4},   // the held worker ended, another one runs
        {"aAAA", "RSF", exitFailure, 4},  // the held worker now runs another image
        {"r--", "RF", exitFailure, 3},    // what was opened is not the worker seen
        {"a!", "R", exitStopped, 1},      // no line for a stop
    };
    const WatchSettings settings = {worker, "start.sh", 7, 3};
    for (const auto& c : cases) {
        fake = FakeSystem();
        fake.cycles = c.cycles;
        nextCycle();
        fake.scriptPresent = std::string(c.events).back() != 'X';
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(runWatchLoop(settings), c.status) << c.cycles;
        const std::string events = eventLetters(::testing::internal::GetCapturedStdout());
        EXPECT_EQ(events, c.events) << c.cycles;
        EXPECT_EQ(fake.waitedMilliseconds, c.waits * 3000u) << c.cycles;
        const auto restarts = std::count(events.begin(), events.end(), 'S');
        EXPECT_EQ(fake.launches, events.back() == 'X' ? restarts - 1 : restarts) << c.cycles;
        EXPECT_EQ(fake.held, c.status == exitStopped ? 1 : 0) << c.cycles;
    }
}
