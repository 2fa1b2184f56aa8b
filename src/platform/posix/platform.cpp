// Linux implementation of the platform operations.
#include "platform/platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace {

// /proc, opened by the first listing and kept open; image names are read relative to it, so a
// walk costs one rewind of /proc and one readlinkat per process examined.
int procFd = -1;

const char deletedSuffix[] = " (deleted)";

bool openProcDirectory() {
    if (procFd < 0) {
        procFd = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    return procFd >= 0;
}

// Writes the decimal digits of id at out; returns the end. Formatted by hand: this runs for
// every process of every walk.
char* appendDecimal(char* out, ProcessId id) {
    char digits[10];
    std::size_t digitCount = 0;
    do {
        digits[digitCount++] = static_cast<char>('0' + id % 10);
        id /= 10;
    } while (id != 0);
    while (digitCount > 0) {
        *out++ = digits[--digitCount];
    }
    return out;
}

// Reads the link <prefix>exe relative to directoryFd (a process's /proc directory, or /proc
// itself with prefix "<pid>/") and writes the file-name part of its target to name.
bool imageBaseNameAt(int directoryFd, const char* prefix, char* name, std::size_t size) {
    char link[64];
    const std::size_t prefixLength = std::strlen(prefix);
    if (prefixLength + sizeof "exe" > sizeof link || size == 0) {
        return false;
    }
    std::memcpy(link, prefix, prefixLength);
    std::memcpy(link + prefixLength, "exe", sizeof "exe");
    char target[PATH_MAX];
    ssize_t length = readlinkat(directoryFd, link, target, sizeof target);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target) {
        return false;
    }
    // A running program whose file was removed or replaced shows as "<path> (deleted)".
    const std::size_t suffixLength = sizeof deletedSuffix - 1;
    if (static_cast<std::size_t>(length) > suffixLength &&
        std::memcmp(target + length - suffixLength, deletedSuffix, suffixLength) == 0) {
        length -= static_cast<ssize_t>(suffixLength);
    }
    const char* nameEnd = target + length;
    const char* base = nameEnd;
    while (base > target && base[-1] != '/') {
        --base;
    }
    std::size_t baseLength = static_cast<std::size_t>(nameEnd - base);
    if (baseLength >= size) {
        baseLength = size - 1;
    }
    std::memcpy(name, base, baseLength);
    name[baseLength] = '\0';
    return true;
}

}  // namespace

bool listProcessIds(std::vector<ProcessId>& ids) {
    ids.clear();
    if (!openProcDirectory() || lseek(procFd, 0, SEEK_SET) < 0) {
        return false;
    }
    alignas(8) char entries[32768];
    for (;;) {
        const ssize_t count = getdents64(procFd, entries, sizeof entries);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return count == 0;
        }
        for (ssize_t offset = 0; offset < count;) {
            const auto* entry = reinterpret_cast<const struct dirent64*>(entries + offset);
            offset += entry->d_reclen;
            // Processes are the entries with a decimal name.
            std::uint64_t id = 0;
            const char* c = entry->d_name;
            for (; *c >= '0' && *c <= '9' && id <= UINT32_MAX; ++c) {
                id = id * 10 + static_cast<unsigned>(*c - '0');
            }
            if (*c == '\0' && c != entry->d_name && id <= UINT32_MAX) {
                ids.push_back(static_cast<ProcessId>(id));
            }
        }
    }
}

bool readImageBaseName(ProcessId processId, char* name, std::size_t size) {
    char prefix[32] = "/proc/";
    const bool relative = openProcDirectory();
    char* end = appendDecimal(relative ? prefix : prefix + sizeof "/proc/" - 1, processId);
    *end++ = '/';
    *end = '\0';
    return imageBaseNameAt(relative ? procFd : AT_FDCWD, prefix, name, size);
}

