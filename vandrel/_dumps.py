"""Stack dumps: now, as text, on a signal, or after a timeout.

A dump now is one call of ``threadsnap.dump_all_threads_stack`` into the
agent, on a file descriptor; the functions here check their arguments and
turn the module's status into an exception that says what to do.  The
dumps on a signal and after a timeout are the agent's own (its
``vandrel_`` exports, called through ctypes): its signal handler and its
timer thread dump without the GIL, whatever the program's threads hold.
Under an agent without them, they are Python-level handlers as before.
"""
from __future__ import annotations

import ctypes
import errno
import fcntl
import math
import os
import signal
import sys
import threading
from types import FrameType
from typing import Any, Callable, Dict, Optional, Protocol, Union

from vandrel import _agent, _tasks
from vandrel._errors import VandrelError

__all__ = ["FileOrFd", "resolve_file", "check_signal", "dump_stacks", "format_stacks",
           "dump_stacks_on_signal", "cancel_dump_stacks_on_signal", "dump_stacks_later",
           "cancel_dump_stacks_later", "dump_stacks_on_crash"]

_INT32_MAX = 2**31 - 1
_INT64_MIN, _INT64_MAX = -(2**63), 2**63 - 1

class _HasFileno(Protocol):
    def fileno(self) -> int: ...


#: What the dump functions accept as ``file``: a file object with a
#: ``fileno()`` (its Python buffer is flushed first) or a file descriptor.
FileOrFd = Union[_HasFileno, int]


def _threadsnap() -> Any:
    """The threadsnap module, importing it (after loading the package's
    agent when none is loaded) if no one has yet."""
    return _agent.module("threadsnap")


def _dump_entry_missing(module: Any) -> bool:
    """Is threadsnap's dump_threads pointer null?  (-1 means that or bad arguments.)"""
    try:
        return ctypes.c_void_p.in_dll(ctypes.CDLL(module.__file__),
                                      "dump_threads_function").value is None
    except (OSError, ValueError, AttributeError):
        return True


def _working_threadsnap() -> Any:
    """threadsnap, checked to reach the agent's dump_threads (for a dump
    that will run later, where an error could not be raised)."""
    module = _threadsnap()
    if _dump_entry_missing(module):
        raise _agent.missing_agent_error("threadsnap", "dump_threads")
    return module



class _NativeDumps:
    """The agent's signal and timer dumps, through ctypes.PyDLL (called with
    the GIL held: they read the threads' names)."""

    def __init__(self, library: Any) -> None:
        self.library = library
        library.vandrel_dump_on_signal.argtypes = [ctypes.c_int32, ctypes.c_int32,
                                                   ctypes.c_int64, ctypes.c_int32]
        library.vandrel_cancel_dump_on_signal.argtypes = [ctypes.c_int32]
        library.vandrel_dump_later.argtypes = [ctypes.c_double, ctypes.c_int32, ctypes.c_int32,
                                               ctypes.c_int64, ctypes.c_int32]
        library.vandrel_dump_on_crash.argtypes = [ctypes.c_int32]
        library.vandrel_dump_on_crash.restype = ctypes.c_int32
        library.vandrel_cancel_dump_later.argtypes = []
        for name in ("vandrel_dump_on_signal", "vandrel_cancel_dump_on_signal",
                     "vandrel_dump_later", "vandrel_cancel_dump_later"):
            getattr(library, name).restype = ctypes.c_int32

        library.vandrel_prepare_unlocked_dump.argtypes = []
        library.vandrel_prepare_unlocked_dump.restype = ctypes.c_int32
        library.vandrel_name_this_thread.argtypes = [ctypes.py_object]
        library.vandrel_name_this_thread.restype = ctypes.c_int32
        library.vandrel_hide_code.argtypes = [ctypes.py_object]
        library.vandrel_hide_code.restype = ctypes.c_int32

    def check(self, status: int, what: str) -> None:
        if status < 0:
            raise VandrelError(f"the agent refused {what} (status {status})")


_followed_library: Optional[Any] = None


def _follow_thread_starts(library: Any) -> None:
    """Have each thread that starts from now on tell the agent its name
    (the agent's dumps run without the GIL and cannot read it)."""
    global _followed_library
    if _followed_library is not None:
        _followed_library = library
        return
    _followed_library = library
    original = threading.Thread._bootstrap_inner        # type: ignore[attr-defined]

    def _bootstrap_inner(self: threading.Thread) -> None:
        try:
            _followed_library.vandrel_name_this_thread(self.name)
        except Exception:
            pass
        original(self)

    # The wrapper is the tool's, not the program's: out of the dumps.
    library.vandrel_hide_code(_bootstrap_inner.__code__)
    threading.Thread._bootstrap_inner = _bootstrap_inner  # type: ignore[attr-defined]


