"""The reference agent's dump_threads, reached through threadsnap, checked
against the interpreter's own view of every thread (sys._current_frames,
threading).  Each scenario runs in a fresh interpreter."""
import json
import os
import sys

import pytest

from agent_helpers import (SCENARIO_PROLOGUE, agent_path, blocks_by_id, check_against_truth, escape_text,
                           load_json, parse_dump, run_scenario)
from child import child_program, run, run_python, start_python
from conftest import FREE_THREADED, NATIVE, READS_IN_PLACE, ROOT



def build_agent(directory, *defines):
    """Compile the agent's sources into directory/vandrel_agent.so with
    extra preprocessor defines; return its path."""
    import sysconfig
    out = directory / "vandrel_agent.so"
    agent_dir = os.path.join(ROOT, "agent")
    names = sorted(os.path.relpath(os.path.join(root, name), agent_dir)
                   for root, _, files in os.walk(agent_dir) for name in files)
    sources = [os.path.join(agent_dir, name) for name in names if name.endswith(".cpp")]
    flags = ["-O2", "-fPIC", "-fvisibility=hidden", "-Wall", "-Wextra", "-Werror",
             # Units name each other from the agent's root.
             "-I" + agent_dir,
             *(f"-D{define}" for define in defines),
             # System headers: warnings in the interpreter's own are not ours.
             "-isystem", sysconfig.get_paths()["include"],
             # Debian's pyconfig.h includes its multiarch twin from here.
             "-isystem", os.path.dirname(sysconfig.get_paths()["include"])]
    cc, cxx = os.environ.get("CC", "cc"), os.environ.get("CXX", "c++")
    objects = []
    for name in names:
        if name.endswith(".c"):
            objects.append(str(directory / (name.replace(os.sep, "_") + ".o")))
            command = [cc, *flags, "-c", os.path.join(agent_dir, name), "-o", objects[-1]]
            run(command, timeout=300, check=True)
    command = [cxx, "-std=c++17", "-shared", "-fno-exceptions", "-fno-rtti", *flags,
               *sources, *objects, "-o", str(out)]
    try:
        run(command, timeout=300, check=True)
    except FileNotFoundError:
        pytest.skip(f"no C++ compiler ({cxx})")
    return out


def build_c_helper(directory, name):
    """Compile tests/native/<name>.c against this interpreter's headers into
    directory/<name>.so; return its path."""
    import sysconfig
    include = sysconfig.get_paths()["include"]
    out = directory / f"{name}.so"
    run([os.environ.get("CC", "cc"), "-shared", "-fPIC", "-O1", "-I" + include,
         # Debian's pyconfig.h includes its multiarch twin from here.
         "-isystem", os.path.dirname(include), NATIVE / f"{name}.c", "-o", out],
        timeout=300, check=True)
    return out


