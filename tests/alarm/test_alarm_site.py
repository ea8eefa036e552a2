"""corvo-alarmd on a site of real programs (a weather station, a dome, a
mount, the operator's tool), inside the test's network namespace.

Environment: CORVO_ALARMD, CORVO_ALARM_DEVICE (tests/alarm/site_device.cpp),
CORVO_TOOL. Every program runs with HOME in the test's folder, so nothing
outside it is read or written.
"""

import contextlib
import http.server
import json
import os
import signal
import subprocess
import threading
import time

import pytest

ALARMD = os.environ["CORVO_ALARMD"]
DEVICE = os.environ["CORVO_ALARM_DEVICE"]
TOOL = os.environ["CORVO_TOOL"]


def wait_for(what, condition, timeout=30.0, every=0.2):
    """Polls `condition` until it returns something true; fails after `timeout`."""
    end = time.monotonic() + timeout
    last = None
    while time.monotonic() < end:
        last = condition()
        if last:
            return last
        time.sleep(every)
    raise AssertionError("timed out waiting for %s (last: %r)" % (what, last))


class Site:
    """Programs of one site, stopped at the end of the test."""

    counter = 0

    def __init__(self, work):
        Site.counter += 1
        self.name = "al%d_%d" % (os.getpid() % 10000, Site.counter)
        self.work = work
        self.env = dict(os.environ, HOME=str(work), CORVO_KEY_DIR=str(work / "keys"),
                        CORVO_CONF_PATH=str(work / "conf"))
        (work / "conf").mkdir(exist_ok=True)
        self.procs = {}
        self.state = work / "alarmd.state"

    def net(self, key=None):
        args = ["-s", self.name, "--interface", "lo"]
        return args + (["--key", key] if key else [])

    def start(self, label, argv, key=None):
        log = open(self.work / (label + ".log"), "ab")
        proc = subprocess.Popen(argv + self.net(key), stdout=log, stderr=subprocess.STDOUT, env=self.env)
        self.procs[label] = proc
        return proc

    def device(self, role, key=None):
        return self.start(role, [DEVICE, role], key)

    def alarmd(self, rules, key=None, label="alarmd"):
        path = self.work / "site.alarms"
        path.write_text(rules)
        return self.start(label, [ALARMD, "--alarms", str(path), "--state", str(self.state)], key)

    def stop(self, label, sig=signal.SIGINT):
        proc = self.procs.pop(label)
        proc.send_signal(sig)
        try:
            proc.wait(timeout=15)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()

    def stop_all(self):
        for label in list(self.procs):
            self.stop(label)

    def log(self, label):
        return (self.work / (label + ".log")).read_text(errors="replace")

    def corvo(self, *args, key=None, check=True, timeout=30):
        result = subprocess.run([TOOL] + self.net(key) + ["--timeout", "10"] + list(args), env=self.env,
                                capture_output=True, text=True, timeout=timeout)
        if check and result.returncode != 0:
            raise AssertionError("corvo %s: status %d: %s" % (" ".join(args), result.returncode, result.stderr))
        return result

    def get(self, peer, prop, key=None):
        return json.loads(self.corvo("--json", "get", peer, prop, key=key).stdout)["value"]

    def set(self, peer, prop, value, key=None):
        self.corvo("set", peer, prop, str(value), key=key)

    def alarms(self, key=None):
        """The alarm daemon's published states, by rule."""
        return {a["rule"]: a for a in map(json.loads, self.get("alarmd", "alarms", key=key))}

    def alarm_state(self, rule, key=None):
        alarm = self.alarms(key=key).get(rule)
        return alarm["state"] if alarm else "normal"

    def wait_state(self, rule, state, timeout=30.0):
        return wait_for("%s %s" % (rule, state), lambda: self.alarm_state(rule) == state, timeout)


@pytest.fixture
def site(tmp_path):
    s = Site(tmp_path)
    yield s
    s.stop_all()


