"""The asyncio tasks that the dumps show after their loop's thread.

A small asyncio server (tests/package/children/asyncio_server.py) parks
its handlers in gather, TaskGroup, wait_for, shield and nested gathers;
its dump must list every pending task that asyncio.all_tasks() lists at
that moment, each below the task that awaits it (and, on 3.14 on, below
the task asyncio.capture_call_graph() names)."""
import asyncio
import json
import re
import sys

import pytest

import vandrel
from child import SANITIZED, child_program, run_python
from conftest import KEEPS_THE_GIL, READS_EVERY_LOOP, READS_IN_PLACE

# These call the agent in the test process, which a sanitizer build cannot
# be loaded into (its runtime must come first): children only there.
in_process = pytest.mark.skipif(SANITIZED, reason="calls the agent in the test process")

# 3.14 on: the tasks can be read without the GIL too, and say so.
TASK_LISTS = sys.version_info >= (3, 14)
UNLOCKED_HEADER = re.compile(r"^Tasks of its event loop \(\w+, (?P<pending>\d+) pending, read "
                             r"without the GIL; ", re.M)
TASK_LINE = re.compile(r"^(?P<prefix>[│ ├└─]*)\(T\) (?P<name>.*)$")
SECTION_HEADER = "Tasks of its event loop ("


def task_tree(dump):
    """{task name: name of the task it hangs below (None for a root)} of
    every task section of `dump`, in the order shown."""
    parents = {}
    stack = []                      # (depth, name) of the open branches
    in_section = False
    for line in dump.splitlines():
        if line.startswith(SECTION_HEADER):
            in_section, stack = True, []
            continue
        if not in_section:
            continue
        if not line:
            in_section = False
            continue
        match = TASK_LINE.match(line)
        if match is None:
            continue
        depth = len(match["prefix"]) // 4 - 1
        del stack[depth:]
        assert len(stack) == depth, f"a task below no task: {line!r}"
        name = match["name"]
        assert name not in parents, f"{name} shown twice"
        parents[name] = stack[-1] if stack else None
        stack.append(name)
    return parents


def run_server(mode, loop, tmp_path, env=None):
    out = str(tmp_path / "dump.txt")
    done = run_python(["-c", child_program("asyncio_server", MODE=mode, LOOP=loop, OUT=out)],
                      env=env, timeout=60)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def check_tasks(result, dump):
    expected = result["expected"]
    tree = task_tree(dump)
    # Every pending task of that moment, and nothing else, each below the
    # task that awaits it.
    assert sorted(tree) == result["names"], dump
    assert tree == expected, dump
    if result["graph"] is not None:
        for name, awaiters in result["graph"].items():
            assert awaiters == ([tree[name]] if tree[name] else []), (name, dump)
    # A task's stack: its coroutine chain, outermost first, down to where
    # it waits.
    lines = dump.splitlines()
    below = lines[lines.index(next(line for line in lines if line.endswith("(T) gather-leaf-1")))
                  + 1:][:2]
    assert re.search(r" leaf <string>:\d+$", below[0]), dump
    assert re.search(r" (Event\.)?wait \S+locks\.py:\d+$", below[1]), dump


@pytest.mark.needs_gil(READS_EVERY_LOOP)
@pytest.mark.parametrize("loop", ["asyncio", "uvloop"])
def test_dumps_show_every_task_below_its_awaiter(loop, tmp_path):
    if loop == "uvloop":
        pytest.importorskip("uvloop")
    result = run_server("both", loop, tmp_path)
    # format_stacks(): the section follows the loop's thread, the current
    # one, before the next thread's stack.
    dump = result["dumps"]["api"]
    check_tasks(result, dump)
    assert dump.startswith("Current thread ")
    assert dump.count(SECTION_HEADER) == 1
    assert dump.index("in main\n") < dump.index(SECTION_HEADER)
    # The agent's dump on a signal, written without the GIL: the same,
    # asked of the package with the GIL by a thread of the agent's.
    dump = result["dumps"]["signal"]
    check_tasks(result, dump)
    assert dump.count(SECTION_HEADER) == 1
    assert "vandrel:" not in dump


@pytest.mark.needs_gil(READS_IN_PLACE)
def test_signal_dump_left_to_the_main_thread_shows_the_tasks(tmp_path):
    """Where the process may not read itself, the signal dump is written by
    the main thread as a pending call, with the GIL: the tasks come too."""
    result = run_server("both", "asyncio", tmp_path, env={"VANDREL_SAFE_READ": "refused"})
    dump = result["dumps"]["signal"]
    assert dump.startswith("vandrel: this process may not read its own memory")
    check_tasks(result, dump)


