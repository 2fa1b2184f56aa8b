#include "log/log.h"

#include "log/instance_name.h"
#include "platform/platform.h"

#include <cstdio>
#include <cstring>
#include <deque>

LogFileOps logFileOps = {openAppendFile, isFileAtName, appendToFile, undoAppend, closeAppendFile};

AppendFile logFile;
bool logFileOpen = false;
std::mutex logLock;

namespace {

// The log file's name as opened at start-up.
std::string logPath;

// Lines the file has not taken yet, oldest first, their total size, and how many older ones were
// dropped to keep within logBacklogLimit since the file last took a line.
std::deque<std::string> backlog;
std::size_t backlogBytes = 0;
std::size_t linesLost = 0;

const char* stampedLine(char (&buffer)[logLineBufferSize], std::string& longLine,
                        const char* format, ...) ZEL_PRINTF_FORMAT(3, 4);

const char* stampedLine(char (&buffer)[logLineBufferSize], std::string& longLine,
                        const char* format, ...) {
    std::va_list arguments;
    va_start(arguments, format);
    const char* line = stampLine(buffer, longLine, format, arguments);
    va_end(arguments);
    return line;
}

// Writes the whole line at the end of the file, or leaves the file as it was.
bool appendWhole(const std::string& line) {
    const std::int64_t written = logFileOps.appendToFile(logFile, line.data(), line.size());
    if (written == static_cast<std::int64_t>(line.size())) {
        return true;
    }
    if (written > 0) {
        logFileOps.undoAppend(logFile, static_cast<std::size_t>(written));
    }
    return false;
}

// Holds the file that is at the log's name now: after a rotation by renaming, or a deletion, that
// is a new file, opened (or created) by name.
bool holdFileAtName() {
    if (logFile.handle != -1 && logFileOps.isFileAtName(logFile, logPath.c_str())) {
        return true;
    }
    if (logFile.handle != -1) {
        logFileOps.closeAppendFile(logFile);
    }
    return logFileOps.openAppendFile(logPath.c_str(), logFile);
}

// Writes the kept lines in order, first saying how many were dropped, until the file refuses one.
void writeBacklog() {
    if ((backlog.empty() && linesLost == 0) || !holdFileAtName()) {
        return;
    }
    if (linesLost > 0) {
        char buffer[logLineBufferSize];
        std::string longLine;
        const std::string count = std::to_string(linesLost);
        const char* line =
            stampedLine(buffer, longLine, "%s %s lost here: the log file could not be written",
                        count.c_str(), linesLost == 1 ? "line" : "lines");
        if (!appendWhole(line)) {
            return;
        }
        linesLost = 0;
    }
    while (!backlog.empty() && appendWhole(backlog.front())) {
        backlogBytes -= backlog.front().size();
        backlog.pop_front();
    }
}

}  // namespace

std::string logFileName(std::int32_t instance) {
    return instanceFileName("Zel-Restarter", instance, ".log");
}

bool openLogFile(std::int32_t instance) {
    const std::string name = logFileName(instance);
    if (logFile.handle != -1) {
        logFileOps.closeAppendFile(logFile);
    }
    if (!logFileOps.openAppendFile(name.c_str(), logFile)) {
        return false;
    }
    logPath = name;
    return true;
}

void writeLogFile(const char* line) {
    if (!logFileOpen) {
        return;
    }
    backlog.emplace_back(line);
    backlogBytes += backlog.back().size();
    writeBacklog();
    while (backlogBytes > logBacklogLimit) {
        backlogBytes -= backlog.front().size();
        backlog.pop_front();
        ++linesLost;
    }
}

void retryLogFile() {
    std::lock_guard<std::mutex> hold(logLock);
    if (logFileOpen) {
        writeBacklog();
    }
}

const char* stampLine(char (&buffer)[logLineBufferSize], std::string& longLine, const char* format,
                      std::va_list arguments) {
    std::tm when{};
    toLocalTime(currentTime(), when);
    const std::size_t prefixLength =
        std::strftime(buffer, sizeof buffer, "[%Y-%m-%d %H:%M:%S] ", &when);
    std::va_list retry;
    va_copy(retry, arguments);
    char* const message = buffer + prefixLength;
    const std::size_t room = sizeof buffer - prefixLength;
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): it takes va_copy's source for unset
    const int messageLength = std::vsnprintf(message, room, format, arguments);
    if (messageLength < 0) {
        // An encoding error in the message: keep the prefix so the event still shows.
        va_end(retry);
        buffer[prefixLength] = '\n';
        buffer[prefixLength + 1] = '\0';
        return buffer;
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
    char buffer[logLineBufferSize];
    std::string longLine;
    std::va_list arguments;
    va_start(arguments, format);
    const char* line = stampLine(buffer, longLine, format, arguments);
    va_end(arguments);

    std::lock_guard<std::mutex> hold(logLock);
    std::fputs(line, stdout);
    std::fflush(stdout);
    writeLogFile(line);
}

void printPlain(const char* format, ...) {
    std::va_list arguments;
    va_start(arguments, format);
    std::va_list again;
    va_copy(again, arguments);
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): it takes va_copy's source for unset
    const int length = std::vsnprintf(nullptr, 0, format, arguments);
    va_end(arguments);
    std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
    if (length > 0) {
        std::vsnprintf(&text[0], text.size() + 1, format, again);
    }
    va_end(again);

    std::lock_guard<std::mutex> hold(logLock);
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
    if (runningAsService()) {
        if (text.empty() || text.back() != '\n') {
            text += '\n';  // the usage messages end without one; the file holds whole lines
        }
        writeLogFile(text.c_str());
    }
}
