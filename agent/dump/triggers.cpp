/* Dumps on a signal and after a delay that need no GIL.
 *
 * The agent installs the signal handlers (sigaction) and keeps the timer
 * on a thread of its own.  A handler only writes the signal's number into
 * a pipe (async-signal-safe) and, when asked to chain, calls the handler
 * installed before it; the agent's thread, woken by the pipe or by the
 * timer's deadline, writes the dump with the GIL-free reader while the
 * program's threads run on, whatever they hold.  The thread is a plain
 * C thread: it has no Python thread state and is not in the dump.
 *
 * Where this process may not read itself (process_vm_readv refused) or
 * the reader does not know the interpreter, one line says so and the dump
 * is left to the main thread, with the GIL, as a pending call.
 *
 * The settings change with the GIL held (the package's calls); the agent's
 * thread reads them under `lock`, the handlers read plain words. */
#include "dump/dump.h"

#include "agent.h"
#include "cpython/safe_read.h"
#include "fork_gate.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace vandrel {
namespace dump {

namespace {

struct signal_slot {
    bool active;
    bool chain;
    int fd;
    int64_t max_frames;
    struct sigaction previous;
    /* Set by the handler: the thread it ran on. */
    long interrupted;
};

constexpr int SLOT_COUNT = 65;
signal_slot slots[SLOT_COUNT];

struct timer_settings {
    bool armed;
    bool repeat;
    bool exit;
    int fd;
    int64_t max_frames;
    struct timespec period;
    struct timespec deadline; /* CLOCK_MONOTONIC */
};
timer_settings timer;

pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
int wake_pipe[2] = {-1, -1};
bool thread_started = false;
unlocked_target target;
bool target_ok = false;

const char WAITS_FOR_GIL[] =
    "vandrel: this process may not read its own memory (process_vm_readv refused); "
    "the dump waits for the GIL\n";
/* Without a GIL, nothing would keep the threads still for the pending
 * call's dump either. */
const char CANNOT_READ_IN_PARALLEL[] =
    "vandrel: this process may not read its own memory (process_vm_readv refused); "
    "threads run in parallel here and cannot be read safely; nothing dumped\n";
const char UNKNOWN_INTERPRETER[] =
    "vandrel: this interpreter's frames cannot be read without the GIL; "
    "the dump waits for the GIL\n";

/* ---- The handler --------------------------------------------------------- */

/* Tickets of the signal dumps: the handler takes one, the agent's thread
 * says up to which one it has written. */
uint32_t requested = 0;
uint32_t completed = 0;
/* How long a handler waits for its dump: the agent's thread could be
 * stopped (a lock held by the very thread the signal interrupted). */
constexpr long HANDLER_WAIT_NS = 2000000000L;

/* Wait, async-signal-safely, until the dump of `ticket` is written or the
 * wait times out. */
void wait_for_dump(uint32_t ticket)
{
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        uint32_t done = __atomic_load_n(&completed, __ATOMIC_ACQUIRE);
        if (static_cast<int32_t>(done - ticket) >= 0) {
            return;
        }
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        long waited = (now.tv_sec - start.tv_sec) * 1000000000L + (now.tv_nsec - start.tv_nsec);
        if (waited >= HANDLER_WAIT_NS) {
            return;
        }
        struct timespec left = {0, 0};
        long remaining = HANDLER_WAIT_NS - waited;
        left.tv_sec = remaining / 1000000000L;
        left.tv_nsec = remaining % 1000000000L;
        syscall(SYS_futex, &completed, FUTEX_WAIT_PRIVATE, done, &left, nullptr, 0);
    }
}

/* The default action of `signum`, from inside its handler: put it back,
 * let the signal through and raise it (the process ends, stops or goes
 * on), then take the handler back. */
void take_default_action(int signum, const struct sigaction *previous)
{
    struct sigaction ours;
    if (sigaction(signum, previous, &ours) != 0) {
        return;
    }
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signum);
    sigset_t old;
    pthread_sigmask(SIG_UNBLOCK, &only, &old);
    raise(signum);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    sigaction(signum, &ours, nullptr);
}

