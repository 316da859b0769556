/* The finished threads: the top finished_kept by held time and by wait
 * time keep a row each, every other one is added into its name's group,
 * so memory stays bounded whatever the number of threads.  All under
 * table_lock. */
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

/* ---- Finished threads --------------------------------------------------- */

thread_row finished_rows[finished_capacity];
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
void fold_into_group(const thread_row *row)
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
    const thread_row *a = &finished_rows[*static_cast<const size_t *>(left)];
    const thread_row *b = &finished_rows[*static_cast<const size_t *>(right)];
    if (a->held_ns != b->held_ns) {
        return a->held_ns > b->held_ns ? -1 : 1;
    }
    return a->native_id < b->native_id ? -1 : a->native_id > b->native_id;
}

int compare_finished_by_wait(const void *left, const void *right)
{
    const thread_row *a = &finished_rows[*static_cast<const size_t *>(left)];
    const thread_row *b = &finished_rows[*static_cast<const size_t *>(right)];
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

void fill_row(thread_row *row, long native_id, const char *name, const record_figures *figures)
{
    row->native_id = native_id;
    snprintf(row->name, sizeof(row->name), "%s", name);
    row->held_ns = figures->held_ns;
    row->waited_ns = figures->waited_ns;
    row->acquisitions = figures->acquisitions;
    row->seen_ns = figures->seen_ns;
}

/* Add a finished thread's row.  table_lock held. */
void add_finished_row(long native_id, const char *name, const record_figures *figures,
                      const thread_distributions *distributions)
{
    fold_reused_id(native_id);
    if (finished_count == finished_capacity) {
        prune_finished();
    }
    thread_row *row = &finished_rows[finished_count++];
    fill_row(row, native_id, name, figures);
    row->live = false;
    /* As many slots as rows: one is free while a row is. */
    row->slot = free_distribution_slots[--free_distribution_slot_count];
    thread_distributions *kept = &finished_distribution_slots[row->slot];
    copy_distributions(kept, distributions);
    row->wait = summarize(&kept->waits);
    row->hold = summarize(&kept->holds);
}

}  // namespace gil
}  // namespace vandrel
