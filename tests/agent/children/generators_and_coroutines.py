# Run after the scenario prologue (children/scenario_prologue.py) by
# test_stack_dump.py::test_generator_and_coroutine_frames.
import asyncio

def generator(ready):
    yield 1
    ready.release()
    release.wait()
    yield 2

def drive_generator(ready):
    for _ in generator(ready):
        pass

async def inner(ready):
    ready.release()
    release.wait()   # blocks the event loop on purpose

async def outer(ready):
    await inner(ready)

def drive_coroutine(ready):
    asyncio.run(outer(ready))

ready = threading.Semaphore(0)
threads = [threading.Thread(target=drive_generator, args=(ready,), name="gen"),
           threading.Thread(target=drive_coroutine, args=(ready,), name="coro")]
for thread in threads:
    thread.start()
ready.acquire()
ready.acquire()
save(truth_and_dump(1, 0))
release_all(threads)
