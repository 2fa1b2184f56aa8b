// Feeds arbitrary argument vectors (the input split at zero bytes) to the command-line parser
// and checks what must hold for every accepted command line.
#include "app/settings.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// "Quorvank-LT.exe" for instance 0, "Quorvank-LT-<n>.exe" with n in plain decimal otherwise.
void checkProcessName(const std::string& name, std::int32_t instance) {
    const std::string prefix = "Quorvank-LT";
    const std::string suffix = ".exe";
    check(name.size() >= prefix.size() + suffix.size());
    check(name.compare(0, prefix.size(), prefix) == 0);
    check(name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0);
    const std::string middle = name.substr(prefix.size(), name.size() - 15);
    if (instance == 0) {
        check(middle.empty());
        return;
    }
    check(middle.size() >= 2 && middle[0] == '-' && middle[1] != '0');
    std::int64_t value = 0;
    for (std::size_t i = 1; i < middle.size(); ++i) {
        check(middle[i] >= '0' && middle[i] <= '9' && i <= 10);
        value = value * 10 + (middle[i] - '0');
    }
    check(value == instance);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Each argument gets a heap block of its exact size, so reading past one is caught.
    std::vector<std::vector<char>> storage(1, std::vector<char>{'z', '\0'});
    std::vector<char> current;
    for (std::size_t i = 0; i <= size; ++i) {
        if (i == size || data[i] == 0) {
            current.push_back('\0');
            storage.push_back(current);
            current.clear();
        } else {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    std::vector<const char*> argv;
    for (const std::vector<char>& argument : storage) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);

    WatchSettings settings;
    const CommandLineResult result =
        parseCommandLine(static_cast<int>(argv.size() - 1), argv.data(), settings);
    if (result.action == CommandLineAction::MissingValue) {
        check(result.message != nullptr &&
              std::strncmp(result.message, "No value set for '", 18) == 0);
        return 0;
    }
    if (result.action != CommandLineAction::Run) {
        return 0;
    }
    check(settings.instance >= 0);
    check(settings.intervalSeconds > 0);
    check(settings.scriptPath == "start.bat" || settings.scriptPath.size() > 4);
    checkProcessName(settings.processName, settings.instance);
    check(deriveProcessName(settings.instance) == settings.processName);
    return 0;
}
