// Every operating-system operation the watchdog uses. The rest of the program reaches the
// system only through these functions; one implementation file per platform provides them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

using ProcessId = std::uint32_t;

// Replaces ids with the identifiers of all running processes, in the order the system lists
// them. Never truncated. False when no process list can be taken, on Linux also when /proc does
// not show the watchdog itself (then it does not show every process either).
bool listProcessIds(std::vector<ProcessId>& ids);

// Writes the base name of the process's executable image ("Quorvank-LT.exe") into name, a
// buffer of size bytes, zero-terminated. A process whose image we may not read (another user's)
// is named from what the system shows every user: on Linux its kernel name and first argument,
// on Windows the process snapshot. False, with name untouched, when the process cannot be named
// (a kernel thread, a zombie, one that has ended).
bool readImageBaseName(ProcessId processId, char* name, std::size_t size);

// A process the watchdog keeps open so that it can ask the process itself, not the process
// list, whether it still runs. It refers to that process, never to a later one that is given
// the same identifier. Only the platform code knows what the number stands for.
using HeldProcess = std::intptr_t;
constexpr HeldProcess noHeldProcess = -1;

// Opens the process with this identifier and writes its image base name, read through the
// opened process, into name (as readImageBaseName does). noHeldProcess, with name untouched,
// when it cannot be opened (on Windows, one that refuses us), has ended or cannot be named.
HeldProcess holdProcess(ProcessId processId, char* name, std::size_t size);

// False once the held process has ended (a zombie has ended). Otherwise true, and name holds
// its current image base name: on entry name holds the name last read for it; where a running
// process can change its image (Linux, through exec) the current one is read into it, and where
// it cannot (Windows) name is left as it is and only whether the process has ended is asked.
bool readHeldImageBaseName(HeldProcess process, char* name, std::size_t size);

// Closes a held process.
void releaseProcess(HeldProcess process);

// True when the file-status query succeeds for path; directories count as present.
bool fileExists(const std::string& path);

// Only when we run as root: whether a user other than root can change what path names, that is
// the file itself or any directory it is reached through (resolved from the working directory,
// links followed, every directory up to the root). If so, true, with the first such path in
// where and the reason in why ("is writable by every user"). False otherwise, and on Windows.
bool findChangeableByOthers(const std::string& path, std::string& where, std::string& why);

// Whether /proc hides other users' processes from us: it is mounted with a hidepid other than 0
// ("off"), we are not root, and we are not in the group it exempts (gid=; root's when none is
// given). If so, true, with the hidepid value as mounted ("2", "invisible") in hidepid and the
// group named by gid= in group (empty when none was given, or when it exempts no one, as under
// "ptraceable"). False otherwise, and on Windows.
bool findHiddenProcesses(std::string& hidepid, std::string& group);

// Starts the script detached: returns at once without waiting for it. The script gets no
// descriptor or handle of ours and is not stopped by a Ctrl+C aimed at the watchdog's console.
// On Linux a batch file (.bat, .cmd) that cannot be executed directly is run by Wine when a
// "wine" program is on the PATH.
// True when the system accepted the start; what the script does afterwards is not known here.
bool startScriptDetached(const std::string& path);

// Blocks the calling thread for the given time; counts far beyond 32 bits are fine.
void sleepMilliseconds(std::uint64_t milliseconds);

// Waits for the given time, or until a stop is requested (a service's stop or shutdown request
// on Windows; SIGTERM or SIGINT to the first process of a PID namespace on Linux); true when a
// stop was requested. Counts far beyond 32 bits are fine. On Linux, as the first process, it
// also reaps every child that ends meanwhile, and a stop is first passed on, as the same
// signal, to every other process of the namespace, which are waited for until they have all
// ended or the time given to takeFirstProcessDuties has passed.
bool waitForStopRequest(std::uint64_t milliseconds);

// Once, before anything is started: when the watchdog is process 1 of its PID namespace (a
// container's command), it takes SIGTERM and SIGINT as stop requests and reaps every child, the
// orphans it adopts included, whenever it waits; after a stop the other processes are given
// stopTimeoutMilliseconds to end. Otherwise, and on Windows, nothing changes.
void takeFirstProcessDuties(std::uint64_t stopTimeoutMilliseconds);

// The service manager (systemd) that runs the watchdog, if any. Reads what it announced in the
// environment (NOTIFY_SOCKET, WATCHDOG_USEC, WATCHDOG_PID) and removes those variables, so that
// neither the script nor the worker can speak for the watchdog. Once, before anything is started.
// Nothing on Windows.
void takeServiceManagerSettings();

// Sends one message ("READY=1", "STATUS=...", "WATCHDOG=1", several joined by newlines) to the
// service manager, without waiting; nothing when there is none. A manager that cannot be reached
// or does not take the message is ignored: the watchdog goes on as it would without one.
void notifyServiceManager(const char* message);

// Whether a service manager takes messages (NOTIFY_SOCKET was set); false on Windows.
bool serviceManagerListens();

// How often the service manager wants a keep-alive, in milliseconds: half the time it allows
// between two. 0 when it wants none.
std::uint64_t keepAliveMilliseconds();

// Runs body(argc, argv) as a Windows service: connects to the service control manager through
// the service dispatcher, reports start pending, changes to the folder that holds the executable,
// runs body there and reports stopped, with body's status as the service-specific exit code when
// it is not 0. Then true, with body's status in status. False, without running body, when the
// service control manager did not start the program. On Linux body simply runs.
bool runAsService(int (*body)(int, char**), int argc, char** argv, int& status);

// Reports the service running, accepting stop and shutdown requests; start-up has passed. Does
// nothing outside a service run and on Linux.
void reportServiceRunning();

// True while body runs as a Windows service; always false on Linux.
bool runningAsService();

// Calendar time in seconds.
std::int64_t currentTime();

// Broken-down local time of a calendar time, into a record owned by the caller (re-entrant).
bool toLocalTime(std::int64_t time, std::tm& local);

// A file held open for appending, and what tells whether the file at its name is still this one.
struct AppendFile {
    std::intptr_t handle = -1;  // descriptor or handle; -1 when none is open
    std::uint64_t device = 0;   // Linux: device and inode of the open file
    std::uint64_t inode = 0;
    std::uint64_t size = 0;  // Windows: the size the file has after our last write
};

// Opens a file for appending (binary, created when missing, existing content kept), not
// inherited by the programs we start; on Windows it can be renamed or deleted while open. False,
// with file left closed, when it cannot be opened.
bool openAppendFile(const char* name, AppendFile& file);

// Whether the file at name is still the open one (not renamed away, deleted or replaced). One
// file-status call on the name.
bool isFileAtName(const AppendFile& file, const char* name);

// Writes size bytes at the end of the file with one system write. The count written (less than
// size on a short write), or -1 when nothing was written.
std::int64_t appendToFile(AppendFile& file, const char* data, std::size_t size);

// Removes the last count bytes that appendToFile wrote just before, unless the file has changed
// size since; the remains of a short write.
void undoAppend(AppendFile& file, std::size_t count);

// Closes the file; file is left closed.
void closeAppendFile(AppendFile& file);

// Prepares the process's standard streams: a console or pipe that goes away must not end the
// watchdog, and standard output stays a text stream.
void prepareStandardStreams();
