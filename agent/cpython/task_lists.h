/* asyncio's tasks read without the GIL, from what CPython 3.14 on
 * publishes for debuggers: each thread state heads a list of the native
 * tasks made on that thread that are not done yet, and the _asyncio
 * module describes its task objects in a table of offsets of its own (its
 * "AsyncioDebug" section).  Every read is a checked copy (safe_read.h),
 * every loop bounded; nothing here takes the GIL or allocates.
 *
 * Before 3.14 there are no such lists: unlocked_tasks_find() says why. */
#ifndef VANDREL_CPYTHON_TASK_LISTS_H
#define VANDREL_CPYTHON_TASK_LISTS_H

#include <stddef.h>
#include <stdint.h>

#include "cpython/unlocked_reader.h"

namespace vandrel {

/* Find the task layout the running _asyncio publishes, once it is loaded,
 * and check it against the thread-state layout compiled in.  Any thread,
 * no GIL; not in a signal handler (it reads the loaded objects' files and
 * takes the loader's lock).  The answer is kept once found.  False, with
 * *why a static sentence, when the tasks cannot be read this way. */
bool unlocked_tasks_find(const char **why);

/* One task as read from its object. */
struct unlocked_task {
    const void *address;
    const void *awaited_by; /* NULL, a future or task, or a set of them */
    bool awaited_by_is_set;
    const void *name;       /* a str, or an int (a "Task-N" counter) */
    const void *coro;
};

/* The running loop of the thread state `tstate` (NULL: none, or
 * unreadable).  After unlocked_tasks_find(). */
const void *unlocked_running_loop(const void *tstate);

/* The tasks of `loop` in the task list of `tstate`, in the list's order
 * (creation order): up to `capacity` into `tasks`; the pending tasks of
 * the loop past that are counted in *not_read.  At most `limit` list
 * nodes are followed; *torn is set when the list could not be read to
 * its end.  After unlocked_tasks_find(). */
size_t unlocked_loop_tasks(const void *tstate, const void *loop, unlocked_task *tasks,
                           size_t capacity, size_t limit, size_t *not_read, bool *torn);

/* What a future or task object says of its awaiters; false when it
 * cannot be read. */
struct unlocked_future_links {
    bool is_task;
    const void *awaited_by;
    bool awaited_by_is_set;
};
bool unlocked_future_read(const void *future, unlocked_future_links *out);

/* Up to `capacity` members of the set object `set`; how many. */
size_t unlocked_set_members(const unlocked_target *target, const void *set, const void **members,
                            size_t capacity);

/* A task's name as text: a str, or "Task-N" for a counter. */
bool unlocked_task_name(const unlocked_target *target, const void *name, unlocked_text *out);

/* One step down a coroutine chain: the frame of the coroutine (or
 * generator) `coroutine` and, when it is suspended awaiting another
 * coroutine, that one in *awaits (else NULL).  False when `coroutine` is
 * not a coroutine with a frame. */
bool unlocked_coroutine_step(const unlocked_target *target, const void *coroutine,
                             unlocked_frame *frame, const void **awaits);

/* The name of an object's type, without its module, into `out` (at most
 * `capacity` bytes, no NUL); its length, 0 when unreadable. */
size_t unlocked_type_name(const void *object, char *out, size_t capacity);

}  // namespace vandrel

#endif /* VANDREL_CPYTHON_TASK_LISTS_H */
