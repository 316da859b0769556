"""Ask the vandrel agent to dump the stacks of all threads.

The function returns 0 once the agent was called, or -1 when the agent's
entry point was not found at import or the arguments do not fit (fd must be
a 32-bit and max_frames a 64-bit signed integer).  It never raises."""
from typing import SupportsIndex

def dump_all_threads_stack(fd: SupportsIndex, max_frames: SupportsIndex, /) -> int:
    """dump all thread stack"""
