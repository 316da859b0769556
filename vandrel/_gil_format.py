"""The GIL interceptor's report dict turned into its text and into a trace.

`format_text` rebuilds, from a report dict, the text the agent writes to
`report_fd` for the same report.  `chrome_trace` and `write_chrome_trace`
turn the final report's `timeline` into trace-event JSON (Perfetto,
chrome://tracing).
"""
from __future__ import annotations

import json
import os
import re
import struct
from typing import Any, Dict, List, Mapping, Optional, Tuple

from vandrel import _interceptor

__all__ = ["format_text", "text_rows", "short_lived_seconds", "chrome_trace", "write_chrome_trace",
           "timeline_entries", "group_name", "GIL_TRACK_TID",
           "TIMELINE_WAIT", "TIMELINE_ACQUIRE", "TIMELINE_RELEASE", "TIMELINE_GIVE_UP"]

# The text report's limits and layout (the agent's own, agent/gil/report.h):
# at most 12 thread rows, 7 group rows and one "(other)" row; a thread seen
# for less than a tenth of the wall time and less than a second is
# short-lived and counted in its group's row.
_MAX_TEXT_THREADS = 12
_MAX_TEXT_GROUPS = 7
_SHORT_LIVED_FRACTION = 0.1
_SHORT_LIVED_MAX_S = 1.0
_NAME_WIDTH = 32
_TAIL_COLUMNS = 10
_BAR_WIDTH = 30
# A thread's group: its name with the last run of (ASCII) digits replaced
# by "*", as the agent groups finished threads.
_LAST_DIGITS = re.compile(r"[0-9]+(?=[^0-9]*$)")
OTHER_ROW = "(other)"

# The timeline's layout: a header, then fixed-size entries, oldest first.
_TIMELINE_MAGIC = b"VGTL"
_TIMELINE_HEADER = struct.Struct("=4sHHQ")
_TIMELINE_ORIGIN = struct.Struct("=qi4x")
_TIMELINE_ENTRY = struct.Struct("=qiBBH")
TIMELINE_WAIT = 1
TIMELINE_ACQUIRE = 2
TIMELINE_RELEASE = 3
TIMELINE_GIVE_UP = 4
_LONG_HOLD_FLAG = 1


def _escape_columns(name: str) -> List[str]:
    """The name's table columns: control characters and backslash escaped
    (each character of an escape is a column), any other character one."""
    columns: List[str] = []
    for ch in name:
        code = ord(ch)
        if ch == "\\":
            columns.extend("\\\\")
        elif code < 0x20 or code == 0x7F:
            columns.extend(f"\\x{code:02x}")
        else:
            columns.append(ch)
    return columns


def _escape(text: str) -> str:
    return "".join(_escape_columns(text))


def _cell(name: str, width: int = _NAME_WIDTH) -> str:
    columns = _escape_columns(name)
    if len(columns) > width:
        head = width - 1 - _TAIL_COLUMNS
        return "".join(columns[:head]) + "\u2026" + "".join(columns[-_TAIL_COLUMNS:])
    return "".join(columns) + " " * (width - len(columns))


def _share(part: float, whole: float) -> float:
    if whole <= 0:
        return 0.0
    value = 100.0 * part / whole
    return 100.0 if value > 100.0 else value


def _line(name: str, ident: str, held_s: float, wait_s: float, wall_s: float) -> str:
    held_share = _share(held_s, wall_s)
    wait_share = _share(wait_s, wall_s)
    held_marks = int(held_share * _BAR_WIDTH / 100.0 + 0.5)
    wait_marks = int(wait_share * _BAR_WIDTH / 100.0 + 0.5)
    if held_marks + wait_marks > _BAR_WIDTH:
        wait_marks = _BAR_WIDTH - held_marks
    bar = "".join("#" if k < held_marks else "~" if k < held_marks + wait_marks else " "
                  for k in range(_BAR_WIDTH))
    return "  %s %10s %9.3f %5.1f%% %9.3f %5.1f%%  [%s]\n" % (
        _cell(name), ident, held_s, held_share, wait_s, wait_share, bar)


