"""`python -m vandrel run --gil-metrics-port`: Prometheus's /metrics from
the interceptor's periodic reports, scraped over loopback; and what makes
the option a usage error before the program starts."""
import json
import re
import shutil
import signal
import socket
import subprocess
import sys
import time
import urllib.request

import pytest

from child import child_program, start, start_python
from conftest import needs_interceptor
from vandrel import cli

pytestmark = needs_interceptor

METRICS_LINE = re.compile(r"^vandrel: GIL metrics at (?P<url>http://\S+/metrics) "
                          r"\(renewed every (?P<period>[\d.]+) s\)$")
FINAL = re.compile(r"GIL report \(final\): wall (?P<wall>[\d.]+) s, held (?P<held>[\d.]+) s "
                   r"\([\d.]+%\), waited (?P<wait>[\d.]+) s, (?P<switches>\d+) switch")


def scrape(url):
    from prometheus_client.parser import text_string_to_metric_families
    with urllib.request.urlopen(url, timeout=10) as response:
        body = response.read().decode()
    samples = {}
    for family in text_string_to_metric_families(body):
        for sample in family.samples:
            samples.setdefault(sample.name, []).append((sample.labels, sample.value))
    return samples


def total(samples, name):
    return sum(value for _, value in samples[name])


def run_with_metrics(tmp_path, *options):
    """Start the child program under the launcher with --gil-metrics-port
    on a free loopback port; return (process, metrics URL, period) once
    the program is idle."""
    program = tmp_path / "program.py"
    program.write_text(child_program("metrics_port_program"))
    proc = start_python(["-m", "vandrel", "run", "--gil-metrics-port", "0",
                         "--gil-report", "report.txt", *options, str(program)],
                        cwd=tmp_path, stdin=subprocess.PIPE, text=True)
    line = proc.stderr.readline().rstrip("\n")
    announced = METRICS_LINE.match(line)
    assert announced, (line, proc.stderr.read() if proc.poll() is not None else "")
    assert proc.stdout.readline() == "idle\n"
    return proc, announced["url"], float(announced["period"])


def finish(proc):
    proc.stdin.close()
    assert proc.wait(timeout=60) == 0, proc.stderr.read()
    return proc.stderr.read()


def test_scraped_counters_are_the_final_report_s_within_a_period(tmp_path):
    pytest.importorskip("prometheus_client")
    proc, url, period = run_with_metrics(tmp_path, "--gil-period", "0.1")
    try:
        assert url.startswith("http://127.0.0.1:") and period == 0.1
        time.sleep(2 * period)          # a report made since the program went idle
        for _ in range(3):              # three scrapes, one thread serving them
            samples = scrape(url)
        scraped_at = time.monotonic()
        stderr = finish(proc)
        lasted = time.monotonic() - scraped_at
    finally:
        proc.kill()
        proc.wait()
    text = (tmp_path / "report.txt").read_text()
    final = FINAL.search(text)
    assert final, text
    observed = total(samples, "vandrel_gil_observed_seconds_total")
    held = total(samples, "vandrel_gil_held_seconds_total")
    # The scrape read a report at most a period old; the final one came
    # after it, the program idle meanwhile.
    late = float(final["wall"]) - observed
    assert 0 <= late <= period + lasted + 0.05, (late, lasted)
    # The GIL was held no longer than the time that passed (3 decimals in the text).
    assert -0.0005 <= float(final["held"]) - held <= late + 0.0005, (held, final.group(0))
    assert held > 0.1 and total(samples, "vandrel_gil_wait_seconds_total") > 0, samples
    assert total(samples, "vandrel_gil_switches_total") <= int(final["switches"])
    groups = {labels["thread_group"] for labels, _ in samples["vandrel_gil_held_seconds_total"]}
    assert "spinner-*" in groups and "MainThread" in groups, groups
    # The scrapes were served by one thread: a row, not a group of requests.
    assert "  vandrel-metrics " in text and "Thread-" not in text, text
    assert text.count("GIL report (periodic)") >= 3, text
    assert "Traceback" not in stderr, stderr


