"""The GIL profile of a report, and the files people read it in.

While the interceptor profiles, the agent samples the stack of the thread
holding the GIL (``held``) and of the threads waiting for it longer than the
wait threshold (``waited``), and sends each table in ``report["profile"]``:
rows of a thread name, a stack (``[file, line, function]`` lists, innermost
first), the seconds charged to it and the samples taken.  The agent folds
its rarest stacks into one row with an empty thread and stack and an
``other`` count.

``GilProfile`` reads that dict; each of its ``ProfileTable``s writes the
table as folded stacks (flamegraph.pl, inferno, speedscope), as a speedscope
JSON file, or as a self-contained SVG flame graph.  Every file is replaced
atomically: written beside its path under a temporary name, then renamed,
so a reader sees the previous file or the new one, never half of one.
"""
from __future__ import annotations

import json
import os
import re
import zlib
from dataclasses import dataclass, field
from typing import Any, Dict, Iterator, List, Mapping, Optional, Sequence, Tuple, Union

from vandrel._report import Frame
from vandrel._version import __version__

__all__ = ["GilProfile", "ProfileTable", "ProfileRow", "profile_of", "write_atomically",
           "OTHER_FRAME", "NO_PYTHON_FRAME", "PROFILE_FILES"]

PathArg = Union[str, "os.PathLike[str]"]

#: The frame a folded row (the agent's rarest stacks together) shows as.
OTHER_FRAME = "(other)"
#: The frame a row whose thread ran no Python code shows as.
NO_PYTHON_FRAME = "(no Python frame)"
#: The root frame of a row whose thread has no name.
UNNAMED_THREAD = "(unnamed thread)"

#: The files ``GilProfile.write_files()`` and ``--gil-profile DIR`` write.
PROFILE_FILES = ("held.collapsed", "held.speedscope.json", "held.svg",
                 "waited.collapsed", "waited.speedscope.json", "waited.svg")

_SPEEDSCOPE_SCHEMA = "https://www.speedscope.app/file-format-schema.json"
_MICROSECONDS = 1_000_000

# The flame graph's layout, in pixels, and the share of the total below
# which sibling frames are merged into one.
_SVG_WIDTH = 1200
_SVG_PAD = 10
_FRAME_HEIGHT = 16
_FONT_SIZE = 12
_CHAR_WIDTH = _FONT_SIZE * 0.59
_HEADER = 44
_FOOTER = 10
MIN_FRAME_SHARE = 0.001


# ---- Reading the agent's dict ----------------------------------------------

@dataclass(frozen=True)
class ProfileRow:
    """One stack of a profile table: ``thread`` (its name), ``stack``
    (``Frame``s, innermost first), the ``seconds`` charged to it and the
    ``samples`` taken.  ``other`` is set on the agent's folded row, the
    number of stacks folded into it (its thread and stack are empty)."""

    thread: str
    stack: Tuple[Frame, ...]
    seconds: float
    samples: int
    other: Optional[int] = None

    @classmethod
    def from_dict(cls, entry: Mapping[str, Any]) -> ProfileRow:
        """Read one row of a table of ``report["profile"]``."""
        stack = tuple(Frame(str(file), int(line), str(function))
                      for file, line, function in entry["stack"])
        other = entry.get("other")
        return cls(str(entry["thread"]), stack, float(entry["seconds"]), int(entry["samples"]),
                   None if other is None else int(other))

    def to_dict(self) -> Dict[str, Any]:
        """The row as the agent gives it."""
        row: Dict[str, Any] = {
            "thread": self.thread,
            "stack": [[frame.file, frame.line, frame.function] for frame in self.stack],
            "seconds": self.seconds, "samples": self.samples}
        if self.other is not None:
            row["other"] = self.other
        return row

    @property
    def folded(self) -> bool:
        """Is this the agent's row of folded stacks?"""
        return self.other is not None

    def path(self) -> Tuple[Tuple[str, str, int], ...]:
        """The row's frames as a flame graph stacks them, root first, each
        ``(name, file, line)``: the thread (file "", line 0), then the
        outermost Python frame to the innermost; ``(other)`` for a folded
        row, ``(no Python frame)`` for an empty stack."""
        frames: List[Tuple[str, str, int]] = []
        if self.thread or not self.folded:
            frames.append((self.thread or UNNAMED_THREAD, "", 0))
        if self.folded:
            frames.append((OTHER_FRAME, "", 0))
        elif not self.stack:
            frames.append((NO_PYTHON_FRAME, "", 0))
        else:
            frames.extend((frame.function, frame.file, frame.line)
                          for frame in reversed(self.stack))
        return tuple(frames)


