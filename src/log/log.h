// The timestamped log: every run-time event is one line "[YYYY-MM-DD hh:mm:ss] message\n" on
// standard output and, when it could be opened, appended to the instance's log file.
#pragma once

#include "platform/platform.h"

#include <cstdarg>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>

#if defined(__GNUC__)
#define ZEL_PRINTF_FORMAT(formatIndex, firstArgument) \
    __attribute__((format(printf, formatIndex, firstArgument)))
#else
#define ZEL_PRINTF_FORMAT(formatIndex, firstArgument)
#endif

// The platform operations on the log file, reached through one table so that tests can put
// fakes in their place. Points at the real platform functions unless a test swaps them.
struct LogFileOps {
    bool (*openAppendFile)(const char* name, AppendFile& file);
    bool (*isFileAtName)(const AppendFile& file, const char* name);
    std::int64_t (*appendToFile)(AppendFile& file, const char* data, std::size_t size);
    void (*undoAppend)(AppendFile& file, std::size_t count);
    void (*closeAppendFile)(AppendFile& file);
};

extern LogFileOps logFileOps;

extern AppendFile logFile;
extern bool logFileOpen;
extern std::mutex logLock;

// Size of the on-stack line buffer; longer lines are built on the heap instead.
constexpr std::size_t logLineBufferSize = 1024;

// Lines the log file did not take are kept, in order, up to this many bytes (about 13,000 lines
// of the usual length); past it the oldest are dropped and counted.
constexpr std::size_t logBacklogLimit = std::size_t{1024} * 1024;

// "Zel-Restarter.log", or "Zel-Restarter-<n>.log" for an instance above 0.
std::string logFileName(std::int32_t instance);

// Opens the instance's log file for appending and keeps it in logFile.
bool openLogFile(std::int32_t instance);

// Appends one finished line, after the kept ones, whole or not at all; a line not taken is kept.
// A log file renamed, deleted or replaced is opened again by name. Only while logFileOpen.
void writeLogFile(const char* line);

// Writes the kept lines, if any, when the file takes them again. Called once per scan.
void retryLogFile();

// Builds "[%Y-%m-%d %H:%M:%S] " (local time now) + the formatted message + "\n", in buffer when
// it fits, otherwise in longLine; returns the whole line either way.
const char* stampLine(char (&buffer)[logLineBufferSize], std::string& longLine, const char* format,
                      std::va_list arguments);

// Writes one timestamped line to standard output and the log file.
void logMessage(const char* format, ...) ZEL_PRINTF_FORMAT(1, 2);

// Writes a message without a timestamp (the banner, a start-up error) to standard output as it
// stands. A service has no console to show it, so in a service run it also goes to the log file,
// as a line of its own, when that is open.
void printPlain(const char* format, ...) ZEL_PRINTF_FORMAT(1, 2);
