// The real binary against real processes. The same cases run against the Linux build and, in
// the Wine suite, against the Windows build: there scripts are .bat files and the console has
// CR LF line ends, while the log file keeps plain line feeds.
#include "harness.h"

#include <sys/stat.h>
#include <unistd.h>

namespace {

using Events = std::vector<std::string>;

class Watchdog : public EndToEnd {
protected:
    // Console text as the platform writes it.
    static std::string console(const std::string& text) {
        std::string converted;
        for (char c : text) {
            converted += c == '\n' && onWine() ? "\r\n" : std::string(1, c);
        }
        return converted;
    }
    static std::string script(const std::string& base) {
        return base + (onWine() ? ".bat" : ".sh");
    }
    // A start script that only records that it ran.
    void writeRecorder(const std::string& name) {
        writeFile(name, onWine() ? "@echo off\r\necho launch>> launches.txt\r\n"
                                 : "echo launch >> launches.txt\n");
    }
    void watch(const std::string& scriptArgument) {
        startWatchdog(
            {"--instance", std::to_string(instance), "--interval", "1", "--run", scriptArgument});
    }
};

int secondsOf(const std::string& line) {
    return std::stoi(line.substr(12, 2)) * 3600 + std::stoi(line.substr(15, 2)) * 60 +
           std::stoi(line.substr(18, 2));
}

TEST_F(Watchdog, StartUpErrorsExitNonZeroWithExactMessages) {
    mkdir(path("sub dir").c_str(), 0755);
    const struct {
        std::vector<std::string> arguments;
        int status;  // -1: still running after the banner
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
        // A directory passes the check, also with one trailing separator; on Windows of either
        // kind, though the file-status query itself rejects them.
        {{"--run", "sub dir/"}, -1, "Run:\t\tsub dir/\n", "Zel-Restarter.log"},
        {{"--run", onWine() ? "sub dir\\" : "sub dir"}, -1, "Run:\t\tsub dir", "Zel-Restarter.log"},
        {{"--run", "gone dir\\"}, 1, "File gone dir\\ does not exist\n", "Zel-Restarter.log"},
    };
    for (const auto& c : cases) {
        std::remove(path("Zel-Restarter.log").c_str());
        std::remove(path("Zel-Restarter-4.log").c_str());
        startWatchdog(c.arguments);
        if (c.status < 0) {
            EXPECT_TRUE(waitForOutput(console(c.output)));
            EXPECT_EQ(waitExit(0), -1);
            stopWatchdog();
            continue;
        }
        EXPECT_EQ(waitExit(), c.status) << c.output;
        EXPECT_EQ(output(), console(c.output));
        EXPECT_EQ(exists("Zel-Restarter.log") || exists("Zel-Restarter-4.log"),
                  c.logFile != nullptr);
        if (c.logFile != nullptr) {
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

TEST_F(Watchdog, AbsentWorkerIsStartedTwoIntervalsAfterStartingTimer) {
    installWorker(workerName);
    writeStartScript(script("start"), workerName);
    // On Windows the runtime expands the pattern to the one matching file.
    watch(onWine() ? "st*.bat" : "start.sh");
    ASSERT_TRUE(waitForOutput("is running"));
    const std::string banner =
        console("==========Quorvank Restarter==========\n\nInstance:\t" + workerName +
                "\nRun:\t\t" + script("start") + "\nInterval:\t1 seconds\n\n\n");
    const std::string out = output();
    const std::string log = readFile(logName);
    EXPECT_EQ(out.substr(0, banner.size()), banner);
    EXPECT_EQ(events(log),
              (Events{"Starting timer", workerName + " not running - starting " + script("start"),
                      workerName + " is running"}));
    // The console holds the same lines; the file ends them with a line feed only.
    EXPECT_EQ(console(log), out.substr(banner.size()));
    EXPECT_EQ(log.find('\r'), std::string::npos);
    // Scans at 0, 1 and 2 seconds after "Starting timer": the third one starts the script.
    const int elapsed = secondsOf(log.substr(log.find('\n') + 1)) - secondsOf(log);
    EXPECT_GE(elapsed, 1);
    EXPECT_LE(elapsed, 3);
    EXPECT_EQ(launchedWorkers().size(), 1u);
}

TEST_F(Watchdog, RunningWorkerIsAnnouncedOnceAndBroughtBackThroughPathWithBlanks) {
    installWorker(workerName);
    mkdir(path("my scripts").c_str(), 0755);
    writeStartScript("my scripts/" + script("start it"), workerName);
    const std::string scriptArgument =
        (onWine() ? "my scripts\\" : "my scripts/") + script("start it");
    const pid_t first = startWorker(workerName);
    watch(scriptArgument);
    ASSERT_TRUE(waitForOutput("is running"));
    sleep(2);
    killWorker(first);
    ASSERT_TRUE(waitForOutput("is running", 2));
    sleep(2);  // the brought-back worker is seen without further lines
    EXPECT_EQ(events(output()), (Events{"Starting timer", workerName + " is running",
                                        workerName + " not running - starting " + scriptArgument,
                                        workerName + " is running"}));
    EXPECT_EQ(launchedWorkers().size(), 1u);
}

TEST_F(Watchdog, WorkerDiffersOnlyInLetterCaseIsNotFound) {
    std::string upper = workerName;
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    installWorker(upper);
    startWorker(upper);
    writeRecorder(script("start"));
    watch(script("start"));
    ASSERT_TRUE(waitForOutput(" not running - starting " + script("start")));
    EXPECT_EQ(countOf(output(), "is running"), 0);
}

TEST_F(Watchdog, ScriptGoneAtRestartTimeEndsWithStatusOne) {
    writeRecorder(script("start"));
    watch(script("start"));
    ASSERT_TRUE(waitForOutput("Starting timer"));
    unlink(path(script("start")).c_str());
    EXPECT_EQ(waitExit(), 1);
    EXPECT_NE(output().find(console(" not running - starting " + script("start") + "\nFile " +
                                    script("start") + " does not exist.\n")),
              std::string::npos)
        << output();
    EXPECT_EQ(countOf(readFile(logName), "does not exist"), 0);
}

TEST_F(Watchdog, WorkerWhoseBinaryWasDeletedStillCounts) {
    if (onWine()) {
        GTEST_SKIP() << "Windows does not let a running program's file be deleted";
    }
    installWorker(workerName);
    writeRecorder("start.sh");
    startWorker(workerName);
    unlink(path(workerName).c_str());
    watch("start.sh");
    ASSERT_TRUE(waitForOutput("is running"));
    sleep(4);
    EXPECT_EQ(countOf(output(), "not running"), 0);
    EXPECT_FALSE(exists("launches.txt"));
}

}  // namespace
