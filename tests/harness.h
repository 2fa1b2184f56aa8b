// Runs the real zel-restarter binary in a private temporary directory against real worker
// processes: copies of `sleep` saved under the watched image name. Each test process watches its
// own instance number, so tests running in parallel never see each other's workers, and it
// kills only the processes it started, by PID.
//
// Built with ZEL_RUNNER set (the Wine suite), the same harness runs the Windows build under that
// runner in the private prefix ZEL_WINE_PREFIX: the worker is then the Windows test program
// ZEL_WORKER, start scripts are .bat files, and the console output has CR LF line ends.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <string>
#include <vector>

class EndToEnd : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::string path(const std::string& name) const;
    void writeFile(const std::string& name, const std::string& content, bool executable = false);
    std::string readFile(const std::string& name) const;
    bool exists(const std::string& name) const;

    // True for the Wine suite.
    static bool onWine();
    // The path as a Windows program sees it under Wine ("Z:\\tmp\\...").
    std::string windowsPath(const std::string& name) const;

    // Saves a copy of `sleep` (the Windows worker) under name in the test directory.
    void installWorker(const std::string& name);
    // Starts an installed worker directly from the test.
    pid_t startWorker(const std::string& name);
    void killWorker(pid_t pid);
    // An executable start script that records its PID in workers.pid and becomes the worker.
    // Under Wine a .bat file (CR LF) that runs the worker, which records its own PID.
    void writeStartScript(const std::string& name, const std::string& worker);
    // PIDs recorded by start scripts, in launch order.
    std::vector<pid_t> launchedWorkers() const;

    // Starts the watchdog in the test directory, standard output to out.txt or, when given, to
    // the descriptor standardOutput (closed for closedOutput); as user nobody when unprivileged.
    void startWatchdog(const std::vector<std::string>& arguments, int standardOutput = -1);
    void stopWatchdog();
    // Exit status of the watchdog, or -1 when it is still running after the timeout.
    int waitExit(int timeoutMs = 10000);
    // Waits until the watchdog's output holds text at least count times.
    bool waitForOutput(const std::string& text, int count = 1, int timeoutMs = 15000);
    // Waits until the file holds text at least count times.
    bool waitForText(const std::string& name, const std::string& text, int count = 1,
                     int timeoutMs = 15000);
    // The watchdog's child processes (none between two launches).
    std::vector<pid_t> watchdogChildren() const;
    std::string output() const {
        return readFile("out.txt");
    }
    // The timestamped lines of the output, prefix removed.
    std::vector<std::string> events(const std::string& text) const;

    std::string directory;
    int instance = 0;
    std::string workerName;  // Quorvank-LT-<instance>.exe
    std::string logName;     // Zel-Restarter-<instance>.log
    static constexpr int closedOutput = -2;
    pid_t watchdog = -1;
    bool unprivileged = false;
    std::string program = ZEL_BINARY;
    std::vector<pid_t> workers;
};

// Number of times part occurs in text.
int countOf(const std::string& text, const std::string& part);
