"""The alarm banner and panel of the web console in headless Chromium,
against the real programs: the weather station, the dome, the mount,
corvo-alarmd and two gateways (read-only, and with --allow-write), inside
the test's network namespace.

Environment: CORVO_ALARMD, CORVO_ALARM_DEVICE, CORVO_TOOL, CORVO_WEB (the
launcher), CORVO_ALARM_ARTIFACTS (the screenshot goes there).
"""

import os
import signal
import subprocess
import sys
import time
import urllib.request

import pytest

selenium = pytest.importorskip("selenium")
# The web console's tests start Chromium with a short scratch directory and
# off the network, wherever the checkout lies; these tests share that.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "web"))
import chromium  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402

RO_HTTP = 8190
RW_HTTP = 8191
RULES = """
rule rain
    when weather.rain >= 1
    severity major
    delay 1s
    guidance Rain: the dome closes and the mount parks.
    action dome close
    action mount park
rule wind
    when weather.wind > 10
"""


def wait_for(what, condition, timeout=45.0):
    end = time.monotonic() + timeout
    last = None
    while time.monotonic() < end:
        try:
            result = condition()
            if result:
                return result
        except Exception as e:  # the page may be between two renderings
            last = e
        time.sleep(0.2)
    raise AssertionError("timed out waiting for %s (last error: %r)" % (what, last))


def gateway_up(port):
    try:
        with urllib.request.urlopen("http://127.0.0.1:%d/" % port, timeout=2) as r:
            return r.status == 200
    except OSError:
        return False


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    work = tmp_path_factory.mktemp("web")
    name = "aw%d" % (os.getpid() % 100000)
    env = dict(os.environ, HOME=str(work), CORVO_CONF_PATH=str(work / "conf"))
    (work / "conf").mkdir()
    (work / "site.alarms").write_text(RULES)
    net = ["-s", name, "--interface", "lo"]
    procs = []

    def start(label, argv):
        log = open(work / (label + ".log"), "wb")
        procs.append(subprocess.Popen(argv + net, stdout=log, stderr=subprocess.STDOUT, env=env))

    try:
        for role in ("weather", "dome", "mount"):
            start(role, [os.environ["CORVO_ALARM_DEVICE"], role])
        start("alarmd", [os.environ["CORVO_ALARMD"], "--alarms", str(work / "site.alarms"),
                         "--state", str(work / "alarmd.state")])
        web = os.environ["CORVO_WEB"]
        start("web-ro", [web, "--name", "web-ro", "--http-port", str(RO_HTTP)])
        start("web-rw", [web, "--name", "web-rw", "--http-port", str(RW_HTTP), "--allow-write"])
        for port in (RO_HTTP, RW_HTTP):
            wait_for("the gateway on port %d" % port, lambda: gateway_up(port), 60)

        def corvo(*args):
            return subprocess.run([os.environ["CORVO_TOOL"]] + net + ["--timeout", "10"] + list(args), env=env,
                                  capture_output=True, text=True, timeout=30)
        wait_for("the alarm daemon", lambda: corvo("get", "alarmd", "rules").stdout.strip() == "2")
        yield corvo
    finally:
        for p in procs:
            p.send_signal(signal.SIGINT)
        for p in procs:
            try:
                p.wait(timeout=20)
            except subprocess.TimeoutExpired:
                p.kill()


@pytest.fixture(scope="module")
def browser(tmp_path_factory):
    with chromium.driver(str(tmp_path_factory.mktemp("chromium"))) as driver:
        yield driver


def open_console(driver, port):
    driver.get("http://127.0.0.1:%d/" % port)
    wait_for("the page to be live", lambda: driver.find_element(By.ID, "conn").text == "live")


def alarm_card(driver, rule):
    return driver.find_element(By.CSS_SELECTOR, '#alarm-panel article.alarm[data-rule="%s"]' % rule)


def test_rain_shows_the_banner_and_the_alarm_panel(site, browser):
    open_console(browser, RW_HTTP)
    banner = browser.find_element(By.ID, "alarm-banner")
    assert not banner.is_displayed()
    wait_for("the empty panel", lambda: "no alarms" in browser.find_element(By.ID, "alarm-panel").text)

    site("set", "weather", "rain", "1")
    site("set", "weather", "wind", "20")
    wait_for("the banner", lambda: banner.is_displayed() and banner.get_attribute("data-major") == "1")
    assert banner.text == "Alarms: 1 major, 1 minor (2 not acknowledged)"
    assert "major" in banner.get_attribute("class")
    rain = wait_for("the actions done", lambda: (lambda c: c if "dome close: done" in c.text and
                                                 "mount park: done" in c.text else None)(alarm_card(browser, "rain")))
    assert rain.find_element(By.CSS_SELECTOR, '[data-role="guidance"]').text == \
        "Rain: the dome closes and the mount parks."
    assert rain.find_element(By.CSS_SELECTOR, '[data-role="state"]').text == "unacked"
    folder = os.environ.get("CORVO_ALARM_ARTIFACTS")
    if folder:
        os.makedirs(folder, exist_ok=True)
        browser.save_screenshot(os.path.join(folder, "alarm-banner.png"))

    # Where writes are allowed, the ack button acknowledges.
    rain.find_element(By.CSS_SELECTOR, 'button[data-role="ack"]').click()
    wait_for("acked", lambda: alarm_card(browser, "rain").find_element(
        By.CSS_SELECTOR, '[data-role="state"]').text == "acked")
    wait_for("the count", lambda: "(1 not acknowledged)" in banner.text)


def test_a_read_only_console_shows_alarms_without_buttons(site, browser):
    open_console(browser, RO_HTTP)
    card = wait_for("the wind alarm", lambda: alarm_card(browser, "wind"))
    assert browser.find_element(By.ID, "alarm-banner").is_displayed()
    assert card.find_elements(By.CSS_SELECTOR, "button") == []
