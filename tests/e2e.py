#!/usr/bin/env python3
# The real zel-restarter binary against real processes: "e2e.py MODE --list" names the
# scenarios of a mode, "e2e.py MODE NAME" runs one (exit 0 passed, 77 skipped, else failed).
# linux: the Linux build; workers are copies of sleep, scripts shell scripts.
# windows: the Windows build under Wine; the worker is the Windows stand-in (ZEL_WORKER),
# scripts are .bat files with CR LF, and console lines end in CR LF.
# wineworker: the Linux build watching that Windows worker running under Wine.
# Each run watches its own instance number (its PID) in a directory of its own, and kills only
# processes it started, by PID. Start scripts append a line to workers.pid when they run, so that
# launches can be counted.
import calendar, os, random, re, shutil, signal, subprocess, sys, tempfile, time
from unittest import SkipTest as Skip

MODE, BINARY = sys.argv[1], os.environ.get("ZEL_BINARY", "")
WINE, WORKER = os.environ.get("ZEL_WINE", "wine"), os.environ.get("ZEL_WORKER", "/bin/sleep")
os.environ["WINEDLLOVERRIDES"] = "mscoree,mshtml=;winemenubuilder.exe=d"  # quiet, headless
SCENARIOS, QUIET = {}, subprocess.DEVNULL
INTERVAL = 1 if MODE == "linux" else 2  # Wine can take seconds to start a program


class Run:
    def __init__(self):
        self.dir, self.n = tempfile.mkdtemp(prefix="zel-e2e-"), os.getpid()
        self.worker, self.log = f"Quorvank-LT-{self.n}.exe", f"Zel-Restarter-{self.n}.log"
        self.windows, self.pids, self.watchdog = MODE == "windows", [], None
        self.script = "start.bat" if self.windows else "start.sh"
        self.restart = f"{self.worker} not running - starting {self.script}"
        self.running = f"{self.worker} is running"

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, text, mode=0o644):
        open(self.path(name), "w").write(text.replace("\n", "\r\n" if name[-4:] == ".bat" else "\n"))
        os.chmod(self.path(name), mode)
        return name

    def read(self, name="out.txt"):
        exists = os.path.isfile(self.path(name))
        return open(self.path(name), errors="replace", newline="").read() if exists else ""

    def start_worker(self, name=None):  # and waits until it shows in the process table
        shutil.copy(WORKER, self.path(name or self.worker))
        wine, running = MODE != "linux", len(live_workers(self, name))
        self.pids.append(subprocess.Popen([WINE] * wine + [self.path(name or self.worker), "600"],
                                          cwd=self.dir, stdin=QUIET, stdout=QUIET, stderr=QUIET))
        self.wait_for(lambda: len(live_workers(self, name)), running + 1)
        return self.pids[-1]

    def start_script(self, name=None):  # a script that records its launch and runs the worker
        shutil.copy(WORKER, self.path(self.worker))
        name = name or self.script
        if name.endswith(".bat"):
            worker, pids = ("Z:" + self.path(f).replace("/", "\\") for f in [self.worker, "workers.pid"])
            # Recorded after the start: a first redirection in a new Wine prefix takes seconds.
            return self.write(name, f'@echo off\nstart "" "{worker}" 600\necho launch>> "{pids}"\n')
        wine = "" if MODE == "linux" else WINE + " "
        return self.write(name, f"#!/bin/sh\necho $$ >> workers.pid\nexec {wine}./{self.worker} 600\n", 0o755)

    def recorder(self, text="echo launch>> workers.pid\n"):  # a script, not executable
        return self.write(self.script, text) and {}

    def watch(self, arguments=None, script=None, env=None, stdout=None, stdin=QUIET, **options):
        arguments = arguments if arguments is not None else [
            "--instance", str(self.n), "--interval", str(INTERVAL), "--run", script or self.script]
        self.watchdog = subprocess.Popen(
            [WINE] * self.windows + [BINARY] + arguments, cwd=self.dir, stdin=stdin, stderr=QUIET,
            stdout=stdout or open(self.path("out.txt"), "wb"), env={**os.environ, **(env or {})},
            **options)

    def wait_for(self, text, count=1, name="out.txt", timeout=30):  # text: or a count to take
        deadline = time.time() + timeout
        while (text() if callable(text) else self.read(name).count(text)) < count:
            assert time.time() < deadline, f'no "{text}" x{count} in {name}:\n{self.read(name)}'
            time.sleep(0.05)

    def events(self, name="out.txt"):  # the timestamped lines, prefix removed
        return [line[22:] for line in self.read(name).replace("\r\n", "\n").split("\n")
                if re.match(r"\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] ", line)]

    def console(self, text):
        return text.replace("\n", "\r\n") if self.windows else text

    def close(self):
        for process in self.pids + [self.watchdog] * (self.watchdog is not None):
            process.kill()
            process.wait()
        for pid in live_workers(self):
            os.kill(pid, signal.SIGKILL)
        subprocess.run(["umount", "-l", self.path("disk")], stderr=QUIET)
        shutil.rmtree(self.dir, ignore_errors=True)


