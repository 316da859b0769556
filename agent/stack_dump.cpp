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
#include "fd_output.h"

#include "cpython/frame_reader.h"
#include "cpython/head_lock.h"
#include "cpython/python_api.h"
#include "cpython/str_view.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace vandrel {

namespace {

const char NOT_HOLDING_GIL[] =
    "vandrel: dump_threads: the calling thread does not hold the GIL; nothing dumped\n";
const char UNSUPPORTED_BUILD[] =
    "vandrel: dump_threads: unsupported interpreter build; nothing dumped\n";

/* One formatted frame line per distinct (code object, instruction), valid
 * for one dump: code objects cannot go away while the GIL is held. */
struct line_slot {
    const void *code;
    int instruction;
    uint32_t generation;
    uint32_t offset;
    uint32_t length;
};

struct line_cache {
    line_slot *slots;
    size_t slot_count; /* a power of two */
    size_t used;
    uint32_t generation;
    char *text;
    size_t text_length;
    size_t text_capacity;
    /* The last location looked up: recursion repeats it frame after
     * frame, and this skips the hashing. */
    const line_slot *last;
};

struct dump_context {
    const python_api *api;
    fd_output *out;
    int64_t max_frames;
    line_cache *cache;     /* NULL: format every frame afresh */
    PyObject *active;      /* threading._active, borrowed; may be NULL */
    struct thread_index *threads; /* the same, indexed by ident; may be NULL */
    PyObject *name_key;    /* "_name", owned; may be NULL */
    PyObject *native_id_key; /* "_native_id", owned; may be NULL */
    PyObject *filename_key;  /* "co_filename", owned; may be NULL */
    PyObject *code_name_key; /* "co_name", owned; may be NULL */
};

/* ---- text ---------------------------------------------------------- */

/* Whether ch is written as an escape rather than as itself. */
inline bool needs_escape(Py_UCS4 ch)
{
    return ch < 0x20 || ch == 0x7f || ch == '"' || ch == '\\';
}

/* Append one code point: UTF-8 for printable text; backslash escapes for
 * control characters, quote, backslash and lone surrogates, so that every
 * field stays on its line and inside its quotes. */
void append_code_point(fd_output *out, Py_UCS4 ch)
{
    static const char hex[] = "0123456789abcdef";
    char bytes[10];
    size_t size = 0;
    if (ch == '"' || ch == '\\') {
        bytes[size++] = '\\';
        bytes[size++] = static_cast<char>(ch);
    }
    else if (ch < 0x20 || ch == 0x7f) {
        bytes[size++] = '\\';
        bytes[size++] = 'x';
        bytes[size++] = hex[(ch >> 4) & 0xf];
        bytes[size++] = hex[ch & 0xf];
    }
    else if (ch < 0x80) {
        bytes[size++] = static_cast<char>(ch);
    }
    else if (ch < 0x800) {
        bytes[size++] = static_cast<char>(0xc0 | (ch >> 6));
        bytes[size++] = static_cast<char>(0x80 | (ch & 0x3f));
    }
    else if (ch >= 0xd800 && ch <= 0xdfff) {
        bytes[size++] = '\\';
        bytes[size++] = 'u';
        for (int shift = 12; shift >= 0; shift -= 4) {
            bytes[size++] = hex[(ch >> shift) & 0xf];
        }
    }
    else if (ch < 0x10000) {
        bytes[size++] = static_cast<char>(0xe0 | (ch >> 12));
        bytes[size++] = static_cast<char>(0x80 | ((ch >> 6) & 0x3f));
        bytes[size++] = static_cast<char>(0x80 | (ch & 0x3f));
    }
    else {
        bytes[size++] = static_cast<char>(0xf0 | (ch >> 18));
        bytes[size++] = static_cast<char>(0x80 | ((ch >> 12) & 0x3f));
        bytes[size++] = static_cast<char>(0x80 | ((ch >> 6) & 0x3f));
        bytes[size++] = static_cast<char>(0x80 | (ch & 0x3f));
    }
    fd_output_append(out, bytes, size);
}

/* Whether object (not NULL) is a dict or a dict subclass. */
bool is_dict(const python_api *api, PyObject *object)
{
    return (api->type_get_flags(Py_TYPE(object)) & Py_TPFLAGS_DICT_SUBCLASS) != 0;
}

/* Whether object is a non-NULL str or str subclass. */
bool is_unicode(const python_api *api, PyObject *object)
{
    return object != nullptr
        && (api->type_get_flags(Py_TYPE(object)) & Py_TPFLAGS_UNICODE_SUBCLASS) != 0;
}

/* Append a str object escaped as above, or "???" for anything else. */
void append_text(const dump_context *ctx, PyObject *text)
{
    fd_output *out = ctx->out;
    if (!is_unicode(ctx->api, text)) {
        fd_output_append(out, "???", 3);
        return;
    }
#ifdef VANDREL_FRAME_READER
    /* Same layout as compiled: read the characters in place.  Before 3.12
     * a str may still lack its compact form (a legacy string not made
     * ready); code names and file names never do, but check. */
    str_view view;
    if (ctx->api->direct_access && str_in_place(text, &view)) {
        Py_ssize_t length = view.length;
        if (view.ascii) {
            const unsigned char *chars = static_cast<const unsigned char *>(view.data);
            Py_ssize_t plain = 0;
            while (plain < length && !needs_escape(chars[plain])) {
                plain++;
            }
            fd_output_append(out, reinterpret_cast<const char *>(chars),
                             static_cast<size_t>(plain));
            for (Py_ssize_t i = plain; i < length; i++) {
                append_code_point(out, chars[i]);
            }
            return;
        }
        for (Py_ssize_t i = 0; i < length; i++) {
            append_code_point(out, str_at(&view, i));
        }
        return;
    }
#endif
    const python_api *api = ctx->api;
    Py_ssize_t length = api->unicode_get_length(text);
    if (length < 0) {
        api->err_clear();
        fd_output_append(out, "???", 3);
        return;
    }
    for (Py_ssize_t i = 0; i < length; i++) {
        Py_UCS4 ch = api->unicode_read_char(text, i);
        if (ch == static_cast<Py_UCS4>(-1)) {
            api->err_clear();
            break;
        }
        append_code_point(out, ch);
    }
}

/* ---- frame lines --------------------------------------------------- */

/* Append `  File "path", line N in name` and a newline. */
void append_frame_line(const dump_context *ctx, PyObject *filename, int line, PyObject *name)
{
    fd_output *out = ctx->out;
    fd_output_append_literal(out, "  File \"");
    append_text(ctx, filename);
    fd_output_append_literal(out, "\", line ");
    if (line >= 0) {
        fd_output_append_decimal(out, static_cast<uint64_t>(line));
    }
    else {
        fd_output_append(out, "???", 3);
    }
    fd_output_append_literal(out, " in ");
    append_text(ctx, name);
    fd_output_append(out, "\n", 1);
}

#ifdef VANDREL_FRAME_READER
/* Kept between dumps like the output buffer; claimed by one dump at a
 * time (interpreters with their own GIL may dump concurrently).  Whoever
 * holds it also owns the walk lanes below. */
line_cache kept_cache;
int kept_cache_lock = 0;

/* Home slot of (code, instruction) in a table of mask + 1 slots. */
inline size_t slot_index(const void *code, int instruction, size_t mask)
{
    uintptr_t key = reinterpret_cast<uintptr_t>(code) ^ (static_cast<uintptr_t>(instruction) << 7);
    key *= 0x9e3779b97f4a7c15ull;
    return static_cast<size_t>(key >> 32) & mask;
}

/* Find the slot for (code, instruction), or the free slot where it goes.
 * The table is never full: line_cache_insert() keeps it half empty. */
line_slot *line_cache_find(line_cache *cache, const void *code, int instruction)
{
    size_t mask = cache->slot_count - 1;
    size_t index = slot_index(code, instruction, mask);
    for (;;) {
        line_slot *slot = &cache->slots[index];
        if (slot->generation != cache->generation
            || (slot->code == code && slot->instruction == instruction)) {
            return slot;
        }
        index = (index + 1) & mask;
    }
}

/* Double the table, re-inserting this dump's entries.  On success return
 * true; on allocation failure return false and leave the table as is. */
bool line_cache_grow(line_cache *cache)
{
    size_t new_count = cache->slot_count * 2;
    line_slot *grown = static_cast<line_slot *>(calloc(new_count, sizeof(line_slot)));
    if (grown == nullptr) {
        return false;
    }
    line_slot *old_slots = cache->slots;
    size_t old_count = cache->slot_count;
    cache->slots = grown;
    cache->slot_count = new_count;
    for (size_t i = 0; i < old_count; i++) {
        if (old_slots[i].generation == cache->generation) {
            *line_cache_find(cache, old_slots[i].code, old_slots[i].instruction) = old_slots[i];
        }
    }
    free(old_slots);
    cache->last = nullptr;
    return true;
}

/* Remember `length` bytes just formatted at the end of the output for
 * (code, instruction).  On failure (no memory) the line is simply not
 * cached. */
void line_cache_insert(line_cache *cache, line_slot *slot, const void *code, int instruction,
                       const char *line, size_t length)
{
    if ((cache->used + 1) * 2 > cache->slot_count) {
        if (!line_cache_grow(cache)) {
            return;
        }
        slot = line_cache_find(cache, code, instruction);
    }
    if (cache->text_capacity - cache->text_length < length) {
        size_t new_capacity = cache->text_capacity * 2;
        while (new_capacity - cache->text_length < length) {
            new_capacity *= 2;
        }
        if (new_capacity > UINT32_MAX) {
            return;
        }
        char *grown = static_cast<char *>(realloc(cache->text, new_capacity));
        if (grown == nullptr) {
            return;
        }
        cache->text = grown;
        cache->text_capacity = new_capacity;
    }
    memcpy(cache->text + cache->text_length, line, length);
    slot->code = code;
    slot->instruction = instruction;
    slot->generation = cache->generation;
    slot->offset = static_cast<uint32_t>(cache->text_length);
    slot->length = static_cast<uint32_t>(length);
    cache->text_length += length;
    cache->used++;
    cache->last = slot;
}

/* Claim the kept cache and start a new generation in it.  On success
 * return it; return NULL when another dump holds it or memory is short
 * (the dump then formats every frame). */
line_cache *line_cache_claim()
{
    if (__atomic_exchange_n(&kept_cache_lock, 1, __ATOMIC_ACQUIRE) != 0) {
        return nullptr;
    }
    line_cache *cache = &kept_cache;
    if (cache->slots == nullptr) {
        cache->slot_count = 1024;
        cache->slots = static_cast<line_slot *>(calloc(cache->slot_count, sizeof(line_slot)));
        cache->text_capacity = 64u << 10;
        cache->text = static_cast<char *>(malloc(cache->text_capacity));
        if (cache->slots == nullptr || cache->text == nullptr) {
            free(cache->slots);
            free(cache->text);
            memset(cache, 0, sizeof *cache);
            __atomic_store_n(&kept_cache_lock, 0, __ATOMIC_RELEASE);
            return nullptr;
        }
    }
    /* Generation 0 marks never-used slots; on wrap-around wipe them. */
    if (++cache->generation == 0) {
        memset(cache->slots, 0, cache->slot_count * sizeof(line_slot));
        cache->generation = 1;
    }
    cache->used = 0;
    cache->text_length = 0;
    cache->last = nullptr;
    return cache;
}

/* Defined with the snapshots, further down. */
void trim_kept_storage();

/* Hand back the cache (and the lanes) claimed by line_cache_claim();
 * NULL is accepted. */
void line_cache_release(line_cache *cache)
{
    if (cache != nullptr) {
        trim_kept_storage();
        /* A dump over unusually many distinct locations does not pin its
         * memory for the rest of the process. */
        if (cache->slot_count > (64u << 10) || cache->text_capacity > (4u << 20)) {
            free(cache->slots);
            free(cache->text);
            uint32_t generation = cache->generation;
            memset(cache, 0, sizeof *cache);
            cache->generation = generation;
        }
        __atomic_store_n(&kept_cache_lock, 0, __ATOMIC_RELEASE);
    }
}

#endif /* VANDREL_FRAME_READER */

/* ---- frame walks --------------------------------------------------- */

/* A shown frame, recorded before anything is formatted. */
struct frame_ref {
    PyCodeObject *code;
    int instruction;
};

/* Counts frames of one thread: those written and those cut by max_frames. */
struct frame_count {
    int64_t written;
    int64_t left_out;
};

/* Count one shown frame.  Return true when it is to be written, false
 * when max_frames cuts it off. */
inline bool frame_wanted(const dump_context *ctx, frame_count *count)
{
    if (ctx->max_frames > 0 && count->written >= ctx->max_frames) {
        count->left_out++;
        return false;
    }
    count->written++;
    return true;
}

#ifdef VANDREL_FRAME_READER
/* Append the line of one frame: from the cache when this code location
 * was formatted earlier in the dump, else formatted and cached. */
void append_code_location(const dump_context *ctx, PyCodeObject *code, int instruction)
{
    line_cache *cache = ctx->cache;
    line_slot *slot = nullptr;
    if (cache != nullptr) {
        const line_slot *last = cache->last;
        if (last != nullptr && last->code == code && last->instruction == instruction) {
            fd_output_append(ctx->out, cache->text + last->offset, last->length);
            return;
        }
        slot = line_cache_find(cache, code, instruction);
        if (slot->generation == cache->generation) {
            cache->last = slot;
            fd_output_append(ctx->out, cache->text + slot->offset, slot->length);
            return;
        }
    }
    size_t start = ctx->out->length;
    uint64_t flushes = ctx->out->flushes;
    int line = code_line(ctx->api, code, instruction);
    append_frame_line(ctx, code->co_filename, line, code->co_name);
    /* The line is whole at the end of the buffer unless a flush happened
     * in between (a field longer than the flush size); then it is just
     * not cached. */
    if (slot != nullptr && ctx->out->flushes == flushes) {
        line_cache_insert(cache, slot, code, instruction, ctx->out->data + start,
                          ctx->out->length - start);
    }
}

/* Append the line of `run` consecutive frames at the same code location
 * (recursion): the line once, then copies of what is already written,
 * doubling, instead of one copy per frame. */
void append_code_location_run(const dump_context *ctx, PyCodeObject *code, int instruction,
                              size_t run)
{
    fd_output *out = ctx->out;
    size_t start = out->length;
    uint64_t flushes = out->flushes;
    append_code_location(ctx, code, instruction);
    size_t end = out->length;
    size_t line_length = out->flushes == flushes ? end - start : 0;
    if (run == 1) {
        return;
    }
    if (line_length == 0 || !fd_output_reserve(out, line_length * (run - 1))) {
        /* The line was cut by a flush, or there is no room: one line at
         * a time. */
        for (size_t i = 1; i < run; i++) {
            append_code_location(ctx, code, instruction);
        }
        return;
    }
    size_t lines = run;
    if (out->length != end) {
        /* Making room flushed the buffer, line included: write it again;
         * it fits, the room was reserved. */
        start = out->length;
        append_code_location(ctx, code, instruction);
        lines = run - 1;
    }
    size_t total = line_length * lines;
    size_t filled = line_length;
    while (filled < total) {
        size_t chunk = filled < total - filled ? filled : total - filled;
        memcpy(out->data + start + filled, out->data + start, chunk);
        filled += chunk;
    }
    out->length = start + total;
}

/* One thread's walk in progress.  Several threads are walked in lock
 * step: each step of a walk waits for a load from memory that is rarely
 * in cache, and independent walks let those loads overlap. */
struct walk_lane {
    PyThreadState *tstate;
    interp_frame *cursor;
    frame_count count;
    size_t recorded;
    /* Recording ran out of memory: the rest of the walk is only counted. */
    bool full;
    frame_ref *frames; /* storage kept between dumps */
    size_t capacity;
};

/* Enough walks in flight to overlap their misses; more did not help. */
constexpr int LANE_COUNT = 16;
walk_lane kept_lanes[LANE_COUNT];

/* In a child made by fork() while a dump on another thread held the cache:
 * that thread is gone and left the cache and lanes half-written.  Forget
 * them (their memory is not reused) and free the claim, so later dumps
 * still get a cache. */
void forget_cache_claim_in_child()
{
    if (kept_cache_lock != 0) {
        memset(&kept_cache, 0, sizeof kept_cache);
        memset(kept_lanes, 0, sizeof kept_lanes);
        kept_cache_lock = 0;
    }
}

__attribute__((constructor)) void release_cache_across_fork()
{
    pthread_atfork(nullptr, nullptr, forget_cache_claim_in_child);
}

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
            if (frame_shown(code_type, frame, &code, &instruction)
                && frame_wanted(ctx, &lane->count) && !lane_record(lane, code, instruction)) {
                lane->count.written--;
                lane->count.left_out++;
            }
        }
    }
}
#endif

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

