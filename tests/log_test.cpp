#include "log/log.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

std::string build(const std::tm& when, const char* format, ...) {
    char buffer[logLineBufferSize];
    std::string longLine;
    std::va_list arguments;
    va_start(arguments, format);
    std::string line = buildLogLine(buffer, longLine, when, format, arguments);
    va_end(arguments);
    return line;
}

std::tm sampleTime() {
    std::tm when{};
    when.tm_year = 2026 - 1900;
    when.tm_mon = 0;
    when.tm_mday = 5;
    when.tm_hour = 7;
    when.tm_min = 8;
    when.tm_sec = 9;
    return when;
}

TEST(LogLine, PrefixMessageAndOneLineFeedWhateverTheLength) {
    EXPECT_EQ(build(sampleTime(), "%s is running", "Quorvank-LT.exe"),
              "[2026-01-05 07:08:09] Quorvank-LT.exe is running\n");
    // Around the on-stack buffer's edge and far beyond it, the line comes out whole.
    for (std::size_t length : {0u, 999u, 1000u, 1001u, 1002u, 5000u, 100000u}) {
        const std::string message(length, 'm');
        const std::string line = build(sampleTime(), "%s", message.c_str());
        EXPECT_EQ(line, "[2026-01-05 07:08:09] " + message + "\n") << length;
    }
}

TEST(LogFile, NamedPerInstanceAppendedAcrossRunsLineFeedOnly) {
    EXPECT_EQ(logFileName(0), "Zel-Restarter.log");
    EXPECT_EQ(logFileName(-4), "Zel-Restarter.log");
    EXPECT_EQ(logFileName(5), "Zel-Restarter-5.log");

    char directory[] = "/tmp/zel-log-XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    ASSERT_EQ(chdir(directory), 0);
    { std::ofstream("Zel-Restarter-5.log", std::ios::binary) << "earlier line\n"; }
    for (int run = 0; run < 2; ++run) {
        ASSERT_TRUE(openLogFile(5));
        logFileOpen = true;
        logMessage("run %d", run);
        std::fclose(logFile);
        logFile = nullptr;
        logFileOpen = false;
    }
    std::ifstream file("Zel-Restarter-5.log", std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    const std::string text = content.str();
    EXPECT_EQ(text.rfind("earlier line\n[", 0), 0u) << text;
    EXPECT_NE(text.find("] run 0\n["), std::string::npos) << text;
    EXPECT_EQ(text.substr(text.size() - 8), "] run 1\n") << text;
    EXPECT_EQ(text.find('\r'), std::string::npos);
    std::system((std::string("rm -rf ") + directory).c_str());
}

}  // namespace
