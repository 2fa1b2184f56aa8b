#!/usr/bin/env python3
# The real zel-restarter binary against real processes. "e2e.py MODE --list" names the
# scenarios of a mode, "e2e.py MODE NAME" runs one (exit 0 passed, 77 skipped, else failed).
#   linux       the Linux build; the worker is a copy of sleep, scripts are shell scripts
#   windows     the Windows build under Wine; the worker is the Windows stand-in (ZEL_WORKER),
#               scripts are batch files, and console lines end in CR LF
#   windows32   the same with a 32-bit stand-in, where the kernel runs 32-bit programs
#   wineworker  the Linux build watching the Windows stand-in running under Wine
#   service     the Windows build as a service of Wine's service manager
# Each run watches its own instance number (the test's PID) in a folder of its own and kills
# only processes it started, by PID. Start scripts add a line to workers.pid when they run.
import calendar
import errno
import os
import random
import re
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from unittest import SkipTest as Skipped

MODE = sys.argv[1]
BINARY = os.environ.get("ZEL_BINARY", "")
WINE = os.environ.get("ZEL_WINE", "wine")
WORKER = os.environ.get("ZEL_WORKER", "/bin/sleep")
os.environ["WINEDLLOVERRIDES"] = "mscoree,mshtml=;winemenubuilder.exe=d"  # quiet, headless

INTERVAL = 1 if MODE == "linux" else 2  # Wine can take seconds to start a program
PAUSE = 2  # seconds between the banner and "Starting timer"
STAMP_RESOLUTION = 1  # log stamps are whole seconds
NOTICE_ALLOWANCE = 1  # how late this test may notice a line on a loaded machine
LOAD_ALLOWANCE = 5  # how much longer a pause may last on a loaded machine
WINE_ALLOWANCE = 3  # how long Wine may take to start a program such as "sc" on a loaded machine
DEADLINE = 90  # a wait not over by then has failed (Wine starts slowly on a busy machine)
STAMP = r"\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] "
STAMP_LENGTH = len("[2026-12-08 07:39:40] ")
LOADER_32 = "/lib/ld-linux.so.2"  # the 32-bit C library's, which Wine's 32-bit part needs
WINDOWS_BUILD = MODE in ["windows", "windows32"]
WINE_MODES = ["windows", "windows32", "wineworker", "service"]
SCENARIOS = {}


def scenario(*modes):
    def register(function):
        SCENARIOS[function.__name__] = (function, modes)
        return function
    return register


