"""Shared fixtures of the Python package's tests. The tests start network
nodes, so they run only inside a network namespace of their own (ctest runs
them through scripts/in-netns.sh); outside one they refuse to start."""

import itertools
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
PORT = 5901
_sites = itertools.count()


def pytest_configure(config):
    # /proc/net/dev lists the interfaces of this process's namespace.
    with open("/proc/net/dev") as f:
        interfaces = {line.split(":")[0].strip() for line in f if ":" in line}
    if interfaces - {"lo"} and not os.environ.get("CORVO_TEST_ANY_NETWORK"):
        pytest.exit("the corvo tests start network nodes: run them in a network namespace "
                    "(scripts/in-netns.sh), not on a machine with interfaces %s" % sorted(interfaces), 2)


def program(variable):
    """Path of a program the build passes in the environment, or skip."""
    path = os.environ.get(variable)
    if not path or not os.path.exists(path):
        pytest.skip("%s not given" % variable)
    return path


@pytest.fixture
def work_dir():
    path = tempfile.mkdtemp(prefix="corvo-py-")
    yield path
    shutil.rmtree(path, ignore_errors=True)


@pytest.fixture
def site_args():
    """Options of a site of this test alone, on loopback."""
    return {"site": "pytest%d-%d" % (os.getpid(), next(_sites)), "port": PORT, "interface": "lo"}


def net_options(site_args):
    return ["-s", site_args["site"], "-p", str(site_args["port"]), "-i", site_args["interface"]]


class Children:
    """Child processes of one test, stopped (INT, then KILL) at its end."""

    def __init__(self, work_dir):
        self.work_dir = work_dir
        self.procs = []
        home = os.path.join(work_dir, "home")
        self.conf = os.path.join(work_dir, "conf")
        os.makedirs(home, exist_ok=True)
        os.makedirs(self.conf, exist_ok=True)
        self.env = dict(os.environ, HOME=home, CORVO_CONF_PATH=self.conf)

    def start(self, args, log_name):
        log = open(os.path.join(self.work_dir, log_name + ".log"), "wb")
        proc = subprocess.Popen(args, stdout=log, stderr=subprocess.STDOUT, env=self.env)
        proc.log_path = log.name
        log.close()
        self.procs.append(proc)
        return proc

    def python(self, script, *args, log_name="pydaemon"):
        return self.start([sys.executable, os.path.join(HERE, script)] + list(args), log_name)

    def run(self, args, timeout=60):
        return subprocess.run(args, capture_output=True, text=True, env=self.env, timeout=timeout)

    def stop_all(self):
        for proc in self.procs:
            if proc.poll() is None:
                proc.send_signal(signal.SIGINT)
        for proc in self.procs:
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()


@pytest.fixture
def children(work_dir):
    c = Children(work_dir)
    yield c
    c.stop_all()


def read_log(proc):
    with open(proc.log_path, "rb") as f:
        return f.read().decode("utf-8", "replace")


def wait_until(condition, timeout=30.0, what="condition"):
    """Polls `condition` until true; generous, since the machine may be
    heavily loaded."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.02)
    raise AssertionError("timed out waiting for " + what)
