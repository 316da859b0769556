"""The asyncio tasks of each thread's event loop, as text for the dumps.

A thread that runs an event loop shows in a stack dump as a thread in
``select``/``epoll``; its tasks are suspended coroutines that no thread
stack holds.  This module lists each loop's pending tasks with their
coroutines' stacks and what each awaits, as a tree in which a task's
awaited tasks hang below it (``gather``, ``TaskGroup``, ``wait_for``,
``shield``, ``asyncio.wait``, a task awaited directly), close to the
``pstree`` of ``python -m asyncio`` in 3.14.

Everything here runs with the GIL held, and never imports asyncio: a
program that has not imported it has no loop to show.  Which loop runs
on which thread comes from the agent (``vandrel_running_loops``: asyncio
keeps that per thread, where only the thread itself can look).
"""
from __future__ import annotations

import functools
import sys
from typing import Any, Dict, Iterable, List, Optional, Set, Tuple

__all__ = ["thread_sections", "MAX_TASKS_SHOWN", "MAX_FRAMES_PER_TASK"]

#: Tasks shown per loop: the deepest await chains first, the rest counted.
MAX_TASKS_SHOWN = 100
#: Coroutine frames shown per task (the outermost ones).
MAX_FRAMES_PER_TASK = 40

# ---- What differs between CPython versions ---------------------------------------
# Everything version-specific of this module is in this block.

# 3.11 on: code objects know their qualified name (Class.method).
_HAS_QUALNAME = sys.version_info >= (3, 11)
# 3.14 on: asyncio records, on each future, the tasks and futures awaiting
# it (what asyncio.capture_call_graph() reads); before, it is inferred
# from the done callbacks (see _FeedIndex).
_HAS_AWAITED_BY = sys.version_info >= (3, 14)


def _code_name(code: Any) -> str:
    return str(code.co_qualname if _HAS_QUALNAME else code.co_name)


def _awaited_by(future: Any) -> Iterable[Any]:
    """The futures and tasks 3.14 on records as awaiting `future`."""
    if not _HAS_AWAITED_BY:
        return ()
    return getattr(future, "_asyncio_awaited_by", None) or ()


def _next_awaitable(awaitable: Any) -> Tuple[Any, Any]:
    """(frame, what it awaits) of a coroutine, generator or async
    generator; frame None once it has finished or for anything else."""
    frame = getattr(awaitable, "cr_frame", None)
    if frame is not None:
        return frame, awaitable.cr_await
    frame = getattr(awaitable, "gi_frame", None)
    if frame is not None:
        return frame, awaitable.gi_yieldfrom
    frame = getattr(awaitable, "ag_frame", None)
    if frame is not None:
        return frame, awaitable.ag_await
    return None, None

# ------------------------------------------------------------------------------------


def _printable(text: str) -> str:
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)


def _coroutine_stack(task: Any, limit: int) -> Tuple[List[str], int]:
    """The frames of a task's coroutine chain, outermost first, as
    ``name file:line``; and how many more were left out past `limit`."""
    lines: List[str] = []
    more = 0
    awaitable = task.get_coro()
    for _ in range(10000):          # a chain is finite; this bounds a cycle
        frame, awaitable = _next_awaitable(awaitable)
        if frame is None:
            break
        if len(lines) < limit:
            code = frame.f_code
            lines.append(f"{_printable(_code_name(code))} "
                         f"{_printable(code.co_filename)}:{frame.f_lineno}")
        else:
            more += 1
    return lines, more


def _held_futures(callback: Any, future_type: type) -> Tuple[List[Any], Any]:
    """The futures a done callback holds (a partial's arguments, a bound
    method's object, a closure's cells), and the TaskGroup whose method it
    is, if any."""
    held: List[Any] = []
    while isinstance(callback, functools.partial):
        held.extend(callback.args)
        held.extend(callback.keywords.values())
        callback = callback.func
    group = None
    owner = getattr(callback, "__self__", None)
    if owner is not None:
        if hasattr(owner, "_parent_task"):
            group = owner
        held.append(owner)
    for cell in getattr(callback, "__closure__", None) or ():
        try:
            held.append(cell.cell_contents)
        except ValueError:          # an empty cell
            pass
    return [item for item in held if isinstance(item, future_type)], group


