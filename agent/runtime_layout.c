/* The head lock's place in the runtime state of CPython 3.10 to 3.12,
 * from the interpreter's own internal headers (see runtime_layout.h). */
#include <patchlevel.h>
#include <pyconfig.h>

#include "runtime_layout.h"

#if !defined(Py_GIL_DISABLED) && PY_VERSION_HEX >= 0x030A0000 && PY_VERSION_HEX < 0x030D0000
/* Before Python.h: 3.12's public headers define some internals as macros
 * unless they are told the core is being built. */
#define Py_BUILD_CORE 1
#include <Python.h>
#include "internal/pycore_runtime.h"

__attribute__((visibility("hidden"))) const size_t vandrel_head_lock_offset =
    offsetof(_PyRuntimeState, interpreters.mutex);
__attribute__((visibility("hidden"))) const size_t vandrel_main_interpreter_offset =
    offsetof(_PyRuntimeState, interpreters.main);
#endif
