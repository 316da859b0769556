"""python -m vandrel: the launcher that runs a script with the agent loaded."""
import os
import re
import sys

import pytest

import vandrel

from agent_helpers import write_script
from child import run_python
from conftest import GIL_INTERCEPTOR_SUPPORTED, ROOT, needs_interceptor


def test_path_command_prints_the_installed_agent():
    proc = run_python(["-m", "vandrel", "path"], text=False)
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")
    path = proc.stdout.decode().strip()
    assert path == vandrel.agent_path()
    assert os.path.isabs(path) and os.path.isfile(path)
    assert "vandrel_agent." in os.path.basename(path)


def test_path_command_from_the_source_tree_finds_the_installed_agent():
    """In the checkout, `-m vandrel` imports the source tree's package, which
    holds no built agent: the one installed on sys.path is found instead."""
    repo = str(ROOT)
    proc = run_python(["-m", "vandrel", "path"], cwd=repo, text=False)
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")
    assert proc.stdout.decode().strip() == vandrel.agent_path()


def test_argv_and_exit_status_reach_the_script(tmp_path):
    script = write_script(tmp_path, """
        import json, sys
        print(json.dumps({"argv": sys.argv, "name": __name__, "path0": sys.path[0]}))
        sys.exit(int(sys.argv[1]))
    """)
    args = ["7", "--help", "-m", "with space", "", "ünï"]
    proc = run_python(["-m", "vandrel", "run", str(script), *args], cwd="/", text=False)
    assert proc.returncode == 7, proc.stderr.decode(errors="replace")
    import json
    seen = json.loads(proc.stdout)
    assert seen["argv"] == [str(script), *args]
    assert seen["name"] == "__main__"
    assert seen["path0"] == os.path.realpath(tmp_path)


def test_uncaught_exception_exits_1_with_traceback(tmp_path):
    script = write_script(tmp_path, "raise ValueError('boom from the script')\n")
    proc = run_python(["-m", "vandrel", "run", str(script)], text=False)
    assert proc.returncode == 1, proc.stderr.decode(errors="replace")
    assert b"ValueError: boom from the script" in proc.stderr


def test_normal_end_exits_0(tmp_path):
    script = write_script(tmp_path, "print('done')\n")
    proc = run_python(["-m", "vandrel", "run", str(script)], text=False)
    assert (proc.returncode, proc.stdout) == (0, b"done\n"), proc.stderr


def test_missing_script_and_bad_usage(tmp_path):
    proc = run_python(["-m", "vandrel", "run", str(tmp_path / "absent.py")], text=False)
    assert proc.returncode == 2 and b"absent.py" in proc.stderr
    for args in (["run"], ["frobnicate"], ["path", "extra"], []):
        proc = run_python(["-m", "vandrel", *args], text=False)
        assert proc.returncode == 2, (args, proc.stderr)
        assert b"usage" in proc.stderr + proc.stdout


def test_agent_is_loaded_before_the_script_starts(tmp_path):
    script = write_script(tmp_path, """
        import sys
        with open("/proc/self/maps") as maps:
            loaded = "vandrel_agent." in maps.read()
        # Nothing of the script has imported a module yet.
        assert "threadsnap" not in sys.modules and "lockgauge" not in sys.modules
        import threadsnap, lockgauge
        print(loaded, threadsnap.dump_all_threads_stack(-1, 0))
    """)
    proc = run_python(["-m", "vandrel", "run", str(script)], text=False)
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")
    assert proc.stdout == b"True 0\n"
    # The modules found the agent: no "can not found" line at import.
    assert proc.stderr == b""


def test_run_module(tmp_path):
    package = tmp_path / "pkg"
    package.mkdir()
    (package / "__init__.py").write_text("")
    (package / "tool.py").write_text(
        "import sys, threadsnap\n"
        "print(__name__, sys.argv[1:], threadsnap.dump_all_threads_stack(-1, 0))\n"
        "sys.exit(3)\n")
    proc = run_python(["-m", "vandrel", "run", "-m", "pkg.tool", "a", "-b"], cwd=tmp_path,
                      text=False)
    assert proc.returncode == 3, proc.stderr.decode(errors="replace")
    assert proc.stdout == b"__main__ ['a', '-b'] 0\n"
    assert proc.stderr == b""


