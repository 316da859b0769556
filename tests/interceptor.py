"""Switching the agent's GIL interceptor on, by name, with the agent's defaults.

Importable in the test process and in children that have this directory on
their path (child.run_child()); the agent's child programs get it in their
prelude (agent_helpers.AGENT_PRELUDE).  Tests of the modules' contract call
init_gil_interceptor positionally on purpose and do not use it."""


def interceptor_on(lockgauge, *, sink=None, period_ms=0, report_fd=-1, sample_us=0,
                   long_hold_us=0, capacity=0, reserved=0):
    """Call init_gil_interceptor and return its status.

    lockgauge: the module, or the agent loaded with ctypes (its
    init_py_gil_interceptor, given the entry point's argument types unless
    the caller set them).  sink: a callable given each report (None: no
    sink).  period_ms: a report every so many milliseconds (0: one report,
    at switch-off).  report_fd: where the text reports go (-1: nowhere).
    sample_us: the sampling period (0: the agent's default).  long_hold_us:
    the long-hold threshold (0: the agent's default).  capacity: timeline
    entries kept (0: no timeline).  reserved: must be 0."""
    init = getattr(lockgauge, "init_gil_interceptor", None)
    if init is None:
        import ctypes
        init = lockgauge.init_py_gil_interceptor
        if init.argtypes is None:
            init.argtypes = [ctypes.py_object, ctypes.c_int64, ctypes.c_int64, ctypes.c_int32,
                             ctypes.c_int32, ctypes.c_int32, ctypes.c_int32]
    return init(sink, sample_us, period_ms, report_fd, long_hold_us, capacity, reserved)


# Child-program source: busy threads for a session to measure (spin(seconds)
# in one thread, spinners(seconds, count) started in several).
SPIN = """
import json, threading, time
def spin(seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        pass
def spinners(seconds, count=2):
    threads = [threading.Thread(target=spin, args=(seconds,), name=f"spin-{n}")
               for n in range(count)]
    for thread in threads:
        thread.start()
    return threads
"""
