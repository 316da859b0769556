"""Latency of a signal dump while a thread keeps the GIL in a C call:
signal sent -> first byte of the dump on the file, for
vandrel.dump_stacks_on_signal against faulthandler.register in the same
program, the two alternating, median of 21 each.  Also the GIL-free
reader's cost per 50-frame stack (vandrel_time_stack_walk)."""
import os
import select
import signal
import subprocess
import sys
import time

from common import median

CHILD = """
import ctypes, faulthandler, os, signal, sys, threading
import vandrel
from vandrel import _agent
ours, theirs = int(sys.argv[1]), int(sys.argv[2])
vandrel.dump_stacks_on_signal(signal.SIGUSR1, ours)
faulthandler.register(signal.SIGUSR2, file=theirs, all_threads=True)
libc = ctypes.PyDLL(None)
parked = threading.Event()
def deep(n):
    if n:
        return deep(n - 1)
    parked.wait()
walker = threading.Thread(target=deep, args=(46,), name="fifty frames")
walker.start()
def hold():
    while True:
        libc.usleep(100_000)        # keeps the GIL; let go between calls
holder = threading.Thread(target=hold, name="holder", daemon=True)
library = ctypes.CDLL(_agent.loaded_agent_paths()[-1])
library.vandrel_time_stack_walk.restype = ctypes.c_int64
library.vandrel_time_stack_walk.argtypes = [ctypes.c_uint64, ctypes.c_int32,
                                            ctypes.POINTER(ctypes.c_int64)]
import time, statistics
time.sleep(0.2)
frames = ctypes.c_int64()
walks = [library.vandrel_time_stack_walk(walker.ident, 1000, ctypes.byref(frames))
         for _ in range(21)]
print("walk", statistics.median(walks), frames.value, flush=True)
holder.start()
print("ready", flush=True)
sys.stdin.readline()
"""


def first_byte(read_fd, signum, pid, timeout=5.0):
    """Seconds from sending `signum` to `pid` until `read_fd` is readable;
    then drain the dump."""
    sent = time.perf_counter()
    os.kill(pid, signum)
    ready, _, _ = select.select([read_fd], [], [], timeout)
    seen = time.perf_counter()
    if not ready:
        sys.exit("bench_stuck_dump: no dump within 5 s")
    time.sleep(0.05)                # the rest of the dump
    while select.select([read_fd], [], [], 0)[0]:
        if not os.read(read_fd, 1 << 20):
            break
    return seen - sent


def run(quick=False):
    ours_r, ours_w = os.pipe()
    theirs_r, theirs_w = os.pipe()
    child = subprocess.Popen([sys.executable, "-c", CHILD, str(ours_w), str(theirs_w)],
                             pass_fds=(ours_w, theirs_w), stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, text=True)
    os.close(ours_w)
    os.close(theirs_w)
    try:
        walk = child.stdout.readline().split()
        assert walk[0] == "walk", walk
        assert child.stdout.readline().strip() == "ready"
        time.sleep(0.3)
        ours, theirs = [], []
        for _ in range(5 if quick else 21):
            ours.append(first_byte(ours_r, signal.SIGUSR1, child.pid))
            theirs.append(first_byte(theirs_r, signal.SIGUSR2, child.pid))
    finally:
        child.kill()
        child.wait()
    mine, faulthandler = median(ours), median(theirs)
    print(f"signal -> first byte while the GIL is kept: ours {mine * 1e3:.3f} ms, "
          f"faulthandler {faulthandler * 1e3:.3f} ms", file=sys.stderr)
    return [("signal dump, a thread keeping the GIL: signal to first byte vs faulthandler (ms)",
             mine * 1e3, faulthandler * 1e3, mine / faulthandler, "<= 50 ms"),
            (f"GIL-free read of a {walk[2]}-frame stack (us; reference: the 10 us goal)",
             float(walk[1]) / 1e3, 10.0, float(walk[1]) / 1e4, "<= 10 us")]
