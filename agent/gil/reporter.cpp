/* The session's background thread: it names new threads and emits the
 * periodic reports, and sleeps on an eventfd in between. */
#include "gil/internal.h"
#include "fork_gate.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace vandrel {
namespace gil {

void free_reporter(reporter *r)
{
    close(r->wake_fd);
    free(r);
}

bool stop_requested(reporter *r)
{
    return __atomic_load_n(&r->stop, __ATOMIC_ACQUIRE) != 0;
}

/* ---- The background thread ---------------------------------------------- */

/* Sleep until `deadline` (CLOCK_MONOTONIC ns; INT64_MAX for no deadline),
 * a stop request or a poke on the wake eventfd, which is drained.  The
 * wait is a raw ppoll(): nanosecond timeouts, and no libc symbol newer
 * than the oldest glibc the agent supports. */
void wait_until(reporter *r, int64_t deadline)
{
    if (stop_requested(r)) {
        return;
    }
    struct timespec timeout;
    struct timespec *timeout_arg = nullptr;
    if (deadline != INT64_MAX) {
        int64_t left = deadline - now_ns();
        if (left <= 0) {
            return;
        }
        timeout.tv_sec = static_cast<time_t>(left / 1000000000LL);
        timeout.tv_nsec = static_cast<long>(left % 1000000000LL);
        timeout_arg = &timeout;
    }
    struct pollfd wake = {r->wake_fd, POLLIN, 0};
    if (syscall(SYS_ppoll, &wake, 1, timeout_arg, nullptr, static_cast<size_t>(8)) > 0) {
        uint64_t count;
        ssize_t drained = read(r->wake_fd, &count, sizeof(count));
        (void)drained;
    }
}

/* The reporter.  It sleeps until a periodic report is due, a stop is
 * requested, or the hooks poke it about a new thread; a sample period after
 * such a poke (time for the thread to register with threading, and for a
 * burst of new threads to arrive) it takes the GIL once to name them.
 * Exits when asked to stop; frees its reporter when a stop called from
 * inside its own sink detached it. */
void *reporter_main(void *arg)
{
    reporter *r = static_cast<reporter *>(arg);
    /* What this thread does without the GIL (its record, the look for
     * unnamed threads, letting go of its thread state) a fork() waits for
     * (fork_gate.h); its wait for the GIL is not gated. */
    fork_gate_enter();
    bind_agent_record();
    fork_gate_leave();
    int64_t next_report = r->report_period_ns > 0 ? now_ns() + r->report_period_ns : INT64_MAX;
    int64_t next_naming = INT64_MAX;
    for (;;) {
        /* While a naming pass is scheduled, new threads need not poke:
         * thread churn wakes this thread at most once a sample period.
         * Otherwise clear the poke before looking, so a thread arriving
         * meanwhile pokes again. */
        if (next_naming == INT64_MAX) {
            __atomic_store_n(&naming_signalled, 0, __ATOMIC_SEQ_CST);
            if (__atomic_load_n(&names_pending, __ATOMIC_SEQ_CST)) {
                next_naming = now_ns() + r->sample_period_ns;
            }
        }
        wait_until(r, next_report < next_naming ? next_report : next_naming);
        if (stop_requested(r)) {
            break;
        }
        int64_t now = now_ns();
        bool report_due = now >= next_report;
        bool naming_due = now >= next_naming;
        if (naming_due && !report_due) {
            /* Cleared before looking, so that a thread arriving meanwhile
             * sets it again. */
            __atomic_store_n(&names_pending, 0, __ATOMIC_SEQ_CST);
            fork_gate_enter();
            bool need_names = records_need_names();
            fork_gate_leave();
            if (!need_names) {
                /* Every new thread named itself: no need for the GIL. */
                next_naming = INT64_MAX;
                continue;
            }
        }
        if (!report_due && !naming_due) {
            continue;
        }
        bool retry_naming = false;
        PyGILState_STATE gil = py->gil_state_ensure();
        /* A stop may have been requested while we queued for the GIL; the
         * stopping thread is then waiting for us, not for a report. */
        if (!stop_requested(r)) {
            if (report_due) {
                emit_report(now_ns(), false, session.sink, session.report_fd);
            }
            if (naming_due) {
                retry_naming = naming_pass();
            }
        }
        /* The thread state is freed once the GIL is let go. */
        fork_gate_enter();
        py->gil_state_release(gil);
        fork_gate_leave();
        if (naming_due) {
            next_naming = retry_naming ? now + r->sample_period_ns : INT64_MAX;
        }
        if (report_due) {
            /* A report that ended past its successor's time (its wait for
             * the GIL and its build outlasted the period) is followed by a
             * whole period without one.  Due at once, this thread would
             * queue for the GIL the moment it let go of it and, already
             * running, take it back before the thread it woke could: on a
             * debug interpreter, where a report takes longer than a 1 ms
             * period, it then held the GIL 70-80% of the time and kept
             * the application's threads waiting. */
            next_report += r->report_period_ns;
            int64_t done = now_ns();
            if (next_report <= done) {
                next_report = done + r->report_period_ns;
            }
        }
    }
    if (r->detached) {
        free_reporter(r);
    }
    return nullptr;
}

/* Create the reporter thread with every signal blocked, so that signals
 * keep going to the application's threads.  On success return the
 * reporter; on error return null. */
reporter *start_reporter(int64_t sample_period_ns, int64_t report_period_ns)
{
    reporter *r = static_cast<reporter *>(calloc(1, sizeof(reporter)));
    if (r == nullptr) {
        return nullptr;
    }
    r->sample_period_ns = sample_period_ns;
    r->report_period_ns = report_period_ns;
    r->wake_fd = static_cast<int>(syscall(SYS_eventfd2, 0, EFD_CLOEXEC));
    if (r->wake_fd < 0) {
        free(r);
        return nullptr;
    }
    int error = start_agent_thread(&r->thread, nullptr, reporter_main, r);
    if (error != 0) {
        free_reporter(r);
        return nullptr;
    }
    return r;
}

}  // namespace gil
}  // namespace vandrel
