# Run after the agent's prelude (children/prelude.py) by test_gil_interceptor.py::
# test_subinterpreter_is_refused; KIND is set before it.
try:
    import _interpreters
    def create_interpreter(kind):
        return _interpreters.create(kind)
except ImportError:  # before 3.13; an own GIL from 3.12 on
    import _xxsubinterpreters as _interpreters
    def create_interpreter(kind):
        return _interpreters.create(isolated=kind == "isolated")
reports = []
assert interceptor_on(lockgauge, sink=reports.append) == 0
interp = create_interpreter(KIND)
r, w = os.pipe()
_interpreters.run_string(interp, f'''
import ctypes, os
agent = ctypes.PyDLL({AGENT!r})  # keeps the GIL, as the modules do
agent.init_py_gil_interceptor.restype = ctypes.c_int32
agent.deinit_py_gil_interceptor.restype = ctypes.c_int32
# (The prelude, interceptor_on() with it, is the main interpreter's.)
s = agent.init_py_gil_interceptor(None, ctypes.c_int64(0), ctypes.c_int64(0),
                                  -1, 0, 0, 0)
d = agent.deinit_py_gil_interceptor()
os.write({w}, f"{{s}} {{d}}".encode())
''')
sub = [int(x) for x in os.read(r, 100).split()]
reports_during = len(reports)
main = [lockgauge.deinit_gil_interceptor(),
        interceptor_on(lockgauge),
        lockgauge.deinit_gil_interceptor()]
emit({"sub": sub, "main": main, "reports": [reports_during, len(reports)],
      "final": reports[-1]["final"]})
