# Run after the scenario prologue (children/scenario_prologue.py) by
# test_stack_dump.py::test_python_called_from_c_shows_no_shim_frames.
import functools

class Parked:
    def __init__(self, ready):
        ready.release()
        release.wait()

class Lazy:
    @property
    def value(self):
        return Parked(self.ready)

def by_key(ready):
    return sorted([1], key=lambda item: (Parked(ready), item)[1])

def by_map(ready):
    return list(map(lambda item: Parked(ready), [1]))

def by_property(ready):
    lazy = Lazy()
    lazy.ready = ready
    return lazy.value

def by_reduce(ready):
    return functools.reduce(lambda a, b: Parked(ready), [1, 2])

def by_exec(ready):
    exec("Parked(ready)", {"Parked": Parked, "ready": ready})

def by_generator(ready):
    return sum(Parked(ready) is None for _ in range(1))

targets = [by_key, by_map, by_property, by_reduce, by_exec, by_generator]
ready = threading.Semaphore(0)
threads = [threading.Thread(target=target, args=(ready,), name=target.__name__)
           for target in targets]
for thread in threads:
    thread.start()
for _ in threads:
    ready.acquire()

def dump_from_callback(item):
    save(truth_and_dump(1, int(sys.argv[2])))
    return item

sorted([1], key=dump_from_callback)
release_all(threads)
