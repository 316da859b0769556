/* Per-thread records: one per live thread and session, written only by
 * their own thread (under a sequence counter) and read by the reports;
 * the native id index that finds them without a lock; and their life,
 * from a thread's first touch of the GIL to its end, when the record's
 * figures move to the finished store and the record is reused. */
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

/* ---- Per-thread records ------------------------------------------------- */

const size_t records_per_chunk = 256;
const size_t max_chunks = 4096;
/* Threads alive and touching the GIL at the same time; records of threads
 * that ended are reused, so this bounds concurrency, not the session. */
const size_t max_records = records_per_chunk * max_chunks;

thread_record *record_chunks[max_chunks];
/* One byte per record, 1 while its thread is queued for the GIL: the
 * stack dump reads these densely packed flags instead of touching each
 * record (a cache miss per thread, written by another CPU). */
uint8_t *waiting_flag_chunks[max_chunks];
size_t record_high_water;  /* slots ever handed out this session */
uint32_t free_head;        /* index + 1 of the first free record, 0 for none */
size_t live_records;       /* records in use */
int names_pending;
int naming_wake_fd = -1;
int naming_signalled;

pthread_mutex_t table_lock = PTHREAD_MUTEX_INITIALIZER;

void lock_records()
{
    pthread_mutex_lock(&table_lock);
}

void unlock_records()
{
    pthread_mutex_unlock(&table_lock);
}

/* fork() copies table_lock as it stands.  Had another thread held it then,
 * the child's copy would stay locked for good, and the child's first name
 * or record (threading names its thread again after fork) would hang.  So
 * the forking thread holds it across fork(), as glibc does with malloc's
 * locks; the child starts with a fresh one.  Registered before the fork
 * gate's handler (fork_gate.cpp), whose prepare handler therefore runs
 * first: the agent's threads, which take this lock, are quiet by then. */
static void reinit_records_lock()
{
    pthread_mutex_t fresh = PTHREAD_MUTEX_INITIALIZER;
    memcpy(&table_lock, &fresh, sizeof(fresh));
}

__attribute__((constructor(101))) static void hold_records_across_fork()
{
    pthread_atfork(lock_records, unlock_records, reinit_records_lock);
}

thread_record overflow_record;

/* Which record a thread uses, per thread, under a pthread key: the key's
 * destructor retires the record when the thread ends. */
struct record_binding {
    uint64_t epoch;
    thread_record *record;
};
pthread_key_t binding_key;
bool binding_key_created = false;

/* The storage the key points at, in the thread's own static TLS rather
 * than the heap: it goes with the thread, so nothing is left behind by a
 * thread that never runs its destructors (every thread but the caller in
 * a child of fork()), and binding never fails for want of memory. */
__thread record_binding owned_binding __attribute__((tls_model("initial-exec")));

/* A copy of the binding in static TLS, read by the hooks on every
 * hand-over instead of calling pthread_getspecific (four calls per
 * hand-over).  Initial-exec: no __tls_get_addr, which may allocate.  A
 * dlopen()ed library's initial-exec TLS comes from the reserve glibc keeps
 * for it (hundreds of bytes); this and owned_binding take 32.  The
 * binding stays the authority: the copy is refreshed from it and cleared
 * when it goes. */
__thread record_binding cached_binding __attribute__((tls_model("initial-exec")));

/* ---- Native id index ---------------------------------------------------- */

/* Live records by native id: open addressing with linear probing, written
 * under table_lock, read without any lock by the stack dump (which may run
 * in a signal handler).  A reader checks the record it finds, so a slot
 * moving under it only costs a missed mark.  A table that grows is kept
 * (never freed): growth doubles, so all of them take at most twice the
 * largest. */
struct id_slot_entry {
    long native_id; /* for readers, who never touch the record itself */
    uint32_t index; /* the record's, for its waiting flag */
    thread_record *record;
};

struct id_index {
    unsigned bits;
    size_t used;
    id_slot_entry slots[1];
};

