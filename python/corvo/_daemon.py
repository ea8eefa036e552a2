"""Device servers in Python: corvo.Daemon, corvo.Property and
corvo.command. The Daemon class's docstring shows a whole device server."""

from __future__ import annotations

import asyncio
import concurrent.futures
import inspect
import math
import signal
import sys
import threading
import typing
import weakref
from typing import Any, Callable, Dict, List, Optional, Tuple

from . import _corvo, _runner
from ._core import TYPE_CODES, check_value
from ._gate import Gate, Job, Runner, check_policy
from ._errors import ArgumentError, CorvoError, RefusedError, WrongTypeError, WrongValueError

__all__ = ["Daemon", "Property", "command"]

_TYPE_NAMES = {int: "int", float: "float", str: "str"}
_LIST_NAMES = {int: "list[int]", float: "list[float]", str: "list[str]"}
_ARG_TYPES = {str: ("str", 0), int: ("int", 1), float: ("float", 2), bool: ("bool", 3)}
_DEFAULTS = {"int": 0, "float": 0.0, "str": "", "list[int]": [], "list[float]": [], "list[str]": []}


def _type_name(declared) -> str:
    if isinstance(declared, str) and declared in TYPE_CODES:
        return declared
    if declared in _TYPE_NAMES:
        return _TYPE_NAMES[declared]
    if typing.get_origin(declared) in (list, List):
        (item,) = typing.get_args(declared) or (None,)
        if item in _LIST_NAMES:
            return _LIST_NAMES[item]
    raise WrongTypeError("a property's type is int, float, str, list[int], list[float] or list[str], not %r"
                    % (declared,))


class Property:
    """Declares a property of a Daemon subclass.

    ``corvo.Property(float, unit="mm", description="...", writable=True,
    limits=(0, 50), default=0.0)``; ``choices={0: "OFF", 1: "ON"}`` for an
    int; ``list[int]``, ``list[float]`` or ``list[str]`` for a list
    property (``default=[1, 2]``; assign a list or tuple). Reading the
    attribute gives the current value (a copy, for a list); assigning it
    stores and broadcasts at once. A peer's change request to a writable
    property is applied unless a handler registered with ``@prop.on_change``
    refuses it (raise corvo.RefusedError) or returns another value to apply;
    the requester's ``set`` then returns the value applied. An ``async def``
    handler runs on the package's asyncio thread and the value is applied
    when it returns; ``policy`` and ``queue`` say what happens to requests
    that arrive while it runs (default: up to 8 wait their turn; see
    corvo.command).
    """

    def __init__(self, type, *, default: Any = None, unit: str = "", description: str = "",
                 writable: bool = False, limits: Optional[Tuple[Any, Any]] = None,
                 choices: Optional[Dict[int, str]] = None, policy: str = "queue", queue: Optional[int] = None):
        self.type = _type_name(type)
        self.policy = policy
        self.queue = check_policy(policy, queue)
        self.unit = unit
        self.description = description
        self.writable = writable
        if limits is not None:
            if self.type not in ("int", "float"):
                raise WrongTypeError("limits need an int or float property")
            limits = (limits[0], limits[1])
            if limits[0] > limits[1]:
                raise WrongValueError("limits (%r, %r): the minimum is above the maximum" % limits)
        self.limits = limits
        if choices and self.type != "int":
            raise WrongTypeError("choices need an int property")
        self.choices = dict(choices or {})
        self.default = _DEFAULTS[self.type] if default is None else check_value("default", self.type, default,
                                                                                 None, None)
        self.name: Optional[str] = None
        self.handler: Optional[Callable] = None

    def __set_name__(self, owner, name):
        # The first name is the property's; a handler decorated with
        # @prop.on_change under another name is the same object again.
        if self.name is None:
            self.name = name

    def on_change(self, handler: Callable) -> "Property":
        """Decorator: ``handler(self, value)`` answers peers' change requests."""
        self.handler = handler
        return self

    def __get__(self, instance, owner=None):
        if instance is None:
            return self
        return instance._value(self.name)

    def __set__(self, instance, value):
        instance._set(self.name, value)


