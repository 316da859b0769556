"""Reading the GIL trace files (the trace-event JSON the agent streams, in
its array form, and the object form the package writes from a report),
checking them as the viewers read them."""
import json

#: The GIL track's tid (vandrel._gil_format.GIL_TRACK_TID).
GIL_TRACK = 4194304
# Timestamps and durations are rounded to the ns apiece: an end may pass
# the next start by that much.
_ROUNDING_US = 0.002


def read_trace(path, *, complete=True):
    """The events of the trace at `path` (either form).  `complete`: the
    array must end with its closing bracket; otherwise one is added when
    missing, as the viewers do."""
    text = path.read_text()
    if text.startswith("{"):
        return json.loads(text)["traceEvents"]
    assert text.startswith("["), text[:100]
    if complete:
        assert text.rstrip().endswith("]"), text[-200:]
    elif not text.rstrip().endswith("]"):
        text += "]"
    events = json.loads(text)
    assert isinstance(events, list)
    return events


def spans_of(events, *, closed=True):
    """Track names by tid, and per track its spans (name, start, end, args)
    in order, checking the format as the viewers read it: one pid; per
    track, spans ("X", or "B" and its "E") never overlap or nest and time
    never runs back.  `closed`: every begin has its end."""
    names, spans, open_spans, last_end = {}, {}, {}, {}
    pids = set()
    for event in events:
        assert isinstance(event["pid"], int) and isinstance(event["tid"], int), event
        pids.add(event["pid"])
        tid = event["tid"]
        phase = event["ph"]
        if phase == "M":
            assert event["name"] in ("process_name", "thread_name", "thread_sort_index"), event
            if event["name"] == "thread_name":
                names[tid] = event["args"]["name"]
            continue
        if phase in ("i", "C"):
            if phase == "C":
                assert all(isinstance(v, (int, float)) and v >= 0
                           for v in event["args"].values()), event
            continue
        ts = event["ts"]
        if phase in ("X", "B"):
            assert tid not in open_spans, event
            assert ts >= last_end.get(tid, 0) - _ROUNDING_US, (event, last_end.get(tid))
            assert isinstance(event["name"], str) and event["cat"] in ("gil", "loop"), event
        if phase == "X":
            assert event["dur"] >= 0, event
            end = ts + event["dur"]
            spans.setdefault(tid, []).append((event["name"], ts, end, event.get("args")))
            last_end[tid] = end
        elif phase == "B":
            open_spans[tid] = event
        else:
            assert phase == "E", event
            begin = open_spans.pop(tid)
            assert ts >= begin["ts"], (begin, event)
            spans.setdefault(tid, []).append((begin["name"], begin["ts"], ts, begin.get("args")))
            last_end[tid] = ts
    if closed:
        assert not open_spans, open_spans
    assert len(pids) <= 1, pids
    assert set(spans) <= set(names), (set(spans), names)
    return names, spans


def counters_of(events):
    """Per counter name, its (ts, args) in order of time."""
    counters = {}
    for event in events:
        if event["ph"] == "C":
            counters.setdefault(event["name"], []).append((event["ts"], event["args"]))
    for values in counters.values():
        values.sort(key=lambda value: value[0])
    return counters


def held_by_thread(spans):
    """Seconds the GIL track shows each thread (by tid) holding it, from the
    spans that name their holder's tid (all of them at resolution 0)."""
    held = {}
    for name, start, end, args in spans.get(GIL_TRACK, []):
        if args and "tid" in args:
            held[args["tid"]] = held.get(args["tid"], 0.0) + (end - start) / 1e6
    return held


def counter_integral(values, key):
    """The integral in seconds of a counter's series `key` over the trace
    (its last value is the level at the trace's end)."""
    return sum(args.get(key, 0) * (following[0] - ts) / 1e6
               for (ts, args), following in zip(values, values[1:]))


def gil_holders(spans):
    """The names on the GIL track's spans."""
    return {name for name, _, _, _ in spans.get(GIL_TRACK, [])}
