/* The asyncio tasks of a loop's thread, read without the GIL where the
 * interpreter keeps per-thread task lists (cpython/task_lists.h), and
 * written after that thread's stack as the package's formatter would
 * write them with the GIL (vandrel/_tasks.py): a tree in which the tasks
 * a task awaits hang below it, deepest chains first, at most 100 tasks,
 * each with its coroutine chain outermost first.
 *
 * Runs on the agent's dump thread under the dump's lock, never in a
 * signal handler; all storage is static (nothing is allocated while the
 * program's threads may hold the allocator's locks), every loop bounded. */
#include "dump/dump.h"

#include "cpython/task_lists.h"
#include "text/utf8.h"

#include <string.h>

namespace vandrel {
namespace dump {

namespace {

/* Tasks of one loop kept for the tree; the loop's other pending tasks are
 * counted.  Past LIST_LIMIT list nodes (a read each: 10,001 tasks take
 * about 15 ms) the walk stops. */
constexpr size_t MAX_TASKS = size_t(1) << 15;
constexpr size_t LIST_LIMIT = size_t(1) << 17;
constexpr size_t INDEX_SLOTS = MAX_TASKS * 2;
/* As vandrel/_tasks.py: MAX_TASKS_SHOWN and MAX_FRAMES_PER_TASK. */
constexpr size_t TASKS_SHOWN = 100;
constexpr size_t FRAMES_PER_TASK = 40;
/* Coroutines followed per task, and awaiters looked at per task. */
constexpr size_t CHAIN_LIMIT = 1024;
constexpr size_t AWAITERS_LOOKED_AT = 16;

struct line_to_write {
    int32_t task;
    int32_t depth;
    bool last;
};

/* One loop at a time, under the dump's lock. */
unlocked_task tasks[MAX_TASKS];
int32_t parent[MAX_TASKS];
int32_t first_child[MAX_TASKS];
int32_t next_sibling[MAX_TASKS];
int32_t child_cursor[MAX_TASKS];
int32_t height[MAX_TASKS]; /* 0: not measured yet, -1: being measured */
int32_t index_slots[INDEX_SLOTS];
int32_t order[MAX_TASKS];
int32_t scratch[MAX_TASKS];
line_to_write pending_lines[MAX_TASKS];
bool last_at_depth[MAX_TASKS];
unlocked_text name_text, file_text, code_text;

size_t slot_of(const void *address)
{
    uintptr_t key = reinterpret_cast<uintptr_t>(address) * 0x9e3779b97f4a7c15ull;
    return static_cast<size_t>(key >> 40) & (INDEX_SLOTS - 1);
}

void index_tasks(size_t count)
{
    memset(index_slots, 0xff, sizeof index_slots);
    for (size_t i = 0; i < count; i++) {
        size_t slot = slot_of(tasks[i].address);
        while (index_slots[slot] >= 0) {
            slot = (slot + 1) & (INDEX_SLOTS - 1);
        }
        index_slots[slot] = static_cast<int32_t>(i);
    }
}

/* The index of the task at `address`, or -1. */
int32_t task_index(const void *address)
{
    for (size_t slot = slot_of(address), probe = 0; probe < INDEX_SLOTS;
         probe++, slot = (slot + 1) & (INDEX_SLOTS - 1)) {
        int32_t index = index_slots[slot];
        if (index < 0) {
            return -1;
        }
        if (tasks[index].address == address) {
            return index;
        }
    }
    return -1;
}

/* The nearest pending task among those recorded as awaiting task `i`,
 * through the futures between (gather's, shield's), or -1. */
int32_t awaiting_task(const unlocked_target *target, size_t i)
{
    const void *queue[AWAITERS_LOOKED_AT];
    size_t head = 0, tail = 0;
    auto add_awaiters = [&](const void *awaited_by, bool is_set) {
        if (awaited_by == nullptr) {
            return;
        }
        if (!is_set) {
            if (tail < AWAITERS_LOOKED_AT) {
                queue[tail++] = awaited_by;
            }
            return;
        }
        tail += unlocked_set_members(target, awaited_by, queue + tail, AWAITERS_LOOKED_AT - tail);
    };
    add_awaiters(tasks[i].awaited_by, tasks[i].awaited_by_is_set);
    while (head < tail) {
        const void *awaiter = queue[head++];
        int32_t found = task_index(awaiter);
        if (found >= 0 && static_cast<size_t>(found) != i) {
            return found;
        }
        /* Not a pending task of this loop (a future, or a task of another
         * loop or already done): on to those awaiting it. */
        unlocked_future_links links;
        if (found < 0 && unlocked_future_read(awaiter, &links)) {
            add_awaiters(links.awaited_by, links.awaited_by_is_set);
        }
    }
    return -1;
}

void link_children(size_t count)
{
    for (size_t i = 0; i < count; i++) {
        first_child[i] = -1;
        next_sibling[i] = -1;
        height[i] = 0;
    }
    /* Backwards, so that siblings keep the list's order. */
    for (size_t i = count; i-- > 0;) {
        int32_t above = parent[i];
        if (above >= 0) {
            next_sibling[i] = first_child[above];
            first_child[above] = static_cast<int32_t>(i);
        }
    }
}

/* Heights below `root` (its longest chain of awaited tasks, itself
 * included), depth first with an explicit stack (`order`). */
void measure_from(int32_t root)
{
    size_t depth = 0;
    order[depth++] = root;
    height[root] = -1;
    child_cursor[root] = first_child[root];
    while (depth > 0) {
        int32_t task = order[depth - 1];
        int32_t child = child_cursor[task];
        while (child >= 0 && (parent[child] != task || height[child] != 0)) {
            child = next_sibling[child];
        }
        if (child >= 0) {
            child_cursor[task] = next_sibling[child];
            height[child] = -1;
            child_cursor[child] = first_child[child];
            order[depth++] = child;
            continue;
        }
        int32_t tallest = 0;
        for (int32_t below = first_child[task]; below >= 0; below = next_sibling[below]) {
            if (parent[below] == task && height[below] > tallest) {
                tallest = height[below];
            }
        }
        height[task] = tallest + 1;
        depth--;
    }
}

void measure(size_t count)
{
    for (size_t i = 0; i < count; i++) {
        if (parent[i] < 0) {
            measure_from(static_cast<int32_t>(i));
        }
    }
    /* A task that awaits one of its own awaiters is reached from no root:
     * the link that closes the cycle is cut. */
    for (size_t i = 0; i < count; i++) {
        if (height[i] == 0) {
            parent[i] = -1;
            measure_from(static_cast<int32_t>(i));
        }
    }
}

/* Sort items[0, count) by height, tallest first, keeping the order of
 * equals (a merge sort through `scratch`). */
void sort_tallest_first(int32_t *items, size_t count)
{
    for (size_t width = 1; width < count; width *= 2) {
        for (size_t left = 0; left < count; left += 2 * width) {
            size_t middle = left + width < count ? left + width : count;
            size_t right = left + 2 * width < count ? left + 2 * width : count;
            size_t a = left, b = middle, out = left;
            while (a < middle && b < right) {
                scratch[out++] = height[items[b]] > height[items[a]] ? items[b++] : items[a++];
            }
            while (a < middle) {
                scratch[out++] = items[a++];
            }
            while (b < right) {
                scratch[out++] = items[b++];
            }
        }
        memcpy(items, scratch, count * sizeof *items);
    }
}

void append_text(fd_output *out, const unlocked_text *text)
{
    if (!text->ok) {
        fd_output_append(out, "???", 3);
        return;
    }
    for (size_t i = 0; i < text->length; i++) {
        char bytes[max_escaped_size];
        fd_output_append(out, bytes, encode_escaped(unlocked_text_char(text, i), true, bytes));
    }
    if (text->truncated) {
        fd_output_append(out, "...", 3);
    }
}

void append_prefix(fd_output *out, int32_t depth)
{
    for (int32_t level = 0; level < depth; level++) {
        fd_output_append_literal(out, last_at_depth[level] ? "    " : "\u2502   ");
    }
}

/* The coroutine chain of task `i`, outermost first, one line each. */
void append_chain(const unlocked_target *target, fd_output *out, size_t i, int32_t depth,
                  bool last, bool has_children, size_t frames_shown)
{
    const void *coroutine = tasks[i].coro;
    size_t written = 0, more = 0;
    for (size_t step = 0; step < CHAIN_LIMIT && coroutine != nullptr; step++) {
        unlocked_frame frame;
        const void *awaits = nullptr;
        if (!unlocked_coroutine_step(target, coroutine, &frame, &awaits)) {
            break;
        }
        coroutine = awaits;
        if (written == frames_shown) {
            more++;
            continue;
        }
        written++;
        append_prefix(out, depth);
        fd_output_append_literal(out, last ? "    " : "\u2502   ");
        fd_output_append_literal(out, has_children ? "\u2502  " : "   ");
        int line = -1;
        if (frame.unreadable
            || !unlocked_code_location(target, frame.code, frame.instruction, &file_text,
                                       &code_text, &line, true)) {
            fd_output_append_literal(out, "<unreadable frame>\n");
            continue;
        }
        append_text(out, &code_text);
        fd_output_append(out, " ", 1);
        append_text(out, &file_text);
        fd_output_append(out, ":", 1);
        if (line >= 0) {
            fd_output_append_decimal(out, static_cast<uint64_t>(line));
        }
        else {
            fd_output_append(out, "???", 3);
        }
        fd_output_append(out, "\n", 1);
    }
    if (more > 0) {
        append_prefix(out, depth);
        fd_output_append_literal(out, last ? "    " : "\u2502   ");
        fd_output_append_literal(out, has_children ? "\u2502  " : "   ");
        fd_output_append_literal(out, "... ");
        fd_output_append_decimal(out, more);
        fd_output_append_literal(out, " more frames\n");
    }
}

/* The tree, deepest chains first, at most TASKS_SHOWN tasks; how many
 * were written. */
size_t append_tree(const unlocked_target *target, fd_output *out, size_t count,
                   size_t frames_shown)
{
    size_t roots = 0;
    for (size_t i = 0; i < count; i++) {
        if (parent[i] < 0) {
            order[roots++] = static_cast<int32_t>(i);
        }
    }
    /* Roots that await tasks come first (a lone task's height is 1). */
    sort_tallest_first(order, roots);
    size_t first_roots = roots < TASKS_SHOWN ? roots : TASKS_SHOWN;
    size_t stacked = 0;
    for (size_t k = first_roots; k-- > 0;) {
        pending_lines[stacked++] = line_to_write{order[k], 0, k == first_roots - 1};
    }
    size_t shown = 0;
    while (stacked > 0 && shown < TASKS_SHOWN) {
        line_to_write entry = pending_lines[--stacked];
        shown++;
        last_at_depth[entry.depth] = entry.last;
        append_prefix(out, entry.depth);
        fd_output_append_literal(out, entry.last ? "\u2514\u2500\u2500 (T) "
                                                 : "\u251c\u2500\u2500 (T) ");
        (void)unlocked_task_name(target, tasks[entry.task].name, &name_text);
        append_text(out, &name_text);
        fd_output_append(out, "\n", 1);
        size_t children = 0;
        for (int32_t child = first_child[entry.task]; child >= 0; child = next_sibling[child]) {
            if (parent[child] == entry.task) {
                order[children++] = child;
            }
        }
        sort_tallest_first(order, children);
        append_chain(target, out, static_cast<size_t>(entry.task), entry.depth, entry.last,
                     children > 0, frames_shown);
        for (size_t k = children; k-- > 0 && stacked < MAX_TASKS;) {
            pending_lines[stacked++] =
                line_to_write{order[k], entry.depth + 1, k == children - 1};
        }
    }
    return shown;
}

}  // namespace

bool unlocked_tasks_readable()
{
    const char *why = nullptr;
    return unlocked_tasks_find(&why);
}

void append_unlocked_tasks(const unlocked_target *target, fd_output *out, const void *tstate,
                           int64_t max_frames)
{
    const void *loop = unlocked_running_loop(tstate);
    if (loop == nullptr) {
        return;
    }
    const char *why = nullptr;
    if (!unlocked_tasks_find(&why)) {
        fd_output_append_literal(out, "\nvandrel: this thread's asyncio tasks not shown: ");
        fd_output_append_literal(out, why);
        fd_output_append(out, "\n", 1);
        return;
    }
    size_t not_read = 0;
    bool torn = false;
    size_t count = unlocked_loop_tasks(tstate, loop, tasks, MAX_TASKS, LIST_LIMIT, &not_read,
                                       &torn);
    if (count == 0 && !torn) {
        return; /* no pending task: nothing to show, as with the GIL */
    }
    index_tasks(count);
    for (size_t i = 0; i < count; i++) {
        parent[i] = awaiting_task(target, i);
    }
    link_children(count);
    measure(count);

    char type_name[128];
    size_t type_length = unlocked_type_name(loop, type_name, sizeof type_name);
    fd_output_append_literal(out, "\nTasks of its event loop (");
    if (type_length > 0) {
        fd_output_append(out, type_name, type_length);
    }
    else {
        fd_output_append(out, "?", 1);
    }
    fd_output_append_literal(out, ", ");
    fd_output_append_decimal(out, count + not_read);
    fd_output_append_literal(out, " pending, read without the GIL; awaited tasks below the task "
                                  "awaiting them, calls outermost first):\n");
    size_t frames_shown = max_frames > 0 ? static_cast<size_t>(max_frames) : FRAMES_PER_TASK;
    size_t shown = append_tree(target, out, count, frames_shown);
    size_t left_out = count + not_read - shown;
    if (left_out > 0) {
        fd_output_append_literal(out, "... ");
        fd_output_append_decimal(out, left_out);
        fd_output_append_literal(out, " more tasks in shallower chains not shown\n");
    }
    if (torn) {
        fd_output_append_literal(out, "... the task list was not read to its end\n");
    }
}

}  // namespace dump
}  // namespace vandrel
