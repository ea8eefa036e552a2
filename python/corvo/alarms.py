"""The alarms of corvo-alarmd (the peer "alarmd") from Python.

    with corvo.Site("lab") as site:
        for alarm in site.alarms():
            print(alarm.state, alarm.severity, alarm.rule, alarm.guidance)
        with site.alarm_events() as events:
            for alarm in events:            # each change of a rule's state
                print(alarm.rule, alarm.state)

The objects come from the daemon's properties "alarms" (every rule that is
not normal; the description has it current, broadcasts follow at most once a
second) and "changes" (the rules that changed, every 5 ms at most); their
fields are described in apps/alarmd/README.md. Acknowledging and shelving
are the daemon's commands: ``site.command("alarmd", "ack", "rain")``.
"""

import json
from dataclasses import dataclass, field
from typing import Any, Dict, Iterator, List, Optional, Tuple

ALARM_DAEMON = "alarmd"


@dataclass(frozen=True)
class Alarm:
    """One rule's alarm state. ``since`` and ``shelved_until`` are UTC times
    "YYYY-MM-DDTHH:MM:SSZ" ("" when not given); ``actions`` holds a dict per
    action (``peer``, ``command``, ``outcome``)."""
    rule: str
    state: str
    severity: str = "minor"
    active: bool = False
    peer: str = ""
    condition: str = ""
    value: str = ""
    since: str = ""
    guidance: str = ""
    latch: bool = False
    shelved_until: str = ""
    reason: str = ""
    by: str = ""
    actions: Tuple[Dict[str, str], ...] = field(default_factory=tuple)

    @classmethod
    def from_json(cls, text: str) -> Optional["Alarm"]:
        """The alarm an object of the daemon describes; None for text that is
        not such an object (a peer's value is not trusted)."""
        try:
            data = json.loads(text)
        except (ValueError, RecursionError):
            return None
        if not isinstance(data, dict) or not isinstance(data.get("rule"), str) \
                or not isinstance(data.get("state"), str):
            return None

        def text_of(name: str) -> str:
            value = data.get(name, "")
            return value if isinstance(value, str) else ""

        actions = data.get("actions", [])
        actions = tuple({k: str(v) for k, v in a.items()} for a in actions if isinstance(a, dict)) \
            if isinstance(actions, list) else ()
        return cls(rule=data["rule"], state=data["state"], severity=text_of("severity") or "minor",
                   active=data.get("active") is True, peer=text_of("peer"), condition=text_of("condition"),
                   value=text_of("value"), since=text_of("since"), guidance=text_of("guidance"),
                   latch=data.get("latch") is True, shelved_until=text_of("shelved_until"),
                   reason=text_of("reason"), by=text_of("by"), actions=actions)


def _parse(items: Any) -> List[Alarm]:
    if not isinstance(items, list):
        return []
    return [a for a in (Alarm.from_json(t) for t in items if isinstance(t, str)) if a is not None]


def alarms(site, timeout: float = 5.0, peer: str = ALARM_DAEMON) -> List[Alarm]:
    """The rules of the alarm daemon that are not normal (in alarm, latched,
    shelved or disabled), in the order of its rules file."""
    return _parse(site.get(peer, "alarms", timeout=timeout))


class AlarmEvents:
    """A stream of Alarm objects, one per change of a rule's state (normal
    included), read by iteration; bounded like ``Site.watch`` (the oldest
    broadcast is dropped when full). ``close()`` or leaving the ``with``
    block ends it."""

    def __init__(self, site, peer: str = ALARM_DAEMON, queue_size: Optional[int] = None):
        self._peer = peer
        self._stream = site.watch(peer, queue_size=queue_size)
        self._pending: List[Alarm] = []

    @property
    def dropped(self) -> int:
        """Broadcasts dropped because the queue was full."""
        return self._stream.dropped

    def close(self) -> None:
        """Ends the stream; a waiting iteration ends."""
        self._stream.close()

    def __enter__(self) -> "AlarmEvents":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __iter__(self) -> Iterator[Alarm]:
        for event in self._stream:
            if getattr(event, "name", None) != "changes" or getattr(event, "peer", None) != self._peer:
                continue
            yield from _parse(event.value)