id_index *ids;

size_t id_slot(const id_index *index, long native_id)
{
    uint64_t mixed = static_cast<uint64_t>(native_id) * 0x9E3779B97F4A7C15ULL;
    return static_cast<size_t>(mixed >> (64 - index->bits));
}

/* A table of 2^bits empty slots, or null. */
id_index *new_id_index(unsigned bits)
{
    size_t slots = static_cast<size_t>(1) << bits;
    id_index *index = static_cast<id_index *>(
        calloc(1, sizeof(id_index) + (slots - 1) * sizeof(id_slot_entry)));
    if (index != nullptr) {
        index->bits = bits;
    }
    return index;
}

/* Write slot `slot`: the id first, then the record that makes it live. */
void id_slot_store(id_index *index, size_t slot, thread_record *record)
{
    __atomic_store_n(&index->slots[slot].native_id, record != nullptr ? record->native_id : 0,
                     __ATOMIC_RELAXED);
    __atomic_store_n(&index->slots[slot].index, record != nullptr ? record->index : 0,
                     __ATOMIC_RELAXED);
    __atomic_store_n(&index->slots[slot].record, record, __ATOMIC_RELEASE);
}

void id_index_place(id_index *index, thread_record *record)
{
    size_t mask = (static_cast<size_t>(1) << index->bits) - 1;
    size_t slot = id_slot(index, record->native_id);
    while (index->slots[slot].record != nullptr) {
        slot = (slot + 1) & mask;
    }
    id_slot_store(index, slot, record);
    index->used++;
}

/* Add `record` under its native id.  table_lock held.  Returns false when
 * the table is full and cannot grow (the record then has no dump mark). */
bool id_index_add(thread_record *record)
{
    id_index *index = ids;
    if (index == nullptr || (index->used + 1) * 2 > (static_cast<size_t>(1) << index->bits)) {
        unsigned bits = index == nullptr ? 8 : index->bits + 1;
        id_index *grown = new_id_index(bits);
        if (grown == nullptr) {
            if (index == nullptr || index->used + 1 >= (static_cast<size_t>(1) << index->bits)) {
                return false;
            }
        }
        else {
            if (index != nullptr) {
                size_t slots = static_cast<size_t>(1) << index->bits;
                for (size_t i = 0; i < slots; i++) {
                    if (index->slots[i].record != nullptr) {
                        id_index_place(grown, index->slots[i].record);
                    }
                }
            }
            __atomic_store_n(&ids, grown, __ATOMIC_RELEASE);
            index = grown;
        }
    }
    id_index_place(index, record);
    return true;
}

/* Remove `record`, closing the gap by moving later entries back (no
 * tombstones, so churn never fills the table).  table_lock held. */
void id_index_remove(thread_record *record)
{
    id_index *index = ids;
    if (index == nullptr) {
        return;
    }
    size_t mask = (static_cast<size_t>(1) << index->bits) - 1;
    size_t hole = id_slot(index, record->native_id);
    for (size_t probes = 0; index->slots[hole].record != record; probes++) {
        if (index->slots[hole].record == nullptr || probes > mask) {
            return; /* never added */
        }
        hole = (hole + 1) & mask;
    }
    size_t next = hole;
    for (;;) {
        next = (next + 1) & mask;
        thread_record *moving = index->slots[next].record;
        if (moving == nullptr) {
            break;
        }
        size_t home = id_slot(index, moving->native_id);
        /* `moving` stays when its home lies cyclically in (hole, next]. */
        bool stays = hole <= next ? (hole < home && home <= next) : (hole < home || home <= next);
        if (!stays) {
            id_slot_store(index, hole, moving);
            hole = next;
        }
    }
    id_slot_store(index, hole, nullptr);
    index->used--;
}

