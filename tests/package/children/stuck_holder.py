# A program whose thread keeps the GIL in a C call (libc's usleep through
# ctypes.PyDLL, which does not release it) while the agent's signal or
# timer dump runs.  Settings: MODE ("signal" or "later"), OUT (the dump's
# file).  Prints "armed T" once the dump is set and "holding T" just before
# the GIL is kept (T: time.monotonic(), the system's monotonic clock).
import ctypes
import signal
import threading
import time

import vandrel

libc = ctypes.PyDLL(None)
parked = threading.Event()


def parked_worker():
    parked.wait()


def hold_the_gil():
    print("holding", time.monotonic(), flush=True)
    libc.usleep(5_000_000)


workers = [threading.Thread(target=parked_worker, name=f"worker-{i}", daemon=True)
           for i in range(2)]
for worker in workers:
    worker.start()
out = open(OUT, "w")
if MODE == "signal":
    vandrel.dump_stacks_on_signal(signal.SIGUSR1, out)
else:
    vandrel.dump_stacks_later(0.3, file=out)
print("armed", time.monotonic(), flush=True)
holder = threading.Thread(target=hold_the_gil, name="gil-holder")
holder.start()
holder.join()
parked.set()