def live_workers(t, name=None):  # ours by the program their command line names, Wine's too
    def image(pid):
        try:
            return re.split(r"[\\/]", open(f"/proc/{pid}/cmdline").read().split("\0")[0])[-1]
        except OSError:
            return ""
    return [int(p) for p in os.listdir("/proc") if p.isdigit() and image(p) == (name or t.worker)]


def seconds(line, offset=0):  # a line's timestamp read in a zone offset seconds east of UTC
    return calendar.timegm(time.strptime(line[1:20], "%Y-%m-%d %H:%M:%S")) - offset


def scenario(*modes):
    return lambda function: SCENARIOS.setdefault(function.__name__, (function, modes))


def started(n, script="start.bat", interval=10):  # the banner's settings, the log's number
    name = f"Quorvank-LT-{n}.exe" if n else "Quorvank-LT.exe"
    return None, f"Instance:\t{name}\nRun:\t\t{script}\nInterval:\t{interval} seconds\n", n


@scenario("linux", "windows")
def command_line_and_start_up(t):
    os.mkdir(t.path("sub dir"))
    os.chmod(t.path("sub dir"), 0o777)  # as root, a script others may change is warned of
    for arguments, (status, output, log) in [
            (["--instance"], (2, "No value set for 'instance' parameter", None)),
            (["--interval"], (2, "No value set for 'interval' parameter", None)),
            (["--instance", "4", "--run"], (2, "No value set for 'script' parameter", None)),
            ([], (1, "File start.bat does not exist\n", 0)),
            (["--instance", "4", "--run", "gone.sh"], (1, "File gone.sh does not exist\n", 4)),
            (["--run", "sub dir/"], started(0, "sub dir/")),  # a directory passes the check
            (["--instance", "3", "--instance", "0", "--interval", "25x"], started(3, interval=25)),
            (["--instance", "3", "--instance", "7", "--run", "b.cmd", "--run", "x"], started(7, "b.cmd")),
            (["--instance", "abc", "--interval", "0", "--run", "a.sh"], started(0)),
            (["--instance", "-1", "--interval", "-99999999999"], started(0)),
            (["--instance", " +12", "--Interval", "5"], started(12)),
            (["--instance", "99999999999", "--interval", "4294967296"], started(2**31 - 1, interval=2**31 - 1)),
            (["--instance", "--run", "x", "--interval", "3"], started(0, interval=3)),
            (["--run", "-h", "--interval", "5"], started(0, interval=5))]:
        for name in [f for f in os.listdir(t.dir) if f.endswith(".log")]:
            os.remove(t.path(name))
        for name in ["start.bat", "b.cmd"] * (status is None):  # scripts to find
            t.write(name, "")
        t.watch(arguments)
        if status is None:  # runs on: the banner shows the settings
            t.wait_for(t.console(output))
            t.watchdog.kill()
            warning = f"Warning: running as root, but {t.path('sub dir')} is writable by every user"
            warned = MODE == "linux" and os.geteuid() == 0 and "sub dir/" in arguments
            assert (warning in t.read()) == warned, t.read()
        else:  # ends with this status and this output (the start of it for 0)
            assert t.watchdog.wait(10) == status, t.read()
            assert t.read()[:len(output) + 2 * status] == t.console(output), t.read()
        log = None if log is None else f"Zel-Restarter-{log}.log" if log else "Zel-Restarter.log"
        assert [f for f in os.listdir(t.dir) if f.endswith(".log")] == ([log] if log else [])
        assert not log or t.read(log) == ""


@scenario("linux", "windows")
def absent_worker_started_two_intervals_after_starting_timer(t):
    t.start_script()
    began = time.time()
    # The runtime expands the pattern on Windows; a zone far from UTC shows local time is used.
    t.watch(script="st*.bat" if t.windows else None, env={"TZ": "ZEL-5:30"})
    t.wait_for("is running")
    banner = t.console(f"==========Quorvank Restarter==========\n\nInstance:\t{t.worker}\n"
                       f"Run:\t\t{t.script}\nInterval:\t{INTERVAL} seconds\n\n\n")
    out, log = t.read(), t.read(t.log)
    # No warning after the banner: only root may change the script.
    assert out.startswith(banner + "[") and t.events() == ["Starting timer", t.restart, t.running], out
    assert t.console(log) == out[len(banner):] and "\r" not in log, log
    lines = log.split("\n")[1:3]
    assert 1 <= seconds(lines[0], 19800) - began <= 4 * INTERVAL, (began, lines)  # a 2 s pause
    assert 1 <= (seconds(lines[1]) - seconds(lines[0])) / INTERVAL <= 3, lines  # scans 0, 1, 2
    t.wait_for("\n", 1, "workers.pid")  # a script under Wine records its launch a moment later
    assert t.read("workers.pid").count("\n") == 1


