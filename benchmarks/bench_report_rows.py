"""How big the text GIL report of a thread-per-request server gets: a
ThreadingHTTPServer answering REQUESTS requests (a thread each) from four
client threads, run under `python -m vandrel run --gil-report FILE`.

    python benchmarks/bench_report_rows.py [--requests 100000]

Prints the final report's table rows (threads, groups, "(other)"), the
threads it counts, and whether the rows add up to the header: the thread
counts exactly, held and wait seconds within the rounding of the rows
shown (3 decimals each).  The table should stay at about 20 rows however
many requests there were.
"""
import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
import time

PROGRAM = """
import http.client, http.server, sys, threading
from concurrent.futures import ThreadPoolExecutor

class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        body = b"ok"
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
    def log_message(self, *args):
        pass

requests = int(sys.argv[1])
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
port = server.server_address[1]
threading.Thread(target=server.serve_forever, name="acceptor", daemon=True).start()

def client(count):
    for _ in range(count):
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
        connection.request("GET", "/")
        connection.getresponse().read()
        connection.close()

with ThreadPoolExecutor(4) as pool:
    list(pool.map(client, [requests // 4] * 4))
server.shutdown()
server.server_close()
"""

HEADER = re.compile(r"^GIL report \(final\): wall (?P<wall>[\d.]+) s, held (?P<held>[\d.]+) s "
                    r"\([\d.]+%\), waited (?P<wait>[\d.]+) s, \d+ switch(?:es)?, "
                    r"(?P<threads>\d+) threads?$")
ROW = re.compile(r"^  (?P<name>.{32}) +(?P<id>\d+) +(?P<held>[\d.]+) +[\d.]+% "
                 r"+(?P<wait>[\d.]+) +[\d.]+%  \[[#~ ]{30}\]$")


def table(text):
    """The final report's header and its rows: (kind, name, id or count, held, wait)."""
    lines = text[text.rindex("GIL report (final)"):].splitlines()
    header = HEADER.match(lines[0])
    rows, kind = [], "thread"
    for line in lines[2:]:
        if line.startswith("  group "):
            kind = "group"
            continue
        row = ROW.match(line)
        if row:
            rows.append((kind, row["name"].rstrip(), int(row["id"]), float(row["held"]),
                         float(row["wait"])))
        elif not line.startswith("      "):
            break
    return header, rows


def measure(requests):
    with tempfile.TemporaryDirectory() as tmp:
        program = os.path.join(tmp, "server.py")
        report = os.path.join(tmp, "report.txt")
        with open(program, "w") as f:
            f.write(PROGRAM)
        started = time.monotonic()
        subprocess.run([sys.executable, "-m", "vandrel", "run", "--gil-report", report, program,
                        str(requests)], check=True, cwd=tmp)
        seconds = time.monotonic() - started
        with open(report, encoding="utf-8") as f:
            text = f.read()
    header, rows = table(text)
    counted = sum(1 if kind == "thread" else count for kind, _, count, _, _ in rows)
    held = sum(row[3] for row in rows)
    wait = sum(row[4] for row in rows)
    rounding = 0.0005 * (len(rows) + 1)
    return {
        "requests": requests,
        "run_s": round(seconds, 1),
        "rows": len(rows),
        "thread_rows": sum(1 for row in rows if row[0] == "thread"),
        "group_rows": sum(1 for row in rows if row[0] == "group"),
        "threads_in_header": int(header["threads"]),
        "threads_in_rows": counted,
        "held_header_s": float(header["held"]), "held_rows_s": round(held, 3),
        "wait_header_s": float(header["wait"]), "wait_rows_s": round(wait, 3),
        "adds_up": (counted == int(header["threads"])
                    and abs(held - float(header["held"])) <= rounding
                    and abs(wait - float(header["wait"])) <= rounding),
        "table": [f"{kind} {name} {ident}" for kind, name, ident, _, _ in rows],
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--requests", type=int, default=100000)
    options = parser.parse_args()
    print(json.dumps(measure(options.requests), indent=1))


if __name__ == "__main__":
    main()
