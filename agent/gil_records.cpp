/* The GIL interceptor: exact per-thread GIL hold and wait times.
 *
 * CPython (3.10 to 3.15, builds with a GIL) guards its GIL state (`locked`, `last_holder`, ...) with a
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
 * Figures live in per-thread records, one per live thread and session,
 * written only by their own thread (under a sequence counter) and read by
 * the reports.  When a thread ends, its record's figures move into the
 * finished store (the top finished threads by held and by wait, every
 * other one added into its name's group) and the record is reused, so
 * memory stays bounded whatever the number of threads. */
#include "gil_interceptor_internal.h"

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
 * locks; the child starts with a fresh one. */
static void reinit_records_lock()
{
    pthread_mutex_t fresh = PTHREAD_MUTEX_INITIALIZER;
    memcpy(&table_lock, &fresh, sizeof(fresh));
}

__attribute__((constructor)) static void hold_records_across_fork()
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

/* A copy of the binding in static TLS, read by the hooks on every
 * hand-over instead of calling pthread_getspecific (four calls per
 * hand-over).  Initial-exec: no __tls_get_addr, which may allocate.  A
 * dlopen()ed library's initial-exec TLS comes from the reserve glibc keeps
 * for it (hundreds of bytes); this takes 16.  The binding stays the
 * authority: the copy is refreshed from it and cleared when it goes. */
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

/* ---- Finished threads --------------------------------------------------- */

finished_row finished_rows[finished_capacity];
thread_distributions finished_distribution_slots[finished_capacity];
/* Slots not taken by a row; one per row missing from finished_rows. */
uint16_t free_distribution_slots[finished_capacity];
size_t free_distribution_slot_count;

void reset_distribution_slots()
{
    for (size_t i = 0; i < finished_capacity; i++) {
        free_distribution_slots[i] = static_cast<uint16_t>(i);
        empty_distributions(&finished_distribution_slots[i]);
    }
    free_distribution_slot_count = finished_capacity;
}

void add_to_group(const char *name, bool is_group_name, uint64_t count,
                  const record_figures *figures, const thread_distributions *distributions);

/* Add finished row `row` into its group and give its slot back.
 * table_lock held. */
void fold_into_group(const finished_row *row)
{
    record_figures figures = {row->held_ns, row->waited_ns, row->acquisitions, row->seen_ns};
    add_to_group(row->name, false, 1, &figures, &finished_distribution_slots[row->slot]);
    empty_distributions(&finished_distribution_slots[row->slot]);
    free_distribution_slots[free_distribution_slot_count++] = row->slot;
}
size_t finished_count;
thread_group *groups;
size_t group_count;
size_t group_capacity;
record_figures finished_totals;
total_distributions finished_distributions;

void group_name(const char *name, char *out, size_t size)
{
    size_t length = strlen(name);
    size_t end = length;
    while (end > 0 && (name[end - 1] < '0' || name[end - 1] > '9')) {
        end--;
    }
    size_t start = end;
    while (start > 0 && name[start - 1] >= '0' && name[start - 1] <= '9') {
        start--;
    }
    if (end == 0) {
        snprintf(out, size, "%s", name);
        return;
    }
    snprintf(out, size, "%.*s*%s", static_cast<int>(start), name, name + end);
}

/* Add `count` threads' figures to the group of `name` (already a group's
 * name when `is_group_name`).  table_lock held.  When no new group can be
 * made, the figures go to the catch-all group "*", so totals never lose
 * them. */
void add_to_group(const char *name, bool is_group_name, uint64_t count,
                  const record_figures *figures, const thread_distributions *distributions)
{
    char key[sizeof(groups[0].name)];
    if (is_group_name) {
        snprintf(key, sizeof(key), "%s", name);
    }
    else {
        group_name(name, key, sizeof(key));
    }
    thread_group *group = nullptr;
    for (int attempt = 0; attempt < 2 && group == nullptr; attempt++) {
        for (size_t i = 0; i < group_count; i++) {
            if (strcmp(groups[i].name, key) == 0) {
                group = &groups[i];
                break;
            }
        }
        if (group != nullptr) {
            break;
        }
        if (group_count == group_capacity && group_count < max_groups) {
            size_t capacity = group_capacity ? group_capacity * 2 : 16;
            void *grown = realloc(groups, capacity * sizeof(thread_group));
            if (grown != nullptr) {
                groups = static_cast<thread_group *>(grown);
                group_capacity = capacity;
            }
        }
        if (group_count < group_capacity && (group_count + 1 < max_groups || strcmp(key, "*") == 0)) {
            group = &groups[group_count++];
            memset(group, 0, sizeof(*group));
            snprintf(group->name, sizeof(group->name), "%s", key);
        }
        else {
            snprintf(key, sizeof(key), "*");
        }
    }
    if (group == nullptr) {
        return; /* no memory at all: only the totals keep the figures */
    }
    group->count += count;
    group->held_ns += figures->held_ns;
    group->waited_ns += figures->waited_ns;
    group->acquisitions += figures->acquisitions;
    group->seen_ns += figures->seen_ns;
    merge_distributions(&group->distributions, distributions);
}

