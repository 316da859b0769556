"""Stack dumps and the GIL interceptor of the vandrel agent, for Python code.

The two extension modules ``threadsnap`` and ``lockgauge`` forward calls to
a native agent library that must be loaded in the process before they are
imported, and answer with bare status integers.  This package ships a
reference agent and wraps the modules in the way ``faulthandler`` works:

- ``dump_stacks()`` writes the Python stack of every thread to a file or
  file descriptor, ``format_stacks()`` returns it as text;
- ``dump_stacks_on_signal()`` and ``dump_stacks_later()`` arrange a dump on
  a signal or after a timeout, ``cancel_dump_stacks_on_signal()`` and
  ``cancel_dump_stacks_later()`` take them back; ``dump_stacks_on_crash()``
  dumps when the process crashes;
- ``GilMonitor`` switches the GIL interceptor on around a block and gives
  its reports as ``GilReport`` objects, whose ``profile`` (``GilProfile``)
  writes flame graphs of where the GIL was held and waited for;
- ``watch_event_loops()`` catches event-loop blocks with the code that
  blocked, as ``LoopBlockReport`` objects;
- ``agent_path()`` and ``load_agent()`` find and load the agent library;
- failures raise ``VandrelError`` subclasses (or ``ValueError`` and
  ``OSError`` for bad arguments and unusable files) whose message says what
  to do.

``python -m vandrel run script.py`` runs a script with the agent loaded;
``python -m vandrel --help`` lists the options.
"""
from vandrel._version import __version__
from vandrel._errors import (AgentEntryPointMissing, AgentLibraryNotFound, AgentNotLoaded,
                             AgentSystemError, AlreadyRunning, BadParameter, GilInterceptorError,
                             GilNotHeld, NotAvailable, NotRunning, VandrelError)
# The errors' first names, the same classes: importable, not listed in __all__.
from vandrel._errors import GilInterceptorAlreadyOn as GilInterceptorAlreadyOn
from vandrel._errors import GilInterceptorBadParameter as GilInterceptorBadParameter
from vandrel._errors import GilInterceptorNoGil as GilInterceptorNoGil
from vandrel._errors import GilInterceptorNotOn as GilInterceptorNotOn
from vandrel._errors import GilInterceptorSystemError as GilInterceptorSystemError
from vandrel._errors import GilInterceptorUnavailable as GilInterceptorUnavailable
from vandrel._agent import agent_path, load_agent, loaded_agent_paths
from vandrel._dumps import FileOrFd as FileOrFd
from vandrel._dumps import (cancel_dump_stacks_later, cancel_dump_stacks_on_signal, dump_stacks,
                            dump_stacks_later, dump_stacks_on_crash, dump_stacks_on_signal,
                            format_stacks)
from vandrel._interceptor import gil_status_error
from vandrel._report import (Frame, GilGroupStats, GilInterval, GilReport, LongHold,
                             LoopBlock, LoopBlockReport, ThreadGilStats)
from vandrel._monitor import GilMonitor
from vandrel._loops import LoopWatcher, watch_event_loops
from vandrel._profile import GilProfile, ProfileRow, ProfileTable

__all__ = [
    "__version__",
    "VandrelError",
    "AgentLibraryNotFound",
    "AgentNotLoaded",
    "AgentEntryPointMissing",
    "GilInterceptorError",
    "NotAvailable",
    "BadParameter",
    "AlreadyRunning",
    "NotRunning",
    "AgentSystemError",
    "GilNotHeld",
    "gil_status_error",
    "agent_path",
    "load_agent",
    "loaded_agent_paths",
    "dump_stacks",
    "format_stacks",
    "dump_stacks_on_signal",
    "cancel_dump_stacks_on_signal",
    "dump_stacks_later",
    "cancel_dump_stacks_later",
    "dump_stacks_on_crash",
    "GilMonitor",
    "GilReport",
    "ThreadGilStats",
    "GilGroupStats",
    "GilInterval",
    "LongHold",
    "Frame",
    "watch_event_loops",
    "LoopWatcher",
    "LoopBlockReport",
    "LoopBlock",
    "GilProfile",
    "ProfileTable",
    "ProfileRow",
]
