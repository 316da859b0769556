"""vandrel.GilMonitor and its typed reports.

Each scenario that switches the interceptor runs in a fresh interpreter:
one session can exist in a process.  Against the reference agent where
the interceptor runs (CPython 3.13); against the recording stand-in agent
for what the monitor passes to the agent and how it takes each status."""
import json
import os
import re
import sys
import textwrap

import pytest

from child import (ALREADY_ON, FORK_HANGS_UNDER_SANITIZER,
                   BAD_PARAMETER, NO_GIL, NOT_AVAILABLE, NOT_ON, SANITIZED,
                   SYSTEM_ERROR, check_child, child_program, run_python)
from conftest import GIL_INTERCEPTOR_SUPPORTED, needs_interceptor
from interceptor import SPIN
from trace_files import (GIL_TRACK, counter_integral, counters_of, gil_holders,
                         read_trace, spans_of)


def with_spinners(code, **kwargs):
    """check_child() on `code` with the SPIN helpers defined first."""
    return check_child(SPIN + textwrap.dedent(code), **kwargs)


@needs_interceptor
@pytest.mark.timing
def test_context_manager_callback_and_report():
    done = with_spinners("""
        import vandrel
        got = []
        monitor = vandrel.GilMonitor(report_period=0.05, callback=got.append)
        with monitor as entered:
            threads = spinners(0.4)
            during = monitor.report()
            for thread in threads:
                thread.join()
        final = monitor.report()
        print(json.dumps({
            "entered": entered is monitor, "running": monitor.running,
            "during": [during.final, during.wall_s],
            "kinds": sorted({type(report).__name__ for report in got}),
            "finals": [report.final for report in got],
            "same_final": got[-1] == final and final is monitor.report(),
            "wall": final.wall_s, "held": final.held_s,
            "threads": {t.name: [t.held_s, t.wait_s, t.acquisitions] for t in final.threads},
            "sum_held": sum(t.held_s for t in final.threads) + sum(g.held_s for g in final.groups),
        }))
    """)
    result = json.loads(done.stdout)
    assert result["entered"] and not result["running"], result
    assert result["during"][0] is False and 0 < result["during"][1] < 0.4, result
    assert result["kinds"] == ["GilReport"], result
    # Periodic reports every 50 ms over about 0.4 s, then exactly one final, last.
    assert result["finals"].count(True) == 1 and result["finals"][-1] is True, result
    assert len(result["finals"]) >= 4, result
    assert result["same_final"], result
    for name in ("spin-0", "spin-1"):
        held, wait, acquisitions = result["threads"][name]
        assert held > 0.1 and wait > 0.05 and acquisitions > 1, (name, result)
    assert result["held"] <= result["wall"] + 1e-6
    assert result["sum_held"] == pytest.approx(result["held"], rel=1e-6), result


@needs_interceptor
def test_report_so_far_without_a_period_and_final_after_stop():
    done = with_spinners("""
        import vandrel
        got = []
        monitor = vandrel.GilMonitor(callback=got.append)
        assert monitor.start() is monitor
        for thread in spinners(0.1):
            thread.join()
        first = monitor.report()         # waits for the agent's first report (1 s)
        stopped = monitor.stop()
        print(json.dumps([first.final, first.wall_s, [r.final for r in got],
                          stopped.final, stopped is monitor.report(),
                          stopped.wall_s >= first.wall_s]))
    """)
    first_final, first_wall, finals, stopped_final, same, later = json.loads(done.stdout)
    assert first_final is False and first_wall > 0.1
    # Without a report_period only the final report goes to the callback.
    assert finals == [True] and stopped_final and same and later


@needs_interceptor
def test_one_session_per_process_names_the_holder():
    done = check_child(child_program("one_session"))
    lines = done.stdout.splitlines()
    other, same = eval(lines[0]), eval(lines[1])
    assert other[0] == "AlreadyRunning" and other[2], other
    assert "already" in other[1], other
    # The message names the monitor that holds the session and where it started.
    assert re.search(r"held by <vandrel\.GilMonitor report_period=0\.5 .*running, started at "
                     r"<string>:\d+>", other[1]), other
    assert same[0] == "AlreadyRunning" and "this monitor is already running" in same[1], same
    assert lines[2].startswith("True False <vandrel.GilMonitor report_period=0 "), lines[2]
    assert lines[3] == "-4"          # lockgauge meets the monitor's session
    assert lines[4] == "0"
    outside = eval(lines[5])
    assert outside[0] == "AlreadyRunning" and "outside vandrel.GilMonitor" in outside[1]
    assert lines[6:] == ["0", "restarted True True"], lines