/* Move finished row `index` into its group.  table_lock held. */
void fold_finished_row(size_t index)
{
    fold_into_group(&finished_rows[index]);
    finished_rows[index] = finished_rows[--finished_count];
}

/* Fold the finished row of `native_id`, if any: the kernel handed the id
 * to a new thread.  table_lock held. */
void fold_reused_id(long native_id)
{
    for (size_t i = 0; i < finished_count; i++) {
        if (finished_rows[i].native_id == native_id) {
            fold_finished_row(i);
            return;
        }
    }
}

namespace {

size_t rank_order[finished_capacity];

int compare_finished_by_held(const void *left, const void *right)
{
    const finished_row *a = &finished_rows[*static_cast<const size_t *>(left)];
    const finished_row *b = &finished_rows[*static_cast<const size_t *>(right)];
    if (a->held_ns != b->held_ns) {
        return a->held_ns > b->held_ns ? -1 : 1;
    }
    return a->native_id < b->native_id ? -1 : a->native_id > b->native_id;
}

int compare_finished_by_wait(const void *left, const void *right)
{
    const finished_row *a = &finished_rows[*static_cast<const size_t *>(left)];
    const finished_row *b = &finished_rows[*static_cast<const size_t *>(right)];
    if (a->waited_ns != b->waited_ns) {
        return a->waited_ns > b->waited_ns ? -1 : 1;
    }
    return a->native_id < b->native_id ? -1 : a->native_id > b->native_id;
}

}  // namespace

void prune_finished()
{
    if (finished_count <= finished_kept) {
        return;
    }
    bool keep[finished_capacity] = {};
    for (size_t i = 0; i < finished_count; i++) {
        rank_order[i] = i;
    }
    qsort(rank_order, finished_count, sizeof(size_t), compare_finished_by_held);
    for (size_t i = 0; i < finished_kept; i++) {
        keep[rank_order[i]] = true;
    }
    for (size_t i = 0; i < finished_count; i++) {
        rank_order[i] = i;
    }
    qsort(rank_order, finished_count, sizeof(size_t), compare_finished_by_wait);
    for (size_t i = 0; i < finished_kept; i++) {
        keep[rank_order[i]] = true;
    }
    size_t kept = 0;
    for (size_t i = 0; i < finished_count; i++) {
        if (keep[i]) {
            finished_rows[kept++] = finished_rows[i];
            continue;
        }
        fold_into_group(&finished_rows[i]);
    }
    finished_count = kept;
}

/* Add a finished thread's row.  table_lock held. */
void add_finished_row(long native_id, const char *name, const record_figures *figures,
                      const thread_distributions *distributions)
{
    fold_reused_id(native_id);
    if (finished_count == finished_capacity) {
        prune_finished();
    }
    finished_row *row = &finished_rows[finished_count++];
    row->native_id = native_id;
    snprintf(row->name, sizeof(row->name), "%s", name);
    row->held_ns = figures->held_ns;
    row->waited_ns = figures->waited_ns;
    row->acquisitions = figures->acquisitions;
    row->seen_ns = figures->seen_ns;
    /* As many slots as rows: one is free while a row is. */
    row->slot = free_distribution_slots[--free_distribution_slot_count];
    thread_distributions *kept = &finished_distribution_slots[row->slot];
    copy_distributions(kept, distributions);
    row->wait = summarize(&kept->waits);
    row->hold = summarize(&kept->holds);
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
    }
    live_records++;
    __atomic_store_n(&record->ready, 1, __ATOMIC_RELEASE);
    id_index_add(record);
    unlock_records();
    if (!is_agent) {
        __atomic_store_n(&names_pending, 1, __ATOMIC_RELEASE);
        int wake_fd = __atomic_load_n(&naming_wake_fd, __ATOMIC_ACQUIRE);
        if (wake_fd >= 0 && __atomic_exchange_n(&naming_signalled, 1, __ATOMIC_ACQ_REL) == 0) {
            uint64_t one = 1;
            ssize_t written = write(wake_fd, &one, sizeof(one));
            (void)written; /* a failed poke only delays the name to the next report */
        }
    }
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
    if (record != nullptr && binding->epoch == __atomic_load_n(&hooks.session_epoch, __ATOMIC_ACQUIRE)) {
        lock_records();
        if (record->ready && record->epoch == binding->epoch &&
            record->native_id == static_cast<long>(syscall(SYS_gettid))) {
            retire_record(record, now_ns());
        }
        unlock_records();
    }
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

