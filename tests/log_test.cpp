#include "log/log.h"

#include <gtest/gtest.h>

namespace {

std::string build(const char* format, ...) {
    std::tm when{};
    when.tm_year = 2026 - 1900, when.tm_mday = 5;
    when.tm_hour = 7, when.tm_min = 8, when.tm_sec = 9;
    char buffer[logLineBufferSize];
    std::string longLine;
    std::va_list arguments;
    va_start(arguments, format);
    std::string line = buildLogLine(buffer, longLine, when, format, arguments);
    va_end(arguments);
    return line;
}

TEST(LogLine, PrefixMessageAndOneLineFeedWhateverTheLength) {
    EXPECT_EQ(build("%s is running", "Quorvank-LT.exe"),
              "[2026-01-05 07:08:09] Quorvank-LT.exe is running\n");
    // Around the on-stack buffer's edge and far beyond it, the line comes out whole.
    for (std::size_t length : {999u, 1000u, 1001u, 1002u, 100000u}) {
        const std::string message(length, 'm');
        EXPECT_EQ(build("%s", message.c_str()), "[2026-01-05 07:08:09] " + message + "\n");
    }
}

// A file in memory that takes at most `room` bytes per write (all when negative).
std::string content;
long room = -1;

TEST(LogFile, ShortAndFailedWritesLeaveNoPieceAndAreKeptInOrderWithinTheBound) {
    logFileOps.openAppendFile = [](const char*, AppendFile& file) { return file.handle = 3, true; };
    logFileOps.isFileAtName = [](const AppendFile&, const char*) { return true; };
    logFileOps.appendToFile = [](AppendFile&, const char* data, std::size_t size) {
        const std::size_t taken = room < 0 ? size : std::min<std::size_t>(size, room);
        content.append(data, taken);
        return taken == 0 ? std::int64_t{-1} : static_cast<std::int64_t>(taken);
    };
    logFileOps.undoAppend = [](AppendFile&, std::size_t count) {
        content.resize(content.size() - count);
    };
    ASSERT_TRUE(openLogFile(0));
    room = 5;  // a short write, then none at all
    writeLogFile("first\n");
    room = 0;
    writeLogFile("second\n");
    EXPECT_EQ(content, "");
    room = -1;
    logFileOpen = true;
    retryLogFile();
    EXPECT_EQ(content, "first\nsecond\n");

    // Past the bound the oldest lines go, and one line says how many, once.
    content.clear();
    room = 0;
    std::string kept;
    for (std::size_t n = 0; n < logBacklogLimit / 1024 + 2; ++n) {
        const std::string line = std::to_string(n % 10) + std::string(1022, 'x') + "\n";
        writeLogFile(line.c_str());
        kept += n < 2 ? "" : line;
    }
    room = -1;
    writeLogFile("last\n");
    writeLogFile("after\n");
    EXPECT_EQ(content.substr(22),
              "2 lines lost here: the log file could not be written\n" + kept + "last\nafter\n");
    logFileOpen = false;
}

}  // namespace
