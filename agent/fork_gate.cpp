/* The fork gate (fork_gate.h): a count of busy agent threads and a flag
 * that a fork() is being prepared, which exclude each other the way
 * Dekker's algorithm does (each side writes its own word, then reads the
 * other's, all sequentially consistent), so that neither side ever takes
 * a lock. */
#include "fork_gate.h"

#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <time.h>

namespace vandrel {

namespace {

/* Agent threads inside gated work, and threads not yet running. */
int busy_threads;
/* A fork() is being prepared: no agent thread starts gated work. */
int fork_pending;
/* How deep the calling thread is in gated work (fork_gate_enter nests). */
__thread int section_depth __attribute__((tls_model("initial-exec")));

/* How long a fork() waits for the agent's threads at most: gated work
 * lasts micro- to milliseconds; should one ever be stuck, the fork goes on
 * as it did before the gate. */
const int64_t max_fork_wait_ns = 2000000000LL;

void pause_briefly()
{
    struct timespec pause = {0, 50000L}; /* 50 µs */
    nanosleep(&pause, nullptr);
}

int64_t monotonic_ns()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

/* Count one more busy thread, waiting while a fork() is being prepared.
 * This function is signal safe. */
void count_busy()
{
    for (;;) {
        while (__atomic_load_n(&fork_pending, __ATOMIC_SEQ_CST) != 0) {
            pause_briefly();
        }
        __atomic_add_fetch(&busy_threads, 1, __ATOMIC_SEQ_CST);
        if (__atomic_load_n(&fork_pending, __ATOMIC_SEQ_CST) == 0) {
            return;
        }
        /* The fork came first: let it go ahead. */
        __atomic_sub_fetch(&busy_threads, 1, __ATOMIC_SEQ_CST);
    }
}

/* fork()'s prepare handler: close the gate, then wait until no agent
 * thread is busy but the forking one (should it fork from gated work).
 * This function is signal safe. */
void close_gate_for_fork()
{
    __atomic_store_n(&fork_pending, 1, __ATOMIC_SEQ_CST);
    int own = section_depth > 0 ? 1 : 0;
    int64_t deadline = monotonic_ns() + max_fork_wait_ns;
    while (__atomic_load_n(&busy_threads, __ATOMIC_SEQ_CST) > own && monotonic_ns() < deadline) {
        pause_briefly();
    }
}

/* fork()'s parent handler: the agent's threads go on. */
void open_gate_in_parent()
{
    __atomic_store_n(&fork_pending, 0, __ATOMIC_SEQ_CST);
}

/* fork()'s child handler: only the forking thread was copied. */
void open_gate_in_child()
{
    __atomic_store_n(&busy_threads, section_depth > 0 ? 1 : 0, __ATOMIC_SEQ_CST);
    __atomic_store_n(&fork_pending, 0, __ATOMIC_SEQ_CST);
}

/* Registered after the handlers of the locks that the forking thread holds
 * across fork() (the thread records', priority 101): prepare handlers run
 * in the reverse order, so the agent's threads are quiet before the
 * forking thread takes those locks, and none of them waits for one. */
__attribute__((constructor(102))) void register_fork_gate()
{
    pthread_atfork(close_gate_for_fork, open_gate_in_parent, open_gate_in_child);
}

/* What a new agent thread runs, and its start. */
struct thread_start {
    void *(*main)(void *);
    void *arg;
};

void *run_agent_thread(void *arg)
{
    thread_start start = *static_cast<thread_start *>(arg);
    free(arg);
    __atomic_sub_fetch(&busy_threads, 1, __ATOMIC_SEQ_CST);
    return start.main(start.arg);
}

}  // namespace

void fork_gate_enter()
{
    if (section_depth++ == 0) {
        count_busy();
    }
}

void fork_gate_leave()
{
    if (--section_depth == 0) {
        __atomic_sub_fetch(&busy_threads, 1, __ATOMIC_SEQ_CST);
    }
}

int start_agent_thread(pthread_t *thread, const pthread_attr_t *attr, void *(*main)(void *),
                       void *arg)
{
    thread_start *start = static_cast<thread_start *>(malloc(sizeof(thread_start)));
    if (start == nullptr) {
        return EAGAIN;
    }
    start->main = main;
    start->arg = arg;
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    count_busy(); /* the new thread's, until it runs main */
    int error = pthread_create(thread, attr, run_agent_thread, start);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (error != 0) {
        __atomic_sub_fetch(&busy_threads, 1, __ATOMIC_SEQ_CST);
        free(start);
    }
    return error;
}

}  // namespace vandrel
