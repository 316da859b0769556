"""Command line of the vandrel agent: ``python -m vandrel --help``.

``run`` loads the agent into this interpreter with dlopen, then runs the
script in it as ``__main__`` the way ``python`` itself would; ``path``
prints the agent library's path.  The agent is not put into LD_PRELOAD, so
child processes of the script are not affected.
"""
from __future__ import annotations

import argparse
import atexit
import builtins
import importlib.machinery
import math
import os
import runpy
import signal
import sys
import types
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import vandrel
from vandrel import _interceptor, _profile
from vandrel._dumps import check_signal

PROG = "python -m vandrel"

# --gil-profile's sampling when --gil-profile-rate and --gil-profile-wait
# are not given: samples a second, and the shortest wait sampled in seconds.
DEFAULT_PROFILE_RATE = 100.0
DEFAULT_PROFILE_WAIT = 0.001

DESCRIPTION = """\
Run a Python program with the vandrel agent loaded, so that the threadsnap
and lockgauge modules find it when they are imported, optionally with the
GIL interceptor on or with stack dumps on a signal or after a delay."""

RUN_USAGE = f"{PROG} run [options] (script | -m module | -c command | -) [args ...]"

RUN_DESCRIPTION = """\
Load the agent into this interpreter, then run the script (a file, a
directory or zip file with __main__.py, or - for standard input), the
module (-m, as python -m does) or the command (-c, as python -c does) as
__main__, with sys.argv set to it and the arguments that follow.
Everything after the script, module name or command goes to the program.  The process exits with the program's status, as python would."""

RUN_EPILOG = """\
examples:
  python -m vandrel run app.py --port 8080
  python -m vandrel run --gil -m mypackage.worker
  python -m vandrel run --gil -c 'import app; app.main()'
  python -m vandrel run --gil-trace gil.json app.py   # open gil.json in Perfetto
  python -m vandrel run --loop-block 0.1 server.py   # asyncio loops blocked > 100 ms
  python -m vandrel run --gil-profile prof app.py     # open prof/held.svg in a browser
  python -m vandrel run --dump-on USR1 app.py      # then: kill -USR1 <pid>
  python -m vandrel run --dump-after 30 app.py     # one dump after 30 s"""

PATH_DESCRIPTION = """\
Print the absolute path of the agent library, for LD_PRELOAD=$(python -m
vandrel path) when a process needs the agent before its interpreter starts."""

# run's own options that take a value: the first argument that is neither
# one of these, nor an option, nor such a value is the program.
_VALUE_OPTIONS = {"--gil-report", "--gil-period", "--gil-trace", "--gil-trace-resolution",
                  "--gil-long-hold", "--gil-metrics-port", "--gil-profile", "--gil-profile-rate",
                  "--gil-profile-wait", "--dump-on", "--dump-after", "--loop-block"}
# How often the figures on --gil-metrics-port are renewed when --gil-period
# does not say.
METRICS_PERIOD_S = 1.0


def _number_of_seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if math.isnan(value):
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}")
    return value


def _non_negative_seconds(text: str) -> float:
    """A report period: 0 (none) to 1000000 seconds."""
    value = _number_of_seconds(text)
    if not 0 <= value <= 1e6:
        raise argparse.ArgumentTypeError(f"must be 0 to 1000000 seconds, got {text!r}")
    return value


def _positive_seconds(text: str) -> float:
    """A timer's delay: more than 0, at most 1000000 seconds."""
    value = _number_of_seconds(text)
    if not 0 < value <= 1e6:
        raise argparse.ArgumentTypeError(
            f"must be more than 0 and at most 1000000 seconds, got {text!r}")
    return value


