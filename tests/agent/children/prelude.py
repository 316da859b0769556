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
