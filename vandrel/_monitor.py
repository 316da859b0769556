"""``GilMonitor``: the agent's GIL interceptor as a Python object.

One interceptor session can exist in a process; a monitor holds it from
``start()`` to ``stop()``.  The agent calls the monitor's sink with a report
dict every reporting period and once more when switched off; the monitor
keeps the latest one for ``report()`` and hands each to the callback as a
``GilReport``.
"""
from __future__ import annotations

import fcntl
import os
import sys
import threading
from types import FrameType
from typing import Any, Callable, Dict, Optional, Union

from vandrel import _agent, _interceptor
from vandrel._dumps import FileOrFd, resolve_file
from vandrel._errors import (AgentSystemError, AlreadyRunning, BadParameter,
                             GilInterceptorError, NotAvailable, NotRunning, VandrelError)
from vandrel._output import write_bounded
from vandrel._report import GilReport, whole_session_interval

__all__ = ["GilMonitor"]

_INT32_MAX = 2**31 - 1

ReportFile = Union[str, "os.PathLike[str]", FileOrFd]

# The monitor that holds this process's session, set from start() until
# stop() has switched the interceptor off.
_session_lock = threading.Lock()
_session_holder: Optional[GilMonitor] = None


def _forget_session_in_child() -> None:
    # A child made by fork() starts with the interceptor off.
    global _session_holder
    _session_holder = None


os.register_at_fork(after_in_child=_forget_session_in_child)


def _report_fd(target: FileOrFd, flush: bool) -> int:
    """The descriptor behind a report_file that is not a path, or raise
    saying what is wrong with it (not open, not writable, no descriptor)."""
    try:
        return resolve_file(target, flush, no_fd_hint="pass a path, a real file or a descriptor; "
                                                      "report() gives the figures as objects")
    except OSError as error:
        raise OSError(error.errno, f"report_file: {error.strerror}") from None
    except ValueError as error:
        raise ValueError(f"report_file: {error}") from None


def _caller_site() -> str:
    """file:line of the first frame outside this module (who started the monitor)."""
    frame: Optional[FrameType] = sys._getframe(1)
    while frame is not None and frame.f_code.co_filename == __file__:
        frame = frame.f_back
    if frame is None:
        return "?"
    return f"{frame.f_code.co_filename}:{frame.f_lineno}"


