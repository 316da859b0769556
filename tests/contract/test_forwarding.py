"""What reaches the agent, and what comes back: exact forwarding, status
passthrough, and every argument mismatch turning into -1 with no exception
and no agent call.  One fresh interpreter per group, agent loaded first."""
import pytest

from child import check_child

INT64_MAX, INT64_MIN = 2**63 - 1, -2**63
INT32_MAX, INT32_MIN = 2**31 - 1, -2**31

SETUP = """
    import sys, threading
    import lockgauge, threadsnap
    from recorder import Recorder
    rec = Recorder(AGENT)
"""


def run_with_agent(native, body, **kwargs):
    return check_child(f"    AGENT = {native.agent!r}\n" + SETUP + body, load=[native.agent],
                       **kwargs)


def test_init_forwards_extreme_values_and_the_same_object(native):
    done = run_with_agent(native, f"""
    cases = [
        (object(), {INT64_MAX}, {INT64_MIN}, {INT32_MAX}, {INT32_MIN}, 0, -1),
        (None, {INT64_MIN}, {INT64_MAX}, {INT32_MIN}, {INT32_MAX}, -1, 0),
        ("any object", 0, -1, 1, 2, 3, 4),
    ]
    for n, args in enumerate(cases, 1):
        assert lockgauge.init_gil_interceptor(*args) == 0
        assert rec.init_calls == n
        assert rec.init_sink == id(args[0])
        got = (rec.init_sample_period, rec.init_report_period,
               rec.init_fd, rec.init_a, rec.init_b, rec.init_c)
        assert got == args[1:], (got, args)
        rec.assert_called_here()
    """)
    assert done.stderr == ""


def test_dump_forwards_extreme_values_and_returns_zero(native):
    run_with_agent(native, f"""
    for n, (fd, frames) in enumerate([(-1, {INT64_MIN}), ({INT32_MAX}, {INT64_MAX}),
                                      ({INT32_MIN}, 0), (3, 500)], 1):
        assert threadsnap.dump_all_threads_stack(fd, frames) == 0
        assert (rec.dump_calls, rec.dump_fd, rec.dump_max_frames) == (n, fd, frames)
        rec.assert_called_here()
    """)


def test_calls_run_on_the_calling_thread_with_the_gil(native):
    run_with_agent(native, """
    errors = []
    def worker():
        try:
            assert lockgauge.init_gil_interceptor(None, 1, 2, 3, 4, 5, 6) == 0
            rec.assert_called_here()
            assert lockgauge.deinit_gil_interceptor() == 0
            rec.assert_called_here()
            assert threadsnap.dump_all_threads_stack(1, 2) == 0
            rec.assert_called_here()
        except BaseException as exc:
            errors.append(exc)
    thread = threading.Thread(target=worker)
    thread.start()
    thread.join()
    assert not errors, errors
    assert rec.calls() == (1, 1, 1)
    """)


def test_agent_statuses_pass_through_unchanged(native):
    run_with_agent(native, f"""
    for status in (0, -1, -7, 1, {INT32_MAX}, {INT32_MIN}):
        rec.next_init_status = status
        rec.next_deinit_status = status
        assert lockgauge.init_gil_interceptor(None, 1, 2, 3, 4, 5, 6) == status
        assert lockgauge.deinit_gil_interceptor() == status
        assert lockgauge.deinit_gil_interceptor(1, 2, 3) == status
    assert rec.calls() == (6, 12, 0)
    """)


def test_deinit_ignores_positional_arguments(native):
    run_with_agent(native, """
    rec.next_deinit_status = 4
    for args in [(), (1, 2, 3), (None,), ("x", object(), 2**100)]:
        assert lockgauge.deinit_gil_interceptor(*args) == 4
    assert rec.deinit_calls == 4
    """)


INIT_MISMATCHES = f"""[
    (), (None,), (None, 1, 2, 3, 4, 5), (None, 1, 2, 3, 4, 5, 6, 7),
    (None, "1", 2, 3, 4, 5, 6), (None, 1, 2.0, 3, 4, 5, 6), (None, 1, 2, 3, 4, 5, None),
    (None, {INT64_MAX + 1}, 2, 3, 4, 5, 6), (None, 1, {INT64_MIN - 1}, 3, 4, 5, 6),
    (None, 1, 2, {INT32_MAX + 1}, 4, 5, 6), (None, 1, 2, 3, {INT32_MIN - 1}, 5, 6),
    (None, 1, 2, 3, 4, 5, {INT32_MAX + 1}), (None, 1, 2, 3, 4, b"5", 6),
    (None, 1, 2, 3, 4, 5, Raising()), (None, Raising(), 2, 3, 4, 5, 6),
    (None, 1, 2, 3, 4, 5, NotAnInt()),
]"""

