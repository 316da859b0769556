"""Helpers shared by the benchmarks: building native pieces and running
measurements in fresh interpreters."""
import os
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
NATIVE = HERE / "native"
_WORKDIR = None


def workdir() -> Path:
    global _WORKDIR
    if _WORKDIR is None:
        _WORKDIR = Path(tempfile.mkdtemp(prefix="vandrel-bench-"))
    return _WORKDIR


def compile_library(source: Path, output: Path, *extra: str) -> str:
    """Build `source` into the shared object `output`; exit with the compiler's text on failure."""
    output.parent.mkdir(parents=True, exist_ok=True)
    cxx = source.suffix == ".cpp"
    compiler = os.environ.get("CXX" if cxx else "CC") or shutil.which("c++" if cxx else "cc")
    cmd = [compiler, "-O3", "-shared", "-fPIC", "-o", str(output), str(source), *extra]
    done = subprocess.run(cmd, capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"building {output.name} failed:\n{' '.join(cmd)}\n{done.stderr}")
    return str(output)


def python_includes() -> list:
    return ["-I" + sysconfig.get_paths()["include"]]


def installed_agent() -> str:
    import importlib.util
    package = importlib.util.find_spec("vandrel")
    return os.path.join(package.submodule_search_locations[0], "vandrel_agent.so")


def run_python(code: str, *, env=None, timeout=600) -> str:
    """Run `code` in a fresh interpreter and return its stdout; exit on failure."""
    child_env = dict(os.environ)
    child_env.update(env or {})
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=timeout, env=child_env, cwd=str(workdir()))
    if done.returncode != 0:
        sys.exit(f"benchmark child failed ({done.returncode}):\n{done.stderr}")
    return done.stdout


def median(values):
    return statistics.median(values)
