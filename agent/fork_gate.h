/* The fork gate: the agent's own threads and fork() keep out of each
 * other's way.
 *
 * fork() copies every lock as it stands, while only the forking thread
 * goes on in the child.  A lock another thread held at that moment stays
 * held in the child for good: the allocator's (glibc's malloc takes its
 * own across fork(); an allocator that does not, such as AddressSanitizer's,
 * is left as it was), the agent's own, the C library's.  So the agent's
 * threads tell the gate when they run work that may take a lock or
 * allocate without the GIL, and a thread counts as busy from its creation
 * to its first instruction (the C library and any sanitizer runtime set a
 * new thread up with allocations of their own).  The gate's fork handler
 * closes the gate and waits until none is busy (at most 2 s), and the
 * gate opens again once fork() has returned, in the parent and the child.
 *
 * Work done with the GIL needs no gate: a fork() from Python holds the
 * GIL.  Nor must gated work ever wait for the GIL, or for any lock a
 * forking thread may hold, since the fork waits for it. */
#ifndef VANDREL_FORK_GATE_H
#define VANDREL_FORK_GATE_H

#include <pthread.h>

namespace vandrel {

/* The calling agent thread starts work that may take a lock or allocate;
 * waits while a fork() is being prepared.  Nests.  Never call it while
 * waiting on the GIL or holding a lock a forking thread could want. */
void fork_gate_enter();
/* That work is done. */
void fork_gate_leave();

/* Start an agent thread running `main(arg)` with every signal blocked (the
 * program's handlers run on the program's threads), counted as busy until
 * it runs `main`.  `attr` may be null.  Returns pthread_create's error. */
int start_agent_thread(pthread_t *thread, const pthread_attr_t *attr, void *(*main)(void *),
                       void *arg);

/* Scoped fork_gate_enter()/fork_gate_leave(). */
class fork_gate_section {
public:
    fork_gate_section() { fork_gate_enter(); }
    ~fork_gate_section() { fork_gate_leave(); }
    fork_gate_section(const fork_gate_section &) = delete;
    fork_gate_section &operator=(const fork_gate_section &) = delete;
};

}  // namespace vandrel

#endif
