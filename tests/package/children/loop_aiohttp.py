# Run by test_loop_watch.py::test_aiohttp_run_app_blocking_route (THRESHOLD
# set above): aiohttp's run_app, a route that blocks for 200 ms three times
# among 300 quick requests from four client threads over loopback.
import http.client
import json
import os
import signal
import socket
import threading
import time
from concurrent.futures import ThreadPoolExecutor

from aiohttp import web

import vandrel

watcher = vandrel.watch_event_loops(THRESHOLD)


async def slow_route(request):
    time.sleep(0.2)  # LINE: slow
    return web.Response(text="slow")


async def fast_route(request):
    return web.Response(text="fast")


def get(port, path):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    connection.request("GET", path)
    body = connection.getresponse().read()
    connection.close()
    return body


def load(port):
    deadline = time.monotonic() + 30
    while True:
        try:
            get(port, "/fast")
            break
        except OSError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.02)
    time.sleep(0.3)             # the watcher has found the loop long since
    paths = ["/fast"] * 300
    for index in (50, 150, 250):
        paths[index] = "/slow"
    with ThreadPoolExecutor(4) as pool:
        bodies = list(pool.map(lambda path: get(port, path), paths))
    assert bodies.count(b"slow") == 3
    os.kill(os.getpid(), signal.SIGTERM)   # run_app ends on it


listener = socket.socket()
listener.bind(("127.0.0.1", 0))
port = listener.getsockname()[1]
app = web.Application()
app.add_routes([web.get("/slow", slow_route), web.get("/fast", fast_route)])
threading.Thread(target=load, args=(port,), daemon=True).start()
web.run_app(app, sock=listener, print=None, handle_signals=True)
print(json.dumps(watcher.stop().to_dict()))
