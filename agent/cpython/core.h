/* The interpreter's internal headers for the layer's units that read the
 * runtime's and the interpreter's own state (the head lock, the GIL).
 * Included first in such a unit, before any other header of Python's:
 * 3.12's public headers define some internals differently unless they are
 * told the core is being built.
 *
 * The one answer to the internal headers' atomics: 3.10 to 3.12 declare
 * them with C11's <stdatomic.h>, which is not C++.  Their other variant,
 * for compilers with GCC's builtins, wraps the same plain int and
 * uintptr_t in the same structs, so the layout read is the same. */
#ifndef VANDREL_CPYTHON_CORE_H
#define VANDREL_CPYTHON_CORE_H

#include "cpython/version.h"

#if VANDREL_PY_FRAMES_KNOWN
#define Py_BUILD_CORE 1
#if VANDREL_PY_HAS_WRAPPED_ATOMICS
#undef HAVE_STD_ATOMIC
#endif
#endif

#include "cpython/python_api.h"

#if VANDREL_PY_FRAMES_KNOWN
#include "internal/pycore_ceval.h"
#include "internal/pycore_interp.h"
#include "internal/pycore_runtime.h"
#endif

#endif /* VANDREL_CPYTHON_CORE_H */
