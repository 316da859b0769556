"""python -m vandrel: the launcher that runs a script with the agent loaded."""
import os
import re
import subprocess
import sys

import vandrel

from agent_helpers import run_python, write_script


def test_path_command_prints_the_installed_agent():
    proc = run_python(["-m", "vandrel", "path"])
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")
    path = proc.stdout.decode().strip()
    assert path == vandrel.agent_path()
    assert os.path.isabs(path) and os.path.isfile(path)
    assert "vandrel_agent." in os.path.basename(path)


def test_argv_and_exit_status_reach_the_script(tmp_path):
    script = write_script(tmp_path, """
        import json, sys
        print(json.dumps({"argv": sys.argv, "name": __name__, "path0": sys.path[0]}))
        sys.exit(int(sys.argv[1]))
    """)
    args = ["7", "--help", "-m", "with space", "", "ünï"]
    proc = run_python(["-m", "vandrel", "run", str(script), *args], cwd="/")
    assert proc.returncode == 7, proc.stderr.decode(errors="replace")
    import json
    seen = json.loads(proc.stdout)
    assert seen["argv"] == [str(script), *args]
    assert seen["name"] == "__main__"
    assert seen["path0"] == os.path.realpath(tmp_path)


def test_uncaught_exception_exits_1_with_traceback(tmp_path):
    script = write_script(tmp_path, "raise ValueError('boom from the script')\n")
    proc = run_python(["-m", "vandrel", "run", str(script)])
    assert proc.returncode == 1, proc.stderr.decode(errors="replace")
    assert b"ValueError: boom from the script" in proc.stderr


def test_normal_end_exits_0(tmp_path):
    script = write_script(tmp_path, "print('done')\n")
    proc = run_python(["-m", "vandrel", "run", str(script)])
    assert (proc.returncode, proc.stdout) == (0, b"done\n"), proc.stderr


def test_missing_script_and_bad_usage(tmp_path):
    proc = run_python(["-m", "vandrel", "run", str(tmp_path / "absent.py")])
    assert proc.returncode == 2 and b"absent.py" in proc.stderr
    for args in (["run"], ["frobnicate"], ["path", "extra"], []):
        proc = run_python(["-m", "vandrel", *args])
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
    proc = run_python(["-m", "vandrel", "run", str(script)])
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
    proc = run_python(["-m", "vandrel", "run", "-m", "pkg.tool", "a", "-b"], cwd=tmp_path)
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
    proc = run_python(["-m", "vandrel", "run", str(script)])
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")
    assert proc.stdout == b"False False\n"


def test_demo_dumps_its_named_threads():
    """The README's first command, end to end."""
    repo = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    proc = run_python(["-m", "vandrel", "run", os.path.join(repo, "examples", "demo.py")],
                      cwd="/tmp")
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")
    out = proc.stdout.decode()
    for name in ("MainThread", "request-handler-1", "request-handler-2",
                 "request-handler-3", "heartbeat"):
        assert f'"{name}"' in out, name
    assert "in parse_headers" in out and "in heartbeat" in out
    if sys.version_info[:2] != (3, 13):
        assert out.count("Current thread ") == 1
        assert "GIL interceptor not available here (status -2)" in out
        return
    # The GIL view dumps once more while its workers contend, then reports.
    assert out.count("Current thread ") == 2
    assert re.search(r"^GIL report \(final\): wall [\d.]+ s, held", out, re.M), out
    assert re.search(r"^  io-heartbeat +\d+ ", out, re.M), out
    assert re.search(r"^io-heartbeat queued \d+% of the time", out, re.M), out
