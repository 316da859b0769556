/* SIGTERM and SIGHUP (how service managers and terminals stop a program):
 * with their default action the process would end at once and the final
 * report and the trace would never be written.  Where the action is the
 * default when vandrel_exit_signals is called, a handler of the agent's
 * takes its place; a program that sets its own later replaces it, and its
 * normal exit writes the outputs.
 *
 * The handler only notes the signal and pokes a thread of the agent's
 * (every signal blocked), which then, at most about 1.5 s:
 *
 *   - has a short-lived thread take the GIL and write the final text
 *     report to report_fd, waiting at most 1 s for it (a thread may hold
 *     the GIL for ever: then one line on stderr says the report was
 *     skipped);
 *   - has the trace's writer write what the ring holds and close the file
 *     (no GIL needed);
 *   - gives the signal its default action back and sends it again, so the
 *     process ends as it would have without the agent (status 143 or 129
 *     in a shell).
 *
 * A signal that arrives while the interceptor is being switched off is
 * left to the switch-off, which sends it again once the outputs are
 * written. */
#include "gil/internal.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "agent.h"
#include "fork_gate.h"

namespace vandrel {
namespace gil {

namespace {

const int exit_signals[] = {SIGTERM, SIGHUP};
const int exit_signal_count = 2;
const int64_t report_wait_ns = 1000LL * 1000 * 1000;
const int64_t trace_wait_ns = 1500LL * 1000 * 1000;

/* Which signals have our handler, and what they had before. */
bool installed[exit_signal_count];
struct sigaction previous[exit_signal_count];

/* The signals' thread's eventfd, -1 when none (read by the handler). */
int wake_fd = -1;
/* The first exit signal that came, 0 for none (set by the handler). */
int pending_signal;
/* Set by the switch-off: the thread ends without acting. */
int stopping;
pthread_t watcher;
bool watcher_running;
char report_name[512];

/* The final report's worker: 1 written, 2 left to the switch-off. */
int report_outcome;

void on_exit_signal(int signum)
{
    int saved = errno;
    int expected = 0;
    __atomic_compare_exchange_n(&pending_signal, &expected, signum, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    int fd = __atomic_load_n(&wake_fd, __ATOMIC_ACQUIRE);
    if (fd >= 0) {
        uint64_t one = 1;
        ssize_t woken = write(fd, &one, sizeof(one));
        (void)woken;
    }
    errno = saved;
}

void say(const char *format, const char *a, const char *b)
{
    char line[1200];
    int length = snprintf(line, sizeof(line), format, a, b);
    if (length > 0) {
        ssize_t said = write(2, line, strlen(line));
        (void)said;
    }
}

/* Take the GIL and write the final report, unless the switch-off has
 * begun (it writes it then). */
void *report_worker(void *)
{
    bind_agent_record();
    PyGILState_STATE gil = py->gil_state_ensure();
    int outcome = 2;
    if (__atomic_load_n(&hooks.watched_mutex, __ATOMIC_ACQUIRE) != nullptr) {
        emit_report(now_ns(), true, nullptr, session.report_fd);
        outcome = 1;
    }
    __atomic_store_n(&report_outcome, outcome, __ATOMIC_RELEASE);
    py->gil_state_release(gil);
    return nullptr;
}

/* Wait up to `deadline` for the worker's outcome (0: none yet). */
int wait_for_report(int64_t deadline)
{
    for (;;) {
        int outcome = __atomic_load_n(&report_outcome, __ATOMIC_ACQUIRE);
        if (outcome != 0 || now_ns() >= deadline) {
            return outcome;
        }
        struct timespec pause = {0, 5000000L}; /* 5 ms */
        nanosleep(&pause, nullptr);
    }
}

const char *signal_name(int signum)
{
    return signum == SIGTERM ? "SIGTERM" : signum == SIGHUP ? "SIGHUP" : "the signal";
}

/* The signal came: the outputs, then the process ends by it. */
void act_on(int signum)
{
    int64_t start = now_ns();
    __atomic_store_n(&report_outcome, 0, __ATOMIC_RELEASE);
    pthread_t worker;
    bool started = start_agent_thread(&worker, nullptr, report_worker, nullptr) == 0;
    if (started) {
        pthread_detach(worker);
    }
    bool trace_closed = finish_trace_stream_now(start + trace_wait_ns);
    int outcome = started ? wait_for_report(start + report_wait_ns) : 0;
    if (!trace_closed) {
        const char *path = trace_stream_path();
        say("vandrel: %s: the GIL trace %s was not closed in time; it holds the "
            "transitions up to its last write\n",
            signal_name(signum), path != nullptr ? path : "");
    }
    if (outcome == 2) {
        return; /* the switch-off writes the outputs and sends the signal again */
    }
    if (outcome == 0) {
        say("vandrel: %s: the final GIL report was not written to %s: no thread let go of "
            "the GIL within 1 s\n",
            signal_name(signum), report_name);
    }
    /* As without the agent: the default action, by the same signal.  This
     * thread blocks every signal, so another thread takes it. */
    struct sigaction fallback;
    memset(&fallback, 0, sizeof(fallback));
    fallback.sa_handler = SIG_DFL;
    sigaction(signum, &fallback, nullptr);
    kill(getpid(), signum);
    struct timespec grace = {1, 0};
    nanosleep(&grace, nullptr);
    _exit(128 + signum); /* every thread blocks it: end as a shell would say */
}

void *watcher_main(void *)
{
    for (;;) {
        struct pollfd wake = {wake_fd, POLLIN, 0};
        if (syscall(SYS_ppoll, &wake, 1, nullptr, nullptr, static_cast<size_t>(8)) > 0) {
            uint64_t count;
            ssize_t drained = read(wake_fd, &count, sizeof(count));
            (void)drained;
        }
        if (__atomic_load_n(&stopping, __ATOMIC_ACQUIRE)) {
            return nullptr;
        }
        int signum = __atomic_load_n(&pending_signal, __ATOMIC_ACQUIRE);
        if (signum != 0) {
            act_on(signum);
            return nullptr;
        }
    }
}

/* Put back the actions of the signals whose handler is still ours. */
void restore_actions()
{
    for (int i = 0; i < exit_signal_count; i++) {
        if (!installed[i]) {
            continue;
        }
        installed[i] = false;
        struct sigaction now;
        if (sigaction(exit_signals[i], nullptr, &now) == 0 && now.sa_handler == on_exit_signal) {
            sigaction(exit_signals[i], &previous[i], nullptr);
        }
    }
}

/* A child made by fork() has no signals' thread: its signals get their
 * actions back. */
void forget_in_child()
{
    if (__atomic_load_n(&wake_fd, __ATOMIC_ACQUIRE) >= 0) {
        restore_actions();
        close(wake_fd);
        wake_fd = -1;
        watcher_running = false;
        pending_signal = 0;
    }
}

}  // namespace

int32_t start_exit_signals(const char *name)
{
    if (__atomic_load_n(&hooks.watched_mutex, __ATOMIC_ACQUIRE) == nullptr) {
        return VANDREL_NOT_ON;
    }
    if (watcher_running) {
        return VANDREL_ALREADY_ON;
    }
    static bool fork_handler = false;
    if (!fork_handler) {
        if (pthread_atfork(nullptr, nullptr, forget_in_child) != 0) {
            return VANDREL_SYSTEM_ERROR;
        }
        fork_handler = true;
    }
    snprintf(report_name, sizeof(report_name), "%s",
             name != nullptr && name[0] != '\0' ? name : "report_fd");
    int fd = static_cast<int>(syscall(SYS_eventfd2, 0, EFD_CLOEXEC));
    if (fd < 0) {
        return VANDREL_SYSTEM_ERROR;
    }
    __atomic_store_n(&pending_signal, 0, __ATOMIC_SEQ_CST);
    __atomic_store_n(&stopping, 0, __ATOMIC_SEQ_CST);
    wake_fd = fd;
    int error = start_agent_thread(&watcher, nullptr, watcher_main, nullptr);
    if (error != 0) {
        wake_fd = -1;
        close(fd);
        return VANDREL_SYSTEM_ERROR;
    }
    watcher_running = true;
    for (int i = 0; i < exit_signal_count; i++) {
        struct sigaction ours;
        memset(&ours, 0, sizeof(ours));
        ours.sa_handler = on_exit_signal;
        ours.sa_flags = SA_RESTART;
        sigemptyset(&ours.sa_mask);
        installed[i] = false;
        if (sigaction(exit_signals[i], &ours, &previous[i]) != 0) {
            continue;
        }
        /* Only in place of the default action: anything else is put back. */
        if ((previous[i].sa_flags & SA_SIGINFO) != 0 || previous[i].sa_handler != SIG_DFL) {
            sigaction(exit_signals[i], &previous[i], nullptr);
        }
        else {
            installed[i] = true;
        }
    }
    return VANDREL_OK;
}

void stop_exit_signals()
{
    if (!watcher_running) {
        return;
    }
    watcher_running = false;
    __atomic_store_n(&stopping, 1, __ATOMIC_RELEASE);
    uint64_t one = 1;
    ssize_t woken = write(wake_fd, &one, sizeof(one));
    (void)woken;
    /* It may be acting on a signal, its worker queued for the GIL. */
    PyThreadState *state = py->eval_save_thread();
    pthread_join(watcher, nullptr);
    py->eval_restore_thread(state);
    int fd = wake_fd;
    __atomic_store_n(&wake_fd, -1, __ATOMIC_RELEASE);
    close(fd);
}

void restore_exit_signals()
{
    restore_actions();
    int signum = __atomic_exchange_n(&pending_signal, 0, __ATOMIC_SEQ_CST);
    if (signum != 0) {
        kill(getpid(), signum);
    }
}

}  // namespace gil

int32_t gil_exit_signals(const char *report_name)
{
    using namespace gil;
    if (py == nullptr) {
        return VANDREL_NOT_ON;
    }
    if (!py->gil_state_check()) {
        return VANDREL_NO_GIL;
    }
    return start_exit_signals(report_name);
}

}  // namespace vandrel
