"""test_capi's test_interp_init, with a plain thread and no agent.

test.test_capi.test_misc.InterpreterConfigTests.test_interp_init creates
subinterpreters in every configuration, including one CPython's test itself
lists as questionable: a GIL of its own but the main interpreter's object
allocator.  While the calling thread runs that subinterpreter it holds only
the subinterpreter's GIL, so any main-interpreter thread running Python at
the same time allocates from the same, unlocked, allocator.  With the
stage's dump thread (or any other thread) running, the process crashes.

Run: python tools/regrtest_repro/capi_own_gil_main_obmalloc.py [--no-thread]
It runs the subinterpreter in a child process, with a plain threading
thread allocating in the background (or not, with --no-thread), and prints
how the child ended.  Exit status 0 when the effect shows: the child
crashes (or hangs) with the thread and never without it.
"""
import subprocess
import sys

ROUNDS = 5

CHILD = r"""
import sys, threading, time
import _interpreters, _testinternalcapi

def churn():
    # What any background thread does: run Python code that allocates.
    while True:
        [dict(a=i) for i in range(100)]
        time.sleep(0.001)

if sys.argv[1] == "thread":
    threading.Thread(target=churn, daemon=True).start()
config = _interpreters.new_config("legacy")
config.gil = "own"               # a GIL of its own ...
config.use_main_obmalloc = True  # ... and the main interpreter's allocator
for _ in range(200):
    assert _testinternalcapi.run_in_subinterp_with_config("pass", config) == 0
"""


def run(mode):
    """Run the child ROUNDS times; return the exit statuses ("hang" for one
    that did not finish in 30 s: a corrupted allocator can deadlock too)."""
    statuses = []
    for _ in range(ROUNDS):
        try:
            statuses.append(subprocess.run([sys.executable, "-X", "faulthandler", "-c", CHILD, mode],
                                           capture_output=True, timeout=30).returncode)
        except subprocess.TimeoutExpired:
            statuses.append("hang")
    return statuses


def main():
    without = run("none")
    print(f"without a thread: exit statuses {without}")
    if "--no-thread" in sys.argv:
        return 0
    with_thread = run("thread")
    print(f"with a plain thread: exit statuses {with_thread}")
    shown = any(s != 0 for s in with_thread) and all(s == 0 for s in without)
    print("effect shown" if shown else "effect NOT shown")
    return 0 if shown else 1


if __name__ == "__main__":
    sys.exit(main())
