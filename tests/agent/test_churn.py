"""Churn with the reference agent: many stack dumps while threads come and
go, and many interceptor on/off cycles while threads run.  Nothing may
crash, no thread or file descriptor may be left behind, and the reports
must stay consistent.

Each scenario runs in a fresh interpreter that loads the installed agent
(globally) before importing the modules; dumps go to /dev/null.  Where this
build of the agent does not have the feature yet (the dump writes nothing,
the interceptor answers -2, "not available", on an interpreter it does not
follow), the test is skipped with that reason.  VANDREL_CHURN_SCALE scales the counts
(the valgrind run uses a small fraction)."""
import os

import pytest

from child import check_child
from conftest import GIL_INTERCEPTOR_SUPPORTED

SCALE = float(os.environ.get("VANDREL_CHURN_SCALE", "1"))
DUMPS = max(int(10_000 * SCALE), 20)
CYCLES = max(int(1_000 * SCALE), 10)

PRELUDE = """
import ctypes, importlib.util, os, sys, threading, time
AGENT = os.path.join(importlib.util.find_spec("vandrel").submodule_search_locations[0],
                     "vandrel_agent.so")
ctypes.CDLL(AGENT, mode=ctypes.RTLD_GLOBAL)
import lockgauge, threadsnap

def skip(reason):
    print("SKIP", reason)
    sys.exit(0)

def snapshot():
    # The listing's own descriptor is the lowest free one both times.
    fds = {}
    for fd in os.listdir("/proc/self/fd"):
        try:
            fds[int(fd)] = os.readlink(f"/proc/self/fd/{fd}")
        except OSError:
            pass
    return (threading.active_count(), sorted(os.listdir("/proc/self/task")), fds)

def assert_back_to(baseline, what):
    # A joined thread's kernel task may linger for a moment: wait for it.
    deadline = time.monotonic() + 30
    while (now := snapshot()) != baseline and time.monotonic() < deadline:
        time.sleep(0.05)
    assert now[0] == baseline[0], f"{what}: Python threads {baseline[0]} -> {now[0]}"
    assert now[1] == baseline[1], f"{what}: native tasks {baseline[1]} -> {now[1]}"
    assert now[2] == baseline[2], f"{what}: descriptors {baseline[2]} -> {now[2]}"
"""

DUMP_CHURN = """
read_end, write_end = os.pipe()
assert threadsnap.dump_all_threads_stack(write_end, 0) == 0
os.close(write_end)
probe = os.read(read_end, 1 << 20)
os.close(read_end)
if not probe:
    skip("this build of the reference agent's dump_threads writes nothing yet")

baseline = snapshot()
null = os.open("/dev/null", os.O_WRONLY)
stop = threading.Event()
errors = []
started = [0]

def nested(depth):
    if depth:
        return nested(depth - 1)
    time.sleep(0.0005 * (threading.get_ident() % 3))

def spawner():
    # Keeps starting short-lived threads of varying depth until told to stop.
    try:
        n = 0
        while not stop.is_set():
            batch = [threading.Thread(target=nested, args=((n + i) % 40,), name=f"churn-{n + i}")
                     for i in range(1 + n % 4)]
            for thread in batch:
                thread.start()
                started[0] += 1
            for thread in batch:
                thread.join()
            n += len(batch)
    except BaseException as exc:
        errors.append(exc)

spawners = [threading.Thread(target=spawner, name=f"spawner-{i}") for i in range(2)]
for thread in spawners:
    thread.start()
me = str(threading.get_native_id()).encode()
try:
    for i in range(DUMPS):
        frames = (0, 1, 3, 50, -1)[i % 5]
        assert threadsnap.dump_all_threads_stack(null, frames) == 0
        if i % 10 == 0:
            time.sleep(0)  # let the spawners run between dumps
        if i % 500 == 0:
            # Now and then into a file, to see the dump still makes sense.
            with open(os.path.join(TMP, "dump.txt"), "w+b") as out:
                assert threadsnap.dump_all_threads_stack(out.fileno(), 0) == 0
                out.seek(0)
                text = out.read()
            assert me in text, text[:2000]
finally:
    stop.set()
    for thread in spawners:
        thread.join()
assert not errors, errors
assert started[0] >= DUMPS // 100, f"only {started[0]} threads started during the dumps"
os.close(null)
assert_back_to(baseline, "after the dumps")
print("dumps done", DUMPS, "threads started", started[0])
"""

