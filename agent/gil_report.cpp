/* The GIL interceptor's reports: thread names looked up in `threading`,
 * the report dict for the sink and the text for report_fd. */
#include "gil_interceptor_internal.h"

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

/* How long one report waits for report_fd to take more bytes. */
const int report_write_timeout_ms = 1000;

/* ---- Thread names ------------------------------------------------------- */

struct live_thread {
    long native_id;
    char name[64];
};

struct live_threads {
    live_thread *items;
    size_t count;
    size_t capacity;
};

/* Copy a UTF-8 string into a fixed buffer, cutting at a character edge. */
void copy_name(char *dest, size_t size, const char *source, size_t length)
{
    if (length >= size) {
        length = size - 1;
        while (length > 0 && (static_cast<unsigned char>(source[length]) & 0xC0) == 0x80) {
            length--;
        }
    }
    memcpy(dest, source, length);
    dest[length] = '\0';
}

/* List the threads the threading module knows, with native id and name.
 * GIL held.  Never leaves an exception set; on any failure the list is
 * simply shorter (empty when threading was never imported). */
void list_python_threads(live_threads *out)
{
    out->items = nullptr;
    out->count = out->capacity = 0;
    PyObject *module_name = py->unicode_from_string("threading");
    PyObject *threading = module_name ? py->import_get_module(module_name) : nullptr;
    if (module_name) {
        py->decref(module_name);
    }
    PyObject *enumerate = threading ? py->object_get_attr_string(threading, "enumerate") : nullptr;
    PyObject *threads = enumerate ? py->object_call_no_args(enumerate) : nullptr;
    PyObject *iterator = threads ? py->object_get_iter(threads) : nullptr;
    if (iterator != nullptr) {
        PyObject *thread;
        while ((thread = py->iter_next(iterator)) != nullptr) {
            PyObject *native_id = py->object_get_attr_string(thread, "native_id");
            PyObject *name = py->object_get_attr_string(thread, "name");
            long long id = -1;
            if (native_id != nullptr && native_id != py->none) {
                id = py->long_as_long_long(native_id);
            }
            Py_ssize_t length = 0;
            const char *text = name ? py->unicode_as_utf8_and_size(name, &length) : nullptr;
            if (py->err_occurred()) {
                py->err_clear();
            }
            if (id > 0 && text != nullptr) {
                if (out->count == out->capacity) {
                    size_t capacity = out->capacity ? out->capacity * 2 : 16;
                    void *grown = realloc(out->items, capacity * sizeof(live_thread));
                    if (grown != nullptr) {
                        out->items = static_cast<live_thread *>(grown);
                        out->capacity = capacity;
                    }
                }
                if (out->count < out->capacity) {
                    live_thread *item = &out->items[out->count++];
                    item->native_id = static_cast<long>(id);
                    copy_name(item->name, sizeof(item->name), text, static_cast<size_t>(length));
                }
            }
            if (native_id) {
                py->decref(native_id);
            }
            if (name) {
                py->decref(name);
            }
            py->decref(thread);
        }
        py->decref(iterator);
    }
    if (threads) {
        py->decref(threads);
    }
    if (enumerate) {
        py->decref(enumerate);
    }
    if (threading) {
        py->decref(threading);
    }
    if (py->err_occurred()) {
        py->err_clear();
    }
}

int compare_live_by_id(const void *left, const void *right)
{
    long a = static_cast<const live_thread *>(left)->native_id;
    long b = static_cast<const live_thread *>(right)->native_id;
    return a < b ? -1 : a > b;
}

/* The entry of `threads` (sorted by id) for `native_id`, or null. */
const live_thread *find_live(const live_threads *threads, long native_id)
{
    live_thread key;
    key.native_id = native_id;
    return static_cast<const live_thread *>(
        bsearch(&key, threads->items, threads->count, sizeof(live_thread), compare_live_by_id));
}

/* Give names from `threads` to the live records that have none yet,
 * sorting `threads` by id on the way.  GIL and table_lock held.  Returns
 * whether some record still lacks a name and deserves another try. */
