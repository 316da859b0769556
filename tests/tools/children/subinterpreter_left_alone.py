# Run by test_regrtest_site.py::test_subinterpreter_is_left_alone with the
# regression-test stage's sitecustomize on the path.
import sys
check = ("import sys; "
         "assert 'sitecustomize' in sys.modules; "
         "assert 'lockgauge' not in sys.modules and 'vandrel' not in sys.modules")
try:
    import _interpreters
except ImportError:
    # CPython 3.10 to 3.12: legacy and isolated subinterpreters;
    # run_string raises when the code fails.
    import _xxsubinterpreters as interpreters
    for isolated in (False, True):
        interp = interpreters.create(isolated=isolated)
        interpreters.run_string(interp, check)
        interpreters.destroy(interp)
else:
    # The sitecustomize runs there too, and must neither load the
    # modules nor print or raise; "legacy" would let it import them.
    for config in ("isolated", "legacy"):
        interp = _interpreters.create(config)
        failure = _interpreters.run_string(interp, check)
        assert failure is None, (config, failure)
        _interpreters.destroy(interp)
import lockgauge
from interceptor import interceptor_on
print(interceptor_on(lockgauge))
