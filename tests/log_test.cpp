// The log line and the log file's backlog, against a log file in memory.
#include "log/log.h"

#include <gtest/gtest.h>

namespace {

std::string fileContent;
bool fileFull = false;

class Log : public ::testing::Test {
protected:
    void SetUp() override {
        saved = logFileOps;
        logFileOps.openAppendFile = [](const char*, AppendFile& file) {
            file.handle = 3;
            return true;
        };
        logFileOps.isFileAtName = [](const AppendFile&, const char*) { return true; };
        logFileOps.appendToFile = [](AppendFile&, const char* data, std::size_t size) {
            if (fileFull) {
                return std::int64_t{-1};
            }
            fileContent.append(data, size);
            return static_cast<std::int64_t>(size);
        };
        fileContent.clear();
        fileFull = false;
    }
    void TearDown() override {
        logFileOpen = false;
        logFileOps = saved;
    }
    LogFileOps saved;
};

}  // namespace

TEST_F(Log, LineWholeWhateverItsLength) {
    for (std::size_t length : {999u, 1000u, 1001u, 1002u, 100000u}) {
        const std::string message(length, 'm');
        ::testing::internal::CaptureStdout();
        logMessage("%s", message.c_str());
        EXPECT_EQ(::testing::internal::GetCapturedStdout().substr(20), "] " + message + "\n");
    }
}

// Short writes are left to the full-disk scenario of the end-to-end tests.
TEST_F(Log, LinesKeptInOrderWhileTheFileIsFullTheOldestDroppedPastTheBoundAndCounted) {
    logFileOpen = openLogFile(0);
    ASSERT_TRUE(logFileOpen);
    fileFull = true;
    std::string kept;
    const std::size_t lineCount = logBacklogLimit / 1024 + 2;  // two lines more than it keeps
    for (std::size_t n = 0; n < lineCount; ++n) {
        const std::string line = std::to_string(n % 10) + std::string(1022, 'x') + "\n";
        writeLogFile(line.c_str());
        if (n >= 2) {
            kept += line;
        }
    }
    fileFull = false;
    retryLogFile();
    writeLogFile("last\n");
    EXPECT_EQ(fileContent.substr(22),
              "2 lines lost here: the log file could not be written\n" + kept + "last\n");
}
