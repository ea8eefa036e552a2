#!/usr/bin/python3
"""CPU of idle daemons against a floor measured in the same run.

Starts N idle example daemons, measures the CPU each uses over a window, stops
them, then does the same with N floor programs (a bare libuv loop with a 5 ms
timer doing nothing), in alternating rounds. CPU is read per thread from
/proc/PID/task/*/schedstat (nanoseconds on a CPU, and the number of times the
thread was scheduled), which is finer than the clock ticks of /proc/PID/stat.

A daemon's CPU is split between its loop thread (the main thread: the 200
turns a second) and its network threads (the node's thread, libzmq's I/O
threads). The loop thread's wake-ups per second show that the turns are kept;
its CPU per turn, less the floor's, is what a turn costs beyond a bare wake-up.

Run it inside a network namespace, e.g.
  scripts/in-netns.sh /usr/bin/python3 bench/idle/bench_idle.py build 1 3 10
arguments: BUILD_DIR [N [ROUNDS [SECONDS]]]
"""
import os
import subprocess
import sys
import time

def thread_stats(pid):
    """{tid: (ns on a CPU, times scheduled)} of every thread of `pid`."""
    stats = {}
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                fields = f.read().split()
            stats[int(task)] = (int(fields[0]), int(fields[2]))
        except (OSError, ValueError, IndexError):
            pass  # the thread ended meanwhile
    return stats


def split(pid, before, after):
    """(loop thread ns, loop thread wake-ups, other threads' ns) between two samples."""
    loop_ns = loop_runs = other_ns = 0
    for tid, (ns, runs) in after.items():
        ns0, runs0 = before.get(tid, (0, 0))
        if tid == pid:
            loop_ns, loop_runs = ns - ns0, runs - runs0
        else:
            other_ns += ns - ns0
    return loop_ns, loop_runs, other_ns


def stop_all(procs):
    for p in procs:
        p.terminate()
    for p in procs:
        try:
            p.wait(timeout=5)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()


def measure(commands, seconds, settle):
    """Per process and second: loop thread's CPU (s), its wake-ups, other threads' CPU (s)."""
    procs = [subprocess.Popen(c, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL) for c in commands]
    try:
        time.sleep(settle)
        for p in procs:
            if p.poll() is not None:
                sys.exit(f"bench_idle: {commands[0][0]} stopped early (status {p.returncode})")
        before = [thread_stats(p.pid) for p in procs]
        start = time.monotonic()
        time.sleep(seconds)
        after = [thread_stats(p.pid) for p in procs]
        elapsed = time.monotonic() - start
    finally:
        stop_all(procs)
    parts = [split(p.pid, b, a) for p, b, a in zip(procs, before, after)]
    n = len(parts)
    return tuple(sum(part[i] for part in parts) / n / elapsed / (1e9 if i != 1 else 1) for i in range(3))


def per_wakeup(cpu, wakeups):
    """Microseconds of CPU per wake-up."""
    return cpu * 1e6 / wakeups if wakeups else float("nan")


def median(values):
    return sorted(values)[len(values) // 2]


def load():
    with open("/proc/loadavg") as f:
        return f.read().split()[0]


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
    print(f"{n} idle daemon(s), {rounds} rounds of {seconds:g} s; load {load()}")
    results = {"daemon": [], "floor": []}
    for r in range(rounds):
        order = [("daemon", daemons), ("floor", floors)]
        if r % 2:
            order.reverse()
        for kind, commands in order:
            loop, wakeups, other = measure(commands, seconds, settle=3 if kind == "daemon" else 1)
            results[kind].append((loop, wakeups, other))
            print(f"round {r + 1} {kind:6s}: loop thread {loop * 100:.3f} % of a core "
                  f"({wakeups:.0f} wake-ups/s, {per_wakeup(loop, wakeups):.1f} us each), "
                  f"other threads {other * 100:.3f} %; load {load()}")
    # Figures per wake-up of the loop thread: under load a 5 ms sleeper
    # wakes less often than 200 times a second, daemon and floor alike.
    d_wake = median([x[1] for x in results["daemon"]])
    d_loop = median([per_wakeup(x[0], x[1]) for x in results["daemon"]])
    d_other = median([per_wakeup(x[2], x[1]) for x in results["daemon"]])
    d_all = median([per_wakeup(x[0] + x[2], x[1]) for x in results["daemon"]])
    d_share = median([x[0] + x[2] for x in results["daemon"]])
    f_wake = median([x[1] for x in results["floor"]])
    f_all = median([per_wakeup(x[0] + x[2], x[1]) for x in results["floor"]])
    f_share = median([x[0] + x[2] for x in results["floor"]])
    print(f"median per daemon: {d_wake:.0f} turns/s; per turn: loop thread {d_loop:.1f} us, "
          f"network threads {d_other:.1f} us, in all {d_all:.1f} us; {d_share * 100:.3f} % of a core")
    print(f"median floor: {f_wake:.0f} turns/s; {f_all:.1f} us per turn; {f_share * 100:.3f} % of a core")
    print(f"above the floor per turn: loop thread {d_loop - f_all:+.1f} us ({d_loop / f_all:.2f}x), "
          f"whole daemon {d_all - f_all:+.1f} us ({d_all / f_all:.2f}x); "
          f"all {n} daemons: {d_share * n * 100:.1f} % of a core (floor {f_share * n * 100:.1f} %)")
    print(f"load at the end {load()}")


if __name__ == "__main__":
    main()
