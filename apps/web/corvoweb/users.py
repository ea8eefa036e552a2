"""The console's users: who may log in, and as which identity they act.

The user file (`--users FILE`) has one user per line; blank lines and lines
starting with '#' are ignored:

    # NAME   IDENTITY   PASSWORD HASH
    alice    alice      scrypt$16384$8$1$<salt, base64>$<hash, base64>
    bob      observer   scrypt$16384$8$1$...

NAME is what the person types to log in; IDENTITY is the key name (a file
NAME.key in the key directory of a secured site) their writes and commands
go out under, so the daemons' access rules and audit see that person. Both
are 1 to 64 letters, digits, '.', '_' or '-', not starting with '.'. The
password is stored only as its scrypt hash (hashlib.scrypt, a random 16-byte
salt per user); the file should be readable by the console's user only.
Changing it keeps its mode, owner and group (as root; otherwise its group
if the caller is in it), so a console running as its own user can still
read it; a new file is 0600.

Add a user or change a password (asks for the password twice; from a pipe,
reads one line):

    corvo-web adduser --users FILE NAME [--identity KEY]
    corvo-web deluser --users FILE NAME

A running console notices a changed file (its inode, size or times) at
each login and every 5 s, and reads it again: a removed user, or one whose
password or identity changed, is logged out at once (their sessions end and
their open pages are closed). A file that cannot be read or parsed then
leaves the last good table in use, and the console logs why.

Bounds: the file is at most `MAX_FILE_BYTES`, `MAX_USERS` users; scrypt
parameters are accepted only within `_SANE_*`, so a forged line cannot make a
login cost unbounded memory or time.
"""

import base64
import hashlib
import hmac
import os
import re
import secrets
import stat
import sys

MAX_FILE_BYTES = 1024 * 1024
MAX_USERS = 10000
MAX_PASSWORD = 1024
SCRYPT_N, SCRYPT_R, SCRYPT_P = 16384, 8, 1
_SANE_N = (1024, 1 << 17)
_SANE_R = (1, 16)
_SANE_P = (1, 4)
_NAME = re.compile(r"[A-Za-z0-9_-][A-Za-z0-9._-]{0,63}\Z")


class UserFileError(Exception):
    pass


def valid_name(name):
    return isinstance(name, str) and bool(_NAME.match(name))


def _b64(data):
    return base64.b64encode(data).decode("ascii")


def _scrypt(password, salt, n, r, p):
    return hashlib.scrypt(password.encode("utf-8"), salt=salt, n=n, r=r, p=p, maxmem=256 * 1024 * 1024, dklen=32)


def hash_password(password):
    """The stored form of `password`: scrypt$N$r$p$salt$hash."""
    salt = secrets.token_bytes(16)
    digest = _scrypt(password, salt, SCRYPT_N, SCRYPT_R, SCRYPT_P)
    return "scrypt$%d$%d$%d$%s$%s" % (SCRYPT_N, SCRYPT_R, SCRYPT_P, _b64(salt), _b64(digest))


def _parse_hash(text):
    parts = text.split("$")
    if len(parts) != 6 or parts[0] != "scrypt":
        raise ValueError("not an scrypt hash")
    n, r, p = (int(x, 10) for x in parts[1:4])
    if not (_SANE_N[0] <= n <= _SANE_N[1] and n & (n - 1) == 0 and _SANE_R[0] <= r <= _SANE_R[1]
            and _SANE_P[0] <= p <= _SANE_P[1]):
        raise ValueError("scrypt parameters out of bounds")
    salt = base64.b64decode(parts[4], validate=True)
    digest = base64.b64decode(parts[5], validate=True)
    if not 8 <= len(salt) <= 64 or len(digest) != 32:
        raise ValueError("bad salt or hash length")
    return n, r, p, salt, digest


def check_password(stored, password):
    """True if `password` matches the stored hash (constant-time compare)."""
    if not isinstance(password, str) or len(password) > MAX_PASSWORD:
        return False
    n, r, p, salt, digest = _parse_hash(stored)
    return hmac.compare_digest(_scrypt(password, salt, n, r, p), digest)


# A hash for names that are not users: checking it costs the same as a real
# one, so the answer's timing does not tell which names exist.
_DUMMY = None


def dummy_hash():
    global _DUMMY
    if _DUMMY is None:
        _DUMMY = hash_password(secrets.token_urlsafe(16))
    return _DUMMY


class User:
    __slots__ = ("name", "identity", "stored")

    def __init__(self, name, identity, stored):
        self.name, self.identity, self.stored = name, identity, stored


def parse_users(text, origin="users"):
    """{name: User} from the text of a user file; UserFileError names the line."""
    users = {}
    for number, line in enumerate(text.splitlines(), 1):
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        words = line.split()
        where = "%s:%d" % (origin, number)
        if len(words) != 3:
            raise UserFileError("%s: expected NAME IDENTITY HASH" % where)
        name, identity, stored = words
        if not valid_name(name) or not valid_name(identity):
            raise UserFileError("%s: bad user or identity name" % where)
        try:
            _parse_hash(stored)
        except ValueError as e:
            raise UserFileError("%s: %s" % (where, e))
        if name in users:
            raise UserFileError("%s: user %s listed twice" % (where, name))
        if len(users) >= MAX_USERS:
            raise UserFileError("%s: more than %d users" % (where, MAX_USERS))
        users[name] = User(name, identity, stored)
    return users


