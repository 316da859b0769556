/* An agent whose entry points do nothing: isolates the cost of the binding. */
#include <stdint.h>

int32_t init_py_gil_interceptor(void *sink, int64_t a, int64_t b, int32_t c, int32_t d,
                                int32_t e, int32_t f)
{
    (void)sink, (void)a, (void)b, (void)c, (void)d, (void)e, (void)f;
    return 0;
}

int32_t deinit_py_gil_interceptor(void)
{
    return 0;
}

void dump_threads(int32_t fd, int64_t max_frames)
{
    (void)fd, (void)max_frames;
}
