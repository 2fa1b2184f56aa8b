// The duties of a PID namespace's first process, which the watchdog has when it is a
// container's command: every orphan of the namespace becomes its child and must be reaped, and
// the kernel delivers to it only the signals it handles, so a stop from outside (SIGTERM from
// the engine, SIGINT from a terminal) must be taken and passed on to the worker, which the
// watchdog alone knows. Outside that role the watchdog sleeps between scans and a stop signal
// ends it, leaving the worker running.
#include "platform/platform.h"

#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace {

bool firstProcess = false;
// How long the other processes are given to end after a stop was passed on to them.
std::uint64_t othersEndMilliseconds = 0;
sigset_t takenSignals;  // SIGTERM, SIGINT and SIGCHLD: blocked, and taken by sigtimedwait

// A handler, so that the kernel passes these signals to the first process at all; blocked, it
// never runs.
void ignoreSignal(int /*signalNumber*/) {}

std::uint64_t monotonicMilliseconds() {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000 +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000000;
}

// Waits until the deadline for one of the taken signals: its number, or 0 once the time is up.
int waitForSignal(std::uint64_t deadline) {
    for (;;) {
        const std::uint64_t now = monotonicMilliseconds();
        if (now >= deadline) {
            return 0;
        }
        const std::uint64_t left = deadline - now;
        struct timespec timeout {};
        timeout.tv_sec = static_cast<time_t>(left / 1000);
        timeout.tv_nsec = static_cast<long>(left % 1000) * 1000000L;
        const int signalNumber = sigtimedwait(&takenSignals, nullptr, &timeout);
        if (signalNumber > 0) {
            return signalNumber;
        }
        if (errno != EINTR) {
            return 0;
        }
    }
}

// Reaps every child that has ended, ours or adopted.
void reapEndedChildren() {
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

// Passes the stop signal on to every other process of the namespace (kill(-1) reaches all of
// them but the first process itself) and waits until none is left, for a bounded time.
void stopOthers(int signalNumber) {
    kill(-1, signalNumber);
    const std::uint64_t deadline = monotonicMilliseconds() + othersEndMilliseconds;
    for (;;) {
        reapEndedChildren();
        // Success means some process still takes signals from us.
        if (kill(-1, 0) != 0 && errno == ESRCH) {
            return;
        }
        // A child's end wakes us at once; one that joined the namespace from outside is not
        // ours, so look again now and then.
        const std::uint64_t now = monotonicMilliseconds();
        if (now >= deadline) {
            return;
        }
        const std::uint64_t next = now + 100 < deadline ? now + 100 : deadline;
        waitForSignal(next);
    }
}

}  // namespace

void takeFirstProcessDuties(std::uint64_t stopTimeoutMilliseconds) {
    if (getpid() != 1) {
        return;
    }
    firstProcess = true;
    othersEndMilliseconds = stopTimeoutMilliseconds;
    sigemptyset(&takenSignals);
    sigaddset(&takenSignals, SIGTERM);
    sigaddset(&takenSignals, SIGINT);
    sigaddset(&takenSignals, SIGCHLD);
    sigprocmask(SIG_BLOCK, &takenSignals, nullptr);
    struct sigaction action {};
    action.sa_handler = ignoreSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

bool waitForStopRequest(std::uint64_t milliseconds) {
    if (!firstProcess) {
        // systemd and a terminal stop the watchdog with a signal that ends it.
        sleepMilliseconds(milliseconds);
        return false;
    }
    const std::uint64_t deadline = monotonicMilliseconds() + milliseconds;
    for (;;) {
        const int signalNumber = waitForSignal(deadline);
        if (signalNumber == 0) {
            return false;
        }
        if (signalNumber == SIGCHLD) {
            reapEndedChildren();
            continue;
        }
        stopOthers(signalNumber);
        return true;
    }
}
