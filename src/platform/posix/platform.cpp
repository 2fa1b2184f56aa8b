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
// scan costs one rewind of /proc and one readlinkat per process examined.
int procFd = -1;

// The process last asked about by isProcessListed and the directory position of its entry, so
// that later checks read that one entry instead of the whole table.
ProcessId knownId = 0;
off_t knownPosition = 0;

const char deletedSuffix[] = " (deleted)";

// Reads /proc from position start and calls visit(id, position of the entry) for each process
// entry (a decimal name) until visit returns false. False when /proc cannot be read.
template <typename Visit>
bool readProcessEntries(off_t start, char* buffer, std::size_t size, Visit visit) {
    if (procFd < 0) {
        procFd = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (procFd < 0) {
            return false;
        }
    }
    if (lseek(procFd, start, SEEK_SET) < 0) {
        return false;
    }
    off_t position = start;
    for (;;) {
        const ssize_t count = getdents64(procFd, buffer, size);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return count == 0;
        }
        for (ssize_t offset = 0; offset < count;) {
            const auto* entry = reinterpret_cast<const struct dirent64*>(buffer + offset);
            offset += entry->d_reclen;
            const off_t entryPosition = position;
            position = entry->d_off;
            std::uint64_t id = 0;
            const char* c = entry->d_name;
            for (; *c >= '0' && *c <= '9' && id <= UINT32_MAX; ++c) {
                id = id * 10 + static_cast<unsigned>(*c - '0');
            }
            if (*c == '\0' && c != entry->d_name && id <= UINT32_MAX &&
                !visit(static_cast<ProcessId>(id), entryPosition)) {
                return true;
            }
        }
    }
}

}  // namespace

bool listProcessIds(std::vector<ProcessId>& ids) {
    ids.clear();
    alignas(8) char entries[32768];
    return readProcessEntries(0, entries, sizeof entries, [&ids](ProcessId id, off_t) {
        ids.push_back(id);
        return true;
    });
}

bool isProcessListed(ProcessId processId, bool& listed) {
    listed = false;
    // An entry's position follows from its identifier and stays while the process lives, so
    // the entry read back from there tells whether the process is still listed. Only a failed
    // read falls back to the whole table, which decides whether a list can be taken at all.
    if (knownId == processId) {
        alignas(8) char entries[512];
        if (readProcessEntries(knownPosition, entries, sizeof entries,
                               [processId, &listed](ProcessId id, off_t) {
                                   listed = id == processId;
                                   return false;
                               })) {
            knownId = listed ? processId : 0;
            return true;
        }
        listed = false;
    }
    // Not asked about before: look through the whole table and remember where it stands.
    knownId = 0;
    alignas(8) char entries[32768];
    return readProcessEntries(0, entries, sizeof entries,
                              [processId, &listed](ProcessId id, off_t position) {
                                  if (id != processId) {
                                      return true;
                                  }
                                  listed = true;
                                  knownId = id;
                                  knownPosition = position;
                                  return false;
                              });
}

bool readImageBaseName(ProcessId processId, char* name, std::size_t size) {
    // "/proc/<id>/exe", formatted by hand: this runs for every process of every scan.
    const char procPrefix[] = "/proc/";
    char link[32];
    std::memcpy(link, procPrefix, sizeof procPrefix - 1);
    char digits[10];
    std::size_t digitCount = 0;
    do {
        digits[digitCount++] = static_cast<char>('0' + processId % 10);
        processId /= 10;
    } while (processId != 0);
    char* end = link + sizeof procPrefix - 1;
    while (digitCount > 0) {
        *end++ = digits[--digitCount];
    }
    std::memcpy(end, "/exe", sizeof "/exe");
    char target[PATH_MAX];
    ssize_t length = procFd >= 0
                         ? readlinkat(procFd, link + sizeof procPrefix - 1, target, sizeof target)
                         : readlink(link, target, sizeof target);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target || size == 0) {
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

bool openAppendFile(const char* name, AppendFile& file) {
    // O_APPEND: every write lands at the end as it is then, also after someone truncated the
    // file. Close-on-exec, so the started script never holds the log file.
    const int fd = open(name, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        return false;
    }
    struct stat status;
    if (fstat(fd, &status) != 0) {
        close(fd);
        return false;
    }
    file.handle = fd;
    file.device = static_cast<std::uint64_t>(status.st_dev);
    file.inode = static_cast<std::uint64_t>(status.st_ino);
    return true;
}

bool isFileAtName(const AppendFile& file, const char* name) {
    struct stat status;
    return stat(name, &status) == 0 && static_cast<std::uint64_t>(status.st_dev) == file.device &&
           static_cast<std::uint64_t>(status.st_ino) == file.inode;
}

std::int64_t appendToFile(AppendFile& file, const char* data, std::size_t size) {
    const ssize_t written = write(static_cast<int>(file.handle), data, size);
    return written < 0 ? -1 : static_cast<std::int64_t>(written);
}

void undoAppend(AppendFile& file, std::size_t count) {
    // The descriptor's offset is where our write ended, whatever happened to the file after it.
    // Cut back only while the file still ends there: had it been truncated meanwhile (a rotation
    // by copy and truncation), cutting would fill it up with zero bytes instead.
    const int fd = static_cast<int>(file.handle);
    const off_t end = lseek(fd, 0, SEEK_CUR);
    struct stat status;
    if (end >= static_cast<off_t>(count) && fstat(fd, &status) == 0 && status.st_size == end) {
        while (ftruncate(fd, end - static_cast<off_t>(count)) != 0 && errno == EINTR) {
        }
    }
}

void closeAppendFile(AppendFile& file) {
    close(static_cast<int>(file.handle));
    file.handle = -1;
}

void prepareStandardStreams() {
    // Started with a standard descriptor closed, the next file we open would take its number
    // and console output would land in it (the log file, say): hold them with /dev/null.
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        }
    }
    // A console or pipe reader that has gone away gives EPIPE on write instead of killing us;
    // a log file at the file-size limit gives EFBIG.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
}
