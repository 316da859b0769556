"""The GIL trace written while the program runs: by the agent's own thread
(vandrel_trace_stream), as `python -m vandrel run --gil-trace` uses it."""
import json
import os
import signal
import time

import pytest

from child import (ALREADY_ON, BAD_PARAMETER, NOT_ON, OK, check_child, start_python)
from conftest import GIL_INTERCEPTOR_SUPPORTED
from interceptor import SPIN
from trace_files import read_trace, spans_of

needs_interceptor = pytest.mark.skipif(not GIL_INTERCEPTOR_SUPPORTED,
                                       reason="no GIL interceptor for this interpreter")



STREAM_AND_REPORT = SPIN + """
import ctypes, os, vandrel
from vandrel import _interceptor, _gil_format
vandrel.load_agent()
import lockgauge
finals = []
status = lockgauge.init_gil_interceptor(finals.append, 0, 0, -1, 0, 1_000_000, 0)
assert status == 0, status
print(_interceptor.stream_trace(PATH, MAX), flush=True)
for thread in spinners(0.6):
    thread.join()
print(lockgauge.deinit_gil_interceptor())
final = finals[-1]
print(json.dumps(_gil_format.chrome_trace(final)["traceEvents"]))
print(json.dumps({native_id: row["held_s"] for native_id, row in final["threads"].items()}))
"""


@needs_interceptor
def test_streamed_trace_has_the_formatter_s_events(tmp_path):
    # The same session's final timeline through the package's formatter
    # gives the same spans and thread names as the stream.
    path = tmp_path / "gil.json"
    done = check_child(f"PATH, MAX = {str(path)!r}, 0\n" + STREAM_AND_REPORT)
    started, stopped, formatted, _ = done.stdout.splitlines()
    assert (int(started), int(stopped)) == (OK, OK), done.stdout
    streamed_names, streamed = spans_of(read_trace(path))
    formatter_names, expected = spans_of(json.loads(formatted))
    assert streamed_names == formatter_names
    assert {"MainThread", "spin-0", "spin-1"} <= set(streamed_names.values())
    assert set(streamed) == set(expected)
    for tid, spans in expected.items():
        assert len(streamed[tid]) == len(spans), tid
        for mine, theirs in zip(streamed[tid], spans):
            assert mine[0] == theirs[0] and mine[3] == theirs[3], (mine, theirs)
            assert mine[1] == pytest.approx(theirs[1], abs=0.002), (mine, theirs)
            assert mine[2] == pytest.approx(theirs[2], abs=0.002), (mine, theirs)


@needs_interceptor
def test_a_full_file_goes_on_in_the_next_numbered_one(tmp_path):
    path = tmp_path / "gil.json"
    done = check_child(f"PATH, MAX = {str(path)!r}, 100\n" + STREAM_AND_REPORT)
    started, stopped, _, held = done.stdout.splitlines()
    assert (int(started), int(stopped)) == (OK, OK), done.stdout
    files = [path] + sorted(tmp_path.glob("gil.*.json"),
                            key=lambda p: int(p.name.split(".")[1]))
    assert len(files) >= 3, files
    assert [p.name for p in files[1:]] == [f"gil.{n}.json" for n in range(1, len(files))]
    held_by_tid = {}
    for number, file in enumerate(files):
        names, spans = spans_of(read_trace(file))
        begins = sum(len(s) for s in spans.values())
        # At most the file's share of transitions (each begins one span at
        # most), and the spans open at a rotation begun again.
        assert begins <= 100 + len(names), (file, begins)
        if number < len(files) - 1:
            assert begins >= 50, (file, begins)
        assert {"spin-0", "spin-1"} <= set(names.values()) or number == len(files) - 1
        for tid, thread_spans in spans.items():
            held_by_tid[tid] = held_by_tid.get(tid, 0.0) + sum(
                end - start for name, start, end, _ in thread_spans if name != "wait")
    # The files together hold every hold of the session.
    for native_id, held_s in json.loads(held).items():
        if int(native_id) in held_by_tid:
            assert held_by_tid[int(native_id)] / 1e6 == pytest.approx(held_s, rel=0.01,
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
        print(_interceptor.stream_trace(path), _interceptor.stream_trace(path))
        print(lockgauge.deinit_gil_interceptor())
    """)
    assert done.stdout.split() == [str(NOT_ON), str(BAD_PARAMETER), str(BAD_PARAMETER),
                                   str(BAD_PARAMETER), str(OK), str(ALREADY_ON), str(OK)]
    names, spans = spans_of(read_trace(tmp_path / "t.json"))
    assert "MainThread" in names.values() and spans


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
        names, _ = spans_of(during, closed=False)
        assert {"MainThread", "spin-0", "spin-1"} <= set(names.values()), names
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
    assert {"MainThread", "spin-0", "spin-1"} <= set(names.values()), names
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
    names, _ = spans_of(read_trace(trace))
    assert {"MainThread", "spin-0", "spin-1"} <= set(names.values()), names
