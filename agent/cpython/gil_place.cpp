/* Where the GIL is: its mutex, its `locked` word, what tells a forced
 * hand-over (the drop request, the switch mutex), and whether the main
 * interpreter is finalizing, for the versions whose take_gil()/drop_gil()
 * protocol the interceptor follows. */
#include "cpython/core.h"

#include "cpython/gil_place.h"

#include <stddef.h>
#include <stdint.h>

namespace vandrel {

bool gil_layout_known()
{
    return VANDREL_PY_KNOWN != 0;
}

#if VANDREL_PY_KNOWN && !VANDREL_PY_HAS_INTERP_FINALIZING
namespace {

/* Has threading's shutdown begun (threading._SHUTTING_DOWN)?  False when
 * threading is not imported.  GIL held; leaves no exception set. */
bool threading_shutting_down(const python_api *py)
{
    owned_refs owned(py);
    PyObject *name = owned(py->unicode_from_string("threading"));
    PyObject *module = owned(name != nullptr ? py->import_get_module(name) : nullptr);
    PyObject *flag = owned(module != nullptr
                               ? py->object_get_attr_string(module, "_SHUTTING_DOWN")
                               : nullptr);
    bool shutting_down = flag != nullptr && py->long_as_long_long(flag) == 1;
    owned.drop();
    if (py->err_occurred()) {
        py->err_clear();
    }
    return shutting_down;
}

}  // namespace
#endif

bool main_interpreter_finalizing(const python_api *py, PyInterpreterState *main_interp)
{
#if !VANDREL_PY_KNOWN
    (void)py;
    (void)main_interp;
    return false;
#elif VANDREL_PY_HAS_INTERP_FINALIZING
    (void)py;
    return __atomic_load_n(&main_interp->finalizing, __ATOMIC_RELAXED) != 0;
#else
    /* 3.10 and 3.11 mark only a subinterpreter's end that way; there
     * Py_FinalizeEx starts with threading's shutdown, which says so. */
    (void)main_interp;
    return threading_shutting_down(py);
#endif
}

/* Find the calling interpreter's GIL: its mutex and its `locked` flag.
 * GIL held, interpreter supported.  On success return true; return false
 * for a subinterpreter or when what we read does not look like the GIL. */
bool find_gil(const python_api *py, pthread_mutex_t **mutex, const int **locked,
              gil_switch_layout *layout)
{
#if !VANDREL_PY_KNOWN
    (void)py;
    (void)mutex;
    (void)locked;
    (void)layout;
    return false;
#else
    PyInterpreterState *interp = py->interpreter_get();
    if (interp == nullptr || interp != py->interpreter_main()) {
        return false;
    }
#if !VANDREL_PY_HAS_GIL_PER_INTERPRETER
    /* 3.10 and 3.11: one GIL for the runtime, inside _PyRuntime, which
     * the main interpreter points back at. */
    _PyRuntimeState *runtime = static_cast<_PyRuntimeState *>(py->runtime_state);
    if (runtime == nullptr || interp->runtime != runtime) {
        return false;
    }
    struct _gil_runtime_state *gil = &runtime->ceval.gil;
#else
    /* 3.12 on: a GIL per interpreter; the main interpreter's is its own,
     * inside its state.  Checked before anything is read through it. */
    struct _gil_runtime_state *gil = interp->ceval.gil;
    if (gil == nullptr || gil != &interp->_gil) {
        return false;
    }
#endif
#if VANDREL_PY_HAS_WRAPPED_ATOMICS
    /* Before 3.13 the two are wrapped in _Py_atomic_int/_address. */
    const int *locked_word = &gil->locked._value;
    void *const *holder_word = reinterpret_cast<void *const *>(&gil->last_holder._value);
#else
    const int *locked_word = &gil->locked;
    void *const *holder_word = reinterpret_cast<void *const *>(&gil->last_holder);
#endif
    /* The caller holds the GIL, so a layout we read right shows it taken
     * and last held by the caller's own thread state. */
    if (__atomic_load_n(locked_word, __ATOMIC_RELAXED) != 1) {
        return false;
    }
    PyThreadState *caller = py->thread_state_get();
    if (__atomic_load_n(holder_word, __ATOMIC_RELAXED) != caller) {
        /* A thread state swapped in without letting go of the GIL (this
         * thread ran a subinterpreter sharing it) leaves last_holder at
         * the other one until the GIL is next taken, which records the
         * taker: let it go and take it back.  The caller checks the
         * session's phase afterwards, GIL held again. */
        PyThreadState *state = py->eval_save_thread();
        py->eval_restore_thread(state);
        if (__atomic_load_n(locked_word, __ATOMIC_RELAXED) != 1 ||
            __atomic_load_n(holder_word, __ATOMIC_RELAXED) != caller) {
            return false;
        }
    }
    *mutex = &gil->mutex;
    *locked = locked_word;
    /* For telling a forced hand-over from a voluntary one (see
     * note_gil_mutex_unlock): whether the holder was asked to drop the
     * GIL, and the mutex drop_gil() waits on for the switch.  The hooks
     * read the request as a 32-bit word. */
    static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the low half of a word comes first");
    layout->switch_mutex = &gil->switch_mutex;
    layout->last_holder = holder_word;
#if VANDREL_PY_HAS_EVAL_BREAKER_DROP_BIT
    /* 3.13 on: a bit of the holder's eval_breaker, set by the waiter. */
    static_assert(_PY_GIL_DROP_REQUEST_BIT <= UINT32_MAX, "the drop bit is in the low half");
    layout->fixed_request = nullptr;
    layout->request_base = holder_word;
    layout->request_offset = offsetof(PyThreadState, eval_breaker);
    layout->request_mask = _PY_GIL_DROP_REQUEST_BIT;
    layout->request_cleared_by_taker = false;
#else
    /* Before: the interpreter's gil_drop_request, 0 or 1, so a layout read
     * right shows one of the two.  (A subinterpreter sharing the GIL has a
     * flag of its own: its threads' forced drops pass for voluntary ones.) */
    const int *request = &interp->ceval.gil_drop_request._value;
    if ((__atomic_load_n(request, __ATOMIC_RELAXED) & ~1) != 0) {
        return false;
    }
    layout->fixed_request = const_cast<int *>(request);
    layout->request_base = &layout->fixed_request;
    layout->request_offset = 0;
    layout->request_mask = UINT32_MAX;
    layout->request_cleared_by_taker = true;
#endif
    return true;
#endif
}

}  // namespace vandrel
