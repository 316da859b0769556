/* The CPython functions the agent calls, resolved at run time.
 *
 * The agent is preloaded into processes that are not Python at all (every
 * child of a launched script inherits LD_PRELOAD), so it must not carry a
 * single undefined reference to the interpreter: not even a function bound
 * lazily, since LD_BIND_NOW=1 would make the loader refuse the library.
 * Every interpreter function is looked up with dlsym() on first use. */
#ifndef VANDREL_PYTHON_API_H
#define VANDREL_PYTHON_API_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdint.h>

namespace vandrel {

struct python_api {
    int (*is_initialized)(void);
    const char *(*get_version)(void);
    /* Current thread state or NULL; never a fatal error. */
    PyThreadState *(*thread_state_unchecked)(void);
    /* The calling thread's own thread state, GIL or not. */
    PyThreadState *(*gil_state_this_thread)(void);
    PyInterpreterState *(*thread_state_interpreter)(PyThreadState *);
    PyThreadState *(*interpreter_thread_head)(PyInterpreterState *);
    PyThreadState *(*thread_state_next)(PyThreadState *);
    PyFrameObject *(*thread_state_frame)(PyThreadState *);
    PyFrameObject *(*frame_back)(PyFrameObject *);
    PyCodeObject *(*frame_code)(PyFrameObject *);
    int (*frame_line_number)(PyFrameObject *);
    int (*code_addr2line)(PyCodeObject *, int);
    PyObject *(*sys_get_object)(const char *);
    PyObject *(*module_get_dict)(PyObject *);
    PyObject *(*unicode_from_string)(const char *);
    Py_ssize_t (*unicode_get_length)(PyObject *);
    Py_UCS4 (*unicode_read_char)(PyObject *, Py_ssize_t);
    PyObject *(*dict_get_item)(PyObject *, PyObject *);
    PyObject *(*dict_get_item_string)(PyObject *, const char *);
    Py_ssize_t (*dict_size)(PyObject *);
    int (*dict_next)(PyObject *, Py_ssize_t *, PyObject **, PyObject **);
    PyObject *(*dict_copy)(PyObject *);
    PyObject *(*long_from_unsigned_long)(unsigned long);
    unsigned long (*long_as_unsigned_long)(PyObject *);
    PyObject *(*object_generic_get_dict)(PyObject *, void *);
    PyObject *(*object_get_attr)(PyObject *, PyObject *);
    unsigned long (*type_get_flags)(PyTypeObject *);
    void (*decref)(PyObject *);
    void (*err_fetch)(PyObject **, PyObject **, PyObject **);
    void (*err_restore)(PyObject *, PyObject *, PyObject *);
    void (*err_clear)(void);

    /* The GIL interceptor's, besides decref, err_clear, sys_get_object
     * and unicode_from_string above. */
    int (*gil_state_check)(void);
    int (*is_finalizing)(void);
    PyGILState_STATE (*gil_state_ensure)(void);
    void (*gil_state_release)(PyGILState_STATE);
    PyThreadState *(*eval_save_thread)(void);
    void (*eval_restore_thread)(PyThreadState *);
    PyThreadState *(*thread_state_get)(void);
    PyInterpreterState *(*interpreter_get)(void);
    PyInterpreterState *(*interpreter_main)(void);
    int (*callable_check)(PyObject *);
    void (*incref)(PyObject *);
    PyObject *(*dict_new)(void);
    int (*dict_set_item)(PyObject *, PyObject *, PyObject *);
    int (*dict_set_item_string)(PyObject *, const char *, PyObject *);
    PyObject *(*float_from_double)(double);
    PyObject *(*long_from_long_long)(long long);
    long long (*long_as_long_long)(PyObject *);
    PyObject *(*bool_from_long)(long);
    PyObject *(*unicode_decode_utf8)(const char *, Py_ssize_t, const char *);
    const char *(*unicode_as_utf8_and_size)(PyObject *, Py_ssize_t *);
    PyObject *(*object_call_one_arg)(PyObject *, PyObject *);
    PyObject *(*object_call_no_args)(PyObject *);
    PyObject *(*object_call)(PyObject *, PyObject *, PyObject *);
    PyObject *(*tuple_new)(Py_ssize_t);
    PyObject *(*tuple_pack)(Py_ssize_t, ...);
    PyObject *(*list_new)(Py_ssize_t);
    int (*list_append)(PyObject *, PyObject *);
    PyObject *(*object_get_attr_string)(PyObject *, const char *);
    PyObject *(*object_get_iter)(PyObject *);
    PyObject *(*iter_next)(PyObject *);
    PyObject *(*import_get_module)(PyObject *);
    PyObject *(*import_module)(const char *);
    PyObject *(*err_occurred)(void);
    void (*err_write_unraisable)(PyObject *);
    PyObject *(*cmethod_new)(PyMethodDef *, PyObject *, PyObject *, PyTypeObject *);
    PyObject *(*bytes_from_string_and_size)(const char *, Py_ssize_t);
    double (*float_as_double)(PyObject *);

