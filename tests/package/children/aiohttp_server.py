# An aiohttp server under a client load: REQUESTS concurrent requests
# whose handlers each wait on two named subtasks (a gather) until every
# handler is parked; then format_stacks(), and a dump on SIGUSR1
# (dump_stacks_on_signal, written by the agent's thread) into OUT while
# the loop waits.  Settings: REQUESTS, OUT.  Prints one JSON object: the
# dumps ("api", "signal"), the names asyncio.all_tasks() gives at that
# moment, each subtask's name with its handler's task name and, on 3.14
# on, each task's nearest awaiting tasks as asyncio.capture_call_graph()
# sees them.
import json
import signal
import threading
import time

import vandrel

# Set before asyncio is imported, as `python -m vandrel run --dump-on`
# does: the agent's dumps must still come to ask for the tasks.
out = open(OUT, "w")
vandrel.dump_stacks_on_signal(signal.SIGUSR1, out)

import asyncio  # noqa: E402

import aiohttp  # noqa: E402
from aiohttp import web  # noqa: E402

parked = 0
subtasks = {}


async def part(release):
    await release.wait()


async def handle_slow(request):
    global parked
    me = asyncio.current_task()
    index = request.match_info["index"]
    me.set_name(f"request-{index}")
    loop = asyncio.get_running_loop()
    parts = [loop.create_task(part(request.app["release"]), name=f"part-{index}-{n}")
             for n in (1, 2)]
    for task in parts:
        subtasks[task.get_name()] = me.get_name()
    parked += 1
    if parked == REQUESTS:
        request.app["all_parked"].set()
    await asyncio.gather(*parts)
    return web.Response(text="done")


def nearest_awaiters(task):
    """capture_call_graph's nearest awaiting tasks (3.14 on)."""
    found, todo = set(), list(asyncio.capture_call_graph(task).awaited_by)
    while todo:
        node = todo.pop()
        if isinstance(node.future, asyncio.Task):
            found.add(node.future.get_name())
        else:
            todo.extend(node.awaited_by)
    return sorted(found)


async def signal_dump():
    threading.Thread(target=signal.pthread_kill,
                     args=(threading.main_thread().ident, signal.SIGUSR1)).start()
    # The dump comes in one write once the handler ran.
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        await asyncio.sleep(0.01)
        with open(OUT) as written:
            dump = written.read()
        if dump:
            return dump
    return ""


async def main():
    app = web.Application()
    app["release"], app["all_parked"] = asyncio.Event(), asyncio.Event()
    app.router.add_get("/slow/{index}", handle_slow)
    runner = web.AppRunner(app)
    await runner.setup()
    site = web.TCPSite(runner, "127.0.0.1", 0)
    await site.start()
    port = runner.addresses[0][1]
    connector = aiohttp.TCPConnector(limit=REQUESTS)
    async with aiohttp.ClientSession(connector=connector) as session:
        async def fetch(index):
            async with session.get(f"http://127.0.0.1:{port}/slow/{index}") as response:
                return await response.text()

        load = asyncio.ensure_future(asyncio.gather(*(fetch(i) for i in range(REQUESTS))))
        await app["all_parked"].wait()
        await asyncio.sleep(0.05)
        tasks = [task for task in asyncio.all_tasks() if not task.done()]
        names = sorted(task.get_name() for task in tasks)
        graph = None
        if hasattr(asyncio, "capture_call_graph"):
            graph = {task.get_name(): nearest_awaiters(task) for task in tasks}
        dumps = {"api": vandrel.format_stacks(), "signal": await signal_dump()}
        app["release"].set()
        answers = await load
    await runner.cleanup()
    assert answers == ["done"] * REQUESTS
    print(json.dumps({"dumps": dumps, "names": names, "subtasks": subtasks, "graph": graph}))


asyncio.run(main())
