/* The hooks' clock: CLOCK_MONOTONIC in ns, through the time-stamp
 * counter where it can stand in for it. */
#include "gil/internal.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace vandrel {
namespace gil {

/* ---- Clock ------------------------------------------------------------- */

typedef int (*clock_func)(clockid_t, struct timespec *);

/* The system call, for a libc whose clock_gettime cannot be found. */
int clock_by_syscall(clockid_t clock, struct timespec *ts)
{
    return static_cast<int>(syscall(SYS_clock_gettime, clock, ts));
}

/* clock_gettime, found at run time: linked directly it would bind a symbol
 * version newer than the oldest glibc the agent supports. */
clock_func read_clock = clock_by_syscall;

/* CLOCK_MONOTONIC in ns through the clock function. */
int64_t clock_ns()
{
    struct timespec ts;
    __atomic_load_n(&read_clock, __ATOMIC_RELAXED)(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

hook_globals hooks;

#if defined(__x86_64__)
inline uint64_t read_tsc()
{
    uint32_t low, high;
    __asm__ __volatile__("rdtsc" : "=a"(low), "=d"(high));
    return (static_cast<uint64_t>(high) << 32) | low;
}

/* Does the first line of `path` contain `word`?  Reads at most 4 KB. */
bool file_mentions(const char *path, const char *word, bool whole_word)
{
    int fd = static_cast<int>(syscall(SYS_open, path, O_RDONLY | O_CLOEXEC));
    if (fd < 0) {
        return false;
    }
    char text[4096];
    size_t length = 0;
    while (length < sizeof(text) - 1) {
        ssize_t got = read(fd, text + length, sizeof(text) - 1 - length);
        if (got <= 0) {
            break;
        }
        length += static_cast<size_t>(got);
    }
    close(fd);
    text[length] = '\0';
    size_t word_length = strlen(word);
    for (const char *at = strstr(text, word); at != nullptr; at = strstr(at + 1, word)) {
        if (!whole_word ||
            ((at == text || at[-1] == ' ' || at[-1] == '\t') &&
             (at[word_length] == ' ' || at[word_length] == '\n' || at[word_length] == '\0'))) {
            return true;
        }
    }
    return false;
}

/* Decide once whether the TSC can stand for the clock, and calibrate it:
 * constant and non-stop (cpuinfo flags) and the kernel's clock source (so
 * the CPUs' counters agree).  Takes about 2 ms, once per process. */
void calibrate_tsc()
{
    if (hooks.tsc_state != 0) {
        return;
    }
    hooks.tsc_state = -1;
    const char *forced_clock = getenv("VANDREL_GIL_CLOCK");
    if (forced_clock != nullptr && strcmp(forced_clock, "clock") == 0) {
        return;
    }
    if (!file_mentions("/sys/devices/system/clocksource/clocksource0/current_clocksource", "tsc",
                       true) ||
        !file_mentions("/proc/cpuinfo", "constant_tsc", true) ||
        !file_mentions("/proc/cpuinfo", "nonstop_tsc", true)) {
        return;
    }
    /* Pair each clock read with the ticks around it, keeping the tightest
     * pair, at both ends of a 2 ms window. */
    struct pairing {
        uint64_t ticks;
        int64_t ns;
    } ends[2];
    for (int end = 0; end < 2; end++) {
        if (end == 1) {
            struct timespec pause = {0, 2000000};
            while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
            }
        }
        uint64_t best_span = UINT64_MAX;
        for (int attempt = 0; attempt < 16; attempt++) {
            uint64_t before = read_tsc();
            int64_t ns = clock_ns();
            uint64_t after = read_tsc();
            if (after > before && after - before < best_span) {
                best_span = after - before;
                ends[end].ticks = before + (after - before) / 2;
                ends[end].ns = ns;
            }
        }
        if (best_span == UINT64_MAX) {
            return;
        }
    }
    if (ends[1].ticks <= ends[0].ticks || ends[1].ns <= ends[0].ns) {
        return;
    }
    uint64_t ticks = ends[1].ticks - ends[0].ticks;
    uint64_t ns = static_cast<uint64_t>(ends[1].ns - ends[0].ns);
    hooks.tsc.ns_per_tick_q32 = static_cast<uint64_t>((static_cast<unsigned __int128>(ns) << 32) / ticks);
    hooks.tsc.base_ticks = ends[1].ticks;
    hooks.tsc.base_ns = ends[1].ns;
    if (hooks.tsc.ns_per_tick_q32 == 0) {
        return;
    }
    __atomic_store_n(&hooks.tsc_state, 1, __ATOMIC_RELEASE);
}
#else
void calibrate_tsc()
{
    hooks.tsc_state = -1;
}
#endif

void find_clock()
{
    void *found = dlsym(RTLD_DEFAULT, "clock_gettime");
    if (found != nullptr) {
        __atomic_store_n(&read_clock, reinterpret_cast<clock_func>(found), __ATOMIC_RELEASE);
    }
    calibrate_tsc();
}

/* Time from `start` to `end`, never negative (counters of two CPUs may
 * disagree by a few ticks). */
int64_t span(int64_t start, int64_t end)
{
    return start != no_wait && end > start ? end - start : 0;
}


int64_t now_ns()
{
#if defined(__x86_64__)
    if (__atomic_load_n(&hooks.tsc_state, __ATOMIC_RELAXED) == 1) {
        /* Signed: a CPU whose counter lags a little gives a small negative
         * span rather than a huge one. */
        int64_t ticks = static_cast<int64_t>(read_tsc() - hooks.tsc.base_ticks);
        return hooks.tsc.base_ns +
               static_cast<int64_t>((static_cast<__int128>(ticks) *
                                     static_cast<__int128>(hooks.tsc.ns_per_tick_q32)) >> 32);
    }
#endif
    return clock_ns();
}

}  // namespace gil
}  // namespace vandrel
