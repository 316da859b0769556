"""The GIL interceptor's report as typed, frozen objects.

The agent hands each report to its sink as a dict (see the README's "Report
dict").  ``GilReport.from_dict()`` reads one into these classes and
``GilReport.to_dict()`` gives the same dict back: keys this version does not
know are kept aside and put back, and keys the agent did not send (an older
agent has no percentiles, long holds, interval or timeline) stay absent, as
``None`` here.  Times are seconds as floats, named ``*_s`` as in the dict.
"""
from __future__ import annotations

import os
import sys
from dataclasses import KW_ONLY, MISSING, Field, dataclass, field, fields
from typing import TYPE_CHECKING, Any, Dict, Mapping, Optional, Tuple, Type, Union

if TYPE_CHECKING:
    from vandrel._profile import GilProfile

__all__ = ["Frame", "LongHold", "ThreadGilStats", "GilGroupStats", "GilInterval", "GilReport",
           "LoopBlock", "LoopBlockReport"]

# The distribution figures, in the dict's order, each absent from an agent
# that does not record distributions: the counts are integers, the rest
# seconds.
_COUNT_KEYS = ("wait_count", "hold_count")
_PERCENTILE_KEYS = ("wait_count", "wait_p50_s", "wait_p90_s", "wait_p99_s", "wait_max_s",
                    "hold_count", "hold_p50_s", "hold_p90_s", "hold_p99_s", "hold_max_s")


def _extra_field() -> Any:
    # Keys of the agent's dict that this version does not know, kept so that
    # to_dict() gives the dict back whole.
    return field(default_factory=dict, repr=False, compare=False)


@dataclass(frozen=True)
class Frame:
    """One Python frame of a stack: the code's file, the line being run and
    the function's name, as ``traceback`` shows them."""

    file: str
    line: int
    function: str


@dataclass(frozen=True)
class LongHold:
    """A place that held the GIL longer than the long-hold threshold.

    A place is one stack of the code that held the GIL, read by the
    agent's own thread while the hold went on.  ``count`` holds were
    charged to it; ``total_s`` is their full length, ``beyond_s`` their
    time beyond the threshold (what the places are ranked by), ``max_s``
    the longest.  ``thread`` and ``native_id`` name the latest holder.
    ``stack`` is innermost first, at most 8 frames.  Of the latest hold,
    ``released_at`` is where its thread let go of the GIL (empty when its
    thread ended) and ``ended_by`` why: ``"waiter"`` (another thread asked
    for the GIL), ``"voluntary"`` (a blocking call, a sleep) or ``"exit"``
    (its thread ended); both None from an agent that does not send
    them."""

    thread: str
    native_id: int
    count: int
    total_s: float
    beyond_s: float
    max_s: float
    stack: Tuple[Frame, ...]
    released_at: Optional[Tuple[Frame, ...]] = None
    ended_by: Optional[str] = None
    _extra: Mapping[str, Any] = _extra_field()

    @classmethod
    def from_dict(cls, entry: Mapping[str, Any]) -> LongHold:
        """Read one entry of the report's ``long_holds`` list."""
        released_at = entry.get("released_at")
        ended_by = entry.get("ended_by")
        return cls(str(entry["thread"]), int(entry["native_id"]), int(entry["count"]),
                   float(entry["total_s"]), float(entry["beyond_s"]), float(entry["max_s"]),
                   _frames(entry["stack"]),
                   None if released_at is None else _frames(released_at),
                   None if ended_by is None else str(ended_by),
                   _unknown_keys(entry, cls))

    def to_dict(self) -> Dict[str, Any]:
        """The entry as the agent gives it: ``stack`` and ``released_at``
        lists of ``[file, line, function]`` lists, absent keys left out."""
        result: Dict[str, Any] = {
            "thread": self.thread, "native_id": self.native_id, "count": self.count,
            "total_s": self.total_s, "beyond_s": self.beyond_s, "max_s": self.max_s,
            "stack": [[frame.file, frame.line, frame.function] for frame in self.stack]}
        if self.released_at is not None:
            result["released_at"] = [[frame.file, frame.line, frame.function]
                                     for frame in self.released_at]
        if self.ended_by is not None:
            result["ended_by"] = self.ended_by
        result.update(self._extra)
        return result


