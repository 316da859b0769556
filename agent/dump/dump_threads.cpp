/* dump_threads: write the Python stack of every thread of the calling
 * interpreter to a file descriptor, faulthandler style.
 *
 * On the interpreter the agent was built for (3.10 to 3.15) the frames
 * are read straight from the interpreter's own frame structures
 * (frame_reader.h), as faulthandler and traceback.c do, sixteen threads at
 * a time so that their cache misses overlap, and every distinct code
 * location is formatted once per dump.  On any other interpreter the
 * frames are walked through the public frame-object API.  The caller holds the GIL; the dump runs no
 * Python code and never leaves an exception set.  The only lock it takes
 * is the runtime's head lock, briefly, to read the thread list. */
#include "agent.h"
#include "dump/dump.h"

#include "cpython/head_lock.h"

#include <fcntl.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

namespace vandrel {

namespace {

const char NOT_HOLDING_GIL[] =
    "vandrel: dump_threads: the calling thread does not hold the GIL; nothing dumped\n";
const char UNSUPPORTED_BUILD[] =
    "vandrel: dump_threads: unsupported interpreter build; nothing dumped\n";
const char NO_SAFE_READER[] =
    "vandrel: dump_threads: threads run in parallel here and cannot be read safely; "
    "nothing dumped\n";

/* Write a one-line message, ignoring failure: there is no one to tell. */
void write_message(int fd, const char *message, size_t size)
{
    (void)write_fully(fd, message, size);
}

/* Where the "current" thread state is the GIL holder's whichever thread
 * asks: is `current` the calling thread's own?  The thread-local state
 * PyGILState keeps is only ever the main interpreter's, so a thread
 * running a subinterpreter is known by the OS thread its state belongs
 * to, where this interpreter's thread states can be read. */
bool is_callers(const python_api *api, PyThreadState *current)
{
    if (current == api->gil_state_this_thread()) {
        return true;
    }
    unsigned long ident = 0, native_id = 0;
    return api->layout_matches && read_thread_ids(current, &ident, &native_id) &&
           ident == static_cast<unsigned long>(pthread_self());
}

}  // namespace

using namespace dump;

void dump_threads(int32_t fd, int64_t max_frames)
{
    dump_threads_with_sections(fd, max_frames, nullptr);
}

void dump::append_thread_section(fd_output *out, const thread_sections *sections,
                                 unsigned long ident)
{
    if (sections == nullptr) {
        return;
    }
    for (size_t i = 0; i < sections->count; i++) {
        if (sections->idents[i] == ident && sections->texts[i] != nullptr) {
            fd_output_append(out, sections->texts[i], strlen(sections->texts[i]));
            return;
        }
    }
}

void dump::dump_threads_with_sections(int32_t fd, int64_t max_frames,
                                      const thread_sections *sections)
{
    /* A closed or invalid fd: nothing can be written, so nothing is done. */
    if (fd < 0 || fcntl(fd, F_GETFL) == -1) {
        return;
    }
    const python_api *api = python_api_get();
    if (api == nullptr) {
        return;
    }
    if (!api->object_header_matches) {
        write_message(fd, UNSUPPORTED_BUILD, sizeof UNSUPPORTED_BUILD - 1);
        return;
    }
    /* Where the "current" thread state is the GIL holder's, whichever
     * thread asks, it must also be this thread's own. */
    PyThreadState *current = api->thread_state_unchecked();
    bool current_is_global = api->current_is_holders;
    /* Py_IsInitialized() turns false early in finalization, while code (a
     * __del__ at module teardown) still runs with the GIL: what counts is
     * the caller's thread state.  Without a runtime there is no one to
     * tell. */
    if (current == nullptr && !api->is_initialized()) {
        return;
    }
    if (current == nullptr || (current_is_global && !is_callers(api, current))) {
        write_message(fd, NOT_HOLDING_GIL, sizeof NOT_HOLDING_GIL - 1);
        return;
    }

    PyObject *saved_type = nullptr, *saved_value = nullptr, *saved_traceback = nullptr;
    api->err_fetch(&saved_type, &saved_value, &saved_traceback);
    if (api->parallel_threads) {
        /* No GIL keeps the other threads still: every read of them must
         * be a checked one.  The sections come along: the caller made
         * them. */
        if (!dump_threads_in_parallel(api, fd, max_frames, sections)) {
            write_message(fd, NO_SAFE_READER, sizeof NO_SAFE_READER - 1);
        }
        api->err_clear();
        api->err_restore(saved_type, saved_value, saved_traceback);
        return;
    }

    fd_output out;
    fd_output_open(&out, fd);
    dump_context ctx;
    ctx.api = api;
    ctx.out = &out;
    ctx.max_frames = max_frames;
#ifdef VANDREL_FRAME_READER
    ctx.cache = api->direct_access ? line_cache_claim() : nullptr;
#else
    ctx.cache = nullptr;
#endif
    ctx.active = find_active_threads(api);
    thread_index threads = {nullptr, nullptr, 0};
    ctx.threads = ctx.active != nullptr && api->layout_matches
                      && thread_index_build(api, ctx.active, &threads)
                  ? &threads : nullptr;
    owned_refs owned_keys(api);
    ctx.name_key = owned_keys(api->unicode_from_string("_name"));
    ctx.native_id_key = owned_keys(api->unicode_from_string("_native_id"));
    ctx.filename_key = nullptr;
    ctx.code_name_key = nullptr;
    if (!api->layout_matches) {
        ctx.filename_key = owned_keys(api->unicode_from_string("co_filename"));
        ctx.code_name_key = owned_keys(api->unicode_from_string("co_name"));
    }
    api->err_clear();

    /* The current thread first, then the others in the interpreter's
     * order (most recently started first).  The thread list is read under
     * the runtime's head lock, the one sys._current_frames() takes: thread
     * states are deleted without this interpreter's GIL (by a
     * subinterpreter's import, or PyThreadState_Delete() called without
     * it), but never without that lock.  All the dump needs of a thread
     * state is copied meanwhile; frames and code objects stay put while
     * the GIL is held, so the formatting and writing happen after. */
    snapshot_store local_store;
    memset(&local_store, 0, sizeof local_store);
    snapshot_store *store = &local_store;
#ifdef VANDREL_FRAME_READER
    walk_lane local_lanes[LANE_COUNT];
    memset(local_lanes, 0, sizeof local_lanes);
    walk_lane *lanes = local_lanes;
    if (ctx.cache != nullptr) {
        /* Owned by whoever holds the line cache. */
        store = &kept_store;
        lanes = kept_lanes;
    }
    store->count = 0;
    store->frame_count = 0;
    /* An agent loaded into another version than it was built for cannot
     * reach the lock: the list is walked unlocked, as faulthandler does.
     * Without the lock that could be had, only the calling thread, alive
     * since it runs this, is read. */
    head_lock head = take_head_lock(api);
    bool only_current = head.reachable && !head.held;
    if (api->direct_access) {
        snapshot_threads_direct(&ctx, store, lanes, current, only_current);
    }
    else {
        snapshot_threads_public(api, store, current, only_current);
    }
    release_head_lock(api, &head);
    trim_lanes(local_lanes, 0);
#else
    snapshot_threads_public(api, store, current, false);
#endif
    for (size_t i = 0; i < store->count; i++) {
        thread_snapshot *snapshot = &store->threads[i];
        if (out.write_failed) {
            if (snapshot->top != nullptr) {
                api->decref(reinterpret_cast<PyObject *>(snapshot->top));
            }
            continue;
        }
        if (i > 0) {
            fd_output_append(&out, "\n", 1);
        }
#ifdef VANDREL_FRAME_READER
        if (api->direct_access) {
            write_snapshot_direct(&ctx, store, snapshot);
            append_thread_section(&out, sections, snapshot->ident);
            continue;
        }
#endif
        write_snapshot_public(&ctx, snapshot);
        append_thread_section(&out, sections, snapshot->ident);
    }
    if (sections != nullptr && sections->note != nullptr) {
        fd_output_append(&out, sections->note, strlen(sections->note));
    }
    if (store == &local_store) {
        store_free(&local_store);
    }

    fd_output_close(&out);
    if (unlocked_dumps_set()) {
        /* Names as they are now, for the next dump without the GIL. */
        name_cache_refresh(api);
    }
    if (ctx.threads != nullptr) {
        free(threads.idents);
        free(threads.threads);
    }
#ifdef VANDREL_FRAME_READER
    line_cache_release(ctx.cache);
#endif
    owned_keys.drop();
    api->err_clear();
    api->err_restore(saved_type, saved_value, saved_traceback);
}

}  // namespace vandrel
