"""Cost and size of the asyncio task section of a dump.

    python benchmarks/bench_asyncio_tasks.py [--repeat N]

One event loop with 10,000 pending tasks: 2,000 handlers, each awaiting a
gather of two workers that each await a sleep (so chains of two levels
and 4,000 leaves), plus 4,000 lone sleepers.  `vandrel.format_stacks()`
from a task of that loop, median of N (21) runs, against 100 ms; and the
size of its text against 64 KiB (the section shows at most
vandrel._tasks.MAX_TASKS_SHOWN tasks, the deepest chains first, and
counts the rest).  The same dump with no loop running is the reference
row's baseline.

On 3.14 on, also the dump that reads the tasks without the GIL (the
agent's vandrel_dump_unlocked, as a signal or timer dump does when a
thread keeps the GIL), from the loop's own thread, into a file: its time,
median of N, against the same 100 ms, and its size against 64 KiB.
"""
import argparse
import asyncio
import ctypes
import os
import statistics
import sys
import tempfile
import time

import vandrel

HANDLERS = 2000
LONE = 4000


async def worker():
    await asyncio.sleep(3600)


async def handler():
    await asyncio.gather(worker(), worker())


def unlocked_dumper():
    """A call that dumps every thread without the GIL into a file and
    returns (milliseconds, bytes); None before 3.14."""
    if sys.version_info < (3, 14):
        return None
    path = vandrel._agent.agent_path()
    with_gil = ctypes.PyDLL(path, mode=ctypes.RTLD_GLOBAL)
    if with_gil.vandrel_prepare_unlocked_dump() != 0:
        return None
    # A CDLL: the call lets the GIL go, as the agent's own thread has none.
    library = ctypes.CDLL(path, mode=ctypes.RTLD_GLOBAL)
    library.vandrel_dump_unlocked.argtypes = [ctypes.c_int32, ctypes.c_int64]

    def dump():
        with tempfile.TemporaryFile() as file:
            start = time.perf_counter()
            status = library.vandrel_dump_unlocked(file.fileno(), 0)
            elapsed = (time.perf_counter() - start) * 1000
            assert status == 0, status
            return elapsed, os.fstat(file.fileno()).st_size
    return dump


async def measure(repeat):
    tasks = [asyncio.ensure_future(handler()) for _ in range(HANDLERS)]
    tasks += [asyncio.ensure_future(asyncio.sleep(3600)) for _ in range(LONE)]
    await asyncio.sleep(0.05)
    pending = len([t for t in asyncio.all_tasks() if not t.done()])
    times, size = [], 0
    for _ in range(repeat):
        start = time.perf_counter()
        text = vandrel.format_stacks()
        times.append((time.perf_counter() - start) * 1000)
        size = len(text.encode())
    dump = unlocked_dumper()
    unlocked = [dump() for _ in range(repeat)] if dump is not None else []
    for task in tasks:
        task.cancel()
    await asyncio.gather(*tasks, return_exceptions=True)
    unlocked_ms = statistics.median(ms for ms, _ in unlocked) if unlocked else None
    unlocked_size = unlocked[-1][1] if unlocked else None
    return pending, statistics.median(times), size, unlocked_ms, unlocked_size


def baseline(repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        vandrel.format_stacks()
        times.append((time.perf_counter() - start) * 1000)
    return statistics.median(times)


def run(quick=False, repeat=None):
    repeat = repeat or (5 if quick else 21)
    vandrel.load_agent()
    pending, ms, size, unlocked_ms, unlocked_size = asyncio.run(measure(repeat))
    plain = baseline(repeat)
    rows = []
    if unlocked_ms is not None:
        rows = [
            (f"dump read without the GIL, {pending:,} pending asyncio tasks vs 100 ms (ms)",
             unlocked_ms, 100.0, unlocked_ms / 100.0, "<= 1"),
            (f"its text with {pending:,} pending tasks vs 64 KiB (bytes)",
             float(unlocked_size), 65536.0, unlocked_size / 65536.0, "<= 1"),
        ]
    return [
        (f"format_stacks with {pending:,} pending asyncio tasks vs 100 ms (ms)",
         ms, 100.0, ms / 100.0, "<= 1"),
        (f"its text with {pending:,} pending tasks vs 64 KiB (bytes)",
         float(size), 65536.0, size / 65536.0, "<= 1"),
        ("format_stacks with no event loop (ms, for comparison)", plain, 100.0, plain / 100.0,
         "report"),
    ] + rows


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=21)
    arguments = parser.parse_args()
    for row in run(repeat=arguments.repeat):
        print(f"| {row[0]} | {row[1]:.4g} | {row[2]:.4g} | {row[3]:.4f} | {row[4]} |")
