/* The stack dump's internal interface, shared by its units:
 *
 *   dump_threads.cpp  the entry point: snapshot the threads, then write them;
 *   threads.cpp       finding a thread's Thread object, name and ids, the
 *                     snapshot store, each thread's header and footer;
 *   frame_lines.cpp   a frame's line and the text in it;
 *   line_cache.cpp    each distinct code location formatted once a dump;
 *   lanes.cpp         the direct walk: sixteen threads' frames in lock step;
 *   public_walk.cpp   the walk through the public frame-object API, for any
 *                     other interpreter;
 *   unlocked_dump.cpp the dump without the GIL (the agent's thread, for
 *                     signals and timers) and the thread names it shows;
 *   triggers.cpp      the signal handlers and the timer that start it;
 *   loop_watch.cpp    the event-loop watcher's thread: overdue heartbeats
 *                     and the blocked loop thread's stack, read then.
 *   task_sections.cpp the asyncio tasks those dumps show, asked of the
 *                     package with the GIL by a helper thread;
 *   unlocked_tasks.cpp the same read without the GIL, when it cannot be
 *                     had (3.14 on).
 *
 * All of it but unlocked_dump.cpp, triggers.cpp, loop_watch.cpp,
 * task_sections.cpp and unlocked_tasks.cpp runs with the GIL held. */
#ifndef VANDREL_DUMP_H
#define VANDREL_DUMP_H

#include <stddef.h>
#include <signal.h>
#include <stdint.h>

#include "cpython/frame_reader.h"
#include "cpython/python_api.h"
#include "cpython/unlocked_reader.h"
#include "text/fd_output.h"

