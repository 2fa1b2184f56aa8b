// The timestamped log: every run-time event is one line "[YYYY-MM-DD hh:mm:ss] message\n" on
// standard output and, when it could be opened, appended to the instance's log file.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

#if defined(__GNUC__)
#define ZEL_PRINTF_FORMAT(formatIndex, firstArgument) \
    __attribute__((format(printf, formatIndex, firstArgument)))
#else
#define ZEL_PRINTF_FORMAT(formatIndex, firstArgument)
#endif

extern std::FILE* logFile;
extern bool logFileOpen;
extern std::mutex logLock;

// Size of the on-stack line buffer; longer lines are built on the heap instead.
constexpr std::size_t logLineBufferSize = 1024;

// "Zel-Restarter.log", or "Zel-Restarter-<n>.log" for an instance above 0.
std::string logFileName(std::int32_t instance);

// Opens the instance's log file for appending and keeps it in logFile.
bool openLogFile(std::int32_t instance);

// Appends one finished line to the log file and flushes it; does nothing without a file.
void writeLogFile(const char* line);

// Builds "[%Y-%m-%d %H:%M:%S] " + the formatted message + "\n". The line is built in buffer when
// it fits, otherwise in longLine; the returned pointer is the whole line either way.
const char* buildLogLine(char (&buffer)[logLineBufferSize], std::string& longLine,
                         const std::tm& when, const char* format, std::va_list arguments);

// Writes one timestamped line to standard output and the log file.
void logMessage(const char* format, ...) ZEL_PRINTF_FORMAT(1, 2);