bool name_records(live_threads *threads)
{
    bool still_pending = false;
    size_t count = records_in_use();
    for (size_t i = 0; i < count; i++) {
        thread_record *record = record_at(i);
        if (record == nullptr || !__atomic_load_n(&record->ready, __ATOMIC_ACQUIRE) ||
            record->named) {
            continue;
        }
        const live_thread *match =
            threads->count > 0 ? find_live(threads, record->native_id) : nullptr;
        if (match != nullptr) {
            memcpy(record->name, match->name, sizeof(record->name));
            record->named = true;
        }
        else if (++record->name_tries < max_name_tries) {
            still_pending = true;
        }
    }
    return still_pending;
}

void sort_live_threads(live_threads *threads)
{
    if (threads->count > 1) {
        qsort(threads->items, threads->count, sizeof(live_thread), compare_live_by_id);
    }
}

bool records_need_names()
{
    bool unnamed = false;
    lock_records();
    size_t count = records_in_use();
    for (size_t i = 0; i < count && !unnamed; i++) {
        const thread_record *record = record_at(i);
        if (record == nullptr || !record->ready || record->named ||
            record->name_tries >= max_name_tries) {
            continue;
        }
        /* A threading thread names itself during its first hold of the
         * GIL: only one that got through a hold unnamed needs looking up. */
        uint64_t acquisitions = load_field(&record->acquisitions);
        unnamed = acquisitions >= 2 ||
                  (acquisitions == 1 && load_field(&record->state) != THREAD_HOLDING);
    }
    unlock_records();
    return unnamed;
}

/* ---- Names taken on the thread itself --------------------------------- */

/* threading.Thread._set_native_id runs on the new thread itself, early in
 * _bootstrap_inner (and in the main and dummy threads' constructors), and
 * returns at once: wrapped, it tells us the thread's name before the
 * thread runs any code of its own, however short-lived, and leaves no
 * frame behind.  Installed while a session is on; a wrapper some thread
 * still holds after that only finds no session. */
const char name_hook_source[] =
    "def install(threading, note):\n"
    "    cls = threading.Thread\n"
    "    original = cls.__dict__.get('_set_native_id')\n"
    "    if original is None or getattr(original, '_vandrel_note', None) is not None:\n"
    "        return\n"
    "    def _set_native_id(self):\n"
    "        original(self)\n"
    "        note(self._name)\n"
    "    _set_native_id._vandrel_note = note\n"
    "    _set_native_id.__wrapped__ = original\n"
    "    _set_native_id.__qualname__ = original.__qualname__\n"
    "    cls._set_native_id = _set_native_id\n"
    "def uninstall(threading):\n"
    "    cls = threading.Thread\n"
    "    current = cls.__dict__.get('_set_native_id')\n"
    "    if getattr(current, '_vandrel_note', None) is not None:\n"
    "        cls._set_native_id = current.__wrapped__\n";

/* The dict the source above ran in, once per process; null until then. */
PyObject *name_hook_globals;

/* The wrapper's callback: name the calling thread's record.  GIL held. */
PyObject *note_thread_name(PyObject * /*self*/, PyObject *name)
{
    Py_ssize_t length = 0;
    const char *text = __atomic_load_n(&hooks.watched_mutex, __ATOMIC_ACQUIRE) != nullptr
                           ? py->unicode_as_utf8_and_size(name, &length) : nullptr;
    if (text == nullptr) {
        if (py->err_occurred()) {
            py->err_clear();
        }
    }
    else {
        thread_record *record = current_record();
        if (record != nullptr) {
            lock_records();
            if (record->ready) {
                copy_name(record->name, sizeof(record->name), text, static_cast<size_t>(length));
                record->named = true;
            }
            unlock_records();
        }
    }
    py->incref(py->none);
    return py->none;
}

PyMethodDef note_thread_name_def = {"_vandrel_note_thread_name", note_thread_name, METH_O,
                                    nullptr};

/* Call name_hook_globals[function](*args).  GIL held; leaves no exception
 * set; returns whether it ran. */
