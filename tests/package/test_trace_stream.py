"""The GIL trace written while the program runs: by the agent's own thread
(vandrel_trace_stream), as `python -m vandrel run --gil-trace` uses it."""
import json
import os
import signal
import time

import pytest

from child import (ALREADY_ON, BAD_PARAMETER, NOT_ON, OK, check_child, start_python)
from conftest import needs_interceptor
from interceptor import SPIN
from trace_files import GIL_TRACK, gil_holders, held_by_thread, read_trace, spans_of


STREAM_AND_REPORT = SPIN + """
import ctypes, os, vandrel
from vandrel import _interceptor, _gil_format
vandrel.load_agent()
import lockgauge
finals = []
status = lockgauge.init_gil_interceptor(finals.append, 0, 0, -1, 0, 1_000_000, 0)
assert status == 0, status
print(_interceptor.stream_trace(PATH, MAX, RESOLUTION), flush=True)
for thread in spinners(0.6):
    thread.join()
print(lockgauge.deinit_gil_interceptor())
final = finals[-1]
print(json.dumps(_gil_format.chrome_trace(final, RESOLUTION)["traceEvents"]))
print(json.dumps({native_id: row["held_s"] for native_id, row in final["threads"].items()}))
"""


@needs_interceptor
def test_streamed_trace_has_the_formatter_s_events(tmp_path):
    # The same session's final timeline through the package's formatter
    # gives the same GIL track and the same long-lived threads' tracks as
    # the stream.
    path = tmp_path / "gil.json"
    done = check_child(f"PATH, MAX, RESOLUTION = {str(path)!r}, 0, 0.001\n" + STREAM_AND_REPORT)
    started, stopped, formatted, _ = done.stdout.splitlines()
    assert (int(started), int(stopped)) == (OK, OK), done.stdout
    streamed_names, streamed = spans_of(read_trace(path))
    formatter_names, expected = spans_of(json.loads(formatted))
    assert streamed_names == formatter_names
    # The spinners live 0.6 s: tracks of their own from 0.5 s on.
    assert {"GIL", "MainThread", "spin-0", "spin-1"} <= set(streamed_names.values())
    assert {"MainThread", "spin-0", "spin-1"} <= gil_holders(streamed)
    assert set(streamed) == set(expected)
    for tid, spans in expected.items():
        assert len(streamed[tid]) == len(spans), tid
        for mine, theirs in zip(streamed[tid], spans):
            # Threads the report does not list (the agent's own) are
            # "thread N" there.
            assert mine[0] == theirs[0] or theirs[0].startswith("thread "), (mine, theirs)
            assert mine[1] == pytest.approx(theirs[1], abs=0.002), (mine, theirs)
            assert mine[2] == pytest.approx(theirs[2], abs=0.002), (mine, theirs)


@needs_interceptor
def test_a_full_file_goes_on_in_the_next_numbered_one(tmp_path):
    path = tmp_path / "gil.json"
    done = check_child(f"PATH, MAX, RESOLUTION = {str(path)!r}, 20, 0\n" + STREAM_AND_REPORT)
    started, stopped, _, held = done.stdout.splitlines()
    assert (int(started), int(stopped)) == (OK, OK), done.stdout
    files = [path] + sorted(tmp_path.glob("gil.*.json"),
                            key=lambda p: int(p.name.split(".")[1]))
    assert len(files) >= 3, files
    assert [p.name for p in files[1:]] == [f"gil.{n}.json" for n in range(1, len(files))]
    held_by_tid, holders = {}, set()
    for number, file in enumerate(files):
        names, spans = spans_of(read_trace(file))
        assert names[GIL_TRACK] == "GIL", (file, names)
        gil_spans = len(spans.get(GIL_TRACK, []))
        # At most a span per transition of the file's share (and the one
        # open at a rotation begun again).
        assert gil_spans <= 20 + 1, (file, gil_spans)
        if number < len(files) - 1:
            assert gil_spans >= 5, (file, gil_spans)
        holders |= gil_holders(spans)
        for tid, seconds in held_by_thread(spans).items():
            held_by_tid[tid] = held_by_tid.get(tid, 0.0) + seconds
    assert {"MainThread", "spin-0", "spin-1"} <= holders, holders
    # At resolution 0 the files together hold every hold of the session.
    for native_id, held_s in json.loads(held).items():
        if int(native_id) in held_by_tid:
            assert held_by_tid[int(native_id)] == pytest.approx(held_s, rel=0.01,
                                                               abs=1e-5), native_id


