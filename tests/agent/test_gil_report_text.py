"""The GIL interceptor's text report, sized for people: a row per
long-lived thread, short-lived threads counted in their group's row, at
most about 20 rows whatever the program does, and rows that add up to the
header's totals.  The agent's text and format_text() of the dict are the
same to the byte."""
import re

from agent_helpers import needs_interceptor, run_agent_child
from child import child_program
from vandrel import _gil_format

HEADER = re.compile(r"^GIL report \((?:final|periodic)\): wall (?P<wall>[\d.]+) s, "
                    r"held (?P<held>[\d.]+) s \([\d.]+%\), waited (?P<wait>[\d.]+) s, "
                    r"(?P<switches>\d+) switch(?:es)?, (?P<threads>\d+) threads?$")
ROW = re.compile(r"^  (?P<name>.{32}) +(?P<id>\d+) +(?P<held>[\d.]+) +[\d.]+% "
                 r"+(?P<wait>[\d.]+) +[\d.]+%  \[[#~ ]{30}\]$")
GROUP_DETAIL = re.compile(r"^      \d+ waits?, longest [\d.]+ ms; \d+ holds?, longest [\d.]+ ms$")


def parse_table(text):
    """(header figures, thread rows, group rows) of one text report; each
    row (name, native id or thread count, held s, wait s)."""
    lines = text.splitlines()
    header = HEADER.match(lines[0])
    assert header, lines[0]
    threads, groups = [], []
    rows = threads
    for line in lines[2:]:
        if line.startswith("  group "):
            rows = groups
            continue
        row = ROW.match(line)
        if row:
            rows.append((row["name"].rstrip(), int(row["id"]), float(row["held"]),
                         float(row["wait"])))
        elif not GROUP_DETAIL.match(line):
            break
    return header, threads, groups


def assert_rows_add_up(text):
    header, threads, groups = parse_table(text)
    rows = threads + groups
    # Every thread is in one row: its own, or its group's.
    assert len(threads) + sum(count for _, count, _, _ in groups) == int(header["threads"])
    # Seconds add up to within the rounding of the rows shown (3 decimals).
    for column, key in ((2, "held"), (3, "wait")):
        total = sum(row[column] for row in rows)
        assert abs(total - float(header[key])) <= 0.0005 * (len(rows) + 1) + 1e-9, (key, text)
    return threads, groups


@needs_interceptor
def test_a_thread_per_request_server_reads_in_twenty_rows(tmp_path):
    result, _ = run_agent_child(tmp_path, child_program("request_threads"), timeout=120)
    text, report = result["text"], result["report"]
    # The agent's text is the dict's, to the byte, groups made of rows included.
    assert _gil_format.format_text(report) == text
    threads, groups = assert_rows_add_up(text)
    assert len(threads) + len(groups) <= 20, text
    names = {name for name, *_ in threads}
    # The pool's clients lived all along: rows of their own, though their
    # names are numbered too.
    assert {f"ThreadPoolExecutor-0_{i}" for i in range(4)} <= names, text
    assert "MainThread" in names and "acceptor" in names, text
    # The request threads are one row, not a list of requests.
    assert not any("process_request" in name for name in names), text
    by_group = {name: count for name, count, _, _ in groups}
    requests = by_group.get("Thread-* (process_req…st_thread)", 0)
    assert requests >= 0.95 * result["requests"], text
    # The dict keeps its detail: the finished threads it kept have rows there.
    assert len(report["threads"]) > 20, len(report["threads"])
    assert "0 more in 0 groups" not in text and not re.search(r"\b1 \w+s\b", text), text


def figures(**overrides):
    """A figures dict of the agent's shape."""
    entry = {"held_s": 0.0, "wait_s": 0.0, "acquisitions": 0, "neither_s": 0.0,
             "wait_count": 0, "wait_p50_s": 0.0, "wait_p90_s": 0.0, "wait_p99_s": 0.0,
             "wait_max_s": 0.0, "hold_count": 0, "hold_p50_s": 0.0, "hold_p90_s": 0.0,
             "hold_p99_s": 0.0, "hold_max_s": 0.0}
    entry.update(overrides)
    return entry


def report_of(threads, groups, switches=1, long_holds=()):
    held = sum(t["held_s"] for t in threads.values()) + sum(g["held_s"] for g in groups)
    wait = sum(t["wait_s"] for t in threads.values()) + sum(g["wait_s"] for g in groups)
    interval = figures(wall_s=10.0, held_s=held, wait_s=wait, switches=switches)
    return {**figures(held_s=held, wait_s=wait, wait_count=1, hold_count=1), "wall_s": 10.0,
            "switches": switches, "final": True, "threads": threads, "groups": groups,
            "interval": interval, "long_hold_threshold_s": 0.01, "long_holds": list(long_holds)}


def test_plurals_empty_parts_and_the_other_row():
    # One of each: singular everywhere, and no group table without groups.
    one = report_of({1: figures(name="MainThread", held_s=1.0, neither_s=9.0)}, [],
                    long_holds=[{"thread": "MainThread", "native_id": 1, "count": 1,
                                 "total_s": 0.02, "beyond_s": 0.01, "max_s": 0.02,
                                 "stack": []}])
    text = _gil_format.format_text(one)
    assert ", 1 switch, 1 thread\n" in text and "beyond in 1 hold," in text, text
    assert "  last 10.000 s: held 1.000 s (10.0%), waited 0.000 s, 1 switch," in text, text
    assert "group" not in text and "more" not in text, text
    # Many long-lived threads and many kinds of short ones: 12 rows, 7
    # groups and one "(other)" row, adding up.
    # (The agent gives threads most waiting first.)
    threads = {i: figures(name=f"worker-{i}", held_s=0.01 * i, wait_s=0.02 * i, neither_s=9.0,
                          wait_count=i, wait_max_s=0.001 * i) for i in range(30, 0, -1)}
    threads.update({100 + i: figures(name=f"job-{chr(97 + i)}-{i}", held_s=0.001, wait_s=0.001,
                                     neither_s=0.001, wait_count=1, hold_count=1)
                    for i in range(10)})
    groups = [figures(name="finished-*", count=1, held_s=0.5, wait_s=0.5, wait_count=1,
                      hold_count=1)]
    text = _gil_format.format_text(report_of(threads, groups, switches=2))
    thread_rows, group_rows = assert_rows_add_up(text)
    assert len(thread_rows) == 12 and len(group_rows) == 8, text
    assert [name for name, *_ in thread_rows] == [f"worker-{i}" for i in range(30, 18, -1)]
    assert group_rows[-1][0] == "(other)", text
    # The 18 workers beyond the rows are one group row, with their waits.
    workers = next(row for row in group_rows if row[0] == "worker-*")
    assert workers[1] == 18, text
    assert "      171 waits, longest 18.000 ms; 0 holds, longest 0.000 ms" in text, text
    # 12 groups: 7 rows, and the (other) row sums the 5 lightest, one
    # thread each.
    assert group_rows[-1][1] == 5, text
    assert "      1 wait, longest 0.000 ms; 1 hold, longest 0.000 ms" in text, text
