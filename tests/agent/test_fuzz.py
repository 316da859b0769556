"""Property-based fuzzing of every module function (see children/fuzz.py), each
in a fresh interpreter with the recording stand-in agent loaded first: a
real agent's dump could write into any fd the fuzzer picks, the test
runner's own files included.

VANDREL_FUZZ_EXAMPLES sets the number of generated argument tuples per
function; by default 10,000 on CPython 3.13 with a GIL, the reference
interpreter, and 1,000 on the others (the free-threaded 3.13 included;
`./dev test-all` gives Debian's 3.13 the 1,000 too).  Generation is
derandomized, so a run is reproducible."""
import os
import re
import sys
from pathlib import Path

import pytest

from child import check_child
from conftest import FREE_THREADED

CHILDREN = Path(__file__).resolve().parent / "children"

DEFAULT_EXAMPLES = 10_000 if sys.version_info[:2] == (3, 13) and not FREE_THREADED else 1_000
EXAMPLES = int(os.environ.get("VANDREL_FUZZ_EXAMPLES", DEFAULT_EXAMPLES))


def fuzz(function, examples, load=()):
    agent = load[0] if load else None
    done = check_child(f"""
        import sys
        sys.path.insert(0, {str(CHILDREN)!r})
        import fuzz
        fuzz.main({function!r}, {examples}, {agent!r})
    """, load=load, timeout=900)
    match = re.search(rf"fuzzed {function}: (\d+) calls, (\d+) forwarded", done.stdout)
    assert match, done.stdout
    return int(match[1]), int(match[2])


@pytest.mark.parametrize("function", ["init", "deinit", "dump"])
def test_fuzz_with_recording_agent(native, function):
    calls, forwarded = fuzz(function, EXAMPLES, load=[native.agent])
    assert calls >= EXAMPLES, f"only {calls} of {EXAMPLES} tuples were generated"
    # The generator must reach the agent often, not only the refusal path
    # (hypothesis starts with its simplest tuples, so a short run reaches it less).
    assert forwarded >= (calls // 10 if calls >= 1000 else 1), (calls, forwarded)


@pytest.mark.parametrize("function", ["init", "deinit", "dump"])
def test_fuzz_without_agent(function):
    examples = max(EXAMPLES // 10, 50)
    calls, _ = fuzz(function, examples)
    assert calls >= examples
