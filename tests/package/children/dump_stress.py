# Signal dumps at a high rate, and dumps without the GIL from a thread that
# lets the GIL go (vandrel_dump_unlocked through ctypes.CDLL), against
# threads starting and ending, recursion growing and unwinding, and
# generators made and finished: every frame the reader follows may change
# or be freed under it.  Settings: SECONDS (how long), OUT (the signal
# dumps' file).  Prints "dumps S U" (signal dumps written, unlocked dumps
# made).
import ctypes
import os
import signal
import sys
import threading
import time

import vandrel
from vandrel import _agent

sys.setrecursionlimit(10_000)
stop = threading.Event()


def churn():
    while not stop.is_set():
        short = [threading.Thread(target=lambda: sum(range(200))) for _ in range(4)]
        for thread in short:
            thread.start()
        for thread in short:
            thread.join()


def recurse(depth, limit):
    if depth < limit:
        return recurse(depth + 1, limit) + 1
    return 0


def grow_and_unwind():
    limit = 1
    while not stop.is_set():
        recurse(0, limit)
        limit = limit * 2 if limit < 2000 else 1


def inner(n):
    for i in range(n):
        yield i


def outer(n):
    yield from inner(n)
    yield from (x for x in inner(n))


def generators():
    while not stop.is_set():
        for _ in outer(50):
            pass


def signal_often():
    while not stop.is_set():
        os.kill(os.getpid(), signal.SIGUSR1)
        time.sleep(0.002)


out = open(OUT, "w")
vandrel.dump_stacks_on_signal(signal.SIGUSR1, out)
library = ctypes.CDLL(_agent.loaded_agent_paths()[-1])
library.vandrel_dump_unlocked.argtypes = [ctypes.c_int32, ctypes.c_int64]
null = os.open(os.devnull, os.O_WRONLY)
unlocked = 0


def dump_unlocked_often():
    global unlocked
    while not stop.is_set():
        assert library.vandrel_dump_unlocked(null, 0) == 0
        unlocked += 1


workers = [threading.Thread(target=target, name=target.__name__)
           for target in (churn, grow_and_unwind, grow_and_unwind, generators, signal_often,
                          dump_unlocked_often)]
for worker in workers:
    worker.start()
time.sleep(SECONDS)
stop.set()
for worker in workers:
    worker.join()
vandrel.cancel_dump_stacks_on_signal(signal.SIGUSR1)
out.close()
with open(OUT) as dumps:
    text = dumps.read()
print("dumps", text.count('"MainThread"'), unlocked)
