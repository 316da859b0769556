# Run after the agent's prelude (children/prelude.py) by test_gil_insight.py::
# test_format_text_is_the_agents_text_to_the_byte, after LONG_HOLDER.
reports = []
# A file never makes the agent drop a text, as a pipe read late would.
w = os.open("report.txt", os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
def sink(report):
    reports.append(report)
names = ["holder", "tab	here", "back\slash", "a-very-long-thread-name-that-is-cut-0001",
         "ünïcode-名前"]
threads = [threading.Thread(target=holder, name=names[0])] + [
    threading.Thread(target=spinner, name=n) for n in names[1:]]
assert interceptor_on(lockgauge, sink=sink, period_ms=200, report_fd=w) == 0
# The short-lived threads (counted in their group's row) first: beside the
# spinners each start and join would queue for the GIL.
for i in range(150):
    t = threading.Thread(target=lambda: None, name=f"short-{i}")
    t.start()
    t.join()
for t in threads:
    t.start()
time.sleep(1.2)
finish(stop, threads)
assert lockgauge.deinit_gil_interceptor() == 0
os.close(w)
with open("report.txt", "rb") as f:
    chunks = [f.read()]
for report in reports:
    report.pop("timeline", None)
emit({"reports": reports, "text": b"".join(chunks).decode("utf-8")})
