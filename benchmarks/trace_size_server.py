"""The size of a GIL trace of a busy thread-per-request HTTP server.

    python benchmarks/trace_size_server.py [--seconds 60] [--resolution S] [--clients 8]

Runs a ThreadingHTTPServer (a thread per connection, each request on a new
connection) under `python -m vandrel run --gil-trace FILE`, loads it from
client threads in this process for --seconds, stops it with SIGTERM and
prints the requests served, the trace's size (all its files), its tracks
and the size per minute.  Not part of the tests or of run.py's table: the
goal is a trace under 10 MB a minute at the default resolution."""
import argparse
import glob
import http.client
import json
import os
import signal
import subprocess
import sys
import tempfile
import threading
import time

SERVER = r"""
import sys
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

class Handler(BaseHTTPRequestHandler):
    def do_GET(self):
        body = (" ".join(str(i) for i in range(300))).encode()
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass

server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
print(server.server_address[1], flush=True)
server.serve_forever()
"""


def load(port, deadline, counts, index):
    done = 0
    while time.monotonic() < deadline:
        try:
            connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
            connection.request("GET", "/")
            connection.getresponse().read()
            connection.close()
            done += 1
        except OSError:
            time.sleep(0.01)
    counts[index] = done


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--resolution", help="--gil-trace-resolution (default: the launcher's)")
    parser.add_argument("--clients", type=int, default=8)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        app = os.path.join(tmp, "server.py")
        with open(app, "w") as f:
            f.write(SERVER)
        trace = os.path.join(tmp, "gil.json")
        command = [sys.executable, "-m", "vandrel", "run", "--gil-report", os.devnull,
                   "--gil-trace", trace]
        if args.resolution is not None:
            command += ["--gil-trace-resolution", args.resolution]
        child = subprocess.Popen(command + [app], stdout=subprocess.PIPE)
        try:
            port = int(child.stdout.readline())
            deadline = time.monotonic() + args.seconds
            counts = [0] * args.clients
            clients = [threading.Thread(target=load, args=(port, deadline, counts, i))
                       for i in range(args.clients)]
            for thread in clients:
                thread.start()
            for thread in clients:
                thread.join()
            child.send_signal(signal.SIGTERM)
            child.wait(timeout=60)
        finally:
            child.kill()
            child.wait()
        files = sorted(glob.glob(os.path.join(tmp, "gil*.json")))
        size = sum(os.path.getsize(path) for path in files)
        tracks, counters, events = set(), set(), 0
        for path in files:
            with open(path) as f:
                text = f.read()
            if not text.rstrip().endswith("]"):
                text += "]"
            for event in json.loads(text):
                events += 1
                if event["ph"] == "C":
                    counters.add(event["name"])
                elif event["ph"] != "M":
                    tracks.add(event["tid"])
        print(json.dumps({
            "seconds": args.seconds, "resolution": args.resolution or "default",
            "requests": sum(counts), "files": len(files), "bytes": size,
            "mb_per_minute": round(size / 1e6 * 60 / args.seconds, 2),
            "events": events, "span_tracks": len(tracks), "counters": sorted(counters)}))


if __name__ == "__main__":
    main()
