#!/usr/bin/env python3
# The Windows build run as a service by Wine's own service manager ("sc"), in a private Wine
# prefix with a persistent Wine server. "service_e2e.py prefix" makes that prefix; "service_e2e.py
# NAME" runs one case: it installs a service over an instance folder of its own (the watchdog,
# start.bat, the worker's image), and deletes the service and the folder again, also on failure.
# The Wine server is ended by the test that follows all cases (see wine.cmake).
import os, re, shutil, signal, subprocess, sys, tempfile, time

WINE, WINESERVER = os.environ.get("ZEL_WINE", "wine"), os.environ.get("ZEL_WINESERVER", "wineserver")
BINARY, WORKER = os.environ.get("ZEL_BINARY", ""), os.environ.get("ZEL_WORKER", "")
os.environ["WINEDLLOVERRIDES"] = "mscoree,mshtml=;winemenubuilder.exe=d"  # quiet, headless
QUIET = subprocess.DEVNULL

STOP_BOUND = 2.0  # seconds from a stop request to STOPPED, whatever the interval
WINE_ALLOWANCE = 3.0  # what Wine adds to it: starting "sc stop" and "sc query" on a busy machine
DEADLINE = 60  # for what waits on Wine starting programs; a limit, not an expected time


def make_prefix():
    # The prefix is made before the server is made persistent: a "wineboot" under an already
    # persistent server leaves two service managers, and services started then never connect.
    prefix = os.environ["WINEPREFIX"]
    shutil.rmtree(prefix, ignore_errors=True)
    os.makedirs(prefix)
    for command in [WINE, "wineboot", "-i"], [WINESERVER, "-w"], [WINESERVER, "-p"]:
        subprocess.run(command, stdin=QUIET, stdout=QUIET, stderr=QUIET)


def sc(*arguments):
    return subprocess.run([WINE, "sc", *arguments], stdin=QUIET, stdout=subprocess.PIPE,
                          stderr=QUIET, text=True).stdout


def service_status(name):  # ("RUNNING", 0) and the like, from "sc query"
    text = sc("query", name)
    state = re.search(r"STATE\s+:\s+\d+\s+(\w+)", text)
    exit_code = re.search(r"SERVICE_EXIT_CODE\s+:\s+(\d+)", text)
    assert state and exit_code, text
    return state.group(1), int(exit_code.group(1))


def wait_for(condition, what):
    deadline = time.time() + DEADLINE
    while not condition():
        assert time.time() < deadline, f"not within {DEADLINE} s: {what}"
        time.sleep(0.1)


def windows_path(path):  # how Wine's programs see a Linux path
    return "Z:" + path.replace("/", "\\")


class Instance:  # an instance folder, as an operator lays it out, and its service
    def __init__(self, options, with_script=True):
        self.n, self.dir = os.getpid(), tempfile.mkdtemp(prefix="zel-service-")
        self.service, self.worker = f"zel-test-{self.n}", f"Quorvank-LT-{self.n}.exe"
        self.log = os.path.join(self.dir, f"Zel-Restarter-{self.n}.log")
        self.launches = os.path.join(self.dir, "workers.pid")
        shutil.copy(BINARY, self.dir)
        shutil.copy(WORKER, os.path.join(self.dir, self.worker))
        if with_script:  # starts the worker and records that it ran
            script = (f'@echo off\r\nstart "" "{windows_path(os.path.join(self.dir, self.worker))}" 600\r\n'
                      f'echo launch>> "{windows_path(self.launches)}"\r\n')
            open(os.path.join(self.dir, "start.bat"), "w", newline="").write(script)
        program = windows_path(os.path.join(self.dir, os.path.basename(BINARY)))
        sc("create", self.service, "binpath=", f"{program} --service --instance {self.n} {options}")

    def read(self, path):
        return open(path, errors="replace").read() if os.path.exists(path) else ""

    def close(self):
        sc("stop", self.service)
        sc("delete", self.service)
        for pid in running_workers(self.worker):
            os.kill(pid, signal.SIGKILL)
        shutil.rmtree(self.dir, ignore_errors=True)


def running_workers(image):  # Wine processes of that image, by the program their command line names
    pids = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            program = open(f"/proc/{pid}/cmdline").read().split("\0")[0]
        except OSError:
            continue
        if re.split(r"[\\/]", program)[-1] == image:
            pids.append(int(pid))
    return pids


def missing_worker_started_once_through_start_bat(t):
    sc("start", t.service)
    wait_for(lambda: f"{t.worker} is running" in t.read(t.log), "the started worker seen")
    assert service_status(t.service) == ("RUNNING", 0)
    wait_for(lambda: t.read(t.launches), "start.bat recording its launch")
    assert t.read(t.log).count(f"{t.worker} not running - starting start.bat") == 1, t.read(t.log)
    assert t.read(t.launches) == "launch\n" and len(running_workers(t.worker)) == 1


def stop_within_two_seconds_leaves_worker_running(t):
    worker = subprocess.Popen([WINE, os.path.join(t.dir, t.worker), "600"], cwd=t.dir,
                              stdin=QUIET, stdout=QUIET, stderr=QUIET)
    sc("start", t.service)
    wait_for(lambda: f"{t.worker} is running" in t.read(t.log), "the worker seen")
    log_before_stop = t.read(t.log)
    requested = time.time()
    sc("stop", t.service)
    wait_for(lambda: service_status(t.service)[0] == "STOPPED", "STOPPED")
    took = time.time() - requested
    print(f"STOPPED {took:.2f} s after the stop request")
    assert took <= STOP_BOUND + WINE_ALLOWANCE, took
    assert service_status(t.service) == ("STOPPED", 0) and t.read(t.log) == log_before_stop
    assert worker.poll() is None, "the worker ended with the service"


def missing_script_stops_with_exit_code_1(t):
    sc("start", t.service)
    wait_for(lambda: service_status(t.service)[0] == "STOPPED", "STOPPED")
    assert service_status(t.service) == ("STOPPED", 1)
    assert t.read(t.log) == "File start.bat does not exist\n", t.read(t.log)


CASES = {  # each case: the options after --service --instance N, and whether start.bat exists
    missing_worker_started_once_through_start_bat: ("--interval 2", True),
    stop_within_two_seconds_leaves_worker_running: ("--interval 600", True),
    missing_script_stops_with_exit_code_1: ("--interval 2", False),
}


def main():
    if sys.argv[1] == "prefix":
        return make_prefix()
    case = next(case for case in CASES if case.__name__ == sys.argv[1])
    instance = Instance(*CASES[case])
    try:
        case(instance)
    finally:
        instance.close()


if __name__ == "__main__":
    sys.exit(main())