@pytest.mark.needs_gil(KEEPS_THE_GIL)
def test_signal_dump_while_a_thread_keeps_the_gil(tmp_path):
    """3.14 on: the tasks are read without the GIL, from the interpreter's
    per-thread task lists.  Before: one line says why they are missing."""
    result = run_server("stuck", "asyncio", tmp_path)
    dump = result["dumps"]["signal"]
    assert "holding the GIL" in dump and "in hold_the_gil" in dump
    # The agent's helper, waiting for the GIL with a thread state of its
    # own, is not one of the program's threads.
    assert "<no Python frame>" not in dump
    if TASK_LISTS:
        check_tasks(result, dump)
        assert UNLOCKED_HEADER.search(dump), dump
        assert "vandrel:" not in dump
        return
    assert SECTION_HEADER not in dump
    assert dump.rstrip("\n").splitlines()[-1] == (
        "vandrel: asyncio tasks not shown: the GIL was not released within 0.5 s "
        "(they can only be read with it)")


def task_frames(dump):
    """{task name: the lines of its coroutine chain} of every task section
    of `dump`, the tree's drawing left out."""
    frames, current = {}, None
    for line in dump.splitlines():
        match = TASK_LINE.match(line)
        if match is not None:
            current = match["name"]
            frames[current] = []
        elif current is not None and line.startswith((" ", "\u2502")) and line.strip(" \u2502"):
            frames[current].append(line.strip(" \u2502"))
        else:
            current = None
    return frames


@pytest.mark.skipif(not TASK_LISTS, reason="task lists readable without the GIL came in 3.14")
def test_timer_dump_reads_a_loop_threads_tasks_without_the_gil(tmp_path):
    lone = 150
    out = tmp_path / "dump.txt"
    done = run_python(["-c", child_program("unlocked_tasks", OUT=str(out), LONE=lone, HOLD=1.5,
                                           MAX_FRAMES=2)], timeout=60)
    assert done.returncode == 0, done.stderr
    result = json.loads(done.stdout)
    dump, with_gil, names = result["dump"], result["with_gil"], result["names"]
    # The holder's name may not be known yet: it started just before.
    assert ", holding the GIL (most recent call first):" in dump, dump
    assert "vandrel:" not in dump, dump
    header = UNLOCKED_HEADER.search(dump)
    assert header is not None, dump
    # Every pending task counted; the deepest chains shown first, as many
    # tasks as with the GIL, the rest counted.
    assert int(header["pending"]) == len(names) == lone + 14, dump
    tree, gil_tree = task_tree(dump), task_tree(with_gil)
    assert len(tree) == len(gil_tree) == vandrel._tasks.MAX_TASKS_SHOWN, dump
    assert set(tree) <= set(names), dump
    assert (f"\n... {len(names) - len(tree)} more tasks in shallower chains not shown\n"
            in dump), dump
    # The tasks in await chains (all but the lone sleepers): each below the
    # same awaiter as with the GIL, with the same coroutine chain (names,
    # files and lines, outermost first, at most max_frames of them).
    chained = {name for name in gil_tree if not name.startswith("lone-")}
    assert {"gather-leaf-1", "group-nested", "timed-leaf", "shared"} <= chained
    # Awaited by two (a set of awaiters): below either.
    assert tree["shared"] in ("waiter-1", "waiter-2"), dump
    assert any(re.fullmatch(r"Task-\d+", name) for name in chained), with_gil
    assert {name: tree.get(name, "missing") for name in chained - {"shared"}} == {
        name: gil_tree[name] for name in chained - {"shared"}}, dump
    # Deepest chains first: the chained tasks before the lone ones, and
    # below the root the group (three levels) before gather and wait_for.
    order = list(tree)
    assert all(name in chained for name in order[:len(chained)]), dump
    assert order.index("grouped") < min(order.index("gathered"), order.index("timed")), dump
    frames, gil_frames = task_frames(dump), task_frames(with_gil)
    for name in tree:
        assert frames[name] == gil_frames.get(name, frames[name]), (name, dump)
        assert frames[name], (name, dump)
    assert re.fullmatch(r"group_member <string>:\d+", frames["group-member"][0]), dump
    assert re.fullmatch(r"sleep \S+tasks\.py:\d+", frames["timed-leaf"][-1]), dump
    # grouped, TaskGroup.__aexit__, TaskGroup._aexit: one past the bound.
    assert re.fullmatch(r"TaskGroup\.__aexit__ \S+:\d+", frames["grouped"][1]), dump
    assert frames["grouped"][2:] == ["... 1 more frames"], dump


