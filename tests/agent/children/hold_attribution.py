# Run after the agent's prelude by test_gil_attribution.py: long holds that
# nobody waits for, charged to the code that held the GIL.  A C call that
# keeps the GIL (PyDLL usleep) followed by a sleep that lets it go, and a
# thread that computes, then ends.
lib = ctypes.PyDLL(None)
reports = []
assert interceptor_on(lockgauge, sink=reports.append, long_hold_us=20000) == 0

def sleeper():
    for _ in range(4):
        lib.usleep(60000)  # HELD LINE
        time.sleep(0.02)  # RELEASE LINE

def compute_then_exit():
    deadline = time.perf_counter() + 0.08
    while time.perf_counter() < deadline:  # COMPUTE LINE
        pass

for target, name in ((sleeper, "sleeper"), (compute_then_exit, "computer")):
    thread = threading.Thread(target=target, name=name)
    thread.start()
    thread.join()
assert lockgauge.deinit_gil_interceptor() == 0
emit(reports[-1]["long_holds"])
