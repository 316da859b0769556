# An event loop on a thread of its own with tasks parked in gather,
# TaskGroup and wait_for, one task awaited by two, and LONE more lone
# sleepers; then a timer dump
# (dump_stacks_later) fires while a third thread keeps the GIL in a C call
# for HOLD seconds, so the tasks can only be read without it (3.14 on).
# Settings: OUT (the dump's file), LONE, HOLD, MAX_FRAMES (both dumps').
# Prints one JSON object: "names" (asyncio.all_tasks() of the loop, taken
# before), "with_gil" (format_stacks() taken before, with the GIL), "dump"
# (the timer's dump).
import asyncio
import ctypes
import json
import sys
import threading

import vandrel

ready = threading.Event()


async def leaf():
    await asyncio.sleep(3600)


async def gathered():
    await asyncio.gather(asyncio.create_task(leaf(), name="gather-leaf-1"),
                         asyncio.create_task(leaf(), name="gather-leaf-2"))


async def group_member():
    await asyncio.create_task(leaf(), name="group-nested")


async def grouped():
    async with asyncio.TaskGroup() as group:
        group.create_task(group_member(), name="group-member")
        group.create_task(leaf(), name="group-leaf")


async def timed():
    await asyncio.wait_for(asyncio.create_task(leaf(), name="timed-leaf"), 3600)


async def waiter(shared):
    await shared


async def main():
    for index in range(LONE):
        asyncio.create_task(leaf(), name=f"lone-{index}")
    asyncio.get_running_loop().call_later(0.05, ready.set)
    # One task awaited by two: asyncio records its awaiters as a set.
    shared = asyncio.create_task(leaf(), name="shared")
    await asyncio.gather(asyncio.create_task(gathered(), name="gathered"),
                         asyncio.create_task(waiter(shared), name="waiter-1"),
                         asyncio.create_task(waiter(shared), name="waiter-2"),
                         asyncio.create_task(grouped(), name="grouped"),
                         asyncio.create_task(timed(), name="timed"),
                         asyncio.create_task(leaf()))      # named by asyncio: Task-N


loop_box = []


def run_loop():
    loop = asyncio.new_event_loop()
    loop_box.append(loop)
    loop.run_until_complete(main())


threading.Thread(target=run_loop, name="loop", daemon=True).start()
ready.wait(10)
# The loop waits in select() now: its tasks stay as they are.
names = sorted(task.get_name() for task in asyncio.all_tasks(loop_box[0]))
with_gil = vandrel.format_stacks(max_frames=MAX_FRAMES)
out = open(OUT, "w")
sys.setswitchinterval(30)       # the holder is not asked to let go meanwhile
vandrel.dump_stacks_later(0.1, file=out, max_frames=MAX_FRAMES)
# libc's usleep through PyDLL keeps the GIL for the whole call.
holder = threading.Thread(target=ctypes.PyDLL(None).usleep, args=(int(HOLD * 1e6),),
                          name="gil-holder")
holder.start()
holder.join()
out.close()
with open(OUT) as written:
    dump = written.read()
print(json.dumps({"names": names, "with_gil": with_gil, "dump": dump}))
