#include "log/log.h"

#include <gtest/gtest.h>

TEST(LogLine, WholeWhateverTheLength) {
    for (std::size_t length : {999u, 1000u, 1001u, 1002u, 100000u}) {
        const std::string message(length, 'm');
        testing::internal::CaptureStdout();
        logMessage("%s", message.c_str());
        EXPECT_EQ(testing::internal::GetCapturedStdout().substr(20), "] " + message + "\n");
    }
}

// A log file in memory that takes nothing while full. (Short writes are left to the full-disk
// scenario of the end-to-end tests.)
std::string content;
bool full = false;

TEST(LogFile, LinesKeptInOrderWhileTheFileIsFullTheOldestDroppedPastTheBoundAndCounted) {
    logFileOps.openAppendFile = [](const char*, AppendFile& file) { return file.handle = 3, true; };
    logFileOps.isFileAtName = [](const AppendFile&, const char*) { return true; };
    logFileOps.appendToFile = [](AppendFile&, const char* data, std::size_t size) {
        return full ? std::int64_t{-1}
                    : static_cast<std::int64_t>(content.append(data, size), size);
    };
    ASSERT_TRUE(openLogFile(0));
    full = logFileOpen = true;
    std::string kept;
    for (std::size_t n = 0; n < logBacklogLimit / 1024 + 2; ++n) {
        const std::string line = std::to_string(n % 10) + std::string(1022, 'x') + "\n";
        writeLogFile(line.c_str());
        kept += n < 2 ? "" : line;
    }
    full = false;
    retryLogFile();
    writeLogFile("last\n");
    EXPECT_EQ(content.substr(22),
              "2 lines lost here: the log file could not be written\n" + kept + "last\n");
    logFileOpen = false;
}
