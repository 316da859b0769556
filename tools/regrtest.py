#!/usr/bin/env python3
"""CPython's own regression tests, run with and without the vandrel agent.

    tools/regrtest.py [--quick] [-j N] [--timeout S] [--keep DIR] [TEST ...]
    tools/regrtest.py --known-effects

Runs a set of CPython's regression test modules with `python -m test`,
with the agent at work in every main-interpreter process
(tools/regrtest_site/sitecustomize.py: the GIL interceptor on with a sink
and a report every 20 ms, a thread dumping every stack every 10 ms).  The
run has a virtual environment of its own that sees this interpreter's
installed packages and holds the sitecustomize, so every child a test
starts from `sys.executable` loads it, even with -I or -E (only -S runs go
without); a second one, without it, runs tests plainly.  Outcomes are
test cases; a module that fails as a whole (a crash, a timeout, no
result, a failure the per-case record does not show) counts as one.

Only what fails with the agent is run again: plainly once, and if it
passes there, with the agent up to twice while it keeps failing.  One that
fails every time with the agent and passes plainly is an agent-only
failure and fails the stage, unless KNOWN_EFFECTS (regrtest_effects.py) lists it as
something any background thread does and it fails with a plain thread and
no agent too (tools/regrtest_repro/plain_thread_site), which the stage
checks each time.  --known-effects checks that list alone.  One that also
fails plainly is reported and does not fail the stage (a module that timed
out plainly too costs one more run, not three); one that passes a rerun
with the agent is reported as flaky.

Run it with the interpreter the package is installed in; `./dev regrtest`
builds, installs and runs it.  Exit status: 0 when no agent-only failure is
left, 1 otherwise, 2 when the stage itself could not run.
"""
import argparse
import importlib.util
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import types
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
# The stage's sibling modules, also when this file is loaded by path.
if HERE not in sys.path:
    sys.path.insert(0, HERE)

from regrtest_effects import (CONTROL_TRIES, KNOWN_EFFECTS, PLAIN_THREAD,  # noqa: E402
                              active_effects, by_plain_thread, known_effect)
from regrtest_orphans import adopt_orphans, child_pids, kill_orphans  # noqa: E402

AGENT_SITE = os.path.join(HERE, "regrtest_site", "sitecustomize.py")
CONTROL_SITE = os.path.join(HERE, "regrtest_repro", "plain_thread_site", "sitecustomize.py")

# Set for the "with agent" run: the sitecustomize leaves one empty file
# there per process it put the agent to work in (a child given an
# environment of its own leaves none, so the count is a lower bound).
MARK_DIR_ENV = "VANDREL_REGRTEST_MARK_DIR"

# The modules, chosen to fit the budget with -j2 on the 2-core development
# machine: about 5 to 6 minutes for the full set (the agent pass and the
# reruns) when the machine is quiet, under 5 for --quick.  The quick set covers threads, signals, fork and
# subprocesses, garbage collection, faulthandler and the C API's
# subinterpreters; the full set adds the heavy users of threads and
# processes (asyncio, concurrent.futures, multiprocessing, sockets).
QUICK_TESTS = [
    "test_threading", "test_thread", "test_threading_local", "test_queue",
    "test_signal", "test_sys", "test_gc", "test_faulthandler",
    "test_selectors", "test_weakref", "test_sched", "test_subprocess",
    "test_os", "test_capi",
]
FULL_TESTS = QUICK_TESTS + [
    "test_concurrent_futures", "test_asyncio", "test_importlib", "test_logging",
    "test_multiprocessing_forkserver", "test_socket",
]
# The longest modules (30 s to a minute each with the agent) start first:
# `python -m test -j` hands modules out in the order given, and one of
# these started last kept a worker busy for a minute after the other had
# nothing left to run.
LONGEST_FIRST = ["test_multiprocessing_forkserver", "test_concurrent_futures", "test_socket",
                 "test_subprocess"]


def longest_first(tests):
    """Return tests with those of LONGEST_FIRST at the front, the rest in order."""
    return ([t for t in LONGEST_FIRST if t in tests]
            + [t for t in tests if t not in LONGEST_FIRST])



