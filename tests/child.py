"""Child processes for the tests, and the agent's statuses.

run() is the one way a test runs a program and waits for it: with a
timeout, the output captured, a CompletedProcess back (returncode, stdout,
stderr).  With check=True it fails the test, naming the command and showing
its output, unless the program exits 0.

run_python() runs this interpreter through it as a test child: under the
hardening run's wrapper, with its preload first in LD_PRELOAD, and failing
the test when the child's stderr carries a sanitizer or valgrind report.
Any test that starts a Python process of its own uses it (or start_python()
for one that must run beside the test).  run_child() and check_child() run
a code string in such a child with agents loaded first.  Child programs
longer than a screenful are files in the test folders' children/
directories, read with child_program().

The hardening runs (tools/hardening.sh) steer every child through three
environment variables:
  VANDREL_CHILD_PRELOAD  libraries put first in each child's LD_PRELOAD
                         (the sanitizer runtime: the interpreter is not
                         instrumented, so the runtime must come first);
  VANDREL_CHILD_WRAPPER  a command that runs each child (valgrind ...);
  VANDREL_SANITIZED=1    the modules are a sanitizer build."""
import os
import re
import shlex
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent

# Statuses of the modules' functions.  -1 is the modules' own: no agent
# entry point, or arguments the module could not parse; the agent's
# interceptor entry points answer the others.
OK = 0
MISSED = -1
NOT_AVAILABLE = -2
BAD_PARAMETER = -3
ALREADY_ON = -4
NOT_ON = -5
SYSTEM_ERROR = -6
NO_GIL = -7

SANITIZED = os.environ.get("VANDREL_SANITIZED") == "1"
# Why a fork test skips under the sanitizer build: GCC 12's AddressSanitizer
# does not hold its allocator's locks across fork(), so a child forked while
# another thread allocates or frees may find one held for good.  The agent's
# own threads keep out of fork()'s way (agent/fork_gate.h); a program whose
# threads start and end all along still loses a child now and then there,
# with no GIL session on as well (CPython's own after-fork allocation waits).
FORK_HANGS_UNDER_SANITIZER = ("AddressSanitizer's allocator is not held across fork(): a child "
                              "forked while threads start and end may inherit its lock held")
CHILD_PRELOAD = [p for p in os.environ.get("VANDREL_CHILD_PRELOAD", "").split(":") if p]
CHILD_WRAPPER = shlex.split(os.environ.get("VANDREL_CHILD_WRAPPER", ""))
# Children under valgrind run tens of times slower.
TIMEOUT_FACTOR = float(os.environ.get("VANDREL_TIMEOUT_FACTOR", "1"))
PYTHON_TIMEOUT = 120

# A line any of these tools prints when it finds a fault in a child.
TOOL_REPORT = re.compile(
    r"ERROR: (Address|Leak)Sanitizer|SUMMARY: \w+Sanitizer|: runtime error: "
    r"|^==\d+== \S", re.MULTILINE)


def run(cmd, *, timeout, env=None, cwd=None, text=True, stdin=None, input=None, check=False,
        hardened=False) -> subprocess.CompletedProcess:
    """Run cmd (a list) and wait at most timeout seconds for it.

    input goes to its stdin (else stdin, as for subprocess.run).  env
    replaces the environment when given.  hardened: cmd is one of the
    test's Python children (see run_python): the timeout is scaled for
    valgrind, the hardening preload goes first, and a sanitizer or
    valgrind report in its stderr fails the test."""
    cmd = [str(part) for part in cmd]
    if hardened:
        timeout *= TIMEOUT_FACTOR
        env = hardened_env(os.environ if env is None else env)
    done = subprocess.run(cmd, capture_output=True, text=text, timeout=timeout, env=env,
                          cwd=cwd, stdin=stdin, input=input)
    stdout, stderr = ((done.stdout, done.stderr) if text else
                      (done.stdout.decode(errors="replace"), done.stderr.decode(errors="replace")))
    if hardened and TOOL_REPORT.search(stderr):
        pytest.fail(f"child exited {done.returncode} with a sanitizer/valgrind report:\n"
                    f"--- stderr\n{stderr}", pytrace=False)
    if check:
        assert done.returncode == 0, (
            f"{shlex.join(cmd)}\nexited {done.returncode}\n--- stdout\n{stdout}\n"
            f"--- stderr\n{stderr}")
    return done


