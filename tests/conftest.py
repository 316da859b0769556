"""Fixtures shared by every test folder:

  contract/  the two modules' shape, their forwarding to an agent, and how
             they find one (against the recording stand-in agent);
  agent/     the reference agent: stack dump, GIL interceptor, insight,
             scale, churn, fuzzing (child programs in agent/children/);
  package/   the vandrel package, GilMonitor, the launcher, typing, packaging;
  tools/     the project's own tools: CI stages, the regression-test stage
             and its site, the hardening set-up.

Import-time behaviour of a single-phase extension module can be seen only
once per process, so every scenario runs in a fresh interpreter (child.py:
run_child() starts one with the agents it asks for already loaded, and
check_child() fails with the child's stderr when the child fails).

Under a sanitizer or a child wrapper (child.py), tests marked `build_shape` (the sanitizer
changes the libraries' symbols and dependencies) or `timing` are skipped,
and a child whose output carries a sanitizer or valgrind report fails.  On
a debug build of the interpreter `timing` tests are skipped too.  On a
free-threaded build, tests marked `needs_gil(WHY)` are skipped, WHY
their reason.

The suite runs in two phases (tools/run_tests.sh): `--phase parallel`
takes every test but those marked `timing` or `serial`, and runs under
pytest-xdist beside another worker; `--phase serial` takes only those, one
at a time, so that what they measure (a duration, a rate, a share of the
GIL, memory) is not measured on a machine shared with the other worker."""
import os
import shutil
import sys
import sysconfig
from dataclasses import dataclass
from pathlib import Path

import pytest

from child import CHILD_WRAPPER, SANITIZED, run

HERE = Path(__file__).resolve().parent
# The checkout the tests belong to.
ROOT = HERE.parent
NATIVE = HERE / "native"

NOT_FOUND_LINE = "cpython module can not found vandrel_agent.so loaded\n"

# The agent's GIL interceptor follows take_gil()/drop_gil() of CPython 3.10
# to 3.15 with a GIL; elsewhere (free-threaded, a newer version) it answers
# -2, "not available".
# What the agent library exports: the three entry points the modules call,
# and the agent's own features, prefixed vandrel_, that the package calls
# through ctypes.
AGENT_EXPORTS = frozenset({
    "dump_threads", "init_py_gil_interceptor", "deinit_py_gil_interceptor",
    "vandrel_agent_python_version",
    "vandrel_dump_on_signal", "vandrel_cancel_dump_on_signal", "vandrel_dump_later",
    "vandrel_cancel_dump_later", "vandrel_dump_on_crash", "vandrel_cancel_dump_on_crash",
    "vandrel_prepare_unlocked_dump", "vandrel_name_this_thread", "vandrel_hide_code",
    "vandrel_dump_unlocked", "vandrel_time_stack_walk", "vandrel_trace_stream",
    "vandrel_gil_trace", "vandrel_exit_signals", "vandrel_final_text_only",
    "vandrel_loop_watch_start", "vandrel_loop_watch_stop", "vandrel_loop_watch_arm",
    "vandrel_loop_watch_disarm", "vandrel_loop_watch_beat", "vandrel_loop_watch_caught",
    "vandrel_loop_watch_wait",
    "vandrel_running_loops", "vandrel_dump_threads_with_sections", "vandrel_set_task_formatter",
    "vandrel_gil_profile", "vandrel_trace_loop_block", "vandrel_loop_watch_beat_blocks"})

GIL_INTERCEPTOR_SUPPORTED = ((3, 10) <= sys.version_info[:2] <= (3, 15)
                             and not sysconfig.get_config_var("Py_GIL_DISABLED"))
# The one skip for a test of the interceptor (or of what is built on it:
# GilMonitor, the GIL reports, metrics) where there is none.
needs_interceptor = pytest.mark.skipif(not GIL_INTERCEPTOR_SUPPORTED,
                                       reason="no GIL interceptor for this interpreter")
# A free-threaded build: threads run in parallel, and there is no GIL to
# hold, wait for or mark in a dump.  A test that needs one carries
# @pytest.mark.needs_gil("why") and is skipped here, saying why.
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
# What a dump writes after the header of the thread that holds the GIL:
# nothing on a free-threaded build.
GIL_MARK = "" if FREE_THREADED else ", holding the GIL"
# Why a test needs the GIL, the reasons its skip gives:
KEEPS_THE_GIL = "a thread keeps the GIL, and the dump marks it"
READS_IN_PLACE = ("about the dump that reads other threads' frames in place, which only the GIL "
                  "keeps still (a free-threaded build's dump takes the GIL-free reader)")
READS_EVERY_LOOP = "the agent reads other threads' event loops only with the GIL"
# A debug interpreter (assertions, reference checks) runs several times slower.
DEBUG_INTERPRETER = hasattr(sys, "gettotalrefcount")


