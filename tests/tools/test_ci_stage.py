"""CI's stage budgets (tools/ci_stage.sh): times, over-budget warnings,
the hard limit that stops a hung stage with its children, and the summary."""
import os
import re
import shutil
import time

import pytest

from child import run, start
from conftest import ROOT


pytestmark = pytest.mark.skipif(shutil.which("timeout") is None, reason="needs coreutils timeout")


def run_stages(script, timeout=60, **env):
    """Run script in bash with `set -euo pipefail` after sourcing
    tools/ci_stage.sh, as .ci/run does; return the completed process."""
    return run(["bash", "-c", "set -euo pipefail; source tools/ci_stage.sh\n" + script],
               cwd=ROOT, timeout=timeout, env=dict(os.environ, **env))


def assert_gone(pid, failure):
    """Wait up to 5 s for pid to end; kill it and fail with failure if it does not."""
    for _ in range(50):
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            return
        time.sleep(0.1)
    os.kill(pid, 9)
    pytest.fail(failure)


def test_stage_within_budget_passes_and_prints_its_time():
    out = run_stages("stage quick 10 true; stage_summary 100")
    assert out.returncode == 0, out.stderr
    # $SECONDS counts whole seconds, so a quick stage may straddle one.
    assert re.search(r"stage quick: [01] s of 10 s budget, passed", out.stderr), out.stderr
    assert "OVER" not in out.stderr
    assert "quick" in out.stderr.split("=== CI stages", 1)[1]


@pytest.mark.serial
def test_stage_over_budget_warns_loudly_and_still_passes():
    out = run_stages("stage slow 1 sleep 2.2; echo next; stage_summary 1", CI_HARD_PERCENT="500")
    assert out.returncode == 0, out.stderr
    assert "next" in out.stdout  # the run went on
    assert "!!! stage slow: OVER BUDGET" in out.stderr
    assert "passed, OVER BUDGET by" in out.stderr
    assert re.search(r"!!! CI took [23] s, OVER its 1 s limit", out.stderr), out.stderr


def test_failing_stage_returns_its_status_and_stops_the_run():
    out = run_stages("trap stage_summary EXIT; stage broken 10 sh -c 'exit 3'; echo next")
    assert out.returncode == 3, out.stderr
    assert "next" not in out.stdout
    assert re.search(r"stage broken: [01] s of 10 s budget, failed \(3\)", out.stderr), out.stderr
    # The EXIT trap still prints the table, with the failed stage in it.
    table = out.stderr.split("=== CI stages", 1)[1]
    assert "broken" in table and "failed (3)" in table


def test_hung_stage_is_stopped_with_its_children(tmp_path):
    # A stage whose command started a grandchild (in the background, as a
    # test's child process) and then hangs: at the hard limit both go.
    pidfile = tmp_path / "grandchild.pid"
    start = time.monotonic()
    out = run_stages(f"stage hung 2 sh -c 'sleep 300 & echo $! > {pidfile}; sleep 300'",
                     CI_HARD_PERCENT="100")
    elapsed = time.monotonic() - start
    assert out.returncode == 124, out.stderr
    assert elapsed < 20, elapsed
    assert "STOPPED at its hard limit of 2 s" in out.stderr
    grandchild = int(pidfile.read_text())
    assert_gone(grandchild, "the hung stage's grandchild survived the hard limit")


def test_stage_commands_get_sigint_at_its_default():
    # Python turns SIGINT into KeyboardInterrupt only when it does not
    # inherit it ignored; CPython's regression tests rely on that.
    out = run_stages("stage sig 10 python3 -c 'import signal; "
                     "print(signal.getsignal(signal.SIGINT).__name__)'")
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "default_int_handler"


def test_terminating_the_run_stops_the_running_stage(tmp_path):
    # The stage runs in a process group of its own (so its hard limit can
    # stop all of it); a TERM sent to the CI script must reach it too.
    pidfile = tmp_path / "grandchild.pid"
    ci = start(["bash", "-c", "set -euo pipefail; source tools/ci_stage.sh\n"
                f"stage long 100 sh -c 'sleep 300 & echo $! > {pidfile}; sleep 300'"],
               cwd=ROOT, text=True)
    try:
        for _ in range(100):
            if pidfile.exists() and pidfile.read_text().strip():
                break
            time.sleep(0.1)
        grandchild = int(pidfile.read_text())
        ci.terminate()
        _, err = ci.communicate(timeout=20)
    finally:
        ci.kill()
    assert ci.returncode != 0, err
    assert "stage long:" in err and "failed" in err, err
    assert_gone(grandchild, "the stage's grandchild survived the TERM sent to the run")
