# Run after the agent's prelude (children/prelude.py) by test_gil_scale.py::
# test_seventy_thousand_threads_stay_counted_and_reports_stay_small.
import collections

class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]
libc = ctypes.CDLL(None)
libc.mallinfo2.restype = MallInfo2

def memory_in_use():
    # malloc()'s bytes handed out and not given back (thread stacks and
    # pymalloc's arenas are mmap()-ed apart), and the interpreter's blocks.
    info = libc.mallinfo2()
    return {"heap": info.uordblks + info.hblkhd, "blocks": sys.getallocatedblocks()}

# Until 65,000 threads only the latest report is kept and the text reports
# are read and dropped: the memory measured is the interceptor's, not that
# of our own buffers filling up.
reports = collections.deque(maxlen=1)
keep_text = False
def sink(report):
    reports.append((time.monotonic(), report))

r, w = os.pipe()
os.set_blocking(r, False)
text = bytearray()
def drain():
    while True:
        try:
            chunk = os.read(r, 1 << 16)
        except BlockingIOError:
            return
        if not chunk:
            return
        if keep_text:
            text.extend(chunk)
            del text[:-(1 << 20)]

assert interceptor_on(lockgauge, sink=sink, period_ms=20, report_fd=w, capacity=65536) == 0
started = 0
memory = {}
while started < 70000:
    batch = [threading.Thread(target=lambda: None) for _ in range(100)]
    for t in batch:
        t.start()
    for t in batch:
        t.join()
    started += len(batch)
    drain()
    if started in (35000, 65000):
        memory[started] = memory_in_use()
    if started == 65000:
        # From here on all are kept: the figures late in the run.
        reports = collections.deque(reports, maxlen=400)
        keep_text = True

stop = threading.Event()
spinning = spinners(stop, name="spinner")
time.sleep(0.3)
drain()
mark = time.monotonic()
time.sleep(2.0)
drain()
assert lockgauge.deinit_gil_interceptor() == 0
finish(stop, spinning)
os.close(w)
os.set_blocking(r, True)
while chunk := os.read(r, 1 << 16):
    text.extend(chunk)
before = [rep for at, rep in reports if at <= mark][-1]
final = reports[-1][1]
final.pop("timeline")  # bytes: not for JSON
# The agent's own thread holds the GIL only to build a report (its sink
# only appends): its held time per report, late in the run, bounds a
# report's build time.
late = [rep for at, rep in reports if at > mark - 1.0 and not rep["final"]]
def agent_row(rep):
    return [t for t in rep["threads"].values() if t["name"] == "vandrel-agent"][0]
held_per_report = (agent_row(late[-1])["held_s"] - agent_row(late[0])["held_s"]) / (len(late) - 1)
texts = text.decode("utf-8", "replace").split("GIL report (")[1:]
emit({"before": before, "final": final, "ids": [t.native_id for t in spinning],
      "memory": memory, "held_per_report": held_per_report, "late_reports": len(late),
      "text_sizes": [len(("GIL report (" + t).encode()) for t in texts[-20:]],
      "last_text": "GIL report (" + texts[-1]})