HeldProcess holdProcess(ProcessId processId, char* name, std::size_t size) {
    // The descriptor of /proc/<pid> stays bound to that process: once it has ended, lookups
    // through it fail even when the identifier has gone to a new process.
    char directory[16];
    *appendDecimal(directory, processId) = '\0';
    const int held =
        openProcDirectory() ? openat(procFd, directory, O_PATH | O_DIRECTORY | O_CLOEXEC) : -1;
    if (held < 0) {
        return noHeldProcess;
    }
    if (!imageBaseNameAt(held, "", name, size)) {
        close(held);
        return noHeldProcess;
    }
    return held;
}

bool readHeldImageBaseName(HeldProcess process, char* name, std::size_t size) {
    // An ended process, a zombie included, has no exe link: the read fails.
    return imageBaseNameAt(static_cast<int>(process), "", name, size);
}

void releaseProcess(HeldProcess process) {
    close(static_cast<int>(process));
}

bool fileExists(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0;
}

namespace {

// Runs in the forked grandchild: a clean signal state, stdin from /dev/null, then the script.
[[noreturn]] void execScript(const char* const direct[], const char* const viaShell[]) {
    struct sigaction defaultAction;
    std::memset(&defaultAction, 0, sizeof defaultAction);
    defaultAction.sa_handler = SIG_DFL;
    for (int signalNumber = 1; signalNumber < NSIG; ++signalNumber) {
        sigaction(signalNumber, &defaultAction, nullptr);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    int devNull = open("/dev/null", O_RDONLY);
    if (devNull > 0) {
        dup2(devNull, 0);
        close(devNull);
    }
    // Descriptors we were started with are not the script's: a worker holding an inherited pipe
    // would keep whoever reads it waiting for as long as the worker runs.
    if (close_range(3, ~0U, 0) != 0) {
        for (long descriptor = sysconf(_SC_OPEN_MAX) - 1; descriptor >= 3; --descriptor) {
            close(static_cast<int>(descriptor));
        }
    }
    execv(direct[0], const_cast<char* const*>(direct));
    // Not executable, or no #! line: let the shell read it, as it would from a terminal.
    if (errno == EACCES || errno == ENOEXEC) {
        execv(viaShell[0], const_cast<char* const*>(viaShell));
    }
    _exit(127);
}

}  // namespace

bool startScriptDetached(const std::string& path) {
    // Everything the child needs is prepared before fork; after it only system calls run.
    const char* const direct[] = {path.c_str(), nullptr};
    const char* const viaShell[] = {"/bin/sh", "--", path.c_str(), nullptr};
    pid_t child = fork();
    if (child < 0) {
        return false;
    }
    if (child == 0) {
        // A new session keeps the terminal's Ctrl+C and hang-up away from the worker; the
        // intermediate child exits at once, so the script is adopted by init and never
        // becomes our zombie.
        if (setsid() < 0) {
            _exit(127);
        }
        pid_t grandchild = fork();
        if (grandchild == 0) {
            execScript(direct, viaShell);
        }
        _exit(grandchild < 0 ? 127 : 0);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void sleepMilliseconds(std::uint64_t milliseconds) {
    struct timespec remaining;
    remaining.tv_sec = static_cast<time_t>(milliseconds / 1000);
    remaining.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (nanosleep(&remaining, &remaining) < 0 && errno == EINTR) {
    }
}

std::int64_t currentTime() {
    return static_cast<std::int64_t>(time(nullptr));
}

bool toLocalTime(std::int64_t time, std::tm& local) {
    const time_t value = static_cast<time_t>(time);
    return localtime_r(&value, &local) != nullptr;
}

std::FILE* openAppendFile(const char* name) {
    // "e": close-on-exec, so the started script never holds the log file.
    return std::fopen(name, "ab+e");
}

void prepareStandardStreams() {
    // Started with a standard descriptor closed, the next file we open would take its number
    // and console output would land in it (the log file, say): hold them with /dev/null.
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        }
    }
    // A console or pipe reader that has gone away gives EPIPE on write instead of killing us.
    signal(SIGPIPE, SIG_IGN);
}
