"""The installed package works from its prefix alone: installs the build into
a fresh prefix, then, with only that prefix's lib/python3/dist-packages added
to the interpreter's own library (no site packages, no PYTHONPATH, no
LD_LIBRARY_PATH), imports corvo, runs a small Python daemon and talks to it
with a Python client. Run inside a network namespace (ctest does):

    /usr/bin/python3 -S -E install_check.py CMAKE BUILD_DIR PREFIX
"""

import os
import shutil
import signal
import subprocess
import sys

DAEMON = r'''
import sys
sys.path.insert(0, sys.argv[1])
import corvo

class Installed(corvo.Daemon):
    name = "installed"
    level = corvo.Property(int, description="a level", writable=True, limits=(0, 10))

    @corvo.command(description="raises the level by one")
    def raise_level(self):
        self.level = self.level + 1

sys.exit(Installed().run([sys.argv[0]] + sys.argv[2:]))
'''


def fail(message):
    print("install check: " + message, file=sys.stderr)
    sys.exit(1)


def main():
    cmake, build, prefix = sys.argv[1:4]
    shutil.rmtree(prefix, ignore_errors=True)
    done = subprocess.run([cmake, "--install", build, "--prefix", prefix], capture_output=True, text=True)
    if done.returncode != 0:
        fail("cmake --install failed:\n" + done.stdout + done.stderr)
    packages = os.path.join(prefix, "lib", "python3", "dist-packages")
    if not os.path.isdir(os.path.join(packages, "corvo")):
        fail("no corvo package in " + packages)
    for variable in ("LD_LIBRARY_PATH", "PYTHONPATH"):
        if variable in os.environ:
            fail(variable + " is set; the check must run without it")

    # Only the interpreter's own library and the prefix: not this script's
    # folder, not the build tree, not the system's site packages.
    sys.path[:] = [p for p in sys.path if p.startswith(sys.base_prefix + "/lib") and "-packages" not in p]
    sys.path.insert(0, packages)
    import corvo
    from corvo import _corvo
    for module in (corvo, _corvo):
        if not os.path.realpath(module.__file__).startswith(os.path.realpath(prefix) + "/"):
            fail("%s was imported from %s, not from the prefix" % (module.__name__, module.__file__))

    site = "install%d" % os.getpid()
    net = ["-s", site, "-p", "5911", "-i", "lo"]
    daemon = subprocess.Popen([sys.executable, "-S", "-E", "-c", DAEMON, packages] + net,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    try:
        with corvo.Site(site=site, port=5911, interface="lo") as s:
            if s.set("installed", "level", 3, timeout=60) != 3:
                fail("the set was not confirmed with 3")
            if s.command("installed", "raise_level", wait="level", timeout=60) != 4:
                fail("the command did not raise the level to 4")
            with open("/proc/self/maps") as f:
                libraries = {line.split()[-1] for line in f if "libcorvo.so" in line}
            if not libraries or not all(os.path.realpath(lib).startswith(os.path.realpath(prefix) + "/")
                                        for lib in libraries):
                fail("libcorvo was loaded from %s, not from the prefix" % sorted(libraries))
    finally:
        daemon.send_signal(signal.SIGINT)
        try:
            output = daemon.communicate(timeout=30)[0].decode("utf-8", "replace")
        except subprocess.TimeoutExpired:
            daemon.kill()
            output = daemon.communicate()[0].decode("utf-8", "replace")
    if daemon.returncode != 0:
        fail("the installed daemon ended with %s:\n%s" % (daemon.returncode, output))
    shutil.rmtree(prefix, ignore_errors=True)
    print("install check: corvo from %s works (%s)" % (packages, ", ".join(sorted(libraries))))


if __name__ == "__main__":
    main()
