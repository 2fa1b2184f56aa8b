#include "harness.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#ifndef ZEL_RUNNER
#define ZEL_RUNNER ""
#endif
#ifndef ZEL_WORKER
#define ZEL_WORKER "/bin/sleep"
#endif

namespace {

constexpr bool underRunner = ZEL_RUNNER[0] != '\0';

// The program, under the runner when there is one.
std::vector<const char*> commandFor(const char* program) {
    std::vector<const char*> argv;
    if (underRunner) {
        argv.push_back(ZEL_RUNNER);
    }
    argv.push_back(program);
    return argv;
}

// In a forked child under Wine: standard streams from the given one on go to /dev/null. Wine may
// start its server and system processes from our child, and they would keep the test's output
// open, so ctest would wait for them long after the test has ended.
void detachFromTestOutput(int firstStream) {
    const int devNull = open("/dev/null", O_RDWR);
    for (int stream = firstStream; underRunner && devNull >= 0 && stream <= 2; ++stream) {
        dup2(devNull, stream);
    }
    if (devNull > 2) {
        close(devNull);
    }
}

void pause(int milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

// Whether pid still runs a program from our test directory (guards against PID reuse).
bool runsFrom(pid_t pid, const std::string& directory) {
    char target[4096];
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
    return length > 0 && std::string(target, length).rfind(directory, 0) == 0;
}

}  // namespace

int countOf(const std::string& text, const std::string& part) {
    int count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

void EndToEnd::SetUp() {
    char name[] = "/tmp/zel-e2e-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    directory = name;
    // PIDs of live processes are unique, so this number is ours for the test's lifetime.
    instance = static_cast<int>(getpid());
    workerName = "Quorvank-LT-" + std::to_string(instance) + ".exe";
    logName = "Zel-Restarter-" + std::to_string(instance) + ".log";
#ifdef ZEL_WINE_PREFIX
    // Headless, quiet, in the suite's own prefix; inherited by everything the test starts.
    setenv("WINEPREFIX", ZEL_WINE_PREFIX, 1);
    setenv("WINEDEBUG", "-all", 1);
    setenv("WINEDLLOVERRIDES", "mscoree,mshtml=;winemenubuilder.exe=d", 1);
    unsetenv("DISPLAY");
#endif
}

void EndToEnd::TearDown() {
    stopWatchdog();
    for (pid_t pid : workers) {
        killWorker(pid);
    }
    if (onWine()) {
        // Windows PIDs mean nothing here: the stop file ends the workers our scripts started
        // (and they end by themselves once the directory is gone).
        if (!launchedWorkers().empty()) {
            writeFile("stop", "");
            pause(300);
        }
    } else {
        for (pid_t pid : launchedWorkers()) {
            if (runsFrom(pid, directory)) {
                kill(pid, SIGKILL);
            }
        }
    }
    std::system(("rm -rf '" + directory + "'").c_str());
}

bool EndToEnd::onWine() {
    return underRunner;
}

std::string EndToEnd::windowsPath(const std::string& name) const {
    std::string windows = "Z:" + path(name);
    for (char& c : windows) {
        c = c == '/' ? '\\' : c;
    }
    return windows;
}

std::string EndToEnd::path(const std::string& name) const {
    return directory + "/" + name;
}

void EndToEnd::writeFile(const std::string& name, const std::string& content, bool executable) {
    std::ofstream(path(name), std::ios::binary) << content;
    chmod(path(name).c_str(), executable ? 0755 : 0644);
}

std::string EndToEnd::readFile(const std::string& name) const {
    std::ifstream file(path(name), std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}

bool EndToEnd::exists(const std::string& name) const {
    return access(path(name).c_str(), F_OK) == 0;
}

void EndToEnd::installWorker(const std::string& name) {
    std::ifstream sleepProgram(ZEL_WORKER, std::ios::binary);
    std::ofstream(path(name), std::ios::binary) << sleepProgram.rdbuf();
    chmod(path(name).c_str(), 0755);
}

pid_t EndToEnd::startWorker(const std::string& name) {
    const std::string program = path(name);
    // Under Wine the process runs the loader, not our file: the worker reports itself instead.
    const std::string startedFile = windowsPath("started.pid");
    std::vector<const char*> argv = commandFor(program.c_str());
    argv.push_back("600");
    if (onWine()) {
        argv.push_back(startedFile.c_str());
    }
    argv.push_back(nullptr);
    const std::size_t before = countOf(readFile("started.pid"), "\n");
    pid_t pid = fork();
    if (pid == 0) {
        detachFromTestOutput(0);
        execv(argv[0], const_cast<char* const*>(argv.data()));
        _exit(127);
    }
    workers.push_back(pid);
    for (int i = 0; i < 1000; ++i) {
        // until exec has replaced the forked copy of the test, or the worker has reported
        if (onWine() ? countOf(readFile("started.pid"), "\n") > static_cast<int>(before)
                     : runsFrom(pid, directory)) {
            break;
        }
        pause(10);
    }
    return pid;
}

void EndToEnd::killWorker(pid_t pid) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

void EndToEnd::writeStartScript(const std::string& name, const std::string& worker) {
    if (onWine()) {
        writeFile(name, "@echo off\r\n\"" + windowsPath(worker) + "\" 600 \"" +
                            windowsPath("workers.pid") + "\"\r\n");
        return;
    }
    writeFile(
        name,
        "#!/bin/sh\necho $$ >> '" + path("workers.pid") + "'\nexec '" + path(worker) + "' 600\n",
        true);
}

std::vector<pid_t> EndToEnd::launchedWorkers() const {
    std::vector<pid_t> pids;
    std::istringstream lines(readFile("workers.pid"));
    for (pid_t pid; lines >> pid;) {
        pids.push_back(pid);
    }
    return pids;
}

void EndToEnd::startWatchdog(const std::vector<std::string>& arguments, int standardOutput) {
    const std::string outputPath = path("out.txt");
    std::vector<const char*> argv = commandFor(program.c_str());
    for (const std::string& argument : arguments) {
        argv.push_back(argument.c_str());
    }
    argv.push_back(nullptr);
    watchdog = fork();
    if (watchdog == 0) {
        int out = standardOutput >= 0
                      ? standardOutput
                      : open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int in = open("/dev/null", O_RDONLY);
        if (out < 0 || in < 0 || dup2(out, 1) < 0 || dup2(in, 0) < 0 ||
            chdir(directory.c_str()) != 0) {
            _exit(126);
        }
        if (standardOutput == closedOutput) {
            close(1);
        }
        const gid_t nobody = 65534;
        if (unprivileged &&
            (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0)) {
            _exit(126);
        }
        detachFromTestOutput(2);
        execv(argv[0], const_cast<char* const*>(argv.data()));
        _exit(127);
    }
}

void EndToEnd::stopWatchdog() {
    if (watchdog > 0) {
        kill(watchdog, SIGKILL);
        waitpid(watchdog, nullptr, 0);
        watchdog = -1;
    }
}

int EndToEnd::waitExit(int timeoutMs) {
    for (int waited = 0; waited <= timeoutMs; waited += 20) {
        int status = 0;
        if (waitpid(watchdog, &status, WNOHANG) == watchdog) {
            watchdog = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        pause(20);
    }
    return -1;
}

bool EndToEnd::waitForOutput(const std::string& text, int count, int timeoutMs) {
    return waitForText("out.txt", text, count, timeoutMs);
}

bool EndToEnd::waitForText(const std::string& name, const std::string& text, int count,
                           int timeoutMs) {
    for (int waited = 0; waited <= timeoutMs; waited += 50) {
        if (countOf(readFile(name), text) >= count) {
            return true;
        }
        pause(50);
    }
    ADD_FAILURE() << "no \"" << text << "\" x" << count << " in " << name << ":\n"
                  << readFile(name);
    return false;
}

std::vector<pid_t> EndToEnd::watchdogChildren() const {
    const std::string id = std::to_string(watchdog);
    std::ifstream list("/proc/" + id + "/task/" + id + "/children");
    std::vector<pid_t> children;
    for (pid_t child; list >> child;) {
        children.push_back(child);
    }
    return children;
}

std::vector<std::string> EndToEnd::events(const std::string& text) const {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();  // the Windows console's line end
        }
        if (line.size() > 22 && line[0] == '[' && line.compare(20, 2, "] ") == 0) {
            lines.push_back(line.substr(22));
        }
    }
    return lines;
}