class Run:
    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="zel-e2e-")
        self.instance = os.getpid()
        self.worker = f"Quorvank-LT-{self.instance}.exe"
        self.log = f"Zel-Restarter-{self.instance}.log"
        self.windows = WINDOWS_BUILD
        self.script = "start.bat" if WINDOWS_BUILD or MODE == "service" else "start.sh"
        self.running = f"{self.worker} is running"
        self.restart = f"{self.worker} not running - starting {self.script}"
        self.started = []  # processes this test started, the watchdogs among them
        self.cleanups = []  # what else to undo at the end

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, text, executable=False):
        if name.lower().endswith(".bat"):
            text = text.replace("\n", "\r\n")
        with open(self.path(name), "w") as file:
            file.write(text)
        os.chmod(self.path(name), 0o755 if executable else 0o644)
        return name

    def read(self, name="out.txt"):
        if not os.path.isfile(self.path(name)):
            return ""
        with open(self.path(name), errors="replace", newline="") as file:
            return file.read()

    def start_process(self, command, **options):
        options.setdefault("stdin", subprocess.DEVNULL)
        options.setdefault("stdout", subprocess.DEVNULL)
        process = subprocess.Popen(command, cwd=self.dir, stderr=subprocess.DEVNULL, **options)
        self.started.append(process)
        return process

    # Starts a worker (under Wine for a Windows one) and waits until it is listed.
    def start_worker(self):
        shutil.copy(WORKER, self.path(self.worker))
        before = len(workers_named(self.worker))
        wine = [WINE] if MODE != "linux" else []
        worker = self.start_process(wine + [self.path(self.worker), "600"])
        wait_until(lambda: len(workers_named(self.worker)) > before, f"{self.worker} to run")
        return worker

    # A script that starts the worker and records its launch.
    def write_start_script(self, name=None):
        name = name or self.script
        shutil.copy(WORKER, self.path(self.worker))
        if name.lower().endswith(".bat"):
            worker = windows_path(self.path(self.worker))
            record = windows_path(self.path("workers.pid"))
            # Recorded after the start: a first redirection in a new Wine prefix takes seconds.
            text = f'@echo off\nstart "" "{worker}" 600\necho launch>> "{record}"\n'
            return self.write(name, text)
        wine = WINE + " " if MODE != "linux" else ""
        text = f"#!/bin/sh\necho launch >> workers.pid\nexec {wine}./{self.worker} 600\n"
        return self.write(name, text, executable=True)

    # A script, not executable (the shell runs it), that only records its launch, last.
    def write_recording_script(self, more=""):
        return self.write(self.script, more + "echo launch >> workers.pid\n")

    # prefix: a command that runs the watchdog in its place, such as setpriv.
    def start_watchdog(self, arguments=None, interval=INTERVAL, stdout=None, prefix=(), **options):
        if arguments is None:
            arguments = ["--instance", str(self.instance), "--interval", str(interval),
                         "--run", self.script]
        wine = [WINE] if self.windows else []
        stdout = stdout or open(self.path("out.txt"), "wb")
        command = [*prefix, *wine, BINARY, *arguments]
        self.watchdog = self.start_process(command, stdout=stdout, **options)

    def wait_for_lines(self, text, count=1, name="out.txt"):
        wait_until(lambda: self.read(name).count(text) >= count,
                   f'"{text}" {count} times in {name}', lambda: self.read(name))

    # The timestamped lines of a file as they stand, each with its line feed.
    def stamped(self, name="out.txt"):
        lines = self.read(name).replace("\r\n", "\n").splitlines(keepends=True)
        return [line for line in lines if re.match(STAMP, line)]

    def events(self, name="out.txt"):
        return [line[STAMP_LENGTH:-1] for line in self.stamped(name)]

    def on_console(self, text):
        return text.replace("\n", "\r\n") if self.windows else text

    def close(self):
        for cleanup in self.cleanups:
            cleanup()
        for process in self.started:
            process.kill()
            process.wait()
        kill_workers(self)  # those our scripts started
        shutil.rmtree(self.dir, ignore_errors=True)


def wait_until(condition, what, details=lambda: ""):
    deadline = time.monotonic() + DEADLINE
    while not condition():
        assert time.monotonic() < deadline, f"waited {DEADLINE} s for {what}\n{details()}"
        time.sleep(0.05)


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def stamp_seconds(line):  # a line's stamp in calendar seconds, read as if it were UTC
    return calendar.timegm(time.strptime(line[1:20], "%Y-%m-%d %H:%M:%S"))


# The processes started as a program of this file name (Wine's workers included).
def workers_named(name):
    pids = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline") as file:
                first_argument = file.read().split("\0")[0]
        except OSError:
            continue
        if re.split(r"[\\/]", first_argument)[-1] == name:
            pids.append(int(pid))
    return pids


def kill_workers(t):
    for pid in workers_named(t.worker):
        os.kill(pid, signal.SIGKILL)


# A usage error ends the watchdog before its log file is made; a missing script after it. A
# folder passes for a script, with its slash.
@scenario("linux", "windows")
def start_up_ends_on_a_usage_error_or_a_missing_script(t):
    t.start_watchdog(["--instance", "4", "--run"])
    assert t.watchdog.wait(DEADLINE) == 2
    assert t.read() == "No value set for 'script' parameter", t.read()
    assert not os.path.exists(t.path("Zel-Restarter-4.log"))

    t.start_watchdog(["--run", "gone.sh"])
    assert t.watchdog.wait(DEADLINE) == 1
    assert t.read() == t.on_console("File gone.sh does not exist\n"), t.read()
    assert os.path.exists(t.path("Zel-Restarter.log")) and t.read("Zel-Restarter.log") == ""

    os.mkdir(t.path("a folder"))
    t.start_watchdog(["--run", "a folder/"])
    t.wait_for_lines("Starting timer")


