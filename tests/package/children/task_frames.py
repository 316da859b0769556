# An event loop on a thread of its own with one task DEPTH coroutines
# deep; a dump on SIGALRM (dump_stacks_on_signal, max_frames SIGNAL_FRAMES)
# and a timer dump (dump_stacks_later, max_frames TIMER_FRAMES), both set
# at once.  QUEUED false: the signal goes to the loop's thread while
# nothing keeps the GIL, and the agent asks for the tasks with it.  QUEUED
# true (run with VANDREL_SAFE_READ=refused, so both dumps are left to the
# main thread): both fire while another thread keeps the GIL, the timer
# first, and wait there together.  Settings: SIGNAL_OUT, TIMER_OUT (the
# dumps' files), DEPTH, SIGNAL_FRAMES, TIMER_FRAMES, QUEUED.  Prints one
# JSON object: "signal" and "timer" (the dumps), "api" ({max_frames:
# format_stacks(max_frames=...)} for both limits and 0).
import asyncio
import ctypes
import json
import signal
import sys
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
vandrel.dump_stacks_on_signal(signal.SIGALRM, signal_out, max_frames=SIGNAL_FRAMES)
if QUEUED:
    vandrel.dump_stacks_later(0.1, file=timer_out, max_frames=TIMER_FRAMES)
    signal.setitimer(signal.ITIMER_REAL, 0.2)
    sys.setswitchinterval(30)       # the holder is not asked to let go meanwhile
    # libc's usleep through PyDLL keeps the GIL for the whole call (a
    # signal may cut it short, once both dumps wait).
    holder = threading.Thread(target=ctypes.PyDLL(None).usleep, args=(500_000,))
    holder.start()
    holder.join()
else:
    vandrel.dump_stacks_later(0.05, file=timer_out, max_frames=TIMER_FRAMES)
    # The loop's thread waits without the GIL: its handler waits for the
    # dump while this thread lets the GIL go.
    signal.pthread_kill(loop_thread.ident, signal.SIGALRM)
dumps = {}
deadline = time.monotonic() + 5
while len(dumps) < 2 and time.monotonic() < deadline:
    time.sleep(0.01)
    for name, path in ("signal", SIGNAL_OUT), ("timer", TIMER_OUT):
        with open(path) as written:
            text = written.read()
        if "Tasks of its event loop (" in text:
            dumps[name] = text
print(json.dumps({"signal": dumps.get("signal", ""), "timer": dumps.get("timer", ""),
                  "api": api}))
