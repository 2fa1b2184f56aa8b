// Faults injected around the real binary: broken outputs, bad start scripts, a crowded process
// table and missing rights. Each scenario states what is injected and what must still hold.
#include "harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

extern char** environ;

namespace {

using Events = std::vector<std::string>;

enum class Expect {
    Restarted,        // the absent worker is started once and then seen running
    RetriedEvery3,    // the worker never shows: the script is started every third cycle
    FoundNoneStarted  // the running worker is found and nothing is started
};

class Fault;

struct Scenario {
    const char* name;
    void (*inject)(Fault& test);
    Expect expect;
    bool linesInLog = false;       // the log file, not the console, must keep every line
    bool recordsLaunches = false;  // the script appends to launches.txt when it runs
};

// Number of process directories listed in /proc before the one of pid.
int processesBefore(pid_t pid) {
    int count = 0;
    DIR* proc = opendir("/proc");
    for (dirent* entry; (entry = readdir(proc)) != nullptr;) {
        const int id = std::atoi(entry->d_name);
        count += id > 0 && id < pid;
    }
    closedir(proc);
    return count;
}

class Fault : public EndToEnd, public testing::WithParamInterface<Scenario> {
public:
    // Lambdas defined in a member share its access to the harness.
    static std::vector<Scenario> scenarios();

