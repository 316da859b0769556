"""Event-loop blocks caught with their code: ``watch_event_loops()``.

Each watched loop runs a heartbeat, a callback the loop itself schedules
every tenth of the threshold, which tells the agent when it is due next.
The agent's watcher thread (``dump/loop_watch.cpp``), which never takes the
GIL, sees a heartbeat overdue by more than the threshold and reads the
loop thread's stack right then with the GIL-free reader, whether the
blocking code holds the GIL or not.  When the late heartbeat runs it
collects how late it was and the stack, and charges the block to the
stack's innermost frame.  A Python thread of the package's, woken by the
agent at each catch, notes the asyncio task that is running meanwhile.
While a block lasts the agent reads the stack again now and then: when the
callback's own frame (as deep as the heartbeat's) changes, another
callback runs back to back and the block is split in two, each caught
with its own stack and task.

Loops are found as they start: ``asyncio.events._set_running_loop`` is
wrapped (every asyncio loop, and uvloop when imported after the watcher
started, call it as they start and stop running); the caller's own running
loop is taken at the start, and every quarter second the other threads' stacks
are looked at for a running loop the wrapper did not see (one started
before, or by a uvloop imported earlier).  asyncio itself is imported
only once a watcher starts: ``import vandrel`` stays light.
"""
from __future__ import annotations

import atexit
import ctypes
import math
import os
import sys
import threading
import time
from types import FrameType
import weakref
from typing import TYPE_CHECKING, Any, Dict, List, NamedTuple, Optional, Set, Tuple

from vandrel import _agent
from vandrel._errors import AgentSystemError, AlreadyRunning, NotAvailable
from vandrel._report import Frame, LoopBlock, LoopBlockReport

if TYPE_CHECKING:
    import asyncio

__all__ = ["LoopWatcher", "watch_event_loops"]

_MAX_THRESHOLD = 60.0
#: Loops watched at once (the agent's slots).
_SLOTS = 64
#: Places kept; past it a new place takes the slot of the one with least time.
_MAX_PLACES = 256
_STACK_BYTES = 32768
_SCAN_PERIOD = 0.25
#: Functions whose frame tells a running loop in the stack scan.
_RUNNER_NAMES = frozenset({"run_forever", "run_until_complete", "_run_once", "run", "run_app"})

_lock = threading.Lock()
_active: Optional[LoopWatcher] = None
_hook_installed = False


class _Native:
    """The agent's watcher exports.  Those that set something are called
    with the GIL held (PyDLL); stop and wait release it (CDLL)."""

    def __init__(self, path: str) -> None:
        held = ctypes.PyDLL(path)
        released = ctypes.CDLL(path)
        if not hasattr(held, "vandrel_loop_watch_start"):
            raise NotAvailable(f"the loaded agent {path} has no event-loop watcher; load the "
                               f"package's own agent (vandrel.agent_path()) first", -2)
        i32, i64 = ctypes.c_int32, ctypes.c_int64
        self.start = held.vandrel_loop_watch_start
        self.start.argtypes, self.start.restype = [i64, i64], i32
        self.arm = held.vandrel_loop_watch_arm
        self.arm.argtypes, self.arm.restype = [i32, ctypes.c_uint64, i64], i32
        self.disarm = held.vandrel_loop_watch_disarm
        self.disarm.argtypes, self.disarm.restype = [i32], i32
        if not hasattr(held, "vandrel_loop_watch_beat_blocks"):
            raise NotAvailable(f"the loaded agent {path} is older than this package (it has no "
                               f"vandrel_loop_watch_beat_blocks); load the package's own agent "
                               f"(vandrel.agent_path()) first", -2)
        self.beat = held.vandrel_loop_watch_beat_blocks
        self.beat.argtypes = [i32, i64, i32, ctypes.POINTER(i64), ctypes.c_char_p, i64]
        self.beat.restype = i64
        self.caught = held.vandrel_loop_watch_caught
        self.caught.argtypes, self.caught.restype = [i32], i64
        self.stop = released.vandrel_loop_watch_stop
        self.stop.argtypes, self.stop.restype = [], i32
        self.wait = released.vandrel_loop_watch_wait
        self.wait.argtypes, self.wait.restype = [i64, i32], i64
        # Blocks into the GIL trace the agent streams, when one is on.
        self.trace_block = getattr(held, "vandrel_trace_loop_block", None)
        if self.trace_block is not None:
            self.trace_block.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p,
                                         i64, i64]
            self.trace_block.restype = i32


