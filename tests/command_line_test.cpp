// The command line: values, saturation, repeated and missing options.
#include "app/command_line.h"

#include <gtest/gtest.h>

#include <vector>

struct CommandLineCase {
    std::vector<const char*> arguments;  // after the program name
    const char* processName;
    const char* scriptPath;
    std::int64_t intervalSeconds;
};

TEST(CommandLine, ValuesTakenOrIgnored) {
    const CommandLineCase cases[] = {
        {{}, "Quorvank-LT.exe", "start.bat", 10},
        {{"--instance", "3", "--instance", "0"}, "Quorvank-LT-3.exe", "start.bat", 10},
        {{"--instance", "3", "--instance", "7"}, "Quorvank-LT-7.exe", "start.bat", 10},
        {{"--instance", "abc", "--interval", "0"}, "Quorvank-LT.exe", "start.bat", 10},
        {{"--instance", "-1", "--interval", "-5"}, "Quorvank-LT.exe", "start.bat", 10},
        {{"--instance", " +12", "--interval", "25x"}, "Quorvank-LT-12.exe", "start.bat", 25},
        {{"--instance", "99999999999", "--interval", "4294967296"},
         "Quorvank-LT-2147483647.exe", "start.bat", 2147483647},
        {{"--run", "a.sh"}, "Quorvank-LT.exe", "start.bat", 10},
        {{"--run", "b.cmd", "--run", "x"}, "Quorvank-LT.exe", "b.cmd", 10},
        {{"--Interval", "5", "--run", "-h"}, "Quorvank-LT.exe", "start.bat", 10},
        {{"--instance", "--run", "x", "--interval", "3"}, "Quorvank-LT.exe", "start.bat", 3},
        {{"--service", "--interval", "600"}, "Quorvank-LT.exe", "start.bat", 600},
    };
    for (const CommandLineCase& c : cases) {
        std::vector<const char*> argv = {"zel-restarter"};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        WatchSettings settings;
        const CommandLineResult result =
            parseCommandLine(static_cast<int>(argv.size()), argv.data(), settings);
        const std::string where = ::testing::PrintToString(c.arguments);
        EXPECT_EQ(result.action, CommandLineAction::Run) << where;
        EXPECT_EQ(settings.processName, c.processName) << where;
        EXPECT_EQ(settings.scriptPath, c.scriptPath) << where;
        EXPECT_EQ(settings.intervalSeconds, c.intervalSeconds) << where;
    }
}

TEST(CommandLine, MissingValueStopsAtTheFirstOptionWithout) {
    const std::vector<const char*> cases[] = {{"zel-restarter", "--instance"},
                                              {"zel-restarter", "--interval"},
                                              {"zel-restarter", "--instance", "4", "--run"}};
    const char* messages[] = {"No value set for 'instance' parameter",
                              "No value set for 'interval' parameter",
                              "No value set for 'script' parameter"};
    for (std::size_t i = 0; i < 3; ++i) {
        WatchSettings settings;
        const CommandLineResult result =
            parseCommandLine(static_cast<int>(cases[i].size()), cases[i].data(), settings);
        EXPECT_EQ(result.action, CommandLineAction::MissingValue);
        EXPECT_STREQ(result.message, messages[i]);
    }
}
