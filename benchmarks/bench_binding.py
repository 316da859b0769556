"""Cost of one call through the modules, against a baseline extension that
does the same METH_VARARGS parse and calls through a function pointer.
Both sides call a no-op agent, so only the binding is measured."""
import json

from common import NATIVE, compile_library, python_includes, run_python, workdir

CHILD = """
import ctypes, json, statistics, sys, time
ctypes.CDLL(AGENT)
sys.path.insert(0, WORKDIR)
import baseline, lockgauge, threadsnap

def per_call(func, args, n):
    start = time.perf_counter_ns()
    for _ in range(n):
        func(*args)
    return (time.perf_counter_ns() - start) / n

INIT = (None, 1, 2, 3, 4, 5, 6)
pairs = {
    "init_gil_interceptor": ((lockgauge.init_gil_interceptor, INIT), (baseline.init, INIT)),
    "dump_all_threads_stack": ((threadsnap.dump_all_threads_stack, (1, 2)), (baseline.dump, (1, 2))),
}
assert lockgauge.init_gil_interceptor(*INIT) == 0 and threadsnap.dump_all_threads_stack(1, 2) == 0
result = {}
for name, ((ours, ours_args), (base, base_args)) in pairs.items():
    ours_ns, base_ns = [], []
    for _ in range(REPEATS):
        ours_ns.append(per_call(ours, ours_args, CALLS))
        base_ns.append(per_call(base, base_args, CALLS))
    result[name] = (statistics.median(ours_ns), statistics.median(base_ns))
print(json.dumps(result))
"""


def run(quick=False):
    out = workdir() / "binding"
    agent = compile_library(NATIVE / "noop_agent.c", out / "vandrel_agent.so")
    compile_library(NATIVE / "baseline.cpp", out / "baseline.so",
                    "-fno-exceptions", "-fno-rtti", *python_includes())
    code = (f"AGENT = {agent!r}\nWORKDIR = {str(out)!r}\n"
            f"REPEATS = {5 if quick else 21}\nCALLS = {20_000 if quick else 200_000}\n" + CHILD)
    rows = []
    for name, (ours, base) in json.loads(run_python(code)).items():
        rows.append((f"call {name} (ns/call)", ours, base, ours / base, "<= 1.1"))
    return rows