def test_misuse_raises_and_leaves_the_process_as_it_was(native, tmp_path):
    never = tmp_path / "never.txt"
    done = check_child(child_program("misuse", STAND_IN=native.agent, NEVER=str(never), MISSING_DIR=str(tmp_path / 'no' / 'dir')), load=[native.agent])
    lines = done.stdout.splitlines()
    assert lines[0] == ("RuntimeError: report() before start(): start the GIL monitor first "
                        "(monitor.start() or `with monitor:`)"), lines
    assert lines[1].startswith("RuntimeError: stop() before start()"), lines
    expected = [
        "ValueError: report_period must be 0 to 1000000 seconds, got -1",
        "ValueError: report_period must be a finite number of seconds, got nan",
        "ValueError: report_period must be 0 to 1000000 seconds, got 2000000.0",
        "TypeError: report_period must be a number of seconds, not str",
        "ValueError: long_hold_threshold must be 0.000001 to 2147 seconds, got 0",
        "ValueError: long_hold_threshold must be 0.000001 to 2147 seconds, got -0.5",
        "ValueError: long_hold_threshold must be 0.000001 to 2147 seconds, got 3000.0",
        "ValueError: timeline must be True, False or a number of transitions from 0 to "
        "2147483647, got -1",
        "ValueError: timeline must be True, False or a number of transitions from 0 to "
        "2147483647, got 2147483648",
        "TypeError: timeline must be a bool or an int, not float",
        "TypeError: callback must be callable or None, not int",
        "ValueError: report_file descriptor must be in 0..2147483647, got -2",
        "TypeError: report_file must be a path, a file object or a file descriptor, not float",
        "TypeError: report_period must be a number of seconds, not bool",
    ]
    assert lines[2:16] == expected, lines
    # Nothing reached the agent, and no report file was created.
    assert lines[16] == "0 False", lines
    # A closed descriptor is refused by the constructor, before the agent.
    assert re.fullmatch(r"OSError: \[Errno 9\] report_file: file descriptor \d+ is not open 0",
                        lines[17]), lines
    assert lines[18].startswith("FileNotFoundError: [Errno 2] cannot open the report file "), lines
    assert lines[19].startswith("RuntimeError: report() before start()"), lines
    assert lines[20].startswith("GilInterceptorError: the agent switched the GIL interceptor off "
                                "without giving the monitor a final report"), lines
    assert lines[21] == "RuntimeError: stop() called twice: this GIL monitor is already stopped"


def test_options_reach_the_agent(native, tmp_path):
    report = tmp_path / "report.txt"
    done = check_child(f"""
        import os, vandrel
        from recorder import Recorder
        rec = Recorder({native.agent!r})
        seen = []
        for options in (dict(),
                        dict(report_period=0.25, long_hold_threshold=0.0125, timeline=True),
                        dict(report_period=1e-4, timeline=5000,
                             report_file={str(report)!r})):
            monitor = vandrel.GilMonitor(**options).start()
            seen.append([rec.init_report_period, rec.init_a, rec.init_b, rec.init_c,
                         rec.init_fd >= 0, rec.init_sample_period])
            try:
                monitor.stop()
            except vandrel.GilInterceptorError:
                pass                    # the stand-in gives no final report
        print(seen, os.path.exists({str(report)!r}))
    """, load=[native.agent])
    seen, created = done.stdout.rsplit(" ", 1)
    # Without a period the agent still reports every second, for report().
    assert eval(seen) == [[1000, 0, 0, 0, False, 0], [250, 12500, 1000000, 0, False, 0],
                          [1, 0, 5000, 0, True, 0]], seen
    assert created.strip() == "True"