/* ---- threads ------------------------------------------------------- */

/* threading._active copied into an open-addressing table keyed by
 * ident: one pass over the dict instead of an int object and a dict
 * lookup per thread. */
struct thread_index {
    unsigned long *idents; /* 0: free slot */
    PyObject **threads;    /* borrowed from threading._active */
    size_t mask;
};

/* Home slot of ident in a table of mask + 1 slots. */
inline size_t ident_slot(unsigned long ident, size_t mask)
{
    return static_cast<size_t>((ident * 0x9e3779b97f4a7c15ull) >> 40) & mask;
}

/* Build the index of `active`.  On success return true; on allocation
 * failure return false (the dump then looks threads up one by one). */
bool thread_index_build(const python_api *api, PyObject *active, thread_index *index)
{
    Py_ssize_t count = api->dict_size(active);
    if (count < 0) {
        api->err_clear();
        return false;
    }
    size_t slots = 16;
    while (slots < static_cast<size_t>(count) * 2) {
        slots *= 2;
    }
    index->idents = static_cast<unsigned long *>(calloc(slots, sizeof(unsigned long)));
    index->threads = static_cast<PyObject **>(calloc(slots, sizeof(PyObject *)));
    if (index->idents == nullptr || index->threads == nullptr) {
        free(index->idents);
        free(index->threads);
        return false;
    }
    index->mask = slots - 1;
    Py_ssize_t position = 0;
    PyObject *key = nullptr, *thread = nullptr;
    while (api->dict_next(active, &position, &key, &thread)) {
        if ((api->type_get_flags(Py_TYPE(key)) & Py_TPFLAGS_LONG_SUBCLASS) == 0) {
            continue;
        }
        unsigned long ident = api->long_as_unsigned_long(key);
        if (ident == static_cast<unsigned long>(-1) || ident == 0) {
            api->err_clear();
            continue;
        }
        size_t slot = ident_slot(ident, index->mask);
        while (index->idents[slot] != 0 && index->idents[slot] != ident) {
            slot = (slot + 1) & index->mask;
        }
        index->idents[slot] = ident;
        index->threads[slot] = thread;
    }
    return true;
}

