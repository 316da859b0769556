/* The direct walk: the frames of sixteen threads at a time, read in lock
 * step from the interpreter's own structures so that their cache misses
 * overlap, and the snapshots they leave. */
#include "dump/dump.h"

#include <stdlib.h>
#include <string.h>

namespace vandrel {
namespace dump {

#ifdef VANDREL_FRAME_READER

walk_lane kept_lanes[LANE_COUNT];

/* Give back lane storage grown past `keep` entries (0: all of it). */
void trim_lanes(walk_lane *lanes, size_t keep)
{
    for (int i = 0; i < LANE_COUNT; i++) {
        if (lanes[i].capacity > keep) {
            free(lanes[i].frames);
            lanes[i].frames = nullptr;
            lanes[i].capacity = 0;
        }
    }
}

/* Append one frame to the lane's record.  On success return true; on
 * allocation failure mark the lane full and return false. */
bool lane_record(walk_lane *lane, PyCodeObject *code, int instruction)
{
    if (lane->full) {
        return false;
    }
    if (lane->recorded == lane->capacity) {
        size_t new_capacity = lane->capacity > 0 ? lane->capacity * 2 : 256;
        frame_ref *grown =
            static_cast<frame_ref *>(realloc(lane->frames, new_capacity * sizeof(frame_ref)));
        if (grown == nullptr) {
            lane->full = true;
            return false;
        }
        lane->frames = grown;
        lane->capacity = new_capacity;
    }
    lane->frames[lane->recorded].code = code;
    lane->frames[lane->recorded].instruction = instruction;
    lane->recorded++;
    return true;
}

/* Walk the lanes' threads in lock step until every walk has ended,
 * recording the frames to show and counting the ones cut off (a frame
 * that cannot be recorded for lack of memory counts as cut off: the
 * thread cannot be walked again later). */
void walk_lanes(const dump_context *ctx, walk_lane *lanes, int lane_count)
{
    PyTypeObject *code_type = ctx->api->code_type;
    for (int i = 0; i < lane_count; i++) {
        lanes[i].cursor = thread_top_frame(lanes[i].tstate);
        if (lanes[i].cursor != nullptr) {
            frame_prefetch(lanes[i].cursor);
        }
        lanes[i].count = frame_count{0, 0};
        lanes[i].recorded = 0;
        lanes[i].full = false;
    }
    bool walking = true;
    while (walking) {
        walking = false;
        for (int i = 0; i < lane_count; i++) {
            walk_lane *lane = &lanes[i];
            interp_frame *frame = lane->cursor;
            if (frame == nullptr) {
                continue;
            }
            interp_frame *next = frame_previous(frame);
            lane->cursor = next;
            walking = true;
            if (next != nullptr) {
                /* Fetched while the other lanes are visited: by the next
                 * round it is in cache.  Both ends of the fields read. */
                frame_prefetch(next);
            }
            PyCodeObject *code;
            int instruction;
            if (frame_shown(code_type, frame, &code, &instruction) && !code_hidden(code)
                && frame_wanted(ctx, &lane->count) && !lane_record(lane, code, instruction)) {
                lane->count.written--;
                lane->count.left_out++;
            }
        }
    }
}
/* Copy `count` frames to the end of the store.  On success return true;
 * return false when out of memory. */
bool store_add_frames(snapshot_store *store, const frame_ref *frames, size_t count)
{
    void *items = store->frames;
    if (!grow_to(&items, &store->frame_capacity, store->frame_count + count, sizeof(frame_ref))) {
        return false;
    }
    store->frames = static_cast<frame_ref *>(items);
    if (count > 0) {
        memcpy(store->frames + store->frame_count, frames, count * sizeof(frame_ref));
    }
    store->frame_count += count;
    return true;
}

/* Storage for the snapshots, kept between dumps for whoever holds the
 * line cache, like the lanes. */
snapshot_store kept_store;

void trim_kept_storage()
{
    trim_lanes(kept_lanes, 4096);
    if (kept_store.capacity > 4096 || kept_store.frame_capacity > (64u << 10)) {
        store_free(&kept_store);
    }
}

/* Walk the threads of lanes[0 .. lane_count) and keep what each shows.
 * Head lock held.  On success return true; return false when the store
 * is out of memory (the threads not kept are left out). */
bool keep_lanes(const dump_context *ctx, snapshot_store *store, walk_lane *lanes, int lane_count,
                PyThreadState *current)
{
    walk_lanes(ctx, lanes, lane_count);
    for (int i = 0; i < lane_count; i++) {
        walk_lane *lane = &lanes[i];
        thread_snapshot *snapshot = store_add_thread(store);
        if (snapshot == nullptr) {
            return false;
        }
        (void)copy_thread_ids(ctx->api, lane->tstate, snapshot);
        snapshot->is_current = lane->tstate == current;
        snapshot->count = lane->count;
        snapshot->first_frame = store->frame_count;
        if (store_add_frames(store, lane->frames, lane->recorded)) {
            snapshot->recorded = lane->recorded;
        }
        else {
            snapshot->count.left_out += snapshot->count.written;
            snapshot->count.written = 0;
        }
    }
    return true;
}

/* Snapshot the calling thread, then the other started threads of its
 * interpreter, walking their frames in lanes.  Head lock held. */
void snapshot_threads_direct(const dump_context *ctx, snapshot_store *store, walk_lane *lanes,
                             PyThreadState *current, bool only_current)
{
    const python_api *api = ctx->api;
    PyThreadState *next = only_current
                              ? nullptr
                              : api->interpreter_thread_head(api->thread_state_interpreter(current));
    lanes[0].tstate = current;
    int lane_count = 1;
    for (;;) {
        for (; next != nullptr && lane_count < LANE_COUNT; next = api->thread_state_next(next)) {
            thread_snapshot ids;
            if (next != current && copy_thread_ids(api, next, &ids)) {
                lanes[lane_count++].tstate = next;
            }
        }
        if (lane_count == 0 || !keep_lanes(ctx, store, lanes, lane_count, current)) {
            return;
        }
        lane_count = 0;
    }
}

/* Write one snapshot whose frames are in the store. */
void write_snapshot_direct(const dump_context *ctx, const snapshot_store *store,
                           const thread_snapshot *snapshot)
{
    write_thread_header(ctx, snapshot);
    const frame_ref *frames = store->frames + snapshot->first_frame;
    size_t f = 0;
    while (f < snapshot->recorded) {
        const frame_ref *ref = &frames[f];
        size_t run = 1;
        while (f + run < snapshot->recorded && frames[f + run].code == ref->code
               && frames[f + run].instruction == ref->instruction) {
            run++;
        }
        append_code_location_run(ctx, ref->code, ref->instruction, run);
        f += run;
    }
    write_thread_footer(ctx, &snapshot->count);
}

#endif /* VANDREL_FRAME_READER */

}  // namespace dump
}  // namespace vandrel
