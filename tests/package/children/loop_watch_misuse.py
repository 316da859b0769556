# Run by test_loop_watch.py::test_one_watcher_stop_twice_and_fork.
import asyncio
import json
import os
import time

import vandrel


def error(call):
    try:
        call()
    except Exception as exc:
        return type(exc).__name__
    return "no error"


async def block():
    await asyncio.sleep(0.005)
    time.sleep(0.1)  # LINE: block


first = vandrel.watch_event_loops(0.03)
print(json.dumps({"second": error(lambda: vandrel.watch_event_loops(0.03)),
                  "running": first.running, "empty": first.report().to_dict()}))
asyncio.run(block())
final = first.stop()
print(json.dumps({"same": first.stop() is final, "running": first.running,
                  "count": final.block_count, "final": final.final}))

again = vandrel.watch_event_loops(0.03)
asyncio.run(block())
pid = os.fork()
if pid == 0:
    # The child: no watcher runs; the parent's handle gives its figures at
    # the fork, and a new watcher watches the child's loops.
    inherited = again.stop()
    child = vandrel.watch_event_loops(0.03)
    asyncio.run(block())
    print(json.dumps({"child_inherited": inherited.block_count,
                      "child_own": child.stop().block_count}), flush=True)
    os._exit(0)
os.waitpid(pid, 0)
print(json.dumps({"parent": again.stop().block_count}))
