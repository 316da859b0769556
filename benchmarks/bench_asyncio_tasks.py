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
"""
import argparse
import asyncio
import statistics
import time

import vandrel

HANDLERS = 2000
LONE = 4000


async def worker():
    await asyncio.sleep(3600)


async def handler():
    await asyncio.gather(worker(), worker())


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
    for task in tasks:
        task.cancel()
    await asyncio.gather(*tasks, return_exceptions=True)
    return pending, statistics.median(times), size


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
    pending, ms, size = asyncio.run(measure(repeat))
    plain = baseline(repeat)
    return [
        (f"format_stacks with {pending:,} pending asyncio tasks vs 100 ms (ms)",
         ms, 100.0, ms / 100.0, "<= 1"),
        (f"its text with {pending:,} pending tasks vs 64 KiB (bytes)",
         float(size), 65536.0, size / 65536.0, "<= 1"),
        ("format_stacks with no event loop (ms, for comparison)", plain, 100.0, plain / 100.0,
         "report"),
    ]


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=21)
    arguments = parser.parse_args()
    for row in run(repeat=arguments.repeat):
        print(f"| {row[0]} | {row[1]:.4g} | {row[2]:.4g} | {row[3]:.4f} | {row[4]} |")
