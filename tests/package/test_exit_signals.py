"""SIGTERM and SIGHUP under `python -m vandrel run --gil-report --gil-trace`:
the outputs are written, then the program ends as the signal would have
ended it without the agent."""
import signal
import time

import pytest

from child import start_python
from conftest import needs_interceptor
from trace_files import gil_holders, read_trace, spans_of


SERVER = """
import threading, time
def spin():
    while True:
        deadline = time.monotonic() + 0.01
        while time.monotonic() < deadline:
            pass
        time.sleep(0.001)
for n in range(2):
    threading.Thread(target=spin, daemon=True, name=f"spin-{n}").start()
print("running", flush=True)
while True:
    time.sleep(0.05)
"""

# A thread that keeps the GIL for good: a C call through PyDLL.
STUCK = """
import ctypes, threading, time
libc = ctypes.PyDLL(None)
go = threading.Event()
def hold():
    go.wait()
    libc.sleep(1000)
threading.Thread(target=hold, daemon=True, name="holder").start()
print("running", flush=True)
go.set()
while True:
    time.sleep(0.05)
"""

OWN_HANDLER = """
import signal, sys, threading, time
signal.signal(signal.SIGTERM, lambda signum, frame: sys.exit(7))
print("running", flush=True)
while True:
    time.sleep(0.05)
"""


def run_and_signal(tmp_path, source, signum, *, agent=True, after=1.5, **popen):
    """Start `source` (under the launcher with a report and a trace file
    when `agent`), send `signum` once it runs for `after` s; return its
    exit status, stderr and the seconds from the signal to its end."""
    script = tmp_path / "app.py"
    script.write_text(source)
    args = ["-m", "vandrel", "run", "--gil-report", str(tmp_path / "r.txt"), "--gil-trace",
            str(tmp_path / "t.json"), str(script)] if agent else [str(script)]
    child = start_python(args, **popen)
    try:
        assert child.stdout.readline() == b"running\n"
        time.sleep(after)
        sent = time.monotonic()
        child.send_signal(signum)
        child.wait(timeout=30)
        took = time.monotonic() - sent
        return child.returncode, child.stderr.read().decode(), took
    finally:
        child.kill()
        child.wait()


def check_outputs(tmp_path):
    report = (tmp_path / "r.txt").read_text()
    assert report.startswith("GIL report (final)"), report
    names, spans = spans_of(read_trace(tmp_path / "t.json"))
    assert {"spin-0", "spin-1"} <= gil_holders(spans), spans
    return names, spans


@needs_interceptor
@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGHUP])
def test_a_stopping_signal_writes_the_outputs_and_ends_the_program_as_it_would(tmp_path,
                                                                              signum):
    without, _, _ = run_and_signal(tmp_path, SERVER, signum, agent=False, after=0.2)
    status, err, _ = run_and_signal(tmp_path, SERVER, signum)
    assert status == without == -signum, (status, without, err)
    assert err == "", err
    check_outputs(tmp_path)


@needs_interceptor
@pytest.mark.timing
def test_a_thread_that_never_lets_go_of_the_gil_costs_only_the_report(tmp_path):
    status, err, took = run_and_signal(tmp_path, STUCK, signal.SIGTERM, after=1.0)
    assert status == -signal.SIGTERM, (status, err)
    # Within 2 s (1 s for the report, then the rest): a generous bound here.
    assert took < 5, took
    assert err == (f"vandrel: SIGTERM: the final GIL report was not written to "
                   f"{str(tmp_path / 'r.txt')!r}: no thread let go of the GIL within 1 s\n"), err
    # The trace needs no GIL: it is closed.
    names, _ = spans_of(read_trace(tmp_path / "t.json"))
    assert names, names


@needs_interceptor
def test_a_program_s_own_handler_keeps_the_signal(tmp_path):
    status, err, _ = run_and_signal(tmp_path, OWN_HANDLER, signal.SIGTERM, after=0.3)
    # Its handler ran (exit 7); its normal exit wrote the outputs.
    assert status == 7, (status, err)
    assert (tmp_path / "r.txt").read_text().startswith("GIL report (final)")
    spans_of(read_trace(tmp_path / "t.json"))


@needs_interceptor
def test_an_ignored_signal_stays_ignored(tmp_path):
    # Like nohup: SIGHUP ignored before the program starts.
    def ignore_hangup():
        signal.signal(signal.SIGHUP, signal.SIG_IGN)

    script = tmp_path / "app.py"
    script.write_text(SERVER)
    child = start_python(["-m", "vandrel", "run", "--gil-report", str(tmp_path / "r.txt"),
                          str(script)], preexec_fn=ignore_hangup)
    try:
        assert child.stdout.readline() == b"running\n"
        child.send_signal(signal.SIGHUP)
        time.sleep(1.5)
        assert child.poll() is None
        child.send_signal(signal.SIGTERM)
        assert child.wait(timeout=30) == -signal.SIGTERM
    finally:
        child.kill()
        child.wait()
    assert (tmp_path / "r.txt").read_text().startswith("GIL report (final)")