@pytest.mark.parametrize("given, message", [
    ("70000", "the port must be a number from 0 to 65535"),
    ("localhost:http", "the port must be a number from 0 to 65535"),
    (":9100", "no address before the colon"),
    ("::1:9100", "put an IPv6 address in brackets"),
    ("192.0.2.1:9100", "cannot listen on 192.0.2.1:9100"),  # not this machine's
])
def test_a_bad_address_is_a_usage_error_before_the_program(tmp_path, capsys, given, message):
    ran = tmp_path / "ran"
    with pytest.raises(SystemExit) as exited:
        cli.main(["run", "--gil-metrics-port", given, "-c", f"open({str(ran)!r}, 'w')"])
    assert exited.value.code == 2
    assert message in capsys.readouterr().err
    assert not ran.exists()


def test_a_port_in_use_or_no_prometheus_client_is_a_usage_error(tmp_path, capsys, monkeypatch):
    pytest.importorskip("prometheus_client")
    ran = tmp_path / "ran"
    program = ["-c", f"open({str(ran)!r}, 'w')"]
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        with pytest.raises(SystemExit) as exited:
            cli.main(["run", "--gil-metrics-port", str(port), *program])
    assert exited.value.code == 2
    assert f"cannot listen on 127.0.0.1:{port}: Address already in use" in capsys.readouterr().err
    monkeypatch.setitem(sys.modules, "prometheus_client", None)
    with pytest.raises(SystemExit) as exited:
        cli.main(["run", "--gil-metrics-port", "127.0.0.1:0", *program])
    assert exited.value.code == 2
    assert "pip install 'vandrel[prometheus]'" in capsys.readouterr().err
    assert not ran.exists()


@pytest.mark.slow
def test_without_a_period_the_metrics_renew_every_second_and_the_text_is_final_only(tmp_path):
    # Ended by SIGTERM, as a service is: the one text report is still written.
    pytest.importorskip("prometheus_client")
    proc, url, period = run_with_metrics(tmp_path)
    try:
        assert period == 1
        time.sleep(1.2)
        samples = scrape(url)
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(timeout=30) == -signal.SIGTERM, proc.stderr.read()
    finally:
        proc.kill()
        proc.wait()
    assert total(samples, "vandrel_gil_observed_seconds_total") >= 0.9, samples
    text = (tmp_path / "report.txt").read_text()
    assert text.startswith("GIL report (final)") and text.count("GIL report (") == 1, text


@pytest.mark.slow
@pytest.mark.skipif(shutil.which("prometheus") is None, reason="no prometheus server on PATH")
def test_a_prometheus_server_scrapes_the_port(tmp_path):
    # A real server (Debian's `prometheus` package), scraping every second.
    pytest.importorskip("prometheus_client")
    proc, url, period = run_with_metrics(tmp_path, "--gil-period", "0.2")
    server = None
    try:
        with socket.socket() as free:
            free.bind(("127.0.0.1", 0))
            api_port = free.getsockname()[1]
        target = url.split("//", 1)[1].split("/", 1)[0]
        (tmp_path / "prometheus.yml").write_text(
            "global:\n  scrape_interval: 1s\n"
            "scrape_configs:\n  - job_name: vandrel\n"
            f"    static_configs:\n      - targets: ['{target}']\n")
        server = start(
            ["prometheus", f"--config.file={tmp_path / 'prometheus.yml'}",
             f"--storage.tsdb.path={tmp_path / 'data'}",
             f"--web.listen-address=127.0.0.1:{api_port}"], cwd=tmp_path)
        query = (f"http://127.0.0.1:{api_port}/api/v1/query?query="
                 "vandrel_gil_observed_seconds_total")
        value = None
        deadline = time.monotonic() + 60
        while value is None and time.monotonic() < deadline:
            time.sleep(0.5)
            try:
                with urllib.request.urlopen(query, timeout=5) as response:
                    result = json.load(response)["data"]["result"]
            except OSError:
                continue                # not listening yet
            if result:
                value = float(result[0]["value"][1])
        assert value is not None, "prometheus scraped nothing in 60 s"
        finish(proc)
    finally:
        if server is not None:
            server.terminate()
            server.wait(timeout=30)
        proc.kill()
        proc.wait()
    final = FINAL.search((tmp_path / "report.txt").read_text())
    assert 0 < value <= float(final["wall"]), (value, final.group(0))
