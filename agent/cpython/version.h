/* What the agent knows of the CPython it is compiled against, said once.
 *
 * This folder (agent/cpython/) is the only part of the agent that names a
 * CPython version: at compile time here, at run time in python_api.cpp.
 * Everything else asks for a feature below, or for what the layer's
 * functions answer.  Supporting a new version starts with the gate and the
 * features in this file.
 *
 * Each feature is 1 or 0, defined whatever the version, so a test reads
 * `#if VANDREL_PY_HAS_...`. */
#ifndef VANDREL_CPYTHON_VERSION_H
#define VANDREL_CPYTHON_VERSION_H

#include <patchlevel.h>
#include <pyconfig.h>

/* The gate: versions whose frames, GIL and head lock this agent knows,
 * with a GIL.  Built against any other (a free-threaded build, a version
 * not known yet), the dump takes the public frame API and the GIL
 * interceptor reports itself not available. */
#if !defined(Py_GIL_DISABLED) && PY_VERSION_HEX >= 0x030A0000 && PY_VERSION_HEX < 0x03100000
#define VANDREL_PY_KNOWN 1
#else
#define VANDREL_PY_KNOWN 0
#endif

/* A free-threaded build (no GIL): threads run truly in parallel, so only
 * the checked reader (unlocked_reader.h) may read another thread's
 * frames, and there is no GIL to intercept. */
#ifdef Py_GIL_DISABLED
#define VANDREL_PY_FREE_THREADED 1
#else
#define VANDREL_PY_FREE_THREADED 0
#endif

/* Versions whose thread states, frames and code objects this agent reads:
 * the known ones, and the free-threaded 3.13, laid out as 3.13 once the
 * object header's own shape is compiled in (3.14's free-threaded build
 * keeps per-thread copies of the bytecode, which the reader does not know). */
#if VANDREL_PY_KNOWN || (VANDREL_PY_FREE_THREADED && PY_VERSION_HEX >= 0x030D0000 \
                         && PY_VERSION_HEX < 0x030E0000)
#define VANDREL_PY_FRAMES_KNOWN 1
#else
#define VANDREL_PY_FRAMES_KNOWN 0
#endif

/* ---- Frames -------------------------------------------------------------- */

/* Frames are a chain of frame objects (tstate->frame, f_back, f_lasti);
 * otherwise _PyInterpreterFrame. */
#define VANDREL_PY_HAS_FRAME_OBJECT_CHAIN (PY_VERSION_HEX < 0x030B0000)
/* The thread's top frame hangs off tstate->cframe. */
#define VANDREL_PY_HAS_CFRAME (PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030D0000)
/* Frames owned by the C stack (shims) sit in the chain. */
#define VANDREL_PY_HAS_CSTACK_SHIMS (PY_VERSION_HEX >= 0x030C0000)
/* The frame's code is f_executable and its place instr_ptr (before: f_code
 * and prev_instr). */
#define VANDREL_PY_HAS_FRAME_EXECUTABLE (PY_VERSION_HEX >= 0x030D0000)
/* f_executable is a tagged stack reference; the shims are owned by the
 * interpreter. */
#define VANDREL_PY_HAS_STACKREF (PY_VERSION_HEX >= 0x030E0000)

/* ---- Thread states, strings ---------------------------------------------- */

/* PyThreadState carries native_thread_id. */
#define VANDREL_PY_HAS_NATIVE_THREAD_ID (PY_VERSION_HEX >= 0x030B0000)
/* A str may lack its compact form (a legacy string not made ready). */
#define VANDREL_PY_HAS_LEGACY_STR (PY_VERSION_HEX < 0x030C0000)
/* PyThreadState_GET() answers the GIL holder's state whichever thread
 * asks (run-time twin: python_api::current_is_holders). */
#define VANDREL_PY_HAS_GLOBAL_CURRENT_STATE (PY_VERSION_HEX < 0x030C0000)

/* ---- The runtime's head lock --------------------------------------------- */

/* A PyMutex inside _PyRuntime; otherwise a PyThread_type_lock. */
#define VANDREL_PY_HAS_PYMUTEX_HEAD_LOCK (PY_VERSION_HEX >= 0x030D0000)
/* A forked child takes the head lock before it makes it afresh (CPython
 * gh-112275), so it hangs if another thread held it at the fork. */
#define VANDREL_PY_HAS_HEAD_LOCK_FORK_HANG (PY_VERSION_HEX < 0x030C0000)
/* The runtime publishes its layout (_Py_DebugOffsets) at its start. */
#define VANDREL_PY_HAS_PUBLISHED_LAYOUT (PY_VERSION_HEX >= 0x030D0000)

/* ---- The GIL --------------------------------------------------------------- */

/* One GIL per interpreter, inside its state (before: one in _PyRuntime). */
#define VANDREL_PY_HAS_GIL_PER_INTERPRETER (PY_VERSION_HEX >= 0x030C0000)
/* The interpreter state says when the main interpreter is finalizing. */
#define VANDREL_PY_HAS_INTERP_FINALIZING (PY_VERSION_HEX >= 0x030C0000)
/* The GIL's words are wrapped in _Py_atomic_int/_address, and the internal
 * headers declare them with C11's <stdatomic.h> (see internal.h). */
#define VANDREL_PY_HAS_WRAPPED_ATOMICS (PY_VERSION_HEX < 0x030D0000)
/* The drop request is a bit of the holder's eval_breaker, set by the
 * waiter; before, the interpreter's gil_drop_request flag, which the
 * thread taking the GIL clears. */
#define VANDREL_PY_HAS_EVAL_BREAKER_DROP_BIT (PY_VERSION_HEX >= 0x030D0000)

/* Where asyncio keeps a thread's running loop: the thread state's dict
 * (3.10-3.12; 3.10 and 3.11 wrap it in a holder with the pid), or a field
 * of the thread state (3.13 on). */
#define VANDREL_PY_HAS_RUNNING_LOOP_HOLDER (PY_VERSION_HEX < 0x030C0000)
#define VANDREL_PY_HAS_RUNNING_LOOP_FIELD (PY_VERSION_HEX >= 0x030D0000)
/* Each thread state heads a list of its pending native tasks, and
 * _asyncio publishes its task layout for debuggers (AsyncioDebug). */
#define VANDREL_PY_HAS_TASK_LISTS (PY_VERSION_HEX >= 0x030E0000)
/* A coroutine suspended in `await` may also be marked locked (while
 * another thread sends into it); the frame and what it awaits are the
 * same. */
#define VANDREL_PY_HAS_LOCKED_YIELD_FROM (PY_VERSION_HEX >= 0x030F0000)
/* Where a suspended coroutine keeps what it awaits, counted from the top
 * of its frame's value stack: the top itself, or (3.15) the slot below,
 * the top being the value to send, empty while suspended. */
#define VANDREL_PY_AWAITED_STACK_DEPTH (PY_VERSION_HEX >= 0x030F0000 ? 2 : 1)

#endif /* VANDREL_CPYTHON_VERSION_H */
