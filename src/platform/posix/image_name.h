// How Linux shows a process's image name: the file name of /proc/<id>/exe, and for a Windows
// program run by Wine's loader the file name of its first argument. POSIX only; declared apart
// from platform.h so that a test can give it a directory laid out like /proc/<id>.
#pragma once

#include <cstddef>

// The image base name from "<prefix>exe" and "<prefix>cmdline" relative to the open directory
// directoryFd, into name (size bytes, zero-terminated). False, name untouched, when unreadable.
bool imageBaseNameAt(int directoryFd, const char* prefix, char* name, std::size_t size);