def _long_hold_seconds(text: str) -> float:
    """A long-hold threshold: a microsecond to 2147 seconds (the agent's 32-bit µs)."""
    value = _number_of_seconds(text)
    try:
        _interceptor.threshold_us(value, text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None
    return value


def _listen_address(text: str) -> Tuple[str, int]:
    """[ADDR:]PORT for --gil-metrics-port."""
    from vandrel._metrics_server import parse_listen_address
    try:
        return parse_listen_address(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def _trace_resolution_seconds(text: str) -> float:
    """A trace's resolution: 0 to 1 second."""
    value = _number_of_seconds(text)
    try:
        _interceptor.trace_resolution_ns(value)
    except ValueError:
        raise argparse.ArgumentTypeError(f"must be 0 to 1 seconds, got {text!r}") from None
    return value


def _loop_block_seconds(text: str) -> float:
    """An event-loop block threshold: more than 0, at most 60 seconds."""
    value = _number_of_seconds(text)
    if not 0 < value <= 60:
        raise argparse.ArgumentTypeError(
            f"must be more than 0 and at most 60 seconds, got {text!r}")
    return value


def _profile_rate(text: str) -> float:
    """A sampling rate: 1 to 1000 samples a second."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of samples a second: {text!r}") from None
    if not 1 <= value <= 1000:     # NaN fails too
        raise argparse.ArgumentTypeError(f"must be 1 to 1000 Hz, got {text!r}")
    return value


def _profile_wait(text: str) -> float:
    """The shortest wait for the GIL that is sampled: 0 to 60 seconds."""
    value = _number_of_seconds(text)
    if not 0 <= value <= 60:
        raise argparse.ArgumentTypeError(f"must be 0 to 60 seconds, got {text!r}")
    return value


def _signal_number(text: str) -> int:
    """USR1, SIGUSR1, usr1 or a number, checked to be catchable."""
    name = text.upper()
    if name.isdigit():
        number = int(name)
    else:
        name = name if name.startswith("SIG") else "SIG" + name
        member = getattr(signal.Signals, name, None)
        if member is None:
            raise argparse.ArgumentTypeError(f"unknown signal {text!r}")
        number = int(member)
    try:
        return check_signal(number)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def build_parser() -> Tuple[argparse.ArgumentParser, argparse.ArgumentParser]:
    """The top-level parser and its ``run`` subparser."""
    parser = argparse.ArgumentParser(
        prog=PROG, description=DESCRIPTION,
        epilog="`python -m vandrel COMMAND --help` describes each command.")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    run = commands.add_parser(
        "run", help="run a script or module with the agent loaded", usage=RUN_USAGE,
        description=RUN_DESCRIPTION, epilog=RUN_EPILOG, allow_abbrev=False,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    gil = run.add_argument_group("GIL interceptor (CPython 3.10 to 3.15)")
    gil.add_argument("--gil", action="store_true",
                     help="switch the GIL interceptor on before the program starts and print "
                          "its final report (\"GIL report (final): ...\") to stderr at exit")
    gil.add_argument("--gil-report", metavar="FILE",
                     help="write the GIL reports to FILE (created or truncated) instead of "
                          "stderr; implies --gil")
    gil.add_argument("--gil-period", metavar="SECONDS", type=_non_negative_seconds,
                     help="also write a report every SECONDS (millisecond resolution); 0, "
                          "the default, writes only the final report; implies --gil")
    gil.add_argument("--gil-trace", metavar="FILE",
                     help="keep a timeline of the GIL's hand-overs and write it to FILE at exit "
                          "as trace-event JSON, for Perfetto (ui.perfetto.dev) or "
                          "chrome://tracing; implies --gil")
    gil.add_argument("--gil-trace-resolution", metavar="SECONDS", type=_trace_resolution_seconds,
                     help="holds and waits shorter than SECONDS (0 to 1; default 0.005) count "
                          "in the trace's counters and merged spans only, which bounds its "
                          "size; needs --gil-trace")
    gil.add_argument("--gil-long-hold", metavar="SECONDS", type=_long_hold_seconds,
                     help="charge holds of the GIL longer than SECONDS to the holder's code in "
                          "the report (default: twice the switch interval); implies --gil")
    gil.add_argument("--gil-metrics-port", metavar="[ADDR:]PORT", type=_listen_address,
                     help="serve the GIL figures for Prometheus at http://ADDR:PORT/metrics "
                          "(ADDR 127.0.0.1 unless given; PORT 0 takes a free one, named on "
                          "stderr), renewed every --gil-period or, without one, every "
                          f"{METRICS_PERIOD_S:g} s (the text report is then still written only "
                          "at exit); needs vandrel[prometheus]; implies --gil")
    gil.add_argument("--gil-profile", metavar="DIR",
                     help="sample the stacks of the thread holding the GIL and of the threads "
                          "waiting for it, and write them into DIR (made if missing) at exit and "
                          "at each --gil-period: held.svg and waited.svg (flame graphs for a "
                          "browser), *.speedscope.json (speedscope) and *.collapsed "
                          "(flamegraph.pl); implies --gil")
    gil.add_argument("--gil-profile-rate", metavar="HZ", type=_profile_rate,
                     help="samples a second, 1 to 1000 (default: 100); needs --gil-profile")
    gil.add_argument("--gil-profile-wait", metavar="SECONDS", type=_profile_wait,
                     help="sample the threads that have waited for the GIL longer than SECONDS, "
                          "0 to 60 (default: 0.001); needs --gil-profile")
    loops = run.add_argument_group("event loops")
    loops.add_argument("--loop-block", metavar="SECONDS", type=_loop_block_seconds,
                       help="watch every asyncio event loop (uvloop too) for blocks longer than "
                            "SECONDS (0 to 60), each charged to the code that ran, and print "
                            "the report (\"event-loop blocks (final): ...\") to stderr at exit")
    dumps = run.add_argument_group("stack dumps (to stderr)")
    dumps.add_argument("--dump-on", metavar="SIGNAL", type=_signal_number, action="append",
                       default=[],
                       help="dump all threads' stacks each time SIGNAL arrives (USR1, SIGUSR2, "
                            "10, ...); may be repeated")
    dumps.add_argument("--dump-after", metavar="SECONDS", type=_positive_seconds,
                       help="dump all threads' stacks once, SECONDS after the program starts")
    dumps.add_argument("--dump-on-crash", action="store_true",
                       help="dump all threads' stacks when the program crashes (SIGSEGV, SIGBUS, "
                            "SIGILL, SIGFPE, SIGABRT), then let it end as it would have")
    commands.add_parser("path", help="print the agent library's path",
                        description=PATH_DESCRIPTION)
    return parser, run


def _split_run_arguments(args: Sequence[str]) -> Tuple[List[str], List[str]]:
    """Split run's arguments into its own options and the program part
    (script, -m module, -c command or -, and the program's arguments)."""
    index = 0
    while index < len(args):
        arg = args[index]
        if arg == "--":
            return list(args[:index]), list(args[index + 1:])
        if arg in ("-", "-m", "-c") or not arg.startswith("-"):
            break
        index += 2 if arg in _VALUE_OPTIONS else 1
    return list(args[:index]), list(args[index:])


# ---- The GIL interceptor ---------------------------------------------------

def _open_metrics_server(run: argparse.ArgumentParser,
                        listen: Tuple[str, int]) -> Tuple[Any, Any]:
    """Bind --gil-metrics-port's socket, before the program starts: a
    missing prometheus_client or an address that cannot be bound is a
    usage error.  Return (server, latest report keeper)."""
    from vandrel._metrics_server import LatestReport, MetricsServer
    address, port = listen
    latest = LatestReport()
    try:
        server = MetricsServer(address, port, latest)
    except ImportError:
        run.error("--gil-metrics-port needs prometheus_client: "
                  "pip install 'vandrel[prometheus]'")
    except OSError as error:
        reason = error.strerror or str(error)
        run.error(f"--gil-metrics-port: cannot listen on {address}:{port}: {reason}")
    return server, latest


def _start_gil_interceptor(run: argparse.ArgumentParser, options: argparse.Namespace,
                           metrics: Any = None) -> int:
    """Open the report's and the trace's destinations and switch the
    interceptor on; with `metrics` (server, latest report keeper), its
    sink keeps the latest report and the server starts.

    Return 0, or 1 after printing why it could not be switched on.  The
    agent switches it off, with a final report, from its atexit handler.
    The agent's own thread writes the trace while the program runs; an
    agent without that export gets it written from the final report."""
    if options.gil_trace is not None:
        # Opened now so that a path that cannot be written is a usage error
        # before the program runs, not a surprise at its end.
        os.close(_create(run, "--gil-trace", options.gil_trace))
    if options.gil_report is not None:
        report_fd = _create(run, "--gil-report", options.gil_report)
    else:
        # A copy of stderr: the report still reaches it if the program
        # closes or replaces fd 2.
        report_fd = os.dup(2)
    period = options.gil_period or 0.0
    # Without --gil-period the metrics are renewed every METRICS_PERIOD_S
    # all the same, and only the final report is written as text.
    final_text_only = metrics is not None and not period
    if final_text_only:
        period = METRICS_PERIOD_S
    settings = _interceptor.Settings.of(report_period=period,
                                        long_hold_threshold=options.gil_long_hold,
                                        timeline=options.gil_trace is not None,
                                        **_profile_settings(options))
    trace = os.path.abspath(options.gil_trace) if options.gil_trace is not None else None
    streamed = trace is not None and _interceptor.can_stream_trace()
    resolution = (options.gil_trace_resolution if options.gil_trace_resolution is not None
                  else _interceptor.DEFAULT_TRACE_RESOLUTION)
    sinks: List[Callable[[Dict[str, Any]], None]] = []
    if trace is not None and not streamed:
        sinks.append(_TraceWriter(trace, resolution))
        sys.stderr.write(f"vandrel: --gil-trace: the loaded agent cannot write the trace while "
                         f"the program runs (it has no vandrel_trace_stream); {trace!r} is "
                         f"written at exit from the final report instead\n")
    if options.gil_profile is not None:
        sinks.append(_ProfileWriter(options.gil_profile))
    sink: Any = sinks[0] if len(sinks) == 1 else _EachSink(sinks) if sinks else None
    if metrics is not None:
        metrics[1].then(sink)
        sink = metrics[1].sink
    status = _interceptor.switch_on(sink, settings, report_fd)
    if status != 0:
        os.close(report_fd)
        refusal = vandrel.gil_status_error(status, "init_gil_interceptor")
        if status == -3 and (settings.threshold_us or settings.capacity):
            refusal = vandrel.BadParameter(
                f"{refusal}; this agent does not know --gil-long-hold or --gil-trace", -3)
        sys.stderr.write(f"vandrel: --gil: {refusal}\n")
        return 1
    if streamed and trace is not None:
        # The agent's own thread writes the trace while the program runs.
        stream_status = _interceptor.stream_trace(trace, 0, resolution)
        if stream_status != 0:
            _interceptor.switch_off()
            sys.stderr.write(f"vandrel: --gil-trace: cannot write {trace!r}: "
                             f"{vandrel.gil_status_error(stream_status or -1, 'init_gil_interceptor')}\n")
            return 1
    if final_text_only and _interceptor.write_final_text_only() != 0:
        sys.stderr.write(f"vandrel: --gil-metrics-port: the loaded agent cannot keep the text "
                         f"to the final report (no vandrel_final_text_only): it writes one "
                         f"every {settings.report_period:g} s\n")
    if metrics is not None:
        metrics[0].start()
        # Stopped at exit, not left to die with the interpreter: nothing of
        # the server thread's is left half done.
        atexit.register(metrics[0].close)
        sys.stderr.write(f"vandrel: GIL metrics at {metrics[0].url} "
                         f"(renewed every {settings.report_period:g} s)\n")
    # SIGTERM and SIGHUP (service managers, terminals) still end the program
    # as they would, after the report and the trace are written.
    _interceptor.write_outputs_on_exit_signals(
        repr(options.gil_report) if options.gil_report is not None else "stderr")
    return 0


def _create(run: argparse.ArgumentParser, option: str, path: str) -> int:
    """A close-on-exec descriptor of `path`, created or truncated, for
    writing; one that cannot be opened is a usage error of `option`."""
    try:
        return os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC, 0o666)
    except OSError as error:
        run.error(f"{option}: cannot open {path!r}: {error.strerror}")


def _profile_directory(run: argparse.ArgumentParser, path: str) -> str:
    """The absolute path of --gil-profile's directory, made if missing; a
    directory that cannot be made or written into is a usage error."""
    directory = os.path.abspath(path)
    try:
        os.makedirs(directory, exist_ok=True)
        # Try a file: permissions alone do not tell (root, read-only mounts).
        probe = os.path.join(directory, f".vandrel-probe-{os.getpid()}-{os.urandom(4).hex()}")
        os.close(os.open(probe, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600))
        os.unlink(probe)
    except OSError as error:
        reason = ("it exists and is not a directory"
                  if isinstance(error, FileExistsError) else error.strerror)
        run.error(f"--gil-profile: cannot write into the directory {path!r}: {reason}")
    return directory


def _check_profile_options(run: argparse.ArgumentParser, options: argparse.Namespace) -> None:
    """Usage errors of the --gil-profile options, before anything starts;
    the directory becomes an absolute path (the program may chdir)."""
    if options.gil_profile is None:
        for option, value in (("--gil-profile-rate", options.gil_profile_rate),
                              ("--gil-profile-wait", options.gil_profile_wait)):
            if value is not None:
                run.error(f"{option} needs --gil-profile DIR (where the profile is written)")
        return
    options.gil_profile = _profile_directory(run, options.gil_profile)


def _profile_settings(options: argparse.Namespace) -> Dict[str, Any]:
    """The profiling keywords of Settings.of for --gil-profile."""
    if options.gil_profile is None:
        return {}
    return {"profile": True,
            "profile_rate": (options.gil_profile_rate if options.gil_profile_rate is not None
                             else DEFAULT_PROFILE_RATE),
            "profile_wait_threshold": (options.gil_profile_wait
                                       if options.gil_profile_wait is not None
                                       else DEFAULT_PROFILE_WAIT)}


class _EachSink:
    """A sink that hands each report to several, in turn."""

    def __init__(self, sinks: List[Callable[[Dict[str, Any]], None]]) -> None:
        self.sinks = sinks

    def __call__(self, report: Dict[str, Any]) -> None:
        for sink in self.sinks:
            sink(report)


class _ProfileWriter:
    """The interceptor's sink for --gil-profile: each report's profile into
    the directory's six files, each replaced atomically.  The first failure
    is one line on stderr; the program goes on."""

    def __init__(self, directory: str) -> None:
        self.directory = directory
        self.told = False

    def __call__(self, report: Dict[str, Any]) -> None:
        try:
            profile = _profile.GilProfile.from_report_dict(report)
            if profile is not None:
                profile.write_files(self.directory)
                return
            if not report.get("final"):
                return
            problem = ("the GIL reports carry no profile (this agent or vandrel does not "
                       "sample stacks); nothing written")
        except (OSError, ValueError, TypeError) as error:
            problem = str(error)
        if not self.told:
            self.told = True
            sys.stderr.write(f"vandrel: --gil-profile: {self.directory!r}: {problem}\n")


class _TraceWriter:
    """The interceptor's sink for --gil-trace with an agent that cannot
    stream the trace: writes the final report's timeline to the trace file
    (a failure is one line on stderr)."""

    def __init__(self, path: str, resolution: float) -> None:
        self.path = path
        self.resolution = resolution

    def __call__(self, report: Dict[str, Any]) -> None:
        if not report.get("final"):
            return
        try:
            vandrel.GilReport.from_dict(report).write_chrome_trace(self.path,
                                                                  resolution=self.resolution)
        except (OSError, ValueError) as error:
            sys.stderr.write(f"vandrel: --gil-trace: cannot write {self.path!r}: {error}\n")


# ---- Running the program as python would -----------------------------------

# The launcher's own module, kept alive once the program's __main__ replaces it.
_launcher_module = sys.modules.get("__main__")


def _fresh_main_module() -> types.ModuleType:
    """Install and return an empty __main__ module (the launcher's own
    globals must not leak into the program's)."""
    main = types.ModuleType("__main__")
    main.__dict__["__builtins__"] = builtins
    sys.modules["__main__"] = main
    return main


def _exec_source(source: bytes, filename: str, loader: object, has_file: bool = True) -> None:
    main = _fresh_main_module()
    main.__dict__.update(__loader__=loader, __spec__=None, __package__=None)
    if has_file:                    # python -c gives its code no __file__
        main.__dict__.update(__file__=filename, __cached__=None)
    code = compile(source, filename, "exec", dont_inherit=True)
    exec(code, main.__dict__)


class _CannotOpen(Exception):
    """The script cannot be read: python's "can't open file" case."""

    def __init__(self, path: str, error: OSError) -> None:
        super().__init__(f"{sys.executable}: can't open file {path!r}: [Errno {error.errno}] "
                         f"{error.strerror}")


def _run_script(script: str, args: List[str]) -> None:
    """Run `script` (a path, or - for standard input) as __main__."""
    if script == "-":
        sys.argv = ["-", *args]
        sys.path[0] = ""
        _exec_source(sys.stdin.buffer.read(), "<stdin>", importlib.machinery.BuiltinImporter)
        return
    path = os.path.abspath(script)
    sys.argv = [script, *args]
    if os.path.isdir(path) or _is_zip(path):
        # A directory or zip file runs its __main__.py from there, which
        # python does through runpy with the path first on sys.path.
        sys.path[0] = path
        _fresh_main_module()
        runpy._run_module_as_main("__main__", False)  # type: ignore[attr-defined]
        return
    # As `python script.py`: __file__ absolute, the script's real directory
    # first on sys.path.  The file is read once, so /dev/stdin and pipes work.
    try:
        with open(path, "rb") as stream:
            source = stream.read()
    except OSError as error:
        raise _CannotOpen(path, error) from None
    sys.path[0] = os.path.dirname(os.path.realpath(path))
    _exec_source(source, path, importlib.machinery.SourceFileLoader("__main__", path))


def _is_zip(path: str) -> bool:
    if not os.path.isfile(path):
        return False  # a pipe or device: reading it to look would consume it
    import zipfile
    return zipfile.is_zipfile(path)


def _run_command(command: str, args: List[str]) -> None:
    """Run `command` as python -c does: argv[0] "-c", the current
    directory first on sys.path, the code's file name "<string>"."""
    sys.argv = ["-c", *args]
    sys.path[0] = ""
    _exec_source(command.encode("utf-8", "surrogateescape"), "<string>",
                 importlib.machinery.BuiltinImporter, has_file=False)


def _run_module(module: str, args: List[str]) -> None:
    """Run `module` as python -m does (a missing module: one line, status 1)."""
    # python -m shows "-m" in argv[0] while it looks for the module; runpy
    # then puts the module's file there.
    sys.argv = ["-m", *args]
    _fresh_main_module()
    runpy._run_module_as_main(module, True)  # type: ignore[attr-defined]


def _launcher_frames_skipped(tb: Optional[types.TracebackType]) -> Optional[types.TracebackType]:
    """`tb` without its leading frames from this file and runpy."""
    own = {os.path.abspath(__file__), os.path.abspath(runpy.__file__),
           os.path.join(os.path.dirname(os.path.abspath(__file__)), "__main__.py")}
    while tb is not None:
        filename = tb.tb_frame.f_code.co_filename
        # runpy's code objects are named "<frozen runpy>" where it is frozen.
        if filename != "<frozen runpy>" and os.path.abspath(filename) not in own:
            break
        tb = tb.tb_next
    return tb


def _report_uncaught(error: BaseException) -> None:
    """Print `error` as python does for an uncaught exception: through
    sys.excepthook, with the traceback starting in the program."""
    tb = _launcher_frames_skipped(error.__traceback__)
    error.__traceback__ = tb
    sys.last_type, sys.last_value, sys.last_traceback = type(error), error, tb
    if sys.version_info >= (3, 12):
        sys.last_exc = error
    try:
        sys.excepthook(type(error), error, tb)
    except BaseException as hook_error:
        sys.stderr.write("Error in sys.excepthook:\n")
        sys.__excepthook__(type(hook_error), hook_error, hook_error.__traceback__)
        sys.stderr.write("\nOriginal exception was:\n")
        sys.__excepthook__(type(error), error, tb)


_interrupted = False


def _die_of_sigint_at_exit() -> None:
    """Registered before anything else, so it runs last at exit: after an
    uncaught KeyboardInterrupt python ends by SIGINT, so the parent sees
    the program interrupted."""
    if _interrupted:
        for stream in (sys.stdout, sys.stderr):
            try:
                if stream is not None:
                    stream.flush()
            except Exception:
                pass
        signal.signal(signal.SIGINT, signal.SIG_DFL)
        os.kill(os.getpid(), signal.SIGINT)


def _run(parser: argparse.ArgumentParser, run: argparse.ArgumentParser,
         args: Sequence[str]) -> int:
    global _interrupted
    own, program = _split_run_arguments(args)
    options = run.parse_args(own)
    if not program or program in (["-m"], ["-c"]):
        run.error({"-m": "missing the module name after -m", "-c": "missing the command after -c"}
                  [program[0]] if program else
                  "missing the program: a script, -m module, -c command or -")
    if options.gil_trace_resolution is not None and options.gil_trace is None:
        run.error("--gil-trace-resolution: needs --gil-trace FILE")
    _check_profile_options(run, options)
    metrics = None
    if options.gil_metrics_port is not None:
        metrics = _open_metrics_server(run, options.gil_metrics_port)
    try:
        vandrel.load_agent()
    except OSError as error:
        sys.stderr.write(f"vandrel: cannot load the agent: {error}\n")
        return 1
    atexit.register(_die_of_sigint_at_exit)
    if (options.gil or options.gil_report is not None or options.gil_period is not None
            or options.gil_trace is not None or options.gil_long_hold is not None
            or metrics is not None or options.gil_profile is not None):
        if _start_gil_interceptor(run, options, metrics) != 0:
            if metrics is not None:
                metrics[0].close()
            return 1
    _hide_launcher_frames()
    if options.loop_block is not None and _start_loop_watcher(options.loop_block) != 0:
        return 1
    for signum in options.dump_on:
        vandrel.dump_stacks_on_signal(signum, 2)
    if options.dump_after is not None:
        vandrel.dump_stacks_later(options.dump_after, file=2)
    if options.dump_on_crash:
        vandrel.dump_stacks_on_crash(2)

    try:
        if program[0] == "-m":
            _run_module(program[1], program[2:])
        elif program[0] == "-c":
            _run_command(program[1], program[2:])
        else:
            _run_script(program[0], program[1:])
    except _CannotOpen as error:
        sys.stderr.write(f"{error}\n")
        return 2
    except SystemExit:
        raise  # python's own handling: None -> 0, int -> int, else printed and 1
    except BaseException as error:
        _report_uncaught(error)
        if isinstance(error, KeyboardInterrupt):
            _interrupted = True
        return 1
    return 0


def _start_loop_watcher(threshold: float) -> int:
    """--loop-block: watch the event loops; the final report goes to stderr
    at exit."""
    try:
        watcher = vandrel.watch_event_loops(threshold)
    except vandrel.VandrelError as error:
        sys.stderr.write(f"vandrel: --loop-block: {error}\n")
        return 1

    def write_report() -> None:
        text = str(watcher.stop())
        try:
            sys.stderr.write(text)
            sys.stderr.flush()
        except (OSError, ValueError):
            pass

    atexit.register(write_report)
    return 0


def _hide_launcher_frames() -> None:
    """Keep the launcher out of the program's stack dumps: the frames below
    the program's (this module's, runpy's, python -m's) are the tool's."""
    codes = [_run_script.__code__, _run_module.__code__, _exec_source.__code__,
             runpy._run_module_as_main.__code__, runpy._run_code.__code__]  # type: ignore[attr-defined]
    frame: Optional[types.FrameType] = sys._getframe(1)
    while frame is not None:
        codes.append(frame.f_code)
        frame = frame.f_back
    from vandrel._dumps import hide_tool_code
    hide_tool_code(dict.fromkeys(codes))


def main(argv: Sequence[str]) -> int:
    """Run the command line `argv` (without the program name); return the
    exit status.  Usage errors exit with status 2 (argparse)."""
    parser, run = build_parser()
    if argv and argv[0] == "run":
        return _run(parser, run, argv[1:])
    options = parser.parse_args(argv)
    # The only other command is "path".
    try:
        print(vandrel.agent_path())
    except FileNotFoundError as error:
        sys.stderr.write(f"vandrel: {error}\n")
        return 1
    del options
    return 0

