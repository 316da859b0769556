/* Each thread's running asyncio event loop.  asyncio keeps it per thread,
 * where only that thread looks: 3.10 to 3.12 in the thread state's dict
 * under "__asyncio_running_event_loop__" (3.10 and 3.11 wrap it in a
 * holder that also records the pid, so a forked child does not take its
 * parent's loop for its own), 3.13 on in a field of the thread state. */
#include "cpython/core.h"
#include "cpython/frame_reader.h"
#include "cpython/head_lock.h"
#include "cpython/running_loop.h"

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace vandrel {

namespace {

struct loop_seen {
    unsigned long ident;
    unsigned long native_id;
    PyObject *owner; /* owned: the loop, or (before 3.13) the thread's dict */
};

#if VANDREL_PY_KNOWN && VANDREL_PY_HAS_RUNNING_LOOP_HOLDER
/* _asyncio's holder (Modules/_asynciomodule.c, 3.10 and 3.11). */
struct running_loop_holder {
    PyObject_HEAD
    PyObject *loop;
    pid_t pid;
};
#endif

/* What a thread state keeps of its running loop: the loop itself (3.13
 * on) or the dict it lives in; borrowed, may be NULL.  Head lock held:
 * reads fields only. */
PyObject *loop_owner(PyThreadState *tstate)
{
#if !VANDREL_PY_KNOWN
    (void)tstate;
    return nullptr;
#elif VANDREL_PY_HAS_RUNNING_LOOP_FIELD
    return reinterpret_cast<_PyThreadStateImpl *>(tstate)->asyncio_running_loop;
#else
    return tstate->dict;
#endif
}

/* The loop behind what loop_owner() gave; borrowed, may be NULL.  GIL
 * held, head lock not: plain dict lookups, no Python code. */
PyObject *loop_from_owner(const python_api *api, PyObject *owner)
{
#if VANDREL_PY_HAS_RUNNING_LOOP_FIELD
    (void)api;
    return owner;
#else
    if ((api->type_get_flags(Py_TYPE(owner)) & Py_TPFLAGS_DICT_SUBCLASS) == 0) {
        return nullptr;
    }
    PyObject *value = api->dict_get_item_string(owner, "__asyncio_running_event_loop__");
    if (value == nullptr) {
        return nullptr;
    }
#if VANDREL_PY_HAS_RUNNING_LOOP_HOLDER
    if (strcmp(Py_TYPE(value)->tp_name, "_RunningLoopHolder") != 0) {
        return nullptr;
    }
    const running_loop_holder *holder = reinterpret_cast<const running_loop_holder *>(value);
    return holder->pid == getpid() ? holder->loop : nullptr;
#else
    return value;
#endif
#endif
}

}  // namespace

PyObject *running_loops(const python_api *api)
{
    PyObject *result = api->list_new(0);
    if (result == nullptr || !api->layout_matches) {
        return result;
    }
    PyThreadState *current = api->thread_state_unchecked();
    if (current == nullptr) {
        return result;
    }
    size_t count = 0, capacity = 0;
    loop_seen *seen = nullptr;
    /* Copy, under the head lock, what each thread state holds; nothing
     * that could run Python code or allocate objects happens meanwhile. */
    head_lock head = take_head_lock(api);
    if (!head.reachable || head.held) {
        PyInterpreterState *interpreter = api->thread_state_interpreter(current);
        for (PyThreadState *tstate = api->interpreter_thread_head(interpreter);
             tstate != nullptr; tstate = api->thread_state_next(tstate)) {
            unsigned long ident = 0, native_id = 0;
            PyObject *owner = loop_owner(tstate);
            if (owner == nullptr || owner == api->none || !read_thread_ids(tstate, &ident, &native_id)) {
                continue;
            }
            if (count == capacity) {
                size_t grown = capacity == 0 ? 16 : capacity * 2;
                void *bigger = realloc(seen, grown * sizeof *seen);
                if (bigger == nullptr) {
                    break;
                }
                seen = static_cast<loop_seen *>(bigger);
                capacity = grown;
            }
            api->incref(owner);
            seen[count++] = {ident, native_id, owner};
        }
    }
    release_head_lock(api, &head);
    for (size_t i = 0; i < count; i++) {
        PyObject *loop = result != nullptr ? loop_from_owner(api, seen[i].owner) : nullptr;
        if (loop != nullptr && loop != api->none) {
            owned_refs refs(api);
            PyObject *ident = refs(api->long_from_unsigned_long(seen[i].ident));
            PyObject *native_id = refs(api->long_from_unsigned_long(seen[i].native_id));
            PyObject *entry = ident != nullptr && native_id != nullptr
                                  ? refs(api->tuple_pack(3, ident, native_id, loop)) : nullptr;
            if (entry == nullptr || api->list_append(result, entry) != 0) {
                api->decref(result);
                result = nullptr;
            }
        }
        api->decref(seen[i].owner);
    }
    free(seen);
    return result;
}

}  // namespace vandrel
