"""The GIL interceptor's figures for dashboards: Prometheus and OpenTelemetry.

Both read the latest report of a running ``GilMonitor`` (or of any callable
that returns a ``GilReport`` or None) when they are collected, so the
figures are at most one reporting period old.  Nothing here imports
``prometheus_client`` or ``opentelemetry`` until one of them is asked for:
they come with the ``vandrel[prometheus]`` and ``vandrel[otel]`` extras.

Threads are labelled by group, the thread name with its last run of digits
replaced by ``*`` (as the report groups finished threads), so that a server
starting a thread per request has one series per kind of thread.  At most
``max_groups`` groups get their own label, the first seen keeping it; the
rest share ``(other)``.  Counters stay monotonic: a finished thread's
figures move into its group, under the same label.
"""
from __future__ import annotations

import re
import threading
from typing import Any, Callable, Dict, Iterator, List, Optional, Tuple, Union

from vandrel._monitor import GilMonitor
from vandrel._report import GilReport
from vandrel._version import __version__

__all__ = ["GilCollector", "prometheus_collector", "observe_with_opentelemetry",
           "OTHER_GROUP", "thread_group"]

#: The label of the groups beyond ``max_groups``.
OTHER_GROUP = "(other)"
_LAST_DIGITS = re.compile(r"\d+(?=\D*$)")

ReportSource = Callable[[], Optional[GilReport]]


def thread_group(name: str) -> str:
    """The group of a thread name: its last run of digits replaced by ``*``
    (``Thread-7 (handle)`` -> ``Thread-* (handle)``)."""
    return _LAST_DIGITS.sub("*", name, count=1)


def _report_source(source: Union[GilMonitor, ReportSource]) -> ReportSource:
    if isinstance(source, GilMonitor):
        monitor = source

        def latest() -> Optional[GilReport]:
            try:
                return monitor.report()
            except RuntimeError:        # not started yet
                return None
        return latest
    if not callable(source):
        raise TypeError(f"source must be a GilMonitor or a callable returning a GilReport, "
                        f"not {type(source).__name__}")
    return source


class _GroupLabels:
    """Figures per thread group under a bounded set of labels."""

    def __init__(self, max_groups: int) -> None:
        if isinstance(max_groups, bool) or not isinstance(max_groups, int) or max_groups < 1:
            raise ValueError(f"max_groups must be a positive int, got {max_groups!r}")
        self._max = max_groups
        self._known: Dict[str, None] = {}
        self._lock = threading.Lock()

    def label(self, group: str) -> str:
        with self._lock:
            if group in self._known:
                return group
            if len(self._known) < self._max:
                self._known[group] = None
                return group
            return OTHER_GROUP

    def figures(self, report: GilReport) -> Dict[str, List[float]]:
        """label -> [held_s, wait_s, acquisitions], live and finished threads."""
        rows: Dict[str, List[float]] = {}
        named: List[Tuple[str, float, float, int]] = [
            (thread_group(t.name), t.held_s, t.wait_s, t.acquisitions) for t in report.threads]
        named += [(g.name, g.held_s, g.wait_s, g.acquisitions) for g in report.groups]
        # Busiest first, so that the labels go to the groups that matter.
        named.sort(key=lambda row: row[1] + row[2], reverse=True)
        for group, held, wait, acquisitions in named:
            row = rows.setdefault(self.label(group), [0.0, 0.0, 0])
            row[0] += held
            row[1] += wait
            row[2] += acquisitions
        return rows


