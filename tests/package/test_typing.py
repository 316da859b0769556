"""Type information as a user's type checker finds it after `pip install`.

mypy runs in a child process on samples outside the source tree, so it can
only see what was installed: the stub-only packages lockgauge-stubs and
threadsnap-stubs and the py.typed marker of vandrel."""
import re
import sys
import textwrap

from child import run

GOOD = """
    import lockgauge
    import threadsnap
    import vandrel

    class Fd:
        def __index__(self) -> int:
            return 2

    sink: object = object()
    status: int = lockgauge.init_gil_interceptor(sink, 100, 1000, Fd(), 0, 1, True)
    status = lockgauge.deinit_gil_interceptor()
    status = lockgauge.deinit_gil_interceptor(1, "ignored", None)
    status = threadsnap.dump_all_threads_stack(2, 2**63 - 1)
    status = threadsnap.dump_all_threads_stack(Fd(), Fd())
    reveal_type(lockgauge.init_gil_interceptor)
    reveal_type(lockgauge.deinit_gil_interceptor)
    reveal_type(threadsnap.dump_all_threads_stack)

    import ctypes
    import signal
    import sys
    from typing import Dict, List, Type

    path: str = vandrel.agent_path()
    handle: ctypes.CDLL = vandrel.load_agent()
    agents: List[str] = vandrel.loaded_agent_paths()
    vandrel.dump_stacks()
    vandrel.dump_stacks(sys.stderr, max_frames=3)
    vandrel.dump_stacks(2)
    text: str = vandrel.format_stacks(max_frames=0)
    vandrel.dump_stacks_on_signal(signal.SIGUSR1, sys.stderr, chain=True, max_frames=5)
    vandrel.dump_stacks_on_signal(10)
    cancelled: bool = vandrel.cancel_dump_stacks_on_signal(signal.SIGUSR1)
    vandrel.dump_stacks_later(1.5, repeat=True, file=2, exit=False, max_frames=1)
    vandrel.dump_stacks_later(3)
    vandrel.cancel_dump_stacks_later()
    errors: List[Type[vandrel.VandrelError]] = [
        vandrel.AgentLibraryNotFound, vandrel.AgentNotLoaded, vandrel.AgentEntryPointMissing,
        vandrel.GilInterceptorError, vandrel.GilInterceptorUnavailable,
        vandrel.GilInterceptorBadParameter, vandrel.GilInterceptorAlreadyOn,
        vandrel.GilInterceptorNotOn, vandrel.GilInterceptorSystemError,
        vandrel.GilInterceptorNoGil]
    try:
        vandrel.dump_stacks()
    except vandrel.GilInterceptorError as error:
        code: int = error.status
    except vandrel.AgentLibraryNotFound as error:
        number: int | None = error.errno
    explained = vandrel.gil_status_error(-2)
    if explained is not None:
        message: str = str(explained)
    reveal_type(vandrel.dump_stacks)
    reveal_type(vandrel.format_stacks)
    reveal_type(vandrel.dump_stacks_later)

    import logging
    from typing import Optional, Tuple

    new_errors: List[Type[vandrel.GilInterceptorError]] = [
        vandrel.NotAvailable, vandrel.BadParameter, vandrel.AlreadyRunning,
        vandrel.NotRunning, vandrel.AgentSystemError, vandrel.GilNotHeld]

    def log_contention(report: vandrel.GilReport) -> None:
        interval: Optional[vandrel.GilInterval] = report.interval
        if interval is not None and interval.wall_s > 0:
            logging.info("GIL waited %.0f%%", 100 * interval.wait_s / interval.wall_s)

    with vandrel.GilMonitor(report_period=1.0, long_hold_threshold=0.01, timeline=True,
                            report_file="gil.txt", callback=log_contention) as monitor:
        running: bool = monitor.running
    monitor = vandrel.GilMonitor(0.5, timeline=10_000, report_file=sys.stderr)
    started: vandrel.GilMonitor = monitor.start()
    so_far: vandrel.GilReport = monitor.report()
    final: vandrel.GilReport = monitor.stop()
    period: float = monitor.report_period
    threshold: Optional[float] = monitor.long_hold_threshold
    threads: Tuple[vandrel.ThreadGilStats, ...] = final.threads
    for thread in final.threads:
        native_id: int = thread.native_id
        p99: Optional[float] = thread.wait_p99_s
    groups: Tuple[vandrel.GilGroupStats, ...] = final.groups
    for hold in final.long_holds or ():
        top: vandrel.LongHold = hold
        frame: vandrel.Frame = hold.stack[0]
        line: int = frame.line
    row: Optional[vandrel.ThreadGilStats] = final.thread(1)
    raw: Dict[str, object] = final.to_dict()
    again: vandrel.GilReport = vandrel.GilReport.from_dict(raw)
    final.write_text(sys.stdout)
    final.write_text(1)
    final.write_chrome_trace("gil.json")
    timeline: Optional[bytes] = final.timeline
    reveal_type(vandrel.GilMonitor)
"""

