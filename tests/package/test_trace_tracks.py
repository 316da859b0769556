"""The GIL trace's tracks: the GIL track and its counters, tracks only for
long-lived threads, the process's pid and CLOCK_MONOTONIC, and the
resolution that bounds the size (streamed, and written from a report)."""
import json
import os
import struct
import sys
import time

import pytest

import vandrel
from vandrel import _gil_format, cli
from child import check_child, child_program
from conftest import needs_interceptor
from trace_files import GIL_TRACK, counter_integral, counters_of, read_trace, spans_of


RESOLUTIONS = (0.001, 0.01)


def held_on_the_gil_track(spans):
    """Seconds held by the GIL track's spans: a hold's length, or the time
    of the short holds merged into a span."""
    return sum((args["held_us"] if "held_us" in args else end - start) / 1e6
               for _, start, end, args in spans.get(GIL_TRACK, []))


@needs_interceptor
def test_a_thread_per_request_server_s_trace_reads_at_a_glance(tmp_path):
    path = tmp_path / "gil.json"
    before = time.monotonic()
    done = check_child(child_program("http_trace", PATH=str(path), RESOLUTION=0.001,
                                     REQUESTS=200, RESOLUTIONS=list(RESOLUTIONS)), timeout=120)
    after = time.monotonic()
    run = json.loads(done.stdout)
    assert run["threads"] >= 200, run
    traces = {"stream": read_trace(path)}
    traces.update({r: read_trace(tmp_path / f"gil.json.{r}.json") for r in RESOLUTIONS})
    for kind, events in traces.items():
        names, spans = spans_of(events)  # B/E pairs per track, nothing overlaps
        # The GIL track on top, in the process's own pid.
        assert names[GIL_TRACK] == "GIL", kind
        assert {event["pid"] for event in events} == {run["pid"]}, kind
        sort_index = {e["tid"]: e["args"]["sort_index"] for e in events
                      if e["ph"] == "M" and e["name"] == "thread_sort_index"}
        assert sort_index[GIL_TRACK] == min(sort_index.values()), (kind, sort_index)
        # CLOCK_MONOTONIC µs: within this run, around the child's own clock.
        stamps = [e["ts"] for e in events if "ts" in e]
        assert before * 1e6 <= min(stamps) <= run["started"] * 1e6, (kind, min(stamps))
        assert run["started"] * 1e6 <= max(stamps) <= after * 1e6, (kind, max(stamps))
        # A track for the GIL and for the long-lived threads only; the
        # 200 request threads count in their group's counter.
        assert set(names) - {GIL_TRACK} <= set(run["long_lived"]), (kind, names)
        counters = counters_of(events)
        assert "GIL" in counters and "group Thread-* (process_request_thread)" in counters, kind
        assert len(counters) <= 8, (kind, sorted(counters))
        # Holds and waits shorter than the resolution are merged, never lost.
        assert held_on_the_gil_track(spans) == pytest.approx(run["held_s"], rel=0.01), kind
        waited = counter_integral(counters["GIL"], "waiting")
        assert waited == pytest.approx(run["wait_s"], rel=0.02, abs=1e-4), kind
    # Ten times the resolution, a fraction of the bytes.
    sizes = [os.path.getsize(tmp_path / f"gil.json.{r}.json") for r in RESOLUTIONS]
    assert sizes[0] > 3 * sizes[1], sizes
    # The stream and the report's trace at the same resolution: same spans.
    streamed = spans_of(traces["stream"])[1][GIL_TRACK]
    written = spans_of(traces[0.001])[1][GIL_TRACK]
    assert len(streamed) == len(written)
    assert [s[1] for s in streamed] == pytest.approx([s[1] for s in written], abs=0.002)