def load_users(path):
    try:
        with open(path, "rb") as f:
            data = f.read(MAX_FILE_BYTES + 1)
    except OSError as e:
        raise UserFileError("cannot read the user file %s: %s" % (path, e.strerror or e))
    if len(data) > MAX_FILE_BYTES:
        raise UserFileError("the user file %s is larger than %d bytes" % (path, MAX_FILE_BYTES))
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        raise UserFileError("the user file %s is not UTF-8" % path)
    return parse_users(text, path)


class UserFile:
    """The user table of a file, read again when the file changes.

    `users` is the table in use. `refresh()` checks the file's stamp and, if
    it changed, reads it again; it returns the names whose entry was removed
    or changed (their sessions must end), an empty set otherwise. A file
    that cannot be read or parsed keeps the last good table; `error` then
    tells why (logged once per change of the file)."""

    def __init__(self, path, log=None):
        self.path, self.log = path, log
        self._stamp = self._stat()
        self.users = load_users(path)
        self.error = None

    def _stat(self):
        try:
            st = os.stat(self.path)
        except OSError as e:
            return ("missing", e.errno)
        return (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns, st.st_ctime_ns)

    def refresh(self):
        stamp = self._stat()
        if stamp == self._stamp:
            return set()
        self._stamp = stamp
        try:
            users = load_users(self.path)
        except UserFileError as e:
            self.error = str(e)
            if self.log:
                self.log.error("%s; the users read before stay in use", e)
            return set()
        self.error = None
        old, self.users = self.users, users
        changed = {name for name, user in old.items()
                   if name not in users or (users[name].identity, users[name].stored) != (user.identity, user.stored)}
        if self.log:
            self.log.info("read the user file %s again: %d users%s", self.path, len(users),
                          "; logged out: " + ", ".join(sorted(changed)) if changed else "")
        return changed


def _save(path, users):
    lines = ["# corvo-web users: NAME IDENTITY PASSWORD-HASH (see corvo-web adduser --help)"]
    lines += ["%s %s %s" % (u.name, u.identity, u.stored) for u in users.values()]
    tmp = "%s.tmp%d" % (path, os.getpid())
    fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    try:
        with os.fdopen(fd, "w") as f:
            _keep_access(f.fileno(), path)
            f.write("\n".join(lines) + "\n")
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def _keep_access(fd, path):
    """Gives the new file (`fd`) the mode, owner and group of the file it
    replaces, so the console's own user can still read it after root changed
    it. What cannot be kept (not root) leaves the file to its owner alone."""
    try:
        old = os.stat(path)
    except FileNotFoundError:
        return
    mine = os.fstat(fd)
    mode = stat.S_IMODE(old.st_mode)
    if (old.st_uid, old.st_gid) != (mine.st_uid, mine.st_gid):
        try:
            os.fchown(fd, old.st_uid, old.st_gid)
        except PermissionError:
            try:
                os.fchown(fd, -1, old.st_gid)  # a group of the caller's
            except PermissionError:
                mode &= 0o700  # not the caller's own group's to read
    os.fchmod(fd, mode)


def _read_password(stream_in):
    if stream_in.isatty():
        import getpass

        first = getpass.getpass("password: ")
        if first != getpass.getpass("again: "):
            raise UserFileError("the passwords differ")
        return first
    return stream_in.readline().rstrip("\r\n")


def manage(argv, stdin=None):
    """`corvo-web adduser|deluser ...`; returns the exit status."""
    import argparse

    command = argv[0]
    p = argparse.ArgumentParser(prog="corvo-web " + command,
                                description="Adds a console user or changes their password"
                                if command == "adduser" else "Removes a console user")
    p.add_argument("--users", required=True, metavar="FILE",
                   help="the user file (created if missing, mode 0600; else its mode, owner and group are kept)")
    p.add_argument("name", help="the login name")
    if command == "adduser":
        p.add_argument("--identity", help="key name the user's writes go out under (default: the login name)")
    options = p.parse_args(argv[1:])
    try:
        users = load_users(options.users) if os.path.exists(options.users) else {}
        if command == "deluser":
            if users.pop(options.name, None) is None:
                raise UserFileError("no user %s" % options.name)
        else:
            identity = options.identity or options.name
            if not valid_name(options.name) or not valid_name(identity):
                raise UserFileError("names are 1 to 64 letters, digits, '.', '_' or '-', not starting with '.'")
            password = _read_password(stdin or sys.stdin)
            if not password or len(password) > MAX_PASSWORD:
                raise UserFileError("a password of 1 to %d characters is needed" % MAX_PASSWORD)
            users[options.name] = User(options.name, identity, hash_password(password))
        _save(options.users, users)
    except (UserFileError, OSError) as e:
        print("corvo-web %s: %s" % (command, e), file=sys.stderr)
        return 1
    return 0