INTERCEPTOR_CHURN = """
status = lockgauge.init_gil_interceptor(None, 0, 0, -1, 0, 0, 0)
if status != 0 and not SUPPORTED:
    skip(f"the reference agent has no interceptor for this interpreter (status {status})")
assert status == 0, status
assert lockgauge.deinit_gil_interceptor() == 0

KEYS = {"wall_s", "held_s", "wait_s", "switches", "threads"}
baseline = snapshot()
null = os.open("/dev/null", os.O_WRONLY)
stop = threading.Event()

def spin():
    while not stop.is_set():
        sum(range(2000))

def wake():
    while not stop.is_set():
        time.sleep(0.001)

workers = [threading.Thread(target=target, name=f"{target.__name__}-{i}")
           for i, target in enumerate([spin, spin, wake])]
for thread in workers:
    thread.start()

reports = []
try:
    for cycle in range(CYCLES):
        def sink(report, cycle=cycle):
            reports.append((cycle, report))
        period_ms = cycle % 3           # 0: a report at deinit only
        fd = null if cycle % 2 else -1  # the text report too, every other cycle
        assert lockgauge.init_gil_interceptor(sink, 0, period_ms, fd, 0, 0, 0) == 0, cycle
        if cycle % 100 == 0:
            # Switching on twice starts nothing new and says so.
            again = lockgauge.init_gil_interceptor(sink, 0, period_ms, fd, 0, 0, 0)
            assert again < 0 and again != -1, again
        if cycle % 4 == 3:
            time.sleep(0.003)
        assert lockgauge.deinit_gil_interceptor() == 0, cycle
        if cycle % 100 == 0:
            again = lockgauge.deinit_gil_interceptor()
            assert again < 0 and again != -1, again
finally:
    stop.set()
    for thread in workers:
        thread.join()
os.close(null)
assert_back_to(baseline, "after the on/off cycles")

# Every cycle reported at least once (at deinit), and every report holds.
seen = {}
for cycle, report in reports:
    seen.setdefault(cycle, []).append(report)
missing = sorted(set(range(CYCLES)) - set(seen))
assert not missing, f"cycles without a report: {missing[:20]}"
SLACK = 0.01  # seconds of measurement granularity
for cycle, cycle_reports in seen.items():
    previous = None
    for report in cycle_reports:
        assert isinstance(report, dict) and KEYS <= report.keys(), report
        wall, held, wait = report["wall_s"], report["held_s"], report["wait_s"]
        assert 0 <= wall and 0 <= held <= wall + SLACK and 0 <= wait, report
        assert isinstance(report["switches"], int) and report["switches"] >= 0, report
        threads = report["threads"]
        assert isinstance(threads, dict), report
        for tid, figures in threads.items():
            assert isinstance(tid, int) and tid > 0, report
            assert {"name", "held_s", "wait_s"} <= figures.keys(), report
            assert 0 <= figures["held_s"] <= wall + SLACK and 0 <= figures["wait_s"], report
        # Only one thread holds the GIL at a time.
        assert sum(f["held_s"] for f in threads.values()) <= wall + SLACK, report
        if previous is not None:
            # Figures are cumulative within one switch-on.
            for key in ("wall_s", "held_s", "wait_s", "switches"):
                assert report[key] >= previous[key], (key, previous, report)
        previous = report
print("cycles done", CYCLES, "reports", len(reports))
"""


def run_churn(body, tmp_path, **values):
    settings = "".join(f"{name} = {value!r}\n" for name, value in values.items())
    done = check_child(PRELUDE + settings + f"TMP = {str(tmp_path)!r}\n" + body,
                       timeout=600)
    if done.stdout.startswith("SKIP "):
        pytest.skip(done.stdout[5:].strip())
    return done


@pytest.mark.slow
def test_dumps_while_threads_start_and_finish(tmp_path):
    done = run_churn(DUMP_CHURN, tmp_path, DUMPS=DUMPS)
    assert f"dumps done {DUMPS}" in done.stdout


@pytest.mark.slow
def test_interceptor_on_off_cycles_with_threads_running(tmp_path):
    done = run_churn(INTERCEPTOR_CHURN, tmp_path, CYCLES=CYCLES,
                     SUPPORTED=GIL_INTERCEPTOR_SUPPORTED)
    assert f"cycles done {CYCLES}" in done.stdout
