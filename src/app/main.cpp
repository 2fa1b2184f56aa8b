// zel-restarter: watches one Quorvank-LT worker and starts it again through its start script
// when it has been missing on three consecutive scans.
#include "app/command_line.h"
#include "log/log.h"
#include "platform/platform.h"
#include "watch/exit_status.h"
#include "watch/loop.h"

#include <cinttypes>
#include <cstdio>
#include <string>

namespace {

// Between the banner and the first scan.
constexpr unsigned startUpPauseMilliseconds = 2000;

const char usageText[] =
    "Usage: zel-restarter [--instance N] [--interval SECONDS] [--run SCRIPT]\n"
    "                     [--stop-timeout SECONDS]\n"
    "\n"
    "Watches the worker Quorvank-LT.exe (Quorvank-LT-N.exe with --instance N) and, when it has\n"
    "been missing on three consecutive scans, starts it again through SCRIPT.\n"
    "\n"
    "  --instance N        watch instance N (numbers above 0; default: the un-numbered one)\n"
    "  --interval SECONDS  seconds between two scans (numbers above 0; default 10)\n"
    "  --run SCRIPT        start script, more than 4 characters (default start.bat)\n"
    "  --stop-timeout SECONDS\n"
    "                      as a container's first process: how long a stop waits for the\n"
    "                      worker (numbers above 0; default 8)\n"
    "  -h, --help          show this text and exit\n"
    "  --version           show the version and exit\n"
    "\n"
    "Events go to the console and to Zel-Restarter.log (Zel-Restarter-N.log) in the\n"
    "working directory. Exit status: 1 on a failure, 2 on a usage error.\n";

// The watchdog's run, from the command line to the end of the watch loop; its result is the
// exit status (as a service, the service-specific exit code).
int runWatchdog(int argc, char* argv[]) {
    WatchSettings settings;
    const CommandLineResult commandLine = parseCommandLine(argc, argv, settings);
    switch (commandLine.action) {
        case CommandLineAction::ShowHelp:
            std::fputs(usageText, stdout);
            return 0;
        case CommandLineAction::ShowVersion:
            std::puts("zel-restarter " ZEL_VERSION);
            return 0;
        case CommandLineAction::MissingValue:
            // No one sees a service's output: the message goes to the log file of the instance
            // read so far, which a console run does not open for a usage error.
            if (runningAsService()) {
                logFileOpen = openLogFile(settings.instance);
            }
            printPlain("%s", commandLine.message);
            return exitUsage;
        case CommandLineAction::Run:
            break;
    }
    takeFirstProcessDuties(static_cast<std::uint64_t>(settings.stopTimeoutSeconds) * 1000);

    logFileOpen = openLogFile(settings.instance);
    if (!fileExists(settings.scriptPath)) {
        printPlain("File %s does not exist\n", settings.scriptPath.c_str());
        return exitFailure;
    }
    reportServiceRunning();
    printPlain(
        "==========Quorvank Restarter==========\n\n"
        "Instance:\t%s\n"
        "Run:\t\t%s\n"
        "Interval:\t%" PRId64
        " seconds\n"
        "\n\n",
        settings.processName.c_str(), settings.scriptPath.c_str(), settings.intervalSeconds);
    // Run as root, the script runs as root: whoever else may change it or its directories can
    // have their own commands run that way. Said once, on the console only.
    std::string where;
    std::string why;
    if (findChangeableByOthers(settings.scriptPath, where, why)) {
        std::printf(
            "Warning: running as root, but %s %s, so another user can change what %s runs as "
            "root\n",
            where.c_str(), why.c_str(), settings.scriptPath.c_str());
    }
    // Not root, under a /proc that shows only our own processes: a worker that another user
    // started cannot be seen, and the script would start a second one.
    std::string hidepid;
    std::string group;
    if (findHiddenProcesses(hidepid, group)) {
        std::printf(
            "Warning: /proc is mounted with hidepid=%s, so this watchdog cannot see other users' "
            "processes: a worker started by another user is not found and is started a second "
            "time; run the watchdog as the worker's user%s%s\n",
            hidepid.c_str(), group.empty() ? "" : ", or add the watchdog's user to group ",
            group.c_str());
    }
    std::fflush(stdout);
    if (waitForStopRequest(startUpPauseMilliseconds)) {
        return exitStopped;
    }
    logMessage("Starting timer");
    return runWatchLoop(settings);
}

}  // namespace

int main(int argc, char* argv[]) {
    prepareStandardStreams();
    takeServiceManagerSettings();
    WatchSettings unused;
    if (!parseCommandLine(argc, argv, unused).service) {
        return runWatchdog(argc, argv);
    }
    // Run by the service control manager (Windows); on Linux the word changes nothing.
    int status = exitFailure;
    if (!runAsService(runWatchdog, argc, argv, status)) {
        printPlain("--service: not started by the Windows service control manager\n");
    }
    return status;
}
