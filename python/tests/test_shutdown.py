"""A Python daemon's shutdown: on SIGINT its running async handlers are
cancelled one by one in the order they started, their finally blocks still
set properties, and nothing is printed about the library's thread or
pending tasks; SIGINT works also for a daemon started in the background of
a shell script (where CPython ignores it by default)."""

import os
import shutil
import signal
import subprocess
import sys
import textwrap

import pytest

import corvo
from conftest import HERE, net_options, read_log, wait_until

T = 30.0
NOISE = ("not accepting calls", "Task was destroyed", "Traceback", "Exception ignored")


def run_script(children, site_args, work_dir, name, text, timeout=4 * T, extra=()):
    """Runs `text` as a script of its own with the site and port as its
    first arguments (then `extra`); returns its exit code and output."""
    script = os.path.join(work_dir, name + ".py")
    with open(script, "w") as f:
        f.write(text)
    command = [sys.executable, script, site_args["site"], str(site_args["port"]), *extra]
    proc = children.start(command, name)
    code = proc.wait(timeout=timeout)
    return code, read_log(proc)


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


def test_a_second_signal_ends_a_daemon_whose_plain_handler_is_stuck(children, site_args):
    """One signal shuts a daemon down cleanly (above); when a plain handler
    is stuck (a device that hangs), the shutdown waits for it, and a second
    SIGINT or SIGTERM ends the process at once, by that signal."""
    pyd = children.python("pydaemon.py", *net_options(site_args))
    with corvo.Site(**site_args) as s:
        s.wait_for("pyd", timeout=T)
        s.command("pyd", "block", 4 * T, linger=0)
        wait_until(lambda: "blocking" in read_log(pyd), timeout=T, what="the handler to block")
        pyd.send_signal(signal.SIGINT)
        wait_until(lambda: "on_stop" in read_log(pyd), timeout=T, what="the shutdown to begin")
        pyd.send_signal(signal.SIGTERM)
        code = pyd.wait(timeout=T)
    log = read_log(pyd)
    assert code == -signal.SIGTERM, log
    assert "a second signal during the shutdown: exiting without cleanup" in log, log


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


TWO_DAEMONS = textwrap.dedent("""
    import sys
    import corvo

    class Mount(corvo.Daemon):
        name = "mount"
        parked = corvo.Property(int)

        @corvo.command(description="park")
        def park(self):
            self.parked = 1

    class Dome(corvo.Daemon):
        name = "dome"

    site, port = sys.argv[1], int(sys.argv[2])
    net = ["-s", site, "-p", str(port), "-i", "lo"]
    mount = Mount()
    mount.start(["mount"] + net)
    dome = Dome()
    dome.start(["dome"] + net)
    dome.shutdown()
    dome.log.info("a record after the shutdown")
    with corvo.Site(site=site, port=port, interface="lo") as s:
        # The command's delay is a library diagnostic of the mount's node.
        s.command("mount", "park", wait="parked", timeout=240)
    mount.shutdown()
    print("done", flush=True)
""")


def test_a_daemon_shut_down_logs_to_the_console_and_captures_nothing(children, site_args, work_dir):
    """After shutdown() a daemon's records go to its console alone (its
    network node is gone: under valgrind, when installed, no invalid access
    is reported), and the library's diagnostics of another daemon of the
    process go to that daemon's logger, not to the one shut down."""
    script = os.path.join(work_dir, "two.py")
    with open(script, "w") as f:
        f.write(TWO_DAEMONS)
    command = [sys.executable, script, site_args["site"], str(site_args["port"])]
    valgrind = shutil.which("valgrind")
    if valgrind:
        command = [valgrind, "--trace-children=no"] + command
        children.env["PYTHONMALLOC"] = "malloc"
    proc = children.start(command, "two")
    code = proc.wait(timeout=8 * T)  # valgrind starts slowly
    log = read_log(proc)
    assert "Invalid read" not in log and "Invalid write" not in log, log
    assert code == 0 and "done" in log, log
    assert "[dome] [info] a record after the shutdown" in log, log
    assert "[mount] [info] CommandDelay" in log, log
    assert "[dome] [info] CommandDelay" not in log, log


