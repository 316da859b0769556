/* Test helper: delete thread states without holding the GIL, as C code
 * may (PyThreadState_Delete() does not need it), all in one stretch so
 * that a dump on another thread runs meanwhile. */
#include <Python.h>

/* GIL held on entry and on return; released in between.  Each state must
 * have been cleared (PyThreadState_Clear) and not be current anywhere. */
void delete_unlocked(PyThreadState **states, int count)
{
    Py_BEGIN_ALLOW_THREADS
    for (int i = 0; i < count; i++) {
        PyThreadState_Delete(states[i]);
    }
    Py_END_ALLOW_THREADS
}