def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("tests", nargs="*", help="test modules (default: the full set)")
    parser.add_argument("--quick", action="store_true", help="the quick subset (under 5 minutes)")
    parser.add_argument("-j", type=int, default=2, dest="jobs", help="worker processes (default 2)")
    parser.add_argument("--timeout", type=int, default=120,
                        help="seconds per test module (default 120)")
    parser.add_argument("--reruns", type=int, default=2,
                        help="agent reruns of a failure (default 2)")
    parser.add_argument("--known-effects", action="store_true",
                        help="only check that every known effect passes plainly and fails "
                             "with a plain thread and no agent")
    parser.add_argument("--keep", metavar="DIR", help="keep the logs, JUnit files and venvs in DIR")
    return parser.parse_args(argv)


def installed_packages_dir():
    """Return the site-packages directory this interpreter imports vandrel from."""
    package = importlib.util.find_spec("vandrel")
    if package is None or not package.submodule_search_locations:
        raise RuntimeError(f"vandrel is not installed for {sys.executable}")
    return os.path.dirname(list(package.submodule_search_locations)[0])


def make_venv(path, packages, sitecustomize=None):
    """Create a virtual environment at path that sees packages (a
    site-packages directory) and, when given, holds sitecustomize.  Return
    its python."""
    shutil.rmtree(path, ignore_errors=True)
    base = getattr(sys, "_base_executable", sys.executable)
    subprocess.run([base, "-m", "venv", "--without-pip", path], check=True)
    python = os.path.join(path, "bin", "python")
    site = subprocess.run([python, "-c", "import sysconfig; print(sysconfig.get_path('purelib'))"],
                          check=True, capture_output=True, text=True).stdout.strip()
    with open(os.path.join(site, "vandrel-regrtest.pth"), "w") as f:
        f.write(packages + "\n")
    if sitecustomize:
        shutil.copy(sitecustomize, os.path.join(site, "sitecustomize.py"))
    return python


PROBE = r"""
import sys, threading
names = [t.name for t in threading.enumerate()]
state = "off"
if "lockgauge" in sys.modules:
    import lockgauge
    # -4: already on, which the sitecustomize did; -2: no interceptor here.
    state = {-4: "on", -2: "unavailable"}.get(
        lockgauge.init_gil_interceptor(None, 0, 0, -1, 0, 0, 0), "?")
import test.libregrtest
print(state, "vandrel-regrtest-dump" in names)
"""


def probe(python, env, cwd):
    """Return (interceptor state, dump thread running) of an isolated (-I)
    child: ("on", True) when the sitecustomize did its work there."""
    out = subprocess.run([python, "-I", "-c", PROBE], env=env, cwd=cwd, capture_output=True,
                         text=True, timeout=60)
    if out.returncode != 0 or out.stderr:
        raise RuntimeError(f"probe child exited {out.returncode}: {out.stderr.strip()}")
    state, dumping = out.stdout.split()
    return state, dumping == "True"


# "0:01:02 load avg: 1.50 [ 4/60/1] test_x failed (2 errors) (31.2 sec) -- running (1): ..."
PROGRESS_RE = re.compile(r"\[\s*\d+/\d+(?:/\d+)?\] (\S+) (.*)$")


# A module failure that its failed test cases account for; anything else
# ("worker non-zero exit code", "timed out", "uncaught exception") is the
# module's own.
PLAIN_FAILURE_RE = re.compile(r"failed \((\d+ (failures?|errors?)(, )?)+\)")


def module_state(text):
    """Classify a regrtest progress text ("passed", "failed (env changed)",
    "timed out (2 min)", ...) as passed, skipped, env-changed or failed."""
    if text.startswith("passed"):
        return "passed"
    if text.startswith("skipped") or text.startswith("ran no tests"):
        return "skipped"
    if text.startswith("failed (env changed)"):
        return "env-changed"
    return "failed"


