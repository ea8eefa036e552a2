"""Benchmark of the web console, inside a network namespace:

    scripts/in-netns.sh /usr/bin/python3 bench/web/bench_web.py BUILD_DIR [--rates 500,1000] [--clients 10]

(CORVO_WEB names another corvo-web launcher than the build's.)

1. relay: a daemon broadcasts its property at a set rate for 5 s (and once
   as fast as it can); the gateway (throttle off, --max-rate 0) relays to 10
   WebSocket clients. Gives broadcasts per second received by each client,
   how many it received (a client that is behind gets only the newest value:
   fewer than were broadcast is by design), and the delay from the daemon's
   broadcast to a client's receipt (each value is the wall-clock time of its
   broadcast).
2. browser: one broadcast every 0.3 s; headless Chromium shows the console
   with the default throttle; the delay from the broadcast to the page
   having updated its value (measured in the page, after the update).
3. wave: three pages (headless Chromium windows) show a daemon whose 100
   properties change 50 times a second for 10 s; the delay from the wave's
   end to each page showing every final value, and the largest lag the
   gateway reported to a page. Alternating with a light wave (1 Hz, 2 s) as
   the floor of the same run. The gateway's heartbeats tell how many values
   reached it (before its throttle to the pages) and how many events it lost.
4. sigint: a gateway with three pages open (and, as the floor, with none)
   gets SIGINT: the time until it has exited.
"""

import argparse
import asyncio
import json
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "web"))

NET = ["--interface", "lo", "--port", "5670", "--site", "bench"]


def find(build, *parts):
    path = os.path.join(build, *parts)
    if not os.path.exists(path):
        sys.exit("bench_web: %s missing; build first" % path)
    return path


def pct(values, p):
    if not values:
        return float("nan")
    values = sorted(values)
    return values[min(len(values) - 1, int(p / 100.0 * len(values)))]


class Bench:
    def __init__(self, build):
        self.build = os.path.abspath(build)
        self.work = tempfile.mkdtemp(prefix="corvo-web-bench.", dir=self.build)
        self.env = dict(os.environ, HOME=self.work, CORVO_CONF_PATH=self.work)
        self.procs = []
        self.tool = find(self.build, "tools", "corvo", "corvo")

    def start(self, argv):
        log = open(os.path.join(self.work, "p%d.out" % len(self.procs)), "wb")
        self.procs.append(subprocess.Popen(argv, stdout=log, stderr=subprocess.STDOUT, env=self.env))

    def corvo(self, *args):
        return subprocess.run([self.tool] + NET + ["--name", "bencher", "--timeout", "30"] + list(args),
                              capture_output=True, text=True, timeout=120, env=self.env)

    def gateway(self, port, *extra):
        self.start([os.environ.get("CORVO_WEB") or find(self.build, "apps", "web", "corvo-web")] + NET + ["--name", "web%d" % port,
                   "--http-port", str(port)] + list(extra))
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            try:
                urllib.request.urlopen("http://127.0.0.1:%d/" % port, timeout=2).close()
                return self.procs[-1]
            except OSError:
                time.sleep(0.2)
        sys.exit("bench_web: the gateway did not start")

    def close(self):
        for p in self.procs:
            p.send_signal(signal.SIGINT)
        for p in self.procs:
            try:
                p.wait(10)
            except subprocess.TimeoutExpired:
                p.kill()
        shutil.rmtree(self.work, ignore_errors=True)


