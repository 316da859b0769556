/* The dump's line cache: one formatted frame line per distinct (code
 * object, instruction), kept between dumps and claimed by one at a time. */
#include "dump/dump.h"

#include <pthread.h>
#include <stdlib.h>
#include <string.h>

namespace vandrel {
namespace dump {

#ifdef VANDREL_FRAME_READER

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

#endif /* VANDREL_FRAME_READER */

}  // namespace dump
}  // namespace vandrel