def _frames(stack: Any) -> Tuple[Frame, ...]:
    """``[[file, line, function], ...]`` as Frames."""
    return tuple(Frame(str(file), int(line), str(function)) for file, line, function in stack)


@dataclass(frozen=True, kw_only=True, repr=False)
class _Distribution:
    """The distribution fields shared by threads, groups, intervals and the
    whole report: how many single waits for the GIL and single holds there
    were, and their 50th, 90th and 99th percentiles and maximum in seconds;
    None from an agent that does not record them.  Percentiles are within a
    few percent, clamped to the shortest and longest seen.

    They are keyword-only, and come after the class's own fields that every
    agent sends, in ``repr()`` and in ``to_dict()`` as in the agent's dict."""

    wait_count: Optional[int] = None
    wait_p50_s: Optional[float] = None
    wait_p90_s: Optional[float] = None
    wait_p99_s: Optional[float] = None
    wait_max_s: Optional[float] = None
    hold_count: Optional[int] = None
    hold_p50_s: Optional[float] = None
    hold_p90_s: Optional[float] = None
    hold_p99_s: Optional[float] = None
    hold_max_s: Optional[float] = None
    _extra: Mapping[str, Any] = _extra_field()

    def to_dict(self) -> Dict[str, Any]:
        """The figures as the agent's dict (an entry of the report's
        ``groups`` list, its ``interval`` dict), absent keys left out."""
        return _stats_dict(self)

    def __repr__(self) -> str:
        shown = ", ".join(f"{item.name}={getattr(self, item.name)!r}"
                          for item in _ordered_fields(type(self)) if item.repr)
        return f"{type(self).__qualname__}({shown})"


@dataclass(frozen=True, repr=False)
class ThreadGilStats(_Distribution):
    """One thread's figures since the interceptor was switched on.

    ``native_id`` is the id ``threading.get_native_id()`` gives;
    ``held_s + wait_s + neither_s`` is how long the interceptor saw the
    thread; ``acquisitions`` counts the times it took the GIL."""

    native_id: int
    name: str
    held_s: float
    wait_s: float
    acquisitions: int
    neither_s: float

    @classmethod
    def from_dict(cls, native_id: int, entry: Mapping[str, Any]) -> ThreadGilStats:
        """Read ``report["threads"][native_id]``."""
        return cls(int(native_id), str(entry["name"]), float(entry["held_s"]),
                   float(entry["wait_s"]), int(entry["acquisitions"]),
                   float(entry["neither_s"]), **_figures(entry, cls, skip=("native_id",)))

    def to_dict(self) -> Dict[str, Any]:
        """The thread's entry in the report's ``threads`` dict (without its key)."""
        return _stats_dict(self, skip=("native_id",))


@dataclass(frozen=True, repr=False)
class GilGroupStats(_Distribution):
    """Finished threads added up by name: the name with its last run of
    digits replaced by ``*``, and ``count`` threads in the group."""

    name: str
    count: int
    held_s: float
    wait_s: float
    acquisitions: int
    neither_s: float

    @classmethod
    def from_dict(cls, entry: Mapping[str, Any]) -> GilGroupStats:
        """Read one entry of the report's ``groups`` list."""
        return cls(str(entry["name"]), int(entry["count"]), float(entry["held_s"]),
                   float(entry["wait_s"]), int(entry["acquisitions"]),
                   float(entry["neither_s"]), **_figures(entry, cls))


@dataclass(frozen=True, repr=False)
class GilInterval(_Distribution):
    """All threads' figures since the previous report (the whole session
    for the first): wall time, time held, time waited, switches and the
    distributions, so contention over time needs no subtraction."""

    wall_s: float
    held_s: float
    wait_s: float
    switches: int

    @classmethod
    def from_dict(cls, entry: Mapping[str, Any]) -> GilInterval:
        """Read the report's ``interval`` dict."""
        return cls(float(entry["wall_s"]), float(entry["held_s"]), float(entry["wait_s"]),
                   int(entry["switches"]), **_figures(entry, cls))


