/* The GIL interceptor's internal interface, shared by its units:
 *
 *   session.cpp      the session's life: the entry points that start and
 *                    stop it, the import-slot patching, the fork and exit
 *                    handlers;
 *   reporter.cpp     the session's background thread: naming passes and
 *                    periodic reports;
 *   hooks.cpp        the hot path: the mutex hooks, and how they follow
 *                    CPython's GIL (read its opening comment first);
 *   clock.cpp        the hooks' clock (the time-stamp counter or
 *                    CLOCK_MONOTONIC);
 *   records.cpp      the per-thread records the hooks write, the native id
 *                    index that finds them, and their life;
 *   finished.cpp     the finished threads: kept rows and name groups;
 *   insight.cpp      distributions, long holds and the timeline;
 *   holder_watch.cpp the agent's thread that reads the GIL holder's stack
 *                    while it holds: long holds as they cross the
 *                    threshold, and the profile's samples;
 *   profile.cpp      the GIL profile's tables: stacks that held the GIL
 *                    and stacks that waited for it, with their time;
 *   naming.cpp       thread names, from `threading` and from each new
 *                    thread itself;
 *   report.cpp       one report's figures and the sink's dict (report.h);
 *   report_text.cpp  the text report for report_fd;
 *   trace_stream.cpp the timeline streamed to a trace file while the
 *                    program runs, by a thread of its own;
 *   exit_signals.cpp SIGTERM and SIGHUP: the outputs written, then the
 *                    process ended by the signal.
 *
 * Where the GIL is and what the running interpreter is come from the
 * CPython layer (cpython/). */
#ifndef VANDREL_GIL_INTERCEPTOR_INTERNAL_H
#define VANDREL_GIL_INTERCEPTOR_INTERNAL_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#include "cpython/gil_place.h"
#include "cpython/python_api.h"

