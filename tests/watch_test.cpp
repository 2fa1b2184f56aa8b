// The probe and the loop against a fake process table, sleep and launcher.
#include "watch/loop.h"
#include "watch/ops.h"
#include "watch/probe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>

const char worker[] = "Quorvank-LT-7.exe";

struct FakeSystem {
    std::string scans;           // what identifier 9 is in each next cycle, see nextTable
    char now = '.';              // what it is in this cycle
    std::vector<ProcessId> ids;  // the process list
    std::map<ProcessId, std::string> images;  // processes without an entry cannot be opened
    std::string calls;                        // 'L' list taken, 'h' held process asked, '/' sleep
    int holds = 0, launches = 0;
    bool scriptPresent = true;
} fake;

// Identifier 9 beside init (4): a letter is the worker, the same process while the letter stays;
// its capital is that process running another image; '-' another program; 'r' the worker, but
// the identifier passes to another program before it can be held. '.': no process, no list.
void nextTable() {
    if (fake.scans.empty()) {  // the loop went on after the list could not be taken
        std::abort();
    }
    fake.now = fake.scans[0];
    fake.scans.erase(0, 1);
    fake.ids = fake.now == '.' ? std::vector<ProcessId>{} : std::vector<ProcessId>{4, 9};
    fake.images = {{4, "init"}, {9, std::islower(fake.now) ? worker : "sh"}};
}

bool nameOf(ProcessId id, char* name, std::size_t size) {
    auto image = fake.images.find(id);
    return image != fake.images.end() && std::snprintf(name, size, "%s", image->second.c_str()) > 0;
}

// An empty table stands for a process list that cannot be taken. Only identifier 9 can be held;
// its handle is the process's letter.
const WatchOps fakeOps = {
    [](std::vector<ProcessId>& ids) {
        fake.calls += 'L';
        ids = fake.ids;
        return !fake.ids.empty();
    },
    [](ProcessId id, char* name, std::size_t size) { return nameOf(id, name, size); },
    [](ProcessId id, char* name, std::size_t size) {
        // With 'r', by now identifier 9 is another program (named like init).
        if (id != 9 || !nameOf(fake.now == 'r' ? 4 : id, name, size)) {
            return noHeldProcess;
        }
        ++fake.holds;
        return static_cast<HeldProcess>(std::tolower(fake.now));
    },
    [](HeldProcess process, char* name, std::size_t size) {
        fake.calls += 'h';
        return process == std::tolower(fake.now) && nameOf(9, name, size);
    },
    [](HeldProcess) { --fake.holds; },
    [](const std::string&) { return fake.scriptPresent; },
    [](const std::string&) { return ++fake.launches > 0; },
    [](std::uint64_t) {
        fake.calls += '/';
        nextTable();  // the world changes while the watchdog sleeps
        return false;
    },
};

void reset() {
    fake = FakeSystem();
    watchOps = fakeOps;
}

TEST(Watch, ProbeMatchesWholeNameAndScanCarriesOverStopsAtFirst) {
    reset();
    fake.images = {{1, worker},          {2, "Quorvank-LT-7.exE"}, {3, "Quorvank-LT-7.exe "},
                   {4, "Quorvank-LT-7"}, {6, "fourteen-chars"},    {7, "Quorvank-LT.exe"}};
    for (ProcessId id = 0; id <= 5; ++id) {
        EXPECT_EQ(isProcessRunning(worker, id), id == 1) << id;  // 0 and 5 cannot be opened
    }
    EXPECT_FALSE(isProcessRunning("fourteen-chars", 6));      // 14 characters never match
    EXPECT_FALSE(isProcessRunning("Quorvank-LT-7.exe.", 1));  // nor a longer name
    EXPECT_TRUE(isProcessRunning("Quorvank-LT.exe", 7));      // the un-numbered worker, 15

    bool found = true;
    fake.ids = {0};  // nothing but identifier 0: never opened, verdict carried over
    EXPECT_TRUE(scanForWorker(worker, found) && found);
    fake.ids = {0, 6, 1, 2};  // the walk stops at the match: 2 does not undo it
    found = false;
    EXPECT_TRUE(scanForWorker(worker, found) && found);
}

TEST(Watch, LoopStateTable) {
    // R: "is running", S: restart line, F: "Could not get process list" (once the scans are used
    // up), X: the script is gone at restart time (and only then). A held worker is asked alone
    // ("aaa"); ended ("-a-", "ab--") or running another image ("aAAA") it is let go and the list
    // walked in the same cycle. What is opened after the identifier passed on is never held
    // ("r--").
    const struct {
        const char *scans, *events, *calls;
    } cases[] = {
        {"", "F", "L"},
        {"a---", "RSX", "L/hL/L/L"},
        {"aaa", "RF", "L/h/h/hL"},
        {"-a-", "RF", "L/L/hL/L"},
        {"-------", "SSF", "L/L/L/L/L/L/L/L"},
        {"a---bbb", "RSRF", "L/hL/L/L/L/h/h/hL"},
        {"ab--", "RF", "L/hL/hL/L/L"},
        {"aAAA", "RSF", "L/hL/L/L/L"},
        {"r--", "RF", "L/L/L/L"},
    };
    const WatchSettings settings = {worker, "start.sh"};
    for (const auto& c : cases) {
        reset();
        fake.scans = std::string(c.scans) + ".";
        nextTable();
        fake.scriptPresent = std::string(c.events).back() != 'X';
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
        EXPECT_EQ(fake.holds, 0) << c.scans;
        EXPECT_EQ(fake.launches + (events.back() == 'X'),
                  std::count(events.begin(), events.end(), 'S'));
    }
}
