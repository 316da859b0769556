"""The GIL profile's files: folded stacks, speedscope JSON, the SVG flame
graph, their atomic replacement, and run --gil-profile's options.

The writers run on synthetic profiles of the agent's form (report["profile"]),
in this process; only the usage-error check and one run under the launcher
start a child."""
import json
import os
import pathlib
import re
import xml.etree.ElementTree as ET
from xml.sax.saxutils import escape

import pytest

import vandrel
from vandrel import _profile, cli

from agent_helpers import needs_interceptor, write_script
from child import run_python

SVG = "{http://www.w3.org/2000/svg}"


def row(thread, stack, seconds, samples=1, **extra):
    return {"thread": thread, "stack": [list(frame) for frame in stack], "seconds": seconds,
            "samples": samples, **extra}


MAIN = [("a&b.py", 3, "<lambda>"), ("main.py", 10, "main")]      # innermost first
HELD = [
    row("MainThread", MAIN, 0.5, 50),
    row("worker-1", [("w.py", 5, "spin")], 0.25, 25),
    row("worker-1", [("w.py", 5, "spin")], 0.05, 5),                # the same stack again
    row("worker-1", [], 0.1, 10),                                   # no Python frame
    row("odd;name", [("x\ny.py", 1, "f;g")], 0.03, 3),              # separators in names
    row("", [], 0.02, 2, other=7),                                  # the agent's folded row
]
PROFILE = {"rate_hz": 100.0, "wait_threshold_s": 0.001, "held": HELD,
           "waited": [row("worker-2", [("q.py", 9, "get")], 0.4, 40)]}


def parse_collapsed(text):
    """{stack line: count} from folded text, as flamegraph.pl reads it."""
    counts = {}
    for line in text.splitlines():
        stack, count = line.rsplit(" ", 1)
        counts[stack] = counts.get(stack, 0) + int(count)
    return counts


# ---- reading the dict ------------------------------------------------------

def test_the_profile_reads_back_from_a_report_and_gives_the_same_dict():
    report = {"wall_s": 1.0, "held_s": 0.9, "wait_s": 0.4, "neither_s": 0.0, "switches": 3,
              "final": True, "threads": {}, "groups": [], "profile": PROFILE}
    profile = vandrel.GilReport.from_dict(report).profile
    assert isinstance(profile, vandrel.GilProfile)
    assert profile.to_dict() == PROFILE
    assert vandrel.GilReport.from_dict(report).to_dict()["profile"] == PROFILE
    assert (profile.rate_hz, profile.wait_threshold_s) == (100.0, 0.001)
    assert [len(profile.held), len(profile.waited)] == [6, 1]
    first = profile.held.rows[0]
    assert first.stack[0] == vandrel.Frame("a&b.py", 3, "<lambda>") and not first.folded
    assert profile.held.rows[-1].folded and profile.held.rows[-1].other == 7
    assert profile.held.seconds == pytest.approx(0.95) and profile.held.samples == 95
    del report["profile"]
    assert vandrel.GilReport.from_dict(report).profile is None
    assert vandrel.GilProfile.from_report_dict(report) is None
    with pytest.raises(ValueError, match="lacks the key 'waited'"):
        vandrel.GilProfile.from_dict({"rate_hz": 1, "wait_threshold_s": 0, "held": []})


# ---- folded stacks ---------------------------------------------------------

def test_collapsed_lines_are_root_first_in_microseconds_and_add_up():
    profile = vandrel.GilProfile.from_dict(PROFILE)
    counts = parse_collapsed(profile.held.format_collapsed())
    assert counts == {
        "MainThread;main (main.py:10);<lambda> (a&b.py:3)": 500_000,
        "worker-1;spin (w.py:5)": 300_000,                          # both rows, merged
        "worker-1;(no Python frame)": 100_000,
        "odd\\x3bname;f\\x3bg (x\\x0ay.py:1)": 30_000,
        "(other)": 20_000,
    }
    assert sum(counts.values()) == round(profile.held.seconds * 1e6)
    # Only one line per distinct stack, sorted, each ending in a newline.
    text = profile.held.format_collapsed()
    assert text.endswith("\n") and text.splitlines() == sorted(text.splitlines())
    assert vandrel.GilProfile.from_dict({**PROFILE, "held": []}).held.format_collapsed() == ""


