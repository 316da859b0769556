"""The built modules as the host and the loader see them: names, doc
strings, exported symbols and library dependencies."""
import importlib.util
import re
import shutil

import pytest

from child import check_child, run

EXPORTS = {
    "lockgauge": {"PyInit_lockgauge", "get_symbol_addr"},
    "threadsnap": {"PyInit_threadsnap", "get_symbol_addr", "dump_threads_function"},
}


def library(module):
    return importlib.util.find_spec(module).origin


def tool(name):
    path = shutil.which(name)
    if path is None:
        pytest.skip(f"{name} not installed")
    return path


@pytest.mark.build_shape
@pytest.mark.parametrize("module", sorted(EXPORTS))
def test_exports_exactly_the_plain_public_names(module):
    out = run([tool("nm"), "-D", "--defined-only", library(module)], timeout=60,
              check=True).stdout
    names = {line.split()[-1] for line in out.splitlines() if line.strip()}
    assert names == EXPORTS[module]
    # No version nodes: the names are plain, not name@@VERSION.
    versions = run([tool("readelf"), "-V", library(module)], timeout=60, check=True).stdout
    assert "Version definition" not in versions


@pytest.mark.build_shape
@pytest.mark.parametrize("module", sorted(EXPORTS))
def test_needs_neither_libpython_nor_a_cxx_runtime(module):
    out = run([tool("readelf"), "-d", library(module)], timeout=60, check=True).stdout
    needed = re.findall(r"\(NEEDED\).*\[(.+)\]", out)
    assert needed, out
    offenders = [lib for lib in needed if re.match(r"lib(python|stdc\+\+|gcc_s)", lib)]
    assert offenders == [], needed


def test_module_and_method_definitions():
    check_child("""
        import lockgauge, threadsnap
        assert lockgauge.__name__ == "lockgauge" and lockgauge.__doc__ is None
        assert threadsnap.__name__ == "threadsnap" and threadsnap.__doc__ is None
        public = lambda m: sorted(n for n in vars(m) if not n.startswith("_"))
        assert public(lockgauge) == ["deinit_gil_interceptor", "init_gil_interceptor"]
        assert public(threadsnap) == ["dump_all_threads_stack"]
        docs = {
            lockgauge.init_gil_interceptor: "init gil interceptor",
            lockgauge.deinit_gil_interceptor: "deinit gil interceptor",
            threadsnap.dump_all_threads_stack: "dump all thread stack",
        }
        for func, doc in docs.items():
            assert func.__doc__ == doc, (func, func.__doc__)
            assert func.__module__ == func.__self__.__name__
    """)
