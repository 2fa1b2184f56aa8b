// Linux implementation of the platform operations.
#include "platform/platform.h"

#include "platform/posix/image_name.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

// /proc, opened by the first listing and kept open; image names are read relative to it, so a
// walk costs a look at /proc/self, one rewind of /proc and one readlinkat per process examined.
int procFd = -1;

// A process is known by its number and the inode number of its /proc entry, which a later
// process given the same number does not share.
struct ListedProcess {
    ProcessId id;
    std::uint64_t inode;
    bool operator<(const ListedProcess& other) const {
        return id < other.id || (id == other.id && inode < other.inode);
    }
};

// Unless we are root: the processes of this listing, and those whose exe link we were refused
// in this walk and in the one before, all in /proc's order (ascending). Asking for a link that
// will be refused costs about as much as reading the kernel name, and a process stays another
// user's: one refused before is named from what every user may read without asking again.
bool tracksRefusals = false;
std::vector<ListedProcess> listed;
std::vector<ListedProcess> refused;
std::vector<ListedProcess> refusedBefore;

bool openProcDirectory() {
    if (procFd < 0) {
        procFd = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        tracksRefusals = geteuid() != 0;
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

}  // namespace

bool listProcessIds(std::vector<ProcessId>& ids) {
    ids.clear();
    // Only a /proc that shows the watchdog itself shows every process it could start: an empty
    // folder, a file system laid over /proc or the /proc of a PID namespace we are not in lists
    // too little, and an empty list is no proof that the worker is absent. /proc/self resolves
    // exactly when we are shown, also from a child PID namespace, where our number differs.
    if (!openProcDirectory() || faccessat(procFd, "self", F_OK, 0) != 0 ||
        lseek(procFd, 0, SEEK_SET) < 0) {
        return false;
    }
    listed.clear();
    refusedBefore.swap(refused);
    refused.clear();
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
                if (tracksRefusals) {
                    listed.push_back({static_cast<ProcessId>(id), entry->d_ino});
                }
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
    const int directory = relative ? procFd : AT_FDCWD;
    const auto process =
        std::lower_bound(listed.begin(), listed.end(), ListedProcess{processId, 0});
    if (process == listed.end() || process->id != processId) {
        return imageBaseNameAt(directory, prefix, name, size);
    }
    bool refusedNow = std::binary_search(refusedBefore.begin(), refusedBefore.end(), *process);
    const bool named = refusedNow ? visibleImageBaseNameAt(directory, prefix, name, size)
                                  : imageBaseNameAt(directory, prefix, name, size, &refusedNow);
    if (refusedNow) {
        refused.push_back(*process);
    }
    return named;
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

// Whether a user other than root can change the entry at path: it belongs to another user, or
// its group or everyone may write it. In a sticky directory (/tmp) others may add entries but
// not rename or remove ours, so there the write bits do not count; the entries' owners do.
bool isChangeableByOthers(const std::string& path, std::string& why) {
    struct stat status;
    if (lstat(path.c_str(), &status) != 0) {
        return false;
    }
    if (status.st_uid != 0) {
        // cppcheck-suppress getpwuidCalled ; one thread only on Linux, so no reentrant form needed
        const struct passwd* user = getpwuid(status.st_uid);
        why = "is owned by " +
              (user ? std::string(user->pw_name) : "uid " + std::to_string(status.st_uid));
        return true;
    }
    if (S_ISLNK(status.st_mode) || (S_ISDIR(status.st_mode) && (status.st_mode & S_ISVTX))) {
        return false;
    }
    if (status.st_mode & S_IWOTH) {
        why = "is writable by every user";
        return true;
    }
    if (status.st_mode & S_IWGRP) {
        // cppcheck-suppress getgrgidCalled ; one thread only on Linux, so no reentrant form needed
        const struct group* group = getgrgid(status.st_gid);
        why = "is writable by group " +
              (group ? std::string(group->gr_name) : "gid " + std::to_string(status.st_gid));
        return true;
    }
    return false;
}

// Pushes the components of path onto pending so that the first one is taken next.
void pushComponents(const std::string& path, std::vector<std::string>& pending) {
    std::size_t end = path.size();
    while (end > 0) {
        const std::size_t slash = path.rfind('/', end - 1);
        const std::size_t start = slash == std::string::npos ? 0 : slash + 1;
        pending.push_back(path.substr(start, end - start));
        end = slash == std::string::npos ? 0 : slash;
    }
}

}  // namespace

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): two named results, each documented
bool findChangeableByOthers(const std::string& path, std::string& where, std::string& why) {
    if (geteuid() != 0 || path.empty()) {
        return false;
    }
    // Components still to resolve, the next one last. A relative path starts at the working
    // directory, which is walked from the root like the rest.
    std::vector<std::string> pending;
    pushComponents(path, pending);
    if (path[0] != '/') {
        char directory[PATH_MAX];
        if (getcwd(directory, sizeof directory) == nullptr || directory[0] != '/') {
            return false;
        }
        pushComponents(directory, pending);
    }
    if (isChangeableByOthers("/", why)) {
        where = "/";
        return true;
    }
    std::string reached;  // the directory reached so far, without links; "" is the root
    // Resolve one component at a time as the system does, checking each entry passed through;
    // a link's target is resolved in its place.
    int links = 0;
    while (!pending.empty()) {
        const std::string name = pending.back();
        pending.pop_back();
        if (name.empty() || name == ".") {
            continue;
        }
        if (name == "..") {
            reached.erase(reached.empty() ? 0 : reached.rfind('/'));
            continue;
        }
        std::string next = reached;
        next += '/';
        next += name;
        if (isChangeableByOthers(next, why)) {
            where = next;
            return true;
        }
        struct stat status;
        if (lstat(next.c_str(), &status) != 0) {
            return false;
        }
        if (!S_ISLNK(status.st_mode)) {
            reached = next;
            continue;
        }
        char target[PATH_MAX];
        const ssize_t length = readlink(next.c_str(), target, sizeof target);
        if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target || ++links > 40) {
            return false;
        }
        if (target[0] == '/') {
            reached.clear();
        }
        pushComponents(std::string(target, static_cast<std::size_t>(length)), pending);
    }
    return false;
}