@dataclass(frozen=True)
class ProfileTable:
    """The rows of one table of the profile: ``kind`` is ``"held"`` (where
    the GIL holder was) or ``"waited"`` (where threads waited for it)."""

    kind: str
    rows: Tuple[ProfileRow, ...]
    rate_hz: float = 0.0

    def __iter__(self) -> Iterator[ProfileRow]:
        return iter(self.rows)

    def __len__(self) -> int:
        return len(self.rows)

    @property
    def seconds(self) -> float:
        """The seconds of all rows together."""
        return sum(row.seconds for row in self.rows)

    @property
    def samples(self) -> int:
        """The samples of all rows together."""
        return sum(row.samples for row in self.rows)

    @property
    def title(self) -> str:
        """What the table shows, for the files' titles."""
        what = "GIL held" if self.kind == "held" else f"GIL {self.kind}"
        return f"{what}: {self.seconds:.3f} s, {self.samples} samples at {self.rate_hz:g} Hz"

    # -- folded stacks --

    def format_collapsed(self) -> str:
        """The table in Brendan Gregg's folded format: one line per distinct
        stack, ``thread;outer;...;inner count``, root first, each frame
        ``function (file:line)``; the count is the stack's time in whole
        microseconds (a stack under half a microsecond is left out)."""
        counts: Dict[str, int] = {}
        names: Dict[Tuple[str, str, int], str] = {}
        for row in self.rows:
            micros = round(row.seconds * _MICROSECONDS)
            if micros <= 0:
                continue
            parts = []
            for frame in row.path():
                name = names.get(frame)
                if name is None:
                    name = names[frame] = _collapsed_name(_label(frame))
                parts.append(name)
            line = ";".join(parts)
            counts[line] = counts.get(line, 0) + micros
        return "".join(f"{line} {counts[line]}\n" for line in sorted(counts))

    def write_collapsed(self, path: PathArg) -> None:
        """Write ``format_collapsed()`` to `path` (replaced atomically), for
        flamegraph.pl, inferno-flamegraph or speedscope."""
        write_atomically(path, self.format_collapsed())

    # -- speedscope --

    def speedscope(self) -> Dict[str, Any]:
        """The table as a speedscope file (a dict for ``json.dump``): one
        sampled profile in seconds, one sample per row, its weight the
        row's seconds."""
        frames: List[Dict[str, Any]] = []
        index: Dict[Tuple[str, str, int], int] = {}
        samples: List[List[int]] = []
        weights: List[float] = []
        for row in self.rows:
            stack = []
            for frame in row.path():
                number = index.get(frame)
                if number is None:
                    number = index[frame] = len(frames)
                    name, file, line = frame
                    frames.append({"name": name, "file": file, "line": line} if file else
                                  {"name": name})
                stack.append(number)
            samples.append(stack)
            weights.append(row.seconds)
        return {
            "$schema": _SPEEDSCOPE_SCHEMA,
            "shared": {"frames": frames},
            "profiles": [{"type": "sampled", "name": self.title, "unit": "seconds",
                          "startValue": 0, "endValue": sum(weights),
                          "samples": samples, "weights": weights}],
            "name": self.title,
            "activeProfileIndex": 0,
            "exporter": f"vandrel {__version__}",
        }

    def write_speedscope(self, path: PathArg) -> None:
        """Write ``speedscope()`` as JSON to `path` (replaced atomically),
        to open in https://www.speedscope.app or the ``speedscope`` command."""
        write_atomically(path, json.dumps(self.speedscope(), separators=(",", ":")) + "\n")

    # -- flame graph --

    def flamegraph_svg(self) -> str:
        """The table as a self-contained SVG flame graph: the threads at
        the bottom, each frame as wide as its share of the time, its name,
        time and share in a tooltip (``<title>``); sibling frames narrower
        than 0.1 % of the whole are merged into one."""
        return _FlameGraph(self).svg()

    def write_flamegraph(self, path: PathArg) -> None:
        """Write ``flamegraph_svg()`` to `path` (replaced atomically), to open
        in a browser."""
        write_atomically(path, self.flamegraph_svg())


