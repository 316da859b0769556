/* The GIL-free reader: thread states, frames, code objects and their
 * names read while other threads run and change them, every read a
 * checked copy (safe_read.h), every value checked before it is followed
 * (types, bounds, depth) and every loop bounded.  A frame torn or freed
 * under the reader comes back marked unreadable; nothing faults.
 *
 * Set up once with the GIL (unlocked_target_init); read from any thread,
 * the agent's own included, without it. */
#ifndef VANDREL_CPYTHON_UNLOCKED_READER_H
#define VANDREL_CPYTHON_UNLOCKED_READER_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "cpython/python_api.h"

namespace vandrel {

/* What the reader needs of the interpreter, found with the GIL. */
struct unlocked_target {
    const void *interp;      /* the interpreter whose threads are read */
    const void *gil_locked;  /* its GIL's `locked` word, or NULL */
    const void *gil_holder;  /* its GIL's `last_holder` word, or NULL */
    const void *code_type;
    const void *bytes_type;
    const void *unicode_type;
    const void *coro_type; /* these four may be NULL */
    const void *gen_type;
    const void *set_type;
    const void *long_type;
};

/* Fill `target` for the calling thread's interpreter.  GIL held.  Return
 * false when this agent cannot read the running interpreter directly
 * (another version or layout) or the read path is refused. */
bool unlocked_target_init(const python_api *api, unlocked_target *target);

/* The interpreter's thread states, most recently started first: up to
 * `capacity` addresses into `tstates`.  Return how many; *more is set when
 * the list went on (or could not be read to its end). */
size_t unlocked_thread_list(const unlocked_target *target, const void **tstates, size_t capacity,
                            bool *more);

struct unlocked_thread {
    unsigned long ident;
    unsigned long native_id; /* 0 where the thread state has none */
    const void *top_frame;   /* NULL: no Python frame */
    /* Where its newest frames are, one stretch of memory copied at once
     * (the thread's data stack, 3.11 on); NULL where frames are objects. */
    const void *stack_base;
    size_t stack_length;
};

/* Read one thread state.  False when it cannot be read or is not bound
 * to its OS thread yet. */
bool unlocked_thread_read(const void *tstate, unlocked_thread *out);

/* The thread state that holds the GIL now, or NULL (free, or unknown). */
const void *unlocked_gil_holder(const unlocked_target *target);

struct unlocked_frame {
    const void *code;
    int instruction;
    bool unreadable; /* a frame that could not be read or made no sense */
    /* What its code object showed as it was read (file name, name and line
     * table objects, first line), hashed: with `code` and `instruction`, a
     * key to cache a frame's location by, which a new code object at a
     * freed one's address matches only if it shows the same. */
    uint64_t identity;
};

/* Walk the frames of `thread`: those traceback shows go to `frames` (up
 * to `capacity`; those past it are counted in *left_out), shim and
 * incomplete frames are skipped.  A frame whose code cannot be read is
 * stored unreadable and the walk goes on; a frame that cannot be read
 * itself is stored unreadable and ends the walk.  At most `limit` frames
 * are followed: *more is set when the walk stopped there.
 *
 * The frames in the thread's data stack are copied in one read, the
 * others one by one; then the distinct code objects in one read.  One
 * walk at a time (a lock inside). */
size_t unlocked_walk(const unlocked_target *target, const unlocked_thread *thread,
                     unlocked_frame *frames, size_t capacity, size_t limit, size_t *left_out,
                     bool *more);

/* A str copied out: its characters (`kind` bytes each) up to a bound. */
struct unlocked_text {
    enum { capacity = 1024 };
    uint8_t data[capacity * 4];
    size_t length;   /* characters copied */
    int kind;        /* 1, 2 or 4 */
    bool truncated;  /* the str was longer */
    bool ok;
};

/* Character `i` (below text->length) of a text read by unlocked_str. */
inline uint32_t unlocked_text_char(const unlocked_text *text, size_t i)
{
    if (text->kind == 1) {
        return text->data[i];
    }
    if (text->kind == 2) {
        uint16_t unit;
        memcpy(&unit, text->data + 2 * i, 2);
        return unit;
    }
    uint32_t ch;
    memcpy(&ch, text->data + 4 * i, 4);
    return ch;
}

/* Read `object` as an exact str.  False (and out->ok false) otherwise. */
bool unlocked_str(const unlocked_target *target, const void *object, unlocked_text *out);

/* The file name, code name and line of a frame of `code` at
 * `instruction`.  Return false when the code object cannot be read; the
 * names' ok flags and line (-1: unknown) say what could be. */
bool unlocked_code_location(const unlocked_target *target, const void *code, int instruction,
                            unlocked_text *filename, unlocked_text *name, int *line,
                            bool qualified = false);

/* The frame whose code is `code` at instruction pointer `place` (3.11
 * on), checked as the walk checks its frames: false when the code object
 * cannot be read or `place` lies outside it. */
bool unlocked_frame_at(const unlocked_target *target, const void *code, const void *place,
                       unlocked_frame *out);

}  // namespace vandrel

#endif /* VANDREL_CPYTHON_UNLOCKED_READER_H */
