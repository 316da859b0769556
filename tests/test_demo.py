"""The README's first command: the demo, run under the launcher."""
import re
import subprocess
import sys
from pathlib import Path

import pytest

DEMO = Path(__file__).resolve().parent.parent / "examples" / "demo.py"


@pytest.mark.slow
def test_demo_dumps_named_threads_and_reports_the_gil(tmp_path):
    done = subprocess.run([sys.executable, "-m", "vandrel", "run", str(DEMO)],
                          capture_output=True, text=True, timeout=120, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    out = done.stdout
    assert re.search(r'^Current thread \d+ "MainThread" \(most recent call first\):$', out, re.M)
    for name in ("request-handler-1", "request-handler-3", "heartbeat"):
        assert re.search(rf'^Thread \d+ "{name}"', out, re.M), name
    if sys.version_info[:2] != (3, 13):
        assert "GIL interceptor not available here (status -2)" in out
        return
    assert re.search(r"^GIL report \(final\): wall [\d.]+ s, held", out, re.M), out
    assert re.search(r"^  io-heartbeat +\d+ ", out, re.M), out
    assert re.search(r"^io-heartbeat queued \d+% of the time", out, re.M), out
