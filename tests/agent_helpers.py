"""Shared helpers for the reference agent's tests: run a child program in
a fresh interpreter with the agent loaded, and parse the agent's stack dump and reports."""
import json
import re
import textwrap
from pathlib import Path

import vandrel

from child import PYTHON_TIMEOUT as TIMEOUT, child_program, run_python
# needs_interceptor: the tests here import it with the other helpers.
from conftest import needs_interceptor  # noqa: F401

HERE = Path(__file__).resolve().parent


# Put before the agent's child programs: interceptor_on(), the installed
# agent loaded, lockgauge, spin(), spin_for(), emit() (children/prelude.py).
INTERCEPTOR_ON = (HERE / "interceptor.py").read_text()
AGENT_PRELUDE = INTERCEPTOR_ON + child_program("prelude")


def run_agent_child(tmp_path, body, timeout=60, env=None, prelude=AGENT_PRELUDE):
    """Run `body` in a fresh interpreter after prelude; fail with the
    child's output unless it exits 0; return the last value it emit()-ed
    (a line "RESULT json") and the finished process."""
    code = prelude + textwrap.dedent(body)
    proc = run_python(["-c", code], cwd=tmp_path, timeout=timeout, env=env)
    assert proc.returncode == 0, (
        f"child exited with {proc.returncode}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}"
    )
    results = [line[7:] for line in proc.stdout.splitlines() if line.startswith("RESULT ")]
    assert results, f"child emitted nothing\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}"
    return json.loads(results[-1]), proc


def thread_figures(report, native_id):
    """The report's entry for a native id (JSON turned the int keys into strings)."""
    threads = report["threads"]
    assert str(native_id) in threads, f"thread {native_id} missing from {threads}"
    return threads[str(native_id)]


def assert_totals_add_up(report):
    """The totals are the sum of `threads` and `groups`, and `threads` is bounded."""
    assert len(report["threads"]) <= 500, len(report["threads"])
    for key in ("held_s", "wait_s", "neither_s"):
        parts = sum(t[key] for t in report["threads"].values())
        parts += sum(g[key] for g in report["groups"])
        assert abs(parts - report[key]) <= 1e-6 * max(1.0, report[key]) + 1e-6, (key, parts, report[key])


def write_script(tmp_path, code, name="scenario.py"):
    path = tmp_path / name
    path.write_text(textwrap.dedent(code))
    return path


def run_scenario(tmp_path, code, *args, agent=None, timeout=TIMEOUT, env=None):
    """Run code as a script under the launcher (or, with agent=PATH, under
    plain Python with the agent at PATH loaded first via the AGENT_PATH
    variable the scenario reads).  Fail with the child's stderr unless it
    exits 0; return the CompletedProcess."""
    script = write_script(tmp_path, code)
    if agent is None:
        proc = run_python(["-m", "vandrel", "run", str(script), *map(str, args)],
                          timeout=timeout, env=env, cwd=tmp_path, text=False)
    else:
        proc = run_python([str(script), *map(str, args)], timeout=timeout,
                          env={**(env or {}), "AGENT_PATH": str(agent)}, cwd=tmp_path, text=False)
    assert proc.returncode == 0, (
        f"scenario exited {proc.returncode}\n--- stderr ---\n"
        f"{proc.stderr.decode(errors='replace')}\n--- stdout (head) ---\n"
        f"{proc.stdout[:4000].decode(errors='replace')}")
    return proc


# Prologue of the stack-dump scenarios (agent/children/scenario_prologue.py).
SCENARIO_PROLOGUE = child_program("scenario_prologue")


HEADER = re.compile(
    r'^(?P<current>Current thread|Thread) (?P<id>\d+|\?)'
    r'(?: "(?P<name>(?:[^"\\]|\\.)*)")?'
    r'(?P<waiting>, waiting for the GIL)? \(most recent call first\):$')
FRAME = re.compile(r'^  File "(?P<file>(?:[^"\\]|\\.)*)", line (?P<line>\d+|\?\?\?) in (?P<func>.*)$')
LEFT_OUT = re.compile(r'^  \.\.\. (?P<count>\d+) more frames? not shown$')


