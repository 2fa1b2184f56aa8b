#include "app/settings.h"

#include <gtest/gtest.h>

#include <vector>

TEST(CommandLine, Table) {
    const struct {
        std::vector<const char*> arguments;
        std::int32_t instance;
        std::int64_t interval;
        const char* script;
    } cases[] = {
        {{}, 0, 10, "start.bat"},
        {{"--instance", "3", "--instance", "0", "--interval", "25x"}, 3, 25, "start.bat"},
        {{"--instance", "3", "--instance", "7", "--run", "b.cmd", "--run", "x"}, 7, 10, "b.cmd"},
        {{"--instance", "abc", "--interval", "0", "--run", "a.sh"}, 0, 10, "start.bat"},
        {{"--instance", "-1", "--interval", "-99999999999"}, 0, 10, "start.bat"},
        {{"--instance", " +12", "--Interval", "5"}, 12, 10, "start.bat"},
        {{"--instance", "99999999999", "--interval", "4294967296"},
         INT32_MAX,
         INT32_MAX,
         "start.bat"},
        {{"--instance", "--run", "x", "--interval", "3"}, 0, 3, "start.bat"},
        {{"--run", "--instance", "4"}, 0, 10, "--instance"},
        {{"--run", "-h", "--interval", "5"}, 0, 5, "start.bat"},
    };
    for (const auto& c : cases) {
        std::vector<const char*> argv = c.arguments;
        argv.insert(argv.begin(), "zel-restarter");
        WatchSettings settings;
        const CommandLineResult result =
            parseCommandLine(static_cast<int>(argv.size()), argv.data(), settings);
        SCOPED_TRACE(testing::PrintToString(c.arguments));
        EXPECT_EQ(result.action, CommandLineAction::Run);
        EXPECT_EQ(settings.instance, c.instance);
        EXPECT_EQ(settings.intervalSeconds, c.interval);
        EXPECT_EQ(settings.scriptPath, c.script);
        EXPECT_EQ(settings.processName, c.instance > 0
                                            ? "Quorvank-LT-" + std::to_string(c.instance) + ".exe"
                                            : "Quorvank-LT.exe");
    }
}
