/* The reference agent's exported entry points: the three the modules call,
 * and the agent's further features, prefixed vandrel_, which the package
 * calls through ctypes.  The work is done in the other units. */
#include "agent.h"
#include "cpython/python_api.h"
#include "cpython/running_loop.h"
#include "dump/dump.h"

#include <stdlib.h>

#define VANDREL_EXPORT extern "C" __attribute__((visibility("default")))

VANDREL_EXPORT void dump_threads(int32_t fd, int64_t max_frames)
{
    vandrel::dump_threads(fd, max_frames);
}

VANDREL_EXPORT int32_t init_py_gil_interceptor(void *sink, int64_t sample_period_us,
                                               int64_t report_period_ms, int32_t report_fd,
                                               int32_t a, int32_t b, int32_t c)
{
    return vandrel::gil_interceptor_start(sink, sample_period_us, report_period_ms, report_fd,
                                          a, b, c);
}

VANDREL_EXPORT int32_t deinit_py_gil_interceptor(void)
{
    return vandrel::gil_interceptor_stop();
}

/* The CPython version this agent was built for, major * 100 + minor (313
 * for 3.13): an agent loaded into another version answers "not available"
 * to the interceptor's init, and the package then names both versions. */
VANDREL_EXPORT int32_t vandrel_agent_python_version(void)
{
    return vandrel::python_version_built_for();
}

/* ---- Dumps without the GIL (dump/triggers.cpp) ----------------------------
 * Those that set something are called with the GIL held (ctypes.PyDLL). */

/* Dump every thread to fd each time `signum` arrives; with `chain`, the
 * handler installed before runs too.  0, or VANDREL_BAD_PARAMETER,
 * VANDREL_NO_GIL, VANDREL_SYSTEM_ERROR. */
VANDREL_EXPORT int32_t vandrel_dump_on_signal(int32_t signum, int32_t fd, int64_t max_frames,
                                              int32_t chain)
{
    return vandrel::dump::dump_on_signal(signum, fd, max_frames, chain);
}

/* Put back the handler from before; 1 if a dump was set for `signum`. */
VANDREL_EXPORT int32_t vandrel_cancel_dump_on_signal(int32_t signum)
{
    return vandrel::dump::cancel_dump_on_signal(signum);
}

/* Dump after `seconds` (every `seconds` with `repeat`); with `exit`, end
 * the process with status 1 after the dump.  Replaces the one before. */
VANDREL_EXPORT int32_t vandrel_dump_later(double seconds, int32_t repeat, int32_t fd,
                                          int64_t max_frames, int32_t exit)
{
    return vandrel::dump::dump_later(seconds, repeat, fd, max_frames, exit);
}

/* 1 if a timer was armed. */
VANDREL_EXPORT int32_t vandrel_cancel_dump_later(void)
{
    return vandrel::dump::cancel_dump_later();
}

/* Dump every thread to fd on SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT,
 * then let the signal end the process as it would have. */
VANDREL_EXPORT int32_t vandrel_dump_on_crash(int32_t fd)
{
    return vandrel::dump::dump_on_crash(fd);
}

/* Put back the crash handlers from before; 1 if they were set. */
VANDREL_EXPORT int32_t vandrel_cancel_dump_on_crash(void)
{
    return vandrel::dump::cancel_dump_on_crash();
}

/* Find the interpreter and remember the threads' names for the dumps
 * below (GIL held); 0, or VANDREL_NOT_AVAILABLE when its frames cannot be
 * read without the GIL. */
VANDREL_EXPORT int32_t vandrel_prepare_unlocked_dump(void)
{
    return vandrel::dump::prepare_unlocked_dumps();
}

/* The calling thread is named `name` (a str), for the dumps without the
 * GIL (GIL held). */
VANDREL_EXPORT int32_t vandrel_name_this_thread(PyObject *name)
{
    return vandrel::dump::name_this_thread(name);
}

/* Leave the frames of `code` (a code object of the tool's own) out of the
 * dumps (GIL held). */
VANDREL_EXPORT int32_t vandrel_hide_code(PyObject *code)
{
    return vandrel::dump::hide_code_object(code);
}

/* Dump now without the GIL, from the calling thread (GIL held or not);
 * on 3.14 on with each loop's asyncio tasks, read without it too. */
VANDREL_EXPORT int32_t vandrel_dump_unlocked(int32_t fd, int64_t max_frames)
{
    return vandrel::dump::dump_unlocked_now(fd, max_frames);
}

/* The GIL-free reader's cost: mean nanoseconds of `rounds` walks of the
 * thread with threading ident `ident` (-1: not found); *frames gets the
 * frames a walk saw. */
