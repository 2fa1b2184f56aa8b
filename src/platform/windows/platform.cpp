// Windows implementation of the platform operations, over the Win32 API and the C runtime.
#include "platform/platform.h"

#include "platform/windows/win32.h"
// psapi.h and tlhelp32.h need the types that windows.h declares.
#include <psapi.h>
#include <tlhelp32.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#if defined(__MINGW32__)
// MinGW's runtime expands wildcard patterns in the arguments only when asked to (with MSVC the
// same comes from linking setargv.obj).
extern "C" {
int _dowildcard = -1;
}
#endif

namespace {

// Identifiers as EnumProcesses writes them; kept from scan to scan so that a cycle allocates
// nothing once the buffer has grown to the size of the process table. It starts small, so the
// growth is taken on the first scan of any real process table (and in the tests).
std::vector<DWORD> processBuffer(4);

// The system's process snapshot, which names every process without opening it: taken for a
// process that refuses to be opened, at most once per listing. Kept from scan to scan, like the
// identifiers, so that it allocates nothing once it has grown.
std::vector<PROCESSENTRY32> snapshot;
bool snapshotTaken = false;

bool isSeparator(char c) {
    return c == '\\' || c == '/';
}

// "\\server\share" or "\\server\share\": the file-status query needs the share root as given.
bool isShareRoot(const std::string& path) {
    if (path.size() < 5 || !isSeparator(path[0]) || !isSeparator(path[1])) {
        return false;
    }
    std::size_t at = 2;
    const std::size_t serverStart = at;
    while (at < path.size() && !isSeparator(path[at])) {
        ++at;
    }
    if (at == serverStart || at == path.size()) {
        return false;
    }
    const std::size_t shareStart = ++at;
    while (at < path.size() && !isSeparator(path[at])) {
        ++at;
    }
    return at > shareStart && (at == path.size() || at + 1 == path.size());
}

// "C:", "C:\" or "C:/".
bool isDriveRoot(const std::string& path) {
    const bool letter =
        !path.empty() && ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
    return letter && path.size() >= 2 && path[1] == ':' &&
           (path.size() == 2 || (path.size() == 3 && isSeparator(path[2])));
}

}  // namespace

bool listProcessIds(std::vector<ProcessId>& ids) {
    ids.clear();
    snapshotTaken = false;
    for (;;) {
        const DWORD capacity = static_cast<DWORD>(processBuffer.size() * sizeof(DWORD));
        DWORD written = 0;
        if (!EnumProcesses(processBuffer.data(), capacity, &written)) {
            return false;
        }
        // A full buffer may have cut the list short: take it again with twice the room.
        if (written < capacity) {
            const auto count = static_cast<std::ptrdiff_t>(written / sizeof(DWORD));
            ids.assign(processBuffer.begin(), processBuffer.begin() + count);
            return true;
        }
        processBuffer.resize(processBuffer.size() * 2);
    }
}

namespace {

// What a process is opened with: enough to name it and to wait for its end. Windows grants this
// to the process's own user even when the process is elevated and we are not, where it refuses
// reading the process's memory and modules.
constexpr DWORD processAccess = PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE;

// Copies length bytes of text into name (size bytes, at least 1), cut to fit, zero-terminated.
void copyName(const char* text, std::size_t length, char* name, std::size_t size) {
    if (length >= size) {
        length = size - 1;
    }
    std::memcpy(name, text, length);
    name[length] = '\0';
}

// The file-name part of the process's image path; a 32-bit process is named as any other.
bool readImageFileName(HANDLE process, char* name, std::size_t size) {
    // Room for the longest path, 32767 characters, at two bytes each in a multibyte code page.
    char path[65536];
    DWORD length = sizeof path;
    if (size == 0 || !QueryFullProcessImageNameA(process, 0, path, &length)) {
        return false;
    }
    const char* base = path + length;
    while (base > path && !isSeparator(base[-1])) {
        --base;
    }
    copyName(base, static_cast<std::size_t>(path + length - base), name, size);
    return true;
}

HANDLE handleOf(HeldProcess process) {
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the shared types hold a handle as an integer
    return reinterpret_cast<HANDLE>(process);
}

// The image file name that the process snapshot gives for the process, taken now unless this
// listing has taken it already.
bool readSnapshotName(ProcessId processId, char* name, std::size_t size) {
    if (!snapshotTaken) {
        snapshotTaken = true;
        snapshot.clear();
        HANDLE handle = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        if (handle == INVALID_HANDLE_VALUE) {
            return false;
        }
        PROCESSENTRY32 entry;
        entry.dwSize = sizeof entry;
        for (BOOL more = Process32First(handle, &entry); more;
             more = Process32Next(handle, &entry)) {
            snapshot.push_back(entry);
        }
        CloseHandle(handle);
    }
    const auto entry = std::find_if(
        snapshot.begin(), snapshot.end(),
        [processId](const PROCESSENTRY32& listed) { return listed.th32ProcessID == processId; });
    if (entry == snapshot.end() || size == 0) {
        return false;
    }
    copyName(entry->szExeFile, std::strlen(entry->szExeFile), name, size);
    return true;
}

}  // namespace

