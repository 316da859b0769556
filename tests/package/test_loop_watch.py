"""vandrel.watch_event_loops and `run --loop-block`: event-loop blocks caught
with their code.

Every scenario with a watcher runs in a fresh interpreter (one watcher per
process); real frameworks (aiohttp, Starlette under uvicorn with uvloop)
are the slow checks."""
import asyncio
import json
import math
import re
import threading

import pytest

import vandrel
from child import check_child, child_program, run_python
from conftest import needs_interceptor

THRESHOLD = 0.1


def marked_lines(source):
    """{name: line} of the lines marked `# LINE: name` in `source`, as
    check_child() runs it (after its one-line prelude)."""
    return {match.group(1): source.count("\n", 0, match.start()) + 2
            for match in re.finditer(r"# LINE: (\w+)", source)}


def places_by_line(report):
    return {place["line"]: place for place in report["places"]}


@pytest.mark.timing
def test_blocks_caught_at_their_line_with_their_task():
    # time.sleep (GIL released), a CPU loop in Python (GIL handed over at the
    # switch interval) and a C call that keeps the GIL, 200 ms each, among
    # thousands of short awaits that must not count.
    source = child_program("loop_blocks", THRESHOLD=THRESHOLD)
    lines = marked_lines(source)
    out = check_child(source).stdout.splitlines()
    flood_s, report = json.loads(out[0])["flood_s"], json.loads(out[-1])
    places = places_by_line(report)
    back_to_back = ("first_callback", "second_callback", "first_task", "second_task")
    known = {lines[name] for name in ("sleep", "spin", "holder") + back_to_back}
    # The rest: the short callbacks' block, at whichever was caught (two or
    # more only where a busy machine stretched one past the threshold).
    flood = [place for place in report["places"] if place["line"] not in known]
    assert set(places) >= known and flood, report
    assert {place["function"] for place in flood} <= {"tick", "tock"}, flood
    flood_blocks = sum(place["count"] for place in flood)
    assert [places[lines[name]]["count"] for name in ("sleep", "spin", "holder")] == [2, 1, 1]
    assert report["block_count"] == 8 + flood_blocks, report
    assert report["loops_seen"] == 1 and report["final"]
    for place in report["places"]:
        assert THRESHOLD < place["max_s"] < (0.5 if place["line"] in known else 5), place
        assert place["file"] == "<string>" and place["thread"] == "MainThread"
        # The whole stack, innermost first, down to the module's asyncio.run.
        assert place["stack"][0] == [place["file"], place["line"], place["function"]]
        assert place["stack"][-1][2] == "<module>"
    assert places[lines["sleep"]]["function"] == "sleeper"
    assert places[lines["sleep"]]["task"] == "sleeper (sleeper)"
    assert places[lines["spin"]]["function"] == "spin"
    assert places[lines["spin"]]["stack"][1][2] == "main"
    assert places[lines["spin"]]["task"] == "Task-1 (main)"
    assert places[lines["holder"]]["function"] == "holder"
    # Blocks back to back, without a turn of the loop between them, are
    # told apart by the callback that runs: each at its own line, with its
    # own task.
    for name in back_to_back:
        assert places[lines[name]]["count"] == 1, (name, report)
        assert places[lines[name]]["function"] == name.replace("_task", "_step"), report
    assert places[lines["first_callback"]]["task"] is None
    assert places[lines["first_task"]]["task"] == "first (first_step)"
    assert places[lines["second_task"]]["task"] == "second (second_step)"
    # Short callbacks back to back, none a block alone, count for their
    # whole time, not only until the first change of callback.
    assert abs(sum(place["total_s"] for place in flood) - flood_s) < 0.06, (flood, flood_s)
    # The eight 200 ms blocks and the flood.
    assert 1.4 < report["blocked_s"] - flood_s < 2.2, (report["blocked_s"], flood_s)


@pytest.mark.timing
def test_one_watcher_stop_twice_and_fork():
    source = child_program("loop_watch_misuse")
    lines = [json.loads(line) for line in check_child(source).stdout.splitlines()]
    assert lines[0]["second"] == "AlreadyRunning" and lines[0]["running"] is True
    assert lines[0]["empty"]["block_count"] == 0 and lines[0]["empty"]["places"] == []
    assert lines[1] == {"same": True, "running": False, "count": 1, "final": True}
    assert {"child_inherited": 1, "child_own": 1} in lines
    assert lines[-1] == {"parent": 1}


