# Run by test_endings.py::test_final_text_to_a_pipe_is_bounded with READER
# set before it: "stalled" (a full pipe nobody reads) or "gone" (its read
# end closed, SIGPIPE back at its default action).
import os, signal, time, vandrel

r, w = os.pipe()
if READER == "stalled":
    os.set_blocking(w, False)
    try:
        while True:
            os.write(w, b"x" * 4096)
    except BlockingIOError:
        pass
    os.set_blocking(w, True)
else:
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    os.close(r)
monitor = vandrel.GilMonitor(report_file=w)
monitor.start()
time.sleep(0.05)
report = monitor.stop()
print("stopped", report.final)