@pytest.mark.needs_gil(READS_EVERY_LOOP)
@pytest.mark.parametrize("queued", [False, pytest.param(True, marks=pytest.mark.skipif(
    SANITIZED, reason="LeakSanitizer reports one float, made by an os.stat() during the "
    "program's first imports, as leaked at exit when both dumps are left to the main "
    "thread; not yet triaged"))], ids=["asked-by-the-agent", "left-to-main"])
def test_signal_and_timer_dumps_bound_each_task_by_their_own_max_frames(queued, tmp_path):
    """The agent's dumps ask the package for the tasks with the GIL, each
    with its own max_frames, applied as format_stacks() does: from the
    agent's thread, or (where the process may not read itself) as calls
    left to the main thread, two of them waiting there at once."""
    depth = 5
    done = run_python(["-c", child_program(
        "task_frames", SIGNAL_OUT=str(tmp_path / "signal.txt"),
        TIMER_OUT=str(tmp_path / "timer.txt"), DEPTH=depth, SIGNAL_FRAMES=2,
        TIMER_FRAMES=3, QUEUED=queued)], env={"VANDREL_SAFE_READ": "refused"} if queued else None,
        timeout=60)
    assert done.returncode == 0, done.stderr
    result = json.loads(done.stdout)
    api = {int(frames): task_frames(dump)["deep"] for frames, dump in result["api"].items()}
    # nest() DEPTH times, then asyncio.sleep: within the default bound.
    assert len(api[0]) == depth + 1, result["api"]
    for name, frames in ("signal", 2), ("timer", 3):
        dump = result[name]
        assert dump.count(SECTION_HEADER) == 1, (name, dump)
        assert "vandrel: asyncio tasks not shown" not in dump, (name, dump)
        # Read with the GIL, not from the interpreter's task lists.
        assert not UNLOCKED_HEADER.search(dump), (name, dump)
        shown = task_frames(dump)["deep"]
        assert shown == api[frames], (name, dump)
        assert shown == api[0][:frames] + [f"... {depth + 1 - frames} more frames"], (name, dump)


async def _waiting_pair():
    inner = asyncio.ensure_future(asyncio.sleep(60))
    outer = asyncio.ensure_future(asyncio.gather(inner))
    await asyncio.sleep(0)
    return inner, outer


@in_process
def test_a_failing_task_formatter_keeps_the_thread_dump(monkeypatch):
    def broken(*args, **kwargs):
        raise RuntimeError("no tasks today")

    async def main():
        inner, outer = await _waiting_pair()
        try:
            monkeypatch.setattr(vandrel._tasks, "_loop_section", broken)
            broken_dump = vandrel.format_stacks()
            monkeypatch.undo()
            monkeypatch.setattr(vandrel._tasks, "thread_sections", broken)
            failed_dump = vandrel.format_stacks()
        finally:
            outer.cancel()
            await asyncio.gather(outer, return_exceptions=True)
        return broken_dump, failed_dump

    broken_dump, failed_dump = asyncio.run(main())
    for dump in broken_dump, failed_dump:
        assert dump.startswith("Current thread ")
        assert "in test_a_failing_task_formatter_keeps_the_thread_dump" in dump
    assert ("\nvandrel: this thread's asyncio tasks not shown: RuntimeError: no tasks today\n"
            in broken_dump)
    assert failed_dump.endswith(
        "vandrel: asyncio tasks not shown: RuntimeError: no tasks today\n")


@in_process
def test_tasks_are_bounded_deepest_chains_first():
    async def chain(depth):
        if depth:
            await asyncio.ensure_future(chain(depth - 1))
        else:
            await asyncio.sleep(60)

    async def main():
        deep = asyncio.ensure_future(chain(4), loop=None)
        flat = [asyncio.ensure_future(asyncio.sleep(60)) for _ in range(30)]
        await asyncio.sleep(0.01)
        try:
            return vandrel._tasks.thread_sections(max_tasks=10)
        finally:
            for task in [deep] + flat:
                task.cancel()

    sections = asyncio.run(main())
    assert len(sections) == 1
    text = next(iter(sections.values()))
    tree = task_tree(text)
    assert len(tree) == 10
    # The five tasks of the deep chain first, each below the one awaiting it.
    names = list(tree)
    assert [tree[name] for name in names[:5]] == [None] + names[:4]
    assert text.endswith(f"... {5 + 30 + 1 - 10} more tasks in shallower chains not shown\n")



