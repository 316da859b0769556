# Run after the agent's prelude (children/prelude.py) by test_gil_interceptor.py::test_statuses.
def tasks():
    return len(os.listdir("/proc/self/task"))
out = {}
out["deinit_first"] = lockgauge.deinit_gil_interceptor()
r, w = os.pipe()
os.close(w)  # a closed descriptor number
bad = {
    "sink_not_callable": dict(sink=5),
    "sample_negative": dict(sample_us=-1),
    "sample_too_small": dict(sample_us=1),
    "report_negative": dict(period_ms=-5),
    "fd_below_minus_one": dict(report_fd=-2),
    "fd_closed": dict(report_fd=w),
    "a_negative": dict(long_hold_us=-1),
    "b_negative": dict(capacity=-1),
    "c_set": dict(reserved=-1),
    "c_set_with_others": dict(long_hold_us=1000, capacity=16, reserved=1),
}
out["bad"] = {k: interceptor_on(lockgauge, **v) for k, v in bad.items()}
out["deinit_after_bad"] = lockgauge.deinit_gil_interceptor()
before = tasks()
out["init"] = interceptor_on(lockgauge, sink=lambda r: None, period_ms=100)
started = tasks()
out["init_again"] = interceptor_on(lockgauge, sink=lambda r: None, period_ms=100)
out["init_again_other"] = interceptor_on(lockgauge, sample_us=5000)
time.sleep(0.2)
again = tasks()
out["deinit"] = lockgauge.deinit_gil_interceptor()
after = tasks()
# pthread_join() returns as the thread exits; the kernel drops its
# /proc entry a moment later.
settle = time.monotonic() + 1
while after > before and time.monotonic() < settle:
    time.sleep(0.005)
    after = tasks()
out["deinit_again"] = lockgauge.deinit_gil_interceptor()
out["tasks"] = [before, started, again, after]
# The entry points called without the GIL (ctypes.CDLL lets go of it).
agent = ctypes.CDLL(AGENT)
agent.init_py_gil_interceptor.argtypes = [ctypes.py_object, ctypes.c_int64,
    ctypes.c_int64, ctypes.c_int32, ctypes.c_int32, ctypes.c_int32, ctypes.c_int32]
out["no_gil_init"] = interceptor_on(agent)
out["no_gil_deinit"] = agent.deinit_py_gil_interceptor()
# A session again after all that, started and stopped cleanly.
out["reinit"] = interceptor_on(lockgauge)
out["redeinit"] = lockgauge.deinit_gil_interceptor()
emit(out)
