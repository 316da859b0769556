"""Property-based fuzzing of the module functions, run inside a child
interpreter whose recording stand-in agent (or none) was loaded before the
modules were imported; test_fuzz.py starts it.

Each generated argument tuple is checked against an oracle of the host's
argument parser: the result is exactly the agent's status (0 for the dump)
when the tuple parses and -1 otherwise, the agent is called once with the
exact values or not at all, no exception is left behind, and no argument's
reference count moves."""
import ctypes
import gc
import operator
import sys
import warnings

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

INT32 = (-2**31, 2**31 - 1)
INT64 = (-2**63, 2**63 - 1)
EDGES = (0, 1, -1, *INT32, *INT64, 2**31, 2**32 - 1, 2**32, 2**64 - 1, 2**64, -2**64,
         2**100, -2**100)


class IndexRaises:
    """__index__ raises; the parser must swallow it."""

    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error("index refused")

    def __repr__(self):
        return f"IndexRaises({self.error.__name__})"


class IndexReturns:
    """__index__ hands back whatever it was given: an int (valid), or a str,
    float, None or bool (an int subclass, deprecated there)."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"IndexReturns({self.value!r})"


class IntSubclass(int):
    pass


edge_ints = st.builds(operator.add, st.sampled_from(EDGES), st.integers(-3, 3))
ints = st.one_of(edge_ints, st.integers(), st.booleans(), st.builds(IntSubclass, edge_ints))
odd_index = st.one_of(
    st.builds(IndexRaises, st.sampled_from([RuntimeError, ValueError, OverflowError, TypeError,
                                            MemoryError, ZeroDivisionError])),
    st.builds(IndexReturns, st.one_of(edge_ints, st.text(max_size=3), st.floats(),
                                      st.none(), st.booleans())),
)
anything = st.one_of(
    ints, odd_index, st.floats(), st.text(max_size=8), st.binary(max_size=8), st.none(),
    st.builds(object), st.lists(st.integers(), max_size=3), st.tuples(st.integers()),
    st.complex_numbers(allow_nan=False, allow_infinity=False),
)


def in_range(bounds):
    """Integers the parser accepts for bounds, crowded at its edges, also as
    an int subclass and through __index__."""
    lo, hi = bounds
    near_edges = st.builds(lambda edge, delta: min(max(edge + delta, lo), hi),
                           st.sampled_from(EDGES), st.integers(-3, 3))
    plain = st.one_of(near_edges, st.integers(lo, hi))
    return st.one_of(plain, plain, st.booleans(), st.builds(IntSubclass, plain),
                     st.builds(IndexReturns, plain))


def replace_one(values, index, bad):
    """values with the item at index replaced by bad."""
    values = list(values)
    values[index % len(values)] = bad
    return tuple(values)


# Around each valid shape: valid tuples, valid ones with one position
# spoilt, the right length drawn from anything, and any length.
any_arity = st.lists(anything, max_size=10).map(tuple)
init_args = st.one_of(
    st.tuples(anything, in_range(INT64), in_range(INT64), *[in_range(INT32)] * 4),
    st.builds(replace_one, st.tuples(anything, in_range(INT64), in_range(INT64),
                                     *[in_range(INT32)] * 4),
              st.integers(1, 6), st.one_of(edge_ints, odd_index, anything)),
    st.tuples(anything, *[st.one_of(ints, odd_index, anything)] * 6),
    any_arity,
)
dump_args = st.one_of(
    st.tuples(in_range(INT32), in_range(INT64)),
    st.builds(replace_one, st.tuples(in_range(INT32), in_range(INT64)),
              st.integers(0, 1), st.one_of(edge_ints, odd_index, anything)),
    st.tuples(*[st.one_of(ints, odd_index, anything)] * 2),
    any_arity,
)
statuses = st.one_of(st.sampled_from([0, -1, 1, -2, *INT32]), st.integers(*INT32))


def as_int(obj, bounds):
    """What the parser's "L"/"i" makes of obj: the int, or None on failure."""
    try:
        value = operator.index(obj)
    except BaseException:  # noqa: BLE001 - the parser swallows everything too
        return None
    return int(value) if bounds[0] <= value <= bounds[1] else None


def parse_init(args):
    if len(args) != 7:
        return None
    values = [as_int(args[1], INT64), as_int(args[2], INT64),
              *(as_int(arg, INT32) for arg in args[3:])]
    return None if None in values else [args[0], *values]