@dataclass(frozen=True)
class GilProfile:
    """The GIL profile of a report: ``held``, where the thread holding the
    GIL was, and ``waited``, where threads waited for it longer than
    ``wait_threshold_s``, both sampled ``rate_hz`` times a second.

    ``write_collapsed()``, ``write_speedscope()`` and ``write_flamegraph()``
    write the ``held`` table; ``profile.waited.write_...()`` the other;
    ``write_files(directory)`` both, in all three forms."""

    rate_hz: float
    wait_threshold_s: float
    held: ProfileTable
    waited: ProfileTable
    _extra: Mapping[str, Any] = field(default_factory=dict, repr=False, compare=False)

    @classmethod
    def from_dict(cls, profile: Mapping[str, Any]) -> GilProfile:
        """Read ``report["profile"]``; raise ``ValueError`` naming a missing key."""
        try:
            rate = float(profile["rate_hz"])
            return cls(rate, float(profile["wait_threshold_s"]),
                       _table("held", profile["held"], rate),
                       _table("waited", profile["waited"], rate),
                       {key: value for key, value in profile.items()
                        if key not in ("rate_hz", "wait_threshold_s", "held", "waited")})
        except KeyError as error:
            raise ValueError(f"not a GIL profile dict: it lacks the key {error.args[0]!r}") \
                from None

    @classmethod
    def from_report_dict(cls, report: Mapping[str, Any]) -> Optional[GilProfile]:
        """The profile of a report dict, or None when it carries none."""
        return profile_of(report.get("profile"))

    def to_dict(self) -> Dict[str, Any]:
        """The profile as the agent's dict."""
        return {"rate_hz": self.rate_hz, "wait_threshold_s": self.wait_threshold_s,
                "held": [row.to_dict() for row in self.held],
                "waited": [row.to_dict() for row in self.waited], **self._extra}

    def write_collapsed(self, path: PathArg) -> None:
        """Write the ``held`` table as folded stacks (``ProfileTable.write_collapsed``)."""
        self.held.write_collapsed(path)

    def write_speedscope(self, path: PathArg) -> None:
        """Write the ``held`` table as speedscope JSON (``ProfileTable.write_speedscope``)."""
        self.held.write_speedscope(path)

    def write_flamegraph(self, path: PathArg) -> None:
        """Write the ``held`` table as an SVG flame graph (``ProfileTable.write_flamegraph``)."""
        self.held.write_flamegraph(path)

    def write_files(self, directory: PathArg) -> List[str]:
        """Write both tables in all three forms into `directory` (which must
        exist): ``held.collapsed``, ``held.speedscope.json``, ``held.svg``
        and ``waited.*`` likewise, each replaced atomically.  Return their
        paths."""
        base = _path_text(directory)
        written = []
        for table in (self.held, self.waited):
            for suffix, write in ((".collapsed", table.write_collapsed),
                                  (".speedscope.json", table.write_speedscope),
                                  (".svg", table.write_flamegraph)):
                path = os.path.join(base, table.kind + suffix)
                write(path)
                written.append(path)
        return written


def profile_of(profile: Optional[Mapping[str, Any]]) -> Optional[GilProfile]:
    """A ``GilProfile`` of the raw ``report["profile"]`` dict, None for None:
    what ``GilReport.profile`` gives."""
    return None if profile is None else GilProfile.from_dict(profile)


def _table(kind: str, rows: Sequence[Mapping[str, Any]], rate_hz: float) -> ProfileTable:
    return ProfileTable(kind, tuple(ProfileRow.from_dict(row) for row in rows), rate_hz)


# ---- Names in each format --------------------------------------------------

def _label(frame: Tuple[str, str, int]) -> str:
    """A frame as folded stacks and the flame graph name it:
    ``function (file:line)``, or the bare name of a thread or marker."""
    name, file, line = frame
    return f"{name} ({file}:{line})" if file else name


# The characters _escaped() rewrites, and ";" too (folded stacks).
_NEEDS_ESCAPE = re.compile("[\x00-\x1f\x7f\ud800-\udfff\ufffe\uffff;]")


