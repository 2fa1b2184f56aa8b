#include "log/log.h"

#include "platform/platform.h"

#include <cstring>

std::FILE* logFile = nullptr;
bool logFileOpen = false;
std::mutex logLock;

std::string logFileName(std::int32_t instance) {
    std::string name = "Zel-Restarter";
    if (instance > 0) {
        name += "-" + std::to_string(instance);
    }
    return name + ".log";
}

bool openLogFile(std::int32_t instance) {
    logFile = openAppendFile(logFileName(instance).c_str());
    return logFile != nullptr;
}

void writeLogFile(const char* line) {
    if (logFile == nullptr) {
        return;
    }
    std::fputs(line, logFile);
    std::fflush(logFile);
}

const char* buildLogLine(char (&buffer)[logLineBufferSize], std::string& longLine,
                         const std::tm& when, const char* format, std::va_list arguments) {
    const std::size_t prefixLength =
        std::strftime(buffer, sizeof buffer, "[%Y-%m-%d %H:%M:%S] ", &when);
    std::va_list retry;
    va_copy(retry, arguments);
    const int messageLength =
        std::vsnprintf(buffer + prefixLength, sizeof buffer - prefixLength, format, arguments);
    if (messageLength < 0) {
        // An encoding error in the message: keep the prefix so the event still shows.
        buffer[prefixLength] = '\0';
        va_end(retry);
        return std::strcat(buffer, "\n");
    }
    const std::size_t lineLength = prefixLength + static_cast<std::size_t>(messageLength);
    if (lineLength + 2 <= sizeof buffer) {
        va_end(retry);
        buffer[lineLength] = '\n';
        buffer[lineLength + 1] = '\0';
        return buffer;
    }
    // Too long for the buffer: build the whole line on the heap rather than lose it.
    longLine.assign(buffer, prefixLength);
    longLine.resize(lineLength + 1);
    std::vsnprintf(&longLine[prefixLength], static_cast<std::size_t>(messageLength) + 1, format,
                   retry);
    va_end(retry);
    longLine[lineLength] = '\n';
    return longLine.c_str();
}

void logMessage(const char* format, ...) {
    std::tm when{};
    toLocalTime(currentTime(), when);
    char buffer[logLineBufferSize];
    std::string longLine;
    std::va_list arguments;
    va_start(arguments, format);
    const char* line = buildLogLine(buffer, longLine, when, format, arguments);
    va_end(arguments);

    std::lock_guard<std::mutex> hold(logLock);
    std::fputs(line, stdout);
    std::fflush(stdout);
    if (logFileOpen) {
        writeLogFile(line);
    }
}
