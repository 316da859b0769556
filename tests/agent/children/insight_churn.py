# Run after the agent's prelude (children/prelude.py) by test_gil_insight.py::
# test_stacks_stay_right_while_threads_and_code_objects_churn.
import gc
lib = ctypes.PyDLL(None)
stop = threading.Event()
def churn_code():
    # Fresh code objects that hold the GIL too long, then dropped: their
    # names and files must be copied when the hold ends.
    i = 0
    while not stop.is_set():
        source = f"def f_{i}():\n    lib.usleep(20000)\n"
        namespace = {"lib": lib}
        exec(compile(source, f"<churn-{i}>", "exec"), namespace)
        namespace[f"f_{i}"]()
        del namespace
        if i % 5 == 0:
            gc.collect()  # the function and its globals form a cycle
        i += 1
        time.sleep(0.001)
def short():
    sum(range(100))
def churn_threads():
    while not stop.is_set():
        batch = [threading.Thread(target=short) for _ in range(20)]
        for t in batch:
            t.start()
        for t in batch:
            t.join()
reports = []
assert interceptor_on(lockgauge, sink=reports.append, period_ms=50, long_hold_us=10000,
                      capacity=500) == 0
workers = [threading.Thread(target=churn_code, name="code-churn"),
           threading.Thread(target=churn_threads, name="thread-churn"),
           threading.Thread(target=spin, args=(stop,), name="spin")]
for t in workers:
    t.start()
time.sleep(1.5)
finish(stop, workers)
assert lockgauge.deinit_gil_interceptor() == 0
timeline = reports[-1].pop("timeline")
emit({"reports": reports, "timeline": timeline.hex()})
