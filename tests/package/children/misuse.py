# Run by test_gil_monitor.py::test_misuse_raises_and_leaves_the_process_as_it_was
# with the recording stand-in agent at STAND_IN; NEVER (a file that must not
# be made) and MISSING_DIR are set before it.
import os, lockgauge, vandrel
from recorder import Recorder, error
rec = Recorder(STAND_IN)
monitor = vandrel.GilMonitor()
print(error(monitor.report))
print(error(monitor.stop))
for options in (dict(report_period=-1), dict(report_period=float("nan")),
                dict(report_period=2e6), dict(report_period="1"),
                dict(long_hold_threshold=0), dict(long_hold_threshold=-0.5),
                dict(long_hold_threshold=3000.0), dict(timeline=-1),
                dict(timeline=2**31), dict(timeline=1.5), dict(callback=3),
                dict(report_file=-2), dict(report_file=1.5),
                dict(report_file=NEVER, report_period=True)):
    print(error(lambda: vandrel.GilMonitor(**options)))
print(rec.init_calls, os.path.exists(NEVER))
closed = os.dup(1); os.close(closed)
print(error(lambda: vandrel.GilMonitor(report_file=closed)), rec.init_calls)
monitor = vandrel.GilMonitor()
print(error(vandrel.GilMonitor(report_file=MISSING_DIR).start))
print(error(monitor.report))
monitor = vandrel.GilMonitor()
monitor.start()
rec.next_deinit_status = 0
# The stand-in never calls the sink, so no final report comes.
print(error(monitor.stop))
print(error(monitor.stop))
