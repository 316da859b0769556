# A small asyncio server over loopback (plain streams) whose handlers
# await through gather, TaskGroup (3.11 on), wait_for, shield and nested
# gathers, with its clients still waiting for their answers; once every
# chain is in place the tasks are dumped.  Settings: MODE ("both": a
# format_stacks(), then a dump on SIGUSR1 (dump_stacks_on_signal) sent
# while the loop waits; "stuck": the signal dump alone, while another
# thread keeps the GIL), LOOP ("asyncio" or "uvloop"), OUT (the signal
# dump's file).  Prints one JSON object: the dumps ("api", "signal"),
# each pending task's name with the
# name of the task that awaits it by construction (None for none), the
# names asyncio.all_tasks() gives at the moment of the dump and, on 3.14
# on, the nearest awaiting task asyncio.capture_call_graph() sees.
import ctypes
import json
import signal
import sys
import threading
import time

import vandrel

# Set before asyncio is imported, as `python -m vandrel run --dump-on`
# does: the agent's dumps must still come to ask for the tasks.
out = open(OUT, "w")
vandrel.dump_stacks_on_signal(signal.SIGUSR1, out)

import asyncio  # noqa: E402

KINDS = ["gather", "wait_for", "shield", "nested"] + (
    ["group"] if sys.version_info >= (3, 11) else [])
# Leaves per kind: the tasks that end every chain.
LEAVES = {"gather": 2, "wait_for": 1, "shield": 1, "nested": 2, "group": 2}

expected = {}
leaves_running = 0


async def leaf():
    global leaves_running
    leaves_running += 1
    if leaves_running == sum(LEAVES[kind] for kind in KINDS):
        all_running.set()
    await release.wait()


def spawn(coro, name, parent):
    task = asyncio.get_running_loop().create_task(coro, name=name)
    expected[name] = parent.get_name()
    return task


async def nested_middle():
    me = asyncio.current_task()
    await asyncio.gather(spawn(leaf(), "nested-leaf-1", me), spawn(leaf(), "nested-leaf-2", me))


async def handle(reader, writer):
    me = asyncio.current_task()
    kind = (await reader.readline()).decode().strip()
    me.set_name(f"handler-{kind}")
    expected[me.get_name()] = None
    if kind == "gather":
        await asyncio.gather(spawn(leaf(), "gather-leaf-1", me), spawn(leaf(), "gather-leaf-2", me))
    elif kind == "wait_for":
        await asyncio.wait_for(spawn(leaf(), "wait_for-leaf", me), 60)
    elif kind == "shield":
        await asyncio.shield(spawn(leaf(), "shield-leaf", me))
    elif kind == "nested":
        await asyncio.gather(spawn(nested_middle(), "nested-middle", me))
    elif kind == "group":
        async with asyncio.TaskGroup() as group:
            for index in (1, 2):
                group.create_task(leaf(), name=f"group-leaf-{index}")
                expected[f"group-leaf-{index}"] = me.get_name()
    writer.write(b"done\n")
    await writer.drain()
    writer.close()


async def client(port, kind):
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    writer.write(kind.encode() + b"\n")
    await writer.drain()
    answer = await reader.readline()
    writer.close()
    return answer


async def clients(port):
    me = asyncio.current_task()
    await asyncio.gather(*(spawn(client(port, kind), f"client-{kind}", me) for kind in KINDS))


def nearest_awaiters(task):
    """capture_call_graph's nearest awaiting tasks (3.14 on)."""
    found, todo = set(), list(asyncio.capture_call_graph(task).awaited_by)
    while todo:
        node = todo.pop()
        if isinstance(node.future, asyncio.Task):
            found.add(node.future.get_name())
        else:
            todo.extend(node.awaited_by)
    return sorted(found)


def snapshot():
    tasks = [task for task in asyncio.all_tasks() if not task.done()]
    graph = None
    if hasattr(asyncio, "capture_call_graph"):
        graph = {task.get_name(): nearest_awaiters(task) for task in tasks}
    return sorted(task.get_name() for task in tasks), graph


def hold_the_gil(main_ident, signum):
    # libc's usleep through PyDLL keeps the GIL for the whole call.
    signal.pthread_kill(main_ident, signum)
    ctypes.PyDLL(None).usleep(700_000)


async def main():
    global release, all_running
    release, all_running = asyncio.Event(), asyncio.Event()
    me = asyncio.current_task()
    me.set_name("main")
    expected["main"] = None
    server = await asyncio.start_server(handle, "127.0.0.1", 0)
    port = server.sockets[0].getsockname()[1]
    batch = spawn(clients(port), "clients", me)
    expected["clients"] = None          # made by main, which does not await it yet
    await all_running.wait()
    await asyncio.sleep(0.05)           # every handler reached its await
    names, graph = snapshot()
    dumps = {}
    if MODE == "both":
        dumps["api"] = vandrel.format_stacks()
    if MODE == "stuck":
        # The holder must not be asked to let go between its signal
        # and its C call.
        sys.setswitchinterval(30)
    target = signal.pthread_kill if MODE == "both" else hold_the_gil
    threading.Thread(target=target,
                     args=(threading.main_thread().ident, signal.SIGUSR1)).start()
    # The dump comes in one write once the handler ran.
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        await asyncio.sleep(0.01)
        with open(OUT) as written:
            dumps["signal"] = written.read()
        if dumps["signal"]:
            break
    release.set()
    await batch
    server.close()
    print(json.dumps({"dumps": dumps, "expected": expected, "names": names, "graph": graph}))


if LOOP == "uvloop":
    import uvloop
    loop = uvloop.new_event_loop()
    asyncio.set_event_loop(loop)
    loop.run_until_complete(main())
else:
    asyncio.run(main())