/* The Thread object indexed under ident, borrowed, or NULL. */
PyObject *thread_index_find(const thread_index *index, unsigned long ident)
{
    size_t slot = ident_slot(ident, index->mask);
    while (index->idents[slot] != 0) {
        if (index->idents[slot] == ident) {
            return index->threads[slot];
        }
        slot = (slot + 1) & index->mask;
    }
    return nullptr;
}

/* The threading.Thread object of the thread with this ident, borrowed,
 * or NULL. */
PyObject *thread_object(const dump_context *ctx, unsigned long ident)
{
    const python_api *api = ctx->api;
    if (ctx->active == nullptr || ident == 0) {
        return nullptr;
    }
    if (ctx->threads != nullptr) {
        return thread_index_find(ctx->threads, ident);
    }
    PyObject *key = api->long_from_unsigned_long(ident);
    if (key == nullptr) {
        api->err_clear();
        return nullptr;
    }
    /* An exact-int key: the lookup runs no Python code. */
    PyObject *thread = api->dict_get_item(ctx->active, key);
    api->decref(key);
    return thread;
}

/* Look `key` up in the instance dict of object, without running any
 * attribute hook.  Return a borrowed value or NULL.  The dict stays alive
 * through the object. */
PyObject *instance_attribute(const dump_context *ctx, PyObject *object, PyObject *key)
{
    const python_api *api = ctx->api;
    if (object == nullptr || key == nullptr) {
        return nullptr;
    }
    PyObject *dict = api->object_generic_get_dict(object, nullptr);
    if (dict == nullptr) {
        api->err_clear();
        return nullptr;
    }
    PyObject *value = nullptr;
    if ((api->type_get_flags(Py_TYPE(dict)) & Py_TPFLAGS_DICT_SUBCLASS) != 0) {
        value = api->dict_get_item(dict, key);
    }
    api->decref(dict);
    return value;
}