def descriptors(pid):
    return sorted(os.listdir(f"/proc/{pid}/fd"))


# The worker is absent at first: the banner, a 2-second pause, "Starting timer", and the third
# scan, two intervals later, starts the script (local time in the stamps). Then the worker is
# killed again and again: brought back by the test within 1.6 s it is missed by at most two
# scans and causes no line; left dead, it is started once through the script and announced once.
def start_and_bring_back(t, kills, brought_back_by_test, interval=INTERVAL):
    os.mkdir(t.path("my scripts"))
    script = t.write_start_script("my scripts/start it" + t.script[-4:])
    if t.windows:
        script = script.replace("/", "\\")
    began = time.time()
    # The runtime expands the pattern on Windows; a zone far from UTC shows local time is used.
    arguments = ["--instance", str(t.instance), "--interval", str(interval),
                 "--run", "my scripts\\st*.bat" if t.windows else script]
    t.start_watchdog(arguments, env={**os.environ, "TZ": "ZEL-5:30"})
    banner = t.on_console(f"==========Quorvank Restarter==========\n\nInstance:\t{t.worker}\n"
                          f"Run:\t\t{script}\nInterval:\t{interval} seconds\n\n\n")
    t.wait_for_lines(banner)
    banner_seen = time.monotonic()
    t.wait_for_lines("Starting timer")
    pause = time.monotonic() - banner_seen
    assert PAUSE - NOTICE_ALLOWANCE <= pause <= PAUSE + LOAD_ALLOWANCE, pause
    t.wait_for_lines(t.running)
    assert t.read().startswith(banner + "["), t.read()  # no warning: only root may change it
    timer, restart = [stamp_seconds(line) for line in t.stamped(t.log)[:2]]
    assert 2 * interval <= restart - timer <= 2 * interval + STAMP_RESOLUTION, t.read(t.log)
    zone_east_of_utc = 5 * 3600 + 30 * 60
    assert began - STAMP_RESOLUTION <= timer - zone_east_of_utc <= time.time(), t.read(t.log)
    if MODE == "linux":  # the running program's file replaced: still the worker, three scans on
        os.remove(t.path(t.worker))
        shutil.copy(WORKER, t.path(t.worker))
        time.sleep(3 * interval + NOTICE_ALLOWANCE)

    announced = 1
    rng = random.Random(t.instance)
    steady = None
    for kill in range(kills):
        time.sleep(rng.uniform(1.3, 2.5) * interval)  # a random moment after the next scan
        kill_workers(t)
        if brought_back_by_test(kill, rng):
            time.sleep(rng.uniform(0, 1.6))
            t.start_worker()
        else:
            announced += 1
            t.wait_for_lines(t.running, announced)
            steady = steady or descriptors(t.watchdog.pid)
    t.wait_for_lines("\n", announced, "workers.pid")  # under Wine recorded a moment later
    events = t.events()
    assert events == t.events(t.log) and t.on_console(t.read(t.log)) == t.read()[len(banner):]
    assert events.count(t.running) == announced, t.read()
    restart_line = f"{t.worker} not running - starting {script}"
    launches = t.read("workers.pid").count("\n")
    assert events.count(restart_line) == announced == launches, t.read()
    assert len(workers_named(t.worker)) == 1
    if MODE == "linux" and steady:
        # Between a kill and the scan that finds the worker again it is not held: wait for that.
        what = "the descriptors held after the first restart"
        wait_until(lambda: descriptors(t.watchdog.pid) == steady, what,
                   lambda: f"{steady} now {descriptors(t.watchdog.pid)}")


