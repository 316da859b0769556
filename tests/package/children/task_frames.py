# An event loop on a thread of its own with one task DEPTH coroutines
# deep; a dump on SIGUSR1 (dump_stacks_on_signal, max_frames SIGNAL_FRAMES)
# and a timer dump (dump_stacks_later, max_frames TIMER_FRAMES), both set
# at once, while nothing keeps the GIL: the agent asks for the tasks with
# it.  Settings: SIGNAL_OUT, TIMER_OUT (the dumps' files), DEPTH,
# SIGNAL_FRAMES, TIMER_FRAMES.  Prints one JSON object: "signal" and
# "timer" (the dumps), "api" ({max_frames: format_stacks(max_frames=...)}
# for both limits and 0).
import asyncio
import json
import signal
import threading
import time

import vandrel

ready = threading.Event()


async def nest(level):
    if level > 1:
        await nest(level - 1)
    else:
        await asyncio.sleep(3600)


async def main():
    asyncio.create_task(nest(DEPTH), name="deep")
    asyncio.get_running_loop().call_later(0.02, ready.set)
    await asyncio.sleep(3600)


def run_loop():
    loop = asyncio.new_event_loop()
    loop.run_until_complete(main())


loop_thread = threading.Thread(target=run_loop, name="loop", daemon=True)
loop_thread.start()
ready.wait(10)
# The loop waits in select() now: its tasks stay as they are.
api = {frames: vandrel.format_stacks(max_frames=frames)
       for frames in (SIGNAL_FRAMES, TIMER_FRAMES, 0)}
signal_out, timer_out = open(SIGNAL_OUT, "w"), open(TIMER_OUT, "w")
vandrel.dump_stacks_on_signal(signal.SIGUSR1, signal_out, max_frames=SIGNAL_FRAMES)
vandrel.dump_stacks_later(0.05, file=timer_out, max_frames=TIMER_FRAMES)
# The loop's thread waits without the GIL: its handler waits for the dump
# while this thread lets the GIL go.
signal.pthread_kill(loop_thread.ident, signal.SIGUSR1)
dumps = {}
deadline = time.monotonic() + 10
while len(dumps) < 2 and time.monotonic() < deadline:
    time.sleep(0.01)
    for name, path in ("signal", SIGNAL_OUT), ("timer", TIMER_OUT):
        with open(path) as written:
            text = written.read()
        if text:
            dumps[name] = text
print(json.dumps({"signal": dumps.get("signal", ""), "timer": dumps.get("timer", ""),
                  "api": api}))