bool readImageBaseName(ProcessId processId, char* name, std::size_t size) {
    HANDLE process = OpenProcess(processAccess, FALSE, processId);
    if (process == nullptr) {
        // Refused even that (another user's process, or a protected one): named by the snapshot.
        // Such a worker cannot be held either, so every scan looks for it again.
        return GetLastError() == ERROR_ACCESS_DENIED && readSnapshotName(processId, name, size);
    }
    const bool named = readImageFileName(process, name, size);
    CloseHandle(process);
    return named;
}

HeldProcess holdProcess(ProcessId processId, char* name, std::size_t size) {
    // SYNCHRONIZE lets later cycles wait on the handle to learn whether the process has ended.
    HANDLE process = OpenProcess(processAccess, FALSE, processId);
    if (process == nullptr) {
        return noHeldProcess;
    }
    if (WaitForSingleObject(process, 0) != WAIT_TIMEOUT ||
        !readImageFileName(process, name, size)) {
        CloseHandle(process);
        return noHeldProcess;
    }
    return reinterpret_cast<HeldProcess>(process);
}

bool readHeldImageBaseName(HeldProcess process, char*, std::size_t) {
    // A process cannot change its image, so whether it has ended is all there is to ask. A
    // zero-timeout wait says so plainly; an exit code cannot, since a process may exit with the
    // very value (259) that means "still active". A failed wait counts as ended.
    return WaitForSingleObject(handleOf(process), 0) == WAIT_TIMEOUT;
}

void releaseProcess(HeldProcess process) {
    CloseHandle(handleOf(process));
}

bool fileExists(const std::string& path) {
    // The runtime's file-status query fails for "dir\" and "dir/": drop one trailing separator,
    // but keep it where it is part of a root.
    std::string query = path;
    if (query.size() > 1 && isSeparator(query.back()) && !isDriveRoot(query) &&
        !isShareRoot(query)) {
        query.pop_back();
    }
    struct _stat64 status;
    return _stat64(query.c_str(), &status) == 0;
}

bool findChangeableByOthers(const std::string&, std::string&, std::string&) {
    // Who may change a file on Windows is decided by its access control list, not by an owner
    // and mode bits, and an elevated watchdog is not the only one at risk; a partial check
    // would promise more than it can tell, so none is made here.
    return false;
}

bool findHiddenProcesses(std::string&, std::string&) {
    // Every user sees the whole process list; what Windows refuses is opening a process.
    return false;
}

bool startScriptDetached(const std::string& path) {
    // The empty title matters: START takes the first quoted word as the window's title, so
    // without it a quoted path would open an empty console and start nothing.
    const std::string command = "START \"\" \"" + path + "\"";
    return std::system(command.c_str()) == 0;
}

