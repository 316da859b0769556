/* The agent's thread that reads the GIL holder's stack while it holds.
 *
 * A long hold is charged to the code that held the GIL: the hook that
 * ends a hold runs on the holder as it lets go, by which time it may be
 * somewhere else entirely (a blocking call that released the GIL after
 * the work, or its thread's end).  So this thread, which never takes the
 * GIL, reads the holder's stack during the hold, a little before the hold
 * crosses the threshold, with the GIL-free reader (every read a checked
 * copy, cpython/unlocked_reader.h); the hook takes that stack when it
 * finds one of the hold it ends.  No signal is sent to the holder.
 *
 * Which thread holds comes from the hooks (hooks.gil_holder and the
 * holder's record: its hold's start and number); its thread state is the
 * GIL's `last_holder`, checked against the record's thread ids, and the
 * stack counts only if the same hold still runs after the walk, so a
 * stack is never put on a thread that did not hold the GIL meanwhile.
 *
 * With a profile (vandrel_gil_profile) it also samples the holder's stack
 * at the profile's rate; a holder it cannot read counts as "(unknown)".
 * It sleeps until the next sample or the moment the current hold would
 * need reading, and at most until a hold starting now could: about once
 * per threshold when the GIL changes hands often or not at all. */
#include "cpython/unlocked_reader.h"
#include "text/utf8.h"
#include "gil/internal.h"
#include "fork_gate.h"
#include "agent.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace vandrel {
namespace gil {

namespace {

/* Read a hold this much before it crosses the threshold (a quarter of
 * it, at most 2 ms): the thread may wake late on a busy machine. */
const int64_t max_read_lead_ns = 2000000;
/* Sleep at least this long between looks, whatever the threshold. */
const int64_t min_watch_sleep_ns = 500000;
/* Frames followed per walk (the recursion limit is far below). */
const size_t walk_limit = 1 << 16;

struct holder_watch {
    pthread_t thread;
    int wake_fd;
    int stop;
    bool target_ok;
    unlocked_target target;
};

holder_watch *current_watch;

/* What the hooks say about the GIL's holder at one moment. */
struct hold_seen {
    const thread_record *record; /* null: the GIL is free */
    long native_id;
    unsigned long ident;
    uint64_t acquisition;
    int64_t start_ns;
};

/* The holder now, its record read whole.  False when nobody holds the GIL
 * (or the holder changed while read). */
bool read_holder(hold_seen *out)
{
    out->record = nullptr;
    const thread_record *record = __atomic_load_n(&hooks.gil_holder, __ATOMIC_ACQUIRE);
    if (record == nullptr) {
        return false;
    }
    if (record == &overflow_record) {
        out->record = record;
        out->native_id = 0;
        out->ident = 0;
        out->acquisition = 0;
        out->start_ns = 0;
        return true;
    }
    for (int tries = 0; tries < 100; tries++) {
        uint32_t before = __atomic_load_n(&record->seq, __ATOMIC_ACQUIRE);
        if ((before & 1) != 0) {
            continue;
        }
        uint8_t state = load_field(&record->state);
        int64_t start = load_field(&record->hold_start_ns);
        uint64_t acquisition = load_field(&record->acquisitions);
        long native_id = load_field(&record->native_id);
        unsigned long ident = load_field(&record->ident);
        __atomic_thread_fence(__ATOMIC_ACQUIRE);
        if (__atomic_load_n(&record->seq, __ATOMIC_RELAXED) != before) {
            continue;
        }
        if (state != THREAD_HOLDING ||
            __atomic_load_n(&hooks.gil_holder, __ATOMIC_ACQUIRE) != record) {
            return false;
        }
        out->record = record;
        out->native_id = native_id;
        out->ident = ident;
        out->acquisition = acquisition;
        out->start_ns = start;
        return true;
    }
    return false;
}

bool same_hold(const hold_seen *a, const hold_seen *b)
{
    return a->record == b->record && a->native_id == b->native_id &&
           a->acquisition == b->acquisition;
}

unlocked_frame frames[profile_depth];
unlocked_text file_text;
unlocked_text name_text;

/* Walk the frames of the hold `seen` (up to `capacity`, innermost first)
 * into `frames`.  Return how many, or -1 when the holder's stack cannot be
 * read: no reader, its thread state not the holder's, or the hold ended
 * during the walk. */
long walk_holder(holder_watch *watch, const hold_seen *seen, size_t capacity)
{
    if (!watch->target_ok || seen->record == &overflow_record) {
        return -1;
    }
    const void *tstate = unlocked_gil_holder(&watch->target);
    unlocked_thread thread;
    if (tstate == nullptr || !unlocked_thread_read(tstate, &thread)) {
        return -1;
    }
    bool ours = thread.native_id != 0
                    ? thread.native_id == static_cast<unsigned long>(seen->native_id)
                    : thread.ident == seen->ident;
    if (!ours) {
        return -1;
    }
    size_t left_out = 0;
    bool more = false;
    size_t count = unlocked_walk(&watch->target, &thread, frames, capacity, walk_limit,
                                 &left_out, &more);
    hold_seen after;
    if (!read_holder(&after) || !same_hold(seen, &after)) {
        return -1;
    }
    return static_cast<long>(count);
}

/* `text` as UTF-8 into `out` (room `size`, NUL-terminated), cut at a
 * character; "?" when it could not be read. */
void text_utf8(const unlocked_text *text, char *out, size_t size)
{
    if (!text->ok) {
        snprintf(out, size, "?");
        return;
    }
    size_t used = 0;
    out[0] = '\0';
    for (size_t i = 0; i < text->length; i++) {
        uint32_t ch = unlocked_text_char(text, i);
        char bytes[4];
        size_t count = utf8_encode(is_surrogate(ch) ? '?' : ch, bytes);
        if (used + count >= size) {
            break;
        }
        memcpy(out + used, bytes, count);
        used += count;
        out[used] = '\0';
    }
}

/* A frame's file, function and line. */
void frame_location(holder_watch *watch, const unlocked_frame *frame, held_frame *out)
{
    int line = -1;
    if (frame->unreadable || !unlocked_code_location(&watch->target, frame->code,
                                                     frame->instruction, &file_text,
                                                     &name_text, &line)) {
        snprintf(out->file, sizeof(out->file), "<unreadable frame>");
        snprintf(out->function, sizeof(out->function), "?");
        out->line = 0;
        return;
    }
    text_utf8(&file_text, out->file, sizeof(out->file));
    text_utf8(&name_text, out->function, sizeof(out->function));
    out->line = line;
}

/* Read the stack of the hold `seen` for the hook that will end it. */
void read_for_long_hold(holder_watch *watch, const hold_seen *seen)
{
    long count = walk_holder(watch, seen, long_hold_depth);
    if (count < 0) {
        return;
    }
    static held_frame taken[long_hold_depth];
    for (long i = 0; i < count; i++) {
        frame_location(watch, &frames[i], &taken[i]);
    }
    /* Published under the sequence: the hook checks it did not change
     * while it copied. */
    uint32_t seq = watched_hold.seq;
    __atomic_store_n(&watched_hold.seq, seq + 1, __ATOMIC_RELAXED);
    __atomic_thread_fence(__ATOMIC_RELEASE);
    __atomic_store_n(&watched_hold.record, seen->record, __ATOMIC_RELAXED);
    __atomic_store_n(&watched_hold.native_id, seen->native_id, __ATOMIC_RELAXED);
    __atomic_store_n(&watched_hold.acquisition, seen->acquisition, __ATOMIC_RELAXED);
    __atomic_store_n(&watched_hold.depth, static_cast<uint32_t>(count), __ATOMIC_RELAXED);
    memcpy(watched_hold.frames, taken, sizeof(taken));
    __atomic_store_n(&watched_hold.seq, seq + 2, __ATOMIC_RELEASE);
}

/* Locations already named, by code object, instruction and what the code
 * object showed (unlocked_frame::identity): most samples find every
 * frame here and read no name or line table. */
struct location_slot {
    const void *code;
    uint64_t identity;
    int instruction;
    profile_frame_id id;
};
const size_t location_slots = 8192;
location_slot *locations;

profile_frame_id profile_location(holder_watch *watch, const unlocked_frame *frame)
{
    if (frame->unreadable) {
        return profile_frame(PROFILE_HELD, "<unreadable frame>", "?", 0);
    }
    uint64_t hash = (reinterpret_cast<uintptr_t>(frame->code) ^ frame->identity) * 0x9E3779B97F4A7C15ULL +
                    static_cast<uint64_t>(frame->instruction);
    hash ^= hash >> 31;
    location_slot *slot = nullptr;
    if (locations != nullptr) {
        for (size_t probe = 0; probe < 8; probe++) {
            location_slot *at = &locations[(hash + probe) & (location_slots - 1)];
            if (at->code == frame->code && at->identity == frame->identity &&
                at->instruction == frame->instruction) {
                return at->id;
            }
            if (at->code == nullptr && slot == nullptr) {
                slot = at;
            }
        }
    }
    held_frame named;
    frame_location(watch, frame, &named);
    profile_frame_id id = profile_frame(PROFILE_HELD, named.file, named.function, named.line);
    if (slot != nullptr && id != unknown_frame) {
        *slot = location_slot{frame->code, frame->identity, frame->instruction, id};
    }
    return id;
}

/* One sample of the profile: the holder's stack, one period's worth. */
void take_sample(holder_watch *watch, int64_t period_ns)
{
    hold_seen seen;
    if (!read_holder(&seen)) {
        return; /* the GIL is free */
    }
    char thread[64];
    if (seen.record == &overflow_record) {
        snprintf(thread, sizeof(thread), "(unknown)");
    }
    else {
        lock_records();
        snprintf(thread, sizeof(thread), "%s", record_name(seen.record));
        unlock_records();
    }
    profile_frame_id ids[profile_depth];
    long count = walk_holder(watch, &seen, profile_depth);
    if (count < 0) {
        ids[0] = profile_frame(PROFILE_HELD, "(unknown)", "(unknown)", 0);
        count = 1;
    }
    else {
        for (long i = 0; i < count; i++) {
            ids[i] = profile_location(watch, &frames[i]);
        }
    }
    profile_add(PROFILE_HELD, thread, seen.native_id, ids, static_cast<uint32_t>(count),
                period_ns, 1);
}

/* The time to the next sample: the period on average, drawn evenly from
 * half to one and a half periods, so that samples do not fall in step
 * with a program that repeats at about the period (a loop, a timer) and
 * keep seeing the same part of it. */
int64_t next_interval(int64_t period, uint64_t *state)
{
    uint64_t x = *state;
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    *state = x;
    return period / 2 + static_cast<int64_t>(x % static_cast<uint64_t>(period));
}

bool watch_stopping(holder_watch *watch)
{
    return __atomic_load_n(&watch->stop, __ATOMIC_ACQUIRE) != 0;
}

/* Sleep until `deadline` (CLOCK_MONOTONIC ns), a stop or a poke. */
void sleep_until(holder_watch *watch, int64_t deadline)
{
    int64_t left = deadline - now_ns();
    if (left <= 0 || watch_stopping(watch)) {
        return;
    }
    struct timespec timeout;
    timeout.tv_sec = static_cast<time_t>(left / 1000000000LL);
    timeout.tv_nsec = static_cast<long>(left % 1000000000LL);
    struct pollfd wake = {watch->wake_fd, POLLIN, 0};
    if (syscall(SYS_ppoll, &wake, 1, &timeout, nullptr, static_cast<size_t>(8)) > 0) {
        uint64_t count;
        ssize_t drained = read(watch->wake_fd, &count, sizeof(count));
        (void)drained;
    }
}

void *watch_main(void *arg)
{
    holder_watch *watch = static_cast<holder_watch *>(arg);
    /* Named for top -H and /proc/<pid>/task/<tid>/comm (its CPU time is
     * what the profile costs). */
    prctl(PR_SET_NAME, "vandrel-watch", 0, 0, 0);
    hold_seen read_hold = {};
    bool read_any = false;
    int64_t next_sample = INT64_MAX;
    uint64_t draw = static_cast<uint64_t>(now_ns()) | 1;
    while (!watch_stopping(watch)) {
        /* Reads, the record lock and the profile's tables, never the GIL:
         * a fork() waits for them (fork_gate.h), not in its sleep. */
        fork_gate_enter();
        int64_t period = __atomic_load_n(&profile_period_ns, __ATOMIC_ACQUIRE);
        int64_t now = now_ns();
        if (period > 0 && next_sample == INT64_MAX) {
            next_sample = now + next_interval(period, &draw);
        }
        int64_t threshold = hooks.long_hold_threshold_ns;
        int64_t lead = threshold / 4 < max_read_lead_ns ? threshold / 4 : max_read_lead_ns;
        int64_t rest = threshold - lead > min_watch_sleep_ns ? threshold - lead : min_watch_sleep_ns;
        int64_t read_at = INT64_MAX;
        hold_seen seen;
        if (read_holder(&seen) && seen.record != &overflow_record &&
            !(read_any && same_hold(&seen, &read_hold))) {
            read_at = seen.start_ns + threshold - lead;
            if (now >= read_at) {
                read_for_long_hold(watch, &seen);
                read_hold = seen;
                read_any = true;
                read_at = INT64_MAX;
            }
        }
        if (period > 0 && now >= next_sample) {
            take_sample(watch, period);
            /* Woken late, the ticks missed are not counted: what ran then
             * is not known, and the moment this thread gets a CPU follows
             * the program's own (a thread blocking frees one), so counting
             * them for the stack seen now would lean to where that
             * happens. */
            next_sample += next_interval(period, &draw);
            if (next_sample <= now) {
                next_sample = now + next_interval(period, &draw);
            }
        }
        int64_t wake = read_at != INT64_MAX ? read_at : now + rest;
        if (read_at != INT64_MAX && wake < now + min_watch_sleep_ns / 10) {
            wake = now + min_watch_sleep_ns / 10;
        }
        fork_gate_leave();
        sleep_until(watch, wake < next_sample ? wake : next_sample);
    }
    return nullptr;
}

void free_watch(holder_watch *watch)
{
    close(watch->wake_fd);
    free(watch);
}

}  // namespace

bool start_holder_watch()
{
    holder_watch *watch = static_cast<holder_watch *>(calloc(1, sizeof(holder_watch)));
    if (watch == nullptr) {
        return false;
    }
    watch->target_ok = unlocked_target_init(py, &watch->target);
    if (locations == nullptr) {
        locations = static_cast<location_slot *>(calloc(location_slots, sizeof(location_slot)));
    }
    else {
        /* Code objects of the previous session may be gone. */
        memset(locations, 0, location_slots * sizeof(location_slot));
    }
    /* Nothing read yet; and even, should a fork have copied it odd. */
    __atomic_store_n(&watched_hold.record, static_cast<const thread_record *>(nullptr),
                     __ATOMIC_RELAXED);
    __atomic_store_n(&watched_hold.seq, (watched_hold.seq + 1) & ~1u, __ATOMIC_RELEASE);
    watch->wake_fd = static_cast<int>(syscall(SYS_eventfd2, 0, EFD_CLOEXEC));
    if (watch->wake_fd < 0) {
        free(watch);
        return false;
    }
    int error = start_agent_thread(&watch->thread, nullptr, watch_main, watch);
    if (error != 0) {
        free_watch(watch);
        return false;
    }
    current_watch = watch;
    return true;
}

void stop_holder_watch()
{
    holder_watch *watch = current_watch;
    current_watch = nullptr;
    if (watch == nullptr) {
        return;
    }
    __atomic_store_n(&watch->stop, 1, __ATOMIC_RELEASE);
    uint64_t one = 1;
    ssize_t woken = write(watch->wake_fd, &one, sizeof(one));
    (void)woken; /* a full eventfd already wakes it */
    pthread_join(watch->thread, nullptr);
    free_watch(watch);
}

void forget_holder_watch()
{
    holder_watch *watch = current_watch;
    current_watch = nullptr;
    if (watch != nullptr) {
        free_watch(watch);
    }
}

int32_t start_gil_profile(int64_t period_ns, int64_t wait_threshold_ns)
{
    if (__atomic_load_n(&hooks.watched_mutex, __ATOMIC_ACQUIRE) == nullptr) {
        return VANDREL_NOT_ON;
    }
    /* 1 to 1000 Hz; waits from 0 to 60 s.  Without a sink or a report_fd
     * no report would show it. */
    if (period_ns < 1000000 || period_ns > 1000000000 || wait_threshold_ns < 0 ||
        wait_threshold_ns > 60LL * 1000000000 || current_watch == nullptr) {
        return VANDREL_BAD_PARAMETER;
    }
    if (profile_on) {
        return VANDREL_ALREADY_ON;
    }
    /* No hook charges a wait now: this thread holds the GIL, and the
     * threshold is still off. */
    if (!reset_profile()) {
        return VANDREL_SYSTEM_ERROR;
    }
    profile_on = true;
    __atomic_store_n(&hooks.profile_wait_threshold_ns, wait_threshold_ns, __ATOMIC_RELEASE);
    __atomic_store_n(&profile_period_ns, period_ns, __ATOMIC_RELEASE);
    uint64_t one = 1;
    ssize_t woken = write(current_watch->wake_fd, &one, sizeof(one));
    (void)woken;
    return VANDREL_OK;
}

}  // namespace gil

int32_t gil_profile(int64_t period_ns, int64_t wait_threshold_ns)
{
    using namespace gil;
    if (py == nullptr) {
        return VANDREL_NOT_ON;
    }
    if (!py->gil_state_check()) {
        return VANDREL_NO_GIL;
    }
    return start_gil_profile(period_ns, wait_threshold_ns);
}

}  // namespace vandrel
