"""Type information as a user's type checker finds it after `pip install`.

mypy runs in a child process on samples outside the source tree, so it can
only see what was installed: the stub-only packages lockgauge-stubs and
threadsnap-stubs and the py.typed marker of vandrel."""
import re
import sys
import textwrap

import pytest

from child import child_program, run
from conftest import FREE_THREADED

# The stubs are the same on every build; a free-threaded interpreter gets
# the last mypy before 2 (tests/constraints-free-threaded.txt), whose
# messages and error codes differ from the ones checked here.
pytestmark = pytest.mark.skipif(FREE_THREADED, reason="older mypy on a free-threaded build; "
                                "the stubs are checked on the other interpreters")

GOOD = child_program("typing_sample")

# Each line must be rejected; the error code names the reason.
BAD = {
    "keyword": ("threadsnap.dump_all_threads_stack(fd=1, max_frames=2)", "call-arg"),
    "too few": ("threadsnap.dump_all_threads_stack(1)", "call-arg"),
    "too many": ("threadsnap.dump_all_threads_stack(1, 2, 3)", "call-arg"),
    "float": ("threadsnap.dump_all_threads_stack(1.5, 2)", "arg-type"),
    "str": ("lockgauge.init_gil_interceptor(None, '1', 2, 3, 4, 5, 6)", "arg-type"),
    "six": ("lockgauge.init_gil_interceptor(None, 1, 2, 3, 4, 5)", "call-arg"),
    "not str": ("x: str = lockgauge.deinit_gil_interceptor()", "assignment"),
    "init keyword": ("lockgauge.init_gil_interceptor(None, 1, 2, 3, 4, 5, c=6)", "call-arg"),
    "max_frames keyword-only": ("vandrel.dump_stacks(1, 2)", "call-arg"),
    "format positional": ("vandrel.format_stacks(3)", "call-arg"),
    "timeout str": ("vandrel.dump_stacks_later('1')", "arg-type"),
    "file str": ("vandrel.dump_stacks('stderr')", "arg-type"),
    "text not int": ("n: int = vandrel.format_stacks()", "assignment"),
    "signal str": ("vandrel.dump_stacks_on_signal('USR1')", "arg-type"),
    "monitor period str": ("vandrel.GilMonitor('1')", "arg-type"),
    "monitor options keyword-only": ("vandrel.GilMonitor(1.0, 0.01)", "call-arg"),
    "callback signature": ("vandrel.GilMonitor(callback=lambda a, b: None)", "arg-type"),
    "report frozen": ("vandrel.GilMonitor().report().wall_s = 1.0", "misc"),
    "stats not a dict": ("vandrel.GilMonitor().report().threads[0]['name']", "index"),
}


def mypy(tmp_path, source):
    sample = tmp_path / "sample.py"
    sample.write_text(textwrap.dedent(source))
    done = run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--show-error-codes",
         "--python-version", f"{sys.version_info[0]}.{sys.version_info[1]}", sample],
        cwd=tmp_path, timeout=300)
    return done.returncode, done.stdout + done.stderr


def test_strict_mypy_accepts_every_function_with_precise_types(tmp_path):
    code, out = mypy(tmp_path, GOOD)
    # reveal_type() is a note, not an error: exit code 0 means no error at all.
    assert code == 0, out
    # Without vandrel/py.typed the import of vandrel alone fails --strict.
    index = r"typing\.SupportsIndex"
    result = r"\) -> (builtins\.)?int"
    expected = [
        rf"def \((builtins\.)?object, {index}, {index}, {index}, {index}, {index}, {index}{result}",
        rf"def \(\*ignored: (builtins\.)?object{result}",
        rf"def \({index}, {index}{result}",
    ]
    for pattern in expected:
        assert re.search(pattern, out), (pattern, out)
    for pattern in (r"def \(file: .*None =, \*, max_frames: (builtins\.)?int =\)",
                    r"def \(\*, max_frames: (builtins\.)?int =\) -> (builtins\.)?str",
                    r"def \(timeout: (builtins\.)?float, \*, repeat: (builtins\.)?bool =,"):
        assert re.search(pattern, out), (pattern, out)


def test_the_sample_uses_every_public_name_of_vandrel():
    import vandrel
    unused = [name for name in vandrel.__all__ if f"vandrel.{name}" not in GOOD]
    assert unused == []


def test_strict_mypy_rejects_misuse(tmp_path):
    cases = sorted(BAD.items())
    header = ["import lockgauge", "import threadsnap", "import vandrel"]
    code, out = mypy(tmp_path, "\n".join(header + [line for _, (line, _) in cases]) + "\n")
    assert code == 1, out
    for number, (case, (line, code_name)) in enumerate(cases, start=len(header) + 1):
        assert re.search(rf"sample\.py:{number}: error: .*\[{code_name}\]", out), (case, out)
