"""A small service with named threads, inspected through the reference agent.

Run it with the agent loaded:

    python -m vandrel run examples/demo.py

or with plain ``python examples/demo.py``: it then loads the agent itself,
before importing the modules, since they look for it when imported.

It starts a few named threads that sit at different depths of Python calls,
dumps the stack of every thread through threadsnap, then switches the GIL
interceptor on and off through lockgauge while CPU-bound workers run beside
a heartbeat thread, and prints who held the GIL and who queued for it.
"""
import sys
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


def gil_view():
    section("GIL view (lockgauge): two CPU-bound workers beside a heartbeat")
    report = measure_gil(seconds=1.0, workers=2)
    # No report is a failure only where the interceptor exists.
    return report is not None or sys.version_info[:2] != (3, 13)


def main():
    threads = start_service()
    time.sleep(0.2)  # let every thread reach its resting place
    try:
        ok = stack_view()
        ok = gil_view() and ok
    finally:
        stop.set()
        for thread in threads:
            thread.join()
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