async def relay(bench, port, count, clients, rate=None):
    import aiohttp

    received = [[] for _ in range(clients)]  # (receipt time, stamp)
    ready = [asyncio.Event() for _ in range(clients)]
    # The gateway closes a browser whose queue overflows (code 1013; a page
    # reconnects and starts from the full state): its count stops there.
    closed_behind = [0]

    async def client(i, session):
        async with session.ws_connect("http://127.0.0.1:%d/ws" % port,
                                      headers={"Origin": "http://127.0.0.1:%d" % port}, max_msg_size=0) as ws:
            async for frame in ws:
                now = time.time()
                for m in json.loads(frame.data):
                    if m["type"] == "state" and any(p["name"] == "flood" for p in m["peers"]):
                        ready[i].set()
                    elif m["type"] == "peer" and m["peer"]["name"] == "flood":
                        ready[i].set()
                    elif m["type"] == "prop" and m["name"] == "stamp":
                        received[i].append((now, m["value"]))
                if len(received[i]) >= count:
                    break
            if ws.close_code == 1013:
                closed_behind[0] += 1

    async with aiohttp.ClientSession() as session:
        tasks = [asyncio.ensure_future(client(i, session)) for i in range(clients)]
        await asyncio.wait_for(asyncio.gather(*(r.wait() for r in ready)), 60)
        loop = asyncio.get_running_loop()
        started = time.time()
        order = ("pace", str(count), str(rate)) if rate else ("burst", str(count))
        done = await loop.run_in_executor(None, bench.corvo, "cmd", "flood", *order)
        if done.returncode != 0:
            sys.exit("bench_web: burst failed: " + done.stderr)
        # Wait until every client has all values or nothing came for 5 s.
        last_total, quiet_since = -1, time.monotonic()
        while True:
            total = sum(len(r) for r in received)
            if total >= count * clients:
                break
            if total != last_total:
                last_total, quiet_since = total, time.monotonic()
            elif time.monotonic() - quiet_since > 5:
                break
            await asyncio.sleep(0.05)
        for t in tasks:
            t.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)

    rates, delays = [], []
    for r in received:
        if len(r) >= 2:
            rates.append(len(r) / max(1e-9, r[-1][0] - min(started, r[0][1])))
        delays += [(now - stamp) * 1000 for now, stamp in r]
    got = [len(r) for r in received]
    print("relay: %d broadcasts %s to %d clients, throttle off"
          % (count, "at %g/s" % rate if rate else "at once", clients))
    print("  received per client: min %d, max %d (of %d)" % (min(got), max(got), count))
    if closed_behind[0]:
        print("  clients closed by the gateway as too far behind: %d of %d" % (closed_behind[0], clients))
    print("  broadcasts/s per client (first broadcast to last receipt): median %.0f, min %.0f"
          % (statistics.median(rates), min(rates)))
    print("  total messages/s relayed: %.0f" % sum(rates))
    print("  broadcast-to-receipt delay ms: p50 %.1f, p90 %.1f, p99 %.1f, max %.1f"
          % (pct(delays, 50), pct(delays, 90), pct(delays, 99), max(delays)))


def browser_latency(bench, port, samples):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium")
    for a in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
              "--user-data-dir=" + os.path.join(bench.work, "chromium")):
        options.add_argument(a)
    driver = webdriver.Chrome(service=Service(shutil.which("chromedriver")), options=options)
    try:
        driver.get("http://127.0.0.1:%d/" % port)
        deadline = time.monotonic() + 60
        while not driver.execute_script("return peers.has('flood')"):
            if time.monotonic() > deadline:
                sys.exit("bench_web: the page never showed the daemon")
            time.sleep(0.2)
        # Wrapped after the page's own update of the value: the delay covers
        # relay, JSON parsing and the DOM change.
        driver.execute_script("""
            window.__delays = [];
            const shown = showValue;
            showValue = function (id, name, value, t) {
              shown(id, name, value, t);
              if (id === 'flood' && name === 'stamp') window.__delays.push(Date.now() - value * 1000);
            };""")
        for _ in range(samples):
            bench.corvo("cmd", "flood", "burst", "1")
            time.sleep(0.3)
        time.sleep(1)
        delays = driver.execute_script("return window.__delays")
    finally:
        driver.quit()
    print("browser: %d broadcasts, one every 0.3 s or more, default throttle" % samples)
    print("  broadcast-to-page-update delay ms: p50 %.1f, p90 %.1f, max %.1f (%d seen)"
          % (pct(delays, 50), pct(delays, 90), max(delays), len(delays)))


WATCH_WAVE = """
    window.__final = null; window.__maxLag = 0;
    const want = arguments[0];
    if (window.__watch) clearInterval(window.__watch);
    window.__watch = setInterval(() => {
      window.__maxLag = Math.max(window.__maxLag, lag);
      if (window.__final) return;
      const cells = document.querySelectorAll('article.peer[data-peer="flood"] span.value[data-prop^="p"]');
      if (cells.length === 100 && [...cells].every((e) => e.textContent === want)) window.__final = Date.now() / 1000;
    }, 20);"""


