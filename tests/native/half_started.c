/* Test helper: a thread state caught in the middle of its start, as
 * PyGILState_Ensure() leaves one for an instant: already in the
 * interpreter's list, its thread id written, its native id not yet. */
#include <Python.h>

PyAPI_FUNC(PyThreadState *) _PyThreadState_New(PyInterpreterState *interp, int whence);

/* GIL held.  Returns the new thread state, or NULL when out of memory. */
PyThreadState *half_started(unsigned long ident)
{
    PyThreadState *tstate = _PyThreadState_New(PyInterpreterState_Get(), 0);
    if (tstate != NULL) {
        tstate->thread_id = ident;
    }
    return tstate;
}

/* GIL held. */
void discard(PyThreadState *tstate)
{
    PyThreadState_Clear(tstate);
    PyThreadState_Delete(tstate);
}
