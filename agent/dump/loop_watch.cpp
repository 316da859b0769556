/* The event-loop watcher's clock and stack catcher: a thread of the
 * agent's that never takes the GIL.
 *
 * Each watched loop has a slot.  A heartbeat callback on the loop (the
 * package's) re-arms its slot every period with the time it is due next;
 * the thread sleeps until the first heartbeat could be overdue by the
 * threshold, looks, and when one is overdue by more it reads that loop
 * thread's stack with the GIL-free reader, right then, whatever the
 * blocking code holds.  When the late heartbeat finally runs it collects
 * how late it was and the stack caught, and arms the slot again.
 *
 * While a caught block lasts the thread reads the stack again now and
 * then, and looks at one frame: the callback's own, the one at the depth
 * the heartbeat (a callback itself) runs at, above the loop's machinery.
 * When that frame is another code's, or missing, one callback ended and
 * another runs without a turn of the loop: the first block ends there and
 * a second one begins, with its own stack.  The heartbeat collects them
 * all.
 *
 * The slots and the thread's state are guarded by `lock`; the loop side
 * holds it only to arm a slot or to copy a caught stack out. */
#include "dump/dump.h"

#include "agent.h"
#include "text/utf8.h"
#include "fork_gate.h"

#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

namespace vandrel {
namespace dump {

namespace {

constexpr int LOOP_SLOTS = 64;
/* Frames kept of a caught stack, innermost first; past it they are cut. */
constexpr size_t CAUGHT_FRAMES = 256;
constexpr size_t STACK_TEXT = 32768;
constexpr size_t WALK_LIMIT = size_t(1) << 16;
/* The shortest sleep between two looks: no spinning on a deadline just past. */
constexpr int64_t MIN_SLEEP_NS = 1000000;
/* Blocks one heartbeat collects at most; past it the last one runs on to
 * the heartbeat, whatever ran meanwhile. */
constexpr int MAX_BLOCKS_PER_BEAT = 8;
/* Room kept at the end of the text for the blocks' closing lines. */
constexpr size_t CLOSING_ROOM = size_t(96) * (MAX_BLOCKS_PER_BEAT + 1);
/* Text left for a block's stack below which no further block is begun. */
constexpr size_t MIN_STACK_ROOM = 4096;
/* How often a caught block's stack is read again, in catch thresholds,
 * each interval drawn from half to one and a half of it so that the reads
 * do not fall in step with callbacks that repeat: a callback taken for
 * another one's continuation (two that alternate, read at the same one
 * every time) would have to be seen that many times in a row to make a
 * block of its own.  Where one callback gives way to another is known to
 * half an interval. */
constexpr int64_t LOOKS_PER_THRESHOLD = 32;

/* The callback's own frame of a stack read: its code and what the code
 * showed (unlocked_frame.identity); no frame at that depth is `code` null. */
struct entry_frame {
    bool known; /* false: the stack or the depth could not tell */
    const void *code;
    uint64_t identity;
};

struct loop_slot {
    bool armed;
    unsigned long ident;   /* the loop's thread (threading.get_ident()) */
    int64_t due_ns;        /* when its heartbeat should run (CLOCK_MONOTONIC) */
    int32_t entry_depth;   /* frames under a callback's own, -1: not known */
    int64_t caught_serial; /* the open block's catch, 0: none yet */
    int64_t open_start_ns; /* when the open block began */
    bool open_from_due;    /* ... at the heartbeat's due time (the first) */
    entry_frame open_entry;
    size_t open_offset;    /* where its frame lines begin in `stack` */
    int64_t last_look_ns;  /* the latest read of the open block's stack */
    int64_t next_look_ns;  /* the next one */
    int32_t confirmations; /* reads that saw the open block's callback again */
    int closed_blocks;
    /* The latest block closed, whose closing line ends the text before the
     * open block's lines: a short block after it folds into it. */
    int64_t kept_serial;
    int64_t kept_start_ns;
    bool kept_from_due;
    size_t kept_closing_offset;
    size_t stack_length;
    /* Each block: its frame lines, then its closing line. */
    char stack[STACK_TEXT];
};

loop_slot loop_slots[LOOP_SLOTS];
pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t wake_watcher = PTHREAD_COND_INITIALIZER; /* stop asked */
pthread_cond_t caught_cond = PTHREAD_COND_INITIALIZER;  /* a stack was caught */
bool running = false;
bool stop_asked = false;
pthread_t watcher;
int64_t threshold_ns = 0;
int64_t poll_ns = 0;
int64_t catches = 0;
unlocked_target target;

/* The watcher thread's walk storage. */
const void *thread_states[4096];
unlocked_frame walked[CAUGHT_FRAMES];
unlocked_text file_text, name_text;

int64_t now_ns()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

/* The deadline, on the condition variables' clock (CLOCK_REALTIME: asking
 * for CLOCK_MONOTONIC, pthread_condattr_setclock, binds glibc 2.34), of
 * the CLOCK_MONOTONIC time `monotonic_ns`.  A jump of the wall clock can
 * move it; every wait here is bounded by its poll or timeout and checked
 * again against the monotonic clock when it ends. */
struct timespec condition_deadline(int64_t monotonic_ns)
{
    struct timespec wall;
    clock_gettime(CLOCK_REALTIME, &wall);
    int64_t left = monotonic_ns - now_ns();
    int64_t at = static_cast<int64_t>(wall.tv_sec) * 1000000000LL + wall.tv_nsec +
                 (left > 0 ? left : 0);
    struct timespec deadline;
    deadline.tv_sec = static_cast<time_t>(at / 1000000000LL);
    deadline.tv_nsec = static_cast<long>(at % 1000000000LL);
    return deadline;
}

/* Append `size` bytes that are not a C string (no NUL follows). */
size_t append_bytes(char *out, size_t length, const char *bytes, size_t size)
{
    for (size_t i = 0; i < size; i++) {
        out[length + i] = bytes[i];
    }
    return length + size;
}

/* Append `text` escaped (a tab or newline in a name becomes \x09, \x0a:
 * the stack text uses them as separators). */
size_t append_text(char *out, size_t length, size_t capacity, const unlocked_text *text)
{
    if (!text->ok) {
        return length + 3 <= capacity ? append_bytes(out, length, "???", 3) : length;
    }
    for (size_t i = 0; i < text->length; i++) {
        uint32_t ch = unlocked_text_char(text, i);
        char bytes[max_escaped_size];
        size_t size = encode_escaped(ch, false, bytes);
        if (length + size > capacity) {
            return length;
        }
        memcpy(out + length, bytes, size);
        length += size;
    }
    return length;
}

/* Walk the stack of the slot's thread into `walked`; false when its thread
 * state is not found.  Lock held, on the watcher thread. */
bool read_stack(const loop_slot *slot, size_t *frames, bool *more)
{
    bool listed_more = false;
    size_t count = unlocked_thread_list(&target, thread_states,
                                        sizeof thread_states / sizeof thread_states[0],
                                        &listed_more);
    unlocked_thread thread;
    bool found = false;
    for (size_t i = 0; i < count && !found; i++) {
        found = unlocked_thread_read(thread_states[i], &thread) && thread.ident == slot->ident;
    }
    if (!found) {
        return false;
    }
    size_t left_out = 0;
    *more = false;
    *frames = unlocked_walk(&target, &thread, walked, CAUGHT_FRAMES, WALK_LIMIT, &left_out, more);
    *more = *more || left_out > 0;
    return true;
}

/* The callback's own frame in the `frames` just walked: `depth` frames
 * from the outermost (every frame counted, the hidden ones too, as the
 * heartbeat counts them). */
entry_frame entry_of(int32_t depth, size_t frames, bool more)
{
    entry_frame entry = {false, nullptr, 0};
    if (depth < 0 || more) {
        return entry; /* the outermost frames are not in the walk */
    }
    entry.known = true;
    if (static_cast<size_t>(depth) >= frames) {
        return entry; /* back in the loop's own machinery, or a C callback */
    }
    const unlocked_frame *frame = &walked[frames - 1 - static_cast<size_t>(depth)];
    if (frame->unreadable) {
        entry.known = false;
        return entry;
    }
    entry.code = frame->code;
    entry.identity = frame->identity;
    return entry;
}

bool same_entry(const entry_frame &a, const entry_frame &b)
{
    return a.code == b.code && a.identity == b.identity;
}

/* Append the `frames` just walked to `out` as lines of
 * "file<TAB>line<TAB>function", innermost first, up to `capacity`; a frame
 * that cannot be read is the line "?<TAB>0<TAB>?".  The new length. */
size_t format_stack(char *out, size_t length, size_t capacity, size_t frames)
{
    /* Room kept for the longest line number and separators. */
    capacity -= 32;
    for (size_t i = 0; i < frames && length < capacity; i++) {
        const unlocked_frame *frame = &walked[i];
        if (!frame->unreadable && code_hidden(frame->code)) {
            continue;
        }
        int line = -1;
        if (frame->unreadable
            || !unlocked_code_location(&target, frame->code, frame->instruction, &file_text,
                                       &name_text, &line)) {
            length = append_bytes(out, length, "?\t0\t?\n", 6);
            continue;
        }
        length = append_text(out, length, capacity, &file_text);
        out[length++] = '\t';
        char digits[24];
        int size = 0;
        uint64_t value = line > 0 ? static_cast<uint64_t>(line) : 0;
        do {
            digits[size++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        while (size > 0) {
            out[length++] = digits[--size];
        }
        out[length++] = '\t';
        length = append_text(out, length, capacity, &name_text);
        out[length++] = '\n';
    }
    return length;
}

/* The time to the next read of a caught block: the look period, 1 ms at
 * least, times a draw from 0.5 to 1.5 (xorshift; the watcher thread's
 * own). */
int64_t next_look_in()
{
    static uint64_t state = 0x9E3779B97F4A7C15ULL;
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    int64_t period = threshold_ns / LOOKS_PER_THRESHOLD;
    period = period > MIN_SLEEP_NS ? period : MIN_SLEEP_NS;
    return period / 2 + static_cast<int64_t>(state % static_cast<uint64_t>(period));
}

/* A new block begins at `start_ns` with the stack just walked (none when
 * `found` is false), under a new catch serial.  Lock held. */
void open_block(loop_slot *slot, int64_t start_ns, bool from_due, bool found, size_t frames,
                bool more, int64_t now)
{
    slot->open_offset = slot->stack_length;
    if (found) {
        slot->stack_length = format_stack(slot->stack, slot->stack_length,
                                          STACK_TEXT - CLOSING_ROOM, frames);
    }
    slot->open_entry = found ? entry_of(slot->entry_depth, frames, more)
                             : entry_frame{false, nullptr, 0};
    slot->open_start_ns = start_ns;
    slot->open_from_due = from_due;
    slot->last_look_ns = now;
    slot->next_look_ns = now + next_look_in();
    slot->confirmations = 0;
    slot->caught_serial = ++catches;
}

/* Append a block's closing line
 * "block<TAB>serial<TAB>start_ns<TAB>end_ns<TAB>due|moved" (CLOSING_ROOM
 * keeps room for it). */
void append_closing(loop_slot *slot, int64_t serial, int64_t start_ns, int64_t end_ns,
                    bool from_due)
{
    int size = snprintf(slot->stack + slot->stack_length, STACK_TEXT - slot->stack_length,
                        "block\t%lld\t%lld\t%lld\t%s\n", static_cast<long long>(serial),
                        static_cast<long long>(start_ns), static_cast<long long>(end_ns),
                        from_due ? "due" : "moved");
    if (size > 0 && slot->stack_length + static_cast<size_t>(size) < STACK_TEXT) {
        slot->stack_length += static_cast<size_t>(size);
    }
}

/* Reads that must have seen a block begun at a change of callback again
 * for it to be a block of its own: a quarter of those the catch threshold
 * holds, 8 at most (a watcher that wakes late on a busy machine still
 * makes that many in a 200 ms callback).  Two short callbacks that
 * alternate are then taken for one long one only if every read falls on
 * the same one that many times in a row, and a watcher that could not
 * read for a while takes nothing it did not see for one. */
int32_t confirmations_needed()
{
    int64_t period = threshold_ns / LOOKS_PER_THRESHOLD;
    period = period > MIN_SLEEP_NS ? period : MIN_SLEEP_NS;
    int64_t reads = threshold_ns / period / 4;
    return static_cast<int32_t>(reads < 2 ? 2 : reads > 8 ? 8 : reads);
}

/* The open block ends at `end_ns` and gets its closing line.  One that
 * began at a change of callback and lasted no longer than the catch
 * threshold, or was not seen again often enough, is no block of its own:
 * its lines are taken back and its time goes to the block before (whose
 * closing line is written again), so that a run of short callbacks that
 * keeps the heartbeat waiting still counts, as one block.  Lock held. */
void close_block(loop_slot *slot, int64_t end_ns)
{
    if (!slot->open_from_due && (end_ns - slot->open_start_ns <= threshold_ns
                                 || slot->confirmations < confirmations_needed())) {
        slot->stack_length = slot->kept_closing_offset;
        append_closing(slot, slot->kept_serial, slot->kept_start_ns, end_ns, slot->kept_from_due);
        return;
    }
    slot->kept_serial = slot->caught_serial;
    slot->kept_start_ns = slot->open_start_ns;
    slot->kept_from_due = slot->open_from_due;
    slot->kept_closing_offset = slot->stack_length;
    append_closing(slot, slot->caught_serial, slot->open_start_ns, end_ns, slot->open_from_due);
    slot->closed_blocks++;
}

/* Whether the open block of a caught slot is looked at again: not once
 * the blocks are as many as a heartbeat collects, or the text has no room
 * left for another stack (one of 256 deep frames fills most of it). */
bool splits(const loop_slot *slot)
{
    return slot->entry_depth >= 0 && slot->open_entry.known
           && slot->closed_blocks < MAX_BLOCKS_PER_BEAT - 1
           && slot->stack_length + MIN_STACK_ROOM <= STACK_TEXT - CLOSING_ROOM;
}


/* Read a caught slot's stack again: when the callback's own frame is
 * another, the open block ends halfway between the read that saw it last
 * and this one, and a new block begins there.  Whether one did.  Lock
 * held, on the watcher thread. */
bool look_again(loop_slot *slot, int64_t now)
{
    size_t frames = 0;
    bool more = false;
    int64_t last_look = slot->last_look_ns;
    slot->last_look_ns = now;
    slot->next_look_ns = now + next_look_in();
    if (!read_stack(slot, &frames, &more)) {
        return false;
    }
    entry_frame entry = entry_of(slot->entry_depth, frames, more);
    if (!entry.known) {
        return false;
    }
    if (same_entry(entry, slot->open_entry)) {
        slot->confirmations++;
        return false;
    }
    int64_t change_ns = last_look + (now - last_look) / 2;
    close_block(slot, change_ns);
    open_block(slot, change_ns, false, true, frames, more, now);
    return true;
}

void *watch(void *)
{
    pthread_mutex_lock(&lock);
    while (!stop_asked) {
        int64_t now = now_ns();
        bool caught = false;
        for (int i = 0; i < LOOP_SLOTS; i++) {
            loop_slot *slot = &loop_slots[i];
            if (!slot->armed) {
                continue;
            }
            if (slot->caught_serial == 0 && now - slot->due_ns > threshold_ns) {
                size_t frames = 0;
                bool more = false;
                bool found = read_stack(slot, &frames, &more);
                slot->stack_length = 0;
                slot->closed_blocks = 0;
                open_block(slot, slot->due_ns, true, found, frames, more, now);
                caught = true;
            }
            else if (slot->caught_serial != 0 && splits(slot) && now >= slot->next_look_ns) {
                caught = look_again(slot, now) || caught;
            }
        }
        if (caught) {
            pthread_cond_broadcast(&caught_cond);
        }
        /* Sleep until the first moment a heartbeat could be overdue by the
         * threshold (heartbeats only move their due time later), at most
         * poll_ns; arming a slot wakes the thread early.  A loop that keeps
         * its heartbeat costs one wake-up per threshold, not one per poll. */
        now = now_ns();
        int64_t wake_at = now + poll_ns;
        for (int i = 0; i < LOOP_SLOTS; i++) {
            const loop_slot *slot = &loop_slots[i];
            if (slot->armed && slot->caught_serial == 0
                && slot->due_ns + threshold_ns + 1 < wake_at) {
                wake_at = slot->due_ns + threshold_ns + 1;
            }
            /* A caught block is looked at again now and then. */
            if (slot->armed && slot->caught_serial != 0 && splits(slot)
                && slot->next_look_ns < wake_at) {
                wake_at = slot->next_look_ns;
            }
        }
        if (wake_at < now + MIN_SLEEP_NS) {
            wake_at = now + MIN_SLEEP_NS;
        }
        struct timespec deadline = condition_deadline(wake_at);
        if (!stop_asked) {
            (void)pthread_cond_timedwait(&wake_watcher, &lock, &deadline);
        }
    }
    pthread_mutex_unlock(&lock);
    return nullptr;
}

/* The condition variables, on their default clock (condition_deadline). */
void init_conditions()
{
    pthread_cond_init(&wake_watcher, nullptr);
    pthread_cond_init(&caught_cond, nullptr);
}

/* A forked child has no watcher thread: it starts with no watch at all. */
void loop_watch_after_fork_in_child()
{
    pthread_mutex_init(&lock, nullptr);
    init_conditions();
    running = false;
    stop_asked = false;
    memset(loop_slots, 0, sizeof loop_slots);
}

__attribute__((constructor)) void loop_watch_setup()
{
    init_conditions();
    pthread_atfork(nullptr, nullptr, loop_watch_after_fork_in_child);
}

bool slot_valid(int32_t slot)
{
    return slot >= 0 && slot < LOOP_SLOTS;
}

}  // namespace

int32_t loop_watch_start(int64_t threshold, int64_t poll)
{
    if (threshold <= 0 || poll <= 0) {
        return VANDREL_BAD_PARAMETER;
    }
    const python_api *api = python_api_get();
    if (api == nullptr || api->thread_state_unchecked() == nullptr) {
        return VANDREL_NO_GIL;
    }
    signals_held held;
    pthread_mutex_lock(&lock);
    if (running) {
        pthread_mutex_unlock(&lock);
        return VANDREL_ALREADY_ON;
    }
    if (!unlocked_target_init(api, &target)) {
        pthread_mutex_unlock(&lock);
        return VANDREL_NOT_AVAILABLE;
    }
    memset(loop_slots, 0, sizeof loop_slots);
    threshold_ns = threshold;
    poll_ns = poll;
    stop_asked = false;
    /* The thread takes no signal: the program's handlers run elsewhere. */
    int failed = start_agent_thread(&watcher, nullptr, watch, nullptr);
    if (failed != 0) {
        pthread_mutex_unlock(&lock);
        return VANDREL_SYSTEM_ERROR;
    }
    /* Named for top and /proc/self/task: its CPU time is the watcher's. */
    (void)pthread_setname_np(watcher, "vandrel-loops");
    running = true;
    pthread_mutex_unlock(&lock);
    return VANDREL_OK;
}

int32_t loop_watch_stop()
{
    pthread_mutex_lock(&lock);
    if (!running || stop_asked) {
        pthread_mutex_unlock(&lock);
        return VANDREL_NOT_ON;
    }
    stop_asked = true;
    pthread_cond_broadcast(&wake_watcher);
    pthread_cond_broadcast(&caught_cond);
    pthread_mutex_unlock(&lock);
    pthread_join(watcher, nullptr);
    pthread_mutex_lock(&lock);
    running = false;
    memset(loop_slots, 0, sizeof loop_slots);
    pthread_mutex_unlock(&lock);
    return VANDREL_OK;
}

int32_t loop_watch_arm(int32_t slot, unsigned long ident, int64_t due_in_ns)
{
    if (!slot_valid(slot) || due_in_ns < 0) {
        return VANDREL_BAD_PARAMETER;
    }
    pthread_mutex_lock(&lock);
    loop_slot *entry = &loop_slots[slot];
    entry->armed = true;
    entry->ident = ident;
    entry->due_ns = now_ns() + due_in_ns;
    entry->entry_depth = -1;
    entry->caught_serial = 0;
    entry->stack_length = 0;
    /* Its deadline may come before the one the thread sleeps until. */
    pthread_cond_signal(&wake_watcher);
    pthread_mutex_unlock(&lock);
    return VANDREL_OK;
}

int32_t loop_watch_disarm(int32_t slot)
{
    if (!slot_valid(slot)) {
        return VANDREL_BAD_PARAMETER;
    }
    pthread_mutex_lock(&lock);
    loop_slots[slot].armed = false;
    loop_slots[slot].caught_serial = 0;
    pthread_mutex_unlock(&lock);
    return VANDREL_OK;
}

int64_t loop_watch_beat(int32_t slot, int64_t next_due_in_ns, int32_t entry_depth,
                        int64_t *late_ns, char *stack, int64_t capacity)
{
    *late_ns = 0;
    if (!slot_valid(slot) || next_due_in_ns < 0 || capacity < 0) {
        return VANDREL_BAD_PARAMETER;
    }
    pthread_mutex_lock(&lock);
    loop_slot *entry = &loop_slots[slot];
    int64_t now = now_ns();
    int64_t serial = 0;
    if (entry->armed) {
        *late_ns = now > entry->due_ns ? now - entry->due_ns : 0;
        serial = entry->caught_serial;
        if (serial != 0) {
            close_block(entry, now);
            size_t length = entry->stack_length;
            if (length > static_cast<uint64_t>(capacity)) {
                length = static_cast<size_t>(capacity);
            }
            memcpy(stack, entry->stack, length);
            if (length < static_cast<uint64_t>(capacity)) {
                stack[length] = '\0';
            }
        }
        entry->due_ns = now + next_due_in_ns;
        entry->entry_depth = entry_depth >= 0 ? entry_depth : -1;
        entry->caught_serial = 0;
        entry->stack_length = 0;
        if (serial != 0) {
            /* The thread sleeps with no deadline for a caught slot. */
            pthread_cond_signal(&wake_watcher);
        }
    }
    pthread_mutex_unlock(&lock);
    return serial;
}

int64_t loop_watch_caught(int32_t slot)
{
    if (!slot_valid(slot)) {
        return VANDREL_BAD_PARAMETER;
    }
    pthread_mutex_lock(&lock);
    int64_t serial = loop_slots[slot].armed ? loop_slots[slot].caught_serial : 0;
    pthread_mutex_unlock(&lock);
    return serial;
}

int64_t loop_watch_wait(int64_t seen, int32_t timeout_ms)
{
    int64_t wake_at = now_ns() + static_cast<int64_t>(timeout_ms > 0 ? timeout_ms : 0) * 1000000;
    pthread_mutex_lock(&lock);
    while (running && !stop_asked && catches == seen && now_ns() < wake_at) {
        struct timespec deadline = condition_deadline(wake_at);
        (void)pthread_cond_timedwait(&caught_cond, &lock, &deadline);
    }
    int64_t result = running && !stop_asked ? catches : static_cast<int64_t>(VANDREL_NOT_ON);
    pthread_mutex_unlock(&lock);
    return result;
}

}  // namespace dump
}  // namespace vandrel
