"""The console in a real browser (headless Chromium) against the real
programs: corvo-simcam, the example daemon and two gateways (one read-only,
one with --allow-write), all started here. Run inside a network namespace
(ctest does): every program uses loopback only.

Environment: CORVO_SIMCAM, CORVO_EXAMPLE_DAEMON, CORVO_FLOOD (a daemon of
100 properties), CORVO_ARCHIVER, CORVO_TOOL, CORVO_WEB (the launcher) and
CORVO_WEB_ARTIFACTS (screenshots go there).
"""

import http.server
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

import pytest

SITE = "webtest"
PORT = 5670
READ_ONLY_HTTP = 8180
WRITE_HTTP = 8181
NET = ["--interface", "lo", "--port", str(PORT), "--site", SITE]
MARKUP = '<img src=x onerror="window.__pwned=1"><script>window.__pwned=2</script>'

selenium = pytest.importorskip("selenium")
import chromium  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.common.action_chains import ActionChains  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402
from selenium.webdriver.support.ui import Select  # noqa: E402


def need(var):
    value = os.environ.get(var)
    if not value:
        pytest.skip("%s not set" % var)
    return value


def end_with_parent():
    """A child program gets SIGTERM when the test process dies (a test
    killed by its timeout leaves nothing running)."""
    import ctypes

    PR_SET_PDEATHSIG = 1
    ctypes.CDLL("libc.so.6", use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


def wait_for(condition, timeout=30.0, what="condition"):
    """Polls `condition` until it returns something true."""
    deadline = time.monotonic() + timeout
    last_error = None
    while time.monotonic() < deadline:
        try:
            result = condition()
            if result:
                return result
        except Exception as e:  # the page may be between two renderings
            last_error = e
        time.sleep(0.1)
    raise AssertionError("timed out waiting for %s (last error: %r)" % (what, last_error))


class Programs:
    def __init__(self, work):
        self.work = work
        self.procs = {}
        self.tool = need("CORVO_TOOL")

    def start(self, name, argv, env=None):
        log = open(os.path.join(self.work, name + ".out"), "wb")
        self.procs[name] = subprocess.Popen(argv, stdout=log, stderr=subprocess.STDOUT, env=env or os.environ.copy(),
                                            preexec_fn=end_with_parent)
        log.close()
        return self.procs[name]

    def corvo(self, *args, timeout=30):
        return subprocess.run([self.tool] + NET + ["--name", "tester", "--timeout", "20"] + list(args),
                              capture_output=True, text=True, timeout=timeout)

    def stop(self, name, sig=signal.SIGINT, timeout=20):
        proc = self.procs.get(name)
        if proc is None or proc.poll() is not None:
            return proc.returncode if proc else None
        proc.send_signal(sig)
        try:
            return proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            return proc.wait()

    def stop_all(self):
        for name in list(self.procs):
            if self.procs[name].poll() is None:
                self.procs[name].send_signal(signal.SIGCONT)
            self.stop(name)


def keep_outputs(work, prefix):
    """The programs' output beside the screenshots, for a failure's story."""
    folder = os.environ.get("CORVO_WEB_ARTIFACTS")
    if not folder:
        return
    os.makedirs(folder, exist_ok=True)
    for name in os.listdir(work):
        if name.endswith(".out"):
            shutil.copyfile(os.path.join(work, name), os.path.join(folder, "%s-%s.txt" % (prefix, name[:-4])))


def gateway_up(port):
    try:
        with urllib.request.urlopen("http://127.0.0.1:%d/" % port, timeout=2) as r:
            return r.status == 200
    except OSError:
        return False


@pytest.fixture(scope="module")
def site():
    base = os.environ.get("CORVO_WEB_WORK") or tempfile.gettempdir()
    work = tempfile.mkdtemp(prefix="corvo-web-test.", dir=base)
    env = dict(os.environ, HOME=os.path.join(work, "home"), CORVO_CONF_PATH=os.path.join(work, "conf"))
    os.environ.update(HOME=env["HOME"], CORVO_CONF_PATH=env["CORVO_CONF_PATH"])
    images = os.path.join(work, "images")
    for d in (env["HOME"], env["CORVO_CONF_PATH"], images):
        os.makedirs(d)
    with open(os.path.join(env["CORVO_CONF_PATH"], "camera.conf"), "w") as f:
        f.write("model = WebCam\nimgw = 320\nimgh = 240\nexpotime = 0.5\nimageroot = %s\nfilepattern = %s/img_%%H%%M%%S.fits\n" % (images, images))
    with open(os.path.join(env["CORVO_CONF_PATH"], "fitshdr.txt"), "w") as f:
        f.write('EXPTIME => camera:expotime "exposure time [s]"\nINSTRUME => camera:model "camera model"\n')
    p = Programs(work)
    p.images = images
    try:
        p.start("camera", [need("CORVO_SIMCAM")] + NET, env)
        p.start("wheel", [need("CORVO_EXAMPLE_DAEMON")] + NET, env)
        p.start("flood", [need("CORVO_FLOOD")] + NET, env)
        # The archiver starts with the gateways: its database appears after
        # they are up, and the gateway opens it at the first plot.
        p.db = os.path.join(work, "history.db")
        p.start("archiver", [need("CORVO_ARCHIVER")] + NET + ["--db", p.db], env)
        archive = ["--history", p.db]
        web = need("CORVO_WEB")
        p.start("web-ro", [web] + NET + ["--name", "web-ro", "--http-port", str(READ_ONLY_HTTP), "--image-root", images], env)
        p.start("web-rw", [web] + NET + ["--name", "web-rw", "--http-port", str(WRITE_HTTP), "--allow-write",
                                         "--image-root", images] + archive, env)
        for port in (READ_ONLY_HTTP, WRITE_HTTP):
            wait_for(lambda: gateway_up(port), 60, "the gateway on port %d" % port)
        assert p.corvo("get", "camera", "model").returncode == 0
        assert p.corvo("get", "wheel", "slot").returncode == 0
        yield p
    finally:
        p.stop_all()
        keep_outputs(work, "browser")
        shutil.rmtree(work, ignore_errors=True)


@pytest.fixture(scope="module")
def browser(site):
    with chromium.driver(os.path.join(site.work, "chromium")) as driver:
        yield driver


def artifact(driver, name):
    folder = os.environ.get("CORVO_WEB_ARTIFACTS")
    if folder:
        os.makedirs(folder, exist_ok=True)
        driver.save_screenshot(os.path.join(folder, name + ".png"))


def open_console(driver, port):
    driver.get("http://127.0.0.1:%d/" % port)
    wait_for(lambda: driver.find_element(By.ID, "conn").text == "live", 30, "the page to be live")


def card(driver, peer):
    return driver.find_element(By.CSS_SELECTOR, 'article.peer[data-peer="%s"]' % peer)


def value_text(driver, peer, prop):
    return card(driver, peer).find_element(By.CSS_SELECTOR, 'span.value[data-prop="%s"]' % prop).text


def no_horizontal_scroll(driver):
    return driver.execute_script("return document.documentElement.scrollWidth <= window.innerWidth")


class TestReadOnlyConsole:
    def test_lists_peers_with_their_properties_and_status(self, site, browser):
        open_console(browser, READ_ONLY_HTTP)
        wait_for(lambda: value_text(browser, "camera", "model") == "WebCam", 30, "the camera's model")
        wait_for(lambda: value_text(browser, "wheel", "filters"), 30, "the wheel")
        wheel = card(browser, "wheel")
        rows = {r.get_attribute("data-prop") for r in wheel.find_elements(By.CSS_SELECTOR, "tr[data-prop]")}
        assert {"slot", "focus", "label", "filters", "offsets", "temps"} <= rows
        assert value_text(browser, "wheel", "filters") == "L, R, G, B, Ha, OIII"
        assert "filter slot in the beam" in wheel.text
        assert "MOVING" in wheel.find_element(By.CSS_SELECTOR, ".statuses").text
        assert wheel.find_elements(By.CSS_SELECTOR, '[data-role="identity"]') == []  # an open site proves none
        assert not wheel.find_element(By.CSS_SELECTOR, '[data-role="lock"]').is_displayed()
        cam = card(browser, "camera")
        assert cam.find_element(By.CSS_SELECTOR, '[data-role="status"]').text == "IDLE"
        assert "UINT16" in value_text(browser, "camera", "datatype")
        assert "s" == cam.find_element(By.CSS_SELECTOR, 'tr[data-prop="expotime"] .unit').text
        # Read-only: nothing on the page can write.
        assert browser.find_elements(By.CSS_SELECTOR, "form") == []
        assert browser.find_element(By.ID, "mode").text == "read only"
        assert "move slot (int) focus (float)" in wheel.find_element(By.CSS_SELECTOR, '[data-command="move"]').text
        assert no_horizontal_scroll(browser)
        artifact(browser, "read-only-1400x900")
        browser.set_window_size(768, 1024)
        wait_for(lambda: no_horizontal_scroll(browser), 10, "no horizontal scroll at 768 px")
        artifact(browser, "read-only-768x1024")
        browser.set_window_size(1400, 900)

    def test_a_change_made_with_the_tool_appears(self, site, browser):
        open_console(browser, READ_ONLY_HTTP)
        wait_for(lambda: value_text(browser, "wheel", "focus") != "", 30, "the wheel's focus")
        done = site.corvo("set", "wheel", "focus", "7.25")
        assert done.returncode == 0, done.stderr
        # The tool returns once the daemon has broadcast the value.
        wait_for(lambda: value_text(browser, "wheel", "focus") == "7.25", 5, "7.25 in the page")

    def test_peer_text_is_shown_as_text_never_as_markup(self, site, browser):
        open_console(browser, READ_ONLY_HTTP)
        done = site.corvo("set", "wheel", "label", "--", MARKUP)
        assert done.returncode == 0, done.stderr
        wait_for(lambda: value_text(browser, "wheel", "label") == MARKUP, 10, "the label as text")
        assert browser.execute_script("return window.__pwned") is None
        assert card(browser, "wheel").find_elements(By.TAG_NAME, "img") == []
        assert card(browser, "wheel").find_elements(By.TAG_NAME, "script") == []

    def test_the_log_stream_with_its_level_filter(self, site, browser):
        from selenium.webdriver.support.ui import Select

        open_console(browser, READ_ONLY_HTTP)
        done = site.corvo("cmd", "wheel", "move", "2", "1.5")
        assert done.returncode == 0, done.stderr

        def row():
            for r in browser.find_elements(By.CSS_SELECTOR, "#logs .logrow"):
                if "move 2 1.5" in r.text:
                    return r
            return None

        line = wait_for(row, 20, "the daemon's log record")
        assert "wheel" in line.text and "info" in line.text
        Select(browser.find_element(By.ID, "log-level")).select_by_visible_text("warning")
        assert not line.is_displayed()
        Select(browser.find_element(By.ID, "log-level")).select_by_visible_text("debug")
        assert line.is_displayed()

    def test_a_page_of_another_origin_cannot_open_the_socket(self, site, browser):
        class Page(http.server.BaseHTTPRequestHandler):
            timeout = 10  # a browser's idle preconnection must not hold the server

            def do_GET(self):
                body = b"<!doctype html><title>other</title>"
                self.send_response(200)
                self.send_header("Content-Type", "text/html")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Page)
        server.daemon_threads = True
        thread = threading.Thread(target=server.serve_forever, daemon=True)
        thread.start()
        try:
            browser.get("http://127.0.0.1:%d/" % server.server_port)
            outcome = browser.execute_async_script(
                """
                const done = arguments[arguments.length - 1];
                const ws = new WebSocket("ws://127.0.0.1:%d/ws");
                let got = "";
                ws.onmessage = (e) => { got += e.data; };
                ws.onopen = () => setTimeout(() => done("open " + got.slice(0, 40)), 500);
                ws.onerror = () => done("refused");
                """ % READ_ONLY_HTTP)
            assert outcome == "refused"
        finally:
            server.shutdown()
            server.server_close()


