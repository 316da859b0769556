# Run by test_stack_dump.py::test_agent_built_for_another_version_is_safe
# with another CPython version; its argument is the agent's path.
import ctypes, sys, threading, traceback, json
agent = ctypes.PyDLL(sys.argv[1])   # called with the GIL held
release = threading.Event()
ready = threading.Semaphore(0)
def park(depth):
    if depth:
        return park(depth - 1)
    ready.release()
    release.wait()
threads = [threading.Thread(target=park, args=(d,)) for d in (0, 4)]
for t in threads:
    t.start()
for t in threads:
    ready.acquire()
frames = sys._current_frames()
me = threading.get_ident()
truth = [[[f.filename, f.lineno, f.name] for f in reversed(traceback.extract_stack(frames[t.ident]))]
         for t in threads]
agent.dump_threads(ctypes.c_int32(1), ctypes.c_int64(0))
sys.stdout.flush()
release.set()
for t in threads:
    t.join()
print("=====")
print(json.dumps(truth))