DOME_RULES = """
rule rain
    when weather.rain >= 1
    severity major
    delay 1s
    guidance Rain: the dome closes and the mount parks.
    action dome close
    action mount park
"""


def test_rain_closes_the_dome_and_parks_the_mount(site):
    for role in ("weather", "dome", "mount"):
        site.device(role)
    site.alarmd(DOME_RULES)
    wait_for("alarm daemon's rules", lambda: site.get("alarmd", "rules") == 1)
    assert site.get("dome", "shutter") == "open"
    raised = time.monotonic()
    site.set("weather", "rain", 1)
    alarm = wait_for("rain alarm", lambda: site.alarms().get("rain"))
    assert time.monotonic() - raised < 15
    assert alarm["state"] == "unacked"
    assert alarm["severity"] == "major"
    assert alarm["guidance"].startswith("Rain:")
    assert alarm["value"] == "1"
    wait_for("dome closed", lambda: site.get("dome", "shutter") == "closed")
    wait_for("mount parked", lambda: site.get("mount", "parked") == 1)
    alarm = wait_for("actions done", lambda: (lambda a: a if all(x["outcome"] == "done" for x in a["actions"])
                                              else None)(site.alarms()["rain"]))
    assert [(a["peer"], a["command"]) for a in alarm["actions"]] == [("dome", "close"), ("mount", "park")]
    assert site.get("alarmd", "major") == 1
    assert site.get("alarmd", "unacked") == 1
    log = site.log("alarmd")
    assert "alarm rain [major]: normal -> unacked (condition holds: weather.rain >= 1)" in log

    # The operator's view.
    listed = json.loads(site.corvo("--json", "alarms").stdout)
    assert [a["rule"] for a in listed] == ["rain"]
    text = site.corvo("alarms").stdout
    assert "unacked  major  rain  weather.rain >= 1  value 1" in text
    assert "    Rain: the dome closes and the mount parks." in text
    assert "    action dome close: done" in text

    # Acknowledged, then cleared: back to normal, and the counts with it.
    assert site.corvo("alarms", "ack", "rain").stdout.strip() == "acknowledged rain"
    wait_for("acked", lambda: site.alarm_state("rain") == "acked")
    assert "acked  major  rain" in site.corvo("alarms").stdout
    refused = site.corvo("alarms", "ack", "rain", check=False)
    assert refused.returncode == 5 and "nothing to acknowledge" in refused.stderr
    site.set("weather", "rain", 0)
    wait_for("normal", lambda: site.alarms() == {})
    assert site.get("alarmd", "major") == 0


def test_wind_chattering_inside_the_deadband_raises_one_alarm(site):
    site.device("weather")
    site.alarmd("rule wind\n    when weather.wind > 10\n    deadband 2\n")
    wait_for("rules", lambda: site.get("alarmd", "rules") == 1)
    for _ in range(8):
        site.set("weather", "wind", 10.6)
        site.set("weather", "wind", 9.4)
    site.wait_state("wind", "unacked")
    time.sleep(0.5)
    log = site.log("alarmd")
    assert log.count("alarm wind [minor]: normal -> unacked") == 1, log
    assert "unacked -> normal" not in log
    site.set("weather", "wind", 7.9)
    site.wait_state("wind", "normal")


def test_text_rules_on_an_int_with_choices_compare_its_label(site):
    # "tracking" is an INT with choices 0 OFF, 1 ON, shown by its label.
    site.device("mount")
    site.alarmd("rule on\n    when mount.tracking == ON\n"
                "rule not-off\n    when mount.tracking != OFF\n"
                "rule one\n    when mount.tracking == 1\n")
    wait_for("rules", lambda: site.get("alarmd", "rules") == 3)
    wait_for("mount described", lambda: site.corvo("get", "mount", "tracking").stdout.strip() == "OFF")
    time.sleep(1.5)
    assert site.alarms() == {}
    site.set("mount", "tracking", "ON")
    alarms = wait_for("all three raised", lambda: (lambda a: a if len(a) == 3 else None)(site.alarms()))
    assert {rule: a["state"] for rule, a in alarms.items()} == {"on": "unacked", "not-off": "unacked",
                                                                 "one": "unacked"}
    assert alarms["on"]["value"] == "ON"
    site.set("mount", "tracking", "OFF")
    wait_for("all normal", lambda: site.alarms() == {})


