# Prologue of the stack-dump scenarios (agent_helpers.SCENARIO_PROLOGUE,
# run by run_scenario()): load the agent when AGENT_PATH says which one (the
# launcher has already loaded the installed one otherwise), then the
# helpers that park threads and record the ground truth.
import ctypes, json, os, sys, threading, traceback
if os.environ.get("AGENT_PATH"):
    ctypes.CDLL(os.environ["AGENT_PATH"], mode=ctypes.RTLD_GLOBAL)
import threadsnap

release = threading.Event()

def park(depth, ready):
    """Recurse depth more frames, then block until released."""
    if depth > 0:
        return park(depth - 1, ready)
    ready.release()
    release.wait()

def start_parked(names_and_depths):
    ready = threading.Semaphore(0)
    threads = [threading.Thread(target=park, args=(depth, ready), name=name)
               for name, depth in names_and_depths]
    for thread in threads:
        thread.start()
    for _ in threads:
        ready.acquire()
    return threads

# The launcher's files: under `python -m vandrel run` the dump leaves their
# frames (and runpy's) below the program's out.
import runpy, vandrel.cli, vandrel.__main__
TOOL_FILES = {os.path.abspath(module.__file__) for module in (runpy, vandrel.cli, vandrel.__main__)}
TOOL_FILES.add(os.path.abspath("<frozen runpy>"))    # runpy frozen into the interpreter

def stack_of(frame):
    return [[f.filename, f.lineno, f.name] for f in reversed(traceback.extract_stack(frame))
            if os.path.abspath(f.filename) not in TOOL_FILES]

def truth_and_dump(fd, max_frames):
    """Dump to fd and return the ground truth for that moment: per native
    id the name and the frames, most recent first.  The calling thread's
    top frame is this function at the dump call."""
    frames = sys._current_frames()
    me = threading.get_ident()
    threads = {}
    for thread in threading.enumerate():
        if thread.ident in frames:
            stack = stack_of(frames[thread.ident])
            threads[thread.native_id] = {"name": thread.name, "frames": stack}
    caller = sys._getframe(1)
    line = sys._getframe().f_lineno + 3
    threads[threading.get_native_id()]["frames"] = (
        [[__file__, line, "truth_and_dump"]] + stack_of(caller))
    status = threadsnap.dump_all_threads_stack(fd, max_frames)
    assert status == 0, status
    return {"current": threading.get_native_id(), "threads": threads}

def save(value):
    """Write value as JSON to the file named by the first argument."""
    with open(sys.argv[1], "w") as f:
        json.dump(value, f)

def release_all(threads):
    """Release the parked threads and join them."""
    release.set()
    for thread in threads:
        thread.join()
