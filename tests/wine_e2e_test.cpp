// The Windows build under Wine, through the same harness as the Linux binary.
#include "harness.h"

#include <sys/stat.h>

namespace {

using Events = std::vector<std::string>;

std::string withCrlf(const std::string& text) {
    std::string converted;
    for (char c : text) {
        converted += c == '\n' ? "\r\n" : std::string(1, c);
    }
    return converted;
}

TEST_F(EndToEnd, StartUpErrorsAndTrailingSeparators) {
    mkdir(path("sub dir").c_str(), 0755);
    const std::string n = std::to_string(instance);
    const struct {
        std::vector<std::string> arguments;
        int status;  // -1: still running after the banner
        std::string output;
    } cases[] = {
        {{"--instance", n, "--run"}, 2, "No value set for 'script' parameter"},
        {{"--instance", n, "--run", "gone.bat"}, 1, "File gone.bat does not exist\r\n"},
        {{"--instance", n, "--run", "gone dir\\"}, 1, "File gone dir\\ does not exist\r\n"},
        // A directory passes the check, also with one trailing separator of either kind.
        {{"--instance", n, "--run", "sub dir\\"}, -1, "Run:\t\tsub dir\\\r\n"},
        {{"--instance", n, "--run", "sub dir/"}, -1, "Run:\t\tsub dir/\r\n"},
    };
    for (const auto& c : cases) {
        std::remove(path(logName).c_str());
        startWatchdog(c.arguments);
        if (c.status >= 0) {
            EXPECT_EQ(waitExit(), c.status) << c.output;
            EXPECT_EQ(output(), c.output);
            EXPECT_EQ(exists(logName), c.status == 1) << c.output;
            EXPECT_EQ(readFile(logName), "");
        } else {
            EXPECT_TRUE(waitForOutput(c.output));
            EXPECT_EQ(waitExit(0), -1);
            stopWatchdog();
        }
    }
}

TEST_F(EndToEnd, AbsentWorkerIsStartedThroughStartAndAnnounced) {
    installWorker(workerName);
    writeStartScript("start.bat", workerName);
    // The runtime expands the pattern to the one matching file.
    startWatchdog({"--instance", std::to_string(instance), "--interval", "1", "--run", "st*.bat"});
    ASSERT_TRUE(waitForOutput("is running"));
    const std::string banner = "==========Quorvank Restarter==========\n\nInstance:\t" +
                               workerName + "\nRun:\t\tstart.bat\nInterval:\t1 seconds\n\n\n";
    const std::string out = output();
    ASSERT_EQ(out.substr(0, withCrlf(banner).size()), withCrlf(banner));
    EXPECT_EQ(events(out),
              (Events{"Starting timer", workerName + " not running - starting start.bat",
                      workerName + " is running"}));
    // The console has CR LF line ends, the log file line feeds only.
    const std::string log = readFile(logName);
    EXPECT_EQ(log.find('\r'), std::string::npos);
    EXPECT_EQ(withCrlf(log), out.substr(withCrlf(banner).size()));
    EXPECT_EQ(launchedWorkers().size(), 1u);
    // Scans at 0, 1 and 2 seconds after "Starting timer": the third one starts the script.
    const auto seconds = [&log](const std::string& event) {
        const std::size_t at = log.rfind('[', log.find(event));
        return std::stoi(log.substr(at + 12, 2)) * 3600 + std::stoi(log.substr(at + 15, 2)) * 60 +
               std::stoi(log.substr(at + 18, 2));
    };
    const int elapsed = seconds("not running") - seconds("Starting timer");
    EXPECT_GE(elapsed, 1);
    EXPECT_LE(elapsed, 3);
}

TEST_F(EndToEnd, RunningWorkerIsAnnouncedOnceAndBroughtBackAfterACrash) {
    installWorker(workerName);
    mkdir(path("my scripts").c_str(), 0755);
    writeStartScript("my scripts/start it.bat", workerName);
    const pid_t first = startWorker(workerName);
    startWatchdog({"--instance", std::to_string(instance), "--interval", "1", "--run",
                   "my scripts\\start it.bat"});
    ASSERT_TRUE(waitForOutput("is running"));
    killWorker(first);
    ASSERT_TRUE(waitForOutput("is running", 2));
    EXPECT_EQ(events(output()),
              (Events{"Starting timer", workerName + " is running",
                      workerName + " not running - starting my scripts\\start it.bat",
                      workerName + " is running"}));
    EXPECT_EQ(launchedWorkers().size(), 1u);
}

TEST_F(EndToEnd, WorkerDiffersOnlyInLetterCaseIsNotFound) {
    std::string upper = workerName;
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    installWorker(upper);
    startWorker(upper);
    writeFile("start.bat", "@echo off\r\necho launch>> launches.txt\r\n");
    startWatchdog(
        {"--instance", std::to_string(instance), "--interval", "1", "--run", "start.bat"});
    ASSERT_TRUE(waitForOutput(" not running - starting start.bat"));
    EXPECT_EQ(countOf(output(), "is running"), 0);
}

}  // namespace
