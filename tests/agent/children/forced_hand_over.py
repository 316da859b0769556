# Run after the agent's prelude (children/prelude.py) by test_gil_scale.py::
# test_wait_counts_from_a_forced_hand_over_on_a_crowded_cpu.
import subprocess
cpu = min(os.sched_getaffinity(0))
os.sched_setaffinity(0, {cpu})
hog = subprocess.Popen([sys.executable, "-c", "while True: pass"])
os.sched_setaffinity(hog.pid, {cpu})
try:
    stop = threading.Event()
    def bursts():
        while not stop.is_set():
            spin_for(0.02)
            time.sleep(0.05)
    spinners = [threading.Thread(target=spin, args=(stop,), name=f"spin-{i}")
                for i in range(2)]
    sleeper = threading.Thread(target=bursts, name="bursts")
    for t in spinners:
        t.start()
    reports = []
    time.sleep(0.2)
    assert interceptor_on(lockgauge, sink=reports.append) == 0
    time.sleep(2.0)
    assert lockgauge.deinit_gil_interceptor() == 0
    first = reports[-1]
    sleeper.start()
    reports.clear()
    assert interceptor_on(lockgauge, sink=reports.append) == 0
    time.sleep(2.0)
    assert lockgauge.deinit_gil_interceptor() == 0
    stop.set()
    for t in spinners + [sleeper]:
        t.join()
finally:
    hog.kill()
    hog.wait()
emit({"first": first, "second": reports[-1], "spinners": [t.native_id for t in spinners],
      "sleeper": sleeper.native_id})