def _escaped(text: str, also: str = "") -> str:
    """`text` with control characters, lone surrogates (undecodable bytes
    of a file name) and the characters in `also` written as escapes, so it
    stays one line and encodes as UTF-8."""
    if _NEEDS_ESCAPE.search(text) is None:
        return text
    out = []
    for ch in text:
        code = ord(ch)
        if code < 0x20 or code == 0x7F or ch in also:
            out.append(f"\\x{code:02x}")
        elif 0xD800 <= code <= 0xDFFF or code in (0xFFFE, 0xFFFF):
            out.append(f"\\u{code:04x}")
        else:
            out.append(ch)
    return "".join(out)


def _collapsed_name(text: str) -> str:
    # ";" separates the frames of a folded line.
    return _escaped(text, also=";")


def _xml(text: str) -> str:
    """`text` escaped for XML character data and attribute values (control
    characters that XML 1.0 cannot hold written as escapes first)."""
    return (_escaped(text).replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
            .replace('"', "&quot;").replace("'", "&apos;"))


# ---- The flame graph -------------------------------------------------------

class _Node:
    """A frame of the flame graph: its children by (name, file, line)."""

    __slots__ = ("frame", "seconds", "samples", "children", "merged", "folded")

    def __init__(self, frame: Tuple[str, str, int]) -> None:
        self.frame = frame
        self.seconds = 0.0
        self.samples = 0
        self.children: Dict[Tuple[str, str, int], _Node] = {}
        self.merged = 0          # the frames merged into this one (0: a real frame)
        self.folded = 0          # the agent's stacks folded into this "(other)"


class _FlameGraph:
    """Lays out a table's frames as SVG rectangles, root at the bottom."""

    def __init__(self, table: ProfileTable) -> None:
        self.table = table
        self.root = _Node(("all", "", 0))
        for row in table.rows:
            if row.seconds <= 0:
                continue
            node = self.root
            node.seconds += row.seconds
            node.samples += row.samples
            for frame in row.path():
                child = node.children.get(frame)
                if child is None:
                    child = node.children[frame] = _Node(frame)
                child.seconds += row.seconds
                child.samples += row.samples
                node = child
            node.folded += row.other or 0
        self.total = self.root.seconds
        self.min_seconds = self.total * MIN_FRAME_SHARE
        self.scale = (_SVG_WIDTH - 2 * _SVG_PAD) / self.total if self.total > 0 else 0.0
        self.placed: List[Tuple[_Node, float, int]] = []

    def svg(self) -> str:
        if self.total > 0:
            self._place(self.root)
        depth = max((depth for _, _, depth in self.placed), default=0)
        height = _HEADER + (depth + 1) * _FRAME_HEIGHT + _FOOTER
        bottom = height - _FOOTER
        title = _xml(self.table.title)
        if self.total > 0:
            body = "".join(self._rect(node, start, depth, bottom)
                           for node, start, depth in self.placed)
        else:
            body = (f'<text x="{_SVG_WIDTH / 2:.0f}" y="{_HEADER + 12}" text-anchor="middle">'
                    f'no samples</text>\n')
        return (
            f'<?xml version="1.0" encoding="UTF-8" standalone="no"?>\n'
            f'<svg xmlns="http://www.w3.org/2000/svg" version="1.1" width="{_SVG_WIDTH}" '
            f'height="{height}" viewBox="0 0 {_SVG_WIDTH} {height}" '
            f'font-family="Verdana, DejaVu Sans, sans-serif" font-size="{_FONT_SIZE}">\n'
            f'<title>{title}</title>\n'
            f'<rect x="0" y="0" width="{_SVG_WIDTH}" height="{height}" fill="#f8f8f8"/>\n'
            f'<text x="{_SVG_WIDTH / 2:.0f}" y="22" text-anchor="middle" font-size="16">'
            f'{title}</text>\n'
            f'<text x="{_SVG_PAD}" y="38" fill="#555">Hover over a frame for its name, time '
            f'and share; frames under {MIN_FRAME_SHARE:.1%} of the whole are merged.</text>\n'
            f'{body}</svg>\n')

    def _place(self, root: _Node) -> None:
        """Place every frame: each at its start in seconds from the left and
        its depth up from the root, its children side by side above it, the
        wide ones by name and the narrow ones merged into one frame (a
        single narrow one keeps its name) whose own children are left out.
        A loop rather than recursion: a stack can be deeper than Python's
        recursion limit."""
        pending = [(root, 0.0, 0)]
        while pending:
            node, start, depth = pending.pop()
            self.placed.append((node, start, depth))
            if node.merged:
                continue
            wide: List[_Node] = []
            narrow: List[_Node] = []
            for child in node.children.values():
                (wide if child.seconds >= self.min_seconds else narrow).append(child)
            offset = start
            for child in sorted(wide, key=lambda item: item.frame):
                pending.append((child, offset, depth + 1))
                offset += child.seconds
            if narrow:
                merged = _Node((f"({len(narrow)} narrow frames merged)", "", 0)
                               if len(narrow) > 1 else narrow[0].frame)
                merged.seconds = sum(child.seconds for child in narrow)
                merged.samples = sum(child.samples for child in narrow)
                merged.merged = len(narrow)
                pending.append((merged, offset, depth + 1))

    def _rect(self, node: _Node, start: float, depth: int, bottom: int) -> str:
        """One frame: a group of its tooltip, its box and, where it fits,
        its name."""
        x = _SVG_PAD + start * self.scale
        width = node.seconds * self.scale
        y = bottom - (depth + 1) * _FRAME_HEIGHT
        label = _label(node.frame)
        share = node.seconds / self.total
        # The name's own control characters are escaped, not this line break.
        tip = (f"{_xml(label)}\n{_seconds_text(node.seconds)} ({share:.2%}), "
               f"{node.samples} sample{'s' if node.samples != 1 else ''}")
        if node.merged > 1:
            tip += f", each frame under {MIN_FRAME_SHARE:.1%}"
        if node.folded:
            tip += f"; the agent folded {node.folded} rare stacks into it"
        chars = int((width - 6) / _CHAR_WIDTH)
        text = ""
        if chars >= 3:
            shown = label if len(label) <= chars else label[:chars - 2] + ".."
            text = f'<text x="{x + 3:.2f}" y="{y + _FRAME_HEIGHT - 4}">{_xml(shown)}</text>'
        fill = self._color(node, depth)
        return (f'<g><title>{tip}</title><rect x="{x:.2f}" y="{y}" width="{width:.2f}" '
                f'height="{_FRAME_HEIGHT - 1}" fill="{fill}" rx="2"/>{text}</g>\n')

    def _color(self, node: _Node, depth: int) -> str:
        if depth == 0 or node.merged > 1 or node.frame[0] in (OTHER_FRAME, NO_PYTHON_FRAME):
            return "rgb(190,190,190)"
        if depth == 1:
            return "rgb(220,220,205)"   # the threads
        # The same function gets the same colour in every graph.
        seed = zlib.crc32(node.frame[0].encode("utf-8", "surrogatepass"))
        low, middle, high = seed & 0xFF, (seed >> 8) & 0xFF, (seed >> 16) & 0xFF
        if self.table.kind == "held":
            return f"rgb({205 + low % 50},{middle % 230},{high % 55})"
        return f"rgb({high % 60},{110 + middle % 110},{190 + low % 65})"


