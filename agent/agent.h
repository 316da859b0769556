/* Internal interface between the reference agent's entry points and the
 * units that do the work.  Nothing here is exported from the library.
 *
 * The agent's rooms:
 *
 *   vandrel_agent.cpp  the exported entry points (the modules' three, and
 *                      the package's, prefixed vandrel_);
 *   import_slots.*     finding and rewriting an object's import slots
 *                      (GOT entries), how the GIL hooks get in;
 *   fork_gate.*        the agent's threads started, and their work without
 *                      the GIL kept out of fork()'s way;
 *   cpython/           everything that knows CPython's versions and
 *                      internals: the version gate and the features asked
 *                      of it (version.h), the interpreter's functions
 *                      (python_api.*, with the owned-reference guard), the
 *                      frame reader and the published-layout check
 *                      (frame_reader.*), reading str objects in place
 *                      (str_view.h), the runtime's head lock (head_lock.*),
 *                      the GIL's place and drop request (gil_place.*),
 *                      each thread's running asyncio loop
 *                      (running_loop.*), and the internal headers for the
 *                      units that read the runtime's state (core.h);
 *   dump/              dump_threads: the thread snapshots, the frame walks,
 *                      the line cache (unit map in dump/dump.h);
 *   gil/               the GIL interceptor: session, hooks, records,
 *                      reports (unit map in gil/internal.h);
 *   text/              the one UTF-8 encoder and escape rule (utf8.h), the
 *                      growable text buffer (buffer.*), and the dump's
 *                      output to a file descriptor built on it (fd_output.*).
 *
 * Units include each other from this folder: "cpython/python_api.h". */
#ifndef VANDREL_AGENT_H
#define VANDREL_AGENT_H

#include <stdint.h>

/* Statuses returned by the interceptor entry points.  -1 is never used:
 * the Python modules return -1 for "missing entry point or bad arguments". */
enum vandrel_status : int32_t {
    VANDREL_OK = 0,
    /* No interceptor for this agent build or interpreter: not CPython 3.10
     * to 3.15 with a GIL, not the main interpreter, finalizing, or the
     * interpreter's calls to pthread_mutex_lock/unlock go through no
     * import slot we can rewrite. */
    VANDREL_NOT_AVAILABLE = -2,
    VANDREL_BAD_PARAMETER = -3, /* a parameter is out of its documented range */
    VANDREL_ALREADY_ON = -4,    /* init while a session is on (or starting/stopping) */
    VANDREL_NOT_ON = -5,        /* deinit while no session is on */
    VANDREL_SYSTEM_ERROR = -6,  /* mprotect, memory or thread creation failed */
    VANDREL_NO_GIL = -7,        /* called without holding the GIL */
};

namespace vandrel {

/* Write every Python thread's stack of the calling interpreter to fd. */
void dump_threads(int32_t fd, int64_t max_frames);

int32_t gil_interceptor_start(void *sink, int64_t sample_period_us, int64_t report_period_ms,
                              int32_t report_fd, int32_t a, int32_t b, int32_t c);
int32_t gil_interceptor_stop();
/* vandrel_trace_stream and vandrel_gil_trace: the session's timeline
 * streamed to a file.  The resolution: holds and waits shorter than it
 * count in the counters and merged spans only (0 ns to 1 s). */
const int64_t gil_trace_default_resolution_ns = 5LL * 1000 * 1000;
const int64_t gil_trace_max_resolution_ns = 1000LL * 1000 * 1000;
int32_t gil_trace_stream(const char *path, int64_t max_transitions_per_file,
                         int64_t resolution_ns);
/* vandrel_trace_loop_block: an event-loop block into the streamed trace. */
int32_t gil_trace_loop_block(const char *loop, const char *place, const char *task,
                             int64_t start_ns, int64_t end_ns);
/* vandrel_exit_signals: SIGTERM and SIGHUP write the outputs first. */
int32_t gil_exit_signals(const char *report_name);
/* vandrel_final_text_only: periodic reports go to the sink only. */
int32_t gil_final_text_only();
/* vandrel_gil_profile: sample the GIL holder's stack, charge long waits. */
int32_t gil_profile(int64_t period_ns, int64_t wait_threshold_ns);

/* True when the interceptor is on and the thread with this native id is
 * queued for the GIL right now.  Used by the stack dump to mark waiters. */
bool gil_thread_waiting(unsigned long native_thread_id);

}  // namespace vandrel

#endif /* VANDREL_AGENT_H */
