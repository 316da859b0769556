# Run after the scenario prologue (children/scenario_prologue.py) by
# test_stack_dump.py::test_finished_threads_are_gone_and_unnamed_threads_are_shown.
import _thread
finished = []
def short_lived():
    finished.append(threading.get_native_id())
done = [threading.Thread(target=short_lived, name=f"done-{i}") for i in range(20)]
for thread in done:
    thread.start()
for thread in done:
    thread.join()

# A thread started below the threading module has no Thread object and
# so no name; it must still be dumped with its native id.
raw_started = threading.Semaphore(0)
raw = {}
def raw_thread():
    raw["id"] = threading.get_native_id()
    raw_started.release()
    release.wait()
_thread.start_new_thread(raw_thread, ())
raw_started.acquire()
threads = start_parked([("parked", 2)])
truth = truth_and_dump(1, 0)
truth["finished"] = finished
truth["raw"] = raw["id"]
save(truth)
release_all(threads)
