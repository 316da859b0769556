"""Churn with the reference agent: many stack dumps while threads come and
go, and many interceptor on/off cycles while threads run.  Nothing may
crash, no thread or file descriptor may be left behind, and the reports
must stay consistent.

Each scenario runs in a fresh interpreter that loads the installed agent
(globally) before importing the modules; dumps go to /dev/null.  Where this
build of the agent does not have the feature yet (the dump writes nothing,
the interceptor answers -2, "not available", on an interpreter it does not
follow), the test is skipped with that reason.  VANDREL_CHURN_SCALE scales the counts
(the valgrind run uses a small fraction)."""
import os

import pytest

from agent_helpers import AGENT_PRELUDE, child_program
from child import check_child
from conftest import GIL_INTERCEPTOR_SUPPORTED

SCALE = float(os.environ.get("VANDREL_CHURN_SCALE", "1"))
DUMPS = max(int(10_000 * SCALE), 20)
CYCLES = max(int(1_000 * SCALE), 10)

# After the agent's prelude (agent_helpers.AGENT_PRELUDE).
CHURN_HELPERS = """
import threadsnap

def skip(reason):
    print("SKIP", reason)
    sys.exit(0)

def snapshot():
    # The listing's own descriptor is the lowest free one both times.
    fds = {}
    for fd in os.listdir("/proc/self/fd"):
        try:
            fds[int(fd)] = os.readlink(f"/proc/self/fd/{fd}")
        except OSError:
            pass
    return (threading.active_count(), sorted(os.listdir("/proc/self/task")), fds)

def assert_back_to(baseline, what):
    # A joined thread's kernel task may linger for a moment: wait for it.
    deadline = time.monotonic() + 30
    while (now := snapshot()) != baseline and time.monotonic() < deadline:
        time.sleep(0.05)
    assert now[0] == baseline[0], f"{what}: Python threads {baseline[0]} -> {now[0]}"
    assert now[1] == baseline[1], f"{what}: native tasks {baseline[1]} -> {now[1]}"
    assert now[2] == baseline[2], f"{what}: descriptors {baseline[2]} -> {now[2]}"
"""


def run_churn(name, tmp_path, **values):
    """Run agent/children/NAME.py with values set; skip the test when the
    child says SKIP."""
    done = check_child(AGENT_PRELUDE + CHURN_HELPERS
                       + child_program(name, TMP=str(tmp_path), **values), timeout=600)
    if done.stdout.startswith("SKIP "):
        pytest.skip(done.stdout[5:].strip())
    return done


@pytest.mark.slow
def test_dumps_while_threads_start_and_finish(tmp_path):
    done = run_churn("dump_churn", tmp_path, DUMPS=DUMPS)
    assert f"dumps done {DUMPS}" in done.stdout


@pytest.mark.slow
def test_interceptor_on_off_cycles_with_threads_running(tmp_path):
    done = run_churn("interceptor_churn", tmp_path, CYCLES=CYCLES,
                     SUPPORTED=GIL_INTERCEPTOR_SUPPORTED)
    assert f"cycles done {CYCLES}" in done.stdout
