#include "platform/posix/image_name.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <initializer_list>

namespace {

// A text in a buffer, not zero-terminated.
struct Text {
    const char* begin;
    const char* end;
};

// "<prefix>exe" or "<prefix>cmdline"; the longest prefix in use is "/proc/<id>/".
bool entryPath(const char* prefix, const char* entry, char (&path)[48]) {
    const std::size_t prefixLength = std::strlen(prefix);
    if (prefixLength + std::strlen(entry) + 1 > sizeof path) {
        return false;
    }
    std::memcpy(path, prefix, prefixLength);
    std::memcpy(path + prefixLength, entry, std::strlen(entry) + 1);
    return true;
}

// The target of the exe link, without the " (deleted)" that marks a program whose file was
// removed or replaced while it runs.
bool readExeLink(int directoryFd, const char* prefix, char (&target)[PATH_MAX], Text& image) {
    char path[48];
    if (!entryPath(prefix, "exe", path)) {
        return false;
    }
    const ssize_t length = readlinkat(directoryFd, path, target, sizeof target);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target) {
        return false;
    }
    static const char deletedSuffix[] = " (deleted)";
    const std::size_t suffixLength = sizeof deletedSuffix - 1;
    image = {target, target + length};
    if (static_cast<std::size_t>(length) > suffixLength &&
        std::memcmp(image.end - suffixLength, deletedSuffix, suffixLength) == 0) {
        image.end -= suffixLength;
    }
    return true;
}

// The file-name part: what follows the last '/' and, for a Windows path, the last '\'.
const char* fileNamePart(Text path, bool windowsPath) {
    const char* at = path.end;
    while (at > path.begin && at[-1] != '/' && !(windowsPath && at[-1] == '\\')) {
        --at;
    }
    return at;
}

// Wine's loaders, the executable of every Windows program that Wine runs.
bool isWineLoader(Text name) {
    const std::size_t length = static_cast<std::size_t>(name.end - name.begin);
    for (const char* loader : {"wine", "wine64", "wine-preloader", "wine64-preloader"}) {
        if (std::strlen(loader) == length && std::memcmp(loader, name.begin, length) == 0) {
            return true;
        }
    }
    return false;
}

// Reads up to size bytes of "<prefix><entry>": the count read, or -1.
ssize_t readEntry(int directoryFd, const char* prefix, const char* entry, char* buffer,
                  std::size_t size) {
    char path[48];
    if (!entryPath(prefix, entry, path)) {
        return -1;
    }
    const int file = openat(directoryFd, path, O_RDONLY | O_CLOEXEC);
    if (file < 0) {
        return -1;
    }
    ssize_t count = 0;
    do {
        count = read(file, buffer, size);
    } while (count < 0 && errno == EINTR);
    close(file);
    return count;
}

// The first argument of the command line: for a program under Wine, the Windows program as it
// was started ("Z:\srv\Quorvank-LT.exe", "./Quorvank-LT.exe"). None for a zombie.
bool readFirstArgument(int directoryFd, const char* prefix, char (&buffer)[PATH_MAX],
                       Text& argument) {
    const ssize_t count = readEntry(directoryFd, prefix, "cmdline", buffer, sizeof buffer);
    if (count <= 0) {
        return false;
    }
    const auto* end =
        static_cast<const char*>(std::memchr(buffer, '\0', static_cast<std::size_t>(count)));
    if (end == nullptr && static_cast<std::size_t>(count) == sizeof buffer) {
        return false;  // a full buffer without a terminator: the argument did not fit
    }
    argument = {buffer, end != nullptr ? end : buffer + count};
    return true;
}

// Copies text into name (size bytes, at least 1), cut to fit and zero-terminated.
void copyName(Text text, char* name, std::size_t size) {
    std::size_t length = static_cast<std::size_t>(text.end - text.begin);
    if (length >= size) {
        length = size - 1;
    }
    std::memcpy(name, text.begin, length);
    name[length] = '\0';
}

// The longest name the kernel keeps for a process ("comm").
constexpr std::size_t kernelNameLength = 15;

}  // namespace

bool imageBaseNameAt(int directoryFd, const char* prefix, char* name, std::size_t size,
                     bool* refused) {
    char buffer[PATH_MAX];
    Text image;
    errno = 0;
    if (size == 0 || !readExeLink(directoryFd, prefix, buffer, image)) {
        // Another user's process: its image may not be read, but its names may.
        if (errno != EACCES && errno != EPERM) {
            return false;
        }
        if (refused != nullptr) {
            *refused = true;
        }
        return visibleImageBaseNameAt(directoryFd, prefix, name, size);
    }
    Text base = {fileNamePart(image, false), image.end};
    if (isWineLoader(base)) {
        if (!readFirstArgument(directoryFd, prefix, buffer, image)) {
            return false;
        }
        base = {fileNamePart(image, true), image.end};
        if (base.begin == base.end) {
            return false;
        }
    }
    copyName(base, name, size);
    return true;
}

bool visibleImageBaseNameAt(int directoryFd, const char* prefix, char* name, std::size_t size) {
    // The kernel's name is the first 15 bytes of the file name the process executed (under
    // Wine, of the Windows program), followed by a line feed.
    char kernelName[kernelNameLength + 1];
    const ssize_t count = readEntry(directoryFd, prefix, "comm", kernelName, sizeof kernelName);
    if (size == 0 || count <= 1 || kernelName[count - 1] != '\n') {
        return false;
    }
    const std::size_t length = static_cast<std::size_t>(count) - 1;
    if (length < kernelNameLength) {
        // Shorter than any worker's name: the whole name, and no argument needs to be read.
        copyName({kernelName, kernelName + length}, name, size);
        return true;
    }
    // Cut short: the full name is the first argument's file name, when that agrees with it.
    // A program that only calls itself so in its arguments has its own file's name here.
    char buffer[PATH_MAX];
    Text argument;
    if (!readFirstArgument(directoryFd, prefix, buffer, argument)) {
        return false;
    }
    const Text base = {fileNamePart(argument, true), argument.end};
    if (static_cast<std::size_t>(base.end - base.begin) < kernelNameLength ||
        std::memcmp(base.begin, kernelName, kernelNameLength) != 0) {
        return false;
    }
    copyName(base, name, size);
    return true;
}