# At a 2-second interval a restart at the fourth scan cannot pass for one at the third in
# whole-second stamps.
@scenario("linux", "windows", "windows32", "wineworker")
def worker_started_when_absent_and_brought_back_when_killed(t):
    if MODE == "linux":  # first brought back by the test, then by the watchdog
        start_and_bring_back(t, 2, lambda kill, rng: kill == 0, interval=2)
    else:
        start_and_bring_back(t, 1, lambda kill, rng: False, interval=2)


@scenario("linux")
def soak_fifty_kills_at_random_moments(t):
    start_and_bring_back(t, 50, lambda kill, rng: rng.random() < 0.5)


# Restart lines come every third scan (the script never starts the worker). After each of the
# first three, something happens to the log file; the files, read in order, hold every console
# line once, whole, and each file one line at least. Then the script is removed: the next
# restart ends the watchdog.
@scenario("linux", "windows")
def log_file_rotated_removed_and_truncated(t):
    def rotate(log):  # as logrotate's "create" does
        os.rename(log, t.path("rotated.log"))
        open(log, "w").close()

    def remove(log):
        os.link(log, t.path("removed.log"))  # kept, to be read at the end
        os.remove(log)

    def copy_and_truncate(log):
        shutil.copy(log, t.path("copied.log"))
        open(log, "w").close()

    def wait_for_line_in_file(count):
        t.wait_for_lines("] ", count)
        t.wait_for_lines(t.stamped()[-1], 1, t.log)  # the file is written just after the console

    t.write_recording_script()
    t.start_watchdog()
    for count, action in enumerate([rotate, remove, copy_and_truncate], 1):
        wait_for_line_in_file(count)
        action(t.path(t.log))
    wait_for_line_in_file(6)
    os.remove(t.path(t.script))
    assert t.watchdog.wait(DEADLINE) == 1
    assert t.read().endswith(t.on_console(f"File {t.script} does not exist.\n")), t.read()
    texts = [t.read(name) for name in ["rotated.log", "removed.log", "copied.log", t.log]]
    assert "".join(texts) == "".join(t.stamped()) and all(texts), (t.read(), texts)
    restarts = [stamp_seconds(line) for line in t.stamped()[1:]]
    gaps = [later - earlier for earlier, later in zip(restarts, restarts[1:])]
    assert min(gaps) >= 3 * INTERVAL - STAMP_RESOLUTION, gaps


# The log on a 64 KiB tmpfs, the rest of it filled: the first line is written short and undone,
# the lines are kept until there is room again, and then the next scan writes them.
@scenario("linux")
def log_file_on_full_disk_takes_whole_lines_once_there_is_room(t):
    if os.geteuid() != 0:
        raise Skipped("mounting a small tmpfs needs root")
    os.mkdir(t.path("disk"))
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", t.path("disk")], check=True)
    t.cleanups.append(lambda: subprocess.run(["umount", "-l", t.path("disk")]))
    os.symlink("disk/log", t.path(t.log))
    earlier = " " * 4075 + "\n"  # 20 bytes short of a page
    t.write("disk/log", earlier)
    subprocess.run(["dd", "if=/dev/zero", "of=" + t.path("disk/fill")], stderr=subprocess.DEVNULL)
    t.write_recording_script()
    t.start_watchdog(interval=2)
    t.wait_for_lines("] ", 2)  # "Starting timer" and a restart line, neither taken
    assert t.read("disk/log") == earlier
    os.remove(t.path("disk/fill"))
    # The next scan writes the kept lines, 2 s later; the next new line comes 6 s later.
    t.wait_for_lines("\n", 3, "disk/log")
    assert len(t.events()) == 2, "the kept lines were written only with a new line"
    t.wait_for_lines("] ", 3)
    t.wait_for_lines("\n", 4, "disk/log")
    assert t.read("disk/log") == earlier + "".join(t.stamped()), t.read("disk/log")


