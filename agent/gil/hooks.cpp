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
            bool forced = (request & hooks.gil_switch.request_mask) != 0;
            if (forced) {
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
            note_release(record, hold_start, now, forced);
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
