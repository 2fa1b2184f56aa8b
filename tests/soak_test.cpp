// About three minutes of a watchdog with --interval 1 whose worker is killed 50 times at random
// moments. Half the time the test brings the worker back itself within a second: with scans at
// least one second apart, such an absence spans at most two scans and must cause no line, and
// the worker then stays up long enough for a scan to see it. Otherwise the watchdog must start
// the worker, exactly once, and announce it.
#include "harness.h"

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

struct Usage {
    int descriptors = 0;
    long residentKb = 0;
};

Usage usageOf(pid_t pid) {
    Usage usage;
    const std::string proc = "/proc/" + std::to_string(pid);
    DIR* fds = opendir((proc + "/fd").c_str());
    for (dirent* entry; fds != nullptr && (entry = readdir(fds)) != nullptr;) {
        usage.descriptors += entry->d_name[0] != '.';
    }
    if (fds != nullptr) {
        closedir(fds);
    }
    std::ifstream status(proc + "/status");
    for (std::string key; status >> key;) {
        if (key == "VmRSS:") {
            status >> usage.residentKb;
        }
    }
    return usage;
}

class Soak : public EndToEnd {
protected:
    // Live processes running our worker binary (zombies have no executable and do not count).
    std::vector<pid_t> liveWorkers() const {
        std::vector<pid_t> pids;
        DIR* proc = opendir("/proc");
        for (dirent* entry; (entry = readdir(proc)) != nullptr;) {
            char target[4096];
            const std::string link = std::string("/proc/") + entry->d_name + "/exe";
            const ssize_t length = readlink(link.c_str(), target, sizeof target);
            if (length > 0 && std::string(target, length) == path(workerName)) {
                pids.push_back(std::atoi(entry->d_name));
            }
        }
        closedir(proc);
        return pids;
    }
};

TEST_F(Soak, FiftyKillsAtRandomMoments) {
    installWorker(workerName);
    writeStartScript("start.sh", workerName);
    startWatchdog({"--instance", std::to_string(instance), "--interval", "1", "--run", "start.sh"});
    ASSERT_TRUE(waitForOutput("is running"));
    const char* seedText = std::getenv("ZEL_SOAK_SEED");
    const unsigned seed = seedText ? std::atoi(seedText) : std::random_device()();
    std::printf("seed %u (ZEL_SOAK_SEED replays it)\n", seed);
    std::mt19937 random(seed);
    const auto between = [&](int low, int high) {
        return milliseconds(std::uniform_int_distribution<int>(low, high)(random));
    };

    const auto start = Clock::now();
    auto lastKill = start;
    std::size_t launches = 1;
    int shortAbsences = 0;
    int killsUnderTwoIntervals = 0;
    Usage firstMinute;
    for (int kill = 0; kill < 50 && !HasFailure(); ++kill) {
        const std::vector<pid_t> alive = liveWorkers();
        ASSERT_EQ(alive.size(), 1u) << "kill " << kill;
        EXPECT_TRUE(watchdogChildren().empty()) << "kill " << kill;
        if (firstMinute.descriptors == 0 && Clock::now() - start >= std::chrono::seconds(60)) {
            firstMinute = usageOf(watchdog);
        }
        const auto killed = Clock::now();
        killsUnderTwoIntervals += kill > 0 && killed - lastKill < std::chrono::seconds(2);
        lastKill = killed;
        killWorker(alive[0]);
        if (random() % 2 == 0) {
            std::this_thread::sleep_for(between(50, 800));
            startWorker(workerName);
            ASSERT_LT(Clock::now() - killed, milliseconds(1800)) << "too slow to come back";
            ++shortAbsences;
            std::this_thread::sleep_for(between(1200, 1700));  // seen by at least one scan
        } else {
            ++launches;
            ASSERT_TRUE(waitForOutput("is running", static_cast<int>(launches), 8000));
            std::this_thread::sleep_for(between(0, 1500));
        }
        EXPECT_EQ(launchedWorkers().size(), launches) << "kill " << kill;
    }
    const Usage end = usageOf(watchdog);
    EXPECT_EQ(liveWorkers().size(), 1u);
    EXPECT_TRUE(watchdogChildren().empty());
    EXPECT_EQ(end.descriptors, firstMinute.descriptors);
    EXPECT_EQ(end.residentKb, firstMinute.residentKb);

    std::vector<std::string> expected = {"Starting timer"};
    for (std::size_t i = 0; i < launches; ++i) {
        expected.push_back(workerName + " not running - starting start.sh");
        expected.push_back(workerName + " is running");
    }
    const std::string out = output();
    EXPECT_EQ(events(out), expected);
    const std::string log = readFile(logName);
    EXPECT_EQ(out.substr(out.find("\n\n\n") + 3), log);
    std::printf(
        "%d kills in %lld s: %d short absences (no line), %zu restarts, %d kills under two "
        "intervals apart; %zu lines, console and log file identical; %d descriptors and %ld kB "
        "resident after the first minute and at the end\n",
        50,
        static_cast<long long>(
            std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count()),
        shortAbsences, launches - 1, killsUnderTwoIntervals, expected.size(), end.descriptors,
        end.residentKb);
}

}  // namespace