@scenario("linux")
def process_list_unavailable_ends_the_watchdog(t):
    def four_descriptors_at_most():  # 0, 1, 2 and the log file: /proc cannot be opened
        resource.setrlimit(resource.RLIMIT_NOFILE, (4, 4))
    # Under AddressSanitizer, its leak check at exit needs descriptors of its own.
    sanitizer = os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
    t.write_recording_script()
    t.start_watchdog(preexec_fn=four_descriptors_at_most,
                     env={**os.environ, "ASAN_OPTIONS": sanitizer})
    assert t.watchdog.wait(DEADLINE) == 1
    assert t.events() == t.events(t.log) == ["Starting timer", "Could not get process list"]

    # A /proc that does not show the watchdog fails too, though our worker runs; one of the
    # parent's PID namespace does not, where the watchdog has a number that /proc does not list.
    if os.geteuid() != 0:
        raise Skipped("mounting over /proc needs root")
    t.start_worker()
    over_proc = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
                 'mount -t tmpfs tmpfs /proc && exec "$@"', "sh"]
    t.start_watchdog(prefix=over_proc)
    assert t.watchdog.wait(DEADLINE) == 1
    assert t.events() == ["Starting timer", "Could not get process list"], t.read()
    unused = next(n for n in range(2, 32768) if not os.path.exists(f"/proc/{n}"))
    in_child_namespace = ["unshare", "--pid", "--fork", "--kill-child", "sh", "-c",
                          f'echo {unused - 1} > /proc/sys/kernel/ns_last_pid; "$@" & wait', "sh"]
    t.start_watchdog(prefix=in_child_namespace)
    expect_events(t, [t.running])


# The watchdog runs on, and these events follow "Starting timer" on the console or in the log
# file; the script has recorded a launch for each restart line.
def expect_events(t, expected, lines="out.txt"):
    expected = ["Starting timer"] + expected
    wait_until(lambda: len(t.events(lines)) >= len(expected) or t.watchdog.poll() is not None,
               "the events", lambda: t.read(lines))
    assert t.watchdog.poll() is None, "the watchdog ended"
    assert t.events(lines)[:len(expected)] == expected, t.read(lines)
    t.wait_for_lines("\n", expected.count(t.restart), "workers.pid")


# One output unusable, the other takes every line: the log file a folder (it cannot be opened)
# or at the file-size limit (no SIGXFSZ), standard output a pipe nobody reads (no SIGPIPE) or
# closed (the log file must not take its number).
@scenario("linux")
def one_output_unusable_the_other_goes_on(t):
    read_end, write_end = os.pipe()
    os.close(read_end)
    os.mkdir(t.path(t.log))
    t.write_start_script()
    t.start_watchdog()
    expect_events(t, [t.restart, t.running])
    t.watchdog.kill()
    os.rmdir(t.path(t.log))
    t.start_watchdog(stdout=write_end)
    expect_events(t, [t.running], t.log)
    t.watchdog.kill()
    t.write(t.log, "x" * 4095 + "\n")
    t.start_watchdog(preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096)))
    expect_events(t, [t.running])
    t.watchdog.kill()
    os.remove(t.path(t.log))
    t.start_watchdog(preexec_fn=lambda: os.close(1))
    expect_events(t, [t.running], t.log)


# Started with a pipe as standard input and another one inherited as 3 and 4 (as a shell's "3>&"
# and socket activation pass it) and at its own number, the script gets none of them (3 is what
# ls lists its own folder with), nor the watchdog's session, and is no child of it.
@scenario("linux")
def script_started_detached(t):
    t.write_recording_script("ls /proc/self/fd > fds.txt\nreadlink /proc/$$/fd/0 > stdin.txt\n"
                             "cut -d' ' -f6 /proc/$$/stat > session.txt\n")
    read_end, write_end = os.pipe()
    shell = ["sh", "-c", f'exec "$@" 3>&{write_end} 4>&{write_end}', "sh"]
    t.start_watchdog(stdin=read_end, pass_fds=[write_end], prefix=shell)
    expect_events(t, [t.restart])
    assert t.read("fds.txt") == "0\n1\n2\n3\n" and t.read("stdin.txt") == "/dev/null\n"
    assert int(t.read("session.txt")) != os.getsid(0), "the script is in our session"
    children = f"/proc/{t.watchdog.pid}/task/{t.watchdog.pid}/children"
    wait_until(lambda: open(children).read() == "", "no child of the watchdog")


