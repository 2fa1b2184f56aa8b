// The log line at any length, the backlog of lines a full log file did not take (against a log
// file in memory), and the real undo of a short write.
#include "log/log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

std::string fileContent;
bool fileFull = false;

std::int64_t appendUnlessFull(AppendFile&, const char* data, std::size_t size) {
    if (fileFull) {
        return -1;
    }
    fileContent.append(data, size);
    return static_cast<std::int64_t>(size);
}

}  // namespace

TEST(Log, LineWholeWhateverItsLength) {
    for (std::size_t length : {999u, 1000u, 1001u, 1002u, 100000u}) {
        const std::string message(length, 'm');
        ::testing::internal::CaptureStdout();
        logMessage("%s", message.c_str());
        EXPECT_EQ(::testing::internal::GetCapturedStdout().substr(20), "] " + message + "\n");
    }
}

// More than the bound is logged while the file is full: the oldest lines are dropped and counted,
// the count is written once before the kept lines, and every line after them is written too.
TEST(Log, BacklogKeptWithinItsBoundTheDroppedLinesCountedOnce) {
    const LogFileOps saved = logFileOps;
    logFileOps.appendToFile = appendUnlessFull;
    logFileOps.isFileAtName = [](const AppendFile&, const char*) { return true; };
    logFile.handle = 3;  // never used: the file is in memory
    logFileOpen = true;
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
    writeLogFile("later\n");
    EXPECT_EQ(fileContent.substr(22),
              "2 lines lost here: the log file could not be written\n" + kept + "last\nlater\n");
    logFileOpen = false;
    logFile.handle = -1;
    logFileOps = saved;
}

// After another writer truncated the file (a rotation by copy and truncation), a short write is
// no longer cut back: cutting would fill the file up with zero bytes. Cutting back is shown end
// to end on a full disk.
TEST(Log, ShortWriteNotUndoneOnceTheFileWasTruncated) {
    const std::string path = ::testing::TempDir() + "undo-test.log";
    AppendFile file;
    ASSERT_TRUE(openAppendFile(path.c_str(), file));
    EXPECT_EQ(appendToFile(file, "earlier\n", 8), 8);
    EXPECT_EQ(appendToFile(file, "short", 5), 5);
    std::ofstream(path, std::ios::trunc).close();
    undoAppend(file, 5);
    closeAppendFile(file);
    EXPECT_EQ(std::filesystem::file_size(path), 0u);
    std::filesystem::remove(path);
}
