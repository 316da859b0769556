"""The hardening runs are really in force: a sanitizer run must test the
sanitizer build with its runtime loaded in every child, and a valgrind run
must run every child under memcheck.  Otherwise such a run could pass while
checking nothing.  Outside those runs there is nothing to check here."""
import importlib.util

import pytest

from child import CHILD_WRAPPER, SANITIZED, check_child


@pytest.mark.skipif(not SANITIZED, reason="not a sanitizer run")
def test_sanitizer_run_uses_the_instrumented_build_and_runtime():
    done = check_child("""
        import lockgauge, threadsnap
        maps = open("/proc/self/maps").read()
        assert "libasan" in maps and "libubsan" in maps, maps
        print(lockgauge.__file__)
        print(threadsnap.__file__)
    """)
    for path in done.stdout.split():
        with open(path, "rb") as library:
            image = library.read()
        # The instrumented code calls into the runtimes by these names.
        assert b"__asan_report_" in image and b"__ubsan_handle_" in image, path
    agent = importlib.util.find_spec("vandrel").submodule_search_locations[0]
    with open(f"{agent}/vandrel_agent.so", "rb") as library:
        assert b"__asan_" in library.read(), "reference agent not instrumented"


@pytest.mark.skipif(not CHILD_WRAPPER or "valgrind" not in CHILD_WRAPPER[0],
                    reason="not a valgrind run")
def test_valgrind_run_runs_children_under_memcheck():
    check_child("""
        maps = open("/proc/self/maps").read()
        assert "vgpreload_memcheck" in maps, maps
    """)