def test_profile_options_are_checked_and_kept_in_the_agent_s_units():
    import vandrel
    from vandrel._interceptor import Settings
    settings = Settings.of(profile=True, profile_rate=250, profile_wait_threshold=0.0025)
    assert (settings.profile, settings.profile_period_ns, settings.profile_wait_threshold_ns) == (
        True, 4_000_000, 2_500_000)
    assert settings.profile_rate == 250 and settings.profile_wait_threshold == 0.0025
    default = Settings.of()
    assert (default.profile, default.profile_period_ns, default.profile_wait_threshold_ns) == (
        False, 10_000_000, 1_000_000)
    edges = Settings.of(profile_rate=1, profile_wait_threshold=60)
    assert edges.profile_period_ns == 10**9 and edges.profile_wait_threshold_ns == 60 * 10**9
    assert Settings.of(profile_rate=1000, profile_wait_threshold=0).profile_period_ns == 10**6
    for options, error, text in (
            (dict(profile_rate="100"), TypeError, "profile_rate must be a number"),
            (dict(profile_rate=True), TypeError, "profile_rate must be a number"),
            (dict(profile_rate=0.5), ValueError, r"profile_rate must be 1 to 1000 .*Hz"),
            (dict(profile_rate=1000.5), ValueError, r"profile_rate must be 1 to 1000"),
            (dict(profile_rate=float("nan")), ValueError, r"profile_rate must be 1 to 1000"),
            (dict(profile_wait_threshold=-0.001), ValueError,
             r"profile_wait_threshold must be 0 to 60 seconds"),
            (dict(profile_wait_threshold=60.5), ValueError, r"profile_wait_threshold must be 0"),
            (dict(profile_wait_threshold="1"), TypeError, r"profile_wait_threshold must be a"),
            (dict(profile=1), TypeError, r"profile must be a bool")):
        with pytest.raises(error, match=text):
            Settings.of(**options)
        with pytest.raises(error, match=text):
            vandrel.GilMonitor(**options)
    monitor = vandrel.GilMonitor(profile=True, profile_rate=50)
    assert monitor.profile and monitor.profile_rate == 50 and monitor.profile_wait_threshold == 0.001


@needs_interceptor
def test_monitor_profile_reaches_its_reports():
    done = check_child("""
        import ctypes, json, sys, vandrel
        lib = ctypes.PyDLL(None)
        raws = []
        with vandrel.GilMonitor(profile=True, profile_rate=1000, profile_wait_threshold=0,
                                callback=lambda report: raws.append(report)) as monitor:
            held_line = sys._getframe().f_lineno + 1
            lib.usleep(100000)
        profile = monitor.report().profile.to_dict()
        top = [row["stack"][0] for row in profile["held"]
               if row["thread"] == "MainThread" and row["stack"]]
        print(json.dumps([profile["rate_hz"], profile["wait_threshold_s"], top[0][1] - held_line,
                          raws[-1].to_dict() == vandrel.GilReport.from_dict(
                              raws[-1].to_dict()).to_dict()]))
    """)
    rate, wait, top, round_trip = json.loads(done.stdout)
    assert rate == 1000.0 and wait == 0.0 and round_trip, done.stdout
    # Nearly all of the session is the call's 100 ms: the top row.
    assert top == 0, done.stdout


def test_each_agent_status_is_a_named_exception(native):
    done = check_child("""
        import vandrel
        from recorder import Recorder
        rec = Recorder(%r)
        for status in (-1, -2, -3, -4, -5, -6, -7, -9):
            rec.next_init_status = status
            monitor = vandrel.GilMonitor(timeline=10)
            try:
                monitor.start()
            except vandrel.VandrelError as exc:
                print(status, type(exc).__name__, getattr(exc, "status", None), monitor.running,
                      "|", exc)
        rec.next_init_status = 0
        monitor = vandrel.GilMonitor().start()
        rec.next_deinit_status = -2
        try:
            monitor.stop()
        except vandrel.NotAvailable as exc:
            print("stop", type(exc).__name__, monitor.running)
    """ % native.agent, load=[native.agent])
    rows = {}
    for line in done.stdout.splitlines()[:-1]:
        head, message = line.split(" | ", 1)
        status, name, attribute, running = head.split()
        assert running == "False", line
        rows[int(status)] = (name, message)
    assert rows[-1][0] == "AgentNotLoaded"
    assert rows[-2][0] == "NotAvailable"
    assert rows[-2][1].startswith("the GIL interceptor cannot run here: "), rows[-2]
    assert rows[-3] == ("BadParameter",
                        "the agent refused timeline=10: an agent older than this package does "
                        "not know these options, and a timeline too large to allocate is "
                        "refused too; use the package's own agent (vandrel.agent_path()) or "
                        "leave them out")
    assert rows[-4][0] == "AlreadyRunning" and "already running" in rows[-4][1]
    assert rows[-5][0] == "NotRunning"
    assert rows[-6][0] == "AgentSystemError" and "ask for a smaller one" in rows[-6][1]
    assert rows[-7][0] == "GilNotHeld" and "does not hold the GIL" in rows[-7][1]
    assert rows[-9][0] == "GilInterceptorError"
    assert done.stdout.splitlines()[-1] == "stop NotAvailable True"