def _seconds_text(seconds: float) -> str:
    if seconds >= 1:
        return f"{seconds:.3f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.3f} ms"
    return f"{seconds * 1e6:.0f} \u00b5s"


# ---- Writing a file atomically ---------------------------------------------

def _path_text(path: PathArg) -> str:
    if not isinstance(path, (str, os.PathLike)):
        raise TypeError(f"path must be a str or an os.PathLike, not {type(path).__name__}")
    return os.fsdecode(os.fspath(path))


def write_atomically(path: PathArg, text: str) -> None:
    """Replace the file at `path` with `text` (UTF-8) atomically: write it
    to a temporary file in the same directory, then rename that over
    `path`, so a reader sees the old file or the new one, never half.

    An ``OSError`` names `path` (not the temporary file); nothing is left
    behind when it fails."""
    target = _path_text(path)
    directory = os.path.dirname(target) or "."
    temp = ""
    fd = -1
    while fd < 0:
        temp = os.path.join(directory, f".{os.path.basename(target)}.{os.urandom(4).hex()}.tmp")
        try:
            fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
        except FileExistsError:
            continue
        except OSError as error:
            raise OSError(error.errno, error.strerror, target) from None
    try:
        with open(fd, "w", encoding="utf-8", newline="\n") as stream:
            stream.write(text)
        os.replace(temp, target)
    except BaseException as error:
        try:
            os.unlink(temp)
        except OSError:
            pass
        if isinstance(error, OSError) and error.errno is not None:
            raise OSError(error.errno, error.strerror, target) from None
        raise
