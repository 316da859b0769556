/* The GIL profile's two tables: the stacks that held the GIL (one sample
 * of the holder every period, by the agent's thread) and the stacks that
 * waited for it (each wait over the threshold, by the hook that ends it),
 * each stack with its time, per thread name.
 *
 * Frames are kept once per table (file, function, line) and stacks as
 * lists of their indices, so a table is bounded: profile_stacks_kept
 * stacks; a stack that finds the table full is counted in the folded
 * row.  Each table has one writer: the held table the agent's thread,
 * under held_lock since reports read it with the GIL while it samples;
 * the waited table the hooks, one at a time (they own gil->mutex) and
 * only while a thread is taking the GIL, so never while a report, which
 * holds the GIL, reads it. */
#include "gil/internal.h"
#include "gil/report.h"

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace vandrel {
namespace gil {

bool profile_on;
int64_t profile_period_ns;

namespace {

const size_t frame_capacity = 4096; /* below unknown_frame */
const size_t frame_slots = 8192;    /* open addressing, twice the capacity */
const size_t stack_slots = 8192;
const size_t overflow_slots = 8192;

struct profile_stack {
    uint64_t key;
    char thread[64];
    long native_id; /* the thread of its latest sample */
    uint32_t depth;
    profile_frame_id frames[profile_depth];
    int64_t ns;
    uint64_t samples;
};

struct profile_table {
    held_frame *frames;
    uint32_t *frame_index; /* slot: frame id + 1, 0 empty */
    uint32_t frame_count;
    profile_stack *stacks;
    uint32_t *stack_index; /* slot: stack index + 1, 0 empty */
    uint32_t stack_count;
    /* Stacks that found the table full: their keys (to count them once),
     * time and samples. */
    uint64_t *overflow_keys;
    uint32_t overflow_count;
    int64_t overflow_ns;
    uint64_t overflow_samples;
};

profile_table tables[2];
pthread_mutex_t held_lock = PTHREAD_MUTEX_INITIALIZER;

/* fork()'s child handler: the watcher that held the lock was not copied
 * (the tables are emptied by the child's next profile). */
void free_held_lock_in_child()
{
    pthread_mutex_init(&held_lock, nullptr);
}

__attribute__((constructor)) void register_held_lock_fork_handler()
{
    pthread_atfork(nullptr, nullptr, free_held_lock_in_child);
}

uint64_t mix_bytes(uint64_t hash, const void *data, size_t length)
{
    const unsigned char *bytes = static_cast<const unsigned char *>(data);
    for (size_t i = 0; i < length; i++) {
        hash = (hash ^ bytes[i]) * 0x100000001B3ULL;
    }
    return hash;
}

const uint64_t hash_seed = 0xCBF29CE484222325ULL;

bool allocate_table(profile_table *table)
{
    if (table->frames == nullptr) {
        table->frames = static_cast<held_frame *>(calloc(frame_capacity, sizeof(held_frame)));
        table->frame_index = static_cast<uint32_t *>(calloc(frame_slots, sizeof(uint32_t)));
        table->stacks =
            static_cast<profile_stack *>(calloc(profile_stacks_kept, sizeof(profile_stack)));
        table->stack_index = static_cast<uint32_t *>(calloc(stack_slots, sizeof(uint32_t)));
        table->overflow_keys = static_cast<uint64_t *>(calloc(overflow_slots, sizeof(uint64_t)));
    }
    if (table->frames == nullptr || table->frame_index == nullptr || table->stacks == nullptr ||
        table->stack_index == nullptr || table->overflow_keys == nullptr) {
        free(table->frames);
        free(table->frame_index);
        free(table->stacks);
        free(table->stack_index);
        free(table->overflow_keys);
        memset(table, 0, sizeof(*table));
        return false;
    }
    memset(table->frame_index, 0, frame_slots * sizeof(uint32_t));
    memset(table->stack_index, 0, stack_slots * sizeof(uint32_t));
    memset(table->overflow_keys, 0, overflow_slots * sizeof(uint64_t));
    table->frame_count = table->stack_count = table->overflow_count = 0;
    table->overflow_ns = 0;
    table->overflow_samples = 0;
    return true;
}

/* Count a stack that found the table full, each distinct key once. */
void add_overflow(profile_table *table, uint64_t key, int64_t ns, uint64_t samples)
{
    table->overflow_ns += ns;
    table->overflow_samples += samples;
    key = key == 0 ? 1 : key;
    size_t slot = key & (overflow_slots - 1);
    for (size_t probe = 0; probe < overflow_slots; probe++) {
        uint64_t *at = &table->overflow_keys[(slot + probe) & (overflow_slots - 1)];
        if (*at == key) {
            return;
        }
        if (*at == 0) {
            if (table->overflow_count + 1 < overflow_slots) {
                *at = key;
            }
            table->overflow_count++;
            return;
        }
    }
    table->overflow_count++;
}

/* Same thread name and frames: one row. */
int compare_places(const void *left, const void *right)
{
    const profile_stack *a = static_cast<const profile_stack *>(left);
    const profile_stack *b = static_cast<const profile_stack *>(right);
    int names = strcmp(a->thread, b->thread);
    if (names != 0) {
        return names;
    }
    if (a->depth != b->depth) {
        return a->depth < b->depth ? -1 : 1;
    }
    return memcmp(a->frames, b->frames, a->depth * sizeof(profile_frame_id));
}

/* A report row by native id (for bsearch). */
struct row_ref {
    long native_id;
    const char *name;
};

int compare_ids(const void *left, const void *right)
{
    long a = static_cast<const row_ref *>(left)->native_id;
    long b = static_cast<const row_ref *>(right)->native_id;
    return a < b ? -1 : a > b;
}

/* Give each stack its thread's name as the report shows it (`by_id`: the
 * report's rows sorted by id), or its group's name when the report does
 * not list the thread, and merge the stacks that end up the same.
 * Returns the new count. */
uint32_t name_and_merge(profile_stack *stacks, uint32_t count, const row_ref *by_id,
                        size_t rows)
{
    for (uint32_t i = 0; i < count; i++) {
        row_ref key = {stacks[i].native_id, nullptr};
        const row_ref *found = static_cast<const row_ref *>(
            rows > 0 ? bsearch(&key, by_id, rows, sizeof(row_ref), compare_ids) : nullptr);
        char name[64];
        if (found != nullptr) {
            snprintf(name, sizeof(name), "%s", found->name);
        }
        else {
            group_name(stacks[i].thread, name, sizeof(name));
        }
        memcpy(stacks[i].thread, name, sizeof(name));
    }
    if (count < 2) {
        return count;
    }
    qsort(stacks, count, sizeof(profile_stack), compare_places);
    uint32_t kept = 0;
    for (uint32_t i = 0; i < count; i++) {
        if (kept > 0 && compare_places(&stacks[kept - 1], &stacks[i]) == 0) {
            stacks[kept - 1].ns += stacks[i].ns;
            stacks[kept - 1].samples += stacks[i].samples;
            continue;
        }
        if (kept != i) {
            stacks[kept] = stacks[i];
        }
        kept++;
    }
    return kept;
}

int compare_stacks(const void *left, const void *right)
{
    const profile_stack *a = static_cast<const profile_stack *>(left);
    const profile_stack *b = static_cast<const profile_stack *>(right);
    if (a->ns != b->ns) {
        return a->ns > b->ns ? -1 : 1;
    }
    return a->key < b->key ? -1 : a->key > b->key;
}

/* One stack's frames as [[file, line, function], ...]; null with an
 * exception set on failure. */
PyObject *stack_list(const profile_table *table, uint32_t frame_count,
                     const profile_frame_id *frames, uint32_t depth)
{
    PyObject *list = py->list_new(0);
    bool ok = list != nullptr;
    for (uint32_t i = 0; ok && i < depth; i++) {
        static const held_frame unknown = {"(unknown)", "(unknown)", 0};
        const held_frame *frame = frames[i] < frame_count ? &table->frames[frames[i]] : &unknown;
        owned_refs owned(py);
        PyObject *item = owned(frame_item(frame));
        ok = item != nullptr && py->list_append(list, item) == 0;
    }
    if (!ok && list != nullptr) {
        py->decref(list);
        return nullptr;
    }
    return list;
}

PyObject *row_dict(const char *thread, PyObject *stack, int64_t ns, uint64_t samples)
{
    PyObject *row = py->dict_new();
    bool ok = row != nullptr && stack != nullptr && set_item(row, "thread", text_object(thread));
    if (ok) {
        py->incref(stack);
        ok = set_item(row, "stack", stack) &&
             set_item(row, "seconds", py->float_from_double(seconds(ns))) &&
             set_item(row, "samples",
                      py->long_from_long_long(static_cast<long long>(samples)));
    }
    if (stack != nullptr) {
        py->decref(stack);
    }
    if (!ok && row != nullptr) {
        py->decref(row);
        return nullptr;
    }
    return row;
}

/* A table's rows: its top stacks by time, then one folded row for the
 * rest, if any.  A new list, or null with an exception set. */
PyObject *table_rows(profile_kind kind, const row_ref *by_id, size_t rows)
{
    profile_table *table = &tables[kind];
    bool locked = kind == PROFILE_HELD;
    if (locked) {
        pthread_mutex_lock(&held_lock);
    }
    uint32_t count = table->stack_count;
    uint32_t frame_count = __atomic_load_n(&table->frame_count, __ATOMIC_ACQUIRE);
    profile_stack *copy =
        count > 0 ? static_cast<profile_stack *>(malloc(count * sizeof(profile_stack))) : nullptr;
    int64_t other_ns = table->overflow_ns;
    uint64_t other_samples = table->overflow_samples;
    uint64_t other_stacks = table->overflow_count;
    if (copy != nullptr) {
        memcpy(copy, table->stacks, count * sizeof(profile_stack));
    }
    else {
        /* No memory for the rows: all of it in the folded row. */
        for (uint32_t i = 0; i < count; i++) {
            other_ns += table->stacks[i].ns;
            other_samples += table->stacks[i].samples;
            other_stacks++;
        }
        count = 0;
    }
    if (locked) {
        pthread_mutex_unlock(&held_lock);
    }
    if (copy != nullptr) {
        count = name_and_merge(copy, count, by_id, rows);
        if (count > 1) {
            qsort(copy, count, sizeof(profile_stack), compare_stacks);
        }
    }
    PyObject *list = py->list_new(0);
    bool ok = list != nullptr;
    for (uint32_t i = 0; ok && copy != nullptr && i < count; i++) {
        if (i >= profile_stacks_shown) {
            other_ns += copy[i].ns;
            other_samples += copy[i].samples;
            other_stacks++;
            continue;
        }
        PyObject *row = row_dict(copy[i].thread,
                                 stack_list(table, frame_count, copy[i].frames, copy[i].depth),
                                 copy[i].ns, copy[i].samples);
        ok = row != nullptr && py->list_append(list, row) == 0;
        if (row != nullptr) {
            py->decref(row);
        }
    }
    free(copy);
    if (ok && other_stacks > 0) {
        PyObject *row = row_dict("", py->list_new(0), other_ns, other_samples);
        ok = row != nullptr &&
             set_item(row, "other", py->long_from_long_long(static_cast<long long>(other_stacks))) &&
             py->list_append(list, row) == 0;
        if (row != nullptr) {
            py->decref(row);
        }
    }
    if (!ok && list != nullptr) {
        py->decref(list);
        return nullptr;
    }
    return list;
}

}  // namespace

bool reset_profile()
{
    pthread_mutex_lock(&held_lock);
    bool ok = allocate_table(&tables[PROFILE_HELD]);
    pthread_mutex_unlock(&held_lock);
    return ok && allocate_table(&tables[PROFILE_WAITED]);
}

profile_frame_id profile_frame(profile_kind kind, const char *file, const char *function,
                               int32_t line)
{
    profile_table *table = &tables[kind];
    if (table->frames == nullptr) {
        return unknown_frame;
    }
    uint64_t hash = mix_bytes(hash_seed, file, strlen(file) + 1);
    hash = mix_bytes(hash, function, strlen(function) + 1);
    hash = mix_bytes(hash, &line, sizeof(line));
    for (size_t probe = 0; probe < frame_slots; probe++) {
        uint32_t *slot = &table->frame_index[(hash + probe) & (frame_slots - 1)];
        if (*slot == 0) {
            if (table->frame_count == frame_capacity) {
                return unknown_frame;
            }
            uint32_t id = table->frame_count;
            held_frame *frame = &table->frames[id];
            snprintf(frame->file, sizeof(frame->file), "%s", file);
            snprintf(frame->function, sizeof(frame->function), "%s", function);
            frame->line = line;
            *slot = id + 1;
            /* Published: a report reads frames below the count it loads. */
            __atomic_store_n(&table->frame_count, id + 1, __ATOMIC_RELEASE);
            return static_cast<profile_frame_id>(id);
        }
        const held_frame *frame = &table->frames[*slot - 1];
        if (frame->line == line && strcmp(frame->file, file) == 0 &&
            strcmp(frame->function, function) == 0) {
            return static_cast<profile_frame_id>(*slot - 1);
        }
    }
    return unknown_frame;
}

void profile_add(profile_kind kind, const char *thread, long native_id,
                 const profile_frame_id *frames, uint32_t depth, int64_t ns, uint64_t samples)
{
    profile_table *table = &tables[kind];
    if (table->stacks == nullptr) {
        return;
    }
    if (depth > profile_depth) {
        depth = static_cast<uint32_t>(profile_depth);
    }
    size_t thread_length = strnlen(thread, 63);
    uint64_t key = mix_bytes(hash_seed, thread, thread_length);
    key = mix_bytes(key, frames, depth * sizeof(profile_frame_id));
    key = mix_bytes(key, &depth, sizeof(depth));
    bool locked = kind == PROFILE_HELD;
    if (locked) {
        pthread_mutex_lock(&held_lock);
    }
    for (size_t probe = 0; probe < stack_slots; probe++) {
        uint32_t *slot = &table->stack_index[(key + probe) & (stack_slots - 1)];
        if (*slot == 0) {
            if (table->stack_count == profile_stacks_kept) {
                add_overflow(table, key, ns, samples);
                break;
            }
            profile_stack *stack = &table->stacks[table->stack_count];
            stack->key = key;
            memcpy(stack->thread, thread, thread_length);
            stack->thread[thread_length] = '\0';
            stack->native_id = native_id;
            stack->depth = depth;
            memcpy(stack->frames, frames, depth * sizeof(profile_frame_id));
            stack->ns = ns;
            stack->samples = samples;
            *slot = ++table->stack_count;
            break;
        }
        profile_stack *stack = &table->stacks[*slot - 1];
        if (stack->key == key && stack->depth == depth &&
            memcmp(stack->frames, frames, depth * sizeof(profile_frame_id)) == 0 &&
            strncmp(stack->thread, thread, thread_length) == 0 &&
            stack->thread[thread_length] == '\0') {
            stack->native_id = native_id;
            stack->ns += ns;
            stack->samples += samples;
            break;
        }
    }
    if (locked) {
        pthread_mutex_unlock(&held_lock);
    }
}

PyObject *profile_dict(const thread_row *rows, size_t count)
{
    row_ref *by_id = count > 0 ? static_cast<row_ref *>(malloc(count * sizeof(row_ref))) : nullptr;
    if (by_id == nullptr) {
        count = 0;
    }
    for (size_t i = 0; i < count; i++) {
        by_id[i] = row_ref{rows[i].native_id, rows[i].name};
    }
    if (by_id != nullptr && count > 1) {
        qsort(by_id, count, sizeof(row_ref), compare_ids);
    }
    PyObject *dict = py->dict_new();
    bool ok = dict != nullptr &&
              set_item(dict, "rate_hz", py->float_from_double(1e9 / static_cast<double>(
                                                                         profile_period_ns))) &&
              set_item(dict, "wait_threshold_s",
                       py->float_from_double(seconds(hooks.profile_wait_threshold_ns))) &&
              set_item(dict, "held", table_rows(PROFILE_HELD, by_id, count)) &&
              set_item(dict, "waited", table_rows(PROFILE_WAITED, by_id, count));
    free(by_id);
    if (!ok && dict != nullptr) {
        py->decref(dict);
        return nullptr;
    }
    return dict;
}

}  // namespace gil
}  // namespace vandrel
