/* The walk through the public frame-object API: what the dump does on an
 * interpreter whose frames it cannot read in place. */
#include "dump/dump.h"

#include <string.h>

namespace vandrel {
namespace dump {

/* Append the line of a frame found through the public API.  The code
 * object's fields are read in place only when its layout is the compiled
 * one; otherwise through attribute lookup, which on a code object (a type
 * that cannot be subclassed) runs no Python code. */
void append_public_frame_line(const dump_context *ctx, PyCodeObject *code, int line)
{
    const python_api *api = ctx->api;
    if (api->layout_matches) {
        append_frame_line(ctx, code->co_filename, line, code->co_name);
        return;
    }
    PyObject *object = reinterpret_cast<PyObject *>(code);
    PyObject *filename = ctx->filename_key != nullptr
                             ? api->object_get_attr(object, ctx->filename_key) : nullptr;
    PyObject *name = ctx->code_name_key != nullptr
                         ? api->object_get_attr(object, ctx->code_name_key) : nullptr;
    api->err_clear();
    append_frame_line(ctx, filename, line, name);
    if (filename != nullptr) {
        api->decref(filename);
    }
    if (name != nullptr) {
        api->decref(name);
    }
}

/* Walk a thread's frames through the public frame-object API, from its
 * top frame `frame` (an owned reference, consumed; may be NULL). */
void dump_frames_public(const dump_context *ctx, PyFrameObject *frame, frame_count *count)
{
    const python_api *api = ctx->api;
    while (frame != nullptr) {
        if (frame_wanted(ctx, count)) {
            PyCodeObject *code = api->frame_code(frame);
            int line = api->frame_line_number(frame);
            if (code != nullptr) {
                append_public_frame_line(ctx, code, line);
                api->decref(reinterpret_cast<PyObject *>(code));
            }
        }
        PyFrameObject *back = api->frame_back(frame);
        api->decref(reinterpret_cast<PyObject *>(frame));
        frame = back;
    }
}


/* Keep one thread with an owned reference to its top frame object, unless
 * it is still starting.  Head lock held when there is one.  On success
 * return true; return false when out of memory. */
bool snapshot_public_one(const python_api *api, snapshot_store *store, PyThreadState *tstate,
                         bool is_current)
{
    thread_snapshot ids;
    memset(&ids, 0, sizeof ids);
    if (!copy_thread_ids(api, tstate, &ids) && !is_current) {
        return true;
    }
    thread_snapshot *snapshot = store_add_thread(store);
    if (snapshot == nullptr) {
        return false;
    }
    *snapshot = ids;
    snapshot->is_current = is_current;
    snapshot->top = api->thread_state_frame(tstate);
    return true;
}

/* Snapshot the calling thread, then the other started threads of its
 * interpreter.  Head lock held when there is one. */
void snapshot_threads_public(const python_api *api, snapshot_store *store, PyThreadState *current,
                             bool only_current)
{
    if (!snapshot_public_one(api, store, current, true) || only_current) {
        return;
    }
    for (PyThreadState *tstate = api->interpreter_thread_head(api->thread_state_interpreter(current));
         tstate != nullptr; tstate = api->thread_state_next(tstate)) {
        if (tstate != current && !snapshot_public_one(api, store, tstate, false)) {
            return;
        }
    }
}

/* Write one snapshot by walking its frame objects; consumes its top. */
void write_snapshot_public(const dump_context *ctx, thread_snapshot *snapshot)
{
    write_thread_header(ctx, snapshot);
    frame_count count = {0, 0};
    PyFrameObject *top = snapshot->top;
    snapshot->top = nullptr;
    dump_frames_public(ctx, top, &count);
    write_thread_footer(ctx, &count);
}

}  // namespace dump
}  // namespace vandrel