void on_signal(int signum, siginfo_t *info, void *context)
{
    int saved_errno = errno;
    if (signum > 0 && signum < SLOT_COUNT) {
        signal_slot *slot = &slots[signum];
        __atomic_store_n(&slot->interrupted, static_cast<long>(syscall(SYS_gettid)),
                         __ATOMIC_RELAXED);
        uint32_t ticket = __atomic_add_fetch(&requested, 1, __ATOMIC_ACQ_REL);
        unsigned char byte = static_cast<unsigned char>(signum);
        int fd = __atomic_load_n(&wake_pipe[1], __ATOMIC_RELAXED);
        if (fd >= 0 && write(fd, &byte, 1) == 1) {
            /* As faulthandler's handler: the dump is written when the
             * handler returns (the thread that runs on holds nothing the
             * dump needs). */
            wait_for_dump(ticket);
        }
        if (__atomic_load_n(&slot->chain, __ATOMIC_RELAXED)) {
            const struct sigaction *previous = &slot->previous;
            if (previous->sa_flags & SA_SIGINFO) {
                if (previous->sa_sigaction != nullptr) {
                    previous->sa_sigaction(signum, info, context);
                }
            }
            else if (previous->sa_handler == SIG_DFL) {
                take_default_action(signum, previous);
            }
            else if (previous->sa_handler != SIG_IGN && previous->sa_handler != nullptr) {
                previous->sa_handler(signum);
            }
        }
    }
    errno = saved_errno;
}

/* ---- Crashes ------------------------------------------------------------- */