def parse_dump(args):
    if len(args) != 2:
        return None
    values = [as_int(args[0], INT32), as_int(args[1], INT64)]
    return None if None in values else values


_py_err_occurred = ctypes.pythonapi.PyErr_Occurred
_py_err_occurred.restype = ctypes.c_void_p


def shared_singleton(obj):
    """True for the interpreter's shared cached objects, whose counts any
    code anywhere moves, before 3.12 made them immortal (constant counts)."""
    if sys.version_info >= (3, 12):
        return False
    if obj is None or type(obj) is bool:
        return True
    if type(obj) is int:
        return -5 <= obj <= 256
    return type(obj) in (str, bytes, tuple) and len(obj) <= 1


def checked_call(func, args):
    """Call func(*args) and check that nothing is left pending and that no
    argument's reference count moves.  The cyclic collector is off for the
    call: run by the call's own allocations it could free garbage that held
    references to an argument (hypothesis shares constants such as floats
    between its caches), which would look like a drop.  Before 3.12 small
    ints are not immortal and the result may be one of the arguments, so it
    is let go before counting."""
    counted = [arg for arg in args if not shared_singleton(arg)]
    gc.disable()
    try:
        before = [sys.getrefcount(arg) for arg in counted]
        result = func(*args)
        result_type, value = type(result), repr(result)
        del result
        after = [sys.getrefcount(arg) for arg in counted]
    finally:
        gc.enable()
    assert before == after, ("reference counts moved", counted, before, after)
    assert sys.exc_info() == (None, None, None), sys.exc_info()
    assert _py_err_occurred() is None, "exception pending after the call"
    assert result_type is int, result_type
    return int(value)


def main(function, examples, agent_path):
    import lockgauge
    import threadsnap

    rec = None
    if agent_path is not None:
        from recorder import Recorder
        rec = Recorder(agent_path)
    counts = {"calls": 0, "valid": 0}
    fuzz_settings = settings(max_examples=examples, derandomize=True, database=None,
                             deadline=None, suppress_health_check=list(HealthCheck),
                             print_blob=True)

    def count(valid):
        counts["calls"] += 1
        counts["valid"] += bool(valid)

    # A bool from __index__ warns (a deprecated int subclass): made an error
    # here, the oracle and the parser see the same outcome.
    def forwarded(function, args, parse, calls_name):
        """Call function with args.  Where the oracle parse() refuses them
        (or no agent is loaded) the result must be -1 and the agent not
        called: return None.  Otherwise the agent must be called once:
        return the parsed values and the result."""
        calls = getattr(rec, calls_name) if rec is not None else None
        expected = None
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            if rec is not None:
                expected = parse(args)
            result = checked_call(function, args)
        count(expected)
        if expected is None:
            assert result == -1, (result, args)
            assert rec is None or getattr(rec, calls_name) == calls, "agent called on bad arguments"
            return None
        assert getattr(rec, calls_name) == calls + 1, (calls_name, args)
        return expected, result

    @fuzz_settings
    @given(args=init_args, status=statuses)
    def fuzz_init(args, status):
        if rec is not None:
            rec.next_init_status = status
        done = forwarded(lockgauge.init_gil_interceptor, args, parse_init, "init_calls")
        if done is None:
            return
        expected, result = done
        assert result == status, (result, status, args)
        got = [rec.init_sink, rec.init_sample_period, rec.init_report_period,
               rec.init_fd, rec.init_a, rec.init_b, rec.init_c]
        assert got == [id(expected[0]), *expected[1:]], (got, args)

    @fuzz_settings
    @given(args=any_arity, status=statuses)
    def fuzz_deinit(args, status):
        if rec is not None:
            rec.next_deinit_status = status
            calls = rec.deinit_calls
        result = checked_call(lockgauge.deinit_gil_interceptor, args)
        count(rec)
        if rec is None:
            assert result == -1, (result, args)
            return
        assert result == status, (result, status, args)
        assert rec.deinit_calls == calls + 1

    @fuzz_settings
    @given(args=dump_args)
    def fuzz_dump(args):
        done = forwarded(threadsnap.dump_all_threads_stack, args, parse_dump, "dump_calls")
        if done is None:
            return
        expected, result = done
        assert result == 0, (result, args)
        assert [rec.dump_fd, rec.dump_max_frames] == expected, args

    {"init": fuzz_init, "deinit": fuzz_deinit, "dump": fuzz_dump}[function]()
    print(f"fuzzed {function}: {counts['calls']} calls, {counts['valid']} forwarded")