def run_aiohttp_server(requests, tmp_path):
    pytest.importorskip("aiohttp")
    if hasattr(sys, "gettotalrefcount"):
        # Its compiled dependencies (multidict, yarl, ...) are release
        # builds: a debug interpreter crashes on them, with or without
        # AIOHTTP_NO_EXTENSIONS.
        pytest.skip("aiohttp's compiled dependencies crash a debug interpreter")
    out = str(tmp_path / "dump.txt")
    done = run_python(["-c", child_program("aiohttp_server", REQUESTS=requests, OUT=out)],
                      timeout=120)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


@pytest.mark.needs_gil(READS_EVERY_LOOP)
def test_aiohttp_server_every_task_in_both_dumps(tmp_path):
    # Few enough requests that every pending task is shown.
    result = run_aiohttp_server(16, tmp_path)
    assert len(result["names"]) < vandrel._tasks.MAX_TASKS_SHOWN
    for dump in result["dumps"]["api"], result["dumps"]["signal"]:
        tree = task_tree(dump)
        # Every pending task of that moment, and nothing else.
        assert sorted(tree) == result["names"], dump
        # Each handler's parts below its request's task, whose stack
        # reaches the handler.
        for name, request in result["subtasks"].items():
            assert tree[name] == request, (name, dump)
        assert dump.count(" handle_slow ") == 16, dump
        # On 3.14 on, each task below the task asyncio itself says awaits it.
        if result["graph"] is not None:
            assert result["graph"].keys() == tree.keys()
            for name, awaiters in result["graph"].items():
                assert awaiters == ([tree[name]] if tree[name] else []), (name, dump)
    assert "vandrel:" not in result["dumps"]["signal"]


@pytest.mark.slow
def test_aiohttp_server_under_load(tmp_path):
    requests = 200
    result = run_aiohttp_server(requests, tmp_path)
    for dump in result["dumps"]["api"], result["dumps"]["signal"]:
        tree = task_tree(dump)
        # More pending tasks (the server's connections, the client's
        # requests, the handlers' parts) than the bound: as many shown.
        assert len(result["names"]) > vandrel._tasks.MAX_TASKS_SHOWN and "more tasks" in dump
        shown = {name for name in result["names"] if name in tree}
        assert len(shown) == vandrel._tasks.MAX_TASKS_SHOWN, dump
        # The deepest chains first: every part shown hangs below the request
        # task whose handler awaits it, and that task's stack reaches the
        # handler.
        parts = [name for name in tree if name.startswith("part-")]
        assert parts, dump
        for name in parts:
            assert tree[name] == result["subtasks"][name], (name, dump)
        assert dump.count(" handle_slow ") == len({tree[name] for name in parts})
        if result["graph"] is not None:
            for name in tree:
                assert result["graph"][name] == ([tree[name]] if tree[name] else []), name


@in_process
@pytest.mark.needs_gil(READS_EVERY_LOOP)
def test_each_loop_follows_its_own_thread():
    """Loops running in other threads: each section after its thread's
    stack, found from the thread's own state."""
    import threading

    started, loops, threads = threading.Barrier(3), [], []

    def serve(index):
        async def park():
            asyncio.current_task().set_name(f"parked-{index}")
            started.wait()
            await asyncio.sleep(60)

        loop = asyncio.new_event_loop()
        loops.append(loop)
        try:
            loop.run_until_complete(park())
        except asyncio.CancelledError:
            pass
        finally:
            loop.close()

    for index in (1, 2):
        threads.append(threading.Thread(target=serve, args=(index,), name=f"loop-{index}"))
        threads[-1].start()
    started.wait()
    try:
        dump = vandrel.format_stacks()
    finally:
        for loop in list(loops):
            loop.call_soon_threadsafe(lambda: [t.cancel() for t in asyncio.all_tasks()])
        for thread in threads:
            thread.join(10)
    blocks = dump.split("\n\n")
    for index in (1, 2):
        header = next(i for i, block in enumerate(blocks) if f'"loop-{index}"' in block)
        section = blocks[header + 1]
        assert section.startswith(SECTION_HEADER), dump
        assert task_tree(section) == {f"parked-{index}": None}, dump
