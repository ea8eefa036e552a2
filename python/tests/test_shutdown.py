"""A Python daemon's shutdown: on SIGINT its running async handlers are
cancelled one by one in the order they started, their finally blocks still
set properties, and nothing is printed about the library's thread or
pending tasks; SIGINT works also for a daemon started in the background of
a shell script (where CPython ignores it by default)."""

import os
import signal
import subprocess
import sys

import pytest

import corvo
from conftest import HERE, net_options, read_log, wait_until

T = 30.0
NOISE = ("not accepting calls", "Task was destroyed", "Traceback", "Exception ignored")


def test_sigint_cancels_running_handlers_in_order(children, site_args):
    pyd = children.python("pydaemon.py", *net_options(site_args))
    with corvo.Site(**site_args) as s:
        s.wait_for("pyd", timeout=T)
        with s.watch("pyd") as events:
            s.command("pyd", "hold", linger=0)
            s.command("pyd", "grip", linger=0)
            # Both handlers run (a second hold is refused while one runs).
            with pytest.raises(corvo.RefusedError, match="busy"):
                s.command("pyd", "hold", linger=T)
            wait_until(lambda: "holding grip" in read_log(pyd), timeout=T, what="the handlers to run")
            pyd.send_signal(signal.SIGINT)
            assert pyd.wait(timeout=T) == 0
            released = []
            while True:
                try:
                    event = events.get(0.5)
                except TimeoutError:
                    break
                if isinstance(event, corvo.PropertyEvent) and event.name == "released":
                    released = event.value
    log = read_log(pyd)
    assert log.index("released hold") < log.index("released grip"), log
    assert released == ["hold", "grip"], (released, log)
    for noise in NOISE:
        assert noise not in log, log


def test_sigint_reaches_a_daemon_started_in_the_background(children, site_args):
    command = " ".join([sys.executable, os.path.join(HERE, "pydaemon.py")] + net_options(site_args))
    # A non-interactive shell starts background jobs with SIGINT ignored.
    shell = subprocess.Popen(["/bin/sh", "-c", command + " >/dev/null 2>&1 & echo $!; wait"],
                             stdout=subprocess.PIPE, text=True, env=children.env)
    try:
        pid = int(shell.stdout.readline())
        with corvo.Site(**site_args) as s:
            s.wait_for("pyd", timeout=T)
            os.kill(pid, signal.SIGINT)
            shell.wait(timeout=T)
            wait_until(lambda: not s.peers(), timeout=T, what="the daemon leaving")
    finally:
        if shell.poll() is None:
            os.kill(pid, signal.SIGKILL)
            shell.kill()
            shell.wait()