def test_children_of_the_script_are_not_affected(tmp_path):
    script = write_script(tmp_path, """
        import os, subprocess, sys
        child = subprocess.run(
            [sys.executable, "-c",
             "import os; print('vandrel_agent.' in open('/proc/self/maps').read(), "
             "'vandrel' in os.environ.get('LD_PRELOAD', ''))"],
            capture_output=True, check=True)
        sys.stdout.write(child.stdout.decode())
    """)
    proc = run_python(["-m", "vandrel", "run", str(script)], text=False)
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")
    assert proc.stdout == b"False False\n"


@pytest.mark.parametrize("launch", [["-m", "vandrel", "run"], []], ids=["launcher", "plain"])
def test_demo_dumps_its_named_threads(launch):
    """The README's first command end to end, and the demo under plain
    python, where it loads the agent itself."""
    repo = str(ROOT)
    proc = run_python([*launch, os.path.join(repo, "examples", "demo.py")], cwd="/tmp", text=False)
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")
    out = proc.stdout.decode()
    for name in ("MainThread", "request-handler-1", "request-handler-2",
                 "request-handler-3", "heartbeat"):
        assert f'"{name}"' in out, name
    assert "in parse_headers" in out and "in heartbeat" in out
    if not GIL_INTERCEPTOR_SUPPORTED:
        assert out.count("Current thread ") == 1
        assert "GIL interceptor not available here (status -2): lockgauge." in out
        return
    # The GIL view dumps once more while its workers contend, then reports.
    assert out.count("Current thread ") == 2
    assert re.search(r"^GIL report \(final\): wall [\d.]+ s, held", out, re.M), out
    assert re.search(r"^  io-heartbeat +\d+ ", out, re.M), out
    assert re.search(r"^io-heartbeat queued \d+% of the time", out, re.M), out


# ---- behaving like python ---------------------------------------------------

def test_file_is_absolute_and_argv0_as_given(tmp_path):
    write_script(tmp_path, """
        import sys
        print(__file__, sys.argv[0], sys.path[0], sorted(n for n in globals() if n[0] != "_"))
    """)
    proc = run_python(["-m", "vandrel", "run", "scenario.py"], cwd=tmp_path, text=False)
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")
    script = str(tmp_path / "scenario.py")
    # The launcher's own globals do not leak into the program's.
    assert proc.stdout.decode() == f"{script} scenario.py {os.path.realpath(tmp_path)} ['sys']\n"


def test_dash_and_dev_stdin_read_the_program_from_standard_input(tmp_path):
    program = b"import sys\nprint(__file__, sys.argv, repr(sys.path[0]))\nsys.exit(4)\n"
    for target, expected in (("-", b"<stdin> ['-', 'x'] ''\n"),
                             ("/dev/stdin", b"/dev/stdin ['/dev/stdin', 'x'] ")):
        source = tmp_path / "program.py"
        source.write_bytes(program)
        with open(source, "rb") as stdin:
            proc = run_python(["-m", "vandrel", "run", target, "x"], stdin=stdin, text=False)
        assert proc.returncode == 4, (target, proc.stderr.decode(errors="replace"))
        assert proc.stdout.startswith(expected), (target, proc.stdout)
    # From a pipe too (nothing may read it before the program does).
    proc = run_python(["-m", "vandrel", "run", "/dev/stdin"], input=program, text=False,
                      timeout=60)
    assert proc.returncode == 4 and proc.stdout.startswith(b"/dev/stdin ['/dev/stdin']"), proc


def test_missing_module_is_one_line_and_status_1():
    proc = run_python(["-m", "vandrel", "run", "-m", "vandrel_no_such_module", "x"], text=False)
    assert proc.returncode == 1
    assert proc.stderr.decode() == f"{sys.executable}: No module named vandrel_no_such_module\n"
    # As python -m itself says it.
    plain = run_python(["-m", "vandrel_no_such_module"], text=False)
    assert (plain.returncode, plain.stderr) == (proc.returncode, proc.stderr)