class _Command:
    def __init__(self, function: Callable, name: Optional[str], description: str, safety: bool = False,
                 policy: str = "refuse", queue: Optional[int] = None):
        self.function = function
        self.safety = safety
        self.policy = policy
        self.queue = check_policy(policy, queue)
        self.name = name or function.__name__
        self.description = description or (inspect.getdoc(function) or "").split("\n")[0]
        self.args: List[Tuple[str, str, int]] = []
        hints = typing.get_type_hints(function)
        parameters = list(inspect.signature(function).parameters.values())[1:]  # after self
        for parameter in parameters:
            if parameter.kind not in (parameter.POSITIONAL_ONLY, parameter.POSITIONAL_OR_KEYWORD):
                raise WrongTypeError("command %s: only plain positional arguments are supported" % self.name)
            kind = hints.get(parameter.name, str)
            if kind not in _ARG_TYPES:
                raise WrongTypeError("command %s: argument %s must be str, int, float or bool"
                                % (self.name, parameter.name))
            self.args.append((parameter.name,) + _ARG_TYPES[kind])
        self.is_async = inspect.iscoroutinefunction(function)

    def convert(self, words: List[str]) -> list:
        values = []
        for (argname, kind, _), word in zip(self.args, words):
            try:
                values.append(_parse_arg(kind, word))
            except ValueError:
                raise ArgumentError("argument %s of %s: %r is not a %s" % (argname, self.name, word, kind)) from None
        return values


def _parse_arg(kind: str, word: str):
    if kind == "int":
        return int(word.strip())
    if kind == "float":
        value = float(word)
        if not math.isfinite(value):
            raise WrongValueError(word)
        return value
    if kind == "bool":
        text = word.strip().lower()
        if text in ("true", "1"):
            return True
        if text in ("false", "0"):
            return False
        raise WrongValueError(word)
    return word


def command(function: Optional[Callable] = None, *, name: Optional[str] = None, description: str = "",
            safety: bool = False, policy: str = "refuse", queue: Optional[int] = None):
    """Declares a method of a Daemon subclass as a command peers can run.
    The arguments' annotations (str, int, float, bool) give their declared
    types; unannotated arguments are str. The method may be ``async def``:
    it then runs on the package's asyncio thread and stalls nothing else.
    Raising corvo.ArgumentError makes the daemon log "Wrong argument";
    raising corvo.RefusedError(reason) answers the requester with a refusal
    carrying that reason (the C++ tool then exits with status 5).
    ``safety=True`` marks a safety command (abort, stop): on a secured site
    another identity's lock never blocks it; the access rules still decide
    who may run it.

    An ``async def`` command runs one request at a time; ``policy`` says
    what becomes of a request that arrives meanwhile:

    - ``"refuse"`` (default): refused with "busy: NAME is running";
    - ``"queue"``: waits its turn, up to ``queue`` requests (default 8, at
      most 1000); beyond, refused;
    - ``"cancel"``: cancels the running request (its handler sees
      asyncio.CancelledError and may answer, e.g. raise RefusedError) and
      runs when it has ended; a newer request supersedes one still waiting.

    A plain ``def`` command runs to its end on the library's thread before
    the next request is read, so it never overlaps itself."""
    def wrap(f):
        return _Command(f, name, description, safety, policy, queue)
    return wrap(function) if function is not None else wrap


class _Log:
    """The daemon's logger: records go to the console and the site's log."""
    def __init__(self, daemon: "Daemon"):
        self._daemon = daemon

    def _emit(self, level: int, message: str, args) -> None:
        text = message % args if args else str(message)
        self._daemon._host.log(level, text)

    def debug(self, message: str, *args) -> None:
        self._emit(1, message, args)

    def info(self, message: str, *args) -> None:
        self._emit(2, message, args)

    def warning(self, message: str, *args) -> None:
        self._emit(3, message, args)

    warn = warning

    def error(self, message: str, *args) -> None:
        self._emit(4, message, args)


#: Seconds the handlers still running at shutdown get, in all, to end after
#: their cancellation.
SHUTDOWN_GRACE = 5.0


class _DaemonRunner(Runner):
    """Runs a daemon's requests on the package's asyncio thread, keeping
    them in the order they started, for the shutdown."""

    def __init__(self, daemon: "Daemon"):
        self._daemon = weakref.ref(daemon)
        self.tasks: Dict[asyncio.Task, None] = {}  # asyncio thread only; insertion order

    def start(self, coroutine):
        daemon = self._daemon()
        return _runner.submit(coroutine, on_error=None if daemon is None else daemon._report)

    def task(self, coroutine) -> asyncio.Task:
        task = asyncio.get_running_loop().create_task(coroutine)
        self.track(task)
        return task

    def track(self, task: asyncio.Task) -> None:
        self.tasks[task] = None
        task.add_done_callback(lambda t: self.tasks.pop(t, None))

    def cancel(self, task: asyncio.Task) -> None:
        loop = _runner.current()
        if loop is not None:
            loop.call_soon_threadsafe(task.cancel)

    async def cancel_all(self, grace: float) -> None:
        """Cancels the running handlers one by one in the order they
        started, letting each end (its ``finally`` may still set
        properties), within `grace` seconds in all."""
        loop = asyncio.get_running_loop()
        deadline = loop.time() + grace
        for task in list(self.tasks):
            if task.done():
                continue
            task.cancel()
            left = deadline - loop.time()
            if left > 0:
                await asyncio.wait({task}, timeout=left)


