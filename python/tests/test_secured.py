"""The package on a secured site: a client with a trusted key talks to a C++
daemon and sees the identity it proved; a client with an untrusted key sees
nothing; a Python daemon started with --key/--keys serves the C++ tool; keys
that cannot be used are refused with the reason."""

import os

import pytest

import corvo
from conftest import net_options, program, read_log, wait_until

T = 30.0


def make_key(children, directory, identity, names=None):
    args = [program("CORVO_TOOL"), "--keys", directory, "keys", "new", identity]
    if names:
        args += ["--names", names]
    r = children.run(args)
    assert r.returncode == 0, r.stderr


def public_key(directory, identity):
    with open(os.path.join(directory, identity + ".id")) as f:
        for line in f:
            key, _, value = line.partition("=")
            if key.strip() == "public":
                return value.strip()
    raise AssertionError("no public key for " + identity)


@pytest.fixture
def keys(children, work_dir):
    """A trusted key directory (wheel, pyd, alice, bob) and, apart, mallory's key
    whose own directory trusts the daemons but whom the daemons do not know."""
    trusted = os.path.join(work_dir, "keys")
    make_key(children, trusted, "wheel")
    make_key(children, trusted, "pyd")
    make_key(children, trusted, "alice", "alice,py-*,corvo*")
    make_key(children, trusted, "bob")
    outsider = os.path.join(work_dir, "outsider")
    make_key(children, outsider, "mallory")
    for identity in ("wheel", "pyd"):
        with open(os.path.join(trusted, identity + ".id")) as src, \
                open(os.path.join(outsider, identity + ".id"), "w") as dst:
            dst.write(src.read())
    return trusted, outsider


@pytest.fixture
def secured_wheel(children, site_args, keys):
    trusted, _ = keys
    return children.start([program("CORVO_EXAMPLE_DAEMON")] + net_options(site_args) +
                          ["--key", "wheel", "--keys", trusted], "wheel")


def test_trusted_client_works_and_untrusted_sees_nothing(secured_wheel, site_args, keys):
    trusted, outsider = keys
    with corvo.Site(**site_args, key="alice", keys=trusted, name="py-alice") as s:
        info = s.info("wheel", timeout=T)
        assert "slot" in info.properties
        assert s.set("wheel", "slot", 3, timeout=T) == 3
        (peer,) = [p for p in s.peers() if p.name == "wheel"]
        assert peer.identity == "wheel"
        # The same key by its file's path.
        with corvo.Site(**site_args, key=os.path.join(trusted, "alice.key"), keys=trusted,
                        name="py-alice2") as by_path:
            assert by_path.get("wheel", "slot", timeout=T) == 3
        with corvo.Site(**site_args, key="mallory", keys=outsider, name="mallory") as m:
            with pytest.raises(corvo.NotFoundError):
                m.info("wheel", timeout=3.0)
            assert m.peers() == []
        # The daemon says locally why it refused; the trusted client goes on.
        mallory_key = public_key(outsider, "mallory")
        wait_until(lambda: mallory_key + " is not trusted" in read_log(secured_wheel),
                   what="the daemon's refusal of the untrusted key")
        assert s.set("wheel", "slot", 1, timeout=T) == 1


def test_open_client_and_secured_daemon_do_not_meet(secured_wheel, site_args, keys):
    trusted, _ = keys
    with corvo.Site(**site_args, key="alice", keys=trusted, name="py-alice") as s:
        s.wait_for("wheel", timeout=T)  # positive control: the daemon is up
        with corvo.Site(**site_args) as open_site:
            with pytest.raises(corvo.NotFoundError):
                open_site.info("wheel", timeout=3.0)
        # And the secured client never sees the open one.
        assert all(p.identity for p in s.peers())


@pytest.mark.asyncio
async def test_asyncio_site_on_a_secured_site(secured_wheel, site_args, keys):
    trusted, _ = keys
    async with corvo.aio.Site(**site_args, key="alice", keys=trusted, name="py-alice") as s:
        await s.wait_for("wheel", timeout=T)
        assert await s.set("wheel", "slot", 2, timeout=T) == 2
        peers = await s.peers()
    assert [(p.name, p.identity) for p in peers] == [("wheel", "wheel")]


def test_lock_of_another_identity_refuses_set(secured_wheel, site_args, keys):
    trusted, _ = keys
    with corvo.Site(**site_args, key="bob", keys=trusted) as bob, \
            corvo.Site(**site_args, key="alice", keys=trusted) as alice:
        assert alice.get("wheel", "lock", timeout=T) == ""
        # Taken with the daemon's own command; the "lock" broadcast confirms it.
        held = bob.command("wheel", "lock", 600, wait="lock", timeout=T)
        assert held.startswith("bob until ")
        wait_until(lambda: alice.get("wheel", "lock").startswith("bob until "), what="alice seeing the lock")
        with pytest.raises(corvo.RefusedError) as refused:
            alice.set("wheel", "slot", 2, timeout=T)
        assert refused.value.reason.startswith("locked by bob until "), refused.value.reason
        with pytest.raises(corvo.RefusedError, match="locked by bob"):
            alice.command("wheel", "home", linger=T)
        # The holder goes on; once released, alice may write again.
        assert bob.set("wheel", "slot", 3, timeout=T) == 3
        assert bob.command("wheel", "unlock", wait="lock", timeout=T) == ""
        wait_until(lambda: alice.get("wheel", "lock") == "", what="alice seeing the release")
        assert alice.set("wheel", "slot", 2, timeout=T) == 2


