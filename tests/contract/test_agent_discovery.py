"""How the modules find the agent at import: the load-time scan, the
re-open, the entry-point lookups and their diagnostic lines.

Each scenario runs in a fresh interpreter (see conftest.run_child)."""
import textwrap

import pytest

from child import check_child
from conftest import NOT_FOUND_LINE

ALL_CALLS_FAIL = """
    import lockgauge, threadsnap
    assert lockgauge.init_gil_interceptor(None, 1, 2, 3, 4, 5, 6) == -1
    assert lockgauge.init_gil_interceptor() == -1
    assert lockgauge.deinit_gil_interceptor() == -1
    assert lockgauge.deinit_gil_interceptor(1, 2, 3) == -1
    assert threadsnap.dump_all_threads_stack(1, 2) == -1
"""


@pytest.mark.parametrize("module, lines", [("lockgauge", 2), ("threadsnap", 1)])
def test_no_agent_writes_one_not_found_line_per_lookup(module, lines):
    done = check_child(f"import {module}")
    assert done.stderr == NOT_FOUND_LINE * lines
    assert done.stdout == ""


def test_no_agent_every_call_returns_minus_one_and_pointer_stays_null():
    done = check_child(ALL_CALLS_FAIL + """
    lib = ctypes.CDLL(threadsnap.__file__)
    assert ctypes.c_void_p.in_dll(lib, "dump_threads_function").value is None
    """)
    assert done.stderr == NOT_FOUND_LINE * 3


def test_lines_go_to_libc_stderr_not_sys_stderr():
    done = check_child("""
        import io, sys
        sys.stderr = captured = io.StringIO()
        import lockgauge
        sys.stderr = sys.__stderr__
        print(repr(captured.getvalue()))
    """)
    assert done.stdout == "''\n"
    assert done.stderr == NOT_FOUND_LINE * 2


@pytest.mark.parametrize("which", ["near_miss_underscore", "near_miss_case"])
def test_near_miss_paths_do_not_match(native, which):
    path = getattr(native, which)
    assert "vandrel" in path.lower() and "vandrel_agent." not in path
    done = check_child(ALL_CALLS_FAIL + f"""
    from recorder import Recorder
    assert Recorder({path!r}).calls() == (0, 0, 0)
    """, load=[path])
    assert done.stderr == NOT_FOUND_LINE * 3


def test_last_matching_object_wins(native):
    check_child(f"""
        from recorder import Recorder
        first, second = Recorder({native.agent!r}), Recorder({native.agent_copy!r})
        assert (first.stand_in_tag, second.stand_in_tag) == (1, 2)
        import lockgauge, threadsnap
        assert lockgauge.init_gil_interceptor(None, 1, 2, 3, 4, 5, 6) == 0
        assert lockgauge.deinit_gil_interceptor() == 0
        assert threadsnap.dump_all_threads_stack(1, 2) == 0
        assert first.calls() == (0, 0, 0), first.calls()
        assert second.calls() == (1, 1, 1), second.calls()
    """, load=[native.agent, native.agent_copy])


def test_agent_loaded_after_import_is_never_found(native):
    done = check_child(f"""
        import lockgauge, threadsnap
        from recorder import Recorder
        rec = Recorder({native.agent!r})
        assert lockgauge.init_gil_interceptor(None, 1, 2, 3, 4, 5, 6) == -1
        assert lockgauge.deinit_gil_interceptor() == -1
        assert threadsnap.dump_all_threads_stack(1, 2) == -1
        assert rec.calls() == (0, 0, 0)
    """)
    assert done.stderr == NOT_FOUND_LINE * 3


FORWARDS = """
    from recorder import Recorder
    rec = Recorder(AGENT)
    assert lockgauge.init_gil_interceptor(None, 1, 2, 3, 4, 5, 6) == 0
    assert lockgauge.deinit_gil_interceptor() == 0
    assert threadsnap.dump_all_threads_stack(1, 2) == 0
    assert rec.calls() == (1, 1, 1), rec.calls()
"""


@pytest.mark.parametrize("imports", ["import lockgauge, threadsnap",
                                     "import threadsnap, lockgauge"])
@pytest.mark.parametrize("how", ["ctypes", "LD_PRELOAD"])
def test_import_in_either_order_finds_agent(native, imports, how):
    loading = {"load": [native.agent]} if how == "ctypes" else {"preload": [native.agent]}
    done = check_child(f"AGENT = {native.agent!r}\n{imports}\n" + textwrap.dedent(FORWARDS),
                       **loading)
    assert done.stderr == ""


def test_missing_entry_points_name_the_loader_error(native):
    path = native.agent_partial
    done = check_child(f"""
        import lockgauge, threadsnap
        from recorder import Recorder
        rec = Recorder({path!r})
        rec.next_deinit_status = 7
        assert lockgauge.init_gil_interceptor(None, 1, 2, 3, 4, 5, 6) == -1
        assert threadsnap.dump_all_threads_stack(1, 2) == -1
        assert lockgauge.deinit_gil_interceptor() == 7
        assert rec.deinit_calls == 1
    """, load=[path])
    assert done.stderr == "".join(
        f"dlsym find {name} function failed, error message: {path}: undefined symbol: {name}\n"
        for name in ("init_py_gil_interceptor", "dump_threads"))