VANDREL_EXPORT int64_t vandrel_time_stack_walk(uint64_t ident, int32_t rounds, int64_t *frames)
{
    return vandrel::dump::time_walk(static_cast<unsigned long>(ident), rounds, frames);
}

/* Stream the GIL interceptor's timeline to `path` as trace-event JSON while
 * the session runs (docs/internals.md).  GIL held, session on with a
 * timeline; max_transitions_per_file 0 for the default (1,000,000); the
 * default resolution (5 ms). */
VANDREL_EXPORT int32_t vandrel_trace_stream(const char *path, int64_t max_transitions_per_file)
{
    return vandrel::gil_trace_stream(path, max_transitions_per_file,
                                     vandrel::gil_trace_default_resolution_ns);
}

/* vandrel_trace_stream with the trace's resolution in ns (0 to 1 s): holds
 * and waits shorter than it count in the counters and merged spans only. */
VANDREL_EXPORT int32_t vandrel_gil_trace(const char *path, int64_t max_transitions_per_file,
                                         int64_t resolution_ns)
{
    return vandrel::gil_trace_stream(path, max_transitions_per_file, resolution_ns);
}

/* An event-loop block from `start_ns` to `end_ns` (CLOCK_MONOTONIC) into
 * the streamed trace, a span named `place` on the track named `loop`,
 * `task` (or null) in its args; written at the writer's next drain.  Any
 * thread.  0, VANDREL_NOT_ON when no trace streams, VANDREL_BAD_PARAMETER. */
VANDREL_EXPORT int32_t vandrel_trace_loop_block(const char *loop, const char *place,
                                                const char *task, int64_t start_ns,
                                                int64_t end_ns)
{
    return vandrel::gil_trace_loop_block(loop, place, task, start_ns, end_ns);
}

/* SIGTERM and SIGHUP, where their action is the default, write the GIL
 * interceptor's final report and close the streamed trace before they end
 * the process (docs/internals.md).  GIL held, session on; `report_name`
 * names report_fd's destination in messages. */
VANDREL_EXPORT int32_t vandrel_exit_signals(const char *report_name)
{
    return vandrel::gil_exit_signals(report_name);
}

/* From now on the running GIL interceptor session writes only its final
 * report's text to report_fd; the sink still gets every periodic report
 * (docs/internals.md).  GIL held, session on: 0, else -5 (-7 without the
 * GIL). */
VANDREL_EXPORT int32_t vandrel_final_text_only(void)
{
    return vandrel::gil_final_text_only();
}

/* ---- The event-loop watcher (dump/loop_watch.cpp) -------------------------
 * Slots 0 to 63, one per watched loop; times in nanoseconds of
 * CLOCK_MONOTONIC. */

/* Start the watcher's thread (GIL held): a heartbeat overdue by more than
 * `threshold_ns` has its loop thread's stack read as that moment comes;
 * the thread sleeps `poll_ns` at most.  0, or VANDREL_BAD_PARAMETER, VANDREL_NO_GIL,
 * VANDREL_ALREADY_ON, VANDREL_NOT_AVAILABLE (frames not readable without
 * the GIL here), VANDREL_SYSTEM_ERROR. */
VANDREL_EXPORT int32_t vandrel_loop_watch_start(int64_t threshold_ns, int64_t poll_ns)
{
    return vandrel::dump::loop_watch_start(threshold_ns, poll_ns);
}

/* Stop and join the thread, forget every slot (call without the GIL: it
 * waits).  0, or VANDREL_NOT_ON. */
VANDREL_EXPORT int32_t vandrel_loop_watch_stop(void)
{
    return vandrel::dump::loop_watch_stop();
}

/* Watch slot `slot`: the loop runs on the thread with threading ident
 * `ident`, its heartbeat is due in `due_in_ns`. */
VANDREL_EXPORT int32_t vandrel_loop_watch_arm(int32_t slot, uint64_t ident, int64_t due_in_ns)
{
    return vandrel::dump::loop_watch_arm(slot, static_cast<unsigned long>(ident), due_in_ns);
}

/* Stop watching slot `slot` (its loop stopped). */
VANDREL_EXPORT int32_t vandrel_loop_watch_disarm(int32_t slot)
{
    return vandrel::dump::loop_watch_disarm(slot);
}

/* The heartbeat of slot `slot` ran: *late_ns gets how late it was; when
 * the watcher caught its loop blocked meanwhile, the stack it read goes
 * to `stack` (lines "file<TAB>line<TAB>function", innermost first, then
 * the line "block<TAB>serial<TAB>start_ns<TAB>end_ns<TAB>due",
 * NUL-terminated when there is room) and the catch's serial number is
 * returned, else 0.  The next heartbeat is due in `next_due_in_ns`. */