class TestWritingConsole:
    def test_a_typed_value_reaches_the_daemon_and_is_confirmed(self, site, browser):
        open_console(browser, WRITE_HTTP)
        assert browser.find_element(By.ID, "mode").text == "writes allowed"
        form = wait_for(lambda: card(browser, "wheel").find_element(By.CSS_SELECTOR, 'form.edit[data-prop="focus"]'))
        field = form.find_element(By.NAME, "value")
        field.send_keys("3.5", Keys.ENTER)
        result = form.find_element(By.CSS_SELECTOR, ".result")
        wait_for(lambda: result.text == "confirmed 3.5", 20, "the confirmation")
        assert site.corvo("get", "wheel", "focus").stdout.strip() in ("3.5", "3.500000")
        wait_for(lambda: value_text(browser, "wheel", "focus") == "3.5", 10, "the new value")

    def test_a_value_the_tool_would_refuse_is_refused_with_the_reason(self, site, browser):
        open_console(browser, WRITE_HTTP)
        form = wait_for(lambda: card(browser, "wheel").find_element(By.CSS_SELECTOR, 'form.edit[data-prop="slot"]'))
        before = site.corvo("get", "wheel", "slot").stdout
        form.find_element(By.NAME, "value").send_keys("12abc", Keys.ENTER)
        result = form.find_element(By.CSS_SELECTOR, ".result")
        wait_for(lambda: result.text.startswith("refused: "), 20, "the refusal")
        assert "integer" in result.text
        # A read-only property offers no field at all.
        assert card(browser, "wheel").find_elements(By.CSS_SELECTOR, 'form.edit[data-prop="filters"]') == []
        assert site.corvo("get", "wheel", "slot").stdout == before

    def test_an_exposure_shows_progress_then_the_image_and_its_header(self, site, browser):
        open_console(browser, WRITE_HTTP)
        form = wait_for(lambda: card(browser, "camera").find_element(By.CSS_SELECTOR, 'form.edit[data-prop="expotime"]'))
        form.find_element(By.NAME, "value").send_keys("3", Keys.ENTER)
        wait_for(lambda: form.find_element(By.CSS_SELECTOR, ".result").text == "confirmed 3", 20, "expotime 3")
        view = browser.find_element(By.CSS_SELECTOR, 'section.camera[data-peer="camera"]')
        before = view.get_attribute("data-image")
        card(browser, "camera").find_element(By.CSS_SELECTOR, 'form.command[data-command="expose"] button').click()
        bar = view.find_element(By.TAG_NAME, "progress")
        wait_for(lambda: view.get_attribute("data-phase") == "expose" and float(bar.get_attribute("value")) > 0,
                 20, "the progress bar moving")
        assert "exposing" in view.find_element(By.CSS_SELECTOR, ".phase").text
        artifact(browser, "exposure-in-progress")
        wait_for(lambda: (view.get_attribute("data-image") or "").startswith("/image/")
                 and view.get_attribute("data-image") != before, 60, "the new image")
        img = view.find_element(By.TAG_NAME, "img")
        wait_for(lambda: browser.execute_script("return arguments[0].complete && arguments[0].naturalWidth", img) == 320,
                 20, "the preview loaded")
        header = view.find_element(By.CSS_SELECTOR, "table.fitshdr")
        keys = browser.execute_script("return [...arguments[0].querySelectorAll('td.k')].map(e => e.textContent)", header)
        assert {"SIMPLE", "NAXIS1", "EXPTIME", "INSTRUME"} <= set(keys)
        stats = view.find_element(By.CSS_SELECTOR, "table.stats").text
        assert "320\u00d7240" in stats
        filename = view.find_element(By.CSS_SELECTOR, ".filename").text
        assert filename.startswith(site.images) and os.path.isfile(filename)
        browser.execute_script("arguments[0].open = true", view.find_element(By.CSS_SELECTOR, "details"))
        artifact(browser, "camera-image")

    def test_a_plot_of_a_numeric_property(self, site, browser):
        open_console(browser, WRITE_HTTP)
        row = card(browser, "wheel").find_element(By.CSS_SELECTOR, 'tr[data-prop="focus"]')
        row.find_element(By.CSS_SELECTOR, "button.plot-btn").click()
        for v in ("1.5", "2.5"):
            assert site.corvo("set", "wheel", "focus", v).returncode == 0
        wait_for(lambda: browser.find_elements(By.CSS_SELECTOR, "#plot canvas"), 20, "the chart")
        assert "focus" in browser.find_element(By.ID, "plot-title").text
        n = wait_for(lambda: browser.execute_script(
            "return document.querySelector('#plot .u-legend') && plot.chart.data[0].length >= 3 && plot.chart.data[0].length"),
            20, "values in the plot")
        assert n >= 3
        artifact(browser, "plot")


    def test_a_plot_starts_from_the_archive(self, site, browser):
        open_console(browser, WRITE_HTTP)
        assert browser.execute_script("return hello.history") is True
        for v in ("4.25", "5.25", "6.25"):
            assert site.corvo("set", "wheel", "focus", v).returncode == 0
        assert site.corvo("cmd", "archiver", "flush").returncode == 0
        # A fresh page knows no live values of before it opened: what it
        # plots of them comes from the archive.
        open_console(browser, WRITE_HTTP)
        row = card(browser, "wheel").find_element(By.CSS_SELECTOR, 'tr[data-prop="focus"]')

        answers = []

        def archived():
            row.find_element(By.CSS_SELECTOR, "button.plot-btn").click()
            note = wait_for(lambda: not browser.find_element(By.ID, "plot-note").text.startswith("loading")
                            and browser.find_element(By.ID, "plot-note").text, 20, "the archive's answer")
            answers.append(note)
            values = browser.execute_script("return plot.series[0].archived.v")
            return "archived" in note and {4.25, 5.25, 6.25} <= set(values) and note

        try:
            note = wait_for(archived, 60, "the archived values in the plot")
        finally:
            print("the page's answers from the archive: %r" % answers[-3:])
        assert int(note.split()[0]) >= 3
        artifact(browser, "plot-with-archive")