PHASES = ("all", "parallel", "serial")
SERIAL_MARKERS = ("timing", "serial")


def pytest_addoption(parser):
    parser.addoption(
        "--phase", choices=PHASES, default="all",
        help="parallel: every test but those marked timing or serial; serial: only those "
             "(tools/run_tests.sh runs the two in turn); all (default): every test")


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "serial: measures a duration, a rate, a share or memory: runs in the serial "
        "phase, alone on the machine (unlike timing, it still runs under sanitizers and on a "
        "debug interpreter)")
    # pytest-xdist's own marker, known here too for a run without xdist.
    config.addinivalue_line("markers", "xdist_group(name): tests run on the same xdist worker")
    config.addinivalue_line(
        "markers", "build_shape: checks symbols or dependencies of the built libraries "
        "(skipped in a sanitizer build)")
    config.addinivalue_line(
        "markers", "timing: depends on wall-clock timing (skipped under a sanitizer or valgrind)")
    config.addinivalue_line(
        "markers", "needs_gil(why): holds, waits for or marks the GIL, or needs what only the GIL "
        "allows (why says which): skipped on a free-threaded build")


def pytest_terminal_summary(terminalreporter):
    """Append this run's counts to the file VANDREL_PHASE_COUNTS names:
    tools/run_tests.sh adds up its two phases into one closing line."""
    path = os.environ.get("VANDREL_PHASE_COUNTS")
    # An xdist worker's counts reach its controller, which writes them.
    if path and not hasattr(terminalreporter.config, "workerinput"):
        stats = terminalreporter.stats
        passed, failed, skipped, errors = (len(stats.get(key, []))
                                           for key in ("passed", "failed", "skipped", "error"))
        with open(path, "a") as f:
            f.write(f"{passed} {failed + errors} {skipped}\n")


def pytest_collection_modifyitems(config, items):
    phase = config.getoption("phase")
    if phase != "all":
        keep, drop = [], []
        for item in items:
            serial = any(name in item.keywords for name in SERIAL_MARKERS)
            (keep if serial == (phase == "serial") else drop).append(item)
        if drop:
            config.hook.pytest_deselected(items=drop)
            items[:] = keep
    skips = {}
    if SANITIZED:
        skips["build_shape"] = pytest.mark.skip(reason="sanitizer build changes symbols and NEEDED")
    if SANITIZED or CHILD_WRAPPER or DEBUG_INTERPRETER:
        skips["timing"] = pytest.mark.skip(
            reason="timing is meaningless under a sanitizer, valgrind or a debug interpreter")
    for item in items:
        for name, skip in skips.items():
            if name in item.keywords:
                item.add_marker(skip)
        needs_gil = item.get_closest_marker("needs_gil")
        if FREE_THREADED and needs_gil is not None:
            item.add_marker(pytest.mark.skip(reason=f"free-threaded build, no GIL: {needs_gil.args[0]}"))


@dataclass(frozen=True)
class NativeLibs:
    agent: str          # full recording stand-in, tag 1
    agent_copy: str     # second full copy at another path, tag 2
    agent_partial: str  # lacks init_py_gil_interceptor and dump_threads
    agent_no_deinit: str
    near_miss_underscore: str  # path has "vandrel_agent" but no dot after it
    near_miss_case: str        # "VANDREL_AGENT.so": the match is case-sensitive
    dlopen_shim: str


def _compile(source: Path, output: Path, *defines: str) -> str:
    output.parent.mkdir(parents=True, exist_ok=True)
    compiler = os.environ.get("CC") or shutil.which("cc") or "gcc"
    cmd = [compiler, "-shared", "-fPIC", "-O1", "-o", str(output), str(source), "-ldl", *defines]
    run(cmd, timeout=300, check=True)
    return str(output)


@pytest.fixture(scope="session")
def native(tmp_path_factory) -> NativeLibs:
    root = tmp_path_factory.mktemp("native")
    agent = NATIVE / "stand_in_agent.c"
    return NativeLibs(
        agent=_compile(agent, root / "one" / "vandrel_agent.so"),
        agent_copy=_compile(agent, root / "two" / "vandrel_agent.so", "-DAGENT_TAG=2"),
        agent_partial=_compile(agent, root / "partial" / "vandrel_agent.partial.so",
                               "-DNO_INIT", "-DNO_DUMP"),
        agent_no_deinit=_compile(agent, root / "nodeinit" / "vandrel_agent.so", "-DNO_DEINIT"),
        near_miss_underscore=_compile(agent, root / "vandrel" / "vandrel_agent_tools.so"),
        near_miss_case=_compile(agent, root / "case" / "VANDREL_AGENT.so"),
        dlopen_shim=_compile(NATIVE / "dlopen_shim.c", root / "shim" / "dlopen_shim.so"),
    )