namespace vandrel {
namespace gil {

/* ---- Parameters --------------------------------------------------------- */

/* Passes that look for a new thread's name before giving up on it. */
const uint8_t max_name_tries = 5;
const char agent_thread_name[] = "vandrel-agent";

/* The interpreter's functions: null until an entry point finds them, then
 * constant.  The reporter thread and the callbacks only run after that. */
extern const python_api *py;

/* ---- Clock -------------------------------------------------------------- */

/* Bind clock_gettime once (entry points). */
void find_clock();
/* CLOCK_MONOTONIC in ns. */
int64_t now_ns();
/* Time from `start` to `end`, never negative (counters of two CPUs may
 * disagree by a few ticks). */
int64_t span(int64_t start, int64_t end);

/* ---- Distributions ----------------------------------------------------- */

/* Single waits and single holds, in log-linear buckets: 1 ns wide below
 * 16 ns, then 16 buckets per power of two (a bucket's middle is within
 * 3.2 % of any value in it), up to 2^36 ns (69 s), beyond which values
 * share the last bucket.  Fixed size, so the hooks never allocate; count,
 * min and max are exact. */
const int duration_sub_bits = 4;
const int duration_top_exponent = 36;
const size_t duration_buckets =
    (static_cast<size_t>(duration_top_exponent - duration_sub_bits) + 1) << duration_sub_bits;

template <typename Count> struct duration_histogram {
    uint64_t count;
    int64_t min_ns;
    int64_t max_ns;
    Count buckets[duration_buckets];
};
/* One thread's (a count per bucket cannot overflow in any real run). */
using thread_histogram = duration_histogram<uint32_t>;
/* Sums over many threads. */
using total_histogram = duration_histogram<uint64_t>;

/* What a report shows of a distribution.  Percentiles are bucket middles
 * clamped to [min, max], so p50 <= p90 <= p99 <= max. */
struct duration_summary {
    uint64_t count;
    int64_t p50_ns;
    int64_t p90_ns;
    int64_t p99_ns;
    int64_t max_ns;
};

/* A thread's waits and holds together (records, finished rows). */
struct thread_distributions {
    thread_histogram holds; /* first: every release writes it */
    thread_histogram waits;
};
struct total_distributions {
    total_histogram waits;
    total_histogram holds;
};

/* Empty: counts 0, min INT64_MAX, max 0. */
void clear_distributions(total_distributions *figures);
/* The same for one whose buckets outside [min, max] are known to be zero
 * (every histogram the hooks fill, or that is zero-initialised): touches
 * only the buckets in use, a few cache lines for most threads. */
void empty_distributions(thread_distributions *figures);
/* Copy `from` into `into`, which is empty. */
void copy_distributions(thread_distributions *into, const thread_distributions *from);
/* Add `from` into `into` (bucket by bucket; count, min and max too). */
void merge_distributions(total_distributions *into, const thread_distributions *from);
void merge_distributions(total_distributions *into, const total_distributions *from);
duration_summary summarize(const thread_histogram *histogram);
duration_summary summarize(const total_histogram *histogram);

/* ---- Per-thread records ------------------------------------------------- */

enum thread_state : uint8_t { THREAD_IDLE = 0, THREAD_WAITING = 1, THREAD_HOLDING = 2 };

/* wait_start_ns of a thread that found the GIL free: it waits for nothing. */
const int64_t no_wait = INT64_MIN;

/* The fields a GIL hand-over touches come first, in one cache line (the
 * record is line-aligned), and the hold distribution, written by every
 * release, right after it: between a release and the next acquire the
 * thread is in the kernel, which evicts lines the hooks then miss on. */
struct alignas(64) thread_record {
    /* Written by the owning thread only, under `seq` (odd while updating). */
    uint32_t seq;
    uint8_t state;
    /* A forced hand-over in progress (own thread only): 1 after the drop,
     * 2 once drop_gil() ended its wait for the switch. */
    uint8_t forced_phase;
    uint8_t ready;       /* in use by a live thread of this session */
    uint64_t epoch;      /* set before `ready` is published */
    int64_t wait_start_ns;
    int64_t hold_start_ns;
    int64_t waited_ns;
    int64_t held_ns;
    uint64_t acquisitions;
    uint8_t *waiting_flag; /* its byte in the dense waiting flags, constant */
    /* Written by the owning thread's hooks, always while it owns
     * gil->mutex; read by reports with the GIL held (so never while they
     * change) and by the retiring of the record. */
    thread_distributions distributions;
    /* Set before `ready` is published, then constant while in use. */
    int64_t seen_since_ns; /* when this session first saw the thread */
    long native_id;
    unsigned long ident; /* pthread_self(), as thread states keep it */
    bool is_agent;
    /* The thread's number in the process (low 16 bits), which tells apart
     * threads the kernel gave the same id, in the timeline. */
    uint16_t serial;
    char os_name[16];
    /* Touched only under table_lock (naming passes, reports, retiring). */
    bool named;
    uint8_t name_tries;
    char name[64];
    /* The forced hand-over's details (own thread only). */
    int64_t forced_drop_ns;
    long forced_switches; /* voluntary context switches at the switch's end */
    uint32_t index;      /* its own place, constant */
    uint32_t next_free;  /* index + 1 of the next free record (table_lock) */
};

struct record_figures {
    int64_t held_ns;
    int64_t waited_ns;
    uint64_t acquisitions;
    /* Time the session has seen the thread (from its first touch of the
     * GIL to its end or now); never less than held + waited.  What is
     * neither held nor waited is the rest. */
    int64_t seen_ns;
};

extern int names_pending;      /* a record appeared whose thread has no name yet */
/* The reporter's eventfd while hooks may run, else -1 (poked and cleared
 * under table_lock), and whether it was poked since the reporter last
 * looked. */
extern int naming_wake_fd;
extern int naming_signalled;

/* table_lock guards record life (handing out, retiring, reusing), the
 * names, the native id index's writers and the finished store.  Never
 * held while calling into Python or waiting for the GIL. */
void lock_records();
void unlock_records();

/* Create the per-thread binding key once.  Returns false on failure. */
bool create_binding_key();
/* Bind a fresh record for the agent's own thread.  Null on error. */
thread_record *bind_agent_record();
/* The calling thread's record for the current session, created on first
 * use.  Returns null when no record can be had. */
thread_record *current_record();
/* Forget the previous session's records: no hook may run. */
void reset_records();
/* Records handed out this session, and the one at `index` (null when its
 * chunk does not exist; check `ready`). */
size_t records_in_use();
thread_record *record_at(size_t index);
/* The name a record shows: its threading name, else its OS name. */
const char *record_name(const thread_record *record);
/* The live record of `native_id`, or null.  Lock-free, safe in a signal
 * handler: records are never freed. */
thread_record *find_live_record(long native_id);
/* Is the live thread `native_id` queued for the GIL?  Lock-free, safe in
 * a signal handler; reads only the id index and the dense flags. */
bool live_thread_waiting(long native_id);

/* Read a record consistently, counting a hold or wait in progress up to
 * `now`. */
record_figures read_record(const thread_record *record, int64_t now);

template <typename T> T load_field(const T *field)
{
    return __atomic_load_n(field, __ATOMIC_RELAXED);
}

/* The owning thread's update of its record, seen whole by read_record():
 * `seq` is odd in between. */
inline void begin_update(thread_record *record)
{
    __atomic_store_n(&record->seq, record->seq + 1, __ATOMIC_RELAXED);
    __atomic_thread_fence(__ATOMIC_RELEASE);
}

inline void end_update(thread_record *record)
{
    __atomic_store_n(&record->seq, record->seq + 1, __ATOMIC_RELEASE);
}

template <typename T> void store_field(T *field, T value)
{
    __atomic_store_n(field, value, __ATOMIC_RELAXED);
}

/* ---- Finished threads (all under table_lock) --------------------------- */

/* Finished threads keep their own row while among the top `finished_kept`
 * by held time or by wait time; every other one is added into the group
 * of its name with the last run of digits replaced by `*`. */
const size_t finished_kept = 100;
const size_t finished_capacity = 256;
const size_t max_groups = 4096;

/* One thread's line: a finished thread's row in the store, or a row of a
 * report (live or finished). */
struct thread_row {
    long native_id;
    char name[64];
    int64_t held_ns;
    int64_t waited_ns;
    uint64_t acquisitions;
    int64_t seen_ns;
    bool live; /* a report's row of a live thread */
    /* A finished row's distributions' place in
     * finished_distribution_slots: rows move when the store is pruned,
     * the 4 KB of buckets do not. */
    uint16_t slot;
    /* Of those distributions, which no longer change: taken once, when
     * the row is added, not by every report. */
    duration_summary wait;
    duration_summary hold;
};

/* Fill `row`'s id, name and figures. */
void fill_row(thread_row *row, long native_id, const char *name, const record_figures *figures);

struct thread_group {
    char name[64];
    uint64_t count;
    int64_t held_ns;
    int64_t waited_ns;
    uint64_t acquisitions;
    int64_t seen_ns;
    total_distributions distributions;
};

extern thread_row finished_rows[finished_capacity];
extern size_t finished_count;
extern thread_group *groups;
extern size_t group_count;
/* Sum over every finished thread, rows and groups. */
extern record_figures finished_totals;
extern total_distributions finished_distributions;

/* Write `name`'s group name (last run of digits replaced by `*`) to out. */
void group_name(const char *name, char *out, size_t size);
/* Keep only the top finished_kept rows by held and by wait. */
void prune_finished();
/* Move finished row `index` into its group (the last row takes its place). */
void fold_finished_row(size_t index);
/* Fold the finished row of `native_id`, if any: the kernel handed the id
 * to a new thread. */
void fold_reused_id(long native_id);
/* Add a finished thread's row, its distributions copied. */
void add_finished_row(long native_id, const char *name, const record_figures *figures,
                      const thread_distributions *distributions);
/* Every distribution slot free again (a new session). */
void reset_distribution_slots();

/* ---- The hooks ---------------------------------------------------------- */

typedef int (*mutex_func)(pthread_mutex_t *);

/* Stands for threads that got no record (table full, out of memory). */
extern thread_record overflow_record;

int hooked_mutex_lock(pthread_mutex_t *mutex);
int hooked_mutex_unlock(pthread_mutex_t *mutex);
/* Once watched_mutex is cleared: return when no hook is still writing.
 * Locks gil_mutex briefly (never held long by anyone). */
void quiesce_hooks(pthread_mutex_t *gil_mutex);

/* ---- Distributions, long holds and the timeline (insight.cpp) ---------- */

/* Set up for a new session, before the hooks go live: `threshold_ns`
 * (> 0) is the long-hold threshold, `ring` a ring of `capacity`
 * entries (null for none), owned by the session from here on.  Also the
 * first transition: `caller` holds the GIL from `start_ns`. */
void begin_insight(int64_t threshold_ns, struct timeline_entry *ring, size_t capacity,
                   thread_record *caller, int64_t start_ns);
/* Free the ring.  No hook may run. */
void end_insight();
/* One transition of the timeline, as the final report packs it. */
struct timeline_entry {
    int64_t time_ns; /* since the switch-on */
    int32_t native_id;
    uint8_t event;
    uint8_t flags;
    uint16_t serial; /* the thread's record serial: a reused id is a new thread */
};
enum timeline_event : uint8_t {
    TIMELINE_WAIT = 1,      /* starts waiting */
    TIMELINE_ACQUIRE = 2,   /* acquires: its wait (if any) ends, its hold starts */
    TIMELINE_RELEASE = 3,   /* releases: its hold ends */
    TIMELINE_GIVE_UP = 4,   /* stops waiting without the GIL (exit at shutdown) */
};
const uint8_t timeline_long_hold = 1; /* flags of a release ending a long hold */

/* A place code held the GIL too long, as a report shows it. */
const size_t long_hold_depth = 8;
struct held_frame {
    char file[256];
    char function[96];
    int32_t line;
};
/* How a hold ended: another thread asked for the GIL, the holder let go of
 * its own accord, or its thread state was being deleted (thread exit). */
enum hold_ending : uint8_t { ENDED_BY_WAITER = 0, ENDED_VOLUNTARILY = 1, ENDED_BY_EXIT = 2 };
struct long_hold_place {
    uint64_t key;
    uint32_t depth;
    held_frame frames[long_hold_depth]; /* the code that held, innermost first */
    /* Of its latest hold: where it let go, and how. */
    uint32_t released_depth;
    held_frame released_at[long_hold_depth];
    uint8_t ended_by;
    long native_id;    /* the thread of its latest hold */
    char thread[64];   /* that thread's name then */
    uint64_t count;
    int64_t total_ns;  /* the holds' full length */
    int64_t beyond_ns; /* their length beyond the threshold */
    int64_t max_ns;
};
const size_t long_hold_places_shown = 10;

/* What a report takes of them: GIL held (so no hook changes them). */
/* Bounds for dashboards' histograms: the edges of the distributions'
 * buckets nearest above 1 us, 2.5 us, 5 us, ... 1 s, 5 s, so that a count
 * at a bound is exact (no bucket straddles it). */
const size_t metric_bound_count = 20;

struct insight_snapshot {
    duration_summary wait;          /* every thread's, since the switch-on */
    duration_summary hold;
    /* Single waits and holds no longer than metric_bounds_ns[i], since the
     * switch-on (cumulative, as Prometheus buckets are). */
    uint64_t wait_within[metric_bound_count];
    uint64_t hold_within[metric_bound_count];
    /* Every hold longer than the threshold, wherever it was charged. */
    uint64_t long_hold_count;
    int64_t long_hold_ns;
    duration_summary interval_wait; /* since the previous report */
    duration_summary interval_hold;
    int64_t interval_wall_ns;
    int64_t interval_held_ns;
    int64_t interval_waited_ns;
    uint64_t interval_switches;
    int64_t threshold_ns;
    long_hold_place *places; /* worst first, malloc'd (null when none or no memory) */
    size_t place_count;
};
/* Fill `out` for a report with the given cumulative figures (`totals`:
 * every thread's distributions), and start a new interval.  GIL held.
 * The caller frees out->places. */
void take_insight(const total_distributions *totals, int64_t wall_ns, int64_t held_ns,
                  int64_t waited_ns, uint64_t switches, insight_snapshot *out);
/* The upper bound, in ns, of the metric bound `index` (exclusive). */
int64_t metric_bound_ns(size_t index);
/* The timeline packed for the final report: a new bytes object, None
 * (new reference) when no timeline is kept, null with an exception set
 * on failure.  GIL held, no hook running. */
PyObject *timeline_bytes();
/* Validate and allocate the ring for `capacity` transitions.  On success
 * store it (null for 0) and return true; on failure return false. */
bool allocate_timeline(int64_t capacity, timeline_entry **out);

/* ---- The hooks' notes -------------------------------------------------- */

/* On the thread concerned while it owns gil->mutex.  Inline, so that a
 * hand-over pays only for its own record's bucket and a test or two. */

struct timeline_state {
    timeline_entry *ring; /* null: no timeline */
    size_t capacity;
    size_t next;      /* where the next transition goes */
    uint64_t written; /* transitions ever written */
};

/* The hooks read the time up to three times per GIL hand-over.  Where the CPU's
 * time-stamp counter runs at a constant rate, never stops and is what the
 * kernel keeps time with, one rdtsc (about 10 ns) replaces each
 * clock_gettime (about 25 ns): ticks are turned into ns with a rate
 * calibrated once against CLOCK_MONOTONIC.  Elsewhere the clock is read. */
struct tsc_scale {
    uint64_t base_ticks;
    int64_t base_ns;
    uint64_t ns_per_tick_q32; /* ns per tick, times 2^32 */
};

/* What the hooks read and write on every hand-over, kept together: a
 * hand-over often comes with a system call, after which the kernel's work
 * has pushed them out of the cache, and each line is a miss.  Spread over
 * the agent's data they took seven lines; here they take four, and the
 * part written on every hand-over has a line of its own, apart from what
 * the hooks of every other mutex read. */
struct alignas(64) hook_globals {
    /* Set while no hook runs (before the hooks are live or once quiesced). */
    pthread_mutex_t *watched_mutex; /* &gil->mutex while a session is on, else null */
    mutex_func real_lock;
    mutex_func real_unlock;
    const int *gil_locked;          /* &gil->locked */
    uint64_t session_epoch;         /* bumped by every start; 0 is never a session */
    int64_t session_start_ns;
    int64_t long_hold_threshold_ns;
    /* Waits at least this long are charged to the waiter's stack in the
     * GIL profile (INT64_MAX: no profile). */
    int64_t profile_wait_threshold_ns;
    int tsc_state;                  /* 0 not tried, 1 in use, -1 not usable */
    tsc_scale tsc;
    gil_switch_layout gil_switch;
    /* Written only under gil->mutex (or before the hooks are live). */
    alignas(64) thread_record *gil_holder;
    thread_record *previous_holder;
    uint64_t switch_count;
    int forced_drops_pending; /* threads between a forced drop and its switch wait */
    timeline_state timeline;
};
extern hook_globals hooks;

/* Append a transition to the timeline ring (not null). */
inline void timeline_add(const thread_record *record, int64_t time_ns, uint8_t event,
                         uint8_t flags)
{
    timeline_entry *entry = &hooks.timeline.ring[hooks.timeline.next];
    hooks.timeline.next = hooks.timeline.next + 1 == hooks.timeline.capacity ? 0 : hooks.timeline.next + 1;
    /* Relaxed stores, then `written` published with a release store: the
     * streamed trace reads the ring without a lock (plain moves on x86). */
    __atomic_store_n(&entry->time_ns, time_ns - hooks.session_start_ns, __ATOMIC_RELAXED);
    __atomic_store_n(&entry->native_id, static_cast<int32_t>(record->native_id), __ATOMIC_RELAXED);
    __atomic_store_n(&entry->event, event, __ATOMIC_RELAXED);
    __atomic_store_n(&entry->flags, flags, __ATOMIC_RELAXED);
    __atomic_store_n(&entry->serial, record->serial, __ATOMIC_RELAXED);
    __atomic_store_n(&hooks.timeline.written, hooks.timeline.written + 1, __ATOMIC_RELEASE);
}
/* Charge a hold of `held_ns`, longer than the threshold, by the calling
 * thread (owner of `record`) to the code that held: the stack the agent's
 * thread read during the hold, else (not read in time) where it lets go.
 * `forced`: another thread asked for the GIL. */
__attribute__((cold)) void charge_long_hold(const thread_record *record, int64_t held_ns,
                                            bool forced);
/* Charge a wait of `waited_ns` (at least the profile's threshold) by the
 * calling thread, which now holds the GIL, to the stack it waited at. */
__attribute__((cold)) void charge_long_wait(const thread_record *record, int64_t waited_ns);

/* The bucket of `ns` (>= 0). */
inline size_t duration_bucket(int64_t ns)
{
    const int64_t linear = static_cast<int64_t>(1) << duration_sub_bits;
    if (ns < linear) {
        return ns < 0 ? 0 : static_cast<size_t>(ns);
    }
    int exponent = 63 - __builtin_clzll(static_cast<unsigned long long>(ns));
    if (exponent >= duration_top_exponent) {
        return duration_buckets - 1;
    }
    return (static_cast<size_t>(exponent - duration_sub_bits + 1) << duration_sub_bits) +
           (static_cast<size_t>(ns >> (exponent - duration_sub_bits)) &
            static_cast<size_t>(linear - 1));
}

/* Count a single wait or hold of `ns` in `histogram`.  Relaxed atomics:
 * a report may read while a shutdown wait is added. */
template <typename Count>
inline void add_duration(duration_histogram<Count> *histogram, int64_t ns)
{
    if (ns < 0) {
        ns = 0;
    }
    /* An empty histogram's min is INT64_MAX and its max 0 (see
     * clear_distributions), so no test of the count is needed here. */
    uint64_t count = __atomic_load_n(&histogram->count, __ATOMIC_RELAXED);
    if (ns < __atomic_load_n(&histogram->min_ns, __ATOMIC_RELAXED)) {
        __atomic_store_n(&histogram->min_ns, ns, __ATOMIC_RELAXED);
    }
    if (ns > __atomic_load_n(&histogram->max_ns, __ATOMIC_RELAXED)) {
        __atomic_store_n(&histogram->max_ns, ns, __ATOMIC_RELAXED);
    }
    Count *bucket = &histogram->buckets[duration_bucket(ns)];
    __atomic_store_n(bucket, static_cast<Count>(__atomic_load_n(bucket, __ATOMIC_RELAXED) + 1),
                     __ATOMIC_RELAXED);
    __atomic_store_n(&histogram->count, count + 1, __ATOMIC_RELAXED);
}

/* A wait starts (not called for a thread that finds the GIL free). */
inline void note_wait_start(thread_record *record, int64_t start_ns)
{
    if (hooks.timeline.ring != nullptr) {
        timeline_add(record, start_ns, TIMELINE_WAIT, 0);
    }
}

/* The GIL is acquired at `now`; `wait_start_ns` is no_wait when the thread
 * found it free, and `first_seen` when the thread was queued before the
 * switch-on (its wait was never noted as starting). */
inline void note_acquire(thread_record *record, int64_t wait_start_ns, int64_t now,
                         bool first_seen)
{
    if (wait_start_ns != no_wait) {
        if (first_seen && hooks.timeline.ring != nullptr) {
            timeline_add(record, wait_start_ns, TIMELINE_WAIT, 0);
        }
        int64_t waited = now > wait_start_ns ? now - wait_start_ns : 0;
        add_duration(&record->distributions.waits, waited);
        if (__builtin_expect(waited >= hooks.profile_wait_threshold_ns, 0)) {
            charge_long_wait(record, waited);
        }
    }
    if (hooks.timeline.ring != nullptr) {
        timeline_add(record, now, TIMELINE_ACQUIRE, 0);
    }
}

/* The GIL, held since `hold_start_ns`, is released at `now`; `forced`:
 * another thread asked for it. */
inline void note_release(thread_record *record, int64_t hold_start_ns, int64_t now, bool forced)
{
    int64_t held = now > hold_start_ns ? now - hold_start_ns : 0;
    add_duration(&record->distributions.holds, held);
    bool long_hold = held > hooks.long_hold_threshold_ns;
    if (__builtin_expect(long_hold, 0)) {
        charge_long_hold(record, held, forced);
    }
    if (hooks.timeline.ring != nullptr) {
        timeline_add(record, now, TIMELINE_RELEASE, long_hold ? timeline_long_hold : 0);
    }
}

/* A thread told to exit at shutdown leaves take_gil() without the GIL. */
inline void note_wait_abandoned(thread_record *record, int64_t wait_start_ns, int64_t now)
{
    if (wait_start_ns != no_wait) {
        add_duration(&record->distributions.waits, now > wait_start_ns ? now - wait_start_ns : 0);
    }
    if (hooks.timeline.ring != nullptr) {
        timeline_add(record, now, TIMELINE_GIVE_UP, 0);
    }
}

/* ---- Names and reports -------------------------------------------------- */

/* Names are C strings in fixed buffers: a NUL a thread's name holds is
 * kept as its overlong UTF-8 form, which valid UTF-8 never has, and turned
 * back into U+0000 where the name is shown (the sink's str, the text
 * report's \x00). */
const char name_nul[] = "\xC0\x80";

/* The threads the threading module knows, with native id and name. */
struct live_thread {
    long native_id;
    char name[64];
};

struct live_threads {
    live_thread *items;
    size_t count;
    size_t capacity;
};

/* List them.  GIL held.  Never leaves an exception set; on any failure
 * the list is simply shorter (empty when threading was never imported). */
void list_python_threads(live_threads *out);
void sort_live_threads(live_threads *threads);
/* The entry of `threads` (sorted by id) for `native_id`, or null. */
const live_thread *find_live(const live_threads *threads, long native_id);
/* Give names from `threads` to the live records that have none yet.  GIL
 * and table_lock held.  Returns whether some record still lacks a name
 * and deserves another try. */
bool name_records(live_threads *threads);

/* Does some live record lack a name, still worth looking up?  Any thread;
 * takes table_lock. */
bool records_need_names();
/* Name the records that have no name yet.  GIL held.  Returns whether some
 * still lack one and deserve another try. */
bool naming_pass();

/* Wrap threading.Thread._set_native_id so that each new thread names its
 * own record before it runs any code; and undo it.  GIL held; never leave
 * an exception set; a failure only leaves names to the naming passes. */
void install_name_hook();
void remove_name_hook();

/* Produce one report as of `now`: text to report_fd and a dict to the sink.
 * GIL held on entry and exit; the calling thread must own a thread state.
 * No exception is left set. */
void emit_report(int64_t now, bool final, PyObject *sink, int32_t report_fd);

/* ---- The streamed trace (trace_stream.cpp) ------------------------------ */

/* Stream the session's timeline to `path` as trace-event JSON from a
 * thread of the agent's own (vandrel_gil_trace).  GIL held. */
int32_t start_trace_stream(const char *path, int64_t max_transitions_per_file,
                           int64_t resolution_ns);
/* At the switch-off, hooks gone: write the rest and close the file, the
 * GIL let go meanwhile.  Nothing when no stream is on.  GIL held. */
void finish_trace_stream(int64_t stop_ns);
/* On an exit signal, hooks still on: have the writer write what the ring
 * holds now and close the file.  Any thread, no GIL needed.  Returns
 * whether it is closed (or there is none) by `deadline_ns`. */
bool finish_trace_stream_now(int64_t deadline_ns);
/* Queue an event-loop block (CLOCK_MONOTONIC ns) for the streamed trace's
 * next drain: a span on the track named `loop`.  Any thread, no GIL
 * needed.  VANDREL_NOT_ON when no trace streams. */
int32_t trace_loop_block(const char *loop, const char *place, const char *task,
                         int64_t start_ns, int64_t end_ns);
/* The streamed trace's first file, or null (kept until the process ends
 * once an exit signal looked at it). */
const char *trace_stream_path();

/* ---- Exit signals (exit_signals.cpp) ------------------------------------ */

/* SIGTERM and SIGHUP, where their action is the default, get a handler
 * that has the final report and the trace written, then ends the process
 * by the same signal (vandrel_exit_signals).  GIL held, session on.
 * `report_name` names report_fd's destination in messages. */
int32_t start_exit_signals(const char *report_name);
/* Switch-off, GIL held, before the final report: end the signals' thread
 * (the GIL let go meanwhile).  Nothing when none. */
void stop_exit_signals();
/* Switch-off's very end: give the signals their previous action back
 * (where the handler is still ours) and, when one came meanwhile, end the
 * process by it now that the outputs are written. */
void restore_exit_signals();

/* ---- The holder's stack, read while it holds (holder_watch.cpp) ------- */

/* The stack the agent's thread read during a hold that was about to cross
 * the long-hold threshold, for the hook that ends that hold.  Written by
 * that thread under `seq` (odd while it writes), read by the hook. */
struct hold_capture {
    uint32_t seq;
    const thread_record *record; /* the holder */
    long native_id;              /* its thread (records are reused) */
    uint64_t acquisition;        /* its acquisitions count during that hold */
    uint32_t depth;
    held_frame frames[long_hold_depth];
};
extern hold_capture watched_hold;

/* Start the thread that watches the holder, with every signal blocked; it
 * never takes the GIL.  GIL held, hooks live.  False on failure. */
bool start_holder_watch();
/* Stop and join it (nothing when none).  Any thread. */
void stop_holder_watch();
/* In a forked child: forget it (its thread was not copied). */
void forget_holder_watch();
/* Start the GIL profile (vandrel_gil_profile): a sample of the holder's
 * stack every `period_ns`, and every wait of `wait_threshold_ns` or more
 * charged to the waiter's stack.  GIL held, session on. */
int32_t start_gil_profile(int64_t period_ns, int64_t wait_threshold_ns);

/* ---- The GIL profile's tables (profile.cpp) ---------------------------- */

/* Frames kept per stack, innermost first. */
const size_t profile_depth = 64;
/* Stacks kept per table, and shown in a report (the rest in one row). */
const size_t profile_stacks_kept = 4096;
const size_t profile_stacks_shown = 500;
/* A frame of a profile stack: an index into its table's frames. */
typedef uint16_t profile_frame_id;
const profile_frame_id unknown_frame = 0xFFFF;

enum profile_kind { PROFILE_HELD = 0, PROFILE_WAITED = 1 };

/* Allocate (once per process) and empty both tables.  GIL held, no
 * writer running.  False when out of memory. */
bool reset_profile();
/* The frame id of a location, added when new (unknown_frame when the
 * table is full).  Only the table's one writer: the agent's thread for
 * PROFILE_HELD, the hooks (owning gil->mutex) for PROFILE_WAITED. */
profile_frame_id profile_frame(profile_kind kind, const char *file, const char *function,
                               int32_t line);
/* Add `ns` and `samples` to the stack `frames` (`depth` of them) of
 * thread `thread` (its name now; `native_id` its id).  The table's one
 * writer (see profile_frame). */
void profile_add(profile_kind kind, const char *thread, long native_id,
                 const profile_frame_id *frames, uint32_t depth, int64_t ns, uint64_t samples);
/* The profile as the report's dict, each row under its thread's name as
 * the report's `rows` (`count`) show it, or its group's name for a thread
 * they do not list (finished, added into its group): a new reference,
 * null with an exception set on failure.  GIL held. */
PyObject *profile_dict(const thread_row *rows, size_t count);
/* Whether this session has a profile, and its settings. */
extern bool profile_on;
extern int64_t profile_period_ns;

/* ---- The session and its background thread ----------------------------- */

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

struct session_config {
    PyObject *sink; /* owned reference, or null for None */
    int32_t report_fd;
    reporter *background;
    /* The report_fd the caller gave (report_fd is our duplicate of it), and
     * whether a failed write to it was told on stderr yet (by the thread
     * that writes the reports). */
    int32_t report_fd_given;
    bool report_failure_told;
    /* Whether periodic reports write their text too (vandrel_final_text_only
     * clears it: the sink still gets every report). */
    bool periodic_text;
};

/* The session's settings (entry points, GIL held; read by the reporter). */
extern session_config session;

void free_reporter(reporter *r);
bool stop_requested(reporter *r);
/* Start the session's background thread: naming passes and periodic
 * reports.  Null on failure. */
reporter *start_reporter(int64_t sample_period_ns, int64_t report_period_ns);

}  // namespace gil
}  // namespace vandrel

#endif /* VANDREL_GIL_INTERCEPTOR_INTERNAL_H */
