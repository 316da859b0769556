/* Test helper: hold the runtime's head lock (the one sys._current_frames()
 * takes), as CPython does while it runs code that may call back into
 * Python, such as clearing thread states.  A PyMutex from 3.13 on, a
 * PyThread_type_lock before. */
/* Before Python.h: 3.12's public headers define some internals as macros
 * unless they are told the core is being built. */
#define Py_BUILD_CORE 1
#include <Python.h>
#include "internal/pycore_runtime.h"

void hold_head_lock(void)
{
#if PY_VERSION_HEX >= 0x030D0000
    PyMutex_Lock(&_PyRuntime.interpreters.mutex);
#else
    PyThread_acquire_lock(_PyRuntime.interpreters.mutex, WAIT_LOCK);
#endif
}

void release_head_lock(void)
{
#if PY_VERSION_HEX >= 0x030D0000
    PyMutex_Unlock(&_PyRuntime.interpreters.mutex);
#else
    PyThread_release_lock(_PyRuntime.interpreters.mutex);
#endif
}
