# The sample mypy --strict must accept, with reveal_type() of every module
# function (test_typing.py::
# test_strict_mypy_accepts_every_function_with_precise_types); it uses every
# public name of vandrel.
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

version: str = vandrel.__version__
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
vandrel.dump_stacks_on_crash(sys.stderr)
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
import pathlib
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
profile: Optional[vandrel.GilProfile] = final.profile
if profile is not None:
    held: vandrel.ProfileTable = profile.held
    for sampled in profile.waited:
        stack_row: vandrel.ProfileRow = sampled
        stack_seconds: float = stack_row.seconds
    profile.write_flamegraph("held.svg")
    held.write_collapsed(pathlib.Path("held.collapsed"))
    profile.waited.write_speedscope("waited.speedscope.json")
    written: List[str] = profile.write_files(".")
reveal_type(vandrel.GilMonitor)

watcher: vandrel.LoopWatcher = vandrel.watch_event_loops(threshold=0.1)
with vandrel.watch_event_loops() as watching:
    block_threshold: float = watching.threshold
blocks: vandrel.LoopBlockReport = watcher.stop()
for block in blocks.places:
    place: vandrel.LoopBlock = block
    task: Optional[str] = place.task
    innermost: vandrel.Frame = place.stack[0]
loop_dict: Dict[str, object] = blocks.to_dict()
