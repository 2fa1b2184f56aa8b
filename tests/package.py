#!/usr/bin/env python3
# The Debian package and its systemd unit in a minimal Debian, booted under systemd-nspawn: what
# only dpkg and systemd can show; and the README's container image under podman. Run as
# "package.py container --list" and "package.py container NAME", as e2e.py is, by root.
# ZEL_BUILD names the default build; the fixtures make_tree, make_base_image and build_packages
# come first. Without root or the tools a scenario needs (systemd-nspawn, mmdebstrap, podman,
# runc, MinGW-w64) it is skipped; under CI (CI=true) a container that does not boot fails them.
import glob
import os
import shutil
import subprocess
import sys
import time

import e2e
from e2e import (DEADLINE, LOAD_ALLOWANCE, NOTICE_ALLOWANCE, Skipped, kill_workers,
                 scenario, wait_until, workers_named, zombies_beside)

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.environ.get("ZEL_BUILD", os.path.join(SOURCE, "build"))
PACKAGES = os.path.join(BUILD, "packages")  # current.deb and next.deb
TREE = "/var/tmp/zel-restarter-container"  # made once, booted with a throw-away overlay
TREE_PACKAGES = "adduser,dbus,libc6,libgcc-s1,libstdc++6,systemd,systemd-sysv"
KEEP_ALIVE_LIMIT = 5  # WatchdogSec of the units here
RESTART_DELAY = 3  # RestartSec of the units here
OTHER_INSTANCE = 4194304  # added to our instance: above every process number, so ours alone
BASE_IMAGE = "docker.io/library/debian:12"  # what the Containerfile names, made here, kept
IMAGE = "localhost/zel-restarter-wine-test"
# podman as it runs here: runc (crun refuses the cgroup layout) and no limits of its own (the
# sandbox refuses the container's setrlimit).
os.environ["CONTAINERS_CONF"] = os.path.join(BUILD, "containers.conf")


def require_tools(*tools):
    tools = tools or ["systemd-nspawn", "mmdebstrap"]
    missing = [tool for tool in tools if not shutil.which(tool)]
    missing += ["root"] if os.geteuid() != 0 else []
    if missing:
        raise Skipped("the container scenarios need " + " and ".join(missing))


