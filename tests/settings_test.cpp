#include "app/settings.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(CommandLine, Table) {
    const struct {
        std::vector<const char*> arguments;
        std::int32_t instance;
        std::int64_t interval;
        const char* script;  // for an action other than Run: its message, or ""
        CommandLineAction action = CommandLineAction::Run;
    } cases[] = {
        {{}, 0, 10, "start.bat"},
        {{"--instance", "3", "--instance", "0", "--interval", "25x"}, 3, 25, "start.bat"},
        {{"--instance", "3", "--instance", "7"}, 7, 10, "start.bat"},
        {{"--instance", "abc", "--interval", "0"}, 0, 10, "start.bat"},
        {{"--instance", "-1", "--interval", "-99999999999"}, 0, 10, "start.bat"},
        {{"--instance", "  +12"}, 12, 10, "start.bat"},
        {{"--instance", "99999999999", "--interval", "4294967296"},
         INT32_MAX,
         INT32_MAX,
         "start.bat"},
        {{"--run", "a.sh", "--Interval", "5"}, 0, 10, "start.bat"},
        {{"--run", "b.cmd", "--run", "x"}, 0, 10, "b.cmd"},
        {{"--instance", "--run", "x", "--interval", "3"}, 0, 3, "start.bat"},
        {{"--run", "--instance", "4"}, 0, 10, "--instance"},
        {{"--run", "-h"}, 0, 10, "start.bat"},
        {{"--instance"},
         0,
         10,
         "No value set for 'instance' parameter",
         CommandLineAction::MissingValue},
        {{"--interval", "5", "--interval"},
         0,
         5,
         "No value set for 'interval' parameter",
         CommandLineAction::MissingValue},
        {{"--run"}, 0, 10, "No value set for 'script' parameter", CommandLineAction::MissingValue},
        {{"x", "-h", "--run"}, 0, 10, "", CommandLineAction::ShowHelp},
        {{"--version"}, 0, 10, "", CommandLineAction::ShowVersion},
    };
    for (const auto& c : cases) {
        std::vector<const char*> argv = c.arguments;
        argv.insert(argv.begin(), "zel-restarter");
        WatchSettings settings;
        const CommandLineResult result =
            parseCommandLine(static_cast<int>(argv.size()), argv.data(), settings);
        SCOPED_TRACE(testing::PrintToString(c.arguments));
        EXPECT_EQ(result.action, c.action);
        EXPECT_EQ(settings.instance, c.instance);
        EXPECT_EQ(settings.intervalSeconds, c.interval);
        if (c.action != CommandLineAction::Run) {
            EXPECT_STREQ(result.message == nullptr ? "" : result.message, c.script);
            continue;
        }
        EXPECT_EQ(settings.scriptPath, c.script);
        EXPECT_EQ(settings.processName, c.instance > 0
                                            ? "Quorvank-LT-" + std::to_string(c.instance) + ".exe"
                                            : "Quorvank-LT.exe");
    }
}

}  // namespace
