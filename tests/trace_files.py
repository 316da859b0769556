"""Reading the GIL trace files the agent streams (the trace-event JSON
array form), checking them as the viewers read them."""
import json


def read_trace(path, *, complete=True):
    """The events of the streamed trace at `path` (the JSON array form).
    `complete`: the file must end with its closing bracket; otherwise one is
    added when missing, as the viewers do."""
    text = path.read_text()
    assert text.startswith("["), text[:100]
    if complete:
        assert text.rstrip().endswith("]"), text[-200:]
    elif not text.rstrip().endswith("]"):
        text += "]"
    events = json.loads(text)
    assert isinstance(events, list)
    return events


def spans_of(events, *, closed=True):
    """Thread names by tid, and per thread its spans (name, start, end, args)
    in order, checking the format as the viewers read it: per thread,
    timestamps never go back and spans never nest.  `closed`: every begin
    has its end."""
    names, spans, open_spans, last_ts = {}, {}, {}, {}
    for event in events:
        assert isinstance(event["pid"], int) and isinstance(event["tid"], int), event
        tid = event["tid"]
        if event["ph"] == "M":
            assert event["name"] in ("process_name", "thread_name"), event
            if event["name"] == "thread_name":
                names[tid] = event["args"]["name"]
            continue
        if event["ph"] == "i":
            continue
        ts = event["ts"]
        assert ts >= last_ts.get(tid, 0), (event, last_ts.get(tid))
        last_ts[tid] = ts
        if event["ph"] == "B":
            assert tid not in open_spans, event
            assert event["name"] in ("wait", "hold", "long hold") and event["cat"] == "gil"
            open_spans[tid] = event
        else:
            assert event["ph"] == "E", event
            begin = open_spans.pop(tid)
            spans.setdefault(tid, []).append((begin["name"], begin["ts"], ts, begin.get("args")))
    if closed:
        assert not open_spans, open_spans
    assert set(last_ts) <= set(names), (set(last_ts), names)
    return names, spans