def test_unreadable_script_is_python_s_message(tmp_path):
    proc = run_python(["-m", "vandrel", "run", "absent.py"], cwd=tmp_path, text=False)
    assert proc.returncode == 2
    assert proc.stderr.decode() == (f"{sys.executable}: can't open file "
                                    f"'{tmp_path / 'absent.py'}': [Errno 2] No such file or "
                                    "directory\n")


def test_traceback_starts_in_the_program(tmp_path):
    script = write_script(tmp_path, """
        def fail():
            raise ValueError("boom")
        fail()
    """)
    launched = run_python(["-m", "vandrel", "run", str(script)], text=False)
    plain = run_python([str(script)], text=False)
    assert launched.returncode == plain.returncode == 1
    assert launched.stderr == plain.stderr
    assert launched.stderr.startswith(b'Traceback (most recent call last):\n  File "'
                                      + str(script).encode() + b'", line 4, in <module>\n')


def test_traceback_goes_through_the_program_s_excepthook(tmp_path):
    script = write_script(tmp_path, """
        import sys
        def hook(kind, value, tb):
            frames = []
            while tb is not None:
                frames.append(tb.tb_frame.f_code.co_name)
                tb = tb.tb_next
            print("hook", kind.__name__, value, frames)
        sys.excepthook = hook
        def fail():
            raise KeyError("k")
        fail()
    """)
    proc = run_python(["-m", "vandrel", "run", str(script)], text=False)
    assert proc.returncode == 1
    assert proc.stdout == b"hook KeyError 'k' ['<module>', 'fail']\n", proc.stderr


def test_syntax_error_as_python_shows_it(tmp_path):
    script = write_script(tmp_path, "x = = 1\n")
    launched = run_python(["-m", "vandrel", "run", str(script)], text=False)
    plain = run_python([str(script)], text=False)
    assert (launched.returncode, launched.stderr) == (plain.returncode, plain.stderr)
    assert b"SyntaxError" in launched.stderr and b"Traceback" not in launched.stderr


def test_exit_statuses_match_python(tmp_path):
    cases = ["raise SystemExit", "raise SystemExit(None)", "raise SystemExit(5)",
             "raise SystemExit('bye')", "import sys; sys.exit(300)",
             "raise KeyboardInterrupt", "import os; os._exit(9)", "pass"]
    for code in cases:
        script = write_script(tmp_path, code + "\n")
        launched = run_python(["-m", "vandrel", "run", str(script)], text=False)
        plain = run_python([str(script)], text=False)
        assert launched.returncode == plain.returncode, (code, launched.stderr)
        assert launched.stderr == plain.stderr, code


def test_module_runs_with_the_arguments_after_it(tmp_path):
    (tmp_path / "tool.py").write_text(
        "import sys\nprint(__file__, sys.argv, sorted(n for n in globals() if n[0] != '_'))\n")
    proc = run_python(["-m", "vandrel", "run", "-m", "tool", "--gil", "-m", "x"], cwd=tmp_path,
                      text=False)
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")
    tool = str(tmp_path / "tool.py")
    assert proc.stdout.decode() == f"{tool} {[tool, '--gil', '-m', 'x']} ['sys']\n"
    # "--gil" belonged to the program: no interceptor, no report.
    assert proc.stderr == b""


def test_command_runs_as_python_c_runs_it(tmp_path):
    # What `python -c` gives its code: argv[0] "-c", the current directory
    # first on sys.path, no __file__, the arguments after it; and the agent
    # is there for the modules.
    code = ("import sys, threadsnap; print(sys.argv, sys.path[0] == '', '__file__' in globals(),"
            " threadsnap.dump_all_threads_stack(-1, 0)); sys.exit(3)")
    launched = run_python(["-m", "vandrel", "run", "-c", code, "--gil", "x"], cwd=tmp_path)
    assert (launched.returncode, launched.stdout) == (3, "['-c', '--gil', 'x'] True False 0\n"), \
        launched
    failed = run_python(["-m", "vandrel", "run", "-c", "1/0"], cwd=tmp_path)
    assert failed.returncode == 1 and failed.stderr.endswith(
        '  File "<string>", line 1, in <module>\nZeroDivisionError: division by zero\n'), failed


# ---- help and usage errors --------------------------------------------------

