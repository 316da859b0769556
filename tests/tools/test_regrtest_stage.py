"""How tools/regrtest.py reads regrtest's results and picks what to rerun."""
import importlib.util
import os
import re
import sys
import types

import pytest

from child import run
from conftest import ROOT

TOOLS = str(ROOT / "tools")


@pytest.fixture(scope="module")
def stage():
    found = importlib.util.spec_from_file_location("regrtest_stage",
                                                   os.path.join(TOOLS, "regrtest.py"))
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def test_junit_outcomes(stage, tmp_path):
    # The shapes regrtest writes: a failure, a fixture error named after its
    # class, a skip, a pass, and a nameless record (a test that failed only
    # in subtests), which must not turn up as a pass.
    path = tmp_path / "r.xml"
    path.write_text(
        '<testsuites><testsuite>'
        '<testcase name="test.test_a.A.test_fail" status="run"><failure type="E">x</failure></testcase>'
        '<testcase name="setUpClass (test.test_a.B)" status="run"><error type="E">x</error></testcase>'
        '<testcase name="test.test_a.A.test_skip" status="run"><skipped>no</skipped></testcase>'
        '<testcase name="test.test_a.A.test_ok" status="run" />'
        '<testcase />'
        '</testsuite></testsuites>')
    assert stage.read_junit(str(path)) == {
        "test.test_a.A.test_fail": "failed",
        "setUpClass (test.test_a.B)": "failed",
        "test.test_a.A.test_skip": "skipped",
        "test.test_a.A.test_ok": "passed",
    }
    assert stage.read_junit(str(tmp_path / "missing.xml")) == {}


def test_module_states(stage):
    assert stage.module_state("passed (31.2 sec)") == "passed"
    assert stage.module_state("skipped (resource denied)") == "skipped"
    assert stage.module_state("ran no tests") == "skipped"
    assert stage.module_state("failed (env changed)") == "env-changed"
    for text in ("failed (2 errors)", "worker non-zero exit code (Exit code -11 (SIGSEGV))",
                 "timed out (2 min)", "failed (uncaught exception)"):
        assert stage.module_state(text) == "failed", text


def test_module_failures_of_its_own(stage):
    # A module failure counts on its own unless its failed cases show it.
    modules = {
        "test_a": ("failed", "failed (1 error, 2 failures)"),
        "test_b": ("failed", "worker non-zero exit code (Exit code -11 (SIGSEGV))"),
        "test_c": ("failed", "failed (2 failures)"),
        "test_d": ("passed", "passed"),
        "test_e": ("failed", "timed out (2 min)"),
    }
    cases = {"test.test_a.T.test_x": "failed", "test.test_b.T.test_x": "failed",
             "test.test_c.T.test_x": "passed", "test.test_e.T.test_x": "failed"}
    assert not stage.own_failure("test_a", modules, cases)
    assert stage.own_failure("test_b", modules, cases)  # crashed
    assert stage.own_failure("test_c", modules, cases)  # failed in subtests only
    assert not stage.own_failure("test_d", modules, cases)
    assert stage.own_failure("test_e", modules, cases)  # timed out
    assert stage.own_failure("test_f", modules, cases)  # no result at all


def test_case_module_picks_the_longest_owner(stage):
    modules = {"test_asyncio", "test_asyncio.test_events", "test_os", "test_osx"}
    assert stage.case_module("test.test_asyncio.test_events.T.test_x", modules) \
        == "test_asyncio.test_events"
    assert stage.case_module("test.test_asyncio.test_tasks.T.test_x", modules) == "test_asyncio"
    assert stage.case_module("setUpClass (test.test_os.FileTests)", modules) == "test_os"
    assert stage.case_module("test.test_osx.T.test_x", modules) == "test_osx"
    assert stage.case_module("test.test_sys.T.test_x", modules) is None