class GilMonitor:
    """Measure how the threads of this process hold and wait for the GIL.

    Use it as a context manager around a block, or call ``start()`` and
    ``stop()``.  ``report()`` gives the figures so far as a ``GilReport``,
    and after ``stop()`` the final report.  CPython 3.10 to 3.15 with a
    GIL (elsewhere ``start()`` raises ``NotAvailable`` saying why).

    Options (keyword arguments; a wrong type raises ``TypeError``, a value
    out of range ``ValueError``, both before anything is switched on):

    - ``report_period``: seconds between periodic reports, 0 (the default)
      for none: then only the final report goes to the callback and the
      report file.  Millisecond resolution, at most 1,000,000.
    - ``long_hold_threshold``: a hold of the GIL longer than this many
      seconds is charged to the holder's code in ``GilReport.long_holds``;
      None (the default) means twice ``sys.getswitchinterval()``.  Between
      a microsecond and 2147 seconds.
    - ``timeline``: keep the latest GIL transitions for
      ``GilReport.write_chrome_trace()``: ``True`` for 1,000,000, or the
      number to keep; ``False`` (the default) for none.
    - ``profile``: keep a GIL profile in ``GilReport.profile``: the stack
      of the thread holding the GIL sampled ``profile_rate`` times a second
      (1 to 1000, default 100), and each wait for the GIL of at least
      ``profile_wait_threshold`` seconds (0 to 60, default 0.001) charged
      to the stack the thread waited at.  ``False`` (the default) for none.
    - ``report_file``: where the agent's text table goes at each report: a
      path (created or truncated), a file object with a ``fileno()`` or a
      file descriptor; None (the default) for none.
    - ``callback``: called with each periodic ``GilReport``, and with the
      final one (``report.final`` is True) when the monitor stops.  It runs
      on the agent's own thread (the final call on the thread that stops
      the monitor), with the GIL; an exception it raises goes to
      ``sys.unraisablehook``.

    Only one session of the interceptor can exist in a process: ``start()``
    while another monitor (or ``lockgauge``, or ``python -m vandrel run
    --gil``) has it raises ``AlreadyRunning``."""

    def __init__(self, report_period: float = 0.0, *,
                 long_hold_threshold: Optional[float] = None,
                 timeline: Union[bool, int] = False,
                 report_file: Optional[ReportFile] = None,
                 callback: Optional[Callable[[GilReport], object]] = None,
                 profile: bool = False, profile_rate: float = 100,
                 profile_wait_threshold: float = 0.001) -> None:
        self._settings = _interceptor.Settings.of(
            report_period, long_hold_threshold, timeline, profile=profile,
            profile_rate=profile_rate, profile_wait_threshold=profile_wait_threshold)

        if report_file is not None and not isinstance(report_file, (str, os.PathLike, int)) \
                and not hasattr(report_file, "fileno"):
            raise TypeError(f"report_file must be a path, a file object or a file descriptor, "
                            f"not {type(report_file).__name__}")
        if isinstance(report_file, bool):
            raise TypeError("report_file must be a path, a file object or a file descriptor, "
                            "not bool")
        if isinstance(report_file, int) and not 0 <= report_file <= _INT32_MAX:
            raise ValueError(f"report_file descriptor must be in 0..{_INT32_MAX}, "
                             f"got {report_file}")
        if report_file is not None and not isinstance(report_file, (str, os.PathLike)):
            _report_fd(report_file, flush=False)     # open, writable, a real descriptor
        self._report_file = report_file
        if callback is not None and not callable(callback):
            raise TypeError(f"callback must be callable or None, not {type(callback).__name__}")
        self._callback = callback

        self._state = "new"              # new, starting, running, stopping, stopped
        self._pid = 0
        self._started_at = ""
        # The latest report dict the agent gave, guarded by _reports.
        self._reports = threading.Condition(threading.Lock())
        self._latest: Optional[Dict[str, Any]] = None
        self._latest_object: Optional[GilReport] = None
        # Where the monitor itself writes the final text when the agent
        # reports more often than the user asked (report_period 0).
        self._final_text_fd = -1
        self._final_text_file: Any = None

    # ---- options, as given ----------------------------------------------

    @property
    def report_period(self) -> float:
        """Seconds between periodic reports (0: none)."""
        return self._settings.report_period

    @property
    def long_hold_threshold(self) -> Optional[float]:
        """Seconds a hold must last to count as long (None: twice the switch interval)."""
        return self._settings.long_hold_threshold

    @property
    def timeline(self) -> int:
        """Transitions the timeline keeps (0: no timeline)."""
        return self._settings.capacity

    @property
    def profile(self) -> bool:
        """Whether the reports carry a GIL profile."""
        return self._settings.profile

    @property
    def profile_rate(self) -> float:
        """The GIL profile's samples per second."""
        return self._settings.profile_rate

    @property
    def profile_wait_threshold(self) -> float:
        """Seconds a wait must last to be charged in the GIL profile."""
        return self._settings.profile_wait_threshold

    @property
    def running(self) -> bool:
        """True from a successful ``start()`` until ``stop()``."""
        return self._state in ("running", "stopping") and self._pid == os.getpid()

    def __repr__(self) -> str:
        state = self._state
        if self._started_at:
            state += f", started at {self._started_at}"
        if self._pid and self._pid != os.getpid():
            state += f" in parent process {self._pid}"
        return (f"<vandrel.GilMonitor report_period={self.report_period:g} "
                f"long_hold_threshold={self.long_hold_threshold} timeline={self.timeline} "
                f"at {id(self):#x}: {state}>")

    # ---- switching on and off -------------------------------------------

    def start(self) -> GilMonitor:
        """Switch the GIL interceptor on for this monitor; return the monitor.

        Raise ``AlreadyRunning`` when this or another session is on,
        ``NotAvailable`` where the interceptor cannot run (the message says
        why and what to do), ``OSError`` when the report file cannot be
        opened, and the other ``GilInterceptorError`` subclasses for the
        agent's other refusals.  On any error nothing is left switched on."""
        global _session_holder
        with _session_lock:
            holder = _session_holder
            if holder is not None and holder._pid != os.getpid():
                # A session of the parent process: a child made by a fork()
                # that ran no os.register_at_fork callback (one called from
                # C) starts with the interceptor off all the same.
                holder = _session_holder = None
            if holder is self:
                raise AlreadyRunning(f"this monitor is already running ({self!r}); a GilMonitor "
                                     f"runs one session at a time", -4)
            if holder is not None:
                raise AlreadyRunning(
                    f"the GIL interceptor is already running in this process, held by "
                    f"{holder!r}: only one session can exist in a process; stop that monitor "
                    f"first", -4)
            if self._state in ("running", "stopping") and self._pid == os.getpid():
                raise AlreadyRunning(f"this monitor is already {self._state}", -4)
            _session_holder = self
            self._state = "starting"
            self._started_at = _caller_site()
            self._pid = os.getpid()
        try:
            self._switch_on()
        except BaseException:
            with _session_lock:
                _session_holder = None
                self._state = "new"
                self._started_at = ""
            raise
        with _session_lock:
            self._state = "running"
        return self

    def _switch_on(self) -> None:
        """Open the report file and call the agent.  On error close what was
        opened and raise; nothing is switched on then."""
        # The module first: no report file is created when the agent
        # cannot be loaded.
        _agent.module("lockgauge")
        agent_fd, own_fd = -1, -1
        if self._report_file is not None:
            own_fd = self._open_report_file()
        try:
            if own_fd >= 0 and self._settings.period_ms == 0:
                # The agent reports every second for report(); the monitor
                # writes the one final table itself.
                from vandrel import _gil_format  # noqa: F401  (fail now, not at the end)
                self._final_text_fd = own_fd
                own_fd = -1
            else:
                agent_fd = own_fd
            with self._reports:
                self._latest = self._latest_object = None
            # Without a report_period the agent still reports to the monitor
            # every second, so that report() has figures during the session;
            # only the final report goes to the callback and the file then.
            status = _interceptor.switch_on(self._sink, self._settings, agent_fd,
                                            keep_reporting=True)
            if status != 0:
                raise self._status_error(status, "start")
        except BaseException:
            if self._final_text_fd >= 0:
                os.close(self._final_text_fd)
                self._final_text_fd = -1
            self._final_text_file = None
            raise
        finally:
            # The agent writes to a duplicate of its own.
            if own_fd >= 0:
                os.close(own_fd)

    def _open_report_file(self) -> int:
        """A close-on-exec descriptor of our own for the report file."""
        target = self._report_file
        if isinstance(target, (str, os.PathLike)):
            try:
                return os.open(target, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC,
                               0o666)
            except OSError as error:
                raise OSError(error.errno, f"cannot open the report file {os.fspath(target)!r}: "
                                           f"{error.strerror}") from None
        assert target is not None       # start() opens a report file only when given one
        fd = _report_fd(target, flush=True)
        if not isinstance(target, int):
            self._final_text_file = target
        return fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 0)

    def stop(self) -> GilReport:
        """Switch the interceptor off and return the final report.

        Raise ``RuntimeError`` when the monitor was not started, is already
        stopped, or was started in a parent process (a child made by
        ``fork()`` has no session)."""
        global _session_holder
        with _session_lock:
            self._check_started("stop()")
            if self._state == "stopped":
                raise RuntimeError("stop() called twice: this GIL monitor is already stopped")
            if self._state in ("starting", "stopping"):
                raise RuntimeError(f"this GIL monitor is {self._state} in another thread")
            self._state = "stopping"
        try:
            status = _interceptor.switch_off()
        except BaseException:
            with _session_lock:
                self._state = "running"
            raise
        if status not in (0, -5):
            with _session_lock:
                self._state = "running"
            raise self._status_error(status, "stop")
        with _session_lock:
            self._state = "stopped"
            if _session_holder is self:
                _session_holder = None
        self._close_final_text()
        with self._reports:
            latest = self._latest
        if latest is None or not latest.get("final"):
            if status == -5:
                raise NotRunning("the GIL interceptor was switched off outside this monitor "
                                 "(lockgauge.deinit_gil_interceptor), and its final report "
                                 "went elsewhere; switch it off through GilMonitor.stop() "
                                 "only", -5)
            raise GilInterceptorError("the agent switched the GIL interceptor off without "
                                      "giving the monitor a final report (a foreign agent?); "
                                      "use the package's own agent (vandrel.agent_path())", 0)
        return self.report()

    def report(self) -> GilReport:
        """The report so far: while running, the latest the agent made
        (every ``report_period``, or every second without one; right after
        ``start()`` this waits for the first); after ``stop()``, the final
        report.  Raise ``RuntimeError`` before ``start()``."""
        self._check_started("report()")
        with self._reports:
            while self._latest is None:
                if self._state not in ("starting", "running", "stopping"):
                    raise RuntimeError("the GIL monitor stopped without giving a report")
                self._reports.wait(0.1)
            if self._latest_object is None:
                self._latest_object = GilReport.from_dict(self._latest)
            return self._latest_object

    def _check_started(self, what: str) -> None:
        if self._state == "new":
            raise RuntimeError(f"{what} before start(): start the GIL monitor first "
                               f"(monitor.start() or `with monitor:`)")
        if self._pid != os.getpid():
            raise RuntimeError(f"{what}: this GIL monitor was started in process {self._pid}; "
                               f"a child made by fork() starts with the interceptor off")

    def __enter__(self) -> GilMonitor:
        return self.start()

    def __exit__(self, *exc_info: object) -> None:
        self.stop()

    # ---- the agent's side -----------------------------------------------

    def _sink(self, report: Dict[str, Any]) -> None:
        """Called by the agent with each report dict, GIL held."""
        final = bool(report.get("final"))
        if final and not self._settings.period_ms:
            report = whole_session_interval(report)
        with self._reports:
            self._latest = report
            self._latest_object = None
            self._reports.notify_all()
        if final and self._final_text_fd >= 0:
            self._write_final_text(report)
        if self._callback is not None and (final or self._settings.period_ms):
            self._callback(GilReport.from_dict(report))

    def _write_final_text(self, report: Dict[str, Any]) -> None:
        from vandrel import _gil_format
        if self._final_text_file is not None:
            try:
                self._final_text_file.flush()
            except (OSError, ValueError):
                pass  # closed meanwhile: the duplicate still reaches the file
        data = _gil_format.format_text(report).encode("utf-8")
        try:
            failure = write_bounded(self._final_text_fd, data)
        finally:
            self._close_final_text()
        if failure:
            sys.stderr.write(f"vandrel: GilMonitor: the final GIL report was not written to "
                             f"{self._report_file_name()}: {failure}\n")

    def _report_file_name(self) -> str:
        target = self._report_file
        if isinstance(target, (str, os.PathLike)):
            return repr(os.fspath(target))
        if isinstance(target, int):
            return f"file descriptor {target}"
        name = getattr(target, "name", None)
        return repr(name) if isinstance(name, (str, bytes)) else repr(target)

    def _close_final_text(self) -> None:
        fd, self._final_text_fd = self._final_text_fd, -1
        self._final_text_file = None
        if fd >= 0:
            os.close(fd)

    def _status_error(self, status: int, action: str) -> VandrelError:
        """The exception for the agent's `status` on `action` (start or stop)."""
        if status == -2:
            return NotAvailable(f"the GIL interceptor cannot run here: "
                                f"{_interceptor.unavailable_reason()}", -2)
        if status == -3:
            asked = []
            if self._settings.threshold_us:
                asked.append(f"long_hold_threshold={self.long_hold_threshold}")
            if self._settings.capacity:
                asked.append(f"timeline={self.timeline}")
            if asked:
                return BadParameter(
                    f"the agent refused {', '.join(asked)}: an agent older than this package "
                    f"does not know these options, and a timeline too large to allocate is "
                    f"refused too; use the package's own agent (vandrel.agent_path()) or "
                    f"leave them out", -3)
            return BadParameter(f"the agent refused the monitor's parameters "
                                f"(report_period={self.report_period:g}); pass values in its "
                                f"range", -3)
        if status == -4:
            return AlreadyRunning(
                "the GIL interceptor is already running in this process, switched on outside "
                "vandrel.GilMonitor (lockgauge.init_gil_interceptor, `python -m vandrel run "
                "--gil`, or another copy of the agent): only one session can exist in a "
                "process; switch that one off first", -4)
        if status == -6:
            extra = (f"; a timeline of {self.timeline} transitions may be more memory than "
                     f"the process can get: ask for a smaller one") if self.timeline else ""
            return AgentSystemError(f"the agent could not {action} the GIL interceptor: memory, "
                                    f"mprotect or thread creation failed, nothing is switched "
                                    f"on{extra}", -6)
        error = _interceptor.gil_status_error(status, "init_gil_interceptor" if action == "start"
                                         else "deinit_gil_interceptor")
        assert error is not None
        return error

