// How Linux shows a process's image name: the file name of /proc/<id>/exe, and for a Windows
// program run by Wine's loader the file name of its first argument. POSIX only; declared apart
// from platform.h so that a test can give it a directory laid out like /proc/<id>.
#pragma once

#include <cstddef>

// The image base name from "<prefix>exe" and "<prefix>cmdline" relative to the open directory
// directoryFd, into name (size bytes, zero-terminated). False, name untouched, when unreadable.
// A process whose exe link may not be read (another user's) is named as visibleImageBaseNameAt
// names it; refused, when given, is then set to true.
bool imageBaseNameAt(int directoryFd, const char* prefix, char* name, std::size_t size,
                     bool* refused = nullptr);

// The image base name from what every user may read of a process: "<prefix>comm", the kernel's
// name for it (the first 15 bytes of the file name it executed), when that is shorter than 15
// bytes; otherwise the file name of its first argument ("<prefix>cmdline", after the last '/'
// or '\'), but only when its first 15 bytes are that kernel name. False, name untouched, when
// unreadable or when the two names disagree.
bool visibleImageBaseNameAt(int directoryFd, const char* prefix, char* name, std::size_t size);
