"""The Python examples: the focuser daemon driven by the C++ tool, and the
observing script against the simulated camera."""

import os
import sys
import time

import pytest

import corvo
from conftest import net_options, program, read_log, wait_until

EXAMPLES = os.environ.get("CORVO_EXAMPLES_DIR", os.path.join(os.path.dirname(__file__), "../../examples/python"))
T = 30.0


def test_focuser_moves_and_answers_meanwhile(children, site_args):
    children.start([sys.executable, os.path.join(EXAMPLES, "focuser.py")] + net_options(site_args), "focuser")
    tool = [program("CORVO_TOOL")] + net_options(site_args) + ["-t", str(T)]
    r = children.run(tool + ["cmd", "focuser", "move", "5"])
    assert r.returncode == 0, r.stderr
    with corvo.Site(**site_args) as s:
        # While it moves (10 steps of 50 ms), other requests are answered.
        assert s.set("focuser", "mode", "TEMP", timeout=T) == 1
        positions = []
        with s.watch("focuser") as events:
            while True:
                ev = events.get(T)
                if isinstance(ev, corvo.PropertyEvent) and ev.name == "position":
                    positions.append(ev.value)
                    if ev.value == 5.0:
                        break
        assert positions == sorted(positions)
        # A change request moves too, and is confirmed at the end of the move.
        assert s.set("focuser", "position", 6.0, timeout=T) == 6.0
        r = children.run(tool + ["set", "focuser", "position", "51"])
        assert r.returncode == 5  # outside the limits


def test_observing_script(children, site_args, work_dir):
    images = os.path.join(work_dir, "images")
    with open(os.path.join(children.conf, "camera.conf"), "w") as conf:
        conf.write("imgw = 40\nimgh = 30\ndatatype = 20\nimageroot = %s\nfilepattern = %s/obs_%%H%%M%%S.fits\n" % (images, images))
    children.start([program("CORVO_SIMCAM")] + net_options(site_args), "simcam")
    args = ["--site", site_args["site"], "--port", str(site_args["port"]), "--interface", "lo",
            "--count", "2", "--exptime", "0.05"]
    r = children.run([sys.executable, os.path.join(EXAMPLES, "observe.py")] + args, timeout=120)
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert "40x30, UINT16" in lines[0]
    stats = [line for line in lines[1:] if " mean " in line]
    assert len(stats) == 2 and stats[0].startswith("1/2 ") and stats[1].startswith("2/2 ")


def _vm_kb(pid, field):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise AssertionError("no %s for %d" % (field, pid))


def test_focuser_under_a_flood_of_moves(children, site_args):
    """300,000 "move 1" requests: the focuser's memory stays bounded, two
    moves never run at once (a move that arrives while one runs is refused),
    and an honest request is answered and its move runs to its end. The
    flooder's requests still waiting then do not hold it up (each peer has
    its share of the node's queue), so a move of the flood may run after
    the honest one."""
    focuser = children.start([sys.executable, os.path.join(EXAMPLES, "focuser.py")] + net_options(site_args),
                             "focuser")
    here = os.path.dirname(os.path.abspath(__file__))
    with corvo.Site(**site_args) as s:
        s.wait_for("focuser", timeout=T)
        assert s.command("focuser", "move", 1.0, wait="target", timeout=T) == 1.0
        before = _vm_kb(focuser.pid, "VmHWM")
        flood = children.run([sys.executable, os.path.join(here, "flood_client.py"), site_args["site"],
                              str(site_args["port"]), "focuser", "300000", "120", "move", "1"], timeout=900)
        assert flood.returncode == 0, flood.stderr
        sent, refused, busy = (int(w) for w in flood.stdout.split()[1::2])
        assert sent == 300000 and busy > 0, flood.stdout
        # Answered after the flood: a change request, then a real move.
        assert s.set("focuser", "mode", "TEMP", timeout=T) == 1
        # A move of the flood may still be running: refused as busy then.
        deadline = time.monotonic() + T
        while True:
            try:
                s.command("focuser", "move", 3.0, linger=1.0)
                break
            except corvo.RefusedError as refused:
                assert refused.reason.startswith("busy") and time.monotonic() < deadline, refused

        def honest_move_done():
            # No move is cut short (checked below), and a move starts only
            # when none runs: a move begun after the honest one means it ended.
            after = read_log(focuser).partition("moving to 3.00 mm")[2]
            return s.get("focuser", "position") == 3.0 or "moving to" in after

        wait_until(honest_move_done, timeout=T, what="the honest move")
        grown_mb = (_vm_kb(focuser.pid, "VmHWM") - before) / 1024
        print("flood: %s; VmHWM %d kB before, grown by %.1f MB" % (flood.stdout.strip(), before, grown_mb))
    log = read_log(focuser)
    # No move was ever cut short by another.
    assert "stopped at" not in log
    assert grown_mb < 128, "the focuser grew by %.0f MB" % grown_mb
