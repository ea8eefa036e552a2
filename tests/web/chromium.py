"""Headless Chromium for the browser tests, wherever the checkout lies.

Chromium puts its singleton socket in a directory of TMPDIR; a Unix socket's
path has at most 108 bytes, so a TMPDIR deep in a build tree ("Chrome
instance exited") cannot hold it. Chromium and chromedriver get a short
scratch directory of their own instead, removed when the browser quits.
"""

import contextlib
import os
import shutil
import subprocess
import tempfile

# Room left in a Unix socket path (108 bytes with its NUL) for what Chromium
# adds below its scratch directory (".org.chromium.Chromium.XXXXXX/SingletonSocket"
# and a few bytes of our own).
MAX_SCRATCH_PATH = 48

# No traffic but to the page under test.
QUIET_FLAGS = (
    "--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--no-first-run",
    "--disable-extensions", "--disable-background-networking", "--disable-component-update",
    "--disable-sync", "--disable-quic", "--disable-default-apps", "--no-default-browser-check",
)


def short_scratch_dir():
    """A new directory with a short path: under TMPDIR when that is short
    enough, else under /tmp (or /dev/shm)."""
    candidates = [tempfile.gettempdir(), "/tmp", "/dev/shm"]
    for base in candidates:
        if len(base) <= MAX_SCRATCH_PATH - 10 and os.path.isdir(base) and os.access(base, os.W_OK | os.X_OK):
            return tempfile.mkdtemp(prefix="cw", dir=base)
    raise RuntimeError("no short, writable directory for Chromium's scratch files (tried %s)" % candidates)


def binary():
    return shutil.which("chromium") or "/usr/bin/chromium"


@contextlib.contextmanager
def driver(profile, extra_flags=(), size=(1400, 900)):
    """A WebDriver on a fresh headless Chromium whose profile is `profile`."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    scratch = short_scratch_dir()
    env = dict(os.environ, TMPDIR=scratch)
    options = webdriver.ChromeOptions()
    options.binary_location = binary()
    for flag in QUIET_FLAGS + ("--user-data-dir=" + profile,) + tuple(extra_flags):
        options.add_argument(flag)
    service = Service(shutil.which("chromedriver") or "/usr/bin/chromedriver", env=env)
    try:
        d = webdriver.Chrome(service=service, options=options)
        try:
            d.set_page_load_timeout(60)
            d.set_window_size(*size)
            yield d
        finally:
            d.quit()
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


def plain(url, profile, action, size=(1400, 900), timeout=90):
    """A plain `chromium --headless` run on `url` (no WebDriver, no waiting
    flags): what it shows is the page at its load event. `action`:
    "--screenshot=FILE" or "--dump-dom". Returns the finished process."""
    scratch = short_scratch_dir()
    try:
        argv = [binary(), *QUIET_FLAGS, "--user-data-dir=" + profile, "--hide-scrollbars",
                "--window-size=%d,%d" % size, action, url]
        return subprocess.run(argv, capture_output=True, text=True, timeout=timeout,
                              env=dict(os.environ, TMPDIR=scratch))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


def screenshot(url, out, profile, **options):
    return plain(url, profile, "--screenshot=" + out, **options)


def dump_dom(url, profile, **options):
    """The page's DOM after its scripts ran (the text Chromium prints)."""
    done = plain(url, profile, "--dump-dom", **options)
    assert done.returncode == 0, done.stderr[-2000:]
    return done.stdout
