"""Thread churn with the GIL interceptor on: threads started and joined at
full speed, a 1 ms ticker beside them.

    python benchmarks/bench_gil_churn.py [--rounds N] [--threads N]

Each round is a fresh process, with the interceptor on (a sink, a report
every second, a timeline ring of 65,536 transitions) or off, alternating.  Per round: throughput (threads started
and joined per second), the agent thread's CPU time as a share of wall time
(from /proc/self/task/<tid>/stat), and the ticker's 99th-percentile
lateness.  Medians over the rounds.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import textwrap

CHILD = textwrap.dedent(
    """
    import ctypes, importlib.util, json, os, sys, threading, time
    mode, count, capacity = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    agent = os.path.join(list(importlib.util.find_spec("vandrel").submodule_search_locations)[0],
                         "vandrel_agent.so")
    ctypes.CDLL(agent, mode=os.RTLD_GLOBAL)
    import lockgauge

    stop = threading.Event()
    lateness = []
    def ticker():
        deadline = time.perf_counter()
        while not stop.is_set():
            deadline += 0.001
            delay = deadline - time.perf_counter()
            if delay > 0:
                time.sleep(delay)
            late = time.perf_counter() - deadline
            lateness.append(late)
            if late > 0.001:
                deadline = time.perf_counter()
    tick = threading.Thread(target=ticker, name="ticker")
    tick.start()
    reports = []
    if mode == "on":
        assert lockgauge.init_gil_interceptor(reports.append, 0, 1000, -1, 0, capacity, 0) == 0
    def cpu_ticks(tid):
        with open(f"/proc/self/task/{tid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return int(fields[11]) + int(fields[12])  # utime + stime
    known = {t.native_id for t in threading.enumerate()}
    others = [int(t) for t in os.listdir("/proc/self/task") if int(t) not in known]
    before = {tid: cpu_ticks(tid) for tid in others}
    start = time.perf_counter()
    done = 0
    while done < count:
        batch = [threading.Thread(target=lambda: None) for _ in range(50)]
        for t in batch:
            t.start()
        for t in batch:
            t.join()
        done += len(batch)
    wall = time.perf_counter() - start
    agent_cpu = 0.0
    for tid in others:
        try:
            agent_cpu += (cpu_ticks(tid) - before[tid]) / os.sysconf("SC_CLK_TCK")
        except OSError:
            pass
    if mode == "on":
        assert lockgauge.deinit_gil_interceptor() == 0
    stop.set()
    tick.join()
    lateness.sort()
    print(json.dumps({"throughput": count / wall, "agent_share": agent_cpu / wall,
                      "p99_ms": 1000 * lateness[int(0.99 * (len(lateness) - 1))],
                      "agents": len(others)}))
    """
)


# The benchmark runs with everything on, a timeline ring included.
RING = 65536


def run_once(mode, count, capacity):
    proc = subprocess.run([sys.executable, "-c", CHILD, mode, str(count), str(capacity)],
                          capture_output=True, text=True, timeout=600, cwd="/")
    if proc.returncode != 0:
        sys.exit(f"benchmark child failed:\n{proc.stderr}")
    return json.loads(proc.stdout.splitlines()[-1])


def measure(rounds=21, count=10000, capacity=RING):
    """Per-round results, on and off alternating (the first mode alternates
    too); `capacity` is the timeline ring's (0: no timeline)."""
    results = {"on": [], "off": []}
    for round_ in range(rounds):
        order = ("off", "on") if round_ % 2 == 0 else ("on", "off")
        for mode in order:
            results[mode].append(run_once(mode, count, capacity))
    return results


def summary(results):
    ratios = [on["throughput"] / off["throughput"] for on, off in zip(results["on"], results["off"])]
    return {
        "ratio": statistics.median(ratios),
        "on": statistics.median(r["throughput"] for r in results["on"]),
        "off": statistics.median(r["throughput"] for r in results["off"]),
        "agent_share": statistics.median(r["agent_share"] for r in results["on"]),
        "p99_on_ms": statistics.median(r["p99_ms"] for r in results["on"]),
        "p99_off_ms": statistics.median(r["p99_ms"] for r in results["off"]),
    }


def run(quick=False):
    """Rows for benchmarks/run.py."""
    s = summary(measure(rounds=5 if quick else 21, count=2000 if quick else 10000))
    return [
        ("thread churn, interceptor on vs off (threads/s)", s["on"], s["off"], s["ratio"],
         ">= 0.95"),
        ("thread churn, agent thread CPU share of wall (on)", s["agent_share"], 0.01,
         s["agent_share"] / 0.01, "<= 1"),
        ("thread churn, 1 ms ticker p99 lateness (ms, on vs off)", s["p99_on_ms"],
         s["p99_off_ms"], s["p99_on_ms"] / (1.5 * s["p99_off_ms"] + 2.0), "<= 1 (on <= 1.5 off + 2 ms)"),
    ]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=21)
    parser.add_argument("--threads", type=int, default=10000)
    args = parser.parse_args()
    print(json.dumps(summary(measure(args.rounds, args.threads)), indent=1))


if __name__ == "__main__":
    main()