def _native_dumps(module: Any) -> Optional[_NativeDumps]:
    """The agent's own signal and timer dumps, when the agent that
    `module` forwards to has them; else None."""
    paths = _agent.loaded_agent_paths()
    if not paths:
        return None
    try:
        library = ctypes.PyDLL(paths[-1])
        if not hasattr(library, "vandrel_dump_later"):
            return None
        return _NativeDumps(library)
    except (OSError, AttributeError):
        return None


def hide_tool_code(codes: Any) -> None:
    """Leave the frames of these code objects (the launcher's, runpy's) out
    of every dump, when the loaded agent can."""
    native = _native_dumps(None)
    if native is None:
        return
    for code in codes:
        native.library.vandrel_hide_code(code)


# ---- asyncio tasks after their threads' stacks ---------------------------------

_task_library: Optional[Any] = None


def _task_dump_library() -> Optional[Any]:
    """The loaded agent (ctypes.PyDLL) when it can show asyncio tasks in
    its dumps; else None."""
    global _task_library
    paths = _agent.loaded_agent_paths()
    if not paths:
        return None
    if _task_library is not None and _task_library._name == paths[-1]:
        return _task_library
    try:
        library = ctypes.PyDLL(paths[-1])
        if not hasattr(library, "vandrel_dump_threads_with_sections"):
            return None
    except OSError:
        return None
    library.vandrel_running_loops.argtypes = []
    library.vandrel_running_loops.restype = ctypes.py_object
    library.vandrel_dump_threads_with_sections.argtypes = [
        ctypes.c_int32, ctypes.c_int64, ctypes.c_int64, ctypes.POINTER(ctypes.c_uint64),
        ctypes.POINTER(ctypes.c_char_p), ctypes.c_char_p]
    library.vandrel_dump_threads_with_sections.restype = None
    library.vandrel_set_task_formatter.argtypes = [ctypes.py_object]
    library.vandrel_set_task_formatter.restype = ctypes.c_int32
    _task_library = library
    return library


class _TaskSections:
    """The asyncio tasks of a dump taken now, as the agent's arguments."""

    def __init__(self, library: Any, max_frames: int) -> None:
        self.library = library
        note = None
        try:
            sections = _tasks.thread_sections(library, max_frames=max_frames)
        except Exception as error:
            # The thread dump goes on without them; one line says why.
            sections = {}
            note = (f"vandrel: asyncio tasks not shown: {type(error).__name__}: "
                    f"{error}\n").encode("utf-8", "replace")
        self.count = len(sections)
        self.idents = (ctypes.c_uint64 * max(1, self.count))(*sections.keys())
        self.texts = (ctypes.c_char_p * max(1, self.count))(
            *(text.encode("utf-8", "replace") for text in sections.values()))
        self.note = note
        self.wanted = self.count > 0 or note is not None


def _task_sections(max_frames: int) -> Optional[_TaskSections]:
    """What to show of the asyncio tasks in a dump taken now; None when
    there is nothing (no loop runs, or the agent cannot show it)."""
    if "asyncio" not in sys.modules:
        return None
    library = _task_dump_library()
    if library is None:
        return None
    sections = _TaskSections(library, max_frames)
    return sections if sections.wanted else None


def _tasks_for_agent(max_frames: int) -> Dict[int, str]:
    """What the agent's signal and timer dumps ask, with the GIL, on a
    thread of their own; `max_frames` is the asking dump's, and bounds each
    task's coroutine chain as format_stacks(max_frames=...) does."""
    library = _task_library
    if library is None or "asyncio" not in sys.modules:
        return {}
    return _tasks.thread_sections(library, max_frames=max_frames)


class _AsyncioImportWatch:
    """On sys.meta_path from the first signal or timer dump set before
    asyncio is imported: once it is, the agent's dumps start asking for
    the tasks (before, there is no loop, and a dump while a thread keeps
    the GIL must not say that tasks are missing).  It stays there, inert
    after that: the import system may be iterating over the list."""

    def __init__(self) -> None:
        self.done = False

    def find_spec(self, name: str, path: Any = None, target: Any = None) -> None:
        if name == "asyncio" and not self.done:
            self.done = True
            library = _task_library
            if library is not None:
                library.vandrel_set_task_formatter(_tasks_for_agent)
        return None


