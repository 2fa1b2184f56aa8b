#!/usr/bin/env python3
# The Windows build run as a service by Wine's own service manager ("sc"), in a private Wine
# prefix with a persistent Wine server. "service_e2e.py prefix" makes that prefix; "service_e2e.py
# NAME" runs one case: it installs a service over an instance folder of its own (the watchdog,
# start.bat, the worker's image), and deletes the service and the folder again, also on failure.
# The Wine server is ended by the test that follows all cases (see wine.cmake).
import os, re, shutil, signal, subprocess, sys, tempfile, time

WINE, WINESERVER = os.environ["ZEL_WINE"], os.environ["ZEL_WINESERVER"]
BINARY, WORKER = os.environ["ZEL_BINARY"], os.environ["ZEL_WORKER"]
QUIET = subprocess.DEVNULL

STOP_BOUND = 2.0  # seconds from a stop request to STOPPED, whatever the interval
WINE_ALLOWANCE = 3.0  # what Wine adds to it: starting "sc stop" and "sc query" on a busy machine
DEADLINE = 60  # for what waits on Wine starting programs; a limit, not an expected time


def make_prefix():
    # The prefix is made before the server is made persistent: a "wineboot" under an already
    # persistent server leaves two service managers, and services started then never connect.
    shutil.rmtree(os.environ["WINEPREFIX"], ignore_errors=True)
    os.makedirs(os.environ["WINEPREFIX"])
    for command in [WINE, "wineboot", "-i"], [WINESERVER, "-w"], [WINESERVER, "-p"]:
        subprocess.run(command, stdin=QUIET, stdout=QUIET, stderr=QUIET)


def sc(*arguments):
    return subprocess.run([WINE, "sc", *arguments], stdin=QUIET, stdout=subprocess.PIPE,
                          stderr=QUIET, text=True).stdout


def service_status(name):  # ("RUNNING", 0) and the like: the state and the service's exit code
    text = sc("query", name)
    found = re.search(r"STATE\s+:\s+\d+\s+(\w+).*SERVICE_EXIT_CODE\s+:\s+(\d+)", text, re.S)
    assert found, text
    return found.group(1), int(found.group(2))


def wait_for(condition, what):
    deadline = time.time() + DEADLINE
    while not condition():
        assert time.time() < deadline, f"not within {DEADLINE} s: {what}"
        time.sleep(0.1)


def read(path):  # "" while there is no such file
    try:
        return open(path, errors="replace").read()
    except OSError:
        return ""


class Instance:  # an instance folder, as an operator lays it out, and its service
    def __init__(self, options):
        self.n, self.dir = os.getpid(), tempfile.mkdtemp(prefix="zel-service-")
        self.service, self.worker = f"zel-test-{self.n}", f"Quorvank-LT-{self.n}.exe"
        self.log = os.path.join(self.dir, f"Zel-Restarter-{self.n}.log")
        shutil.copy(WORKER, os.path.join(self.dir, self.worker))
        # The script runs in the folder: it starts the worker there and records that it ran.
        self.launches = os.path.join(self.dir, "workers.pid")
        script = f'@echo off\r\nstart "" {self.worker} 600\r\necho launch>> workers.pid\r\n'
        open(os.path.join(self.dir, "start.bat"), "w", newline="").write(script)
        program = "Z:" + shutil.copy(BINARY, self.dir).replace("/", "\\")  # as Wine sees the path
        sc("create", self.service, "binpath=", f"{program} --service --instance {self.n} {options}")

    def close(self):
        sc("stop", self.service)
        sc("delete", self.service)
        for pid in filter(str.isdigit, os.listdir("/proc")):  # our workers, by their command line
            program = read(f"/proc/{pid}/cmdline").split("\0")[0]
            if re.split(r"[\\/]", program)[-1] == self.worker:
                os.kill(int(pid), signal.SIGKILL)
        shutil.rmtree(self.dir, ignore_errors=True)


def missing_worker_started_once_through_start_bat(t):
    sc("start", t.service)
    wait_for(lambda: f"{t.worker} is running" in read(t.log), "the started worker seen")
    assert read(t.log).count(f"{t.worker} not running - starting start.bat") == 1, read(t.log)
    wait_for(lambda: read(t.launches) == "launch\n", "start.bat recording its one launch")


def stop_within_two_seconds_leaves_worker_running(t):
    worker = subprocess.Popen([WINE, os.path.join(t.dir, t.worker), "600"], cwd=t.dir,
                              stdin=QUIET, stdout=QUIET, stderr=QUIET)
    sc("start", t.service)
    wait_for(lambda: f"{t.worker} is running" in read(t.log), "the worker seen")
    log_before_stop = read(t.log)
    requested = time.time()
    sc("stop", t.service)
    wait_for(lambda: service_status(t.service)[0] == "STOPPED", "STOPPED")
    took = time.time() - requested
    assert took <= STOP_BOUND + WINE_ALLOWANCE, took
    assert service_status(t.service) == ("STOPPED", 0) and read(t.log) == log_before_stop
    assert worker.poll() is None, "the worker ended with the service"


def missing_script_stops_with_exit_code_1(t):
    os.remove(os.path.join(t.dir, "start.bat"))
    sc("start", t.service)
    wait_for(lambda: read(t.log), "the reason in the log")  # STOPPED before the start as well
    wait_for(lambda: service_status(t.service)[0] == "STOPPED", "STOPPED")
    assert service_status(t.service) == ("STOPPED", 1)
    assert read(t.log) == "File start.bat does not exist\n", read(t.log)


CASES = {  # each case and the options of its service after "--service --instance N"
    missing_worker_started_once_through_start_bat: "--interval 2",
    stop_within_two_seconds_leaves_worker_running: "--interval 600",
    missing_script_stops_with_exit_code_1: "--interval 2",
}


def main():
    if sys.argv[1] == "prefix":
        return make_prefix()
    case = next(case for case in CASES if case.__name__ == sys.argv[1])
    instance = Instance(CASES[case])
    try:
        case(instance)
    finally:
        instance.close()


sys.exit(main())