def _summary_line(label: str, figures: Mapping[str, Any], prefix: str) -> str:
    return "  %s %d, p50 %.3f ms, p90 %.3f ms, p99 %.3f ms, max %.3f ms\n" % (
        label, figures[f"{prefix}_count"], figures[f"{prefix}_p50_s"] * 1000.0,
        figures[f"{prefix}_p90_s"] * 1000.0, figures[f"{prefix}_p99_s"] * 1000.0,
        figures[f"{prefix}_max_s"] * 1000.0)


def _count(count: int, singular: str, plural: str) -> str:
    """"1 hold", "2 holds"."""
    return f"{count} {singular if count == 1 else plural}"


def short_lived_seconds(wall_s: float) -> float:
    """A thread seen for less than this (in a report of `wall_s`) is
    short-lived: the text counts it in its group's row."""
    limit = _SHORT_LIVED_FRACTION * wall_s
    return limit if limit < _SHORT_LIVED_MAX_S else _SHORT_LIVED_MAX_S


def _group_name(name: str) -> str:
    return _LAST_DIGITS.sub("*", name, count=1)


class _TextGroup:
    """A group row of the text: seconds summed in the report's order, as
    the agent sums them, so that both texts are the same to the byte."""

    __slots__ = ("name", "count", "held_s", "wait_s", "waits", "wait_max_s", "holds",
                 "hold_max_s")

    def __init__(self, name: str) -> None:
        self.name = name
        self.count = 0
        self.held_s = self.wait_s = self.wait_max_s = self.hold_max_s = 0.0
        self.waits = self.holds = 0

    def add(self, count: int, figures: Mapping[str, Any]) -> None:
        self.count += count
        self.held_s += figures["held_s"]
        self.wait_s += figures["wait_s"]
        self.waits += figures.get("wait_count") or 0
        self.holds += figures.get("hold_count") or 0
        self.wait_max_s = max(self.wait_max_s, figures.get("wait_max_s") or 0.0)
        self.hold_max_s = max(self.hold_max_s, figures.get("hold_max_s") or 0.0)

    def add_group(self, other: "_TextGroup") -> None:
        self.add(other.count, {"held_s": other.held_s, "wait_s": other.wait_s,
                               "wait_count": other.waits, "wait_max_s": other.wait_max_s,
                               "hold_count": other.holds, "hold_max_s": other.hold_max_s})


def text_rows(report: Mapping[str, Any]) -> Tuple[List[Tuple[Any, Mapping[str, Any]]],
                                                   List["_TextGroup"]]:
    """The rows of the text's table: (native id, thread entry) for each
    thread with a row of its own, and the group rows (the last one
    "(other)" when there are more groups than fit)."""
    short_s = short_lived_seconds(report["wall_s"])
    shown: List[Tuple[Any, Mapping[str, Any]]] = []
    groups: Dict[str, _TextGroup] = {}
    for entry in report["groups"]:
        group = groups[entry["name"]] = _TextGroup(entry["name"])
        group.add(entry["count"], entry)
    for native_id, row in report["threads"].items():
        seen_s = row["held_s"] + row["wait_s"] + row["neither_s"]
        if len(shown) < _MAX_TEXT_THREADS and seen_s >= short_s:
            shown.append((native_id, row))
            continue
        key = _group_name(row["name"])
        if key not in groups:
            groups[key] = _TextGroup(key)
        groups[key].add(1, row)
    ordered = sorted(groups.values(), key=lambda g: (-g.wait_s, -g.held_s, g.name))
    if len(ordered) > _MAX_TEXT_GROUPS + 1:
        other = _TextGroup(OTHER_ROW)
        for group in ordered[_MAX_TEXT_GROUPS:]:
            other.add_group(group)
        ordered = ordered[:_MAX_TEXT_GROUPS] + [other]
    return shown, ordered


