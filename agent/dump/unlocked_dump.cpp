/* The dump that needs no GIL: every thread's stack read with the GIL-free
 * reader (cpython/unlocked_reader.h) while the threads run on, in the
 * format of dump_threads, from the agent's own thread.  Thread names come
 * from the name cache, which the calls made with the GIL refresh (a
 * thread's name cannot be read safely without it). */
#include "dump/dump.h"

#include "cpython/str_view.h"
#include "text/utf8.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>
#include <string.h>

namespace vandrel {
namespace dump {

signals_held::signals_held()
{
    sigset_t held;
    sigfillset(&held);
    const int faults[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
    for (int fault : faults) {
        sigdelset(&held, fault);
    }
    pthread_sigmask(SIG_BLOCK, &held, &old_);
}

signals_held::~signals_held()
{
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
}

/* ---- The name cache ------------------------------------------------------ */

namespace {

struct cached_name {
    unsigned long ident;
    unsigned long native_id;
    size_t length;
    char text[200]; /* escaped, as the header shows it */
};

constexpr size_t NAME_SLOTS = 1024;
cached_name names[NAME_SLOTS];
size_t name_count = 0;
pthread_mutex_t names_lock = PTHREAD_MUTEX_INITIALIZER;

#ifdef VANDREL_FRAME_READER
/* Escape `view` into `out` (`capacity` bytes); "..." ends a name cut short. */
size_t escape_name(const str_view *view, char *out, size_t capacity)
{
    size_t length = 0;
    for (Py_ssize_t i = 0; i < view->length; i++) {
        char bytes[max_escaped_size];
        size_t size = encode_escaped(str_at(view, i), true, bytes);
        if (length + size > capacity - 3) {
            for (size_t dot = 0; dot < 3; dot++) { /* not a C string: no NUL */
                out[length + dot] = '.';
            }
            return length + 3;
        }
        memcpy(out + length, bytes, size);
        length += size;
    }
    return length;
}
#endif

}  // namespace

void name_cache_refresh(const python_api *api)
{
#ifdef VANDREL_FRAME_READER
    if (!api->reader_access) {
        return;
    }
    PyObject *active = find_active_threads(api);
    if (active == nullptr) {
        return;
    }
    owned_refs keys(api);
    if (api->parallel_threads) {
        /* Threads that start or end change the dict meanwhile: walk a
         * copy of it, whose references keep the Thread objects alive. */
        active = keys(api->dict_copy(active));
        if (active == nullptr) {
            api->err_clear();
            return;
        }
    }
    dump_context ctx;
    memset(&ctx, 0, sizeof ctx);
    ctx.api = api;
    ctx.active = active;
    ctx.name_key = keys(api->unicode_from_string("_name"));
    ctx.native_id_key = keys(api->unicode_from_string("_native_id"));
    if (ctx.name_key == nullptr || ctx.native_id_key == nullptr) {
        api->err_clear();
        return;
    }
    signals_held held;
    pthread_mutex_lock(&names_lock);
    name_count = 0;
    Py_ssize_t position = 0;
    PyObject *key, *thread;
    while (name_count < NAME_SLOTS && api->dict_next(active, &position, &key, &thread)) {
        if ((api->type_get_flags(Py_TYPE(key)) & Py_TPFLAGS_LONG_SUBCLASS) == 0) {
            continue;
        }
        unsigned long ident = api->long_as_unsigned_long(key);
        if (ident == static_cast<unsigned long>(-1) || ident == 0) {
            api->err_clear();
            continue;
        }
        PyObject *name = instance_attribute(&ctx, thread, ctx.name_key);
        str_view view;
        if (!is_unicode(api, name) || !str_in_place(name, &view)) {
            continue;
        }
        cached_name *slot = &names[name_count++];
        slot->ident = ident;
        slot->native_id = native_id_elsewhere(&ctx, thread, false);
        slot->length = escape_name(&view, slot->text, sizeof slot->text);
    }
    pthread_mutex_unlock(&names_lock);
    api->err_clear();
#else
    (void)api;
#endif
}

void name_cache_add(const python_api *api, unsigned long ident, unsigned long native_id,
                    PyObject *name)
{
#ifdef VANDREL_FRAME_READER
    str_view view;
    if (!api->reader_access || !is_unicode(api, name) || !str_in_place(name, &view)) {
        return;
    }
    signals_held held;
    pthread_mutex_lock(&names_lock);
    cached_name *slot = nullptr;
    for (size_t i = 0; i < name_count && slot == nullptr; i++) {
        if (names[i].ident == ident) {
            slot = &names[i];
        }
    }
    if (slot == nullptr && name_count < NAME_SLOTS) {
        slot = &names[name_count++];
    }
    if (slot != nullptr) {
        slot->ident = ident;
        slot->native_id = native_id;
        slot->length = escape_name(&view, slot->text, sizeof slot->text);
    }
    pthread_mutex_unlock(&names_lock);
#else
    (void)api;
    (void)ident;
    (void)native_id;
    (void)name;
#endif
}

/* Copy the cached name of the thread `ident` (and its native id, 0 if
 * unknown) into `out`; return its length, or -1 when none is cached. */
long name_cache_find(unsigned long ident, char *out, size_t capacity, unsigned long *native_id)
{
    long found = -1;
    pthread_mutex_lock(&names_lock);
    for (size_t i = 0; i < name_count; i++) {
        if (names[i].ident == ident) {
            size_t length = names[i].length < capacity ? names[i].length : capacity;
            memcpy(out, names[i].text, length);
            *native_id = names[i].native_id;
            found = static_cast<long>(length);
            break;
        }
    }
    pthread_mutex_unlock(&names_lock);
    return found;
}

/* ---- Hidden code --------------------------------------------------------- */

namespace {

/* The tool's own code objects, kept alive (a reference each), never freed. */
constexpr int HIDDEN_SLOTS = 32;
const void *hidden[HIDDEN_SLOTS];
int hidden_count = 0;
/* Serializes the additions: in a free-threaded build two threads may add
 * at once.  Readers take no lock (the count is published last). */
pthread_mutex_t hidden_lock = PTHREAD_MUTEX_INITIALIZER;

}  // namespace

bool code_hidden(const void *code)
{
    int count = __atomic_load_n(&hidden_count, __ATOMIC_ACQUIRE);
    for (int i = 0; i < count; i++) {
        if (hidden[i] == code) {
            return true;
        }
    }
    return false;
}

bool hide_code(const python_api *api, PyObject *code)
{
    if (code == nullptr || Py_TYPE(code) != api->code_type) {
        return false;
    }
    pthread_mutex_lock(&hidden_lock);
    bool kept = code_hidden(code);
    int count = hidden_count;
    if (!kept && count < HIDDEN_SLOTS) {
        api->incref(code);
        hidden[count] = code;
        __atomic_store_n(&hidden_count, count + 1, __ATOMIC_RELEASE);
        kept = true;
    }
    pthread_mutex_unlock(&hidden_lock);
    return kept;
}

/* ---- The dump ------------------------------------------------------------ */

namespace {

constexpr size_t MAX_THREADS = 4096;
/* Frames kept per thread; past it they are counted.  The walk follows at
 * most FRAME_LIMIT frames (CPython's own recursion limit is far below). */
constexpr size_t FRAME_CAPACITY = size_t(1) << 16;
constexpr size_t FRAME_LIMIT = size_t(1) << 22;

/* The dump's storage: one dump at a time (the agent's thread). */
const void *tstates[MAX_THREADS];
unlocked_frame frames[FRAME_CAPACITY];
unlocked_text filename_text, name_text;
pthread_mutex_t dump_lock = PTHREAD_MUTEX_INITIALIZER;

void append_unlocked_text(fd_output *out, const unlocked_text *text)
{
    if (!text->ok) {
        fd_output_append(out, "???", 3);
        return;
    }
    for (size_t i = 0; i < text->length; i++) {
        uint32_t ch = unlocked_text_char(text, i);
        char bytes[max_escaped_size];
        fd_output_append(out, bytes, encode_escaped(ch, true, bytes));
    }
    if (text->truncated) {
        fd_output_append(out, "...", 3);
    }
}

void append_frame(const unlocked_target *target, fd_output *out, const unlocked_frame *frame)
{
    if (frame->unreadable) {
        fd_output_append_literal(out, "  <unreadable frame>\n");
        return;
    }
    int line = -1;
    if (!unlocked_code_location(target, frame->code, frame->instruction, &filename_text,
                                &name_text, &line)) {
        fd_output_append_literal(out, "  <unreadable frame>\n");
        return;
    }
    fd_output_append_literal(out, "  File \"");
    append_unlocked_text(out, &filename_text);
    fd_output_append_literal(out, "\", line ");
    if (line >= 0) {
        fd_output_append_decimal(out, static_cast<uint64_t>(line));
    }
    else {
        fd_output_append(out, "???", 3);
    }
    fd_output_append_literal(out, " in ");
    append_unlocked_text(out, &name_text);
    fd_output_append(out, "\n", 1);
}

void write_thread(const unlocked_target *target, fd_output *out, const void *tstate,
                  const unlocked_thread *thread, bool is_current, bool holds_gil,
                  int64_t max_frames)
{
    char name[256];
    unsigned long cached_native_id = 0;
    long name_length = name_cache_find(thread->ident, name, sizeof name, &cached_native_id);
    unsigned long native_id = thread->native_id != 0 ? thread->native_id : cached_native_id;
    fd_output_append_literal(out, is_current ? "Current thread " : "Thread ");
    if (native_id != 0) {
        fd_output_append_decimal(out, native_id);
    }
    else {
        fd_output_append(out, "?", 1);
    }
    if (name_length >= 0) {
        fd_output_append(out, " \"", 2);
        fd_output_append(out, name, static_cast<size_t>(name_length));
        fd_output_append(out, "\"", 1);
    }
    if (holds_gil) {
        fd_output_append_literal(out, ", holding the GIL");
    }
    fd_output_append_literal(out, " (most recent call first):\n");
    (void)tstate;
    /* The whole walk, then max_frames over the frames shown: the tool's
     * own frames count neither as written nor as left out, as in the dump
     * with the GIL. */
    size_t left_out = 0;
    bool more = false;
    size_t count =
        unlocked_walk(target, thread, frames, FRAME_CAPACITY, FRAME_LIMIT, &left_out, &more);
    uint64_t written = 0;
    for (size_t i = 0; i < count; i++) {
        if (!frames[i].unreadable && code_hidden(frames[i].code)) {
            continue;
        }
        if (max_frames > 0 && written >= static_cast<uint64_t>(max_frames)) {
            left_out++;
            continue;
        }
        append_frame(target, out, &frames[i]);
        written++;
    }
    if (written == 0 && left_out == 0) {
        fd_output_append_literal(out, "  <no Python frame>\n");
    }
    if (left_out > 0) {
        fd_output_append_literal(out, "  ... ");
        fd_output_append_decimal(out, left_out);
        fd_output_append_literal(out, left_out == 1 ? " more frame not shown\n"
                                                    : " more frames not shown\n");
    }
    if (more) {
        fd_output_append_literal(out, "  ... the walk stopped here\n");
    }
}

}  // namespace

void dump_threads_unlocked(const unlocked_target *target, int fd, int64_t max_frames,
                           unsigned long current_native_id, const thread_sections *sections,
                           bool read_tasks)
{
    signals_held held;
    pthread_mutex_lock(&dump_lock);
    fd_output out;
    fd_output_open(&out, fd);
    bool more = false;
    size_t count = unlocked_thread_list(target, tstates, MAX_THREADS, &more);
    const void *holder = unlocked_gil_holder(target);
    /* The thread the signal interrupted first, as dump_threads puts the
     * calling thread first; then the others in the interpreter's order. */
    bool written = false;
    for (int pass = 0; pass < 2; pass++) {
        for (size_t i = 0; i < count && !out.write_failed; i++) {
            unlocked_thread thread;
            if (!unlocked_thread_read(tstates[i], &thread) || is_task_helper(thread.ident)) {
                continue;
            }
            unsigned long native_id = thread.native_id;
            if (native_id == 0) {
                char ignored[8];
                (void)name_cache_find(thread.ident, ignored, sizeof ignored, &native_id);
            }
            bool is_current = current_native_id != 0 && native_id == current_native_id;
            if ((pass == 0) != is_current) {
                continue;
            }
            if (written) {
                fd_output_append(&out, "\n", 1);
            }
            write_thread(target, &out, tstates[i], &thread, is_current, tstates[i] == holder,
                         max_frames);
            if (read_tasks) {
                append_unlocked_tasks(target, &out, tstates[i], max_frames);
            }
            else {
                append_thread_section(&out, sections, thread.ident);
            }
            written = true;
        }
    }
    if (more) {
        fd_output_append_literal(&out, "\n... the thread list could not be read to its end\n");
    }
    if (!read_tasks && sections != nullptr && sections->note != nullptr) {
        fd_output_append(&out, sections->note, strlen(sections->note));
    }
    fd_output_close(&out);
    pthread_mutex_unlock(&dump_lock);
}

bool dump_threads_in_parallel(const python_api *api, int fd, int64_t max_frames,
                              const thread_sections *sections)
{
    unlocked_target target;
    if (!unlocked_target_init(api, &target)) {
        return false;
    }
    /* Names as they are now: the reader cannot read them itself. */
    name_cache_refresh(api);
    dump_threads_unlocked(&target, fd, max_frames, static_cast<unsigned long>(syscall(SYS_gettid)),
                          sections);
    return true;
}

}  // namespace dump
}  // namespace vandrel

namespace vandrel {
namespace dump {

/* The reader's cost: walk the thread with threading ident `ident`
 * `rounds` times (its thread state and every frame, as a dump does, names
 * and lines aside); return the mean in nanoseconds, or -1 when the thread
 * is not found or the reader is not set up. */
int64_t time_unlocked_walk(const unlocked_target *target, unsigned long ident, int32_t rounds,
                           int64_t *frames_seen)
{
    signals_held held;
    pthread_mutex_lock(&dump_lock);
    bool more = false;
    size_t count = unlocked_thread_list(target, tstates, MAX_THREADS, &more);
    const void *found = nullptr;
    for (size_t i = 0; i < count && found == nullptr; i++) {
        unlocked_thread thread;
        if (unlocked_thread_read(tstates[i], &thread) && thread.ident == ident) {
            found = tstates[i];
        }
    }
    int64_t result = -1;
    if (found != nullptr && rounds > 0) {
        struct timespec start, end;
        clock_gettime(CLOCK_MONOTONIC, &start);
        size_t walked = 0;
        for (int32_t r = 0; r < rounds; r++) {
            unlocked_thread thread;
            size_t left_out = 0;
            if (unlocked_thread_read(found, &thread)) {
                walked = unlocked_walk(target, &thread, frames, FRAME_CAPACITY,
                                       FRAME_LIMIT, &left_out, &more);
            }
        }
        clock_gettime(CLOCK_MONOTONIC, &end);
        *frames_seen = static_cast<int64_t>(walked);
        result = ((end.tv_sec - start.tv_sec) * 1000000000LL + (end.tv_nsec - start.tv_nsec))
                 / rounds;
    }
    pthread_mutex_unlock(&dump_lock);
    return result;
}

}  // namespace dump
}  // namespace vandrel
