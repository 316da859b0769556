"""The vandrel package's Python API: stack dumps like faulthandler, and
errors that say what went wrong.  Every scenario runs in a fresh
interpreter, since loading the agent and importing the modules happen once
per process."""
import os
import re
import signal
from pathlib import Path

import pytest

from child import (ALREADY_ON, BAD_PARAMETER, NO_GIL, NOT_AVAILABLE, NOT_ON, SYSTEM_ERROR,
                   check_child, run_child)
from conftest import GIL_MARK

DUMP_HEADER = re.compile(r'^Current thread \d+ "MainThread" \(most recent call first\):$', re.M)


def test_dump_stacks_loads_the_agent_and_flushes_the_file_first():
    done = check_child("""
        import sys, vandrel
        print("printed before")             # stdout is a pipe: block-buffered
        vandrel.dump_stacks(sys.stdout)
        print("after", vandrel.loaded_agent_paths() == [vandrel.agent_path()])
    """)
    assert done.stdout.startswith("printed before\nCurrent thread "), done.stdout
    assert DUMP_HEADER.search(done.stdout), done.stdout
    assert done.stdout.endswith("after True\n"), done.stdout
    assert done.stderr == ""


def test_dump_stacks_to_stderr_by_default_to_an_fd_and_with_max_frames():
    done = check_child("""
        import sys, vandrel
        def deep(n):
            if n:
                return deep(n - 1)
            vandrel.dump_stacks()
            vandrel.dump_stacks(1, max_frames=2)
        deep(5)
    """)
    assert "in deep" in done.stderr and DUMP_HEADER.search(done.stderr), done.stderr
    # The calling thread's 8 frames (dump_stacks, 6 deep, 1 module) cut after 2.
    assert re.search(r"^  File .*vandrel/_dumps.py\", line \d+ in dump_stacks\n"
                     r"  File \"<string>\", line 8 in deep\n"
                     r"  \.\.\. 6 more frames not shown$", done.stdout, re.M), done.stdout


def test_dump_stacks_rejects_bad_files_and_arguments():
    done = check_child("""
        import io, os, sys, tempfile, vandrel
        from recorder import error
        closed = open(os.devnull, "w"); closed.close()
        read_fd = os.open(os.devnull, os.O_RDONLY)
        spare = os.dup(1); os.close(spare)
        for call in (lambda: vandrel.dump_stacks(closed),
                     lambda: vandrel.dump_stacks(spare),
                     lambda: vandrel.dump_stacks(read_fd),
                     lambda: vandrel.dump_stacks(-1),
                     lambda: vandrel.dump_stacks(2**31),
                     lambda: vandrel.dump_stacks(io.StringIO()),
                     lambda: vandrel.dump_stacks(1, max_frames=2**63),
                     lambda: vandrel.dump_stacks(1, max_frames="3"),
                     lambda: vandrel.dump_stacks("stderr")):
            print(error(call))
    """)
    lines = done.stdout.splitlines()
    assert len(lines) == 9, done.stdout
    expected = [
        r"ValueError: I/O operation on closed file",
        r"OSError: \[Errno 9\] file descriptor \d+ is not open$",
        r"OSError: \[Errno 9\] file descriptor \d+ is not open for writing",
        r"ValueError: file descriptor must be in 0\.\.2147483647, got -1",
        r"ValueError: file descriptor must be in 0\.\.2147483647, got 2147483648",
        r"ValueError: file has no file descriptor .*use format_stacks\(\)",
        r"ValueError: max_frames must fit in 64 bits",
        r"TypeError: max_frames must be an int, not str",
        r"TypeError: file must be a file object or a file descriptor, not str",
    ]
    for line, pattern in zip(lines, expected):
        assert re.match(pattern, line), (pattern, line)