@needs_interceptor
def test_stream_statuses(tmp_path):
    done = check_child(f"""
        import threading, vandrel
        from vandrel import _interceptor
        vandrel.load_agent()
        import lockgauge
        path = {str(tmp_path / "t.json")!r}
        print(_interceptor.stream_trace(path))                  # no session
        lockgauge.init_gil_interceptor(None, 0, 0, -1, 0, 0, 0)
        print(_interceptor.stream_trace(path))                  # no timeline
        lockgauge.deinit_gil_interceptor()
        lockgauge.init_gil_interceptor(None, 0, 0, -1, 0, 1000, 0)
        print(_interceptor.stream_trace(path, -1), _interceptor.stream_trace(""))
        # A resolution outside 0 to 1 s: refused by the package, then the agent.
        for bad in (-0.001, 1.5, float("nan"), "1"):
            try:
                _interceptor.stream_trace(path, 0, bad)
            except (TypeError, ValueError) as error:
                print(type(error).__name__, str(error).replace(" ", "_"))
        export = _interceptor._resolved_trace_export()
        print(export(path.encode(), 0, -1), export(path.encode(), 0, 1_000_000_001))
        print(_interceptor.stream_trace(path), _interceptor.stream_trace(path))
        print(lockgauge.deinit_gil_interceptor())
    """)
    lines = done.stdout.splitlines()
    assert lines[0].split() + lines[1].split() + lines[2].split() == [
        str(NOT_ON), str(BAD_PARAMETER), str(BAD_PARAMETER), str(BAD_PARAMETER)]
    assert lines[3:7] == ["ValueError resolution_must_be_0_to_1_seconds,_got_-0.001",
                          "ValueError resolution_must_be_0_to_1_seconds,_got_1.5",
                          "ValueError resolution_must_be_a_finite_number_of_seconds,_got_nan",
                          "TypeError resolution_must_be_a_number_of_seconds,_not_str"], lines
    assert lines[7:] == [f"{BAD_PARAMETER} {BAD_PARAMETER}", f"{OK} {ALREADY_ON}", str(OK)]
    names, spans = spans_of(read_trace(tmp_path / "t.json"))
    assert names[GIL_TRACK] == "GIL" and "MainThread" in gil_holders(spans)


LONG_RUN = SPIN + """
import sys
print("running", flush=True)
while True:
    for thread in spinners(0.2):
        thread.join()
"""


@needs_interceptor
@pytest.mark.timing
def test_the_trace_is_on_disk_while_the_program_runs_and_survives_sigkill(tmp_path):
    script = tmp_path / "app.py"
    script.write_text(LONG_RUN)
    trace = tmp_path / "gil.json"
    child = start_python(["-m", "vandrel", "run", "--gil-trace", str(trace), str(script)])
    try:
        assert child.stdout.readline() == b"running\n"
        started = time.monotonic()
        time.sleep(2.5)
        # Written while it runs: the array, not yet closed.
        during = read_trace(trace, complete=False)
        names, spans = spans_of(during, closed=False)
        assert "MainThread" in names.values(), names
        assert {"MainThread", "spin-0", "spin-1"} <= gil_holders(spans), names
        time.sleep(0.5)
        child.send_signal(signal.SIGKILL)
        killed_after = time.monotonic() - started
        child.wait(timeout=30)
    finally:
        child.kill()
        child.wait()
    events = read_trace(trace, complete=False)
    spans_of(events, closed=False)
    last = max(event["ts"] for event in events if "ts" in event) / 1e6
    # Up to about the last second before the kill (a drain a second; the
    # switch-on came a little before "running").
    assert last >= killed_after - 2.0, (last, killed_after)


@needs_interceptor
def test_launcher_trace_ends_closed_at_exit(tmp_path):
    script = tmp_path / "app.py"
    script.write_text(SPIN + "for thread in spinners(0.3):\n    thread.join()\n")
    trace = tmp_path / "gil.json"
    child = start_python(["-m", "vandrel", "run", "--gil-trace", str(trace), str(script)])
    out, err = child.communicate(timeout=60)
    assert child.returncode == 0, err
    names, spans = spans_of(read_trace(trace))
    assert names[GIL_TRACK] == "GIL", names
    assert {"MainThread", "spin-0", "spin-1"} <= gil_holders(spans), spans
    assert os.path.getsize(trace) > 0 and not list(tmp_path.glob("gil.*.json"))
    del out


@needs_interceptor
def test_a_second_ctrl_c_at_exit_keeps_the_trace(tmp_path):
    # The natural reaction to an exit that seems slow: the second SIGINT
    # comes while the first one's KeyboardInterrupt ends the program.
    script = tmp_path / "app.py"
    script.write_text(LONG_RUN)
    trace = tmp_path / "gil.json"
    child = start_python(["-m", "vandrel", "run", "--gil-trace", str(trace), str(script)],
                         preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    try:
        assert child.stdout.readline() == b"running\n"
        time.sleep(1.5)
        child.send_signal(signal.SIGINT)
        time.sleep(0.01)
        child.send_signal(signal.SIGINT)
        child.wait(timeout=30)
    finally:
        child.kill()
        child.wait()
    assert child.returncode == -signal.SIGINT, child.stderr.read().decode()
    names, spans = spans_of(read_trace(trace))
    assert {"MainThread", "spin-0", "spin-1"} <= gil_holders(spans), names
