"""The GIL interceptor at server scale: thread churn, bounded reports,
names of short-lived threads, stack-dump marks.

Each scenario runs in a fresh interpreter with a timeout (see
agent_helpers.py's run_agent_child).  The long ones are `slow`; those with
wall-clock bounds are also `timing`, so they stay out of sanitizer and
valgrind runs.
"""
import os
import sys

import pytest

from agent_helpers import assert_totals_add_up, needs_interceptor, run_agent_child, thread_figures
from child import child_program
from conftest import ROOT


CHURN_70K = child_program("churn_70k")


@needs_interceptor
@pytest.mark.slow
@pytest.mark.timing
def test_seventy_thousand_threads_stay_counted_and_reports_stay_small(tmp_path):
    # More threads than 65,536 and than twice pid_max here (32768): native
    # ids are reused many times over.
    result, _ = run_agent_child(tmp_path, CHURN_70K, timeout=600)
    before, final = result["before"], result["final"]
    window = final["wall_s"] - before["wall_s"]
    assert window > 1.5, window
    # Each spinner held the GIL for its part of the window (20 runs, some
    # beside other work: 0.37-0.62; how evenly they share it is a row of
    # benchmarks/bench_gil_scale.py), together nearly all of it (0.97-1.0)
    # and no more than all threads together.
    shares = []
    for native_id in result["ids"]:
        now, then = thread_figures(final, native_id), thread_figures(before, native_id)
        shares.append((now["held_s"] - then["held_s"]) / window)
        assert 0.25 <= shares[-1] <= 0.75, (now, then, window)
        assert now["name"].startswith("spinner-"), now
    total = (final["held_s"] - before["held_s"]) / window
    assert 0.9 <= sum(shares) <= total + 1e-6, (shares, total, window)
    # Every thread is accounted for, in a row or in its group.
    assert_totals_add_up(final)
    counted = len(final["threads"]) + sum(g["count"] for g in final["groups"])
    assert counted >= 70000, counted
    assert len(final["groups"]) <= 10, [g["name"] for g in final["groups"]]
    # Memory does not grow with the threads that finished: over 30,000 more
    # of them, 20 runs moved malloc's bytes in use by -0.1 to +3.8 KB and
    # the interpreter's blocks by +90 to +672.  Any malloc() left behind
    # per thread adds at least 32 bytes (938 KB), one object per thread
    # 30,000 blocks.  RSS, which cached thread stacks and arenas move, is a
    # row of benchmarks/bench_gil_scale.py.
    grown = {key: result["memory"]["65000"][key] - result["memory"]["35000"][key]
             for key in ("heap", "blocks")}
    assert grown["heap"] < 256 * 1024 and grown["blocks"] < 10000, result["memory"]
    # A report costs the same however many threads finished.  The goal,
    # under 2 ms of the agent's GIL time, is a row of
    # benchmarks/bench_gil_scale.py (40 runs: 0.55-1.6 ms); an agent that
    # kept the records of ended threads took 19 ms.
    assert result["late_reports"] >= 20, result["late_reports"]
    assert result["held_per_report"] < 0.005, result["held_per_report"]
    assert max(result["text_sizes"]) < 16 * 1024, result["text_sizes"]
    assert "Thread-* (<lambda>)" in result["last_text"], result["last_text"]


HTTP_REQUESTS = child_program("http_requests")


@needs_interceptor
@pytest.mark.slow
def test_short_request_threads_carry_their_threading_names(tmp_path):
    # A thread per request, each living about a millisecond: every one must
    # be counted under its threading name, in a row or in its group.
    result, _ = run_agent_child(tmp_path, HTTP_REQUESTS, timeout=600)
    assert result["failures"] == [], result
    named = result["named_rows"] + result["groups"].get("Thread-* (process_request_thread)", 0)
    assert named >= 0.99 * 10000, result
    assert sum(count for name, count in result["groups"].items()
               if not name.startswith("Thread-* (process_request")) < 100, result