_asyncio_import_watch: Optional[_AsyncioImportWatch] = None


def _show_tasks_in_agent_dumps() -> None:
    """Have the agent's signal and timer dumps show the asyncio tasks,
    when it can: at once if asyncio is imported, else once it is."""
    global _asyncio_import_watch
    library = _task_dump_library()
    if library is None:
        return
    if "asyncio" in sys.modules:
        library.vandrel_set_task_formatter(_tasks_for_agent)
    elif _asyncio_import_watch is None:
        _asyncio_import_watch = _AsyncioImportWatch()
        sys.meta_path.insert(0, _asyncio_import_watch)


def _check_max_frames(max_frames: int) -> int:
    value = int(_index(max_frames, "max_frames"))
    if not _INT64_MIN <= value <= _INT64_MAX:
        raise ValueError(f"max_frames must fit in 64 bits, got {value}")
    return value


def _index(value: Any, what: str) -> int:
    if isinstance(value, bool) or not hasattr(type(value), "__index__"):
        raise TypeError(f"{what} must be an int, not {type(value).__name__}")
    return int(value.__index__())


def _check_writable_fd(fd: int) -> None:
    """Raise OSError unless `fd` is open and its access mode allows writing."""
    try:
        os.fstat(fd)
        flags = fcntl.fcntl(fd, fcntl.F_GETFL)
    except OSError as error:
        raise OSError(error.errno, f"file descriptor {fd} is not open") from None
    if flags & getattr(os, "O_PATH", 0) or flags & os.O_ACCMODE == os.O_RDONLY:
        raise OSError(errno.EBADF, f"file descriptor {fd} is not open for writing")


def resolve_file(file: Optional[FileOrFd], flush: bool,
                 no_fd_hint: str = "use format_stacks() to get the dump as a string") -> int:
    """The file descriptor behind `file` (None: sys.stderr), checked to be
    writable; a file object's Python buffer is flushed when `flush`.
    `no_fd_hint` ends the error for a file object without a descriptor."""
    if file is None:
        file = sys.stderr
        if file is None:
            raise ValueError("sys.stderr is None; pass a file or a file descriptor")
    if isinstance(file, int) and not isinstance(file, bool):
        fd = file
        if not 0 <= fd <= _INT32_MAX:
            raise ValueError(f"file descriptor must be in 0..{_INT32_MAX}, got {fd}")
    else:
        if getattr(file, "closed", False):
            raise ValueError("I/O operation on closed file")
        fileno = getattr(file, "fileno", None)
        if fileno is None:
            raise TypeError(f"file must be a file object or a file descriptor, not "
                            f"{type(file).__name__}")
        try:
            fd = fileno()
        except (OSError, ValueError) as error:
            raise ValueError(f"file has no file descriptor ({error}); {no_fd_hint}") from None
        if not isinstance(fd, int) or not 0 <= fd <= _INT32_MAX:
            raise ValueError(f"file.fileno() gave {fd!r}, not a file descriptor")
        flush_method = getattr(file, "flush", None)
        if flush and flush_method is not None:
            flush_method()
    _check_writable_fd(fd)
    return fd


def _dump_failed(module: Any, fd: int, max_frames: int) -> VandrelError:
    """The error for a dump that threadsnap answered with -1."""
    if _dump_entry_missing(module):
        return _agent.missing_agent_error("threadsnap", "dump_threads")
    return VandrelError(f"threadsnap refused fd={fd}, max_frames={max_frames}")


def dump_stacks(file: Optional[FileOrFd] = None, *, max_frames: int = 0) -> None:
    """Write the Python stack of every thread to `file`, as the agent formats it.

    `file` is a file object with a ``fileno()`` or a file descriptor; the
    default (None) is ``sys.stderr``.  A file object's Python buffer is
    flushed first, so text printed earlier comes first.  ``max_frames <= 0``
    shows every frame, otherwise each thread shows at most that many.  The
    calling thread's stack starts with the frame of ``dump_stacks`` itself.

    The dump holds the GIL while it writes: do not point it at a pipe that
    another thread of this process reads (use ``format_stacks()``).

    If neither an agent is loaded nor ``threadsnap`` imported yet, the
    package's agent is loaded first.  Raise ``ValueError`` for a closed file
    or a bad argument, ``OSError`` for a descriptor that is not open for
    writing, ``AgentNotLoaded`` when ``threadsnap`` was imported before the
    agent was loaded, ``AgentEntryPointMissing`` when the agent has no
    ``dump_threads``."""
    frames = _check_max_frames(max_frames)
    fd = resolve_file(file, flush=True)
    module = _threadsnap()
    tasks = _task_sections(frames)
    # Called from here, so that the dump shows only this one frame of ours.
    if tasks is not None:
        tasks.library.vandrel_dump_threads_with_sections(fd, frames, tasks.count, tasks.idents,
                                                         tasks.texts, tasks.note)
    elif module.dump_all_threads_stack(fd, frames) != 0:
        raise _dump_failed(module, fd, frames)


