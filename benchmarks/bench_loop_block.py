"""The event-loop watcher (vandrel.watch_event_loops):

- accuracy: a loop under a normal load of short tasks, with blocks of
  0.12 to 0.3 s injected at known lines (time.sleep and CPU loops,
  threshold 0.1 s): blocks found at their line against those injected, and
  places reported that were not injected (false reports);
- the watcher's own CPU time: process CPU with the watcher on minus off,
  over an idle loop's 3 s (5 rounds, alternating), as a share of one core;
- an aiohttp server's throughput (quick requests, 16 concurrent clients
  over loopback) with the watcher on and off, and with asyncio's debug
  mode on, interleaved rounds of fresh servers, median of the per-round
  ratios and their spread.

Prints, on stderr, what asyncio's debug mode and the watcher each say of
the same blocking route."""
import asyncio
import json
import os
import subprocess
import sys
import time

from common import median

ACCURACY = r"""
import asyncio, json, random, time, vandrel
random.seed(7)
def spin(seconds):
    end = time.perf_counter() + seconds
    while time.perf_counter() < end:  # LINE spin
        pass
async def sleeps(seconds):
    time.sleep(seconds)  # LINE sleep
def work(seconds):
    end = time.perf_counter() + seconds
    while time.perf_counter() < end:
        pass
async def worker():
    while True:
        await asyncio.sleep(random.random() * 0.005)
        work(0.0002)
async def main():
    workers = [asyncio.create_task(worker()) for _ in range(200)]
    injected = []
    for index in range(BLOCKS):
        await asyncio.sleep(0.15)
        seconds = random.uniform(0.12, 0.3)
        if index % 2:
            spin(seconds)
            injected.append("spin")
        else:
            await sleeps(seconds)
            injected.append("sleep")
    await asyncio.sleep(0.15)
    for task in workers:
        task.cancel()
    return injected
watcher = vandrel.watch_event_loops(0.1)
injected = asyncio.run(main())
print(json.dumps({"injected": injected, "report": watcher.stop().to_dict()}))
"""

IDLE = r"""
import asyncio, os, sys, time, vandrel
on = sys.argv[1] == "on"
watcher = vandrel.watch_event_loops(0.1) if on else None
async def main():
    await asyncio.sleep(0.3)
    start, cpu = time.monotonic(), time.process_time()
    await asyncio.sleep(3.0)
    return (time.process_time() - cpu) / (time.monotonic() - start)
print(asyncio.run(main()))
"""

SERVER = r"""
import asyncio, sys, time
from aiohttp import web
mode = sys.argv[1]
if mode == "watcher":
    import vandrel
    watcher = vandrel.watch_event_loops(0.1)
async def fast(request):
    return web.Response(text="fast")
async def slow(request):
    time.sleep(0.2)
    return web.Response(text="slow")
async def main():
    app = web.Application()
    app.add_routes([web.get("/fast", fast), web.get("/slow", slow)])
    runner = web.AppRunner(app, access_log=None)
    await runner.setup()
    site = web.TCPSite(runner, "127.0.0.1", 0)
    await site.start()
    print(site._server.sockets[0].getsockname()[1], flush=True)
    await asyncio.get_running_loop().run_in_executor(None, sys.stdin.readline)
    await runner.cleanup()
asyncio.run(main(), debug=(mode == "debug"))
if mode == "watcher":
    sys.stderr.write(str(watcher.stop()))
"""


def lines_marked(source):
    return {line.split("# LINE ")[1].strip(): number
            for number, line in enumerate(source.splitlines(), 1) if "# LINE " in line}