def test_python_daemon_with_key_serves_the_tool(children, site_args, keys):
    trusted, _ = keys
    children.python("pydaemon.py", *net_options(site_args), "--key", "pyd", "--keys", trusted)
    tool = [program("CORVO_TOOL")] + net_options(site_args) + ["-t", str(T)]
    r = children.run(tool + ["--key", "alice", "--keys", trusted, "set", "pyd", "gain", "4.5"], timeout=T * 3)
    assert r.returncode == 0, r.stderr
    assert float(r.stdout) == 4.5
    with corvo.Site(**site_args, key="alice", keys=trusted) as s:  # named "alice"
        assert s.get("pyd", "gain", timeout=T) == 4.5
        (peer,) = [p for p in s.peers() if p.name == "pyd"]
        assert peer.identity == "pyd"
    # The open tool does not reach the secured Python daemon.
    r = children.run(tool[:-1] + ["3", "get", "pyd", "gain"], timeout=T * 3)
    assert r.returncode != 0


def test_lock_on_a_python_daemon_refuses_and_expires(children, site_args, keys):
    trusted, _ = keys
    children.python("pydaemon.py", *net_options(site_args), "--key", "pyd", "--keys", trusted)
    with corvo.Site(**site_args, key="bob", keys=trusted) as bob, \
            corvo.Site(**site_args, key="alice", keys=trusted) as alice:
        # A long lease while the checks run (a loaded machine is slow), then
        # renewed short to see it expire.
        assert bob.command("pyd", "lock", 600, wait="lock", timeout=T).startswith("bob until ")
        wait_until(lambda: alice.get("pyd", "lock", timeout=T) != "", what="alice seeing the lock")
        with pytest.raises(corvo.RefusedError, match="locked by bob"):
            alice.set("pyd", "gain", 2.0, timeout=T)
        with pytest.raises(corvo.RefusedError, match="locked by bob"):
            alice.command("pyd", "add", 1, linger=T)
        # A safety command passes the lock.
        assert alice.command("pyd", "abort", wait="label", timeout=T) == "aborted"
        assert bob.command("pyd", "lock", 2, wait="lock", timeout=T).startswith("bob until ")
        # The lease runs out with nothing else happening: the daemon's timer
        # broadcasts the free lock.
        wait_until(lambda: alice.get("pyd", "lock") == "", timeout=T, what="the lock's expiry")
        assert alice.set("pyd", "gain", 2.0, timeout=T) == 2.0


def test_unusable_keys_are_refused(children, site_args, keys, work_dir):
    trusted, _ = keys
    with pytest.raises(corvo.CorvoError, match="nobody"):
        corvo.Site(**site_args, key="nobody", keys=trusted)
    readable = os.path.join(trusted, "alice.key")
    os.chmod(readable, 0o644)
    try:
        with pytest.raises(corvo.CorvoError):
            corvo.Site(**site_args, key="alice", keys=trusted)
    finally:
        os.chmod(readable, 0o600)
    with pytest.raises(ValueError, match="key"):
        corvo.Site(**site_args, keys=trusted)
    # A Python daemon refuses to start with a key others can read, as a C++
    # program does (status 1, with the reason).
    os.chmod(readable, 0o640)
    proc = children.python("pydaemon.py", *net_options(site_args), "--key", readable, "--keys", trusted,
                           log_name="badkey")
    assert proc.wait(timeout=T) == 1
    assert "alice.key" in read_log(proc)


def test_an_identity_removed_from_the_key_directory_is_cut_off(secured_wheel, site_args, keys):
    """The site rereads its key directory while it runs: the daemon whose
    identity file is removed leaves its peers and stays out; put back, it
    comes back."""
    trusted, _ = keys
    with corvo.Site(**site_args, key="alice", keys=trusted, name="py-alice") as s:
        assert s.set("wheel", "slot", 2, timeout=T) == 2
        wheel_id = os.path.join(trusted, "wheel.id")
        saved = os.path.join(trusted, "..", "wheel.id.saved")
        os.rename(wheel_id, saved)
        # Within the bound (1 s), with room for a loaded machine.
        wait_until(lambda: all(p.name != "wheel" for p in s.peers()), timeout=10.0,
                   what="the revoked daemon to leave")
        with pytest.raises(corvo.NotFoundError):
            s.info("wheel", timeout=3.0)
        assert "identity wheel is no longer trusted" in read_log(secured_wheel)
        os.rename(saved, wheel_id)
        assert s.set("wheel", "slot", 4, timeout=T) == 4


def test_a_python_daemon_ends_the_lock_of_a_revoked_identity(children, site_args, keys, work_dir):
    """The lock of an identity removed from the key directory ends as soon as
    the daemon sees the change (as in a C++ daemon), not when its lease runs
    out: the others may control the device again without a restart."""
    trusted, _ = keys
    pyd = children.python("pydaemon.py", *net_options(site_args), "--key", "pyd", "--keys", trusted)
    with corvo.Site(**site_args, key="bob", keys=trusted) as bob, \
            corvo.Site(**site_args, key="alice", keys=trusted) as alice:
        assert alice.command("pyd", "lock", 600, wait="lock", timeout=T).startswith("alice until ")
        wait_until(lambda: bob.get("pyd", "lock", timeout=T).startswith("alice until "), what="bob seeing the lock")
        with pytest.raises(corvo.RefusedError, match="locked by alice"):
            bob.set("pyd", "count", 1, timeout=T)
        os.rename(os.path.join(trusted, "alice.id"), os.path.join(work_dir, "alice.id.gone"))
        # The key watch sees it within a second; room for a loaded machine.
        wait_until(lambda: bob.get("pyd", "lock") == "", what="the revoked identity's lock to end")
        assert bob.set("pyd", "count", 1, timeout=T) == 1
    assert "the lock of alice ended: the identity is no longer trusted" in read_log(pyd)
