"""The package's exceptions: one class per failure, each with its own name.

The six refusals of the GIL interceptor were first published under longer
names (``GilInterceptorUnavailable`` ...); those stay as aliases of the same
classes, importable from ``vandrel`` but not listed in ``vandrel.__all__``.
"""
from __future__ import annotations

from typing import Dict, Optional, Type

__all__ = ["VandrelError", "AgentLibraryNotFound", "AgentNotLoaded", "AgentEntryPointMissing",
           "GilInterceptorError", "NotAvailable", "BadParameter", "AlreadyRunning",
           "NotRunning", "AgentSystemError", "GilNotHeld", "STATUS_ERRORS"]


class VandrelError(Exception):
    """Base class of the errors this package raises about the agent."""


class AgentLibraryNotFound(VandrelError, FileNotFoundError):
    """The package's agent library is not installed where it should be."""


class AgentNotLoaded(VandrelError):
    """No agent was loaded when ``threadsnap`` or ``lockgauge`` was imported.

    The modules look for the agent once, when they are imported, so the only
    remedy is to load it first and restart the process."""


class AgentEntryPointMissing(VandrelError):
    """The loaded agent library lacks the entry point a call needs."""


class GilInterceptorError(VandrelError):
    """The agent refused to switch its GIL interceptor on or off.

    ``status`` holds the agent's status integer."""

    status: int = 0

    def __init__(self, message: str, status: Optional[int] = None) -> None:
        super().__init__(message)
        if status is not None:
            self.status = status


class NotAvailable(GilInterceptorError):
    """Status -2: no interceptor here: not CPython 3.10 to 3.15 with a GIL,
    a subinterpreter, an interpreter shutting down, or the GIL not found.

    Also reachable as ``GilInterceptorUnavailable``."""

    status = -2


class BadParameter(GilInterceptorError, ValueError):
    """Status -3: the agent refused a parameter as out of its range.

    Also reachable as ``GilInterceptorBadParameter``."""

    status = -3


class AlreadyRunning(GilInterceptorError):
    """Status -4: an interceptor session is already on in this process (or
    starting or stopping); only one can exist at a time.

    Also reachable as ``GilInterceptorAlreadyOn``."""

    status = -4


class NotRunning(GilInterceptorError):
    """Status -5: the interceptor is not on (switching off only).

    Also reachable as ``GilInterceptorNotOn``."""

    status = -5


class AgentSystemError(GilInterceptorError, OSError):
    """Status -6: memory, ``mprotect`` or thread creation failed in the agent.

    Also reachable as ``GilInterceptorSystemError``."""

    status = -6


class GilNotHeld(GilInterceptorError):
    """Status -7: the call reached the agent without holding the GIL.

    Also reachable as ``GilInterceptorNoGil``."""

    status = -7


# The first names of these errors; code written against them keeps working.
GilInterceptorUnavailable = NotAvailable
GilInterceptorBadParameter = BadParameter
GilInterceptorAlreadyOn = AlreadyRunning
GilInterceptorNotOn = NotRunning
GilInterceptorSystemError = AgentSystemError
GilInterceptorNoGil = GilNotHeld

#: The class of each status of the agent's interceptor calls.
STATUS_ERRORS: Dict[int, Type[GilInterceptorError]] = {
    cls.status: cls
    for cls in (NotAvailable, BadParameter, AlreadyRunning, NotRunning, AgentSystemError,
                GilNotHeld)
}