class Stage:
    def __init__(self, args, workdir):
        self.args = args
        self.workdir = workdir

    def run(self, label, python, tests, env, matchfile=None, ignorefile=None):
        """Run `python -m test` over tests, echoing its progress lines.

        Return (modules, cases, seconds): modules maps a test module to
        (state, progress text), cases maps a test id to passed/failed/skipped.
        """
        xml_path = os.path.join(self.workdir, f"{label}.xml")
        log_path = os.path.join(self.workdir, f"{label}.log")
        # -u for the runner only: its progress lines come as they happen.
        cmd = [python, "-u", "-m", "test", f"-j{self.args.jobs}",
               "--timeout", str(self.args.timeout), "--junit-xml", xml_path]
        if matchfile:
            cmd += ["--matchfile", matchfile]
        if ignorefile:
            cmd += ["--ignorefile", ignorefile]
        cmd += tests
        print(f"--- {label}: {' '.join(cmd[1:])}", flush=True)
        modules = {}
        start = time.monotonic()
        with open(log_path, "w") as log:
            proc = subprocess.Popen(cmd, env=env, cwd=self.workdir, stdout=subprocess.PIPE,
                                    stderr=subprocess.STDOUT, text=True, errors="replace")
            for line in proc.stdout:
                log.write(line)
                match = PROGRESS_RE.search(line)
                if match:
                    name, text = match.groups()
                    text = text.split(" -- running", 1)[0]
                    modules[name] = (module_state(text), text)
                    if not text.startswith("passed"):
                        print(f"[{label}] {name} {text}", flush=True)
            proc.wait()
        seconds = time.monotonic() - start
        left = kill_orphans()
        if left:
            print(f"--- {label}: killed {left} processes the tests left running", flush=True)
        print(f"--- {label}: exit {proc.returncode} after {seconds:.0f} s, "
              f"{len(modules)} modules, log {log_path}", flush=True)
        return modules, read_junit(xml_path), seconds

    def rerun(self, label, python, env, cases, modules, ignorefile=None):
        """Run failed cases (through a match file) and whole modules once more.

        cases maps a test id to its module.  Return the set of names (test
        ids and module names) that failed again.
        """
        failed = set()
        if cases:
            matchfile = os.path.join(self.workdir, f"{label}-cases.txt")
            with open(matchfile, "w") as f:
                f.write("".join(match_pattern(c) + "\n" for c in sorted(cases)))
            mods, results, _ = self.run(label + "-cases", python, sorted(set(cases.values())),
                                        env, matchfile=matchfile, ignorefile=ignorefile)
            for case_id, owner in cases.items():
                if case_id in results:
                    again = [results[case_id]]
                elif match_pattern(case_id) != case_id:
                    # A fixture that passed this time: judge by what ran under it.
                    prefix = match_pattern(case_id)[:-1]
                    again = [r for c, r in results.items() if c.startswith(prefix)]
                else:
                    again = []
                # A case with no record (its module crashed or timed out)
                # failed if its module did.
                if "failed" in again or (not again and mods.get(owner, ("failed",))[0] == "failed"):
                    failed.add(case_id)
        if modules:
            mods, results, _ = self.run(label + "-modules", python, sorted(modules), env,
                                        ignorefile=ignorefile)
            failed |= {m for m in modules if module_failed(m, mods, results)}
        return failed


    def control(self, python, env, cases):
        """Run known-effect tests (a map from test id to module) under the
        plain thread, each up to its number of tries, until it fails.
        Return the set of those that failed."""
        failed = set()
        for i in range(max(e.get("tries", CONTROL_TRIES) for e in active_effects())):
            left = {c: m for c, m in cases.items() if c not in failed
                    and i < known_effect(c).get("tries", CONTROL_TRIES)}
            if not left:
                break
            # A crash takes its whole run down, and the tests after it
            # would count as failed unseen: each crashing test runs alone.
            crashing = sorted(c for c in left if known_effect(c)["crashes"])
            batches = [{c: left[c]} for c in crashing]
            batches.append({c: m for c, m in left.items() if c not in crashing})
            for j, batch in enumerate(b for b in batches if b):
                failed |= self.rerun(f"plain-thread{i + 1}-{j + 1}", python, env, batch, set())
        return failed

    def reproduce(self, python, env, cases):
        """Run the reproducer script of each known effect among cases that
        has one (a .py file under tools/regrtest_repro) once.  Return the
        set of test ids whose script showed the effect (exit status 0)."""
        shown = set()
        scripts = {}
        for case_id in cases:
            script = known_effect(case_id)["reproducer"]
            if script.endswith(".py"):
                scripts.setdefault(script, []).append(case_id)
        for script, case_ids in sorted(scripts.items()):
            path = os.path.join(HERE, "regrtest_repro", script)
            print(f"--- reproducer: {os.path.relpath(path)}", flush=True)
            try:
                done = subprocess.run([python, path], env=env, cwd=self.workdir,
                                      capture_output=True, text=True, timeout=600)
            except subprocess.TimeoutExpired:
                print(f"--- reproducer: {script} timed out", flush=True)
                continue
            print("".join(f"    {line}\n" for line in done.stdout.splitlines()), end="",
                  flush=True)
            if done.returncode == 0:
                shown.update(case_ids)
        return shown