def format_text(report: Mapping[str, Any]) -> str:
    """The text the agent writes to `report_fd` for `report`, character for
    character (its UTF-8 encoding is the bytes written)."""
    threads = report["threads"]
    groups = report["groups"]
    wall_s = report["wall_s"]
    held_s = report["held_s"]
    out: List[str] = []
    total = len(threads) + sum(group["count"] for group in groups)
    out.append(
        "GIL report (%s): wall %.3f s, held %.3f s (%.1f%%), waited %.3f s, %s, %s\n" % (
            "final" if report["final"] else "periodic", wall_s, held_s,
            _share(held_s, wall_s), report["wait_s"],
            _count(report["switches"], "switch", "switches"),
            _count(total, "thread", "threads")))
    out.append("  %s %10s %9s %6s %9s %6s  held # / wait ~\n" % (
        _cell("thread"), "native id", "held s", "held", "wait s", "wait"))
    shown, group_rows = text_rows(report)
    for native_id, row in shown:
        out.append(_line(row["name"], str(native_id), row["held_s"], row["wait_s"], wall_s))
    if group_rows:
        out.append("  %s %10s  short-lived: seen under %.3f s\n" % (
            _cell("group"), "threads", short_lived_seconds(wall_s)))
        for group in group_rows:
            out.append(_line(group.name, str(group.count), group.held_s, group.wait_s, wall_s))
            out.append("      %s, longest %.3f ms; %s, longest %.3f ms\n" % (
                _count(group.waits, "wait", "waits"), group.wait_max_s * 1000.0,
                _count(group.holds, "hold", "holds"), group.hold_max_s * 1000.0))
    out.append(_summary_line("waits", report, "wait"))
    out.append(_summary_line("holds", report, "hold"))
    interval = report["interval"]
    out.append(
        "  last %.3f s: held %.3f s (%.1f%%), waited %.3f s, %s, wait p99 %.3f ms, "
        "hold p99 %.3f ms\n" % (
            interval["wall_s"], interval["held_s"],
            _share(interval["held_s"], interval["wall_s"]), interval["wait_s"],
            _count(interval["switches"], "switch", "switches"), interval["wait_p99_s"] * 1000.0,
            interval["hold_p99_s"] * 1000.0))
    threshold_ms = report["long_hold_threshold_s"] * 1000.0
    places = report["long_holds"]
    if not places:
        out.append("  long holds (over %.3f ms): none\n" % threshold_ms)
    else:
        out.append("  long holds (over %.3f ms), most time beyond it first:\n" % threshold_ms)
        for place in places:
            out.append("  %.3f s beyond in %s, longest %.3f ms, thread %s (%d)\n" % (
                place["beyond_s"], _count(place["count"], "hold", "holds"), place["max_s"] * 1000.0,
                _escape(place["thread"]), place["native_id"]))
            if not place["stack"]:
                out.append("    (no Python frame)\n")
            for file, line, function in place["stack"]:
                out.append('    File "%s", line %d, in %s\n' % (_escape(file), line,
                                                              _escape(function)))
    return "".join(out)


# ---- timeline ----------------------------------------------------------------


def _timeline_header(timeline: bytes) -> Tuple[int, int, Optional[int], int]:
    """(transitions written, switch-on in CLOCK_MONOTONIC ns, pid or None,
    header size) of a packed timeline (layout 1 has no switch-on: 0)."""
    if len(timeline) < _TIMELINE_HEADER.size:
        raise ValueError("timeline too short for its header")
    magic, version, entry_size, written = _TIMELINE_HEADER.unpack_from(timeline)
    if magic != _TIMELINE_MAGIC or version not in (1, 2) or entry_size != _TIMELINE_ENTRY.size:
        raise ValueError("not a GIL timeline of a known layout")
    if version == 1:
        return written, 0, None, _TIMELINE_HEADER.size
    if len(timeline) < _TIMELINE_HEADER.size + _TIMELINE_ORIGIN.size:
        raise ValueError("timeline too short for its header")
    origin_ns, pid = _TIMELINE_ORIGIN.unpack_from(timeline, _TIMELINE_HEADER.size)
    return written, origin_ns, pid, _TIMELINE_HEADER.size + _TIMELINE_ORIGIN.size