def accuracy(blocks):
    source = f"BLOCKS = {blocks}\n" + ACCURACY
    done = subprocess.run([sys.executable, "-c", source], capture_output=True, text=True,
                          timeout=120, check=True)
    result = json.loads(done.stdout)
    lines = lines_marked(source)
    counts = {place["line"]: place["count"] for place in result["report"]["places"]}
    for place in result["report"]["places"]:
        if place["line"] not in lines.values():
            sys.stderr.write(f"# not injected: line {place['line']} in {place['function']}, "
                             f"{place['count']} x, max {place['max_s'] * 1000:.0f} ms\n")
    found = sum(min(counts.get(lines[kind], 0), result["injected"].count(kind))
                for kind in ("spin", "sleep"))
    false = sum(count for line, count in counts.items() if line not in lines.values())
    false += sum(max(0, counts.get(lines[kind], 0) - result["injected"].count(kind))
                 for kind in ("spin", "sleep"))
    return found, len(result["injected"]), false


def idle_cpu(rounds):
    shares = {"on": [], "off": []}
    for _ in range(rounds):
        for mode in ("on", "off"):
            done = subprocess.run([sys.executable, "-c", IDLE, mode], capture_output=True,
                                  text=True, timeout=60, check=True)
            shares[mode].append(float(done.stdout))
    return median(shares["on"]), median(shares["off"])


async def load(port, seconds, concurrency=16):
    import aiohttp
    count = 0
    deadline = time.monotonic() + seconds
    async with aiohttp.ClientSession() as session:
        async def client():
            nonlocal count
            while time.monotonic() < deadline:
                async with session.get(f"http://127.0.0.1:{port}/fast") as response:
                    await response.read()
                count += 1
        await asyncio.gather(*(client() for _ in range(concurrency)))
    return count / seconds


def serve(mode):
    server = subprocess.Popen([sys.executable, "-c", SERVER, mode], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    port = int(server.stdout.readline())
    return server, port


def finish(server):
    server.stdin.close()
    text = server.stderr.read()
    server.wait(timeout=30)
    return text


def throughput(rounds, seconds):
    rates = {"off": [], "watcher": [], "debug": []}
    order = list(rates)
    for index in range(rounds):
        for mode in order[index % 3:] + order[:index % 3]:
            server, port = serve(mode)
            asyncio.run(load(port, 0.3))                    # warm up
            rates[mode].append(asyncio.run(load(port, seconds)))
            finish(server)
    return rates


def what_each_tells():
    """The same blocking route under asyncio's debug mode and the watcher."""
    import urllib.request
    for mode in ("debug", "watcher"):
        server, port = serve(mode)
        urllib.request.urlopen(f"http://127.0.0.1:{port}/slow").read()
        text = finish(server)
        sys.stderr.write(f"--- {mode} on GET /slow:\n{text}\n")


def run(quick=False):
    rows = []
    found, injected, false = accuracy(6 if quick else 20)
    rows.append((f"loop blocks 0.12-0.3 s found at their line (of {injected})", found, injected,
                 found / injected, "= 1"))
    rows.append(("loop blocks reported that were not injected (normal load)", false, 0,
                 float(false), "= 0"))
    on, off = idle_cpu(2 if quick else 5)
    rows.append(("watcher's own CPU, idle loop (share of a core, on vs off)", on, off,
                 (on - off) / 0.01, "<= 1 (added <= 1 %)"))
    try:
        import aiohttp  # noqa: F401
    except ImportError:
        sys.stderr.write("# bench_loop_block: aiohttp not installed, throughput skipped\n")
        return rows
    rates = throughput(3 if quick else 9, 1.0 if quick else 2.0)
    for mode, label in (("watcher", "watcher on"), ("debug", "asyncio debug mode")):
        ratios = sorted(on / off for on, off in zip(rates[mode], rates["off"]))
        sys.stderr.write(f"# {label}: per-round ratios {', '.join(f'{r:.3f}' for r in ratios)}\n")
        rows.append((f"aiohttp throughput, {label} vs off (req/s; spread "
                     f"{ratios[0]:.2f}-{ratios[-1]:.2f})", median(rates[mode]),
                     median(rates["off"]), median(ratios),
                     ">= 0.95" if mode == "watcher" else "report"))
    what_each_tells()
    return rows


if __name__ == "__main__":
    for row in run(quick="--quick" in sys.argv):
        print(row)
