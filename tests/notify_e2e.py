#!/usr/bin/env python3
# The real zel-restarter binary told by its environment that systemd runs it: a datagram socket of
# the test's own is its NOTIFY_SOCKET. "notify_e2e.py NAME" runs one scenario (exit 0 passed).
# Each run watches its own instance number (its PID) in a directory of its own and kills only
# the processes it started, by PID. The start script records its environment and its PID, which
# the worker it becomes keeps.
import os, re, shutil, signal, socket, statistics, subprocess, sys, tempfile, time

DEADLINE = 30  # seconds to wait for anything that is bound to come, however loaded the machine
KEEP_ALIVE = 1.0  # seconds: half of the WATCHDOG_USEC=2000000 given
LOAD_ALLOWANCE = 0.5  # how much later a busy two-core machine may run the watchdog
STAMP_ALLOWANCE = 1  # the status's time and the log line's stamp are two clock reads
NOTIFY_VARIABLES = {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"}
START_SCRIPT = "#!/bin/sh\nenv > env.txt\necho $$ > worker.pid\nexec ./{} 600\n"


class Run:
    def __init__(self):
        self.dir, self.n = tempfile.mkdtemp(prefix="zel-notify-"), os.getpid()
        self.worker = f"Quorvank-LT-{self.n}.exe"
        shutil.copy("/bin/sleep", self.path(self.worker))
        with open(self.path("start.sh"), "w") as script:
            script.write(START_SCRIPT.format(self.worker))
        os.chmod(self.path("start.sh"), 0o755)
        self.socket = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.processes = []

    def path(self, name):
        return os.path.join(self.dir, name)

    def read(self, name):
        return open(self.path(name)).read()

    def start(self, arguments, environment):  # output to out.txt
        self.processes.append(subprocess.Popen(arguments, cwd=self.dir, env=environment,
                                               stdout=open(self.path("out.txt"), "ab")))
        return self.processes[-1]

    def watch(self, address, interval, variables):  # with NOTIFY_SOCKET=address and variables
        self.socket.bind(address.replace("@", "\0", 1))
        arguments = ["--instance", str(self.n), "--interval", str(interval), "--run", "start.sh"]
        environment = {**os.environ, "NOTIFY_SOCKET": address, **variables}
        return self.start([os.environ["ZEL_BINARY"]] + arguments, environment)

    def receive(self, timeout=None):  # the next message; None only if timeout is given
        self.socket.settimeout(timeout or DEADLINE)
        try:
            return self.socket.recv(4096).decode()
        except socket.timeout:
            assert timeout, f"no message within {DEADLINE} s"
            return None

    def close(self):
        for process in self.processes:
            process.kill()
            process.wait()
        if os.path.exists(self.path("worker.pid")):
            os.kill(int(self.read("worker.pid")), signal.SIGKILL)
        shutil.rmtree(self.dir, ignore_errors=True)


def status_of(message):
    return "\n".join(line[7:] for line in message.split("\n") if line.startswith("STATUS="))


def stamp(text):  # calendar seconds of a "2026-12-06 20:12:41" in local time
    return time.mktime(time.strptime(text, "%Y-%m-%d %H:%M:%S"))


def ready_status_and_clean_environment(t):
    running, restart = f"{t.worker} is running", f"{t.worker} not running - starting start.sh"
    worker = t.start([t.path(t.worker), "600"], os.environ)  # running: Popen waits for the exec
    # WATCHDOG_PID names another process: the keep-alives are not ours to send. A zone far from
    # UTC shows that the status's time is local, like the log's.
    systemd = {"WATCHDOG_USEC": "2000000", "WATCHDOG_PID": "1", "TZ": "ZEL-5:30"}
    t.watch(t.path("notify.sock"), 1, systemd)
    messages = [t.receive()]
    assert messages[0].startswith("READY=1\n") and running in t.read("out.txt"), messages
    assert status_of(messages[0]) == f"{running}; started 0 times", messages
    worker.kill()
    worker.wait()
    while f"{running}; started 1 time" not in messages[-1]:
        messages.append(t.receive())
    restart_line = re.search(rf"\[(.{{19}})\] {restart}", t.read("out.txt"))
    last_start = re.search(r", last (.{19})$", status_of(messages[-1]))
    assert 0 <= stamp(last_start[1]) - stamp(restart_line[1]) <= STAMP_ALLOWANCE, messages
    statuses = [status_of(m).replace(last_start[0], "") for m in messages if status_of(m)]
    assert statuses[1:4] == [f"{t.worker} missed on 1 of 3 scans; started 0 times",
                             f"{t.worker} missed on 2 of 3 scans; started 0 times",
                             f"{restart}; started 1 time"], statuses
    assert not any("WATCHDOG=1" in m for m in messages), messages
    events = [line[22:] for line in t.read("out.txt").split("\n") if line.startswith("[")]
    assert events == ["Starting timer", running, restart, running], events
    variables = {line.split("=")[0] for line in t.read("env.txt").split("\n")}
    assert not variables & NOTIFY_VARIABLES and "PATH" in variables, variables


def keep_alive_cadence_and_silence_when_stopped(t):
    watchdog = t.watch(f"@zel-notify-{t.n}", 10, {"WATCHDOG_USEC": "2000000"})
    assert t.receive().startswith("READY=1\n")
    arrivals = [time.monotonic()]
    while arrivals[-1] - arrivals[0] < 11:  # past the second scan, 10 s after the first
        assert "WATCHDOG=1" in t.receive()
        arrivals.append(time.monotonic())
    gaps = [later - earlier for earlier, later in zip(arrivals, arrivals[1:])]
    print(f"keep-alive gaps: median {statistics.median(gaps):.3f} s, "
          f"range {min(gaps):.3f} to {max(gaps):.3f} s over {len(gaps)}")
    assert max(gaps) <= KEEP_ALIVE + LOAD_ALLOWANCE, gaps
    os.kill(watchdog.pid, signal.SIGSTOP)
    os.waitpid(watchdog.pid, os.WUNTRACED)  # returns once it has stopped
    while t.receive(timeout=0.01) is not None:  # sent before it stopped
        pass
    assert t.receive(timeout=3 * KEEP_ALIVE) is None, "a keep-alive from a stopped watchdog"


if __name__ == "__main__":
    run = Run()
    try:
        {"ready_status_and_clean_environment": ready_status_and_clean_environment,
         "keep_alive_cadence_and_silence_when_stopped": keep_alive_cadence_and_silence_when_stopped,
         }[sys.argv[1]](run)
    finally:
        run.close()
