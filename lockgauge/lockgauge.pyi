"""Switch the vandrel agent's GIL interceptor on and off.

Both functions return the agent's own status, or -1 when the agent's entry
point was not found at import or the arguments do not fit (the two periods
are 64-bit, the last four values 32-bit signed integers).  They never
raise."""
from typing import SupportsIndex

def init_gil_interceptor(
    sink: object,
    sample_period_us: SupportsIndex,
    report_period_ms: SupportsIndex,
    report_fd: SupportsIndex,
    a: SupportsIndex,
    b: SupportsIndex,
    c: SupportsIndex,
    /,
) -> int:
    """init gil interceptor"""

def deinit_gil_interceptor(*ignored: object) -> int:
    """deinit gil interceptor"""