def test_missing_deinit_leaves_init_working(native):
    path = native.agent_no_deinit
    done = check_child(f"""
        import lockgauge
        from recorder import Recorder
        rec = Recorder({path!r})
        rec.next_init_status = 3
        assert lockgauge.init_gil_interceptor(None, 1, 2, 3, 4, 5, 6) == 3
        assert lockgauge.deinit_gil_interceptor() == -1
        assert rec.init_calls == 1
    """, load=[path])
    assert done.stderr == ("dlsym find deinit_py_gil_interceptor function failed, "
                           f"error message: {path}: undefined symbol: deinit_py_gil_interceptor\n")


def test_order_of_checks_with_missing_entry_points(native):
    """init_gil_interceptor returns before parsing when its entry point is
    missing; dump_all_threads_stack parses first."""
    check_child("""
        import lockgauge, threadsnap
        seen = []
        class Spy:
            def __index__(self):
                seen.append(1)
                return 5
        assert lockgauge.init_gil_interceptor(None, Spy(), Spy(), Spy(), 4, 5, 6) == -1
        assert seen == [], seen
        assert threadsnap.dump_all_threads_stack(Spy(), Spy()) == -1
        assert len(seen) == 2, seen
    """, load=[native.agent_partial])


@pytest.mark.parametrize("mode, lines", [
    ("with-text", "dlopen failed when init cpython module, error message: "
                  "/nonexistent/vandrel-shim-forced-failure.so: cannot open shared object file: "
                  "No such file or directory\n"),
    ("silent", ""),
])
def test_failed_reopen(native, mode, lines):
    done = check_child(f"""
        import lockgauge, threadsnap
        from recorder import Recorder
        shim = ctypes.CDLL({native.dlopen_shim!r})
        assert ctypes.c_int.in_dll(shim, "shim_agent_opens").value == 3
        assert lockgauge.init_gil_interceptor(None, 1, 2, 3, 4, 5, 6) == -1
        assert lockgauge.deinit_gil_interceptor() == -1
        assert threadsnap.dump_all_threads_stack(1, 2) == -1
        assert Recorder({native.agent!r}).calls() == (0, 0, 0)
    """, load=[native.agent], preload=[native.dlopen_shim],
        env={"SHIM_FAIL_AGENT_OPEN": mode})
    assert done.stderr == lines * 3


def test_reopen_is_lazy_and_global(native):
    """An agent that ctypes loaded privately has its symbols in the global
    scope once a module has re-opened it."""
    check_child("""
        def global_has(name):
            return hasattr(ctypes.CDLL(None), name)
        assert not global_has("dump_threads")
        import threadsnap
        assert global_has("dump_threads")
        assert global_has("init_py_gil_interceptor")
    """, load=[native.agent])


def test_agent_stays_loaded_after_loaders_handle_is_closed(native):
    check_child(f"""
        import os, _ctypes
        RTLD_NOLOAD = 4
        handle = _ctypes.dlopen({native.agent!r}, os.RTLD_NOW)  # the only loader reference
        import lockgauge, threadsnap
        _ctypes.dlclose(handle)
        probe = _ctypes.dlopen({native.agent!r}, os.RTLD_LAZY | RTLD_NOLOAD)
        assert probe, "agent was unloaded"
        _ctypes.dlclose(probe)
        from recorder import Recorder
        rec = Recorder({native.agent!r})
        assert lockgauge.init_gil_interceptor(None, 1, 2, 3, 4, 5, 6) == 0
        assert threadsnap.dump_all_threads_stack(1, 2) == 0
        assert rec.calls() == (1, 0, 1)
    """)


def test_dump_threads_function_holds_agents_address(native):
    check_child(f"""
        import threadsnap
        agent = ctypes.CDLL({native.agent!r})
        exported = ctypes.c_void_p.in_dll(ctypes.CDLL(threadsnap.__file__), "dump_threads_function")
        assert exported.value == ctypes.cast(agent.dump_threads, ctypes.c_void_p).value
    """, load=[native.agent])


def test_each_lookup_reopens_the_agent_and_reimport_looks_up_nothing(native):
    done = check_child(f"""
        import sys
        shim = ctypes.CDLL({native.dlopen_shim!r})
        opens = lambda: ctypes.c_int.in_dll(shim, "shim_agent_opens").value
        import lockgauge
        assert opens() == 2, opens()
        import threadsnap
        assert opens() == 3, opens()
        sys.stderr.flush()
        for name in ("lockgauge", "threadsnap"):
            del sys.modules[name]
        import lockgauge, threadsnap
        assert opens() == 3, opens()
        assert lockgauge.deinit_gil_interceptor() == 0
        assert threadsnap.dump_all_threads_stack(1, 2) == 0
    """, load=[native.agent], preload=[native.dlopen_shim])
    assert done.stderr == ""


def test_reimport_without_agent_writes_no_new_lines():
    done = check_child("""
        import sys
        import lockgauge, threadsnap
        del sys.modules["lockgauge"], sys.modules["threadsnap"]
        import lockgauge, threadsnap
        assert lockgauge.deinit_gil_interceptor() == -1
        assert threadsnap.dump_all_threads_stack(1, 2) == -1
    """)
    assert done.stderr == NOT_FOUND_LINE * 3


def test_each_module_uses_its_own_locator_state(native):
    """With the modules loaded RTLD_GLOBAL, threadsnap's lookups must still
    use its own scan, not the get_symbol_addr lockgauge exported first."""
    done = check_child(f"""
        import os, sys
        sys.setdlopenflags(os.RTLD_GLOBAL | os.RTLD_NOW)
        import lockgauge
        ctypes.CDLL({native.agent!r})
        import threadsnap
        assert threadsnap.dump_all_threads_stack(1, 2) == 0
        assert lockgauge.deinit_gil_interceptor() == -1
    """)
    assert done.stderr == NOT_FOUND_LINE * 2