# The zombies among the children of a PID namespace's first process, pid (by the host's
# numbers): every process of the namespace whose parent has ended is its child.
def zombies_beside(pid):
    zombies = []
    for child in open(f"/proc/{pid}/task/{pid}/children").read().split():
        try:
            with open(f"/proc/{child}/stat") as file:
                if file.read().rsplit(")", 1)[1].split()[0] == "Z":
                    zombies.append(child)
        except OSError:  # reaped meanwhile
            pass
    return zombies


# As the first process of a PID namespace, as in a container: the script, which starts the
# worker in the background and ends, and every worker killed are reaped through five launches.
# SIGTERM from outside is passed on: the worker (a shell that records it and takes a second to
# end) ends before the watchdog, which waits --stop-timeout for a process that ignores the
# signal, and then ends with status 0.
@scenario("linux")
def first_process_of_a_namespace_reaps_and_passes_a_stop_on(t):
    if os.geteuid() != 0:
        raise Skipped("a PID namespace of its own needs root")
    stop_timeout = 2
    shutil.copy("/bin/sh", t.path(t.worker))
    on_stop = "echo TERM >> signal.txt; sleep 1; echo ended >> signal.txt; exit 0"
    body = f'trap "{on_stop}" TERM; while :; do sleep 1; done'
    worker = f"./{t.worker} -c '{body}' </dev/null >/dev/null 2>&1 &"
    stubborn = "sh -c 'trap \"\" TERM; exec sleep 600' </dev/null >/dev/null 2>&1 &"
    t.write(t.script, f"#!/bin/sh\necho launch >> workers.pid\n{worker}\n{stubborn}\n",
            executable=True)
    arguments = ["--instance", str(t.instance), "--interval", str(INTERVAL), "--run", t.script,
                 "--stop-timeout", str(stop_timeout)]
    t.start_watchdog(arguments, prefix=["unshare", "--pid", "--fork", "--kill-child",
                                        "--mount-proc"])
    children = f"/proc/{t.watchdog.pid}/task/{t.watchdog.pid}/children"
    wait_until(lambda: t.read(children) != "", "the watchdog to start in its namespace")
    first = int(t.read(children).split()[0])
    for launch in range(1, 6):
        t.wait_for_lines(t.running, launch)
        if launch < 5:
            kill_workers(t)
    wait_until(lambda: zombies_beside(first) == [], "no zombie in the namespace",
               lambda: str(zombies_beside(first)))
    requested = time.monotonic()
    os.kill(first, signal.SIGTERM)
    assert t.watchdog.wait(DEADLINE) == 0
    assert time.monotonic() - requested <= stop_timeout + LOAD_ALLOWANCE
    assert t.read("signal.txt") == "TERM\nended\n", t.read("signal.txt")