DUMP_MISMATCHES = f"""[
    (), (1,), (1, 2, 3), (1.0, 2), (1, 2.0), ({INT32_MAX + 1}, 2), ({INT32_MIN - 1}, 2),
    (1, {INT64_MAX + 1}), (1, {INT64_MIN - 1}), ("1", 2), (1, None), (None, 2),
    (Raising(), 2), (1, Raising()), (NotAnInt(), 2),
]"""

ODD_INTS = """
class Raising:
    def __index__(self):
        raise RuntimeError("index refused")
class NotAnInt:
    def __index__(self):
        return "not an int"
"""


def test_argument_mismatches_return_minus_one_without_calling_the_agent(native):
    run_with_agent(native, f"""
    {ODD_INTS.replace(chr(10), chr(10) + '    ')}
    rec.next_init_status = 5
    for args in {" ".join(INIT_MISMATCHES.split())}:
        assert lockgauge.init_gil_interceptor(*args) == -1, args
        assert sys.exc_info() == (None, None, None)
    for args in {" ".join(DUMP_MISMATCHES.split())}:
        assert threadsnap.dump_all_threads_stack(*args) == -1, args
    assert rec.calls() == (0, 0, 0), rec.calls()
    # The module is still usable afterwards.
    assert lockgauge.init_gil_interceptor(None, 1, 2, 3, 4, 5, 6) == 5
    assert threadsnap.dump_all_threads_stack(1, 2) == 0
    """)


def test_keyword_arguments_are_refused_by_the_host(native):
    run_with_agent(native, """
    calls = [
        lambda: lockgauge.init_gil_interceptor(None, 1, 2, 3, 4, 5, c=6),
        lambda: lockgauge.init_gil_interceptor(None, 1, 2, 3, 4, 5, 6, extra=1),
        lambda: lockgauge.deinit_gil_interceptor(force=True),
        lambda: threadsnap.dump_all_threads_stack(1, max_frames=2),
    ]
    for call in calls:
        try:
            call()
        except TypeError as exc:
            assert "keyword arguments" in str(exc), exc
        else:
            raise AssertionError("keywords accepted")
    assert rec.calls() == (0, 0, 0), rec.calls()
    """)


@pytest.mark.parametrize("with_agent", [True, False])
def test_no_argument_tuple_leaks_a_reference(native, with_agent):
    """Heap objects passed in any position, parsed or refused, keep their
    reference counts; a seeded random sweep covers odd shapes."""
    body = f"""
    import random, sys
    from recorder import Recorder
    import lockgauge, threadsnap
    {ODD_INTS.replace(chr(10), chr(10) + '    ')}
    heap = [object(), [1, 2], 2**70, -2**70, "text" * 3, b"bytes", 1.5, Raising(), NotAnInt(),
            {2**40}, (1, 2)]
    pool = heap + [None, 0, -1, {INT32_MAX}, {INT32_MIN}, {INT64_MAX}, {INT64_MIN}, True]
    allowed = {{-1, 0}}
    before = [sys.getrefcount(obj) for obj in heap]
    rng = random.Random(1234)
    for _ in range(20000):
        args = tuple(rng.choice(pool) for _ in range(rng.randrange(10)))
        for func in (lockgauge.init_gil_interceptor, lockgauge.deinit_gil_interceptor,
                     threadsnap.dump_all_threads_stack):
            assert func(*args) in allowed, (func, args)
            assert sys.exc_info() == (None, None, None)
    for obj in heap:
        lockgauge.init_gil_interceptor(obj, 1, 2, 3, 4, 5, 6)
    del args, obj
    after = [sys.getrefcount(obj) for obj in heap]
    assert before == after, list(zip(heap, before, after))
    """
    run = check_child if not with_agent else (
        lambda code: check_child(code, load=[native.agent]))
    run(body)
