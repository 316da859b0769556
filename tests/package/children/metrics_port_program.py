# Run under `python -m vandrel run --gil-metrics-port ...` by
# test_metrics_port.py: two threads contend for the GIL a moment, then the
# program says "idle" and waits until its stdin is closed.
import sys, threading, time

def spin(seconds):
    end = time.perf_counter() + seconds
    while time.perf_counter() < end:
        pass

workers = [threading.Thread(target=spin, args=(0.15,), name=f"spinner-{i}") for i in range(2)]
for t in workers:
    t.start()
for t in workers:
    t.join()
print("idle", flush=True)
sys.stdin.read()
