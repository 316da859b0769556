/* Where CPython 3.10 to 3.12 keep the runtime's head lock, the lock
 * sys._current_frames() holds while it reads the thread lists.  Their
 * internal headers need C11 atomics, which C++ cannot include, so the
 * offsets come from a C unit compiled against the same headers. */
#ifndef VANDREL_RUNTIME_LAYOUT_H
#define VANDREL_RUNTIME_LAYOUT_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Byte offsets in _PyRuntimeState of interpreters.mutex (a
 * PyThread_type_lock) and of interpreters.main.  Defined only when the
 * agent is built against CPython 3.10 to 3.12 with a GIL. */
extern const size_t vandrel_head_lock_offset;
extern const size_t vandrel_main_interpreter_offset;

#ifdef __cplusplus
}
#endif

#endif /* VANDREL_RUNTIME_LAYOUT_H */