/* A thread's native id when its thread state does not tell: the kernel's
 * answer for the calling thread, else threading's `_native_id`; 0 if
 * unknown. */
unsigned long native_id_elsewhere(const dump_context *ctx, PyObject *thread, bool is_current)
{
    const python_api *api = ctx->api;
    if (is_current) {
        return static_cast<unsigned long>(syscall(SYS_gettid));
    }
    PyObject *native_id = instance_attribute(ctx, thread, ctx->native_id_key);
    if (native_id == nullptr
        || (api->type_get_flags(Py_TYPE(native_id)) & Py_TPFLAGS_LONG_SUBCLASS) == 0) {
        return 0;
    }
    unsigned long value = api->long_as_unsigned_long(native_id);
    if (value == static_cast<unsigned long>(-1)) {
        api->err_clear();
        return 0;
    }
    return value;
}

/* What the dump keeps of one thread: all it needs of the thread state,
 * copied while the head lock is held, so that nothing reads the thread
 * state once the lock is released (the thread may be deleted then). */
struct thread_snapshot {
    unsigned long ident;     /* threading.get_ident(); 0 if unknown */
    unsigned long native_id; /* 0: not in the thread state, found later */
    bool is_current;
    frame_count count;
    size_t first_frame;  /* direct walk: its frames in the store */
    size_t recorded;
    PyFrameObject *top;  /* public walk: owned top frame, or NULL */
};

