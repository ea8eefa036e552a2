"""corvo-web: the site live in a browser.

    corvo-web --site lab                       # http://127.0.0.1:8080
    corvo-web --site lab --allow-write --image-root /data
    corvo-web --site lab --key console --users /etc/corvo/web-users \
              --bind 0.0.0.0 --allow-write     # login; each user acts as their identity
    corvo-web adduser --users FILE NAME [--identity KEY]
    corvo-web deluser --users FILE NAME
"""

import argparse
import asyncio
import logging
import sys

VERSION = "2.1.0"
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
    p.add_argument("--gossip", metavar="ENDPOINTS",
                   help="gossip endpoints to connect to (tcp://HOST:PORT[,...]), as every program takes it")
    p.add_argument("--gossip-bind", metavar="ENDPOINT", help="gossip endpoint to bind (tcp://A.B.C.D:PORT)")
    p.add_argument("--no-beacon", action="store_true", help="no UDP beacons (gossip discovery only)")
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
    p.add_argument("--preview-rate", type=float, default=2.0,
                   help="previews fetched over the site a second per camera, the newest image winning (default 2)")
    p.add_argument("--no-image-fetch", action="store_true",
                   help="never fetch images over the site: only files under --image-root are previewed")
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
    p.add_argument(
        "--public-url", action="append", metavar="URL",
        help="scheme://host[:port] a proxy in front serves the console as (e.g. https://console.example): "
        "its pages may log in and connect; repeatable",
    )
    p.add_argument("--key", help="the console's own key (name or path) on a secured site")
    p.add_argument("--keys", metavar="DIR", help="key directory (default $CORVO_KEY_DIR or ~/.config/corvo/keys)")
    p.add_argument("--users", metavar="FILE",
                   help="user file: browsers must log in, and each user's writes go out under their own identity "
                   "(see corvo-web adduser)")
    p.add_argument("--session-idle", type=float, default=1800.0,
                   help="seconds without a request (and no open page) after which a login ends (default 1800)")
    p.add_argument("--session-lifetime", type=float, default=12 * 3600.0,
                   help="seconds after which a login ends in any case (default 43200)")
    p.add_argument("--max-identities", type=int, default=16,
                   help="identities acting at once, one site node each (default 16)")
    p.add_argument("--tls-cert", metavar="FILE", help="serve HTTPS with this certificate chain (PEM)")
    p.add_argument("--tls-key", metavar="FILE", help="the certificate's private key (PEM)")
    options = p.parse_args(argv)
    check_options(options)
    return options


def check_options(options):
    from .server import is_loopback, public_url

    if not 0 < options.http_port < 65536:
        raise OptionError("--http-port must be between 1 and 65535")
    if not 0 < options.port < 65536:
        raise OptionError("--port must be between 1 and 65535")
    if options.image_max_bytes <= 0:
        raise OptionError("--image-max-bytes must be positive")
    if not 0 < options.preview_rate <= 100:
        raise OptionError("--preview-rate must be above 0 and at most 100")
    if options.max_rate < 0:
        raise OptionError("--max-rate must not be negative")
    if not 0 < options.session_idle <= options.session_lifetime:
        raise OptionError("--session-idle must be positive and not above --session-lifetime")
    if not 0 < options.max_identities <= 1000:
        raise OptionError("--max-identities must be between 1 and 1000")
    for url in options.public_url or ():
        try:
            public_url(url)
        except ValueError as e:
            raise OptionError("--public-url: %s" % e)
    if bool(options.tls_cert) != bool(options.tls_key):
        raise OptionError("--tls-cert and --tls-key go together")
    if options.allow_write and not is_loopback(options.bind) and not login_enabled(options):
        raise OptionError(
            "refused: --allow-write on the non-loopback address %s needs the console's login" % options.bind
        )
    if options.allow_write and options.public_url and not login_enabled(options):
        raise OptionError("refused: --allow-write behind a proxy (--public-url) needs the console's login")


def login_enabled(options):
    """Whether browsers must log in (a user file was given)."""
    return bool(getattr(options, "users", None))


def make_login(options, adapter):
    from types import SimpleNamespace

    from .sessions import LoginLimiter, Sessions
    from .users import UserFile
    from .writers import Writers

    log = logging.getLogger("corvo-web")
    users_file = UserFile(options.users, log)
    if not users_file.users:
        log.warning("the user file %s lists nobody: no one can log in", options.users)
    return SimpleNamespace(
        users=users_file.users,
        users_file=users_file,
        sessions=Sessions(idle=options.session_idle, lifetime=options.session_lifetime),
        limiter=LoginLimiter(),
        writers=Writers(adapter.make_site, limit=options.max_identities, check=adapter.refuse_collision),
    )


def tls_context(options):
    """The server's TLS context, or None for plain HTTP."""
    if not options.tls_cert:
        return None
    import ssl

    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    try:
        context.load_cert_chain(options.tls_cert, options.tls_key)
    except (OSError, ssl.SSLError) as e:
        raise OptionError("cannot use the certificate %s and key %s: %s" % (options.tls_cert, options.tls_key, e))
    return context


async def serve(options):
    from aiohttp import web

    from .history import open_history
    from .hub import Hub
    from .preview import Previews
    from .server import Gateway
    from .site import SiteAdapter

    hub = Hub(max_rate=options.max_rate)
    history = open_history(options.history)
    adapter = SiteAdapter(options.site, options.port, options.interface, options.name, key=options.key,
                          keys=options.keys, gossip=options.gossip, gossip_bind=options.gossip_bind,
                          beacon=False if options.no_beacon else None)
    previews = Previews(options.image_root, options.image_max_bytes, hub.publish,
                        fetch=None if options.no_image_fetch else adapter.fetch_image,
                        watching=lambda: bool(hub.clients), min_interval=1.0 / options.preview_rate)
    login = make_login(options, adapter) if login_enabled(options) else None
    if options.allow_write and options.key and login is None:
        logging.getLogger("corvo-web").warning(
            "a secured site without --users: the page's writes and commands are refused (log-in needed)")
    gateway = Gateway(hub, adapter, options, previews, history, login)
    tls = tls_context(options)
    runner = web.AppRunner(gateway.app(), access_log=None)
    await runner.setup()
    site = web.TCPSite(runner, options.bind, options.http_port, ssl_context=tls)
    await site.start()
    host = options.bind if ":" not in options.bind else "[%s]" % options.bind
    print("corvo-web: console on %s://%s:%d/ (site %s%s%s)"
          % ("https" if tls else "http", host, options.http_port, options.site, ", writes allowed" if options.allow_write else "",
             ", login required" if login else ""),
          flush=True)
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    import signal

    for sig in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(sig, stop.set)
    await stop.wait()
    await runner.cleanup()
    previews.close()


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if argv and argv[0] in ("adduser", "deluser"):
        from .users import manage

        return manage(argv)
    try:
        options = parse_options(argv)
    except OptionError as e:
        print("corvo-web: %s" % e, file=sys.stderr)
        return 1
    logging.basicConfig(
        level=logging.DEBUG if options.debug else logging.INFO,
        format="%(asctime)s %(name)s %(levelname)s %(message)s",
    )
    from .users import UserFileError

    try:
        asyncio.run(serve(options))
    except (OSError, UserFileError, OptionError) as e:
        print("corvo-web: %s" % e, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
