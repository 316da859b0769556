/* Test helper: hold the runtime's head lock (the one sys._current_frames()
 * takes), as CPython does while it runs code that may call back into
 * Python, such as clearing thread states. */
#include <Python.h>
#define Py_BUILD_CORE 1
#include "internal/pycore_runtime.h"

void hold_head_lock(void)
{
    PyMutex_Lock(&_PyRuntime.interpreters.mutex);
}

void release_head_lock(void)
{
    PyMutex_Unlock(&_PyRuntime.interpreters.mutex);
}
