/* The GIL interceptor: exact per-thread GIL hold and wait times.
 *
 * CPython 3.13 guards its GIL state (`locked`, `last_holder`, ...) with a
 * plain pthread mutex, gil->mutex.  take_gil() locks it, waits on gil->cond
 * while the GIL is taken, marks it taken and unlocks; drop_gil() locks it,
 * marks the GIL free and unlocks.  The interpreter library calls
 * pthread_mutex_lock/unlock through its own import slots, so pointing those
 * slots at our hooks shows every transition on the thread that makes it:
 *
 *   lock by a thread that does not hold the GIL     -> it starts waiting
 *   unlock with locked == 1 while no holder is known -> it acquired the GIL
 *   unlock with locked == 0 by the holder            -> it released the GIL
 *
 * No sampler and no guessing: a thread blocked in a C call that released
 * the GIL is neither holding nor waiting.  Any other mutex passes straight
 * through after one comparison.  Slots are restored when the interceptor
 * is switched off; the hook code stays, since the agent is never unloaded.
 *
 * Figures live in per-thread records, one per thread and session, written
 * only by their own thread (under a sequence counter) and read by the
 * reports.  Records are never freed, so a thread that finished keeps its
 * figures under its native id. */
#include "gil_interceptor_internal.h"

#include <dlfcn.h>
#include <errno.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace vandrel {
namespace gil {

/* ---- Per-thread records ------------------------------------------------- */




const size_t records_per_chunk = 256;
const size_t max_chunks = 256;
const size_t max_records = records_per_chunk * max_chunks;

thread_record *record_chunks[max_chunks];
size_t record_count;       /* slots handed out this session (may exceed max_records) */
uint64_t session_epoch;    /* bumped by every start; 0 is never a session */
int names_pending;         /* a record appeared whose thread has no name yet */
/* The reporter's eventfd while hooks may run, else -1, and whether it was
 * poked since the reporter last looked: a new thread wakes the reporter
 * once, so it never has to wake up just to look. */
int naming_wake_fd = -1;
int naming_signalled;

/* Stands for threads that got no record (table full, out of memory): they
 * can still hold the GIL, so holder tracking needs an identity for them. */
thread_record overflow_record;

/* Which record a thread uses, per thread.  Kept under a pthread key rather
 * than in a __thread variable: dynamic TLS would make the agent need the
 * dynamic loader's __tls_get_addr, and static TLS could make a late
 * dlopen() of the agent fail. */
struct record_binding {
    uint64_t epoch;
    thread_record *record;
};
pthread_key_t binding_key;
bool binding_key_created = false;

void free_binding(void *binding)
{
    free(binding);
}

/* The calling thread's binding, created on first use (null when out of
 * memory). */
record_binding *this_thread_binding()
{
    record_binding *binding = static_cast<record_binding *>(pthread_getspecific(binding_key));
    if (binding == nullptr) {
        binding = static_cast<record_binding *>(calloc(1, sizeof(record_binding)));
        if (binding == nullptr || pthread_setspecific(binding_key, binding) != 0) {
            free(binding);
            return nullptr;
        }
    }
    return binding;
}

typedef int (*clock_func)(clockid_t, struct timespec *);

/* The system call, for a libc whose clock_gettime cannot be found. */
int clock_by_syscall(clockid_t clock, struct timespec *ts)
{
    return static_cast<int>(syscall(SYS_clock_gettime, clock, ts));
}

/* clock_gettime, found at run time: linked directly it would bind a symbol
 * version newer than the oldest glibc the agent supports. */
clock_func read_clock = clock_by_syscall;

void find_clock()
{
    void *found = dlsym(RTLD_DEFAULT, "clock_gettime");
    if (found != nullptr) {
        __atomic_store_n(&read_clock, reinterpret_cast<clock_func>(found), __ATOMIC_RELEASE);
    }
}

int64_t now_ns()
{
    struct timespec ts;
    __atomic_load_n(&read_clock, __ATOMIC_RELAXED)(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

/* The record at `index`, or null when its chunk does not exist. */
thread_record *record_at(size_t index)
{
    thread_record *chunk =
        __atomic_load_n(&record_chunks[index / records_per_chunk], __ATOMIC_ACQUIRE);
    return chunk == nullptr ? nullptr : &chunk[index % records_per_chunk];
}

size_t records_in_use()
{
    size_t count = __atomic_load_n(&record_count, __ATOMIC_ACQUIRE);
    return count < max_records ? count : max_records;
}

/* Hand out a fresh record for the calling thread in the current session.
 * On success return it, published.  On error (table full, no memory)
 * return null. */
thread_record *new_record(bool is_agent)
{
    size_t index = __atomic_fetch_add(&record_count, 1, __ATOMIC_ACQ_REL);
    if (index >= max_records) {
        return nullptr;
    }
    thread_record **chunk_slot = &record_chunks[index / records_per_chunk];
    thread_record *chunk = __atomic_load_n(chunk_slot, __ATOMIC_ACQUIRE);
    if (chunk == nullptr) {
        thread_record *fresh =
            static_cast<thread_record *>(calloc(records_per_chunk, sizeof(thread_record)));
        if (fresh == nullptr) {
            return nullptr;
        }
        thread_record *expected = nullptr;
        if (__atomic_compare_exchange_n(chunk_slot, &expected, fresh, false, __ATOMIC_ACQ_REL,
                                        __ATOMIC_ACQUIRE)) {
            chunk = fresh;
        }
        else {
            free(fresh);
            chunk = expected;
        }
    }
    thread_record *record = &chunk[index % records_per_chunk];
    record->seq = 0;
    record->state = THREAD_IDLE;
    record->wait_start_ns = record->hold_start_ns = 0;
    record->waited_ns = record->held_ns = 0;
    record->acquisitions = 0;
    record->native_id = static_cast<long>(syscall(SYS_gettid));
    record->is_agent = is_agent;
    memset(record->os_name, 0, sizeof(record->os_name));
    prctl(PR_GET_NAME, record->os_name, 0, 0, 0);
    record->os_name[sizeof(record->os_name) - 1] = '\0';
    record->named = is_agent;
    record->name_tries = 0;
    if (is_agent) {
        snprintf(record->name, sizeof(record->name), "%s", agent_thread_name);
    }
    else {
        record->name[0] = '\0';
        __atomic_store_n(&names_pending, 1, __ATOMIC_RELEASE);
        int wake_fd = __atomic_load_n(&naming_wake_fd, __ATOMIC_ACQUIRE);
        if (wake_fd >= 0 && __atomic_exchange_n(&naming_signalled, 1, __ATOMIC_ACQ_REL) == 0) {
            uint64_t one = 1;
            ssize_t written = write(wake_fd, &one, sizeof(one));
            (void)written; /* a failed poke only delays the name to the next report */
        }
    }
    __atomic_store_n(&record->ready, 1, __ATOMIC_RELEASE);
    return record;
}

/* The calling thread's record for the current session, created on first
 * use.  Returns null when no record can be had. */
thread_record *current_record()
{
    uint64_t epoch = __atomic_load_n(&session_epoch, __ATOMIC_ACQUIRE);
    record_binding *binding = this_thread_binding();
    if (binding == nullptr) {
        return nullptr;
    }
    if (binding->epoch != epoch) {
        binding->record = new_record(false);
        binding->epoch = epoch;
    }
    return binding->record;
}

void begin_update(thread_record *record)
{
    __atomic_store_n(&record->seq, record->seq + 1, __ATOMIC_RELAXED);
    __atomic_thread_fence(__ATOMIC_RELEASE);
}

void end_update(thread_record *record)
{
    __atomic_store_n(&record->seq, record->seq + 1, __ATOMIC_RELEASE);
}

template <typename T> void store_field(T *field, T value)
{
    __atomic_store_n(field, value, __ATOMIC_RELAXED);
}



/* Read a record consistently, counting a hold or wait in progress up to
 * `now`.  Never blocks on the owner for long: it only retries while the
 * owner is inside a few stores. */
record_figures read_record(const thread_record *record, int64_t now)
{
    record_figures figures;
    for (unsigned spins = 0;; spins++) {
        uint32_t before = __atomic_load_n(&record->seq, __ATOMIC_ACQUIRE);
        if ((before & 1) == 0) {
            uint8_t state = load_field(&record->state);
            int64_t wait_start = load_field(&record->wait_start_ns);
            int64_t hold_start = load_field(&record->hold_start_ns);
            figures.held_ns = load_field(&record->held_ns);
            figures.waited_ns = load_field(&record->waited_ns);
            figures.acquisitions = load_field(&record->acquisitions);
            __atomic_thread_fence(__ATOMIC_ACQUIRE);
            if (__atomic_load_n(&record->seq, __ATOMIC_RELAXED) == before) {
                if (state == THREAD_HOLDING && now > hold_start) {
                    figures.held_ns += now - hold_start;
                }
                else if (state == THREAD_WAITING && now > wait_start) {
                    figures.waited_ns += now - wait_start;
                }
                return figures;
            }
        }
        if (spins > 64) {
            sched_yield();
        }
    }
}

bool create_binding_key()
{
    if (!binding_key_created) {
        if (pthread_key_create(&binding_key, free_binding) != 0) {
            return false;
        }
        binding_key_created = true;
    }
    return true;
}

thread_record *bind_agent_record()
{
    thread_record *self = new_record(true);
    record_binding *binding = this_thread_binding();
    if (binding != nullptr) {
        binding->record = self;
        binding->epoch = __atomic_load_n(&session_epoch, __ATOMIC_ACQUIRE);
    }
    return self;
}

void reset_records()
{
    size_t previous = records_in_use();
    for (size_t i = 0; i < previous; i++) {
        thread_record *record = record_at(i);
        if (record != nullptr) {
            __atomic_store_n(&record->ready, 0, __ATOMIC_RELAXED);
        }
    }
    __atomic_store_n(&record_count, 0, __ATOMIC_RELEASE);
    __atomic_store_n(&names_pending, 0, __ATOMIC_RELAXED);
    __atomic_store_n(&naming_signalled, 0, __ATOMIC_RELAXED);
    __atomic_store_n(&session_epoch, session_epoch + 1, __ATOMIC_RELEASE);
}

/* ---- The hooks ---------------------------------------------------------- */


mutex_func real_lock;
mutex_func real_unlock;
pthread_mutex_t *watched_mutex; /* &gil->mutex while a session is on, else null */
const int *gil_locked;          /* &gil->locked */
int64_t session_start_ns;
int hooks_in_flight;

/* Written only under gil->mutex (or before the hooks are live). */
thread_record *gil_holder;
thread_record *previous_holder;
uint64_t switch_count;

/* Count this hook as running for `mutex`.  Returns false (nothing to do)
 * when the session ended meanwhile.  Paired with the stop path, which
 * clears watched_mutex and then waits for the count to reach zero. */
bool enter_hook(pthread_mutex_t *mutex)
{
    __atomic_add_fetch(&hooks_in_flight, 1, __ATOMIC_SEQ_CST);
    if (__atomic_load_n(&watched_mutex, __ATOMIC_SEQ_CST) == mutex) {
        return true;
    }
    __atomic_sub_fetch(&hooks_in_flight, 1, __ATOMIC_SEQ_CST);
    return false;
}

void leave_hook()
{
    __atomic_sub_fetch(&hooks_in_flight, 1, __ATOMIC_RELEASE);
}

/* gil->mutex is about to be locked by this thread: in take_gil() when the
 * thread does not hold the GIL (its wait starts now), in drop_gil() when
 * it does (nothing to note until the unlock). */
void note_gil_mutex_lock()
{
    thread_record *record = current_record();
    thread_record *self = record != nullptr ? record : &overflow_record;
    if (__atomic_load_n(&gil_holder, __ATOMIC_RELAXED) == self || record == nullptr) {
        return;
    }
    int64_t now = now_ns();
    begin_update(record);
    store_field(&record->wait_start_ns, now);
    store_field(&record->state, static_cast<uint8_t>(THREAD_WAITING));
    end_update(record);
}

/* gil->mutex is about to be unlocked by this thread, which still owns it,
 * so gil->locked and gil_holder are stable here. */
void note_gil_mutex_unlock()
{
    thread_record *record = current_record();
    thread_record *self = record != nullptr ? record : &overflow_record;
    thread_record *holder = __atomic_load_n(&gil_holder, __ATOMIC_RELAXED);
    int locked = __atomic_load_n(gil_locked, __ATOMIC_RELAXED);
    int64_t now = now_ns();
    if (locked == 0) {
        /* drop_gil(): the holder let go. */
        if (holder != self) {
            return;
        }
        __atomic_store_n(&gil_holder, static_cast<thread_record *>(nullptr), __ATOMIC_RELAXED);
        if (record != nullptr) {
            begin_update(record);
            store_field(&record->held_ns, record->held_ns + (now - record->hold_start_ns));
            store_field(&record->state, static_cast<uint8_t>(THREAD_IDLE));
            end_update(record);
        }
        return;
    }
    if (locked != 1 || holder == self) {
        return;
    }
    if (holder != nullptr) {
        /* Leaving take_gil() without the GIL: a thread told to exit at
         * interpreter shutdown.  Its wait ends here. */
        if (record != nullptr && record->state == THREAD_WAITING) {
            begin_update(record);
            store_field(&record->waited_ns, record->waited_ns + (now - record->wait_start_ns));
            store_field(&record->state, static_cast<uint8_t>(THREAD_IDLE));
            end_update(record);
        }
        return;
    }
    /* take_gil() succeeded. */
    __atomic_store_n(&gil_holder, self, __ATOMIC_RELAXED);
    if (previous_holder != self) {
        previous_holder = self;
        __atomic_store_n(&switch_count, switch_count + 1, __ATOMIC_RELAXED);
    }
    if (record != nullptr) {
        /* A thread seen first here was already queued when the session
         * started, so its wait is counted from the start. */
        int64_t wait_start =
            record->state == THREAD_WAITING ? record->wait_start_ns : session_start_ns;
        begin_update(record);
        store_field(&record->waited_ns, record->waited_ns + (now - wait_start));
        store_field(&record->hold_start_ns, now);
        store_field(&record->acquisitions, record->acquisitions + 1);
        store_field(&record->state, static_cast<uint8_t>(THREAD_HOLDING));
        end_update(record);
    }
}

int hooked_mutex_lock(pthread_mutex_t *mutex)
{
    if (mutex == __atomic_load_n(&watched_mutex, __ATOMIC_RELAXED) && enter_hook(mutex)) {
        int saved_errno = errno;
        note_gil_mutex_lock();
        errno = saved_errno;
        leave_hook();
    }
    return __atomic_load_n(&real_lock, __ATOMIC_RELAXED)(mutex);
}

int hooked_mutex_unlock(pthread_mutex_t *mutex)
{
    if (mutex == __atomic_load_n(&watched_mutex, __ATOMIC_RELAXED) && enter_hook(mutex)) {
        int saved_errno = errno;
        note_gil_mutex_unlock();
        errno = saved_errno;
        leave_hook();
    }
    return __atomic_load_n(&real_unlock, __ATOMIC_RELAXED)(mutex);
}

}  // namespace gil
}  // namespace vandrel
