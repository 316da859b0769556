"""What `python -m vandrel run --gil-trace` costs at exit, against the run's
length: the trace is written while the program runs, so the exit should
cost well under half a second however long the run was.

    python benchmarks/bench_trace_exit.py [--lengths 2 8 15]

Each run is a fresh launcher process running a program whose four threads
hand the GIL over as a busy server's do (short bursts of Python between
short sleeps) for the given seconds; the program prints CLOCK_MONOTONIC
as its last statement, and the exit cost is the time from then to the
process's end, seen by this process on the same clock.  The reference is
the same program under `--gil` alone (the final report, no trace).
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

PROGRAM = """
import sys, threading, time
seconds = float(sys.argv[1])
stop = time.monotonic() + seconds
def work():
    while time.monotonic() < stop:
        deadline = time.perf_counter() + 0.0002
        while time.perf_counter() < deadline:
            pass
        time.sleep(0.0001)
threads = [threading.Thread(target=work, name=f"worker-{n}") for n in range(4)]
for t in threads:
    t.start()
for t in threads:
    t.join()
print(time.monotonic(), flush=True)
"""


def exit_cost(seconds, trace):
    """Seconds from the program's last statement to the process's end, and
    the trace's size in bytes (0 without a trace)."""
    with tempfile.TemporaryDirectory() as directory:
        script = os.path.join(directory, "app.py")
        with open(script, "w") as out:
            out.write(PROGRAM)
        path = os.path.join(directory, "gil.json")
        options = ["--gil-trace", path] if trace else ["--gil"]
        proc = subprocess.Popen([sys.executable, "-m", "vandrel", "run", *options, script,
                                 str(seconds)], stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, cwd="/")
        last = float(proc.stdout.readline())
        proc.wait(timeout=600)
        ended = time.monotonic()
        if proc.returncode != 0:
            sys.exit(f"benchmark child exited {proc.returncode}")
        size = sum(os.path.getsize(os.path.join(directory, name))
                   for name in os.listdir(directory) if name.startswith("gil"))
        return ended - last, size


def measure(lengths):
    rows = []
    for seconds in lengths:
        traced, size = exit_cost(seconds, True)
        plain, _ = exit_cost(seconds, False)
        rows.append({"run_s": seconds, "exit_s": traced, "exit_without_trace_s": plain,
                     "trace_mb": size / 1e6})
    return rows


def run(quick=False):
    """Rows for benchmarks/run.py."""
    rows = []
    for m in measure([1, 3] if quick else [2, 8, 15]):
        rows.append((f"--gil-trace: exit cost after a {m['run_s']} s run of 4 busy threads "
                     f"({m['trace_mb']:.0f} MB of trace) vs --gil alone (s)",
                     m["exit_s"], m["exit_without_trace_s"], m["exit_s"] - m["exit_without_trace_s"],
                     "exit < 0.5 s"))
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lengths", type=float, nargs="+", default=[2, 8, 15])
    args = parser.parse_args()
    print(json.dumps(measure(args.lengths), indent=1))


if __name__ == "__main__":
    main()