class _Graph:
    """Who awaits whom among one loop's pending tasks: `parent` (by id)
    the task awaiting each task, `children` the reverse."""

    def __init__(self, tasks: List[Any], future_type: type, task_type: type) -> None:
        self.tasks = tasks
        self.task_type = task_type
        pending = {id(task) for task in tasks}
        self.pending = pending
        # The futures each task's completion feeds (its done callbacks):
        # wait_for's waiter (3.10, 3.11), shield's outer future, gather's,
        # asyncio.wait's.
        self.fed_by: Dict[int, List[Any]] = {}
        parent: Dict[int, Any] = {}
        self.parent = parent
        for task in tasks:
            for entry in getattr(task, "_callbacks", None) or ():
                callback = entry[0] if isinstance(entry, tuple) else entry
                futures, group = _held_futures(callback, future_type)
                if group is not None and id(group._parent_task) in pending:
                    # A TaskGroup's task: the group's owner awaits it.
                    parent.setdefault(id(task), group._parent_task)
                for future in futures:
                    if future is not task:
                        self.fed_by.setdefault(id(future), []).append(task)
        for task in tasks:
            waiter = getattr(task, "_fut_waiter", None)
            if waiter is None:
                continue
            if isinstance(waiter, task_type):
                if id(waiter) in pending and waiter is not task:
                    parent.setdefault(id(waiter), task)
                continue
            if getattr(waiter, "_children", None) is None and id(waiter) not in self.fed_by:
                continue
            for awaited in self._awaited_tasks(waiter):
                if id(awaited) in pending and awaited is not task:
                    parent.setdefault(id(awaited), task)
        if _HAS_AWAITED_BY:
            for task in tasks:
                if id(task) not in parent:
                    awaiter = self._awaiting_task(task)
                    if awaiter is not None:
                        parent[id(task)] = awaiter
        self.children: Dict[int, List[Any]] = {}
        for task in tasks:
            above = parent.get(id(task))
            if above is not None:
                self.children.setdefault(id(above), []).append(task)
        self.height: Dict[int, int] = {}
        self._measure()

    def _awaited_tasks(self, waiter: Any) -> List[Any]:
        """The tasks behind the future a task is blocked on."""
        found: List[Any] = []
        todo = [waiter]
        seen: Set[int] = set()
        while todo and len(seen) < 100000:
            future = todo.pop()
            if id(future) in seen:
                continue
            seen.add(id(future))
            if isinstance(future, self.task_type):
                found.append(future)
                continue
            todo.extend(getattr(future, "_children", None) or ())   # gather
            todo.extend(self.fed_by.get(id(future), ()))
        return found

    def _awaiting_task(self, task: Any) -> Optional[Any]:
        """3.14 on: the nearest pending task recorded as awaiting `task`."""
        todo = list(_awaited_by(task))
        seen: Set[int] = set()
        while todo and len(seen) < 100000:
            awaiter = todo.pop(0)
            if id(awaiter) in seen:
                continue
            seen.add(id(awaiter))
            if id(awaiter) in self.pending:
                return awaiter
            todo.extend(_awaited_by(awaiter))
        return None

    def _measure(self) -> None:
        """Each task's height: its longest chain of awaited tasks, itself
        included.  A task that (oddly) awaits one of its own awaiters is
        unreached from any root: the link that closes such a cycle is cut."""
        for root in self.roots():
            self._measure_from(root)
        if len(self.height) < len(self.tasks):
            for task in self.tasks:
                if id(task) not in self.height:
                    above = self.parent.pop(id(task))
                    self.children[id(above)].remove(task)
                    self._measure_from(task)

    def _measure_from(self, root: Any) -> None:
        height, children = self.height, self.children
        if id(root) not in children:
            height[id(root)] = 1
            return
        stack: List[Tuple[Any, bool]] = [(root, False)]
        while stack:
            task, done = stack.pop()
            below = children.get(id(task))
            if below is None:
                height[id(task)] = 1
            elif done:
                height[id(task)] = 1 + max(height[id(child)] for child in below)
            else:
                stack.append((task, True))
                stack.extend((child, False) for child in below)

    def roots(self) -> List[Any]:
        return [task for task in self.tasks if id(task) not in self.parent]