def test_old_error_names_still_catch_the_new_errors():
    import vandrel
    pairs = [(vandrel.GilInterceptorUnavailable, vandrel.NotAvailable, NOT_AVAILABLE),
             (vandrel.GilInterceptorBadParameter, vandrel.BadParameter, BAD_PARAMETER),
             (vandrel.GilInterceptorAlreadyOn, vandrel.AlreadyRunning, ALREADY_ON),
             (vandrel.GilInterceptorNotOn, vandrel.NotRunning, NOT_ON),
             (vandrel.GilInterceptorSystemError, vandrel.AgentSystemError, SYSTEM_ERROR),
             (vandrel.GilInterceptorNoGil, vandrel.GilNotHeld, NO_GIL)]
    # One documented name per error: the first names are the same classes,
    # importable but left out of __all__.
    old_names = {"GilInterceptorUnavailable", "GilInterceptorBadParameter",
                 "GilInterceptorAlreadyOn", "GilInterceptorNotOn", "GilInterceptorSystemError",
                 "GilInterceptorNoGil"}
    assert old_names & set(vandrel.__all__) == set()
    assert {new.__name__ for _, new, _ in pairs} <= set(vandrel.__all__)
    for old, new, status in pairs:
        assert old is new
        error = vandrel.gil_status_error(status)
        assert isinstance(error, old) and isinstance(error, new) and error.status == status
        with pytest.raises(old):
            raise new("x")
    assert issubclass(vandrel.BadParameter, ValueError)
    assert issubclass(vandrel.AgentSystemError, OSError)


@needs_interceptor
@pytest.mark.skipif(sys.version_info < (3, 13), reason="uses 3.13's _interpreters")
@pytest.mark.parametrize("kind", ["legacy", "isolated"])
def test_subinterpreter_gets_not_available_with_the_fix(kind, tmp_path):
    # An isolated subinterpreter cannot import the single-phase lockgauge at
    # all (NotAvailable, not the import machinery's raw ImportError); a legacy
    # one can, and the agent refuses it.
    done = check_child(f"""
        import _interpreters, os, vandrel
        r, w = os.pipe()
        interp = _interpreters.create({kind!r})
        _interpreters.run_string(interp, f'''
        import os, vandrel
        try:
            vandrel.GilMonitor().start()
            result = "started"
        except Exception as exc:
            result = f"{{{{type(exc).__name__}}}}: {{{{exc}}}}"
        os.write({{w}}, result.encode())
        ''')
        print(os.read(r, 1000).decode())
    """)
    if kind == "legacy":
        assert done.stdout == ("NotAvailable: the GIL interceptor cannot run here: called from "
                               "a subinterpreter; switch it on from the main interpreter\n")
    else:
        assert done.stdout.startswith("NotAvailable: lockgauge cannot be loaded in this "
                                      "interpreter (module lockgauge does not support "), done.stdout


@pytest.mark.skipif(GIL_INTERCEPTOR_SUPPORTED, reason="the interceptor is available")
def test_not_available_names_the_version():
    done = check_child("""
        import vandrel
        try:
            vandrel.GilMonitor().start()
        except vandrel.NotAvailable as exc:
            print(exc)
    """)
    assert done.stdout.startswith("the GIL interceptor cannot run here: "), done.stdout


@needs_interceptor
def test_exit_while_running_delivers_the_final_report_to_the_callback():
    done = check_child("""
        import vandrel
        def show(report):
            print("final" if report.final else "periodic", flush=True)
        vandrel.GilMonitor(callback=show).start()
    """)
    assert done.stdout == "final\n", done.stdout


@needs_interceptor
def test_callback_errors_go_to_the_unraisable_hook_and_stop_works_inside_it():
    done = check_child("""
        import sys, threading, vandrel
        seen, done = [], threading.Event()
        sys.unraisablehook = lambda info: seen.append(type(info.exc_value).__name__)
        def callback(report):
            if not report.final:
                monitor.stop()          # from inside the callback, on the agent's thread
                done.set()
                raise KeyError("boom")
        monitor = vandrel.GilMonitor(report_period=0.02, callback=callback)
        monitor.start()
        assert done.wait(10)
        print(seen, monitor.running, monitor.report().final)
    """)
    assert done.stdout == "['KeyError'] False True\n", done.stdout + done.stderr


