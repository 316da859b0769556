"""The GIL interceptor at scale: report cost after many threads, stack-dump
marks with many threads, and the hooks' cost per GIL hand-over.

    python benchmarks/bench_gil_scale.py [--quick]

Each measurement runs in a fresh interpreter, the interceptor (when on)
with a timeline ring of 65,536 transitions besides the distributions and
long holds that are always on:

  report: 70,000 short threads started and joined with the interceptor on
          (a sink and a text report every 20 ms); then the agent thread's
          GIL time per report (its sink only appends, so this is the time to
          build the dict and the text) and the largest text report; the
          growth of RSS over the last 30,000 threads (with --quick over the
          last 10,000 of 20,000, while memory still grows to its plateau: for
          the record only); then two spinners for 2 s and the smaller one's
          share of the GIL (an even split is 0.5 each).
  dump:   4,000 parked threads, threadsnap's dump to /dev/null with the
          interceptor on and off, alternating, medians of 9.
  hooks:  bench_gil_overhead's MICRO child (best of 20 blocks of
          os.sched_yield() each way); median of several children of on - off,
          with the timeline off (the budget) and with a ring on.
"""
import argparse
import json
import statistics
import subprocess
import sys
import textwrap

import bench_gil_overhead

LOAD = textwrap.dedent(
    """
    import collections, ctypes, importlib.util, json, os, statistics, sys, threading, time
    agent = os.path.join(list(importlib.util.find_spec("vandrel").submodule_search_locations)[0],
                         "vandrel_agent.so")
    ctypes.CDLL(agent, mode=os.RTLD_GLOBAL)
    import lockgauge, threadsnap
    """
)

REPORT = LOAD + textwrap.dedent(
    """
    count = int(sys.argv[1])
    first = count - 30000 if count > 60000 else count // 2
    def rss_kb():
        with open("/proc/self/status") as f:
            return int([line for line in f if line.startswith("VmRSS:")][0].split()[1])
    rss = {}
    # Only the latest report is kept while the threads churn, so that a
    # queue of reports filling up is not counted as growth.
    reports = collections.deque(maxlen=1)
    def sink(report):
        reports.append(report)
    r, w = os.pipe()
    os.set_blocking(r, False)
    sizes = collections.deque(maxlen=50)
    pending = bytearray()
    def drain():
        global pending
        while True:
            try:
                chunk = os.read(r, 1 << 16)
            except BlockingIOError:
                break
            if not chunk:
                break
            pending.extend(chunk)
        parts = bytes(pending).split(b"GIL report (")
        for part in parts[1:-1]:
            sizes.append(len(part) + len(b"GIL report ("))
        pending = bytearray(b"GIL report (" + parts[-1]) if len(parts) > 1 else pending
    assert lockgauge.init_gil_interceptor(sink, 0, 20, w, 0, 65536, 0) == 0
    done = 0
    while done < count:
        batch = [threading.Thread(target=lambda: None) for _ in range(100)]
        for t in batch:
            t.start()
        for t in batch:
            t.join()
        done += len(batch)
        drain()
        if done in (first, count):
            rss[done] = rss_kb()
    reports = collections.deque(reports, maxlen=100)
    start = len(reports)
    time.sleep(1.0)
    drain()
    late = list(reports)[-40:]
    def agent(rep):
        return [t for t in rep["threads"].values() if t["name"] == "vandrel-agent"][0]
    per_report = (agent(late[-1])["held_s"] - agent(late[0])["held_s"]) / (len(late) - 1)
    text_bytes = max(sizes)
    stop = threading.Event()
    def spin():
        while not stop.is_set():
            pass
    spinners = [threading.Thread(target=spin) for _ in range(2)]
    for t in spinners:
        t.start()
    time.sleep(0.3)
    drain()
    before = reports[-1]
    time.sleep(2.0)
    drain()
    assert lockgauge.deinit_gil_interceptor() == 0
    stop.set()
    for t in spinners:
        t.join()
    final = reports[-1]
    window = final["wall_s"] - before["wall_s"]
    shares = [(final["threads"][t.native_id]["held_s"] - before["threads"][t.native_id]["held_s"])
              / window for t in spinners]
    print(json.dumps({"per_report_ms": per_report * 1e3, "text_bytes": text_bytes,
                      "rss_first": first, "rss_growth_kb": rss[count] - rss[first],
                      "spinner_share": min(shares)}))
    """
)