VANDREL_EXPORT int64_t vandrel_loop_watch_beat(int32_t slot, int64_t next_due_in_ns,
                                               int64_t *late_ns, char *stack, int64_t capacity)
{
    return vandrel::dump::loop_watch_beat(slot, next_due_in_ns, -1, late_ns, stack, capacity);
}

/* vandrel_loop_watch_beat, told that the heartbeat runs `entry_depth`
 * frames above the outermost (every frame counted): the watcher then
 * looks at that frame of a blocked loop again and again, and a change of
 * it (another callback, back to back) ends one block and begins another.
 * `stack` gets each block in turn: its frame lines, then its line
 * "block<TAB>serial<TAB>start_ns<TAB>end_ns<TAB>due|moved" ("due": it
 * began at the heartbeat's due time; "moved": at the change, a block
 * that lasted longer than the catch threshold).  Returns the last
 * block's serial, else 0. */
VANDREL_EXPORT int64_t vandrel_loop_watch_beat_blocks(int32_t slot, int64_t next_due_in_ns,
                                                      int32_t entry_depth, int64_t *late_ns,
                                                      char *stack, int64_t capacity)
{
    return vandrel::dump::loop_watch_beat(slot, next_due_in_ns, entry_depth, late_ns, stack,
                                          capacity);
}

/* The serial number of the catch in progress on slot `slot` (its loop
 * is blocked now and its stack was read), or 0. */
VANDREL_EXPORT int64_t vandrel_loop_watch_caught(int32_t slot)
{
    return vandrel::dump::loop_watch_caught(slot);
}

/* Wait (without the GIL) until the number of catches differs from `seen`,
 * or `timeout_ms` passed; return the number, or VANDREL_NOT_ON once the
 * watcher stops. */
VANDREL_EXPORT int64_t vandrel_loop_watch_wait(int64_t seen, int32_t timeout_ms)
{
    return vandrel::dump::loop_watch_wait(seen, timeout_ms);
}

/* ---- asyncio tasks in the dumps (dump/task_sections.cpp) -------------------- */

/* A new list of (ident, native_id, loop), one per thread of the calling
 * interpreter that runs an asyncio event loop (cpython/running_loop.cpp);
 * NULL with an exception set on failure.  GIL held (ctypes.PyDLL). */
VANDREL_EXPORT PyObject *vandrel_running_loops(void)
{
    const vandrel::python_api *api = vandrel::python_api_get_for_interceptor();
    if (api == nullptr) {
        return nullptr;
    }
    return vandrel::running_loops(api);
}

/* dump_threads, each thread's stack followed by the text given for its
 * threading ident (`count` pairs; texts UTF-8, NUL-terminated), and
 * `note` (NULL: none) after the last thread.  GIL held. */
VANDREL_EXPORT void vandrel_dump_threads_with_sections(int32_t fd, int64_t max_frames,
                                                       int64_t count, const uint64_t *idents,
                                                       const char *const *texts,
                                                       const char *note)
{
    if (count < 0 || (count > 0 && (idents == nullptr || texts == nullptr))) {
        count = 0;
    }
    unsigned long *copied = nullptr;
    if (count > 0) {
        copied = static_cast<unsigned long *>(calloc(static_cast<size_t>(count),
                                                     sizeof *copied));
        if (copied == nullptr) {
            count = 0;
        }
        for (int64_t i = 0; i < count; i++) {
            copied[i] = static_cast<unsigned long>(idents[i]);
        }
    }
    vandrel::dump::thread_sections sections = {static_cast<size_t>(count), copied, texts,
                                               note};
    vandrel::dump::dump_threads_with_sections(fd, max_frames, &sections);
    free(copied);
}

/* The callable (None: none) that the signal and timer dumps ask, with the
 * GIL, for the asyncio tasks of each thread: called with the dump's
 * max_frames, it returns {ident: text}.
 * 0, VANDREL_BAD_PARAMETER or VANDREL_NO_GIL.  GIL held. */
VANDREL_EXPORT int32_t vandrel_set_task_formatter(PyObject *formatter)
{
    return vandrel::dump::set_task_formatter(formatter);
}

/* A GIL profile for the running session (docs/internals.md): the holder's
 * stack sampled every `period_ns` (1 ms to 1 s), and each wait of
 * `wait_threshold_ns` (0 to 60 s) or more charged to the waiter's stack;
 * the reports carry it as "profile".  GIL held, session on with a sink or
 * a report_fd. */
VANDREL_EXPORT int32_t vandrel_gil_profile(int64_t period_ns, int64_t wait_threshold_ns)
{
    return vandrel::gil_profile(period_ns, wait_threshold_ns);
}
