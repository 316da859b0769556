"""The GIL view: who holds the GIL, and who queues for it.

CPU-bound workers run beside a heartbeat thread that wakes every 10 ms, as
an I/O or heartbeat thread does.  Each wake-up has to queue for the GIL
behind the workers (the convoy effect), which the interceptor measures.
gil_view() switches the interceptor on through lockgauge, dumps all stacks
through threadsnap while the threads contend (threads queued for the GIL
are marked there), switches it off and prints the report.

Run on its own (python examples/gil_view.py) or call gil_view() from a
program started under the reference agent.
"""
import sys
import threading
import time

import vandrel


def gil_view(seconds=1.0, workers=2, out=None):
    """Measure GIL holding and queueing for `seconds` and print the report.

    Returns the final report dict, or None when the interceptor could not
    be switched on or off, or the dump failed (each status is printed with
    what it means)."""
    out = out or sys.stdout
    if "lockgauge" not in sys.modules and not vandrel.loaded_agent_paths():
        # lockgauge looks for the agent when imported: load it first.
        vandrel.load_agent()
    import lockgauge

    stop = threading.Event()

    def crunch():
        n = 0
        while not stop.is_set():
            n += 1

    def heartbeat():
        while not stop.is_set():
            time.sleep(0.01)

    threads = [threading.Thread(target=crunch, name=f"worker-{i}") for i in range(workers)]
    beat_thread = threading.Thread(target=heartbeat, name="io-heartbeat")
    threads.append(beat_thread)
    for thread in threads:
        thread.start()

    reports = []
    out.flush()
    fd = out.fileno() if hasattr(out, "fileno") else -1
    status = lockgauge.init_gil_interceptor(reports.append, 0, 0, fd, 0, 0, 0)
    try:
        if status != 0:
            print(f"GIL interceptor not available here (status {status}): "
                  f"{vandrel.gil_status_error(status)}", file=out)
            return None
        time.sleep(seconds / 2)
        import threadsnap

        print("--- all stacks, mid-run (GIL waiters are marked) ---", file=out, flush=True)
        dump_status = threadsnap.dump_all_threads_stack(fd if fd >= 0 else 2, 3)
        time.sleep(seconds / 2)
        print("--- GIL report ---", file=out, flush=True)
        status = lockgauge.deinit_gil_interceptor()
        if status != 0:
            print(f"GIL interceptor did not switch off (status {status}): "
                  f"{vandrel.gil_status_error(status, 'deinit_gil_interceptor')}", file=out)
            return None
        if dump_status != 0:
            print(f"threadsnap status {dump_status}: the agent's dump_threads was not found "
                  "when threadsnap was imported", file=out)
            return None
    finally:
        stop.set()
        for thread in threads:
            thread.join()

    report = reports[-1]
    beat = report["threads"][beat_thread.native_id]
    print(f"io-heartbeat queued {beat['wait_s'] / report['wall_s']:.0%} of the time for a GIL "
          f"it held only {beat['held_s'] / report['wall_s']:.1%} of it", file=out)
    return report


if __name__ == "__main__":
    gil_view()