# Each line must be rejected; the error code names the reason.
BAD = {
    "keyword": ("threadsnap.dump_all_threads_stack(fd=1, max_frames=2)", "call-arg"),
    "too few": ("threadsnap.dump_all_threads_stack(1)", "call-arg"),
    "too many": ("threadsnap.dump_all_threads_stack(1, 2, 3)", "call-arg"),
    "float": ("threadsnap.dump_all_threads_stack(1.5, 2)", "arg-type"),
    "str": ("lockgauge.init_gil_interceptor(None, '1', 2, 3, 4, 5, 6)", "arg-type"),
    "six": ("lockgauge.init_gil_interceptor(None, 1, 2, 3, 4, 5)", "call-arg"),
    "not str": ("x: str = lockgauge.deinit_gil_interceptor()", "assignment"),
    "init keyword": ("lockgauge.init_gil_interceptor(None, 1, 2, 3, 4, 5, c=6)", "call-arg"),
    "max_frames keyword-only": ("vandrel.dump_stacks(1, 2)", "call-arg"),
    "format positional": ("vandrel.format_stacks(3)", "call-arg"),
    "timeout str": ("vandrel.dump_stacks_later('1')", "arg-type"),
    "file str": ("vandrel.dump_stacks('stderr')", "arg-type"),
    "text not int": ("n: int = vandrel.format_stacks()", "assignment"),
    "signal str": ("vandrel.dump_stacks_on_signal('USR1')", "arg-type"),
    "monitor period str": ("vandrel.GilMonitor('1')", "arg-type"),
    "monitor options keyword-only": ("vandrel.GilMonitor(1.0, 0.01)", "call-arg"),
    "callback signature": ("vandrel.GilMonitor(callback=lambda a, b: None)", "arg-type"),
    "report frozen": ("vandrel.GilMonitor().report().wall_s = 1.0", "misc"),
    "stats not a dict": ("vandrel.GilMonitor().report().threads[0]['name']", "index"),
}


def mypy(tmp_path, source):
    sample = tmp_path / "sample.py"
    sample.write_text(textwrap.dedent(source))
    done = run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--show-error-codes",
         "--python-version", f"{sys.version_info[0]}.{sys.version_info[1]}", sample],
        cwd=tmp_path, timeout=300)
    return done.returncode, done.stdout + done.stderr


def test_strict_mypy_accepts_every_function_with_precise_types(tmp_path):
    code, out = mypy(tmp_path, GOOD)
    # reveal_type() is a note, not an error: exit code 0 means no error at all.
    assert code == 0, out
    # Without vandrel/py.typed the import of vandrel alone fails --strict.
    index = r"typing\.SupportsIndex"
    result = r"\) -> (builtins\.)?int"
    expected = [
        rf"def \((builtins\.)?object, {index}, {index}, {index}, {index}, {index}, {index}{result}",
        rf"def \(\*ignored: (builtins\.)?object{result}",
        rf"def \({index}, {index}{result}",
    ]
    for pattern in expected:
        assert re.search(pattern, out), (pattern, out)
    for pattern in (r"def \(file: .*None =, \*, max_frames: (builtins\.)?int =\)",
                    r"def \(\*, max_frames: (builtins\.)?int =\) -> (builtins\.)?str",
                    r"def \(timeout: (builtins\.)?float, \*, repeat: (builtins\.)?bool =,"):
        assert re.search(pattern, out), (pattern, out)


def test_the_sample_uses_every_public_name_of_vandrel():
    import vandrel
    unused = [name for name in vandrel.__all__ if f"vandrel.{name}" not in GOOD]
    assert unused == []


def test_strict_mypy_rejects_misuse(tmp_path):
    cases = sorted(BAD.items())
    header = ["import lockgauge", "import threadsnap", "import vandrel"]
    code, out = mypy(tmp_path, "\n".join(header + [line for _, (line, _) in cases]) + "\n")
    assert code == 1, out
    for number, (case, (line, code_name)) in enumerate(cases, start=len(header) + 1):
        assert re.search(rf"sample\.py:{number}: error: .*\[{code_name}\]", out), (case, out)
