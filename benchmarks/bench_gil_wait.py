"""What the GIL interceptor says a sleeping thread waited for the GIL,
against that thread's own clock.

    python benchmarks/bench_gil_wait.py [--runs 20]

Each run is a fresh interpreter: two spinners and a heartbeat thread that
sleeps 10 ms at a time, the interceptor on for 1.5 s (final report only, no
timeline).  After each sleep the heartbeat finds a spinner holding the GIL
and queues for it.  Per run: the heartbeat's wait as a share of the window,
and its wait against how late its sleeps ended (the overrun, measured with
time.perf_counter() around each sleep, bounds the wait from above).  How
much of the window the queueing takes depends on the machine and its load,
so the figures are medians and the lowest share over the runs.
"""
import argparse
import json
import statistics
import textwrap

from bench_gil_scale import LOAD, child

CHILD = LOAD + textwrap.dedent(
    """
    stop = threading.Event()
    late = []
    def spin():
        while not stop.is_set():
            pass
    def heartbeat():
        while not stop.is_set():
            start = time.perf_counter()
            time.sleep(0.01)
            late.append(time.perf_counter() - start - 0.01)
    threads = [threading.Thread(target=spin) for _ in range(2)]
    threads.append(threading.Thread(target=heartbeat))
    for t in threads:
        t.start()
    reports = []
    assert lockgauge.init_gil_interceptor(reports.append, 0, 0, -1, 0, 0, 0) == 0
    time.sleep(1.5)
    assert lockgauge.deinit_gil_interceptor() == 0
    stop.set()
    for t in threads:
        t.join()
    report = reports[-1]
    beat = report["threads"][threads[2].native_id]
    print(json.dumps({"wait_s": beat["wait_s"], "wall_s": report["wall_s"],
                      "late_s": sum(x for x in late if x > 0)}))
    """
)


def measure(runs=20):
    results = [child(CHILD) for _ in range(runs)]
    shares = [100 * r["wait_s"] / r["wall_s"] for r in results]
    return {"runs": runs,
            "share_median_pct": statistics.median(shares), "share_min_pct": min(shares),
            "share_max_pct": max(shares),
            "wait_s": statistics.median(r["wait_s"] for r in results),
            "late_s": statistics.median(r["late_s"] for r in results),
            "wait_over_late": statistics.median(r["wait_s"] / r["late_s"] for r in results)}


def run(quick=False):
    """Rows for benchmarks/run.py."""
    m = measure(5 if quick else 20)
    return [
        (f"heartbeat beside 2 spinners: GIL wait share of the window (%, median vs lowest "
         f"of {m['runs']} runs)", m["share_median_pct"], m["share_min_pct"],
         m["share_min_pct"] / 3.0, ">= 1 (every run >= 3 %)"),
        ("heartbeat beside 2 spinners: GIL wait vs its sleeps' overrun (s, medians)",
         m["wait_s"], m["late_s"], m["wait_over_late"], "0.8-1.02"),
    ]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=20)
    args = parser.parse_args()
    print(json.dumps(measure(args.runs), indent=1))


if __name__ == "__main__":
    main()
