/* Thread names: looked up in `threading` by the naming passes, and taken
 * by each new thread itself through a hook on Thread._set_native_id. */
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

/* ---- Thread names ------------------------------------------------------- */

/* Copy a UTF-8 string into a fixed buffer, cutting at a character edge.
 * A NUL in it is kept as its overlong form (see name_nul), so the name
 * stays a C string and is shown whole. */
void copy_name(char *dest, size_t size, const char *source, size_t length)
{
    size_t used = 0;
    for (size_t i = 0; i < length; i++) {
        bool nul = source[i] == '\0';
        size_t need = nul ? 2 : 1;
        if (used + need > size - 1) {
            break;
        }
        if (nul) {
            dest[used++] = name_nul[0];
            dest[used++] = name_nul[1];
        }
        else {
            dest[used++] = source[i];
        }
    }
    /* Cut short: drop a character whose bytes did not all fit. */
    if (used < size - 1 || used == 0) {
        dest[used] = '\0';
        return;
    }
    size_t end = used;
    size_t start = end;
    while (start > 0 && (static_cast<unsigned char>(dest[start - 1]) & 0xC0) == 0x80) {
        start--;
    }
    if (start > 0) {
        unsigned char lead = static_cast<unsigned char>(dest[start - 1]);
        size_t expected = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        if (expected > 1 && end - (start - 1) < expected) {
            end = start - 1;
        }
    }
    dest[end] = '\0';
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
        owned_refs owned(py);
        builtins = owned(py->import_module("builtins"));
        PyObject *exec = owned(builtins ? py->object_get_attr_string(builtins, "exec") : nullptr);
        PyObject *globals = owned(py->dict_new());
        PyObject *source = owned(py->unicode_from_string(name_hook_source));
        PyObject *exec_args = owned(globals && source ? py->tuple_pack(2, source, globals) : nullptr);
        PyObject *result = exec && exec_args ? py->object_call(exec, exec_args, nullptr) : nullptr;
        if (result != nullptr) {
            py->decref(result);
            name_hook_globals = globals;
            owned.release(globals);
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
    owned_refs owned(py);
    PyObject *threading = owned(py->import_module("threading"));
    PyObject *note = owned(py->cmethod_new(&note_thread_name_def, nullptr, nullptr, nullptr));
    PyObject *args = owned(threading && note ? py->tuple_pack(2, threading, note) : nullptr);
    call_name_hook("install", args);
    owned.drop();
    if (py->err_occurred()) {
        py->err_clear();
    }
}

void remove_name_hook()
{
    owned_refs owned(py);
    PyObject *name = owned(py->unicode_from_string("threading"));
    PyObject *threading = owned(name ? py->import_get_module(name) : nullptr);
    PyObject *args = owned(threading ? py->tuple_pack(1, threading) : nullptr);
    if (args != nullptr) {
        call_name_hook("uninstall", args);
    }
    owned.drop();
    if (py->err_occurred()) {
        py->err_clear();
    }
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
