"""Import cost of both modules when 1,000 extra shared objects are loaded:
the load-time scan visits every loaded object once."""
import json
import shutil

from common import NATIVE, compile_library, installed_agent, median, run_python, workdir

EXTRA_OBJECTS = 1000

CHILD = """
import ctypes, json, time
for path in FILLERS:
    ctypes.CDLL(path)
ctypes.CDLL(AGENT)
start = time.perf_counter()
import lockgauge, threadsnap
elapsed = time.perf_counter() - start
assert threadsnap.dump_all_threads_stack(-1, 1) == 0
print(json.dumps(elapsed))
"""


def fillers(count):
    out = workdir() / "fillers"
    first = compile_library(NATIVE / "filler.c", out / "filler_0.so")
    paths = [first]
    for n in range(1, count):
        path = out / f"filler_{n}.so"
        if not path.exists():
            shutil.copyfile(first, path)  # distinct files, so the loader keeps each one
        paths.append(str(path))
    return paths


def run(quick=False):
    extra = fillers(EXTRA_OBJECTS)
    agent = installed_agent()
    plain, loaded = [], []
    for _ in range(5 if quick else 21):
        for bucket, paths in ((plain, []), (loaded, extra)):
            code = f"AGENT = {agent!r}\nFILLERS = {paths!r}\n" + CHILD
            bucket.append(json.loads(run_python(code)))
    ours, base = median(loaded), median(plain)
    return [(f"import both, {EXTRA_OBJECTS} extra objects (us)", ours * 1e6, base * 1e6,
             ours / base, "report")]