def shared_agent(tmp_path_factory, name, *defines):
    """build_agent() once per test run, not once per xdist worker (each
    build takes some 10 s): the first worker to ask builds it in the run's
    shared temporary directory while the others wait on its lock."""
    import fcntl
    root = tmp_path_factory.getbasetemp()
    if os.environ.get("PYTEST_XDIST_WORKER"):
        root = root.parent          # the workers' directories are its children
    directory = root / f"agent-{name}"
    directory.mkdir(exist_ok=True)
    out = directory / "vandrel_agent.so"
    with open(directory / "lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not out.exists():
            # Built aside and renamed: a failed build leaves nothing to reuse.
            building = directory / "building"
            building.mkdir(exist_ok=True)
            os.replace(build_agent(building, *defines), out)
    return out


@pytest.fixture(scope="module")
def public_api_agent(tmp_path_factory):
    """The agent built with its public-API frame walk forced on: the path
    it takes on interpreters other than the one it was compiled for."""
    return shared_agent(tmp_path_factory, "public", "VANDREL_FORCE_PUBLIC_API")


@pytest.fixture(scope="module")
def tiny_flush_agent(tmp_path_factory):
    """The agent writing out every 300 bytes: every flush boundary case
    (mid-line, mid-run of repeated frames) happens many times a dump."""
    return shared_agent(tmp_path_factory, "tiny", "VANDREL_FLUSH_SIZE=300")


NAMED_THREADS = SCENARIO_PROLOGUE + r'''
threads = start_parked([("alpha", 0), ("beta-7", 3), ('quote"back\\slash', 1),
                        ("é-ünïcode ✓", 2), ("line\nbreak", 5)])
save(truth_and_dump(1, int(sys.argv[2])))
release_all(threads)
'''


@pytest.mark.parametrize("max_frames", [0, -1, -(2**63)])
def test_all_frames_match_ground_truth(tmp_path, max_frames):
    proc = run_scenario(tmp_path, NAMED_THREADS, tmp_path / "truth.json", max_frames)
    blocks = parse_dump(proc.stdout.decode())
    truth = load_json(tmp_path / "truth.json")
    assert len(truth["threads"]) == 6
    check_against_truth(blocks, truth)
    names = {block["name"] for block in blocks}
    # Escaping keeps every field on its line and inside its quotes.
    assert {"MainThread", "alpha", 'quote\\"back\\\\slash', "é-ünïcode ✓",
            "line\\x0abreak"} <= names


@pytest.mark.parametrize("max_frames", [1, 3, 9])
def test_max_frames_cuts_each_thread_and_counts_the_rest(tmp_path, max_frames):
    proc = run_scenario(tmp_path, NAMED_THREADS, tmp_path / "truth.json", max_frames)
    blocks = parse_dump(proc.stdout.decode())
    truth = load_json(tmp_path / "truth.json")
    check_against_truth(blocks, truth, max_frames)
    assert any(block["left_out"] for block in blocks)


# The agent variant that walks the public frame API, in place: a
# free-threaded build refuses it.
PUBLIC_API_AGENT = pytest.param("public_api_agent", id="public_api_agent",
                                marks=pytest.mark.needs_gil(READS_IN_PLACE))


@pytest.mark.parametrize("variant", [PUBLIC_API_AGENT, "tiny_flush_agent"])
def test_agent_variants_match_ground_truth(tmp_path, variant, request):
    agent = request.getfixturevalue(variant)
    for max_frames in (0, 4):
        proc = run_scenario(tmp_path, NAMED_THREADS, tmp_path / "truth.json", max_frames,
                            agent=agent)
        blocks = parse_dump(proc.stdout.decode())
        check_against_truth(blocks, load_json(tmp_path / "truth.json"), max_frames)


MANY_THREADS = SCENARIO_PROLOGUE + r'''
count = int(sys.argv[2])
threads = start_parked([(f"worker-{i}", i % 9) for i in range(count)])
fd = os.open(sys.argv[3], os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
truth = truth_and_dump(fd, 0)
os.close(fd)
save(truth)
release_all(threads)
'''


def test_many_threads_to_a_file(tmp_path):
    run_scenario(tmp_path, MANY_THREADS, tmp_path / "truth.json", 200, tmp_path / "dump.txt")
    blocks = parse_dump((tmp_path / "dump.txt").read_text())
    truth = load_json(tmp_path / "truth.json")
    assert len(blocks) == 201
    check_against_truth(blocks, truth)


@pytest.mark.parametrize("variant", [PUBLIC_API_AGENT, "tiny_flush_agent"])
def test_many_threads_agent_variants(tmp_path, variant, request):
    run_scenario(tmp_path, MANY_THREADS, tmp_path / "truth.json", 200, tmp_path / "dump.txt",
                 agent=request.getfixturevalue(variant))
    blocks = parse_dump((tmp_path / "dump.txt").read_text())
    assert len(blocks) == 201
    check_against_truth(blocks, load_json(tmp_path / "truth.json"))


DEEP_RECURSION = SCENARIO_PROLOGUE + r'''
sys.setrecursionlimit(40000)
threading.stack_size(256 << 20)
# Deep enough that one run of identical lines crosses the 1 MiB flush.
threads = start_parked([("deep", 15000), ("shallow", 0)])
for max_frames in (0, 10):
    with open(sys.argv[1] + str(max_frames), "w") as f:
        json.dump(truth_and_dump(1, max_frames), f)
    print("=====", flush=True)
release_all(threads)
'''


@pytest.mark.parametrize("variant", [None, "tiny_flush_agent"])
def test_deep_recursion(tmp_path, variant, request):
    agent = request.getfixturevalue(variant) if variant else None
    proc = run_scenario(tmp_path, DEEP_RECURSION, tmp_path / "truth", agent=agent)
    whole, cut, rest = proc.stdout.decode().split("=====\n")
    assert rest == ""
    for text, max_frames in ((whole, 0), (cut, 10)):
        blocks = parse_dump(text)
        truth = load_json(tmp_path / f"truth{max_frames}")
        check_against_truth(blocks, truth, max_frames)
        deep = next(block for block in blocks if block["name"] == "deep")
        assert len(deep["frames"]) + deep["left_out"] > 15000


FINISHED_AND_RAW_THREADS = SCENARIO_PROLOGUE + child_program("finished_and_raw_threads")


def test_finished_threads_are_gone_and_unnamed_threads_are_shown(tmp_path):
    proc = run_scenario(tmp_path, FINISHED_AND_RAW_THREADS, tmp_path / "truth.json")
    blocks = parse_dump(proc.stdout.decode())
    truth = load_json(tmp_path / "truth.json")
    by_id = blocks_by_id(blocks)
    assert not set(truth["finished"]) & set(by_id)
    if sys.version_info < (3, 11):
        # 3.10's thread states hold no native id, and a thread started
        # without threading has no Thread object to ask: it shows as "?".
        truth["raw"] = None
    raw = by_id.pop(truth["raw"])
    assert raw["name"] is None and not raw["current"]
    assert [frame[2] for frame in raw["frames"]] == ["wait", "wait", "raw_thread"]
    check_against_truth([block for block in blocks if block["id"] != truth["raw"]], truth)


BAD_FDS = child_program("bad_fds")


def test_invalid_closed_and_broken_fds_are_harmless(tmp_path):
    proc = run_scenario(tmp_path, BAD_FDS)
    assert proc.stdout.decode() == "[0, 0, 0, 0, 0, 0]\n"
    assert proc.stderr == b""


NONBLOCKING_PIPE = SCENARIO_PROLOGUE + r'''
import fcntl
# Smallest pipe buffer, non-blocking: every write is partial or EAGAIN
# while the parent drains the pipe.
fcntl.fcntl(1, fcntl.F_SETPIPE_SZ, 4096)
os.set_blocking(1, False)
threads = start_parked([(f"pipe-worker-{i}", i % 12) for i in range(int(sys.argv[2]))])
truth = truth_and_dump(1, 0)
os.set_blocking(1, True)
save(truth)
release_all(threads)
'''


def test_nonblocking_pipe_with_partial_writes(tmp_path):
    proc = run_scenario(tmp_path, NONBLOCKING_PIPE, tmp_path / "truth.json", 200)
    text = proc.stdout.decode()
    assert len(text) > 20 * 4096, "the dump must be far larger than the pipe"
    blocks = parse_dump(text)
    check_against_truth(blocks, load_json(tmp_path / "truth.json"))


def test_dump_without_threading_imported(tmp_path):
    """Names come from threading only when it is already imported; the
    dump never imports it and still shows every thread."""
    # Preloaded, not loaded through ctypes: ctypes imports threading itself
    # on some builds (through sysconfig).
    script = tmp_path / "no_threading.py"
    script.write_text(
        "import sys\n"
        "\n"
        "assert 'threading' not in sys.modules\n"
        "import threadsnap\n"
        "def inner():\n"
        "    return threadsnap.dump_all_threads_stack(1, 0)\n"
        "status = inner()\n"
        "assert 'threading' not in sys.modules\n"
        "print(status)\n")
    import vandrel
    proc = run_python([str(script)], env={"LD_PRELOAD": vandrel.agent_path()}, text=False)
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")
    text = proc.stdout.decode()
    assert text.endswith("0\n")
    blocks = parse_dump(text[:-2])
    assert len(blocks) == 1
    (block,) = blocks
    assert block["current"] and block["name"] is None and block["id"] > 0
    assert block["frames"] == [[str(script), 6, "inner"], [str(script), 7, "<module>"]]


def test_unicode_and_odd_code_locations(tmp_path):
    """Paths and function names come from the code object, whatever they
    hold; they are escaped, never cut."""
    code = SCENARIO_PROLOGUE + r'''
ns = {}
exec(compile("def f(fn):\n    return fn()\n", "/tmp/spa ce/ünï\"cøde\udcff.py", "exec"), ns)
def weird(): pass
odd = ns["f"]
odd.__code__ = odd.__code__.replace(co_name="name\twith\\tab")
def call_dump():
    return truth_and_dump(1, 0)
truth = odd(call_dump)
with open(sys.argv[1], "w") as f:
    json.dump(truth, f, ensure_ascii=True)
'''
    proc = run_scenario(tmp_path, code, tmp_path / "truth.json")
    blocks = parse_dump(proc.stdout.decode("utf-8"))
    with open(tmp_path / "truth.json") as f:
        truth = json.load(f)
    check_against_truth(blocks, truth)
    frames = blocks[0]["frames"]
    assert frames[2] == ['/tmp/spa ce/ünï\\"cøde\\udcff.py', 2, "name\\x09with\\\\tab"]


def other_interpreters():
    """CPython 3.10-3.15 other than this version, found on PATH, installed
    next to this interpreter (pyenv layout: <root>/<version>/bin/python3.N)
    or already made by tools/pythons.sh, each one that actually runs."""
    import shutil
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.realpath(
        sys._base_executable))))
    versions = sorted(os.listdir(root)) if os.path.isdir(root) else []
    made = os.environ.get("VANDREL_PYTHONS") or os.path.join(
        os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"), "vandrel", "pythons")
    found = []
    for minor in sorted({10, 11, 12, 13, 14, 15} - {sys.version_info[1]}):
        candidates = [os.path.join(root, name, "bin", f"python3.{minor}")
                      for name in versions if name.startswith(f"3.{minor}.")]
        candidates.append(shutil.which(f"python3.{minor}") or "")
        candidates.append(os.path.join(made, f"3.{minor}", "venv", "bin", "python"))
        for path in candidates:
            # A pyenv shim exists even when its version is not active.
            if os.path.isfile(path) and os.access(path, os.X_OK) and run(
                    [path, "-c", "pass"], timeout=60).returncode == 0:
                found.append(path)
                break
    return found


CROSS_VERSION = child_program("cross_version")


@pytest.mark.build_shape  # loads the library into a host without the sanitizer runtime
@pytest.mark.parametrize("python", other_interpreters() or [None])
def test_agent_built_for_another_version_is_safe(tmp_path, python):
    """An agent built for this interpreter, loaded into another CPython
    version (as a preloaded child would), reads nothing through struct
    layouts it does not know: correct frames, ids and names unknown."""
    if python is None:
        pytest.skip("no other CPython 3.10-3.15 installed")
    import vandrel
    script = tmp_path / "cross.py"
    script.write_text(CROSS_VERSION)
    proc = run([python, script, vandrel.agent_path()], text=False, timeout=120)
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")
    dump, truth_text = proc.stdout.decode().split("=====\n")
    if FREE_THREADED:
        # Objects there have another header than this agent's: nothing is read.
        assert dump == "vandrel: dump_threads: unsupported interpreter build; nothing dumped\n"
        return
    blocks = parse_dump(dump)
    truth = json.loads(truth_text)
    assert len(blocks) == 3 and blocks[0]["current"]
    # Only the calling thread's id is known (the kernel tells it); names none.
    assert blocks[0]["id"] is not None and blocks[0]["id"] > 0
    assert all(block["id"] is None for block in blocks[1:])
    assert all(block["name"] is None for block in blocks)
    others = sorted((block["frames"] for block in blocks[1:]), key=len)
    assert others == sorted(truth, key=len)


GENERATORS_AND_COROUTINES = SCENARIO_PROLOGUE + child_program("generators_and_coroutines")


def test_generator_and_coroutine_frames(tmp_path):
    proc = run_scenario(tmp_path, GENERATORS_AND_COROUTINES, tmp_path / "truth.json")
    blocks = parse_dump(proc.stdout.decode())
    check_against_truth(blocks, load_json(tmp_path / "truth.json"))
    functions = {block["name"]: [frame[2] for frame in block["frames"]] for block in blocks}
    assert functions["gen"][2:4] == ["generator", "drive_generator"]
    assert functions["coro"][2:4] == ["inner", "outer"]


# Python called back from C code: the interpreter puts a shim frame (a C
# stack entry frame, 3.12 on) between the caller and the callee, which
# traceback skips and the dump must skip too; the calling thread dumps from
# such a callback itself.
CALLED_FROM_C = SCENARIO_PROLOGUE + child_program("called_from_c")


@pytest.mark.parametrize("max_frames", [0, 3])
def test_python_called_from_c_shows_no_shim_frames(tmp_path, max_frames):
    proc = run_scenario(tmp_path, CALLED_FROM_C, tmp_path / "truth.json", str(max_frames))
    blocks = parse_dump(proc.stdout.decode())
    truth = load_json(tmp_path / "truth.json")
    check_against_truth(blocks, truth, max_frames)
    if max_frames:
        return
    functions = {block["name"]: [frame[2] for frame in block["frames"]] for block in blocks}
    assert functions["by_key"][:4] == ["wait", "wait", "__init__", "<lambda>"]
    assert functions["by_property"][2:4] == ["__init__", "value"]
    assert functions["by_exec"][2:4] == ["__init__", "<module>"]
    assert functions["by_generator"][2:4] == ["__init__", "<genexpr>"]
    assert functions["MainThread"][:2] == ["truth_and_dump", "dump_from_callback"]


FRAME_OBJECTS = SCENARIO_PROLOGUE + r'''
import gc

threads = start_parked([(f"parked-{i}", 20) for i in range(8)])
# The dump reads each Thread's instance dict, which 3.12 and later make
# on first use: make them now.  Frame objects are not tracked by the
# collector; count the interpreter's allocated blocks instead.
for thread in threading.enumerate():
    thread.__dict__
devnull = os.open(os.devnull, os.O_WRONLY)
gc.disable()
before = sys.getallocatedblocks()
status = threadsnap.dump_all_threads_stack(devnull, 0)
after = sys.getallocatedblocks()
# Zero when the interpreter's allocator is plain malloc (PYTHONMALLOC=malloc).
print(json.dumps({"status": status, "created": after - before, "counted": before > 0}))
release_all(threads)
'''


@pytest.mark.skipif(sys.version_info < (3, 11), reason="3.10's frames are all frame objects")
@pytest.mark.parametrize("variant", ["installed", PUBLIC_API_AGENT])
def test_direct_reader_creates_no_frame_objects(tmp_path, variant, request):
    """From 3.11 on the interpreter's frames are not objects: the public
    frame API makes a frame object for each frame it hands out, the
    dump's own reader reads them in place and makes none.  That the
    installed agent makes none shows it reads this version's frames itself
    (and did not fall back to the public API)."""
    agent = None if variant == "installed" else request.getfixturevalue(variant)
    proc = run_scenario(tmp_path, FRAME_OBJECTS, agent=agent)
    facts = json.loads(proc.stdout.decode().splitlines()[-1])
    assert facts["status"] == 0
    if not facts["counted"]:
        pytest.skip("the interpreter does not count its allocations (PYTHONMALLOC=malloc)")
    if variant == "installed":
        # The int `before` itself is one block; a frame object per frame
        # would be 160 or more.
        assert facts["created"] <= 4, facts
    else:
        assert facts["created"] >= 8 * 20, facts


def test_nonblocking_pipe_whose_reader_starts_late(tmp_path):
    """The pipe is full long before the reader starts: the dump waits for
    it to drain (EAGAIN, poll) instead of dropping output."""
    import time
    from agent_helpers import write_script
    code = NONBLOCKING_PIPE.replace(
        "truth = truth_and_dump(1, 0)",
        "print('dumping', file=sys.stderr, flush=True)\ntruth = truth_and_dump(1, 0)")
    script = write_script(tmp_path, code)
    child = start_python(["-m", "vandrel", "run", script, tmp_path / "truth.json", "60"])
    try:
        assert child.stderr.readline() == b"dumping\n"
        # The 4 KiB pipe fills at once; the agent waits up to 2 s for it.
        time.sleep(0.5)
        stdout, stderr = child.communicate(timeout=120)
    finally:
        child.kill()
    assert child.returncode == 0, stderr.decode(errors="replace")
    blocks = parse_dump(stdout.decode())
    check_against_truth(blocks, load_json(tmp_path / "truth.json"))


def test_called_without_the_gil_refuses_with_one_line(tmp_path):
    """ctypes.CDLL releases the GIL around foreign calls: the agent must
    notice and walk nothing (other threads may be running)."""
    code = r'''
import ctypes, sys, threading, vandrel
agent = ctypes.CDLL(vandrel.agent_path())
stop = threading.Event()
def spin():
    while not stop.is_set():
        sum(range(100))
workers = [threading.Thread(target=spin) for _ in range(4)]
for w in workers:
    w.start()
sys.stdout.flush()
agent.dump_threads(ctypes.c_int32(1), ctypes.c_int64(0))
stop.set()
for w in workers:
    w.join()
'''
    proc = run_scenario(tmp_path, code)
    assert proc.stdout == (b"vandrel: dump_threads: the calling thread does not hold the GIL;"
                           b" nothing dumped\n")


# Thread states the dump must never read once they are gone: both kinds
# are deleted while the dumping thread holds the GIL.
CHURN = {
    # An isolated subinterpreter importing an extension module runs its
    # init on a temporary main-interpreter thread state, deleted under the
    # subinterpreter's own GIL.
    "subinterpreter_import": r'''
import _interpreters
EXTENSIONS = ("_json _random _csv _bisect _heapq array math select _struct _contextvars "
              "_datetime _statistics _opcode binascii cmath fcntl grp mmap resource "
              "unicodedata zlib _queue _lsprof _zoneinfo _pickle _socket").split()
IMPORT_ALL = "for name in %r:\n    try: __import__(name)\n    except ImportError: pass\n"
def churn():
    interp = _interpreters.create("isolated")
    _interpreters.run_string(interp, IMPORT_ALL % (EXTENSIONS,))
    _interpreters.destroy(interp)
''',
    # PyThreadState_Delete() may be called without the GIL: the helper
    # deletes a batch in one stretch with the GIL released, so that dumps
    # run all along.
    "delete_without_gil": r'''
api = ctypes.pythonapi
api.PyThreadState_New.restype = ctypes.c_void_p
api.PyThreadState_New.argtypes = [ctypes.c_void_p]
api.PyInterpreterState_Main.restype = ctypes.c_void_p
api.PyThreadState_Clear.argtypes = [ctypes.c_void_p]
helper = ctypes.PyDLL(sys.argv[2])
helper.delete_unlocked.argtypes = [ctypes.POINTER(ctypes.c_void_p), ctypes.c_int]
def churn():
    states = (ctypes.c_void_p * 50)(*[api.PyThreadState_New(api.PyInterpreterState_Main())
                                      for _ in range(50)])
    for state in states:
        api.PyThreadState_Clear(state)
    helper.delete_unlocked(states, len(states))
''',
}


@pytest.mark.parametrize("churn", [
    pytest.param(name, marks=pytest.mark.skipif(
        name == "subinterpreter_import" and sys.version_info < (3, 13),
        reason="imports on a temporary main-interpreter thread state are 3.13's"))
    for name in sorted(CHURN)])
def test_thread_states_deleted_during_dumps(tmp_path, churn):
    """Dumps race thread states deleted without this interpreter's GIL: the
    thread list is read under the runtime's head lock and no thread state
    is touched after it (a read of a freed one is an ASan finding, and
    often a crash without ASan: the allocator reuses the freed state)."""
    # CPython 3.13.0 itself corrupts memory with two isolated
    # subinterpreters importing at once: one churns there, for longer.
    churners, seconds = (1, 5.0) if churn == "subinterpreter_import" else (2, 3.0)
    code = SCENARIO_PROLOGUE + CHURN[churn] + f"CHURNERS, SECONDS = {churners}, {seconds}\n" + r'''
stop = threading.Event()
rounds = []
def churn_until_stopped():
    while not stop.is_set():
        churn()
        rounds.append(1)
churners = [threading.Thread(target=churn_until_stopped, name=f"churner-{i}")
            for i in range(CHURNERS)]
for churner in churners:
    churner.start()
devnull = os.open(os.devnull, os.O_WRONLY)
dumps = 0
deadline = time.monotonic() + SECONDS
while time.monotonic() < deadline or not rounds:
    assert threadsnap.dump_all_threads_stack(devnull, 0) == 0
    dumps += 1
save({"dumps": dumps, "rounds": len(rounds)})
stop.set()
for churner in churners:
    churner.join()
sys.stdout.flush()
threadsnap.dump_all_threads_stack(1, 0)
'''
    code = code.replace("import ctypes, json", "import time, ctypes, json", 1)
    # The debug allocator fills freed memory with 0xdd: a thread state read
    # after its deletion sends the walk to a wild address, a crash rather
    # than a silent misread, even without ASan (nearly every run crashed
    # with the head lock left out).  Under ASan, which catches such a read
    # itself, the interpreter keeps its own allocator: with every object
    # malloc'd, the leak check reports all the interpreter leaves at exit.
    # A free-threaded build allocates with mimalloc only, under the same
    # debug hooks.
    from child import SANITIZED
    debug_allocator = "mimalloc_debug" if FREE_THREADED else "malloc_debug"
    proc = run_scenario(tmp_path, code, tmp_path / "facts.json",
                        build_c_helper(tmp_path, "delete_unlocked"), timeout=180,
                        env={} if SANITIZED else {"PYTHONMALLOC": debug_allocator})
    facts = load_json(tmp_path / "facts.json")
    assert facts["dumps"] > 0 and facts["rounds"] > 0, facts
    # Once the churn is over, the dump is whole: one thread, the caller.
    blocks = parse_dump(proc.stdout.decode())
    assert [(b["current"], b["name"]) for b in blocks] == [(True, "MainThread")], blocks


def test_dump_during_interpreter_teardown(tmp_path):
    """A __del__ run at module teardown, after Py_IsInitialized() has turned
    false, still dumps the calling thread, as faulthandler does."""
    code = SCENARIO_PROLOGUE + r'''
class DumpsWhenCollected:
    def __del__(self):
        threadsnap.dump_all_threads_stack(1, 0)

sys.stdout.flush()
# Released only when __main__'s globals are cleared, at teardown.
last_words = DumpsWhenCollected()
'''
    # Run as __main__ itself: under the launcher the script's globals go
    # when runpy returns, before teardown.
    proc = run_scenario(tmp_path, code, agent=agent_path())
    blocks = parse_dump(proc.stdout.decode())
    first = blocks[0]
    assert first["current"] and first["id"] is not None, blocks
    assert [frame[2] for frame in first["frames"]] == ["__del__"], blocks


# A free-threaded build's dump cuts names at 1,024 characters: no line
# there outgrows the buffer.
@pytest.mark.needs_gil(READS_IN_PLACE)
def test_field_longer_than_the_flush_size(tmp_path):
    """Two threads parked at one line of code whose file name is longer than
    the 1 MiB the output buffers before writing: the line is written out in
    the middle, so it must not be reused from the buffer for the second."""
    code = SCENARIO_PROLOGUE + r'''
namespace = {"release": release}
exec(compile("def park_far(ready):\n    ready.release()\n    release.wait()\n",
             "/" + "f" * 2_000_000, "exec"), namespace)
ready = threading.Semaphore(0)
threads = [threading.Thread(target=namespace["park_far"], args=(ready,), name=f"far-{i}")
           for i in range(2)]
for thread in threads:
    thread.start()
for _ in threads:
    ready.acquire()
save(truth_and_dump(os.open(sys.argv[2], os.O_WRONLY | os.O_CREAT), 0))
release_all(threads)
'''
    run_scenario(tmp_path, code, tmp_path / "truth.json", tmp_path / "dump.txt")
    blocks = parse_dump((tmp_path / "dump.txt").read_text())
    check_against_truth(blocks, load_json(tmp_path / "truth.json"))


@pytest.mark.skipif(sys.version_info < (3, 13), reason="builds against the thread state of 3.13 on")
def test_thread_state_mid_start_is_left_out(tmp_path):
    """A thread state whose ids are only half written (PyGILState_Ensure()
    puts it in the list first) must not show as `Thread ?`: it has run no
    Python code and is left out until both ids are there."""
    helper = build_c_helper(tmp_path, "half_started")
    code = SCENARIO_PROLOGUE + r'''
helper = ctypes.PyDLL(sys.argv[2])
helper.half_started.restype = ctypes.c_void_p
helper.half_started.argtypes = [ctypes.c_ulong]
helper.discard.argtypes = [ctypes.c_void_p]
threads = start_parked([("parked", 2)])
starting = helper.half_started(0x5eed)
assert starting
save(truth_and_dump(1, 0))
helper.discard(starting)
release.set()
threads[0].join()
'''
    proc = run_scenario(tmp_path, code, tmp_path / "truth.json", helper)
    blocks = parse_dump(proc.stdout.decode())
    assert all(block["id"] is not None for block in blocks), blocks
    check_against_truth(blocks, load_json(tmp_path / "truth.json"))


@pytest.mark.serial
def test_head_lock_held_by_the_caller_never_hangs(tmp_path):
    """CPython holds the head lock while clearing thread states, which can
    run a __del__ that dumps: on the same thread the lock never comes free.
    The dump gives up on it after about a second and writes the calling
    thread alone, never hangs.  A free-threaded build's dump reads the
    threads without the head lock: it writes them all."""
    helper = build_c_helper(tmp_path, "head_lock")
    code = SCENARIO_PROLOGUE + r'''
import time
helper = ctypes.PyDLL(sys.argv[2])
threads = start_parked([("parked", 1)])
sys.stdout.flush()
helper.hold_head_lock()
start = time.monotonic()
status = threadsnap.dump_all_threads_stack(1, 0)
elapsed = time.monotonic() - start
helper.release_head_lock()
save({"status": status, "elapsed": elapsed})
release.set()
threads[0].join()
'''
    proc = run_scenario(tmp_path, code, tmp_path / "facts.json", helper, timeout=60)
    facts = load_json(tmp_path / "facts.json")
    assert facts["status"] == 0 and facts["elapsed"] < 10, facts
    blocks = parse_dump(proc.stdout.decode())
    expected = [(True, "MainThread")] + ([(False, "parked")] if FREE_THREADED else [])
    assert [(b["current"], b["name"]) for b in blocks] == expected, blocks
    assert blocks[0]["frames"][0][2] == "<module>", blocks
