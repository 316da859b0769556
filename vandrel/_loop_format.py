"""The event-loop watcher's text report."""
from __future__ import annotations

from typing import List

from vandrel._report import LoopBlockReport

#: Places the text lists; the dict keeps them all.
_TEXT_PLACES = 10
#: Frames of a place's stack the text shows, innermost first.
_TEXT_FRAMES = 12


def _ms(seconds: float) -> str:
    return f"{seconds * 1000:.1f} ms"


def format_loop_text(report: LoopBlockReport) -> str:
    """The report as text: a summary line, then each place with its
    figures, task and stack."""
    state = "final" if report.final else "so far"
    lines: List[str] = [
        f"vandrel: event-loop blocks ({state}): {report.block_count} "
        f"block{'' if report.block_count == 1 else 's'} longer than "
        f"{_ms(report.threshold_s)}, {report.blocked_s:.3f} s blocked in all, "
        f"{report.loops_seen} loop{'' if report.loops_seen == 1 else 's'} watched"]
    for rank, place in enumerate(report.places[:_TEXT_PLACES], 1):
        lines.append(f"  #{rank} {place.file}:{place.line} in {place.function}: "
                     f"{place.count} block{'' if place.count == 1 else 's'}, total "
                     f"{_ms(place.total_s)}, max {_ms(place.max_s)}")
        lines.append(f"     thread {place.thread}, task {place.task or '(none)'}")
        for frame in place.stack[:_TEXT_FRAMES]:
            lines.append(f"       File \"{frame.file}\", line {frame.line} in {frame.function}")
        if len(place.stack) > _TEXT_FRAMES:
            lines.append(f"       ... {len(place.stack) - _TEXT_FRAMES} more frames")
    if len(report.places) > _TEXT_PLACES:
        lines.append(f"  ... {len(report.places) - _TEXT_PLACES} more places in the dict")
    return "\n".join(lines) + "\n"