def test_a_latched_alarm_stays_until_acknowledged(site):
    site.device("weather")
    site.alarmd("rule humid\n    when weather.humidity > 85\n    latch\n")
    wait_for("rules", lambda: site.get("alarmd", "rules") == 1)
    site.set("weather", "humidity", 90)
    site.wait_state("humid", "unacked")
    site.set("weather", "humidity", 50)
    site.wait_state("humid", "rtn-unacked")
    time.sleep(1.5)
    assert site.alarm_state("humid") == "rtn-unacked"
    assert site.get("alarmd", "unacked") == 1
    site.corvo("cmd", "alarmd", "ack", "humid")
    site.wait_state("humid", "normal")
    # A second acknowledgement has nothing to do: refused with the reason.
    refused = site.corvo("cmd", "alarmd", "ack", "humid", check=False)
    assert refused.returncode == 5 and "nothing to acknowledge" in refused.stderr


def test_a_shelve_expires_on_time(site):
    site.device("weather")
    site.alarmd("max-shelve 1m\nrule wind\n    when weather.wind > 10\n")
    wait_for("rules", lambda: site.get("alarmd", "rules") == 1)
    site.set("weather", "wind", 20)
    site.wait_state("wind", "unacked")
    too_long = site.corvo("cmd", "alarmd", "shelve", "wind", "2h", "", check=False)
    assert too_long.returncode == 5 and "at most 1 min" in too_long.stderr
    # A reason the receivers of the alarms list and the state file could not take.
    wordy = site.corvo("cmd", "alarmd", "shelve", "wind", "1m", "x" * 70000, check=False)
    assert wordy.returncode == 5 and "at most 1024 bytes" in wordy.stderr
    shelved_at = time.monotonic()
    site.corvo("alarms", "shelve", "wind", "4s", "anemometer", "iced")
    alarm = wait_for("shelved", lambda: (lambda a: a if a["state"] == "shelved" else None)(site.alarms()["wind"]))
    assert alarm["reason"] == "anemometer iced"
    assert alarm["shelved_until"].endswith("Z")
    assert site.get("alarmd", "shelved") == 1
    # Still shelved a little before its end, raised again after it.
    while time.monotonic() - shelved_at < 2.5:
        assert site.alarm_state("wind") == "shelved"
        time.sleep(0.3)
    site.wait_state("wind", "unacked", timeout=15)
    assert time.monotonic() - shelved_at >= 3.9
    assert "shelved -> unacked (shelve expired" in site.log("alarmd")


def test_a_restart_keeps_acks_and_shelves_and_runs_no_action_again(site):
    for role in ("weather", "dome", "mount"):
        site.device(role)
    rules = DOME_RULES + "rule wind\n    when weather.wind > 10\n"
    site.alarmd(rules)
    wait_for("rules", lambda: site.get("alarmd", "rules") == 2)
    site.set("weather", "rain", 5)
    wait_for("dome closed", lambda: site.get("dome", "shutter") == "closed")
    site.corvo("cmd", "alarmd", "ack", "rain")
    site.corvo("cmd", "alarmd", "shelve", "wind", "10m", "maintenance")
    wait_for("acked", lambda: site.alarm_state("rain") == "acked")
    # Someone opens the dome by hand under the rain: the alarm daemon's
    # restart must not close it again, the alarm was handled already.
    site.corvo("cmd", "dome", "open")
    wait_for("dome open", lambda: site.get("dome", "shutter") == "open")
    site.stop("alarmd")
    assert "rain\tacked\t" in site.state.read_text()
    site.alarmd(rules, label="alarmd2")
    alarms = wait_for("states back", lambda: (lambda a: a if a.get("rain", {}).get("value") == "5" else None)(
        site.alarms()))
    assert alarms["rain"]["state"] == "acked"
    assert alarms["wind"]["state"] == "shelved"
    assert alarms["wind"]["reason"] == "maintenance"
    time.sleep(3)
    assert site.get("dome", "shutter") == "open"
    assert "action dome close" not in site.log("alarmd2")
    # A new alarm after the restart runs its actions again.
    site.set("weather", "rain", 0)
    wait_for("rain normal", lambda: "rain" not in site.alarms())
    site.set("weather", "rain", 3)
    wait_for("dome closed again", lambda: site.get("dome", "shutter") == "closed")