def own_failure(module, modules, cases):
    """Return True when a module failed in a way its failed test cases do
    not account for: it crashed, timed out or gave no result, or failed
    with no failed case on record (a failure in subtests only)."""
    state, text = modules.get(module, ("failed", "no result"))
    if state != "failed":
        return False
    if not PLAIN_FAILURE_RE.match(text):
        return True
    owners = set(modules) | {module}
    return not any(o == "failed" and case_module(c, owners) == module for c, o in cases.items())


def module_failed(name, modules, cases):
    """Return True when the test module name (as given to regrtest) failed
    as a whole: own_failure() of it, or of any of its parts when regrtest
    ran it as a package of parts ("test_asyncio" as
    "test_asyncio.test_events", ...), or it gave no result at all."""
    if name in modules:
        return own_failure(name, modules, cases)
    parts = [m for m in modules if m.startswith(name + ".")]
    return not parts or any(own_failure(m, modules, cases) for m in parts)


def decide(stage, pythons, envs, agent_mods, agent_cases, tests, crashing, ignorefile=None):
    """Rerun every outcome that failed in the agent pass and judge it.

    pythons and envs map "agent", "plain" and "control" (the plain thread,
    no agent) to an interpreter and its environment.  agent_mods and
    agent_cases are the agent pass's results (Stage.run), tests the
    modules it was given, crashing the known crashes it left out (test id
    to module).  Each failed test case, and each module that failed as a
    whole (crash, timeout, no result), runs again plainly once; one that fails there too is decided (it fails
    plainly too), the others run again with the agent while they keep
    failing, up to --reruns times.  One that failed every time with the
    agent and passed plainly is the agent's, unless it is a known effect
    and fails under the plain thread too.  Return a namespace: suspects
    (name -> its module, None for a whole module), plain_failed (those
    failing the plain rerun), rerun_failed (the set that failed in each
    agent rerun), agent_only, allowed (known effects shown), stale (known
    crashes shown by nothing) and unowned (failed cases of no module run).
    """
    owners = set(tests) | set(agent_mods)
    suspects, unowned = {}, []
    for case_id, outcome in agent_cases.items():
        if outcome == "failed":
            owner = case_module(case_id, owners)
            if owner:
                suspects[case_id] = owner
            else:
                unowned.append(case_id)
    # Modules regrtest ran as parts are judged by the parts.
    whole = {m for m in agent_mods if own_failure(m, agent_mods, agent_cases)}
    whole |= {m for m in tests if m not in agent_mods
              and not any(p.startswith(m + ".") for p in agent_mods)}
    suspects.update((m, None) for m in whole)

    # Plainly first: a module that timed out or crashed plainly too is
    # decided in one run instead of three.
    left_cases = {c: m for c, m in suspects.items() if m is not None}
    left_modules = set(whole)
    plain_failed = set()
    if suspects:
        plain_failed = stage.rerun("plain-rerun", pythons["plain"], envs["plain"], left_cases,
                                   left_modules, ignorefile)
    left_cases = {c: m for c, m in left_cases.items() if c not in plain_failed}
    left_modules -= plain_failed
    rerun_failed = []
    for i in range(stage.args.reruns):
        if not left_cases and not left_modules:
            break
        failed = stage.rerun(f"agent-rerun{i + 1}", pythons["agent"], envs["agent"], left_cases,
                             left_modules, ignorefile)
        rerun_failed.append(failed)
        left_cases = {c: m for c, m in left_cases.items() if c in failed}
        left_modules &= failed
    confirmed = set(left_cases) | left_modules

    # Each confirmed failure on the known list, and each known crash, must
    # fail with a plain thread and no agent too; otherwise it is the agent's.
    control_cases = {c: left_cases[c] for c in confirmed if c in left_cases and known_effect(c)}
    control_cases.update(crashing)
    control_failed = stage.control(pythons["control"], envs["control"],
                                   by_plain_thread(control_cases))
    # An effect the plain thread does not show is shown by its reproducer
    # script, if it has one.  A known crash is not run with the agent, so it
    # cannot be the agent's; when the test does not show it under the plain
    # thread (it crashes only now and then), its reproducer script must.
    stale = set()
    unshown = {c: m for c, m in control_cases.items() if c not in control_failed}
    if unshown:
        control_failed |= stage.reproduce(pythons["plain"], envs["plain"], unshown)
        stale = {c for c in crashing if c not in control_failed}
    agent_only, allowed = [], []
    for name in sorted(confirmed):
        if known_effect(name) and name in control_failed:
            allowed.append(name)
        else:
            agent_only.append(name)
    return types.SimpleNamespace(
        suspects=suspects, rerun_failed=rerun_failed, plain_failed=plain_failed,
        agent_only=agent_only, allowed=allowed,
        stale=stale, unowned=sorted(unowned))