namespace {

// Whether the effective group or one of the supplementary groups is group.
bool isInGroup(gid_t group) {
    if (getegid() == group) {
        return true;
    }
    const int count = getgroups(0, nullptr);
    std::vector<gid_t> groups(count > 0 ? static_cast<std::size_t>(count) : 0);
    if (count <= 0 || getgroups(count, groups.data()) != count) {
        return false;
    }
    return std::find(groups.begin(), groups.end(), group) != groups.end();
}

}  // namespace

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): two named results, each documented
bool findHiddenProcesses(std::string& hidepid, std::string& group) {
    if (geteuid() == 0) {
        return false;
    }
    // "<id> <parent> <device> <root> <mount point> <options> [optional fields] - <type>
    // <source> <super options>"; of several proc mounts on /proc the last one is on top.
    std::ifstream mounts("/proc/self/mountinfo");
    std::string superOptions;
    for (std::string line; std::getline(mounts, line);) {
        std::istringstream fields(line);
        std::string field;
        std::string mountPoint;
        for (int i = 0; i < 5 && fields >> field; ++i) {
            mountPoint = field;
        }
        while (fields >> field && field != "-") {
        }
        std::string type;
        std::string source;
        std::string options;
        if (mountPoint == "/proc" && fields >> type >> source >> options && type == "proc") {
            superOptions = options;
        }
    }
    std::string value;
    std::string gid;
    std::istringstream list(superOptions);
    for (std::string option; std::getline(list, option, ',');) {
        if (option.rfind("hidepid=", 0) == 0) {
            value = option.substr(std::strlen("hidepid="));
        } else if (option.rfind("gid=", 0) == 0) {
            gid = option.substr(std::strlen("gid="));
        }
    }
    if (value.empty() || value == "0" || value == "off") {
        return false;
    }
    // Under "ptraceable" only the processes we may trace are shown, whatever our groups. The
    // kernel shows no gid= for root's group, which then is the one exempted.
    const bool groupExempts = value != "4" && value != "ptraceable";
    const auto exempted = static_cast<gid_t>(std::strtoul(gid.c_str(), nullptr, 10));
    if (groupExempts && isInGroup(exempted)) {
        return false;
    }
    hidepid = value;
    group.clear();
    if (groupExempts && !gid.empty()) {
        // cppcheck-suppress getgrgidCalled ; one thread only on Linux, so no reentrant form needed
        const struct group* entry = getgrgid(exempted);
        group = entry != nullptr ? std::string(entry->gr_name) : "gid " + gid;
    }
    return true;
}

