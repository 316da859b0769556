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

__all__ = ["format_text", "text_rows", "short_lived_seconds", "chrome_trace", "write_chrome_trace", "timeline_entries",
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


def timeline_entries(timeline: bytes) -> Tuple[int, List[Tuple[int, int, int, int]]]:
    """Unpack a report's `timeline`: (transitions written in all, entries),
    each entry (ns since switch-on, native thread id, event, flags), oldest
    first.  More written than kept means the ring wrapped."""
    if len(timeline) < _TIMELINE_HEADER.size:
        raise ValueError("timeline too short for its header")
    magic, version, entry_size, written = _TIMELINE_HEADER.unpack_from(timeline)
    if magic != _TIMELINE_MAGIC or version != 1 or entry_size != _TIMELINE_ENTRY.size:
        raise ValueError("not a GIL timeline of a known layout")
    body = memoryview(timeline)[_TIMELINE_HEADER.size:]
    if len(body) % entry_size:
        raise ValueError("timeline cut in the middle of an entry")
    entries = [(time_ns, native_id, event, flags)
               for time_ns, native_id, event, flags, _ in _TIMELINE_ENTRY.iter_unpack(body)]
    return written, entries


def _thread_names(report: Mapping[str, Any]) -> Dict[int, str]:
    return {int(native_id): row["name"] for native_id, row in report.get("threads", {}).items()}


def chrome_trace(report: Mapping[str, Any]) -> Dict[str, Any]:
    """The report's timeline as a trace-event JSON object: one track per
    thread, named after it, with "hold" and "wait" spans (begin/end pairs,
    µs since switch-on); a hold longer than the long-hold threshold is
    named "long hold" and carries `"long": true`.  A span still open when
    the timeline ends is closed at the report's wall time; one whose start
    the ring no longer has (it wrapped) starts at the first transition kept.

    Raises ValueError when the report has no timeline."""
    timeline = report.get("timeline")
    if timeline is None:
        raise ValueError(
            "this report has no timeline: switch the GIL interceptor on with a ring capacity "
            "(lockgauge.init_gil_interceptor's `b`, in transitions, e.g. 1000000) and use the "
            "final report")
    written, entries = timeline_entries(bytes(timeline))
    names = _thread_names(report)
    end_us = report["wall_s"] * 1e6
    start_us = entries[0][0] / 1000.0 if entries else 0.0
    pid = 1
    events: List[Dict[str, Any]] = [
        {"ph": "M", "name": "process_name", "pid": pid, "tid": 0,
         "args": {"name": "GIL"}},
    ]
    # Per thread: the open span's name, start and its begin event's index.
    open_spans: Dict[int, Tuple[str, float, int]] = {}
    last_us: Dict[int, float] = {}
    seen: List[int] = []

    def begin(tid: int, name: str, ts: float) -> None:
        open_spans[tid] = (name, ts, len(events))
        events.append({"ph": "B", "name": name, "cat": "gil", "pid": pid, "tid": tid, "ts": ts})

    def end(tid: int, ts: float, long: bool = False) -> None:
        name, began, index = open_spans.pop(tid)
        if name == "hold" and long:
            events[index]["name"] = "long hold"
            events[index]["args"] = {"long": True}
        events.append({"ph": "E", "pid": pid, "tid": tid, "ts": max(ts, began)})

    wrapped = written > len(entries)
    for time_ns, tid, event, flags in entries:
        if tid not in last_us:
            seen.append(tid)
            last_us[tid] = start_us
        # Per thread, time never runs back (counters of two CPUs may differ
        # by a few ns).
        ts = max(time_ns / 1000.0, last_us[tid])
        last_us[tid] = ts
        current = open_spans.get(tid)
        if event == TIMELINE_WAIT:
            if current is not None:
                end(tid, ts)
            begin(tid, "wait", ts)
        elif event == TIMELINE_ACQUIRE:
            if current is not None:
                end(tid, ts)
            begin(tid, "hold", ts)
        elif event == TIMELINE_RELEASE:
            long = bool(flags & _LONG_HOLD_FLAG)
            if current is None and wrapped:
                # The ring lost this hold's start: it began before the first kept transition.
                begin(tid, "hold", start_us)
                current = open_spans[tid]
            if current is not None:
                end(tid, ts, long and current[0] == "hold")
        elif event == TIMELINE_GIVE_UP:
            if current is not None:
                end(tid, ts)
    for tid in list(open_spans):
        end(tid, max(end_us, last_us[tid]))
    for tid in seen:
        name = names.get(tid, f"thread {tid}")
        events.append({"ph": "M", "name": "thread_name", "pid": pid, "tid": tid,
                       "args": {"name": name}})
    return {
        "traceEvents": events,
        "displayTimeUnit": "ms",
        "otherData": {
            "wall_s": report["wall_s"],
            "long_hold_threshold_s": report.get("long_hold_threshold_s"),
            "transitions_written": written,
            "transitions_kept": len(entries),
        },
    }


def write_chrome_trace(report: Mapping[str, Any], path: "os.PathLike[str] | str") -> None:
    """Write chrome_trace(report) as JSON to `path`.  Raises ValueError
    when the report has no timeline (before creating the file)."""
    trace = chrome_trace(report)
    with open(path, "w", encoding="utf-8") as out:
        json.dump(trace, out, separators=(",", ":"))