def read_junit(path):
    """Map each named test case in a regrtest JUnit file to its outcome."""
    cases = {}
    try:
        root = ET.parse(path).getroot()
    except (OSError, ET.ParseError):
        return cases
    for case in root.iter("testcase"):
        name = case.get("name")
        if not name:
            continue  # a test whose only failures were subtests: no record
        if case.find("failure") is not None or case.find("error") is not None:
            cases[name] = "failed"
        elif case.find("skipped") is not None:
            cases[name] = "skipped"
        else:
            cases[name] = "passed"
    return cases


def case_module(case_id, modules):
    """Return the regrtest module (of modules) a test id belongs to, or None."""
    # "setUpClass (test.test_x.Cls)" names its class in parentheses.
    match = re.search(r"\((test\.[^)]*)\)", case_id)
    dotted = match.group(1) if match else case_id
    best = None
    for name in modules:
        if dotted == "test." + name or dotted.startswith("test." + name + "."):
            if best is None or len(name) > len(best):
                best = name
    return best


def match_pattern(case_id):
    """Return the --matchfile pattern that reruns case_id."""
    match = re.match(r"\w+ \((test\.[^)]*)\)$", case_id)
    if match:  # a class or module fixture: rerun everything under it
        return match.group(1) + ".*"
    return case_id


def check_known_effects(stage, plain_py, control_py, env, tests):
    """Run every known-effect test plainly and under the plain thread.
    Return 0 when each passes plainly and fails with the plain thread."""
    cases = {t: m for entry in active_effects() for t in entry["tests"]
             for m in [case_module(t, tests)] if m}
    plain_failed = stage.rerun("known-plain", plain_py, env, cases, set())
    control_failed = stage.control(control_py, env, by_plain_thread(cases))
    control_failed |= stage.reproduce(plain_py, env,
                                      [c for c in cases if c not in control_failed])
    print()
    print("known effects: plainly, and with a plain thread and no agent")
    width = max(len(t) for t in cases)
    bad = 0
    for entry in active_effects():
        print(f"  {entry['reason']} (reproducer: tools/regrtest_repro/{entry['reproducer']})")
        for test_id in entry["tests"]:
            if test_id not in cases:
                continue
            plain = "failed" if test_id in plain_failed else "passed"
            thread = "failed" if test_id in control_failed else "passed"
            shown = plain == "passed" and thread == "failed"
            bad += not shown
            print(f"    {test_id:<{width}}  plain {plain}, plain thread {thread}"
                  f"{'' if shown else '  EFFECT NOT SHOWN'}")
    print(f"regrtest: {len(cases) - bad} of {len(cases)} known effects shown")
    return 1 if bad else 0


