"""The console's login in a real browser on a secured site: the example
daemon with access rules (alice may set, run and lock; bob may nothing; the
tool's identity may set), a gateway with its own key and a user file, all in
this network namespace on loopback. A wrong password is refused; alice's
write goes out under her identity (the daemon's audit names her); her lock
shows on the daemon's card and holds off others; bob's write is refused and
the page shows the daemon's reason. A user whose identity is the daemon's
name is refused with the reason (no second "wheel" joins the site), and a
user removed from the user file is sent back to the login page.

Environment as for test_browser.py.
"""

import os
import shutil
import subprocess
import tempfile

import pytest

from test_browser import NET, Programs, artifact, card, gateway_up, keep_outputs, need, value_text, wait_for

import chromium  # noqa: E402  (test_browser skips without selenium)
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402

HTTP = 8183
HTTPS = 8184
# "wheel" is a user whose identity is the daemon's name.
PASSWORDS = {"alice": "alice's long secret", "bob": "bob's other secret", "wheel": "the wheel's own secret"}
RULES = "allow alice set *\nallow alice run *\nallow alice lock\nallow tester set *\n"


class SecuredPrograms(Programs):
    def corvo(self, *args, timeout=30):
        return subprocess.run([self.tool] + NET + ["--name", "tester", "--key", "tester", "--timeout", "20"]
                              + list(args), capture_output=True, text=True, timeout=timeout)


def make_key(tool, keys, name):
    done = subprocess.run([tool, "--keys", keys, "keys", "new", name], capture_output=True, text=True, timeout=30)
    assert done.returncode == 0, done.stderr


@pytest.fixture(scope="module")
def secured():
    base = os.environ.get("CORVO_WEB_WORK") or tempfile.gettempdir()
    work = tempfile.mkdtemp(prefix="corvo-web-login.", dir=base)
    keys = os.path.join(work, "keys")
    conf = os.path.join(work, "conf")
    env = dict(os.environ, HOME=os.path.join(work, "home"), CORVO_CONF_PATH=conf, CORVO_KEY_DIR=keys)
    for d in (env["HOME"], conf):
        os.makedirs(d)
    p = SecuredPrograms(work)
    saved = {k: os.environ.get(k) for k in ("CORVO_KEY_DIR", "HOME", "CORVO_CONF_PATH")}
    os.environ.update(CORVO_KEY_DIR=keys, HOME=env["HOME"], CORVO_CONF_PATH=conf)
    try:
        for name in ("wheel", "web", "alice", "bob", "tester"):
            make_key(p.tool, keys, name)
        with open(os.path.join(conf, "wheel.rules"), "w") as f:
            f.write(RULES)
        web = need("CORVO_WEB")
        users = os.path.join(work, "users")
        for user, password in PASSWORDS.items():
            done = subprocess.run([web, "adduser", "--users", users, user], input=password + "\n", text=True,
                                  capture_output=True, timeout=60)
            assert done.returncode == 0, done.stderr
        p.start("wheel", [need("CORVO_EXAMPLE_DAEMON"), "--key", "wheel"] + NET, env)
        p.start("web", [web] + NET + ["--name", "web", "--key", "web", "--users", users, "--allow-write",
                                      "--http-port", str(HTTP)], env)
        cert, key = os.path.join(work, "cert.pem"), os.path.join(work, "key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                        "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                        "-keyout", key, "-out", cert], check=True, capture_output=True, timeout=60)
        p.start("web-tls", [web] + NET + ["--name", "web", "--key", "web", "--users", users, "--allow-write",
                                          "--http-port", str(HTTPS), "--tls-cert", cert, "--tls-key", key], env)
        wait_for(lambda: gateway_up(HTTP), 60, "the gateway")  # / leads to /login
        got = p.corvo("get", "wheel", "lock")
        assert got.returncode == 0 and got.stdout.strip() in ("", '""'), (got.stdout, got.stderr)
        yield p
    finally:
        p.stop_all()
        for k, v in saved.items():
            if v is None:
                os.environ.pop(k, None)
            else:
                os.environ[k] = v
        keep_outputs(work, "login")
        shutil.rmtree(work, ignore_errors=True)