bool call_name_hook(const char *function, PyObject *args)
{
    PyObject *builtins = nullptr;
    if (name_hook_globals == nullptr) {
        builtins = py->import_module("builtins");
        PyObject *exec = builtins ? py->object_get_attr_string(builtins, "exec") : nullptr;
        PyObject *globals = py->dict_new();
        PyObject *source = py->unicode_from_string(name_hook_source);
        PyObject *exec_args = globals && source ? py->tuple_pack(2, source, globals) : nullptr;
        PyObject *result = exec && exec_args ? py->object_call(exec, exec_args, nullptr) : nullptr;
        if (result != nullptr) {
            py->decref(result);
            name_hook_globals = globals;
            globals = nullptr;
        }
        PyObject *owned[] = {exec_args, source, globals, exec, builtins};
        for (PyObject *object : owned) {
            if (object) {
                py->decref(object);
            }
        }
    }
    bool ok = false;
    if (name_hook_globals != nullptr && args != nullptr) {
        /* Borrowed: the globals dict keeps it. */
        PyObject *target = py->dict_get_item_string(name_hook_globals, function);
        PyObject *result = target ? py->object_call(target, args, nullptr) : nullptr;
        ok = result != nullptr;
        if (result) {
            py->decref(result);
        }
    }
    if (py->err_occurred()) {
        py->err_clear();
    }
    return ok;
}

void install_name_hook()
{
    PyObject *threading = py->import_module("threading");
    PyObject *note = py->cmethod_new(&note_thread_name_def, nullptr, nullptr, nullptr);
    PyObject *args = threading && note ? py->tuple_pack(2, threading, note) : nullptr;
    call_name_hook("install", args);
    PyObject *owned[] = {args, note, threading};
    for (PyObject *object : owned) {
        if (object) {
            py->decref(object);
        }
    }
    if (py->err_occurred()) {
        py->err_clear();
    }
}

void remove_name_hook()
{
    PyObject *name = py->unicode_from_string("threading");
    PyObject *threading = name ? py->import_get_module(name) : nullptr;
    PyObject *args = threading ? py->tuple_pack(1, threading) : nullptr;
    if (args != nullptr) {
        call_name_hook("uninstall", args);
    }
    PyObject *owned[] = {args, threading, name};
    for (PyObject *object : owned) {
        if (object) {
            py->decref(object);
        }
    }
    if (py->err_occurred()) {
        py->err_clear();
    }
}

/* ---- Reports ------------------------------------------------------------ */

/* At most this many entries in a report's `threads`; the rest of the live
 * threads are added into their groups for that report. */
const size_t max_report_threads = 500;
/* Lines of the text report, so that it stays a few kilobytes. */
const size_t max_text_threads = 40;
const size_t max_text_groups = 20;
/* Columns for a name in the text report. */
const int text_name_width = 32;

struct report_row {
    long native_id;
    char name[64];
    int64_t held_ns;
    int64_t waited_ns;
    uint64_t acquisitions;
    int64_t seen_ns;
    bool live;
    duration_summary wait;
    duration_summary hold;
};

struct report_data {
    report_row *rows;
    size_t count;
    thread_group *groups;
    size_t group_count;
    size_t group_capacity;
    uint64_t grouped_threads;
    int64_t wall_ns;
    int64_t held_ns;
    int64_t waited_ns;
    int64_t seen_ns;
    uint64_t switches;
    insight_snapshot insight;
};

