// The log line at any length, the backlog of lines the log file does not take, and the undo of a
// short write.
#include "log/log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

TEST(Log, LineWholeWhateverItsLength) {
    for (std::size_t length : {999u, 1000u, 1001u, 1002u, 100000u}) {
        const std::string message(length, 'm');
        ::testing::internal::CaptureStdout();
        logMessage("%s", message.c_str());
        EXPECT_EQ(::testing::internal::GetCapturedStdout().substr(20), "] " + message + "\n");
    }
}

// Lines the file does not take are kept up to 1 MiB: past it the oldest are dropped, and counted
// once in a line written before the kept ones once the file takes lines again; every later line
// is written as it comes.
TEST(Log, BacklogBoundedAndTheDroppedLinesCountedOnce) {
    static std::string file;
    static bool full = true;
    const LogFileOps saved = logFileOps;
    logFileOps.appendToFile = [](AppendFile&, const char* data, std::size_t size) {
        if (full) {
            return std::int64_t{-1};
        }
        file.append(data, size);
        return static_cast<std::int64_t>(size);
    };
    logFileOps.isFileAtName = [](const AppendFile&, const char*) { return true; };
    logFile.handle = 3;  // taken for open: the fakes stand in for the file
    logFileOpen = true;
    std::string kept = "2 lines lost here: the log file could not be written\n";
    for (char c = 'a'; c <= 'l'; ++c) {  // 12 lines of 100,001 bytes: 10 fit in 1 MiB
        const std::string line = std::string(100000, c) + "\n";
        writeLogFile(line.c_str());
        kept += c >= 'c' ? line : "";
    }
    full = false;
    const std::string later = std::string(100000, 'm') + "\n";
    writeLogFile(later.c_str());
    writeLogFile("last\n");
    EXPECT_EQ(file.substr(22), kept + later + "last\n");
    logFileOpen = false;
    logFile.handle = -1;
    logFileOps = saved;
}

// Another writer truncated the file after our short write and wrote to it (a rotation by copy and
// truncation): cutting our bytes back now would cut its line, or fill the file with zero bytes.
TEST(Log, ShortWriteNotUndoneOnceTheFileWasTruncated) {
    const std::string path = ::testing::TempDir() + "undo-test.log";
    AppendFile file;
    ASSERT_TRUE(openAppendFile(path.c_str(), file));
    EXPECT_EQ(appendToFile(file, "short", 5), 5);
    std::ofstream(path, std::ios::trunc) << "a new line\n";
    undoAppend(file, 5);
    closeAppendFile(file);
    EXPECT_EQ(std::filesystem::file_size(path), 11u);
    std::filesystem::remove(path);
}
