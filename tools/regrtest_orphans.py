"""Processes the regression tests leave running: the stage adopts its
descendants' orphans and kills them after each run."""
import ctypes
import os
import signal

PR_SET_CHILD_SUBREAPER = 36


def adopt_orphans():
    """Make this process the reaper of its descendants' orphans (Linux's
    PR_SET_CHILD_SUBREAPER), so that kill_orphans() finds them.  Return
    whether that worked."""
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        return libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0
    except (OSError, AttributeError):
        return False


def child_pids():
    """The pids of this process's children, from /proc."""
    pids = []
    me = os.getpid()
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                ppid = int(f.read().rsplit(")", 1)[1].split()[1])
        except (OSError, IndexError, ValueError):
            continue
        if ppid == me:
            pids.append(int(entry))
    return pids


def kill_orphans():
    """Kill and reap what the tests left running once their own parent was
    gone: a test's child still spinning after its worker timed out would
    slow every later test and stage.  Call only when this process has no
    child of its own running.  Return how many there were."""
    killed = 0
    while True:
        pids = child_pids()
        if not pids:
            return killed
        for pid in pids:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        for pid in pids:
            try:
                os.waitpid(pid, 0)
            except ChildProcessError:
                pass
        killed += len(pids)