thread_record *find_live_record(long native_id)
{
    id_index *index = __atomic_load_n(&ids, __ATOMIC_ACQUIRE);
    if (index == nullptr) {
        return nullptr;
    }
    size_t mask = (static_cast<size_t>(1) << index->bits) - 1;
    size_t slot = id_slot(index, native_id);
    for (size_t probes = 0; probes <= mask; probes++) {
        thread_record *record = __atomic_load_n(&index->slots[slot].record, __ATOMIC_ACQUIRE);
        if (record == nullptr) {
            return nullptr;
        }
        /* Only a slot whose id matches costs a look at its record. */
        if (__atomic_load_n(&index->slots[slot].native_id, __ATOMIC_RELAXED) == native_id &&
            __atomic_load_n(&record->native_id, __ATOMIC_RELAXED) == native_id &&
            __atomic_load_n(&record->ready, __ATOMIC_ACQUIRE)) {
            return record;
        }
        slot = (slot + 1) & mask;
    }
    return nullptr;
}

bool live_thread_waiting(long native_id)
{
    id_index *index = __atomic_load_n(&ids, __ATOMIC_ACQUIRE);
    if (index == nullptr) {
        return false;
    }
    size_t mask = (static_cast<size_t>(1) << index->bits) - 1;
    size_t slot = id_slot(index, native_id);
    for (size_t probes = 0; probes <= mask; probes++) {
        if (__atomic_load_n(&index->slots[slot].record, __ATOMIC_ACQUIRE) == nullptr) {
            return false;
        }
        if (__atomic_load_n(&index->slots[slot].native_id, __ATOMIC_RELAXED) == native_id) {
            uint32_t at = __atomic_load_n(&index->slots[slot].index, __ATOMIC_RELAXED);
            const uint8_t *flags =
                __atomic_load_n(&waiting_flag_chunks[at / records_per_chunk], __ATOMIC_ACQUIRE);
            return flags != nullptr &&
                   __atomic_load_n(&flags[at % records_per_chunk], __ATOMIC_RELAXED) != 0;
        }
        slot = (slot + 1) & mask;
    }
    return false;
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
                else if (state == THREAD_WAITING && wait_start != no_wait && now > wait_start) {
                    figures.waited_ns += now - wait_start;
                }
                /* A wait counted from the session's start, or a counter
                 * a little apart between CPUs, can put a first touch
                 * after the time it counts for. */
                int64_t seen = now - record->seen_since_ns;
                int64_t counted = figures.held_ns + figures.waited_ns;
                figures.seen_ns = seen > counted ? seen : counted;
                return figures;
            }
        }
        if (spins > 64) {
            sched_yield();
        }
    }
}


/* ---- Record life -------------------------------------------------------- */

thread_record *record_at(size_t index)
{
    thread_record *chunk =
        __atomic_load_n(&record_chunks[index / records_per_chunk], __ATOMIC_ACQUIRE);
    return chunk == nullptr ? nullptr : &chunk[index % records_per_chunk];
}

size_t records_in_use()
{
    return __atomic_load_n(&record_high_water, __ATOMIC_ACQUIRE);
}

const char *record_name(const thread_record *record)
{
    return record->named ? record->name : record->os_name;
}

/* Move a live record's figures into the finished store and free it.
 * table_lock held; its thread has ended or is ending. */
void retire_record(thread_record *record, int64_t now)
{
    record_figures figures = read_record(record, now);
    finished_totals.held_ns += figures.held_ns;
    finished_totals.waited_ns += figures.waited_ns;
    finished_totals.acquisitions += figures.acquisitions;
    finished_totals.seen_ns += figures.seen_ns;
    merge_distributions(&finished_distributions, &record->distributions);
    add_finished_row(record->native_id, record_name(record), &figures, &record->distributions);
    id_index_remove(record);
    __atomic_store_n(record->waiting_flag, static_cast<uint8_t>(0), __ATOMIC_RELAXED);
    __atomic_store_n(&record->ready, 0, __ATOMIC_RELEASE);
    record->next_free = free_head;
    free_head = record->index + 1;
    live_records--;
}

