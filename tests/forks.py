"""Waiting for a forked child that may hang.

Importable in the test process and in children that have this directory on
their path (child.run_child())."""
import os
import time


def reap_or_kill(pid, timeout, poll):
    """Wait up to `timeout` seconds for child `pid`, checking every `poll`
    seconds; kill it if it is still there then.  Return True if it hung."""
    deadline = time.monotonic() + timeout
    while os.waitpid(pid, os.WNOHANG) == (0, 0):
        if time.monotonic() > deadline:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            return True
        time.sleep(poll)
    return False
