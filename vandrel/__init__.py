"""Stack dumps and the GIL interceptor of the vandrel agent, for Python code.

The two extension modules ``threadsnap`` and ``lockgauge`` forward calls to
a native agent library that must be loaded in the process before they are
imported, and answer with bare status integers.  This package ships a
reference agent and wraps the modules in the way ``faulthandler`` works:

- ``dump_stacks()`` writes the Python stack of every thread to a file or
  file descriptor, ``format_stacks()`` returns it as text;
- ``dump_stacks_on_signal()`` and ``dump_stacks_later()`` arrange a dump on
  a signal or after a timeout, ``cancel_dump_stacks_on_signal()`` and
  ``cancel_dump_stacks_later()`` take them back;
- ``GilMonitor`` switches the GIL interceptor on around a block and gives
  its reports as ``GilReport`` objects;
- ``agent_path()`` and ``load_agent()`` find and load the agent library;
- failures raise ``VandrelError`` subclasses (or ``ValueError`` and
  ``OSError`` for bad arguments and unusable files) whose message says what
  to do.

``python -m vandrel run script.py`` runs a script with the agent loaded;
``python -m vandrel --help`` lists the options.
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
from typing import Any, Callable, Dict, List, Optional, Protocol, Type, Union

from vandrel._version import __version__

__all__ = [
    "VandrelError",
    "AgentLibraryNotFound",
    "AgentNotLoaded",
    "AgentEntryPointMissing",
    "GilInterceptorError",
    "NotAvailable",
    "BadParameter",
    "AlreadyRunning",
    "NotRunning",
    "AgentSystemError",
    "GilNotHeld",
    "GilInterceptorUnavailable",
    "GilInterceptorBadParameter",
    "GilInterceptorAlreadyOn",
    "GilInterceptorNotOn",
    "GilInterceptorSystemError",
    "GilInterceptorNoGil",
    "gil_status_error",
    "agent_path",
    "load_agent",
    "loaded_agent_paths",
    "dump_stacks",
    "format_stacks",
    "dump_stacks_on_signal",
    "cancel_dump_stacks_on_signal",
    "dump_stacks_later",
    "cancel_dump_stacks_later",
    "GilMonitor",
    "GilReport",
    "ThreadGilStats",
    "GilGroupStats",
    "GilInterval",
    "LongHold",
    "Frame",
]

_AGENT_FILE = "vandrel_agent.so"
# The modules take any loaded object whose path contains this as the agent.
_AGENT_MARK = "vandrel_agent."
_INT32_MAX = 2**31 - 1
_INT64_MIN, _INT64_MAX = -(2**63), 2**63 - 1

_loaded_agent: Optional[ctypes.CDLL] = None


class _HasFileno(Protocol):
    def fileno(self) -> int: ...


#: What the dump functions accept as ``file``: a file object with a
#: ``fileno()`` (its Python buffer is flushed first) or a file descriptor.
FileOrFd = Union[_HasFileno, int]


# ---- Errors ----------------------------------------------------------------

class VandrelError(Exception):
    """Base class of the errors this package raises about the agent."""


class AgentLibraryNotFound(VandrelError, FileNotFoundError):
    """The package's agent library is not installed where it should be."""


class AgentNotLoaded(VandrelError):
    """No agent was loaded when ``threadsnap`` or ``lockgauge`` was imported.

    The modules look for the agent once, when they are imported, so the only
    remedy is to load it first and restart the process."""


class AgentEntryPointMissing(VandrelError):
    """The loaded agent library lacks the entry point a call needs."""


class GilInterceptorError(VandrelError):
    """The agent refused to switch its GIL interceptor on or off.

    ``status`` holds the agent's status integer."""

    status: int = 0

    def __init__(self, message: str, status: Optional[int] = None) -> None:
        super().__init__(message)
        if status is not None:
            self.status = status


class NotAvailable(GilInterceptorError):
    """Status -2: no interceptor here: not CPython 3.10 to 3.15 with a GIL,
    a subinterpreter, an interpreter shutting down, or the GIL not found.

    Also reachable as ``GilInterceptorUnavailable``."""

    status = -2


class BadParameter(GilInterceptorError, ValueError):
    """Status -3: the agent refused a parameter as out of its range.

    Also reachable as ``GilInterceptorBadParameter``."""

    status = -3


class AlreadyRunning(GilInterceptorError):
    """Status -4: an interceptor session is already on in this process (or
    starting or stopping); only one can exist at a time.

    Also reachable as ``GilInterceptorAlreadyOn``."""

    status = -4


class NotRunning(GilInterceptorError):
    """Status -5: the interceptor is not on (switching off only).

    Also reachable as ``GilInterceptorNotOn``."""

    status = -5


