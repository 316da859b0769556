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

/* Give names from `threads` to the records that have none yet, sorting
 * `threads` by id on the way.  GIL held.  Returns whether some record
 * still lacks a name and deserves another try. */
bool name_records(live_threads *threads)
{
    if (threads->count > 1) {
        qsort(threads->items, threads->count, sizeof(live_thread), compare_live_by_id);
    }
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

/* ---- Reports ------------------------------------------------------------ */

struct report_row {
    long native_id;
    const char *name;
    int64_t held_ns;
    int64_t waited_ns;
    uint64_t acquisitions;
};

struct report_data {
    report_row *rows;
    size_t count;
    int64_t wall_ns;
    int64_t held_ns;
    int64_t waited_ns;
    uint64_t switches;
    live_threads threads; /* owns the names of rows without a record */
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

int compare_rows_by_id(const void *left, const void *right)
{
    long a = static_cast<const report_row *>(left)->native_id;
    long b = static_cast<const report_row *>(right)->native_id;
    return a < b ? -1 : a > b;
}

/* Gather the figures as of `now`.  GIL held.  Rows: one per native id
 * (records of a reused id are added up), plus live Python threads that
 * never touched the GIL, with zeros; sorted by wait, longest first.  On
 * allocation failure the rows are missing but the totals stand. */
void collect_report(int64_t now, report_data *data)
{
    memset(data, 0, sizeof(*data));
    list_python_threads(&data->threads);
    name_records(&data->threads);
    size_t records = records_in_use();
    data->rows = static_cast<report_row *>(
        calloc(records + data->threads.count + 1, sizeof(report_row)));
    data->wall_ns = now - session_start_ns;
    data->switches = __atomic_load_n(&switch_count, __ATOMIC_RELAXED);
    for (size_t i = 0; i < records; i++) {
        thread_record *record = record_at(i);
        if (record == nullptr || !__atomic_load_n(&record->ready, __ATOMIC_ACQUIRE)) {
            continue;
        }
        record_figures figures = read_record(record, now);
        data->held_ns += figures.held_ns;
        data->waited_ns += figures.waited_ns;
        if (data->rows != nullptr) {
            report_row *row = &data->rows[data->count++];
            row->native_id = record->native_id;
            row->name = record->named ? record->name : record->os_name;
            row->held_ns = figures.held_ns;
            row->waited_ns = figures.waited_ns;
            row->acquisitions = figures.acquisitions;
        }
    }
    if (data->rows == nullptr) {
        return;
    }
    /* Merge the records of a native id the kernel handed out again. */
    qsort(data->rows, data->count, sizeof(report_row), compare_rows_by_id);
    size_t merged = 0;
    for (size_t i = 0; i < data->count; i++) {
        report_row *row = &data->rows[i];
        if (merged > 0 && data->rows[merged - 1].native_id == row->native_id) {
            report_row *into = &data->rows[merged - 1];
            into->held_ns += row->held_ns;
            into->waited_ns += row->waited_ns;
            into->acquisitions += row->acquisitions;
            continue;
        }
        data->rows[merged++] = *row;
    }
    data->count = merged;
    size_t with_records = merged;
    for (size_t j = 0; j < data->threads.count; j++) {
        report_row key;
        key.native_id = data->threads.items[j].native_id;
        report_row *known = static_cast<report_row *>(
            bsearch(&key, data->rows, with_records, sizeof(report_row), compare_rows_by_id));
        if (known != nullptr) {
            /* A live thread owns the id now: its name wins. */
            known->name = data->threads.items[j].name;
            continue;
        }
        report_row *row = &data->rows[data->count++];
        row->native_id = key.native_id;
        row->name = data->threads.items[j].name;
    }
    qsort(data->rows, data->count, sizeof(report_row), compare_rows_by_wait);
}

void release_report(report_data *data)
{
    free(data->rows);
    free(data->threads.items);
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

/* The report as a dict for the sink.  GIL held.  On success return a new
 * reference; on failure return null with an exception set. */
PyObject *report_dict(const report_data *data, bool final)
{
    PyObject *dict = py->dict_new();
    PyObject *threads = py->dict_new();
    bool ok = dict != nullptr && threads != nullptr &&
              set_item(dict, "wall_s", py->float_from_double(seconds(data->wall_ns))) &&
              set_item(dict, "held_s", py->float_from_double(seconds(data->held_ns))) &&
              set_item(dict, "wait_s", py->float_from_double(seconds(data->waited_ns))) &&
              set_item(dict, "switches",
                       py->long_from_long_long(static_cast<long long>(data->switches))) &&
              set_item(dict, "final", py->bool_from_long(final));
    for (size_t i = 0; ok && i < data->count; i++) {
        const report_row *row = &data->rows[i];
        PyObject *entry = py->dict_new();
        PyObject *key = py->long_from_long_long(row->native_id);
        ok = entry != nullptr && key != nullptr &&
             set_item(entry, "name",
                      py->unicode_decode_utf8(row->name, static_cast<Py_ssize_t>(strlen(row->name)),
                                              "replace")) &&
             set_item(entry, "held_s", py->float_from_double(seconds(row->held_ns))) &&
             set_item(entry, "wait_s", py->float_from_double(seconds(row->waited_ns))) &&
             set_item(entry, "acquisitions",
                      py->long_from_long_long(static_cast<long long>(row->acquisitions))) &&
             py->dict_set_item(threads, key, entry) == 0;
        if (entry) {
            py->decref(entry);
        }
        if (key) {
            py->decref(key);
        }
    }
    if (ok) {
        py->incref(threads);
        ok = set_item(dict, "threads", threads);
    }
    if (threads) {
        py->decref(threads);
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

double share(int64_t part, int64_t whole)
{
    if (whole <= 0) {
        return 0.0;
    }
    double value = 100.0 * static_cast<double>(part) / static_cast<double>(whole);
    return value > 100.0 ? 100.0 : value;
}

/* The human-readable report: totals, then one line per thread, most
 * waiting first, with a bar of held (#) and waiting (~) time. */
void report_text(const report_data *data, bool final, text_buffer *text)
{
    const int bar_width = 30;
    append(text,
           "GIL report (%s): wall %.3f s, held %.3f s (%.1f%%), waited %.3f s, %llu switches, "
           "%zu threads\n",
           final ? "final" : "periodic", seconds(data->wall_ns), seconds(data->held_ns),
           share(data->held_ns, data->wall_ns), seconds(data->waited_ns),
           static_cast<unsigned long long>(data->switches), data->count);
    append(text, "  %-20s %10s %9s %6s %9s %6s  held # / wait ~\n", "thread", "native id",
           "held s", "held", "wait s", "wait");
    for (size_t i = 0; i < data->count; i++) {
        const report_row *row = &data->rows[i];
        double held_share = share(row->held_ns, data->wall_ns);
        double wait_share = share(row->waited_ns, data->wall_ns);
        char bar[64];
        /* Shares are never negative, so adding 0.5 rounds to nearest
         * without pulling in libm's lround. */
        int held_marks = static_cast<int>(held_share * bar_width / 100.0 + 0.5);  // NOLINT(bugprone-incorrect-roundings)
        int wait_marks = static_cast<int>(wait_share * bar_width / 100.0 + 0.5);  // NOLINT(bugprone-incorrect-roundings)
        if (held_marks + wait_marks > bar_width) {
            wait_marks = bar_width - held_marks;
        }
        for (int k = 0; k < bar_width; k++) {
            bar[k] = k < held_marks ? '#' : k < held_marks + wait_marks ? '~' : ' ';
        }
        bar[bar_width] = '\0';
        char name[21];
        copy_name(name, sizeof(name), row->name, strlen(row->name));
        append(text, "  %-20s %10ld %9.3f %5.1f%% %9.3f %5.1f%%  [%s]\n", name, row->native_id,
               seconds(row->held_ns), held_share, seconds(row->waited_ns), wait_share, bar);
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
    live_threads threads;
    list_python_threads(&threads);
    bool retry = name_records(&threads);
    free(threads.items);
    return retry;
}

}  // namespace gil
}  // namespace vandrel