def test_format_stacks_returns_a_dump_larger_than_a_pipe_holds():
    """Far more than 64 KiB of text, from a process with threads that keep
    running: a pipe read by this process would hang, the memfd does not."""
    done = check_child("""
        import threading, vandrel
        release = threading.Event()
        def park(depth, ready):
            if depth:
                return park(depth - 1, ready)
            ready.release()
            release.wait()
        ready = threading.Semaphore(0)
        threads = [threading.Thread(target=park, args=(40, ready), name=f"parked-{i}")
                   for i in range(60)]
        for thread in threads:
            thread.start()
        for thread in threads:
            ready.acquire()
        text = vandrel.format_stacks()
        short = vandrel.format_stacks(max_frames=1)
        release.set()
        for thread in threads:
            thread.join()
        print(type(text).__name__, len(text.encode()), text.count('"parked-'),
              text.count(" in park\\n"), short.count('"parked-'),
              short.count(" more frames not shown\\n"), len(short.splitlines()))
    """, timeout=60)
    kind, size, parked, park_frames, short_parked, short_cut, short_lines = done.stdout.split()
    assert kind == "str" and int(size) > 64 * 1024, done.stdout
    assert (int(parked), int(park_frames)) == (60, 60 * 41), done.stdout
    # One frame, one cut line, one header and one blank line per thread (the
    # main thread's "1 more frame" is singular).
    assert (int(short_parked), int(short_cut)) == (60, 60), done.stdout
    assert int(short_lines) == 4 * 61 - 1, done.stdout


def test_module_imported_before_the_agent_says_to_restart():
    done = check_child("""
        import threadsnap, vandrel
        for step in ("none loaded", "loaded after"):
            try:
                vandrel.dump_stacks(2)
            except vandrel.AgentNotLoaded as exc:
                print(isinstance(exc, vandrel.VandrelError), exc)
            vandrel.load_agent()
    """)
    first, second = done.stdout.splitlines()
    assert first.startswith("True no vandrel agent is loaded"), first
    assert "load the agent before importing threadsnap" in first
    assert first.endswith("restart the process")
    assert second.startswith("True threadsnap was imported before the agent "), second
    assert "vandrel_agent.so was loaded" in second
    assert second.endswith("load the agent before importing threadsnap; restart the process")


def test_agent_without_dump_threads_is_named(native):
    done = check_child("""
        import vandrel
        try:
            vandrel.format_stacks()
        except vandrel.AgentEntryPointMissing as exc:
            print(exc)
        print(vandrel.loaded_agent_paths())
    """, load=[native.agent_partial])
    assert done.stdout.startswith(f"the loaded agent {native.agent_partial} has no "
                                  "dump_threads entry point"), done.stdout
    # An agent was loaded: the package did not load its own on top.
    assert done.stdout.endswith(f"\n{[native.agent_partial]}\n"), done.stdout


def test_loaded_agent_paths_lists_loaded_objects_only(tmp_path):
    """A mapped file whose name contains the mark is not a loaded object."""
    decoy = tmp_path / "vandrel_agent.data"
    decoy.write_bytes(b"x" * 4096)
    done = check_child(f"""
        import mmap, vandrel
        stream = open({str(decoy)!r}, "rb")
        mapped = mmap.mmap(stream.fileno(), 0, prot=mmap.PROT_READ)
        print(vandrel.loaded_agent_paths())
        vandrel.load_agent()
        print(vandrel.loaded_agent_paths() == [vandrel.agent_path()])
        print({str(decoy)!r} in open("/proc/self/maps").read())
    """)
    assert done.stdout == "[]\nTrue\nTrue\n", done.stdout


def test_agent_path_missing_library_says_so(tmp_path):
    package = tmp_path / "vandrel"
    package.mkdir()
    import vandrel
    # The package's Python files without its agent library.
    for source in Path(vandrel.__file__).parent.glob("*.py"):
        (package / source.name).write_text(source.read_text())
    done = run_child(f"""
        import sys
        sys.path[:] = [{str(tmp_path)!r}] + [p for p in sys.path if "-packages" not in p]
        import vandrel
        assert vandrel.__file__.startswith({str(tmp_path)!r})
        try:
            vandrel.agent_path()
        except FileNotFoundError as exc:
            print(type(exc).__name__, isinstance(exc, vandrel.VandrelError), exc)
    """)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("AgentLibraryNotFound True [Errno 2] vandrel agent library "
                                  "vandrel_agent.so not found in "), done.stdout
    assert "reinstall the package" in done.stdout


# ---- on a signal ---------------------------------------------------------