void sleepMilliseconds(std::uint64_t milliseconds) {
    // Sleep takes 32 bits, and its largest value means "for ever": sleep in chunks below it.
    const std::uint64_t chunk = 0x7FFFFFFF;
    while (milliseconds > 0) {
        const std::uint64_t part = milliseconds < chunk ? milliseconds : chunk;
        Sleep(static_cast<DWORD>(part));
        milliseconds -= part;
    }
}

std::int64_t currentTime() {
    return static_cast<std::int64_t>(_time64(nullptr));
}

bool toLocalTime(std::int64_t time, std::tm& local) {
    const __time64_t value = static_cast<__time64_t>(time);
    return _localtime64_s(&local, &value) == 0;
}

namespace {

HANDLE handleOf(const AppendFile& file) {
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the shared types hold a handle as an integer
    return reinterpret_cast<HANDLE>(file.handle);
}

}  // namespace

bool openAppendFile(const char* name, AppendFile& file) {
    // Delete sharing lets the file be renamed or deleted while we hold it; the handle is not
    // inheritable, so no program we start holds the log file.
    HANDLE handle = CreateFileA(name, FILE_APPEND_DATA | FILE_WRITE_DATA | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    LARGE_INTEGER size;
    if (!GetFileSizeEx(handle, &size)) {
        CloseHandle(handle);
        return false;
    }
    file.handle = reinterpret_cast<std::intptr_t>(handle);
    file.size = static_cast<std::uint64_t>(size.QuadPart);
    return true;
}

bool isFileAtName(const AppendFile& file, const char* name) {
    // Windows has no file identity by name short of opening the file. We are the file's only
    // writer, so the file at the name is ours while its size is the one our writes left: a file
    // put in its place by a rotation is new and short, a deleted one has no attributes. Another
    // writer or a truncation makes the sizes differ too; the file is then merely reopened.
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    if (!GetFileAttributesExA(name, GetFileExInfoStandard, &attributes)) {
        return false;
    }
    const std::uint64_t size =
        static_cast<std::uint64_t>(attributes.nFileSizeHigh) << 32 | attributes.nFileSizeLow;
    return size == file.size;
}

std::int64_t appendToFile(AppendFile& file, const char* data, std::size_t size) {
    // Offset all ones: the write goes to the end of the file as it is at that moment.
    OVERLAPPED atEnd{};
    atEnd.Offset = 0xFFFFFFFF;
    atEnd.OffsetHigh = 0xFFFFFFFF;
    const DWORD count = size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
    DWORD written = 0;
    const BOOL done = WriteFile(handleOf(file), data, count, &written, &atEnd);
    file.size += written;
    return !done && written == 0 ? -1 : static_cast<std::int64_t>(written);
}

void undoAppend(AppendFile& file, std::size_t count) {
    // Cut back only while the file still ends where our write left it.
    LARGE_INTEGER size;
    if (!GetFileSizeEx(handleOf(file), &size) ||
        static_cast<std::uint64_t>(size.QuadPart) != file.size || file.size < count) {
        return;
    }
    LARGE_INTEGER cut;
    cut.QuadPart = static_cast<LONGLONG>(file.size - count);
    if (SetFilePointerEx(handleOf(file), cut, nullptr, FILE_BEGIN) &&
        SetEndOfFile(handleOf(file))) {
        file.size -= count;
    }
}

void closeAppendFile(AppendFile& file) {
    CloseHandle(handleOf(file));
    file.handle = -1;
}

void prepareStandardStreams() {
    // Standard output stays a text stream: "\n" reaches the console as CR LF. A console or
    // pipe that has gone away only makes writes fail; Windows sends no signal for it.
    // A service has no standard handles at all; the runtime then gives stdout no descriptor.
    if (_fileno(stdout) >= 0) {
        _setmode(_fileno(stdout), _O_TEXT);
    }
}

// Windows has no notify socket: a service talks to the service control manager instead.
void takeServiceManagerSettings() {}

// Nor PID namespaces: a stop reaches the watchdog as a service request.
void takeFirstProcessDuties(std::uint64_t) {}

void notifyServiceManager(const char*) {}

bool serviceManagerListens() {
    return false;
}

std::uint64_t keepAliveMilliseconds() {
    return 0;
}
