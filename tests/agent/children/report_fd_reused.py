# Run after the agent's prelude (children/prelude.py) by test_gil_interceptor.py::
# test_report_fd_closed_and_its_number_reused_gets_nothing.
def agent_fds(path):
    found = []
    for name in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{name}") == path:
                found.append(int(name))
        except OSError:
            pass
    return found

def cloexec(fd):
    with open(f"/proc/self/fdinfo/{fd}") as info:
        flags = next(l for l in info if l.startswith("flags:")).split()[1]
    return bool(int(flags, 8) & 0o2000000)

reports_path = os.path.abspath("reports.txt")
data_path = os.path.abspath("data.txt")
fd = os.open(reports_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
assert interceptor_on(lockgauge, period_ms=20, report_fd=fd) == 0
duplicates = [d for d in agent_fds(reports_path) if d != fd]
flags = [cloexec(d) for d in duplicates]
os.close(fd)
data = os.open(data_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
reused = data == fd
time.sleep(0.3)
status = lockgauge.deinit_gil_interceptor()
os.close(data)
emit({"reused": reused, "status": status, "data": open(data_path).read(),
      "reports": open(reports_path).read().count("GIL report ("),
      "final": "GIL report (final)" in open(reports_path).read(),
      "duplicates": len(duplicates), "cloexec": flags,
      "left_open": agent_fds(reports_path)})
