#!/usr/bin/python3
"""How quickly a client learns that a daemon is gone or silent.

Inside a network namespace of its own (only loopback), starts one `corvo
--json watch` client, then for each round:
  - starts an example daemon, waits until the client saw it enter, kills it
    with SIGKILL and measures the time until the client reports it left;
  - starts another, stops it with SIGSTOP and measures the time until the
    client reports it silent (then kills it).
Prints the median and the maximum of each.

Run it inside a network namespace, e.g.
  scripts/in-netns.sh python3 bench/liveness/bench_liveness.py build 5
arguments: BUILD_DIR [ROUNDS]
"""
import json
import os
import queue
import signal
import statistics
import subprocess
import sys
import threading
import time

PORT = "5871"
SITE = "liveness"
NET = ["-i", "lo", "-p", PORT, "-s", SITE]
WAIT = 45.0  # beyond the expiry (30 s): a slower report is still measured


def reader(stream, events):
    for line in stream:
        now = time.monotonic()
        try:
            record = json.loads(line)
        except ValueError:
            continue
        if isinstance(record, dict):
            events.put((now, record.get("event"), record.get("peer")))


def wait_event(events, kind, peer, deadline):
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            return None
        try:
            when, event, name = events.get(timeout=left)
        except queue.Empty:
            return None
        if event == kind and name == peer:
            return when


def start_daemon(daemon, name):
    return subprocess.Popen([daemon, *NET, "-n", name], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def stop(proc):
    if proc.poll() is None:
        proc.kill()
    proc.wait()


def main():
    links = subprocess.run(["ip", "-o", "link"], capture_output=True, text=True).stdout.splitlines()
    if [line.split(":")[1].strip() for line in links] != ["lo"]:
        sys.exit("bench_liveness: run it in a network namespace of its own (scripts/in-netns.sh)")
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    if not 1 <= rounds <= 100:
        sys.exit("bench_liveness: ROUNDS is 1 to 100")
    daemon = os.path.join(build, "examples/device/corvo-example-daemon")
    corvo = os.path.join(build, "tools/corvo/corvo")
    for path in (daemon, corvo):
        if not os.access(path, os.X_OK):
            sys.exit(f"bench_liveness: {path} is missing: build it first")

    events = queue.Queue()
    watch = subprocess.Popen([corvo, *NET, "--json", "watch"], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, text=True)
    threading.Thread(target=reader, args=(watch.stdout, events), daemon=True).start()
    gone, silent = [], []
    procs = []
    try:
        for r in range(rounds):
            for kind, sig, results in (("left", signal.SIGKILL, gone), ("silent", signal.SIGSTOP, silent)):
                name = f"{'killed' if sig == signal.SIGKILL else 'stopped'}{r}"
                proc = start_daemon(daemon, name)
                procs.append(proc)
                if wait_event(events, "entered", name, time.monotonic() + 15) is None:
                    sys.exit(f"bench_liveness: the client never saw {name} enter")
                time.sleep(1.0)  # past the greeting: a steady peer
                t0 = time.monotonic()
                os.kill(proc.pid, sig)
                when = wait_event(events, kind, name, t0 + WAIT)
                if when is None:
                    sys.exit(f"bench_liveness: {name} not reported {kind} within {WAIT:.0f} s")
                results.append(when - t0)
                print(f"round {r + 1}: {name} reported {kind} after {when - t0:.3f} s", flush=True)
                stop(proc)
                wait_event(events, "left", name, time.monotonic() + 10)
    finally:
        for proc in procs:
            stop(proc)
        watch.send_signal(signal.SIGINT)
        try:
            watch.wait(timeout=5)
        except subprocess.TimeoutExpired:
            watch.kill()
            watch.wait()

    for label, values in (("SIGKILL -> left  ", gone), ("SIGSTOP -> silent", silent)):
        print(f"{label}: median {statistics.median(values):.3f} s, max {max(values):.3f} s "
              f"({len(values)} rounds)")


if __name__ == "__main__":
    main()
