"""The agent's errors say what is true: a dump called from a
subinterpreter that holds the GIL dumps, a thread's name keeps every
character it has, and an agent loaded into another CPython version says
which two versions they are."""
import os
import sys
import textwrap

import pytest

from agent_helpers import needs_interceptor, run_agent_child
from child import NOT_AVAILABLE, run
from test_stack_dump import other_interpreters


SUBINTERPRETER_DUMP = """
import ctypes
agent = ctypes.PyDLL(AGENT)  # keeps the GIL, as threadsnap does
def dumping_in_the_subinterpreter():
    with open("dump.txt", "w") as out:
        agent.dump_threads(out.fileno(), ctypes.c_int64(20))
dumping_in_the_subinterpreter()
"""


def test_dump_from_a_subinterpreter_holding_the_gil(tmp_path):
    # Before 3.12 the GIL holder's thread state is "current" whichever
    # thread asks, and the thread-local one the agent compared it with
    # knows only the main interpreter: a subinterpreter's call was told it
    # does not hold the GIL, though it does.
    result, _ = run_agent_child(
        tmp_path,
        f"""
        try:
            import _interpreters
            interp = _interpreters.create("legacy")
        except ImportError:  # before 3.13
            import _xxsubinterpreters as _interpreters
            interp = _interpreters.create(isolated=False)
        _interpreters.run_string(interp, f"AGENT = {{AGENT!r}}\\n" + {SUBINTERPRETER_DUMP!r})
        _interpreters.destroy(interp)
        with open("dump.txt") as f:
            emit(f.read())
        """,
    )
    assert "does not hold the GIL" not in result, result
    assert "dumping_in_the_subinterpreter" in result, result


@needs_interceptor
def test_thread_name_holding_a_nul_is_shown_whole(tmp_path):
    # A name is kept as a C string: a NUL in it used to cut it there, in
    # the sink's dict and in the text report alike.
    result, _ = run_agent_child(
        tmp_path,
        """
        read_end, write_end = os.pipe()
        reports = []
        assert interceptor_on(lockgauge, sink=reports.append, report_fd=write_end) == 0
        t = threading.Thread(target=spin_for, args=(0.05,), name="left\\x00right")
        t.start()
        t.join()
        assert lockgauge.deinit_gil_interceptor() == 0
        os.close(write_end)
        text = os.read(read_end, 1 << 16).decode()
        emit({"names": [e["name"] for e in reports[-1]["threads"].values()], "text": text})
        """,
    )
    assert "left\x00right" in result["names"], result["names"]
    assert "left\\x00right" in result["text"], result["text"]


@pytest.mark.build_shape  # loads the library into a host without the sanitizer runtime
def test_agent_built_for_another_version_names_both(tmp_path):
    # Loaded into another CPython version, the agent answers "not
    # available", and the package's reason names the version the agent was
    # built for and the one running, instead of "a build unlike the one it
    # was made for".
    others = other_interpreters()
    if not others:
        pytest.skip("no other CPython 3.10-3.15 installed")
    import vandrel
    package = os.path.dirname(vandrel.__file__)
    script = tmp_path / "mismatch.py"
    script.write_text(textwrap.dedent(f"""
        import ctypes, os, sys
        sys.path.insert(0, {os.path.dirname(package)!r})
        agent = ctypes.PyDLL({vandrel.agent_path()!r}, mode=os.RTLD_GLOBAL)
        agent.init_py_gil_interceptor.restype = ctypes.c_int32
        status = agent.init_py_gil_interceptor(None, ctypes.c_int64(0), ctypes.c_int64(0),
                                               -1, 0, 0, 0)
        from vandrel import _interceptor
        print(status, _interceptor.unavailable_reason())
    """))
    proc = run([others[0], script], timeout=120)
    assert proc.returncode == 0, proc.stderr
    running = run([others[0], "-c", "import sys; print('%d.%d' % sys.version_info[:2])"],
                  timeout=60).stdout.strip()
    built = "%d.%d" % sys.version_info[:2]
    assert proc.stdout.startswith(f"{NOT_AVAILABLE} the agent was built for CPython {built} "
                                  f"and this is CPython {running}; "), proc.stdout
