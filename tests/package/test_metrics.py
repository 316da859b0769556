"""vandrel.metrics: the report's figures as Prometheus and OpenTelemetry
see them, read from a running monitor."""
import json
import math

import pytest

from child import check_child, child_program
from conftest import needs_interceptor

pytestmark = needs_interceptor


def test_package_import_brings_no_metrics_backend():
    done = check_child("""
        import sys, vandrel, vandrel.metrics
        print(sorted(m for m in sys.modules if m.split(".")[0] in ("prometheus_client",
                                                                  "opentelemetry")))
    """)
    assert done.stdout == "[]\n", done.stdout


def test_scrape_and_otel_reader_match_the_report():
    pytest.importorskip("prometheus_client")
    pytest.importorskip("opentelemetry.sdk.metrics")
    done = check_child(child_program("metrics_scrape"), timeout=60)
    seen = json.loads(done.stdout)
    samples, otel, report = seen["samples"], seen["otel"], seen["report"]
    period = 0.2

    def sample(name, **labels):
        return samples[name + "|" + ",".join(f"{k}={v}" for k, v in sorted(labels.items()))]

    # The scrape read the latest periodic report: at most a period before
    # the one the program took right after it.
    observed = sample("vandrel_gil_observed_seconds_total")
    assert report["wall_s"] - period - 0.1 <= observed <= report["wall_s"], (observed, report)
    assert sample("vandrel_gil_switches_total") <= report["switches"]
    assert 1 <= sample("vandrel_gil_long_holds_total") <= report["long_hold_count"]

    # Labels are bounded: two groups, then everything else in "(other)";
    # within one scrape the groups add up to the whole.
    groups = {key.split("thread_group=")[1] for key in samples
              if key.startswith("vandrel_gil_held_seconds_total|")}
    assert len(groups) == 3 and "(other)" in groups, groups
    held = sum(sample("vandrel_gil_held_seconds_total", thread_group=g) for g in groups)
    assert math.isclose(held, sample("vandrel_gil_hold_duration_seconds_sum"), rel_tol=1e-9)

    # Histograms: the agent's 20 bounds, cumulative, +Inf equal to the count.
    for kind in ("wait", "hold"):
        name = f"vandrel_gil_{kind}_duration_seconds"
        buckets = sorted((float(key.split("le=")[1]), value) for key, value in samples.items()
                         if key.startswith(name + "_bucket|"))
        assert len(buckets) == 21 and buckets[-1][0] == math.inf, buckets
        counts = [value for _, value in buckets]
        assert counts == sorted(counts) and counts[-1] == sample(name + "_count") > 0, buckets
    assert [b for b, _ in report["wait_buckets"]] == [
        float(key.split("le=")[1]) for key in sorted(
            (k for k in samples if k.startswith("vandrel_gil_wait_duration_seconds_bucket|")
             and not k.endswith("+Inf")), key=lambda k: float(k.split("le=")[1]))]

    # OpenTelemetry: the same figures, percentiles as gauges, a label per group.
    assert report["wall_s"] - period - 0.1 <= otel["vandrel.gil.observed|"] <= report["wall_s"]
    assert {"worker-*", "request-*", "MainThread"} <= {
        key.split("|")[1] for key in otel if key.startswith("vandrel.gil.held|")}, otel
    for kind in ("wait", "hold"):
        quantiles = [otel[f"vandrel.gil.{kind}.{q}|"] for q in ("p50", "p90", "p99", "max")]
        assert quantiles == sorted(quantiles) and quantiles[-1] > 0, quantiles