def _native() -> _Native:
    _agent.load_agent()
    paths = _agent.loaded_agent_paths()
    return _Native(paths[-1] if paths else _agent.agent_path())


def _check_threshold(threshold: Any) -> float:
    if isinstance(threshold, bool) or not isinstance(threshold, (int, float)):
        raise TypeError(f"threshold must be a number of seconds, not {type(threshold).__name__}")
    value = float(threshold)
    if math.isnan(value) or not 0 < value <= _MAX_THRESHOLD:
        raise ValueError(f"threshold must be more than 0 and at most {_MAX_THRESHOLD:g} seconds, "
                         f"got {threshold!r}")
    return value


def _describe_task(loop: asyncio.AbstractEventLoop) -> Optional[str]:
    """The task `loop` is running now, as ``name (coroutine)``, or None."""
    import asyncio
    try:
        task = asyncio.current_task(loop)
        if task is None:
            return None
        coro = task.get_coro()
        qualname = getattr(coro, "__qualname__", None) or type(coro).__name__
        return f"{task.get_name()} ({qualname})"
    except Exception:
        return None


class _CaughtBlock(NamedTuple):
    serial: int
    start_ns: int
    end_ns: int
    from_due: bool          # began at the heartbeat's due time (else at a change)
    stack: Tuple[Frame, ...]


def _parse_blocks(data: bytes) -> List[_CaughtBlock]:
    """The blocks a heartbeat collected: each one's frame lines
    ``file<TAB>line<TAB>function`` (tabs in names are escaped), then its
    line ``block<TAB>serial<TAB>start_ns<TAB>end_ns<TAB>due|moved``."""
    blocks: List[_CaughtBlock] = []
    frames: List[Frame] = []
    for line in data.decode("utf-8", "replace").splitlines():
        parts = line.split("\t")
        if len(parts) == 3:
            frames.append(Frame(parts[0], int(parts[1]) if parts[1].isdigit() else 0, parts[2]))
        elif len(parts) == 5 and parts[0] == "block":
            blocks.append(_CaughtBlock(int(parts[1]), int(parts[2]), int(parts[3]),
                                       parts[4] == "due", tuple(frames)))
            frames = []
    return blocks


def _depth_of(frame: Optional[FrameType]) -> int:
    """How many frames `frame` and those under it make."""
    depth = 0
    while frame is not None:
        depth += 1
        frame = frame.f_back
    return depth


def _loop_in_frame(frame: Any) -> Optional[asyncio.AbstractEventLoop]:
    """The running loop a frame of one of _RUNNER_NAMES works on, if any."""
    import asyncio
    try:
        local = frame.f_locals
        for candidate in (local.get("self"), local.get("loop")):
            if not isinstance(candidate, asyncio.AbstractEventLoop):
                candidate = getattr(candidate, "_loop", None)   # asyncio.Runner
            if isinstance(candidate, asyncio.AbstractEventLoop) and candidate.is_running():
                return candidate
    except Exception:
        pass
    return None


