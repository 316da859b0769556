# An aiohttp server under a client load: REQUESTS concurrent requests
# whose handlers each wait on two named subtasks (a gather) until every
# handler is parked; then format_stacks().  Settings: REQUESTS.  Prints
# one JSON object: the dump, the names asyncio.all_tasks() gives at that
# moment, and each subtask's name with its handler's task name.
import asyncio
import json

import aiohttp
from aiohttp import web

import vandrel

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
        names = sorted(task.get_name() for task in asyncio.all_tasks() if not task.done())
        dump = vandrel.format_stacks()
        app["release"].set()
        answers = await load
    await runner.cleanup()
    assert answers == ["done"] * REQUESTS
    print(json.dumps({"dump": dump, "names": names, "subtasks": subtasks}))


asyncio.run(main())
