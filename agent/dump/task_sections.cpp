/* The asyncio tasks of the signal and timer dumps, asked of the package's
 * formatter with the GIL.
 *
 * The agent's thread writes those dumps without the GIL, but a task's
 * state can only be read with it, by Python code.  So before each such
 * dump a short-lived helper thread takes the GIL (PyGILState_Ensure, which
 * gives it a thread state of its own for the while), calls the formatter
 * and copies its answer into C memory; the agent's thread waits for it a
 * bounded time.  When the GIL cannot be had in that time (a thread keeps
 * it, maybe the very thread the signal interrupted, which waits in the
 * handler) the dump goes on without the tasks and says why; the helper,
 * once it gets the GIL, sees that it came too late and lets go at once.
 * One helper at a time: while one still waits, a dump says so instead.
 * No Python code runs without the GIL, nor in a signal handler. */
#include "dump/dump.h"

#include "agent.h"
#include "cpython/python_api.h"
#include "fork_gate.h"

#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

namespace vandrel {
namespace dump {

namespace {

pthread_mutex_t state_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t state_changed;
bool cond_ready = false;

/* Owned; changed and read with the GIL held.  `formatter_set` mirrors it
 * for the agent's thread, which has no GIL. */
PyObject *formatter = nullptr;
bool formatter_set = false;

/* The helper's threading ident while it runs (0: none): its thread state,
 * made as it asks for the GIL, is the tool's, not the program's. */
unsigned long helper_ident = 0;

/* Under state_lock. */
bool helper_running = false;
uint64_t last_request = 0;
/* The frame limit of last_request's dump: the helper formats the tasks
 * with it, as that dump shows its threads. */
int64_t requested_max_frames = 0;
uint64_t answered = 0;
bool given_up = false;
gathered_sections answer;

const char NOTE_BUSY[] =
    "vandrel: asyncio tasks not shown: an earlier dump still waits for the GIL\n";
const char NOTE_NO_THREAD[] =
    "vandrel: asyncio tasks not shown: no thread could be started to read them\n";
const char NOTE_TIMEOUT[] =
    "vandrel: asyncio tasks not shown: the GIL was not released within 0.5 s "
    "(they can only be read with it)\n";
const char NOTE_FAILED[] =
    "vandrel: asyncio tasks not shown: the task formatter failed\n";
const char NOTE_FINALIZING[] =
    "vandrel: asyncio tasks not shown: the interpreter is shutting down\n";

/* Lock held.  A default condition variable (its clock is CLOCK_REALTIME:
 * pthread_condattr_setclock would need glibc 2.34); the waits below are
 * short slices measured against the monotonic clock, so a clock jump
 * cannot stretch them. */
void ensure_cond()
{
    if (!cond_ready) {
        pthread_cond_init(&state_changed, nullptr);
        cond_ready = true;
    }
}

long elapsed_ns(const struct timespec *since)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - since->tv_sec) * 1000000000L + (now.tv_nsec - since->tv_nsec);
}

constexpr long WAIT_FOR_GIL_NS = 500000000L;
constexpr long WAIT_SLICE_NS = 20000000L;

/* Copy the formatter's answer, a dict {ident: str}, into `out`.  GIL
 * held.  False when it is not such a dict. */
bool copy_answer(const python_api *api, PyObject *result, gathered_sections *out)
{
    if ((api->type_get_flags(Py_TYPE(result)) & Py_TPFLAGS_DICT_SUBCLASS) == 0) {
        return false;
    }
    Py_ssize_t size = api->dict_size(result);
    if (size <= 0) {
        return size == 0;
    }
    out->idents = static_cast<unsigned long *>(calloc(static_cast<size_t>(size),
                                                      sizeof *out->idents));
    out->texts = static_cast<char **>(calloc(static_cast<size_t>(size), sizeof *out->texts));
    if (out->idents == nullptr || out->texts == nullptr) {
        return false;
    }
    Py_ssize_t position = 0;
    PyObject *key = nullptr, *value = nullptr;
    size_t count = 0;
    while (count < static_cast<size_t>(size) && api->dict_next(result, &position, &key, &value)) {
        if ((api->type_get_flags(Py_TYPE(key)) & Py_TPFLAGS_LONG_SUBCLASS) == 0
            || (api->type_get_flags(Py_TYPE(value)) & Py_TPFLAGS_UNICODE_SUBCLASS) == 0) {
            continue;
        }
        Py_ssize_t length = 0;
        const char *text = api->unicode_as_utf8_and_size(value, &length);
        unsigned long ident = api->long_as_unsigned_long(key);
        if (text == nullptr || api->err_occurred() != nullptr) {
            api->err_clear();
            continue;
        }
        char *copy = static_cast<char *>(malloc(static_cast<size_t>(length) + 1));
        if (copy == nullptr) {
            break;
        }
        memcpy(copy, text, static_cast<size_t>(length));
        copy[length] = '\0';
        out->idents[count] = ident;
        out->texts[count] = copy;
        count++;
    }
    out->count = count;
    return true;
}

void *take_gil_and_format(void *argument)
{
    __atomic_store_n(&helper_ident, static_cast<unsigned long>(pthread_self()), __ATOMIC_RELEASE);
    uint64_t request = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(argument));
    const python_api *api = python_api_if_resolved();
    gathered_sections result;
    memset(&result, 0, sizeof result);
    if (api == nullptr || api->gil_state_ensure == nullptr || api->is_finalizing == nullptr
        || api->is_finalizing()) {
        result.note = NOTE_FINALIZING;
    }
    else {
        PyGILState_STATE state = api->gil_state_ensure();
        pthread_mutex_lock(&state_lock);
        bool wanted = request == last_request && !given_up;
        int64_t max_frames = requested_max_frames;
        pthread_mutex_unlock(&state_lock);
        if (wanted) {
            (void)gather_task_sections_with_gil(&result, max_frames);
        }
        api->gil_state_release(state);
    }
    pthread_mutex_lock(&state_lock);
    if (request == last_request && !given_up) {
        answer = result;
        answered = request;
    }
    else {
        free_task_sections(&result);
    }
    helper_running = false;
    __atomic_store_n(&helper_ident, 0UL, __ATOMIC_RELEASE);
    pthread_cond_broadcast(&state_changed);
    pthread_mutex_unlock(&state_lock);
    return nullptr;
}

}  // namespace

