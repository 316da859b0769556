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
 * The slots and the thread's state are guarded by `lock`; the loop side
 * holds it only to arm a slot or to copy a caught stack out. */
#include "dump/dump.h"

#include "agent.h"
#include "text/utf8.h"
#include "fork_gate.h"

#include <errno.h>
#include <pthread.h>
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

struct loop_slot {
    bool armed;
    unsigned long ident;   /* the loop's thread (threading.get_ident()) */
    int64_t due_ns;        /* when its heartbeat should run (CLOCK_MONOTONIC) */
    int64_t caught_serial; /* the catch of the current wait, 0: none yet */
    size_t stack_length;
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

/* Read the stack of thread `ident` into `slot` as lines of
 * "file<TAB>line<TAB>function", innermost first; a frame that cannot be
 * read is the line "?<TAB>0<TAB>?".  Lock held, on the watcher thread. */
void catch_stack(loop_slot *slot)
{
    slot->stack_length = 0;
    bool more = false;
    size_t count = unlocked_thread_list(&target, thread_states,
                                        sizeof thread_states / sizeof thread_states[0], &more);
    unlocked_thread thread;
    bool found = false;
    for (size_t i = 0; i < count && !found; i++) {
        found = unlocked_thread_read(thread_states[i], &thread) && thread.ident == slot->ident;
    }
    if (!found) {
        return;
    }
    size_t left_out = 0;
    size_t frames = unlocked_walk(&target, &thread, walked, CAUGHT_FRAMES, WALK_LIMIT, &left_out,
                                  &more);
    char *out = slot->stack;
    size_t length = 0;
    /* Room kept for the longest line number and separators. */
    const size_t capacity = STACK_TEXT - 32;
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
    slot->stack_length = length;
}

void *watch(void *)
{
    pthread_mutex_lock(&lock);
    while (!stop_asked) {
        int64_t now = now_ns();
        bool caught = false;
        for (int i = 0; i < LOOP_SLOTS; i++) {
            loop_slot *slot = &loop_slots[i];
            if (slot->armed && slot->caught_serial == 0 && now - slot->due_ns > threshold_ns) {
                catch_stack(slot);
                slot->caught_serial = ++catches;
                caught = true;
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

int64_t loop_watch_beat(int32_t slot, int64_t next_due_in_ns, int64_t *late_ns, char *stack,
                        int64_t capacity)
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
