"""The gateway's one connection to the site, through the Python package
`corvo` (corvo.aio.Site). Everything the rest of the gateway knows about the
site passes through this module:

- `run(hub)` reports to the hub: `peer_entered(description)`, `peer_left(id)`,
  `property_changed(id, name, value, time)`, `status_changed(id, value,
  name)`, `log(id, record)` and `site_state(alive)`;
- `set(id, property, text)` and `command(id, name, args)` make the changes a
  browser asks for, with the checks of the `corvo` tool; they return the
  daemon's confirmation or raise `Refused` with the reason.

A peer's description is a dict: id, name, uuid, type, client, silent,
status, statusName, statuses {value: name}, properties {name: {type, value,
unit, description, writable, limits, choices}}, commands {name:
{description, args: [[name, type], ...]}}.

Silent peers: a peer the node has not heard from within its evasive time is
"silent" until heard again or gone. The package tells it as a flag `silent`
on its PeerInfo and as PeerEvent kinds "silent" and "back"; an older
package without them leaves every peer not silent.
"""

import asyncio
import collections
import logging
import weakref

log = logging.getLogger("corvo-web")

MAX_OWN_UUIDS = 1024  # UUIDs of the gateway's nodes for identities remembered


# PeerEvent kinds about a peer's silence: whether it is silent now.
SILENT_KINDS = {"silent": True, "back": False}


class Refused(Exception):
    """A change the site or the gateway did not make, with the reason."""


def _field(obj, name, default=None):
    if isinstance(obj, dict):
        return obj.get(name, default)
    return getattr(obj, name, default)


def describe(peer_info, info):
    """The hub's description of a peer from corvo's PeerInfo and Info."""
    name = _field(info, "name", None) or _field(peer_info, "name", "")
    properties = {}
    for pname, p in (_field(info, "properties", {}) or {}).items():
        properties[str(pname)] = {
            "type": str(_field(p, "type", "")),
            "value": _field(p, "value"),
            "unit": _field(p, "unit", "") or "",
            "description": _field(p, "description", "") or "",
            "writable": bool(_field(p, "writable", False)),
            "limits": _field(p, "limits"),
            "choices": _choices(_field(p, "choices")),
        }
    commands = {}
    for cname, c in (_field(info, "commands", {}) or {}).items():
        args = [[str(a[0]), str(a[1])] for a in (_field(c, "args", []) or [])]
        commands[str(cname)] = {"description": _field(c, "description", "") or "", "args": args}
    statuses = {str(k): str(v) for k, v in (_field(info, "statuses", {}) or {}).items()}
    status = _field(info, "status", _field(peer_info, "status", 0))
    return {
        "id": str(name),
        "name": str(name),
        "uuid": str(_field(peer_info, "uuid", "") or ""),
        "type": str(_field(peer_info, "type", "") or ""),
        "client": bool(_field(peer_info, "client", False)),
        "silent": bool(_field(peer_info, "silent", False)),
        "identity": str(_field(peer_info, "identity", "") or ""),
        "status": status,
        "statusName": statuses.get(str(status), _field(peer_info, "status_name", str(status))),
        "statuses": statuses,
        "properties": properties,
        "commands": commands,
    }


def _choices(choices):
    if not choices:
        return None
    if isinstance(choices, dict):
        return [[k, str(v)] for k, v in choices.items()]
    return [list(c) if isinstance(c, (list, tuple)) else [c, str(c)] for c in choices]


