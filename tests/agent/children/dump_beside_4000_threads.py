# Run after the agent's prelude (children/prelude.py) by test_gil_scale.py::
# test_dump_with_the_interceptor_on_does_not_scan_every_record.
import statistics, threadsnap
# Parked threads that wake, take the GIL and park again on notify_all():
# each gets a record in every session, and none ends.
parked = threading.Condition()
woken = 0
def park():
    global woken
    with parked:
        while True:
            parked.wait()
            woken += 1
def touch_all():
    # Wake every parked thread and wait until each has had the GIL.
    global woken
    with parked:
        woken = 0
        parked.notify_all()
    deadline = time.monotonic() + 60
    while woken < len(threads) and time.monotonic() < deadline:
        time.sleep(0.01)
    time.sleep(0.05)
devnull = os.open(os.devnull, os.O_WRONLY)
def timed():
    start = time.perf_counter()
    assert threadsnap.dump_all_threads_stack(devnull, 0) == 0
    return time.perf_counter() - start
assert interceptor_on(lockgauge) == 0
threads = [threading.Thread(target=park, daemon=True) for _ in range(4000)]
for t in threads:
    t.start()
assert lockgauge.deinit_gil_interceptor() == 0
on, off = [], []
for _ in range(5):
    touch_all()  # the same wake-up before both, so caches start alike
    off.append(timed())
    reports = []
    assert interceptor_on(lockgauge, sink=reports.append) == 0
    # Every parked thread gets a record of this session.
    touch_all()
    on.append(timed())
    assert lockgauge.deinit_gil_interceptor() == 0
final = reports[-1]
touched = sum(1 for t in final["threads"].values() if t["acquisitions"] > 0)
touched += sum(g["count"] for g in final["groups"] if g["acquisitions"] >= g["count"])
emit({"on": statistics.median(on), "off": statistics.median(off), "touched": touched,
      "alive": sum(t.is_alive() for t in threads)})
