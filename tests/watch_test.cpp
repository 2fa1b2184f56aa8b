// The name rule and the walk of the process list, against a fake process table.
#include "watch/ops.h"
#include "watch/probe.h"

#include <gtest/gtest.h>

#include <map>

namespace {

const char worker[] = "Quorvank-LT-7.exe";
std::vector<ProcessId> fakeIds;
std::map<ProcessId, std::string> fakeImages;  // processes without an entry cannot be opened

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