CYCLES = textwrap.dedent("""
    import os
    import sys
    import time
    import corvo

    class Cycled(corvo.Daemon):
        name = "cycled"

    def open_fds():
        # libzmq closes a node's sockets on its own thread, soon after: the
        # count is taken once it holds for a second.
        count = len(os.listdir("/proc/self/fd"))
        for _ in range(30):
            time.sleep(1)
            count, previous = len(os.listdir("/proc/self/fd")), count
            if count == previous:
                break
        return count

    def cycle():
        daemon = Cycled()
        daemon.start(["cycled", "-s", sys.argv[1], "-p", sys.argv[2], "-i", "lo"])
        daemon.shutdown()

    cycle()  # the package's threads start on first use
    before = open_fds()
    for _ in range(20):
        cycle()
    print("open fds:", before, open_fds(), flush=True)
""")


def test_daemon_start_and_shutdown_leave_no_descriptor_behind(children, site_args, work_dir):
    """A process that starts and shuts down daemons again and again (tests,
    a supervisor) keeps its descriptors: each shutdown frees the daemon's
    timer loop too."""
    code, log = run_script(children, site_args, work_dir, "cycles", CYCLES)
    assert code == 0, log
    before, after = (int(n) for n in log.split("open fds:")[1].split())
    assert after == before, log


AFTER_A_SITE = textwrap.dedent("""
    import os
    import sys
    import time
    import corvo

    class Background(corvo.Daemon):
        name = "background"

    class NoFork:
        # Reports the step into the background instead of taking it: a
        # background process left behind by a failing test would hang for ever.
        def __init__(self, host):
            self._host = host

        def __getattr__(self, name):
            return getattr(self._host, name)

        def daemonize(self):
            print("went to the background", flush=True)
            sys.exit(3)

    site, port = sys.argv[1], int(sys.argv[2])
    with corvo.Site(site=site, port=port, interface="lo") as s:
        s.peers()
        child = os.fork()
        if child == 0:
            try:
                corvo.Site(site=site, port=port, interface="lo")
                print("child: a site", flush=True)
            except corvo.CorvoError as error:
                print("child raised:", error, flush=True)
            os._exit(0)
        deadline = time.monotonic() + float(sys.argv[3])
        while os.waitpid(child, os.WNOHANG)[0] == 0:
            if time.monotonic() > deadline:
                print("child still waiting", flush=True)
                os.kill(child, 9)
                os.waitpid(child, 0)
                break
            time.sleep(0.05)
    daemon = Background()
    daemon._host = NoFork(daemon._host)
    try:
        daemon.start(["background", "-s", site, "-p", str(port), "-i", "lo", "--daemon"])
    except corvo.CorvoError as error:
        print("--daemon refused:", error, flush=True)
""")


def test_after_the_library_thread_started_fork_and_daemon_are_refused(children, site_args, work_dir):
    """The library's thread does not follow a fork: once it runs (here, a
    Site was opened), a forked child's first call raises instead of waiting
    for ever, and --daemon is refused as it is after any other thread."""
    code, log = run_script(children, site_args, work_dir, "forked", AFTER_A_SITE, extra=[str(T)])
    assert code == 0, log
    assert "child raised: corvo cannot be used in a child of fork()" in log, log
    assert "--daemon refused: --daemon must be given before any other thread starts" in log, log


DROPPED_SITES = textwrap.dedent("""
    import gc
    import os
    import sys
    import time
    import corvo

    def threads():
        return len(os.listdir("/proc/self/task"))

    def peek():
        # Not closed: dropped on return, as a file object may be.
        s = corvo.Site(site=sys.argv[1], port=int(sys.argv[2]), interface="lo")
        return s.peers()

    def settled(limit):
        # A dropped Site's node is closed on the library's thread, soon after.
        deadline = time.monotonic() + float(sys.argv[3])
        while threads() > limit and time.monotonic() < deadline:
            gc.collect()
            time.sleep(0.05)
        return threads()

    # The package's threads start on first use; a closed Site's node ends
    # its thread soon after.
    corvo.Site(site=sys.argv[1], port=int(sys.argv[2]), interface="lo").close()
    before = threads()
    for _ in range(20):
        time.sleep(0.05)
        before = min(before, threads())
    for _ in range(20):
        peek()
    print("threads:", before, settled(before), flush=True)
""")


def test_a_site_dropped_without_close_leaves_the_site(children, site_args, work_dir):
    """A Site that becomes garbage is closed: its node leaves the site and
    its thread ends, so a process may open Sites without closing them."""
    code, log = run_script(children, site_args, work_dir, "dropped", DROPPED_SITES, extra=[str(T)])
    assert code == 0, log
    before, after = (int(n) for n in log.split("threads:")[1].split())
    assert after <= before, log