def test_a_state_file_that_cannot_be_read_is_set_aside_not_overwritten(site):
    site.device("weather")
    rules = "rule wind\n    when weather.wind > 10\n"
    # Larger than any state file alarmd writes (at most 64 MiB).
    with open(site.state, "wb") as f:
        f.write(b"wind\tshelved\t1\t99999999999\tbob\tkept\n")
        f.truncate(64 * 1024 * 1024 + 1)
    site.alarmd(rules)
    wait_for("rules", lambda: site.get("alarmd", "rules") == 1)
    site.corvo("cmd", "alarmd", "disable", "wind")
    wait_for("state saved", lambda: site.state.exists() and "wind\tdisabled\t" in site.state.read_text())
    aside = site.work / "alarmd.state.unreadable"
    assert aside.stat().st_size == 64 * 1024 * 1024 + 1
    assert aside.open("rb").read(16) == b"wind\tshelved\t1\t9"
    assert "state not restored" in site.log("alarmd") and str(aside) in site.log("alarmd")

    # A line that cannot be read: the rest is restored, the file kept aside.
    site.stop("alarmd")
    site.state.write_text("wind\tbogus\t1\t0\t\t\n" + site.state.read_text())
    site.alarmd(rules, label="alarmd2")
    wait_for("restored", lambda: site.alarm_state("wind") == "disabled")
    assert "wind\tbogus" in (site.work / "alarmd.state.unreadable.1").read_text()
    assert "1 lines could not be read" in site.log("alarmd2")
    # What was restored is in a new state file at once: killed before any
    # change (no cleanup), the next start still has the rule disabled.
    assert "wind\tdisabled\t" in site.state.read_text()
    site.stop("alarmd2", signal.SIGKILL)
    site.alarmd(rules, label="alarmd3")
    wait_for("restored after the kill", lambda: site.alarm_state("wind") == "disabled")


def test_a_state_file_that_cannot_be_written_is_logged_once_until_it_is_saved_again(site):
    site.device("weather")
    rules = "rule wind\n    when weather.wind > 10\n"
    site.alarmd(rules)
    wait_for("rules", lambda: site.get("alarmd", "rules") == 1)
    # A directory where the temporary file goes: every save fails alike, as
    # on a full disk.
    blocker = site.work / "alarmd.state.tmp"
    blocker.mkdir()
    site.corvo("cmd", "alarmd", "disable", "wind")
    wait_for("save failed", lambda: "alarm state not saved" in site.log("alarmd"))
    time.sleep(3)  # some more tries, one every 0.5 s
    assert site.log("alarmd").count("alarm state not saved") == 1
    assert "saved again" not in site.log("alarmd")

    blocker.rmdir()
    wait_for("state saved", lambda: site.state.exists() and "wind\tdisabled\t" in site.state.read_text())
    wait_for("told", lambda: "alarm state saved again" in site.log("alarmd"))
    time.sleep(1)
    assert site.log("alarmd").count("alarm state saved again") == 1
    assert site.log("alarmd").count("alarm state not saved") == 1


def background_alarmd(home):
    """Pids of the alarm daemons that went to the background with this HOME."""
    exe = os.path.realpath(ALARMD)
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if os.path.realpath("/proc/%s/exe" % pid) != exe:
                continue
            with open("/proc/%s/environ" % pid, "rb") as f:
                if ("HOME=%s" % home).encode() in f.read().split(b"\0"):
                    found.append(int(pid))
        except OSError:
            pass
    return found


