"""The GIL interceptor at server scale: thread churn, bounded reports,
names of short-lived threads, stack-dump marks.

Each scenario runs in a fresh interpreter with a timeout (see
test_gil_interceptor.py's run_child).  The long ones are `slow`; those with
wall-clock bounds are also `timing`, so they stay out of sanitizer and
valgrind runs.
"""
import pytest

from test_gil_interceptor import assert_totals_add_up, needs_interceptor, run_child, thread_figures


CHURN_70K = """
import collections

def rss_kb():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])

# Only recent reports: the figures kept must be the interceptor's, not ours.
reports = collections.deque(maxlen=200)
def sink(report):
    reports.append((time.monotonic(), report))

r, w = os.pipe()
os.set_blocking(r, False)
text = bytearray()
def drain():
    while True:
        try:
            chunk = os.read(r, 1 << 16)
        except BlockingIOError:
            return
        if not chunk:
            return
        text.extend(chunk)
        del text[:-(1 << 20)]

assert lockgauge.init_gil_interceptor(sink, 0, 20, w, 0, 0, 0) == 0
started = 0
rss = {}
while started < 70000:
    batch = [threading.Thread(target=lambda: None) for _ in range(100)]
    for t in batch:
        t.start()
    for t in batch:
        t.join()
    started += len(batch)
    drain()
    if started in (40000, 70000):
        rss[started] = rss_kb()

stop = threading.Event()
spinners = [threading.Thread(target=spin, args=(stop,), name=f"spinner-{i}") for i in range(2)]
for t in spinners:
    t.start()
time.sleep(0.3)
drain()
mark = time.monotonic()
time.sleep(2.0)
drain()
assert lockgauge.deinit_gil_interceptor() == 0
stop.set()
for t in spinners:
    t.join()
os.close(w)
os.set_blocking(r, True)
while chunk := os.read(r, 1 << 16):
    text.extend(chunk)
before = [rep for at, rep in reports if at <= mark][-1]
final = reports[-1][1]
# The agent's own thread holds the GIL only to build a report (its sink
# only appends): its held time per report, late in the run, bounds a
# report's build time.
late = [rep for at, rep in reports if at > mark - 1.0 and not rep["final"]]
def agent_row(rep):
    return [t for t in rep["threads"].values() if t["name"] == "vandrel-agent"][0]
held_per_report = (agent_row(late[-1])["held_s"] - agent_row(late[0])["held_s"]) / (len(late) - 1)
texts = text.decode("utf-8", "replace").split("GIL report (")[1:]
emit({"before": before, "final": final, "ids": [t.native_id for t in spinners],
      "rss": rss, "held_per_report": held_per_report, "late_reports": len(late),
      "text_sizes": [len(("GIL report (" + t).encode()) for t in texts[-20:]],
      "last_text": "GIL report (" + texts[-1]})
"""


@needs_interceptor
@pytest.mark.slow
@pytest.mark.timing
def test_seventy_thousand_threads_stay_counted_and_reports_stay_small(tmp_path):
    # More threads than 65,536 and than twice pid_max here (32768): native
    # ids are reused many times over.
    result, _ = run_child(tmp_path, CHURN_70K, timeout=600)
    before, final = result["before"], result["final"]
    window = final["wall_s"] - before["wall_s"]
    assert window > 1.5, window
    for native_id in result["ids"]:
        now, then = thread_figures(final, native_id), thread_figures(before, native_id)
        share = (now["held_s"] - then["held_s"]) / window
        assert 0.35 <= share <= 0.65, (now, then, window)
        assert now["name"].startswith("spinner-"), now
    total = (final["held_s"] - before["held_s"]) / window
    assert total >= 0.9, (total, final["held_s"], before["held_s"], window)
    # Every thread is accounted for, in a row or in its group.
    assert_totals_add_up(final)
    counted = len(final["threads"]) + sum(g["count"] for g in final["groups"])
    assert counted >= 70000, counted
    assert len(final["groups"]) <= 10, [g["name"] for g in final["groups"]]
    # Memory does not grow with the threads that finished.
    assert result["rss"]["70000"] - result["rss"]["40000"] < 4 * 1024, result["rss"]
    # A report costs the same however many threads finished.
    assert result["late_reports"] >= 20, result["late_reports"]
    assert result["held_per_report"] < 0.002, result["held_per_report"]
    assert max(result["text_sizes"]) < 16 * 1024, result["text_sizes"]
    assert "Thread-* (<lambda>)" in result["last_text"], result["last_text"]