@dataclass(frozen=True, repr=False)
class GilReport(_Distribution):
    """One report of the GIL interceptor, cumulative since it was switched on.

    ``held_s`` is the time the GIL was held (at most ``wall_s``),
    ``wait_s`` and ``neither_s`` are summed over threads, ``switches``
    counts the times the GIL passed to another thread.  ``threads`` are the
    live threads and the most notable finished ones, longest wait first;
    ``groups`` add up the other finished threads by name.  The distribution
    fields cover all threads together.  ``long_holds`` lists the places
    that held the GIL longer than ``long_hold_threshold_s``, worst first;
    ``interval`` has the figures since the previous report; ``timeline`` is
    the packed ring of the latest GIL transitions (final report only, when
    a timeline was asked for); ``profile`` is the GIL profile (when one was
    asked for) as a ``GilProfile``, which writes it as flame graphs.  Each
    is None when the agent did not send it."""

    wall_s: float
    held_s: float
    wait_s: float
    neither_s: float
    switches: int
    final: bool
    threads: Tuple[ThreadGilStats, ...]
    groups: Tuple[GilGroupStats, ...]
    _: KW_ONLY
    long_hold_threshold_s: Optional[float] = None
    long_holds: Optional[Tuple[LongHold, ...]] = None
    interval: Optional[GilInterval] = None
    long_hold_count: Optional[int] = None
    long_hold_s: Optional[float] = None
    wait_buckets: Optional[Tuple[Tuple[float, int], ...]] = field(default=None, repr=False)
    hold_buckets: Optional[Tuple[Tuple[float, int], ...]] = field(default=None, repr=False)
    timeline: Optional[bytes] = field(default=None, repr=False)

    @classmethod
    def from_dict(cls, report: Mapping[str, Any]) -> GilReport:
        """Read a report dict as the agent gives it to its sink.

        Raise ``ValueError`` naming the key when a figure every agent sends
        is missing, ``TypeError`` or ``ValueError`` when one is of the
        wrong kind."""
        try:
            return cls._from_dict(report)
        except KeyError as error:
            raise ValueError(f"not a GIL report dict: it lacks the key {error.args[0]!r} "
                             f"(GilReport.from_dict reads what the agent gives its sink)") from None

    @classmethod
    def _from_dict(cls, report: Mapping[str, Any]) -> GilReport:
        threads = tuple(ThreadGilStats.from_dict(native_id, entry)
                        for native_id, entry in report["threads"].items())
        groups = tuple(GilGroupStats.from_dict(entry) for entry in report["groups"])
        long_holds = report.get("long_holds")
        interval = report.get("interval")
        timeline = report.get("timeline")
        threshold = report.get("long_hold_threshold_s")
        long_hold_count = report.get("long_hold_count")
        long_hold_s = report.get("long_hold_s")
        return cls(float(report["wall_s"]), float(report["held_s"]), float(report["wait_s"]),
                   float(report["neither_s"]), int(report["switches"]), bool(report["final"]),
                   threads, groups, **_figures(report, cls),
                   long_hold_threshold_s=None if threshold is None else float(threshold),
                   long_holds=(None if long_holds is None else
                               tuple(LongHold.from_dict(entry) for entry in long_holds)),
                   interval=None if interval is None else GilInterval.from_dict(interval),
                   long_hold_count=None if long_hold_count is None else int(long_hold_count),
                   long_hold_s=None if long_hold_s is None else float(long_hold_s),
                   wait_buckets=_buckets(report.get("wait_buckets")),
                   hold_buckets=_buckets(report.get("hold_buckets")),
                   timeline=None if timeline is None else bytes(timeline))

    def to_dict(self) -> Dict[str, Any]:
        """The report as the agent's dict: ``threads`` keyed by native id,
        ``groups`` and ``long_holds`` as lists, absent keys left out."""
        result = _stats_dict(self, skip=("threads", "groups", "long_holds", "interval",
                                         "wait_buckets", "hold_buckets", "timeline"))
        for key in ("wait_buckets", "hold_buckets"):
            buckets = getattr(self, key)
            if buckets is not None:
                result[key] = list(buckets)
        result["threads"] = {thread.native_id: thread.to_dict() for thread in self.threads}
        result["groups"] = [group.to_dict() for group in self.groups]
        if self.long_holds is not None:
            result["long_holds"] = [hold.to_dict() for hold in self.long_holds]
        if self.interval is not None:
            result["interval"] = self.interval.to_dict()
        if self.timeline is not None:
            result["timeline"] = self.timeline
        return result

    @property
    def profile(self) -> Optional[GilProfile]:
        """The GIL profile the report carries (``GilProfile``): where the
        holder was and where threads waited, sampled; None when the session
        was not profiling."""
        from vandrel._profile import profile_of
        return profile_of(self._extra.get("profile"))

    def thread(self, native_id: int) -> Optional[ThreadGilStats]:
        """The figures of the thread with this native id, or None if the
        report has no row for it (it never touched the GIL, or it finished
        and was added into its group)."""
        for thread in self.threads:
            if thread.native_id == native_id:
                return thread
        return None

    def format_text(self) -> str:
        """The human-readable table the agent writes to its report file."""
        from vandrel import _gil_format
        return _gil_format.format_text(self.to_dict())

    def write_text(self, file: Any = None) -> None:
        """Write the table the agent writes to its report file: to `file`, a
        path (created or truncated), a text file object or a file descriptor
        (default: ``sys.stderr``)."""
        text = self.format_text()
        if isinstance(file, (str, os.PathLike)):
            with open(file, "w", encoding="utf-8") as stream:
                stream.write(text)
            return
        if file is None:
            file = sys.stderr
            if file is None:
                raise ValueError("sys.stderr is None; pass a file or a file descriptor")
        if isinstance(file, int) and not isinstance(file, bool):
            data = text.encode("utf-8")
            while data:
                data = data[os.write(file, data):]
            return
        file.write(text)

    def write_chrome_trace(self, path: Union[str, "os.PathLike[str]"], *,
                           resolution: float = 0.005) -> None:
        """Write the timeline as a trace-event JSON file for Perfetto
        (ui.perfetto.dev) or ``chrome://tracing``: the "GIL" track of holds
        named by the holder, a counter of waiting threads, a track per
        long-lived thread and a counter per group of short-lived ones, in the
        process's pid and CLOCK_MONOTONIC µs (docs/api.md).  Holds and waits
        shorter than `resolution` seconds (0 to 1) count in the counters and
        merged spans only.

        Raise ``ValueError`` when the report has no timeline (only the
        final report of a monitor started with ``timeline`` carries one) or
        the resolution is out of range, ``TypeError`` when it is not a
        number; the file is not created then."""
        from vandrel import _interceptor
        _interceptor.trace_resolution_ns(resolution, "resolution")
        if self.timeline is None:
            raise ValueError(
                "this report has no timeline: start the monitor with "
                "vandrel.GilMonitor(timeline=True) and take its final report (after stop()), "
                "or run the program with `python -m vandrel run --gil-trace FILE`")
        from vandrel import _gil_format
        _gil_format.write_chrome_trace(self.to_dict(), path, resolution)


