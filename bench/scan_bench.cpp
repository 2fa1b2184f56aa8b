// Cost of one full scan of the live process table with the worker absent, the watchdog's worst
// case, with extra sleeping processes that the benchmark starts itself and reaps by PID.
//
//   scan/warm            back-to-back scans: caches stay warm, the lowest figure
//   list/warm            the process list alone, to split listing from reading images
//   scan/once_a_second   a few scans one second apart, as the watchdog runs them
#include "platform/platform.h"
#include "watch/probe.h"

#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

namespace {

long allocations = 0;

std::vector<pid_t> sleepers;

std::size_t countProcesses() {
    std::vector<ProcessId> ids;
    return listProcessIds(ids) ? ids.size() : 0;
}

long readLong(const char* path) {
    long value = 0;
    if (std::FILE* file = std::fopen(path, "r")) {
        if (std::fscanf(file, "%ld", &value) != 1) {
            value = 0;
        }
        std::fclose(file);
    }
    return value;
}

// Room for more processes under pid_max and, unless we are root, RLIMIT_NPROC, with a margin
// for the other users of the machine.
long processHeadroom() {
    long limit = readLong("/proc/sys/kernel/pid_max");
    struct rlimit nproc;
    if (geteuid() != 0 && getrlimit(RLIMIT_NPROC, &nproc) == 0 && nproc.rlim_cur != RLIM_INFINITY &&
        static_cast<long>(nproc.rlim_cur) < limit) {
        limit = static_cast<long>(nproc.rlim_cur);
    }
    return limit - static_cast<long>(countProcesses()) - 1024;
}

void stopSleepers(std::size_t keep) {
    for (std::size_t i = keep; i < sleepers.size(); ++i) {
        kill(sleepers[i], SIGKILL);
    }
    for (std::size_t i = keep; i < sleepers.size(); ++i) {
        waitpid(sleepers[i], nullptr, 0);
    }
    sleepers.resize(keep < sleepers.size() ? keep : sleepers.size());
}

// Brings the number of our sleeping children to count; false when the machine has no room.
bool keepSleepers(std::size_t count) {
    if (count <= sleepers.size()) {
        stopSleepers(count);
        return true;
    }
    if (static_cast<long>(count - sleepers.size()) > processHeadroom()) {
        return false;
    }
    const pid_t parent = getpid();
    while (sleepers.size() < count) {
        const pid_t pid = fork();
        if (pid < 0) {
            return false;
        }
        if (pid == 0) {
            // Dies with the benchmark, even when the benchmark is killed.
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) {
                _exit(0);
            }
            for (;;) {
                pause();
            }
        }
        sleepers.push_back(pid);
    }
    return true;
}

// A name that no process on the machine runs under: our own PID as the instance.
const std::string& absentWorker() {
    static const std::string name = "Quorvank-LT-" + std::to_string(getpid()) + ".exe";
    return name;
}

void reportPerProcess(benchmark::State& state, long allocationsInLoop, std::size_t processes) {
    state.counters["processes"] = static_cast<double>(processes);
    state.counters["per_process"] = benchmark::Counter(
        static_cast<double>(processes),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["allocs"] = benchmark::Counter(static_cast<double>(allocationsInLoop),
                                                  benchmark::Counter::kAvgIterations);
}

bool prepare(benchmark::State& state) {
    if (!keepSleepers(static_cast<std::size_t>(state.range(0)))) {
        state.SkipWithError("not enough room for that many processes (ulimit -u, pid_max)");
        return false;
    }
    return true;
}

void scanWarm(benchmark::State& state) {
    if (!prepare(state)) {
        return;
    }
    bool found = false;
    scanForWorker(absentWorker(), found);  // sizes the reused identifier list
    const long before = allocations;
    for (auto _ : state) {
        if (!scanForWorker(absentWorker(), found) || found) {
            state.SkipWithError("scan failed or found a worker that does not run");
            break;
        }
    }
    const long allocated = allocations - before;
    reportPerProcess(state, allocated, countProcesses());
}

void listWarm(benchmark::State& state) {
    if (!prepare(state)) {
        return;
    }
    std::vector<ProcessId> ids;
    listProcessIds(ids);
    const long before = allocations;
    for (auto _ : state) {
        if (!listProcessIds(ids)) {
            state.SkipWithError("no process list");
            break;
        }
        benchmark::DoNotOptimize(ids.data());
    }
    const long allocated = allocations - before;
    reportPerProcess(state, allocated, ids.size());
}

void listOnceASecond(benchmark::State& state) {
    if (!prepare(state)) {
        return;
    }
    std::vector<ProcessId> ids;
    listProcessIds(ids);
    const long before = allocations;
    for (auto _ : state) {
        state.PauseTiming();
        sleepMilliseconds(1000);
        state.ResumeTiming();
        if (!listProcessIds(ids)) {
            state.SkipWithError("no process list");
            break;
        }
    }
    const long allocated = allocations - before;
    reportPerProcess(state, allocated, ids.size());
}

void scanOnceASecond(benchmark::State& state) {
    if (!prepare(state)) {
        return;
    }
    bool found = false;
    scanForWorker(absentWorker(), found);
    const long before = allocations;
    for (auto _ : state) {
        state.PauseTiming();
        sleepMilliseconds(1000);
        state.ResumeTiming();
        if (!scanForWorker(absentWorker(), found) || found) {
            state.SkipWithError("scan failed or found a worker that does not run");
            break;
        }
    }
    const long allocated = allocations - before;
    reportPerProcess(state, allocated, countProcesses());
}

}  // namespace

// Counts every allocation made through new, so a scan that allocates per process shows.
void* operator new(std::size_t size) {
    ++allocations;
    if (void* block = std::malloc(size != 0 ? size : 1)) {
        return block;
    }
    std::abort();
}

void operator delete(void* block) noexcept {
    std::free(block);
}

void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}

int main(int argc, char** argv) {
    for (long extra : {0L, 500L, 2048L, 5000L}) {
        benchmark::RegisterBenchmark("scan/warm", scanWarm)
            ->Arg(extra)
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark("list/warm", listWarm)
            ->Arg(extra)
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark("list/once_a_second", listOnceASecond)
            ->Arg(extra)
            ->Iterations(5)
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark("scan/once_a_second", scanOnceASecond)
            ->Arg(extra)
            ->Iterations(5)
            ->Unit(benchmark::kMicrosecond);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    stopSleepers(0);
    return 0;
}
