/* The GIL interceptor's session: the entry points that switch it on and
 * off, the import-slot patching, and the fork and exit handlers.  Entry
 * points run with the GIL held. */
#include "cpython/gil_place.h"
#include "cpython/python_api.h"
#include "gil/internal.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <stddef.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "agent.h"
#include "import_slots.h"

namespace vandrel {
namespace gil {

const python_api *py = nullptr;
session_config session;

}  // namespace gil

namespace {

using namespace gil;

/* ---- Parameters --------------------------------------------------------- */

const int64_t default_sample_period_us = 10000;
const int64_t min_sample_period_us = 100;
const int64_t max_sample_period_us = 60LL * 1000 * 1000;
const int64_t max_report_period_ms = 1000LL * 1000 * 1000;

/* The long-hold threshold when none is given: twice the switch interval
 * as it is now (5 ms unless changed, so 10 ms).  GIL held; leaves no
 * exception set. */
int64_t default_long_hold_ns()
{
    int64_t threshold_ns = 10LL * 1000 * 1000;
    owned_refs owned(py);
    PyObject *sys = owned(py->import_module("sys"));
    PyObject *getter = owned(sys ? py->object_get_attr_string(sys, "getswitchinterval") : nullptr);
    PyObject *interval = owned(getter ? py->object_call_no_args(getter) : nullptr);
    if (interval != nullptr) {
        double seconds = py->float_as_double(interval);
        if (seconds > 0 && seconds < 3600) {
            threshold_ns = static_cast<int64_t>(2 * seconds * 1e9);
        }
    }
    owned.drop();
    if (py->err_occurred()) {
        py->err_clear();
    }
    return threshold_ns > 0 ? threshold_ns : 1;
}

/* Point `py` at the interpreter's functions.  GIL held (entry points).
 * On success return true; return false when the process lacks one of
 * them (the answer is cached). */
bool load_python_api()
{
    if (py == nullptr) {
        py = python_api_get_for_interceptor();
    }
    return py != nullptr;
}

/* ---- Session state (changed only by the entry points, GIL held) -------- */

enum session_phase : int { SESSION_OFF, SESSION_STARTING, SESSION_ON, SESSION_STOPPING };

int session_phase_now = SESSION_OFF;

const int max_slots = 4;
got_slot lock_slots[max_slots];
got_slot unlock_slots[max_slots];
int lock_slot_count;
int unlock_slot_count;


/* A close-on-exec duplicate of fd, numbered 3 or above.  On success return
 * it; on error return -1.  A raw system call: fcntl() would bind a glibc
 * symbol newer than the oldest glibc the agent supports. */
int own_duplicate(int fd)
{
    long duplicate = syscall(SYS_fcntl, fd, F_DUPFD_CLOEXEC, 3);
    return duplicate < 0 ? -1 : static_cast<int>(duplicate);
}

/* Close the session's own report descriptor, if any.  Entry points only,
 * once the reporter has stopped (or, after fork, does not exist). */
void close_report_fd()
{
    if (session.report_fd >= 0) {
        close(session.report_fd);
        session.report_fd = -1;
    }
}

/* ---- Patching ----------------------------------------------------------- */

/* Point every slot at `hook`.  On success return true.  On error put back
 * the slots already written and return false. */
bool patch_slots(got_slot *slots, int count, void *hook)
{
    for (int i = 0; i < count; i++) {
        if (!write_got_slot(&slots[i], hook)) {
            for (int j = 0; j < i; j++) {
                write_got_slot(&slots[j], slots[j].original);
            }
            return false;
        }
    }
    return true;
}

void restore_slots(got_slot *slots, int count)
{
    for (int i = 0; i < count; i++) {
        write_got_slot(&slots[i], slots[i].original);
    }
}

/* The function a slot leads to once bound: its current value, unless that
 * is still a lazy-binding stub inside the interpreter library (or one of
 * our hooks), in which case the symbol as the process resolves it. */
mutex_func bound_function(const got_slot *slot, const void *anchor, const char *symbol,
                          void *hook)
{
    if (slot->original != hook && !same_object(anchor, slot->original)) {
        return reinterpret_cast<mutex_func>(slot->original);
    }
    return reinterpret_cast<mutex_func>(dlsym(RTLD_DEFAULT, symbol));
}

/* Does a slot lead into another copy of this agent (an object whose path
 * names it, loaded from elsewhere)?  Then that copy's interceptor is on:
 * chaining behind its hook would leave the slots pointing at it once it
 * is switched off. */
bool hooked_by_another_agent(const got_slot *slots, int count)
{
    Dl_info ours;
    if (dladdr(reinterpret_cast<void *>(hooked_mutex_lock), &ours) == 0) {
        return false;
    }
    for (int i = 0; i < count; i++) {
        Dl_info owner;
        if (dladdr(slots[i].original, &owner) != 0 && owner.dli_fbase != ours.dli_fbase &&
            owner.dli_fname != nullptr && strstr(owner.dli_fname, "vandrel_agent.") != nullptr) {
            return true;
        }
    }
    return false;
}

/* Stop observing: put the interpreter's slots back and wait until no hook
 * is still touching the records.  Afterwards the records are frozen. */
void unhook()
{
    restore_slots(lock_slots, lock_slot_count);
    restore_slots(unlock_slots, unlock_slot_count);
    pthread_mutex_t *gil_mutex = __atomic_load_n(&hooks.watched_mutex, __ATOMIC_SEQ_CST);
    __atomic_store_n(&hooks.watched_mutex, static_cast<pthread_mutex_t *>(nullptr), __ATOMIC_SEQ_CST);
    if (gil_mutex != nullptr) {
        quiesce_hooks(gil_mutex);
        quiesce_hooks(hooks.gil_switch.switch_mutex);
    }
    /* A thread's first touch pokes the reporter before it takes gil->mutex,
     * but under table_lock: once this is stored under it, no poke is on
     * its way and the eventfd may be closed. */
    lock_records();
    __atomic_store_n(&naming_wake_fd, -1, __ATOMIC_RELEASE);
    unlock_records();
}

/* ---- Process-level hooks -------------------------------------------------- */

/* The sink's reference a forked child took over from the parent's
 * session: dropped, with the GIL, by the child's next entry point or its
 * os.register_at_fork callback. */
PyObject *sink_left_by_fork;

void drop_sink_left_by_fork()
{
    PyObject *sink = sink_left_by_fork;
    sink_left_by_fork = nullptr;
    if (sink != nullptr) {
        py->decref(sink);
    }
}

/* fork()'s handler in the child, registered with pthread_atfork, so that
 * it runs however the child was made: by os.fork(), or by C code that
 * calls fork() itself (ctypes, a C library), for which no
 * os.register_at_fork callback ever runs.  Only the forking thread exists
 * in the child: the reporter is gone, so the session is switched off
 * here, silently (the parent's session keeps its reports), before the
 * child runs any code: an exit handler that found it on would join a
 * thread that does not exist.  No Python: the sink's reference waits for
 * the GIL. */
void session_off_in_child()
{
    if (session_phase_now == SESSION_OFF) {
        return;
    }
    restore_slots(lock_slots, lock_slot_count);
    restore_slots(unlock_slots, unlock_slot_count);
    __atomic_store_n(&hooks.watched_mutex, static_cast<pthread_mutex_t *>(nullptr), __ATOMIC_SEQ_CST);
    naming_wake_fd = -1;
    reporter *r = session.background;
    session.background = nullptr;
    if (r != nullptr && pthread_equal(r->thread, pthread_self())) {
        /* Forked from inside the sink: this thread is the reporter, still
         * in its loop.  It ends once the sink returns and frees its
         * reporter itself, as after a stop from the sink. */
        r->detached = 1;
        __atomic_store_n(&r->stop, 1, __ATOMIC_RELEASE);
    }
    else if (r != nullptr) {
        free_reporter(r); /* its thread was not copied */
    }
    forget_holder_watch();
    if (session.sink != nullptr) {
        sink_left_by_fork = session.sink;
        session.sink = nullptr;
    }
    close_report_fd();
    end_insight();
    session_phase_now = SESSION_OFF;
}

__attribute__((constructor)) void switch_off_in_forked_children()
{
    pthread_atfork(nullptr, nullptr, session_off_in_child);
}

/* os.register_at_fork(after_in_child=...) callback, with the GIL: the
 * session is off already (session_off_in_child); drop the sink. */
PyObject *after_fork_in_child(PyObject * /*self*/, PyObject * /*unused*/)
{
    drop_sink_left_by_fork();
    py->incref(py->none);
    return py->none;
}

PyMethodDef after_fork_def = {"_vandrel_gil_interceptor_after_fork", after_fork_in_child,
                              METH_NOARGS, nullptr};

/* atexit callback: end a session still on, so its final report is made
 * while the interpreter is intact and no hook outlives the GIL. */
PyObject *stop_at_exit(PyObject * /*self*/, PyObject * /*unused*/)
{
    if (session_phase_now == SESSION_ON) {
        gil_interceptor_stop();
    }
    py->incref(py->none);
    return py->none;
}

PyMethodDef stop_at_exit_def = {"_vandrel_gil_interceptor_atexit", stop_at_exit, METH_NOARGS,
                                nullptr};

/* Call `module`.`function`(callback) or, when `keyword` is given,
 * `module`.`function`(keyword=callback).  GIL held.  Leaves no exception
 * set; returns whether the call succeeded. */
bool register_callback(const char *module_name, const char *function, const char *keyword,
                       PyMethodDef *def)
{
    owned_refs owned(py);
    PyObject *module = owned(py->import_module(module_name));
    PyObject *callback = owned(py->cmethod_new(def, nullptr, nullptr, nullptr));
    PyObject *target = owned(module ? py->object_get_attr_string(module, function) : nullptr);
    PyObject *result = nullptr;
    if (target != nullptr && callback != nullptr) {
        if (keyword == nullptr) {
            result = owned(py->object_call_one_arg(target, callback));
        }
        else {
            PyObject *kwargs = owned(py->dict_new());
            PyObject *no_args = kwargs ? py->tuple_new(0) : nullptr;
            if (no_args != nullptr && py->dict_set_item_string(kwargs, keyword, callback) == 0) {
                result = owned(py->object_call(target, no_args, kwargs));
            }
            if (no_args) {
                py->decref(no_args);
            }
        }
    }
    bool ok = result != nullptr;
    owned.drop();
    if (py->err_occurred()) {
        py->err_clear();
    }
    return ok;
}

bool process_hooks_installed = false;

/* Once per process: the fork handler and the interpreter exit callback.
 * GIL held.  A failure to register either is not fatal. */
void install_process_hooks()
{
    if (process_hooks_installed) {
        return;
    }
    process_hooks_installed = true;
    register_callback("os", "register_at_fork", "after_in_child", &after_fork_def);
    register_callback("atexit", "register", nullptr, &stop_at_exit_def);
}

/* ---- Checks -------------------------------------------------------------- */

/* Is the running interpreter the one this agent was built for, with a
 * GIL?  Same minor version as the headers, not free-threaded, not
 * finalizing.  GIL held. */
bool interpreter_supported()
{
    if (!gil_layout_known() || !py->layout_matches) {
        return false;
    }
    PyObject *abiflags = py->sys_get_object("abiflags");
    if (abiflags != nullptr) {
        Py_ssize_t length = 0;
        const char *flags = py->unicode_as_utf8_and_size(abiflags, &length);
        if (flags == nullptr) {
            py->err_clear();
            return false;
        }
        if (strchr(flags, 't') != nullptr) {
            return false;
        }
    }
    /* Once the main interpreter is finalizing (from the start of
     * Py_FinalizeEx, before the threads are joined and the exit callbacks
     * run, which includes ours) nothing would switch us off again. */
    PyInterpreterState *main_interp = py->interpreter_main();
    if (py->is_finalizing() || main_interp == nullptr) {
        return false;
    }
    return !main_interpreter_finalizing(py, main_interp);
}

/* Is the caller running in the main interpreter?  GIL held.  Only the
 * main interpreter's GIL is intercepted, and the session's sink belongs to
 * it: a subinterpreter (with its own GIL or not) must neither start nor
 * stop a session. */
bool in_main_interpreter()
{
    PyInterpreterState *interp = py->interpreter_get();
    return interp != nullptr && interp == py->interpreter_main();
}

/* What each entry point checks first: the interpreter's functions, the
 * GIL held, the main interpreter.  VANDREL_OK, or the status to return. */
int32_t check_caller()
{
    if (!load_python_api()) {
        return VANDREL_NOT_AVAILABLE;
    }
    if (!py->gil_state_check()) {
        return VANDREL_NO_GIL;
    }
    if (!in_main_interpreter()) {
        return VANDREL_NOT_AVAILABLE;
    }
    return VANDREL_OK;
}

/* -1 (no report) or an open descriptor.  poll() flags a closed one with
 * POLLNVAL and, unlike fcntl(), binds no newer glibc symbol. */
bool valid_fd(int32_t fd)
{
    if (fd == -1) {
        return true;
    }
    struct pollfd probe = {fd, 0, 0};
    return fd >= 0 && poll(&probe, 1, 0) >= 0 && (probe.revents & POLLNVAL) == 0;
}

}  // namespace

using namespace gil;

/* ---- Entry points ------------------------------------------------------- */

int32_t gil_interceptor_start(void *sink_arg, int64_t sample_period_us, int64_t report_period_ms,
                              int32_t report_fd, int32_t a, int32_t b, int32_t c)
{
    int32_t checked = check_caller();
    if (checked != VANDREL_OK) {
        return checked;
    }
    drop_sink_left_by_fork();
    find_clock();
    pthread_mutex_t *gil_mutex = nullptr;
    const int *gil_locked_flag = nullptr;
    if (!interpreter_supported() || !find_gil(py, &gil_mutex, &gil_locked_flag, &hooks.gil_switch)) {
        return VANDREL_NOT_AVAILABLE;
    }
    PyObject *sink = static_cast<PyObject *>(sink_arg);
    if (sink == py->none) {
        sink = nullptr;
    }
    if (sample_period_us == 0) {
        sample_period_us = default_sample_period_us;
    }
    if ((sink != nullptr && !py->callable_check(sink)) || sample_period_us < min_sample_period_us ||
        sample_period_us > max_sample_period_us || report_period_ms < 0 ||
        report_period_ms > max_report_period_ms || !valid_fd(report_fd) || a < 0 || b < 0 ||
        c != 0) {
        return VANDREL_BAD_PARAMETER;
    }
    if (session_phase_now != SESSION_OFF) {
        return VANDREL_ALREADY_ON;
    }
    /* Taken before any Python code runs: the default threshold imports
     * sys through builtins.__import__, which a tracer may replace with code
     * that lets go of the GIL, and a second starter must then find the
     * session starting.  Every refusal below sets it back to off. */
    session_phase_now = SESSION_STARTING;
    if (!create_binding_key()) {
        session_phase_now = SESSION_OFF;
        return VANDREL_SYSTEM_ERROR;
    }
    int64_t threshold_ns = a > 0 ? static_cast<int64_t>(a) * 1000 : default_long_hold_ns();
    /* The ring is the session's from begin_insight() on; until then a
     * refusal frees it. */
    timeline_entry *ring = nullptr;
    if (!allocate_timeline(b, &ring)) {
        session_phase_now = SESSION_OFF;
        return VANDREL_SYSTEM_ERROR;
    }

    const void *anchor = reinterpret_cast<const void *>(py->eval_save_thread);
    lock_slot_count = find_got_slots(anchor, "pthread_mutex_lock", lock_slots, max_slots);
    unlock_slot_count = find_got_slots(anchor, "pthread_mutex_unlock", unlock_slots, max_slots);
    if (lock_slot_count <= 0 || unlock_slot_count <= 0) {
        lock_slot_count = unlock_slot_count = 0;
        free(ring);
        session_phase_now = SESSION_OFF;
        return VANDREL_NOT_AVAILABLE;
    }
    if (hooked_by_another_agent(lock_slots, lock_slot_count) ||
        hooked_by_another_agent(unlock_slots, unlock_slot_count)) {
        lock_slot_count = unlock_slot_count = 0;
        free(ring);
        session_phase_now = SESSION_OFF;
        return VANDREL_ALREADY_ON;
    }
    void *lock_hook = reinterpret_cast<void *>(hooked_mutex_lock);
    void *unlock_hook = reinterpret_cast<void *>(hooked_mutex_unlock);
    mutex_func lock_target = bound_function(&lock_slots[0], anchor, "pthread_mutex_lock", lock_hook);
    mutex_func unlock_target =
        bound_function(&unlock_slots[0], anchor, "pthread_mutex_unlock", unlock_hook);
    if (lock_target == nullptr || unlock_target == nullptr) {
        lock_slot_count = unlock_slot_count = 0;
        free(ring);
        session_phase_now = SESSION_OFF;
        return VANDREL_NOT_AVAILABLE;
    }
    __atomic_store_n(&hooks.real_lock, lock_target, __ATOMIC_RELEASE);
    __atomic_store_n(&hooks.real_unlock, unlock_target, __ATOMIC_RELEASE);

    /* A fresh session: no hook runs now (the previous stop waited for
     * them), so the records can be recycled. */
    reset_records();
    hooks.switch_count = 0;
    hooks.session_start_ns = now_ns();
    /* The caller holds the GIL: it is the first holder. */
    thread_record *caller = current_record();
    if (caller != nullptr) {
        caller->state = THREAD_HOLDING;
        caller->hold_start_ns = hooks.session_start_ns;
    }
    hooks.gil_holder = hooks.previous_holder = caller != nullptr ? caller : &overflow_record;
    /* No profile until vandrel_gil_profile asks for one. */
    profile_on = false;
    profile_period_ns = 0;
    hooks.profile_wait_threshold_ns = INT64_MAX;
    begin_insight(threshold_ns, ring, static_cast<size_t>(b), caller, hooks.session_start_ns);
    hooks.gil_locked = gil_locked_flag;
    __atomic_store_n(&hooks.watched_mutex, gil_mutex, __ATOMIC_SEQ_CST);

    if (!patch_slots(lock_slots, lock_slot_count, lock_hook)) {
        __atomic_store_n(&hooks.watched_mutex, static_cast<pthread_mutex_t *>(nullptr), __ATOMIC_SEQ_CST);
        end_insight();
        session_phase_now = SESSION_OFF;
        return VANDREL_SYSTEM_ERROR;
    }
    if (!patch_slots(unlock_slots, unlock_slot_count, unlock_hook)) {
        restore_slots(lock_slots, lock_slot_count);
        unhook();
        end_insight();
        session_phase_now = SESSION_OFF;
        return VANDREL_SYSTEM_ERROR;
    }

    /* Prove the hooks see this interpreter's GIL: let it go and take it
     * back, which must show up as one more acquisition by the caller. */
    uint64_t before = caller != nullptr ? caller->acquisitions : 0;
    PyThreadState *state = py->eval_save_thread();
    py->eval_restore_thread(state);
    if (caller == nullptr || caller->acquisitions != before + 1 ||
        __atomic_load_n(&hooks.gil_holder, __ATOMIC_RELAXED) != caller) {
        unhook();
        end_insight();
        session_phase_now = SESSION_OFF;
        return VANDREL_NOT_AVAILABLE;
    }

    /* From now on each new thread names itself as it starts. */
    install_name_hook();
    /* Name the threads that exist already, while we hold the GIL anyway and
     * before the reporter starts, so that it sees what is left to name. */
    if (naming_pass()) {
        __atomic_store_n(&names_pending, 1, __ATOMIC_SEQ_CST);
    }
    /* Reports go to a descriptor of our own, so the caller closing
     * report_fd (and the number being reused for another file) cannot
     * send them elsewhere. */
    session.report_fd = report_fd >= 0 ? own_duplicate(report_fd) : -1;
    session.report_fd_given = report_fd;
    session.report_failure_told = false;
    session.periodic_text = true;
    session.sink = nullptr;
    session.background = nullptr;
    if (report_fd >= 0 && session.report_fd < 0) {
        unhook();
        remove_name_hook();
        end_insight();
        session_phase_now = SESSION_OFF;
        return VANDREL_SYSTEM_ERROR;
    }
    if (sink != nullptr) {
        py->incref(sink);
        session.sink = sink;
    }
    if (sink != nullptr || report_fd >= 0) {
        session.background = start_reporter(sample_period_us * 1000, report_period_ms * 1000000);
        if (session.background != nullptr && !start_holder_watch()) {
            reporter *r = session.background;
            session.background = nullptr;
            __atomic_store_n(&r->stop, 1, __ATOMIC_RELEASE);
            uint64_t one = 1;
            ssize_t woken = write(r->wake_fd, &one, sizeof(one));
            (void)woken;
            PyThreadState *state = py->eval_save_thread();
            pthread_join(r->thread, nullptr);
            py->eval_restore_thread(state);
            free_reporter(r);
        }
        if (session.background != nullptr) {
            __atomic_store_n(&naming_wake_fd, session.background->wake_fd, __ATOMIC_RELEASE);
        }
        else {
            unhook();
            remove_name_hook();
            if (session.sink) {
                py->decref(session.sink);
                session.sink = nullptr;
            }
            close_report_fd();
            end_insight();
            session_phase_now = SESSION_OFF;
            return VANDREL_SYSTEM_ERROR;
        }
    }
    install_process_hooks();
    session_phase_now = SESSION_ON;
    return VANDREL_OK;
}

int32_t gil_interceptor_stop()
{
    int32_t checked = check_caller();
    if (checked != VANDREL_OK) {
        return checked;
    }
    if (session_phase_now != SESSION_ON) {
        return interpreter_supported() ? VANDREL_NOT_ON : VANDREL_NOT_AVAILABLE;
    }
    session_phase_now = SESSION_STOPPING;
    unhook();
    remove_name_hook();
    int64_t stop_ns = now_ns();
    /* It never takes the GIL: joined with it held. */
    stop_holder_watch();

    reporter *r = session.background;
    session.background = nullptr;
    if (r != nullptr) {
        bool on_reporter = pthread_equal(r->thread, pthread_self());
        r->detached = on_reporter;
        __atomic_store_n(&r->stop, 1, __ATOMIC_RELEASE);
        uint64_t one = 1;
        ssize_t woken = write(r->wake_fd, &one, sizeof(one));
        (void)woken; /* a full eventfd already wakes it */
        if (on_reporter) {
            /* Called from the sink: the thread ends after the sink returns
             * and frees its reporter itself. */
            pthread_detach(r->thread);
        }
        else {
            /* The reporter may be queued for the GIL or inside the sink:
             * let go of the GIL while waiting for it. */
            PyThreadState *state = py->eval_save_thread();
            pthread_join(r->thread, nullptr);
            py->eval_restore_thread(state);
            free_reporter(r);
        }
    }

    stop_exit_signals();
    finish_trace_stream(stop_ns);

    PyObject *sink = session.sink;
    session.sink = nullptr;
    emit_report(stop_ns, true, sink, session.report_fd);
    end_insight();
    close_report_fd();
    if (sink != nullptr) {
        py->decref(sink);
    }
    session_phase_now = SESSION_OFF;
    /* An exit signal that came meanwhile ends the process now. */
    restore_exit_signals();
    return VANDREL_OK;
}

int32_t gil_final_text_only()
{
    int32_t checked = check_caller();
    if (checked != VANDREL_OK) {
        return checked;
    }
    if (session_phase_now != SESSION_ON) {
        return VANDREL_NOT_ON;
    }
    session.periodic_text = false;
    return VANDREL_OK;
}

bool gil_thread_waiting(unsigned long native_thread_id)
{
    if (session_phase_now != SESSION_ON) {
        return false;
    }
    return live_thread_waiting(static_cast<long>(native_thread_id));
}

}  // namespace vandrel