    /* The runtime's head lock, the one sys._current_frames() holds while
     * it reads the thread lists: &_PyRuntime, and (3.13) PyMutex_Unlock
     * for a release that must wake waiters, or (3.10-3.12, where it is a
     * PyThread_type_lock) the thread-lock calls.  Null when not exported;
     * usable only when layout_matches. */
    void *runtime_state;
    void (*mutex_unlock)(void *);
    PyLockStatus (*thread_acquire_lock_timed)(PyThread_type_lock, PY_TIMEOUT_T, int);
    void (*thread_release_lock)(PyThread_type_lock);
    /* _PyThread_at_fork_reinit: makes a thread lock afresh in a forked
     * child.  Optional. */
    int (*thread_at_fork_reinit)(PyThread_type_lock *);

    /* Py_AddPendingCall: a call the main thread makes once it has the GIL,
     * asked from any thread.  Optional (NULL when missing). */
    int (*add_pending_call)(int (*)(void *), void *);

    /* Data symbols, so they are only ever reached this way. */
    PyTypeObject *code_type;      /* &PyCode_Type */
    PyTypeObject *bytes_type;     /* &PyBytes_Type */
    PyTypeObject *unicode_type;   /* &PyUnicode_Type */
    /* Optional, for the tasks read without the GIL (NULL when missing). */
    PyTypeObject *coro_type;      /* &PyCoro_Type */
    PyTypeObject *gen_type;       /* &PyGen_Type */
    PyTypeObject *set_type;       /* &PySet_Type */
    PyTypeObject *long_type;      /* &PyLong_Type */
    PyObject *none;               /* &_Py_NoneStruct */
    const unsigned long *version; /* &Py_Version (3.11 on), else NULL */

    int runtime_major;
    int runtime_minor;
    /* The running interpreter's "current" thread state is the GIL holder's,
     * whichever thread asks (before 3.12), not the caller's own. */
    bool current_is_holders;
    /* The running interpreter has the major.minor version and the object
     * layout (free-threaded or not) this agent was compiled against, so
     * the compile-time struct layouts and inline accessors are valid. */
    bool layout_matches;
    /* Frames and strings may be read in place (layout_matches, on an
     * interpreter whose frame structures this agent knows, 3.10 to 3.15,
     * and from 3.13 on whose published layout agrees). */
    bool direct_access;
    /* The checked reader (unlocked_reader.h) may read this interpreter's
     * thread states and frames: direct_access, or the free-threaded 3.13
     * whose published layout agrees. */
    bool reader_access;
    /* Threads of the running interpreter run truly in parallel (a
     * free-threaded build): nothing of another thread may be read in
     * place, with the caller's thread state attached or not. */
    bool parallel_threads;
    /* Objects can be handled through the functions above at all: the
     * object header has the compiled-in shape (not free-threaded vs. a
     * default build or the reverse). */
    bool object_header_matches;
};

/* The owned references of one scope: each adopted reference (null ones
 * too, skipped) is dropped, latest first, by drop() or when the scope
 * ends, so no path out of the scope leaks one.  Up to eight a scope. */
class owned_refs {
public:
    explicit owned_refs(const python_api *api) : api_(api), count_(0) {}
    ~owned_refs() { drop(); }
    owned_refs(const owned_refs &) = delete;
    owned_refs &operator=(const owned_refs &) = delete;

    /* Adopt `object` (an owned reference, or null) and return it. */
    PyObject *operator()(PyObject *object)
    {
        if (count_ == capacity) {
            __builtin_trap(); /* more than a scope of this agent ever holds */
        }
        objects_[count_++] = object;
        return object;
    }
    /* Hand `object` on: it is no longer dropped here. */
    void release(PyObject *object)
    {
        for (int i = 0; i < count_; i++) {
            if (objects_[i] == object) {
                objects_[i] = nullptr;
            }
        }
    }
    /* Drop every reference now, latest first. */
    void drop()
    {
        while (count_ > 0) {
            PyObject *object = objects_[--count_];
            if (object != nullptr) {
                api_->decref(object);
            }
        }
    }

private:
    static const int capacity = 8;
    const python_api *api_;
    int count_;
    PyObject *objects_[capacity];
};

/* Resolve the interpreter's functions once per process, for the stack dump.
 *
 * On success return the table, valid for the life of the process.  Return
 * NULL when the process has no CPython runtime (or one missing any function
 * the stack dump needs); the answer is cached.  Never touches Python state,
 * so it is safe without the GIL. */
const python_api *python_api_get();

/* The same table, for the GIL interceptor.
 *
 * On success return it.  Return NULL when the process has no CPython
 * runtime, or one missing Py_Version or any function or object the
 * interceptor needs; the answer is cached.  Safe without the GIL, like
 * python_api_get(). */
const python_api *python_api_get_for_interceptor();
/* The table when some call has already resolved it, else null; never
 * resolves (for fork handlers, which must not look anything up). */
const python_api *python_api_if_resolved();

/* The CPython version the agent was built for, as major * 100 + minor
 * (313 for 3.13): what an agent loaded into another version tells the
 * package, whose message then names both. */
int python_version_built_for();

}  // namespace vandrel

#endif /* VANDREL_PYTHON_API_H */