DUMP = LOAD + textwrap.dedent(
    """
    # Parked threads that wake, take the GIL and park again on notify_all():
    # each gets a record in every session, and none ends.
    parked = threading.Condition()
    def park():
        with parked:
            while True:
                parked.wait()
    def touch_all():
        with parked:
            parked.notify_all()
        time.sleep(0.5)
    devnull = os.open(os.devnull, os.O_WRONLY)
    def timed():
        start = time.perf_counter()
        threadsnap.dump_all_threads_stack(devnull, 0)
        return time.perf_counter() - start
    assert lockgauge.init_gil_interceptor(None, 0, 0, -1, 0, 65536, 0) == 0
    threads = [threading.Thread(target=park, daemon=True) for _ in range(4000)]
    for t in threads:
        t.start()
    assert lockgauge.deinit_gil_interceptor() == 0
    on, off = [], []
    for _ in range(9):
        touch_all()  # the same wake-up before both, so caches start alike
        off.append(timed())
        assert lockgauge.init_gil_interceptor(None, 0, 0, -1, 0, 65536, 0) == 0
        touch_all()
        on.append(timed())
        assert lockgauge.deinit_gil_interceptor() == 0
    print(json.dumps({"on_ms": statistics.median(on) * 1e3, "off_ms": statistics.median(off) * 1e3}))
    """
)


def child(code, *args):
    proc = subprocess.run([sys.executable, "-c", code, *map(str, args)], capture_output=True,
                          text=True, timeout=1200, cwd="/")
    if proc.returncode != 0:
        sys.exit(f"benchmark child failed:\n{proc.stderr}")
    return json.loads(proc.stdout.splitlines()[-1])


def measure(quick=False):
    report = child(REPORT, 20000 if quick else 70000)
    dump = child(DUMP)
    hooks = [child(bench_gil_overhead.MICRO) for _ in range(3 if quick else 7)]
    added = statistics.median(h["on"] - h["off"] for h in hooks)
    return {"report": report, "dump": dump,
            "hooks": {"added_ns": added,
                      "on_ns": statistics.median(h["on"] for h in hooks),
                      "off_ns": statistics.median(h["off"] for h in hooks),
                      "ring_added_ns": statistics.median(h["ring"] - h["off"] for h in hooks),
                      "ring_ns": statistics.median(h["ring"] for h in hooks)}}


def run(quick=False):
    """Rows for benchmarks/run.py."""
    m = measure(quick)
    threads = "20,000" if quick else "70,000"
    return [
        (f"GIL report build after {threads} threads (agent GIL ms per report)",
         m["report"]["per_report_ms"], 2.0, m["report"]["per_report_ms"] / 2.0, "<= 1 (< 2 ms)"),
        (f"GIL text report after {threads} threads (bytes)", m["report"]["text_bytes"], 16384,
         m["report"]["text_bytes"] / 16384, "< 1 (< 16 KB)"),
        (f"RSS growth from {m['report']['rss_first']:,} to {threads} threads (KB)",
         m["report"]["rss_growth_kb"], 4096, m["report"]["rss_growth_kb"] / 4096,
         "report" if quick else "< 1 (< 4 MB)"),
        (f"2 spinners after {threads} threads: the smaller GIL share (of 0.5 each)",
         m["report"]["spinner_share"], 0.35, m["report"]["spinner_share"] / 0.35,
         ">= 1 (each 0.35-0.65)"),
        ("dump 4000 threads, interceptor on vs off (ms)", m["dump"]["on_ms"], m["dump"]["off_ms"],
         m["dump"]["on_ms"] / m["dump"]["off_ms"], "<= 1.5"),
        ("GIL release + re-acquire, hooks on vs off (ns; ratio: added / 45 ns)",
         m["hooks"]["on_ns"], m["hooks"]["off_ns"], m["hooks"]["added_ns"] / 45.0, "<= 1"),
        ("GIL release + re-acquire, hooks and a 65,536-entry timeline ring on vs off "
         "(ns; ratio: added / 45 ns)",
         m["hooks"]["ring_ns"], m["hooks"]["off_ns"], m["hooks"]["ring_added_ns"] / 45.0,
         "report"),
    ]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    print(json.dumps(measure(args.quick), indent=1))


if __name__ == "__main__":
    main()
