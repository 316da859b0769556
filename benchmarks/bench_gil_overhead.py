"""Throughput cost of the reference agent's GIL interceptor.

Each run is a fresh interpreter that loads the agent, imports lockgauge
and has N threads do a fixed amount of CPU-bound Python work; "on" runs
switch the interceptor on first (default sample period, a sink, a report
every second, a timeline ring of 65,536 transitions, besides the
distributions and long holds that are always on; with --bare no sink and
no report_fd, so no agent thread),
"off" runs do not, and, where the gilknocker package is installed,
"gilknocker" runs start its 1 kHz sampler instead.  Each round runs every
mode once, the order rotating every round so drift hits all sides, and the
figure is the median of the per-round throughput ratios against off.  Work per CPU second of the process is
printed beside it, and the ratio of the best runs on each side: on a machine
shared with other work these are less disturbed than wall-clock pairs.

    python benchmarks/bench_gil_overhead.py [--pairs 15] [--threads 2 4] [--work 8000000] [--bare]
"""
import argparse
import json
import statistics
import subprocess
import sys
import textwrap

CHILD = textwrap.dedent(
    """
    import ctypes, importlib.util, json, os, sys, threading, time
    agent = os.path.join(list(importlib.util.find_spec("vandrel").submodule_search_locations)[0],
                         "vandrel_agent.so")
    ctypes.CDLL(agent, mode=os.RTLD_GLOBAL)
    import lockgauge

    mode, threads, work = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    on, bare, knocker = mode in ("on", "bare"), mode == "bare", None
    reports = []

    def burn(n):
        total = 0
        for i in range(n):
            total += i * i % 7
        return total

    burn(10000)  # warm up the specialising interpreter
    if on:
        if bare:  # no sink, no report_fd: no agent thread at all
            status = lockgauge.init_gil_interceptor(None, 0, 0, -1, 0, 65536, 0)
        else:
            status = lockgauge.init_gil_interceptor(reports.append, 0, 1000, -1, 0, 65536, 0)
        assert status == 0, status
    elif mode == "gilknocker":  # the same workload under gilknocker's 1 kHz sampler
        from gilknocker import KnockKnock
        knocker = KnockKnock(polling_interval_micros=1000)
        knocker.start()
    workers = [threading.Thread(target=burn, args=(work // threads,)) for _ in range(threads)]
    start = time.perf_counter()
    cpu_start = time.process_time()
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    elapsed = time.perf_counter() - start
    cpu = time.process_time() - cpu_start
    if on:
        assert lockgauge.deinit_gil_interceptor() == 0
    if knocker is not None:
        knocker.stop()
    print(json.dumps({"throughput": work / elapsed, "per_cpu": work / cpu,
                      "switches": reports[-1]["switches"] if reports else None}))
    if knocker is not None:
        # gilknocker's sampler thread can still be inside a GIL request when
        # the interpreter finalizes, and the forced unwind that ends it
        # aborts the process ("exception not rethrown"): skip finalization.
        sys.stdout.flush()
        os._exit(0)
    """
)


# One process, interceptor switched on and off in alternating blocks: the
# cost the hooks add to one GIL release + re-acquire (os.sched_yield lets
# go of the GIL and takes it back).  "on" is the always-on work (counts,
# distributions, long holds) with no timeline, the budget; "ring" adds a
# timeline ring of 65,536 transitions.  Minimum over 20 blocks of each,
# robust to noise.
MICRO = textwrap.dedent(
    """
    import ctypes, importlib.util, json, os, time
    agent = os.path.join(list(importlib.util.find_spec("vandrel").submodule_search_locations)[0],
                         "vandrel_agent.so")
    ctypes.CDLL(agent, mode=os.RTLD_GLOBAL)
    import lockgauge

    def block(n):
        start = time.perf_counter_ns()
        for _ in range(n):
            os.sched_yield()
        return (time.perf_counter_ns() - start) / n

    modes = ("off", "on", "ring")
    ring_capacity = {"on": 0, "ring": 65536}
    times = {mode: [] for mode in modes}
    for i in range(20 * len(modes)):
        mode = modes[i % len(modes)]
        if mode != "off":
            assert lockgauge.init_gil_interceptor(None, 0, 0, -1, 0, ring_capacity[mode], 0) == 0
        times[mode].append(block(20000))
        if mode != "off":
            assert lockgauge.deinit_gil_interceptor() == 0
    print(json.dumps({k: min(v) for k, v in times.items()}))
    """
)