namespace vandrel {
namespace dump {

struct line_cache;
struct thread_index;

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

/* Text written after some threads' stacks (their asyncio tasks), by
 * threading ident; each text UTF-8, ending with a newline.  Owned by
 * the caller. */
struct thread_sections {
    size_t count;
    const unsigned long *idents;
    const char *const *texts;
    /* One line written after every thread when no text could be had
     * (why the tasks are missing), or NULL. */
    const char *note;
};

/* Append the section of thread `ident`, if any, to `out`. */
void append_thread_section(fd_output *out, const thread_sections *sections,
                           unsigned long ident);

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

/* threading._active copied into an open-addressing table keyed by
 * ident: one pass over the dict instead of an int object and a dict
 * lookup per thread. */
struct thread_index {
    unsigned long *idents; /* 0: free slot */
    PyObject **threads;    /* borrowed from threading._active */
    size_t mask;
};

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


/* ---- threads.cpp --------------------------------------------------------- */

/* Whether object (not NULL) is a dict or a dict subclass. */
bool is_dict(const python_api *api, PyObject *object);
/* Whether object is a non-NULL str or str subclass. */
bool is_unicode(const python_api *api, PyObject *object);
/* Build the index of `active`.  On success return true; on allocation
 * failure return false (the dump then looks threads up one by one). */
bool thread_index_build(const python_api *api, PyObject *active, thread_index *index);
/* A new, zeroed snapshot at the end of the store, or NULL when out of
 * memory. */
thread_snapshot *store_add_thread(snapshot_store *store);
/* Grow *items (of `size` bytes each, *capacity of them) to hold `needed`. */
bool grow_to(void **items, size_t *capacity, size_t needed, size_t size);
void store_free(snapshot_store *store);
/* Copy the ids of a thread state into `snapshot`.  Head lock held.  False
 * for a thread still starting. */
bool copy_thread_ids(const python_api *api, PyThreadState *tstate, thread_snapshot *snapshot);
/* Write the header line of one thread, and what follows its frames. */
void write_thread_header(const dump_context *ctx, const thread_snapshot *snapshot);
void write_thread_footer(const dump_context *ctx, const frame_count *count);
/* threading._active, borrowed, or NULL. */
PyObject *find_active_threads(const python_api *api);
/* The Thread object of `ident`, borrowed, or NULL; a value of its instance
 * dict without attribute hooks, borrowed, or NULL; a thread's native id
 * when its thread state does not tell (0 if unknown). */
PyObject *thread_object(const dump_context *ctx, unsigned long ident);
PyObject *instance_attribute(const dump_context *ctx, PyObject *object, PyObject *key);
unsigned long native_id_elsewhere(const dump_context *ctx, PyObject *thread, bool is_current);

/* ---- unlocked_dump.cpp --------------------------------------------------- */

/* Signals held off while this thread holds a lock the agent's dump thread
 * takes: a signal handler that waits for a dump must not interrupt its
 * holder.  The fault signals stay open (a fault with them blocked would
 * kill the process outright). */
class signals_held {
public:
    signals_held();
    ~signals_held();
    signals_held(const signals_held &) = delete;
    signals_held &operator=(const signals_held &) = delete;

private:
    sigset_t old_;
};

/* Remember every threading thread's name and native id for the dumps
 * that run without the GIL.  GIL held. */
void name_cache_refresh(const python_api *api);
/* Whether frames of `code` are the tool's own, left out of every dump. */
bool code_hidden(const void *code);
/* Leave frames of `code` (a code object, kept alive from now on) out of
 * the dumps.  GIL held.  False when it is no code object or the table is
 * full. */
bool hide_code(const python_api *api, PyObject *code);
/* Remember one thread's name (a str; anything else is ignored).  GIL held. */
void name_cache_add(const python_api *api, unsigned long ident, unsigned long native_id,
                    PyObject *name);
/* Copy the cached (escaped) name of thread `ident` into `out`; return its
 * length, or -1 when none is cached.  Any thread, no GIL. */
long name_cache_find(unsigned long ident, char *out, size_t capacity, unsigned long *native_id);
/* Write every thread's stack of target's interpreter to fd without the
 * GIL, as dump_threads would; the thread with `current_native_id` (0:
 * none) first, as "Current thread", the GIL's holder marked.  With
 * `read_tasks`, each loop's tasks are read without the GIL too
 * (unlocked_tasks.cpp) instead of taken from `sections`. */
void dump_threads_unlocked(const unlocked_target *target, int fd, int64_t max_frames,
                           unsigned long current_native_id,
                           const thread_sections *sections = nullptr,
                           bool read_tasks = false);
/* dump_threads, with `sections` (may be NULL) after the threads'
 * stacks. */
void dump_threads_with_sections(int32_t fd, int64_t max_frames,
                                const thread_sections *sections);
/* Walk the thread `ident` `rounds` times as a dump would; the mean time in
 * nanoseconds (-1: no such thread) and the frames of the last walk. */
/* dump_threads where threads run truly in parallel (a free-threaded
 * build): every thread, the caller's own first, read with the GIL-free
 * reader, names from threading refreshed first, `sections` (may be NULL)
 * after the threads' stacks.  The caller's thread state is attached.
 * False, and nothing written, when the reader cannot read this
 * interpreter. */
bool dump_threads_in_parallel(const python_api *api, int fd, int64_t max_frames,
                              const thread_sections *sections);
int64_t time_unlocked_walk(const unlocked_target *target, unsigned long ident, int32_t rounds,
                           int64_t *frames_seen);

/* ---- triggers.cpp -------------------------------------------------------- */

/* Whether the agent's dump thread runs (a signal or timer dump was set):
 * then the dumps made with the GIL refresh the name cache too. */
bool unlocked_dumps_set();
/* The exports' work (vandrel_agent.cpp); statuses as in agent.h. */
int32_t dump_on_signal(int32_t signum, int32_t fd, int64_t max_frames, int32_t chain);
int32_t cancel_dump_on_signal(int32_t signum);
int32_t dump_later(double seconds, int32_t repeat, int32_t fd, int64_t max_frames, int32_t exit);
int32_t cancel_dump_later();
int32_t dump_on_crash(int32_t fd);
int32_t cancel_dump_on_crash();
int32_t prepare_unlocked_dumps();
/* The calling thread's name is `name`, a str.  GIL held. */
int32_t name_this_thread(PyObject *name);
int32_t hide_code_object(PyObject *code);
int32_t dump_unlocked_now(int32_t fd, int64_t max_frames);
int64_t time_walk(unsigned long ident, int32_t rounds, int64_t *frames_seen);
/* ---- unlocked_tasks.cpp -------------------------------------------------- */

/* Whether this interpreter's tasks can be read without the GIL (3.14 on,
 * once _asyncio's task layout is found and agrees).  Any thread, GIL or
 * not; not in a signal handler. */
bool unlocked_tasks_readable();
/* Write the pending tasks of the loop the thread state `tstate` runs, if
 * any, read without the GIL, in the format of the package's formatter.
 * Under the dump's lock (dump_threads_unlocked). */
void append_unlocked_tasks(const unlocked_target *target, fd_output *out, const void *tstate,
                           int64_t max_frames);

/* ---- task_sections.cpp --------------------------------------------------- */

/* The formatter's answer, in C memory: what thread_sections shows. */
struct gathered_sections {
    size_t count;
    unsigned long *idents;
    char **texts;
    const char *note; /* static text, or NULL */
};
/* The callable (or None) whose answer, a dict {ident: text}, the signal
 * and timer dumps write after the threads' stacks; it is called with one
 * int, the dump's max_frames.  GIL held. */
int32_t set_task_formatter(PyObject *callable);
/* Ask the formatter, from the agent's thread (no GIL), waiting at most
 * 0.5 s for a helper thread to get the GIL; `max_frames` is the asking
 * dump's.  False when no formatter is set (nothing to show); else true,
 * with the texts or a note saying why they are missing.  Free with
 * free_task_sections(). */
bool gather_task_sections(gathered_sections *out, int64_t max_frames);
/* The same from a thread that holds the GIL (the dump left to the main
 * thread as a pending call): the formatter is called right here. */
bool gather_task_sections_with_gil(gathered_sections *out, int64_t max_frames);
void free_task_sections(gathered_sections *sections);
/* Whether `sections` lack the tasks only because the GIL could not be had
 * in time (then they may still be read without it). */
bool task_sections_missed_the_gil(const gathered_sections *sections);
void task_sections_view(const gathered_sections *sections, thread_sections *view);
/* Whether the thread with threading ident `ident` is the helper (left out
 * of the dumps).  Any thread, no GIL. */
bool is_task_helper(unsigned long ident);
/* A forked child has no helper thread. */
void task_sections_after_fork();

/* ---- loop_watch.cpp ------------------------------------------------------ */

/* The exports' work (vandrel_agent.cpp, where each is described); statuses
 * as in agent.h. */
int32_t loop_watch_start(int64_t threshold_ns, int64_t poll_ns);
int32_t loop_watch_stop();
int32_t loop_watch_arm(int32_t slot, unsigned long ident, int64_t due_in_ns);
int32_t loop_watch_disarm(int32_t slot);
int64_t loop_watch_beat(int32_t slot, int64_t next_due_in_ns, int32_t entry_depth,
                        int64_t *late_ns, char *stack, int64_t capacity);
int64_t loop_watch_caught(int32_t slot);
int64_t loop_watch_wait(int64_t seen, int32_t timeout_ms);

/* ---- frame_lines.cpp ----------------------------------------------------- */

/* Append a str object escaped, or "???" for anything else. */
void append_text(const dump_context *ctx, PyObject *text);
/* Append `  File "path", line N in name` and a newline. */
void append_frame_line(const dump_context *ctx, PyObject *filename, int line, PyObject *name);

#ifdef VANDREL_FRAME_READER
/* ---- line_cache.cpp ------------------------------------------------------ */

/* Claim the kept cache for one dump, or NULL (another dump holds it, or
 * memory is short); hand it back (NULL accepted). */
line_cache *line_cache_claim();
void line_cache_release(line_cache *cache);
/* Append the line of `run` consecutive frames at one code location. */
void append_code_location_run(const dump_context *ctx, PyCodeObject *code, int instruction,
                              size_t run);

/* ---- lanes.cpp ----------------------------------------------------------- */

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
/* Owned by whoever holds the line cache, like the snapshot store. */
extern walk_lane kept_lanes[LANE_COUNT];
extern snapshot_store kept_store;
/* Give back lane storage grown past `keep` entries (0: all of it). */
void trim_lanes(walk_lane *lanes, size_t keep);
/* Trim the kept lanes and store (line_cache_release()). */
void trim_kept_storage();
/* Snapshot the calling thread, then the other started threads of its
 * interpreter, walking their frames in lanes.  Head lock held. */
void snapshot_threads_direct(const dump_context *ctx, snapshot_store *store, walk_lane *lanes,
                             PyThreadState *current, bool only_current);
/* Write one snapshot whose frames are in the store. */
void write_snapshot_direct(const dump_context *ctx, const snapshot_store *store,
                           const thread_snapshot *snapshot);
#endif

/* ---- public_walk.cpp ----------------------------------------------------- */

/* Snapshot the calling thread, then the other started threads of its
 * interpreter.  Head lock held when there is one. */
void snapshot_threads_public(const python_api *api, snapshot_store *store, PyThreadState *current,
                             bool only_current);
/* Write one snapshot by walking its frame objects; consumes its top. */
void write_snapshot_public(const dump_context *ctx, thread_snapshot *snapshot);

}  // namespace dump
}  // namespace vandrel

#endif /* VANDREL_DUMP_H */
