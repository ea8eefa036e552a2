"""The Python daemon the tests talk to: one property of each type, limits and
choices, a command that fails, a slow async command, a command that sets
a property from its handler, and a plain command that blocks the library's
thread (a device that hangs); on_stop says when the shutdown begins."""

import asyncio
import sys
import time

import corvo


class Tester(corvo.Daemon):
    name = "pyd"
    statuses = {1: "BUSY", 2: "FAULT"}

    count = corvo.Property(int, description="a counter", writable=True, limits=(0, 100))
    gain = corvo.Property(float, unit="e/ADU", description="gain", writable=True, default=1.5)
    label = corvo.Property(str, description="a label", writable=True, default="none")
    mode = corvo.Property(int, description="mode", writable=True, choices={0: "OFF", 1: "ON"})
    names = corvo.Property(list[str], description="names", default=["a", "b"])
    offsets = corvo.Property(list[int], unit="steps", description="offsets", default=[1, -2])
    temps = corvo.Property(list[float], unit="C", description="temperatures", writable=True)
    ticks = corvo.Property(int, description="slow command ticks")
    picky = corvo.Property(str, description="refuses 'no'", writable=True)

    @picky.on_change
    def _picky(self, value):
        if value == "no":
            raise corvo.RefusedError("no is not welcome")
        return value.upper()

    careful = corvo.Property(int, description="refuses odd values after a while", writable=True)

    @careful.on_change
    async def _careful(self, value):
        await asyncio.sleep(0.05)
        if value % 2:
            raise corvo.RefusedError("odd values are not welcome")

    clamped = corvo.Property(float, unit="mm", description="applies at most 10", writable=True)

    @clamped.on_change
    async def _clamp(self, value):
        await asyncio.sleep(0.01)
        return min(value, 10.0)

    @corvo.command(description="sets values given as numpy scalars")
    def numpy_values(self):
        import numpy
        self.gain = numpy.float32(0.25)
        self.count = numpy.int64(3)
        self.temps = numpy.array([1.5, 2.5], numpy.float32)

    released = corvo.Property(list[str], description="held handlers that ended")

    async def _hold(self, tag):
        self.log.info("holding %s", tag)
        try:
            await asyncio.sleep(3600)
        finally:
            # A finally block may still wait and set properties.
            await asyncio.sleep(0.05)
            self.released = self.released + [tag]
            self.log.info("released %s", tag)

    @corvo.command(description="holds until cancelled")
    async def hold(self):
        await self._hold("hold")

    @corvo.command(description="holds too, until cancelled")
    async def grip(self):
        await self._hold("grip")

    @corvo.command(description="the latest request wins", policy="cancel")
    async def chase(self, target: int, seconds: float):
        self.log.info("chasing %d", target)
        try:
            await asyncio.sleep(seconds)
        except asyncio.CancelledError:
            self.log.info("chase %d cancelled", target)
            raise corvo.RefusedError("cancelled by a newer chase")
        self.count = target

    @corvo.command(description="counts in turn, two waiting at most", policy="queue", queue=2)
    async def tally(self, amount: int):
        await asyncio.sleep(0.3)
        self.count = self.count + amount

    blobs = corvo.Property(list[str], description="large values, numbered")
    spilled = corvo.Property(int, description="blobs broadcast by the latest spill")

    @corvo.command(description="broadcasts `count` numbered values of about 1 MiB, then their count")
    async def spill(self, count: int):
        for number in range(count):
            self.blobs = ["%08d" % number] + ["x" * 65000] * 16
            await asyncio.sleep(0.02)  # paced as a daemon that publishes often
        self.spilled = count

    @corvo.command(description="refuses every code but 42")
    def guarded(self, code: int):
        if code != 42:
            raise corvo.RefusedError("wrong code %d" % code)
        self.count = 42

    @corvo.command(description="refuses after a while, asynchronously")
    async def parked(self, seconds: float):
        await asyncio.sleep(seconds)
        raise corvo.RefusedError("parked for good")

    @corvo.command(description="add to the counter")
    def add(self, amount: int):
        # A handler that calls back into the library.
        self.count = self.count + amount

    @corvo.command(description="set several properties")
    def configure(self, gain: float, label: str, on: bool):
        self.gain = gain
        self.label = label
        self.mode = 1 if on else 0

    @corvo.command(description="fails")
    def fail(self):
        raise RuntimeError("the handler failed on purpose")

    @corvo.command(description="slow, asynchronous")
    async def slow(self, seconds: float):
        self.status = "BUSY"
        await asyncio.sleep(seconds)
        self.ticks = self.ticks + 1
        self.status = "IDLE"

    @corvo.command(description="stops whatever runs", safety=True)
    def abort(self):
        self.label = "aborted"

    @corvo.command(description="ends the daemon")
    def quit(self):
        self.stop()

    @corvo.command(description="blocks the library's thread, as a device that hangs")
    def block(self, seconds: float):
        self.log.info("blocking")
        time.sleep(seconds)

    def on_stop(self):
        print("on_stop", flush=True)


if __name__ == "__main__":
    sys.exit(Tester().run())