@needs_interceptor
def test_report_file_gets_the_agent_tables(tmp_path):
    report = tmp_path / "gil.txt"
    with_spinners(f"""
        import vandrel
        with open({str(report)!r}, "w") as out:
            out.write("header\\n")              # flushed before the agent writes
            with vandrel.GilMonitor(report_period=0.05, report_file=out):
                for thread in spinners(0.25):
                    thread.join()
    """)
    text = report.read_text()
    assert text.startswith("header\nGIL report (periodic)"), text
    assert text.count("GIL report (final)") == 1, text
    # Each table has its column header line.
    assert text.count("held # / wait ~\n") == text.count("GIL report ("), text


def test_report_round_trip_with_every_key():
    import vandrel
    raw = {
        "wall_s": 2.5, "held_s": 2.25, "wait_s": 1.0, "neither_s": 0.5, "switches": 40,
        "final": True,
        "threads": {
            101: {"name": "MainThread", "held_s": 0.25, "wait_s": 0.75, "acquisitions": 9,
                  "neither_s": 0.5, "wait_count": 9, "hold_count": 9, "wait_p50_s": 0.001, "wait_p90_s": 0.004,
                  "wait_p99_s": 0.005, "wait_max_s": 0.006, "hold_p50_s": 0.002,
                  "hold_p90_s": 0.003, "hold_p99_s": 0.05, "hold_max_s": 0.06},
            102: {"name": "spin", "held_s": 2.0, "wait_s": 0.25, "acquisitions": 30,
                  "neither_s": 0.0, "new_figure": [1, 2]},
        },
        "groups": [{"name": "worker-*", "count": 3, "held_s": 0.0, "wait_s": 0.0,
                    "acquisitions": 1, "neither_s": 0.1, "wait_p50_s": 0.0,
                    "wait_p90_s": 0.0, "wait_p99_s": 0.0, "wait_max_s": 0.0,
                    "hold_p50_s": 0.0, "hold_p90_s": 0.0, "hold_p99_s": 0.0,
                    "hold_max_s": 0.0}],
        "wait_p50_s": 0.001, "wait_p90_s": 0.004, "wait_p99_s": 0.005, "wait_max_s": 0.006,
        "hold_p50_s": 0.002, "hold_p90_s": 0.003, "hold_p99_s": 0.05, "hold_max_s": 0.06,
        "wait_count": 40, "hold_count": 41, "long_hold_threshold_s": 0.01,
        "long_holds": [{"thread": "MainThread", "native_id": 101, "count": 2, "total_s": 0.1,
                        "beyond_s": 0.08, "max_s": 0.05,
                        "stack": [["/app/x.py", 12, "slow"], ["/app/x.py", 30, "<module>"]],
                        "released_at": [["/app/x.py", 13, "slow"]], "ended_by": "voluntary"}],
        "interval": {"wall_s": 1.0, "held_s": 0.9, "wait_s": 0.3, "switches": 12,
                     "wait_count": 12, "hold_count": 13,
                     "wait_p50_s": 0.001, "wait_p90_s": 0.002, "wait_p99_s": 0.003,
                     "wait_max_s": 0.004, "hold_p50_s": 0.005, "hold_p90_s": 0.006,
                     "hold_p99_s": 0.007, "hold_max_s": 0.008},
        "timeline": b"\x00\x01" * 8,
        "profile": {"rate_hz": 100.0, "wait_threshold_s": 0.001,
                    "held": [{"thread": "MainThread", "stack": [["/app/x.py", 12, "slow"]],
                              "seconds": 0.5, "samples": 50},
                             {"thread": "", "stack": [], "seconds": 0.01, "samples": 1,
                              "other": 1}],
                    "waited": []},
        "agent_note": "kept as is",
    }
    report = vandrel.GilReport.from_dict(raw)
    assert report.to_dict() == raw
    assert list(report.to_dict()["threads"]) == [101, 102]
    main = report.thread(101)
    assert main is not None and main.name == "MainThread" and main.hold_max_s == 0.06
    assert report.thread(102).wait_p50_s is None and report.thread(7) is None
    hold = report.long_holds[0]
    assert hold.stack[0] == vandrel.Frame("/app/x.py", 12, "slow") and hold.count == 2
    assert hold.native_id == 101 and hold.beyond_s == 0.08 and report.long_hold_threshold_s == 0.01
    assert hold.released_at == (vandrel.Frame("/app/x.py", 13, "slow"),)
    assert hold.ended_by == "voluntary" and hold._extra == {}
    assert report.profile.to_dict() == raw["profile"] and "profile" not in repr(report)
    # A long hold from an agent that does not say where it let go.
    older = {k: v for k, v in raw["long_holds"][0].items() if k not in ("released_at", "ended_by")}
    older_hold = vandrel.LongHold.from_dict(older)
    assert older_hold.released_at is None and older_hold.ended_by is None
    assert older_hold.to_dict() == older
    assert type(report.wait_count) is int and type(main.hold_count) is int
    assert report.interval.switches == 12 and report.groups[0].count == 3
    with pytest.raises(Exception):
        report.wall_s = 1.0          # frozen
    assert "timeline" not in repr(report)
    # An agent without the newer keys: they stay absent in the round trip.
    old = {key: raw[key] for key in ("wall_s", "held_s", "wait_s", "neither_s", "switches",
                                     "final", "groups")}
    old["threads"] = {102: {k: v for k, v in raw["threads"][102].items() if k != "new_figure"}}
    report = vandrel.GilReport.from_dict(old)
    assert report.to_dict() == old
    assert report.long_holds is None and report.interval is None and report.timeline is None
    assert report.profile is None
    with pytest.raises(ValueError, match=r"no timeline: start the monitor with "
                                         r"vandrel\.GilMonitor\(timeline=True\)"):
        report.write_chrome_trace("/nonexistent/trace.json")