def run_once(mode, threads, work):
    proc = subprocess.run(
        [sys.executable, "-c", CHILD, mode, str(threads), str(work)],
        capture_output=True, text=True, timeout=300, cwd="/",
    )
    if proc.returncode != 0:
        sys.exit(f"benchmark child failed:\n{proc.stderr}")
    return json.loads(proc.stdout.splitlines()[-1])


def gilknocker_available():
    return subprocess.run([sys.executable, "-c", "import gilknocker"],
                          capture_output=True).returncode == 0


def compare(threads, pairs, work, modes):
    """Run `pairs` rounds of every mode in `modes` ("off" first among them),
    rotating the order each round so drift hits every side.  Return, per
    mode, the list of results and the list of per-round throughput ratios
    against "off"."""
    results = {mode: [] for mode in modes}
    ratios = {mode: [] for mode in modes}
    for round_ in range(pairs):
        order = modes[round_ % len(modes):] + modes[:round_ % len(modes)]
        this_round = {mode: run_once(mode, threads, work) for mode in order}
        for mode in modes:
            results[mode].append(this_round[mode])
            ratios[mode].append(this_round[mode]["throughput"] / this_round["off"]["throughput"])
    return results, ratios


def run(quick=False, pairs=None, thread_counts=(2, 4), work=8_000_000, bare=False):
    """Rows for benchmarks/run.py: throughput with the interceptor (and
    gilknocker, where installed) on, against off."""
    pairs = pairs or (5 if quick else 15)
    ours = "bare" if bare else "on"
    modes = ["off", ours] + (["gilknocker"] if gilknocker_available() else [])
    rows = []
    for threads in thread_counts:
        results, ratios = compare(threads, pairs, work, modes)
        off = statistics.median(r["throughput"] for r in results["off"])
        for mode in modes[1:]:
            label = "GIL interceptor" if mode == ours else "gilknocker 1 kHz"
            on = statistics.median(r["throughput"] for r in results[mode])
            rows.append((f"{label} on, {threads} CPU-bound threads (work/s, on vs off)",
                         on, off, statistics.median(ratios[mode]),
                         ">= 0.99" if mode == ours else "report"))
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pairs", type=int, default=15)
    parser.add_argument("--threads", type=int, nargs="+", default=[2, 4])
    parser.add_argument("--work", type=int, default=8_000_000,
                        help="loop iterations per run, split over the threads")
    parser.add_argument("--bare", action="store_true",
                        help="switch on without sink or report_fd (no agent thread)")
    args = parser.parse_args()
    micro = subprocess.run([sys.executable, "-c", MICRO], capture_output=True, text=True,
                           timeout=300, cwd="/")
    if micro.returncode != 0:
        sys.exit(f"benchmark child failed:\n{micro.stderr}")
    micro = json.loads(micro.stdout.splitlines()[-1])
    print(f"one GIL release + re-acquire (os.sched_yield): off {micro['off']:.0f} ns; "
          f"timeline off (the budget) {micro['on']:.0f} ns, hooks add "
          f"{micro['on'] - micro['off']:.0f} ns; timeline ring of 65,536 on "
          f"{micro['ring']:.0f} ns, hooks add {micro['ring'] - micro['off']:.0f} ns")
    ours = "bare" if args.bare else "on"
    modes = ["off", ours] + (["gilknocker"] if gilknocker_available() else [])
    for threads in args.threads:
        results, ratios = compare(threads, args.pairs, args.work, modes)
        for mode in modes[1:]:
            on = [r["throughput"] for r in results[mode]]
            offs = [r["throughput"] for r in results["off"]]
            cpu_ratios = [a["per_cpu"] / b["per_cpu"] for a, b in zip(results[mode], results["off"])]
            print(f"{mode}, {threads} threads, {args.pairs} rounds: median {mode}/off throughput "
                  f"ratio {statistics.median(ratios[mode]):.4f} "
                  f"(rounds {min(ratios[mode]):.3f}-{max(ratios[mode]):.3f}); "
                  f"median off {statistics.median(offs):,.0f}/s, {mode} "
                  f"{statistics.median(on):,.0f}/s; work per CPU second, median ratio "
                  f"{statistics.median(cpu_ratios):.4f}; best {mode} / best off "
                  f"{max(on) / max(offs):.4f}")


if __name__ == "__main__":
    main()