def run(*command):
    result = subprocess.run(command, stdin=subprocess.DEVNULL, text=True,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    assert result.returncode == 0, f"{' '.join(command)}: {result.stdout}"
    return result.stdout


# Debian's own tree, kept between runs; made again when the packages it should hold change.
@scenario("container")
def make_tree(t):
    require_tools()
    if os.path.isdir(TREE) and t.read(TREE + ".packages") == TREE_PACKAGES:
        return
    subprocess.run(["rm", "-rf", TREE, TREE + ".new"])  # also what an interrupted run left
    excluded = [f"--dpkgopt=path-exclude=/usr/share/{name}/*" for name in ["doc", "man", "locale"]]
    run("mmdebstrap", "--quiet", "--variant=minbase", f"--include={TREE_PACKAGES}", *excluded,
        "bookworm", TREE + ".new")
    os.rename(TREE + ".new", TREE)
    t.write(TREE + ".packages", TREE_PACKAGES)


# The base image, from Debian's own packages, kept between runs.
@scenario("container")
def make_base_image(t):
    require_tools("podman", "runc", "mmdebstrap")
    t.write(os.environ["CONTAINERS_CONF"],
            '[containers]\ndefault_ulimits = []\n[engine]\nruntime = "runc"\n')
    if subprocess.run(["podman", "image", "exists", BASE_IMAGE]).returncode == 0:
        return
    tree = t.path("base.tar")  # with Debian's archive for bookworm, its updates and security
    run("mmdebstrap", "--quiet", "--variant=apt", "--format=tar", "bookworm", tree)
    run("podman", "import", "--quiet", "--change", 'CMD ["/bin/bash"]', tree, BASE_IMAGE)


# This build's package, and that of a next commit, made in a clone, which changes the unit's
# description so that the upgrade can tell whether systemd read the new unit file.
@scenario("container")
def build_packages(t):
    require_tools()
    shutil.rmtree(PACKAGES, ignore_errors=True)
    run("cpack", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-B", PACKAGES + "/current")
    clone = PACKAGES + "/next"
    run("git", "clone", "--quiet", "--no-hardlinks", SOURCE, clone)
    unit = os.path.join(clone, "contrib/zel-restarter@.service")
    run("sed", "-i", "s/^Description=.*/& (next commit)/", unit)
    later = str(int(run("git", "-C", clone, "log", "-1", "--format=%ct")) + 60)
    os.environ.update(GIT_COMMITTER_DATE=later, GIT_AUTHOR_DATE=later)
    run("git", "-C", clone, "-c", "user.name=test", "-c", "user.email=test@example.org",
        "commit", "--quiet", "-am", "The unit's description changed")
    run("cmake", "--preset", "default", "-S", clone, "-DZEL_BUILD_TESTS=OFF",
        "-DZEL_BUILD_BENCH=OFF")
    run("cmake", "--build", clone + "/build", "-j2")
    run("cpack", "--config", clone + "/build/CPackConfig.cmake", "-B", clone + "/out")
    for name, folder in [("current", PACKAGES + "/current"), ("next", clone + "/out")]:
        os.rename(glob.glob(folder + "/*.deb")[0], f"{PACKAGES}/{name}.deb")


def version(name):
    return run("dpkg-deb", "-f", f"{PACKAGES}/{name}.deb", "Version").strip()


def nspawn(*options):
    return ["systemd-nspawn", "--quiet", f"--directory={TREE}", "--volatile=overlay",
            "--register=no", "--keep-unit", "--private-network", f"--bind-ro={PACKAGES}:/mnt",
            *options]


# The tree booted under its own systemd, powered off at the end of the scenario. Commands run
# inside through the namespaces of its init; its files are reached through that init's root.
class Container:
    def __init__(self, t):
        require_tools()
        self.t = t
        self.nspawn = subprocess.Popen(nspawn("--boot"), stdin=subprocess.DEVNULL,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        t.cleanups.append(self.power_off)
        try:
            wait_until(self.booted, "the container to boot")
        except AssertionError:
            if os.environ.get("CI") == "true":
                raise
            raise Skipped("this machine cannot boot the container")
        self.root = f"/proc/{self.leader}/root"

    def booted(self):
        assert self.nspawn.poll() is None, "systemd-nspawn ended"
        children = f"/proc/{self.nspawn.pid}/task/{self.nspawn.pid}/children"
        self.leader = self.t.read(children).split(" ")[0]
        if self.t.read(f"/proc/{self.leader}/comm") != "systemd\n":
            return False
        return self.sh("systemctl is-system-running || true") in ["running\n", "degraded\n"]

    def sh(self, command):
        return run("nsenter", f"--target={self.leader}", "--all", "env", "-i",
                   "PATH=/usr/sbin:/usr/bin:/sbin:/bin", "sh", "-c", command)

    # A file inside; t.write takes an absolute path as it is.
    def write(self, path, text, executable=False):
        self.t.write(self.root + path, text, executable)

    def show(self, unit, field):
        return self.sh(f"systemctl show -p {field} --value {unit}").strip()

    def power_off(self):
        self.nspawn.terminate()  # systemd-nspawn takes SIGTERM for a shutdown request
        try:
            self.nspawn.wait(DEADLINE)
        except subprocess.TimeoutExpired:
            self.nspawn.kill()


# Instance i as the README sets it up: the user quorvank, the folder with the worker (a copy of
# sleep) and its script, which notes each launch and its environment, and a drop-in.
def set_up_instance(box, i, arguments, settings=""):
    folder = f"/srv/quorvank/{i}"
    box.sh("id quorvank >/dev/null 2>&1 || adduser --quiet --system --group --home /srv/quorvank"
           f" quorvank; install -d -o quorvank -g quorvank {folder}; cp /bin/sleep"
           f" {folder}/Quorvank-LT-{i}.exe")
    box.sh(f"mkdir -p /etc/systemd/system/zel-restarter@{i}.service.d")
    script = (f"#!/bin/sh\necho launch >> workers.pid\nenv > environment\n"
              f"exec ./Quorvank-LT-{i}.exe infinity\n")
    box.write(folder + "/start.sh", script, executable=True)
    write_drop_in(box, i, arguments, settings)
    return box.root + folder


def write_drop_in(box, i, arguments, settings=""):
    command = f"/usr/bin/zel-restarter --instance {i} {arguments}"
    box.write(f"/etc/systemd/system/zel-restarter@{i}.service.d/test.conf",
              f"[Service]\nExecStart=\nExecStart={command}\n{settings}")
    box.sh("systemctl daemon-reload")


# Installed, upgraded to the next commit's package and purged where systemd does not run: the
# maintainer scripts touch no service and say nothing.
@scenario("container")
def package_installed_upgraded_and_purged_without_systemd(t):
    require_tools()
    commands = ["test ! -d /run/systemd/system", "dpkg -i /mnt/current.deb",
                "dpkg -i /mnt/next.deb", "dpkg -P zel-restarter",
                "! dpkg -s zel-restarter >/dev/null 2>&1"]
    # What the commands say comes on standard output, what systemd-nspawn says on its error.
    result = subprocess.run([*nspawn(), "sh", "-c", "exec 2>&1; " + " && ".join(commands)],
                            stdin=subprocess.DEVNULL, capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
    complaints = ["error", "warn", "fail", "can't", "systemd"]
    assert not any(word in result.stdout.lower() for word in complaints), result.stdout


# Instance t.instance under systemd: installing starts and enables nothing; the unit starts the
# worker as quorvank, with none of systemd's notify variables, and tells systemd its status;
# keep-alives come through an interval longer than WatchdogSec, and a watchdog that sends none is
# ended and replaced while the worker runs on alone; a stop leaves the worker running; status 1
# is retried, status 2 is not; a process list that getdents64 fails to read ends the watchdog
# and starts no second worker.
@scenario("container")
def unit_under_systemd(t):
    box = Container(t)
    box.sh("dpkg -i /mnt/current.deb")
    units = box.sh("systemctl list-units --all --plain --no-legend 'zel-restarter@*';"
                   " find /etc/systemd/system -name 'zel-restarter*'")
    assert units == "", units
    unit = f"zel-restarter@{t.instance}"
    limits = f"RestartSec={RESTART_DELAY}\nWatchdogSec={KEEP_ALIVE_LIMIT}\n"
    os.rmdir(t.dir)  # the scenario's files are the instance's, in the container
    t.dir = set_up_instance(box, t.instance, "--interval 1 --run ./start.sh", limits)
    box.sh(f"systemctl enable --now {unit}")
    t.wait_for_lines(t.running, 1, t.log)
    [worker] = workers_named(t.worker)
    assert os.stat(f"/proc/{worker}").st_uid == int(box.sh("id -u quorvank"))
    assert "NOTIFY_SOCKET" not in t.read("environment") and "WATCHDOG_" not in t.read("environment")
    assert box.show(unit, "StatusText").startswith(f"{t.running}; started 1 time, last 20")

    box.sh(f"systemctl stop {unit}")
    write_drop_in(box, t.instance, "--interval 8 --run ./start.sh", limits)
    box.sh(f"systemctl start {unit}")
    watchdog = box.show(unit, "MainPID")
    time.sleep(2 * KEEP_ALIVE_LIMIT + NOTICE_ALLOWANCE)  # two keep-alive deadlines in one wait
    assert box.show(unit, "MainPID") == watchdog, "the watchdog was ended between two scans"
    box.sh(f"kill -STOP {watchdog}")
    wait_until(lambda: box.show(unit, "NRestarts") == "1", "the stopped watchdog to be replaced")
    assert "Failed with result 'watchdog'" in box.sh(f"journalctl --no-pager -u {unit}")
    t.wait_for_lines(t.running, 3, t.log)
    box.sh(f"systemctl stop {unit}")
    assert workers_named(t.worker) == [worker] and t.read("workers.pid") == "launch\n"

    box.sh(f"systemctl reset-failed {unit}")
    write_drop_in(box, t.instance, "--run ./gone.sh", limits)
    box.sh(f"systemctl start {unit} || true")  # it ends before it is ready
    wait_until(lambda: box.show(unit, "NRestarts") != "0", "status 1 to be retried")
    assert "status=1/FAILURE" in box.sh(f"journalctl --no-pager -u {unit}")

    box.sh(f"systemctl stop {unit}; systemctl reset-failed {unit}")
    write_drop_in(box, t.instance, "--run", limits)
    box.sh(f"systemctl start {unit} || true")
    time.sleep(RESTART_DELAY + NOTICE_ALLOWANCE)  # a retry would have come by now
    assert box.show(unit, "ExecMainStatus") == "2" and box.show(unit, "NRestarts") == "0"
    assert box.show(unit, "ActiveState") == "failed"

    box.sh(f"systemctl reset-failed {unit}")
    filter_ = "SystemCallFilter=~getdents64\nSystemCallErrorNumber=EIO\n"
    write_drop_in(box, t.instance, "--interval 1 --run ./start.sh", limits + filter_)
    box.sh(f"systemctl start {unit} || true")
    t.wait_for_lines("Could not get process list", 1, t.log)
    assert workers_named(t.worker) == [worker] and t.read("workers.pid") == "launch\n"


# Two instances running, one started and one enabled: an upgrade to the next commit's package,
# whose version sorts higher and is the one its program and its changelog give, made as an
# operator makes it with apt, restarts both watchdogs onto the new program while the workers run
# on and no script runs; removal stops every watchdog and leaves the workers.
@scenario("container")
def two_instances_across_an_upgrade_and_a_removal(t):
    box = Container(t)
    assert run("dpkg", "--compare-versions", version("next"), "gt", version("current")) == ""
    box.sh("dpkg -i /mnt/current.deb")
    instances = [t.instance, t.instance + OTHER_INSTANCE]
    folders = {i: set_up_instance(box, i, "--interval 1 --run ./start.sh") for i in instances}
    box.sh(f"systemctl start zel-restarter@{instances[0]}")
    box.sh(f"systemctl enable --now zel-restarter@{instances[1]}")

    def seen(i, times):
        log = t.read(f"{folders[i]}/Zel-Restarter-{i}.log")
        return log.count(f"Quorvank-LT-{i}.exe is running") >= times

    def watchdogs():
        return [box.show(f"zel-restarter@{i}", "MainPID") for i in instances]

    def workers():
        return [workers_named(f"Quorvank-LT-{i}.exe") for i in instances]

    wait_until(lambda: all(seen(i, 1) for i in instances), "both workers to be seen")
    before, running = watchdogs(), workers()
    box.sh("apt-get install -y /mnt/next.deb")
    assert box.sh("zel-restarter --version") == f"zel-restarter {version('next')}\n"
    changelog = run("sh", "-c", f"dpkg-deb --fsys-tarfile {PACKAGES}/next.deb | tar -xO"
                    " ./usr/share/doc/zel-restarter/changelog.gz | gzip -d")
    assert changelog.startswith(f"zel-restarter ({version('next')}) "), changelog
    for i, watchdog in zip(instances, watchdogs()):
        description = box.show(f"zel-restarter@{i}", "Description")
        assert description.endswith("(next commit)") and watchdog not in before + ["0"], watchdog
        assert box.sh(f"readlink /proc/{watchdog}/exe") == "/usr/bin/zel-restarter\n"
    wait_until(lambda: all(seen(i, 2) for i in instances), "both workers to be seen again")
    box.sh("dpkg -r zel-restarter")
    assert watchdogs() == ["0", "0"] and workers() == running
    assert all(t.read(f"{folders[i]}/workers.pid") == "launch\n" for i in instances)


# The image of contrib/Containerfile with this build's package, run as the README runs it, with
# the Windows stand-in under Wine: the worker is killed and brought back three times, and no
# zombie is left in the container; "podman stop" ends it at once, with status 0, as the
# watchdog passes the stop on to the worker and Wine and they end.
@scenario("container")
def wine_worker_in_a_podman_container(t):
    require_tools("podman", "runc", "x86_64-w64-mingw32-g++-posix")
    stop_bound = 2
    context = t.path("context")
    os.mkdir(context)
    shutil.copy(f"{PACKAGES}/current.deb", f"{context}/zel-restarter_test.deb")
    run("podman", "build", "--quiet", "-t", IMAGE, "-f", SOURCE + "/contrib/Containerfile", context)
    run("x86_64-w64-mingw32-g++-posix", "-O2", "-static", "-o", t.path(t.worker),
        SOURCE + "/demo/worker.cpp")
    t.write("start.bat", f"@echo off\nstart {t.worker}\n")
    name = f"zel-test-{t.instance}"
    t.cleanups.append(lambda: subprocess.run(["podman", "rm", "-f", name], capture_output=True))
    run("podman", "run", "-d", "--name", name, "-v", f"{t.dir}:{t.dir}", "-w", t.dir, IMAGE,
        "zel-restarter", "--instance", str(t.instance), "--interval", "1", "--run", "start.bat")
    first = int(run("podman", "inspect", "-f", "{{.State.Pid}}", name))
    for launch in range(1, 5):
        t.wait_for_lines(t.running, launch, t.log)
        if launch < 4:
            kill_workers(t)
    wait_until(lambda: zombies_beside(first) == [], "no zombie in the container",
               lambda: str(zombies_beside(first)))
    requested = time.monotonic()
    run("podman", "stop", name)
    assert time.monotonic() - requested <= stop_bound + LOAD_ALLOWANCE
    assert run("podman", "inspect", "-f", "{{.State.ExitCode}}", name) == "0\n"


if __name__ == "__main__":
    sys.exit(e2e.main())
