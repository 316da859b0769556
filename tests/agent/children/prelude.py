# Prelude of the agent's child programs (agent_helpers.AGENT_PRELUDE puts
# interceptor.py's interceptor_on() before it and the test's own code after
# it): the installed agent loaded globally, lockgauge imported, and helpers
# that spin and report a result.
import ctypes, importlib.util, json, os, sys, threading, time
AGENT = os.path.join(list(importlib.util.find_spec("vandrel").submodule_search_locations)[0],
                     "vandrel_agent.so")
ctypes.CDLL(AGENT, mode=os.RTLD_GLOBAL)
import lockgauge

def spin(stop):
    while not stop.is_set():
        pass

def spin_for(seconds):
    end = time.perf_counter() + seconds
    while time.perf_counter() < end:
        pass

def emit(value):
    print("RESULT " + json.dumps(value), flush=True)

def spinners(stop, count=2, name="spin"):
    """count threads named name-0, name-1... spinning until stop is set, started."""
    threads = [threading.Thread(target=spin, args=(stop,), name=f"{name}-{i}")
               for i in range(count)]
    for t in threads:
        t.start()
    return threads

def finish(stop, threads):
    """Set stop and join the threads."""
    stop.set()
    for t in threads:
        t.join()

def recorded(work, **options):
    """Switch the interceptor on with a sink that keeps every report (and
    interceptor_on()'s options), call work(), switch it off; return the
    reports, the final one last."""
    reports = []
    assert interceptor_on(lockgauge, sink=reports.append, **options) == 0
    work()
    assert lockgauge.deinit_gil_interceptor() == 0
    return reports
