/* The GIL of the interpreter the agent was built against: where its words
 * are, and whether the running interpreter is one whose GIL the
 * interceptor can follow.  All GIL held. */
#ifndef VANDREL_CPYTHON_GIL_PLACE_H
#define VANDREL_CPYTHON_GIL_PLACE_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#include "cpython/python_api.h"

namespace vandrel {

/* Where the hooks see that a drop was forced: gil->switch_mutex, and the
 * drop request, a 32-bit word at (*request_base + request_offset) tested
 * with request_mask.  From 3.13 on the request is a bit of the holder's
 * eval_breaker: request_base is &gil->last_holder.  Before, it is the
 * interpreter's ceval.gil_drop_request flag: request_base points at
 * fixed_request, which holds its address.  Set by the start before the
 * hooks go live. */
struct gil_switch_layout {
    pthread_mutex_t *switch_mutex;
    /* &gil->last_holder: the holder's thread state, for its long holds. */
    void *const *last_holder;
    void *const *request_base;
    size_t request_offset;
    uint32_t request_mask;
    void *fixed_request;
    /* Before 3.13 the thread that takes the GIL clears the request, maybe
     * before drop_gil() looks at it: then the dropping thread skips the
     * wait for the switch and comes straight back. */
    bool request_cleared_by_taker;
};

/* Whether this build knows the GIL of the version it was built against
 * (3.10 to 3.15 with a GIL). */
bool gil_layout_known();

/* Has the main interpreter `main_interp` begun finalizing (from 3.12 its
 * own flag; before, threading's shutdown)?  Leaves no exception set. */
bool main_interpreter_finalizing(const python_api *py, PyInterpreterState *main_interp);

/* Find the calling interpreter's GIL: its mutex and its `locked` word, and
 * fill `layout` (which must stay where it is: it may point into itself).
 * Interpreter supported.  On success return true; return false for a
 * subinterpreter or when what is read does not look like the GIL. */
bool find_gil(const python_api *py, pthread_mutex_t **mutex, const int **locked,
              gil_switch_layout *layout);

}  // namespace vandrel

#endif /* VANDREL_CPYTHON_GIL_PLACE_H */
