/* The GIL interceptor's internal interface, shared by its three units:
 *
 *   gil_records.cpp     the hot path: the mutex hooks and the per-thread
 *                       records they write;
 *   gil_report.cpp      thread names and the reports (dict and text);
 *   gil_interceptor.cpp the session's life: start, stop, fork, exit and
 *                       the agent's own thread.
 *
 * See gil_records.cpp for how the hooks follow CPython's GIL. */
#ifndef VANDREL_GIL_INTERCEPTOR_INTERNAL_H
#define VANDREL_GIL_INTERCEPTOR_INTERNAL_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#include "python_api.h"

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

/* ---- Per-thread records ------------------------------------------------- */

enum thread_state : uint8_t { THREAD_IDLE = 0, THREAD_WAITING = 1, THREAD_HOLDING = 2 };

/* wait_start_ns of a thread that found the GIL free: it waits for nothing. */
const int64_t no_wait = INT64_MIN;

struct thread_record {
    /* Written by the owning thread only, under `seq` (odd while updating). */
    uint32_t seq;
    uint8_t state;
    int64_t wait_start_ns;
    int64_t hold_start_ns;
    int64_t waited_ns;
    int64_t held_ns;
    uint64_t acquisitions;
    /* Set before `ready` is published, then constant while in use. */
    int64_t seen_since_ns; /* when this session first saw the thread */
    long native_id;
    uint64_t epoch;
    bool is_agent;
    char os_name[16];
    /* Touched only under table_lock (naming passes, reports, retiring). */
    bool named;
    uint8_t name_tries;
    char name[64];
    /* A forced hand-over in progress (own thread only): 1 after the drop,
     * 2 once drop_gil() ended its wait for the switch. */
    uint8_t forced_phase;
    int64_t forced_drop_ns;
    long forced_switches; /* voluntary context switches at the switch's end */
    uint8_t ready;       /* in use by a live thread of this session */
    uint32_t index;      /* its own place, constant */
    uint8_t *waiting_flag; /* its byte in the dense waiting flags, constant */
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

extern uint64_t session_epoch; /* bumped by every start; 0 is never a session */
extern int names_pending;      /* a record appeared whose thread has no name yet */
/* The reporter's eventfd while hooks may run, else -1, and whether it was
 * poked since the reporter last looked. */
extern int naming_wake_fd;
extern int naming_signalled;

/* table_lock guards record life (handing out, retiring, reusing), the
 * names, the native id index's writers and the finished store.  Never
 * held while calling into Python or waiting for the GIL. */
void lock_records();
void unlock_records();
/* In a forked child: the lock may have been held by a thread that is gone. */
void reinit_records_lock();

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

/* ---- Finished threads (all under table_lock) --------------------------- */

/* Finished threads keep their own row while among the top `finished_kept`
 * by held time or by wait time; every other one is added into the group
 * of its name with the last run of digits replaced by `*`. */
const size_t finished_kept = 100;
const size_t finished_capacity = 256;
const size_t max_groups = 4096;

struct finished_row {
    long native_id;
    char name[64];
    int64_t held_ns;
    int64_t waited_ns;
    uint64_t acquisitions;
    int64_t seen_ns;
};

struct thread_group {
    char name[64];
    uint64_t count;
    int64_t held_ns;
    int64_t waited_ns;
    uint64_t acquisitions;
    int64_t seen_ns;
};

extern finished_row finished_rows[finished_capacity];
extern size_t finished_count;
extern thread_group *groups;
extern size_t group_count;
/* Sum over every finished thread, rows and groups. */
extern record_figures finished_totals;

/* Write `name`'s group name (last run of digits replaced by `*`) to out. */
void group_name(const char *name, char *out, size_t size);
/* Keep only the top finished_kept rows by held and by wait. */
void prune_finished();
/* Move finished row `index` into its group (the last row takes its place). */
void fold_finished_row(size_t index);

/* ---- The hooks ---------------------------------------------------------- */

typedef int (*mutex_func)(pthread_mutex_t *);

extern mutex_func real_lock;
extern mutex_func real_unlock;
extern pthread_mutex_t *watched_mutex; /* &gil->mutex while a session is on, else null */
extern const int *gil_locked;          /* &gil->locked */
extern int64_t session_start_ns;
/* Where the hooks see that a drop was forced: gil->switch_mutex, and the
 * drop request, a 32-bit word at (*request_base + request_offset) tested
 * with request_mask.  From 3.13 on the request is a bit of the holder's
 * eval_breaker: request_base is &gil->last_holder.  Before, it is the
 * interpreter's ceval.gil_drop_request flag: request_base points at
 * fixed_request, which holds its address.  Set by the start before the
 * hooks go live. */
struct gil_switch_layout {
    pthread_mutex_t *switch_mutex;
    void *const *request_base;
    size_t request_offset;
    uint32_t request_mask;
    void *fixed_request;
    /* Before 3.13 the thread that takes the GIL clears the request, maybe
     * before drop_gil() looks at it: then the dropping thread skips the
     * wait for the switch and comes straight back. */
    bool request_cleared_by_taker;
};
extern gil_switch_layout gil_switch;
/* Written only under gil->mutex (or before the hooks are live). */
extern thread_record *gil_holder;
extern thread_record *previous_holder;
extern uint64_t switch_count;
/* Stands for threads that got no record (table full, out of memory). */
extern thread_record overflow_record;

int hooked_mutex_lock(pthread_mutex_t *mutex);
int hooked_mutex_unlock(pthread_mutex_t *mutex);
/* Once watched_mutex is cleared: return when no hook is still writing.
 * Locks gil_mutex briefly (never held long by anyone). */
void quiesce_hooks(pthread_mutex_t *gil_mutex);

/* ---- Names and reports -------------------------------------------------- */

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

}  // namespace gil
}  // namespace vandrel

#endif /* VANDREL_GIL_INTERCEPTOR_INTERNAL_H */
