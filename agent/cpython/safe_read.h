/* Reading this process's memory through a path that fails instead of
 * faulting: process_vm_readv() on the process itself, the way
 * out-of-process profilers read a Python process.  Memory that is unmapped
 * (a frame or an object freed under the reader) makes the copy fail; the
 * reader then shows what it could not read as unreadable and goes on.
 *
 * Safe from any thread, GIL or not; not async-signal-safe only in that it
 * remembers its verdict in a plain atomic word. */
#ifndef VANDREL_CPYTHON_SAFE_READ_H
#define VANDREL_CPYTHON_SAFE_READ_H

#include <stddef.h>
#include <stdint.h>

namespace vandrel {

/* Copy `size` bytes at `address` (this process) into `into`.  Return true
 * when every byte was copied; false when any part is not readable, or
 * when the kernel refuses the read itself (see safe_read_refused()). */
bool safe_copy(void *into, const void *address, size_t size);

/* Two copies in one call: the second only when the first succeeds.
 * Return how many of the two were copied whole (0, 1 or 2). */
int safe_copy_two(void *into1, const void *address1, size_t size1, void *into2,
                  const void *address2, size_t size2);

/* Copy `count` objects of `each` bytes at `addresses[i]` into
 * `into + i * each`, as few calls as the kernel allows (IOV_MAX at a
 * time); ok[i] says whether object i was copied whole. */
void safe_copy_many(void *into, size_t each, const void *const *addresses, size_t count,
                    bool *ok);

/* Whether this process may read itself this way at all: false when a
 * seccomp filter or the kernel refuses process_vm_readv (ENOSYS, EPERM).
 * Tested once with a read of the reader's own stack; the answer is kept.
 * VANDREL_SAFE_READ=refused in the environment makes it answer false,
 * for tests of the fallback. */
bool safe_read_available();

}  // namespace vandrel

#endif /* VANDREL_CPYTHON_SAFE_READ_H */
