"""A plain background thread and no agent: the control for known effects.

tools/regrtest.py reruns every test it lets pass as a known effect in a
virtual environment holding this file where the agent run holds
tools/regrtest_site's.  Nothing of vandrel is loaded; each main interpreter
gets what any background helper thread brings:
a daemon `threading` thread that wakes every 10 ms and runs a little Python
that allocates, a descriptor it writes to (/dev/null) and one it waits on (a
pipe, as a worker thread waits on its wake-up descriptor).  A test that fails
with this too fails for having a background thread, not for the agent.

Run one test by hand with this directory on PYTHONPATH (which children
started with -I or -E do not see, so use a test whose child runs without):
    PYTHONPATH=tools/regrtest_repro/plain_thread_site \
        python -m test test_os -m test_fork_warns_when_non_python_thread_exists
or, for every known effect at once, `tools/regrtest.py --known-effects`.

Like the stage's own sitecustomize it never prints or raises and leaves
subinterpreters alone.
"""


def _in_main_interpreter():
    try:
        import _interpreters as interpreters
    except ModuleNotFoundError:
        try:
            import _xxsubinterpreters as interpreters
        except ModuleNotFoundError:
            return True
    current, main = interpreters.get_current(), interpreters.get_main()
    if isinstance(current, tuple):
        current, main = current[0], main[0]
    return int(current) == int(main)


def _work(select, write, wake_fd, out_fd):
    try:
        while True:
            select([wake_fd], [], [], 0.010)
            report = {"threads": {i: {"name": str(i)} for i in range(8)}}
            write(out_fd, repr(report).encode())
    except BaseException:
        return


def _start():
    import os
    import select
    import threading

    out_fd = os.open(os.devnull, os.O_WRONLY | os.O_CLOEXEC)
    wake_fd, _ = os.pipe()
    threading.Thread(target=_work, args=(select.select, os.write, wake_fd, out_fd),
                     name="plain-background", daemon=True).start()


try:
    if _in_main_interpreter():
        _start()
except BaseException:
    pass
