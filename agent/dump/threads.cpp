/* The threads of a dump: their Thread objects, names and ids, the store
 * their snapshots are kept in, and the lines around their frames. */
#include "dump/dump.h"

#include "agent.h"

#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace vandrel {
namespace dump {

/* Whether object (not NULL) is a dict or a dict subclass. */
bool is_dict(const python_api *api, PyObject *object)
{
    return (api->type_get_flags(Py_TYPE(object)) & Py_TPFLAGS_DICT_SUBCLASS) != 0;
}

/* Whether object is a non-NULL str or str subclass. */
bool is_unicode(const python_api *api, PyObject *object)
{
    return object != nullptr
        && (api->type_get_flags(Py_TYPE(object)) & Py_TPFLAGS_UNICODE_SUBCLASS) != 0;
}

/* Home slot of ident in a table of mask + 1 slots. */
inline size_t ident_slot(unsigned long ident, size_t mask)
{
    return static_cast<size_t>((ident * 0x9e3779b97f4a7c15ull) >> 40) & mask;
}

/* Build the index of `active`.  On success return true; on allocation
 * failure return false (the dump then looks threads up one by one). */
bool thread_index_build(const python_api *api, PyObject *active, thread_index *index)
{
    Py_ssize_t count = api->dict_size(active);
    if (count < 0) {
        api->err_clear();
        return false;
    }
    size_t slots = 16;
    while (slots < static_cast<size_t>(count) * 2) {
        slots *= 2;
    }
    index->idents = static_cast<unsigned long *>(calloc(slots, sizeof(unsigned long)));
    index->threads = static_cast<PyObject **>(calloc(slots, sizeof(PyObject *)));
    if (index->idents == nullptr || index->threads == nullptr) {
        free(index->idents);
        free(index->threads);
        return false;
    }
    index->mask = slots - 1;
    Py_ssize_t position = 0;
    PyObject *key = nullptr, *thread = nullptr;
    while (api->dict_next(active, &position, &key, &thread)) {
        if ((api->type_get_flags(Py_TYPE(key)) & Py_TPFLAGS_LONG_SUBCLASS) == 0) {
            continue;
        }
        unsigned long ident = api->long_as_unsigned_long(key);
        if (ident == static_cast<unsigned long>(-1) || ident == 0) {
            api->err_clear();
            continue;
        }
        size_t slot = ident_slot(ident, index->mask);
        while (index->idents[slot] != 0 && index->idents[slot] != ident) {
            slot = (slot + 1) & index->mask;
        }
        index->idents[slot] = ident;
        index->threads[slot] = thread;
    }
    return true;
}

/* The Thread object indexed under ident, borrowed, or NULL. */
PyObject *thread_index_find(const thread_index *index, unsigned long ident)
{
    size_t slot = ident_slot(ident, index->mask);
    while (index->idents[slot] != 0) {
        if (index->idents[slot] == ident) {
            return index->threads[slot];
        }
        slot = (slot + 1) & index->mask;
    }
    return nullptr;
}

/* The threading.Thread object of the thread with this ident, borrowed,
 * or NULL. */
PyObject *thread_object(const dump_context *ctx, unsigned long ident)
{
    const python_api *api = ctx->api;
    if (ctx->active == nullptr || ident == 0) {
        return nullptr;
    }
    if (ctx->threads != nullptr) {
        return thread_index_find(ctx->threads, ident);
    }
    PyObject *key = api->long_from_unsigned_long(ident);
    if (key == nullptr) {
        api->err_clear();
        return nullptr;
    }
    /* An exact-int key: the lookup runs no Python code. */
    PyObject *thread = api->dict_get_item(ctx->active, key);
    api->decref(key);
    return thread;
}

/* Look `key` up in the instance dict of object, without running any
 * attribute hook.  Return a borrowed value or NULL.  The dict stays alive
 * through the object. */
PyObject *instance_attribute(const dump_context *ctx, PyObject *object, PyObject *key)
{
    const python_api *api = ctx->api;
    if (object == nullptr || key == nullptr) {
        return nullptr;
    }
    PyObject *dict = api->object_generic_get_dict(object, nullptr);
    if (dict == nullptr) {
        api->err_clear();
        return nullptr;
    }
    PyObject *value = nullptr;
    if ((api->type_get_flags(Py_TYPE(dict)) & Py_TPFLAGS_DICT_SUBCLASS) != 0) {
        value = api->dict_get_item(dict, key);
    }
    api->decref(dict);
    return value;
}

/* A thread's native id when its thread state does not tell: the kernel's
 * answer for the calling thread, else threading's `_native_id`; 0 if
 * unknown. */
unsigned long native_id_elsewhere(const dump_context *ctx, PyObject *thread, bool is_current)
{
    const python_api *api = ctx->api;
    if (is_current) {
        return static_cast<unsigned long>(syscall(SYS_gettid));
    }
    PyObject *native_id = instance_attribute(ctx, thread, ctx->native_id_key);
    if (native_id == nullptr
        || (api->type_get_flags(Py_TYPE(native_id)) & Py_TPFLAGS_LONG_SUBCLASS) == 0) {
        return 0;
    }
    unsigned long value = api->long_as_unsigned_long(native_id);
    if (value == static_cast<unsigned long>(-1)) {
        api->err_clear();
        return 0;
    }
    return value;
}

/* Grow *items (of `size` bytes each, *capacity of them) to hold `needed`.
 * On success return true; on allocation failure return false, leaving
 * the storage as it was. */
bool grow_to(void **items, size_t *capacity, size_t needed, size_t size)
{
    if (needed <= *capacity) {
        return true;
    }
    size_t new_capacity = *capacity > 0 ? *capacity : 64;
    while (new_capacity < needed) {
        new_capacity *= 2;
    }
    void *grown = realloc(*items, new_capacity * size);
    if (grown == nullptr) {
        return false;
    }
    *items = grown;
    *capacity = new_capacity;
    return true;
}

/* A new, zeroed snapshot at the end of the store, or NULL when out of
 * memory. */
thread_snapshot *store_add_thread(snapshot_store *store)
{
    void *items = store->threads;
    if (!grow_to(&items, &store->capacity, store->count + 1, sizeof(thread_snapshot))) {
        return nullptr;
    }
    store->threads = static_cast<thread_snapshot *>(items);
    thread_snapshot *snapshot = &store->threads[store->count++];
    memset(snapshot, 0, sizeof *snapshot);
    return snapshot;
}


void store_free(snapshot_store *store)
{
    free(store->threads);
    free(store->frames);
    memset(store, 0, sizeof *store);
}

/* Copy the ids of a thread state into `snapshot`.  Head lock held.  Return
 * false for a thread state not yet bound to its OS thread: a thread still
 * starting (PyGILState_Ensure() puts it in the list before it writes its
 * ids, without any lock), which has run no Python code and is left out
 * until both of its ids read as set.  An agent that cannot read this
 * interpreter's thread states keeps every thread, ids unknown. */
bool copy_thread_ids(const python_api *api, PyThreadState *tstate, thread_snapshot *snapshot)
{
    if (!api->layout_matches) {
        return true;
    }
    return read_thread_ids(tstate, &snapshot->ident, &snapshot->native_id);
}

/* Write the header line of one thread. */
void write_thread_header(const dump_context *ctx, const thread_snapshot *snapshot)
{
    const python_api *api = ctx->api;
    fd_output *out = ctx->out;
    PyObject *thread = thread_object(ctx, snapshot->ident);
    unsigned long native_id = snapshot->native_id != 0
                                  ? snapshot->native_id
                                  : native_id_elsewhere(ctx, thread, snapshot->is_current);

    fd_output_append_literal(out, snapshot->is_current ? "Current thread " : "Thread ");
    if (native_id != 0) {
        fd_output_append_decimal(out, native_id);
    }
    else {
        fd_output_append(out, "?", 1);
    }
    PyObject *name = instance_attribute(ctx, thread, ctx->name_key);
    if (is_unicode(api, name)) {
        fd_output_append(out, " \"", 2);
        append_text(ctx, name);
        fd_output_append(out, "\"", 1);
    }
    if (!snapshot->is_current && native_id != 0 && gil_thread_waiting(native_id)) {
        fd_output_append_literal(out, ", waiting for the GIL");
    }
    fd_output_append_literal(out, " (most recent call first):\n");
}

/* Write what follows a thread's frames: a note when it has none, or the
 * number of frames max_frames cut off. */
void write_thread_footer(const dump_context *ctx, const frame_count *count)
{
    fd_output *out = ctx->out;
    if (count->written == 0 && count->left_out == 0) {
        fd_output_append_literal(out, "  <no Python frame>\n");
    }
    if (count->left_out > 0) {
        fd_output_append_literal(out, "  ... ");
        fd_output_append_decimal(out, static_cast<uint64_t>(count->left_out));
        fd_output_append_literal(out, count->left_out == 1 ? " more frame not shown\n"
                                                            : " more frames not shown\n");
    }
}


/* threading._active (ident -> Thread), borrowed from the module's dict,
 * or NULL when threading was never imported.  Plain dict lookups in
 * sys.modules and the module's dict: never imports, runs no Python code. */
PyObject *find_active_threads(const python_api *api)
{
    PyObject *active = nullptr;
    PyObject *modules = api->sys_get_object("modules");
    PyObject *module = modules != nullptr && is_dict(api, modules)
                           ? api->dict_get_item_string(modules, "threading") : nullptr;
    PyObject *globals = module != nullptr ? api->module_get_dict(module) : nullptr;
    if (globals != nullptr && is_dict(api, globals)) {
        active = api->dict_get_item_string(globals, "_active");
    }
    api->err_clear();
    /* sys.modules keeps the module, and so the dict, alive. */
    return active != nullptr && is_dict(api, active) ? active : nullptr;
}

}  // namespace dump
}  // namespace vandrel