def main(argv=None):
    args = parse_args(argv)
    tests = args.tests or (QUICK_TESTS if args.quick else FULL_TESTS)
    # Debian splits CPython's tests off the standard library: without them
    # every module would be "skipped" and the stage pass for nothing.
    if importlib.util.find_spec("test.test_threading") is None:
        print(f"regrtest: {sys.executable} lacks CPython's regression tests (the `test` "
              f"package; Debian: libpython3.X-testsuite, which `tools/pythons.sh testsuite "
              f"NAME` adds)", file=sys.stderr)
        return 2
    workdir = os.path.abspath(args.keep or tempfile.mkdtemp(prefix="vandrel-regrtest-"))
    os.makedirs(workdir, exist_ok=True)
    stage = Stage(args, workdir)
    stage_start = time.monotonic()
    mark_dir = os.path.join(workdir, "agent-processes")
    shutil.rmtree(mark_dir, ignore_errors=True)
    os.makedirs(mark_dir)
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", MARK_DIR_ENV)}
    agent_env = dict(env, **{MARK_DIR_ENV: mark_dir})

    # A stage that silently ran without the agent would pass for nothing.
    try:
        packages = installed_packages_dir()
        plain_py = make_venv(os.path.join(workdir, "venv-plain"), packages)
        agent_py = make_venv(os.path.join(workdir, "venv-agent"), packages, AGENT_SITE)
        control_py = make_venv(os.path.join(workdir, "venv-plain-thread"), packages, CONTROL_SITE)
        agent_state = probe(agent_py, dict(env), workdir)
        plain_state = probe(plain_py, env, workdir)
    except (OSError, RuntimeError, ValueError, subprocess.SubprocessError) as exc:
        print(f"regrtest: cannot set up the interpreters under test: {exc}", file=sys.stderr)
        return 2
    if not agent_state[1] or agent_state[0] not in ("on", "unavailable") \
            or plain_state != ("off", False):
        print(f"regrtest: the sitecustomize did not take effect (with agent: {agent_state}, "
              f"plain: {plain_state})", file=sys.stderr)
        return 2
    print(f"regrtest: {len(tests)} test modules, -j{args.jobs}, timeout {args.timeout} s, "
          f"{sys.version.split()[0]}; with the agent the interceptor is {agent_state[0]} and "
          f"the dump thread runs (checked in an -I child); work directory {workdir}", flush=True)
    # The agent's interceptor does not support every version yet (init
    # answers -2): the run goes on with the dumps alone, and says so.
    interceptor_note = ""
    if agent_state[0] == "unavailable":
        interceptor_note = (f"NOTE: the GIL interceptor is unavailable on "
                            f"{sys.version.split()[0]} (init returned -2): the agent run "
                            f"exercised the stack dumps only")
        print(f"regrtest: {interceptor_note}", flush=True)

    if args.known_effects:
        status = check_known_effects(stage, plain_py, control_py, env, tests)
        if status:
            print(f"  logs: {workdir}")
        elif not args.keep:
            shutil.rmtree(workdir, ignore_errors=True)
        return status

    # Known crashes stay out of the agent run, so the rest of their module
    # runs; they are checked under the plain thread below.
    crashing = {t: m for entry in active_effects() if entry["crashes"] for t in entry["tests"]
                for m in [case_module(t, tests)] if m}
    ignorefile = None
    if crashing:
        ignorefile = os.path.join(workdir, "agent-ignore.txt")
        with open(ignorefile, "w") as f:
            f.write("".join(p + "\n" for p in sorted(crashing)))

    agent_mods, agent_cases, agent_s = stage.run("agent", agent_py, longest_first(tests),
                                                 agent_env, ignorefile=ignorefile)
    agent_processes = len(os.listdir(mark_dir))
    reruns_start = time.monotonic()
    found = decide(stage, {"agent": agent_py, "plain": plain_py, "control": control_py},
                   {"agent": agent_env, "plain": env, "control": env},
                   agent_mods, agent_cases, tests, crashing, ignorefile)
    reruns_s = time.monotonic() - reruns_start

    def verdict(name):
        if name in found.agent_only:
            if known_effect(name):
                return "AGENT-ONLY FAILURE (a listed effect, but a plain thread passes it)"
            return "AGENT-ONLY FAILURE"
        if name in found.stale:
            return "known crash, not shown this time under a plain thread"
        if name in found.allowed or name in crashing:
            return "known effect: " + known_effect(name)["reason"]
        if name in found.plain_failed:
            return "fails plainly too"
        return "flaky with the agent (passed a rerun)"

    # The report: every outcome the agent pass did not pass or skip.
    rows = []
    for name in sorted(set(found.suspects) | set(crashing)):
        first, plain, reruns = "not run", "-", "-"
        if name not in crashing:
            first = "failed"
            if found.suspects[name] is None:
                first = agent_mods.get(name, ("failed", "no result"))[1]
            plain = "fail" if name in found.plain_failed else "pass"
            # Each agent rerun takes what failed every time before it.
            results = []
            for failed in found.rerun_failed if plain == "pass" else []:
                results.append("fail" if name in failed else "pass")
                if name not in failed:
                    break
            reruns = ", ".join(results) or "-"
        label = name if found.suspects.get(name, "") is not None else name + " (module)"
        rows.append((label, first, plain, reruns, verdict(name)))
    for name in sorted(agent_mods):
        state, text = agent_mods[name]
        if state in ("passed", "skipped") or name in found.suspects:
            continue
        why = "see its test cases" if state == "failed" else "not judged"
        rows.append((name + " (module)", text, "-", "-", why))

    print()
    print("regrtest summary (every outcome not passed or skipped with the agent)")
    width = max([len(r[0]) for r in rows] + [40])
    print(f"  {'test':<{width}}  {'agent pass':<14} {'plain':<5} {'agent reruns':<12}  verdict")
    for name, first, plain, reruns, why in rows:
        print(f"  {name:<{width}}  {first[:14]:<14} {plain:<5} {reruns:<12}  {why}")
    if not rows:
        print("  (none)")
    count = lambda o: sum(1 for v in agent_cases.values() if v == o)
    print(f"  ran with the agent: {len(agent_cases)} test cases ({count('passed')} passed, "
          f"{count('failed')} failed, {count('skipped')} skipped) in {len(agent_mods)} modules")
    whole = sum(1 for m in found.suspects.values() if m is None)
    flaky = len(found.suspects) - len(found.plain_failed) - len(found.allowed) \
        - len(found.agent_only)
    print(f"  suspect (failed with the agent): {len(found.suspects)} ({len(found.suspects) - whole} "
          f"test cases, {whole} whole modules); decided: {len(found.plain_failed)} fail plainly "
          f"too, {flaky} flaky with the agent (passed a rerun), {len(found.allowed)} known "
          f"effects, {len(found.agent_only)} agent-only")
    print(f"  processes that ran with the agent: at least {agent_processes}")
    for name in found.unowned:
        print(f"  note: {name} failed with the agent, but belongs to no module run")
    for name in sorted(found.stale):
        print(f"  WARNING: known crash {name} showed neither as a test nor through its "
              f"reproducer under a plain thread: is the entry still needed?")
    shown = set(found.allowed) | (set(crashing) - found.stale)
    hits = {}  # (reason, reproducer) -> count; entries of other versions share reasons
    for entry in active_effects():
        key = (entry["reason"], entry["reproducer"])
        hits[key] = hits.get(key, 0) + sum(1 for t in entry["tests"] if t in shown)
    for (reason, reproducer), n in hits.items():
        if n:
            print(f"  known effect, {n} test(s) failing without the agent too (a plain "
                  f"thread or the reproducer): {reason} (reproducer: tools/regrtest_repro/"
                  f"{reproducer})")
    print(f"  time: agent pass {agent_s:.0f} s, reruns and checks {reruns_s:.0f} s, "
          f"stage {time.monotonic() - stage_start:.0f} s")
    if interceptor_note:
        print(f"  {interceptor_note}")
    if found.agent_only:
        print(f"regrtest: FAILED: {len(found.agent_only)} test(s) fail only with the agent: "
              + ", ".join(found.agent_only))
        print(f"  logs: {workdir}")
        return 1
    print("regrtest: OK: no test fails only with the agent")
    if not args.keep:
        shutil.rmtree(workdir, ignore_errors=True)
    return 0

if __name__ == "__main__":
    # Orphans of the tests come to this process, which kills them after
    # each run (Stage.run); not done in main(), which tests call in-process.
    adopt_orphans()
    sys.exit(main())
