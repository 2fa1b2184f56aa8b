// The real binary against real processes.
#include "harness.h"

#include <signal.h>
#include <unistd.h>

#include <fstream>

namespace {

using Events = std::vector<std::string>;

TEST_F(EndToEnd, StartUpErrorsExitNonZeroWithExactMessages) {
    const struct {
        std::vector<std::string> arguments;
        int status;
        std::string output;
        const char* logFile;  // created empty, or nullptr when none may exist
    } cases[] = {
        {{"--instance"}, 2, "No value set for 'instance' parameter", nullptr},
        {{"--interval"}, 2, "No value set for 'interval' parameter", nullptr},
        {{"--instance", "4", "--run"}, 2, "No value set for 'script' parameter", nullptr},
        {{}, 1, "File start.bat does not exist\n", "Zel-Restarter.log"},
        {{"--instance", "4", "--run", "gone.sh"},
         1,
         "File gone.sh does not exist\n",
         "Zel-Restarter-4.log"},
    };
    for (const auto& c : cases) {
        std::system(("rm -f '" + directory + "'/*").c_str());
        startWatchdog(c.arguments);
        EXPECT_EQ(waitExit(), c.status) << c.output;
        EXPECT_EQ(output(), c.output);
        EXPECT_EQ(exists("Zel-Restarter.log") || exists("Zel-Restarter-4.log"),
                  c.logFile != nullptr);
        if (c.logFile != nullptr) {
            EXPECT_TRUE(exists(c.logFile));
            EXPECT_EQ(readFile(c.logFile), "");
        }
    }
    startWatchdog({"--version"});
    EXPECT_EQ(waitExit(), 0);
    EXPECT_EQ(output().rfind("zel-restarter ", 0), 0u);
    startWatchdog({"--interval", "5", "--help"});
    EXPECT_EQ(waitExit(), 0);
    EXPECT_EQ(output().rfind("Usage: zel-restarter", 0), 0u);
}

TEST_F(EndToEnd, ClosedStandardOutputStaysOutOfTheLogFile) {
    writeFile("start.sh", "exit 0\n");
    const std::string command = "cd '" + directory + "' && timeout 3 " + ZEL_BINARY +
                                " --instance " + std::to_string(instance) +
                                " --interval 1 --run start.sh >&- 2>&-";
    EXPECT_NE(std::system(command.c_str()), -1);
    EXPECT_EQ(events(readFile(logName)), Events{"Starting timer"});
    EXPECT_EQ(readFile(logName).size(), 37u);
}

TEST_F(EndToEnd, AbsentWorkerIsStartedTwoIntervalsAfterStartingTimer) {
    installWorker(workerName);
    writeStartScript("start.sh", workerName);
    startWatchdog({"--instance", std::to_string(instance), "--interval", "1", "--run", "start.sh"});
    ASSERT_TRUE(waitForOutput("is running"));
    const std::string banner = "==========Quorvank Restarter==========\n\nInstance:\t" +
                               workerName + "\nRun:\t\tstart.sh\nInterval:\t1 seconds\n\n\n";
    const std::string out = output();
    EXPECT_EQ(out.substr(0, banner.size()), banner);
    EXPECT_EQ(events(out),
              (Events{"Starting timer", workerName + " not running - starting start.sh",
                      workerName + " is running"}));
    // The log file holds the same event lines, without the banner.
    EXPECT_EQ(readFile(logName), out.substr(banner.size()));
    // Scans at 0, 1 and 2 seconds after "Starting timer": the third one starts the script.
    const auto seconds = [](const std::string& line) {
        return std::stoi(line.substr(12, 2)) * 3600 + std::stoi(line.substr(15, 2)) * 60 +
               std::stoi(line.substr(18, 2));
    };
    const std::size_t restart = out.find("[", banner.size() + 1);
    const int elapsed = seconds(out.substr(restart)) - seconds(out.substr(banner.size()));
    EXPECT_GE(elapsed, 1);
    EXPECT_LE(elapsed, 3);
    EXPECT_EQ(launchedWorkers().size(), 1u);
}

TEST_F(EndToEnd, RunningWorkerIsAnnouncedOnceAndBroughtBackAfterACrash) {
    installWorker(workerName);
    writeStartScript("start.sh", workerName);
    const pid_t first = startWorker(workerName);
    startWatchdog({"--instance", std::to_string(instance), "--interval", "1", "--run", "start.sh"});
    ASSERT_TRUE(waitForOutput("is running"));
    sleep(2);
    EXPECT_EQ(countOf(output(), "is running"), 1);
    killWorker(first);
    ASSERT_TRUE(waitForOutput("is running", 2));
    sleep(3);  // the brought-back worker is seen without further lines
    EXPECT_EQ(events(output()), (Events{"Starting timer", workerName + " is running",
                                        workerName + " not running - starting start.sh",
                                        workerName + " is running"}));
    EXPECT_EQ(launchedWorkers().size(), 1u);
}

TEST_F(EndToEnd, WorkerDiffersOnlyInLetterCaseIsNotFound) {
    std::string lower = workerName;
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    installWorker(lower);
    startWorker(lower);
    writeFile("start.sh", "touch launched\n");
    startWatchdog({"--instance", std::to_string(instance), "--interval", "1", "--run", "start.sh"});
    ASSERT_TRUE(waitForOutput(" not running - starting start.sh"));
    EXPECT_EQ(countOf(output(), "is running"), 0);
}

TEST_F(EndToEnd, ScriptPathWithBlankRunsThatScript) {
    installWorker(workerName);
    writeStartScript("my script.sh", workerName);
    startWatchdog(
        {"--instance", std::to_string(instance), "--interval", "1", "--run", "my script.sh"});
    ASSERT_TRUE(waitForOutput(workerName + " is running"));
    EXPECT_EQ(launchedWorkers().size(), 1u);
}

TEST_F(EndToEnd, ScriptGoneAtRestartTimeEndsWithStatusOne) {
    writeFile("start.sh", "exit 0\n");
    startWatchdog({"--instance", std::to_string(instance), "--interval", "1", "--run", "start.sh"});
    ASSERT_TRUE(waitForOutput("Starting timer"));
    unlink(path("start.sh").c_str());
    EXPECT_EQ(waitExit(), 1);
    const std::string out = output();
    EXPECT_NE(out.find(" not running - starting start.sh\nFile start.sh does not exist.\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(countOf(readFile(logName), "does not exist"), 0);
}

TEST_F(EndToEnd, ScriptIsDetachedAndRestartsLeaveNoZombies) {
    // Without the execute bit: run by /bin/sh. It reports what it was given and exits at once,
    // so the worker stays absent and the watchdog launches it every third cycle.
    writeFile("probe script",
              "ls -l /proc/$$/fd > fds.txt\n"
              "cut -d' ' -f6 /proc/$$/stat > session.txt\n"
              "echo launch >> launches.txt\n");
    startWatchdog(
        {"--instance", std::to_string(instance), "--interval", "1", "--run", "probe script"});
    ASSERT_TRUE(waitForOutput("not running - starting", 3));
    sleep(1);
    EXPECT_EQ(countOf(readFile("launches.txt"), "launch"), 3);
    const std::string fds = readFile("fds.txt");
    EXPECT_EQ(fds.find(logName), std::string::npos) << fds;
    EXPECT_NE(fds.find(" 0 -> /dev/null"), std::string::npos) << fds;
    EXPECT_NE(std::stoi(readFile("session.txt")), getsid(watchdog));
    // No process is left as a child of the watchdog, zombie or not.
    const std::string children =
        "/proc/" + std::to_string(watchdog) + "/task/" + std::to_string(watchdog) + "/children";
    std::ifstream list(children);
    std::string child;
    EXPECT_FALSE(static_cast<bool>(list >> child)) << "child " << child;
}

TEST_F(EndToEnd, WorkerWhoseBinaryWasDeletedStillCounts) {
    installWorker(workerName);
    writeFile("start.sh", "touch launched\n");
    startWorker(workerName);
    unlink(path(workerName).c_str());
    startWatchdog({"--instance", std::to_string(instance), "--interval", "1", "--run", "start.sh"});
    ASSERT_TRUE(waitForOutput("is running"));
    sleep(4);
    EXPECT_EQ(countOf(output(), "not running"), 0);
    EXPECT_FALSE(exists("launched"));
}

}  // namespace