# ---- speedscope ------------------------------------------------------------

def test_speedscope_file_has_the_schema_s_required_fields_and_the_same_sums(tmp_path):
    profile = vandrel.GilProfile.from_dict(PROFILE)
    path = tmp_path / "held.speedscope.json"
    profile.write_speedscope(path)                              # GilProfile: the held table
    document = json.loads(path.read_text())
    assert document["$schema"] == "https://www.speedscope.app/file-format-schema.json"
    frames = document["shared"]["frames"]
    assert all(isinstance(frame["name"], str) for frame in frames)
    assert len({json.dumps(frame, sort_keys=True) for frame in frames}) == len(frames)
    (sampled,) = document["profiles"]
    for key in ("type", "name", "unit", "startValue", "endValue", "samples", "weights"):
        assert key in sampled, key
    assert sampled["type"] == "sampled" and sampled["unit"] == "seconds"
    assert len(sampled["samples"]) == len(sampled["weights"]) == len(HELD)
    assert sum(sampled["weights"]) == pytest.approx(sum(r["seconds"] for r in HELD))
    assert sampled["endValue"] - sampled["startValue"] == pytest.approx(sum(sampled["weights"]))
    # Each sample root first: the thread, then the outermost frame.
    stacks = [[frames[index]["name"] for index in sample] for sample in sampled["samples"]]
    assert stacks[0] == ["MainThread", "main", "<lambda>"]
    assert frames[sampled["samples"][0][2]] == {"name": "<lambda>", "file": "a&b.py", "line": 3}
    assert stacks[3] == ["worker-1", "(no Python frame)"] and stacks[5] == ["(other)"]
    waited = tmp_path / "waited.json"
    profile.waited.write_speedscope(str(waited))
    assert json.loads(waited.read_text())["profiles"][0]["weights"] == [0.4]


# ---- the flame graph -------------------------------------------------------

def frames_of(svg_text):
    """(tooltip name, width) of each rectangle of a flame graph."""
    root = ET.fromstring(svg_text.encode())
    found = []
    for group in root.iter(SVG + "g"):
        rects = group.findall(SVG + "rect")
        assert len(rects) == 1
        found.append((group.find(SVG + "title").text.split("\n")[0],
                      float(rects[0].get("width"))))
    return found


def test_flamegraph_is_self_contained_escaped_and_proportional(tmp_path):
    profile = vandrel.GilProfile.from_dict(PROFILE)
    path = tmp_path / "held.svg"
    profile.write_flamegraph(path)
    text = path.read_text(encoding="utf-8")
    for external in ('href="http', "<script src", "xlink:href", "@import", "url("):
        assert external not in text, external
    assert "&lt;lambda&gt; (a&amp;b.py:3)" in text
    assert "the agent folded 7 rare stacks into it</title>" in text
    frames = dict(frames_of(text))
    # One rectangle per frame: all, four threads and the folded row, the
    # Python frames below them.
    assert sorted(frames) == sorted([
        "all", "MainThread", "main (main.py:10)", "<lambda> (a&b.py:3)", "worker-1",
        "spin (w.py:5)", "(no Python frame)", "odd;name", "f;g (x\\x0ay.py:1)", "(other)"])
    assert frames["all"] == pytest.approx(1180, abs=0.01)
    assert frames["MainThread"] / frames["all"] == pytest.approx(0.5 / 0.95, abs=1e-4)
    assert frames["worker-1"] / frames["spin (w.py:5)"] == pytest.approx(0.4 / 0.3, abs=1e-3)
    empty = vandrel.GilProfile.from_dict({**PROFILE, "held": []}).held.flamegraph_svg()
    assert frames_of(empty) == [] and "no samples" in empty


