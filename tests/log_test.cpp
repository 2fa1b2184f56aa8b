// A timestamped line is written whole, whatever the length of its message.
#include "log/log.h"

#include <gtest/gtest.h>

TEST(Log, LineWholeWhateverItsLength) {
    for (std::size_t length : {999u, 1000u, 1001u, 1002u, 100000u}) {
        const std::string message(length, 'm');
        ::testing::internal::CaptureStdout();
        logMessage("%s", message.c_str());
        EXPECT_EQ(::testing::internal::GetCapturedStdout().substr(20), "] " + message + "\n");
    }
}