class GilCollector:
    """A ``prometheus_client`` collector of the GIL interceptor's figures.

    Register it with ``prometheus_client.REGISTRY.register(collector)`` (or
    any ``CollectorRegistry``).  Series, all from the latest report:

    - ``vandrel_gil_observed_seconds_total``: time the interceptor has run;
    - ``vandrel_gil_held_seconds_total``, ``vandrel_gil_wait_seconds_total``
      and ``vandrel_gil_acquisitions_total``, by ``thread_group``;
    - ``vandrel_gil_switches_total``: hand-overs to another thread;
    - ``vandrel_gil_long_holds_total`` and
      ``vandrel_gil_long_hold_seconds_total``: holds over the threshold;
    - ``vandrel_gil_wait_duration_seconds`` and
      ``vandrel_gil_hold_duration_seconds``: histograms of single waits and
      holds, at the agent's 20 bounds (1 us to 5 s).
    """

    def __init__(self, source: Union[GilMonitor, ReportSource], *,
                 max_groups: int = 20) -> None:
        self._source = _report_source(source)
        self._labels = _GroupLabels(max_groups)

    def describe(self) -> List[Any]:
        # Registering must not wait for a report.
        return []

    def collect(self) -> Iterator[Any]:
        from prometheus_client.core import CounterMetricFamily, HistogramMetricFamily
        report = self._source()
        if report is None:
            return
        prefix = "vandrel_gil_"
        observed = CounterMetricFamily(prefix + "observed_seconds",
                                       "Seconds the GIL interceptor has been on")
        observed.add_metric([], report.wall_s)
        yield observed
        per_group = [
            CounterMetricFamily(prefix + "held_seconds", "Seconds threads held the GIL",
                                labels=["thread_group"]),
            CounterMetricFamily(prefix + "wait_seconds", "Seconds threads waited for the GIL",
                                labels=["thread_group"]),
            CounterMetricFamily(prefix + "acquisitions", "Times threads took the GIL",
                                labels=["thread_group"])]
        for label, row in sorted(self._labels.figures(report).items()):
            for family, value in zip(per_group, row):
                family.add_metric([label], value)
        yield from per_group
        switches = CounterMetricFamily(prefix + "switches",
                                       "Times the GIL passed to another thread")
        switches.add_metric([], report.switches)
        yield switches
        if report.long_hold_count is not None and report.long_hold_s is not None:
            long_holds = CounterMetricFamily(
                prefix + "long_holds", "Holds of the GIL longer than the long-hold threshold")
            long_holds.add_metric([], report.long_hold_count)
            yield long_holds
            long_seconds = CounterMetricFamily(
                prefix + "long_hold_seconds", "Seconds of the holds longer than the threshold")
            long_seconds.add_metric([], report.long_hold_s)
            yield long_seconds
        for kind, buckets, count, total in (
                ("wait", report.wait_buckets, report.wait_count, report.wait_s),
                ("hold", report.hold_buckets, report.hold_count, report.held_s)):
            if buckets is None or count is None:
                continue
            histogram = HistogramMetricFamily(
                f"{prefix}{kind}_duration_seconds",
                f"Single {kind}s of the GIL, in seconds (the sum is the {kind} time so far)")
            edges = [(repr(bound), within) for bound, within in buckets]
            histogram.add_metric([], edges + [("+Inf", count)], sum_value=total)
            yield histogram


def prometheus_collector(source: Union[GilMonitor, ReportSource], *,
                         max_groups: int = 20, registry: Any = None) -> GilCollector:
    """A ``GilCollector`` for `source`, registered with `registry`
    (``prometheus_client.REGISTRY`` when None).  Needs ``prometheus_client``."""
    collector = GilCollector(source, max_groups=max_groups)
    if registry is None:
        from prometheus_client import REGISTRY as registry
    registry.register(collector)
    return collector


def observe_with_opentelemetry(source: Union[GilMonitor, ReportSource], *,
                               meter_provider: Any = None, max_groups: int = 20) -> None:
    """Report `source`'s figures through OpenTelemetry's metrics API, as
    observable instruments of a meter named ``vandrel``: counters
    ``vandrel.gil.observed``, ``.held``, ``.wait`` (seconds, by
    ``thread_group``), ``.acquisitions``, ``.switches``, ``.long_holds``,
    and gauges of the percentiles of single waits and holds,
    ``vandrel.gil.wait.p50`` ... ``vandrel.gil.hold.max`` (seconds): the API
    has no asynchronous histogram.  `meter_provider` defaults to the global
    one.  Needs ``opentelemetry-api``."""
    from opentelemetry import metrics
    from opentelemetry.metrics import CallbackOptions, Observation

    latest = _report_source(source)
    labels = _GroupLabels(max_groups)
    provider = meter_provider if meter_provider is not None else metrics.get_meter_provider()
    meter = provider.get_meter("vandrel", __version__)

    def whole(value: Callable[[GilReport], Optional[float]]) -> Callable[..., Any]:
        def observe(_options: CallbackOptions) -> List[Observation]:
            report = latest()
            figure = None if report is None else value(report)
            return [] if figure is None else [Observation(figure)]
        return observe

    def by_group(column: int) -> Callable[..., Any]:
        def observe(_options: CallbackOptions) -> List[Observation]:
            report = latest()
            if report is None:
                return []
            return [Observation(row[column], {"thread_group": label})
                    for label, row in sorted(labels.figures(report).items())]
        return observe

    meter.create_observable_counter("vandrel.gil.observed", [whole(lambda r: r.wall_s)],
                                    unit="s", description="Time the GIL interceptor has run")
    meter.create_observable_counter("vandrel.gil.held", [by_group(0)], unit="s",
                                    description="Time threads held the GIL")
    meter.create_observable_counter("vandrel.gil.wait", [by_group(1)], unit="s",
                                    description="Time threads waited for the GIL")
    meter.create_observable_counter("vandrel.gil.acquisitions", [by_group(2)],
                                    description="Times threads took the GIL")
    meter.create_observable_counter("vandrel.gil.switches", [whole(lambda r: r.switches)],
                                    description="Times the GIL passed to another thread")
    meter.create_observable_counter("vandrel.gil.long_holds",
                                    [whole(lambda r: r.long_hold_count)],
                                    description="Holds of the GIL longer than the threshold")
    def figure(attribute: str) -> Callable[[GilReport], Optional[float]]:
        return lambda report: getattr(report, attribute)

    for kind in ("wait", "hold"):
        for stat in ("p50", "p90", "p99", "max"):
            meter.create_observable_gauge(
                f"vandrel.gil.{kind}.{stat}", [whole(figure(f"{kind}_{stat}_s"))], unit="s",
                description=f"{stat} of single {kind}s of the GIL since the switch-on")