def test_flamegraph_merges_frames_under_a_thousandth(tmp_path):
    tiny = [row("T", [(f"f{n}.py", n, f"tiny{n}"), ("m.py", 1, "main")], 0.0002)
            for n in range(5)]
    wide = row("T", [("w.py", 1, "wide"), ("m.py", 1, "main")], 1.0)
    alone = row("U", [("u.py", 2, "rare"), ("u.py", 1, "outer")], 0.0003)
    table = vandrel.GilProfile.from_dict(
        {"rate_hz": 100, "wait_threshold_s": 0, "held": [wide, *tiny, alone], "waited": []}).held
    frames = frames_of(table.flamegraph_svg())
    names = [name for name, _ in frames]
    # The five tiny siblings are one frame; thread U, narrow alone, keeps its
    # name but not the frames above it.
    assert sorted(names) == sorted(["all", "T", "main (m.py:1)", "wide (w.py:1)",
                                    "(5 narrow frames merged)", "U"])
    merged = dict(frames)["(5 narrow frames merged)"]
    assert merged == pytest.approx(1180 * 0.001 / 1.0013, abs=0.01)


# ---- writing files ---------------------------------------------------------

def test_files_are_replaced_atomically_and_errors_name_the_path(tmp_path):
    path = tmp_path / "held.collapsed"
    path.write_text("old contents\n")
    with open(path) as reader:
        _profile.write_atomically(path, "new contents\n")
        # A reader of the old file still has all of it; the path has the new.
        assert reader.read() == "old contents\n"
    assert path.read_text() == "new contents\n"
    assert os.listdir(tmp_path) == ["held.collapsed"]          # no temporary file left
    target = tmp_path / "a-directory"
    target.mkdir()
    with pytest.raises(IsADirectoryError) as raised:
        vandrel.GilProfile.from_dict(PROFILE).write_collapsed(target)
    assert raised.value.filename == str(target) and str(target) in str(raised.value)
    with pytest.raises(FileNotFoundError) as raised:
        _profile.write_atomically(str(tmp_path / "missing" / "x.svg"), "")
    assert raised.value.filename == str(tmp_path / "missing" / "x.svg")
    assert sorted(os.listdir(tmp_path)) == ["a-directory", "held.collapsed"]
    with pytest.raises(TypeError, match="not int"):
        _profile.write_atomically(3, "")


def test_write_files_and_the_launcher_s_sink_write_the_six_files(tmp_path, capsys):
    written = vandrel.GilProfile.from_dict(PROFILE).write_files(pathlib.Path(tmp_path))
    assert sorted(os.path.basename(path) for path in written) == sorted(_profile.PROFILE_FILES)
    assert "worker-2;get (q.py:9) 400000" in (tmp_path / "waited.collapsed").read_text()
    sink = cli._ProfileWriter(str(tmp_path / "out"))
    os.mkdir(tmp_path / "out")
    sink({"final": False, "profile": PROFILE})
    assert sorted(os.listdir(tmp_path / "out")) == sorted(_profile.PROFILE_FILES)
    # No profile: said once, at the final report; a failure: said once.
    sink({"final": False})
    sink({"final": True})
    sink({"final": True})
    failing = cli._ProfileWriter(str(tmp_path / "gone"))
    failing({"final": False, "profile": PROFILE})
    failing({"final": True, "profile": PROFILE})
    lines = capsys.readouterr().err.splitlines()
    assert len(lines) == 2, lines
    assert lines[0].startswith("vandrel: --gil-profile: ") and "carry no profile" in lines[0]
    assert "No such file or directory" in lines[1] and "gone" in lines[1]


# ---- run --gil-profile -----------------------------------------------------

def test_profile_options_reach_the_interceptor_s_settings():
    _, run = cli.build_parser()
    options = run.parse_args(["--gil-profile", "d", "--gil-profile-wait", "0.5"])
    settings = cli._interceptor.Settings.of(**cli._profile_settings(options))
    assert settings.profile
    assert cli._profile_settings(run.parse_args([])) == {}
    default = cli._interceptor.Settings.of(profile=True)
    rated = cli._interceptor.Settings.of(**cli._profile_settings(
        run.parse_args(["--gil-profile", "d", "--gil-profile-rate", "250"])))
    assert rated != default and settings != default