# Run as root, the watchdog warns of a script, or a folder on its way, that another user may
# change. Run as nobody beside root's processes: root's worker, shown as Wine shows a Windows
# program (its Windows path first), is found and not started again; root's decoys, a program
# that only calls itself the worker in its arguments and one whose own file name differs from
# the worker's in the 15th byte, are not taken for it, nor is root's worker left a zombie.
# Under a private /proc mounted with hidepid=2 it says it cannot see them.
@scenario("linux")
def root_warned_and_worker_of_another_user_found(t):
    if os.geteuid() != 0:
        raise Skipped("only root is warned, and running the watchdog as nobody needs root")
    os.mkdir(t.path("shared"))
    os.chmod(t.path("shared"), 0o777)
    t.write_start_script()
    shutil.chown(t.path(t.script), "nobody")
    for script, reason in [("shared/", f"{t.path('shared')} is writable by every user"),
                           (t.script, f"{t.path(t.script)} is owned by nobody")]:
        t.start_watchdog(["--run", script])
        t.wait_for_lines("Starting timer")
        assert f"Warning: running as root, but {reason}, so another user" in t.read(), t.read()
        t.watchdog.kill()

    as_nobody = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
    os.chmod(t.dir, 0o777)  # nobody writes its log here, the script its record
    t.start_process([t.worker, "600"], executable=WORKER)
    near = t.path(t.worker[:14] + "_" + t.worker[15:])
    t.start_process([t.worker, "600"], executable=shutil.copy(WORKER, near))
    worker = t.start_process(["Z:\\srv\\" + t.worker, "600"], executable=t.path(t.worker))
    wait_until(lambda: len(workers_named(t.worker)) == 3, "the worker and the decoys to run")
    t.start_watchdog(prefix=as_nobody)
    expect_events(t, [t.running])
    time.sleep(3 * INTERVAL + NOTICE_ALLOWANCE)  # three scans: a missed worker is started
    assert t.events() == ["Starting timer", t.running], t.read()
    worker.kill()
    expect_events(t, [t.running, t.restart, t.running])

    t.watchdog.kill()
    hidden = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
              'mount -t proc -o hidepid=2 proc /proc && exec "$@"', "sh"]
    t.start_watchdog(prefix=hidden + as_nobody)
    t.wait_for_lines("Starting timer")
    warning = "Warning: /proc is mounted with hidepid=[a-z0-9]+, so this watchdog cannot see"
    assert re.search(f"\n\n\n{warning} .*\n{STAMP}Starting timer", t.read()), t.read()


# Process numbers start again from the bottom once they reach the system's limit (32768 on
# many machines): when a round of stand-ins crossed that point, a second round comes first.
@scenario("linux")
def worker_beyond_2048_processes_is_found(t):
    for _ in range(2):
        for _ in range(2100):
            t.start_process(["sleep", "600"])
        worker = t.start_worker()
        pids = [int(pid) for pid in os.listdir("/proc") if pid.isdigit()]
        if pids.index(worker.pid) >= 2048:
            break
        worker.kill()
        worker.wait()
    else:
        raise Skipped("the worker could not be placed after 2048 processes")
    t.write_recording_script()
    t.start_watchdog()
    expect_events(t, [t.running])


# A batch file whatever the letter case of its name; a start.exe beside it (a copy of the
# stand-in) is not taken for Wine's own START, which would then never run the script.
@scenario("wineworker")
def batch_file_started_through_wine(t):
    shutil.copy(WORKER, t.path("start.exe"))

    def kill_decoys():  # started by mistake; ours by the folder they run in
        for pid in workers_named("start.exe"):
            try:
                if os.readlink(f"/proc/{pid}/cwd") == t.dir:
                    os.kill(pid, signal.SIGKILL)
            except OSError:  # ended meanwhile
                pass
    t.cleanups.append(kill_decoys)
    t.script = t.write_start_script("Launch.BAT")
    t.restart = f"{t.worker} not running - starting {t.script}"
    t.start_watchdog()
    expect_events(t, [t.restart, t.running])


# No program the watchdog starts holds its log file. The command interpreter is here a copy of
# the worker (Wine takes COMSPEC from the registry, the user's value first), which stays and
# keeps the watchdog waiting for it: once the watchdog is ended, the log file is deleted, as it
# would not be while a handle inherited by that program kept it open (the system deletes a file
# when its last handle closes).
@scenario("windows")
def log_file_not_held_by_the_programs_started(t):
    t.write_recording_script()
    interpreter = windows_path(shutil.copy(WORKER, t.path(t.worker)))
    setting = ["HKCU\\Environment", "/v", "ComSpec", "/f"]
    wine("reg", "add", *setting, "/d", interpreter)
    t.cleanups.append(lambda: wine("reg", "delete", *setting))
    t.start_watchdog()
    wait_until(lambda: workers_named(t.worker), "the interpreter in the worker's place to run")
    wine("reg", "delete", *setting)
    t.watchdog.kill()
    t.watchdog.wait()
    wine("cmd", "/c", "del", windows_path(t.path(t.log)))
    wait_until(lambda: not os.path.exists(t.path(t.log)), "the log file to be deleted")