def _timeline_body(timeline: bytes) -> Tuple[int, memoryview]:
    written, _, _, header = _timeline_header(timeline)
    body = memoryview(timeline)[header:]
    if len(body) % _TIMELINE_ENTRY.size:
        raise ValueError("timeline cut in the middle of an entry")
    return written, body


def timeline_entries(timeline: bytes) -> Tuple[int, List[Tuple[int, int, int, int]]]:
    """Unpack a report's `timeline`: (transitions written in all, entries),
    each entry (ns since switch-on, native thread id, event, flags), oldest
    first.  More written than kept means the ring wrapped."""
    written, body = _timeline_body(timeline)
    entries = [(time_ns, native_id, event, flags)
               for time_ns, native_id, event, flags, _ in _TIMELINE_ENTRY.iter_unpack(body)]
    return written, entries


def _thread_names(report: Mapping[str, Any]) -> Dict[int, str]:
    return {int(native_id): row["name"] for native_id, row in report.get("threads", {}).items()}



# ---- the trace ---------------------------------------------------------------
#
# The same events, by the same rules, as the agent's streamed trace
# (agent/gil/trace_stream.cpp); docs/cli.md describes them.

#: The GIL track's tid: above the kernel's largest thread id (2^22).
GIL_TRACK_TID = 4194304
#: A thread gets a track of its own once it has lived this long.
_LONG_LIVED_NS = 500_000_000
_MAX_GROUPS = 64
_NONE, _WAIT, _HOLD = 0, 1, 2
_HOLDING, _WAITING = 0, 1


def group_name(name: str) -> str:
    """The group of threads named `name`: its last run of digits made `*`
    (the agent's rule, "Thread-12 (serve)" -> "Thread-* (serve)")."""
    end = len(name)
    while end > 0 and not "0" <= name[end - 1] <= "9":
        end -= 1
    start = end
    while start > 0 and "0" <= name[start - 1] <= "9":
        start -= 1
    if end == 0:
        return name
    return name[:start] + "*" + name[end:]


def _fixed3(value: float) -> str:
    return "%.3f" % value


class _Counter:
    """Levels that change at transitions, written as their mean over each
    resolution step (the levels themselves at resolution 0), and only when
    that differs from what was written last."""

    def __init__(self, name: str, series: Tuple[str, ...]) -> None:
        self.name = name
        self.series = series
        self.level = [0, 0]
        self.area = [0, 0]
        self.step_start = 0
        self.last_ns = 0
        self.started = False
        self.written = ["", ""]


