"""The agent library as a binary: what it exports, what it needs, and that
preloading it into any process is harmless."""
import os
import shutil

import pytest

import vandrel

from child import NOT_AVAILABLE, NOT_ON, run, run_python
from conftest import GIL_INTERCEPTOR_SUPPORTED

AGENT = vandrel.agent_path()


def tool_output(*command):
    if shutil.which(command[0]) is None:
        pytest.skip(f"{command[0]} not installed")
    return run(command, timeout=60, check=True).stdout


@pytest.mark.build_shape
def test_exports_exactly_the_three_entry_points_and_the_package_s():
    out = tool_output("nm", "-D", "--defined-only", AGENT)
    names = {line.split()[-1] for line in out.splitlines() if line.strip()}
    # The modules' three, and the agent's features the package calls
    # through ctypes, prefixed vandrel_.
    assert names == {"dump_threads", "init_py_gil_interceptor", "deinit_py_gil_interceptor",
                     "vandrel_trace_stream", "vandrel_exit_signals"}


@pytest.mark.build_shape
def test_no_cpp_runtime_and_no_python_dependency():
    out = tool_output("readelf", "-d", AGENT)
    needed = {line.split("[")[1].split("]")[0] for line in out.splitlines() if "(NEEDED)" in line}
    allowed = {"libc.so.6", "libdl.so.2", "libpthread.so.0", "libm.so.6"}
    assert needed and needed <= allowed, needed


@pytest.mark.build_shape
def test_no_undefined_reference_to_the_interpreter():
    # Every interpreter symbol is looked up at run time, so that the
    # library loads into processes that are not Python.
    out = tool_output("nm", "-D", "--undefined-only", AGENT)
    names = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert not [name for name in names if name.startswith(("Py", "_Py"))], names


@pytest.mark.build_shape  # loads the library into a host without the sanitizer runtime
@pytest.mark.parametrize("bind_now", [False, True])
def test_preloading_into_a_shell_is_harmless(bind_now):
    env = dict(os.environ, LD_PRELOAD=AGENT)
    if bind_now:
        env["LD_BIND_NOW"] = "1"
    proc = run(["sh", "-c", "true"], env=env, text=False, timeout=60)
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, b"", b"")
    proc = run(["sh", "-c", "echo hello; exit 3"], env=env, text=False, timeout=60)
    assert (proc.returncode, proc.stdout, proc.stderr) == (3, b"hello\n", b"")


def test_preloading_into_python_serves_the_modules():
    proc = run_python(["-c", "import threadsnap, lockgauge\n"
                             "print(threadsnap.dump_all_threads_stack(-1, 0),"
                             " lockgauge.deinit_gil_interceptor())"],
                      env={"LD_PRELOAD": AGENT, "LD_BIND_NOW": "1"}, text=False)
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")
    assert proc.stderr == b""
    # The interceptor entry points answer with the agent's own status ("not
    # on", -5, or "not available", -2, where the interpreter has no
    # interceptor), not the modules' -1 for a missing agent.
    expected = NOT_ON if GIL_INTERCEPTOR_SUPPORTED else NOT_AVAILABLE
    assert proc.stdout == f"0 {expected}\n".encode()


C_HOST = r"""
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
int main(int argc, char **argv)
{
    (void)argc;
    void *agent = dlopen(argv[1], RTLD_NOW | RTLD_GLOBAL);
    if (agent == NULL) {
        fprintf(stderr, "%s\n", dlerror());
        return 10;
    }
    void (*dump)(int32_t, int64_t) = (void (*)(int32_t, int64_t))dlsym(agent, "dump_threads");
    int32_t (*deinit)(void) = (int32_t (*)(void))dlsym(agent, "deinit_py_gil_interceptor");
    if (dump == NULL || deinit == NULL) {
        return 11;
    }
    dump(1, 0);
    dump(-1, 0);
    return deinit() == 0 ? 12 : 0;
}
"""


@pytest.mark.build_shape  # loads the library into a host without the sanitizer runtime
def test_entry_points_called_by_a_host_that_is_not_python(tmp_path):
    """A C program calling the agent: no interpreter to find, so nothing
    is dumped and nothing crashes."""
    cc = shutil.which(os.environ.get("CC", "cc"))
    if cc is None:
        pytest.skip("no C compiler")
    source = tmp_path / "host.c"
    source.write_text(C_HOST)
    host = tmp_path / "host"
    run([cc, source, "-o", host, "-ldl"], timeout=120, check=True)
    proc = run([host, AGENT], text=False, timeout=60)
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, b"", b""), proc.stderr
