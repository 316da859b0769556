"""The vandrel reference agent and its launcher.

``python -m vandrel run script.py [args]`` runs a script with the agent
loaded, so that ``lockgauge`` and ``threadsnap`` find it when imported.
``agent_path()`` and ``load_agent()`` do the same from Python code.
"""
import os

__all__ = ["agent_path", "load_agent"]

_AGENT_FILE = "vandrel_agent.so"
_loaded_agent = None


def agent_path():
    """Return the absolute path of the installed agent library.

    Raise FileNotFoundError when the package was installed without it.
    """
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), _AGENT_FILE)
    if not os.path.isfile(path):
        raise FileNotFoundError(f"vandrel agent library not found at {path}")
    return path


def load_agent():
    """Load the agent into this process (once) and return its handle.

    lockgauge and threadsnap look for the agent when they are imported, so
    call this before importing either of them.
    """
    global _loaded_agent
    if _loaded_agent is None:
        import ctypes

        # RTLD_GLOBAL matches how the modules re-open the agent.  Loading
        # runs no code in the agent: it has no constructors.
        _loaded_agent = ctypes.CDLL(agent_path(), mode=ctypes.RTLD_GLOBAL)
    return _loaded_agent