def format_stacks(*, max_frames: int = 0) -> str:
    """Return what ``dump_stacks()`` would write, as a string.

    The agent writes into an anonymous in-memory file (``memfd_create``,
    or a temporary file where that is missing) that is read back once it
    is done, so a dump of any size cannot block on a full pipe.  Raise as
    ``dump_stacks()`` does."""
    frames = _check_max_frames(max_frames)
    try:
        fd = os.memfd_create("vandrel-stacks", os.MFD_CLOEXEC)
    except (AttributeError, OSError):
        import tempfile
        fd = os.dup(tempfile.TemporaryFile().fileno())
    try:
        module = _threadsnap()
        tasks = _task_sections(frames)
        if tasks is not None:
            tasks.library.vandrel_dump_threads_with_sections(fd, frames, tasks.count,
                                                             tasks.idents, tasks.texts,
                                                             tasks.note)
        elif module.dump_all_threads_stack(fd, frames) != 0:
            raise _dump_failed(module, fd, frames)
        size = os.fstat(fd).st_size
        os.lseek(fd, 0, os.SEEK_SET)
        chunks = []
        while size > 0:
            chunk = os.read(fd, size)
            if not chunk:
                break
            chunks.append(chunk)
            size -= len(chunk)
        return b"".join(chunks).decode("utf-8", "replace")
    finally:
        os.close(fd)


def _quiet_flush(file: Any) -> None:
    # A signal or the timer thread may interrupt a write to the same file:
    # a failed flush must not stop the dump.
    try:
        if file is not None and not isinstance(file, int):
            file.flush()
    except Exception:
        pass


# ---- On a signal ---------------------------------------------------------------

# Signals whose handler must run while the fault happens: a Python-level
# handler only runs later, between bytecodes, so these are refused (use
# faulthandler.enable() for them).
_FAULT_SIGNALS = {signal.SIGSEGV, signal.SIGFPE, signal.SIGABRT, signal.SIGBUS, signal.SIGILL}

_HandlerType = Union[Callable[[int, Optional[FrameType]], Any], int, signal.Handlers, None]


class _SignalDump:
    def __init__(self, file: Any, fd: int, chain: bool, max_frames: int,
                 previous: _HandlerType) -> None:
        self.file, self.fd, self.chain, self.max_frames = file, fd, chain, max_frames
        self.previous = previous
        self.module = _working_threadsnap()

    def __call__(self, signum: int, frame: Optional[FrameType]) -> None:
        _quiet_flush(self.file)
        # The agent ignores a descriptor closed since registration.
        self.module.dump_all_threads_stack(self.fd, self.max_frames)
        if not self.chain:
            return
        previous = self.previous
        if callable(previous):
            previous(signum, frame)
        elif previous == signal.SIG_DFL:
            # Let the default action happen (terminate, stop, ...), then
            # come back here if the process is still running.
            signal.signal(signum, signal.SIG_DFL)
            try:
                signal.raise_signal(signum)
            finally:
                signal.signal(signum, self)


_signal_dumps: Dict[int, _SignalDump] = {}
# The agent's handlers, by signal: the file each writes to.
_native_signal_dumps: Dict[int, Any] = {}


def check_signal(signum: int) -> int:
    value = _index(signum, "signum")
    if value not in signal.valid_signals():
        raise ValueError(f"signal number {value} out of range")
    if value in (signal.SIGKILL, signal.SIGSTOP):
        raise ValueError(f"signal {signal.Signals(value).name} cannot be caught")
    if value in _FAULT_SIGNALS:
        raise ValueError(f"signal {signal.Signals(value).name} cannot be handled in Python; "
                         f"use faulthandler.enable() for it")
    return value