@needs_interceptor
@pytest.mark.serial
def test_the_agent_s_own_reports_round_trip():
    done = with_spinners("""
        import vandrel
        vandrel.load_agent()
        import lockgauge
        from interceptor import interceptor_on
        reports = []
        assert interceptor_on(lockgauge, sink=reports.append, period_ms=30) == 0
        threads = spinners(0.15)
        for thread in threads:
            thread.join()
        assert lockgauge.deinit_gil_interceptor() == 0
        checked = 0
        for raw in reports:
            report = vandrel.GilReport.from_dict(raw)
            assert report.to_dict() == raw, raw
            # Every key of the agent's dict is a typed field, none left aside.
            parts = [report, *report.threads, *report.groups, *(report.long_holds or ()),
                     *([report.interval] if report.interval else [])]
            assert all(part._extra == {} for part in parts), [p._extra for p in parts]
            checked += 1
        print(checked, reports[-1]["final"])
    """)
    count, final = done.stdout.split()
    assert int(count) >= 3 and final == "True", done.stdout


@needs_interceptor
def test_fork_child_has_no_session_and_may_start_its_own():
    done = check_child("""
        import os, warnings, vandrel
        warnings.simplefilter("ignore", DeprecationWarning)   # fork with the agent's thread
        monitor = vandrel.GilMonitor().start()
        pid = os.fork()
        if pid == 0:
            try:
                monitor.stop()
                line = "stopped the parent's session"
            except RuntimeError as exc:
                line = f"{monitor.running} {exc}"
            own = vandrel.GilMonitor().start()
            print(line, own.stop().final, flush=True)
            os._exit(0)
        os.waitpid(pid, 0)
        print("parent", monitor.running, monitor.stop().final)
    """)
    child, parent = done.stdout.splitlines()
    assert re.fullmatch(r"False stop\(\): this GIL monitor was started in process \d+; a child "
                        r"made by fork\(\) starts with the interceptor off True", child), child
    assert parent == "parent True True"


@needs_interceptor
@pytest.mark.skipif(SANITIZED, reason=FORK_HANGS_UNDER_SANITIZER)
def test_fork_while_threads_come_and_go_never_hangs_the_child():
    # Threads starting and ending take the agent's record lock; a child
    # forked while one held it used to inherit it locked, and on CPython
    # 3.14+ (threading names the thread again after fork) hung in os.fork().
    # A fork takes about 0.2 s under ASan: fewer there.
    forks = 100 if SANITIZED else 500
    done = check_child(child_program("fork_while_threads_churn", FORKS=forks), timeout=120)
    assert done.stdout.split() == ["hung", "0", "True"], done.stdout


