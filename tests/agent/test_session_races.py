"""The interceptor session at its edges: two starters at once, a stop
racing a new thread's first poke of the reporter, a child forked from C,
and a report file that cannot be written.  Each runs in a fresh
interpreter; the races are made certain by an import hook or a shim that
holds one side in the window."""
import os
import sys

import pytest

from agent_helpers import needs_interceptor, run_agent_child
from child import ALREADY_ON, NOT_ON, OK
from conftest import NATIVE, _compile
from test_gil_interceptor import got_owner  # noqa: F401  (fixture)


@pytest.fixture(scope="module")
def slow_wake_poke(tmp_path_factory):
    return _compile(NATIVE / "slow_wake_poke.c",
                    tmp_path_factory.mktemp("shim") / "slow_wake_poke.so")


@needs_interceptor
def test_two_starters_get_one_session(tmp_path, got_owner):  # noqa: F811
    # The start runs Python code (it imports sys through
    # builtins.__import__) before the session is its own.  A hook there that
    # lets go of the GIL until the other starter arrives or is done: exactly
    # one gets 0, the other -4, and after the stop no import slot of the
    # interpreter leads into the agent.
    result, _ = run_agent_child(
        tmp_path,
        f"""
        import builtins
        helper = ctypes.CDLL({got_owner!r})
        def owners():
            buffer = ctypes.create_string_buffer(4096)
            for symbol in (b"pthread_mutex_lock", b"pthread_mutex_unlock"):
                assert helper.slot_owners(symbol, buffer, 4096) > 0
            return [n for n in buffer.value.decode().split("\\n") if "vandrel_agent" in n]
        gate = threading.Condition()
        arrived = [0]
        original_import = builtins.__import__
        def hooked_import(name, *args, **kwargs):
            if name == "sys" and threading.current_thread().name.startswith("starter"):
                with gate:
                    arrived[0] += 1
                    gate.notify_all()
                    gate.wait_for(lambda: arrived[0] >= 2, timeout=10)
            return original_import(name, *args, **kwargs)
        statuses = []
        def starter():
            statuses.append(interceptor_on(lockgauge, sink=lambda report: None))
            with gate:
                arrived[0] += 1
                gate.notify_all()
        builtins.__import__ = hooked_import
        threads = [threading.Thread(target=starter, name=f"starter-{{i}}") for i in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        builtins.__import__ = original_import
        stops = [lockgauge.deinit_gil_interceptor(), lockgauge.deinit_gil_interceptor()]
        emit({{"starts": sorted(statuses), "stops": stops, "owners": owners(),
              "threads": sorted(t.name for t in threading.enumerate())}})
        """,
    )
    assert result == {"starts": [ALREADY_ON, OK], "stops": [OK, NOT_ON], "owners": [],
                      "threads": ["MainThread"]}


@needs_interceptor
def test_stop_never_writes_to_a_closed_wake_descriptor(tmp_path, slow_wake_poke):
    # A new thread's first touch of the GIL pokes the reporter's eventfd
    # before it takes gil->mutex.  The shim holds such a poke until the
    # eventfd's number belongs to another file: the stop must wait for the
    # poke before it closes the eventfd, so the file gets nothing.
    marker = tmp_path / "poking"
    result, _ = run_agent_child(
        tmp_path,
        f"""
        import _thread
        def eventfds():
            found = []
            for name in os.listdir("/proc/self/fd"):
                try:
                    if os.readlink(f"/proc/self/fd/{{name}}") == "anon_inode:[eventfd]":
                        found.append(int(name))
                except OSError:
                    pass
            return found
        assert interceptor_on(lockgauge, sink=lambda report: None) == 0
        # The reporter's and the holder watcher's, the reporter's made first.
        reporter_wake, watcher_wake = sorted(eventfds())
        wake = reporter_wake
        done = _thread.allocate_lock()
        done.acquire()
        _thread.start_new_thread(done.release, ())
        while not os.path.exists({str(marker)!r}):
            time.sleep(0.001)
        assert lockgauge.deinit_gil_interceptor() == 0
        fd = os.open("after-stop", os.O_RDWR | os.O_CREAT | os.O_TRUNC)
        if fd != wake:
            os.dup2(fd, wake)
            os.close(fd)
        assert done.acquire(timeout=10)
        emit(os.fstat(wake).st_size)
        """,
        env={"LD_PRELOAD": slow_wake_poke, "SHIM_POKE_MARKER": str(marker)},
    )
    assert result == 0