class AgentSystemError(GilInterceptorError, OSError):
    """Status -6: memory, ``mprotect`` or thread creation failed in the agent.

    Also reachable as ``GilInterceptorSystemError``."""

    status = -6


class GilNotHeld(GilInterceptorError):
    """Status -7: the call reached the agent without holding the GIL.

    Also reachable as ``GilInterceptorNoGil``."""

    status = -7


# The first names of these errors; code written against them keeps working.
GilInterceptorUnavailable = NotAvailable
GilInterceptorBadParameter = BadParameter
GilInterceptorAlreadyOn = AlreadyRunning
GilInterceptorNotOn = NotRunning
GilInterceptorSystemError = AgentSystemError
GilInterceptorNoGil = GilNotHeld

_GIL_STATUS_ERRORS: Dict[int, Type[GilInterceptorError]] = {
    cls.status: cls
    for cls in (NotAvailable, BadParameter, AlreadyRunning, NotRunning, AgentSystemError,
                GilNotHeld)
}

_GIL_STATUS_TEXT = {
    -2: "the GIL interceptor is not available in this interpreter",
    -3: "a parameter is out of range (sink not callable, a period out of range, "
        "report_fd not open, or a reserved value the agent does not know); pass values in "
        "the agent's range",
    -4: "the GIL interceptor is already on; switch the running session off first "
        "(only one can exist in a process)",
    -5: "the GIL interceptor is not on; there is nothing to switch off",
    -6: "a system call failed in the agent (memory, mprotect or thread creation); "
        "nothing was switched on: free memory or threads and try again",
    -7: "the calling thread does not hold the GIL; call it from Python code (ctypes.PyDLL "
        "keeps the GIL, ctypes.CDLL releases it)",
}


def _in_subinterpreter() -> bool:
    """Is the calling code running in a subinterpreter?  False when unknown."""
    import importlib
    interpreters: Any = None
    # CPython 3.13 and later, then the earlier name.
    for name in ("_interpreters", "_xxsubinterpreters"):
        try:
            interpreters = importlib.import_module(name)
            break
        except ImportError:
            continue
    if interpreters is None:
        return False
    try:
        current: Any = interpreters.get_current()
        main: Any = interpreters.get_main()
    except Exception:
        return False
    # 3.13 gives (id, kind) pairs, earlier versions an id object.
    if isinstance(current, tuple):
        current, main = current[0], main[0]
    return bool(int(current) != int(main))


def _unavailable_reason() -> str:
    """Why the interceptor is not available in this interpreter, and the fix."""
    version = "%d.%d" % sys.version_info[:2]
    if sys.implementation.name != "cpython":
        return (f"{sys.implementation.name} is not CPython; run the program on "
                f"CPython 3.10 to 3.15")
    gil_enabled = getattr(sys, "_is_gil_enabled", None)
    if gil_enabled is not None and not gil_enabled():
        return ("this interpreter runs without a GIL (free-threaded); run the program on "
                "a CPython build with the GIL")
    if not (3, 10) <= sys.version_info[:2] <= (3, 15):
        return (f"CPython {version} (it needs CPython 3.10 to 3.15); run the program on one "
                f"of those")
    if _in_subinterpreter():
        return "called from a subinterpreter; switch it on from the main interpreter"
    if sys.is_finalizing():
        return ("the interpreter is shutting down; switch it on before the program "
                "starts to exit")
    return ("the agent could not hook this interpreter's GIL (a build unlike the one it "
            "was made for); use a standard CPython build")


def gil_status_error(status: int, call: str = "init_gil_interceptor") -> Optional[VandrelError]:
    """The exception that explains a status of ``lockgauge.<call>``, or None for 0.

    ``-1`` comes from the module (no agent, or the agent loaded too late:
    ``AgentNotLoaded``, ``AgentEntryPointMissing``), ``-2`` to ``-7`` from
    the agent (``NotAvailable``, ``BadParameter``, ``AlreadyRunning``,
    ``NotRunning``, ``AgentSystemError``, ``GilNotHeld``); any other status
    gives a plain ``GilInterceptorError``.  The caller decides whether to
    raise it."""
    if status == 0:
        return None
    if status == -1:
        error = _missing_agent_error("lockgauge", "init_py_gil_interceptor"
                                     if call.startswith("init") else "deinit_py_gil_interceptor")
        if isinstance(error, AgentNotLoaded) and loaded_agent_paths() and call.startswith("init"):
            # The module gives -1 for arguments that do not fit as well.
            error = AgentNotLoaded(f"{error} (or, if the agent was loaded first, the arguments "
                                   f"did not fit: the periods 64-bit, the last four 32-bit "
                                   f"integers)")
        return error
    cls = _GIL_STATUS_ERRORS.get(status, GilInterceptorError)
    text = _GIL_STATUS_TEXT.get(status, "unknown status")
    if status == -2:
        text = f"{text}: {_unavailable_reason()}"
    return cls(f"lockgauge.{call}: {text} (status {status})", status)