class _TraceBuilder:
    def __init__(self, names: Mapping[int, str], origin_ns: int, pid: int,
                 resolution_ns: int) -> None:
        self.names = names
        self.origin_ns = origin_ns
        self.pid = pid
        self.resolution_ns = resolution_ns
        self.events: List[Dict[str, Any]] = []
        self.tracks: Dict[int, Dict[str, Any]] = {}
        self.own_tracks = 0
        self.waiting = _Counter("GIL", ("waiting",))
        self.groups: List[_Counter] = []
        self.group_index: Dict[str, int] = {}
        # The GIL track: the hold in progress, and short holds merged.
        self.holder = 0
        self.hold_ns = 0
        self.last_end = 0
        self.run: Optional[Dict[str, Any]] = None
        self.metadata("process_name", GIL_TRACK_TID, "python")
        self.metadata("thread_name", GIL_TRACK_TID, "GIL")
        self.sort_index(GIL_TRACK_TID, -1)

    # -- events

    def ts(self, ns: int) -> float:
        return round((self.origin_ns + max(ns, 0)) / 1000.0, 3)

    def metadata(self, kind: str, tid: int, name: str) -> None:
        self.events.append({"ph": "M", "pid": self.pid, "tid": tid, "name": kind,
                            "args": {"name": name}})

    def sort_index(self, tid: int, index: int) -> None:
        self.events.append({"ph": "M", "pid": self.pid, "tid": tid, "name": "thread_sort_index",
                            "args": {"sort_index": index}})

    def complete(self, tid: int, name: str, start: int, end: int,
                 args: Optional[Dict[str, Any]] = None) -> None:
        event = {"ph": "X", "pid": self.pid, "tid": tid, "cat": "gil", "name": name,
                 "ts": self.ts(start), "dur": round(max(end - start, 0) / 1000.0, 3)}
        if args:
            event["args"] = args
        self.events.append(event)

    # -- tracks

    def name_of(self, tid: int) -> str:
        return self.names.get(tid, f"thread {tid}")

    def track(self, tid: int, first_ns: int) -> Dict[str, Any]:
        track = self.tracks.get(tid)
        if track is None:
            track = {"tid": tid, "span": _NONE, "own": False, "span_ns": 0, "own_ns": 0,
                     "first_ns": first_ns, "last_ns": first_ns, "sort_index": 0,
                     "group": self.group_for(self.name_of(tid))}
            self.tracks[tid] = track
        return track

    def group_for(self, name: str) -> int:
        key = group_name(name)
        if key not in self.group_index and len(self.groups) + 1 >= _MAX_GROUPS:
            key = "other threads"
        if key not in self.group_index:
            self.group_index[key] = len(self.groups)
            self.groups.append(_Counter("group " + key, ("holding", "waiting")))
        return self.group_index[key]

    # -- counters

    def write_counter(self, counter: _Counter, at: int, area: Optional[List[int]],
                      width: int) -> None:
        values = {}
        changed = False
        for name in counter.series:
            k = _HOLDING if name == "holding" else _WAITING
            text = (_fixed3(max(area[k], 0) / width) if width > 0 and area is not None
                    else str(counter.level[k]))
            values[k] = text
            changed = changed or text != counter.written[k]
        if not changed:
            return
        args = {}
        for name in counter.series:
            k = _HOLDING if name == "holding" else _WAITING
            args[name] = float(values[k]) if "." in values[k] else int(values[k])
            counter.written[k] = values[k]
        self.events.append({"ph": "C", "pid": self.pid, "tid": GIL_TRACK_TID,
                            "name": counter.name, "ts": self.ts(at), "args": args})

    def step_of(self, ns: int) -> int:
        at = self.origin_ns + ns
        return at - at % self.resolution_ns - self.origin_ns

    def advance(self, counter: _Counter, ns: int) -> None:
        step = self.resolution_ns
        if step == 0:
            counter.last_ns = max(ns, counter.last_ns)
            return
        if not counter.started:
            counter.started = True
            counter.step_start = self.step_of(ns)
            counter.last_ns = ns
        if ns < counter.last_ns:
            return
        while ns >= counter.step_start + step:
            step_end = counter.step_start + step
            for k in (0, 1):
                counter.area[k] += counter.level[k] * (step_end - counter.last_ns)
            self.write_counter(counter, counter.step_start, counter.area, step)
            counter.area = [0, 0]
            counter.step_start = counter.last_ns = step_end
            if ns >= counter.step_start + step:
                self.write_counter(counter, counter.step_start, list(counter.level), 1)
                counter.step_start = counter.last_ns = self.step_of(ns)
        for k in (0, 1):
            counter.area[k] += counter.level[k] * (ns - counter.last_ns)
        counter.last_ns = ns

    def change(self, counter: _Counter, k: int, delta: int, ns: int) -> None:
        self.advance(counter, ns)
        if self.resolution_ns > 0 and ns < counter.last_ns:
            # A change dated before the counter's time (a wait noted after
            # the fact): its share goes to the current step.
            counter.area[k] += delta * (counter.last_ns - ns)
        counter.level[k] = max(counter.level[k] + delta, 0)
        if self.resolution_ns == 0:
            self.write_counter(counter, counter.last_ns, None, 0)

    def settle(self, counter: _Counter, ns: int) -> None:
        if self.resolution_ns == 0 or not counter.started:
            return
        self.advance(counter, ns)
        if ns > counter.step_start:
            self.write_counter(counter, counter.step_start, counter.area, ns - counter.step_start)
        # Where the step ends, the levels as they are now.
        self.write_counter(counter, ns, None, 0)

    # -- the GIL track

    def write_run(self) -> None:
        run = self.run
        if run is None:
            return
        name = "short holds" if run["mixed"] else self.name_of(run["holder"])
        self.complete(GIL_TRACK_TID, name, run["start"], run["end"],
                      {"holds": run["holds"], "held_us": round(run["held_ns"] / 1000.0, 3)})
        self.run = None

    def end_hold(self, tid: int, start: int, end: int, long: bool) -> None:
        start = max(start, self.last_end)
        end = max(end, start)
        if end - start >= self.resolution_ns:
            self.write_run()
            args: Dict[str, Any] = {"tid": tid}
            if long:
                args["long"] = True
            self.complete(GIL_TRACK_TID, self.name_of(tid), start, end, args)
        else:
            run = self.run
            if run is not None and start - run["end"] >= self.resolution_ns:
                self.write_run()
                run = None
            if run is None:
                run = self.run = {"start": start, "end": end, "holds": 0, "held_ns": 0,
                                  "holder": tid, "mixed": False}
            run["holds"] += 1
            run["end"] = end
            run["held_ns"] += end - start
            run["mixed"] = run["mixed"] or run["holder"] != tid
            if run["end"] - run["start"] >= self.resolution_ns:
                self.write_run()
        self.last_end = end
        if self.holder == tid:
            self.holder = 0

    # -- spans

    def enter(self, track: Dict[str, Any], kind: int, ns: int) -> None:
        track["span"] = kind
        track["span_ns"] = ns
        if kind == _WAIT:
            self.change(self.waiting, _WAITING, 1, ns)
        else:
            self.holder = track["tid"]
            self.hold_ns = ns
        if not track["own"]:
            self.change(self.groups[track["group"]], _HOLDING if kind == _HOLD else _WAITING,
                        1, ns)

    def leave(self, track: Dict[str, Any], ns: int, long: bool) -> None:
        kind = track["span"]
        if kind == _NONE:
            return
        ns = max(ns, track["span_ns"])
        if kind == _WAIT:
            self.change(self.waiting, _WAITING, -1, ns)
        else:
            self.end_hold(track["tid"], track["span_ns"], ns, long)
        if not track["own"]:
            self.change(self.groups[track["group"]], _HOLDING if kind == _HOLD else _WAITING,
                        -1, ns)
        start = max(track["own_ns"], track["span_ns"]) if track["own"] else track["span_ns"]
        if track["own"] and ns - start >= self.resolution_ns:
            self.complete(track["tid"],
                          "wait" if kind == _WAIT else "long hold" if long else "hold", start, ns)
        track["span"] = _NONE

    def promote(self, track: Dict[str, Any], ns: int) -> None:
        if track["own"] or ns - track["first_ns"] < _LONG_LIVED_NS:
            return
        if track["span"] != _NONE:
            self.change(self.groups[track["group"]],
                        _HOLDING if track["span"] == _HOLD else _WAITING, -1, ns)
        track["own"] = True
        track["own_ns"] = ns
        self.own_tracks += 1
        track["sort_index"] = self.own_tracks

    def take(self, time_ns: int, tid: int, serial: int, event: int, flags: int,
             gap_ns: Optional[int]) -> None:
        known = tid in self.tracks
        track = self.track(tid, time_ns if gap_ns is None else gap_ns)
        if not known:
            track["serial"] = serial
        elif track["serial"] != serial:
            # Another thread under a reused id: the old one's span ends, the
            # new one starts afresh (layout 1 has serial 0 throughout).
            self.leave(track, time_ns, False)
            track.update(serial=serial, own=False, first_ns=time_ns, last_ns=time_ns,
                         group=self.group_for(self.name_of(tid)))
        ns = max(time_ns, track["last_ns"])
        track["last_ns"] = ns
        self.promote(track, ns)
        if event in (TIMELINE_WAIT, TIMELINE_ACQUIRE):
            self.leave(track, ns, False)
            self.enter(track, _WAIT if event == TIMELINE_WAIT else _HOLD, ns)
        elif event == TIMELINE_RELEASE:
            if track["span"] == _NONE and gap_ns is not None:
                # The ring lost this hold's start.
                self.enter(track, _HOLD, gap_ns)
            self.leave(track, ns, bool(flags & _LONG_HOLD_FLAG) and track["span"] == _HOLD)
        elif event == TIMELINE_GIVE_UP:
            self.leave(track, ns, False)

    def finish(self, end_ns: int) -> None:
        for track in self.tracks.values():
            self.leave(track, max(end_ns, track["last_ns"]), False)
        self.write_run()
        for counter in [self.waiting] + self.groups:
            self.settle(counter, max(end_ns, counter.last_ns))
        for track in self.tracks.values():
            if track["own"]:
                self.metadata("thread_name", track["tid"], self.name_of(track["tid"]))
                self.sort_index(track["tid"], track["sort_index"])