    int descriptor = -1;
};

const std::string recorder = "echo launch >> launches.txt\n";

std::vector<Scenario> Fault::scenarios() {
    return {
        {"LogFileIsLinkToDevFull",
         [](Fault& t) { symlink("/dev/full", t.path(t.logName).c_str()); }, Expect::Restarted},
        {"LogFileIsDirectory", [](Fault& t) { mkdir(t.path(t.logName).c_str(), 0755); },
         Expect::Restarted},
        {"OutputIsPipeWithoutReader",
         [](Fault& t) {
             int ends[2];
             ASSERT_EQ(pipe(ends), 0);
             close(ends[0]);
             t.descriptor = ends[1];
         },
         Expect::Restarted, true},
        {"OutputClosed", [](Fault& t) { t.descriptor = closedOutput; }, Expect::Restarted, true},
        {"OutputIsDevFull", [](Fault& t) { t.descriptor = open("/dev/full", O_WRONLY); },
         Expect::Restarted, true},
        {"ScriptNotExecutable", [](Fault& t) { t.writeFile("start.sh", recorder + "exit 3\n"); },
         Expect::RetriedEvery3, false, true},
        {"ScriptIsDirectory", [](Fault& t) { mkdir(t.path("start.sh").c_str(), 0755); },
         Expect::RetriedEvery3},
        {"ScriptExitsAtOnceWithError",
         [](Fault& t) { t.writeFile("start.sh", "#!/bin/sh\n" + recorder + "exit 3\n", true); },
         Expect::RetriedEvery3, false, true},
        {"WorkerBeyondFirst2048Processes",
         [](Fault& t) {
             t.writeFile("start.sh", recorder);
             t.installWorker(t.workerName);
             // Copies of sleep, until more than 2048 processes are listed before the worker.
             for (int attempt = 0; attempt < 5; ++attempt) {
                 for (int n = attempt == 0 ? processesBefore(INT32_MAX) : 0; n < 2100; ++n) {
                     const char* argv[] = {"/bin/sleep", "600", nullptr};
                     pid_t pid = 0;
                     if (posix_spawn(&pid, argv[0], nullptr, nullptr, const_cast<char**>(argv),
                                     environ) == 0) {
                         t.workers.push_back(pid);
                     }
                 }
                 const pid_t worker = t.startWorker(t.workerName);
                 if (processesBefore(worker) > 2048) {
                     return;
                 }
                 t.killWorker(worker);  // identifiers wrapped around: try again
             }
             FAIL() << "could not place the worker beyond 2048 processes";
         },
         Expect::FoundNoneStarted},
        // Processes we may not open do not count: a root worker is absent to an unprivileged
        // watchdog.
        {"WatchdogUnprivilegedWorkerRoot",
         [](Fault& t) {
             if (geteuid() != 0) {
                 GTEST_SKIP() << "needs root to start the worker as another user than the watchdog";
             }
             t.installWorker(t.workerName);
             t.startWorker(t.workerName);
             t.writeFile("start.sh", recorder);
             chmod(t.directory.c_str(), 0777);
             // The build tree may be closed to nobody: run a copy from the test directory.
             std::system(("cp '" + t.program + "' '" + t.path("zel-restarter") + "'").c_str());
             t.program = t.path("zel-restarter");
             t.unprivileged = true;
         },
         Expect::RetriedEvery3, false, true},
    };
}

void PrintTo(const Scenario& s, std::ostream* out) {
    *out << s.name;
}

int secondsOf(const std::string& line) {
    return std::stoi(line.substr(12, 2)) * 3600 + std::stoi(line.substr(15, 2)) * 60 +
           std::stoi(line.substr(18, 2));
}

TEST_P(Fault, WatchdogGoesOn) {
    const Scenario& s = GetParam();
    if (s.expect == Expect::Restarted) {
        installWorker(workerName);
        writeStartScript("start.sh", workerName);
    }
    s.inject(*this);
    if (IsSkipped() || HasFatalFailure()) {
        return;
    }
    const std::string lines = s.linesInLog ? logName : "out.txt";
    startWatchdog({"--instance", std::to_string(instance), "--interval", "1", "--run", "start.sh"},
                  descriptor);
    const std::string restart = workerName + " not running - starting start.sh";
    switch (s.expect) {
        case Expect::Restarted:
            ASSERT_TRUE(waitForText(lines, "is running"));
            EXPECT_EQ(events(readFile(lines)),
                      (Events{"Starting timer", restart, workerName + " is running"}));
            EXPECT_EQ(launchedWorkers().size(), 1u);
            EXPECT_EQ(readFile(lines).find("Quorvank Restarter") == std::string::npos,
                      s.linesInLog);
            break;
        case Expect::RetriedEvery3: {
            ASSERT_TRUE(waitForText(lines, restart, 3));
            usleep(500000);  // the third launch has run
            std::vector<int> times;
            std::istringstream text(readFile(lines));
            for (std::string line; std::getline(text, line);) {
                EXPECT_EQ(line.find("is running"), std::string::npos) << line;
                if (line.find(restart) != std::string::npos) {
                    times.push_back(secondsOf(line));
                }
            }
            ASSERT_EQ(times.size(), 3u);
            for (std::size_t i = 1; i < times.size(); ++i) {
                EXPECT_NEAR(times[i] - times[i - 1], 3, 1);
            }
            EXPECT_EQ(countOf(readFile("launches.txt"), "launch"), s.recordsLaunches ? 3 : 0);
            EXPECT_TRUE(watchdogChildren().empty());
            break;
        }
        case Expect::FoundNoneStarted:
            ASSERT_TRUE(waitForText(lines, "is running"));
            sleep(4);
            EXPECT_EQ(events(readFile(lines)),
                      (Events{"Starting timer", workerName + " is running"}));
            break;
    }
    EXPECT_EQ(waitExit(0), -1) << "the watchdog has stopped";
    if (descriptor > 2) {
        close(descriptor);
    }
}

INSTANTIATE_TEST_SUITE_P(Injected, Fault, testing::ValuesIn(Fault::scenarios()),
                         [](const testing::TestParamInfo<Scenario>& info) {
                             return std::string(info.param.name);
                         });

// The script runs detached: in a session of its own, stdin from /dev/null, and without the log
// file or a descriptor the watchdog was started with (here a pipe), which a worker would
// otherwise hold open for as long as it runs.
TEST_F(EndToEnd, ScriptIsDetachedWithOnlyStandardDescriptors) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    writeFile("start.sh",
              "ls /proc/self/fd > fds.txt\n"
              "readlink /proc/$$/fd/0 > stdin.txt\n"
              "cut -d' ' -f6 /proc/$$/stat > session.txt\n");
    startWatchdog({"--instance", std::to_string(instance), "--interval", "1", "--run", "start.sh"});
    close(ends[1]);
    ASSERT_TRUE(waitForText("session.txt", "\n"));
    EXPECT_EQ(readFile("fds.txt"), "0\n1\n2\n3\n");  // 3: the directory ls lists
    EXPECT_EQ(readFile("stdin.txt"), "/dev/null\n");
    EXPECT_NE(std::stoi(readFile("session.txt")), getsid(watchdog));
    close(ends[0]);
}

}  // namespace
