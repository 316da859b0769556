# Run by test_gil_monitor.py::test_one_session_per_process_names_the_holder
# (child.check_child: the tests' helper modules on the path).
import vandrel
vandrel.load_agent()            # before lockgauge, which looks for it on import
import lockgauge
from interceptor import interceptor_on
def error(call):
    try:
        call()
    except Exception as exc:
        return [type(exc).__name__, str(exc), isinstance(exc, vandrel.GilInterceptorAlreadyOn)]
    return "no error"
first = vandrel.GilMonitor(report_period=0.5)
first.start()
second = vandrel.GilMonitor()
print(error(second.start))
print(error(first.start))
print(first.running, second.running, repr(second))
print(interceptor_on(lockgauge))
first.stop()
# Switched on outside any monitor: the agent's own -4.
print(interceptor_on(lockgauge))
print(error(second.start))
print(lockgauge.deinit_gil_interceptor())
second.start(); second.stop()
print("restarted", first.start() is first, first.stop().final)
