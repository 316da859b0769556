# Many interceptor on/off cycles while threads run (test_churn.py), after
# the agent's prelude and test_churn.py's helpers; CYCLES, SUPPORTED and TMP
# are set before it.
status = interceptor_on(lockgauge)
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
        assert interceptor_on(lockgauge, sink=sink, period_ms=period_ms, report_fd=fd) == 0, cycle
        if cycle % 100 == 0:
            # Switching on twice starts nothing new and says so.
            again = interceptor_on(lockgauge, sink=sink, period_ms=period_ms, report_fd=fd)
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