/* The fatal signals a crash dump covers, as faulthandler.enable() does. */
const int CRASH_SIGNALS[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr int CRASH_COUNT = sizeof CRASH_SIGNALS / sizeof CRASH_SIGNALS[0];
/* A crash's byte in the pipe: its signal number plus this. */
constexpr unsigned char CRASH_MARK = 128;
struct crash_settings {
    bool active;
    int fd;
    struct sigaction previous[CRASH_COUNT];
};
crash_settings crash;
long crashed_thread = 0;
int crashing = 0;

int crash_index(int signum)
{
    for (int i = 0; i < CRASH_COUNT; i++) {
        if (CRASH_SIGNALS[i] == signum) {
            return i;
        }
    }
    return -1;
}

/* A fatal signal: have every thread dumped, then put the handler from
 * before back and raise the signal again, so that it ends the process as
 * it would have (faulthandler's handler, when it was there, runs then). */
void on_crash(int signum, siginfo_t *, void *)
{
    int saved_errno = errno;
    int index = crash_index(signum);
    if (index < 0) {
        return;
    }
    /* One dump, by the first thread to crash; another one, or a crash in
     * the dump, goes straight on to the handler from before. */
    if (__atomic_exchange_n(&crashing, 1, __ATOMIC_ACQ_REL) == 0) {
        __atomic_store_n(&crashed_thread, static_cast<long>(syscall(SYS_gettid)),
                         __ATOMIC_RELAXED);
        uint32_t ticket = __atomic_add_fetch(&requested, 1, __ATOMIC_ACQ_REL);
        unsigned char byte = static_cast<unsigned char>(CRASH_MARK + signum);
        int fd = __atomic_load_n(&wake_pipe[1], __ATOMIC_RELAXED);
        if (fd >= 0 && write(fd, &byte, 1) == 1) {
            wait_for_dump(ticket);
        }
    }
    sigaction(signum, &crash.previous[index], nullptr);
    errno = saved_errno;
    raise(signum);
}

/* ---- The agent's thread -------------------------------------------------- */

/* One dump left to the main thread: its own settings, since a signal's
 * and the timer's dumps may wait there at the same time. */
struct pending_dump {
    int fd;
    int64_t max_frames;
    bool with_tasks;
    bool exit_after; /* a timer set with exit: end the process once written */
};

/* How long a timer set with exit waits for the dump it left to the main
 * thread before it ends the process anyway (that thread may never let go
 * of the GIL: the case such a timer is for). */
constexpr long EXIT_WAIT_NS = 2000000000L;

/* The pending call: writes the dump `argument` (a pending_dump the agent's
 * thread allocated) and frees it.  GIL held. */
int dump_with_the_gil(void *argument)
{
    pending_dump *request = static_cast<pending_dump *>(argument);
    /* The GIL is held here: the asyncio tasks can be asked for at once. */
    gathered_sections tasks;
    bool any = request->with_tasks && gather_task_sections_with_gil(&tasks, request->max_frames);
    thread_sections view;
    if (any) {
        task_sections_view(&tasks, &view);
    }
    dump_threads_with_sections(request->fd, request->max_frames, any ? &view : nullptr);
    if (any) {
        free_task_sections(&tasks);
    }
    if (request->exit_after) {
        _exit(1);
    }
    free(request);
    return 0;
}

/* `with_tasks`: the asyncio tasks follow their threads' stacks, when the
 * GIL can be had for them (not for a crash: the process is going down).
 * `exit_after`: a dump left to the main thread ends the process once
 * written.  Return true when the dump was left to the main thread. */
bool dump_now(int fd, int64_t max_frames, unsigned long interrupted, bool with_tasks,
              bool exit_after = false)
{
    if (target_ok) {
        gathered_sections tasks;
        bool any = with_tasks && gather_task_sections(&tasks, max_frames);
        thread_sections view;
        if (any) {
            task_sections_view(&tasks, &view);
        }
        /* Without the GIL in time, the tasks are read without it where
         * the interpreter allows; else the note says why they are missing. */
        bool read_tasks = any && task_sections_missed_the_gil(&tasks) && unlocked_tasks_readable();
        dump_threads_unlocked(&target, fd, max_frames, interrupted, any ? &view : nullptr,
                              read_tasks);
        if (any) {
            free_task_sections(&tasks);
        }
        return false;
    }
    const python_api *api = python_api_if_resolved();
    if (safe_read_available()) {
        (void)write_fully(fd, UNKNOWN_INTERPRETER, sizeof UNKNOWN_INTERPRETER - 1);
    }
    else if (api != nullptr && api->parallel_threads) {
        (void)write_fully(fd, CANNOT_READ_IN_PARALLEL, sizeof CANNOT_READ_IN_PARALLEL - 1);
        return false;
    }
    else {
        (void)write_fully(fd, WAITS_FOR_GIL, sizeof WAITS_FOR_GIL - 1);
    }
    if (api == nullptr || api->add_pending_call == nullptr) {
        return false;
    }
    pending_dump *request = static_cast<pending_dump *>(malloc(sizeof(pending_dump)));
    if (request == nullptr) {
        return false;
    }
    request->fd = fd;
    request->max_frames = max_frames;
    request->with_tasks = with_tasks;
    request->exit_after = exit_after;
    if (api->add_pending_call(dump_with_the_gil, request) != 0) {
        free(request); /* the interpreter's queue is full */
        return false;
    }
    return true;
}

bool reached(const struct timespec *now, const struct timespec *deadline)
{
    return now->tv_sec > deadline->tv_sec
        || (now->tv_sec == deadline->tv_sec && now->tv_nsec >= deadline->tv_nsec);
}

void add_time(struct timespec *to, const struct timespec *period)
{
    to->tv_sec += period->tv_sec;
    to->tv_nsec += period->tv_nsec;
    if (to->tv_nsec >= 1000000000L) {
        to->tv_sec++;
        to->tv_nsec -= 1000000000L;
    }
}

/* The signals a slot asked for, seen in one read of the pipe. */
void serve_signals(const unsigned char *bytes, ssize_t count)
{
    bool seen[SLOT_COUNT] = {};
    bool crashed = false;
    for (ssize_t i = 0; i < count; i++) {
        if (bytes[i] > 0 && bytes[i] < SLOT_COUNT) {
            seen[bytes[i]] = true;
        }
        crashed = crashed || bytes[i] > CRASH_MARK;
    }
    if (crashed) {
        pthread_mutex_lock(&lock);
        int fd = crash.fd;
        pthread_mutex_unlock(&lock);
        dump_now(fd, 0,
                 static_cast<unsigned long>(__atomic_load_n(&crashed_thread, __ATOMIC_RELAXED)),
                 false);
    }
    for (int signum = 1; signum < SLOT_COUNT; signum++) {
        if (!seen[signum]) {
            continue;
        }
        pthread_mutex_lock(&lock);
        signal_slot slot = slots[signum];
        pthread_mutex_unlock(&lock);
        if (!slot.active) {
            continue;
        }
        dump_now(slot.fd, slot.max_frames,
                 static_cast<unsigned long>(__atomic_load_n(&slots[signum].interrupted,
                                                            __ATOMIC_RELAXED)),
                 true);
    }
}

void *serve(void *)
{
    for (;;) {
        pthread_mutex_lock(&lock);
        int fd = wake_pipe[0];
        bool armed = timer.armed;
        struct timespec deadline = timer.deadline;
        pthread_mutex_unlock(&lock);
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        struct timespec wait = {0, 0};
        struct timespec *timeout = nullptr;
        if (armed) {
            if (!reached(&now, &deadline)) {
                wait.tv_sec = deadline.tv_sec - now.tv_sec;
                wait.tv_nsec = deadline.tv_nsec - now.tv_nsec;
                if (wait.tv_nsec < 0) {
                    wait.tv_sec--;
                    wait.tv_nsec += 1000000000L;
                }
            }
            timeout = &wait;
        }
        struct pollfd poll_fd = {fd, POLLIN, 0};
        int ready = ppoll(&poll_fd, 1, timeout, nullptr);
        if (ready > 0) {
            unsigned char bytes[256];
            ssize_t count = read(fd, bytes, sizeof bytes);
            /* Every ticket whose byte was just read was taken before. */
            uint32_t served = __atomic_load_n(&requested, __ATOMIC_ACQUIRE);
            if (count > 0) {
                serve_signals(bytes, count);
            }
            __atomic_store_n(&completed, served, __ATOMIC_RELEASE);
            syscall(SYS_futex, &completed, FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr, nullptr, 0);
        }
        pthread_mutex_lock(&lock);
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (!timer.armed || !reached(&now, &timer.deadline)) {
            pthread_mutex_unlock(&lock);
            continue;
        }
        timer_settings fired = timer;
        if (timer.repeat) {
            /* Next deadline on the period's grid; late ones are skipped. */
            add_time(&timer.deadline, &timer.period);
            if (reached(&now, &timer.deadline)) {
                timer.deadline = now;
                add_time(&timer.deadline, &timer.period);
            }
        }
        else {
            timer.armed = false;
        }
        pthread_mutex_unlock(&lock);
        bool left_to_main = dump_now(fired.fd, fired.max_frames, 0, true, fired.exit);
        if (fired.exit) {
            if (left_to_main) {
                /* The main thread writes the dump and exits; unless it
                 * never gets to it. */
                struct timespec wait = {EXIT_WAIT_NS / 1000000000L, EXIT_WAIT_NS % 1000000000L};
                while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
                }
            }
            _exit(1);
        }
    }
    return nullptr;
}

