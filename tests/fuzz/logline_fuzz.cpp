// Builds log lines from arbitrary message text with each format the program logs, and checks
// the line against one assembled independently: exact prefix, whole message, one line feed.
#include "log/log.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

std::string build(const std::tm& when, const char* format, ...) {
    char buffer[logLineBufferSize];
    std::string longLine;
    std::va_list arguments;
    va_start(arguments, format);
    std::string line = buildLogLine(buffer, longLine, when, format, arguments);
    va_end(arguments);
    return line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 8) {
        return 0;
    }
    // Eight bytes choose the time and the format; the rest, split at the first zero byte,
    // gives the two texts (names and script paths come from the command line: any bytes).
    std::tm when{};
    when.tm_year = (data[0] | data[1] << 8) % 8100;  // years 1900 to 9999
    when.tm_mon = data[2] % 12;
    when.tm_mday = data[3] % 31 + 1;
    when.tm_hour = data[4] % 24;
    when.tm_min = data[5] % 60;
    when.tm_sec = data[6] % 61;
    const std::string rest(reinterpret_cast<const char*>(data) + 8, size - 8);
    const std::size_t split = std::min(rest.find('\0'), rest.size());
    const std::string first = rest.substr(0, split);
    std::string second = split < rest.size() ? rest.substr(split + 1) : "";
    second = second.substr(0, second.find('\0'));

    std::string line;
    std::string message;
    switch (data[7] % 4) {
        case 0:
            line = build(when, "%s", first.c_str());
            message = first;
            break;
        case 1:
            line = build(when, "%s is running", first.c_str());
            message = first + " is running";
            break;
        case 2:
            line = build(when, "%s not running - starting %s", first.c_str(), second.c_str());
            message = first + " not running - starting " + second;
            break;
        default:
            line = build(when, "Starting timer");
            message = "Starting timer";
            break;
    }
    char prefix[64];
    std::snprintf(prefix, sizeof prefix, "[%04d-%02d-%02d %02d:%02d:%02d] ", when.tm_year + 1900,
                  when.tm_mon + 1, when.tm_mday, when.tm_hour, when.tm_min, when.tm_sec);
    check(std::string(prefix).size() == 22);
    check(line == prefix + message + "\n");
    // One line feed of our own, at the end: any other comes from the message itself.
    check(std::count(line.begin(), line.end(), '\n') ==
          std::count(message.begin(), message.end(), '\n') + 1);
    return 0;
}