def _buckets(entry: Any) -> Optional[Tuple[Tuple[float, int], ...]]:
    """The agent's (upper bound in seconds, count within it) pairs."""
    if entry is None:
        return None
    return tuple((float(bound), int(count)) for bound, count in entry)


def _figures(entry: Mapping[str, Any], cls: Type[Any],
             skip: Tuple[str, ...] = ()) -> Dict[str, Any]:
    """The keyword arguments of `cls` that every distribution takes: the
    distribution figures of `entry` (None: absent), and in ``_extra`` the
    keys `cls` does not know (but for those in `skip`)."""
    figures: Dict[str, Any] = {
        key: None if entry.get(key) is None else
        int(entry[key]) if key in _COUNT_KEYS else float(entry[key])
        for key in _PERCENTILE_KEYS}
    figures["_extra"] = _unknown_keys(entry, cls, skip)
    return figures


def _unknown_keys(entry: Mapping[str, Any], cls: Type[Any],
                  skip: Tuple[str, ...] = ()) -> Dict[str, Any]:
    known = {f.name for f in fields(cls)} - set(skip)
    return {key: value for key, value in entry.items() if key not in known}


_field_orders: Dict[Type[_Distribution], Tuple["Field[Any]", ...]] = {}


def _ordered_fields(cls: Type[_Distribution]) -> Tuple["Field[Any]", ...]:
    """The fields of `cls` in the agent's order: the class's own fields that
    every agent sends, the distribution, the class's own optional fields,
    and last the keys this version does not know."""
    order = _field_orders.get(cls)
    if order is None:
        order = _field_orders[cls] = _field_order(cls)
    return order


def _field_order(cls: Type[_Distribution]) -> Tuple["Field[Any]", ...]:
    shared = [item for item in fields(_Distribution) if item.name != "_extra"]
    shared_names = {item.name for item in shared} | {"_extra"}
    own = [item for item in fields(cls) if item.name not in shared_names]
    sent = [item for item in own
            if item.default is MISSING and item.default_factory is MISSING]
    optional = [item for item in own if item not in sent]
    extra = [item for item in fields(cls) if item.name == "_extra"]
    return tuple(sent + shared + optional + extra)