/* Make the pipe and start the thread, once.  Lock held. */
bool start_thread()
{
    if (thread_started) {
        return true;
    }
    if (wake_pipe[0] < 0) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
            return false;
        }
        wake_pipe[0] = fds[0];
        __atomic_store_n(&wake_pipe[1], fds[1], __ATOMIC_RELAXED);
    }
    /* The thread takes no signal: the handlers run on the program's threads. */
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int failed = start_agent_thread(&thread, &attr, serve, nullptr);
    pthread_attr_destroy(&attr);
    if (failed != 0) {
        return false;
    }
    thread_started = true;
    return true;
}

void wake()
{
    unsigned char control = 0;
    int fd = __atomic_load_n(&wake_pipe[1], __ATOMIC_RELAXED);
    if (fd >= 0) {
        ssize_t ignored = write(fd, &control, 1);
        (void)ignored;
    }
}

/* A forked child has none of the agent's threads, and shares the pipe with
 * its parent: a new pipe, no timer (as the package promises), and a thread
 * again when signal dumps are set. */
void after_fork_in_child()
{
    pthread_mutex_init(&lock, nullptr);
    task_sections_after_fork();
    thread_started = false;
    timer.armed = false;
    if (wake_pipe[0] >= 0) {
        close(wake_pipe[0]);
        close(wake_pipe[1]);
        wake_pipe[0] = -1;
        __atomic_store_n(&wake_pipe[1], -1, __ATOMIC_RELAXED);
    }
    bool any = false;
    for (int signum = 1; signum < SLOT_COUNT; signum++) {
        any = any || slots[signum].active;
    }
    if (any) {
        (void)start_thread();
    }
}

