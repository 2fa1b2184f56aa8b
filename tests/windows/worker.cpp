// The worker that the Wine end-to-end tests watch, saved there as "Quorvank-LT-<n>.exe".
// Usage: worker [seconds [pid-file]]. With a pid file it first appends its process id to it, so
// a test can count how often its start script ran. It then idles until the seconds have passed,
// a file named "stop" appears beside the program, or the program's directory is gone. The stop
// file is how a test ends the workers its start scripts launched: their Windows process ids
// mean nothing to the Linux side, and killing by name could hit other tests' workers.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char* argv[]) {
    const long seconds = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 600;
    if (argc > 2) {
        if (std::FILE* pids = std::fopen(argv[2], "a")) {
            std::fprintf(pids, "%lu\n", GetCurrentProcessId());
            std::fclose(pids);
        }
    }
    char self[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string directory(self, length);
    directory.erase(directory.find_last_of("\\/") + 1);
    const std::string stop = directory + "stop";
    for (long waited = 0; waited < seconds * 1000; waited += 50) {
        if (GetFileAttributesA(stop.c_str()) != INVALID_FILE_ATTRIBUTES ||
            GetFileAttributesA(directory.c_str()) == INVALID_FILE_ATTRIBUTES) {
            break;
        }
        Sleep(50);
    }
    return 0;
}
