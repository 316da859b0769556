"""Finding and loading the agent library, and importing the modules after it.

``threadsnap`` and ``lockgauge`` look for the agent once, when they are
imported: ``module()`` imports either one, loading the package's agent first
when none is loaded, and ``missing_agent_error()`` explains, from what the
process holds now, why a module has no agent to call.
"""
from __future__ import annotations

import ctypes
import errno
import os
import sys
from typing import Any, List, Optional

from vandrel._errors import (AgentEntryPointMissing, AgentLibraryNotFound, AgentNotLoaded,
                             VandrelError)

__all__ = ["agent_path", "load_agent", "loaded_agent_paths", "module", "missing_agent_error"]

_AGENT_FILE = "vandrel_agent.so"
# The modules take any loaded object whose path contains this as the agent.
_AGENT_MARK = "vandrel_agent."

_loaded_agent: Optional[ctypes.CDLL] = None


def _package_directories() -> List[str]:
    """The directories of the vandrel package: an editable install lists
    the source tree and the build's output directory."""
    return list(getattr(sys.modules[__package__ or "vandrel"], "__path__"))


def agent_path() -> str:
    """Return the absolute path of the agent library shipped with this package.

    Works from a regular, an editable and a wheel install: the package's
    own directories come first (an editable install lists the build's
    output directory among them), then a ``vandrel`` directory on
    ``sys.path`` that holds the library.  Raise ``AgentLibraryNotFound``
    (a ``FileNotFoundError``) when none does."""
    package_directories = _package_directories()
    candidates: List[str] = [os.path.abspath(entry) for entry in package_directories]
    for entry in sys.path:
        candidates.append(os.path.abspath(os.path.join(entry or os.curdir, "vandrel")))
    seen = set()
    for directory in candidates:
        if directory in seen:
            continue
        seen.add(directory)
        path = os.path.join(directory, _AGENT_FILE)
        if os.path.isfile(path):
            return path
    raise AgentLibraryNotFound(
        errno.ENOENT,
        f"vandrel agent library {_AGENT_FILE} not found in {', '.join(package_directories)} "
        f"or in a vandrel directory on sys.path; reinstall the package (pip install .)")


def load_agent() -> ctypes.CDLL:
    """Load the package's agent into this process (once) and return its handle.

    ``threadsnap`` and ``lockgauge`` look for the agent when they are
    imported, so call this before importing either of them.  Raise
    ``AgentLibraryNotFound`` when the library is not installed and
    ``OSError`` when the loader refuses it."""
    global _loaded_agent
    if _loaded_agent is None:
        # RTLD_GLOBAL matches how the modules re-open the agent.  Loading
        # runs no code in the agent: it has no constructors.
        _loaded_agent = ctypes.CDLL(agent_path(), mode=ctypes.RTLD_GLOBAL)
    return _loaded_agent


class _DlPhdrInfo(ctypes.Structure):
    # The leading fields of struct dl_phdr_info; the loader passes the size.
    _fields_ = [("dlpi_addr", ctypes.c_void_p), ("dlpi_name", ctypes.c_char_p)]


_DL_CALLBACK = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(_DlPhdrInfo), ctypes.c_size_t,
                                ctypes.c_void_p)


def loaded_agent_paths() -> List[str]:
    """Paths of the loaded objects that the modules would take for an agent.

    These are the shared objects whose path contains ``vandrel_agent.``, in
    the dynamic loader's order; when the modules are imported they use the
    last one.  An empty list means no agent is loaded in this process."""
    names: List[str] = []

    def visit(info: Any, _size: int, _data: Any) -> int:
        raw = info.contents.dlpi_name
        if raw:
            names.append(os.fsdecode(raw))
        return 0

    try:
        # PyDLL keeps the GIL across the call: the loader's lock is held
        # while the callback runs, and a callback that had to wait for the
        # GIL could deadlock with a thread that holds it and loads a library.
        process = ctypes.PyDLL(None)
        process.dl_iterate_phdr(_DL_CALLBACK(visit), None)
    except (OSError, AttributeError):
        # No dl_iterate_phdr: fall back on the mapped files, which also
        # lists files mapped by other means.
        with open("/proc/self/maps") as maps:
            for line in maps:
                fields = line.split(None, 5)
                if len(fields) == 6 and fields[5].strip() not in names:
                    names.append(fields[5].strip())
    return [name for name in names if _AGENT_MARK in name]


def module(name: str) -> Any:
    """The module `name` (``threadsnap`` or ``lockgauge``), importing it
    (after loading the package's agent when none is loaded) if no one has yet."""
    imported = sys.modules.get(name)
    if imported is None:
        if not loaded_agent_paths():
            load_agent()
        import importlib
        imported = importlib.import_module(name)
    return imported


def _has_symbol(path: str, name: str) -> bool:
    try:
        return hasattr(ctypes.CDLL(path), name)
    except OSError:
        return False


def missing_agent_error(module: str, entry_point: str) -> VandrelError:
    """Explain why `module` has no `entry_point`, from what the process holds now."""
    agents = loaded_agent_paths()
    if not agents:
        return AgentNotLoaded(
            f"no vandrel agent is loaded, and {module} was imported without one: load the "
            f"agent before importing {module} (vandrel.load_agent(), or run the program with "
            f"`python -m vandrel run`); restart the process")
    if not any(_has_symbol(path, entry_point) for path in agents):
        return AgentEntryPointMissing(
            f"the loaded agent {agents[-1]} has no {entry_point} entry point; load an agent "
            f"that has one (vandrel.agent_path() gives the reference agent) before importing "
            f"{module}; restart the process")
    return AgentNotLoaded(
        f"{module} was imported before the agent {agents[-1]} was loaded, so it never saw it: "
        f"load the agent before importing {module}; restart the process")
