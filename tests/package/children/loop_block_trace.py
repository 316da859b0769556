# Run by test_loop_watch.py::test_run_loop_block_and_gil_trace_put_blocks_in_the_trace
# under `python -m vandrel run --loop-block 0.05 --gil-trace TRACE`.  The
# line marked "# LINE: sleep" blocks the loop for 200 ms; then the program
# waits until the streamed trace holds the block, while it still runs.
import asyncio
import sys
import time

TRACE = sys.argv[1]


def traced_while_running():
    with open(TRACE, encoding="utf-8") as trace:
        return '"cat":"loop"' in trace.read()


async def sleeper():
    await asyncio.sleep(0.02)
    time.sleep(0.2)  # LINE: sleep


async def main():
    await asyncio.create_task(sleeper(), name="the sleeper")
    waited = time.monotonic()
    while not traced_while_running() and time.monotonic() - waited < 3:
        await asyncio.sleep(0.05)
    print(f"in the trace while running: {traced_while_running()}", flush=True)


asyncio.run(main())
