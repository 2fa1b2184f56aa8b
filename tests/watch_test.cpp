// The name rule, the walk of the process list and the held worker, against a fake process table,
// and the naming of a process whose image may not be read.
#include "platform/posix/image_name.h"
#include "watch/ops.h"
#include "watch/probe.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>

namespace {

const char worker[] = "Quorvank-LT-7.exe";
std::vector<ProcessId> fakeIds;
std::map<ProcessId, std::string> fakeImages;  // processes without an entry cannot be opened
// When set, the image of the process that holds an identifier by the time it is opened.
std::string takenBy;
int heldCount = 0;

bool nameOf(ProcessId id, char* name, std::size_t size) {
    const auto image = fakeImages.find(id);
    return image != fakeImages.end() && std::snprintf(name, size, "%s", image->second.c_str()) > 0;
}

class Probe : public ::testing::Test {
protected:
    void SetUp() override {
        saved = watchOps;
        watchOps.listProcessIds = [](std::vector<ProcessId>& ids) {
            ids = fakeIds;
            return !fakeIds.empty();
        };
        watchOps.readImageBaseName = nameOf;
        // A held process's handle is its identifier; its image is read again at every scan.
        watchOps.holdProcess = [](ProcessId id, char* name, std::size_t size) {
            if (!takenBy.empty()) {
                std::snprintf(name, size, "%s", takenBy.c_str());
            } else if (!nameOf(id, name, size)) {
                return noHeldProcess;
            }
            ++heldCount;
            return static_cast<HeldProcess>(id);
        };
        watchOps.readHeldImageBaseName = [](HeldProcess process, char* name, std::size_t size) {
            return nameOf(static_cast<ProcessId>(process), name, size);
        };
        watchOps.releaseProcess = [](HeldProcess) { --heldCount; };
    }
    void TearDown() override {
        // A scan of an empty table lets go of a worker the probe still holds.
        fakeIds = {0};
        fakeImages.clear();
        bool found = false;
        scanForWorker(worker, found);
        EXPECT_EQ(heldCount, 0);
        watchOps = saved;
    }
    WatchOps saved;
};

}  // namespace

TEST_F(Probe, MatchesTheWholeNameAndTheWalkCarriesOverAndStopsAtTheFirst) {
    fakeImages = {{1, worker},
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
    fakeIds = {0};  // nothing but identifier 0: never opened, the verdict carried over
    EXPECT_TRUE(scanForWorker(worker, found) && found);
    fakeIds = {0, 6, 1, 2};  // the walk stops at the match: 2 does not undo it
    found = false;
    EXPECT_TRUE(scanForWorker(worker, found) && found);
}

// A process whose image may not be read (another user's) is named from its kernel name, cut at
// 15 bytes, and its first argument, here from a directory laid out like /proc/<id>.
TEST(VisibleImageName, TheKernelNameAndTheFirstArgumentMustAgree) {
    using namespace std::string_literals;
    const struct {
        std::string comm, cmdline;
        const char* name;  // nullptr: not named
    } rows[] = {
        {"Quorvank-LT-7.e\n", "/srv/Quorvank-LT-7.exe\0--port\0"s, worker},
        {"Quorvank-LT-7.e\n", "Z:\\srv\\Quorvank-LT-7.exe\0"s, worker},  // under Wine
        {"sleep\n", "Quorvank-LT-7.exe\0--port\0"s, "sleep"},            // exec -a: another program
        {"Quorvank-LT-7.x\n", "./Quorvank-LT-7.exe\0"s, nullptr},        // the last byte differs
        {"Quorvank-LT-7.e\n", "", nullptr},  // a zombie has no arguments
    };
    char directory[] = "/tmp/zel-proc-XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    const int directoryFd = open(directory, O_RDONLY | O_DIRECTORY);
    const std::string comm = directory + "/comm"s;
    const std::string cmdline = directory + "/cmdline"s;
    for (const auto& row : rows) {
        std::ofstream(comm, std::ios::binary) << row.comm;
        std::ofstream(cmdline, std::ios::binary) << row.cmdline;
        char name[256] = "unknown";
        EXPECT_EQ(visibleImageBaseNameAt(directoryFd, "", name, sizeof name), row.name != nullptr);
        EXPECT_STREQ(name, row.name != nullptr ? row.name : "unknown") << row.comm;
    }
    close(directoryFd);
    std::filesystem::remove_all(directory);
}

// The worker found is held and asked alone while it runs. Ended, or running another program
// (exec), it is let go and the list walked in the same scan. A process that took the worker's
// identifier between the walk and the opening is never held.
TEST_F(Probe, HeldWorkerLetGoOnceEndedOrExecedAndAnImposterNeverHeld) {
    bool found = false;
    fakeIds = {4, 9};
    fakeImages = {{4, "init"}, {9, worker}};
    takenBy = "sh";
    EXPECT_TRUE(scanForWorker(worker, found) && found);  // what the walk saw counts this scan
    EXPECT_EQ(heldCount, 0);
    takenBy.clear();
    EXPECT_TRUE(scanForWorker(worker, found) && found);
    EXPECT_EQ(heldCount, 1);
    fakeIds.clear();  // no list could be taken: the held worker alone answers
    EXPECT_TRUE(scanForWorker(worker, found) && found);

    fakeIds = {4};
    fakeImages.erase(9);  // ended
    EXPECT_TRUE(scanForWorker(worker, found));
    EXPECT_FALSE(found);
    EXPECT_EQ(heldCount, 0);

    fakeIds = {4, 9};
    fakeImages[9] = worker;
    EXPECT_TRUE(scanForWorker(worker, found) && found);
    fakeImages[9] = "sh";  // the worker replaced itself with another program
    EXPECT_TRUE(scanForWorker(worker, found));
    EXPECT_FALSE(found);
    EXPECT_EQ(heldCount, 0);
}
