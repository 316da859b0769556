# Free-threaded child: THREADS threads spin in pure Python, truly in
# parallel, while the main thread takes DUMPS dumps; each must show every
# spinner with its name and native id.  Settings: THREADS, DUMPS.
import json
import os
import re
import sys
import threading
import time

import vandrel

running = True
spinning = [False] * THREADS


def spin(index):
    # Lowest priority: the spinners still run on every core, and the
    # dumping thread is not starved by fifty of them.
    os.setpriority(os.PRIO_PROCESS, threading.get_native_id(), 19)
    spinning[index] = True
    count = 0
    while running:  # no call: the frame stays put while the dumps read it
        count += 1


threads = [threading.Thread(target=spin, args=(i,), name=f"spin-{i}") for i in range(THREADS)]
for thread in threads:
    thread.start()
while not all(spinning):
    time.sleep(0.005)
header = re.compile(r'^Thread (\d+) "spin-(\d+)" \(most recent call first\):\n'
                    r'  File "[^"]*", line \d+ in spin$', re.MULTILINE)
expected = {t.name.split("-")[1]: str(t.native_id) for t in threads}
try:
    for attempt in range(DUMPS):
        text = vandrel.format_stacks()
        seen = {index: native_id for native_id, index in header.findall(text)}
        if seen != expected or "<unreadable frame>" in text:
            sys.exit(f"dump {attempt}: {len(seen)} of {THREADS} spinners as expected\n{text}")
finally:
    running = False
    for thread in threads:
        thread.join()
print("RESULT " + json.dumps({"dumps": DUMPS, "gil": sys._is_gil_enabled()}))