# ---- Finding and loading the agent -------------------------------------------

def agent_path() -> str:
    """Return the absolute path of the agent library shipped with this package.

    Works from a regular, an editable and a wheel install: the package's
    own directories come first (an editable install lists the build's
    output directory among them), then a ``vandrel`` directory on
    ``sys.path`` that holds the library.  Raise ``AgentLibraryNotFound``
    (a ``FileNotFoundError``) when none does."""
    candidates: List[str] = [os.path.abspath(entry) for entry in __path__]
    for entry in sys.path:
        candidates.append(os.path.abspath(os.path.join(entry or os.curdir, "vandrel")))
    seen = set()
    for directory in candidates:
        if directory in seen:
            continue
        seen.add(directory)
        path = os.path.join(directory, _AGENT_FILE)
        if os.path.isfile(path):
            return path
    raise AgentLibraryNotFound(
        errno.ENOENT,
        f"vandrel agent library {_AGENT_FILE} not found in {', '.join(__path__)} or in a "
        f"vandrel directory on sys.path; reinstall the package (pip install .)")


def load_agent() -> ctypes.CDLL:
    """Load the package's agent into this process (once) and return its handle.

    ``threadsnap`` and ``lockgauge`` look for the agent when they are
    imported, so call this before importing either of them.  Raise
    ``AgentLibraryNotFound`` when the library is not installed and
    ``OSError`` when the loader refuses it."""
    global _loaded_agent
    if _loaded_agent is None:
        # RTLD_GLOBAL matches how the modules re-open the agent.  Loading
        # runs no code in the agent: it has no constructors.
        _loaded_agent = ctypes.CDLL(agent_path(), mode=ctypes.RTLD_GLOBAL)
    return _loaded_agent


class _DlPhdrInfo(ctypes.Structure):
    # The leading fields of struct dl_phdr_info; the loader passes the size.
    _fields_ = [("dlpi_addr", ctypes.c_void_p), ("dlpi_name", ctypes.c_char_p)]


_DL_CALLBACK = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(_DlPhdrInfo), ctypes.c_size_t,
                                ctypes.c_void_p)


def loaded_agent_paths() -> List[str]:
    """Paths of the loaded objects that the modules would take for an agent.

    These are the shared objects whose path contains ``vandrel_agent.``, in
    the dynamic loader's order; when the modules are imported they use the
    last one.  An empty list means no agent is loaded in this process."""
    names: List[str] = []

    def visit(info: Any, _size: int, _data: Any) -> int:
        raw = info.contents.dlpi_name
        if raw:
            names.append(os.fsdecode(raw))
        return 0

    try:
        # PyDLL keeps the GIL across the call: the loader's lock is held
        # while the callback runs, and a callback that had to wait for the
        # GIL could deadlock with a thread that holds it and loads a library.
        process = ctypes.PyDLL(None)
        process.dl_iterate_phdr(_DL_CALLBACK(visit), None)
    except (OSError, AttributeError):
        # No dl_iterate_phdr: fall back on the mapped files, which also
        # lists files mapped by other means.
        with open("/proc/self/maps") as maps:
            for line in maps:
                fields = line.split(None, 5)
                if len(fields) == 6 and fields[5].strip() not in names:
                    names.append(fields[5].strip())
    return [name for name in names if _AGENT_MARK in name]


def _has_symbol(path: str, name: str) -> bool:
    try:
        return hasattr(ctypes.CDLL(path), name)
    except OSError:
        return False


def _missing_agent_error(module: str, entry_point: str) -> VandrelError:
    """Explain why `module` has no `entry_point`, from what the process holds now."""
    agents = loaded_agent_paths()
    if not agents:
        return AgentNotLoaded(
            f"no vandrel agent is loaded, and {module} was imported without one: load the "
            f"agent before importing {module} (vandrel.load_agent(), or run the program with "
            f"`python -m vandrel run`); restart the process")
    if not any(_has_symbol(path, entry_point) for path in agents):
        return AgentEntryPointMissing(
            f"the loaded agent {agents[-1]} has no {entry_point} entry point; load an agent "
            f"that has one (vandrel.agent_path() gives the reference agent) before importing "
            f"{module}; restart the process")
    return AgentNotLoaded(
        f"{module} was imported before the agent {agents[-1]} was loaded, so it never saw it: "
        f"load the agent before importing {module}; restart the process")


def _threadsnap() -> Any:
    """The threadsnap module, importing it (after loading the package's
    agent when none is loaded) if no one has yet."""
    module = sys.modules.get("threadsnap")
    if module is None:
        if not loaded_agent_paths():
            load_agent()
        import threadsnap as module
    return module


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
        raise _missing_agent_error("threadsnap", "dump_threads")
    return module


