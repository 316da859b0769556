"""Puts the vandrel agent to work in every main interpreter that starts.

For the "with agent" run of CPython's regression tests, tools/regrtest.py
copies this file into the site-packages of a virtual environment of its
own, so every interpreter started from that environment's python (the test
runner, its workers, the children tests start, even with -I or -E) imports
it at startup: it loads the agent, switches the GIL interceptor on with a
sink and a report every 20 ms, and starts a daemon thread that dumps every
thread's stack to /dev/null every 10 ms.  Runs with -S never get here, which
is what they ask for.  (On PYTHONPATH it works the same for runs without
-I or -E.)

It runs inside tests that check their own output and exit status, so it
never prints, never raises and does nothing in a subinterpreter (the
interceptor is for the main interpreter, and a subinterpreter may refuse
ctypes).  Whatever goes wrong, the process just runs without the agent.
"""

REPORT_PERIOD_MS = 20
DUMP_INTERVAL_S = 0.010
DUMP_THREAD_NAME = "vandrel-regrtest-dump"


def _in_main_interpreter():
    """Return True in the main interpreter, False in a subinterpreter or when
    that cannot be told."""
    try:
        import _interpreters as interpreters
    except ModuleNotFoundError:
        try:
            # CPython 3.10 to 3.12 call the module this.
            import _xxsubinterpreters as interpreters
        except ModuleNotFoundError:
            return True  # a build without subinterpreters has only the main one
    # A module that is present but refuses to load (as in an isolated
    # subinterpreter) raises ImportError to the caller: not sure, so no agent.
    current, main = interpreters.get_current(), interpreters.get_main()
    # 3.13 answers (id, whence) pairs, earlier versions bare ids.
    if isinstance(current, tuple):
        current, main = current[0], main[0]
    return int(current) == int(main)


def _sink(report):
    """Take a periodic report and drop it: the point is that the agent makes
    them, not what they say."""


def _open_devnull():
    """Return (fd, identity) of a fresh /dev/null descriptor."""
    import os

    fd = os.open(os.devnull, os.O_WRONLY | os.O_CLOEXEC)
    st = os.fstat(fd)
    return fd, (st.st_dev, st.st_ino, st.st_rdev)


def _dump_forever(dump, sleep, fstat, fd, identity):
    """Dump every thread's stack to /dev/null every DUMP_INTERVAL_S.

    A test may close descriptors it did not open (and then reuse the number
    for a file of its own), so the descriptor is checked before each dump and
    the loop ends rather than write into someone else's file.  Everything the
    loop needs comes in as arguments: at shutdown module globals may be gone.
    """
    try:
        while True:
            sleep(DUMP_INTERVAL_S)
            st = fstat(fd)
            if (st.st_dev, st.st_ino, st.st_rdev) != identity:
                return
            dump(fd, 0)
    except BaseException:
        return


def _start():
    import os
    import threading
    import time

    import vandrel

    # Only with the agent loaded may the modules be imported: without it they
    # write a diagnostic line to stderr, and this file never prints.
    vandrel.load_agent()
    import lockgauge
    import threadsnap

    lockgauge.init_gil_interceptor(_sink, 0, REPORT_PERIOD_MS, -1, 0, 0, 0)
    fd, identity = _open_devnull()
    threading.Thread(
        target=_dump_forever,
        args=(threadsnap.dump_all_threads_stack, time.sleep, os.fstat, fd, identity),
        name=DUMP_THREAD_NAME,
        daemon=True,
    ).start()

    # Tell the stage this process ran with the agent: one empty file each.
    mark_dir = os.environ.get("VANDREL_REGRTEST_MARK_DIR")
    if mark_dir:
        name = f"{os.getpid()}-{time.monotonic_ns()}"
        os.close(os.open(os.path.join(mark_dir, name), os.O_WRONLY | os.O_CREAT | os.O_CLOEXEC))


try:
    if _in_main_interpreter():
        _start()
except BaseException:
    pass
