"""A small service with named threads, inspected through the reference agent.

Run it with the agent loaded:

    python -m vandrel run examples/demo.py

or with plain ``python examples/demo.py``: it then loads the agent itself,
before importing the modules, since they look for it when imported.

It starts a few named threads that sit at different depths of Python calls,
dumps the stack of every thread through threadsnap, then switches the GIL
interceptor on and off through lockgauge while CPU-bound workers run beside
a heartbeat thread, and prints who held the GIL and who queued for it.
Last, a GIL profile of a few request-like workers (JSON, sorting, a regular
expression, a C call that keeps the GIL) shows the lines that held the GIL;
``--profile DIR`` also writes it as flame graphs (held.svg, waited.svg) and
for speedscope and flamegraph.pl.
"""
import ctypes
import json
import os
import re
import sys
import sysconfig
import threading
import time

import vandrel

# Unless the agent is already there (python -m vandrel run, LD_PRELOAD),
# load it now: threadsnap and lockgauge look for it when they are imported.
if not vandrel.loaded_agent_paths():
    vandrel.load_agent()

import threadsnap  # noqa: E402  (after the agent, on purpose)
from gil_view import gil_view as measure_gil  # noqa: E402

stop = threading.Event()


# --- the "service": request handlers and a heartbeat ----------------------

def handle_request(request_id, depth):
    if depth > 0:
        return parse_headers(request_id, depth - 1)
    stop.wait()


def parse_headers(request_id, depth):
    return handle_request(request_id, depth)


def heartbeat():
    while not stop.wait(0.01):
        pass


def start_service():
    threads = [
        threading.Thread(target=handle_request, args=(n, 2 * n), name=f"request-handler-{n}")
        for n in range(1, 4)
    ]
    threads.append(threading.Thread(target=heartbeat, name="heartbeat"))
    for thread in threads:
        thread.start()
    return threads


# --- the views ------------------------------------------------------------

def section(title):
    print(f"\n=== {title} ===", flush=True)


def stack_view():
    section("all thread stacks (threadsnap.dump_all_threads_stack)")
    # The agent writes straight to fd 1, past Python's buffer.
    sys.stdout.flush()
    status = threadsnap.dump_all_threads_stack(1, 0)
    if status != 0:
        # -1: threadsnap never found the agent's dump_threads.
        print(f"threadsnap status {status}: the agent's dump_threads was not found when "
              "threadsnap was imported")
    return status == 0


def gil_measured_here():
    """CPython 3.13 with a GIL, the reference: there the GIL views must
    work; elsewhere (a free-threaded build has no GIL) they may say why not."""
    return sys.version_info[:2] == (3, 13) and not sysconfig.get_config_var("Py_GIL_DISABLED")


def gil_view():
    section("GIL view (lockgauge): two CPU-bound workers beside a heartbeat")
    report = measure_gil(seconds=1.0, workers=2)
    # No report is a failure only where the interceptor exists.
    return report is not None or not gil_measured_here()


# --- the GIL profile: which lines hold the GIL --------------------------

WORDS = re.compile(r"[a-z]+ing\b")


def encode(rows):
    return len(json.dumps(rows))


def rank(rows):
    return sorted(rows, key=lambda row: (row["score"], row["name"]))[:10]


def find_words(text):
    return len(WORDS.findall(text))


def call_c_library(libc):
    libc.usleep(2000)         # a C call that keeps the GIL for 2 ms


def request_worker(until):
    libc = ctypes.PyDLL(None)
    rows = [{"name": f"item-{i}", "score": (i * 7919) % 1000} for i in range(2000)]
    text = "reading writing running sitting " * 500
    while time.monotonic() < until:
        encode(rows)
        rank(rows)
        find_words(text)
        call_c_library(libc)


def profile_view(directory):
    section("GIL profile (vandrel.GilMonitor(profile=True)): where the GIL was held")
    until = time.monotonic() + 1.0
    workers = [threading.Thread(target=request_worker, args=(until,), name=f"request-{i}")
               for i in range(3)]
    try:
        with vandrel.GilMonitor(profile=True, profile_rate=1000) as monitor:
            for worker in workers:
                worker.start()
            for worker in workers:
                worker.join()
    except vandrel.NotAvailable as error:
        print(f"not here: {error}")
        return not gil_measured_here()
    profile = monitor.report().profile
    lines = {}
    for row in profile.held:
        if row.stack:
            place = f"{row.stack[0].function} (line {row.stack[0].line})"
            lines[place] = lines.get(place, 0.0) + row.seconds
    total = sum(lines.values()) or 1.0
    for place, seconds in sorted(lines.items(), key=lambda item: -item[1])[:6]:
        print(f"  {seconds / total:6.1%}  {place}")
    if directory:
        written = profile.write_files(directory)
        print(f"written: {', '.join(sorted(os.path.basename(path) for path in written))}")
    return True


def main(argv):
    directory = argv[argv.index("--profile") + 1] if "--profile" in argv[:-1] else None
    threads = start_service()
    time.sleep(0.2)  # let every thread reach its resting place
    try:
        ok = stack_view()
        ok = gil_view() and ok
    finally:
        stop.set()
        for thread in threads:
            thread.join()
    ok = profile_view(directory) and ok
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
