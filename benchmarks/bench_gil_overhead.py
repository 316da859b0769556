"""Throughput cost of the reference agent's GIL interceptor.

Each run is a fresh interpreter that loads the agent, imports lockgauge
and has N threads do a fixed amount of CPU-bound Python work; "on" runs
switch the interceptor on first (default sample period, a sink, a report
every second; with --bare no sink and no report_fd, so no agent thread),
"off" runs do not.  Runs alternate off/on (the order flips
every pair so drift hits both sides), and the figure is the median of the
per-pair throughput ratios on/off.  Work per CPU second of the process is
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

    on, threads, work = sys.argv[1] != "off", int(sys.argv[2]), int(sys.argv[3])
    bare = sys.argv[1] == "bare"
    reports = []

    def burn(n):
        total = 0
        for i in range(n):
            total += i * i % 7
        return total

    burn(10000)  # warm up the specialising interpreter
    if on:
        if bare:  # no sink, no report_fd: no agent thread at all
            status = lockgauge.init_gil_interceptor(None, 0, 0, -1, 0, 0, 0)
        else:
            status = lockgauge.init_gil_interceptor(reports.append, 0, 1000, -1, 0, 0, 0)
        assert status == 0, status
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
    print(json.dumps({"throughput": work / elapsed, "per_cpu": work / cpu,
                      "switches": reports[-1]["switches"] if reports else None}))
    """
)


# One process, interceptor switched on and off in alternating blocks: the
# cost the hooks add to one GIL release + re-acquire (os.sched_yield lets
# go of the GIL and takes it back).  Minimum over blocks, robust to noise.
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

    times = {"off": [], "on": []}
    for i in range(40):
        on = i % 2 == 1
        if on:
            assert lockgauge.init_gil_interceptor(None, 0, 0, -1, 0, 0, 0) == 0
        times["on" if on else "off"].append(block(20000))
        if on:
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
    print(f"one GIL release + re-acquire (os.sched_yield): off {micro['off']:.0f} ns, "
          f"on {micro['on']:.0f} ns, hooks add {micro['on'] - micro['off']:.0f} ns")
    for threads in args.threads:
        ratios, cpu_ratios, offs, ons, switches = [], [], [], [], []
        for pair in range(args.pairs):
            order = (False, True) if pair % 2 == 0 else (True, False)
            result = {}
            for on in order:
                mode = ("bare" if args.bare else "on") if on else "off"
                result[on] = run_once(mode, threads, args.work)
            offs.append(result[False]["throughput"])
            ons.append(result[True]["throughput"])
            switches.append(result[True]["switches"])
            ratios.append(result[True]["throughput"] / result[False]["throughput"])
            cpu_ratios.append(result[True]["per_cpu"] / result[False]["per_cpu"])
        print(f"{threads} threads, {args.pairs} pairs: median on/off throughput ratio "
              f"{statistics.median(ratios):.4f} (pairs {min(ratios):.3f}-{max(ratios):.3f}); "
              f"median off {statistics.median(offs):,.0f}/s, on {statistics.median(ons):,.0f}/s; "
              f"median GIL switches per on-run "
              f"{statistics.median(switches) if None not in switches else 'n/a (no sink)'}; "
              f"work per CPU second, median on/off ratio {statistics.median(cpu_ratios):.4f}; "
              f"best on / best off {max(ons) / max(offs):.4f}")


if __name__ == "__main__":
    main()