def chrome_trace(report: Mapping[str, Any],
                 resolution: float = _interceptor.DEFAULT_TRACE_RESOLUTION) -> Dict[str, Any]:
    """The report's timeline as a trace-event JSON object, the events the
    streamed trace has (``python -m vandrel run --gil-trace``): the
    process's pid and CLOCK_MONOTONIC µs; the "GIL" track, its spans the
    holds named by the holder (holds shorter than `resolution` seconds
    merged while they follow each other closely: "short holds", or the
    holder's name, with their count and time); the "GIL" counter, threads
    waiting; a track per thread that lived half a second, with its holds
    and waits of at least `resolution`; a "group NAME" counter per group of
    other threads, holding and waiting.  A span still open when the
    timeline ends is closed at the report's wall time; one whose start the
    ring no longer has (it wrapped) starts at the first transition kept.
    Threads the report does not list are named "thread N".

    Raises ValueError when the report has no timeline or `resolution` is
    outside 0 to 1 second, TypeError when it is not a number."""
    resolution_ns = _interceptor.trace_resolution_ns(resolution, "resolution")
    timeline = report.get("timeline")
    if timeline is None:
        raise ValueError(
            "this report has no timeline: switch the GIL interceptor on with a ring capacity "
            "(lockgauge.init_gil_interceptor's `b`, in transitions, e.g. 1000000) and use the "
            "final report")
    written, origin_ns, pid, _ = _timeline_header(bytes(timeline))
    _, body = _timeline_body(bytes(timeline))
    entries = list(_TIMELINE_ENTRY.iter_unpack(body))
    builder = _TraceBuilder(_thread_names(report), origin_ns, os.getpid() if pid is None else pid,
                            resolution_ns)
    wrapped = written > len(entries)
    gap_ns = entries[0][0] if wrapped and entries else None
    for time_ns, tid, event, flags, serial in entries:
        builder.take(time_ns, tid, serial, event, flags, gap_ns)
    builder.finish(round(report["wall_s"] * 1e9))
    return {
        "traceEvents": builder.events,
        "displayTimeUnit": "ms",
        "otherData": {
            "wall_s": report["wall_s"],
            "long_hold_threshold_s": report.get("long_hold_threshold_s"),
            "resolution_s": resolution_ns / 1e9,
            "transitions_written": written,
            "transitions_kept": len(entries),
        },
    }


def write_chrome_trace(report: Mapping[str, Any], path: "os.PathLike[str] | str",
                       resolution: float = _interceptor.DEFAULT_TRACE_RESOLUTION) -> None:
    """Write chrome_trace(report, resolution) as JSON to `path`.  Raises
    ValueError (or TypeError) when the report has no timeline or the
    resolution is wrong, before creating the file."""
    trace = chrome_trace(report, resolution)
    with open(path, "w", encoding="utf-8") as out:
        json.dump(trace, out, separators=(",", ":"))
