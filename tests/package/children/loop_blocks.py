# Run by test_loop_watch.py::test_blocks_caught_at_their_line_with_their_task
# (THRESHOLD set above).  The lines marked "# LINE:" are where the blocks are.
import asyncio
import ctypes
import json
import time

import vandrel

holding = ctypes.PyDLL(None)    # its calls keep the GIL


def spin(seconds):
    end = time.perf_counter() + seconds
    while time.perf_counter() < end:  # LINE: spin
        pass


async def sleeper():
    time.sleep(0.2)  # LINE: sleep


async def holder():
    holding.usleep(200000)  # LINE: holder


def first_callback():
    time.sleep(0.2)  # LINE: first_callback


def second_callback():
    time.sleep(0.2)  # LINE: second_callback


async def first_step():
    time.sleep(0.2)  # LINE: first_task


async def second_step():
    time.sleep(0.2)  # LINE: second_task


flood = []


def tick(seconds):
    end = time.perf_counter() + seconds
    while time.perf_counter() < end:
        pass


def tock(seconds):
    end = time.perf_counter() + seconds
    while time.perf_counter() < end:
        pass


async def short_awaits():
    async def hop():
        for _ in range(60):
            await asyncio.sleep(0)
    await asyncio.gather(*(hop() for _ in range(50)))


async def main():
    await short_awaits()
    for _ in range(2):
        await asyncio.create_task(sleeper(), name="sleeper")
    await asyncio.sleep(0.01)
    spin(0.2)
    await asyncio.sleep(0.01)
    await asyncio.create_task(holder(), name="holder")
    # Back to back, with no turn of the loop between them: two callbacks
    # queued together, then two tasks ready at once; a block each.
    loop = asyncio.get_running_loop()
    loop.call_soon(first_callback)
    loop.call_soon(second_callback)
    await asyncio.sleep(0.01)
    await asyncio.gather(asyncio.create_task(first_step(), name="first"),
                         asyncio.create_task(second_step(), name="second"))
    # 300 callbacks of 1 ms, of two functions in turn, queued together keep
    # the heartbeat waiting 0.3 s (more on a busy machine: the child prints
    # how long): one block, wherever the watcher caught the loop, unless
    # the machine stretched one callback past the threshold.
    loop.call_soon(lambda: flood.append(time.perf_counter()))
    for _ in range(150):
        loop.call_soon(tick, 0.001)
        loop.call_soon(tock, 0.001)
    loop.call_soon(lambda: flood.append(time.perf_counter()))
    await asyncio.sleep(0.01)
    await short_awaits()


watcher = vandrel.watch_event_loops(THRESHOLD)
asyncio.run(main())
print(json.dumps({"flood_s": flood[1] - flood[0]}))
print(json.dumps(watcher.stop().to_dict()))
