#!/usr/bin/python3
"""Benchmark of the Python package; run inside a network namespace:

    scripts/in-netns.sh /usr/bin/python3 python/bench/bench_python.py BUILD_DIR

1. Property request round trip (set and wait for the confirming broadcast)
   against the C++ example daemon: the Python client vs the C++ client.
2. Broadcasts delivered to a Python callback per second from the C++
   broadcaster, in bursts below the node's 5000-event queue; every one must
   arrive.
"""

import os
import signal
import statistics
import subprocess
import sys
import threading
import time

build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/release")
sys.path.insert(0, os.path.join(build, "python"))
import corvo  # noqa: E402

SITE = dict(site="pybench", port=5905, interface="lo")
NET = ["-s", SITE["site"], "-p", str(SITE["port"]), "-i", "lo"]
ROUND_TRIPS = 4000
ROUNDS = 10
BURST, BURSTS = 4000, 10


def start(args):
    return subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def stop(proc):
    proc.send_signal(signal.SIGINT)
    try:
        proc.wait(10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def cpp_round_trips(count):
    out = subprocess.run([os.path.join(build, "python/bench/bench_python_broadcaster"), "rtt", SITE["site"],
                          str(SITE["port"]), "wheel", "focus", str(count)], capture_output=True, text=True, timeout=300)
    return float(out.stdout.split()[0])


def round_trips():
    """The machine is shared and its load moves within seconds, so the C++
    and the Python client take turns: ROUNDS rounds of each, and the ratio
    is taken per round (the median of the rounds' ratios is reported)."""
    wheel = start([os.path.join(build, "examples/device/corvo-example-daemon")] + NET)
    per_round = ROUND_TRIPS // ROUNDS
    cpp_medians, py_medians, ratios = [], [], []
    try:
        with corvo.Site(**SITE) as s:
            s.wait_for("wheel", timeout=30)
            value = 0.0
            for i in range(50):  # warm-up
                value += 1
                s.set("wheel", "focus", value, timeout=10)
            for _ in range(ROUNDS):
                cpp_median = cpp_round_trips(per_round)
                times = []
                for i in range(per_round):
                    value += 1
                    started = time.perf_counter()
                    s.set("wheel", "focus", value, timeout=10)
                    times.append((time.perf_counter() - started) * 1e6)
                py_median = statistics.median(times)
                cpp_medians.append(cpp_median)
                py_medians.append(py_median)
                ratios.append(py_median / cpp_median)
    finally:
        stop(wheel)
    print("round trip (us), median per round of %d:" % per_round)
    print("  C++ client: " + " ".join("%.0f" % m for m in cpp_medians))
    print("  Python:     " + " ".join("%.0f" % m for m in py_medians))
    print("  ratio:      " + " ".join("%.2f" % r for r in ratios))
    print("  median ratio %.2f (best round %.2f)" % (statistics.median(ratios), min(ratios)))


def broadcasts():
    caster = start([os.path.join(build, "python/bench/bench_python_broadcaster"), "daemon"] + NET)
    try:
        with corvo.Site(**SITE) as s:
            s.wait_for("caster", timeout=30)
            received = [0]
            last = [0]
            done = threading.Event()
            lost = [0]

            def on_event(event):
                if isinstance(event, corvo.PropertyEvent) and event.name == "counter":
                    received[0] += 1
                    if event.value != last[0] + 1:
                        lost[0] += 1
                    last[0] = event.value
                    if event.value == BURST:
                        last[0] = 0
                        done.set()
            with s.watch("caster", callback=on_event):
                total_time = 0.0
                for _ in range(BURSTS):
                    done.clear()
                    started = time.perf_counter()
                    s.command("caster", "burst", BURST, linger=0)
                    if not done.wait(60):
                        raise SystemExit("a burst did not complete: %d received" % received[0])
                    total_time += time.perf_counter() - started
    finally:
        stop(caster)
    print("broadcasts to a Python callback: %d of %d received, %d out of order, %.0f per second"
          % (received[0], BURST * BURSTS, lost[0], received[0] / total_time))


if __name__ == "__main__":
    with open("/proc/loadavg") as f:
        print("load average:", " ".join(f.read().split()[:3]))
    round_trips()
    broadcasts()