def click_plot(driver, peer, prop, add=False):
    row = card(driver, peer).find_element(By.CSS_SELECTOR, 'tr[data-prop="%s"]' % prop)
    row.find_element(By.CSS_SELECTOR, "button.plot-add" if add else "button.plot-btn:not(.plot-add)").click()


class TestPlots:
    def test_tick_labels_of_large_values_are_not_cut(self, site, browser):
        open_console(browser, WRITE_HTTP)
        # (The page shows the newest value of each 0.1 s: the largest comes last.)
        for v in ("0", "250000", "1000000"):
            assert site.corvo("set", "wheel", "focus", v).returncode == 0
        click_plot(browser, "wheel", "focus")
        wait_for(lambda: browser.execute_script("return plot.chart && plot.chart.data[1].includes(1000000)"), 20,
                 "the values in the plot")
        # The y axis is as wide as its widest label (uPlot's own 50 px showed "0,000").
        size, needed, labels = wait_for(lambda: browser.execute_script("""
            const u = plot.chart, a = u.axes[1];
            if (!a._values || !a._values.length) return null;
            u.ctx.font = a.font[0];
            const widest = Math.max(...a._values.map((v) => u.ctx.measureText(String(v)).width / devicePixelRatio));
            return [a._size, widest + a.ticks.size + a.gap, a._values];"""), 20, "the y axis")
        assert any("000,000" in str(v) or "000000" in str(v) for v in labels), labels
        assert size >= needed, (size, needed, labels)
        artifact(browser, "plot-large-values")

    def test_several_series_a_zoom_read_from_the_archive_and_csv(self, site, browser):
        open_console(browser, WRITE_HTTP)
        for slot, focus in ((1, "11.5"), (2, "12.5"), (3, "13.5")):
            assert site.corvo("set", "wheel", "slot", str(slot)).returncode == 0
            assert site.corvo("set", "wheel", "focus", focus).returncode == 0
        assert site.corvo("cmd", "archiver", "flush").returncode == 0
        open_console(browser, WRITE_HTTP)  # a fresh page: the values come from the archive
        click_plot(browser, "wheel", "focus")
        click_plot(browser, "wheel", "slot", add=True)
        assert browser.execute_script("return plot.chart.series.length") == 3  # time and two series

        def archived():
            got = browser.execute_script("return plot.series.map((p) => p.archived.v)")
            return {11.5, 12.5, 13.5} <= set(got[0]) and {1, 2, 3} <= set(got[1]) and got

        wait_for(archived, 60, "both series from the archive")
        csv = browser.execute_script("return plotCsv()").split("\r\n")
        assert csv[0] == '"time (UTC)","wheel focus [mm]","wheel slot"', csv[0]
        rows = [r.split(",") for r in csv[1:] if r]
        assert {"11.5", "12.5", "13.5"} <= {r[1] for r in rows} and {"1", "2", "3"} <= {r[2] for r in rows}
        assert all(r[0].endswith("Z") for r in rows)
        # Zoom: a drag across the plot asks the archive for just that range.
        over = browser.find_element(By.CSS_SELECTOR, "#plot .u-over")
        width = over.size["width"]
        ActionChains(browser).move_to_element_with_offset(over, width // 2 - 10, 0).click_and_hold() \
            .move_by_offset(9, 0).release().perform()
        zoom = wait_for(lambda: browser.execute_script("return plot.zoom"), 10, "the zoom")
        assert 0 < zoom["until"] - zoom["since"] < 3600 / 2
        wait_for(lambda: " to " in browser.find_element(By.ID, "plot-note").text, 20, "the zoomed range read")
        browser.find_element(By.ID, "plot-reset").click()
        assert browser.execute_script("return plot.zoom") is None
        # A year back: the archive is asked for the whole year, with a point budget.
        Select(browser.find_element(By.ID, "plot-range")).select_by_visible_text("year")
        wait_for(lambda: "the last year" in browser.find_element(By.ID, "plot-note").text, 20, "the year read")
        artifact(browser, "plot-two-series")


class TestFindingThings:
    def test_filter_natural_order_and_folding(self, site, browser):
        open_console(browser, READ_ONLY_HTTP)
        wait_for(lambda: value_text(browser, "flood", "p100") is not None, 30, "the flood daemon")
        names = [r.get_attribute("data-prop") for r in card(browser, "flood").find_elements(By.CSS_SELECTOR, "tr[data-prop]")]
        assert names[:12] == ["p1", "p2", "p3", "p4", "p5", "p6", "p7", "p8", "p9", "p10", "p11", "p12"], names[:12]
        order = [c.get_attribute("data-peer") for c in browser.find_elements(By.CSS_SELECTOR, "#peers article.peer:not(.client)")]
        assert order == sorted(order), order
        box = browser.find_element(By.ID, "filter")
        box.send_keys("p10")
        flood = card(browser, "flood")
        shown = [r.get_attribute("data-prop") for r in flood.find_elements(By.CSS_SELECTOR, "tr[data-prop]") if r.is_displayed()]
        assert shown == ["p10", "p100"], shown
        assert not card(browser, "wheel").is_displayed()
        box.clear()
        box.send_keys("WHEEL")  # a peer's name shows its whole card
        assert card(browser, "wheel").is_displayed() and not card(browser, "flood").is_displayed()
        assert len([r for r in card(browser, "wheel").find_elements(By.CSS_SELECTOR, "tr[data-prop]") if r.is_displayed()]) >= 6
        box.send_keys(Keys.CONTROL, "a", Keys.DELETE)
        wait_for(lambda: card(browser, "flood").is_displayed(), 5, "every card back")
        # A folded card keeps only its header, and stays folded in a new page.
        card(browser, "flood").find_element(By.CSS_SELECTOR, '[data-role="fold"]').click()
        assert not card(browser, "flood").find_element(By.CSS_SELECTOR, "table.props").is_displayed()
        open_console(browser, READ_ONLY_HTTP)
        wait_for(lambda: "folded" in card(browser, "flood").get_attribute("class"), 20, "still folded")
        card(browser, "flood").find_element(By.CSS_SELECTOR, '[data-role="fold"]').click()
        assert card(browser, "flood").find_element(By.CSS_SELECTOR, "table.props").is_displayed()


class TestAGatewayStartedLater:
    """A camera with no "imageroot" of its own, an image taken before a
    gateway started, then that gateway stopped with SIGINT under an open
    page."""

    def test_the_earlier_image_the_effective_root_then_a_prompt_going_away(self, site, browser):
        home = os.path.join(site.work, "home")
        env = dict(os.environ, HOME=home, CORVO_CONF_PATH=os.path.join(site.work, "conf2"))
        os.makedirs(env["CORVO_CONF_PATH"], exist_ok=True)
        with open(os.path.join(env["CORVO_CONF_PATH"], "cam2.conf"), "w") as f:
            f.write("imgw = 64\nimgh = 48\nexpotime = 0.2\nfilepattern = cam2_%H%M%S.fits\n")
        site.start("cam2", [need("CORVO_SIMCAM")] + NET + ["--name", "cam2"], env)
        root = os.path.join(home, "corvo-images")
        wait_for(lambda: site.corvo("get", "cam2", "imageroot").stdout.strip().strip('"') == root, 30,
                 "cam2's effective image root")
        done = site.corvo("cmd", "cam2", "expose")
        assert done.returncode == 0, done.stderr
        filename = wait_for(lambda: site.corvo("get", "cam2", "filename").stdout.strip().strip('"'), 30, "the image")
        assert filename.startswith(root)
        port = 8182
        late = site.start("web-late", [need("CORVO_WEB")] + NET + ["--name", "web-late", "--http-port", str(port),
                                                                  "--image-root", root], env)
        wait_for(lambda: gateway_up(port), 60, "the late gateway")
        try:
            open_console(browser, port)
            view = wait_for(lambda: browser.find_element(By.CSS_SELECTOR, 'section.camera[data-peer="cam2"]'), 30, "cam2")
            wait_for(lambda: (view.get_attribute("data-image") or "").startswith("/image/"), 30, "the earlier image")
            assert view.find_element(By.CSS_SELECTOR, ".filename").text == filename
            header = browser.execute_script(
                "return [...arguments[0].querySelectorAll('table.fitshdr tr')].map(r => [...r.cells].map(c => c.textContent))",
                view)
            assert ["SIMPLE", "T"] == header[0][:2], header[:3]
            assert value_text(browser, "cam2", "imageroot") == root
            artifact(browser, "late-gateway")
            # SIGINT with the page open: the page is told "going away" and the gateway ends at once.
            sent = time.monotonic()
            late.send_signal(signal.SIGINT)
            code = late.wait(20)
            took = time.monotonic() - sent
            print("the gateway ended %.2f s after SIGINT" % took)
            assert code == 0
            wait_for(lambda: browser.execute_script("return goneAway"), 10, "the going-away close")
            assert "gateway has stopped" in browser.find_element(By.ID, "stale-banner").text
            assert took < 5.0, took  # no wait for the page to leave (it took 10-15 s)
        finally:
            site.stop("web-late")
            site.stop("cam2")


class TestRemoteCamera:
    def test_a_camera_elsewhere_is_previewed_through_the_site_and_downloaded(self, site, browser):
        # This gateway has no image root: the camera's disk is not its own,
        # and every image comes over the site, checksum verified.
        port = 8183
        site.start("web-far", [need("CORVO_WEB")] + NET + ["--name", "web-far", "--http-port", str(port)])
        wait_for(lambda: gateway_up(port), 60, "the remote gateway")
        try:
            open_console(browser, port)
            view = wait_for(lambda: browser.find_element(By.CSS_SELECTOR, 'section.camera[data-peer="camera"]'), 30,
                            "the camera")
            assert site.corvo("set", "camera", "expotime", "0.2").returncode == 0
            done = site.corvo("--wait", "filename", "cmd", "camera", "expose")
            assert done.returncode == 0, done.stderr
            filename = site.corvo("get", "camera", "filename").stdout.strip().strip('"')
            # The page shows a file's name and its preview together. Waiting
            # for any change of the preview was not enough: a gateway that has
            # just joined first fetches the camera's last image of an earlier
            # test, which was taken for this one's under load.
            wait_for(lambda: view.find_element(By.CSS_SELECTOR, ".filename").text == filename
                     and (view.get_attribute("data-image") or "").startswith("/image/"), 60,
                     "the fetched image of this exposure")
            img = view.find_element(By.TAG_NAME, "img")
            wait_for(lambda: browser.execute_script("return arguments[0].complete && arguments[0].naturalWidth",
                                                    img) == 320, 20, "the preview loaded")
            link = view.find_element(By.CSS_SELECTOR, "a.download")
            assert link.is_displayed()
            artifact(browser, "remote-camera")
            url = link.get_attribute("href")
            with open(filename, "rb") as f:
                original = f.read()
            with urllib.request.urlopen(url, timeout=10) as r:
                assert r.status == 200 and r.read() == original
                assert r.headers["Content-Disposition"] == 'attachment; filename="%s"' % os.path.basename(filename)
            ranged = urllib.request.Request(url, headers={"Range": "bytes=100-2979"})
            with urllib.request.urlopen(ranged, timeout=10) as r:
                assert r.status == 206 and r.read() == original[100:2980]
                assert r.headers["Content-Range"] == "bytes 100-2979/%d" % len(original)
        finally:
            site.stop("web-far")


def nested_namespace(work):
    """A network namespace inside the test's, joined to it by a veth pair:
    c0 (10.78.0.1) here, c1 (10.78.0.2) there. Returns the process that
    holds it and the command prefix that runs a program inside; skips where
    no namespace can be made (an ordinary user's run)."""
    if os.geteuid() != 0 or not shutil.which("nsenter") or not shutil.which("ip"):
        pytest.skip("a nested network namespace needs root inside the test's namespace")
    holder = subprocess.Popen(["unshare", "-n", "sleep", "600"], preexec_fn=end_with_parent)
    ours = os.readlink("/proc/self/ns/net")
    try:
        wait_for(lambda: os.readlink("/proc/%d/ns/net" % holder.pid) != ours, 10, "the nested namespace")
        inside = ["nsenter", "-t", str(holder.pid), "-n", "--"]
        for command in (["ip", "link", "add", "c0", "type", "veth", "peer", "name", "c1", "netns", str(holder.pid)],
                        ["ip", "addr", "add", "10.78.0.1/24", "dev", "c0"], ["ip", "link", "set", "c0", "up"],
                        inside + ["ip", "link", "set", "lo", "up"],
                        inside + ["ip", "addr", "add", "10.78.0.2/24", "dev", "c1"],
                        inside + ["ip", "link", "set", "c1", "up"]):
            subprocess.run(command, check=True, capture_output=True, timeout=20)
    except BaseException:
        holder.kill()
        holder.wait()
        raise
    return holder, inside


class TestCameraInAnotherNamespace:
    def test_the_gateway_previews_a_camera_of_another_namespace(self, site, browser):
        work = os.path.join(site.work, "far")
        conf, root = os.path.join(work, "conf"), os.path.join(work, "images")
        os.makedirs(conf)
        os.makedirs(root)
        with open(os.path.join(conf, "farcam.conf"), "w") as f:
            f.write("imgw = 200\nimgh = 150\nexpotime = 0.1\nimageroot = %s\nfilepattern = far_%%H%%M%%S.fits\n" % root)
        open(os.path.join(conf, "fitshdr.txt"), "w").close()
        holder, inside = nested_namespace(work)
        far = ["--interface", "c0", "--port", str(PORT), "--site", SITE]
        port = 8184
        try:
            site.start("farcam", inside + [need("CORVO_SIMCAM"), "--interface", "c1", "--port", str(PORT),
                                           "--site", SITE, "--name", "farcam"],
                       dict(os.environ, CORVO_CONF_PATH=conf))
            site.start("web-ns", [need("CORVO_WEB")] + far + ["--name", "web-ns", "--http-port", str(port)])
            wait_for(lambda: gateway_up(port), 60, "the gateway")
            tool = [site.tool] + far + ["--name", "tester-ns", "--timeout", "20"]
            open_console(browser, port)
            view = wait_for(lambda: browser.find_element(By.CSS_SELECTOR, 'section.camera[data-peer="farcam"]'), 30,
                            "the camera of the other namespace")
            done = subprocess.run(tool + ["--wait", "filename", "cmd", "farcam", "expose"], capture_output=True,
                                  text=True, timeout=60)
            assert done.returncode == 0, done.stderr
            saved = time.monotonic()
            wait_for(lambda: (view.get_attribute("data-image") or "").startswith("/image/"), 60, "the preview")
            img = view.find_element(By.TAG_NAME, "img")
            wait_for(lambda: browser.execute_script("return arguments[0].complete && arguments[0].naturalWidth",
                                                    img) == 200, 20, "the preview loaded")
            # A figure for the report, not a bound: the machine may be loaded.
            print("from the saved image to its preview in the browser: %.2f s" % (time.monotonic() - saved))
            artifact(browser, "camera-in-another-namespace")
            (name,) = os.listdir(root)
            with open(os.path.join(root, name), "rb") as f, \
                    urllib.request.urlopen(view.find_element(By.CSS_SELECTOR, "a.download").get_attribute("href"),
                                           timeout=10) as r:
                assert r.read() == f.read()
        finally:
            site.stop("web-ns")
            site.stop("farcam")
            holder.kill()
            holder.wait()


class TestWithoutWebDriver:
    def test_a_plain_headless_chromium_sees_the_page_connect_and_render(self, site, tmp_path):
        # As a person would take a screenshot from the command line.
        shot = str(tmp_path / "console.png")
        done = chromium.screenshot("http://127.0.0.1:%d/" % READ_ONLY_HTTP, shot, str(tmp_path / "profile"))
        assert done.returncode == 0, done.stderr[-2000:]
        assert os.path.getsize(shot) > 10000
        dom = chromium.dump_dom("http://127.0.0.1:%d/" % READ_ONLY_HTTP, str(tmp_path / "profile2"))
        assert 'id="conn" class="badge good">live<' in dom, dom[:3000]
        assert 'data-peer="wheel"' in dom and 'data-peer="camera"' in dom
        folder = os.environ.get("CORVO_WEB_ARTIFACTS")
        if folder:
            os.makedirs(folder, exist_ok=True)
            shutil.copyfile(shot, os.path.join(folder, "plain-chromium-screenshot.png"))


class TestABusySite:
    def test_three_pages_show_the_final_values_of_a_burst_within_a_second(self, site, browser):
        """100 properties at 50 Hz for 6 s, three pages open: each shows
        every final value within 1 s of the burst's end, and none calls
        itself live while it is behind. (On a machine too loaded for the
        bound the wave is tried once more.)"""
        windows = [browser.current_window_handle]
        for _ in range(2):
            browser.switch_to.new_window("window")
            windows.append(browser.current_window_handle)
        try:
            for w in windows:
                browser.switch_to.window(w)
                open_console(browser, READ_ONLY_HTTP)
                wait_for(lambda: value_text(browser, "flood", "p100") is not None, 30, "the flood daemon")
            for attempt in range(2):
                delays = self.wave(site, browser, windows, 50, 6 + attempt)  # each wave ends on a new value
                if max(delays) <= 1.0:
                    break
            # The bound is the goal's, for a machine with its cores to spare:
            # starved of CPU (other work queued on every core) three renderers
            # fall behind whatever the gateway does, and then the pages say
            # so (checked above) instead of showing "live".
            load = os.getloadavg()[0] / (os.cpu_count() or 1)
            if max(delays) > 1.0:
                assert load > 2.0, delays
                print("over the 1 s bound with %.1f runnable tasks per core: not held against the gateway" % load)
        finally:
            for w in windows[1:]:
                browser.switch_to.window(w)
                browser.close()
            browser.switch_to.window(windows[0])

    def test_a_page_that_cannot_keep_up_says_how_far_behind_it_is(self, site, browser):
        open_console(browser, READ_ONLY_HTTP)
        wait_for(lambda: value_text(browser, "flood", "p100") is not None, 30, "the flood daemon")
        # Every batch now costs the page 0.8 s of work.
        browser.execute_script("""
            const drawn = flushValues;
            flushValues = function () {
              const until = Date.now() + 800;
              while (Date.now() < until) {}
              drawn();
            };""")
        done = site.corvo("cmd", "flood", "wave", "50", "8")
        assert done.returncode == 0, done.stderr
        badge = browser.find_element(By.ID, "conn")
        text = wait_for(lambda: badge.text.startswith("behind by") and badge.text, 30, "the page to own up")
        assert int(text.split()[2]) >= 1 and "behind by" in browser.find_element(By.ID, "stale-banner").text
        artifact(browser, "behind")
        open_console(browser, READ_ONLY_HTTP)  # a fresh page keeps up again
        wait_for(lambda: site.corvo("get", "flood", "p1").stdout.strip() == "400", 60, "the wave's end")

    # Timed in the page when it has drawn a batch (not by a timer of its own).
    WATCH = """
        window.__final = null; window.__liveBehind = 0; window.__maxLag = 0;
        const want = arguments[0];
        if (!window.__drawn) {
          window.__drawn = flushValues;
          window.__judged = updateStale;
        }
        updateStale = function () {
          window.__judged();
          if (document.getElementById("conn").textContent === "live" && lag >= 1) window.__liveBehind++;
        };
        flushValues = function () {
          window.__drawn();
          window.__maxLag = Math.max(window.__maxLag, lag);
          if (window.__final) return;
          const cells = document.querySelectorAll('article.peer[data-peer="flood"] span.value[data-prop^="p"]');
          if (cells.length === 100 && [...cells].every((e) => e.textContent === want)) window.__final = Date.now() / 1000;
        };"""

    def wave(self, site, browser, windows, rate, seconds):
        """One wave; the delays from its end to each page showing every final value."""
        before = site.corvo("get", "flood", "waveend").stdout.strip()
        for w in windows:
            browser.switch_to.window(w)
            browser.execute_script(self.WATCH, str(int(rate * seconds)))
        done = site.corvo("cmd", "flood", "wave", str(rate), str(seconds))
        assert done.returncode == 0, done.stderr
        end = float(wait_for(lambda: site.corvo("get", "flood", "waveend").stdout.strip() not in ("", before)
                             and site.corvo("get", "flood", "waveend").stdout.strip(), 60, "the wave's end"))
        finals, lags = [], []
        for w in windows:
            browser.switch_to.window(w)
            finals.append(wait_for(lambda: browser.execute_script("return window.__final"), 30, "the final values"))
            assert browser.execute_script("return window.__liveBehind") == 0
            lags.append(browser.execute_script("return window.__maxLag"))
        delays = [f - end for f in finals]
        print("final values shown %s s after the burst's end; largest lag told to the pages %s s; load %s"
              % (", ".join("%.3f" % d for d in delays), ", ".join("%.2f" % g for g in lags),
                 open("/proc/loadavg").read().split()[0]))
        return delays


class TestLiveness:
    def test_a_gateway_that_stops_answering_is_shown_stale(self, site, browser):
        open_console(browser, READ_ONLY_HTTP)
        site.procs["web-ro"].send_signal(signal.SIGSTOP)
        try:
            stopped = time.monotonic()
            wait_for(lambda: browser.find_element(By.ID, "stale-banner").is_displayed(), 20, "the stale banner")
            took = time.monotonic() - stopped
            assert browser.find_element(By.ID, "conn").text in ("stale", "disconnected")
            artifact(browser, "stale")
        finally:
            site.procs["web-ro"].send_signal(signal.SIGCONT)
        wait_for(lambda: browser.find_element(By.ID, "conn").text == "live", 30, "live again")
        print("stale shown %.2f s after the gateway stopped" % took)

    def test_a_daemon_that_goes_silent_is_greyed_then_back(self, site, browser):
        open_console(browser, READ_ONLY_HTTP)
        wait_for(lambda: "silent" not in card(browser, "flood").get_attribute("class"), 30, "the flood daemon heard")
        site.procs["flood"].send_signal(signal.SIGSTOP)  # as a cut cable: no word, nothing closed
        try:
            wait_for(lambda: "silent" in card(browser, "flood").get_attribute("class"), 25, "the card greyed")
            assert card(browser, "flood").find_element(By.CSS_SELECTOR, ".silent-badge").is_displayed()
            assert "gone" not in card(browser, "flood").get_attribute("class")
            artifact(browser, "daemon-silent")
        finally:
            site.procs["flood"].send_signal(signal.SIGCONT)
        # Heard again: a broadcast of it reaches the gateway.
        assert site.corvo("cmd", "flood", "wave", "2", "1").returncode == 0
        wait_for(lambda: "silent" not in card(browser, "flood").get_attribute("class"), 25, "the card back")

    def test_a_daemon_stopped_with_sigint_is_shown_gone_then_dropped(self, site, browser):
        open_console(browser, READ_ONLY_HTTP)
        wait_for(lambda: "gone" not in card(browser, "wheel").get_attribute("class"), 30, "the wheel present")
        old = wait_for(lambda: wheel_ids(browser), 10, "the wheel's id")[0]
        assert site.corvo("set", "wheel", "slot", "2").returncode == 0
        wait_for(lambda: live_series_of(browser, old), 10, "the wheel's live values recorded")
        assert site.stop("wheel", signal.SIGINT) == 0
        wait_for(lambda: "gone" in card(browser, "wheel").get_attribute("class"), 20, "the wheel gone")
        assert card(browser, "wheel").find_element(By.CSS_SELECTOR, ".gone-badge").is_displayed()
        artifact(browser, "daemon-gone")
        # The gateway keeps its last 64 gone peers and then tells the page to
        # drop the oldest: the page forgets its live values too (a page open
        # for days on a site whose programs come and go under new names would
        # otherwise keep every series it ever saw).
        browser.execute_script('handle({type: "drop", id: arguments[0]})', old)
        assert wheel_ids(browser) == [] and live_series_of(browser, old) == []


def wheel_ids(driver):
    return driver.execute_script(
        'return [...peers.entries()].filter(([id, e]) => e.desc.name === "wheel").map(([id]) => id)')


def live_series_of(driver, peer_id):
    return driver.execute_script('return [...series.keys()].filter((k) => k.startsWith(arguments[0] + "\\u0000"))',
                                 peer_id)


if __name__ == "__main__":
    sys.exit(pytest.main([__file__, "-v"]))
