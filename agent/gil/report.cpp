/* The GIL interceptor's reports: the figures gathered for one report, the
 * dict for the sink, and the one call that emits both. */
#include "gil/internal.h"
#include "gil/report.h"

#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

namespace vandrel {
namespace gil {

int compare_rows_by_wait(const void *left, const void *right)
{
    const thread_row *a = static_cast<const thread_row *>(left);
    const thread_row *b = static_cast<const thread_row *>(right);
    if (a->waited_ns != b->waited_ns) {
        return a->waited_ns > b->waited_ns ? -1 : 1;
    }
    if (a->held_ns != b->held_ns) {
        return a->held_ns > b->held_ns ? -1 : 1;
    }
    return a->native_id < b->native_id ? -1 : a->native_id > b->native_id;
}

/* Live rows first, then by held + wait, largest first. */
int compare_rows_by_weight(const void *left, const void *right)
{
    const thread_row *a = static_cast<const thread_row *>(left);
    const thread_row *b = static_cast<const thread_row *>(right);
    if (a->live != b->live) {
        return a->live ? -1 : 1;
    }
    int64_t weight_a = a->held_ns + a->waited_ns;
    int64_t weight_b = b->held_ns + b->waited_ns;
    if (weight_a != weight_b) {
        return weight_a > weight_b ? -1 : 1;
    }
    return a->native_id < b->native_id ? -1 : a->native_id > b->native_id;
}

int compare_rows_by_id(const void *left, const void *right)
{
    long a = static_cast<const thread_row *>(left)->native_id;
    long b = static_cast<const thread_row *>(right)->native_id;
    return a < b ? -1 : a > b;
}

int compare_groups_by_wait(const void *left, const void *right)
{
    const thread_group *a = static_cast<const thread_group *>(left);
    const thread_group *b = static_cast<const thread_group *>(right);
    if (a->waited_ns != b->waited_ns) {
        return a->waited_ns > b->waited_ns ? -1 : 1;
    }
    if (a->held_ns != b->held_ns) {
        return a->held_ns > b->held_ns ? -1 : 1;
    }
    return strcmp(a->name, b->name);
}

/* Add one row into the report's copy of its group.  A group that cannot
 * be made (no memory) leaves the figures in the totals only. */
void fold_row_for_report(report_data *data, const thread_row *row)
{
    char key[sizeof(data->groups[0].name)];
    group_name(row->name, key, sizeof(key));
    thread_group *group = nullptr;
    for (size_t i = 0; i < data->group_count; i++) {
        if (strcmp(data->groups[i].name, key) == 0) {
            group = &data->groups[i];
            break;
        }
    }
    if (group == nullptr) {
        if (data->group_count == data->group_capacity) {
            size_t capacity = data->group_capacity ? data->group_capacity * 2 : 16;
            void *grown = realloc(data->groups, capacity * sizeof(thread_group));
            if (grown == nullptr) {
                return;
            }
            data->groups = static_cast<thread_group *>(grown);
            data->group_capacity = capacity;
        }
        group = &data->groups[data->group_count++];
        memset(group, 0, sizeof(*group));
        memcpy(group->name, key, sizeof(key));
    }
    group->count++;
    group->held_ns += row->held_ns;
    group->waited_ns += row->waited_ns;
    group->acquisitions += row->acquisitions;
    group->seen_ns += row->seen_ns;
    data->grouped_threads++;
}

/* Gather the figures as of `now`.  GIL held.  Rows: every live thread that
 * touched the GIL, the finished threads still ranked (see prune_finished),
 * and live Python threads that never touched the GIL, with zeros; beyond
 * max_report_threads rows the lightest are added into their groups.  Rows
 * and groups are sorted by wait, longest first.  The work depends on the
 * live threads only, never on how many have finished.  On allocation
 * failure rows are missing but the totals stand. */
void collect_report(int64_t now, report_data *data)
{
    memset(data, 0, sizeof(*data));
    /* Every thread's distributions, summed here rather than by the hooks:
     * a hook then writes only its own thread's record. */
    total_distributions *totals =
        static_cast<total_distributions *>(calloc(1, sizeof(total_distributions)));
    live_threads threads;
    list_python_threads(&threads);
    sort_live_threads(&threads);
    data->wall_ns = now - hooks.session_start_ns;
    data->switches = __atomic_load_n(&hooks.switch_count, __ATOMIC_RELAXED);

    lock_records();
    name_records(&threads);
    /* A finished thread whose id a live thread now has leaves its row. */
    for (size_t i = 0; i < finished_count;) {
        if (threads.count > 0 && find_live(&threads, finished_rows[i].native_id) != nullptr) {
            fold_finished_row(i);
        }
        else {
            i++;
        }
    }
    prune_finished();
    size_t high_water = records_in_use();
    size_t room = high_water + finished_count + threads.count;
    data->rows = static_cast<thread_row *>(calloc(room + 1, sizeof(thread_row)));
    for (size_t i = 0; i < high_water; i++) {
        thread_record *record = record_at(i);
        if (record == nullptr || !__atomic_load_n(&record->ready, __ATOMIC_ACQUIRE)) {
            continue;
        }
        record_figures figures = read_record(record, now);
        data->held_ns += figures.held_ns;
        data->waited_ns += figures.waited_ns;
        data->seen_ns += figures.seen_ns;
        if (data->rows != nullptr) {
            thread_row *row = &data->rows[data->count++];
            fill_row(row, record->native_id, record_name(record), &figures);
            row->live = true;
            row->wait = summarize(&record->distributions.waits);
            row->hold = summarize(&record->distributions.holds);
        }
        if (totals != nullptr) {
            merge_distributions(totals, &record->distributions);
        }
    }
    data->held_ns += finished_totals.held_ns;
    data->waited_ns += finished_totals.waited_ns;
    data->seen_ns += finished_totals.seen_ns;
    if (totals != nullptr) {
        merge_distributions(totals, &finished_distributions);
    }
    if (data->rows != nullptr) {
        for (size_t i = 0; i < finished_count; i++) {
            data->rows[data->count++] = finished_rows[i];
        }
    }
    if (group_count > 0) {
        data->groups = static_cast<thread_group *>(malloc(group_count * sizeof(thread_group)));
        if (data->groups != nullptr) {
            memcpy(data->groups, groups, group_count * sizeof(thread_group));
            data->group_count = data->group_capacity = group_count;
            for (size_t i = 0; i < group_count; i++) {
                data->grouped_threads += groups[i].count;
            }
        }
    }
    unlock_records();

    if (data->rows != nullptr) {
        /* Live Python threads that never touched the GIL, with zeros; a
         * live thread's own name wins over what its record had. */
        size_t with_figures = data->count;
        qsort(data->rows, with_figures, sizeof(thread_row), compare_rows_by_id);
        for (size_t j = 0; j < threads.count; j++) {
            thread_row key;
            key.native_id = threads.items[j].native_id;
            thread_row *known = static_cast<thread_row *>(
                bsearch(&key, data->rows, with_figures, sizeof(thread_row), compare_rows_by_id));
            if (known != nullptr) {
                memcpy(known->name, threads.items[j].name, sizeof(known->name));
                continue;
            }
            thread_row *row = &data->rows[data->count++];
            row->native_id = key.native_id;
            memcpy(row->name, threads.items[j].name, sizeof(row->name));
            /* Blocked since before the session: neither, all along. */
            row->seen_ns = data->wall_ns;
            data->seen_ns += data->wall_ns;
            row->live = true;
        }
        if (data->count > max_report_threads) {
            qsort(data->rows, data->count, sizeof(thread_row), compare_rows_by_weight);
            for (size_t i = max_report_threads; i < data->count; i++) {
                fold_row_for_report(data, &data->rows[i]);
            }
            data->count = max_report_threads;
        }
        qsort(data->rows, data->count, sizeof(thread_row), compare_rows_by_wait);
    }
    if (data->group_count > 1) {
        qsort(data->groups, data->group_count, sizeof(thread_group), compare_groups_by_wait);
    }
    free(threads.items);
    if (totals != nullptr) {
        take_insight(totals, data->wall_ns, data->held_ns, data->waited_ns, data->switches,
                     &data->insight);
        free(totals);
    }
    /* A place shows its thread's name as of this report (a new thread may
     * have made a long hold before it was named). */
    for (size_t i = 0; i < data->insight.place_count; i++) {
        long_hold_place *place = &data->insight.places[i];
        for (size_t k = 0; k < data->count; k++) {
            if (data->rows[k].native_id == place->native_id) {
                memcpy(place->thread, data->rows[k].name, sizeof(place->thread));
                break;
            }
        }
    }
}

void release_report(report_data *data)
{
    free(data->insight.places);
    free(data->rows);
    free(data->groups);
}

double seconds(int64_t ns)
{
    return static_cast<double>(ns) / 1e9;
}

/* dict[key] = value, consuming `value`.  Returns false on failure (with an
 * exception set); a null `value` counts as failure. */
bool set_item(PyObject *dict, const char *key, PyObject *value)
{
    if (value == nullptr) {
        return false;
    }
    int result = py->dict_set_item_string(dict, key, value);
    py->decref(value);
    return result == 0;
}

PyObject *text_object(const char *text)
{
    size_t length = strlen(text);
    if (strstr(text, name_nul) == nullptr) {
        return py->unicode_decode_utf8(text, static_cast<Py_ssize_t>(length), "replace");
    }
    /* A name holding a NUL (see name_nul): back to the real one. */
    char plain[256];
    size_t used = 0;
    for (size_t i = 0; i < length && used < sizeof(plain); i++) {
        if (text[i] == name_nul[0] && text[i + 1] == name_nul[1]) {
            plain[used++] = '\0';
            i++;
        }
        else {
            plain[used++] = text[i];
        }
    }
    return py->unicode_decode_utf8(plain, static_cast<Py_ssize_t>(used), "replace");
}

/* Of `seen_ns`, the time neither held nor waited for (never negative). */
int64_t neither_ns(int64_t seen_ns, int64_t held_ns, int64_t waited_ns)
{
    int64_t rest = seen_ns - held_ns - waited_ns;
    return rest > 0 ? rest : 0;
}

/* The figures of one thread or group as a new dict; null with an exception
 * set on failure. */
/* Add a distribution's count and percentiles under `prefix`_count,
 * `prefix`_p50_s, ..., `prefix`_max_s.  Returns false on failure (with an
 * exception set). */
bool set_summary(PyObject *dict, const char *prefix, const duration_summary *summary)
{
    char key[32];
    snprintf(key, sizeof(key), "%s_count", prefix);
    if (!set_item(dict, key, py->long_from_long_long(static_cast<long long>(summary->count)))) {
        return false;
    }
    const char *names[4] = {"p50", "p90", "p99", "max"};
    const int64_t values[4] = {summary->p50_ns, summary->p90_ns, summary->p99_ns,
                               summary->max_ns};
    for (int i = 0; i < 4; i++) {
        snprintf(key, sizeof(key), "%s_%s_s", prefix, names[i]);
        if (!set_item(dict, key, py->float_from_double(seconds(values[i])))) {
            return false;
        }
    }
    return true;
}

PyObject *figures_dict(const char *name, const uint64_t *count, int64_t held_ns,
                       int64_t waited_ns, uint64_t acquisitions, int64_t seen_ns,
                       const duration_summary *wait, const duration_summary *hold)
{
    PyObject *entry = py->dict_new();
    bool ok = entry != nullptr && set_item(entry, "name", text_object(name)) &&
              (count == nullptr ||
               set_item(entry, "count", py->long_from_long_long(static_cast<long long>(*count)))) &&
              set_item(entry, "held_s", py->float_from_double(seconds(held_ns))) &&
              set_item(entry, "wait_s", py->float_from_double(seconds(waited_ns))) &&
              set_item(entry, "acquisitions",
                       py->long_from_long_long(static_cast<long long>(acquisitions))) &&
              set_item(entry, "neither_s",
                       py->float_from_double(seconds(neither_ns(seen_ns, held_ns, waited_ns)))) &&
              set_summary(entry, "wait", wait) && set_summary(entry, "hold", hold);
    if (!ok && entry != nullptr) {
        py->decref(entry);
        return nullptr;
    }
    return entry;
}

PyObject *frame_item(const held_frame *frame)
{
    owned_refs owned(py);
    PyObject *file = owned(text_object(frame->file));
    PyObject *line = owned(py->long_from_long_long(frame->line));
    PyObject *function = owned(text_object(frame->function));
    PyObject *item = file && line && function ? py->list_new(0) : nullptr;
    if (item != nullptr && (py->list_append(item, file) != 0 || py->list_append(item, line) != 0 ||
                            py->list_append(item, function) != 0)) {
        py->decref(item);
        return nullptr;
    }
    return item;
}

/* Frames as [[file, line, function], ...]; null with an exception set on
 * failure. */
PyObject *frames_list(const held_frame *frames, uint32_t depth)
{
    PyObject *stack = py->list_new(0);
    bool ok = stack != nullptr;
    for (uint32_t i = 0; ok && i < depth; i++) {
        owned_refs owned(py);
        PyObject *item = owned(frame_item(&frames[i]));
        ok = item != nullptr && py->list_append(stack, item) == 0;
    }
    if (!ok && stack != nullptr) {
        py->decref(stack);
        return nullptr;
    }
    return stack;
}

const char *const ending_names[] = {"waiter", "voluntary", "exit"};

/* One long-hold place as a dict; null with an exception set on failure. */
PyObject *place_dict(const long_hold_place *place)
{
    PyObject *entry = py->dict_new();
    PyObject *stack = frames_list(place->frames, place->depth);
    bool ok = entry != nullptr && stack != nullptr &&
              set_item(entry, "thread", text_object(place->thread)) &&
              set_item(entry, "native_id", py->long_from_long_long(place->native_id)) &&
              set_item(entry, "count", py->long_from_long_long(static_cast<long long>(place->count))) &&
              set_item(entry, "total_s", py->float_from_double(seconds(place->total_ns))) &&
              set_item(entry, "beyond_s", py->float_from_double(seconds(place->beyond_ns))) &&
              set_item(entry, "max_s", py->float_from_double(seconds(place->max_ns))) &&
              set_item(entry, "released_at", frames_list(place->released_at, place->released_depth)) &&
              set_item(entry, "ended_by",
                       text_object(ending_names[place->ended_by <= ENDED_BY_EXIT
                                                    ? place->ended_by
                                                    : static_cast<uint8_t>(ENDED_VOLUNTARILY)]));
    if (ok) {
        py->incref(stack);
        ok = set_item(entry, "stack", stack);
    }
    if (stack) {
        py->decref(stack);
    }
    if (!ok) {
        if (entry) {
            py->decref(entry);
        }
        return nullptr;
    }
    return entry;
}

/* Set `key` to the counts at the metric bounds: a list of
 * (upper bound in seconds, count no longer than it), cumulative.  Returns
 * false on failure (with an exception set). */
bool set_within_bounds(PyObject *dict, const char *key, const uint64_t *within)
{
    PyObject *list = py->list_new(0);
    bool ok = list != nullptr;
    for (size_t i = 0; ok && i < metric_bound_count; i++) {
        owned_refs owned(py);
        PyObject *bound = owned(py->float_from_double(seconds(metric_bound_ns(i))));
        PyObject *count = owned(py->long_from_long_long(static_cast<long long>(within[i])));
        PyObject *pair = bound && count ? owned(py->tuple_pack(2, bound, count)) : nullptr;
        ok = pair != nullptr && py->list_append(list, pair) == 0;
    }
    if (!ok) {
        if (list != nullptr) {
            py->decref(list);
        }
        return false;
    }
    return set_item(dict, key, list);
}

/* Add the distributions, the interval, the long holds and (final report)
 * the timeline to the report dict.  Returns false on failure (with an
 * exception set). */
bool set_insight(PyObject *dict, const insight_snapshot *insight, bool final)
{
    const duration_summary *wait = &insight->wait;
    const duration_summary *hold = &insight->hold;
    const duration_summary *interval_wait = &insight->interval_wait;
    const duration_summary *interval_hold = &insight->interval_hold;
    PyObject *interval = py->dict_new();
    PyObject *places = py->list_new(0);
    bool ok = interval != nullptr && places != nullptr && set_summary(dict, "wait", wait) &&
              set_summary(dict, "hold", hold) &&
              set_within_bounds(dict, "wait_buckets", insight->wait_within) &&
              set_within_bounds(dict, "hold_buckets", insight->hold_within) &&
              set_item(dict, "long_hold_count", py->long_from_long_long(
                                                    static_cast<long long>(insight->long_hold_count))) &&
              set_item(dict, "long_hold_s", py->float_from_double(seconds(insight->long_hold_ns))) &&
              set_item(interval, "wall_s", py->float_from_double(seconds(insight->interval_wall_ns))) &&
              set_item(interval, "held_s", py->float_from_double(seconds(insight->interval_held_ns))) &&
              set_item(interval, "wait_s",
                       py->float_from_double(seconds(insight->interval_waited_ns))) &&
              set_item(interval, "switches", py->long_from_long_long(
                                                 static_cast<long long>(insight->interval_switches))) &&
              set_summary(interval, "wait", interval_wait) &&
              set_summary(interval, "hold", interval_hold) &&
              set_item(dict, "long_hold_threshold_s",
                       py->float_from_double(seconds(insight->threshold_ns)));
    for (size_t i = 0; ok && i < insight->place_count; i++) {
        PyObject *entry = place_dict(&insight->places[i]);
        ok = entry != nullptr && py->list_append(places, entry) == 0;
        if (entry) {
            py->decref(entry);
        }
    }
    if (ok) {
        py->incref(interval);
        py->incref(places);
        ok = set_item(dict, "interval", interval) && set_item(dict, "long_holds", places);
    }
    if (ok && final) {
        PyObject *timeline = timeline_bytes();
        if (timeline == py->none) {
            py->decref(timeline);
        }
        else {
            ok = set_item(dict, "timeline", timeline);
        }
    }
    if (interval) {
        py->decref(interval);
    }
    if (places) {
        py->decref(places);
    }
    return ok;
}

/* The report as a dict for the sink.  GIL held.  On success return a new
 * reference; on failure return null with an exception set. */
PyObject *report_dict(const report_data *data, bool final)
{
    PyObject *dict = py->dict_new();
    PyObject *threads = py->dict_new();
    PyObject *group_list = py->list_new(0);
    bool ok = dict != nullptr && threads != nullptr && group_list != nullptr &&
              set_item(dict, "wall_s", py->float_from_double(seconds(data->wall_ns))) &&
              set_item(dict, "held_s", py->float_from_double(seconds(data->held_ns))) &&
              set_item(dict, "wait_s", py->float_from_double(seconds(data->waited_ns))) &&
              set_item(dict, "neither_s", py->float_from_double(seconds(
                  neither_ns(data->seen_ns, data->held_ns, data->waited_ns)))) &&
              set_item(dict, "switches",
                       py->long_from_long_long(static_cast<long long>(data->switches))) &&
              set_item(dict, "final", py->bool_from_long(final));
    for (size_t i = 0; ok && i < data->count; i++) {
        const thread_row *row = &data->rows[i];
        PyObject *entry =
            figures_dict(row->name, nullptr, row->held_ns, row->waited_ns, row->acquisitions,
                         row->seen_ns, &row->wait, &row->hold);
        PyObject *key = py->long_from_long_long(row->native_id);
        ok = entry != nullptr && key != nullptr && py->dict_set_item(threads, key, entry) == 0;
        if (entry) {
            py->decref(entry);
        }
        if (key) {
            py->decref(key);
        }
    }
    for (size_t i = 0; ok && i < data->group_count; i++) {
        const thread_group *group = &data->groups[i];
        duration_summary wait = summarize(&group->distributions.waits);
        duration_summary hold = summarize(&group->distributions.holds);
        PyObject *entry = figures_dict(group->name, &group->count, group->held_ns,
                                       group->waited_ns, group->acquisitions, group->seen_ns,
                                       &wait, &hold);
        ok = entry != nullptr && py->list_append(group_list, entry) == 0;
        if (entry) {
            py->decref(entry);
        }
    }
    if (ok) {
        py->incref(threads);
        py->incref(group_list);
        ok = set_item(dict, "threads", threads) && set_item(dict, "groups", group_list) &&
             set_insight(dict, &data->insight, final);
    }
    if (ok && profile_on) {
        ok = set_item(dict, "profile", profile_dict(data->rows, data->count));
    }
    if (threads) {
        py->decref(threads);
    }
    if (group_list) {
        py->decref(group_list);
    }
    if (!ok) {
        if (dict) {
            py->decref(dict);
        }
        return nullptr;
    }
    return dict;
}

/* Produce one report as of `now`: text to report_fd (written with the GIL
 * released, so a full pipe read by a Python thread cannot deadlock) and a
 * dict to the sink.  GIL held on entry and exit; the calling thread must
 * own a thread state.  A sink exception goes to PyErr_WriteUnraisable; no
 * exception is left set. */
void emit_report(int64_t now, bool final, PyObject *sink, int32_t report_fd)
{
    report_data data;
    collect_report(now, &data);
    if (report_fd >= 0 && (final || session.periodic_text)) {
        text_buffer text = {nullptr, 0, 0};
        report_text(&data, final, &text);
        if (text.data != nullptr) {
            PyThreadState *state = py->eval_save_thread();
            write_failure failure;
            if (!write_all(report_fd, text.data, text.length, &failure) &&
                !session.report_failure_told) {
                /* Once per session: a file that failed once mostly fails
                 * for every later report too. */
                session.report_failure_told = true;
                tell_write_failure(report_fd, session.report_fd_given, text.length, &failure);
            }
            py->eval_restore_thread(state);
            free(text.data);
        }
    }
    if (sink != nullptr) {
        PyObject *dict = report_dict(&data, final);
        if (dict == nullptr) {
            py->err_write_unraisable(sink);
        }
        else {
            /* Our own reference: the sink may end the session, which drops
             * the session's one, while it runs. */
            py->incref(sink);
            PyObject *result = py->object_call_one_arg(sink, dict);
            if (result == nullptr) {
                py->err_write_unraisable(sink);
            }
            else {
                py->decref(result);
            }
            py->decref(sink);
            py->decref(dict);
        }
    }
    if (py->err_occurred()) {
        py->err_clear();
    }
    release_report(&data);
}

}  // namespace gil
}  // namespace vandrel