def kill_and_bring_back(t, kills, short):
    # A worker the test brings back within 1.6 s is missed by at most two scans and causes no
    # line; one left dead is started once and announced once.
    os.mkdir(t.path("my scripts"))
    script = t.start_script("my scripts/start it" + t.script[5:]).replace("/", "\\" * t.windows or "/")
    t.start_worker()
    if MODE == "linux":  # the running program's file replaced: still the worker
        os.remove(t.path(t.worker))
        shutil.copy(WORKER, t.path(t.worker))
    t.watch(script=script)
    t.wait_for("is running")
    announced, rng, began, steady = 1, random.Random(t.n), time.time(), None
    for kill in range(kills):
        time.sleep(rng.uniform(1.3, 2.5) * INTERVAL)  # long enough for a scan to see the worker
        for victim in live_workers(t):
            os.kill(victim, signal.SIGKILL)
        if short(kill, rng):
            time.sleep(rng.uniform(0, 1.6))
            t.start_worker()
        else:  # measured while the new worker is held, as at the end
            announced += 1
            t.wait_for("is running", announced)
            steady = usage(t.watchdog.pid) if time.time() - began < 60 or not steady else steady
    time.sleep(2)
    t.wait_for("\n", announced - 1, "workers.pid")  # under Wine recorded a moment later
    restart = t.restart.replace(t.script, script)
    assert t.events() == t.events(t.log) and t.events().count(t.running) == announced, t.read()
    assert t.events().count(restart) == announced - 1 == t.read("workers.pid").count("\n")
    assert MODE != "linux" or usage(t.watchdog.pid) == steady, steady  # Wine's own may grow
    assert len(live_workers(t)) == 1, live_workers(t)


def usage(pid):  # descriptors and memory
    return sorted(os.listdir(f"/proc/{pid}/fd")), re.findall(r"VmRSS.*", open(f"/proc/{pid}/status").read())


SCENARIOS["running_worker_announced_once_and_brought_back"] = (lambda t: kill_and_bring_back(
    t, 1 + (MODE == "linux"), lambda kill, rng: kill == 0 and MODE == "linux"), [MODE])  # every mode
SCENARIOS["soak_fifty_kills_at_random_moments"] = (
    lambda t: kill_and_bring_back(t, 50, lambda kill, rng: rng.random() < 0.5), ["linux"])


# Rotated, removed, truncated or on a full disk under a running watchdog: the log files, read in
# order, hold every console line exactly once, whole, and each holds one at least. A line comes
# every third scan; a moment after each of the first (the file is written just after the
# console) comes an action on the log file ($L).
for name, modes, setup, actions, files in [
        ("log_file_renamed_removed_and_truncated", "linux windows", "",
         ["mv $L renamed.log", "ln $L removed.log && rm $L", "cp $L copied.log && : > $L"],
         ["renamed.log", "removed.log", "copied.log", "$L"]),
        ("log_file_rotated_by_logrotate_create", "linux", "",
         ['printf "%s {\\n create\\n rotate 2\\n}" "$PWD/$L" > c && logrotate -fs state c'] * 2,
         ["$L.2", "$L.1", "$L"]),
        # The log on a 64 KiB tmpfs, 20 bytes short of a page, the rest of the disk filled: the
        # first line is written short. Nothing may reach the file until there is room again, and
        # then the next scan writes the kept lines, before any new line.
        ("log_file_on_full_disk_takes_whole_lines_once_there_is_room", "linux",
         "mkdir disk && mount -t tmpfs -o size=64k tmpfs disk && ln -s disk/log $L && "
         "printf %4075s\\\\n > disk/log && (dd if=/dev/zero of=disk/fill bs=4k 2>&-; true)",
         ["true", "rm disk/fill && sleep 1.5 && test $(wc -c < disk/log) -gt 4076"], ["disk/log"])]:
    def rotated(t, setup=setup, actions=actions, files=files):
        if setup and os.geteuid() != 0:
            raise Skip("mounting a small tmpfs needs root")
        t.recorder()
        for count, action in enumerate([setup] + actions, 1):
            t.wait_for("] ", count - 1)
            time.sleep(0.3 * (count > 1))
            assert not subprocess.run(action.replace("$L", t.log), shell=True, cwd=t.dir).returncode
            count > 1 or t.watch()
        t.wait_for("] ", len(actions) + 3)
        time.sleep(0.3)
        stamped = [line + "\n" for line in t.read().replace("\r", "").split("\n") if line[:1] == "["]
        texts = [t.read(f.replace("$L", t.log)) for f in files]
        assert "".join(texts).lstrip() == "".join(stamped) and all(texts), (stamped, texts)
    SCENARIOS[name] = (rotated, modes.split())


