"""Writing to a descriptor the user handed us, the way the agent does.

A pipe whose reader has stopped reading must not hold the process for
ever, and one whose reader has gone must not kill it with SIGPIPE, even
when the program set SIGPIPE back to its default action.
"""
from __future__ import annotations

import errno
import os
import select
import signal
from typing import Optional

__all__ = ["write_bounded"]

#: How long the descriptor may accept nothing before the rest is dropped
#: (the agent's own report writer waits as long).
STALL_TIMEOUT_S = 1.0
# Writes no larger than a pipe's atomic size never block once poll()
# says the pipe has room.
_PIECE = select.PIPE_BUF


def write_bounded(fd: int, data: bytes, timeout: float = STALL_TIMEOUT_S) -> Optional[str]:
    """Write `data` to `fd`; return None when all of it was written, else
    why not, with how much was dropped ("No space left on device; 812 of
    812 bytes dropped").  Never raises for a failed write, never blocks for
    longer than `timeout` without progress, and a SIGPIPE it raises is
    consumed."""
    pipe = {signal.SIGPIPE}
    pending_before = signal.SIGPIPE in signal.sigpending()
    old_mask = signal.pthread_sigmask(signal.SIG_BLOCK, pipe)
    written = 0
    reason = None
    try:
        poller = select.poll()
        poller.register(fd, select.POLLOUT)
        while written < len(data):
            events = poller.poll(timeout * 1000)
            if not events:
                reason = f"nothing accepted for {timeout:g} s (a pipe nobody reads?)"
                break
            if events[0][1] & select.POLLNVAL:
                reason = os.strerror(errno.EBADF)
                break
            try:
                written += os.write(fd, data[written:written + _PIECE])
            except InterruptedError:
                continue
            except BlockingIOError:
                continue
            except OSError as error:
                reason = error.strerror or str(error)
                if error.errno == errno.EPIPE and not pending_before:
                    signal.sigtimedwait(pipe, 0)
                break
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, old_mask)
    if reason is None:
        return None
    return f"{reason}; {len(data) - written} of {len(data)} bytes dropped"
