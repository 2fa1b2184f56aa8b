// The worker of the Wine scenarios, saved there as "Quorvank-LT-<n>.exe". Usage: worker seconds
// [pid-file]. It appends its process id to the pid file, so that a test can count its starts,
// then idles until the seconds have passed or a file named "stop" appears in its working
// directory: that is how a test ends the workers its scripts started, whose Windows process ids
// mean nothing on the Linux side.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char* argv[]) {
    std::FILE* pids = argc > 2 ? std::fopen(argv[2], "a") : nullptr;
    if (pids != nullptr) {
        std::fprintf(pids, "%lu\n", GetCurrentProcessId());
        std::fclose(pids);
    }
    for (long waited = 0; argc > 1 && waited < std::atol(argv[1]) * 1000; waited += 50) {
        if (GetFileAttributesA("stop") != INVALID_FILE_ATTRIBUTES) {
            break;
        }
        Sleep(50);
    }
}
