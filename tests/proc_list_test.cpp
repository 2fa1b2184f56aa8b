// The Linux process list against a real child process, before and after it is reaped.
#include "platform/platform.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

namespace {

TEST(ProcessList, HoldsALiveChildUntilItIsReaped) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        pause();
        _exit(0);
    }
    std::vector<ProcessId> ids;
    ASSERT_TRUE(listProcessIds(ids));
    EXPECT_NE(std::find(ids.begin(), ids.end(), static_cast<ProcessId>(child)), ids.end());
    EXPECT_EQ(std::find(ids.begin(), ids.end(), 0u), ids.end());

    // The first answer looks through the table, later ones read the remembered entry only.
    for (int round = 0; round < 3; ++round) {
        bool listed = false;
        EXPECT_TRUE(isProcessListed(static_cast<ProcessId>(child), listed));
        EXPECT_TRUE(listed) << "round " << round;
    }

    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    bool listed = true;
    EXPECT_TRUE(isProcessListed(static_cast<ProcessId>(child), listed));
    EXPECT_FALSE(listed);
    EXPECT_TRUE(isProcessListed(static_cast<ProcessId>(getpid()), listed));
    EXPECT_TRUE(listed);
}

}  // namespace
