# Run by test_stack_dump.py::test_invalid_closed_and_broken_fds_are_harmless
# under the launcher, without the scenario prologue.
import os, signal, sys, threading
import threadsnap
signal.signal(signal.SIGPIPE, signal.SIG_DFL)  # a broken pipe must not kill us
stop = threading.Event()
workers = [threading.Thread(target=stop.wait, name=f"w{i}") for i in range(50)]
for w in workers:
    w.start()

closed = os.open(os.devnull, os.O_WRONLY)
os.close(closed)
read_only = os.open(__file__, os.O_RDONLY)
reader, broken = os.pipe()
os.close(reader)
results = []
for fd in (-1, -(2**31), 2**31 - 1, closed, read_only, broken):
    try:
        results.append(threadsnap.dump_all_threads_stack(fd, 0))
    except BaseException as error:  # the call must never raise
        results.append(repr(error))
    assert sys.exc_info() == (None, None, None)
stop.set()
for w in workers:
    w.join()
print(results)
