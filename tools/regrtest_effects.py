"""Known effects of any background thread on CPython's regression tests:
the failures tools/regrtest.py lets pass, each with the reproducer that
shows it without the agent."""
import sys

# Known effects of any background thread, not of the agent.  Each entry
# names its tests, says why they fail when a background thread runs, and
# gives a reproducer.  Every one of them also fails with
# tools/regrtest_repro/plain_thread_site on PYTHONPATH (a plain `threading`
# thread, no agent):
#     PYTHONPATH=tools/regrtest_repro/plain_thread_site python -m test MODULE -m TEST
# and the stage checks that each time it lets one pass, so an entry cannot
# hide a failure the agent causes.  `crashes` marks tests that take their
# whole worker process down: they are left out of the agent run (so the rest
# of their module still runs with the agent) and run under the plain thread
# only, where they must still fail.  An effect the plain thread cannot show
# (it is not about threads) has a reproducer script instead, which the stage
# runs.  `since` and `before` bound the CPython versions an entry holds for,
# where the tests or their names differ (seen on 3.13.0 and 3.15.0).
PLAIN_THREAD = "plain_thread_site"
KNOWN_EFFECTS = [
    dict(
        # CPython 3.12+ warns (DeprecationWarning) when a process with more
        # than one thread forks; the test wants a silent child.
        reason="os.fork() warns that the process is multi-threaded",
        reproducer=PLAIN_THREAD, crashes=False,
        tests=["test.test_threading.ThreadTests.test_main_thread_after_fork"]),
    dict(
        # From 3.14 on this test wants a child with nothing on stderr, and
        # its fork in a multi-threaded process warns there.
        reason="os.fork() warns that the process is multi-threaded",
        reproducer=PLAIN_THREAD, crashes=False, since=(3, 14),
        tests=["test.test_threading.ThreadTests.test_native_id_after_fork"]),
    dict(
        # These count or list the threads of a child: active_count() == 1
        # or 2, enumerate() == [main], threading._dangling after fork, or
        # "threading is not imported yet" at startup.
        reason="the test counts the threads (or threading's import) of a process",
        reproducer=PLAIN_THREAD, crashes=False,
        tests=["test.test_threading.ThreadTests.test_dummy_thread_after_fork",
               "test.test_threading.ThreadTests.test_import_from_another_thread",
               "test.test_threading.ThreadTests.test_main_thread_after_fork_from_dummy_thread",
               "test.test_threading.ThreadTests.test_main_thread_after_fork_from_foreign_thread",
               "test.test_threading.ThreadTests.test_main_thread_during_shutdown"]),
    dict(
        # The same, in test_os, a package of its own from 3.15 on.
        reason="the test counts the threads (or threading's import) of a process",
        reproducer=PLAIN_THREAD, crashes=False, before=(3, 15),
        tests=["test.test_os.ForkTests.test_fork_warns_when_non_python_thread_exists"]),
    dict(
        # And 3.15's ForkInThreads asserts active_count() == 2 before it forks.
        reason="the test counts the threads (or threading's import) of a process",
        reproducer=PLAIN_THREAD, crashes=False, since=(3, 15),
        tests=["test.test_os.test_os.ForkTests.test_fork_warns_when_non_python_thread_exists",
               "test.test_multiprocessing_forkserver.test_misc.ForkInThreads.test_fork",
               "test.test_multiprocessing_forkserver.test_misc.ForkInThreads.test_forkpty"]),
    dict(
        # gc.get_count() right after gc.collect() must be below 5; another
        # thread allocating between the two calls raises it (9 to 14 seen,
        # about one run in six, with a plain thread as with the agent).
        reason="gc.get_count() bounds: another thread allocates between the calls",
        reproducer=PLAIN_THREAD, crashes=False, tries=30,
        tests=["test.test_gc.GCTests.test_get_count"]),
    dict(
        # The child's faulthandler output must list exactly the test's own
        # threads; it lists the background thread's state too.
        reason="faulthandler lists one more thread state",
        reproducer=PLAIN_THREAD, crashes=False, before=(3, 15),
        tests=["test.test_faulthandler.FaultHandlerTests." + name for name in [
            "test_dump_traceback_later", "test_dump_traceback_later_fd",
            "test_dump_traceback_later_file", "test_dump_traceback_later_repeat",
            "test_dump_traceback_threads", "test_dump_traceback_threads_file",
            "test_enable_fd", "test_enable_file", "test_fatal_error",
            "test_fatal_error_c_thread", "test_fatal_error_without_gil", "test_gc",
            "test_gil_released", "test_read_null", "test_register_threads",
            "test_sigabrt", "test_sigbus", "test_sigfpe", "test_sigill", "test_sigsegv",
            "test_stack_overflow"]]),
    dict(
        # 3.15's tests of a fatal error accept other threads before the
        # current one, its dumps of every thread do not; and its test
        # without the C stack wants the current thread first.
        reason="faulthandler lists one more thread state",
        reproducer=PLAIN_THREAD, crashes=False, since=(3, 15),
        tests=["test.test_faulthandler.FaultHandlerTests." + name for name in [
            "test_dump_traceback_later", "test_dump_traceback_later_fd",
            "test_dump_traceback_later_file", "test_dump_traceback_later_repeat",
            "test_dump_traceback_threads", "test_dump_traceback_threads_file",
            "test_enable_without_c_stack", "test_register_threads"]]),
    dict(
        # faulthandler's fatal-error report lists the extension modules not
        # from the standard library that the process loaded; 3.15's test
        # wants none, and the agent's process holds lockgauge and threadsnap
        # (as any process holds the extension modules it uses).  Not about
        # threads: the reproducer imports CPython's own example of an
        # outside module, xxlimited, instead.
        reason="faulthandler lists the outside extension modules a process loaded",
        reproducer="faulthandler_outside_extension.py", crashes=False, since=(3, 15),
        tests=["test.test_faulthandler.FaultHandlerTests.test_dump_ext_modules"]),
    dict(
        # The child blocks a signal in its main thread and sends it to its
        # own process; the kernel may hand a process-directed signal to any
        # thread that does not block it, here the background thread, so
        # the handler runs when the test expects it pending.  (The agent's
        # own native thread blocks every signal; a Python thread cannot.)
        # Seen in a third to most of the runs, with a plain thread as with
        # the agent.
        reason="a signal the main thread blocks is delivered to the other thread",
        reproducer=PLAIN_THREAD, crashes=False, tries=10,
        tests=["test.test_signal.PendingSignalsTests.test_pthread_sigmask",
               "test.test_signal.PendingSignalsTests.test_sigpending",
               "test.test_signal.PendingSignalsTests.test_sigtimedwait_poll"]),
    dict(
        # The child lists every descriptor it has open and expects only the
        # ones passed to it; a process running a background worker also
        # holds the worker's own (the agent's wake-up eventfd and the dump's
        # /dev/null; a pipe and /dev/null for the plain thread).
        reason="the test's view of the process's open descriptors",
        reproducer=PLAIN_THREAD, crashes=False,
        tests=["test.test_subprocess.POSIXProcessTestCase.test_pass_fds_redirected"]),
    dict(
        # A subinterpreter with its own GIL but the main interpreter's
        # object allocator, a configuration CPython's test itself calls
        # questionable: while it runs, any main-interpreter thread running
        # Python allocates from the same allocator unlocked, and the
        # process crashes (SIGSEGV).  Both tests create one; the second
        # crashes in about half the runs, with the agent as with a plain thread.
        reason="own GIL with the main allocator (questionable config) races any thread: SIGSEGV",
        reproducer="capi_own_gil_main_obmalloc.py", crashes=True, tries=10,
        tests=["test.test_capi.test_misc.InterpreterConfigTests.test_interp_init",
               "test.test_capi.test_misc.SubinterpreterTest.test_configured_settings"]),
]



def active_effects():
    """Return the KNOWN_EFFECTS entries that hold for this CPython."""
    version = sys.version_info[:2]
    return [e for e in KNOWN_EFFECTS
            if e.get("since", version) <= version and version < e.get("before", (99, 0))]


# The plain thread gets this many tries to show an effect, unless its entry
# says otherwise (the gc counts show about one run in six, the second
# test_capi crash about one in two).
CONTROL_TRIES = 3


def known_effect(name):
    """Return the entry of active_effects() that lists a test id, or None."""
    for entry in active_effects():
        if name in entry["tests"]:
            return entry
    return None


def by_plain_thread(cases):
    """Return the known-effect cases (test id to module) a plain thread
    shows: those not shown by a reproducer script alone, and crashes."""
    return {c: m for c, m in cases.items()
            if known_effect(c)["reproducer"] == PLAIN_THREAD or known_effect(c)["crashes"]}
