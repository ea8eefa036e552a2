"""A stand-in for the site adapter in tests of the gateway's own logic
(protocol, throttle, checks): it reports what a test tells it to and records
the changes the gateway asks for. The browser tests use the real site."""

import asyncio


def camera(name="camera", status=0):
    return {
        "id": name,
        "name": name,
        "uuid": "00" * 16,
        "type": "camera",
        "client": False,
        "status": status,
        "statusName": "IDLE",
        "statuses": {"0": "IDLE", "1": "EXPOSE", "2": "READOUT"},
        "properties": {
            "expotime": {"type": "float", "value": 1.0, "unit": "s", "description": "exposure time",
                         "writable": True, "limits": None, "choices": None},
            "starttime": {"type": "str", "value": "", "unit": "", "description": "exposure start time",
                          "writable": False, "limits": None, "choices": None},
            "filename": {"type": "str", "value": "", "unit": "", "description": "last image filename",
                         "writable": False, "limits": None, "choices": None},
            "temperature": {"type": "float", "value": -10.0, "unit": "C", "description": "sensor",
                            "writable": True, "limits": [-50, 30], "choices": None},
        },
        "commands": {"expose": {"description": "take exposure", "args": []}},
    }


class FakeSite:
    def __init__(self, peers=()):
        self.peers = list(peers)
        self.hub = None
        self.sets = []
        self.commands = []
        self.ready = asyncio.Event()
        self.refuse = None
        self.refuse_identities = set()

    async def run(self, hub):
        self.hub = hub
        hub.site_state(True)
        for p in self.peers:
            hub.peer_entered(p)
        self.ready.set()
        await asyncio.Event().wait()

    async def set(self, pid, prop, text, site=None):
        from corvoweb.site import Refused

        self.sets.append((pid, prop, text) + ((site.identity,) if site else ()))
        if self.refuse:
            raise Refused(self.refuse)
        value = float(text)
        self.hub.property_changed(pid, prop, value)
        return value

    async def command(self, pid, name, args, site=None):
        from corvoweb.site import Refused

        self.commands.append((pid, name, list(args)) + ((site.identity,) if site else ()))
        if site and site.identity in self.refuse_identities:
            raise Refused("refused: %s has no right to run %s" % (site.identity, name))
        return None


class FakeNode:
    """What Writers opens per identity in tests: records its life."""

    def __init__(self, identity, log):
        self.identity, self.log = identity, log

    async def open(self):
        self.log.append(("open", self.identity))
        return self

    async def close(self):
        self.log.append(("close", self.identity))
