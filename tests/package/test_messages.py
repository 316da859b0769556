"""What the package tells a user who passed it something it cannot use:
the problem named, at the call that took it, with what to do instead."""
import io
import os
import re
import sys

import pytest

import vandrel
from conftest import ROOT, needs_interceptor
from child import check_child


def test_report_file_is_checked_by_the_constructor(tmp_path):
    # Each of these passed the constructor and failed at start(), or (a
    # file object without a descriptor) was told to use format_stacks().
    closed = open(tmp_path / "closed.txt", "w")
    closed.close()
    with open(tmp_path / "read-only.txt", "w"):
        pass
    read_only = open(tmp_path / "read-only.txt")
    try:
        cases = [(9999, OSError, "report_file: file descriptor 9999 is not open"),
                 (io.StringIO(), ValueError, "report_file: file has no file descriptor"),
                 (closed, ValueError, "report_file: I/O operation on closed file"),
                 (read_only, OSError, "is not open for writing"),
                 (read_only.fileno(), OSError, "is not open for writing")]
        for target, kind, message in cases:
            with pytest.raises(kind, match=re.escape(message)) as raised:
                vandrel.GilMonitor(report_file=target)
            assert "format_stacks" not in str(raised.value)
    finally:
        read_only.close()
    # A path is created at start(): a missing directory is found then.
    vandrel.GilMonitor(report_file=tmp_path / "later.txt")


def test_from_dict_names_the_missing_key():
    with pytest.raises(ValueError, match="lacks the key 'threads'"):
        vandrel.GilReport.from_dict({})
    report = vandrel.GilReport(wall_s=1.0, held_s=0.5, wait_s=0.0, neither_s=0.0, switches=0,
                               final=True, threads=(), groups=())
    entry = report.to_dict()
    assert vandrel.GilReport.from_dict(entry) == report
    del entry["switches"]
    with pytest.raises(ValueError, match="lacks the key 'switches'"):
        vandrel.GilReport.from_dict(entry)


def test_write_text_takes_a_path_as_write_chrome_trace_does(tmp_path):
    figures = {f"{kind}_{stat}": 0.0 for kind in ("wait", "hold")
               for stat in ("p50_s", "p90_s", "p99_s", "max_s")}
    report = vandrel.GilReport(wall_s=1.0, held_s=0.5, wait_s=0.0, neither_s=0.0, switches=0,
                               final=True, threads=(), groups=(), wait_count=0, hold_count=0,
                               long_hold_threshold_s=0.01, long_holds=(), **figures,
                               interval=vandrel.GilInterval(wall_s=1.0, held_s=0.5, wait_s=0.0,
                                                            switches=0, wait_count=0,
                                                            hold_count=0, **figures))
    report.write_text(str(tmp_path / "a.txt"))
    report.write_text(tmp_path / "b.txt")
    text = report.format_text()
    assert text.startswith("GIL report (final)")
    assert (tmp_path / "a.txt").read_text() == text == (tmp_path / "b.txt").read_text()


@needs_interceptor
def test_the_documented_callback_logs_each_long_hold_once_at_the_program_s_line(tmp_path):
    # Long holds are cumulative: the sample logged the same hold in every
    # report, at its innermost frame (the standard library's re.match).
    docs = (ROOT / "docs" / "api.md").read_text()
    # The sample's definitions, without its own start and stop.
    sample = re.search(r"```python\n(import logging, sysconfig, vandrel\n.*?\n)monitor = ", docs,
                       re.S)
    assert sample, "the callback sample is gone from docs/api.md"
    program = tmp_path / "program.py"
    program.write_text(sample.group(1) + (
        "import re, sys, time\n"
        "logging.basicConfig(level=logging.WARNING, format='%(message)s', stream=sys.stdout)\n"
        "def hog():\n"
        "    re.match(r'(a+)+$', 'a' * 23 + 'b')\n"
        "monitor = vandrel.GilMonitor(report_period=0.2, callback=log_contention,\n"
        "                             long_hold_threshold=0.05)\n"
        "monitor.start()\n"
        "hog()\n"
        "time.sleep(0.9)\n"
        "monitor.stop()\n"))
    done = check_child(f"exec(compile(open({str(program)!r}).read(), {str(program)!r}, 'exec'))")
    lines = done.stdout.splitlines()
    assert len(lines) == 1, done.stdout
    assert lines[0].startswith("GIL held too long 1 more times (longest "), lines
    # The program's own frame, not re's.  (Which of its lines depends on
    # where the hold ended: see the long-hold docs.)
    assert f" at {program}:" in lines[0], lines
