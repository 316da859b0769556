/* The runtime's head lock, the one sys._current_frames() holds while it
 * reads the thread lists: thread states are deleted without the GIL of
 * the interpreter that lists them, but never without this lock. */
#ifndef VANDREL_CPYTHON_HEAD_LOCK_H
#define VANDREL_CPYTHON_HEAD_LOCK_H

#include "cpython/python_api.h"

namespace vandrel {

/* The head lock as a caller holds it. */
struct head_lock {
    /* The lock could be reached at all; without it the list is walked
     * unlocked, as faulthandler does. */
    bool reachable;
    /* Taken; false when reachable but given up on. */
    bool held;
    void *lock; /* the interpreter's lock, whatever its kind */
};

/* Take the runtime's head lock, keeping the GIL; give up after about a
 * second.  Return what was reached and taken. */
head_lock take_head_lock(const python_api *api);
/* Release a lock taken by take_head_lock(); nothing when not held. */
void release_head_lock(const python_api *api, head_lock *lock);

}  // namespace vandrel

#endif /* VANDREL_CPYTHON_HEAD_LOCK_H */
