"""The one caller of the agent's GIL interceptor.

``GilMonitor`` and ``python -m vandrel run --gil`` both switch the
interceptor on through ``switch_on()``: ``Settings`` checks the options in
seconds and turns them into the agent's units (a report period in
milliseconds, a long-hold threshold in microseconds, a timeline capacity in
transitions, the GIL profile's sample period and wait threshold in
nanoseconds), and ``gil_status_error()`` explains a status the agent answers.
"""
from __future__ import annotations

import ctypes
import math
import os
import sys
from dataclasses import dataclass
from typing import Any, Callable, Dict, Optional, Union

from vandrel import _agent
from vandrel._errors import STATUS_ERRORS, AgentNotLoaded, GilInterceptorError, VandrelError

__all__ = ["DEFAULT_TIMELINE_CAPACITY", "DEFAULT_TRACE_RESOLUTION", "Settings", "threshold_us",
           "trace_resolution_ns", "switch_on", "switch_off", "can_stream_trace", "stream_trace",
           "write_outputs_on_exit_signals", "write_final_text_only", "gil_status_error",
           "unavailable_reason"]

#: Transitions kept by ``timeline=True``: 16 MB, at 16 bytes each.
DEFAULT_TIMELINE_CAPACITY = 1_000_000

#: Seconds: holds and waits shorter than this in a GIL trace count only in
#: its counters and merged spans (the agent's default, 5 ms).
DEFAULT_TRACE_RESOLUTION = 0.005
_MAX_TRACE_RESOLUTION_S = 1.0
_MAX_PERIOD_S = 1_000_000.0          # the agent's limit: 10^9 ms
_INT32_MAX = 2**31 - 1
# Without a report period the agent can still be asked to report this often,
# so that the sink has figures during the session.
_QUIET_PERIOD_MS = 1000
# The GIL profile's bounds: samples per second, and the wait threshold.
_MIN_PROFILE_RATE = 1
_MAX_PROFILE_RATE = 1000
_MAX_PROFILE_WAIT_S = 60.0


