# Run by test_metrics.py: a monitor reporting every 0.2 s over two named
# workers and a stream of short-lived request threads, scraped over
# loopback and read by OpenTelemetry's in-memory reader; prints JSON.
import json, re, threading, time, urllib.request
import vandrel
from vandrel import metrics
from prometheus_client import CollectorRegistry, start_http_server
from prometheus_client.parser import text_string_to_metric_families
from opentelemetry.sdk.metrics import MeterProvider
from opentelemetry.sdk.metrics.export import InMemoryMetricReader

stop = threading.Event()


def spin():
    while not stop.is_set():
        sum(range(2000))


def hog():
    re.match(r"(a+)+$", "a" * 21 + "b")     # one long hold


workers = [threading.Thread(target=spin, name=f"worker-{i}") for i in (1, 2)]
monitor = vandrel.GilMonitor(report_period=0.2, long_hold_threshold=0.02)
registry = CollectorRegistry()
metrics.prometheus_collector(monitor, registry=registry, max_groups=2)
reader = InMemoryMetricReader()
metrics.observe_with_opentelemetry(monitor, meter_provider=MeterProvider(metric_readers=[reader]))
server, _ = start_http_server(0, addr="127.0.0.1", registry=registry)
monitor.start()
for worker in workers:
    worker.start()
for i in range(30):
    request = threading.Thread(target=sum, args=(range(20000),), name=f"request-{i}")
    request.start()
    request.join()
hog()
time.sleep(0.5)
stop.set()
for worker in workers:
    worker.join()
time.sleep(0.3)                               # one report after the workers ended
port = server.server_address[1]
scraped = urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics", timeout=10).read().decode()
report = monitor.report()
otel = {}
for resource in reader.get_metrics_data().resource_metrics:
    for scope in resource.scope_metrics:
        for metric in scope.metrics:
            for point in metric.data.data_points:
                otel[metric.name + "|" + ",".join(map(str, point.attributes.values()))] = point.value
monitor.stop()
server.shutdown()
samples = {}
for family in text_string_to_metric_families(scraped):
    for sample in family.samples:
        key = sample.name + "|" + ",".join(f"{k}={v}" for k, v in sorted(sample.labels.items()))
        samples[key] = sample.value
print(json.dumps({"samples": samples, "otel": otel, "report": {
    "wall_s": report.wall_s, "held_s": report.held_s, "wait_s": report.wait_s,
    "switches": report.switches, "wait_count": report.wait_count,
    "hold_count": report.hold_count, "long_hold_count": report.long_hold_count,
    "wait_buckets": report.wait_buckets, "hold_p99_s": report.hold_p99_s,
    "groups": [g.name for g in report.groups],
    "threads": [t.name for t in report.threads]}}))