class _WatchedLoop:
    """One loop being watched, on one thread, through one agent slot."""

    def __init__(self, loop: asyncio.AbstractEventLoop, ident: int, slot: int,
                 found_by_scan: bool) -> None:
        self.loop = loop
        self.ident = ident
        self.slot = slot
        self.found_by_scan = found_by_scan
        self.live = True
        self.handle: Any = None
        self.buffer = ctypes.create_string_buffer(_STACK_BYTES + 1)
        self.late = ctypes.c_int64(0)
        # Frames under the heartbeat's own: a callback's own frame is at
        # that depth, the loop's machinery under it (the same for a whole
        # run of the loop).  Taken from a heartbeat with a plain handle
        # (call_soon, call_later): call_soon_threadsafe's adds a frame on
        # 3.14.
        self.depth = -1
        self.plain_handle = False
        # The task seen running during each catch, by the catch's serial.
        self.tasks: Dict[int, Optional[str]] = {}


class LoopWatcher:
    """Watches the process's asyncio event loops (any implementation, uvloop
    included) for blocks longer than ``threshold`` seconds.  Made by
    ``vandrel.watch_event_loops()``; ``report()`` gives the figures so far,
    ``stop()`` switches the watcher off and gives the final report.  Also a
    context manager (``with vandrel.watch_event_loops(): ...``)."""

    def __init__(self, threshold: float) -> None:
        self._threshold = threshold
        # The heartbeat's period.  A late heartbeat says the loop ran no
        # callback from at most a period before it was due: a block lasts
        # between `late` and `late + period`, and is taken as the middle,
        # so it is measured to within half a period (a tenth of the
        # threshold).  One heartbeat every fifth of the threshold keeps the
        # watcher's cost on an idle loop well under 1 % of a core.
        self._period = min(max(threshold / 5, 0.005), 1.0)
        self._period_ns = int(self._period * 1e9)
        self._half_period_ns = self._period_ns // 2
        self._lock = threading.Lock()
        self._state = "new"            # new, running, stopped
        self._pid = 0
        self._native: Optional[_Native] = None
        self._loops: Dict[int, _WatchedLoop] = {}      # by thread ident
        self._free_slots = list(range(_SLOTS - 1, -1, -1))
        # The distinct loops watched so far (a loop that runs again, as
        # asyncio.run's does for its clean-up, counts once).
        self._seen_loops: Any = weakref.WeakSet()
        self._seen_ids: Set[int] = set()
        self._seen_count = 0
        self._block_count = 0
        self._blocked_s = 0.0
        self._places: Dict[Tuple[str, int, str], Dict[str, Any]] = {}
        self._final: Optional[LoopBlockReport] = None
        self._thread: Optional[threading.Thread] = None

    @property
    def threshold(self) -> float:
        """Seconds a loop must be blocked for to count."""
        return self._threshold

    @property
    def running(self) -> bool:
        """True from the start until ``stop()`` (and never in a forked child)."""
        return self._state == "running" and self._pid == os.getpid()

    def __repr__(self) -> str:
        return (f"<vandrel.LoopWatcher threshold={self._threshold:g} "
                f"{'running' if self.running else self._state} at {id(self):#x}>")

    def __enter__(self) -> LoopWatcher:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.stop()

    # ---- switching on and off -----------------------------------------------

    def _start(self) -> None:
        global _active
        native = _native()
        with _lock:
            if _active is not None and _active._pid == os.getpid():
                raise AlreadyRunning(f"an event-loop watcher is already running in this process "
                                     f"({_active!r}); stop it first", -4)
            # Caught once late by the threshold less half a period: blocked
            # for the threshold, give or take half a period.  The agent's
            # thread wakes when a heartbeat could be that late, and at least
            # once a second.
            status = native.start(int(self._threshold * 1e9) - self._half_period_ns,
                                  1_000_000_000)
            if status == -2:
                raise NotAvailable("the event-loop watcher cannot read this interpreter's frames "
                                   "without the GIL (another CPython version than the agent was "
                                   "built for, a free-threaded build, or process_vm_readv "
                                   "refused)", -2)
            if status == -4:
                raise AlreadyRunning("the agent's event-loop watcher is already running (started "
                                     "through another copy of the package?)", -4)
            if status != 0:
                raise AgentSystemError(f"the agent could not start the event-loop watcher "
                                       f"(status {status})", status)
            self._native = native
            self._pid = os.getpid()
            self._state = "running"
            _active = self
            _install_hook()
        self._thread = threading.Thread(target=self._serve, name="vandrel-loop-watch",
                                        daemon=True)
        self._thread.start()
        import asyncio.events
        loop = asyncio.events._get_running_loop()
        if loop is not None:
            self._watch(loop, threading.get_ident(), found_by_scan=False)
        self._scan()

    def stop(self) -> LoopBlockReport:
        """Switch the watcher off and return its final report.  Calling it
        again returns the same report; in a child made by ``fork()`` it
        returns the figures the parent had at the fork."""
        global _active
        with _lock:
            if self._final is not None:
                return self._final
            if self._state != "running":
                raise RuntimeError("stop() before the watcher started")
            self._state = "stopped"
            if _active is self:
                _active = None
            native = self._native
        assert native is not None
        native.stop()
        thread = self._thread
        if thread is not None and thread is not threading.current_thread():
            thread.join(2.0)
        with self._lock:
            for watched in self._loops.values():
                watched.live = False
            self._loops.clear()
        self._final = self._report(final=True)
        return self._final

    def report(self) -> LoopBlockReport:
        """The figures so far (the final ones after ``stop()``)."""
        if self._final is not None:
            return self._final
        return self._report(final=False)

    def _report(self, final: bool) -> LoopBlockReport:
        with self._lock:
            places = sorted(self._places.values(), key=lambda place: -place["total_s"])
            blocks = tuple(LoopBlock(place["file"], place["line"], place["function"],
                                     place["count"], place["total_s"], place["max_s"],
                                     place["task"], place["thread"], place["stack"])
                           for place in places)
            return LoopBlockReport(self._threshold, self._block_count, self._blocked_s,
                                   self._loops_seen(), final, blocks)

    def _loops_seen(self) -> int:
        return self._seen_count

    def _forked(self) -> None:
        """In a child made by fork(): the agent's thread is gone; keep the
        parent's figures as this handle's final report."""
        self._lock = threading.Lock()
        self._loops.clear()
        self._state = "stopped"
        self._final = self._report(final=True)
        self._seen_loops = weakref.WeakSet()

    # ---- finding loops --------------------------------------------------------

    def _watch(self, loop: asyncio.AbstractEventLoop, ident: int, found_by_scan: bool) -> None:
        """Start watching `loop`, running on thread `ident`."""
        native = self._native
        with self._lock:
            if self._state != "running" or native is None:
                return
            old = self._loops.get(ident)
            if old is not None:
                if old.loop is loop and old.live:
                    return
                self._release(old)
            if not self._free_slots:
                return
            watched = _WatchedLoop(loop, ident, self._free_slots.pop(), found_by_scan)
            self._loops[ident] = watched
            try:
                if loop not in self._seen_loops:
                    self._seen_loops.add(loop)
                    self._seen_count += 1
            except TypeError:           # a loop class without weak references
                if id(loop) not in self._seen_ids:
                    self._seen_ids.add(id(loop))
                    self._seen_count += 1
            native.arm(watched.slot, ident, self._period_ns)
        try:
            if ident == threading.get_ident():
                # On the loop's thread (it starts running): a plain handle.
                watched.handle = loop.call_soon(self._beat, watched)
                watched.plain_handle = True
            else:
                watched.handle = loop.call_soon_threadsafe(self._beat, watched)
        except RuntimeError:            # closed meanwhile
            with self._lock:
                self._release(watched)

    def _release(self, watched: _WatchedLoop) -> None:
        """Stop watching one loop.  self._lock held."""
        if not watched.live:
            return
        watched.live = False
        if self._loops.get(watched.ident) is watched:
            del self._loops[watched.ident]
        if self._native is not None and self._state == "running":
            self._native.disarm(watched.slot)
        self._free_slots.append(watched.slot)

    def _loop_switched(self, loop: Optional[asyncio.AbstractEventLoop]) -> None:
        """A loop starts (or, None, stops) running on the calling thread."""
        ident = threading.get_ident()
        if loop is not None:
            self._watch(loop, ident, found_by_scan=False)
            return
        with self._lock:
            watched = self._loops.get(ident)
            if watched is None:
                return
            self._release(watched)
        handle = watched.handle
        if handle is not None:
            handle.cancel()             # on the loop's own thread

    def _scan(self) -> None:
        """Look at the other threads' stacks for running loops not watched
        yet; forget the loops found so that have stopped running."""
        with self._lock:
            stopped = [watched for watched in self._loops.values()
                       if watched.found_by_scan and not watched.loop.is_running()]
            for watched in stopped:
                # Its pending heartbeat is left to run once and end: a
                # handle may only be cancelled on the loop's own thread.
                self._release(watched)
            watched_idents = set(self._loops)
        own = threading.get_ident()
        for ident, top in sys._current_frames().items():
            if ident in watched_idents or ident == own:
                continue
            frame: Optional[FrameType] = top
            depth = 0
            while frame is not None and depth < 200:
                if frame.f_code.co_name in _RUNNER_NAMES:
                    loop = _loop_in_frame(frame)
                    if loop is not None:
                        self._watch(loop, ident, found_by_scan=True)
                        break
                frame = frame.f_back
                depth += 1

    # ---- the heartbeat and the catches ----------------------------------------

    def _beat(self, watched: _WatchedLoop) -> None:
        """The heartbeat, on the loop's thread."""
        native = self._native
        if not watched.live or self._state != "running" or native is None:
            return
        if watched.depth < 0 and watched.plain_handle:
            watched.depth = _depth_of(sys._getframe(1))
        serial = native.beat(watched.slot, self._period_ns, watched.depth,
                             ctypes.byref(watched.late), watched.buffer, _STACK_BYTES)
        if serial > 0:
            for block, start_ns, end_ns in self._blocks(_parse_blocks(watched.buffer.value)):
                self._record(watched, block.serial, start_ns, end_ns, block.stack)
            with self._lock:
                watched.tasks.clear()
        try:
            watched.handle = watched.loop.call_later(self._period, self._beat, watched)
            watched.plain_handle = True
        except RuntimeError:            # the loop is closing
            with self._lock:
                self._release(watched)

    def _blocks(self, caught: List[_CaughtBlock]) -> List[Tuple[_CaughtBlock, int, int]]:
        """The blocks a heartbeat collected, each with its start and end.
        The first began between the previous heartbeat and this one's due
        time: taken as the middle, half a period early.  One that began at
        a change of callback and is shorter than the threshold is no block:
        its time goes to the block before."""
        blocks: List[Tuple[_CaughtBlock, int, int]] = []
        for block in caught:
            start_ns = block.start_ns - (self._half_period_ns if block.from_due else 0)
            if blocks and not block.from_due and block.end_ns - start_ns < self._threshold * 1e9:
                blocks[-1] = (blocks[-1][0], blocks[-1][1], block.end_ns)
            else:
                blocks.append((block, start_ns, block.end_ns))
        return [(block, start_ns, end_ns) for block, start_ns, end_ns in blocks
                if end_ns - start_ns >= self._threshold * 1e9]

    def _record(self, watched: _WatchedLoop, serial: int, start_ns: int, end_ns: int,
                stack: Tuple[Frame, ...]) -> None:
        """Count one block from `start_ns` to `end_ns` (CLOCK_MONOTONIC), on
        the loop's thread, and hand it to the GIL trace if one streams."""
        seconds = (end_ns - start_ns) / 1e9
        key = ((stack[0].file, stack[0].line, stack[0].function) if stack
               else ("<unknown>", 0, "<unknown>"))
        thread = threading.current_thread().name
        with self._lock:
            task = watched.tasks.pop(serial, None)
            self._block_count += 1
            self._blocked_s += seconds
            place = self._places.get(key)
            if place is None:
                if len(self._places) >= _MAX_PLACES:
                    least = min(self._places, key=lambda k: self._places[k]["total_s"])
                    del self._places[least]
                place = self._places[key] = {"file": key[0], "line": key[1],
                                             "function": key[2], "count": 0, "total_s": 0.0,
                                             "max_s": 0.0}
            place["count"] += 1
            place["total_s"] += seconds
            place["max_s"] = max(place["max_s"], seconds)
            place["task"] = task
            place["thread"] = thread
            place["stack"] = stack
        native = self._native
        if native is not None and native.trace_block is not None:
            native.trace_block(f"event loop {thread}".encode("utf-8", "replace"),
                               f"{key[0]}:{key[1]} {key[2]}".encode("utf-8", "replace"),
                               task.encode("utf-8", "replace") if task is not None else None,
                               start_ns, end_ns)

    def _serve(self) -> None:
        """The package's watcher thread: notes the running task at each catch
        (the agent wakes it) and scans for loops every quarter second."""
        native = self._native
        assert native is not None
        seen = 0
        last_scan = time.monotonic()
        while self._state == "running":
            catches = native.wait(seen, int(_SCAN_PERIOD * 1000))
            if catches < 0 or self._state != "running":
                return
            if catches != seen:
                seen = catches
                with self._lock:
                    loops = list(self._loops.values())
                for watched in loops:
                    serial = native.caught(watched.slot)
                    if serial > 0 and serial not in watched.tasks:
                        watched.tasks[serial] = _describe_task(watched.loop)
            if time.monotonic() - last_scan >= _SCAN_PERIOD:
                last_scan = time.monotonic()
                try:
                    self._scan()
                except Exception:
                    pass