def test_help_describes_each_command_and_option():
    top = run_python(["-m", "vandrel", "--help"], text=False)
    assert top.returncode == 0 and b"run" in top.stdout and b"path" in top.stdout, top.stderr
    run = run_python(["-m", "vandrel", "run", "--help"], text=False)
    assert run.returncode == 0, run.stderr
    text = run.stdout.decode()
    assert "(script | -m module | -c command | -) [args ...]" in text
    for option in ("--gil ", "--gil-report FILE", "--gil-period SECONDS", "--gil-trace FILE",
                   "--gil-long-hold SECONDS", "--gil-profile DIR", "--gil-profile-rate HZ",
                   "--gil-profile-wait SECONDS", "--dump-on SIGNAL", "--dump-after SECONDS"):
        assert option in text, option
    path = run_python(["-m", "vandrel", "path", "--help"], text=False)
    assert path.returncode == 0 and b"LD_PRELOAD" in path.stdout, path.stdout


def test_bad_options_are_usage_errors_with_status_2(tmp_path):
    script = write_script(tmp_path, "print('ran')\n")
    cases = {
        ("--gil-period", "-1"): "argument --gil-period: must be 0 to 1000000 seconds, got '-1'",
        ("--gil-period", "soon"): "argument --gil-period: not a number of seconds: 'soon'",
        # Each range message states the real range.
        ("--dump-after", "0"): "argument --dump-after: must be more than 0 and at most 1000000 "
                               "seconds, got '0'",
        ("--dump-after", "-3"): "argument --dump-after: must be more than 0 and at most 1000000 "
                                "seconds, got '-3'",
        ("--dump-on", "KILL"): "argument --dump-on: signal SIGKILL cannot be caught",
        ("--dump-on", "NOPE"): "argument --dump-on: unknown signal 'NOPE'",
        ("--gil-report", str(tmp_path / "no" / "dir")): "--gil-report: cannot open ",
        ("--gil-trace", str(tmp_path / "no" / "dir")): "--gil-trace: cannot open ",
        ("--gil-long-hold", "0"): "argument --gil-long-hold: must be 0.000001 to 2147 seconds",
        ("--gil-long-hold", "3000"): "argument --gil-long-hold: must be 0.000001 to 2147 sec",
        ("--gil-long-hold", "-1"): "argument --gil-long-hold: must be 0.000001 to 2147 seconds, "
                                   "got '-1'",
        ("--gil-long-hold", "nan"): "argument --gil-long-hold: not a number of seconds: 'nan'",
        ("--frobnicate",): "unrecognized arguments: --frobnicate",
    }
    for options, message in cases.items():
        proc = run_python(["-m", "vandrel", "run", *options, str(script)], text=False)
        assert proc.returncode == 2 and proc.stdout == b"", (options, proc.stderr)
        lines = proc.stderr.decode().splitlines()
        assert lines[0].startswith("usage: python -m vandrel run "), (options, lines)
        assert len(lines) == 2 and lines[1].startswith("python -m vandrel run: error: ")
        assert message in lines[1], (options, lines)
    for args, message in ((["run"], "missing the program"),
                          (["run", "-m"], "missing the module name after -m"),
                          (["run", "-c"], "missing the command after -c"),
                          (["path", "extra"], "unrecognized arguments: extra"),
                          ([], "required: COMMAND"), (["frobnicate"], "invalid choice")):
        proc = run_python(["-m", "vandrel", *args], text=False)
        assert proc.returncode == 2 and message in proc.stderr.decode(), (args, proc.stderr)


# ---- --gil and the dumps ----------------------------------------------------

GIL_WORK = """
import threading, time
def spin():
    deadline = time.monotonic() + 0.4
    while time.monotonic() < deadline:
        pass
threads = [threading.Thread(target=spin, name=f"spin-{n}") for n in range(2)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
print("done")
"""