def wine(*arguments):
    return subprocess.run([WINE, *arguments], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, text=True).stdout


def sc(*arguments):
    return wine("sc", *arguments)


# "STOPPED 1066 1" and the like: the state, the Windows exit code (1066: the service's own error)
# and the service's own exit code.
def service_state(service):
    text = sc("query", service)
    found = re.search(r"STATE\s+:\s+\d+\s+(\w+).*WIN32_EXIT_CODE\s+:\s+(\d+).*"
                      r"SERVICE_EXIT_CODE\s+:\s+(\d+)", text, re.S)
    return " ".join(found.groups()) if found else text


# The Windows build as a service of Wine's own service manager, run from the test's folder (its
# log and script are found there) and deleted again at the end, also on failure. A stop comes
# within 2 s, whatever the interval, and leaves the worker running. A failure (the script gone)
# and a usage error (--run without its value) end it each with its own exit code.
@scenario("service")
def service_stops_within_two_seconds_and_leaves_the_worker_running(t):
    stop_bound = 2
    t.service = f"zel-test-{t.instance}"
    usage_error = f"zel-test-{t.instance}-usage"
    program = windows_path(shutil.copy(BINARY, t.dir))
    sc("create", t.service, "binpath=", f"{program} --service --instance {t.instance} --interval 600")
    sc("create", usage_error, "binpath=", f"{program} --service --instance {t.instance} --run")

    def remove_services():
        for service in [t.service, usage_error]:
            sc("stop", service)
            sc("delete", service)
    t.cleanups.append(remove_services)
    t.write_start_script()
    t.start_worker()
    sc("start", t.service)
    t.wait_for_lines(t.running, 1, t.log)
    log_before_stop = t.read(t.log)
    requested = time.monotonic()
    sc("stop", t.service)
    wait_until(lambda: service_state(t.service).startswith("STOPPED"), "STOPPED")
    assert time.monotonic() - requested <= stop_bound + WINE_ALLOWANCE
    assert service_state(t.service) == "STOPPED 0 0" and t.read(t.log) == log_before_stop
    assert len(workers_named(t.worker)) == 1, "the worker ended with the service"

    os.remove(t.path(t.script))
    for service, exit_code in [(t.service, 1), (usage_error, 2)]:
        sc("start", service)
        wait_until(lambda: service_state(service).startswith("STOPPED"), f"{service} to stop")
        assert service_state(service) == f"STOPPED 1066 {exit_code}", service_state(service)


# Whether the kernel executes 32-bit programs ("Exec format error" where it has no 32-bit support).
def runs_32_bit_programs():
    try:
        subprocess.run([LOADER_32, "--version"], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
    except OSError as error:
        if error.errno == errno.ENOEXEC:
            return False
        raise
    return True


# What a mode needs of the machine beyond the tools that registered it.
def check_machine():
    prefix = os.environ.get("WINEPREFIX", "")
    if MODE in WINE_MODES and not os.path.isfile(os.path.join(prefix, "system.reg")):
        raise AssertionError(f"the Wine prefix {prefix} is missing: see the test wine-prefix")
    if MODE == "windows32" and not runs_32_bit_programs():
        raise Skipped("the 32-bit worker was not tried: this kernel runs no 32-bit programs")


def main():
    if sys.argv[2] == "--list":
        print(";".join(name for name, (_, modes) in SCENARIOS.items() if MODE in modes))
        return 0
    t = Run()
    try:
        check_machine()
        SCENARIOS[sys.argv[2]][0](t)
    except Skipped as reason:
        print("skipped:", reason)
        return 77
    finally:
        t.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