def open_pages(driver, port, count):
    windows = [driver.current_window_handle]
    for _ in range(count - 1):
        driver.switch_to.new_window("window")
        windows.append(driver.current_window_handle)
    for w in windows:
        driver.switch_to.window(w)
        driver.get("http://127.0.0.1:%d/" % port)
        deadline = time.monotonic() + 60
        while not driver.execute_script("return peers.has('flood') && document.getElementById('conn').textContent === 'live'"):
            if time.monotonic() > deadline:
                sys.exit("bench_web: a page never showed the daemon")
            time.sleep(0.2)
    return windows


def cpu_seconds(pid):
    """CPU time of a process, all its threads (/proc/PID/task/*/schedstat)."""
    total = 0
    for task in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, task)) as f:
                total += int(f.read().split()[0])
        except OSError:
            pass
    return total / 1e9


def gateway_counts(port):
    """(values received from the site, events lost) as the gateway's next
    heartbeat tells them."""
    import aiohttp

    async def read():
        async with aiohttp.ClientSession() as session:
            async with session.ws_connect("http://127.0.0.1:%d/ws" % port,
                                          headers={"Origin": "http://127.0.0.1:%d" % port}, max_msg_size=0) as ws:
                async for frame in ws:
                    for m in json.loads(frame.data):
                        if m["type"] == "hb":
                            return m["values"], m["lost"]
        sys.exit("bench_web: no heartbeat from the gateway")

    return asyncio.run(asyncio.wait_for(read(), 30))


def one_wave(bench, driver, windows, rate, seconds, gateway=None, port=None):
    """Returns the delays until each page showed the final values, the lags
    the gateway reported, the gateway's share of a core during the wave, and
    the property values (and lost events) that reached the gateway."""
    final = str(int(rate * seconds + 0.5))
    for w in windows:
        driver.switch_to.window(w)
        driver.execute_script(WATCH_WAVE, final)
    before = bench.corvo("get", "flood", "waveend").stdout.strip()
    counted = gateway_counts(port) if port else (0, 0)
    cpu_start, wall_start = (cpu_seconds(gateway.pid) if gateway else 0.0), time.monotonic()
    if bench.corvo("cmd", "flood", "wave", str(rate), str(seconds)).returncode != 0:
        sys.exit("bench_web: wave refused")
    deadline = time.monotonic() + seconds + 60
    while True:
        end = bench.corvo("get", "flood", "waveend").stdout.strip()
        if end and end != before:
            break
        if time.monotonic() > deadline:
            sys.exit("bench_web: the wave never ended")
        time.sleep(0.2)
    share = (cpu_seconds(gateway.pid) - cpu_start) / (time.monotonic() - wall_start) if gateway else 0.0
    delays, lags = [], []
    for w in windows:
        driver.switch_to.window(w)
        while not driver.execute_script("return window.__final"):
            if time.monotonic() > deadline:
                sys.exit("bench_web: a page never showed the final values")
            time.sleep(0.05)
        delays.append(driver.execute_script("return window.__final") - float(end))
        lags.append(driver.execute_script("return window.__maxLag"))
    values, lost = gateway_counts(port) if port else (0, 0)
    sent = int(bench.corvo("get", "flood", "wavevalues").stdout.strip() or 0)
    return delays, lags, share, (values - counted[0], lost - counted[1], sent)


