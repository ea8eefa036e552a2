"""The gateway's picture of the site and the browsers it feeds.

The site adapter reports what happens (peers entering and leaving, property
values, status changes, log records); the hub keeps the current state, sends
a new browser the full state once and every browser the changes after that.

Bounds: the last `max_logs` log records and the last `max_gone` peers that
left are kept; texts longer than `max_text` characters are cut.
"""

import collections
import math
import time

from .outbox import MAX_BYTES, Outbox, message_size

MAX_TEXT = 65536


def json_safe(value, max_text=MAX_TEXT):
    """A value JSON can carry and JavaScript can parse: non-finite numbers
    become their names as text, long texts are cut, unknown objects become
    their text form."""
    if value is None or isinstance(value, bool) or isinstance(value, int):
        return value
    if isinstance(value, float):
        if math.isfinite(value):
            return value
        return "NaN" if math.isnan(value) else ("Infinity" if value > 0 else "-Infinity")
    if isinstance(value, str):
        return value if len(value) <= max_text else value[:max_text]
    if isinstance(value, bytes):
        return json_safe(value.decode("utf-8", "replace"), max_text)
    if isinstance(value, dict):
        return {str(k)[:max_text]: json_safe(v, max_text) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [json_safe(v, max_text) for v in value]
    return json_safe(str(value), max_text)


class Hub:
    def __init__(self, max_rate=10.0, max_logs=500, max_gone=64, outbox_queue=5000, outbox_bytes=MAX_BYTES):
        self.min_interval = 1.0 / max_rate if max_rate and max_rate > 0 else 0.0
        self.max_gone = max_gone
        self.outbox_queue = outbox_queue
        self.outbox_bytes = outbox_bytes
        self.peers = {}  # id -> description (see SiteAdapter), plus "gone"
        self.gone_order = collections.deque()
        self.logs = collections.deque(maxlen=max_logs)
        self.clients = set()
        self.site_alive = False
        self.listeners = []  # f(peer_id, property_name, value) on every value
        self.peer_listeners = []  # f(description) when a peer describes itself
        self.drop_listeners = []  # f(peer_id) when a peer is forgotten
        self.values_received = 0  # property values the site handed over, since the start
        self.events_lost = 0  # events the site's queue dropped (set by the site adapter)

    # -- events from the site -------------------------------------------------

    def peer_entered(self, description):
        """A peer appeared or described itself again (`description` as made
        by the site adapter)."""
        desc = json_safe(description)
        pid = desc["id"]
        # A peer that comes back under the same name replaces its stale entry.
        for old_id, old in list(self.peers.items()):
            if old_id != pid and old.get("gone") and old.get("name") == desc.get("name"):
                self._drop(old_id)
        desc["gone"] = False
        desc["silent"] = bool(desc.get("silent"))
        if self.peers.get(pid) == desc:
            # A peer may send its description again at any time: one that
            # did not change is not queued again for every browser.
            return
        if pid in self.gone_order:
            self.gone_order.remove(pid)
        self.peers[pid] = desc
        self._broadcast({"type": "peer", "peer": desc})
        for listener in self.peer_listeners:
            listener(desc)

    def peer_silent(self, pid, silent):
        """A peer went silent (no word from it within the node's evasive
        time) or was heard again."""
        peer = self.peers.get(pid)
        if peer is None or peer.get("gone") or bool(peer.get("silent")) == bool(silent):
            return
        peer["silent"] = bool(silent)
        self._broadcast({"type": "silent", "id": pid, "silent": bool(silent)})

    def peer_left(self, pid):
        peer = self.peers.get(pid)
        if peer is None or peer.get("gone"):
            return
        if peer.get("client"):
            # A tool that left had no values that could look live.
            self._drop(pid)
            return
        peer["gone"] = True
        peer["goneAt"] = time.time()
        self.gone_order.append(pid)
        while len(self.gone_order) > self.max_gone:
            self._drop(self.gone_order.popleft())
        for client in self.clients:
            client.forget((pid,))
        self._broadcast({"type": "gone", "id": pid})

    def property_changed(self, pid, name, value, when=None):
        self.values_received += 1
        peer = self.peers.get(pid)
        if peer is None or peer.get("gone"):
            return
        prop = peer.get("properties", {}).get(name)
        if prop is None:
            return
        value = json_safe(value)
        prop["value"] = value
        message = {"type": "prop", "id": pid, "name": name, "value": value, "time": when or time.time()}
        for client in self.clients:
            client.put_latest((pid, name), message)
        for listener in self.listeners:
            listener(pid, name, value)

    def status_changed(self, pid, value, name=None):
        peer = self.peers.get(pid)
        if peer is None or peer.get("gone"):
            return
        if name is None:
            name = peer.get("statuses", {}).get(str(value), str(value))
        peer["status"] = json_safe(value)
        peer["statusName"] = json_safe(name)
        message = {"type": "status", "id": pid, "value": peer["status"], "name": peer["statusName"]}
        for client in self.clients:
            client.put_latest((pid, "\0status"), message)

    def log(self, pid, record):
        """`record`: dict with time, logger, level, text."""
        peer = self.peers.get(pid)
        entry = json_safe(dict(record, id=pid, peer=(peer or {}).get("name", record.get("peer", pid))))
        self.logs.append(entry)
        message = {"type": "log", "log": entry}
        size = message_size(message) if self.clients else 0
        for client in self.clients:
            client.put_droppable(message, size)

    def site_state(self, alive):
        if alive != self.site_alive:
            self.site_alive = alive
            self._broadcast({"type": "site", "alive": alive})

    def publish(self, message):
        """Sends a message of another part of the gateway (e.g. an image
        preview) to every browser."""
        self._broadcast(json_safe(message))

    # -- browsers --------------------------------------------------------------

    def attach(self, hello):
        """A new browser: its outbox starts with `hello` and the full state."""
        outbox = Outbox(self.min_interval, max_queue=self.outbox_queue, max_bytes=self.outbox_bytes)
        outbox.put(hello)
        outbox.put(self.snapshot())
        self.clients.add(outbox)
        return outbox

    def detach(self, outbox):
        outbox.close()
        self.clients.discard(outbox)

    def snapshot(self):
        return {
            "type": "state",
            "alive": self.site_alive,
            "peers": list(self.peers.values()),
            "logs": list(self.logs),
        }

    def heartbeat(self):
        message = {"type": "hb", "alive": self.site_alive, "time": time.time(), "values": self.values_received,
                   "lost": self.events_lost}
        for client in self.clients:
            client.put_heartbeat(message)

    def _broadcast(self, message):
        size = message_size(message) if self.clients else 0
        for client in self.clients:
            client.put(message, size)

    def _drop(self, pid):
        if self.peers.pop(pid, None) is not None:
            self._broadcast({"type": "drop", "id": pid})
            for listener in self.drop_listeners:
                listener(pid)
        try:
            self.gone_order.remove(pid)
        except ValueError:
            pass
