# Run after the agent's prelude (children/prelude.py) by test_gil_interceptor.py::
# test_two_agents_from_different_paths; GOT_OWNER (the slot-owner helper
# library) is set before it.
import shutil
copies = []
for name in ("one", "two"):
    os.makedirs(name)
    copies.append(ctypes.PyDLL(shutil.copy(AGENT, os.path.join(name, "vandrel_agent.so"))))
for agent in copies:
    agent.init_py_gil_interceptor.restype = ctypes.c_int32
    agent.deinit_py_gil_interceptor.restype = ctypes.c_int32
helper = ctypes.CDLL(GOT_OWNER)
def owners():
    buffer = ctypes.create_string_buffer(4096)
    counts = [helper.slot_owners(symbol, buffer, 4096)
              for symbol in (b"pthread_mutex_lock", b"pthread_mutex_unlock")]
    assert min(counts) > 0, counts
    return sorted(set(name for name in buffer.value.decode().split("\n")
                      if "vandrel_agent" in name))
def on(agent):
    return interceptor_on(agent)
def off(agent):
    return agent.deinit_py_gil_interceptor()
one, two = copies
steps = []
for first, second in ((one, two), (two, one)):
    steps.append([on(first), on(second), len(owners()), off(second), off(first),
                  owners()])
    steps.append([on(first), on(second), len(owners()), off(first), off(second),
                  owners()])
    # One after the other.
    steps.append([on(first), off(first), on(second), len(owners()), off(second),
                  owners()])
emit(steps)
