# Run after the agent's prelude by test_gil_attribution.py: a GIL profile
# of a thread whose C calls keep the GIL 60, 30 and 10 % of the time, and
# of a thread that keeps waiting for it; then the profile export's
# refusals.
lib = ctypes.PyDLL(None)
agent = ctypes.PyDLL(AGENT)
profile = agent.vandrel_gil_profile
profile.argtypes = [ctypes.c_int64, ctypes.c_int64]
out = {"refused": {}}
out["refused"]["not_on"] = profile(10**7, 10**6)
assert interceptor_on(lockgauge) == 0
out["refused"]["no_reports"] = profile(10**7, 10**6)
assert lockgauge.deinit_gil_interceptor() == 0
reports = []
assert interceptor_on(lockgauge, sink=reports.append) == 0
for key, args in {"rate_too_high": (999_999, 10**6), "rate_too_low": (10**9 + 1, 10**6),
                  "wait_negative": (10**7, -1), "wait_too_long": (10**7, 60 * 10**9 + 1)}.items():
    out["refused"][key] = profile(*args)
out["on"] = profile(10**6, 10**6)  # 1 kHz, waits of 1 ms or more
out["again"] = profile(10**6, 10**6)
stop = threading.Event()

def worker():
    deadline = time.monotonic() + 0.6
    while time.monotonic() < deadline:
        lib.usleep(6000)  # SIXTY
        lib.usleep(3000)  # THIRTY
        lib.usleep(1000)  # TEN
    stop.set()

def waiter():
    while not stop.is_set():
        time.sleep(0.002)  # WAIT LINE

threads = [threading.Thread(target=worker, name="worker"),
           threading.Thread(target=waiter, name="waiter")]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
assert lockgauge.deinit_gil_interceptor() == 0
out["profile"] = reports[-1]["profile"]
emit(out)