# ---- text and trace output ------------------------------------------------------

def check_trace_events(trace):
    """Check `trace` (parsed JSON) against the trace-event format, as
    Perfetto and chrome://tracing read it: every event has a phase, a pid
    and a tid; spans have a name and a timestamp; per thread, timestamps
    never go back and every begin has its end.  Return the thread names by
    tid and the summed span durations in µs by (tid, span name)."""
    # The object form (write_chrome_trace) or the array form (the stream).
    events = trace if isinstance(trace, list) else trace["traceEvents"]
    assert isinstance(events, list), type(trace)
    names, spans, open_spans, last_ts = {}, {}, {}, {}
    for event in events:
        phase = event["ph"]
        assert isinstance(event["pid"], int) and isinstance(event["tid"], int), event
        tid = event["tid"]
        if phase == "M":
            if event["name"] == "thread_name":
                names[tid] = event["args"]["name"]
            continue
        ts = event["ts"]
        if phase == "C":
            # Counters are the process's: at their steps, in any order.
            assert all(value >= 0 for value in event["args"].values()), event
            continue
        assert isinstance(ts, (int, float)) and ts >= last_ts.get(tid, 0), (event, last_ts)
        last_ts[tid] = ts
        if phase == "B":
            assert isinstance(event["name"], str) and tid not in open_spans, event
            open_spans[tid] = event
        elif phase == "E":
            begin = open_spans.pop(tid)
            key = (tid, begin["name"])
            spans[key] = spans.get(key, 0) + ts - begin["ts"]
        elif phase == "X":
            assert isinstance(event["name"], str) and event["dur"] >= 0, event
            key = (tid, event["name"])
            spans[key] = spans.get(key, 0) + event["dur"]
        else:
            assert phase in ("i", "I", "C"), event
    assert not open_spans, ("begin without end", open_spans)
    return names, spans


@needs_interceptor
def test_write_chrome_trace_from_the_final_report(tmp_path):
    trace = tmp_path / "gil.json"
    stepped = tmp_path / "stepped.json"
    done = with_spinners(f"""
        import vandrel
        with vandrel.GilMonitor(timeline=True) as monitor:
            for thread in spinners(0.3):
                thread.join()
            try:
                monitor.report().write_chrome_trace({str(trace)!r})
            except ValueError as exc:
                print(exc)
        final = monitor.report()
        final.write_chrome_trace({str(trace)!r}, resolution=0)
        final.write_chrome_trace({str(stepped)!r}, resolution=0.001)
        print(json.dumps({{t.name: [t.held_s, t.wait_s] for t in final.threads}}))
    """)
    refusal, figures = done.stdout.splitlines()
    # A periodic report carries no timeline.
    assert refusal.startswith("this report has no timeline: start the monitor with "), refusal
    threads = json.loads(figures)
    events = json.loads(trace.read_text())["traceEvents"]
    check_trace_events(events)
    names, spans = spans_of(events)
    assert names[GIL_TRACK] == "GIL"
    # A ring of a million transitions does not wrap in 0.3 s: at resolution
    # 0 the GIL track has every hold, by holder, and the counter every wait.
    held = {name: 0.0 for name in threads}
    for name, start, end, args in spans[GIL_TRACK]:
        held[name] = held.get(name, 0.0) + (end - start) / 1e6
    for name in ("spin-0", "spin-1", "MainThread"):
        assert held[name] == pytest.approx(threads[name][0], rel=0.01, abs=1e-5), (name, held)
    # The counter's means per step add up to the waits.
    waited = counter_integral(counters_of(read_trace(stepped))["GIL"], "waiting")
    assert waited == pytest.approx(sum(wait for _, wait in threads.values()), rel=0.01,
                                   abs=1e-5)


@needs_interceptor
def test_write_text_is_the_agent_s_table(tmp_path):
    report = tmp_path / "gil.txt"
    own = tmp_path / "own.txt"
    with_spinners(f"""
        import os, vandrel
        with vandrel.GilMonitor(report_period=0.05, report_file={str(report)!r}) as monitor:
            for thread in spinners(0.2):
                thread.join()
        with open({str(own)!r}, "w") as out:
            monitor.report().write_text(out)
        fd = os.open({str(own)!r}, os.O_WRONLY | os.O_APPEND)
        monitor.report().write_text(fd)
    """)
    agent_text = report.read_text()
    final = agent_text[agent_text.rindex("GIL report (final)"):]
    assert final.count("\n") > 5 and own.read_text() == final * 2