def dump_stacks_on_signal(signum: int, file: Optional[FileOrFd] = None, chain: bool = False,
                          *, max_frames: int = 0) -> None:
    """Dump every thread's stack to `file` each time signal `signum` arrives.

    Like ``faulthandler.register()``: `file` (default ``sys.stderr``) is
    resolved to its descriptor now and kept (keep the file open: once
    closed, its number may be reused); a new call for the same signal
    replaces the settings.  With `chain`, the handler that was installed
    before the first call runs after the dump (for ``SIG_DFL`` the default
    action happens, e.g. termination).

    The agent installs the handler (``sigaction``; set it from the main
    thread) and its own thread writes the dump without the GIL, while the
    handler waits: the dump comes at once whatever the threads do, one
    holding the GIL for good included, and the thread that holds the GIL
    says so in its header.  The thread the signal interrupted comes first,
    as the current thread.  ``signal.getsignal()`` still answers the
    Python-level handler from before.  Thread names are those known at the
    last call made with the GIL (this one, or a dump).  Under an agent
    without its own handlers this is a Python-level handler, which runs
    between two bytecodes of the main thread.  Raise
    ``ValueError`` for a signal that cannot be caught or handled in Python
    (``SIGKILL``, ``SIGSTOP``, ``SIGSEGV``, ``SIGBUS``, ``SIGFPE``,
    ``SIGILL``, ``SIGABRT``) or out of range, and as ``dump_stacks()`` does
    for `file`."""
    value = check_signal(signum)
    frames = _check_max_frames(max_frames)
    fd = resolve_file(file, flush=True)
    file_object = sys.stderr if file is None else file
    if threading.current_thread() is not threading.main_thread():
        raise ValueError("signal only works in main thread of the main interpreter")
    module = _working_threadsnap()
    native = _native_dumps(module)
    if native is not None:
        _follow_thread_starts(native.library)
        _show_tasks_in_agent_dumps()
        native.check(native.library.vandrel_dump_on_signal(value, fd, frames, int(bool(chain))),
                     f"a dump on signal {value}")
        _native_signal_dumps[value] = file_object      # kept open for the handler
        return
    existing = _signal_dumps.get(value)
    previous = existing.previous if existing else signal.getsignal(value)
    handler = _SignalDump(file_object, fd, bool(chain), frames, previous)
    signal.signal(value, handler)
    _signal_dumps[value] = handler


def cancel_dump_stacks_on_signal(signum: int) -> bool:
    """Undo ``dump_stacks_on_signal(signum)``: put back the handler it replaced.

    Return True if a dump was registered for `signum`, False otherwise (as
    ``faulthandler.unregister()``)."""
    value = check_signal(signum)
    if _native_signal_dumps.pop(value, None) is not None:
        native = _native_dumps(_threadsnap())
        return native is not None and native.library.vandrel_cancel_dump_on_signal(value) == 1
    handler = _signal_dumps.pop(value, None)
    if handler is None:
        return False
    previous = handler.previous
    signal.signal(value, signal.SIG_DFL if previous is None else previous)
    return True


# ---- On a crash ----------------------------------------------------------------

_crash_file: Any = None


def dump_stacks_on_crash(file: Optional[FileOrFd] = None) -> None:
    """Dump every thread's stack to `file` (default ``sys.stderr``) when the
    process crashes: on ``SIGSEGV``, ``SIGBUS``, ``SIGILL``, ``SIGFPE`` and
    ``SIGABRT``, then let the signal end the process as it would have.

    The agent's handler has its thread dump without the GIL (the thread
    that crashed first, as the current thread, the GIL's holder marked),
    then puts back the handler from before and raises the signal again: a
    ``faulthandler.enable()`` made before runs then, one made after runs
    first and hands over to this one.  A new call changes the file.  Under
    an agent without this feature, ``faulthandler.enable(file,
    all_threads=True)`` does the job.  Raise as ``dump_stacks()`` does for
    `file`."""
    global _crash_file
    fd = resolve_file(file, flush=True)
    native = _native_dumps(_working_threadsnap())
    file_object = sys.stderr if file is None else file
    if native is None:
        import faulthandler
        faulthandler.enable(fd, all_threads=True)
    else:
        _follow_thread_starts(native.library)
        native.check(native.library.vandrel_dump_on_crash(fd), "a dump on a crash")
    _crash_file = file_object               # kept open for the handler


# ---- Later ---------------------------------------------------------------------