def test_dump_on_signal_dumps_each_time_and_cancels(tmp_path):
    out = tmp_path / "dumps.txt"
    done = check_child(f"""
        import os, signal, vandrel
        def waiting_for_the_signal():
            os.kill(os.getpid(), signal.SIGUSR1)
        with open({str(out)!r}, "w") as out:
            out.write("header\\n")           # buffered: flushed by the handler
            vandrel.dump_stacks_on_signal(signal.SIGUSR1, out)
            waiting_for_the_signal()
            vandrel.dump_stacks_on_signal(signal.SIGUSR1, out, max_frames=1)
            waiting_for_the_signal()
            print(vandrel.cancel_dump_stacks_on_signal(signal.SIGUSR1),
                  vandrel.cancel_dump_stacks_on_signal(signal.SIGUSR1),
                  signal.getsignal(signal.SIGUSR1) == signal.SIG_DFL)
            signal.signal(signal.SIGUSR1, signal.SIG_IGN)
            waiting_for_the_signal()
    """)
    assert done.stdout == "True False True\n"
    text = out.read_text()
    assert text.startswith("header\nCurrent thread "), text
    assert text.count("Current thread ") == 2, text
    # The interrupted code, no handler's frame: the agent's handler is C;
    # the second dump shows one frame.
    assert "__call__" not in text, text
    assert text.count(f'"MainThread"{GIL_MARK} (most recent call first):\n'
                      '  File "<string>", line 5 in waiting_for_the_signal\n') == 2, text
    assert text.endswith(" in waiting_for_the_signal\n  ... 1 more frame not shown\n"), text


def test_dump_on_signal_chains_to_the_previous_handler():
    done = check_child("""
        import os, signal, vandrel
        signal.signal(signal.SIGUSR2, lambda signum, frame: print("previous ran", signum))
        vandrel.dump_stacks_on_signal(signal.SIGUSR2, 1, chain=True)
        # A second registration keeps the handler of before the first.
        vandrel.dump_stacks_on_signal(signal.SIGUSR2, 1, chain=True)
        os.kill(os.getpid(), signal.SIGUSR2)
        vandrel.cancel_dump_stacks_on_signal(signal.SIGUSR2)
        os.kill(os.getpid(), signal.SIGUSR2)
    """)
    assert done.stdout.count("Current thread ") == 1, done.stdout
    assert done.stdout.count(f"previous ran {int(signal.SIGUSR2)}") == 2, done.stdout


def test_dump_on_signal_chained_to_the_default_action_terminates():
    done = run_child("""
        import os, signal, sys, vandrel
        vandrel.dump_stacks_on_signal(signal.SIGUSR1, sys.stdout, chain=True)
        os.kill(os.getpid(), signal.SIGUSR1)
        print("survived")
    """)
    assert done.returncode == -signal.SIGUSR1, (done.returncode, done.stderr)
    assert "Current thread " in done.stdout and "survived" not in done.stdout, done.stdout


def test_dump_on_signal_chained_to_an_ignoring_default_stays_installed():
    done = check_child("""
        import os, signal, sys, vandrel
        vandrel.dump_stacks_on_signal(signal.SIGWINCH, sys.stdout, chain=True)
        for _ in range(2):
            os.kill(os.getpid(), signal.SIGWINCH)   # default action: ignore
        print("survived")
    """)
    # Installed still: the second signal dumps too.
    assert done.stdout.count("Current thread ") == 2, done.stdout
    assert done.stdout.endswith("survived\n"), done.stdout


def test_dump_on_signal_refuses_signals_it_cannot_handle():
    done = check_child("""
        import signal, vandrel
        for signum in (signal.SIGKILL, signal.SIGSTOP, signal.SIGSEGV, 0, 100000):
            try:
                vandrel.dump_stacks_on_signal(signum)
            except ValueError as exc:
                print(exc)
        try:
            vandrel.cancel_dump_stacks_on_signal(signal.SIGKILL)
        except ValueError as exc:
            print(exc)
    """)
    assert done.stdout.splitlines() == [
        "signal SIGKILL cannot be caught",
        "signal SIGSTOP cannot be caught",
        "signal SIGSEGV cannot be handled in Python; use faulthandler.enable() for it",
        "signal number 0 out of range",
        "signal number 100000 out of range",
        "signal SIGKILL cannot be caught",
    ], done.stdout


# ---- later --------------------------------------------------------------------

@pytest.mark.timing
def test_dump_later_once_repeat_replace_and_cancel():
    done = check_child("""
        import sys, time, vandrel
        def count(seconds, **kwargs):
            text = []
            r, w = __import__("os").pipe()
            vandrel.dump_stacks_later(0.1, file=w, **kwargs)
            time.sleep(seconds)
            vandrel.cancel_dump_stacks_later()
            __import__("os").close(w)
            data = __import__("os").read(r, 1 << 20).decode()
            # The agent's timer thread is not a program thread: no
            # current thread, the main thread once per dump.
            assert 'Current thread ' not in data, data
            return data.count('"MainThread"')
        once = count(0.6)
        repeated = count(0.65, repeat=True)
        # Replaced by a later call before firing: only the new one fires.
        vandrel.dump_stacks_later(0.05, file=sys.stdout)
        vandrel.dump_stacks_later(100, file=sys.stdout)
        time.sleep(0.3)
        vandrel.cancel_dump_stacks_later()
        vandrel.cancel_dump_stacks_later()    # nothing left: a no-op
        print("counts", once, repeated)
    """)
    match = re.search(r"^counts (\d+) (\d+)$", done.stdout, re.M)
    assert match, done.stdout
    assert int(match[1]) == 1 and int(match[2]) >= 3, done.stdout
    assert '"MainThread"' not in done.stdout, done.stdout


