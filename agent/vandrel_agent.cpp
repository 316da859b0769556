/* The reference agent's exported entry points.  These three names are the
 * only symbols the library exports; the work is done in the other units. */
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
