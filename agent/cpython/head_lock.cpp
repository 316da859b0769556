/* The runtime's head lock: reaching it, taking it without giving up the
 * GIL, and (3.10, 3.11) making it afresh in a forked child. */
#include "cpython/core.h"

#include "cpython/head_lock.h"

#include <pthread.h>
#include <sched.h>
#include <stddef.h>
#include <string.h>
#include <time.h>

/* A PyMutex from 3.13 on, a PyThread_type_lock before; neither for a
 * version this agent does not know. */
#define VANDREL_HEAD_PYMUTEX (VANDREL_PY_KNOWN && VANDREL_PY_HAS_PYMUTEX_HEAD_LOCK)
#define VANDREL_HEAD_THREAD_LOCK (VANDREL_PY_KNOWN && !VANDREL_PY_HAS_PYMUTEX_HEAD_LOCK)

namespace vandrel {

namespace {


#if VANDREL_HEAD_PYMUTEX
/* The runtime's head lock (_PyRuntime.interpreters.mutex), or NULL when
 * this agent cannot reach it. */
PyMutex *head_mutex(const python_api *api)
{
    if (!api->layout_matches || api->runtime_state == nullptr || api->mutex_unlock == nullptr) {
        return nullptr;
    }
    return &static_cast<_PyRuntimeState *>(api->runtime_state)->interpreters.mutex;
}

/* Take the head lock as CPython's own HEAD_LOCK() does: keeping the GIL
 * (the lock's holders never wait for it), and never parking, so nothing
 * of the interpreter runs meanwhile.  The exported PyMutex_Lock() would
 * release the GIL while it waits.  The lock is only ever held for a
 * moment, except by a thread that runs Python code under it (a __del__
 * run while CPython clears thread states), which may be this one: so
 * give up after about a second.  On success return true; on giving up
 * return false. */
bool head_mutex_lock(PyMutex *mutex)
{
    const unsigned max_spins = 1024 + 20000; /* then 20000 pauses of 50 us */
    for (unsigned spins = 0; spins < max_spins; spins++) {
        uint8_t bits = __atomic_load_n(&mutex->_bits, __ATOMIC_RELAXED);
        if ((bits & _Py_LOCKED) == 0
            && __atomic_compare_exchange_n(&mutex->_bits, &bits,
                                           static_cast<uint8_t>(bits | _Py_LOCKED), false,
                                           __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
            return true;
        }
        if (spins < 64) {
            continue;
        }
        if (spins < 1024) {
            sched_yield();
        }
        else {
            struct timespec pause = {0, 50000};
            nanosleep(&pause, nullptr);
        }
    }
    return false;
}

/* Release it; PyMutex_Unlock() wakes the threads parked on it, if any. */
void head_mutex_unlock(const python_api *api, PyMutex *mutex)
{
    uint8_t expected = _Py_LOCKED;
    if (!__atomic_compare_exchange_n(&mutex->_bits, &expected, static_cast<uint8_t>(_Py_UNLOCKED),
                                     false, __ATOMIC_RELEASE, __ATOMIC_RELAXED)) {
        api->mutex_unlock(mutex);
    }
}
#endif /* VANDREL_HEAD_PYMUTEX */

#if VANDREL_HEAD_THREAD_LOCK
/* The runtime's head lock on 3.10-3.12 (_PyRuntime.interpreters.mutex, a
 * PyThread_type_lock), or NULL when this agent cannot reach it.  The
 * lock is read afresh each time: a child made by fork() gets a new one.
 * The offsets come from the compiled headers; the main interpreter found
 * beside the lock must be the one the runtime names, or the layout is
 * not the one compiled (another micro version) and the lock is left
 * alone. */
PyThread_type_lock head_thread_lock(const python_api *api)
{
    if (!api->layout_matches || api->runtime_state == nullptr
        || api->thread_acquire_lock_timed == nullptr || api->thread_release_lock == nullptr
        || api->interpreter_main == nullptr) {
        return nullptr;
    }
    const char *runtime = static_cast<const char *>(api->runtime_state);
    PyInterpreterState *main_interpreter;
    memcpy(&main_interpreter, runtime + offsetof(_PyRuntimeState, interpreters.main), sizeof main_interpreter);
    if (main_interpreter == nullptr || main_interpreter != api->interpreter_main()) {
        return nullptr;
    }
    PyThread_type_lock lock;
    memcpy(&lock, runtime + offsetof(_PyRuntimeState, interpreters.mutex), sizeof lock);
    return lock;
}

#if VANDREL_PY_HAS_HEAD_LOCK_FORK_HANG
/* CPython 3.10 and 3.11 take the head lock in a forked child before they
 * make it afresh (CPython gh-112275, mended in 3.12 and in later micro
 * releases), so a child forked while another thread held it hangs in
 * os.fork() for good.  The agent's reporter makes that likelier: its
 * PyGILState_Ensure() takes the lock before it waits for the GIL.  So make
 * the lock afresh first, as CPython itself does a moment later.  Only once
 * the agent has found the interpreter: a fork handler looks nothing up. */
void renew_head_lock_in_child()
{
    const python_api *api = python_api_if_resolved();
    if (api == nullptr || api->thread_at_fork_reinit == nullptr
        || head_thread_lock(api) == nullptr) {
        return;
    }
    char *runtime = static_cast<char *>(api->runtime_state);
    (void)api->thread_at_fork_reinit(
        reinterpret_cast<PyThread_type_lock *>(runtime + offsetof(_PyRuntimeState, interpreters.mutex)));
}

__attribute__((constructor)) void renew_head_lock_across_fork()
{
    pthread_atfork(nullptr, nullptr, renew_head_lock_in_child);
}
#endif
#endif /* VANDREL_HEAD_THREAD_LOCK */

}  // namespace

/* Take the runtime's head lock, as sys._current_frames() does: keeping
 * the GIL, which the lock's holders never wait for.  It is only ever held
 * for a moment, except by a thread that runs Python code under it (a
 * __del__ run while CPython clears thread states), which may be this one
 * (the lock is not reentrant): so give up after about a second.  Return
 * what was reached and taken. */
head_lock take_head_lock(const python_api *api)
{
    head_lock lock;
    memset(&lock, 0, sizeof lock);
#if VANDREL_HEAD_PYMUTEX
    PyMutex *mutex = head_mutex(api);
    lock.lock = mutex;
    lock.reachable = mutex != nullptr;
    lock.held = lock.reachable && head_mutex_lock(mutex);
#elif VANDREL_HEAD_THREAD_LOCK
    PyThread_type_lock thread_lock = head_thread_lock(api);
    lock.lock = thread_lock;
    lock.reachable = thread_lock != nullptr;
    /* Not interruptible: a signal retries the wait with what is left of
     * the timeout. */
    lock.held = lock.reachable
        && api->thread_acquire_lock_timed(thread_lock, 1000000, 0) == PY_LOCK_ACQUIRED;
#else
    (void)api;
#endif
    return lock;
}

/* Release a lock taken by take_head_lock(); nothing when not held. */
void release_head_lock(const python_api *api, head_lock *lock)
{
    if (!lock->held) {
        return;
    }
#if VANDREL_HEAD_PYMUTEX
    head_mutex_unlock(api, static_cast<PyMutex *>(lock->lock));
#elif VANDREL_HEAD_THREAD_LOCK
    api->thread_release_lock(static_cast<PyThread_type_lock>(lock->lock));
#else
    (void)api;
#endif
    lock->held = false;
}

}  // namespace vandrel