def test_rerun_patterns_select_the_failed_tests(stage):
    # The patterns go to regrtest's --matchfile: check them with regrtest's
    # own matcher, in a child so its global state stays there.
    pytest.importorskip("test.libregrtest.filter")
    patterns = [stage.match_pattern("test.test_os.FileTests.test_access"),
                stage.match_pattern("setUpClass (test.test_os.StatTests)")]
    code = (
        "import sys\n"
        "from test.libregrtest.filter import set_match_tests, match_test\n"
        "set_match_tests([(p, True) for p in sys.argv[1:]])\n"
        "class T:\n"
        "    def __init__(self, i): self.i = i\n"
        "    def id(self): return self.i\n"
        "for i in ['test.test_os.FileTests.test_access', 'test.test_os.FileTests.test_other',\n"
        "          'test.test_os.StatTests.test_a', 'test.test_os.StatTestsX.test_a']:\n"
        "    print(i, match_test(T(i)))\n")
    done = run([sys.executable, "-c", code, *patterns], timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split("\n")[:4] == [
        "test.test_os.FileTests.test_access True",
        "test.test_os.FileTests.test_other False",
        "test.test_os.StatTests.test_a True",
        "test.test_os.StatTestsX.test_a False",
    ]


def test_known_effects_are_well_formed(stage):
    keys = {"reason", "reproducer", "crashes", "tests", "tries", "since", "before"}
    for entry in stage.KNOWN_EFFECTS:
        assert {"reason", "reproducer", "crashes", "tests"} <= set(entry) <= keys, entry
        assert entry["reason"] and entry["tests"], entry
        assert os.path.exists(os.path.join(TOOLS, "regrtest_repro", entry["reproducer"])), entry
        for test_id in entry["tests"]:
            # Full ids: the stage reruns them through --matchfile and leaves
            # crashing ones out through --ignorefile, both exact matches.
            assert re.fullmatch(r"test(\.\w+){3,}", test_id), test_id
    # On each version a test id belongs to one entry at most.
    for version in [(3, 10), (3, 13), (3, 14), (3, 15)]:
        seen = set()
        for entry in stage.KNOWN_EFFECTS:
            if entry.get("since", version) <= version < entry.get("before", (99, 0)):
                assert not seen & set(entry["tests"]), (version, seen & set(entry["tests"]))
                seen |= set(entry["tests"])
    for entry in stage.active_effects():
        for test_id in entry["tests"]:
            assert stage.known_effect(test_id) is entry
    assert stage.known_effect("test.test_gc.GCTests.test_other") is None


def test_known_effects_follow_the_version(stage, monkeypatch):
    # test_os became a package in 3.15: each version gets its own name.
    old = "test.test_os.ForkTests.test_fork_warns_when_non_python_thread_exists"
    new = "test.test_os.test_os.ForkTests.test_fork_warns_when_non_python_thread_exists"
    effects = sys.modules[stage.known_effect.__module__]
    for version, present, absent in [((3, 13, 0), old, new), ((3, 15, 0), new, old)]:
        monkeypatch.setattr(effects, "sys", types.SimpleNamespace(version_info=version))
        assert stage.known_effect(present) is not None, version
        assert stage.known_effect(absent) is None, version
    monkeypatch.setattr(effects, "sys", types.SimpleNamespace(version_info=(3, 13, 0)))
    assert stage.known_effect("test.test_threading.ThreadTests.test_native_id_after_fork") is None


def test_outside_extension_reproducer_shows_its_effect():
    if importlib.util.find_spec("xxlimited") is None:
        pytest.skip("this CPython has no xxlimited")
    done = run([sys.executable, os.path.join(TOOLS, "regrtest_repro",
                                             "faulthandler_outside_extension.py")],
               timeout=120, check=True)
    assert "Extension modules: xxlimited" in done.stdout


@pytest.mark.slow
@pytest.mark.skipif(os.environ.get("VANDREL_SANITIZED") == "1",
                    reason="the sanitizer's allocator hides the race this reproducer shows")
def test_capi_reproducer_crashes_with_a_plain_thread():
    if sys.version_info < (3, 13) or importlib.util.find_spec("_testinternalcapi") is None:
        pytest.skip("needs CPython 3.13's _interpreters.new_config and _testinternalcapi")
    done = run([sys.executable, os.path.join(TOOLS, "regrtest_repro",
                                             "capi_own_gil_main_obmalloc.py")],
               timeout=300, check=True)
    assert "effect shown" in done.stdout


def test_an_interpreter_without_the_test_package_is_refused(stage, monkeypatch, capsys):
    # Debian ships CPython's tests apart; without them every module would be
    # skipped and the stage would pass having run nothing.
    real = stage.importlib.util.find_spec
    monkeypatch.setattr(stage.importlib.util, "find_spec",
                        lambda name, *a: None if name.startswith("test.") else real(name, *a))
    assert stage.main(["--quick"]) == 2
    assert "lacks CPython's regression tests" in capsys.readouterr().err


def fake_stage(stage, behaviour):
    """A Stage whose runs answer from behaviour instead of running regrtest:
    behaviour maps (python, name) to the outcomes a test case ("pass",
    "fail") or a whole module ("pass", "crash") gives in turn, the last one
    repeating.  Reruns, the plain-thread control and the verdicts are the
    stage's own."""
    class FakeStage(stage.Stage):
        def __init__(self, args, workdir):
            super().__init__(args, workdir)
            self.calls = []
            self.seen = {}

        def next_outcome(self, python, name):
            outcomes = behaviour.get((python, name), ["pass"])
            i = self.seen.get((python, name), 0)
            self.seen[(python, name)] = i + 1
            return outcomes[min(i, len(outcomes) - 1)]

        def run(self, label, python, tests, env, matchfile=None, ignorefile=None):
            self.calls.append((label, python, sorted(tests)))
            modules, cases = {}, {}
            if matchfile:
                with open(matchfile) as f:
                    for case_id in f.read().split():
                        cases[case_id] = self.next_outcome(python, case_id) + "ed"
                        owner = stage.case_module(case_id, tests)
                        if cases[case_id] == "failed":
                            modules[owner] = ("failed", "failed (1 failure)")
                        modules.setdefault(owner, ("passed", "passed"))
            else:
                for name in tests:
                    if self.next_outcome(python, name) == "crash":
                        modules[name] = ("failed", "worker non-zero exit code (Exit code -11)")
                    else:
                        modules[name] = ("passed", "passed")
            return modules, cases, 0.0
    return FakeStage


AGENT_PASS_MODULES = {
    "test_a": ("failed", "failed (3 failures)"),
    "test_b": ("failed", "worker non-zero exit code (Exit code -11 (SIGSEGV))"),
    "test_c": ("failed", "timed out (2 min)"),
    "test_gc": ("failed", "failed (2 failures)"),
    "test_pkg.test_part": ("passed", "passed"),
    # test_gone: no result at all (the runner died before it)
}
AGENT_PASS_CASES = {
    "test.test_a.T.test_agent_only": "failed",
    "test.test_a.T.test_broken": "failed",
    "test.test_a.T.test_flaky": "failed",
    "test.test_a.T.test_ok": "passed",
    "test.test_gc.GCTests.test_get_count": "failed",
    "test.test_gc.GCTests.test_other": "failed",
}
RERUN_BEHAVIOUR = {
    ("agent", "test.test_a.T.test_agent_only"): ["fail"],
    ("plain", "test.test_a.T.test_agent_only"): ["pass"],
    ("agent", "test.test_a.T.test_broken"): ["fail"],
    ("plain", "test.test_a.T.test_broken"): ["fail"],
    ("agent", "test.test_a.T.test_flaky"): ["pass"],
    # A known effect of any thread that the plain thread shows...
    ("agent", "test.test_gc.GCTests.test_get_count"): ["fail"],
    ("control", "test.test_gc.GCTests.test_get_count"): ["fail"],
    # ... and a test of the same module that is not one.
    ("agent", "test.test_gc.GCTests.test_other"): ["fail"],
    ("agent", "test_b"): ["crash"],           # crashes with the agent only
    ("agent", "test_c"): ["crash"],           # and this one plainly too
    ("plain", "test_c"): ["crash"],
    ("agent", "test_gone"): ["crash"],
}
TESTS = ["test_a", "test_b", "test_c", "test_gc", "test_pkg", "test_gone"]


def test_reruns_charge_the_agent_only_with_what_passes_plainly(stage, tmp_path):
    Fake = fake_stage(stage, RERUN_BEHAVIOUR)
    fake = Fake(types.SimpleNamespace(reruns=2), str(tmp_path))
    found = stage.decide(fake, {k: k for k in ("agent", "plain", "control")},
                         {k: {} for k in ("agent", "plain", "control")},
                         AGENT_PASS_MODULES, AGENT_PASS_CASES, TESTS, {})
    assert found.agent_only == sorted(["test.test_a.T.test_agent_only", "test_b",
                                       "test.test_gc.GCTests.test_other", "test_gone"])
    assert found.allowed == ["test.test_gc.GCTests.test_get_count"]
    # Failing plainly too is reported, not charged: a case and a crashed module.
    assert found.plain_failed == {"test.test_a.T.test_broken", "test_c"}
    # The flaky case passed plainly, then its first agent rerun, and went
    # no further.
    assert "test.test_a.T.test_flaky" in found.suspects
    assert "test.test_a.T.test_flaky" not in found.rerun_failed[0] | found.plain_failed
    assert len(found.rerun_failed) == 2
    assert fake.seen[("agent", "test.test_a.T.test_flaky")] == 1
    # Whole-module failures (crash, timeout, no result) are suspects as
    # modules; a package run as parts that passed is not; a module whose
    # failed cases account for its failure is judged by them.
    assert {m for m, owner in found.suspects.items() if owner is None} \
        == {"test_b", "test_c", "test_gone"}
    # Every suspect ran plainly once, first; what failed there was not run
    # again with the agent.
    plain_runs = [c for c in fake.calls if c[1] == "plain"]
    assert [c[0] for c in plain_runs] == ["plain-rerun-cases", "plain-rerun-modules"]
    assert plain_runs[1][2] == ["test_b", "test_c", "test_gone"]
    agent_runs = [c for c in fake.calls if c[1] == "agent"]
    assert [c[0] for c in agent_runs] == [
        "agent-rerun1-cases", "agent-rerun1-modules", "agent-rerun2-cases",
        "agent-rerun2-modules"]
    assert agent_runs[1][2] == agent_runs[3][2] == ["test_b", "test_gone"]
    assert ("agent", "test.test_a.T.test_broken") not in fake.seen
    assert fake.seen[("agent", "test.test_a.T.test_agent_only")] == 2


def test_stage_fails_on_an_agent_only_failure_and_reports_it(stage, tmp_path, monkeypatch,
                                                            capsys):
    # main() end to end with the runs faked: the agent pass, the reruns, the
    # exit status and the report.
    Fake = fake_stage(stage, RERUN_BEHAVIOUR)
    agent_pass = Fake.run

    def run(self, label, python, tests, env, matchfile=None, ignorefile=None):
        if label == "agent":
            self.calls.append((label, python, sorted(tests)))
            return dict(AGENT_PASS_MODULES), dict(AGENT_PASS_CASES), 1.0
        return agent_pass(self, label, python, tests, env, matchfile, ignorefile)
    monkeypatch.setattr(Fake, "run", run)
    monkeypatch.setattr(stage, "Stage", Fake)
    # Debian's interpreters here come without CPython's tests, which the
    # stage asks for before anything else.
    real = stage.importlib.util.find_spec
    monkeypatch.setattr(stage.importlib.util, "find_spec",
                        lambda name, *a: types.SimpleNamespace() if name == "test.test_threading"
                        else real(name, *a))
    monkeypatch.setattr(stage, "installed_packages_dir", lambda: str(tmp_path))
    monkeypatch.setattr(stage, "make_venv", lambda path, *a: os.path.basename(path)[5:]
                        .replace("plain-thread", "control"))
    monkeypatch.setattr(stage, "probe", lambda python, env, cwd:
                        ("on", True) if python == "agent" else ("off", False))
    assert stage.main(["--keep", str(tmp_path / "work"), *TESTS]) == 1
    out = capsys.readouterr().out
    assert "FAILED: 4 test(s) fail only with the agent" in out, out
    rows = {line.split()[0]: line for line in out.splitlines() if line.startswith("  test")}
    assert "fails plainly too" in rows["test.test_a.T.test_broken"], out
    assert "flaky with the agent" in rows["test.test_a.T.test_flaky"], out
    assert "AGENT-ONLY FAILURE" in rows["test_b"], out
    assert "fails plainly too" in rows["test_c"], out
    assert "known effect" in rows["test.test_gc.GCTests.test_get_count"], out
    assert "8 (5 test cases, 3 whole modules)" in out, out
    assert "decided: 2 fail plainly too, 1 flaky with the agent (passed a rerun), 1 known " \
        "effects, 4 agent-only" in out, out


def test_processes_a_test_left_running_are_killed(tmp_path):
    # As with a test whose worker timed out: its own child lives on, spinning,
    # after its parent is gone.  The stage adopts such orphans and kills them
    # after each run; its own children are not touched before they end.
    pidfile = tmp_path / "orphan.pid"
    code = f"""
import os, subprocess, sys
sys.path.insert(0, {TOOLS!r})
import regrtest
assert regrtest.adopt_orphans()
subprocess.run(["sh", "-c", "sh -c 'while :; do :; done' & echo $! > {pidfile}"], check=True)
orphan = int(open({str(pidfile)!r}).read())
assert orphan in regrtest.child_pids()   # reparented to us, still spinning
print(regrtest.kill_orphans(), regrtest.child_pids())
try:
    os.kill(orphan, 0)
    print("alive")
except ProcessLookupError:
    print("gone")
"""
    done = run([sys.executable, "-c", code], timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["1", "[]", "gone"], done.stdout + done.stderr
