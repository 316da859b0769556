"""The free-threaded build (no GIL): the modules and the package leave the
GIL off, the dump reads every thread safely while they really run in
parallel, and the interceptor refuses, naming the missing GIL."""
import json
import os
import re
import sys

import pytest

from child import HERE, NOT_AVAILABLE, child_program, run_python
from conftest import FREE_THREADED

needs_free_threaded = pytest.mark.skipif(
    not FREE_THREADED, reason="a build with a GIL: nothing switches it off to keep off")


def run_result(program, *, timeout=120):
    proc = run_python(["-W", "error", "-c", program], timeout=timeout,
                      env={"PYTHONPATH": str(HERE), "PYTHONDONTWRITEBYTECODE": "1"})
    assert proc.returncode == 0, f"child exited {proc.returncode}\n{proc.stdout}\n{proc.stderr}"
    results = [line[7:] for line in proc.stdout.splitlines() if line.startswith("RESULT ")]
    assert results, proc.stdout + proc.stderr
    return json.loads(results[-1]), proc


@needs_free_threaded
def test_imports_and_dump_leave_the_gil_off_and_the_interceptor_refuses():
    result, proc = run_result(child_program("free_threaded_no_gil"))
    assert proc.stderr == ""  # -W error: no warning got as far as a message either
    assert result["gil"] is False, result
    assert re.match(r'Current thread \d+ "MainThread" \(most recent call first\):\n'
                    r'  File "[^"]*_dumps.py", line \d+ in format_stacks\n'
                    r'  File "<string>", line \d+ in <module>\n$', result["dump"]), result["dump"]
    assert result["status"] == NOT_AVAILABLE, result
    assert "free-threaded build: it has no GIL" in result["refusal"], result


@needs_free_threaded
def test_what_the_suite_imports_leaves_the_gil_off():
    result, proc = run_result(child_program("free_threaded_imports"))
    assert proc.stderr == "" and result["gil"] is False, (result, proc.stderr)
    # And the test process itself, with pytest's plugins and the package.
    assert sys._is_gil_enabled() is False
    # The test requirements every interpreter installs.
    assert {"asyncio", "vandrel.metrics", "hypothesis", "prometheus_client",
            "opentelemetry.sdk.metrics"} <= set(result["imported"]), result


@needs_free_threaded
def test_dumps_beside_threads_running_in_parallel():
    # Tens of dumps here; VANDREL_FT_DUMPS=100 for the long run.
    dumps = int(os.environ.get("VANDREL_FT_DUMPS", "30"))
    result, _ = run_result(child_program("free_threaded_spinners", THREADS=50, DUMPS=dumps))
    assert result == {"dumps": dumps, "gil": False}



def test_refusal_names_the_missing_gil_even_once_it_was_switched_back_on(monkeypatch):
    # A free-threaded build whose GIL an old extension switched back on
    # still has no GIL the agent can follow: the build decides the message.
    from vandrel import _interceptor
    monkeypatch.setattr(sys, "abiflags", "t", raising=False)
    monkeypatch.setattr(sys, "_is_gil_enabled", lambda: True, raising=False)
    assert _interceptor.unavailable_reason().startswith(
        "this CPython is a free-threaded build: it has no GIL to measure")