C_FORK_CHILD = """
import select, signal
reports = []
assert interceptor_on(lockgauge, sink=reports.append) == 0
libc = ctypes.PyDLL(None)  # fork() with the GIL held, as a C library calls it
read_end, write_end = os.pipe()
pid = libc.fork()
if pid == 0:
    os.close(read_end)
    statuses = [lockgauge.deinit_gil_interceptor(),
                interceptor_on(lockgauge, sink=reports.append),
                lockgauge.deinit_gil_interceptor()]
    os.write(write_end, json.dumps(statuses).encode())
    sys.exit(0)  # a normal exit: the exit handlers run
os.close(write_end)
deadline = time.monotonic() + EXIT_WITHIN
child_statuses = None
if select.select([read_end], [], [], EXIT_WITHIN)[0]:
    child_statuses = json.loads(os.read(read_end, 100) or b"null")
exited = False
while not exited and time.monotonic() < deadline:
    exited = os.waitpid(pid, os.WNOHANG) != (0, 0)
    time.sleep(0 if exited else 0.01)
if not exited:
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
emit({"child": child_statuses, "exited": exited, "parent": lockgauge.deinit_gil_interceptor()})
"""


@needs_interceptor
def test_child_forked_from_c_starts_off(tmp_path):
    # fork() called from C runs no os.register_at_fork callback: the child
    # must still start with the session off (its stop answers -5, a new
    # session works) and exit at once, with no reporter thread to wait for.
    result, proc = run_agent_child(tmp_path, "EXIT_WITHIN = 5.0\n" + C_FORK_CHILD)
    assert result == {"child": [NOT_ON, OK, OK], "exited": True, "parent": OK}, proc.stderr


@needs_interceptor
def test_unwritable_report_file_is_told_once(tmp_path):
    # Reports to a file that takes nothing: one line on stderr naming the
    # file and the reason, however many reports fail; the program's own
    # exit status stays.
    result, proc = run_agent_child(
        tmp_path,
        """
        fd = os.open("/dev/full", os.O_WRONLY)
        assert interceptor_on(lockgauge, report_fd=fd, period_ms=20) == 0
        time.sleep(0.2)
        assert lockgauge.deinit_gil_interceptor() == 0
        emit("done")
        """,
    )
    lines = [line for line in proc.stderr.splitlines() if line.startswith("vandrel:")]
    assert len(lines) == 1, proc.stderr
    assert lines[0].startswith("vandrel: the GIL report was not written to '/dev/full': "
                               "No space left on device; "), lines
    assert lines[0].endswith(" bytes dropped"), lines


@needs_interceptor
def test_stalled_report_pipe_is_told_once(tmp_path):
    # A pipe nobody reads, full before the session starts: each report
    # waits a second for room, then is dropped; the first drop is told.
    _, proc = run_agent_child(
        tmp_path,
        """
        read_end, write_end = os.pipe()
        os.set_blocking(write_end, False)
        try:
            while True:
                os.write(write_end, b"x" * 4096)
        except BlockingIOError:
            pass
        os.set_blocking(write_end, True)
        assert interceptor_on(lockgauge, report_fd=write_end) == 0
        assert lockgauge.deinit_gil_interceptor() == 0
        emit("done")
        """,
    )
    lines = [line for line in proc.stderr.splitlines() if line.startswith("vandrel:")]
    assert len(lines) == 1, proc.stderr
    assert lines[0].startswith("vandrel: the GIL report was not written to 'pipe:["), lines
    assert ": nothing accepted for 1 s (a pipe nobody reads?); " in lines[0], lines