@needs_interceptor
@pytest.mark.timing
def test_report_file_without_a_period_gets_the_final_table_once(tmp_path):
    report = tmp_path / "gil.txt"
    done = with_spinners(f"""
        import vandrel
        with open({str(report)!r}, "w") as out:
            out.write("before\\n")            # buffered: flushed before the table
            with vandrel.GilMonitor(report_file=out) as monitor:
                for thread in spinners(1.2):   # past the agent's one-second report
                    thread.join()
                during = monitor.report()
        print(during.final, monitor.report().format_text() == vandrel._gil_format.format_text(
            monitor.report().to_dict()))
        print(monitor.report().format_text(), end="")
    """)
    during_final, same = done.stdout.splitlines()[0].split()
    assert during_final == "False" and same == "True", done.stdout
    table = done.stdout.split("\n", 1)[1]
    assert report.read_text() == "before\n" + table, report.read_text()
    assert table.startswith("GIL report (final)") and table.count("GIL report") == 1


HOLDER = """
import ctypes
libc = ctypes.PyDLL(None)              # PyDLL: the call keeps the GIL
def hold_gil_now_and_then(rounds):
    for _ in range(rounds):
        libc.usleep(50000)             # HOLD LINE
        time.sleep(0.15)
holder = threading.Thread(target=hold_gil_now_and_then, args=(5,), name="holder")
"""


def hold_line(code):
    """The line of the holding call in `code` as a child runs it (run_child
    puts one line before it)."""
    return 1 + next(number for number, line in enumerate(code.splitlines(), start=1)
                    if "HOLD LINE" in line)


@needs_interceptor
@pytest.mark.timing
def test_long_hold_threshold_charges_the_holding_line():
    code = SPIN + HOLDER + textwrap.dedent("""
        import vandrel
        with vandrel.GilMonitor(long_hold_threshold=0.02) as monitor:
            holder.start()
            # The spinners outlast the holder's five rounds (about 1 s with
            # its waits for the GIL): each hold ends with a thread waiting.
            for thread in spinners(1.5):
                thread.join()
            holder.join()
        report = monitor.report()
        print(report.long_hold_threshold_s)
        print(json.dumps([[h.thread, h.count, h.beyond_s, h.max_s,
                           [[f.file, f.line, f.function] for f in h.stack]]
                          for h in report.long_holds]))
    """)
    done = check_child(code)
    threshold, holds = done.stdout.splitlines()
    assert float(threshold) == 0.02
    places = [hold for hold in json.loads(holds) if hold[4]
              and hold[4][0] == ["<string>", hold_line(code), "hold_gil_now_and_then"]]
    assert len(places) == 1, holds
    thread, count, beyond, longest, _ = places[0]
    # Five holds of at least 50 ms, each at least 30 ms beyond the threshold.
    assert thread == "holder" and count == 5, places
    assert longest >= 0.05 and beyond >= 0.15, places


@needs_interceptor
@pytest.mark.timing
def test_launcher_writes_the_trace_and_takes_the_long_hold_threshold(tmp_path):
    source = SPIN + HOLDER + "holder.start()\nfor t in spinners(1.0): t.join()\nholder.join()\n"
    script = tmp_path / "app.py"
    script.write_text(source)
    trace = tmp_path / "trace.json"
    done = run_python(["-m", "vandrel", "run", "--gil-trace", str(trace), "--gil-long-hold",
                       "0.02", str(script)], env=dict(os.environ), timeout=60)
    assert done.returncode == 0, done.stderr
    line = hold_line(source) - 1                # a script has no line before it
    assert "long holds (over 20.000 ms)" in done.stderr, done.stderr
    assert f'File "{script}", line {line}, in hold_gil_now_and_then' in done.stderr, done.stderr
    events = json.loads(trace.read_text())
    check_trace_events(events)
    names, spans = spans_of(events)
    assert {"MainThread", "holder", "spin-0", "spin-1"} <= gil_holders(spans), names
    # Each 50 ms hold is beyond the threshold: flagged as a long hold.
    long_held = sum(end - start for name, start, end, args in spans[GIL_TRACK]
                    if name == "holder" and args.get("long"))
    assert long_held >= 5 * 50000, spans[GIL_TRACK]