struct snapshot_store {
    thread_snapshot *threads;
    size_t count;
    size_t capacity;
    frame_ref *frames;
    size_t frame_count;
    size_t frame_capacity;
};

/* Grow *items (of `size` bytes each, *capacity of them) to hold `needed`.
 * On success return true; on allocation failure return false, leaving
 * the storage as it was. */
bool grow_to(void **items, size_t *capacity, size_t needed, size_t size)
{
    if (needed <= *capacity) {
        return true;
    }
    size_t new_capacity = *capacity > 0 ? *capacity : 64;
    while (new_capacity < needed) {
        new_capacity *= 2;
    }
    void *grown = realloc(*items, new_capacity * size);
    if (grown == nullptr) {
        return false;
    }
    *items = grown;
    *capacity = new_capacity;
    return true;
}

/* A new, zeroed snapshot at the end of the store, or NULL when out of
 * memory. */
thread_snapshot *store_add_thread(snapshot_store *store)
{
    void *items = store->threads;
    if (!grow_to(&items, &store->capacity, store->count + 1, sizeof(thread_snapshot))) {
        return nullptr;
    }
    store->threads = static_cast<thread_snapshot *>(items);
    thread_snapshot *snapshot = &store->threads[store->count++];
    memset(snapshot, 0, sizeof *snapshot);
    return snapshot;
}

