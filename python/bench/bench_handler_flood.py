#!/usr/bin/python3
"""Benchmark: a flood of "move 1" commands to the README's focuser
(examples/python/focuser.py). Reports the focuser's peak memory growth
(VmHWM), the refusals its flooder received, and the round trip of an
honest change request made once the flood has been sent. Run inside a
network namespace:

    scripts/in-netns.sh /usr/bin/python3 python/bench/bench_handler_flood.py BUILD_DIR [COUNT] [PYTHONPATH]

An optional PYTHONPATH runs the focuser (and its package) from elsewhere,
to compare with another version in the same run.
"""

import os
import subprocess
import sys
import time

build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
count = int(sys.argv[2]) if len(sys.argv) > 2 else 300000
daemon_path = sys.argv[3] if len(sys.argv) > 3 else os.path.join(build, "python")
here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(build, "python"))
import corvo  # noqa: E402

SITE = dict(site="floodbench", port=5907, interface="lo")
NET = ["-s", SITE["site"], "-p", str(SITE["port"]), "-i", "lo"]


def hwm_kb(pid):
    with open("/proc/%d/status" % pid) as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))


def main():
    focuser_script = os.path.join(daemon_path, "focuser.py")
    if not os.path.exists(focuser_script):
        focuser_script = os.path.join(here, "../../examples/python/focuser.py")
    env = dict(os.environ, PYTHONPATH=daemon_path)
    focuser = subprocess.Popen([sys.executable, focuser_script] + NET, env=env, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    try:
        with corvo.Site(**SITE) as s:
            s.wait_for("focuser", timeout=30)
            before = hwm_kb(focuser.pid)
            start = time.monotonic()
            flood = subprocess.run([sys.executable, os.path.join(here, "../tests/flood_client.py"), SITE["site"],
                                    str(SITE["port"]), "focuser", str(count), "5", "move", "1"],
                                   capture_output=True, text=True, env=dict(os.environ, PYTHONPATH=os.path.join(
                                       build, "python")), timeout=1800)
            sent_s = time.monotonic() - start
            ask = time.monotonic()
            try:
                s.set("focuser", "mode", 1 - s.get("focuser", "mode"), timeout=120)
                answer = "%.3f s" % (time.monotonic() - ask)
            except Exception as error:  # noqa: B902 - reported
                answer = "no answer (%s)" % type(error).__name__
            grown = (hwm_kb(focuser.pid) - before) / 1024
        print("%d moves sent in %.1f s (%s); focuser VmHWM %.0f MB before, grown by %.1f MB; "
              "honest set after the flood: %s" % (count, sent_s, flood.stdout.strip(), before / 1024, grown, answer))
    finally:
        focuser.terminate()
        focuser.wait(timeout=30)


if __name__ == "__main__":
    main()