def test_in_the_background_a_relative_state_file_is_the_one_of_the_start_directory(site):
    site.device("weather")
    site.set("weather", "wind", 20)
    run = site.work / "run"
    (run / "st").mkdir(parents=True)
    state = run / "st" / "alarmd.state"
    state.write_text("wind\tacked\t1\t0\tbob\t\n")
    (site.work / "site.alarms").write_text("rule wind\n    when weather.wind > 10\n"
                                           "rule rain\n    when weather.rain > 1\n")
    subprocess.run([ALARMD, "--alarms", "../site.alarms", "--state", "st/alarmd.state", "--daemon"] + site.net(),
                   cwd=run, env=site.env, check=True, timeout=30)
    wait_for("alarmd in the background", lambda: background_alarmd(site.work))
    try:
        wait_for("rules", lambda: site.get("alarmd", "rules") == 2)
        alarm = wait_for("wind back", lambda: site.alarms().get("wind"))
        assert alarm["state"] == "acked" and alarm["by"] == "bob"
        site.corvo("cmd", "alarmd", "disable", "rain")
        wait_for("state saved", lambda: "rain\tdisabled\t" in state.read_text())
        assert "wind\tacked\t" in state.read_text()
    finally:
        # Looked up again: the first look may have caught the middle process
        # of the double fork, which ends on its own.
        for pid in background_alarmd(site.work):
            with contextlib.suppress(ProcessLookupError):
                os.kill(pid, signal.SIGINT)
        wait_for("alarmd stopped", lambda: not background_alarmd(site.work))


def test_thousands_of_rules_shelved_with_long_reasons_leave_alarmd_reachable(site):
    # 8000 items of about 1.3 KB: over what a receiver keeps of a peer
    # unless the lists are bounded.
    count = 8000
    site.alarmd("".join("rule r%d\n    when weather.wind > 10\n" % i for i in range(count)))
    wait_for("rules", lambda: site.get("alarmd", "rules") == count)
    site.corvo("cmd", "alarmd", "shelve", "*", "1h", "x" * 1000)
    wait_for("all shelved", lambda: site.get("alarmd", "shelved") == count, timeout=60)
    items = [json.loads(item) for item in site.get("alarmd", "alarms")]
    assert items[-1]["state"] == "omitted"
    assert all(a["state"] == "shelved" for a in items[:-1])
    assert len(items) - 1 + items[-1]["omitted"] == count
    shown = site.corvo("alarms").stdout.splitlines()
    assert shown[-1] == "... %d more rules are not normal; the counts are exact, the list is full" % (
        items[-1]["omitted"])
    site.corvo("cmd", "alarmd", "unshelve", "*")
    wait_for("none shelved", lambda: site.get("alarmd", "shelved") == 0, timeout=60)
    wait_for("empty list", lambda: site.get("alarmd", "alarms") == [], timeout=30)


def test_a_peer_gone_raises_its_silent_rule(site):
    site.device("weather")
    site.alarmd("rule station\n    when weather silent for 2s\n    severity major\n")
    wait_for("rules", lambda: site.get("alarmd", "rules") == 1)
    time.sleep(3)
    assert site.alarm_state("station") == "normal"
    site.stop("weather")
    alarm = wait_for("silent rule", lambda: site.alarms().get("station"), timeout=30)
    assert alarm["state"] == "unacked"
    assert alarm["value"] == "gone"
    site.device("weather")
    site.wait_state("station", "normal")


