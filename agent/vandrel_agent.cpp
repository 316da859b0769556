/* The reference agent's exported entry points: the three the modules call,
 * and the agent's own features, prefixed vandrel_, that the package calls
 * through ctypes.  These are the only symbols the library exports; the
 * work is done in the other units. */
#include "agent.h"

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

/* Stream the GIL interceptor's timeline to `path` as trace-event JSON while
 * the session runs (docs/internals.md).  GIL held, session on with a
 * timeline; max_transitions_per_file 0 for the default (1,000,000). */
VANDREL_EXPORT int32_t vandrel_trace_stream(const char *path, int64_t max_transitions_per_file)
{
    return vandrel::gil_trace_stream(path, max_transitions_per_file);
}

/* SIGTERM and SIGHUP, where their action is the default, write the GIL
 * interceptor's final report and close the streamed trace before they end
 * the process (docs/internals.md).  GIL held, session on; `report_name`
 * names report_fd's destination in messages. */
VANDREL_EXPORT int32_t vandrel_exit_signals(const char *report_name)
{
    return vandrel::gil_exit_signals(report_name);
}
