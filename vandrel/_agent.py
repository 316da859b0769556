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
from typing import Any, List, Optional, Tuple

from vandrel._errors import (AgentEntryPointMissing, AgentLibraryNotFound, AgentNotLoaded,
                             NotAvailable, VandrelError)

__all__ = ["agent_path", "load_agent", "loaded_agent_paths", "agent_python_version", "module",
           "missing_agent_error"]

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
        # runs no Python and nothing of the agent's but its
        # pthread_atfork registrations.
        _loaded_agent = ctypes.CDLL(agent_path(), mode=ctypes.RTLD_GLOBAL)
    return _loaded_agent


class _LinkMap(ctypes.Structure):
    pass


# The public head of glibc's struct link_map (<link.h>).
_LinkMap._fields_ = [("l_addr", ctypes.c_void_p), ("l_name", ctypes.c_char_p),
                     ("l_ld", ctypes.c_void_p), ("l_next", ctypes.POINTER(_LinkMap)),
                     ("l_prev", ctypes.POINTER(_LinkMap))]

_RTLD_DI_LINKMAP = 2


def _loader() -> Any:
    # A CDLL, not a PyDLL: each call releases the GIL, so a thread that waits
    # here for the loader's lock never holds the GIL meanwhile.
    libc = ctypes.CDLL(None)
    libc.dlopen.restype = ctypes.c_void_p
    libc.dlopen.argtypes = [ctypes.c_char_p, ctypes.c_int]
    libc.dlclose.argtypes = [ctypes.c_void_p]
    libc.dlinfo.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_void_p]
    return libc


def _mapped_files_with_mark() -> List[str]:
    """Files mapped into the process whose path contains the agent's mark:
    a superset of the loaded agents, read without any lock."""
    found: List[str] = []
    with open("/proc/self/maps", "rb") as maps:
        for line in maps:
            fields = line.split(None, 5)
            if len(fields) == 6:
                path = os.fsdecode(fields[5].rstrip(b"\n"))
                if _AGENT_MARK in path and path not in found:
                    found.append(path)
    return found


def loaded_agent_paths() -> List[str]:
    """Paths of the loaded objects that the modules would take for an agent.

    These are the shared objects whose path contains ``vandrel_agent.``, in
    the dynamic loader's order; when the modules are imported they use the
    last one.  An empty list means no agent is loaded in this process."""
    # No Python code may run while the loader's lock is held (as it is in a
    # dl_iterate_phdr callback): it could hand the GIL to a thread that is
    # loading a library and so waits for that lock.  The mapped files name
    # the candidates; the loader, asked with RTLD_NOLOAD and the GIL
    # released, says which are loaded objects and under what name.
    try:
        libc = _loader()
    except (OSError, AttributeError):
        return _mapped_files_with_mark()    # no dlinfo: the mapped files only
    found = []
    for path in _mapped_files_with_mark():
        handle = libc.dlopen(os.fsencode(path), os.RTLD_LAZY | os.RTLD_NOLOAD)
        if not handle:
            continue            # mapped by other means (mmap), not loaded
        link = ctypes.POINTER(_LinkMap)()
        if libc.dlinfo(handle, _RTLD_DI_LINKMAP, ctypes.byref(link)) == 0 and link:
            found.append((handle, link))
        else:
            libc.dlclose(handle)
    try:
        if len(found) > 1:
            found = _in_load_order(libc, found)
        names = [os.fsdecode(link.contents.l_name or b"") for _, link in found]
    finally:
        for handle, _ in found:
            libc.dlclose(handle)
    return [name for name in names if _AGENT_MARK in name]


def agent_python_version() -> Optional[Tuple[int, int]]:
    """The CPython version, (major, minor), that the agent the modules use
    was built for; None when no agent is loaded or it does not say."""
    paths = loaded_agent_paths()
    if not paths:
        return None
    try:
        library = ctypes.CDLL(paths[-1], mode=os.RTLD_LAZY | os.RTLD_NOLOAD)
    except OSError:
        return None
    function = getattr(library, "vandrel_agent_python_version", None)
    if function is None:
        return None
    function.restype = ctypes.c_int32
    function.argtypes = []
    major, minor = divmod(int(function()), 100)
    return (major, minor) if major > 0 else None


def _in_load_order(libc: Any, found: List[Any]) -> List[Any]:
    """`found` ordered as the loader's list of objects holds them.  Only
    reached with several agent-like objects loaded; the handles held keep
    their entries alive while the list is walked."""
    position = {ctypes.addressof(link.contents): i for i, (_, link) in enumerate(found)}
    head = ctypes.POINTER(_LinkMap)()
    program = libc.dlopen(None, os.RTLD_LAZY | os.RTLD_NOLOAD)
    if not program:
        return found
    known = libc.dlinfo(program, _RTLD_DI_LINKMAP, ctypes.byref(head)) == 0
    libc.dlclose(program)           # the program itself is never unloaded
    if not known:
        return found
    ordered: List[Any] = []
    node = head
    while node and len(ordered) < len(found):
        index = position.get(ctypes.addressof(node.contents))
        if index is not None:
            ordered.append(found[index])
        node = node.contents.l_next
    return ordered if len(ordered) == len(found) else found


def module(name: str) -> Any:
    """The module `name` (``threadsnap`` or ``lockgauge``), importing it
    (after loading the package's agent when none is loaded) if no one has yet."""
    imported = sys.modules.get(name)
    if imported is None:
        if not loaded_agent_paths():
            load_agent()
        import importlib
        try:
            imported = importlib.import_module(name)
        except ModuleNotFoundError:
            raise
        except ImportError as error:
            # The modules are single-phase: an interpreter with its own GIL
            # refuses them.
            raise NotAvailable(
                f"{name} cannot be loaded in this interpreter ({error}); it loads only in the "
                f"main interpreter or in a subinterpreter that shares its GIL", -2) from None
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
