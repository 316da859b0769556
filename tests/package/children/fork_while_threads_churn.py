# Run by test_gil_monitor.py::
# test_fork_while_threads_come_and_go_never_hangs_the_child; FORKS is set
# before it.
import os, threading, warnings, vandrel
from forks import reap_or_kill
warnings.simplefilter("ignore", DeprecationWarning)   # fork with the agent's thread
monitor = vandrel.GilMonitor(0.001).start()
stop = False
def churn():
    while not stop:
        thread = threading.Thread(target=lambda: None)
        thread.start()
        thread.join()
churners = [threading.Thread(target=churn) for _ in range(2)]
for thread in churners:
    thread.start()
hung = 0
for _ in range(FORKS):
    pid = os.fork()
    if pid == 0:
        os._exit(0)
    hung += reap_or_kill(pid, 3, 0.001)
stop = True
for thread in churners:
    thread.join()
print("hung", hung, monitor.stop().final)