namespace {

// Runs in the forked grandchild: a clean signal state, stdin from /dev/null, then the script.
[[noreturn]] void execScript(const char* const direct[], const char* const viaWine[],
                             const char* const viaShell[]) {
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
    // Not executable, or no #! line: a batch file goes to Wine when there is one, anything else
    // (or a Wine that cannot be started) to the shell, as it would be run from a terminal.
    if (errno == EACCES || errno == ENOEXEC) {
        if (viaWine[0] != nullptr) {
            execv(viaWine[0], const_cast<char* const*>(viaWine));
        }
        execv(viaShell[0], const_cast<char* const*>(viaShell));
    }
    _exit(127);
}

bool isBatchFile(const std::string& path) {
    if (path.size() < 4) {
        return false;
    }
    char extension[4];
    for (std::size_t i = 0; i < 4; ++i) {
        const char c = path[path.size() - 4 + i];
        extension[i] = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return std::memcmp(extension, ".bat", 4) == 0 || std::memcmp(extension, ".cmd", 4) == 0;
}

// The executable file that execvp would run for a name without a slash: the first match along
// the PATH (an empty entry is the working directory), or "/bin:/usr/bin" when PATH is unset.
// Empty when there is none.
std::string findOnPath(const char* program) {
    const char* searchPath = std::getenv("PATH");
    if (searchPath == nullptr) {
        searchPath = "/bin:/usr/bin";
    }
    for (const char* entry = searchPath;; ++entry) {
        const char* entryEnd = std::strchr(entry, ':');
        if (entryEnd == nullptr) {
            entryEnd = entry + std::strlen(entry);
        }
        std::string candidate(entry, entryEnd);
        candidate += candidate.empty() ? "./" : "/";
        candidate += program;
        struct stat status;
        if (stat(candidate.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
            access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        if (*entryEnd == '\0') {
            return std::string();
        }
        entry = entryEnd;
    }
}

}  // namespace

bool startScriptDetached(const std::string& path) {
    // Everything the child needs is prepared before fork; after it only system calls run.
    const char* const direct[] = {path.c_str(), nullptr};
    // Wine's START with a Unix path opens the batch file in a console of its own and returns.
    // Named with its full Windows path: a bare "start" would find a start.bat in the working
    // directory first and run that instead, whatever the script.
    const std::string wine = isBatchFile(path) ? findOnPath("wine") : std::string();
    const char* const viaWine[] = {wine.empty() ? nullptr : wine.c_str(),
                                   "C:\\windows\\system32\\start.exe", "/unix", path.c_str(),
                                   nullptr};
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
            execScript(direct, viaWine, viaShell);
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

bool runAsService(int (*body)(int, char**), int argc, char** argv, int& status) {
    // systemd runs the watchdog as a plain program: there is nothing to connect to.
    status = body(argc, argv);
    return true;
}

void reportServiceRunning() {}

bool runningAsService() {
    return false;
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