@pytest.fixture(scope="module")
def browser(secured):
    # The HTTPS gateway's certificate is made by the test.
    with chromium.driver(os.path.join(secured.work, "chromium"), ["--ignore-certificate-errors"]) as driver:
        yield driver


def log_in(driver, user, password, base="http://127.0.0.1:%d" % HTTP):
    driver.get(base + "/")
    wait_for(lambda: driver.current_url.endswith("/login"), 30, "the login page")
    field = wait_for(lambda: driver.find_element(By.ID, "login-user"), 20, "the login form")
    field.clear()
    field.send_keys(user)
    driver.find_element(By.ID, "login-password").send_keys(password, Keys.ENTER)


def edit(driver, peer, prop, text):
    form = wait_for(lambda: card(driver, peer).find_element(By.CSS_SELECTOR, 'form.edit[data-prop="%s"]' % prop),
                    30, "the field of %s" % prop)
    field = form.find_element(By.NAME, "value")
    field.clear()
    field.send_keys(text, Keys.ENTER)
    return form.find_element(By.CSS_SELECTOR, ".result")


def log_row(driver, *words):
    for row in driver.find_elements(By.CSS_SELECTOR, "#logs .logrow"):
        if all(w in row.text for w in words):
            return row
    return None


class TestLoginOnASecuredSite:
    def test_a_wrong_password_is_refused(self, secured, browser):
        log_in(browser, "alice", "not her password")
        error = browser.find_element(By.ID, "login-error")
        wait_for(lambda: error.text == "wrong user name or password", 30, "the refusal")
        assert browser.current_url.endswith("/login")
        assert browser.get_cookies() == []
        artifact(browser, "login-refused")
        # Without a session the console itself is not served.
        browser.get("http://127.0.0.1:%d/" % HTTP)
        wait_for(lambda: browser.current_url.endswith("/login"), 20, "back at the login page")

    def test_a_users_write_goes_out_under_their_identity_and_their_lock_shows(self, secured, browser):
        log_in(browser, "alice", PASSWORDS["alice"])
        wait_for(lambda: browser.find_element(By.ID, "conn").text == "live", 30, "the console, live")
        assert browser.find_element(By.ID, "user-name").text == "alice"
        # Each peer's proven identity is on its card.
        wait_for(lambda: card(browser, "wheel").find_element(By.CSS_SELECTOR, '[data-role="identity"]').text
                 == "key wheel", 20, "the wheel's identity")
        cookie = [c for c in browser.get_cookies() if c["name"] == "corvo_session"][0]
        assert cookie["httpOnly"] and cookie["sameSite"] == "Strict"
        assert browser.execute_script("return document.cookie") == ""
        result = edit(browser, "wheel", "focus", "4.5")
        wait_for(lambda: result.text == "confirmed 4.5", 30, "the confirmation")
        assert secured.corvo("get", "wheel", "focus").stdout.strip() in ("4.5", "4.500000")
        # The daemon's audit record (in the page's log stream) names alice.
        wait_for(lambda: log_row(browser, "audit: accepted set focus = 4.5", "alice"), 20, "alice in the audit")
        artifact(browser, "login-alice-wrote")
        # Alice takes the lock: every page shows her as its holder.
        lock = card(browser, "wheel").find_element(By.CSS_SELECTOR, 'form.command[data-command="lock"]')
        lock.find_element(By.TAG_NAME, "input").send_keys("120")
        lock.find_element(By.TAG_NAME, "button").click()
        badge = card(browser, "wheel").find_element(By.CSS_SELECTOR, '[data-role="lock"]')
        wait_for(lambda: badge.is_displayed() and "locked by alice until" in badge.text, 30, "the lock badge")
        held = secured.corvo("get", "wheel", "lock").stdout
        assert held.strip().strip('"').startswith("alice until ")
        artifact(browser, "lock-badge")
        # Under her lock the tool's identity is refused.
        refused = secured.corvo("set", "wheel", "focus", "1")
        assert refused.returncode != 0 and "locked by alice" in (refused.stderr + refused.stdout)
        unlock = card(browser, "wheel").find_element(By.CSS_SELECTOR, 'form.command[data-command="unlock"]')
        unlock.find_element(By.TAG_NAME, "button").click()
        wait_for(lambda: not badge.is_displayed(), 30, "the badge gone after unlock")

    def test_a_user_without_the_right_sees_the_daemons_refusal(self, secured, browser):
        browser.get("http://127.0.0.1:%d/" % HTTP)
        wait_for(lambda: browser.find_element(By.ID, "conn").text == "live", 30, "the console")
        browser.find_element(By.ID, "logout").click()
        wait_for(lambda: browser.current_url.endswith("/login"), 30, "logged out")
        assert [c for c in browser.get_cookies() if c["name"] == "corvo_session"] == []
        log_in(browser, "bob", PASSWORDS["bob"])
        wait_for(lambda: browser.find_element(By.ID, "conn").text == "live", 30, "bob's console")
        assert browser.find_element(By.ID, "user-name").text == "bob"
        before = secured.corvo("get", "wheel", "focus").stdout
        result = edit(browser, "wheel", "focus", "9.5")
        wait_for(lambda: result.text.startswith("refused: "), 30, "the refusal")
        assert "bob may not set focus" in result.text
        wait_for(lambda: log_row(browser, "audit: refused set focus", "bob"), 20, "bob in the audit")
        assert secured.corvo("get", "wheel", "focus").stdout == before
        assert value_text(browser, "wheel", "focus") != "9.5"
        artifact(browser, "login-bob-refused")

    def test_an_identity_named_like_a_daemon_is_refused_and_a_removed_user_logged_out(self, secured, browser):
        browser.get("http://127.0.0.1:%d/" % HTTP)
        wait_for(lambda: browser.find_element(By.ID, "conn").text == "live", 30, "the console")
        browser.find_element(By.ID, "logout").click()
        wait_for(lambda: browser.current_url.endswith("/login"), 30, "logged out")
        log_in(browser, "wheel", PASSWORDS["wheel"])
        wait_for(lambda: browser.find_element(By.ID, "conn").text == "live", 30, "the console of user wheel")
        before = secured.corvo("get", "wheel", "focus").stdout
        result = edit(browser, "wheel", "focus", "7.5")
        wait_for(lambda: result.text.startswith("refused"), 30, "the refusal")
        assert "a peer named wheel is on the site; wheel cannot act from the console" in result.text
        artifact(browser, "login-identity-of-a-daemon")
        # The daemon stays unambiguous: the tool reaches it by name.
        got = secured.corvo("get", "wheel", "focus")
        assert got.returncode == 0 and got.stdout == before, (got.stdout, got.stderr)
        # Removed from the user file while the page is open: sent to the login page.
        done = subprocess.run([need("CORVO_WEB"), "deluser", "--users", os.path.join(secured.work, "users"), "wheel"],
                              capture_output=True, text=True, timeout=60)
        assert done.returncode == 0, done.stderr
        wait_for(lambda: browser.current_url.endswith("/login"), 30, "the removed user at the login page")
        log_in(browser, "wheel", PASSWORDS["wheel"])
        error = browser.find_element(By.ID, "login-error")
        wait_for(lambda: error.text == "wrong user name or password", 30, "the removed user refused")

    def test_over_https_the_console_logs_in_and_is_live(self, secured, browser):
        base = "https://127.0.0.1:%d" % HTTPS
        wait_for(lambda: subprocess.run(["openssl", "s_client", "-connect", "127.0.0.1:%d" % HTTPS],
                                        input="", capture_output=True, timeout=20).returncode == 0,
                 60, "the HTTPS gateway")
        log_in(browser, "alice", PASSWORDS["alice"], base)
        wait_for(lambda: browser.find_element(By.ID, "conn").text == "live", 30, "the console over wss")
        assert browser.current_url.startswith("https://")
        cookie = [c for c in browser.get_cookies() if c["name"] == "corvo_session"][0]
        assert cookie["secure"] and cookie["httpOnly"]
        wait_for(lambda: value_text(browser, "wheel", "focus") != "", 30, "the wheel's values")
        artifact(browser, "login-https")
