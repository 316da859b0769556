/* Each thread's running asyncio event loop, read from its thread state:
 * the loop asyncio.get_running_loop() answers on that thread. */
#ifndef VANDREL_CPYTHON_RUNNING_LOOP_H
#define VANDREL_CPYTHON_RUNNING_LOOP_H

#include "cpython/python_api.h"

namespace vandrel {

/* A new list of (ident, native_id, loop), one per thread of the calling
 * interpreter that runs an event loop now (native_id 0 where the thread
 * state does not carry it).  The thread list is read under the runtime's
 * head lock.  Only when layout_matches; else an empty list.  NULL with an
 * exception set when a list cannot be made.  GIL held. */
PyObject *running_loops(const python_api *api);

}  // namespace vandrel

#endif /* VANDREL_CPYTHON_RUNNING_LOOP_H */