def detached(t):  # started with a pipe as standard input and another one inherited
    t.recorder("echo launch>> workers.pid\nls /proc/self/fd > fds.txt\n"
               "readlink /proc/$$/fd/0 > stdin.txt\ncut -d' ' -f6 /proc/$$/stat > session.txt\n")
    return (lambda read_end, write_end: {"stdin": read_end, "pass_fds": [write_end]})(*os.pipe())


# Each row: the modes, what is set up (it may return options for starting the watchdog), and
# what follows "Starting timer": S the restart line, R "is running". The script records its
# launches, one per S; the watchdog leaves no child behind. The lines are read from the log file
# when the console is the fault.
ROWS = {
    "log_file_is_directory": ("linux", lambda t: os.mkdir(t.path(t.log)), "SR"),
    "output_pipe_without_reader": (
        "linux", lambda t: (lambda r, w: os.close(r) or {"stdout": w})(*os.pipe()), "SR"),
    "output_closed": ("linux", lambda t: {"preexec_fn": lambda: os.close(1)}, "SR"),
    # Only descriptors 0, 1 and 2 (3 is what ls lists), standard input from /dev/null, a session
    # of its own: nothing of the watchdog's.
    "script_detached_with_only_standard_descriptors": ("linux", detached, "S"),
    "worker_differing_in_letter_case_is_not_found": (  # the script only records its launches
        "linux windows wineworker", lambda t: t.start_worker(t.worker.upper()) and t.recorder(), "S"),
    "batch_file_without_execute_bit_runs_through_wine": (
        "wineworker", lambda t: {"script": t.start_script("start.bat")}, "SR"),
}


def run_row(t, inject, expect):
    if "R" in expect and "S" in expect:
        t.start_script()
    options = inject(t) or {}
    lines = t.log if "stdout" in options or "preexec_fn" in options else "out.txt"
    t.watch(**options)
    t.wait_for("] ", len(expect) + 1, lines)
    time.sleep(0.5)
    children = open(f"/proc/{t.watchdog.pid}/task/{t.watchdog.pid}/children").read()
    assert t.watchdog.poll() is None and (t.windows or children == "")
    t.watchdog.kill()
    # Under Wine a cycle or two more may pass before the test looks: more restart lines only.
    restart = t.restart.replace(t.script, options.get("script", t.script))
    events = t.events(lines)
    expected = ["Starting timer"] + [{"S": restart, "R": t.running}[c] for c in expect]
    extra = events[len(expected):]
    assert events[:len(expected)] == expected and extra == [restart] * len(extra), t.read(lines)
    assert not extra or expect[-1] == "S", "a line after the announcement"
    t.wait_for("\n", events.count(restart), "workers.pid")  # Wine takes a moment to start it
    assert t.read("workers.pid").count("\n") == events.count(restart)
    if "stdin" in options:
        t.wait_for("\n", 1, "session.txt")
        assert t.read("fds.txt") == "0\n1\n2\n3\n" and t.read("stdin.txt") == "/dev/null\n"
        assert int(t.read("session.txt")) != os.getsid(0)  # the watchdog's session


for name, (modes, inject, expect) in ROWS.items():
    SCENARIOS[name] = (lambda t, i=inject, e=expect: run_row(t, i, e), modes.split())


def main():
    if MODE == "prefix":  # a new private Wine prefix; its server is started with none of our pipes
        shutil.rmtree(os.environ["WINEPREFIX"], ignore_errors=True)
        os.makedirs(os.environ["WINEPREFIX"])
        for command in ["wineserver", "-p"], ["wineboot", "-i"]:
            subprocess.run(command, stdin=QUIET, stdout=QUIET, stderr=QUIET)
    elif sys.argv[2] == "--list":
        print(";".join(name for name, (_, modes) in SCENARIOS.items() if MODE in modes))
    else:
        t = Run()
        try:
            SCENARIOS[sys.argv[2]][0](t)
        except Skip as reason:
            return print("skipped:", reason) or 77
        finally:
            t.close()


if __name__ == "__main__":
    sys.exit(main())