def test_a_silent_peer_alive_again_clears_its_silent_rules(site):
    # A dome that broadcasts nothing: only the node says it is alive again.
    site.device("dome")
    site.alarmd("rule quiet\n    when dome silent for 1s\n"
                "rule long\n    when dome silent for 8s\n")
    wait_for("rules", lambda: site.get("alarmd", "rules") == 2)
    site.procs["dome"].send_signal(signal.SIGSTOP)
    try:
        alarm = wait_for("quiet raised", lambda: site.alarms().get("quiet"), timeout=30)
    finally:
        site.procs["dome"].send_signal(signal.SIGCONT)
    raised_at = time.monotonic()
    assert alarm["value"] == "silent"
    site.wait_state("quiet", "normal", timeout=15)
    # The silence began about 1 s before "quiet" was raised: "long" would
    # be raised about 7 s after it, had the silence gone on.
    while time.monotonic() - raised_at < 12:
        assert site.alarm_state("long") == "normal"
        time.sleep(0.5)


def test_a_bad_rules_file_stops_the_start(site):
    path = site.work / "bad.alarms"
    path.write_text("rule a\n    when weather.rain >= 1\n    severity loud\n")
    result = subprocess.run([ALARMD, "--alarms", str(path), "--state", str(site.state)] + site.net(),
                            env=site.env, capture_output=True, text=True, timeout=30)
    assert result.returncode == 1
    assert "%s:3: severity is minor or major" % path in result.stderr


class Receiver(http.server.BaseHTTPRequestHandler):
    bodies = []

    def do_POST(self):
        length = int(self.headers["Content-Length"])
        Receiver.bodies.append(json.loads(self.rfile.read(length)))
        self.send_response(204)
        self.end_headers()

    def log_message(self, *args):
        pass


def test_webhooks_are_delivered_and_a_dead_one_delays_nothing(site):
    server = http.server.HTTPServer(("127.0.0.1", 0), Receiver)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    # A port nobody listens on, and one that accepts and never answers.
    silent = __import__("socket").socket()
    silent.bind(("127.0.0.1", 0))
    silent.listen(1)
    try:
        site.device("weather")
        site.alarmd("webhook major http://127.0.0.1:%d/alarm\n"
                    "webhook minor http://127.0.0.1:%d/never\n"
                    "rule wind\n    when weather.wind > 10\n"
                    "rule rain\n    when weather.rain > 0\n    severity major\n"
                    % (server.server_address[1], silent.getsockname()[1]))
        wait_for("rules", lambda: site.get("alarmd", "rules") == 2)
        site.set("weather", "wind", 20)  # its webhook hangs
        site.wait_state("wind", "unacked")
        started = time.monotonic()
        site.set("weather", "rain", 2)
        site.wait_state("rain", "unacked")
        assert time.monotonic() - started < 5
        body = wait_for("webhook", lambda: [b for b in Receiver.bodies if b["to"] == "unacked"])[0]
        assert body["site"] == site.name
        assert body["alarm"]["rule"] == "rain"
        assert body["alarm"]["severity"] == "major"
    finally:
        server.shutdown()
        silent.close()


def make_keys(site, *names):
    for name, extra in names:
        subprocess.run([TOOL, "keys", "new", name] + extra, env=site.env, check=True, capture_output=True,
                       timeout=30)


