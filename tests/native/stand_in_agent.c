/* Recording stand-in for the agent library, built by the test fixtures.
 *
 * Each entry point records the arguments it received, the calling thread's
 * native id and whether that thread held the GIL, and returns a status the
 * test chose.  The tests read and set these globals through ctypes.
 * Compile with -DNO_INIT, -DNO_DEINIT or -DNO_DUMP to leave an entry point
 * out, and -DAGENT_TAG=N to tell copies apart. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdint.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifndef AGENT_TAG
#define AGENT_TAG 1
#endif

int32_t stand_in_tag = AGENT_TAG;

int32_t next_init_status = 0;
int32_t next_deinit_status = 0;

int64_t init_calls, deinit_calls, dump_calls;
uintptr_t init_sink;
int64_t init_sample_period, init_report_period;
int32_t init_fd, init_a, init_b, init_c;
int32_t dump_fd;
int64_t dump_max_frames;
int64_t last_thread_id;
int32_t last_gil_held = -1;

static void record_caller(void)
{
    /* Resolved at call time: the stand-in must load in any process. */
    int (*gil_check)(void) = (int (*)(void))dlsym(RTLD_DEFAULT, "PyGILState_Check");
    last_thread_id = (int64_t)syscall(SYS_gettid);
    last_gil_held = gil_check ? gil_check() : -1;
}

#ifndef NO_INIT
int32_t init_py_gil_interceptor(void *sink, int64_t sample_period, int64_t report_period,
                                int32_t fd, int32_t a, int32_t b, int32_t c)
{
    record_caller();
    init_calls++;
    init_sink = (uintptr_t)sink;
    init_sample_period = sample_period;
    init_report_period = report_period;
    init_fd = fd;
    init_a = a;
    init_b = b;
    init_c = c;
    return next_init_status;
}
#endif

#ifndef NO_DEINIT
int32_t deinit_py_gil_interceptor(void)
{
    record_caller();
    deinit_calls++;
    return next_deinit_status;
}
#endif

#ifndef NO_DUMP
void dump_threads(int32_t fd, int64_t max_frames)
{
    record_caller();
    dump_calls++;
    dump_fd = fd;
    dump_max_frames = max_frames;
}
#endif
