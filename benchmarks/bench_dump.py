"""Speed of the reference agent's all-thread stack dump.

    python benchmarks/bench_dump.py [--repeat N] [--order interleaved|blocks]

Two comparisons, each measured in one process, output to /dev/null,
medians over the repetitions.  By default the two contenders alternate
call by call, so each dump finds the caches as the other left them (a
dump in a real process is cold); --order blocks runs each contender's
repetitions back to back instead (warm caches).

  1. 100 threads x 50 frames: threadsnap.dump_all_threads_stack (the agent)
     vs faulthandler.dump_traceback(all_threads=True).
  2. 1000 threads x 50 frames: the agent vs sys._current_frames() +
     traceback.format_stack for every thread, written out.

The agent is loaded by the benchmark itself (vandrel.load_agent), so a
plain interpreter with the package installed runs it.
"""
import argparse
import faulthandler
import os
import statistics
import sys
import threading
import time
import traceback

import json
import subprocess

import vandrel

FRAMES_PER_THREAD = 50


def park_at(depth, ready, release):
    if depth > 0:
        return park_at(depth - 1, ready, release)
    ready.release()
    release.wait()


def start_threads(count):
    """Start count threads, each parked with exactly FRAMES_PER_THREAD
    Python frames on its stack."""
    ready = threading.Semaphore(0)
    release = threading.Event()
    # Probe how many frames the thread machinery and the wait add.
    probe = threading.Thread(target=park_at, args=(0, ready, release))
    probe.start()
    ready.acquire()
    overhead = len(traceback.extract_stack(sys._current_frames()[probe.ident]))
    release.set()
    probe.join()

    release = threading.Event()
    depth = FRAMES_PER_THREAD - overhead
    threads = [threading.Thread(target=park_at, args=(depth, ready, release), daemon=True)
               for _ in range(count)]
    for thread in threads:
        thread.start()
    for _ in threads:
        ready.acquire()
    frames = sys._current_frames()
    sizes = {len(traceback.extract_stack(frames[t.ident])) for t in threads}
    assert sizes == {FRAMES_PER_THREAD}, sizes
    return threads, release


def time_call(function):
    start = time.perf_counter()
    function()
    return time.perf_counter() - start


def compare(label, agent, other, other_label, repeat, order):
    agent_times, other_times = [], []
    if order == "blocks":
        # Each contender's repetitions back to back: warm caches.
        agent_times = [time_call(agent) for _ in range(repeat)]
        other_times = [time_call(other) for _ in range(repeat)]
    for i in range(repeat if order == "interleaved" else 0):
        # Alternate, so that each call finds the caches as the other
        # contender left them: what a single dump in a busy process sees.
        if i % 2:
            agent_times.append(time_call(agent))
            other_times.append(time_call(other))
        else:
            other_times.append(time_call(other))
            agent_times.append(time_call(agent))
    agent_median = statistics.median(agent_times)
    other_median = statistics.median(other_times)
    pair_ratio = statistics.median(a / o for a, o in zip(agent_times, other_times))
    print(f"{label}:")
    print(f"  agent dump_threads        median {agent_median * 1e3:9.3f} ms")
    print(f"  {other_label:<25} median {other_median * 1e3:9.3f} ms")
    print(f"  ratio of medians {agent_median / other_median:.4f}x, "
          f"median of per-pair ratios {pair_ratio:.4f}x")
    return agent_median, other_median


def idle_then(function, seconds, repeat):
    """Median time of `function` called after `seconds` of sleep each time:
    caches as an idle pause leaves them, with no other code run between."""
    times = []
    for _ in range(repeat):
        time.sleep(seconds)
        times.append(time_call(function))
    return statistics.median(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=21)
    parser.add_argument("--order", choices=["interleaved", "blocks"], default="interleaved",
                        help="interleaved (default): the contenders alternate call by call, "
                             "cold caches; blocks: each one's repetitions back to back")
    parser.add_argument("--json", action="store_true",
                        help="end with one JSON line of the medians, for benchmarks/run.py")
    args = parser.parse_args()

    vandrel.load_agent()
    import threadsnap  # after the agent is loaded

    devnull_fd = os.open(os.devnull, os.O_WRONLY)
    devnull = open(os.devnull, "w")

    def agent_dump():
        assert threadsnap.dump_all_threads_stack(devnull_fd, 0) == 0

    def faulthandler_dump():
        faulthandler.dump_traceback(devnull, all_threads=True)

    def format_stacks():
        frames = sys._current_frames()
        for ident, frame in frames.items():
            devnull.write(f"Thread {ident}:\n")
            devnull.write("".join(traceback.format_stack(frame)))
        devnull.flush()

    print(f"Python {sys.version.split()[0]}, {FRAMES_PER_THREAD} frames per thread, "
          f"{args.repeat} repetitions, {args.order}")
    def with_parked_threads(count, body):
        threads, release = start_threads(count)
        try:
            return body()
        finally:
            release.set()
            for thread in threads:
                thread.join()

    def measure(count, other, other_label):
        return with_parked_threads(count, lambda: compare(
            f"{count} threads", agent_dump, other, other_label, args.repeat, args.order))

    small = measure(100, faulthandler_dump, "faulthandler all_threads")
    idle = None
    if args.order == "interleaved":
        # How much of the agent's time is its caches going cold by itself:
        # the same dump after sleeping as long as faulthandler took.
        idle = with_parked_threads(100, lambda: idle_then(agent_dump, small[1], args.repeat))
        print(f"  agent after {small[1] * 1e3:.1f} ms asleep instead: median {idle * 1e3:.3f} ms")
    large = measure(1000, format_stacks, "_current_frames+format")
    ratio_small, ratio_large = small[0] / small[1], large[0] / large[1]
    print(f"targets: 100 threads <= 0.01x ({'met' if ratio_small <= 0.01 else 'MISSED'}), "
          f"1000 threads <= 0.02x ({'met' if ratio_large <= 0.02 else 'MISSED'})")

    if args.json:
        print(json.dumps({"small": small, "large": large, "idle": idle}))


def run(quick=False):
    """Rows for benchmarks/run.py, measured in a fresh interpreter."""
    done = subprocess.run([sys.executable, __file__, "--json", "--repeat", "7" if quick else "21"],
                          capture_output=True, text=True, timeout=1800)
    if done.returncode != 0:
        sys.exit(f"bench_dump failed:\n{done.stderr}")
    result = json.loads(done.stdout.splitlines()[-1])
    rows = []
    for key, label, target in (
            ("small", "dump 100 threads x 50 frames vs faulthandler (ms)", "<= 0.01"),
            ("large", "dump 1000 threads x 50 frames vs _current_frames+format_stack (ms)",
             "<= 0.02")):
        agent, other = result[key]
        rows.append((label, agent * 1e3, other * 1e3, agent / other, target))
    # The agent's cold time with nothing run between dumps but a pause as
    # long as faulthandler's dump: what is left is its caches going cold.
    agent_idle, other = result["idle"], result["small"][1]
    rows.append(("dump 100 threads x 50 frames after as long asleep (ms)", agent_idle * 1e3,
                 other * 1e3, agent_idle / other, "-"))
    return rows


if __name__ == "__main__":
    main()
