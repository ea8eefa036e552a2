#!/usr/bin/python3
"""A focuser device server in Python.

Peers see it exactly as a C++ daemon: properties "position" (mm, writable,
limits 0..50), "target", "temperature", "mode" (choices), status MOVING, and
commands "move TARGET", "home", "stop". Moves take time: they run as async
handlers, so broadcasts, change requests and other commands go on meanwhile.

Run it (the usual options: --site, --port, --interface, --name, --daemon):
    examples/python/focuser.py --site lab --interface lo
and try:
    corvo --site lab --interface lo info focuser
    corvo --site lab --interface lo --wait position cmd focuser move 12.5
    corvo --site lab --interface lo set focuser position 20
Initial values come from focuser.conf ("position = 10" lines) like a C++
daemon's configuration file.
"""

import asyncio
import sys

import corvo

STEP_MM = 0.5       # per tick
TICK_S = 0.05


class Focuser(corvo.Daemon):
    name = "focuser"
    statuses = {1: "MOVING", 2: "FAULT"}

    position = corvo.Property(float, unit="mm", description="focuser position", writable=True,
                              limits=(0.0, 50.0))
    target = corvo.Property(float, unit="mm", description="where the current move goes")
    temperature = corvo.Property(float, unit="C", description="tube temperature", default=12.0)
    mode = corvo.Property(int, description="compensation mode", writable=True, choices={0: "OFF", 1: "TEMP"})

    def __init__(self):
        super().__init__()
        self._move = None

    @position.on_change
    async def _request(self, value):
        # A peer's "set focuser position X" moves there; the value is
        # confirmed when the move ends.
        await self._go(value)

    # One move at a time: a move requested while one runs is refused
    # ("busy: move is running"); "stop" it first, or set "position".
    @corvo.command(description="move to a position [mm]", policy="refuse")
    async def move(self, target: float):
        if not 0.0 <= target <= 50.0:
            raise corvo.ArgumentError("target %g mm is outside 0..50" % target)
        await self._go(target)

    @corvo.command(description="move to 0 mm")
    async def home(self):
        await self._go(0.0)

    @corvo.command(name="stop", description="stop a move where it is")
    async def stop_move(self):
        # Handlers share the package's asyncio thread: cancelling is safe.
        if self._move is not None:
            self._move.cancel()

    async def _go(self, target):
        if self._move is not None:
            self._move.cancel()
        self._move = asyncio.current_task()
        self.target = target
        self.status = "MOVING"
        self.log.info("moving to %.2f mm", target)
        try:
            here = self.position
            while abs(here - target) > 1e-9:
                here = min(here + STEP_MM, target) if target > here else max(here - STEP_MM, target)
                await asyncio.sleep(TICK_S)
                self.position = here
        except asyncio.CancelledError:
            self.log.info("stopped at %.2f mm", self.position)
            raise corvo.RefusedError("stopped")
        finally:
            if self._move is asyncio.current_task():
                self._move = None
                self.status = "IDLE"
        return target

    def on_start(self):
        self.spawn(self._thermometer())

    async def _thermometer(self):
        while True:
            await asyncio.sleep(5)
            self.temperature = round(self.temperature - 0.1, 2)


if __name__ == "__main__":
    sys.exit(Focuser().run())