/* Hand out a fresh record for the calling thread in the current session.
 * On success return it, published.  On error (too many live threads, no
 * memory, `epoch` no longer the session's) return null. */
thread_record *new_record(bool is_agent, uint64_t epoch)
{
    long native_id = static_cast<long>(syscall(SYS_gettid));
    lock_records();
    if (epoch != hooks.session_epoch) {
        /* A start or stop came in between: the caller looks again. */
        unlock_records();
        return nullptr;
    }
    thread_record *record = nullptr;
    if (free_head != 0) {
        record = record_at(free_head - 1);
        free_head = record->next_free;
    }
    else if (record_high_water < max_records) {
        size_t index = record_high_water;
        thread_record **chunk_slot = &record_chunks[index / records_per_chunk];
        size_t chunk = index / records_per_chunk;
        if (*chunk_slot == nullptr) {
            uint8_t *flags = static_cast<uint8_t *>(calloc(records_per_chunk, 1));
            /* Line-aligned, as the hooks' layout of a record expects. */
            void *fresh_memory = nullptr;
            if (flags != nullptr &&
                posix_memalign(&fresh_memory, alignof(thread_record),
                               records_per_chunk * sizeof(thread_record)) == 0) {
                memset(fresh_memory, 0, records_per_chunk * sizeof(thread_record));
            }
            else {
                fresh_memory = nullptr;
            }
            thread_record *fresh = static_cast<thread_record *>(fresh_memory);
            if (fresh == nullptr) {
                free(flags);
            }
            else {
                __atomic_store_n(&waiting_flag_chunks[chunk], flags, __ATOMIC_RELEASE);
                __atomic_store_n(chunk_slot, fresh, __ATOMIC_RELEASE);
            }
        }
        if (*chunk_slot != nullptr) {
            record = &(*chunk_slot)[index % records_per_chunk];
            record->index = static_cast<uint32_t>(index);
            record->waiting_flag = &waiting_flag_chunks[chunk][index % records_per_chunk];
            __atomic_store_n(&record_high_water, index + 1, __ATOMIC_RELEASE);
        }
    }
    if (record == nullptr) {
        unlock_records();
        return nullptr;
    }
    /* A live record under this id belongs to a thread that ended without
     * running its destructor (the kernel gave its id away): retire it. */
    thread_record *stale = find_live_record(native_id);
    if (stale != nullptr) {
        retire_record(stale, now_ns());
    }
    fold_reused_id(native_id);
    record->seq = 0;
    record->state = THREAD_IDLE;
    record->wait_start_ns = record->hold_start_ns = 0;
    record->waited_ns = record->held_ns = 0;
    record->acquisitions = 0;
    record->seen_since_ns = now_ns();
    record->forced_phase = 0;
    empty_distributions(&record->distributions);
    __atomic_store_n(record->waiting_flag, static_cast<uint8_t>(0), __ATOMIC_RELAXED);
    record->epoch = hooks.session_epoch;
    __atomic_store_n(&record->native_id, native_id, __ATOMIC_RELAXED);
    record->ident = static_cast<unsigned long>(pthread_self());
    record->is_agent = is_agent;
    static uint16_t last_serial; /* table_lock */
    record->serial = ++last_serial;
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
    }
    live_records++;
    __atomic_store_n(&record->ready, 1, __ATOMIC_RELEASE);
    id_index_add(record);
    if (!is_agent) {
        /* Poked under table_lock: the stop clears naming_wake_fd under it
         * before it closes the eventfd (this runs before the thread takes
         * gil->mutex, so waiting for the hooks does not cover it), and a
         * number closed meanwhile may be another file's by now. */
        __atomic_store_n(&names_pending, 1, __ATOMIC_RELEASE);
        int wake_fd = __atomic_load_n(&naming_wake_fd, __ATOMIC_ACQUIRE);
        if (wake_fd >= 0 && __atomic_exchange_n(&naming_signalled, 1, __ATOMIC_ACQ_REL) == 0) {
            uint64_t one = 1;
            ssize_t written = write(wake_fd, &one, sizeof(one));
            (void)written; /* a failed poke only delays the name to the next report */
        }
    }
    unlock_records();
    return record;
}