def wave_pages(bench, port, rounds, gateway=None):
    import chromium

    with chromium.driver(os.path.join(bench.work, "chromium-wave"), ["--disable-background-timer-throttling",
                                                                      "--disable-renderer-backgrounding"]) as driver:
        windows = open_pages(driver, port, 3)
        heavy, light, lags, cpu_heavy, cpu_light, got_heavy, got_light = [], [], [], [], [], [], []
        for _ in range(rounds):
            d, _, c, g = one_wave(bench, driver, windows, 1, 2, gateway, port)
            light += d
            cpu_light.append(c)
            got_light.append(g)
            d, l, c, g = one_wave(bench, driver, windows, 50, 10, gateway, port)
            heavy += d
            lags += l
            cpu_heavy.append(c)
            got_heavy.append(g)
    print("wave: 100 properties at 50 Hz for 10 s, 3 pages, default throttle (%d rounds, alternating with 1 Hz for 2 s)"
          % rounds)
    print("  wave end to every final value shown, s: max %.3f, median %.3f (floor: max %.3f, median %.3f); "
          "ratio of medians %.1f" % (max(heavy), statistics.median(heavy), max(light), statistics.median(light),
                                    statistics.median(heavy) / max(1e-3, statistics.median(light))))
    print("  largest lag the gateway reported to a page: %.2f s" % max(lags))
    # A wave sets 100 properties up to rate * seconds times (a round that
    # comes too late is skipped), then "wavevalues" and "waveend".
    print("  property values that reached the gateway per wave: %s (the daemon set %s of %d, plus 2); "
          "events lost: %s; floor: %s (set %s of %d, plus 2)"
          % (", ".join(str(g[0]) for g in got_heavy), ", ".join(str(g[2]) for g in got_heavy), 100 * 50 * 10,
             ", ".join(str(g[1]) for g in got_heavy), ", ".join(str(g[0]) for g in got_light),
             ", ".join(str(g[2]) for g in got_light), 100 * 1 * 2))
    if gateway:
        print("  gateway CPU during the wave, %% of a core: median %.1f, max %.1f (floor, 1 Hz: median %.1f)"
              % (100 * statistics.median(cpu_heavy), 100 * max(cpu_heavy), 100 * statistics.median(cpu_light)))


def sigint_exit(bench, port, rounds):
    import chromium

    times = {"3 pages open": [], "no page": []}
    with chromium.driver(os.path.join(bench.work, "chromium-stop")) as driver:
        for _ in range(rounds):
            for case in times:
                proc = bench.gateway(port)
                windows = open_pages(driver, port, 3) if case == "3 pages open" else []
                sent = time.monotonic()
                proc.send_signal(signal.SIGINT)
                proc.wait(120)
                times[case].append(time.monotonic() - sent)
                for w in windows[1:]:
                    driver.switch_to.window(w)
                    driver.close()
                if windows:
                    driver.switch_to.window(windows[0])
    print("sigint: gateway exit after SIGINT, s (%d rounds, alternating): %s" % (rounds, "; ".join(
        "%s: max %.2f, median %.2f" % (k, max(v), statistics.median(v)) for k, v in times.items())))


def main():
    p = argparse.ArgumentParser()
    p.add_argument("build")
    p.add_argument("--count", type=int, default=20000, help="broadcasts of the burst")
    p.add_argument("--rates", default="500,1000,2000,4000", help="paced rates, 5 s each")
    p.add_argument("--clients", type=int, default=10)
    p.add_argument("--samples", type=int, default=30)
    p.add_argument("--rounds", type=int, default=2, help="rounds of the wave and sigint measures")
    p.add_argument("--only", help="comma-separated parts: relay, browser, wave, sigint")
    args = p.parse_args()
    parts = set((args.only or "relay,browser,wave,sigint").split(","))
    bench = Bench(args.build)
    try:
        flood = os.path.join(bench.build, "bench", "web", "bench_web_flood")
        if not os.path.exists(flood):
            flood = find(bench.build, "tests", "web", "web_test_flood")
        bench.start([flood] + NET)
        bench.gateway(8191, "--max-rate", "0")
        paced = bench.gateway(8192)
        if bench.corvo("get", "flood", "stamp").returncode != 0:
            sys.exit("bench_web: the flood daemon did not come up")
        print("load: " + open("/proc/loadavg").read().strip())
        if "relay" in parts:
            for rate in [float(r) for r in args.rates.split(",") if r]:
                asyncio.run(relay(bench, 8191, int(rate * 5), args.clients, rate))
            asyncio.run(relay(bench, 8191, args.count, args.clients))
        if "browser" in parts:
            browser_latency(bench, 8192, args.samples)
        if "wave" in parts:
            wave_pages(bench, 8192, args.rounds, paced)
        if "sigint" in parts:
            sigint_exit(bench, 8193, args.rounds)
        print("load: " + open("/proc/loadavg").read().strip())
    finally:
        bench.close()


if __name__ == "__main__":
    main()