#ifdef VANDREL_FRAME_READER
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
#endif

void store_free(snapshot_store *store)
{
    free(store->threads);
    free(store->frames);
    memset(store, 0, sizeof *store);
}

/* Copy the ids of a thread state into `snapshot`.  Head lock held.  Return
 * false for a thread state not yet bound to its OS thread: a thread still
 * starting (PyGILState_Ensure() puts it in the list before it writes its
 * ids, without any lock), which has run no Python code and is left out
 * until both of its ids read as set.  An agent that cannot read this
 * interpreter's thread states keeps every thread, ids unknown. */
bool copy_thread_ids(const python_api *api, PyThreadState *tstate, thread_snapshot *snapshot)
{
    if (!api->layout_matches) {
        return true;
    }
    return read_thread_ids(tstate, &snapshot->ident, &snapshot->native_id);
}

/* Write the header line of one thread. */
void write_thread_header(const dump_context *ctx, const thread_snapshot *snapshot)
{
    const python_api *api = ctx->api;
    fd_output *out = ctx->out;
    PyObject *thread = thread_object(ctx, snapshot->ident);
    unsigned long native_id = snapshot->native_id != 0
                                  ? snapshot->native_id
                                  : native_id_elsewhere(ctx, thread, snapshot->is_current);

    fd_output_append_literal(out, snapshot->is_current ? "Current thread " : "Thread ");
    if (native_id != 0) {
        fd_output_append_decimal(out, native_id);
    }
    else {
        fd_output_append(out, "?", 1);
    }
    PyObject *name = instance_attribute(ctx, thread, ctx->name_key);
    if (is_unicode(api, name)) {
        fd_output_append(out, " \"", 2);
        append_text(ctx, name);
        fd_output_append(out, "\"", 1);
    }
    if (!snapshot->is_current && native_id != 0 && gil_thread_waiting(native_id)) {
        fd_output_append_literal(out, ", waiting for the GIL");
    }
    fd_output_append_literal(out, " (most recent call first):\n");
}

