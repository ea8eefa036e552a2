"""Sends one command to a peer as fast as it can, COUNT times, then waits
until the peer has answered (or for at most WAIT seconds) and prints
"sent N refused M busy B": the requests sent, the refusals received, and
those refused as busy.

    flood_client.py SITE PORT PEER COUNT WAIT WORD...
"""

import sys
import time

import corvo
from corvo._core import SiteCore


class CountingCore(SiteCore):
    refused = 0
    busy = 0

    def _on_events(self, batch):
        for event in batch:
            if event[0] == "refused":
                self.refused += 1
                self.busy += event[4].startswith("busy")
        super()._on_events(batch)


def main(site, port, peer, count, wait, *words):
    core = CountingCore(site, int(port), "lo", "flooder")
    try:
        uuid = core.described(peer).result(60).uuid
        sent = 0
        while sent < int(count):
            try:
                core._node.command(uuid, list(words))
                sent += 1
            except corvo.CorvoError:
                time.sleep(0.001)  # the package's call queue is full
        deadline = time.monotonic() + float(wait)
        last = -1
        while time.monotonic() < deadline and core.refused != last:
            last = core.refused
            time.sleep(1.0)
        print("sent %d refused %d busy %d" % (sent, core.refused, core.busy), flush=True)
    finally:
        core.close()


if __name__ == "__main__":
    main(*sys.argv[1:])
