# Run by test_loop_watch.py::test_starlette_under_uvicorn_on_uvloop (THRESHOLD
# set above): uvloop imported before the watcher starts, so the loop is
# found by the watcher's scan of the threads' stacks; a Starlette route
# that blocks three times deep in a helper among 300 quick requests.
import asyncio
import contextlib
import http.client
import json
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import uvicorn
import uvloop  # noqa: F401  (before the watcher: its loop starts unseen)
from starlette.applications import Starlette
from starlette.responses import PlainTextResponse
from starlette.routing import Route

import vandrel

watcher = vandrel.watch_event_loops(THRESHOLD)


async def slow_route(request):
    time.sleep(0.2)  # LINE: slow
    return PlainTextResponse("slow")


async def fast_route(request):
    return PlainTextResponse("fast")


def get(port, path):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    connection.request("GET", path)
    body = connection.getresponse().read()
    connection.close()
    return body


def load(server):
    while not server.started:
        time.sleep(0.02)
    port = server.servers[0].sockets[0].getsockname()[1]
    time.sleep(0.6)             # the scan finds the loop within a quarter second
    paths = ["/fast"] * 300
    for index in (50, 150, 250):
        paths[index] = "/slow"
    with ThreadPoolExecutor(4) as pool:
        bodies = list(pool.map(lambda path: get(port, path), paths))
    assert bodies.count(b"slow") == 3
    server.should_exit = True


@contextlib.asynccontextmanager
async def lifespan(app):
    print(type(asyncio.get_running_loop()).__module__.split(".")[0] + ".Loop", flush=True)
    yield


app = Starlette(routes=[Route("/slow", slow_route), Route("/fast", fast_route)],
                lifespan=lifespan)
server = uvicorn.Server(uvicorn.Config(app, host="127.0.0.1", port=0, loop="uvloop",
                                       log_level="warning", lifespan="on"))
threading.Thread(target=load, args=(server,), daemon=True).start()
server.run()
print(json.dumps(watcher.stop().to_dict()))