def test_bad_profile_options_are_usage_errors_before_the_program_runs(tmp_path, capsys):
    a_file = tmp_path / "a-file"
    a_file.write_text("")
    cases = {
        ("--gil-profile-rate", "0"): "argument --gil-profile-rate: must be 1 to 1000 Hz",
        ("--gil-profile-rate", "1000.5"): "argument --gil-profile-rate: must be 1 to 1000 Hz",
        ("--gil-profile-rate", "nan"): "argument --gil-profile-rate: must be 1 to 1000 Hz",
        ("--gil-profile-rate", "fast"): "--gil-profile-rate: not a number of samples a second",
        ("--gil-profile-wait", "-0.1"): "argument --gil-profile-wait: must be 0 to 60 seconds",
        ("--gil-profile-wait", "61"): "argument --gil-profile-wait: must be 0 to 60 seconds",
        ("--gil-profile-wait", "x"): "argument --gil-profile-wait: not a number of seconds",
        ("--gil-profile", str(a_file)): "it exists and is not a directory",
        ("--gil-profile", str(a_file / "sub")): "Not a directory",
        ("--gil-profile-rate", "10"): "--gil-profile-rate needs --gil-profile DIR",
    }
    for options, message in cases.items():
        with pytest.raises(SystemExit) as exited:
            cli.main(["run", *options, "-c", "pass"])
        err = capsys.readouterr().err
        assert exited.value.code == 2 and message in err, (options, err)
    # The same as a process: status 2, one usage line, the program never ran.
    marker = tmp_path / "ran"
    script = write_script(tmp_path, f"open({str(marker)!r}, 'w').close()\n")
    proc = run_python(["-m", "vandrel", "run", "--gil-profile", str(a_file / "sub"),
                       "--gil-profile-rate", "50", str(script)], text=True)
    assert proc.returncode == 2 and not marker.exists(), proc.stderr
    assert re.search(r"^python -m vandrel run: error: --gil-profile: cannot write into the "
                     r"directory .*: Not a directory$", proc.stderr, re.M), proc.stderr


@needs_interceptor
def test_gil_profile_switches_the_interceptor_on_and_writes_at_exit(tmp_path):
    # A C call that keeps the GIL for 150 ms: the held profile puts it on
    # its own line, in all three forms.
    script = write_script(tmp_path, "import ctypes, sys\n"
                                    "print('ran')\n"
                                    "ctypes.PyDLL(None).usleep(150000)\n"
                                    "sys.exit(4)\n")
    out = tmp_path / "made" / "here"
    proc = run_python(["-m", "vandrel", "run", "--gil-profile", str(out),
                       "--gil-profile-rate", "1000", str(script)])
    assert proc.returncode == 4 and proc.stdout == "ran\n", proc.stderr
    assert proc.stderr.startswith("GIL report (final): "), proc.stderr
    assert sorted(os.listdir(out)) == sorted(_profile.PROFILE_FILES), proc.stderr
    place = f"<module> ({script}:3)"
    folded = {line.rsplit(" ", 1)[0]: int(line.rsplit(" ", 1)[1])
              for line in (out / "held.collapsed").read_text().splitlines()}
    at_line = sum(count for stack, count in folded.items() if stack.endswith(place))
    # µs: the C call's line is the stack that held the GIL longest (a
    # loaded machine delays samples, so no more than that is asked).
    assert at_line >= 30_000 and at_line == max(folded.values()), folded
    assert escape(place) in (out / "held.svg").read_text()
    speedscope = json.loads((out / "held.speedscope.json").read_text())
    assert any(frame["name"].startswith("<module>") and frame.get("line") == 3
               for frame in speedscope["shared"]["frames"]), speedscope["shared"]
    ET.fromstring((out / "waited.svg").read_bytes())