class SiteAdapter:
    def __init__(self, site="corvo", port=5670, interface=None, name=None, timeout=5.0, key=None, keys=None,
                 gossip=None, gossip_bind=None, beacon=None):
        # Discovery left at None comes from the configuration entries.
        self.options = dict(site=site, port=port, interface=interface, name=name, gossip=gossip, beacon=beacon)
        self.gossip_bind = gossip_bind
        self.keys = dict(key=key, keys=keys) if key else {}
        self.timeout = timeout
        self.site = None
        self.hub = None
        self._writers = weakref.WeakSet()  # the nodes made for identities (make_site)
        # Their UUIDs, remembered after they closed (the site may list a node
        # a moment after it left), the latest MAX_OWN_UUIDS.
        self._own = collections.OrderedDict()

    @property
    def _errors(self):
        import corvo

        return (corvo.CorvoError,)

    async def fetch_image(self, pid, path, max_bytes, timeout=30.0):
        """Fetches the latest image of camera `pid` into the file `path`
        (checksum verified); NoPreview with the reason when it cannot."""
        import corvo

        from .preview import NoPreview

        site = self.site
        if site is None:
            raise NoPreview("the gateway is not on the site", retry=True)
        try:
            await site.fetch_image(pid, "latest", path, max_bytes=max_bytes, timeout=timeout)
        except corvo.CorvoError as e:
            raise NoPreview(str(getattr(e, "reason", "") or e))

    def make_site(self, identity):
        """An unopened node acting as `identity`: named after it, with its
        key from the key directory on a secured site."""
        import corvo.aio

        options = dict(self.options, name=identity, **self.writer_discovery())
        if self.keys:
            options.update(key=identity, keys=self.keys["keys"])
        site = corvo.aio.Site(**options)
        self._writers.add(site)
        return site

    def _own_uuids(self):
        """The UUIDs of the gateway's nodes for identities (open now, or
        the latest MAX_OWN_UUIDS that were)."""
        for site in list(self._writers):
            try:
                uuid = site.uuid
            except self._errors:  # not open (yet, or any more)
                continue
            if uuid not in self._own:
                self._own[uuid] = True
                while len(self._own) > MAX_OWN_UUIDS:
                    self._own.popitem(last=False)
        return self._own.keys()

    async def _peers(self):
        """The members of the site, but for the gateway's own nodes for
        identities: a daemon's card is never taken by one of them."""
        peers = await self.site.peers()
        own = self._own_uuids()
        return [p for p in peers if _field(p, "uuid") not in own] if own else peers

    async def _shadowed(self, name):
        """Whether one of the gateway's own nodes for identities is named `name`."""
        own = self._own_uuids()
        return bool(own) and any(_field(p, "name") == name and _field(p, "uuid") in own
                                 for p in await self.site.peers())

    async def refuse_collision(self, identity):
        """Refused if a member of the site that is not a client is named
        `identity`: a node acting as it would make that name ambiguous for
        the whole site (Writers asks before it opens a node)."""
        self._require()
        for p in await self._peers():
            if _field(p, "name") == identity and not _field(p, "client", False):
                raise Refused("a peer named %s is on the site; %s cannot act from the console" % (identity, identity))

    def writer_discovery(self):
        """Only the gateway's own node binds its gossip endpoint; a writer's
        node binds none (not even one from the configuration) and connects
        to it besides the rendezvous points the gateway was given."""
        if not self.gossip_bind:
            return dict(gossip_bind="")
        own = self.gossip_bind.replace("tcp://*:", "tcp://127.0.0.1:").replace("tcp://0.0.0.0:", "tcp://127.0.0.1:")
        gossip = self.options["gossip"]
        if gossip is None:
            endpoints = []
        elif isinstance(gossip, str):
            endpoints = [e.strip() for e in gossip.split(",") if e.strip()]
        else:
            endpoints = list(gossip)
        return dict(gossip_bind="", gossip=endpoints + [own])

    async def run(self, hub):
        import corvo
        import corvo.aio

        self.hub = hub
        async with corvo.aio.Site(**self.options, gossip_bind=self.gossip_bind, **self.keys) as site:
            self.site = site
            hub.site_state(True)
            try:
                # Subscribed before the peers are listed: a peer that enters
                # while the others are being described is not missed.
                changes, logs = site.watch(), site.logs()
                await asyncio.gather(self._describe_all(await self._peers()), self._follow(changes),
                                     self._follow(logs))
            finally:
                hub.site_state(False)
                self.site = None

    async def _describe_all(self, peers):
        for peer in peers:
            await self._describe(_field(peer, "name"), peer)

    async def _members(self, name):
        """The members of the site `name` may mean (by UUID, else by name),
        those not silent first (never the gateway's own nodes for
        identities)."""
        peers = await self._peers()
        found = [p for p in peers if _field(p, "uuid") == name] or [p for p in peers if _field(p, "name") == name]
        return sorted(found, key=lambda p: bool(_field(p, "silent", False)))

    async def _present(self, name):
        """The member `name` means now (the one not silent, if any), or None."""
        members = await self._members(name)
        return members[0] if members else None

    async def _ambiguous(self, name):
        """Whether two members of the name are not silent: a daemon started
        again while its killed instance is not yet found gone."""
        members = await self._members(name)
        return sum(1 for p in members if not _field(p, "silent", False)) > 1

    async def _describe(self, name, peer_info=None):
        if peer_info is not None and _field(peer_info, "uuid") in self._own_uuids():
            peer_info = None
        peer_info = peer_info or await self._present(name)
        if peer_info is None:
            return
        info = None
        if not _field(peer_info, "client", False):
            # A node of the gateway's own of that name makes the name
            # ambiguous to the package: the member is then asked by its UUID.
            ask = _field(peer_info, "uuid") if await self._shadowed(name) else name
            try:
                info = await self.site.info(ask, timeout=self.timeout)
            except Exception as e:  # a peer that does not describe itself stays listed
                log.info("no description of %s: %s", name, e)
                known = self.hub.peers.get(str(name))
                if known is not None and not known.get("gone") and await self._ambiguous(name):
                    # Its good description is kept; it is read again when
                    # the name means one member (the dead twin silent or
                    # gone).
                    return
        # While waiting the peer may have left: it is not brought back.
        peer_info = await self._present(name)
        if peer_info is None:
            return
        self.hub.peer_entered(describe(peer_info, info or {"name": _field(peer_info, "name")}))

    async def _follow(self, events):
        dropped = 0
        async for ev in events:
            if getattr(events, "dropped", 0) != dropped:
                # The package's queue overflowed: events were lost, so the
                # state is read afresh instead of trusted.
                dropped = events.dropped
                self.hub.events_lost = dropped
                log.warning("%d events of the site were lost: reading it afresh", dropped)
                self._resync_soon()
            kind = type(ev).__name__
            peer = str(_field(ev, "peer", ""))
            if kind == "PropertyEvent":
                self.hub.property_changed(peer, _field(ev, "name"), _field(ev, "value"), _field(ev, "time"))
            elif kind == "StatusEvent":
                self.hub.status_changed(peer, _field(ev, "value"), _field(ev, "name"))
            elif kind == "LogEvent":
                record = {k: _field(ev, k) for k in ("time", "logger", "level", "text")}
                self.hub.log(peer, record)
            elif kind == "PeerEvent":
                log.info("peer %s: %s", peer[:256], str(_field(ev, "kind"))[:32])
                kind = _field(ev, "kind")
                if kind == "exit" or kind in SILENT_KINDS:
                    await self._member_changed(peer, kind)
                else:
                    asyncio.ensure_future(self._describe(peer))

    async def _member_changed(self, peer, kind):
        # The events tell of one member (one instance) under its name; the
        # hub keeps the name. A daemon killed and started again has two
        # members of its name for a while, and its dead instance goes
        # silent and leaves after the new one entered.
        members = await self._members(peer)
        if not members:
            if kind == "exit":
                self.hub.peer_left(peer)
            return
        if kind == "exit" or len(members) > 1:
            # Another member holds the name: it is described afresh (the
            # name may have stopped being ambiguous), with its own flag.
            asyncio.ensure_future(self._describe(peer))
        else:
            self.hub.peer_silent(peer, bool(_field(members[0], "silent", SILENT_KINDS[kind])))

    def _resync_soon(self):
        if not getattr(self, "_resyncing", False):
            self._resyncing = True
            asyncio.ensure_future(self._resync())

    async def _resync(self):
        try:
            await asyncio.sleep(0.5)
            present = await self._peers()
            names = {str(_field(p, "name")) for p in present}
            for pid, peer in list(self.hub.peers.items()):
                if not peer.get("gone") and pid not in names:
                    self.hub.peer_left(pid)
            for p in present:
                await self._describe(_field(p, "name"), p)
        except Exception as e:
            log.warning("could not read the site afresh: %s", e)
        finally:
            self._resyncing = False

    async def set(self, pid, prop, text, site=None):
        """Sets `prop` from the text typed in the page, parsed for the
        property's type; the package checks writability, limits and choices
        as the `corvo` tool does. `site`: the node to send it from (a
        logged-in identity's), else the gateway's own."""
        site = site or self._require()
        peer = self.hub.peers.get(pid) if self.hub else None
        declared = (peer or {}).get("properties", {}).get(prop)
        if declared is None:
            raise Refused("%s has no property '%s'" % (pid, prop))
        value = parse_text(declared["type"], text, declared.get("choices"))
        try:
            await self._meet(site, pid)
            return await site.set(pid, prop, value, timeout=self.timeout)
        except (TimeoutError, asyncio.TimeoutError) as e:
            raise Refused(str(e) or "no confirmation within %g s" % self.timeout)
        except (ValueError, TypeError, KeyError) + self._errors as e:
            raise Refused(_reason(e))

    async def command(self, pid, name, args, site=None):
        """Runs a command with the arguments typed in the page (checked
        against the declared ones by the package); `site` as for set."""
        site = site or self._require()
        try:
            await self._meet(site, pid)
            return await site.command(pid, name, *args, timeout=self.timeout)
        except (TimeoutError, asyncio.TimeoutError) as e:
            raise Refused(str(e) or "no answer within %g s" % self.timeout)
        except (ValueError, TypeError, KeyError) + self._errors as e:
            raise Refused(_reason(e))

    async def _meet(self, site, pid):
        # A node made for an identity may have joined just now: it waits
        # longer to discover the peer than a request waits for its answer.
        if site is not self.site:
            await site.wait_for(pid, timeout=3 * self.timeout)

    def _require(self):
        if self.site is None:
            raise Refused("the gateway is not connected to the site")
        return self.site


def parse_text(ptype, text, choices=None):
    """The value of a property of type `ptype` written as `text` in the page
    (lists separated by commas); Refused if it does not parse."""
    text = text.strip() if ptype != "str" else text
    if ptype == "str":
        return text
    if ptype.startswith("list[") and ptype.endswith("]"):
        item = ptype[5:-1]
        if text == "":
            return []
        return [parse_text(item, part) for part in text.split(",")]
    if ptype == "int":
        if choices and any(label == text for _, label in choices):
            return text  # a choice's label; the package maps it
        try:
            return int(text, 10)
        except ValueError:
            raise Refused("'%s' is not an integer" % text[:80])
    if ptype == "float":
        try:
            value = float(text)
        except ValueError:
            raise Refused("'%s' is not a number" % text[:80])
        if value != value or value in (float("inf"), float("-inf")):
            raise Refused("'%s' is not a finite number" % text[:80])
        return value
    raise Refused("properties of type %s cannot be set from the page" % ptype)


def _reason(error):
    return str(getattr(error, "reason", None) or error) or type(error).__name__
