#include "app/settings.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct CommandLineCase {
    std::vector<const char*> arguments;
    std::int32_t instance;
    std::int64_t interval;
    const char* script;
    const char* processName;
};

WatchSettings parse(std::vector<const char*> arguments, CommandLineResult* result = nullptr) {
    arguments.insert(arguments.begin(), "zel-restarter");
    WatchSettings settings;
    CommandLineResult outcome =
        parseCommandLine(static_cast<int>(arguments.size()), arguments.data(), settings);
    if (result != nullptr) {
        *result = outcome;
    }
    return settings;
}

TEST(CommandLine, ValuesAreAcceptedOnlyWhenValid) {
    const CommandLineCase cases[] = {
        {{}, 0, 10, "start.bat", "Quorvank-LT.exe"},
        {{"--instance", "3"}, 3, 10, "start.bat", "Quorvank-LT-3.exe"},
        {{"--instance", "3", "--instance", "0"}, 3, 10, "start.bat", "Quorvank-LT-3.exe"},
        {{"--instance", "3", "--instance", "7"}, 7, 10, "start.bat", "Quorvank-LT-7.exe"},
        {{"--instance", "abc"}, 0, 10, "start.bat", "Quorvank-LT.exe"},
        {{"--instance", "-1"}, 0, 10, "start.bat", "Quorvank-LT.exe"},
        {{"--instance", "  +12"}, 12, 10, "start.bat", "Quorvank-LT-12.exe"},
        {{"--instance", "99999999999"}, 2147483647, 10, "start.bat", "Quorvank-LT-2147483647.exe"},
        {{"--interval", "-99999999999"}, 0, 10, "start.bat", "Quorvank-LT.exe"},
        {{"--interval", "0"}, 0, 10, "start.bat", "Quorvank-LT.exe"},
        {{"--interval", "25x"}, 0, 25, "start.bat", "Quorvank-LT.exe"},
        {{"--interval", "4294967296"}, 0, 2147483647, "start.bat", "Quorvank-LT.exe"},
        {{"--run", "a.sh"}, 0, 10, "start.bat", "Quorvank-LT.exe"},
        {{"--run", "b.cmd"}, 0, 10, "b.cmd", "Quorvank-LT.exe"},
        {{"--run", "b.cmd", "--run", "x"}, 0, 10, "b.cmd", "Quorvank-LT.exe"},
        {{"--Interval", "5"}, 0, 10, "start.bat", "Quorvank-LT.exe"},
        {{"--instance", "--run", "x", "--interval", "3"}, 0, 3, "start.bat", "Quorvank-LT.exe"},
        {{"--run", "--instance", "4"}, 0, 10, "--instance", "Quorvank-LT.exe"},
        {{"--run", "-h"}, 0, 10, "start.bat", "Quorvank-LT.exe"},
    };
    for (const CommandLineCase& c : cases) {
        CommandLineResult result;
        WatchSettings settings = parse(c.arguments, &result);
        std::string line;
        for (const char* argument : c.arguments) {
            line += std::string(argument) + " ";
        }
        SCOPED_TRACE(line);
        EXPECT_EQ(result.action, CommandLineAction::Run);
        EXPECT_EQ(settings.instance, c.instance);
        EXPECT_EQ(settings.intervalSeconds, c.interval);
        EXPECT_EQ(settings.scriptPath, c.script);
        EXPECT_EQ(settings.processName, c.processName);
    }
}

TEST(CommandLine, MissingValueAndInformationalOptions) {
    const struct {
        std::vector<const char*> arguments;
        CommandLineAction action;
        const char* message;
    } cases[] = {
        {{"--instance"}, CommandLineAction::MissingValue, "No value set for 'instance' parameter"},
        {{"--interval", "5", "--interval"},
         CommandLineAction::MissingValue,
         "No value set for 'interval' parameter"},
        {{"--run"}, CommandLineAction::MissingValue, "No value set for 'script' parameter"},
        {{"--help", "--run"}, CommandLineAction::ShowHelp, nullptr},
        {{"x", "-h"}, CommandLineAction::ShowHelp, nullptr},
        {{"--version"}, CommandLineAction::ShowVersion, nullptr},
    };
    for (const auto& c : cases) {
        CommandLineResult result;
        parse(c.arguments, &result);
        EXPECT_EQ(result.action, c.action) << c.arguments[0];
        EXPECT_STREQ(result.message, c.message);
    }
}

}  // namespace
