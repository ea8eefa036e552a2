#!/usr/bin/python3
"""CPU of idle daemons against a floor measured in the same run.

Starts N idle example daemons, measures the CPU each uses over a window, stops
them, then does the same with N floor programs (a bare libuv loop with a 5 ms
timer doing nothing), in alternating rounds. CPU is read from
/proc/PID/task/*/schedstat (nanoseconds on a CPU, all threads), which is finer
than the clock ticks of /proc/PID/stat.

Run it inside a network namespace, e.g.
  scripts/in-netns.sh python3 bench/idle/bench_idle.py build 1 3 10
arguments: BUILD_DIR [N [ROUNDS [SECONDS]]]
"""
import os
import subprocess
import sys
import time

TURNS_PER_SECOND = 200


def cpu_ns(pid):
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                total += int(f.read().split()[0])
        except OSError:
            pass
    return total


def measure(commands, seconds, settle):
    procs = [subprocess.Popen(c, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL) for c in commands]
    try:
        time.sleep(settle)
        for p in procs:
            if p.poll() is not None:
                sys.exit(f"bench_idle: {commands[0][0]} stopped early (status {p.returncode})")
        before = [cpu_ns(p.pid) for p in procs]
        start = time.monotonic()
        time.sleep(seconds)
        after = [cpu_ns(p.pid) for p in procs]
        elapsed = time.monotonic() - start
    finally:
        for p in procs:
            p.terminate()
        for p in procs:
            try:
                p.wait(timeout=5)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
    per_process = [(b - a) / 1e9 / elapsed for a, b in zip(before, after)]
    return sum(per_process) / len(per_process)


def main():
    links = subprocess.run(["ip", "-o", "link"], capture_output=True, text=True).stdout.splitlines()
    if [line.split(":")[1].strip() for line in links] != ["lo"]:
        sys.exit("bench_idle: run it in a network namespace of its own (scripts/in-netns.sh)")
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    n = int(sys.argv[2]) if len(sys.argv) > 2 else 1
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    seconds = float(sys.argv[4]) if len(sys.argv) > 4 else 10
    subprocess.run(["ip", "link", "set", "lo", "up"], check=False)
    daemon = os.path.join(build, "examples/device/corvo-example-daemon")
    floor = os.path.join(build, "bench/idle/idle_floor")
    daemons = [[daemon, "-n", f"idle{i}", "-p", "15699"] for i in range(n)]
    floors = [[floor] for _ in range(n)]
    with open("/proc/loadavg") as f:
        print(f"{n} idle daemon(s), {rounds} rounds of {seconds:g} s; load {f.read().split()[0]}")
    results = {"daemon": [], "floor": []}
    for r in range(rounds):
        order = [("daemon", daemons), ("floor", floors)]
        if r % 2:
            order.reverse()
        for kind, commands in order:
            share = measure(commands, seconds, settle=3 if kind == "daemon" else 1)
            results[kind].append(share)
            us_per_turn = share * 1e6 / TURNS_PER_SECOND
            print(f"round {r + 1} {kind:6s}: {share * 100:.3f} % of a core each, {us_per_turn:.1f} us per 5 ms turn")
    d = sorted(results["daemon"])[len(results["daemon"]) // 2]
    fl = sorted(results["floor"])[len(results["floor"]) // 2]
    print(f"median: daemon {d * 100:.3f} % ({d * 1e6 / TURNS_PER_SECOND:.1f} us/turn), "
          f"floor {fl * 100:.3f} % ({fl * 1e6 / TURNS_PER_SECOND:.1f} us/turn), "
          f"ratio {d / fl if fl else float('inf'):.2f}x; all {n} daemons: {d * n * 100:.1f} % of a core")
    with open("/proc/loadavg") as f:
        print(f"load at the end {f.read().split()[0]}")


if __name__ == "__main__":
    main()