__attribute__((constructor)) void watch_fork()
{
    pthread_atfork(nullptr, nullptr, after_fork_in_child);
}

bool fd_writable(int fd)
{
    int flags = fd < 0 ? -1 : fcntl(fd, F_GETFL);
    return flags != -1 && (flags & O_ACCMODE) != O_RDONLY;
}

/* The reader's view of the calling interpreter, and the threads' names.
 * GIL held. */
void prepare(const python_api *api)
{
    target_ok = unlocked_target_init(api, &target);
    name_cache_refresh(api);
    /* Where asyncio is loaded already, find its task layout now rather
     * than in the first dump that needs it. */
    if (target_ok) {
        (void)unlocked_tasks_readable();
    }
}

}  // namespace

int32_t dump_on_crash(int32_t fd)
{
    signals_held held;
    if (!fd_writable(fd)) {
        return VANDREL_BAD_PARAMETER;
    }
    const python_api *api = python_api_get();
    if (api == nullptr || api->thread_state_unchecked() == nullptr) {
        return VANDREL_NO_GIL;
    }
    pthread_mutex_lock(&lock);
    prepare(api);
    if (!start_thread()) {
        pthread_mutex_unlock(&lock);
        return VANDREL_SYSTEM_ERROR;
    }
    crash.fd = fd;
    if (!crash.active) {
        struct sigaction action;
        memset(&action, 0, sizeof action);
        action.sa_sigaction = on_crash;
        /* NODEFER: the signal raised again at the end is delivered at once. */
        action.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
        sigemptyset(&action.sa_mask);
        for (int i = 0; i < CRASH_COUNT; i++) {
            sigaction(CRASH_SIGNALS[i], &action, &crash.previous[i]);
        }
        crash.active = true;
    }
    pthread_mutex_unlock(&lock);
    return VANDREL_OK;
}

int32_t cancel_dump_on_crash()
{
    signals_held held;
    pthread_mutex_lock(&lock);
    bool was = crash.active;
    if (was) {
        for (int i = 0; i < CRASH_COUNT; i++) {
            sigaction(CRASH_SIGNALS[i], &crash.previous[i], nullptr);
        }
        crash.active = false;
    }
    pthread_mutex_unlock(&lock);
    return was ? 1 : 0;
}

bool unlocked_dumps_set()
{
    return thread_started;
}

int32_t dump_on_signal(int32_t signum, int32_t fd, int64_t max_frames, int32_t chain)
{
    signals_held held;
    if (signum <= 0 || signum >= SLOT_COUNT || signum == SIGKILL || signum == SIGSTOP
        || !fd_writable(fd)) {
        return VANDREL_BAD_PARAMETER;
    }
    const python_api *api = python_api_get();
    if (api == nullptr || api->thread_state_unchecked() == nullptr) {
        return VANDREL_NO_GIL;
    }
    pthread_mutex_lock(&lock);
    prepare(api);
    if (!start_thread()) {
        pthread_mutex_unlock(&lock);
        return VANDREL_SYSTEM_ERROR;
    }
    signal_slot *slot = &slots[signum];
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_sigaction = on_signal;
    action.sa_flags = SA_SIGINFO | SA_RESTART | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    struct sigaction previous;
    slot->fd = fd;
    slot->max_frames = max_frames;
    __atomic_store_n(&slot->chain, chain != 0, __ATOMIC_RELAXED);
    if (sigaction(signum, &action, &previous) != 0) {
        pthread_mutex_unlock(&lock);
        return VANDREL_BAD_PARAMETER;
    }
    if (!slot->active) {
        /* A new call for the same signal keeps the handler from before the
         * first, as the package promises. */
        slot->previous = previous;
        slot->active = true;
    }
    pthread_mutex_unlock(&lock);
    return VANDREL_OK;
}

int32_t cancel_dump_on_signal(int32_t signum)
{
    signals_held held;
    if (signum <= 0 || signum >= SLOT_COUNT) {
        return VANDREL_BAD_PARAMETER;
    }
    pthread_mutex_lock(&lock);
    signal_slot *slot = &slots[signum];
    bool was = slot->active;
    if (was) {
        sigaction(signum, &slot->previous, nullptr);
        slot->active = false;
        __atomic_store_n(&slot->chain, false, __ATOMIC_RELAXED);
    }
    pthread_mutex_unlock(&lock);
    return was ? 1 : 0;
}