def _install_hook() -> None:
    """Wrap asyncio's _set_running_loop, once: every loop that starts or
    stops running tells the active watcher.  The wrapper stays (uvloop
    keeps a reference to it) and passes straight through when no watcher
    runs.  _lock held."""
    global _hook_installed
    if _hook_installed:
        return
    import asyncio.events
    original = asyncio.events._set_running_loop

    def _set_running_loop(loop: Optional[asyncio.AbstractEventLoop]) -> None:
        original(loop)
        watcher = _active
        if watcher is not None:
            watcher._loop_switched(loop)

    asyncio.events._set_running_loop = _set_running_loop
    if getattr(asyncio, "_set_running_loop", None) is original:
        asyncio._set_running_loop = _set_running_loop
    _hook_installed = True


def _after_fork_in_child() -> None:
    global _active, _lock
    _lock = threading.Lock()
    watcher, _active = _active, None
    if watcher is not None:
        watcher._forked()


os.register_at_fork(after_in_child=_after_fork_in_child)


def _stop_at_exit() -> None:
    # The agent's thread stops before the interpreter is torn down; the
    # handle keeps its final report.
    watcher = _active
    if watcher is not None and watcher.running:
        watcher.stop()


atexit.register(_stop_at_exit)


def watch_event_loops(threshold: float = 0.1) -> LoopWatcher:
    """Watch every asyncio event loop of the process (running now, or
    started later, whatever its implementation) for blocks: times its
    callbacks did not run for longer than `threshold` seconds.  Each block
    is charged to the innermost Python frame of the loop's thread, read
    while it lasted, with the whole stack and the running task.  Return
    the running ``LoopWatcher``.

    Raise ``TypeError`` when `threshold` is not a number, ``ValueError``
    when it is not more than 0 and at most 60, ``AlreadyRunning`` when a
    watcher already runs in this process, and ``NotAvailable`` where the
    agent cannot read frames without the GIL; nothing is installed then."""
    value = _check_threshold(threshold)
    watcher = LoopWatcher(value)
    watcher._start()
    return watcher
