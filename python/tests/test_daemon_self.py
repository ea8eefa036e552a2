"""A Python daemon acting on itself from its handlers: a plain command that
calls shutdown() leaves the site once the library has finished with the
request (its audit record first, no freed memory touched), and a value
beyond what peers accept raises WrongValueError wherever it is assigned,
leaving the property as it was for the daemon and its peers."""

import os
import shutil
import subprocess
import sys
import textwrap

import pytest

import corvo
from conftest import net_options, read_log

T = 30.0

SCRIPT = textwrap.dedent("""
    import sys
    import corvo

    class Selfish(corvo.Daemon):
        name = "selfish"
        label = corvo.Property(str, writable=True, default="short")
        items = corvo.Property(list[int], default=[1])
        outcome = corvo.Property(str)

        def _oversize(self, how):
            raised = []
            for prop, value in (("label", "x" * 70000), ("items", list(range(20000)))):
                try:
                    setattr(self, prop, value)
                except corvo.WrongValueError:
                    raised.append(prop)
            self.outcome = "%s raised %s; label %d chars, items %d" % (
                how, ",".join(raised), len(self.label), len(self.items))

        @corvo.command
        def big_sync(self):
            self._oversize("sync")

        @corvo.command
        async def big_async(self):
            self._oversize("async")

        @corvo.command
        def quit(self):
            self.log.info("quitting")
            self.shutdown()

    sys.exit(Selfish().run())
""")


@pytest.fixture
def selfish(children, work_dir):
    script = os.path.join(work_dir, "selfish.py")
    with open(script, "w") as f:
        f.write(SCRIPT)
    return script


def test_oversized_assignments_raise_and_change_nothing(children, site_args, selfish):
    daemon = children.start([sys.executable, selfish] + net_options(site_args), "selfish")
    with corvo.Site(**site_args) as s:
        s.wait_for("selfish", timeout=T)
        for how in ("sync", "async"):
            outcome = s.command("selfish", "big_" + how, wait="outcome", timeout=T)
            assert outcome == how + " raised label,items; label 5 chars, items 1", read_log(daemon)
        assert s.get("selfish", "label") == "short" and s.get("selfish", "items") == [1]
    assert "exception in a call on the loop thread" not in read_log(daemon)


def test_shutdown_from_a_plain_command_handler(children, site_args, selfish):
    """The request's audit is still written through the network node, so the
    node is freed only after it: the audit record comes before the
    daemon's "Stop and clean up", and under valgrind (when installed) no
    invalid access is reported."""
    command = [sys.executable, selfish] + net_options(site_args)
    valgrind = shutil.which("valgrind")
    if valgrind:
        command = [valgrind, "--trace-children=no"] + command
        children.env["PYTHONMALLOC"] = "malloc"
    daemon = children.start(command, "selfish")
    with corvo.Site(**site_args) as s:
        s.wait_for("selfish", timeout=8 * T)  # valgrind starts slowly
        s.command("selfish", "quit", linger=0)
        # run() returns once the handler has shut the daemon down.
        code = daemon.wait(timeout=8 * T)
    log = read_log(daemon)
    assert "Invalid read" not in log and "Invalid write" not in log, log
    assert code == 0, log
    audit = log.index("audit: accepted run quit")
    assert audit < log.index("Stop and clean up"), log