class _LaterDump:
    def __init__(self, timeout: float, repeat: bool, file: Any, fd: int, exit: bool,
                 max_frames: int) -> None:
        self.timeout, self.repeat, self.exit = timeout, repeat, exit
        self.file, self.fd, self.max_frames = file, fd, max_frames
        self.module = _working_threadsnap()
        self.cancelled = threading.Event()
        self.thread = threading.Thread(target=self.run, name="vandrel-dump-later",
                                       daemon=True)

    def run(self) -> None:
        while not self.cancelled.wait(self.timeout):
            _quiet_flush(self.file)
            self.module.dump_all_threads_stack(self.fd, self.max_frames)
            if self.exit:
                os._exit(1)
            if not self.repeat:
                break


_later: Optional[_LaterDump] = None
# The agent's timer and the file it writes to.
_native_later: Optional[Any] = None
_later_lock = threading.Lock()
_later_hooks_installed = False


def _forget_later_in_child() -> None:
    # The timer thread does not survive fork(); the child starts with none.
    global _later, _native_later
    _later = None
    _native_later = None


def dump_stacks_later(timeout: float, *, repeat: bool = False,
                      file: Optional[FileOrFd] = None, exit: bool = False,
                      max_frames: int = 0) -> None:
    """Dump every thread's stack to `file` after `timeout` seconds (every
    `timeout` seconds with `repeat`); with `exit`, end the process with
    status 1 (``os._exit``) right after the dump.

    Like ``faulthandler.dump_traceback_later()``: a new call replaces the
    previous one and restarts the clock, and ``cancel_dump_stacks_later()``
    cancels it.  The timer is the agent's own C thread, which dumps without
    the GIL, on time even while a thread holds the GIL for good (marked in
    its header), and is not in the dump.  Thread names are those known at
    the last call made with the GIL (this one, or a dump).  It is cancelled
    at interpreter exit, and a child made by ``fork()`` inherits no timer.
    Under an agent without its own timer the dump runs on a daemon thread
    named ``vandrel-dump-later`` and waits for the GIL.

    Raise ``TypeError`` when `timeout` is not a number (a string is not),
    ``ValueError`` when it is not above 0, ``OverflowError``
    when it is too large for a timer, and as ``dump_stacks()`` does for
    `file`."""
    global _later, _later_hooks_installed, _native_later
    # As faulthandler: a number (bool included), not a string float() parses.
    kind = type(timeout)
    if not (hasattr(kind, "__float__") or hasattr(kind, "__index__")):
        raise TypeError(f"timeout must be a real number, not {kind.__name__}")
    seconds = float(timeout)
    if math.isnan(seconds) or seconds <= 0:
        raise ValueError(f"timeout must be greater than 0, got {timeout!r}")
    if seconds > threading.TIMEOUT_MAX:
        raise OverflowError(f"timeout value is too large: {timeout!r}")
    frames = _check_max_frames(max_frames)
    fd = resolve_file(file, flush=True)
    native = _native_dumps(_working_threadsnap())
    if native is not None:
        _follow_thread_starts(native.library)
        _show_tasks_in_agent_dumps()
        with _later_lock:
            if not _later_hooks_installed:
                import atexit
                atexit.register(cancel_dump_stacks_later)
                os.register_at_fork(after_in_child=_forget_later_in_child)
                _later_hooks_installed = True
            previous, _later = _later, None
            native.check(native.library.vandrel_dump_later(seconds, int(bool(repeat)), fd, frames,
                                                           int(bool(exit))), "a dump later")
            _native_later = (native, sys.stderr if file is None else file)
        if previous is not None:
            previous.cancelled.set()
        return
    later = _LaterDump(seconds, bool(repeat), sys.stderr if file is None else file, fd,
                       bool(exit), frames)
    with _later_lock:
        if not _later_hooks_installed:
            import atexit
            atexit.register(cancel_dump_stacks_later)
            os.register_at_fork(after_in_child=_forget_later_in_child)
            _later_hooks_installed = True
        previous, _later = _later, later
    if previous is not None:
        previous.cancelled.set()
    later.thread.start()


def cancel_dump_stacks_later() -> None:
    """Cancel the dump set by ``dump_stacks_later()``, if any."""
    global _later, _native_later
    with _later_lock:
        previous, _later = _later, None
        native_later, _native_later = _native_later, None
    if native_later is not None:
        native_later[0].library.vandrel_cancel_dump_later()
    if previous is not None:
        previous.cancelled.set()
        if previous.thread is not threading.current_thread():
            previous.thread.join()