def hardened_env(env) -> dict:
    """A copy of `env` with the hardening run's preload first in LD_PRELOAD."""
    env = dict(env)
    if CHILD_PRELOAD:
        rest = [p for p in env.get("LD_PRELOAD", "").split(":") if p]
        env["LD_PRELOAD"] = ":".join([*CHILD_PRELOAD, *rest])
    return env


def child_env(env=None) -> dict:
    """The test's environment without its LD_PRELOAD, with env's variables on top."""
    full = dict(os.environ)
    full.pop("LD_PRELOAD", None)
    full.update(env or {})
    return full


def run_python(args, *, env=None, timeout=PYTHON_TIMEOUT, text=True, cwd="/",
               stdin=subprocess.DEVNULL, input=None, check=False) -> subprocess.CompletedProcess:
    """Run this interpreter with args as a test child (see run()).

    env: variables set on top of child_env(); stdin /dev/null unless input
    or stdin says otherwise.  The working directory defaults to "/", so
    that `-m vandrel` finds the installed package, never the source tree."""
    return run([*CHILD_WRAPPER, sys.executable, *args], env=child_env(env), timeout=timeout,
               text=text, cwd=cwd, stdin=None if input is not None else stdin, input=input,
               check=check, hardened=True)


def start(cmd, *, env=None, cwd=None, **popen_kwargs) -> subprocess.Popen:
    """cmd started and not waited for, its stdout and stderr piped: for a
    test that acts on it while it runs.  The caller kills it in a finally."""
    return subprocess.Popen([str(part) for part in cmd], cwd=cwd, env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, **popen_kwargs)


def start_python(args, *, env=None, cwd="/", **popen_kwargs) -> subprocess.Popen:
    """run_python()'s child, started with start()."""
    return start([*CHILD_WRAPPER, sys.executable, *args], cwd=cwd,
                 env=hardened_env(child_env(env)), **popen_kwargs)


def run_child(code: str, *, load=(), preload=(), env=None, cwd=None, timeout=60):
    """Run `code` in a fresh interpreter and return the finished process.

    `load` paths are opened with ctypes (RTLD_LOCAL) before `code` runs, in
    order, and `preload` ones through LD_PRELOAD.  The child can import the
    helper modules of this directory (`recorder`, `interceptor`)."""
    prelude = "import ctypes\n" + "".join(f"ctypes.CDLL({p!r})\n" for p in load)
    variables = {"PYTHONPATH": str(HERE), "PYTHONDONTWRITEBYTECODE": "1"}
    if preload:
        variables["LD_PRELOAD"] = ":".join(preload)
    variables.update(env or {})
    return run_python(["-c", prelude + textwrap.dedent(code)], env=variables,
                      timeout=timeout, cwd=cwd or "/")


def child_program(name, **values) -> str:
    """The source of the child program FOLDER/children/NAME.py (FOLDER one
    of the test folders), after a line `KEY = value` for each of values
    (the program's settings)."""
    found = list(HERE.glob(f"*/children/{name}.py"))
    assert len(found) == 1, f"child program {name}: {found}"
    settings = "".join(f"{key} = {value!r}\n" for key, value in values.items())
    return settings + found[0].read_text()


def check_child(code: str, **kwargs) -> subprocess.CompletedProcess:
    """run_child(), failing the test with the child's output unless it exits 0."""
    done = run_child(code, **kwargs)
    assert done.returncode == 0, (
        f"child exited {done.returncode}\n--- stdout\n{done.stdout}\n--- stderr\n{done.stderr}")
    return done