def parse_dump(text):
    """Parse the agent's dump into a list of thread blocks, in order.

    Each block is a dict: id (int or None), name (str or None, escapes
    kept), current, waiting, frames ([file, line, func] lists), left_out
    (int), no_frame (bool).  Any line that fits no part of the format
    fails the parse."""
    blocks = []
    block = None
    lines = text.split("\n")
    assert lines[-1] == "", "dump must end with a newline"
    for number, line in enumerate(lines[:-1], 1):
        header = HEADER.match(line)
        if header:
            assert block is None or blocks[-1] is block and block.get("closed"), (
                f"line {number}: header without a blank line before it: {line!r}")
            block = {
                "id": None if header["id"] == "?" else int(header["id"]),
                "name": header["name"],
                "current": header["current"] == "Current thread",
                "waiting": header["waiting"] is not None,
                "frames": [], "left_out": 0, "no_frame": False,
            }
            blocks.append(block)
            continue
        assert block is not None, f"line {number}: text before the first header: {line!r}"
        if line == "":
            assert not block.get("closed"), f"line {number}: two blank lines"
            block["closed"] = True
            continue
        assert not block.get("closed"), f"line {number}: text after a blank line: {line!r}"
        frame = FRAME.match(line)
        if frame:
            assert block["left_out"] == 0, f"line {number}: frame after the cut line"
            lineno = frame["line"]
            block["frames"].append([frame["file"], int(lineno) if lineno != "???" else None,
                                    frame["func"]])
            continue
        left_out = LEFT_OUT.match(line)
        if left_out:
            count = int(left_out["count"])
            assert count > 0
            assert (count == 1) == line.endswith(" frame not shown"), line
            block["left_out"] = count
            continue
        if line == "  <no Python frame>":
            assert not block["frames"]
            block["no_frame"] = True
            continue
        raise AssertionError(f"line {number} fits no part of the dump format: {line!r}")
    assert blocks, "empty dump"
    assert not blocks[-1].get("closed"), "dump must not end with a blank line"
    for block in blocks:
        block.pop("closed", None)
    return blocks


def escape_text(text):
    """The dump's escaping of a name or path, for building expectations."""
    out = []
    for ch in text:
        code = ord(ch)
        if ch in '"\\':
            out.append("\\" + ch)
        elif code < 0x20 or code == 0x7F:
            out.append(f"\\x{code:02x}")
        elif 0xD800 <= code <= 0xDFFF:
            out.append(f"\\u{code:04x}")
        else:
            out.append(ch)
    return "".join(out)


def blocks_by_id(blocks):
    by_id = {}
    for block in blocks:
        assert block["id"] not in by_id, f"thread {block['id']} dumped twice"
        by_id[block["id"]] = block
    return by_id


def check_against_truth(blocks, truth, max_frames=0):
    """Assert that the parsed dump shows exactly the threads of the ground
    truth, each with its name and frames, cut at max_frames."""
    expected = {int(native_id): info for native_id, info in truth["threads"].items()}
    by_id = blocks_by_id(blocks)
    assert set(by_id) == set(expected), (
        f"dumped ids {sorted(by_id, key=str)} != live ids {sorted(expected)}")
    assert blocks[0]["id"] == truth["current"], "the calling thread comes first"
    for native_id, info in expected.items():
        block = by_id[native_id]
        assert block["current"] == (native_id == truth["current"]), block
        assert not block["waiting"], "no interceptor: nobody is marked waiting"
        assert block["name"] == escape_text(info["name"])
        frames = [[escape_text(f), line, escape_text(func)] for f, line, func in info["frames"]]
        if max_frames > 0 and len(frames) > max_frames:
            assert block["frames"] == frames[:max_frames], native_id
            assert block["left_out"] == len(frames) - max_frames
        else:
            assert block["frames"] == frames, f"thread {native_id} ({info['name']})"
            assert block["left_out"] == 0
        assert block["no_frame"] == (not frames)


def load_json(path):
    with open(path) as f:
        return json.load(f)


def agent_path():
    return vandrel.agent_path()
