/* The reference agent's exported entry points: the three the modules call,
 * and vandrel_agent_python_version for the package.  These are the only
 * symbols the library exports; the work is done in the other units. */
#include "agent.h"
#include "cpython/python_api.h"

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
