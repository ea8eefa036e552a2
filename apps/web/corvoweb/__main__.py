"""corvo-web: the site live in a browser.

    corvo-web --site lab                       # http://127.0.0.1:8080
    corvo-web --site lab --allow-write --image-root /data
"""

import argparse
import asyncio
import logging
import sys

VERSION = "1.2.0"
DEFAULT_MAX_BYTES = 128 * 1024 * 1024


class OptionError(Exception):
    pass


def parse_options(argv):
    p = argparse.ArgumentParser(
        prog="corvo-web",
        description="Serves a console of the whole site to browsers: live values, "
        "commands, logs, plots and the latest camera image.",
    )
    p.add_argument("-s", "--site", default="corvo", help="site name")
    p.add_argument("-p", "--port", type=int, default=5670, help="udp port for discovery")
    p.add_argument("-i", "--interface", help="interface name for connection")
    p.add_argument("-n", "--name", default="web", help="component name")
    p.add_argument("-d", "--debug", action="store_true", help="log more")
    p.add_argument("-v", "--version", action="version", version="corvo-web " + VERSION)
    p.add_argument("--bind", default="127.0.0.1", help="address the console listens on (default 127.0.0.1)")
    p.add_argument("--http-port", type=int, default=8080, help="TCP port of the console (default 8080)")
    p.add_argument("--allow-write", action="store_true", help="let the page change values and run commands")
    p.add_argument("--image-root", help="directory under which camera images may be previewed")
    p.add_argument(
        "--image-max-bytes",
        type=int,
        default=DEFAULT_MAX_BYTES,
        help="largest image file previewed (default %d)" % DEFAULT_MAX_BYTES,
    )
    p.add_argument("--history", metavar="DB", help="archive for plots (path or postgresql:// URL)")
    p.add_argument(
        "--max-rate",
        type=float,
        default=10.0,
        help="updates per second and property sent to a browser, latest value wins (0: no limit)",
    )
    p.add_argument(
        "--allow-host", action="append", help="another name the console is reached by (Host header); repeatable"
    )
    options = p.parse_args(argv)
    check_options(options)
    return options


def check_options(options):
    from .server import is_loopback

    if not 0 < options.http_port < 65536:
        raise OptionError("--http-port must be between 1 and 65535")
    if not 0 < options.port < 65536:
        raise OptionError("--port must be between 1 and 65535")
    if options.image_max_bytes <= 0:
        raise OptionError("--image-max-bytes must be positive")
    if options.max_rate < 0:
        raise OptionError("--max-rate must not be negative")
    if options.allow_write and not is_loopback(options.bind) and not login_enabled(options):
        raise OptionError(
            "refused: --allow-write on the non-loopback address %s needs the console's login" % options.bind
        )


def login_enabled(options):
    """Whether browsers must log in. The console has no login yet, so writes
    are only ever offered on loopback."""
    return False


async def serve(options):
    from aiohttp import web

    from .history import open_history
    from .hub import Hub
    from .preview import Previews
    from .server import Gateway
    from .site import SiteAdapter

    hub = Hub(max_rate=options.max_rate)
    history = open_history(options.history)
    previews = Previews(options.image_root, options.image_max_bytes, hub.publish)
    adapter = SiteAdapter(options.site, options.port, options.interface, options.name)
    gateway = Gateway(hub, adapter, options, previews, history)
    runner = web.AppRunner(gateway.app(), access_log=None)
    await runner.setup()
    site = web.TCPSite(runner, options.bind, options.http_port)
    await site.start()
    host = options.bind if ":" not in options.bind else "[%s]" % options.bind
    print("corvo-web: console on http://%s:%d/ (site %s%s)"
          % (host, options.http_port, options.site, ", writes allowed" if options.allow_write else ""),
          flush=True)
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    import signal

    for sig in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(sig, stop.set)
    await stop.wait()
    await runner.cleanup()


def main(argv=None):
    try:
        options = parse_options(sys.argv[1:] if argv is None else argv)
    except OptionError as e:
        print("corvo-web: %s" % e, file=sys.stderr)
        return 1
    logging.basicConfig(
        level=logging.DEBUG if options.debug else logging.INFO,
        format="%(asctime)s %(name)s %(levelname)s %(message)s",
    )
    try:
        asyncio.run(serve(options))
    except OSError as e:
        print("corvo-web: %s" % e, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
