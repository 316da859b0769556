/* What both modules tell a free-threaded interpreter at import.
 *
 * A free-threaded CPython (built with Py_GIL_DISABLED) switches the GIL back
 * on for the whole process when it imports a single-phase module that has
 * not declared that it runs without it.  Both modules can: everything they
 * keep is written once by their init function, under the import lock and
 * before the module object exists, and only read afterwards; the agent's
 * entry points are called as plain C functions.  On builds with a GIL this
 * is a no-op. */
#ifndef VANDREL_FREE_THREADING_H
#define VANDREL_FREE_THREADING_H

#include <Python.h>

/* Declare that `module` (a new reference, or NULL) needs no GIL and return
 * it; on failure drop it and return NULL with the exception set. */
static inline PyObject *declare_gil_not_used(PyObject *module)
{
#ifdef Py_GIL_DISABLED
    if (module != NULL && PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED) < 0) {
        Py_DECREF(module);
        return NULL;
    }
#endif
    return module;
}

#endif /* VANDREL_FREE_THREADING_H */
