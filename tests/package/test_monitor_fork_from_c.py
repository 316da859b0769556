"""A GilMonitor across a fork() made from C, which runs no
os.register_at_fork callback: the child starts with the interceptor off,
may start a monitor of its own, and exits normally."""
import json

from child import check_child
from conftest import needs_interceptor


@needs_interceptor
def test_child_forked_from_c_may_start_its_own_monitor():
    done = check_child("""
        import ctypes, json, os, signal, sys, time, vandrel
        monitor = vandrel.GilMonitor().start()
        libc = ctypes.PyDLL(None)  # fork() with the GIL held, as a C library calls it
        read_end, write_end = os.pipe()
        pid = libc.fork()
        if pid == 0:
            try:
                own = vandrel.GilMonitor().start()
                line = f"{monitor.running} {own.stop().final}"
            except Exception as exc:
                line = f"{type(exc).__name__}: {exc}"
            os.write(write_end, line.encode())
            sys.exit(0)  # a normal exit: the exit handlers run
        os.close(write_end)
        child = os.read(read_end, 1000).decode()
        deadline = time.monotonic() + 5
        while os.waitpid(pid, os.WNOHANG) == (0, 0):
            if time.monotonic() > deadline:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
                child += " (hung at exit)"
                break
            time.sleep(0.01)
        print(json.dumps([child, monitor.stop().final]))
    """)
    assert json.loads(done.stdout) == ["False True", True], done.stderr


@needs_interceptor
def test_children_forked_as_the_monitor_starts_never_hang():
    # fork() right after start(), while the agent's new threads are still
    # being set up (the C library and a sanitizer runtime allocate then):
    # a child must not inherit a lock one of them held, and starts threads
    # of its own at once.  Under ASan about one such child in six hung.
    done = check_child("""
        import ctypes, os, vandrel
        from forks import reap_or_kill
        libc = ctypes.PyDLL(None)
        hung = 0
        for _ in range(20):
            monitor = vandrel.GilMonitor().start()
            pid = libc.fork()
            if pid == 0:
                vandrel.GilMonitor().start().stop()
                os._exit(0)
            hung += reap_or_kill(pid, 10, 0.005)
            monitor.stop()
        print("hung", hung)
    """, timeout=150)
    assert done.stdout.split() == ["hung", "0"], done.stdout