bool is_task_helper(unsigned long ident)
{
    unsigned long helper = __atomic_load_n(&helper_ident, __ATOMIC_ACQUIRE);
    return helper != 0 && helper == ident;
}

void free_task_sections(gathered_sections *sections)
{
    for (size_t i = 0; sections->texts != nullptr && i < sections->count; i++) {
        free(sections->texts[i]);
    }
    free(sections->idents);
    free(sections->texts);
    memset(sections, 0, sizeof *sections);
}

bool task_sections_missed_the_gil(const gathered_sections *sections)
{
    return sections->note == NOTE_TIMEOUT || sections->note == NOTE_BUSY;
}

void task_sections_view(const gathered_sections *sections, thread_sections *view)
{
    view->count = sections->count;
    view->idents = sections->idents;
    view->texts = sections->texts;
    view->note = sections->note;
}

bool gather_task_sections(gathered_sections *out, int64_t max_frames)
{
    memset(out, 0, sizeof *out);
    if (!__atomic_load_n(&formatter_set, __ATOMIC_ACQUIRE)) {
        return false;
    }
    pthread_mutex_lock(&state_lock);
    ensure_cond();
    if (helper_running) {
        pthread_mutex_unlock(&state_lock);
        out->note = NOTE_BUSY;
        return true;
    }
    uint64_t request = ++last_request;
    requested_max_frames = max_frames;
    given_up = false;
    helper_running = true;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    /* The agent's thread blocks every signal; so does the helper. */
    if (start_agent_thread(&thread, &attr, take_gil_and_format,
                           reinterpret_cast<void *>(static_cast<uintptr_t>(request))) != 0) {
        pthread_attr_destroy(&attr);
        helper_running = false;
        pthread_mutex_unlock(&state_lock);
        out->note = NOTE_NO_THREAD;
        return true;
    }
    pthread_attr_destroy(&attr);
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    while (answered != request && elapsed_ns(&start) < WAIT_FOR_GIL_NS) {
        struct timespec slice;
        clock_gettime(CLOCK_REALTIME, &slice);
        slice.tv_nsec += WAIT_SLICE_NS;
        if (slice.tv_nsec >= 1000000000L) {
            slice.tv_sec++;
            slice.tv_nsec -= 1000000000L;
        }
        (void)pthread_cond_timedwait(&state_changed, &state_lock, &slice);
    }
    if (answered == request) {
        *out = answer;
        memset(&answer, 0, sizeof answer);
    }
    else {
        given_up = true;
        out->note = NOTE_TIMEOUT;
    }
    pthread_mutex_unlock(&state_lock);
    return true;
}

bool gather_task_sections_with_gil(gathered_sections *out, int64_t max_frames)
{
    memset(out, 0, sizeof *out);
    const python_api *api = python_api_if_resolved();
    if (formatter == nullptr || api == nullptr || api->object_call_one_arg == nullptr
        || api->long_from_long_long == nullptr) {
        return false;
    }
    PyObject *callable = formatter;
    api->incref(callable);
    /* The formatter bounds each task's coroutine chain as the dump bounds
     * each thread's stack. */
    PyObject *limit = api->long_from_long_long(static_cast<long long>(max_frames));
    PyObject *value = limit != nullptr ? api->object_call_one_arg(callable, limit) : nullptr;
    if (limit != nullptr) {
        api->decref(limit);
    }
    if (value == nullptr || !copy_answer(api, value, out)) {
        api->err_clear();
        free_task_sections(out);
        out->note = NOTE_FAILED;
    }
    if (value != nullptr) {
        api->decref(value);
    }
    api->decref(callable);
    return true;
}

int32_t set_task_formatter(PyObject *callable)
{
    const python_api *api = python_api_get_for_interceptor();
    if (api == nullptr || api->thread_state_unchecked() == nullptr) {
        return VANDREL_NO_GIL;
    }
    if (callable != nullptr && callable != api->none) {
        if (!api->callable_check(callable)) {
            return VANDREL_BAD_PARAMETER;
        }
        api->incref(callable);
    }
    else {
        callable = nullptr;
    }
    PyObject *previous = formatter;
    formatter = callable;
    __atomic_store_n(&formatter_set, callable != nullptr, __ATOMIC_RELEASE);
    if (previous != nullptr) {
        api->decref(previous);
    }
    return VANDREL_OK;
}

void task_sections_after_fork()
{
    /* The helper did not survive the fork. */
    pthread_mutex_init(&state_lock, nullptr);
    cond_ready = false;
    helper_running = false;
    helper_ident = 0;
    given_up = false;
    memset(&answer, 0, sizeof answer);
}

}  // namespace dump
}  // namespace vandrel