def test_bad_threshold_installs_nothing():
    hook = asyncio.events._set_running_loop
    threads = threading.active_count()
    for bad in ("0.1", None, True, [0.1], 1j):
        with pytest.raises(TypeError, match="threshold must be a number"):
            vandrel.watch_event_loops(bad)
    for bad in (0, -0.1, 60.001, math.nan, math.inf, -math.inf):
        with pytest.raises(ValueError, match="more than 0 and at most 60"):
            vandrel.watch_event_loops(bad)
    assert asyncio.events._set_running_loop is hook
    assert threading.active_count() == threads


@pytest.mark.timing
def test_run_loop_block_reports_on_stderr(tmp_path):
    script = tmp_path / "app.py"
    script.write_text("import asyncio, time\n"
                      "async def main():\n"
                      "    await asyncio.sleep(0.005)\n"
                      "    time.sleep(0.12)\n"
                      "asyncio.run(main())\n")
    done = run_python(["-m", "vandrel", "run", "--loop-block", "0.05", str(script)])
    assert done.returncode == 0, done.stderr
    assert "event-loop blocks (final): 1 block longer than 50.0 ms" in done.stderr
    assert f"#1 {script}:4 in main: 1 block" in done.stderr
    # The launcher's own frames are left out of the stack.
    assert "vandrel/cli.py" not in done.stderr and "runpy" not in done.stderr


def test_run_loop_block_refuses_bad_seconds(capsys):
    from vandrel import cli
    for bad in ("0", "61", "soon", "nan"):
        with pytest.raises(SystemExit) as exit:
            cli.main(["run", "--loop-block", bad, "app.py"])
        assert exit.value.code == 2
        assert "--loop-block" in capsys.readouterr().err


# ---- real frameworks ---------------------------------------------------------


@pytest.mark.slow
@pytest.mark.timing
def test_aiohttp_run_app_blocking_route():
    pytest.importorskip("aiohttp")
    source = child_program("loop_aiohttp", THRESHOLD=THRESHOLD)
    lines = marked_lines(source)
    report = json.loads(check_child(source, timeout=120).stdout.splitlines()[-1])
    places = places_by_line(report)
    assert set(places) == {lines["slow"]}, report
    assert places[lines["slow"]]["count"] == 3 and report["block_count"] == 3
    assert places[lines["slow"]]["function"] == "slow_route"
    assert any("aiohttp" in frame[0] for frame in places[lines["slow"]]["stack"])


@pytest.mark.slow
@pytest.mark.timing
def test_starlette_under_uvicorn_on_uvloop():
    for name in ("uvicorn", "starlette", "uvloop"):
        pytest.importorskip(name)
    source = child_program("loop_uvicorn", THRESHOLD=THRESHOLD)
    lines = marked_lines(source)
    out = check_child(source, timeout=120).stdout.splitlines()
    assert out[0] == "uvloop.Loop"
    report = json.loads(out[-1])
    places = places_by_line(report)
    assert set(places) == {lines["slow"]}, report
    assert places[lines["slow"]]["count"] == 3 and report["block_count"] == 3
    # Deep in the library: charged to the innermost frame, the route's line.
    assert places[lines["slow"]]["function"] == "slow_route"
    assert any("starlette" in frame[0] for frame in places[lines["slow"]]["stack"])


@pytest.mark.timing
@needs_interceptor
def test_run_loop_block_and_gil_trace_put_blocks_in_the_trace(tmp_path):
    from trace_files import GIL_TRACK, read_trace, spans_of
    script = tmp_path / "app.py"
    script.write_text(child_program("loop_block_trace"))
    line = marked_lines(script.read_text())["sleep"] - 1     # no prelude here
    trace = tmp_path / "trace.json"
    done = run_python(["-m", "vandrel", "run", "--loop-block", "0.05", "--gil-trace",
                       str(trace), str(script), str(trace)])
    assert done.returncode == 0, done.stderr
    # Streamed: in the file soon after the block ended, not at exit only.
    assert "in the trace while running: True" in done.stdout, (done.stdout, done.stderr)
    names, spans = spans_of(read_trace(trace))
    loop_tids = [tid for tid, name in names.items() if name == "event loop MainThread"]
    assert len(loop_tids) == 1, names
    blocks = spans[loop_tids[0]]
    assert [name for name, _, _, _ in blocks] == [f"{script}:{line} sleeper"], blocks
    _, start, end, args = blocks[0]
    assert args == {"task": "the sleeper (sleeper)"}
    assert 0.15 < (end - start) / 1e6 < 0.4, blocks
    # The same clock as the GIL spans: the block lies within the GIL track's
    # time, and the report on stderr counts the same block.
    gil = spans[GIL_TRACK]
    assert min(s for _, s, _, _ in gil) < start and end < max(e for _, _, e, _ in gil), (gil, blocks)
    assert f"#1 {script}:{line} in sleeper: 1 block" in done.stderr