def _render(graph: _Graph, limit: int, frames: int) -> Tuple[List[str], int]:
    """The tree, deepest chains first, at most `limit` tasks; the lines and
    how many tasks were left out."""
    height = graph.height

    def deepest_first(tasks: Iterable[Any]) -> List[Any]:
        # A stable sort: equal heights keep asyncio's order.
        return sorted(tasks, key=lambda task: -height[id(task)])

    # Lone tasks (nothing awaits them, they await no task) last, unsorted.
    roots = graph.roots()
    lines: List[str] = []
    roots = (deepest_first(root for root in roots if id(root) in graph.children)
             + [root for root in roots if id(root) not in graph.children])
    shown = 0
    # (task, is the last of its siblings, prefix of its line), in the
    # order they are written.
    stack = [(root, index == len(roots) - 1, "") for index, root in
             enumerate(roots[:limit])][::-1]
    if len(roots) > limit:
        stack[0] = (stack[0][0], True, "")
    while stack and shown < limit:
        task, last, prefix = stack.pop()
        shown += 1
        lines.append(f"{prefix}{'└── ' if last else '├── '}(T) {_printable(task.get_name())}")
        below = prefix + ("    " if last else "│   ")
        children = deepest_first(graph.children.get(id(task), ()))
        stack_lines, more = _coroutine_stack(task, frames)
        frame_prefix = below + ("│  " if children else "   ")
        lines.extend(frame_prefix + line for line in stack_lines)
        if more:
            lines.append(f"{frame_prefix}... {more} more frames")
        for index in range(len(children) - 1, -1, -1):
            stack.append((children[index], index == len(children) - 1, below))
    return lines, len(graph.tasks) - shown


def _loop_section(loop: Any, asyncio: Any, limit: int, frames: int) -> str:
    tasks = [task for task in asyncio.all_tasks(loop) if not task.done()]
    if not tasks:
        return ""
    graph = _Graph(tasks, asyncio.Future, asyncio.Task)
    lines, left_out = _render(graph, limit, frames)
    header = (f"Tasks of its event loop ({type(loop).__name__}, {len(tasks)} pending; "
              f"awaited tasks below the task awaiting them, calls outermost first):")
    text = [header] + lines
    if left_out:
        text.append(f"... {left_out} more tasks in shallower chains not shown")
    return "\n" + "\n".join(text) + "\n"


def _loops_by_thread(agent: Optional[Any], asyncio: Any) -> List[Tuple[int, Any]]:
    """(ident, loop) of each thread that runs an event loop."""
    import threading
    loops = []
    if agent is not None:
        loops = [(ident, loop) for ident, _native, loop in agent.vandrel_running_loops()]
    # The calling thread's own loop, which asyncio hands it on any build:
    # for an agent without the export, and for one that reads no thread's
    # loop (a free-threaded build, where another thread's loop may change
    # under the reader, or a version it was not built for).
    ident = threading.get_ident()
    loop = asyncio._get_running_loop()
    if loop is not None and all(seen != ident for seen, _ in loops):
        loops.append((ident, loop))
    return loops


def thread_sections(agent: Optional[Any] = None, *, max_frames: int = 0,
                    max_tasks: int = MAX_TASKS_SHOWN) -> Dict[int, str]:
    """The tasks of each thread's event loop as text, by threading ident:
    what the dumps write after that thread's stack.  `agent` is the
    agent's ctypes.PyDLL with ``vandrel_running_loops`` (None: only the
    calling thread's loop is found).  A loop whose tasks cannot be read
    gets one line saying why.  GIL held."""
    asyncio = sys.modules.get("asyncio")
    if asyncio is None or not hasattr(asyncio, "all_tasks"):
        return {}
    frames = max_frames if max_frames > 0 else MAX_FRAMES_PER_TASK
    sections: Dict[int, str] = {}
    for ident, loop in _loops_by_thread(agent, asyncio):
        try:
            text = _loop_section(loop, asyncio, max_tasks, frames)
        except Exception as error:      # one loop's failure spares the others
            text = (f"\nvandrel: this thread's asyncio tasks not shown: "
                    f"{type(error).__name__}: {_printable(str(error))}\n")
        if text:
            sections[ident] = text
    return sections