def _stats_dict(stats: _Distribution, skip: Tuple[str, ...] = ()) -> Dict[str, Any]:
    """A dataclass's fields as the agent's dict: the extra keys put back,
    the fields the agent did not send (None) left out."""
    result: Dict[str, Any] = {}
    for item in _ordered_fields(type(stats)):
        if item.name in skip or item.name == "_extra":
            continue
        value = getattr(stats, item.name)
        if value is None and (item.name in _PERCENTILE_KEYS or item.default is None):
            continue
        result[item.name] = value
    result.update(stats._extra)
    return result


def whole_session_interval(report: Dict[str, Any]) -> Dict[str, Any]:
    """`report` with its ``interval`` covering the whole session: for a
    session with a single report, whose interval would otherwise be only
    the time since the last report the agent made for ``report()``."""
    interval = report.get("interval")
    if not isinstance(interval, dict):
        return report
    whole = dict(report)
    whole["interval"] = {key: report.get(key, value) for key, value in interval.items()}
    return whole


@dataclass(frozen=True)
class LoopBlock:
    """A place where an event loop stopped running its callbacks for longer
    than the watcher's threshold.

    The place is the innermost Python frame of the loop's thread, read while
    the loop was blocked: ``file``, ``line``, ``function``.  ``count`` blocks
    were charged to it, ``total_s`` is their length and ``max_s`` the
    longest, each measured from how late the loop ran its heartbeat (to
    within a tenth of the threshold).  ``stack`` is the whole stack of the latest,
    innermost first; ``task`` describes the asyncio task that was running
    then (``None`` when none was, or it could not be read in time);
    ``thread`` names the loop's thread."""

    file: str
    line: int
    function: str
    count: int
    total_s: float
    max_s: float
    task: Optional[str]
    thread: str
    stack: Tuple[Frame, ...]

    @classmethod
    def from_dict(cls, entry: Mapping[str, Any]) -> LoopBlock:
        """Read one entry of the report's ``places`` list."""
        stack = tuple(Frame(str(file), int(line), str(function))
                      for file, line, function in entry["stack"])
        task = entry.get("task")
        return cls(str(entry["file"]), int(entry["line"]), str(entry["function"]),
                   int(entry["count"]), float(entry["total_s"]), float(entry["max_s"]),
                   None if task is None else str(task), str(entry["thread"]), stack)

    def to_dict(self) -> Dict[str, Any]:
        """The entry as a dict: ``stack`` a list of ``[file, line, function]``."""
        return {"file": self.file, "line": self.line, "function": self.function,
                "count": self.count, "total_s": self.total_s, "max_s": self.max_s,
                "task": self.task, "thread": self.thread,
                "stack": [[frame.file, frame.line, frame.function] for frame in self.stack]}


@dataclass(frozen=True)
class LoopBlockReport:
    """What the event-loop watcher saw: ``block_count`` blocks longer than
    ``threshold_s``, ``blocked_s`` seconds in all, over ``loops_seen``
    loops; ``places`` by total time, longest first.  ``final`` once the
    watcher has stopped.  ``str()`` gives the text report."""

    threshold_s: float
    block_count: int
    blocked_s: float
    loops_seen: int
    final: bool
    places: Tuple[LoopBlock, ...]

    @classmethod
    def from_dict(cls, report: Mapping[str, Any]) -> LoopBlockReport:
        """Read a report dict, as ``to_dict()`` gives it."""
        return cls(float(report["threshold_s"]), int(report["block_count"]),
                   float(report["blocked_s"]), int(report["loops_seen"]),
                   bool(report["final"]),
                   tuple(LoopBlock.from_dict(entry) for entry in report["places"]))

    def to_dict(self) -> Dict[str, Any]:
        """The report as a dict of plain values (JSON-ready)."""
        return {"threshold_s": self.threshold_s, "block_count": self.block_count,
                "blocked_s": self.blocked_s, "loops_seen": self.loops_seen,
                "final": self.final, "places": [place.to_dict() for place in self.places]}

    def __str__(self) -> str:
        from vandrel._loop_format import format_loop_text
        return format_loop_text(self)