@needs_interceptor
def test_text_report_names_are_told_apart_cut_visibly_and_escaped(tmp_path):
    result, _ = run_agent_child(
        tmp_path,
        """
        from concurrent.futures import ThreadPoolExecutor
        r, w = os.pipe()
        stop = threading.Event()
        names = ["a-rather-long-thread-name-that-goes-on-and-on-0",
                 "a-rather-long-thread-name-that-goes-on-and-on-1",
                 "broken\\nline", "back\\\\slash"]
        threads = [threading.Thread(target=stop.wait, name=n) for n in names]
        for t in threads:
            t.start()
        assert interceptor_on(lockgauge, report_fd=w) == 0
        with ThreadPoolExecutor(4) as pool:
            list(pool.map(lambda _: time.sleep(0.05), range(8)))
            assert lockgauge.deinit_gil_interceptor() == 0
        finish(stop, threads)
        os.close(w)
        with os.fdopen(r, encoding="utf-8") as f:
            emit(f.read())
        """,
    )
    lines = result.splitlines()
    table = lines[1:]
    # One line per thread: the newline in a name did not break the table.
    assert all(line.startswith("  ") for line in table), lines
    cells = [line[2:2 + 32] for line in table[1:]]
    assert "broken\\x0aline".ljust(32) in cells, cells
    assert "back\\\\slash".ljust(32) in cells, cells
    # Cut in the middle, so that numbered names stay apart.
    long_cells = sorted(c for c in cells if c.startswith("a-rather-long"))
    assert long_cells == ["a-rather-long-thread-…n-and-on-0",
                          "a-rather-long-thread-…n-and-on-1"], cells
    pool_names = {c.strip() for c in cells if c.startswith("ThreadPoolExecutor")}
    assert pool_names == {f"ThreadPoolExecutor-0_{i}" for i in range(4)}, cells


@needs_interceptor
@pytest.mark.serial
def test_dump_marks_exactly_the_threads_queued_for_the_gil(tmp_path):
    result, _ = run_agent_child(
        tmp_path,
        """
        import tempfile, threadsnap
        stop = threading.Event()
        spinning = [threading.Thread(target=spin, args=(stop,), name=f"spin-{i}") for i in range(2)]
        sleeper = threading.Thread(target=stop.wait, name="sleeper")
        for t in spinning + [sleeper]:
            t.start()
        assert interceptor_on(lockgauge) == 0
        texts = []
        for _ in range(20):
            time.sleep(0.05)
            # Keep the GIL a little (less than the switch interval), so
            # that the spinner just made to drop it is back in take_gil().
            spin_for(0.004)
            with tempfile.TemporaryFile() as f:
                # The dump runs with the GIL held: both spinners queue for it.
                assert threadsnap.dump_all_threads_stack(f.fileno(), 0) == 0
                f.seek(0)
                texts.append(f.read().decode())
        assert lockgauge.deinit_gil_interceptor() == 0
        stop.set()
        for t in spinning + [sleeper]:
            t.join()
        emit(texts)
        """,
    )
    marks = [{line.split('"')[1] for line in text.splitlines()
              if line.endswith(", waiting for the GIL (most recent call first):")}
             for text in result]
    assert all(m <= {"spin-0", "spin-1"} for m in marks), marks
    # Each spinner is found queued (on a busy machine the one just made to
    # drop the GIL may not be back in take_gil() yet at a given dump).
    assert set().union(*marks) == {"spin-0", "spin-1"}, marks
    assert sum(map(len, marks)) >= len(marks), marks


@needs_interceptor
@pytest.mark.timing
def test_dump_with_the_interceptor_on_does_not_scan_every_record(tmp_path):
    # 4,000 threads that all touched the GIL: looking each one up for its
    # mark must not scan the records of all the others, which would make
    # the dump many times slower.  The close comparison (within 1.5 times)
    # is a row of benchmarks/bench_gil_scale.py; the test holds the line
    # where only such a scan crosses it.
    result, _ = run_agent_child(tmp_path, DUMP_BESIDE_4000_THREADS, timeout=300)
    assert result["alive"] == 4000 and result["touched"] >= 4000, result
    assert result["on"] <= 3 * result["off"], result