def _seconds(value: Any, what: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{what} must be a number of seconds, not {type(value).__name__}")
    seconds = float(value)
    if math.isnan(seconds) or math.isinf(seconds):
        raise ValueError(f"{what} must be a finite number of seconds, got {value!r}")
    return seconds


def threshold_us(seconds: float, given: object) -> int:
    """A long-hold threshold in the agent's unit, 32-bit microseconds.

    Raise ``ValueError`` ("must be 0.000001 to 2147 seconds, got `given`")
    when it rounds to less than a microsecond or more than 2**31 - 1."""
    micros = round(seconds * 1e6)
    if not 1 <= micros <= _INT32_MAX:
        raise ValueError(f"must be 0.000001 to {_INT32_MAX / 1e6:.0f} seconds, got {given!r}")
    return micros


def trace_resolution_ns(resolution: Any, what: str = "resolution") -> int:
    """A GIL trace's resolution in the agent's unit, nanoseconds.

    Raise ``TypeError`` for a value that is not a number and ``ValueError``
    for one outside 0 to 1 second, each naming `what`."""
    seconds = _seconds(resolution, what)
    if not 0 <= seconds <= _MAX_TRACE_RESOLUTION_S:
        raise ValueError(f"{what} must be 0 to {_MAX_TRACE_RESOLUTION_S:g} seconds, "
                         f"got {resolution!r}")
    return round(seconds * 1e9)


@dataclass(frozen=True)
class Settings:
    """The interceptor's options in the agent's units: the report period in
    milliseconds (0: none), the long-hold threshold in microseconds (0: the
    agent's default, twice the switch interval) and the timeline's capacity
    in transitions (0: none); whether to keep a GIL profile, its sample
    period and its wait threshold in nanoseconds."""

    period_ms: int = 0
    threshold_us: int = 0
    capacity: int = 0
    profile: bool = False
    profile_period_ns: int = 10_000_000
    profile_wait_threshold_ns: int = 1_000_000

    @classmethod
    def of(cls, report_period: float = 0.0, long_hold_threshold: Optional[float] = None,
           timeline: Union[bool, int, None] = False, *, profile: bool = False,
           profile_rate: float = 100, profile_wait_threshold: float = 0.001) -> Settings:
        """Check the options as ``GilMonitor`` takes them, in seconds, and
        convert them.  A wrong type raises ``TypeError``, a value out of
        range ``ValueError``, each naming the option."""
        period = _seconds(report_period, "report_period")
        if not 0 <= period <= _MAX_PERIOD_S:
            raise ValueError(f"report_period must be 0 to {_MAX_PERIOD_S:.0f} seconds, "
                             f"got {report_period!r}")
        period_ms = 0 if period == 0 else max(1, round(period * 1000))

        micros = 0
        if long_hold_threshold is not None:
            threshold = _seconds(long_hold_threshold, "long_hold_threshold")
            try:
                micros = threshold_us(threshold, long_hold_threshold)
            except ValueError as error:
                raise ValueError(f"long_hold_threshold {error}") from None

        if timeline is True:
            capacity = DEFAULT_TIMELINE_CAPACITY
        elif timeline is False or timeline is None:
            capacity = 0
        elif isinstance(timeline, int):
            capacity = int(timeline)
            if not 0 <= capacity <= _INT32_MAX:
                raise ValueError(f"timeline must be True, False or a number of transitions "
                                 f"from 0 to {_INT32_MAX}, got {timeline!r}")
        else:
            raise TypeError(f"timeline must be a bool or an int, not {type(timeline).__name__}")

        if not isinstance(profile, bool):
            raise TypeError(f"profile must be a bool, not {type(profile).__name__}")
        if isinstance(profile_rate, bool) or not isinstance(profile_rate, (int, float)):
            raise TypeError(f"profile_rate must be a number of samples per second, not "
                            f"{type(profile_rate).__name__}")
        rate = float(profile_rate)
        if not _MIN_PROFILE_RATE <= rate <= _MAX_PROFILE_RATE:   # NaN fails too
            raise ValueError(f"profile_rate must be {_MIN_PROFILE_RATE} to {_MAX_PROFILE_RATE} "
                             f"samples per second (Hz), got {profile_rate!r}")
        wait = _seconds(profile_wait_threshold, "profile_wait_threshold")
        if not 0 <= wait <= _MAX_PROFILE_WAIT_S:
            raise ValueError(f"profile_wait_threshold must be 0 to {_MAX_PROFILE_WAIT_S:.0f} "
                             f"seconds, got {profile_wait_threshold!r}")
        return cls(period_ms, micros, capacity, profile,
                   min(1_000_000_000, max(1_000_000, round(1e9 / rate))), round(wait * 1e9))

    @property
    def report_period(self) -> float:
        """Seconds between periodic reports (0: none), as the agent keeps it."""
        return self.period_ms / 1000

    @property
    def long_hold_threshold(self) -> Optional[float]:
        """Seconds a hold must last to count as long (None: the agent's default)."""
        return self.threshold_us / 1e6 if self.threshold_us else None

    @property
    def profile_rate(self) -> float:
        """The GIL profile's samples per second, as the agent keeps it."""
        return 1e9 / self.profile_period_ns

    @property
    def profile_wait_threshold(self) -> float:
        """Seconds a wait must last to be charged in the GIL profile."""
        return self.profile_wait_threshold_ns / 1e9


def switch_on(sink: Optional[Callable[[Dict[str, Any]], object]], settings: Settings,
              report_fd: int, *, keep_reporting: bool = False) -> int:
    """Switch the interceptor on (``lockgauge.init_gil_interceptor``) and
    return the agent's status.

    The agent calls `sink` with each report dict and writes each report's
    text to a duplicate of `report_fd` (-1: nowhere).  With
    `keep_reporting`, settings without a report period still get a report
    every second (to the sink and to `report_fd`).  With ``settings.profile``
    the GIL profile is started right after (the agent's
    ``vandrel_gil_profile``); if the agent refuses it, the interceptor is
    switched off again and the refusal's status returned (-2 when the
    loaded agent has no such export)."""
    period_ms = settings.period_ms or (_QUIET_PERIOD_MS if keep_reporting else 0)
    status = int(_agent.module("lockgauge").init_gil_interceptor(
        sink, 0, period_ms, report_fd, settings.threshold_us, settings.capacity, 0))
    if status != 0 or not settings.profile:
        return status
    export = _export("vandrel_gil_profile", ctypes.c_int64, ctypes.c_int64)
    profiled = -2 if export is None else int(export(settings.profile_period_ns,
                                                      settings.profile_wait_threshold_ns))
    if profiled != 0:
        switch_off()
    return profiled


def _export(name: str, *argtypes: Any) -> Any:
    """The loaded agent's export `name` (one of its own, prefixed vandrel_),
    or None when it has none."""
    agents = _agent.loaded_agent_paths()
    if not agents:
        return None
    try:
        # PyDLL: the call keeps the GIL, which the exports require.
        export = getattr(ctypes.PyDLL(agents[-1]), name)
    except (OSError, AttributeError):
        return None
    export.restype = ctypes.c_int32
    export.argtypes = list(argtypes)
    return export


def _trace_export() -> Any:
    return _export("vandrel_trace_stream", ctypes.c_char_p, ctypes.c_int64)


def _resolved_trace_export() -> Any:
    return _export("vandrel_gil_trace", ctypes.c_char_p, ctypes.c_int64, ctypes.c_int64)


def write_outputs_on_exit_signals(report_name: str) -> Optional[int]:
    """Have SIGTERM and SIGHUP, where their action is the default, write the
    running session's final text report and close its streamed trace
    before they end the process as they would have (the agent's
    ``vandrel_exit_signals``); a program that sets its own handler later
    keeps it.  `report_name` names the report's destination in the line
    that says it was skipped (no thread let go of the GIL within 1 s).

    Return the agent's status, or None when the loaded agent has no such
    export."""
    export = _export("vandrel_exit_signals", ctypes.c_char_p)
    if export is None:
        return None
    return int(export(os.fsencode(report_name)))


def write_final_text_only() -> Optional[int]:
    """Have the running session write only its final report's text to its
    report file; the sink still gets every periodic report (the agent's
    ``vandrel_final_text_only``).  Return the agent's status, or None when
    the loaded agent has no such export."""
    export = _export("vandrel_final_text_only")
    if export is None:
        return None
    return int(export())


def can_stream_trace() -> bool:
    """Can the loaded agent stream a trace while the program runs?"""
    return _trace_export() is not None


def stream_trace(path: str, max_transitions_per_file: int = 0,
                 resolution: float = DEFAULT_TRACE_RESOLUTION) -> Optional[int]:
    """Stream the running session's timeline to `path` as trace-event JSON
    (the agent's ``vandrel_gil_trace``): the agent's own thread appends
    the transitions about once a second without the GIL, and the switch-off
    writes the rest.  A file holds at most `max_transitions_per_file`
    transitions (0: the agent's default, 1,000,000); the trace then goes on
    in ``name.1.ext``, ``name.2.ext``, ...  Holds and waits shorter than
    `resolution` seconds (0 to 1) count in the counters and merged spans
    only; a bad value raises before anything starts.

    Return the agent's status, or None when the loaded agent has no such
    export (an agent other than this package's)."""
    resolution_ns = trace_resolution_ns(resolution, "resolution")
    export = _resolved_trace_export()
    if export is not None:
        return int(export(os.fsencode(path), max_transitions_per_file, resolution_ns))
    export = _trace_export()
    if export is None or resolution_ns != round(DEFAULT_TRACE_RESOLUTION * 1e9):
        return None
    return int(export(os.fsencode(path), max_transitions_per_file))


def switch_off() -> int:
    """Switch the interceptor off (``lockgauge.deinit_gil_interceptor``);
    return the agent's status."""
    return int(_agent.module("lockgauge").deinit_gil_interceptor())


_STATUS_TEXT = {
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


def unavailable_reason() -> str:
    """Why the interceptor is not available in this interpreter, and the fix."""
    version = "%d.%d" % sys.version_info[:2]
    if sys.implementation.name != "cpython":
        return (f"{sys.implementation.name} is not CPython; run the program on "
                f"CPython 3.10 to 3.15")
    # The build decides, not whether its GIL happens to be on now: a
    # free-threaded build that switched it back on still has no GIL the
    # agent can follow.
    if "t" in getattr(sys, "abiflags", ""):
        return ("this CPython is a free-threaded build: it has no GIL to measure; run the "
                "program on a CPython build with the GIL")
    if not (3, 10) <= sys.version_info[:2] <= (3, 15):
        return (f"CPython {version} (it needs CPython 3.10 to 3.15); run the program on one "
                f"of those")
    if _in_subinterpreter():
        return "called from a subinterpreter; switch it on from the main interpreter"
    if sys.is_finalizing():
        return ("the interpreter is shutting down; switch it on before the program "
                "starts to exit")
    built_for = _agent.agent_python_version()
    if built_for is not None and built_for != tuple(sys.version_info[:2]):
        return (f"the agent was built for CPython {built_for[0]}.{built_for[1]} and this is "
                f"CPython {version}; install vandrel with this interpreter and use its agent "
                f"(`python{version} -m vandrel path`)")
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
        initialising = call.startswith("init")
        error = _agent.missing_agent_error("lockgauge", "init_py_gil_interceptor"
                                           if initialising else "deinit_py_gil_interceptor")
        if isinstance(error, AgentNotLoaded) and _agent.loaded_agent_paths() and initialising:
            # The module gives -1 for arguments that do not fit as well.
            error = AgentNotLoaded(f"{error} (or, if the agent was loaded first, the arguments "
                                   f"did not fit: the periods 64-bit, the last four 32-bit "
                                   f"integers)")
        return error
    cls = STATUS_ERRORS.get(status, GilInterceptorError)
    text = _STATUS_TEXT.get(status, "unknown status")
    if status == -2:
        text = f"{text}: {unavailable_reason()}"
    return cls(f"lockgauge.{call}: {text} (status {status})", status)

