// Times the watchdog's scan of the process table: once for a name that is running (this
// program's own image, which must be found) and once for one that is not, where every process
// is opened. Usage: scan-timing [rounds]. Ends with status 1 when its own process is not found.
#include "platform/platform.h"
#include "watch/probe.h"

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

double microsecondsPerScan(const std::string& name, int rounds, bool& found) {
    const auto start = std::chrono::steady_clock::now();
    for (int round = 0; round < rounds; ++round) {
        scanForWorker(name, found);
    }
    const std::chrono::duration<double, std::micro> spent =
        std::chrono::steady_clock::now() - start;
    return spent.count() / rounds;
}

}  // namespace

int main(int argc, char* argv[]) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 200;
    char self[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string ownName(self, length);
    ownName.erase(0, ownName.find_last_of("\\/") + 1);

    std::vector<ProcessId> ids;
    if (rounds < 1 || !listProcessIds(ids)) {
        return 1;
    }
    bool foundSelf = false;
    bool foundAbsent = true;
    const double present = microsecondsPerScan(ownName, rounds, foundSelf);
    const double absent = microsecondsPerScan("Quorvank-LT-4294967295.exe", rounds, foundAbsent);
    std::printf("%zu processes; scan finding %s: %.1f us; scan of the whole table: %.1f us\n",
                ids.size(), ownName.c_str(), present, absent);
    return foundSelf && !foundAbsent ? 0 : 1;
}
