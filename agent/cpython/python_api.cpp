#ifndef _GNU_SOURCE
#define _GNU_SOURCE /* RTLD_DEFAULT, RTLD_NOLOAD, dl_iterate_phdr */
#endif
#include "cpython/python_api.h"

#include "cpython/frame_reader.h"

#include <dlfcn.h>
#include <link.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>

namespace vandrel {

namespace {

enum resolve_state : int { UNRESOLVED = 0, RESOLVING = 1, RESOLVED = 2 };

int api_state = UNRESOLVED;
python_api api_table;
const python_api *api_result = nullptr;
const python_api *interceptor_result = nullptr;

/* Called by dl_iterate_phdr() per loaded object.  On finding an object
 * whose path contains "libpython3", store its path in *data and stop. */
int find_libpython(struct dl_phdr_info *info, size_t /*size*/, void *data)
{
    const char *name = info->dlpi_name;
    if (name != nullptr && strstr(name, "libpython3") != nullptr) {
        *static_cast<const char **>(data) = name;
        return 1;
    }
    return 0;
}

/* Find where the interpreter's symbols live.
 *
 * On success store in *handle what to pass to dlsym() and return true:
 * RTLD_DEFAULT (itself a null pointer) when the executable or a global
 * libpython exports them, else a handle on a libpython that an embedding
 * host loaded locally.  Return false when the process has no CPython
 * runtime. */
bool find_python_handle(void **handle)
{
    if (dlsym(RTLD_DEFAULT, "Py_IsInitialized") != nullptr) {
        *handle = RTLD_DEFAULT;
        return true;
    }
    const char *libpython = nullptr;
    (void)dl_iterate_phdr(find_libpython, &libpython);
    if (libpython == nullptr) {
        return false;
    }
    /* NOLOAD: only a handle on what is already there; never load a new
     * interpreter into a process.  The reference is kept for good. */
    void *local = dlopen(libpython, RTLD_LAZY | RTLD_NOLOAD);
    if (local == nullptr || dlsym(local, "Py_IsInitialized") == nullptr) {
        return false;
    }
    *handle = local;
    return true;
}

/* Look up one symbol into *slot.  On success return true; on failure
 * leave *slot NULL and return false. */
template <typename T>
bool resolve(void *handle, const char *name, T *slot)
{
    *slot = reinterpret_cast<T>(dlsym(handle, name));
    return *slot != nullptr;
}

/* Parse "3.13.0 (main, ...)" into major and minor.  On success return
 * true; on a malformed string return false. */
bool parse_version(const char *text, int *major, int *minor)
{
    if (text == nullptr) {
        return false;
    }
    char *end = nullptr;
    long parsed_major = strtol(text, &end, 10);
    if (end == text || *end != '.') {
        return false;
    }
    const char *minor_text = end + 1;
    long parsed_minor = strtol(minor_text, &end, 10);
    if (end == minor_text) {
        return false;
    }
    *major = static_cast<int>(parsed_major);
    *minor = static_cast<int>(parsed_minor);
    return true;
}

/* PyObject_CallOneArg where the interpreter has it inline only (3.10):
 * the same call through a one-item argument tuple.  GIL held.  On success
 * return the result; on error return NULL with an exception set. */
PyObject *call_one_arg_through_tuple(PyObject *callable, PyObject *arg)
{
    PyObject *args = api_table.tuple_pack(1, arg);
    if (args == nullptr) {
        return nullptr;
    }
    PyObject *result = api_table.object_call(callable, args, nullptr);
    api_table.decref(args);
    return result;
}

/* Fill api_table.  Set *interceptor_ok when everything the GIL
 * interceptor needs was found.  Return true when everything the stack dump
 * needs was found; return false when a symbol is missing (not a CPython
 * process, or too old an interpreter). */
bool resolve_all(python_api *api, bool *interceptor_ok)
{
    memset(api, 0, sizeof *api);
    *interceptor_ok = false;
    void *handle = nullptr;
    if (!find_python_handle(&handle)) {
        return false;
    }
    bool ok = true;
    ok &= resolve(handle, "Py_IsInitialized", &api->is_initialized);
    ok &= resolve(handle, "Py_GetVersion", &api->get_version);
    /* Public since 3.13; the same function had a private name before. */
    if (!resolve(handle, "PyThreadState_GetUnchecked", &api->thread_state_unchecked)) {
        ok &= resolve(handle, "_PyThreadState_UncheckedGet", &api->thread_state_unchecked);
    }
    ok &= resolve(handle, "PyGILState_GetThisThreadState", &api->gil_state_this_thread);
    ok &= resolve(handle, "PyThreadState_GetInterpreter", &api->thread_state_interpreter);
    ok &= resolve(handle, "PyInterpreterState_ThreadHead", &api->interpreter_thread_head);
    ok &= resolve(handle, "PyThreadState_Next", &api->thread_state_next);
    ok &= resolve(handle, "PyThreadState_GetFrame", &api->thread_state_frame);
    ok &= resolve(handle, "PyFrame_GetBack", &api->frame_back);
    ok &= resolve(handle, "PyFrame_GetCode", &api->frame_code);
    ok &= resolve(handle, "PyFrame_GetLineNumber", &api->frame_line_number);
    ok &= resolve(handle, "PyCode_Addr2Line", &api->code_addr2line);
    ok &= resolve(handle, "PySys_GetObject", &api->sys_get_object);
    ok &= resolve(handle, "PyModule_GetDict", &api->module_get_dict);
    ok &= resolve(handle, "PyUnicode_FromString", &api->unicode_from_string);
    ok &= resolve(handle, "PyUnicode_GetLength", &api->unicode_get_length);
    ok &= resolve(handle, "PyUnicode_ReadChar", &api->unicode_read_char);
    ok &= resolve(handle, "PyDict_GetItem", &api->dict_get_item);
    ok &= resolve(handle, "PyDict_GetItemString", &api->dict_get_item_string);
    ok &= resolve(handle, "PyDict_Size", &api->dict_size);
    ok &= resolve(handle, "PyDict_Next", &api->dict_next);
    ok &= resolve(handle, "PyDict_Copy", &api->dict_copy);
    ok &= resolve(handle, "PyLong_FromUnsignedLong", &api->long_from_unsigned_long);
    ok &= resolve(handle, "PyLong_AsUnsignedLong", &api->long_as_unsigned_long);
    ok &= resolve(handle, "PyObject_GenericGetDict", &api->object_generic_get_dict);
    ok &= resolve(handle, "PyObject_GetAttr", &api->object_get_attr);
    ok &= resolve(handle, "PyType_GetFlags", &api->type_get_flags);
    ok &= resolve(handle, "Py_DecRef", &api->decref);
    ok &= resolve(handle, "PyErr_Fetch", &api->err_fetch);
    ok &= resolve(handle, "PyErr_Restore", &api->err_restore);
    ok &= resolve(handle, "PyErr_Clear", &api->err_clear);
    ok &= resolve(handle, "PyCode_Type", &api->code_type);
    ok &= resolve(handle, "PyBytes_Type", &api->bytes_type);
    ok &= resolve(handle, "PyUnicode_Type", &api->unicode_type);
    (void)resolve(handle, "Py_AddPendingCall", &api->add_pending_call);
    (void)resolve(handle, "PyCoro_Type", &api->coro_type);
    (void)resolve(handle, "PyGen_Type", &api->gen_type);
    (void)resolve(handle, "PySet_Type", &api->set_type);
    (void)resolve(handle, "PyLong_Type", &api->long_type);
    /* Optional: without them the dump walks the thread list unlocked. */
    (void)resolve(handle, "_PyRuntime", &api->runtime_state);
    (void)resolve(handle, "PyMutex_Unlock", &api->mutex_unlock);
    (void)resolve(handle, "PyThread_acquire_lock_timed", &api->thread_acquire_lock_timed);
    (void)resolve(handle, "PyThread_release_lock", &api->thread_release_lock);
    (void)resolve(handle, "_PyThread_at_fork_reinit", &api->thread_at_fork_reinit);

    /* The GIL interceptor's: these and the four shared ones above, all
     * required.  Before 3.13 Py_IsFinalizing is spelt _Py_IsFinalizing;
     * 3.10 has no Py_Version (the version string stands in) and
     * PyObject_CallOneArg only inline (a tuple call stands in).  A miss
     * here leaves the stack dump working. */
    bool interceptor = api->decref != nullptr && api->err_clear != nullptr
        && api->sys_get_object != nullptr && api->unicode_from_string != nullptr;
    (void)resolve(handle, "Py_Version", &api->version);
    interceptor &= resolve(handle, "PyGILState_Check", &api->gil_state_check);
    interceptor &= resolve(handle, "Py_IsFinalizing", &api->is_finalizing) ||
                   resolve(handle, "_Py_IsFinalizing", &api->is_finalizing);
    interceptor &= resolve(handle, "PyGILState_Ensure", &api->gil_state_ensure);
    interceptor &= resolve(handle, "PyGILState_Release", &api->gil_state_release);
    interceptor &= resolve(handle, "PyEval_SaveThread", &api->eval_save_thread);
    interceptor &= resolve(handle, "PyEval_RestoreThread", &api->eval_restore_thread);
    interceptor &= resolve(handle, "PyThreadState_Get", &api->thread_state_get);
    interceptor &= resolve(handle, "PyInterpreterState_Get", &api->interpreter_get);
    interceptor &= resolve(handle, "PyInterpreterState_Main", &api->interpreter_main);
    interceptor &= resolve(handle, "PyCallable_Check", &api->callable_check);
    interceptor &= resolve(handle, "Py_IncRef", &api->incref);
    interceptor &= resolve(handle, "PyDict_New", &api->dict_new);
    interceptor &= resolve(handle, "PyDict_SetItem", &api->dict_set_item);
    interceptor &= resolve(handle, "PyDict_SetItemString", &api->dict_set_item_string);
    interceptor &= resolve(handle, "PyFloat_FromDouble", &api->float_from_double);
    interceptor &= resolve(handle, "PyLong_FromLongLong", &api->long_from_long_long);
    interceptor &= resolve(handle, "PyLong_AsLongLong", &api->long_as_long_long);
    interceptor &= resolve(handle, "PyBool_FromLong", &api->bool_from_long);
    interceptor &= resolve(handle, "PyUnicode_DecodeUTF8", &api->unicode_decode_utf8);
    interceptor &= resolve(handle, "PyUnicode_AsUTF8AndSize", &api->unicode_as_utf8_and_size);
    if (!resolve(handle, "PyObject_CallOneArg", &api->object_call_one_arg)) {
        api->object_call_one_arg = call_one_arg_through_tuple;
    }
    interceptor &= resolve(handle, "PyObject_CallNoArgs", &api->object_call_no_args);
    interceptor &= resolve(handle, "PyObject_Call", &api->object_call);
    interceptor &= resolve(handle, "PyTuple_New", &api->tuple_new);
    interceptor &= resolve(handle, "PyTuple_Pack", &api->tuple_pack);
    interceptor &= resolve(handle, "PyList_New", &api->list_new);
    interceptor &= resolve(handle, "PyList_Append", &api->list_append);
    interceptor &= resolve(handle, "PyObject_GetAttrString", &api->object_get_attr_string);
    interceptor &= resolve(handle, "PyObject_GetIter", &api->object_get_iter);
    interceptor &= resolve(handle, "PyIter_Next", &api->iter_next);
    interceptor &= resolve(handle, "PyImport_GetModule", &api->import_get_module);
    interceptor &= resolve(handle, "PyImport_ImportModule", &api->import_module);
    interceptor &= resolve(handle, "PyErr_Occurred", &api->err_occurred);
    interceptor &= resolve(handle, "PyErr_WriteUnraisable", &api->err_write_unraisable);
    interceptor &= resolve(handle, "PyCMethod_New", &api->cmethod_new);
    interceptor &= resolve(handle, "PyBytes_FromStringAndSize", &api->bytes_from_string_and_size);
    interceptor &= resolve(handle, "PyFloat_AsDouble", &api->float_as_double);
    interceptor &= resolve(handle, "_Py_NoneStruct", &api->none);
    *interceptor_ok = interceptor;
    if (!ok) {
        return false;
    }

    /* Py_Version exists from 3.11 on; the version string always does. */
    const unsigned long *version = api->version;
    if (version != nullptr) {
        api->runtime_major = static_cast<int>((*version >> 24) & 0xff);
        api->runtime_minor = static_cast<int>((*version >> 16) & 0xff);
    }
    else if (!parse_version(api->get_version(), &api->runtime_major, &api->runtime_minor)) {
        return false;
    }

    /* Before 3.12 the "current" thread state is the GIL holder's,
     * whichever thread asks. */
    api->current_is_holders = api->runtime_major == 3 && api->runtime_minor < 12;

    /* Only free-threaded builds export the shared-refcount slow path. */
    bool runtime_free_threaded = dlsym(handle, "_Py_DecRefShared") != nullptr;
#ifdef Py_GIL_DISABLED
    const bool compiled_free_threaded = true;
#else
    const bool compiled_free_threaded = false;
#endif
    api->object_header_matches = runtime_free_threaded == compiled_free_threaded;
    api->layout_matches = api->object_header_matches
        && api->runtime_major == PY_MAJOR_VERSION && api->runtime_minor == PY_MINOR_VERSION;
    api->parallel_threads = runtime_free_threaded;
#ifdef VANDREL_FRAME_READER
    /* From 3.13 on the runtime's own published layout must agree too. */
    api->reader_access = api->layout_matches && frame_layout_confirmed(api->runtime_state);
#else
    api->reader_access = false;
#endif
    /* In place only where the GIL keeps the other threads still. */
    api->direct_access = api->reader_access && !VANDREL_PY_FREE_THREADED;
#ifdef VANDREL_FORCE_PUBLIC_API
    /* Test builds: exercise the path other interpreter versions take. */
    api->direct_access = false;
    api->reader_access = false;
#endif
    return true;
}

/* Run resolve_all() once per process, from any thread, with or without
 * the GIL.  On return api_result and interceptor_result are final. */
void resolve_once()
{
    int state = __atomic_load_n(&api_state, __ATOMIC_ACQUIRE);
    if (state == RESOLVED) {
        return;
    }
    int expected = UNRESOLVED;
    if (__atomic_compare_exchange_n(&api_state, &expected, RESOLVING, false,
                                    __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
        bool interceptor_ok = false;
        api_result = resolve_all(&api_table, &interceptor_ok) ? &api_table : nullptr;
        interceptor_result = interceptor_ok ? &api_table : nullptr;
        __atomic_store_n(&api_state, RESOLVED, __ATOMIC_RELEASE);
        return;
    }
    /* Another thread (another interpreter's GIL) is resolving: dlsym only,
     * so the wait is short. */
    while (__atomic_load_n(&api_state, __ATOMIC_ACQUIRE) != RESOLVED) {
        sched_yield();
    }
}

}  // namespace

const python_api *python_api_get()
{
    resolve_once();
    return api_result;
}

const python_api *python_api_get_for_interceptor()
{
    resolve_once();
    return interceptor_result;
}

int python_version_built_for()
{
    return PY_MAJOR_VERSION * 100 + PY_MINOR_VERSION;
}

const python_api *python_api_if_resolved()
{
    return __atomic_load_n(&api_state, __ATOMIC_ACQUIRE) == RESOLVED ? api_result : nullptr;
}

}  // namespace vandrel
