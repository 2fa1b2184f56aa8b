// The name rule and the walk of the process list, against a fake process table.
#include "watch/ops.h"
#include "watch/probe.h"

#include <gtest/gtest.h>

#include <map>

namespace {

const char worker[] = "Quorvank-LT-7.exe";
std::vector<ProcessId> fakeIds;
std::map<ProcessId, std::string> fakeImages;  // processes without an entry cannot be opened
int heldCount = 0;                            // processes held and not yet let go
const char* reusedBy = nullptr;  // when set, the image of whoever took an identifier to be held

class Probe : public ::testing::Test {
protected:
    void SetUp() override {
        saved = watchOps;
        watchOps.listProcessIds = [](std::vector<ProcessId>& ids) {
            ids = fakeIds;
            return true;
        };
        watchOps.readImageBaseName = [](ProcessId id, char* name, std::size_t size) {
            const auto image = fakeImages.find(id);
            return image != fakeImages.end() &&
                   std::snprintf(name, size, "%s", image->second.c_str()) > 0;
        };
        // Nothing is held, so that every scan walks the list.
        watchOps.holdProcess = [](ProcessId, char*, std::size_t) { return noHeldProcess; };
    }
    void TearDown() override {
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

// The worker found is held and asked alone at the next scan. Ended or running another program, it
// is let go and the list walked in that scan. A process that took the worker's identifier between
// the walk and the hold is not held.
TEST_F(Probe, HeldWorkerLetGoOnceEndedOrExecedAndAReusedIdentifierNotHeld) {
    watchOps.holdProcess = [](ProcessId id, char* name, std::size_t size) {
        ++heldCount;
        std::snprintf(name, size, "%s", reusedBy ? reusedBy : fakeImages[id].c_str());
        return static_cast<HeldProcess>(id);
    };
    // A held process's handle is its identifier.
    watchOps.readHeldImageBaseName = [](HeldProcess process, char* name, std::size_t size) {
        return watchOps.readImageBaseName(static_cast<ProcessId>(process), name, size);
    };
    watchOps.releaseProcess = [](HeldProcess) { --heldCount; };
    bool found = false;
    fakeIds = {9};
    fakeImages = {{9, worker}};
    reusedBy = "sh";  // identifier 9 is sh's by the time it is held
    EXPECT_TRUE(scanForWorker(worker, found) && found);  // as the walk saw it
    EXPECT_EQ(heldCount, 0);
    reusedBy = nullptr;
    EXPECT_TRUE(scanForWorker(worker, found) && found);  // held from now on
    fakeImages.erase(9);                                 // the worker ended
    EXPECT_TRUE(scanForWorker(worker, found) && !found);
    fakeImages[9] = worker;
    EXPECT_TRUE(scanForWorker(worker, found) && found);
    fakeImages[9] = "sh";  // the worker runs another program
    EXPECT_TRUE(scanForWorker(worker, found) && !found);
}