/* ---- The hooks ---------------------------------------------------------- */



/* This thread's count of voluntary context switches (it blocked), or -1. */
long voluntary_switches()
{
    int saved_errno = errno;
    struct rusage usage;
    long switches = syscall(SYS_getrusage, RUSAGE_THREAD, &usage) == 0 ? usage.ru_nvcsw : -1;
    errno = saved_errno;
    return switches;
}

/* gil->mutex was just locked by this thread: in take_gil() when the
 * thread does not hold the GIL (its wait starts now), in drop_gil() when
 * it does (nothing to note until the unlock). */
void note_gil_mutex_lock(thread_record *record)
{
    thread_record *self = record != nullptr ? record : &overflow_record;
    if (__atomic_load_n(&hooks.gil_holder, __ATOMIC_RELAXED) == self || record == nullptr) {
        return;
    }
    /* With the GIL free, this thread takes it before anyone else can (it
     * owns gil->mutex): no wait to time, and one clock read saved. */
    int64_t now = __atomic_load_n(hooks.gil_locked, __ATOMIC_RELAXED) == 0 ? no_wait : now_ns();
    if (record->forced_phase != 0) {
        /* Back for the GIL after a forced hand-over: unless the thread
         * blocked in between (it let go of its own accord as well, say for
         * I/O), it wanted the GIL all along, and its wait started when it
         * was made to drop it. */
        bool switch_skipped = record->forced_phase == 1 && hooks.gil_switch.request_cleared_by_taker;
        if ((record->forced_phase == 2 || switch_skipped) &&
            voluntary_switches() == record->forced_switches) {
            now = record->forced_drop_ns;
        }
        if (record->forced_phase == 1) {
            __atomic_sub_fetch(&hooks.forced_drops_pending, 1, __ATOMIC_RELAXED);
        }
        record->forced_phase = 0;
    }
    begin_update(record);
    store_field(&record->wait_start_ns, now);
    store_field(&record->state, static_cast<uint8_t>(THREAD_WAITING));
    end_update(record);
    /* A thread that finds the GIL free takes it before it lets go of
     * gil->mutex: it is never seen queued, and its flag stays clear (one
     * cache line fewer on an uncontended hand-over). */
    if (now != no_wait) {
        __atomic_store_n(record->waiting_flag, static_cast<uint8_t>(1), __ATOMIC_RELAXED);
        note_wait_start(record, now);
    }
}

/* gil->mutex is about to be unlocked by this thread, which still owns it,
 * so gil->locked and hooks.gil_holder are stable here. */
void note_gil_mutex_unlock()
{
    thread_record *record = current_record();
    thread_record *self = record != nullptr ? record : &overflow_record;
    thread_record *holder = __atomic_load_n(&hooks.gil_holder, __ATOMIC_RELAXED);
    int locked = __atomic_load_n(hooks.gil_locked, __ATOMIC_RELAXED);
    if (locked == 0) {
        /* drop_gil(): the holder let go. */
        if (holder != self) {
            return;
        }
        int64_t now = now_ns();
        __atomic_store_n(&hooks.gil_holder, static_cast<thread_record *>(nullptr), __ATOMIC_RELAXED);
        if (record != nullptr) {
            /* Asked to drop it (another thread timed out waiting)?  Then
             * drop_gil() waits for the switch and the thread comes back. */
            const char *request_base = static_cast<const char *>(
                __atomic_load_n(hooks.gil_switch.request_base, __ATOMIC_RELAXED));
            uint32_t request = request_base == nullptr
                                   ? 0
                                   : __atomic_load_n(reinterpret_cast<const uint32_t *>(
                                                         request_base + hooks.gil_switch.request_offset),
                                                     __ATOMIC_RELAXED);
            if ((request & hooks.gil_switch.request_mask) != 0) {
                if (record->forced_phase != 1) {
                    __atomic_add_fetch(&hooks.forced_drops_pending, 1, __ATOMIC_RELAXED);
                }
                record->forced_phase = 1;
                record->forced_drop_ns = now;
                if (hooks.gil_switch.request_cleared_by_taker) {
                    /* It may skip the switch: count its blocking from here. */
                    record->forced_switches = voluntary_switches();
                }
            }
            else if (record->forced_phase != 0) {
                if (record->forced_phase == 1) {
                    __atomic_sub_fetch(&hooks.forced_drops_pending, 1, __ATOMIC_RELAXED);
                }
                record->forced_phase = 0;
            }
            int64_t hold_start = record->hold_start_ns;
            begin_update(record);
            store_field(&record->held_ns, record->held_ns + span(hold_start, now));
            store_field(&record->state, static_cast<uint8_t>(THREAD_IDLE));
            end_update(record);
            note_release(record, hold_start, now);
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
            int64_t now = now_ns();
            int64_t wait_start = record->wait_start_ns;
            begin_update(record);
            store_field(&record->waited_ns, record->waited_ns + span(wait_start, now));
            store_field(&record->state, static_cast<uint8_t>(THREAD_IDLE));
            end_update(record);
            __atomic_store_n(record->waiting_flag, static_cast<uint8_t>(0), __ATOMIC_RELAXED);
            note_wait_abandoned(record, wait_start, now);
        }
        return;
    }
    /* take_gil() succeeded. */
    __atomic_store_n(&hooks.gil_holder, self, __ATOMIC_RELAXED);
    if (hooks.previous_holder != self) {
        hooks.previous_holder = self;
        __atomic_store_n(&hooks.switch_count, hooks.switch_count + 1, __ATOMIC_RELAXED);
    }
    if (record != nullptr) {
        /* A thread seen first here was already queued when the session
         * started, so its wait is counted from the start. */
        int64_t now = now_ns();
        bool first_seen = record->state != THREAD_WAITING;
        int64_t wait_start = first_seen ? hooks.session_start_ns : record->wait_start_ns;
        note_acquire(record, wait_start, now, first_seen);
        bool flagged = wait_start != no_wait;
        if (!flagged) {
            wait_start = now;
        }
        begin_update(record);
        store_field(&record->waited_ns, record->waited_ns + span(wait_start, now));
        store_field(&record->hold_start_ns, now);
        store_field(&record->acquisitions, record->acquisitions + 1);
        store_field(&record->state, static_cast<uint8_t>(THREAD_HOLDING));
        end_update(record);
        if (flagged) {
            __atomic_store_n(record->waiting_flag, static_cast<uint8_t>(0), __ATOMIC_RELAXED);
        }
    }
}