int32_t dump_later(double seconds, int32_t repeat, int32_t fd, int64_t max_frames, int32_t exit)
{
    signals_held held;
    if (!(seconds > 0) || seconds > 1e9 || !fd_writable(fd)) {
        return VANDREL_BAD_PARAMETER;
    }
    const python_api *api = python_api_get();
    if (api == nullptr || api->thread_state_unchecked() == nullptr) {
        return VANDREL_NO_GIL;
    }
    pthread_mutex_lock(&lock);
    prepare(api);
    if (!start_thread()) {
        pthread_mutex_unlock(&lock);
        return VANDREL_SYSTEM_ERROR;
    }
    timer.repeat = repeat != 0;
    timer.exit = exit != 0;
    timer.fd = fd;
    timer.max_frames = max_frames;
    timer.period.tv_sec = static_cast<time_t>(seconds);
    timer.period.tv_nsec = static_cast<long>((seconds - static_cast<double>(timer.period.tv_sec))
                                             * 1e9);
    if (timer.period.tv_nsec >= 1000000000L) {
        timer.period.tv_nsec = 999999999L;
    }
    clock_gettime(CLOCK_MONOTONIC, &timer.deadline);
    add_time(&timer.deadline, &timer.period);
    timer.armed = true;
    pthread_mutex_unlock(&lock);
    wake();
    return VANDREL_OK;
}

int32_t cancel_dump_later()
{
    signals_held held;
    pthread_mutex_lock(&lock);
    bool was = timer.armed;
    timer.armed = false;
    pthread_mutex_unlock(&lock);
    wake();
    return was ? 1 : 0;
}

int32_t dump_unlocked_now(int32_t fd, int64_t max_frames)
{
    signals_held held;
    if (!fd_writable(fd)) {
        return VANDREL_BAD_PARAMETER;
    }
    pthread_mutex_lock(&lock);
    bool ready = target_ok;
    unlocked_target copy = target;
    pthread_mutex_unlock(&lock);
    if (!ready) {
        return VANDREL_NOT_AVAILABLE;
    }
    /* The dump that never asks for the GIL shows the tasks it can read
     * without it. */
    bool read_tasks = unlocked_tasks_readable();
    dump_threads_unlocked(&copy, fd, max_frames, static_cast<unsigned long>(syscall(SYS_gettid)),
                          nullptr, read_tasks);
    return VANDREL_OK;
}

int64_t time_walk(unsigned long ident, int32_t rounds, int64_t *frames_seen)
{
    signals_held held;
    pthread_mutex_lock(&lock);
    bool ready = target_ok;
    unlocked_target copy = target;
    pthread_mutex_unlock(&lock);
    *frames_seen = 0;
    return ready ? time_unlocked_walk(&copy, ident, rounds, frames_seen) : -1;
}

int32_t name_this_thread(PyObject *name)
{
    const python_api *api = python_api_get();
    if (api == nullptr || api->thread_state_unchecked() == nullptr) {
        return VANDREL_NO_GIL;
    }
    name_cache_add(api, static_cast<unsigned long>(pthread_self()),
                   static_cast<unsigned long>(syscall(SYS_gettid)), name);
    return VANDREL_OK;
}

int32_t hide_code_object(PyObject *code)
{
    const python_api *api = python_api_get();
    if (api == nullptr || api->thread_state_unchecked() == nullptr) {
        return VANDREL_NO_GIL;
    }
    if (api->incref == nullptr) {
        return VANDREL_NOT_AVAILABLE;
    }
    return hide_code(api, code) ? VANDREL_OK : VANDREL_BAD_PARAMETER;
}

int32_t prepare_unlocked_dumps()
{
    signals_held held;
    const python_api *api = python_api_get();
    if (api == nullptr || api->thread_state_unchecked() == nullptr) {
        return VANDREL_NO_GIL;
    }
    pthread_mutex_lock(&lock);
    prepare(api);
    bool ready = target_ok;
    pthread_mutex_unlock(&lock);
    return ready ? VANDREL_OK : VANDREL_NOT_AVAILABLE;
}

}  // namespace dump
}  // namespace vandrel