/* The key's destructor, run on a thread as it ends: its record (if it is
 * of the current session) moves to the finished store. */
void free_binding(void *arg)
{
    record_binding *binding = static_cast<record_binding *>(arg);
    /* A hook that runs later on this thread must not use the record
     * retired here (another thread may take it over). */
    cached_binding.record = nullptr;
    cached_binding.epoch = 0;
    thread_record *record = binding->record;
    binding->record = nullptr;
    if (record != nullptr && binding->epoch == __atomic_load_n(&hooks.session_epoch, __ATOMIC_ACQUIRE)) {
        lock_records();
        if (record->ready && record->epoch == binding->epoch &&
            record->native_id == static_cast<long>(syscall(SYS_gettid))) {
            retire_record(record, now_ns());
        }
        unlock_records();
    }
}

/* The calling thread's binding, registered with the key on first use
 * (null if the key cannot take it). */
record_binding *this_thread_binding()
{
    record_binding *binding = static_cast<record_binding *>(pthread_getspecific(binding_key));
    if (binding == nullptr) {
        binding = &owned_binding;
        *binding = record_binding{};
        if (pthread_setspecific(binding_key, binding) != 0) {
            return nullptr;
        }
    }
    return binding;
}

thread_record *current_record()
{
    uint64_t epoch = __atomic_load_n(&hooks.session_epoch, __ATOMIC_ACQUIRE);
    if (cached_binding.record != nullptr && cached_binding.epoch == epoch) {
        return cached_binding.record;
    }
    record_binding *binding = static_cast<record_binding *>(pthread_getspecific(binding_key));
    if (binding != nullptr && binding->epoch == epoch) {
        cached_binding = *binding;
        return binding->record;
    }
    /* First touch in this session: allocation and system calls follow,
     * and the hooks must leave errno as the interpreter's code left it. */
    int saved_errno = errno;
    binding = this_thread_binding();
    thread_record *record = nullptr;
    if (binding != nullptr) {
        binding->record = new_record(false, epoch);
        binding->epoch = epoch;
        record = binding->record;
        cached_binding = *binding;
    }
    errno = saved_errno;
    return record;
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
    uint64_t epoch = __atomic_load_n(&hooks.session_epoch, __ATOMIC_ACQUIRE);
    thread_record *self = new_record(true, epoch);
    record_binding *binding = this_thread_binding();
    if (binding != nullptr) {
        binding->record = self;
        binding->epoch = epoch;
        cached_binding = *binding;
    }
    return self;
}

void reset_records()
{
    lock_records();
    size_t previous = records_in_use();
    for (size_t i = 0; i < previous; i++) {
        thread_record *record = record_at(i);
        if (record != nullptr) {
            __atomic_store_n(&record->ready, 0, __ATOMIC_RELAXED);
        }
    }
    if (ids != nullptr) {
        memset(ids->slots, 0, (static_cast<size_t>(1) << ids->bits) * sizeof(id_slot_entry));
        ids->used = 0;
    }
    __atomic_store_n(&record_high_water, 0, __ATOMIC_RELEASE);
    free_head = 0;
    live_records = 0;
    finished_count = 0;
    group_count = 0;
    memset(&finished_totals, 0, sizeof(finished_totals));
    clear_distributions(&finished_distributions);
    reset_distribution_slots();
    __atomic_store_n(&hooks.forced_drops_pending, 0, __ATOMIC_RELAXED);
    __atomic_store_n(&names_pending, 0, __ATOMIC_RELAXED);
    __atomic_store_n(&naming_signalled, 0, __ATOMIC_RELAXED);
    __atomic_store_n(&hooks.session_epoch, hooks.session_epoch + 1, __ATOMIC_RELEASE);
    unlock_records();
}

}  // namespace gil
}  // namespace vandrel