/* The hooks leave errno untouched: the only paths that can change it
 * (a thread's first record, the context-switch count) save and restore it.
 *
 * The hooks do their work only while this thread owns gil->mutex (after
 * locking it, before unlocking it), and check that the session is still on
 * while owning it.  So the stop path, once it has cleared hooks.watched_mutex,
 * needs only to lock and unlock gil->mutex itself to know that no hook is
 * still writing (see quiesce_hooks): no shared counter to bump on every
 * hand-over. */
int hooked_mutex_lock(pthread_mutex_t *mutex)
{
    if (mutex != __atomic_load_n(&hooks.watched_mutex, __ATOMIC_RELAXED)) {
        return __atomic_load_n(&hooks.real_lock, __ATOMIC_RELAXED)(mutex);
    }
    /* A thread's first touch of the GIL in a session makes its record
     * here, before gil->mutex is taken: allocation and system calls must
     * not lengthen everyone's hand-over. */
    thread_record *record = current_record();
    int result = __atomic_load_n(&hooks.real_lock, __ATOMIC_RELAXED)(mutex);
    /* Recheck while owning gil->mutex: the session may have ended, and a
     * new one began (then the record is of the old one: look again). */
    if (mutex == __atomic_load_n(&hooks.watched_mutex, __ATOMIC_RELAXED) && result == 0) {
        if (record == nullptr || record->epoch != __atomic_load_n(&hooks.session_epoch, __ATOMIC_RELAXED) ||
            !record->ready) {
            record = current_record();
        }
        note_gil_mutex_lock(record);
    }
    return result;
}

/* gil->switch_mutex is about to be unlocked by this thread.  After a
 * forced drop that is the end of drop_gil()'s wait for the switch: note
 * how often the thread has blocked so far. */
void note_switch_mutex_unlock()
{
    /* Every take_gil() unlocks this mutex too: look at the record only
     * while some thread is between a forced drop and its switch. */
    if (__atomic_load_n(&hooks.forced_drops_pending, __ATOMIC_RELAXED) == 0) {
        return;
    }
    thread_record *record = current_record();
    if (record != nullptr && record->forced_phase == 1) {
        record->forced_switches = voluntary_switches();
        record->forced_phase = 2;
        __atomic_sub_fetch(&hooks.forced_drops_pending, 1, __ATOMIC_RELAXED);
    }
}

int hooked_mutex_unlock(pthread_mutex_t *mutex)
{
    pthread_mutex_t *watched = __atomic_load_n(&hooks.watched_mutex, __ATOMIC_RELAXED);
    if (mutex == watched) {
        note_gil_mutex_unlock();
    }
    else if (mutex == hooks.gil_switch.switch_mutex && watched != nullptr) {
        note_switch_mutex_unlock();
    }
    return __atomic_load_n(&hooks.real_unlock, __ATOMIC_RELAXED)(mutex);
}

void quiesce_hooks(pthread_mutex_t *gil_mutex)
{
    pthread_mutex_lock(gil_mutex);
    pthread_mutex_unlock(gil_mutex);
}

}  // namespace gil
}  // namespace vandrel