DUMP_BESIDE_4000_THREADS = child_program("dump_beside_4000_threads")


SCHED_YIELDS = """
import os
reports = []
assert interceptor_on(lockgauge, sink=reports.append) == 0
n = 10000
for _ in range(n):
    os.sched_yield()
assert lockgauge.deinit_gil_interceptor() == 0
me = reports[-1]["threads"][threading.get_native_id()]
emit({"acquisitions": me["acquisitions"], "n": n, "held_s": me["held_s"],
      "wall_s": reports[-1]["wall_s"]})
"""


@needs_interceptor
@pytest.mark.parametrize("clock", ["tsc", "clock"])
def test_every_release_and_reacquire_is_counted(tmp_path, clock):
    # N sched_yield() calls: N releases and re-acquires, plus the one the
    # start makes to prove its hooks, whichever clock times them.
    env = dict(os.environ)
    if clock == "clock":
        env["VANDREL_GIL_CLOCK"] = "clock"
    result, _ = run_agent_child(tmp_path, SCHED_YIELDS, env=env)
    assert abs(result["acquisitions"] - (result["n"] + 1)) <= 2, result
    assert 0 < result["held_s"] <= result["wall_s"], result


@needs_interceptor
@pytest.mark.slow
@pytest.mark.timing
def test_hooks_add_little_to_a_gil_hand_over(tmp_path):
    # benchmarks/bench_gil_overhead.py's MICRO protocol: best of 20 blocks
    # of os.sched_yield() each way, alternating in one process.  The budget
    # is the always-on work (distributions, long holds), timeline off.
    sys.path.insert(0, str(ROOT / "benchmarks"))
    import bench_gil_overhead
    # The goal is 45 ns.  With the distributions, the record pointer in
    # static TLS and the hooks' globals in few cache lines, single children
    # on a nearly quiet machine measure 36-48 ns on 3.13 and 44-51 ns on
    # Debian's 3.15, so the test holds the line at 60 ns against
    # regressions without failing on a busy CI machine.
    # Other work on the machine only ever adds to the difference: the
    # budget is met when one of three children meets it.
    budget_ns = 60
    results = []
    for _ in range(3):
        result, _ = run_agent_child(tmp_path, bench_gil_overhead.MICRO.replace(
            "print(json.dumps(", "emit(("))
        results.append(result)
        if result["on"] - result["off"] <= budget_ns:
            break
    assert min(r["on"] - r["off"] for r in results) <= budget_ns, results


@needs_interceptor
@pytest.mark.timing
def test_wait_counts_from_a_forced_hand_over_on_a_crowded_cpu(tmp_path):
    # Two spinners on one CPU shared with a CPU-bound process: after being
    # made to drop the GIL, a spinner often waits for the CPU before it is
    # back in take_gil().  That time is still time it wanted the GIL.  A
    # thread that sleeps of its own accord between bursts stays not waiting
    # while it sleeps, even when its drop came with a drop request.
    result, _ = run_agent_child(
        tmp_path,
        child_program("forced_hand_over"),
    )
    first = result["first"]
    for native_id in result["spinners"]:
        row = thread_figures(first, native_id)
        assert (row["held_s"] + row["wait_s"]) / first["wall_s"] >= 0.9, (row, first["wall_s"])
    second = result["second"]
    sleeper = thread_figures(second, result["sleeper"])
    # It sleeps 50 of every 70+ ms: counted as waiting, that would be most
    # of the window.
    assert sleeper["wait_s"] / second["wall_s"] < 0.45, (sleeper, second["wall_s"])
    # What is neither held nor waited is said, not lost: the sleeps.
    assert sleeper["neither_s"] / second["wall_s"] > 0.4, (sleeper, second["wall_s"])
    for report in (first, second):
        for native_id in result["spinners"]:
            row = thread_figures(report, native_id)
            seen = row["held_s"] + row["wait_s"] + row["neither_s"]
            assert abs(seen - report["wall_s"]) < 0.03 * report["wall_s"], (row, report["wall_s"])