# ---- Stack dumps -------------------------------------------------------------

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


def _resolve_file(file: Optional[FileOrFd], flush: bool) -> int:
    """The file descriptor behind `file` (None: sys.stderr), checked to be
    writable; a file object's Python buffer is flushed when `flush`."""
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
            raise ValueError(f"file has no file descriptor ({error}); use format_stacks() "
                             f"to get the dump as a string") from None
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
        return _missing_agent_error("threadsnap", "dump_threads")
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
    fd = _resolve_file(file, flush=True)
    module = _threadsnap()
    # Called from here, so that the dump shows only this one frame of ours.
    if module.dump_all_threads_stack(fd, frames) != 0:
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
        if module.dump_all_threads_stack(fd, frames) != 0:
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


def _check_signal(signum: int) -> int:
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

    This is a Python-level handler (``signal.signal``): it must be set from
    the main thread, and it runs in the main thread between two bytecodes.
    A main thread stuck in C code that holds the GIL delays it until that
    code returns; the GIL interceptor (``python -m vandrel run --gil``)
    is what shows such a thread: its report says which thread held the GIL
    for how long while the others queued for it.  Raise
    ``ValueError`` for a signal that cannot be caught or handled in Python
    (``SIGKILL``, ``SIGSTOP``, ``SIGSEGV``, ``SIGBUS``, ``SIGFPE``,
    ``SIGILL``, ``SIGABRT``) or out of range, and as ``dump_stacks()`` does
    for `file`."""
    value = _check_signal(signum)
    frames = _check_max_frames(max_frames)
    fd = _resolve_file(file, flush=False)
    file_object = sys.stderr if file is None else file
    existing = _signal_dumps.get(value)
    previous = existing.previous if existing else signal.getsignal(value)
    handler = _SignalDump(file_object, fd, bool(chain), frames, previous)
    signal.signal(value, handler)
    _signal_dumps[value] = handler


def cancel_dump_stacks_on_signal(signum: int) -> bool:
    """Undo ``dump_stacks_on_signal(signum)``: put back the handler it replaced.

    Return True if a dump was registered for `signum`, False otherwise (as
    ``faulthandler.unregister()``)."""
    value = _check_signal(signum)
    handler = _signal_dumps.pop(value, None)
    if handler is None:
        return False
    previous = handler.previous
    signal.signal(value, signal.SIG_DFL if previous is None else previous)
    return True


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
_later_lock = threading.Lock()
_later_hooks_installed = False


def _forget_later_in_child() -> None:
    # The timer thread does not survive fork(); the child starts with none.
    global _later
    _later = None


def dump_stacks_later(timeout: float, *, repeat: bool = False,
                      file: Optional[FileOrFd] = None, exit: bool = False,
                      max_frames: int = 0) -> None:
    """Dump every thread's stack to `file` after `timeout` seconds (every
    `timeout` seconds with `repeat`); with `exit`, end the process with
    status 1 (``os._exit``) right after the dump.

    Like ``faulthandler.dump_traceback_later()``: a new call replaces the
    previous one and restarts the clock, and ``cancel_dump_stacks_later()``
    cancels it.  The dump runs on a daemon thread named
    ``vandrel-dump-later`` (it shows in the dump as the current thread).

    When it cannot fire: the dump needs the GIL, so a thread that holds the
    GIL without ever releasing it (stuck in C code) delays it for as long;
    it is cancelled at interpreter exit, and a child made by ``fork()``
    inherits no timer.  ``faulthandler.dump_traceback_later()`` dumps
    without the GIL, from a C thread, when that matters.

    Raise ``ValueError`` when `timeout` is not above 0, ``OverflowError``
    when it is too large for a timer, and as ``dump_stacks()`` does for
    `file`."""
    global _later, _later_hooks_installed
    seconds = float(timeout)
    if math.isnan(seconds) or seconds <= 0:
        raise ValueError(f"timeout must be greater than 0, got {timeout!r}")
    if seconds > threading.TIMEOUT_MAX:
        raise OverflowError(f"timeout value is too large: {timeout!r}")
    frames = _check_max_frames(max_frames)
    fd = _resolve_file(file, flush=False)
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
    global _later
    with _later_lock:
        previous, _later = _later, None
    if previous is not None:
        previous.cancelled.set()
        if previous.thread is not threading.current_thread():
            previous.thread.join()


# ---- The GIL monitor ----------------------------------------------------------

# Imported last: both modules use the errors and helpers above.
from vandrel._report import (Frame, GilGroupStats, GilInterval, GilReport,  # noqa: E402
                             LongHold, ThreadGilStats)
from vandrel._monitor import GilMonitor  # noqa: E402
