/* Reading a thread's Python frames straight from the interpreter's own
 * structures, for the CPython version the agent is compiled against.
 *
 * Each version keeps its frames differently:
 *   3.10       a chain of frame objects (tstate->frame, f_back, f_lasti);
 *   3.11-3.12  _PyInterpreterFrame (tstate->cframe->current_frame,
 *              previous, f_code, prev_instr; 3.12 adds C-stack shims);
 *   3.13       _PyInterpreterFrame (tstate->current_frame, f_executable
 *              as an object, instr_ptr);
 *   3.14-3.15  the same, f_executable a tagged stack reference, shims
 *              owned by the interpreter.
 * The helpers below show the frames traceback and sys._current_frames()
 * show, as CPython's own _PyFrame_IsIncomplete() decides per version.
 *
 * The struct layouts come from the compiled headers, so they are valid
 * only in the version built against (python_api's direct_access); from
 * 3.13 on the running interpreter's published layout is checked too
 * (frame_layout_confirmed). */
#ifndef VANDREL_FRAME_READER_H
#define VANDREL_FRAME_READER_H

#include "cpython/version.h"
#include "cpython/python_api.h"

/* No reader for versions this agent does not know: those take the public
 * frame API.  The free-threaded 3.13 has it, for the checked reader only
 * (python_api's reader_access; never direct_access). */
#if VANDREL_PY_FRAMES_KNOWN
#define VANDREL_FRAME_READER 1
#endif

#ifdef VANDREL_FRAME_READER
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#if VANDREL_PY_HAS_FRAME_OBJECT_CHAIN
#include <frameobject.h>
#else
#define Py_BUILD_CORE 1
#include "internal/pycore_frame.h"
#if VANDREL_PY_HAS_PUBLISHED_LAYOUT
#include "internal/pycore_runtime.h"
#endif
#if VANDREL_PY_HAS_STACKREF
#include "internal/pycore_stackref.h"
#endif
#undef Py_BUILD_CORE
#endif
#pragma GCC diagnostic pop
#endif /* VANDREL_FRAME_READER */

namespace vandrel {

/* Whether the running interpreter's own description of its layout (3.13
 * on: _Py_DebugOffsets at the start of _PyRuntime) agrees with the layout
 * compiled in, for every field the frame reader and the dump read.  Return
 * true before 3.13 (nothing published; the version check stands alone).
 * Return false when runtime_state is NULL, the table is missing or any
 * offset differs. */
bool frame_layout_confirmed(const void *runtime_state);

#ifdef VANDREL_FRAME_READER

#if VANDREL_PY_HAS_FRAME_OBJECT_CHAIN
using interp_frame = PyFrameObject;
#else
using interp_frame = _PyInterpreterFrame;
#endif

/* The thread's innermost frame, shown or not; NULL when it runs no
 * Python code. */
inline interp_frame *thread_top_frame(PyThreadState *tstate)
{
#if VANDREL_PY_HAS_FRAME_OBJECT_CHAIN
    return tstate->frame;
#elif VANDREL_PY_HAS_CFRAME
    return tstate->cframe != nullptr ? tstate->cframe->current_frame : nullptr;
#else
    return tstate->current_frame;
#endif
}

/* The frame that called `frame`, or NULL. */
inline interp_frame *frame_previous(interp_frame *frame)
{
#if VANDREL_PY_HAS_FRAME_OBJECT_CHAIN
    return frame->f_back;
#else
    return frame->previous;
#endif
}

/* Start loading the fields frame_shown() and frame_previous() read. */
inline void frame_prefetch(interp_frame *frame)
{
    __builtin_prefetch(frame);
#if VANDREL_PY_HAS_FRAME_OBJECT_CHAIN
    __builtin_prefetch(&frame->f_lasti);
#else
    __builtin_prefetch(&frame->owner);
#endif
}

/* Whether `frame` is one that traceback shows: not a C-stack shim, not a
 * frame still setting up (before its code's first traceable instruction,
 * unless a generator's).  On yes store its code object and instruction
 * index (in code units; what PyCode_Addr2Line wants divided by the unit
 * size).  Reads as few cache lines as it can. */
inline bool frame_shown(PyTypeObject *code_type, interp_frame *frame, PyCodeObject **code_out,
                        int *instruction_out)
{
#if VANDREL_PY_HAS_FRAME_OBJECT_CHAIN
    PyCodeObject *code = frame->f_code;
    if (code == nullptr || Py_TYPE(code) != code_type) {
        return false;
    }
    /* -1 before the first instruction: PyCode_Addr2Line() then answers
     * the first line, as PyFrame_GetLineNumber() does. */
    *code_out = code;
    *instruction_out = frame->f_lasti;
    return true;
#else
#if VANDREL_PY_HAS_STACKREF
    if (frame->owner >= FRAME_OWNED_BY_INTERPRETER) {
        return false;
    }
    PyObject *executable = reinterpret_cast<PyObject *>(frame->f_executable.bits & ~Py_TAG_BITS);
    _Py_CODEUNIT *current = frame->instr_ptr;
#elif VANDREL_PY_HAS_FRAME_EXECUTABLE
    if (frame->owner == FRAME_OWNED_BY_CSTACK) {
        return false;
    }
    PyObject *executable = frame->f_executable;
    _Py_CODEUNIT *current = frame->instr_ptr;
#else
#if VANDREL_PY_HAS_CSTACK_SHIMS
    if (frame->owner == FRAME_OWNED_BY_CSTACK) {
        return false;
    }
#endif
    PyObject *executable = reinterpret_cast<PyObject *>(frame->f_code);
    /* prev_instr: the unit before the next instruction, the frame's
     * "last instruction" in 3.11 and 3.12. */
    _Py_CODEUNIT *current = frame->prev_instr;
#endif
    if (executable == nullptr || Py_TYPE(executable) != code_type) {
        return false;
    }
    PyCodeObject *code = reinterpret_cast<PyCodeObject *>(executable);
    /* _PyCode_CODE(): the bytecode sits inline at the end of the code object. */
    _Py_CODEUNIT *first = reinterpret_cast<_Py_CODEUNIT *>(code->co_code_adaptive);
    if (current < first + code->_co_firsttraceable && frame->owner != FRAME_OWNED_BY_GENERATOR) {
        return false;
    }
    *code_out = code;
    *instruction_out = static_cast<int>(current - first);
    return true;
#endif
}

/* The line `code` is at at `instruction` (as frame_shown() gives it). */
inline int code_line(const python_api *api, PyCodeObject *code, int instruction)
{
    return api->code_addr2line(code, instruction * static_cast<int>(sizeof(_Py_CODEUNIT)));
}

#endif /* VANDREL_FRAME_READER */

/* A thread state's ids, read whole-word (a value being written is seen as
 * before or after): threading's ident, and the native id where the thread
 * state carries it (else 0).  Only when python_api's layout_matches.
 * Return false for a thread state not yet bound to its OS thread (still
 * starting: PyGILState_Ensure() lists it before it writes its ids). */
inline bool read_thread_ids(PyThreadState *tstate, unsigned long *ident, unsigned long *native_id)
{
    *ident = __atomic_load_n(&tstate->thread_id, __ATOMIC_ACQUIRE);
#if VANDREL_PY_HAS_NATIVE_THREAD_ID
    *native_id = __atomic_load_n(&tstate->native_thread_id, __ATOMIC_ACQUIRE);
    return *ident != 0 && *native_id != 0;
#else
    *native_id = 0;
    return *ident != 0;
#endif
}

}  // namespace vandrel

#endif /* VANDREL_FRAME_READER_H */
