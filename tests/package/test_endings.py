"""How sessions and lookups end when the world around them misbehaves: a
pipe nobody reads, a reader gone, a full disk, a thread loading libraries.
Nothing may hang, kill the process or vanish without a line saying so."""
import pytest

from child import check_child, child_program, run_child
from conftest import needs_interceptor


@pytest.mark.parametrize("round", range(3))
def test_agent_lookup_beside_a_thread_loading_extensions(round):
    # Looking the agent up ran Python code inside dl_iterate_phdr, under the
    # loader's lock; the thread loading an extension holds the GIL and waits
    # for that lock: a deadlock within a few hundred loads.
    done = run_child(child_program("import_while_looking_up", COPIES=150), timeout=60)
    assert done.returncode == 0 and done.stdout == "done\n", done


def test_loaded_agents_are_listed_in_the_loaders_order(native):
    # The modules take the last agent the loader lists; the lookup must keep
    # the loader's order, whatever the addresses the objects landed at.
    for first, second in ((native.agent_partial, "REFERENCE"),
                          ("REFERENCE", native.agent_partial)):
        done = check_child(f"""
            import ctypes, vandrel
            order = [p if p != "REFERENCE" else vandrel.agent_path()
                     for p in ({first!r}, {second!r})]
            for path in order:
                ctypes.CDLL(path)
            print(vandrel.loaded_agent_paths() == order)
        """)
        assert done.stdout == "True\n", done


@needs_interceptor
@pytest.mark.parametrize("reader", ["stalled", "gone"])
def test_final_text_to_a_pipe_is_bounded(reader):
    # report_period=0: the monitor writes the final table itself.  It hung
    # for good on a full pipe and died by SIGPIPE (141) once the reader left.
    done = run_child(child_program("final_text_to_a_pipe", READER=reader), timeout=30)
    assert done.returncode == 0 and done.stdout == "stopped True\n", done
    reason = "nothing accepted for 1 s" if reader == "stalled" else "Broken pipe"
    line = done.stderr.strip()
    assert line.startswith("vandrel: GilMonitor: the final GIL report was not written to "
                           "file descriptor ") and reason in line, done.stderr
    assert line.endswith(" bytes dropped") and "\n" not in line, done.stderr


@needs_interceptor
def test_final_text_to_a_full_disk_is_named():
    done = check_child("""
        import vandrel
        with vandrel.GilMonitor(report_file="/dev/full"):
            pass
    """)
    assert done.stderr.startswith("vandrel: GilMonitor: the final GIL report was not written "
                                  "to '/dev/full': No space left on device; "), done.stderr


@needs_interceptor
def test_one_report_covers_the_whole_session():
    # Without a report_period the agent still reports every second for
    # report(); the final interval covered only the time since the last one.
    done = check_child("""
        import time, vandrel
        with vandrel.GilMonitor() as monitor:
            end = time.monotonic() + 1.3
            while time.monotonic() < end:
                pass
        report = monitor.report()
        print(report.interval.wall_s == report.wall_s, report.interval.held_s == report.held_s,
              report.interval.hold_count == report.hold_count > 0)
    """)
    assert done.stdout == "True True True\n", done
