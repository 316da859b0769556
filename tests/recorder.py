"""Child-side view of the recording stand-in agent (tests/native/stand_in_agent.c),
and error(), what a call raised, for children that print their outcomes."""
import ctypes
import threading

_INT32 = ("stand_in_tag", "next_init_status", "next_deinit_status", "init_fd", "init_a",
          "init_b", "init_c", "dump_fd", "last_gil_held")
_INT64 = ("init_calls", "deinit_calls", "dump_calls", "init_sample_period",
          "init_report_period", "dump_max_frames", "last_thread_id")


class Recorder:
    """Reads and sets the stand-in's globals by name: rec.init_calls, rec.next_init_status = 5."""

    def __init__(self, path):
        object.__setattr__(self, "lib", ctypes.CDLL(path))

    def _cell(self, name):
        if name in _INT32:
            return ctypes.c_int32.in_dll(self.lib, name)
        if name in _INT64:
            return ctypes.c_int64.in_dll(self.lib, name)
        if name == "init_sink":
            return ctypes.c_size_t.in_dll(self.lib, name)
        raise AttributeError(name)

    def __getattr__(self, name):
        return self._cell(name).value

    def __setattr__(self, name, value):
        self._cell(name).value = value

    def calls(self):
        return (self.init_calls, self.deinit_calls, self.dump_calls)

    def assert_called_here(self):
        """The last call came on this thread, with the GIL held."""
        assert self.last_thread_id == threading.get_native_id(), self.last_thread_id
        assert self.last_gil_held == 1, self.last_gil_held


def error(call):
    """call() and return "Type: message" of what it raised, or "no error"."""
    try:
        call()
    except Exception as exc:
        return f"{type(exc).__name__}: {exc}"
    return "no error"
