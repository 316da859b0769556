#include "cpython/frame_reader.h"

#include <stddef.h>
#include <string.h>

namespace vandrel {

#if defined(VANDREL_FRAME_READER) && VANDREL_PY_HAS_PUBLISHED_LAYOUT
bool frame_layout_confirmed(const void *runtime_state)
{
    if (runtime_state == nullptr) {
        return false;
    }
    /* The table the runtime publishes for debuggers and profilers; it sits
     * at the very start of _PyRuntime. */
    const _Py_DebugOffsets *published =
        &static_cast<const _PyRuntimeState *>(runtime_state)->debug_offsets;
    if (memcmp(published->cookie, _Py_Debug_Cookie, sizeof published->cookie) != 0) {
        return false;
    }
    /* Same feature release; the micro version may differ. */
    /* And the same object header: free-threaded or not, as compiled. */
    if ((published->version >> 16) != (PY_VERSION_HEX >> 16)
        || published->free_threaded != VANDREL_PY_FREE_THREADED
        || published->pyobject.ob_type != offsetof(PyObject, ob_type)) {
        return false;
    }
    return published->runtime_state.interpreters_head
               == offsetof(_PyRuntimeState, interpreters.head)
        && published->thread_state.current_frame == offsetof(PyThreadState, current_frame)
        && published->thread_state.thread_id == offsetof(PyThreadState, thread_id)
        && published->thread_state.native_thread_id == offsetof(PyThreadState, native_thread_id)
        && published->interpreter_frame.previous == offsetof(_PyInterpreterFrame, previous)
        && published->interpreter_frame.executable == offsetof(_PyInterpreterFrame, f_executable)
        && published->interpreter_frame.instr_ptr == offsetof(_PyInterpreterFrame, instr_ptr)
        && published->interpreter_frame.owner == offsetof(_PyInterpreterFrame, owner)
        && published->code_object.filename == offsetof(PyCodeObject, co_filename)
        && published->code_object.name == offsetof(PyCodeObject, co_name)
        && published->code_object.co_code_adaptive == offsetof(PyCodeObject, co_code_adaptive);
}
#else
bool frame_layout_confirmed(const void * /*runtime_state*/)
{
    return true;
}
#endif

}  // namespace vandrel