/* Write what follows a thread's frames: a note when it has none, or the
 * number of frames max_frames cut off. */
void write_thread_footer(const dump_context *ctx, const frame_count *count)
{
    fd_output *out = ctx->out;
    if (count->written == 0 && count->left_out == 0) {
        fd_output_append_literal(out, "  <no Python frame>\n");
    }
    if (count->left_out > 0) {
        fd_output_append_literal(out, "  ... ");
        fd_output_append_decimal(out, static_cast<uint64_t>(count->left_out));
        fd_output_append_literal(out, count->left_out == 1 ? " more frame not shown\n"
                                                            : " more frames not shown\n");
    }
}

#ifdef VANDREL_FRAME_READER
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
#endif

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

/* threading._active (ident -> Thread), borrowed from the module's dict,
 * or NULL when threading was never imported.  Plain dict lookups in
 * sys.modules and the module's dict: never imports, runs no Python code. */
PyObject *find_active_threads(const python_api *api)
{
    PyObject *active = nullptr;
    PyObject *modules = api->sys_get_object("modules");
    PyObject *module = modules != nullptr && is_dict(api, modules)
                           ? api->dict_get_item_string(modules, "threading") : nullptr;
    PyObject *globals = module != nullptr ? api->module_get_dict(module) : nullptr;
    if (globals != nullptr && is_dict(api, globals)) {
        active = api->dict_get_item_string(globals, "_active");
    }
    api->err_clear();
    /* sys.modules keeps the module, and so the dict, alive. */
    return active != nullptr && is_dict(api, active) ? active : nullptr;
}

/* Write a one-line message, ignoring failure: there is no one to tell. */
void write_message(int fd, const char *message, size_t size)
{
    (void)write_fully(fd, message, size);
}

}  // namespace

void dump_threads(int32_t fd, int64_t max_frames)
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
    if (current == nullptr || (current_is_global && current != api->gil_state_this_thread())) {
        write_message(fd, NOT_HOLDING_GIL, sizeof NOT_HOLDING_GIL - 1);
        return;
    }

    PyObject *saved_type = nullptr, *saved_value = nullptr, *saved_traceback = nullptr;
    api->err_fetch(&saved_type, &saved_value, &saved_traceback);

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
    thread_index threads;
    ctx.threads = ctx.active != nullptr && api->layout_matches
                      && thread_index_build(api, ctx.active, &threads)
                  ? &threads : nullptr;
    ctx.name_key = api->unicode_from_string("_name");
    ctx.native_id_key = api->unicode_from_string("_native_id");
    ctx.filename_key = nullptr;
    ctx.code_name_key = nullptr;
    if (!api->layout_matches) {
        ctx.filename_key = api->unicode_from_string("co_filename");
        ctx.code_name_key = api->unicode_from_string("co_name");
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
            continue;
        }
#endif
        write_snapshot_public(&ctx, snapshot);
    }
    if (store == &local_store) {
        store_free(&local_store);
    }

    fd_output_close(&out);
    if (ctx.threads != nullptr) {
        free(threads.idents);
        free(threads.threads);
    }
#ifdef VANDREL_FRAME_READER
    line_cache_release(ctx.cache);
#endif
    PyObject *owned_keys[] = {ctx.name_key, ctx.native_id_key, ctx.filename_key,
                              ctx.code_name_key};
    for (PyObject *key : owned_keys) {
        if (key != nullptr) {
            api->decref(key);
        }
    }
    api->err_clear();
    api->err_restore(saved_type, saved_value, saved_traceback);
}

}  // namespace vandrel
