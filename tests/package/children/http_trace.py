# Run by test_trace_tracks.py, after the lines that set PATH, RESOLUTION,
# REQUESTS and RESOLUTIONS: a thread-per-request HTTP server over loopback,
# its GIL timeline streamed to PATH (at RESOLUTION seconds) while it serves
# REQUESTS requests from 4 client threads; then the final report's trace
# written at each of RESOLUTIONS to PATH + ".<resolution>.json".  Prints
# one JSON line: pid, the monotonic clock at the start and end, the
# long-lived threads, the number of threads, the report's figures.
import http.client
import json
import os
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import vandrel
from vandrel import _gil_format, _interceptor

path, resolution, requests, resolutions = PATH, RESOLUTION, REQUESTS, RESOLUTIONS  # noqa: F821


class Handler(BaseHTTPRequestHandler):
    def do_GET(self):
        body = b"x" * sum(range(200))
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


vandrel.load_agent()
import lockgauge  # noqa: E402

finals = []
assert lockgauge.init_gil_interceptor(finals.append, 0, 0, -1, 0, 1_000_000, 0) == 0
started = time.monotonic()
assert _interceptor.stream_trace(path, 0, resolution) == 0
server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
serving = threading.Thread(target=server.serve_forever, name="server")
serving.start()
port = server.server_address[1]


def client(count):
    for _ in range(count):
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        connection.request("GET", "/")
        connection.getresponse().read()
        connection.close()


clients = [threading.Thread(target=client, args=(requests // 4,), name=f"client-{i}")
           for i in range(4)]
for thread in clients:
    thread.start()
for thread in clients:
    thread.join()
# The server lives past half a second: a track of its own.
time.sleep(max(0.0, 0.55 - (time.monotonic() - started)))
server.shutdown()
serving.join()
server.server_close()
ended = time.monotonic()
assert lockgauge.deinit_gil_interceptor() == 0
final = finals[-1]
for r in resolutions:
    _gil_format.write_chrome_trace(final, f"{path}.{r}.json", r)
print(json.dumps({"pid": os.getpid(), "started": started, "ended": ended,
                  "long_lived": [serving.native_id] + [t.native_id for t in clients]
                  + [threading.main_thread().native_id],
                  "threads": len(final["threads"]) + sum(g["count"] for g in final["groups"]),
                  "held_s": final["held_s"], "wait_s": final["wait_s"],
                  "written": _gil_format.timeline_entries(final["timeline"])[0]}))