@needs_interceptor
def test_gil_prints_the_final_report_to_stderr_at_exit(tmp_path):
    script = write_script(tmp_path, GIL_WORK + "import sys; sys.exit(3)\n")
    proc = run_python(["-m", "vandrel", "run", "--gil", str(script)], text=False)
    assert proc.returncode == 3 and proc.stdout == b"done\n", proc.stderr
    err = proc.stderr.decode()
    assert err.startswith("GIL report (final): wall "), err
    assert err.count("GIL report") == 1
    assert re.search(r"^  spin-0 +\d+ ", err, re.M) and re.search(r"^  spin-1 +\d+ ", err, re.M)


@needs_interceptor
@pytest.mark.timing
def test_gil_report_file_and_period(tmp_path):
    script = write_script(tmp_path, GIL_WORK)
    report = tmp_path / "gil.txt"
    # --gil-report alone implies --gil.
    proc = run_python(["-m", "vandrel", "run", "--gil-report", str(report), "--gil-period",
                       "0.1", str(script)], text=False)
    assert proc.returncode == 0 and proc.stderr == b"", proc.stderr
    text = report.read_text()
    assert text.count("GIL report (periodic)") >= 2, text
    assert text.count("GIL report (final)") == 1 and text.rindex("(final)") > text.rindex(
        "(periodic)"), text
    # --gil-period alone implies --gil too, with the reports on stderr.
    proc = run_python(["-m", "vandrel", "run", "--gil-period", "0.1", str(script)], text=False)
    assert proc.returncode == 0 and proc.stdout == b"done\n", proc.stderr
    err = proc.stderr.decode()
    assert err.startswith("GIL report (periodic)") and err.count("GIL report (final)") == 1, err


@pytest.mark.skipif(GIL_INTERCEPTOR_SUPPORTED, reason="the interceptor is available")
def test_gil_where_the_interceptor_is_unavailable_says_why(tmp_path):
    script = write_script(tmp_path, "print('ran')\n")
    proc = run_python(["-m", "vandrel", "run", "--gil", str(script)], text=False)
    assert proc.returncode == 1 and proc.stdout == b""
    assert proc.stderr.decode().startswith(
        "vandrel: --gil: lockgauge.init_gil_interceptor: the GIL interceptor is not available")


def test_dump_on_signal_dumps_to_stderr(tmp_path):
    script = write_script(tmp_path, """
        import os, signal
        def signalled():
            os.kill(os.getpid(), signal.SIGUSR1)
            os.kill(os.getpid(), signal.SIGUSR2)
        signalled()
        print("still running")
    """)
    proc = run_python(["-m", "vandrel", "run", "--dump-on", "USR1", "--dump-on", "sigusr2",
                       str(script)], text=False)
    assert (proc.returncode, proc.stdout) == (0, b"still running\n"), proc.stderr
    err = proc.stderr.decode()
    assert err.count('Current thread ') == 2 and err.count(" in signalled\n") == 2, err


@pytest.mark.timing
def test_dump_after_dumps_once(tmp_path):
    script = write_script(tmp_path, """
        import time
        def sleeping():
            time.sleep(1.0)
        sleeping()
    """)
    proc = run_python(["-m", "vandrel", "run", "--dump-after", "0.2", str(script)], text=False)
    assert proc.returncode == 0, proc.stderr
    err = proc.stderr.decode()
    # From the agent's timer thread, which is not shown.
    assert "Current thread " not in err and "vandrel-dump-later" not in err, err
    assert err.count('"MainThread"') == 1, err
    assert re.search(r'^Thread \d+ "MainThread".*\n  File "[^"]*", line \d+ in sleeping$', err,
                     re.M), err


def test_module_and_directory_tracebacks_start_in_the_program(tmp_path):
    app = tmp_path / "app"
    app.mkdir()
    (app / "__main__.py").write_text("import sys\nprint(sys.argv)\nraise RuntimeError('x')\n")
    main = str(app / "__main__.py")
    for args, argv in ((["-m", "app", "q"], [main, "q"]), ([str(app), "q"], [str(app), "q"])):
        proc = run_python(["-m", "vandrel", "run", *args], cwd=tmp_path, text=False)
        assert proc.returncode == 1 and proc.stdout.decode() == f"{argv}\n", proc.stderr
        assert proc.stderr.decode().startswith(
            f'Traceback (most recent call last):\n  File "{main}", line 3, in <module>\n'), args
        assert proc.stderr.endswith(b"RuntimeError: x\n")