def _report_with_timeline(entries=(), wall_s=0.5, threads=()):
    """A final report whose timeline (layout 2: switch-on at 123.456789 s of
    CLOCK_MONOTONIC, pid 4321) holds `entries`: (ms, tid, serial, event)."""
    header = b"VGTL" + (2).to_bytes(2, sys.byteorder) + (16).to_bytes(2, sys.byteorder)
    header += len(entries).to_bytes(8, sys.byteorder)
    header += (123_456_789_000).to_bytes(8, sys.byteorder, signed=True)
    header += (4321).to_bytes(4, sys.byteorder) + bytes(4)
    body = b"".join(struct.pack("=qiBBH", round(ms * 1e6), tid, event, 0, serial)
                    for ms, tid, serial, event in entries)
    rows = tuple(vandrel.ThreadGilStats(tid, name, 0.0, 0.0, 0, 0.0)
                 for tid, name in threads)
    return vandrel.GilReport(wall_s, 0.0, 0.0, wall_s, 0, True, rows, (),
                             timeline=header + body)


def test_a_thread_under_a_reused_id_is_a_new_short_lived_thread():
    acquire, release = 2, 3
    # Thread 100 (serial 1) holds at 0 and at 600 ms: it lived half a
    # second, a track of its own.  Thread 200's id is reused by serial 3 at
    # 600 ms, which must not inherit serial 2's age.
    entries = [(0, 100, 1, acquire), (2, 100, 1, release), (3, 200, 2, acquire),
               (5, 200, 2, release), (600, 100, 1, acquire), (610, 100, 1, release),
               (620, 200, 3, acquire), (630, 200, 3, release), (640, 200, 3, acquire),
               (650, 200, 3, release)]
    report = _report_with_timeline(entries, wall_s=0.7,
                                   threads=[(100, "main"), (200, "Thread-9 (handle)")])
    events = _gil_format.chrome_trace(report.to_dict(), 0.001)["traceEvents"]
    names, spans = spans_of(events)
    assert names == {GIL_TRACK: "GIL", 100: "main"}, names
    assert [(s[0], s[1]) for s in spans[100]] == [("hold", 123_456_789 + 600_000)], spans[100]
    assert [s[0] for s in spans[GIL_TRACK]] == ["main", "Thread-9 (handle)", "main",
                                                "Thread-9 (handle)", "Thread-9 (handle)"]
    # Its group's counter has both threads' 22 ms of holds.
    holding = counter_integral(counters_of(events)["group Thread-* (handle)"], "holding")
    assert holding == pytest.approx(0.022), holding
    # The same with one serial: thread 200 is 640 ms old at its last hold.
    same = [(ms, tid, 2 if tid == 200 else 1, event) for ms, tid, _, event in entries]
    names, _ = spans_of(_gil_format.chrome_trace(
        _report_with_timeline(same, 0.7, [(100, "main"), (200, "Thread-9 (handle)")]).to_dict(),
        0.001)["traceEvents"])
    assert set(names) == {GIL_TRACK, 100, 200}, names


def test_a_bad_resolution_is_refused_before_anything_is_written(tmp_path, capsys):
    report = _report_with_timeline()
    path = tmp_path / "gil.json"
    for bad, error, message in ((-0.001, ValueError, "resolution must be 0 to 1 seconds"),
                                (1.001, ValueError, "resolution must be 0 to 1 seconds"),
                                (float("inf"), ValueError, "must be a finite number"),
                                ("0.01", TypeError, "must be a number of seconds"),
                                (True, TypeError, "must be a number of seconds")):
        with pytest.raises(error, match=message):
            report.write_chrome_trace(path, resolution=bad)
        assert not path.exists()
    # At the range's ends it writes: the pid and the switch-on's clock.
    for good in (0, 1):
        report.write_chrome_trace(path, resolution=good)
        events = json.loads(path.read_text())["traceEvents"]
        assert {e["pid"] for e in events} == {4321}
        assert json.loads(path.read_text())["otherData"]["resolution_s"] == good
    # The launcher's option: usage errors (status 2) before the program runs.
    for args, message in ((["--gil-trace", str(path), "--gil-trace-resolution", "-1"],
                           "argument --gil-trace-resolution: must be 0 to 1 seconds, got '-1'"),
                          (["--gil-trace", str(path), "--gil-trace-resolution", "soon"],
                           "argument --gil-trace-resolution: not a number of seconds: 'soon'"),
                          (["--gil-trace-resolution", "0.01"],
                           "--gil-trace-resolution: needs --gil-trace FILE")):
        with pytest.raises(SystemExit) as exit:
            cli.main(["run", *args, "-c", "pass"])
        assert exit.value.code == 2
        assert message in capsys.readouterr().err, args