def test_dump_later_with_exit_ends_the_process():
    done = run_child("""
        import sys, threading, time, vandrel
        def stuck_in_python():
            while True:
                time.sleep(0.01)
        vandrel.dump_stacks_later(0.2, exit=True)
        stuck_in_python()
    """, timeout=30)
    assert done.returncode == 1, done.stderr
    assert "in stuck_in_python" in done.stderr, done.stderr
    # The timer is the agent's thread, not a program thread.
    assert "vandrel-dump-later" not in done.stderr, done.stderr


def test_dump_later_refuses_bad_timeouts():
    done = check_child("""
        import vandrel
        for timeout in (0, -1, float("nan"), 1e300, "5", None, True):
            try:
                vandrel.dump_stacks_later(timeout)
                print("accepted", timeout)
                vandrel.cancel_dump_stacks_later()
            except (ValueError, OverflowError, TypeError) as exc:
                print(type(exc).__name__, exc)
    """)
    # As faulthandler: a string is refused, a bool is a number.
    assert done.stdout.splitlines() == [
        "ValueError timeout must be greater than 0, got 0",
        "ValueError timeout must be greater than 0, got -1",
        "ValueError timeout must be greater than 0, got nan",
        "OverflowError timeout value is too large: 1e+300",
        "TypeError timeout must be a real number, not str",
        "TypeError timeout must be a real number, not NoneType",
        "accepted True",
    ], done.stdout


# ---- GIL interceptor statuses ----------------------------------------------------

def test_each_interceptor_status_has_its_exception():
    import vandrel
    expected = {NOT_AVAILABLE: vandrel.GilInterceptorUnavailable,
                BAD_PARAMETER: vandrel.GilInterceptorBadParameter,
                ALREADY_ON: vandrel.GilInterceptorAlreadyOn, NOT_ON: vandrel.GilInterceptorNotOn,
                SYSTEM_ERROR: vandrel.GilInterceptorSystemError,
                NO_GIL: vandrel.GilInterceptorNoGil}
    for status, cls in expected.items():
        error = vandrel.gil_status_error(status, "init_gil_interceptor")
        assert type(error) is cls and error.status == status
        assert isinstance(error, vandrel.GilInterceptorError)
        assert str(error).startswith("lockgauge.init_gil_interceptor: ")
        assert str(error).endswith(f"(status {status})")
    assert isinstance(vandrel.gil_status_error(-3, "x"), ValueError)
    assert isinstance(vandrel.gil_status_error(-6, "x"), OSError)
    assert vandrel.gil_status_error(0) is None
    unknown = vandrel.gil_status_error(-9, "deinit_gil_interceptor")
    assert type(unknown) is vandrel.GilInterceptorError and unknown.status == -9


def test_interceptor_minus_one_means_the_module_missed_the_agent():
    done = check_child("""
        import lockgauge, vandrel
        from interceptor import interceptor_on
        status = interceptor_on(lockgauge)
        error = vandrel.gil_status_error(status, "init_gil_interceptor")
        print(status, type(error).__name__, error)
    """)
    assert done.stdout.startswith("-1 AgentNotLoaded no vandrel agent is loaded, and lockgauge "
                                  "was imported without one"), done.stdout


def test_interceptor_minus_one_after_a_late_agent_names_both_causes():
    done = check_child("""
        import lockgauge, vandrel
        from interceptor import interceptor_on
        vandrel.load_agent()
        status = interceptor_on(lockgauge)
        print(status, type(vandrel.gil_status_error(status)).__name__)
        print(vandrel.gil_status_error(status))
    """)
    kind, message = done.stdout.splitlines()
    assert kind == "-1 AgentNotLoaded"
    assert message.startswith("lockgauge was imported before the agent "), message
    assert message.endswith("(or, if the agent was loaded first, the arguments did not fit: "
                            "the periods 64-bit, the last four 32-bit integers)"), message