def test_secured_site_rights_and_locks(site):
    make_keys(site, ("weather", []), ("dome", []), ("mount", []), ("alarmd", []),
              ("alice", ["--names", "corvo"]), ("observer", ["--names", "corvo"]), ("holder", ["--names", "corvo"]))
    conf = site.work / "conf"
    (conf / "alarmd.rules").write_text("allow alice run ack, shelve, unshelve, disable, enable\n")
    (conf / "weather.rules").write_text("allow * set *\n")
    for device in ("dome", "mount"):
        (conf / ("%s.rules" % device)).write_text("allow alarmd, holder run *\nallow holder lock\n")
    for role in ("weather", "dome", "mount"):
        site.device(role, key=role)
    site.alarmd(DOME_RULES, key="alarmd")
    wait_for("rules", lambda: site.get("alarmd", "rules", key="alice") == 1)
    # Another identity holds both devices.
    site.corvo("lock", "dome", "--for", "10m", key="holder")
    site.corvo("lock", "mount", "--for", "10m", key="holder")
    site.set("weather", "rain", 1, key="alice")
    # "close" is the dome's safety command: the lock lets it pass.
    wait_for("dome closed", lambda: site.get("dome", "shutter", key="alice") == "closed")
    alarm = wait_for("outcomes", lambda: (lambda a: a if all(x["outcome"] not in ("pending", "sent")
                                                              for x in a["actions"]) else None)(
        site.alarms(key="alice")["rain"]))
    outcomes = {a["peer"]: a["outcome"] for a in alarm["actions"]}
    assert outcomes["dome"] == "done"
    assert outcomes["mount"].startswith("refused: ") and "holder" in outcomes["mount"], outcomes
    assert site.get("mount", "parked", key="alice") == 0

    # An observer reads the alarms but may not acknowledge them.
    assert site.alarms(key="observer")["rain"]["state"] == "unacked"
    refused = site.corvo("cmd", "alarmd", "ack", "rain", key="observer", check=False)
    assert refused.returncode == 5, refused.stderr
    assert site.alarm_state("rain", key="alice") == "unacked"
    site.corvo("cmd", "alarmd", "ack", "rain", key="alice")
    alarm = wait_for("acked", lambda: (lambda a: a if a["state"] == "acked" else None)(
        site.alarms(key="alice")["rain"]))
    assert alarm["by"] == "alice"
    log = site.log("alarmd")
    assert "audit: accepted run ack rain by alice" in log
    assert "audit: refused run ack rain by observer" in log


def test_python_reads_alarms_and_follows_their_changes(site):
    corvo = pytest.importorskip("corvo")
    site.device("weather")
    site.alarmd("rule wind\n    when weather.wind > 10\n    guidance Batten down.\n")
    wait_for("rules", lambda: site.get("alarmd", "rules") == 1)
    with corvo.Site(site.name, interface="lo") as client:
        assert client.alarms(timeout=10) == []
        events = client.alarm_events()
        seen = []
        reader = threading.Thread(target=lambda: seen.extend(events), daemon=True)
        reader.start()
        time.sleep(0.5)
        site.set("weather", "wind", 20)
        wait_for("the raise event", lambda: [a for a in seen if a.rule == "wind" and a.state == "unacked"])
        alarm = wait_for("site.alarms()", lambda: client.alarms())[0]
        assert (alarm.rule, alarm.state, alarm.severity, alarm.guidance) == ("wind", "unacked", "minor", "Batten down.")
        assert alarm.value == "20" and alarm.active
        client.command("alarmd", "ack", "wind")
        acked = wait_for("the ack event", lambda: [a for a in seen if a.state == "acked"])[0]
        assert acked.by
        site.set("weather", "wind", 1)
        wait_for("back to normal", lambda: [a for a in seen if a.state == "normal"])
        events.close()
        reader.join(5)
    assert corvo.alarms.Alarm.from_json("not json") is None
    assert corvo.alarms.Alarm.from_json('{"rule": 3, "state": "x"}') is None


def test_transitions_are_in_the_sites_history(site):
    archiver = os.environ.get("CORVO_ARCHIVER")
    if not archiver:
        pytest.skip("CORVO_ARCHIVER not set")
    db = site.work / "history.db"
    site.start("archiver", [archiver, "--db", str(db)])
    site.device("weather")
    site.alarmd("rule wind\n    when weather.wind > 10\n")
    wait_for("rules", lambda: site.get("alarmd", "rules") == 1)
    site.set("weather", "wind", 20)
    site.wait_state("wind", "unacked")
    site.corvo("alarms", "ack", "wind")
    site.wait_state("wind", "acked")
    time.sleep(1)
    site.stop("archiver")  # writes what it holds
    history = site.corvo("history", "--log", "alarmd", "--since", "1h", "--db", str(db)).stdout
    assert "alarm wind [minor]: normal -> unacked (condition holds: weather.wind > 10)" in history, history
    assert "alarm wind [minor]: unacked -> acked (acknowledged by corvo)" in history, history
