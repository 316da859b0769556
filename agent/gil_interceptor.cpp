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
#include "patchlevel.h"
#include "pyconfig.h"
/* The GIL's layout comes from the interpreter's internal headers, for the
 * one version whose take_gil()/drop_gil() protocol the hooks follow.  Built
 * against any other, the interceptor reports itself not available. */
#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
#define VANDREL_GIL_LAYOUT_KNOWN 1
#define Py_BUILD_CORE 1
#else
#define VANDREL_GIL_LAYOUT_KNOWN 0
#endif
#include "python_api.h"
#if VANDREL_GIL_LAYOUT_KNOWN
#include "internal/pycore_interp.h"
#endif

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "agent.h"
#include "gil_got.h"

namespace vandrel {

namespace {

/* ---- Parameters --------------------------------------------------------- */

const int64_t default_sample_period_us = 10000;
const int64_t min_sample_period_us = 100;
const int64_t max_sample_period_us = 60LL * 1000 * 1000;
const int64_t max_report_period_ms = 1000LL * 1000 * 1000;
/* Passes that look for a new thread's name before giving up on it. */
const uint8_t max_name_tries = 5;
const char agent_thread_name[] = "vandrel-agent";
/* How long one report waits for report_fd to take more bytes. */
const int report_write_timeout_ms = 1000;

/* ---- The interpreter ---------------------------------------------------- */

/* The interpreter's functions: null until an entry point finds them, then
 * constant.  The reporter thread and the callbacks only run after that. */
const python_api *py = nullptr;

/* Point `py` at the interpreter's functions.  GIL held (entry points).
 * On success return true; return false when the process lacks one of
 * them (the answer is cached). */
bool load_python_api()
{
    if (py == nullptr) {
        py = python_api_get_for_interceptor();
    }
    return py != nullptr;
}

/* ---- Per-thread records ------------------------------------------------- */

enum thread_state : uint8_t { THREAD_IDLE = 0, THREAD_WAITING = 1, THREAD_HOLDING = 2 };

struct thread_record {
    /* Written by the owning thread only, under `seq` (odd while updating). */
    uint32_t seq;
    uint8_t state;
    int64_t wait_start_ns;
    int64_t hold_start_ns;
    int64_t waited_ns;
    int64_t held_ns;
    uint64_t acquisitions;
    /* Set before `ready` is published, then constant. */
    long native_id;
    bool is_agent;
    char os_name[16];
    /* Touched only with the GIL held (naming passes and reports). */
    bool named;
    uint8_t name_tries;
    char name[64];
    uint8_t ready;
};

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

template <typename T> T load_field(const T *field)
{
    return __atomic_load_n(field, __ATOMIC_RELAXED);
}

struct record_figures {
    int64_t held_ns;
    int64_t waited_ns;
    uint64_t acquisitions;
};

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

/* ---- The hooks ---------------------------------------------------------- */

typedef int (*mutex_func)(pthread_mutex_t *);

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

/* ---- Session state (changed only by the entry points, GIL held) -------- */

enum session_phase : int { SESSION_OFF, SESSION_STARTING, SESSION_ON, SESSION_STOPPING };

int session_phase_now = SESSION_OFF;

const int max_slots = 4;
got_slot lock_slots[max_slots];
got_slot unlock_slots[max_slots];
int lock_slot_count;
int unlock_slot_count;

/* One background thread per session.  Shared by the thread and the entry
 * points; freed by whoever finishes with it last (see gil_interceptor_stop). */
struct reporter {
    pthread_t thread;
    int wake_fd;  /* eventfd written by the stop request */
    int stop;     /* atomic: set once by the stop request */
    int detached; /* set by a stop called on the reporter thread itself */
    int64_t sample_period_ns;
    int64_t report_period_ns;
};

void free_reporter(reporter *r)
{
    close(r->wake_fd);
    free(r);
}

bool stop_requested(reporter *r)
{
    return __atomic_load_n(&r->stop, __ATOMIC_ACQUIRE) != 0;
}

struct session_config {
    PyObject *sink; /* owned reference, or null for None */
    int32_t report_fd;
    reporter *background;
};

session_config session;

/* A close-on-exec duplicate of fd, numbered 3 or above.  On success return
 * it; on error return -1.  A raw system call: fcntl() would bind a glibc
 * symbol newer than the oldest glibc the agent supports. */
int own_duplicate(int fd)
{
    long duplicate = syscall(SYS_fcntl, fd, F_DUPFD_CLOEXEC, 3);
    return duplicate < 0 ? -1 : static_cast<int>(duplicate);
}

/* Close the session's own report descriptor, if any.  Entry points only,
 * once the reporter has stopped (or, after fork, does not exist). */
void close_report_fd()
{
    if (session.report_fd >= 0) {
        close(session.report_fd);
        session.report_fd = -1;
    }
}

/* ---- Patching ----------------------------------------------------------- */

/* Point every slot at `hook`.  On success return true.  On error put back
 * the slots already written and return false. */
bool patch_slots(got_slot *slots, int count, void *hook)
{
    for (int i = 0; i < count; i++) {
        if (!write_got_slot(&slots[i], hook)) {
            for (int j = 0; j < i; j++) {
                write_got_slot(&slots[j], slots[j].original);
            }
            return false;
        }
    }
    return true;
}

void restore_slots(got_slot *slots, int count)
{
    for (int i = 0; i < count; i++) {
        write_got_slot(&slots[i], slots[i].original);
    }
}

/* The function a slot leads to once bound: its current value, unless that
 * is still a lazy-binding stub inside the interpreter library (or one of
 * our hooks), in which case the symbol as the process resolves it. */
mutex_func bound_function(const got_slot *slot, const void *anchor, const char *symbol,
                          void *hook)
{
    if (slot->original != hook && !same_object(anchor, slot->original)) {
        return reinterpret_cast<mutex_func>(slot->original);
    }
    return reinterpret_cast<mutex_func>(dlsym(RTLD_DEFAULT, symbol));
}

/* Does a slot lead into another copy of this agent (an object whose path
 * names it, loaded from elsewhere)?  Then that copy's interceptor is on:
 * chaining behind its hook would leave the slots pointing at it once it
 * is switched off. */
bool hooked_by_another_agent(const got_slot *slots, int count)
{
    Dl_info ours;
    if (dladdr(reinterpret_cast<void *>(hooked_mutex_lock), &ours) == 0) {
        return false;
    }
    for (int i = 0; i < count; i++) {
        Dl_info owner;
        if (dladdr(slots[i].original, &owner) != 0 && owner.dli_fbase != ours.dli_fbase &&
            owner.dli_fname != nullptr && strstr(owner.dli_fname, "vandrel_agent.") != nullptr) {
            return true;
        }
    }
    return false;
}

/* Stop observing: put the interpreter's slots back and wait until no hook
 * is still touching the records.  Afterwards the records are frozen. */
void unhook()
{
    restore_slots(lock_slots, lock_slot_count);
    restore_slots(unlock_slots, unlock_slot_count);
    __atomic_store_n(&watched_mutex, static_cast<pthread_mutex_t *>(nullptr), __ATOMIC_SEQ_CST);
    while (__atomic_load_n(&hooks_in_flight, __ATOMIC_SEQ_CST) != 0) {
        sched_yield();
    }
    /* No hook can poke the reporter any more: its eventfd may be closed. */
    __atomic_store_n(&naming_wake_fd, -1, __ATOMIC_RELEASE);
}

/* ---- Thread names ------------------------------------------------------- */

struct live_thread {
    long native_id;
    char name[64];
};

struct live_threads {
    live_thread *items;
    size_t count;
    size_t capacity;
};

/* Copy a UTF-8 string into a fixed buffer, cutting at a character edge. */
void copy_name(char *dest, size_t size, const char *source, size_t length)
{
    if (length >= size) {
        length = size - 1;
        while (length > 0 && (static_cast<unsigned char>(source[length]) & 0xC0) == 0x80) {
            length--;
        }
    }
    memcpy(dest, source, length);
    dest[length] = '\0';
}

/* List the threads the threading module knows, with native id and name.
 * GIL held.  Never leaves an exception set; on any failure the list is
 * simply shorter (empty when threading was never imported). */
void list_python_threads(live_threads *out)
{
    out->items = nullptr;
    out->count = out->capacity = 0;
    PyObject *module_name = py->unicode_from_string("threading");
    PyObject *threading = module_name ? py->import_get_module(module_name) : nullptr;
    if (module_name) {
        py->decref(module_name);
    }
    PyObject *enumerate = threading ? py->object_get_attr_string(threading, "enumerate") : nullptr;
    PyObject *threads = enumerate ? py->object_call_no_args(enumerate) : nullptr;
    PyObject *iterator = threads ? py->object_get_iter(threads) : nullptr;
    if (iterator != nullptr) {
        PyObject *thread;
        while ((thread = py->iter_next(iterator)) != nullptr) {
            PyObject *native_id = py->object_get_attr_string(thread, "native_id");
            PyObject *name = py->object_get_attr_string(thread, "name");
            long long id = -1;
            if (native_id != nullptr && native_id != py->none) {
                id = py->long_as_long_long(native_id);
            }
            Py_ssize_t length = 0;
            const char *text = name ? py->unicode_as_utf8_and_size(name, &length) : nullptr;
            if (py->err_occurred()) {
                py->err_clear();
            }
            if (id > 0 && text != nullptr) {
                if (out->count == out->capacity) {
                    size_t capacity = out->capacity ? out->capacity * 2 : 16;
                    void *grown = realloc(out->items, capacity * sizeof(live_thread));
                    if (grown != nullptr) {
                        out->items = static_cast<live_thread *>(grown);
                        out->capacity = capacity;
                    }
                }
                if (out->count < out->capacity) {
                    live_thread *item = &out->items[out->count++];
                    item->native_id = static_cast<long>(id);
                    copy_name(item->name, sizeof(item->name), text, static_cast<size_t>(length));
                }
            }
            if (native_id) {
                py->decref(native_id);
            }
            if (name) {
                py->decref(name);
            }
            py->decref(thread);
        }
        py->decref(iterator);
    }
    if (threads) {
        py->decref(threads);
    }
    if (enumerate) {
        py->decref(enumerate);
    }
    if (threading) {
        py->decref(threading);
    }
    if (py->err_occurred()) {
        py->err_clear();
    }
}

int compare_live_by_id(const void *left, const void *right)
{
    long a = static_cast<const live_thread *>(left)->native_id;
    long b = static_cast<const live_thread *>(right)->native_id;
    return a < b ? -1 : a > b;
}

/* The entry of `threads` (sorted by id) for `native_id`, or null. */
const live_thread *find_live(const live_threads *threads, long native_id)
{
    live_thread key;
    key.native_id = native_id;
    return static_cast<const live_thread *>(
        bsearch(&key, threads->items, threads->count, sizeof(live_thread), compare_live_by_id));
}

/* Give names from `threads` to the records that have none yet, sorting
 * `threads` by id on the way.  GIL held.  Returns whether some record
 * still lacks a name and deserves another try. */
bool name_records(live_threads *threads)
{
    if (threads->count > 1) {
        qsort(threads->items, threads->count, sizeof(live_thread), compare_live_by_id);
    }
    bool still_pending = false;
    size_t count = records_in_use();
    for (size_t i = 0; i < count; i++) {
        thread_record *record = record_at(i);
        if (record == nullptr || !__atomic_load_n(&record->ready, __ATOMIC_ACQUIRE) ||
            record->named) {
            continue;
        }
        const live_thread *match =
            threads->count > 0 ? find_live(threads, record->native_id) : nullptr;
        if (match != nullptr) {
            memcpy(record->name, match->name, sizeof(record->name));
            record->named = true;
        }
        else if (++record->name_tries < max_name_tries) {
            still_pending = true;
        }
    }
    return still_pending;
}

/* ---- Reports ------------------------------------------------------------ */

struct report_row {
    long native_id;
    const char *name;
    int64_t held_ns;
    int64_t waited_ns;
    uint64_t acquisitions;
};

struct report_data {
    report_row *rows;
    size_t count;
    int64_t wall_ns;
    int64_t held_ns;
    int64_t waited_ns;
    uint64_t switches;
    live_threads threads; /* owns the names of rows without a record */
};

int compare_rows_by_wait(const void *left, const void *right)
{
    const report_row *a = static_cast<const report_row *>(left);
    const report_row *b = static_cast<const report_row *>(right);
    if (a->waited_ns != b->waited_ns) {
        return a->waited_ns > b->waited_ns ? -1 : 1;
    }
    if (a->held_ns != b->held_ns) {
        return a->held_ns > b->held_ns ? -1 : 1;
    }
    return a->native_id < b->native_id ? -1 : a->native_id > b->native_id;
}

int compare_rows_by_id(const void *left, const void *right)
{
    long a = static_cast<const report_row *>(left)->native_id;
    long b = static_cast<const report_row *>(right)->native_id;
    return a < b ? -1 : a > b;
}

/* Gather the figures as of `now`.  GIL held.  Rows: one per native id
 * (records of a reused id are added up), plus live Python threads that
 * never touched the GIL, with zeros; sorted by wait, longest first.  On
 * allocation failure the rows are missing but the totals stand. */
void collect_report(int64_t now, report_data *data)
{
    memset(data, 0, sizeof(*data));
    list_python_threads(&data->threads);
    name_records(&data->threads);
    size_t records = records_in_use();
    data->rows = static_cast<report_row *>(
        calloc(records + data->threads.count + 1, sizeof(report_row)));
    data->wall_ns = now - session_start_ns;
    data->switches = __atomic_load_n(&switch_count, __ATOMIC_RELAXED);
    for (size_t i = 0; i < records; i++) {
        thread_record *record = record_at(i);
        if (record == nullptr || !__atomic_load_n(&record->ready, __ATOMIC_ACQUIRE)) {
            continue;
        }
        record_figures figures = read_record(record, now);
        data->held_ns += figures.held_ns;
        data->waited_ns += figures.waited_ns;
        if (data->rows != nullptr) {
            report_row *row = &data->rows[data->count++];
            row->native_id = record->native_id;
            row->name = record->named ? record->name : record->os_name;
            row->held_ns = figures.held_ns;
            row->waited_ns = figures.waited_ns;
            row->acquisitions = figures.acquisitions;
        }
    }
    if (data->rows == nullptr) {
        return;
    }
    /* Merge the records of a native id the kernel handed out again. */
    qsort(data->rows, data->count, sizeof(report_row), compare_rows_by_id);
    size_t merged = 0;
    for (size_t i = 0; i < data->count; i++) {
        report_row *row = &data->rows[i];
        if (merged > 0 && data->rows[merged - 1].native_id == row->native_id) {
            report_row *into = &data->rows[merged - 1];
            into->held_ns += row->held_ns;
            into->waited_ns += row->waited_ns;
            into->acquisitions += row->acquisitions;
            continue;
        }
        data->rows[merged++] = *row;
    }
    data->count = merged;
    size_t with_records = merged;
    for (size_t j = 0; j < data->threads.count; j++) {
        report_row key;
        key.native_id = data->threads.items[j].native_id;
        report_row *known = static_cast<report_row *>(
            bsearch(&key, data->rows, with_records, sizeof(report_row), compare_rows_by_id));
        if (known != nullptr) {
            /* A live thread owns the id now: its name wins. */
            known->name = data->threads.items[j].name;
            continue;
        }
        report_row *row = &data->rows[data->count++];
        row->native_id = key.native_id;
        row->name = data->threads.items[j].name;
    }
    qsort(data->rows, data->count, sizeof(report_row), compare_rows_by_wait);
}

void release_report(report_data *data)
{
    free(data->rows);
    free(data->threads.items);
}

double seconds(int64_t ns)
{
    return static_cast<double>(ns) / 1e9;
}

/* dict[key] = value, consuming `value`.  Returns false on failure (with an
 * exception set); a null `value` counts as failure. */
bool set_item(PyObject *dict, const char *key, PyObject *value)
{
    if (value == nullptr) {
        return false;
    }
    int result = py->dict_set_item_string(dict, key, value);
    py->decref(value);
    return result == 0;
}

/* The report as a dict for the sink.  GIL held.  On success return a new
 * reference; on failure return null with an exception set. */
PyObject *report_dict(const report_data *data, bool final)
{
    PyObject *dict = py->dict_new();
    PyObject *threads = py->dict_new();
    bool ok = dict != nullptr && threads != nullptr &&
              set_item(dict, "wall_s", py->float_from_double(seconds(data->wall_ns))) &&
              set_item(dict, "held_s", py->float_from_double(seconds(data->held_ns))) &&
              set_item(dict, "wait_s", py->float_from_double(seconds(data->waited_ns))) &&
              set_item(dict, "switches",
                       py->long_from_long_long(static_cast<long long>(data->switches))) &&
              set_item(dict, "final", py->bool_from_long(final));
    for (size_t i = 0; ok && i < data->count; i++) {
        const report_row *row = &data->rows[i];
        PyObject *entry = py->dict_new();
        PyObject *key = py->long_from_long_long(row->native_id);
        ok = entry != nullptr && key != nullptr &&
             set_item(entry, "name",
                      py->unicode_decode_utf8(row->name, static_cast<Py_ssize_t>(strlen(row->name)),
                                              "replace")) &&
             set_item(entry, "held_s", py->float_from_double(seconds(row->held_ns))) &&
             set_item(entry, "wait_s", py->float_from_double(seconds(row->waited_ns))) &&
             set_item(entry, "acquisitions",
                      py->long_from_long_long(static_cast<long long>(row->acquisitions))) &&
             py->dict_set_item(threads, key, entry) == 0;
        if (entry) {
            py->decref(entry);
        }
        if (key) {
            py->decref(key);
        }
    }
    if (ok) {
        py->incref(threads);
        ok = set_item(dict, "threads", threads);
    }
    if (threads) {
        py->decref(threads);
    }
    if (!ok) {
        if (dict) {
            py->decref(dict);
        }
        return nullptr;
    }
    return dict;
}

struct text_buffer {
    char *data;
    size_t length;
    size_t capacity;
};

__attribute__((format(printf, 2, 3))) void append(text_buffer *text, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    for (;;) {
        size_t room = text->capacity - text->length;
        int needed = -1;
        if (text->data) {
            va_list attempt;
            va_copy(attempt, args);
            /* clang-14's analyzer loses track of va_copy inside a loop. */
            needed = vsnprintf(text->data + text->length, room, format, attempt);  // NOLINT(clang-analyzer-valist.Uninitialized)
            va_end(attempt);
        }
        if (text->data && needed >= 0 && static_cast<size_t>(needed) < room) {
            text->length += static_cast<size_t>(needed);
            break;
        }
        size_t capacity = text->capacity ? text->capacity * 2 : 4096;
        if (needed >= 0 && capacity < text->length + static_cast<size_t>(needed) + 1) {
            capacity = text->length + static_cast<size_t>(needed) + 1;
        }
        char *grown = static_cast<char *>(realloc(text->data, capacity));
        if (grown == nullptr) {
            break; /* out of memory: the line is dropped */
        }
        text->data = grown;
        text->capacity = capacity;
    }
    va_end(args);
}

double share(int64_t part, int64_t whole)
{
    if (whole <= 0) {
        return 0.0;
    }
    double value = 100.0 * static_cast<double>(part) / static_cast<double>(whole);
    return value > 100.0 ? 100.0 : value;
}

/* The human-readable report: totals, then one line per thread, most
 * waiting first, with a bar of held (#) and waiting (~) time. */
void report_text(const report_data *data, bool final, text_buffer *text)
{
    const int bar_width = 30;
    append(text,
           "GIL report (%s): wall %.3f s, held %.3f s (%.1f%%), waited %.3f s, %llu switches, "
           "%zu threads\n",
           final ? "final" : "periodic", seconds(data->wall_ns), seconds(data->held_ns),
           share(data->held_ns, data->wall_ns), seconds(data->waited_ns),
           static_cast<unsigned long long>(data->switches), data->count);
    append(text, "  %-20s %10s %9s %6s %9s %6s  held # / wait ~\n", "thread", "native id",
           "held s", "held", "wait s", "wait");
    for (size_t i = 0; i < data->count; i++) {
        const report_row *row = &data->rows[i];
        double held_share = share(row->held_ns, data->wall_ns);
        double wait_share = share(row->waited_ns, data->wall_ns);
        char bar[64];
        /* Shares are never negative, so adding 0.5 rounds to nearest
         * without pulling in libm's lround. */
        int held_marks = static_cast<int>(held_share * bar_width / 100.0 + 0.5);  // NOLINT(bugprone-incorrect-roundings)
        int wait_marks = static_cast<int>(wait_share * bar_width / 100.0 + 0.5);  // NOLINT(bugprone-incorrect-roundings)
        if (held_marks + wait_marks > bar_width) {
            wait_marks = bar_width - held_marks;
        }
        for (int k = 0; k < bar_width; k++) {
            bar[k] = k < held_marks ? '#' : k < held_marks + wait_marks ? '~' : ' ';
        }
        bar[bar_width] = '\0';
        char name[21];
        copy_name(name, sizeof(name), row->name, strlen(row->name));
        append(text, "  %-20s %10ld %9.3f %5.1f%% %9.3f %5.1f%%  [%s]\n", name, row->native_id,
               seconds(row->held_ns), held_share, seconds(row->waited_ns), wait_share, bar);
    }
}

/* Write all of `length` bytes to fd, retrying on EINTR and short writes,
 * in pieces no larger than a pipe's atomic size, each once poll() says the
 * fd takes it.  Gives up silently on any other error (closed or invalid
 * fd) and when the fd accepts nothing for report_write_timeout_ms: a pipe
 * nobody reads must not hold the agent's thread, and so the stop, for ever.
 * Returns whether a write failed with EPIPE. */
bool write_pieces(int fd, const char *data, size_t length)
{
    while (length > 0) {
        struct pollfd ready = {fd, POLLOUT, 0};
        int polled = poll(&ready, 1, report_write_timeout_ms);
        if (polled < 0 && errno == EINTR) {
            continue;
        }
        if (polled <= 0 || (ready.revents & (POLLERR | POLLNVAL | POLLHUP)) != 0) {
            return false;
        }
        size_t piece = length < PIPE_BUF ? length : PIPE_BUF;
        ssize_t written = write(fd, data, piece);
        if (written < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return errno == EPIPE;
        }
        data += written;
        length -= static_cast<size_t>(written);
    }
    return false;
}

/* write_pieces(), with the SIGPIPE a pipe whose reader has gone raises
 * blocked on this thread and consumed: it must not kill a process that
 * did not ignore it. */
void write_all(int fd, const char *data, size_t length)
{
    sigset_t pipe_only, old_mask, pending;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    bool already_pending = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    bool masked = sigprocmask(SIG_BLOCK, &pipe_only, &old_mask) == 0;
    bool broken_pipe = write_pieces(fd, data, length);
    if (masked) {
        if (broken_pipe && !already_pending) {
            struct timespec no_wait = {0, 0};
            while (sigtimedwait(&pipe_only, nullptr, &no_wait) < 0 && errno == EINTR) {
            }
        }
        sigprocmask(SIG_SETMASK, &old_mask, nullptr);
    }
}

/* Produce one report as of `now`: text to report_fd (written with the GIL
 * released, so a full pipe read by a Python thread cannot deadlock) and a
 * dict to the sink.  GIL held on entry and exit; the calling thread must
 * own a thread state.  A sink exception goes to PyErr_WriteUnraisable; no
 * exception is left set. */
void emit_report(int64_t now, bool final, PyObject *sink, int32_t report_fd)
{
    report_data data;
    collect_report(now, &data);
    if (report_fd >= 0) {
        text_buffer text = {nullptr, 0, 0};
        report_text(&data, final, &text);
        if (text.data != nullptr) {
            PyThreadState *state = py->eval_save_thread();
            write_all(report_fd, text.data, text.length);
            py->eval_restore_thread(state);
            free(text.data);
        }
    }
    if (sink != nullptr) {
        PyObject *dict = report_dict(&data, final);
        if (dict == nullptr) {
            py->err_write_unraisable(sink);
        }
        else {
            /* Our own reference: the sink may end the session, which drops
             * the session's one, while it runs. */
            py->incref(sink);
            PyObject *result = py->object_call_one_arg(sink, dict);
            if (result == nullptr) {
                py->err_write_unraisable(sink);
            }
            else {
                py->decref(result);
            }
            py->decref(sink);
            py->decref(dict);
        }
    }
    if (py->err_occurred()) {
        py->err_clear();
    }
    release_report(&data);
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

/* Name the records that have no name yet.  GIL held.  Returns whether some
 * still lack one and deserve another try. */
bool naming_pass()
{
    __atomic_store_n(&names_pending, 0, __ATOMIC_RELAXED);
    live_threads threads;
    list_python_threads(&threads);
    bool retry = name_records(&threads);
    free(threads.items);
    return retry;
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
    thread_record *self = new_record(true);
    record_binding *binding = this_thread_binding();
    if (binding != nullptr) {
        binding->record = self;
        binding->epoch = __atomic_load_n(&session_epoch, __ATOMIC_ACQUIRE);
    }
    int64_t next_report = r->report_period_ns > 0 ? now_ns() + r->report_period_ns : INT64_MAX;
    int64_t next_naming = INT64_MAX;
    for (;;) {
        /* Clear the poke before looking, so a thread arriving meanwhile
         * pokes again. */
        __atomic_store_n(&naming_signalled, 0, __ATOMIC_SEQ_CST);
        if (next_naming == INT64_MAX && __atomic_load_n(&names_pending, __ATOMIC_SEQ_CST)) {
            next_naming = now_ns() + r->sample_period_ns;
        }
        wait_until(r, next_report < next_naming ? next_report : next_naming);
        if (stop_requested(r)) {
            break;
        }
        int64_t now = now_ns();
        bool report_due = now >= next_report;
        bool naming_due = now >= next_naming;
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
        py->gil_state_release(gil);
        if (naming_due) {
            next_naming = retry_naming ? now + r->sample_period_ns : INT64_MAX;
        }
        if (report_due) {
            while (next_report <= now) {
                next_report += r->report_period_ns;
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
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    int error = pthread_create(&r->thread, nullptr, reporter_main, r);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (error != 0) {
        free_reporter(r);
        return nullptr;
    }
    return r;
}

/* ---- Process-level hooks -------------------------------------------------- */

/* os.register_at_fork(after_in_child=...) callback.  In a forked child
 * only the forking thread exists: the reporter is gone and the interpreter
 * has re-created its GIL.  Switch the interceptor off there, silently (the
 * parent's session keeps its reports). */
PyObject *after_fork_in_child(PyObject * /*self*/, PyObject * /*unused*/)
{
    if (session_phase_now != SESSION_OFF) {
        restore_slots(lock_slots, lock_slot_count);
        restore_slots(unlock_slots, unlock_slot_count);
        __atomic_store_n(&watched_mutex, static_cast<pthread_mutex_t *>(nullptr), __ATOMIC_SEQ_CST);
        hooks_in_flight = 0; /* hooks of threads that do not exist here */
        naming_wake_fd = -1;
        reporter *r = session.background;
        session.background = nullptr;
        if (r != nullptr && pthread_equal(r->thread, pthread_self())) {
            /* Forked from inside the sink: this thread is the reporter,
             * still in its loop.  It ends once the sink returns and frees
             * its reporter itself, as after a stop from the sink. */
            r->detached = 1;
            __atomic_store_n(&r->stop, 1, __ATOMIC_RELEASE);
        }
        else if (r != nullptr) {
            free_reporter(r); /* its thread was not copied */
        }
        if (session.sink != nullptr) {
            py->decref(session.sink);
            session.sink = nullptr;
        }
        close_report_fd();
        session_phase_now = SESSION_OFF;
    }
    py->incref(py->none);
    return py->none;
}

PyMethodDef after_fork_def = {"_vandrel_gil_interceptor_after_fork", after_fork_in_child,
                              METH_NOARGS, nullptr};

/* atexit callback: end a session still on, so its final report is made
 * while the interpreter is intact and no hook outlives the GIL. */
PyObject *stop_at_exit(PyObject * /*self*/, PyObject * /*unused*/)
{
    if (session_phase_now == SESSION_ON) {
        gil_interceptor_stop();
    }
    py->incref(py->none);
    return py->none;
}

PyMethodDef stop_at_exit_def = {"_vandrel_gil_interceptor_atexit", stop_at_exit, METH_NOARGS,
                                nullptr};

/* Call `module`.`function`(callback) or, when `keyword` is given,
 * `module`.`function`(keyword=callback).  GIL held.  Leaves no exception
 * set; returns whether the call succeeded. */
bool register_callback(const char *module_name, const char *function, const char *keyword,
                       PyMethodDef *def)
{
    PyObject *module = py->import_module(module_name);
    PyObject *callback = py->cmethod_new(def, nullptr, nullptr, nullptr);
    PyObject *target = module ? py->object_get_attr_string(module, function) : nullptr;
    PyObject *kwargs = nullptr;
    PyObject *result = nullptr;
    if (target != nullptr && callback != nullptr) {
        if (keyword == nullptr) {
            result = py->object_call_one_arg(target, callback);
        }
        else {
            kwargs = py->dict_new();
            PyObject *no_args = kwargs ? py->tuple_new(0) : nullptr;
            if (no_args != nullptr && py->dict_set_item_string(kwargs, keyword, callback) == 0) {
                result = py->object_call(target, no_args, kwargs);
            }
            if (no_args) {
                py->decref(no_args);
            }
        }
    }
    bool ok = result != nullptr;
    PyObject *owned[] = {result, kwargs, target, callback, module};
    for (PyObject *object : owned) {
        if (object) {
            py->decref(object);
        }
    }
    if (py->err_occurred()) {
        py->err_clear();
    }
    return ok;
}

bool process_hooks_installed = false;

/* Once per process: the fork handler and the interpreter exit callback.
 * GIL held.  A failure to register either is not fatal. */
void install_process_hooks()
{
    if (process_hooks_installed) {
        return;
    }
    process_hooks_installed = true;
    register_callback("os", "register_at_fork", "after_in_child", &after_fork_def);
    register_callback("atexit", "register", nullptr, &stop_at_exit_def);
}

/* ---- Checks -------------------------------------------------------------- */

/* Is the running interpreter the one this agent was built for, with a
 * GIL?  Same minor version as the headers, not free-threaded, not
 * finalizing.  GIL held. */
bool interpreter_supported()
{
#if !VANDREL_GIL_LAYOUT_KNOWN
    return false;
#else
    if ((*py->version >> 16) != (PY_VERSION_HEX >> 16)) {
        return false;
    }
    PyObject *abiflags = py->sys_get_object("abiflags");
    if (abiflags != nullptr) {
        Py_ssize_t length = 0;
        const char *flags = py->unicode_as_utf8_and_size(abiflags, &length);
        if (flags == nullptr) {
            py->err_clear();
            return false;
        }
        if (strchr(flags, 't') != nullptr) {
            return false;
        }
    }
    /* Once the main interpreter is finalizing (set before the threads are
     * joined and the exit callbacks run, which includes ours) nothing
     * would switch us off again. */
    PyInterpreterState *main_interp = py->interpreter_main();
    return !py->is_finalizing() && main_interp != nullptr &&
           __atomic_load_n(&main_interp->finalizing, __ATOMIC_RELAXED) == 0;
#endif
}

/* Find the calling interpreter's GIL: its mutex and its `locked` flag.
 * GIL held, interpreter supported.  On success return true; return false
 * for a subinterpreter or when what we read does not look like the GIL. */
bool find_gil(pthread_mutex_t **mutex, const int **locked)
{
#if !VANDREL_GIL_LAYOUT_KNOWN
    (void)mutex;
    (void)locked;
    return false;
#else
    PyInterpreterState *interp = py->interpreter_get();
    if (interp == nullptr || interp != py->interpreter_main()) {
        return false;
    }
    struct _gil_runtime_state *gil = interp->ceval.gil;
    /* The caller holds the GIL, so a layout we read right shows it taken
     * and last held by the caller's own thread state. */
    if (gil == nullptr || __atomic_load_n(&gil->locked, __ATOMIC_RELAXED) != 1 ||
        __atomic_load_n(&gil->last_holder, __ATOMIC_RELAXED) != py->thread_state_get()) {
        return false;
    }
    *mutex = &gil->mutex;
    *locked = &gil->locked;
    return true;
#endif
}

/* Is the caller running in the main interpreter?  GIL held.  Only the
 * main interpreter's GIL is intercepted, and the session's sink belongs to
 * it: a subinterpreter (with its own GIL or not) must neither start nor
 * stop a session. */
bool in_main_interpreter()
{
    PyInterpreterState *interp = py->interpreter_get();
    return interp != nullptr && interp == py->interpreter_main();
}

/* -1 (no report) or an open descriptor.  poll() flags a closed one with
 * POLLNVAL and, unlike fcntl(), binds no newer glibc symbol. */
bool valid_fd(int32_t fd)
{
    if (fd == -1) {
        return true;
    }
    struct pollfd probe = {fd, 0, 0};
    return fd >= 0 && poll(&probe, 1, 0) >= 0 && (probe.revents & POLLNVAL) == 0;
}

}  // namespace

/* ---- Entry points ------------------------------------------------------- */

int32_t gil_interceptor_start(void *sink_arg, int64_t sample_period_us, int64_t report_period_ms,
                              int32_t report_fd, int32_t a, int32_t b, int32_t c)
{
    if (!load_python_api()) {
        return VANDREL_NOT_AVAILABLE;
    }
    if (!py->gil_state_check()) {
        return VANDREL_NO_GIL;
    }
    if (!in_main_interpreter()) {
        return VANDREL_NOT_AVAILABLE;
    }
    find_clock();
    pthread_mutex_t *gil_mutex = nullptr;
    const int *gil_locked_flag = nullptr;
    if (!interpreter_supported() || !find_gil(&gil_mutex, &gil_locked_flag)) {
        return VANDREL_NOT_AVAILABLE;
    }
    PyObject *sink = static_cast<PyObject *>(sink_arg);
    if (sink == py->none) {
        sink = nullptr;
    }
    if (sample_period_us == 0) {
        sample_period_us = default_sample_period_us;
    }
    if ((sink != nullptr && !py->callable_check(sink)) || sample_period_us < min_sample_period_us ||
        sample_period_us > max_sample_period_us || report_period_ms < 0 ||
        report_period_ms > max_report_period_ms || !valid_fd(report_fd) || a != 0 || b != 0 ||
        c != 0) {
        return VANDREL_BAD_PARAMETER;
    }
    if (session_phase_now != SESSION_OFF) {
        return VANDREL_ALREADY_ON;
    }
    if (!binding_key_created) {
        if (pthread_key_create(&binding_key, free_binding) != 0) {
            return VANDREL_SYSTEM_ERROR;
        }
        binding_key_created = true;
    }

    const void *anchor = reinterpret_cast<const void *>(py->eval_save_thread);
    lock_slot_count = find_got_slots(anchor, "pthread_mutex_lock", lock_slots, max_slots);
    unlock_slot_count = find_got_slots(anchor, "pthread_mutex_unlock", unlock_slots, max_slots);
    if (lock_slot_count <= 0 || unlock_slot_count <= 0) {
        lock_slot_count = unlock_slot_count = 0;
        return VANDREL_NOT_AVAILABLE;
    }
    if (hooked_by_another_agent(lock_slots, lock_slot_count) ||
        hooked_by_another_agent(unlock_slots, unlock_slot_count)) {
        lock_slot_count = unlock_slot_count = 0;
        return VANDREL_ALREADY_ON;
    }
    void *lock_hook = reinterpret_cast<void *>(hooked_mutex_lock);
    void *unlock_hook = reinterpret_cast<void *>(hooked_mutex_unlock);
    mutex_func lock_target = bound_function(&lock_slots[0], anchor, "pthread_mutex_lock", lock_hook);
    mutex_func unlock_target =
        bound_function(&unlock_slots[0], anchor, "pthread_mutex_unlock", unlock_hook);
    if (lock_target == nullptr || unlock_target == nullptr) {
        lock_slot_count = unlock_slot_count = 0;
        return VANDREL_NOT_AVAILABLE;
    }
    __atomic_store_n(&real_lock, lock_target, __ATOMIC_RELEASE);
    __atomic_store_n(&real_unlock, unlock_target, __ATOMIC_RELEASE);

    session_phase_now = SESSION_STARTING;
    /* A fresh session: no hook runs now (the previous stop waited for
     * them), so the records can be recycled. */
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
    switch_count = 0;
    session_start_ns = now_ns();
    /* The caller holds the GIL: it is the first holder. */
    thread_record *caller = current_record();
    if (caller != nullptr) {
        caller->state = THREAD_HOLDING;
        caller->hold_start_ns = session_start_ns;
    }
    gil_holder = previous_holder = caller != nullptr ? caller : &overflow_record;
    gil_locked = gil_locked_flag;
    __atomic_store_n(&watched_mutex, gil_mutex, __ATOMIC_SEQ_CST);

    if (!patch_slots(lock_slots, lock_slot_count, lock_hook)) {
        __atomic_store_n(&watched_mutex, static_cast<pthread_mutex_t *>(nullptr), __ATOMIC_SEQ_CST);
        session_phase_now = SESSION_OFF;
        return VANDREL_SYSTEM_ERROR;
    }
    if (!patch_slots(unlock_slots, unlock_slot_count, unlock_hook)) {
        restore_slots(lock_slots, lock_slot_count);
        unhook();
        session_phase_now = SESSION_OFF;
        return VANDREL_SYSTEM_ERROR;
    }

    /* Prove the hooks see this interpreter's GIL: let it go and take it
     * back, which must show up as one more acquisition by the caller. */
    uint64_t before = caller != nullptr ? caller->acquisitions : 0;
    PyThreadState *state = py->eval_save_thread();
    py->eval_restore_thread(state);
    if (caller == nullptr || caller->acquisitions != before + 1 ||
        __atomic_load_n(&gil_holder, __ATOMIC_RELAXED) != caller) {
        unhook();
        session_phase_now = SESSION_OFF;
        return VANDREL_NOT_AVAILABLE;
    }

    /* Name the threads that exist already, while we hold the GIL anyway and
     * before the reporter starts, so that it sees what is left to name. */
    if (naming_pass()) {
        __atomic_store_n(&names_pending, 1, __ATOMIC_SEQ_CST);
    }
    /* Reports go to a descriptor of our own, so the caller closing
     * report_fd (and the number being reused for another file) cannot
     * send them elsewhere. */
    session.report_fd = report_fd >= 0 ? own_duplicate(report_fd) : -1;
    session.sink = nullptr;
    session.background = nullptr;
    if (report_fd >= 0 && session.report_fd < 0) {
        unhook();
        session_phase_now = SESSION_OFF;
        return VANDREL_SYSTEM_ERROR;
    }
    if (sink != nullptr) {
        py->incref(sink);
        session.sink = sink;
    }
    if (sink != nullptr || report_fd >= 0) {
        session.background = start_reporter(sample_period_us * 1000, report_period_ms * 1000000);
        if (session.background != nullptr) {
            __atomic_store_n(&naming_wake_fd, session.background->wake_fd, __ATOMIC_RELEASE);
        }
        else {
            unhook();
            if (session.sink) {
                py->decref(session.sink);
                session.sink = nullptr;
            }
            close_report_fd();
            session_phase_now = SESSION_OFF;
            return VANDREL_SYSTEM_ERROR;
        }
    }
    install_process_hooks();
    session_phase_now = SESSION_ON;
    return VANDREL_OK;
}

int32_t gil_interceptor_stop()
{
    if (!load_python_api()) {
        return VANDREL_NOT_AVAILABLE;
    }
    if (!py->gil_state_check()) {
        return VANDREL_NO_GIL;
    }
    if (!in_main_interpreter()) {
        return VANDREL_NOT_AVAILABLE;
    }
    if (session_phase_now != SESSION_ON) {
        return interpreter_supported() ? VANDREL_NOT_ON : VANDREL_NOT_AVAILABLE;
    }
    session_phase_now = SESSION_STOPPING;
    unhook();
    int64_t stop_ns = now_ns();

    reporter *r = session.background;
    session.background = nullptr;
    if (r != nullptr) {
        bool on_reporter = pthread_equal(r->thread, pthread_self());
        r->detached = on_reporter;
        __atomic_store_n(&r->stop, 1, __ATOMIC_RELEASE);
        uint64_t one = 1;
        ssize_t woken = write(r->wake_fd, &one, sizeof(one));
        (void)woken; /* a full eventfd already wakes it */
        if (on_reporter) {
            /* Called from the sink: the thread ends after the sink returns
             * and frees its reporter itself. */
            pthread_detach(r->thread);
        }
        else {
            /* The reporter may be queued for the GIL or inside the sink:
             * let go of the GIL while waiting for it. */
            PyThreadState *state = py->eval_save_thread();
            pthread_join(r->thread, nullptr);
            py->eval_restore_thread(state);
            free_reporter(r);
        }
    }

    PyObject *sink = session.sink;
    session.sink = nullptr;
    emit_report(stop_ns, true, sink, session.report_fd);
    close_report_fd();
    if (sink != nullptr) {
        py->decref(sink);
    }
    session_phase_now = SESSION_OFF;
    return VANDREL_OK;
}

bool gil_thread_waiting(unsigned long native_thread_id)
{
    if (session_phase_now != SESSION_ON) {
        return false;
    }
    size_t count = records_in_use();
    for (size_t i = 0; i < count; i++) {
        const thread_record *record = record_at(i);
        if (record != nullptr && __atomic_load_n(&record->ready, __ATOMIC_ACQUIRE) &&
            static_cast<unsigned long>(record->native_id) == native_thread_id &&
            load_field(&record->state) == THREAD_WAITING) {
            return true;
        }
    }
    return false;
}

}  // namespace vandrel