int compare_rows_by_wait(const void *left, const void *right)
{
    const report_row *a = static_cast<const report_row *>(left);
    const report_row *b = static_cast<const report_row *>(right);
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
    const report_row *a = static_cast<const report_row *>(left);
    const report_row *b = static_cast<const report_row *>(right);
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
    long a = static_cast<const report_row *>(left)->native_id;
    long b = static_cast<const report_row *>(right)->native_id;
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
void fold_row_for_report(report_data *data, const report_row *row)
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
    data->rows = static_cast<report_row *>(calloc(room + 1, sizeof(report_row)));
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
            report_row *row = &data->rows[data->count++];
            row->native_id = record->native_id;
            snprintf(row->name, sizeof(row->name), "%s", record_name(record));
            row->held_ns = figures.held_ns;
            row->waited_ns = figures.waited_ns;
            row->acquisitions = figures.acquisitions;
            row->seen_ns = figures.seen_ns;
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
            const finished_row *finished = &finished_rows[i];
            report_row *row = &data->rows[data->count++];
            row->native_id = finished->native_id;
            memcpy(row->name, finished->name, sizeof(row->name));
            row->held_ns = finished->held_ns;
            row->waited_ns = finished->waited_ns;
            row->acquisitions = finished->acquisitions;
            row->seen_ns = finished->seen_ns;
            row->wait = finished->wait;
            row->hold = finished->hold;
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
        qsort(data->rows, with_figures, sizeof(report_row), compare_rows_by_id);
        for (size_t j = 0; j < threads.count; j++) {
            report_row key;
            key.native_id = threads.items[j].native_id;
            report_row *known = static_cast<report_row *>(
                bsearch(&key, data->rows, with_figures, sizeof(report_row), compare_rows_by_id));
            if (known != nullptr) {
                memcpy(known->name, threads.items[j].name, sizeof(known->name));
                continue;
            }
            report_row *row = &data->rows[data->count++];
            row->native_id = key.native_id;
            memcpy(row->name, threads.items[j].name, sizeof(row->name));
            /* Blocked since before the session: neither, all along. */
            row->seen_ns = data->wall_ns;
            data->seen_ns += data->wall_ns;
            row->live = true;
        }
        if (data->count > max_report_threads) {
            qsort(data->rows, data->count, sizeof(report_row), compare_rows_by_weight);
            for (size_t i = max_report_threads; i < data->count; i++) {
                fold_row_for_report(data, &data->rows[i]);
            }
            data->count = max_report_threads;
        }
        qsort(data->rows, data->count, sizeof(report_row), compare_rows_by_wait);
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
    return py->unicode_decode_utf8(text, static_cast<Py_ssize_t>(strlen(text)), "replace");
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

/* One long-hold place as a dict; null with an exception set on failure. */
PyObject *place_dict(const long_hold_place *place)
{
    PyObject *entry = py->dict_new();
    PyObject *stack = py->list_new(0);
    bool ok = entry != nullptr && stack != nullptr &&
              set_item(entry, "thread", text_object(place->thread)) &&
              set_item(entry, "native_id", py->long_from_long_long(place->native_id)) &&
              set_item(entry, "count", py->long_from_long_long(static_cast<long long>(place->count))) &&
              set_item(entry, "total_s", py->float_from_double(seconds(place->total_ns))) &&
              set_item(entry, "beyond_s", py->float_from_double(seconds(place->beyond_ns))) &&
              set_item(entry, "max_s", py->float_from_double(seconds(place->max_ns)));
    for (uint32_t i = 0; ok && i < place->depth; i++) {
        const held_frame *frame = &place->frames[i];
        PyObject *file = text_object(frame->file);
        PyObject *line = py->long_from_long_long(frame->line);
        PyObject *function = text_object(frame->function);
        PyObject *item = file && line && function ? py->list_new(0) : nullptr;
        ok = item != nullptr && py->list_append(item, file) == 0 &&
             py->list_append(item, line) == 0 && py->list_append(item, function) == 0 &&
             py->list_append(stack, item) == 0;
        PyObject *owned[] = {item, function, line, file};
        for (PyObject *object : owned) {
            if (object) {
                py->decref(object);
            }
        }
    }
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
        const report_row *row = &data->rows[i];
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

struct text_buffer {
    char *data;
    size_t length;
    size_t capacity;
};

__attribute__((format(printf, 2, 3))) void append(text_buffer *text, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    for (;;) {
        size_t room = text->capacity - text->length;
        int needed = -1;
        if (text->data) {
            va_list attempt;
            va_copy(attempt, args);
            /* clang-14's analyzer loses track of va_copy inside a loop. */
            needed = vsnprintf(text->data + text->length, room, format, attempt);  // NOLINT(clang-analyzer-valist.Uninitialized)
            va_end(attempt);
        }
        if (text->data && needed >= 0 && static_cast<size_t>(needed) < room) {
            text->length += static_cast<size_t>(needed);
            break;
        }
        size_t capacity = text->capacity ? text->capacity * 2 : 4096;
        if (needed >= 0 && capacity < text->length + static_cast<size_t>(needed) + 1) {
            capacity = text->length + static_cast<size_t>(needed) + 1;
        }
        char *grown = static_cast<char *>(realloc(text->data, capacity));
        if (grown == nullptr) {
            break; /* out of memory: the line is dropped */
        }
        text->data = grown;
        text->capacity = capacity;
    }
    va_end(args);
}

/* `part` as a percentage of `whole`, at most 100.  Computed from the
 * seconds the report dict carries, in the same operations, so that the
 * text can be rebuilt from the dict to the byte. */
double share(int64_t part_ns, int64_t whole_ns)
{
    double whole = seconds(whole_ns);
    if (whole <= 0) {
        return 0.0;
    }
    double value = 100.0 * seconds(part_ns) / whole;
    return value > 100.0 ? 100.0 : value;
}

/* `name` for a table cell of `width` columns (at most 64): control
 * characters and backslash escaped as in the stack dump (\xNN, \\),
 * padded with spaces; a name too long keeps its start and its last
 * columns (where numbered threads differ) around a "…".  A UTF-8 sequence
 * counts one column.  `out` has room for width * 4 + 4 bytes. */
void table_cell(const char *name, int width, char *out)
{
    static const char hex[] = "0123456789abcdef";
    const int tail_columns = 10;
    char escaped[64 * 4 + 4];
    uint16_t starts[64 * 4 + 4]; /* where each column starts in `escaped` */
    size_t length = 0;
    int columns = 0;
    const unsigned char *p = reinterpret_cast<const unsigned char *>(name);
    while (*p != '\0' && length + 4 < sizeof(escaped) - 4) {
        if (*p < 0x20 || *p == 0x7f || *p == '\\') {
            char piece[4] = {'\\', '\\', 0, 0};
            int size = 2;
            if (*p != '\\') {
                piece[1] = 'x';
                piece[2] = hex[*p >> 4];
                piece[3] = hex[*p & 0xf];
                size = 4;
            }
            for (int k = 0; k < size; k++) {
                starts[columns++] = static_cast<uint16_t>(length);
                escaped[length++] = piece[k];
            }
            p++;
            continue;
        }
        starts[columns++] = static_cast<uint16_t>(length);
        escaped[length++] = static_cast<char>(*p++);
        while ((*p & 0xC0) == 0x80 && length < sizeof(escaped) - 4) {
            escaped[length++] = static_cast<char>(*p++);
        }
    }
    starts[columns] = static_cast<uint16_t>(length);
    size_t used = 0;
    int shown = columns;
    if (columns > width) {
        int head = width - 1 - tail_columns;
        memcpy(out, escaped, starts[head]);
        used = starts[head];
        memcpy(out + used, "\xe2\x80\xa6", 3);
        used += 3;
        size_t tail_start = starts[columns - tail_columns];
        memcpy(out + used, escaped + tail_start, length - tail_start);
        used += length - tail_start;
        shown = width;
    }
    else {
        memcpy(out, escaped, length);
        used = length;
    }
    for (; shown < width; shown++) {
        out[used++] = ' ';
    }
    out[used] = '\0';
}

/* One line of the table. */
void append_line(text_buffer *text, const char *name, const char *id, int64_t held_ns,
                 int64_t waited_ns, int64_t wall_ns)
{
    const int bar_width = 30;
    double held_share = share(held_ns, wall_ns);
    double wait_share = share(waited_ns, wall_ns);
    char bar[64];
    /* Shares are never negative, so adding 0.5 rounds to nearest without
     * pulling in libm's lround. */
    int held_marks = static_cast<int>(held_share * bar_width / 100.0 + 0.5);  // NOLINT(bugprone-incorrect-roundings)
    int wait_marks = static_cast<int>(wait_share * bar_width / 100.0 + 0.5);  // NOLINT(bugprone-incorrect-roundings)
    if (held_marks + wait_marks > bar_width) {
        wait_marks = bar_width - held_marks;
    }
    for (int k = 0; k < bar_width; k++) {
        bar[k] = k < held_marks ? '#' : k < held_marks + wait_marks ? '~' : ' ';
    }
    bar[bar_width] = '\0';
    char cell[text_name_width * 4 + 4];
    table_cell(name, text_name_width, cell);
    append(text, "  %s %10s %9.3f %5.1f%% %9.3f %5.1f%%  [%s]\n", cell, id, seconds(held_ns),
           held_share, seconds(waited_ns), wait_share, bar);
}

void append_groups(const report_data *data, text_buffer *text);
void append_insight(const report_data *data, bool final, text_buffer *text);

/* The human-readable report: totals, then one line per thread, most
 * waiting first, with a bar of held (#) and waiting (~) time, then the
 * groups of finished threads.  At most max_text_threads and
 * max_text_groups lines, so its size does not grow with the process. */
void report_text(const report_data *data, bool final, text_buffer *text)
{
    append(text,
           "GIL report (%s): wall %.3f s, held %.3f s (%.1f%%), waited %.3f s, %llu switches, "
           "%zu threads, %llu more in %zu groups\n",
           final ? "final" : "periodic", seconds(data->wall_ns), seconds(data->held_ns),
           share(data->held_ns, data->wall_ns), seconds(data->waited_ns),
           static_cast<unsigned long long>(data->switches), data->count,
           static_cast<unsigned long long>(data->grouped_threads), data->group_count);
    char header[text_name_width * 4 + 4];
    table_cell("thread", text_name_width, header);
    append(text, "  %s %10s %9s %6s %9s %6s  held # / wait ~\n", header, "native id", "held s",
           "held", "wait s", "wait");
    size_t shown = data->count < max_text_threads ? data->count : max_text_threads;
    for (size_t i = 0; i < shown; i++) {
        const report_row *row = &data->rows[i];
        char id[24];
        snprintf(id, sizeof(id), "%ld", row->native_id);
        append_line(text, row->name, id, row->held_ns, row->waited_ns, data->wall_ns);
    }
    if (data->count > shown) {
        append(text, "  ... %zu more threads\n", data->count - shown);
    }
    if (data->group_count != 0) {
        append_groups(data, text);
    }
    append_insight(data, final, text);
}

/* Append `name` with control characters and backslash escaped as in the
 * table. */
void append_escaped(text_buffer *text, const char *name)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(name);
    while (*p != '\0') {
        const unsigned char *plain = p;
        /* Stops at the terminating NUL too (below 0x20). */
        while (*p >= 0x20 && *p != 0x7f && *p != '\\') {
            p++;
        }
        if (p > plain) {
            append(text, "%.*s", static_cast<int>(p - plain), reinterpret_cast<const char *>(plain));
        }
        if (*p == '\\') {
            append(text, "\\\\");
            p++;
        }
        else if (*p != '\0') {
            append(text, "\\x%02x", *p);
            p++;
        }
    }
}

/* One distribution's line. */
void append_summary(text_buffer *text, const char *label, const duration_summary *summary)
{
    append(text, "  %s %llu, p50 %.3f ms, p90 %.3f ms, p99 %.3f ms, max %.3f ms\n", label,
           static_cast<unsigned long long>(summary->count), seconds(summary->p50_ns) * 1000.0,
           seconds(summary->p90_ns) * 1000.0, seconds(summary->p99_ns) * 1000.0,
           seconds(summary->max_ns) * 1000.0);
}

/* Distributions, the interval and the long holds, after the table. */
void append_insight(const report_data *data, bool final, text_buffer *text)
{
    (void)final;
    const insight_snapshot *insight = &data->insight;
    append_summary(text, "waits", &insight->wait);
    append_summary(text, "holds", &insight->hold);
    const duration_summary &interval_wait = insight->interval_wait;
    const duration_summary &interval_hold = insight->interval_hold;
    append(text,
           "  last %.3f s: held %.3f s (%.1f%%), waited %.3f s, %llu switches, wait p99 %.3f ms, "
           "hold p99 %.3f ms\n",
           seconds(insight->interval_wall_ns), seconds(insight->interval_held_ns),
           share(insight->interval_held_ns, insight->interval_wall_ns),
           seconds(insight->interval_waited_ns),
           static_cast<unsigned long long>(insight->interval_switches),
           seconds(interval_wait.p99_ns) * 1000.0, seconds(interval_hold.p99_ns) * 1000.0);
    if (insight->place_count == 0) {
        append(text, "  long holds (over %.3f ms): none\n", seconds(insight->threshold_ns) * 1000.0);
        return;
    }
    append(text, "  long holds (over %.3f ms), most time beyond it first:\n",
           seconds(insight->threshold_ns) * 1000.0);
    for (size_t i = 0; i < insight->place_count; i++) {
        const long_hold_place *place = &insight->places[i];
        append(text, "  %.3f s beyond in %llu holds, longest %.3f ms, thread ",
               seconds(place->beyond_ns), static_cast<unsigned long long>(place->count),
               seconds(place->max_ns) * 1000.0);
        append_escaped(text, place->thread);
        append(text, " (%ld)\n", place->native_id);
        if (place->depth == 0) {
            append(text, "    (no Python frame)\n");
        }
        for (uint32_t k = 0; k < place->depth; k++) {
            const held_frame *frame = &place->frames[k];
            append(text, "    File \"");
            append_escaped(text, frame->file);
            append(text, "\", line %d, in ", frame->line);
            append_escaped(text, frame->function);
            append(text, "\n");
        }
    }
}

/* The groups' part of the table. */
void append_groups(const report_data *data, text_buffer *text)
{
    char header[text_name_width * 4 + 4];
    table_cell("group", text_name_width, header);
    append(text, "  %s %10s\n", header, "threads");
    size_t groups_shown =
        data->group_count < max_text_groups ? data->group_count : max_text_groups;
    for (size_t i = 0; i < groups_shown; i++) {
        const thread_group *group = &data->groups[i];
        char count[24];
        snprintf(count, sizeof(count), "%llu", static_cast<unsigned long long>(group->count));
        append_line(text, group->name, count, group->held_ns, group->waited_ns, data->wall_ns);
    }
    if (data->group_count > groups_shown) {
        append(text, "  ... %zu more groups\n", data->group_count - groups_shown);
    }
}

/* Write all of `length` bytes to fd, retrying on EINTR and short writes,
 * in pieces no larger than a pipe's atomic size, each once poll() says the
 * fd takes it.  Gives up silently on any other error (closed or invalid
 * fd) and when the fd accepts nothing for report_write_timeout_ms: a pipe
 * nobody reads must not hold the agent's thread, and so the stop, for ever.
 * Returns whether a write failed with EPIPE. */
bool write_pieces(int fd, const char *data, size_t length)
{
    while (length > 0) {
        struct pollfd ready = {fd, POLLOUT, 0};
        int polled = poll(&ready, 1, report_write_timeout_ms);
        if (polled < 0 && errno == EINTR) {
            continue;
        }
        if (polled <= 0 || (ready.revents & (POLLERR | POLLNVAL | POLLHUP)) != 0) {
            return false;
        }
        size_t piece = length < PIPE_BUF ? length : PIPE_BUF;
        ssize_t written = write(fd, data, piece);
        if (written < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return errno == EPIPE;
        }
        data += written;
        length -= static_cast<size_t>(written);
    }
    return false;
}

/* write_pieces(), with the SIGPIPE a pipe whose reader has gone raises
 * blocked on this thread and consumed: it must not kill a process that
 * did not ignore it. */
void write_all(int fd, const char *data, size_t length)
{
    sigset_t pipe_only, old_mask, pending;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    bool already_pending = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    bool masked = sigprocmask(SIG_BLOCK, &pipe_only, &old_mask) == 0;
    bool broken_pipe = write_pieces(fd, data, length);
    if (masked) {
        if (broken_pipe && !already_pending) {
            struct timespec no_wait = {0, 0};
            while (sigtimedwait(&pipe_only, nullptr, &no_wait) < 0 && errno == EINTR) {
            }
        }
        sigprocmask(SIG_SETMASK, &old_mask, nullptr);
    }
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
    if (report_fd >= 0) {
        text_buffer text = {nullptr, 0, 0};
        report_text(&data, final, &text);
        if (text.data != nullptr) {
            PyThreadState *state = py->eval_save_thread();
            write_all(report_fd, text.data, text.length);
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

/* Name the records that have no name yet.  GIL held.  Returns whether some
 * still lack one and deserve another try. */
bool naming_pass()
{
    __atomic_store_n(&names_pending, 0, __ATOMIC_RELAXED);
    if (!records_need_names()) {
        return false;
    }
    live_threads threads;
    list_python_threads(&threads);
    sort_live_threads(&threads);
    lock_records();
    bool retry = name_records(&threads);
    unlock_records();
    free(threads.items);
    return retry;
}

}  // namespace gil
}  // namespace vandrel