class Daemon:
    """Base of a device server: a class declares its properties, commands
    and status names; ``run()`` reads the same command line and
    configuration file as a C++ daemon and serves until Ctrl-C (or SIGTERM,
    or ``stop()``).

    ::

        class Focuser(corvo.Daemon):
            name = "focuser"
            statuses = {1: "MOVING"}
            position = corvo.Property(float, unit="mm", description="focuser position",
                                      writable=True, limits=(0.0, 50.0))

            @corvo.command(description="move to a position")
            async def move(self, target: float):
                self.status = "MOVING"
                await asyncio.sleep(1)
                self.position = target
                self.status = "IDLE"

        if __name__ == "__main__":
            Focuser().run()

    Class attributes: ``name`` (the component's default name and its type;
    the class name in lower case when absent), ``statuses`` ({value: name};
    0 is "IDLE"). Properties are corvo.Property attributes, commands methods
    decorated with corvo.command. Hooks: ``on_start()`` after joining the
    site, ``on_stop()`` before leaving (either may be ``async def``).

    ``run()`` serves until SIGINT (Ctrl-C, also when started in the
    background of a shell), SIGTERM or ``stop()``. On the way out, the
    ``async def`` handlers still running (and the coroutines of ``spawn``)
    are cancelled one by one in the order they started; their ``finally``
    blocks may still set properties, which are broadcast. Then
    ``on_stop()`` runs and the daemon leaves the site, once a plain ``def``
    handler still running has returned; a second signal meanwhile ends the
    process at once, by that signal, without cleanup.
    """

    name: Optional[str] = None
    statuses: Dict[int, str] = {}

    def __init__(self, name: Optional[str] = None):
        self._host = _corvo.DaemonHost(name or type(self).name or type(self).__name__.lower())
        self._lock = threading.Lock()
        self._values: Dict[str, Any] = {}
        self._declared: Dict[str, Property] = {}
        self._commands: Dict[str, _Command] = {}
        self._status = 0
        self._status_names = {0: "IDLE"}
        self._stopped = threading.Event()
        self._running = False
        self._runner = _DaemonRunner(self)
        self._gates: Dict[str, Gate] = {}  # by command name, and "property NAME"
        self.log = _Log(self)
        self._declare()

    # ------------------------------------------------------------ declaration
    def _declare(self) -> None:
        seen = set()
        for klass in type(self).__mro__:
            for attr, member in vars(klass).items():
                if attr in seen:
                    continue
                seen.add(attr)
                if isinstance(member, Property):
                    if member.name not in self._declared:
                        self._declare_property(member)
                elif isinstance(member, _Command):
                    self._declare_command(member)
        for value, text in sorted(type(self).statuses.items()):
            if value == 0:
                continue  # IDLE, declared by every daemon
            self._host.declare_status(int(value), str(text))
            self._status_names[int(value)] = str(text)
        self._host.set_change_handler(self._on_change_request)

    def _declare_property(self, prop: Property) -> None:
        self._declared[prop.name] = prop
        if prop.handler is not None and inspect.iscoroutinefunction(prop.handler):
            self._gates["property " + prop.name] = Gate("changes of %s" % prop.name, prop.policy, prop.queue,
                                                        self._runner)
        self._values[prop.name] = prop.default
        self._host.declare_property(prop.name, TYPE_CODES[prop.type], prop.unit, prop.description,
                                    prop.writable, prop.limits, prop.choices, prop.default)

    def _declare_command(self, cmd: _Command) -> None:
        self._commands[cmd.name] = cmd
        if cmd.is_async:
            self._gates[cmd.name] = Gate(cmd.name, cmd.policy, cmd.queue, self._runner)
        bound_call = self._command_runner(cmd)
        self._host.declare_command(cmd.name, cmd.description, [(a[0], a[2]) for a in cmd.args], bound_call)
        if cmd.safety:
            self._host.mark_safety_command(cmd.name)

    def _command_runner(self, cmd: _Command) -> Callable[[List[str], str], None]:
        def run(words: List[str], requester: str) -> None:
            values = cmd.convert(words)
            if not cmd.is_async:
                cmd.function(self, *values)  # RefusedError: answered by the library
                return

            def refuse(reason: str) -> None:
                self._host.refuse_command(requester, [cmd.name] + list(words), reason)

            async def answer():
                try:
                    await cmd.function(self, *values)
                except RefusedError as error:
                    refuse(error.reason)
                except Exception as error:  # logged; the daemon goes on
                    self._report(error)
            # Admitted or refused here (RefusedError: answered by the library).
            self._gates[cmd.name].admit(Job(answer, refuse))
        return run

    def _report(self, error: BaseException) -> None:
        # The text a C++ daemon logs for an exception that left a handler.
        self.log.error("Unhandled exception in event handling: %s: %s" % (type(error).__name__, error))

    # ------------------------------------------------------------ values
    def _value(self, name: str):
        with self._lock:
            value = self._values[name]
        return list(value) if isinstance(value, list) else value

    def _set(self, name: str, value) -> None:
        prop = self._declared.get(name)
        if prop is None:
            raise AttributeError(name)
        value = check_value(name, prop.type, value, None, None)
        with self._lock:
            # Queued in order under the lock, so the last value stored is the
            # last value broadcast; stored only once queued, so a value
            # refused (WrongValueError: beyond what peers accept) leaves the
            # property as it was.
            self._host.set_value(name, TYPE_CODES[prop.type], value)
            self._values[name] = value

    @property
    def status(self) -> int:
        """The current status value; assign a value or a status name."""
        return self._status

    @status.setter
    def status(self, value) -> None:
        if isinstance(value, str):
            for number, text in self._status_names.items():
                if text == value:
                    value = number
                    break
            else:
                raise WrongValueError("no status named %r" % value)
        if value not in self._status_names:
            raise WrongValueError("status %r is not declared" % (value,))
        self._status = value
        self._host.set_status(value)

    @property
    def component(self) -> str:
        """The component name on the site (after --name)."""
        return self._host.name

    # ------------------------------------------------------------ requests
    def _on_change_request(self, name: str, value, peer_uuid: str, peer_name: str, ticket: int = 0) -> None:
        # The library has checked writability, type, limits and choices;
        # checked again here so that a handler only ever sees a fitting value.
        # Every request ends in exactly one of refuse(), change_applied() or
        # change_failed(): the library's audit waits for it.
        prop = self._declared.get(name)
        if prop is None or not prop.writable:
            return self._host.change_failed(ticket, "not a writable property")
        # The requester is answered (and the refusal logged) by the library.
        def refuse(reason: str) -> None:
            self._host.refuse_property(peer_uuid, name, reason, ticket)
        try:
            value = check_value(name, prop.type, value, prop.limits, prop.choices)
        except (RefusedError, TypeError, ValueError) as error:
            return refuse(error.reason if isinstance(error, RefusedError) else str(error))
        if prop.handler is None:
            return self._apply(name, value, None, ticket, refuse)
        if inspect.iscoroutinefunction(prop.handler):
            async def answer():
                try:
                    result = await prop.handler(self, value)
                except RefusedError as error:
                    return refuse(error.reason)
                except BaseException as error:  # logged; the daemon goes on
                    self._host.change_failed(ticket, "the handler failed: %s" % error)
                    if isinstance(error, Exception):
                        return self._report(error)
                    raise
                self._apply(name, value, result, ticket, refuse)
            try:
                self._gates["property " + name].admit(Job(answer, refuse))
            except RefusedError as error:
                refuse(error.reason)
            return
        try:
            result = prop.handler(self, value)
        except RefusedError as error:
            return refuse(error.reason)
        self._apply(name, value, result, ticket, refuse)

    def _apply(self, name: str, requested, result, ticket: int, refuse: Callable[[str], None]) -> None:
        """Stores what a change handler decided: the requested value (None
        returned) or the one it returned. The library audits the value
        applied and, when it is not the requested one, confirms it to the
        requester after its broadcast, so its ``set`` returns it instead of
        waiting for a broadcast of its own."""
        prop = self._declared[name]
        try:
            applied = requested if result is None else check_value(name, prop.type, result, None, None)
        except (TypeError, ValueError) as error:
            self._report(error)
            return refuse("the handler returned an unfit value: %s" % error)
        try:
            self._set(name, applied)
        except CorvoError as error:  # beyond what peers accept: not applied
            self._report(error)
            return refuse("the value cannot be published: %s" % error)
        self._host.change_applied(ticket)

    def save_image(self, array, path: str, header: Optional[Dict[str, Any]] = None,
                   template: Optional[str] = None) -> None:
        """Writes `array` as a FITS image (see corvo.write_fits) with the
        cards of the header template file `template` (the format of the C++
        camera's fitshdr.txt; a relative name is looked up in the
        configuration directories), filled from this daemon's properties and
        those of the peers it knows, then the cards of `header`."""
        self._host.save_image(str(path), array, dict(header or {}), template or "")

    # ------------------------------------------------------------ life
    def spawn(self, coroutine) -> "asyncio.Future":
        """Runs a coroutine on the package's asyncio thread (for periodic
        work); an exception it raises is logged. It is cancelled at shutdown
        with the handlers."""
        tracker = self._runner

        async def tracked():
            tracker.track(asyncio.current_task())
            return await coroutine
        return _runner.submit(tracked(), on_error=self._report)

    def on_start(self) -> Any:
        """Called once the daemon is on the site."""

    def on_stop(self) -> Any:
        """Called before the daemon leaves the site."""

    def _hook(self, hook: Callable) -> None:
        result = hook()
        if inspect.iscoroutine(result):
            future = asyncio.run_coroutine_threadsafe(result, _runner.loop())
            if not _runner.on_thread():  # else it runs after the calling handler
                future.result()

    def start(self, argv: Optional[List[str]] = None) -> None:
        """Reads the command line (``sys.argv`` when None), the configuration
        file, and joins the site; returns at once. ``run()`` is start and
        serve."""
        if self._running:
            raise CorvoError("the daemon is already running")
        args = list(sys.argv if argv is None else argv)
        if not args:
            args = [type(self).__name__.lower()]
        if self._host.parse_command_line(args):
            # Threads do not follow the process into the background: the
            # library's own (started by any earlier Site or daemon) counts.
            if threading.active_count() > 1 or _corvo.loop_started():
                raise CorvoError("--daemon must be given before any other thread starts "
                                 "(a corvo.Site or daemon used earlier starts the library's thread)")
            self._host.daemonize()
        self._host.start()
        self._running = True
        names = list(self._declared)
        values = self._host.values(names)  # the configuration file may have set them
        with self._lock:
            self._values.update({n: v for n, v in values.items() if v is not None})
        self._stopped.clear()
        self._hook(self.on_start)

    def stop(self) -> None:
        """Ends ``run()`` (from any thread or handler)."""
        self._stopped.set()

    def shutdown(self) -> None:
        """Cancels the running handlers in the order they started (see the
        class's docstring), calls ``on_stop()``, leaves the site and ends
        ``run()`` (which does it on the way out). From a plain ``def``
        handler the site is left once the library has finished with that
        request."""
        if not self._running:
            return
        self._running = False
        self._stopped.set()  # a handler's shutdown() also ends run()
        try:
            for gate in self._gates.values():
                gate.close()
            self._cancel_handlers()
            self._hook(self.on_stop)
        finally:
            self._host.shutdown()

    def _cancel_handlers(self) -> None:
        loop = _runner.current()
        if loop is None:
            return
        future = asyncio.run_coroutine_threadsafe(self._runner.cancel_all(SHUTDOWN_GRACE), loop)
        if _runner.on_thread():
            return  # called from an async handler: waiting here would block the loop it needs
        try:
            future.result(SHUTDOWN_GRACE + 1.0)
        except concurrent.futures.TimeoutError:
            future.cancel()

    def run(self, argv: Optional[List[str]] = None) -> int:
        """Starts, serves until Ctrl-C, SIGTERM or stop(), and leaves the site
        cleanly. Returns 0 (the exit status). A second Ctrl-C or SIGTERM
        during the shutdown ends the process at once, by that signal,
        without cleanup."""
        previous = {}
        if threading.current_thread() is threading.main_thread():
            def terminate(signum, frame):
                raise KeyboardInterrupt
            previous[signal.SIGTERM] = signal.signal(signal.SIGTERM, terminate)
            # Explicitly: CPython leaves SIGINT ignored in a process started
            # in the background of a shell script.
            previous[signal.SIGINT] = signal.signal(signal.SIGINT, signal.default_int_handler)
        try:
            self.start(argv)
            while not self._stopped.wait(0.25):
                pass
        except KeyboardInterrupt:
            pass
        finally:
            # A second signal ends the process at once, by that signal,
            # saying so on stderr: a plain handler stuck on a device would
            # hold the shutdown, and the process, for ever.
            _corvo.end_by_signals(list(previous))
            try:
                self.shutdown()
            finally:
                for signum, handler in previous.items():
                    signal.signal(signum, handler)
        return 0
