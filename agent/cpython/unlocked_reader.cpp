/* The GIL-free reader (unlocked_reader.h) for the version built against. */
#include "cpython/core.h"

#include "cpython/frame_reader.h"
#include "cpython/safe_read.h"
#include "cpython/unlocked_reader.h"

#include <pthread.h>
#include <stddef.h>
#include <string.h>

namespace vandrel {

#ifdef VANDREL_FRAME_READER

namespace {

template <typename T>
bool copy_field(const void *base, size_t offset, T *out)
{
    return safe_copy(out, static_cast<const char *>(base) + offset, sizeof *out);
}

bool aligned(const void *pointer)
{
    return (reinterpret_cast<uintptr_t>(pointer) & (alignof(void *) - 1)) == 0;
}

/* The largest code object, in code units, believed (a bound, not a limit
 * of CPython's). */
constexpr Py_ssize_t MAX_CODE_UNITS = Py_ssize_t(1) << 24;

/* A bytes object's content read piece by piece through checked copies. */
struct byte_stream {
    const uint8_t *remote;
    size_t size;
    size_t position;
    uint8_t chunk[512];
    size_t chunk_start;
    size_t chunk_length;
    bool failed;
};

/* Next byte, or -1 at the end or on a failed read. */
int next_byte(byte_stream *stream)
{
    if (stream->position >= stream->size || stream->failed) {
        return -1;
    }
    if (stream->position >= stream->chunk_start + stream->chunk_length) {
        size_t length = stream->size - stream->position;
        if (length > sizeof stream->chunk) {
            length = sizeof stream->chunk;
        }
        if (!safe_copy(stream->chunk, stream->remote + stream->position, length)) {
            stream->failed = true;
            return -1;
        }
        stream->chunk_start = stream->position;
        stream->chunk_length = length;
    }
    return stream->chunk[stream->position++ - stream->chunk_start];
}

/* Open `object` (a bytes object) as a stream.  False when it is not one
 * or is implausibly large. */
bool open_bytes(const unlocked_target *target, const void *object, byte_stream *stream)
{
    PyBytesObject head;
    if (object == nullptr || !aligned(object)
        || !safe_copy(&head, object, offsetof(PyBytesObject, ob_sval))) {
        return false;
    }
    if (reinterpret_cast<const void *>(head.ob_base.ob_base.ob_type) != target->bytes_type
        || head.ob_base.ob_size < 0 || head.ob_base.ob_size > (Py_ssize_t(1) << 26)) {
        return false;
    }
    stream->remote = static_cast<const uint8_t *>(object) + offsetof(PyBytesObject, ob_sval);
    stream->size = static_cast<size_t>(head.ob_base.ob_size);
    stream->position = 0;
    stream->chunk_start = 0;
    stream->chunk_length = 0;
    stream->failed = false;
    return true;
}

#if VANDREL_PY_HAS_FRAME_OBJECT_CHAIN
/* 3.10's line table: (address delta, signed line delta) byte pairs, a
 * line delta of -128 meaning no line; addresses in bytes. */
int table_line(byte_stream *table, int first_line, int instruction)
{
    if (instruction < 0) {
        return first_line;
    }
    long address = static_cast<long>(instruction) * 2;
    long start = 0;
    int line = first_line;
    for (;;) {
        int delta = next_byte(table);
        int line_delta = next_byte(table);
        if (delta < 0 || line_delta < 0) {
            return -1;
        }
        long end = start + delta;
        int shown = -1;
        if (line_delta != 0x80) {
            line += static_cast<signed char>(line_delta);
            shown = line;
        }
        if (start <= address && address < end) {
            return shown;
        }
        start = end;
    }
}
#else
/* The location table of 3.11 on (CPython's Objects/locations.md): entries
 * of a first byte (1, a 4-bit code, length - 1 in code units) and the
 * code's varints. */
int read_varint(byte_stream *table, unsigned int *out)
{
    unsigned int value = 0;
    int shift = 0;
    for (int i = 0; i < 6; i++) {
        int byte = next_byte(table);
        if (byte < 0) {
            return -1;
        }
        value |= static_cast<unsigned int>(byte & 63) << shift;
        shift += 6;
        if ((byte & 64) == 0) {
            *out = value;
            return 0;
        }
    }
    return -1;
}

int read_svarint(byte_stream *table, int *out)
{
    unsigned int value;
    if (read_varint(table, &value) < 0) {
        return -1;
    }
    *out = (value & 1) ? -static_cast<int>(value >> 1) : static_cast<int>(value >> 1);
    return 0;
}

int table_line(byte_stream *table, int first_line, int instruction)
{
    long start = 0;
    int line = first_line;
    int byte = next_byte(table);
    /* Bounded by the table's size: every entry takes at least a byte. */
    while (byte >= 0) {
        if ((byte & 128) == 0) {
            return -1; /* not the start of an entry: torn */
        }
        int code = (byte >> 3) & 15;
        long end = start + (byte & 7) + 1;
        bool has_line = true;
        unsigned int skip;
        int delta = 0;
        if (code == 15) {
            has_line = false;
        }
        else if (code == 14) {
            if (read_svarint(table, &delta) < 0 || read_varint(table, &skip) < 0
                || read_varint(table, &skip) < 0 || read_varint(table, &skip) < 0) {
                return -1;
            }
        }
        else if (code == 13) {
            if (read_svarint(table, &delta) < 0) {
                return -1;
            }
        }
        else if (code >= 10) {
            delta = code - 10;
            for (int skipped = 0; skipped < 2; skipped++) { /* two bytes of columns */
                if (next_byte(table) < 0) {
                    return -1;
                }
            }
        }
        else if (next_byte(table) < 0) {
            return -1;
        }
        line += delta;
        if (start <= instruction && instruction < end) {
            return has_line ? line : -1;
        }
        start = end;
        byte = next_byte(table);
    }
    return -1;
}
#endif

/* The code object at `address`, copied and checked. */
bool read_code(const unlocked_target *target, const void *address, PyCodeObject *code)
{
#if VANDREL_PY_HAS_FRAME_OBJECT_CHAIN
    size_t size = sizeof *code;
#else
    /* Up to the bytecode, which sits inline at its end. */
    size_t size = offsetof(PyCodeObject, co_code_adaptive);
#endif
    if (address == nullptr || !aligned(address) || !safe_copy(code, address, size)) {
        return false;
    }
    return reinterpret_cast<const void *>(Py_TYPE(reinterpret_cast<PyObject *>(code)))
               == target->code_type
        && code->co_firstlineno >= 0;
}

/* What a code object shows, as one number: its file name, name and line
 * table objects and first line (see unlocked_frame::identity). */
uint64_t code_identity(const PyCodeObject *code)
{
    uint64_t hash = 0xCBF29CE484222325ULL;
    const uintptr_t parts[4] = {reinterpret_cast<uintptr_t>(code->co_filename),
                                reinterpret_cast<uintptr_t>(code->co_name),
                                reinterpret_cast<uintptr_t>(code->co_linetable),
                                static_cast<uintptr_t>(code->co_firstlineno)};
    for (uintptr_t part : parts) {
        hash = (hash ^ part) * 0x100000001B3ULL;
        hash ^= hash >> 29;
    }
    return hash;
}

}  // namespace

bool unlocked_target_init(const python_api *api, unlocked_target *target)
{
    memset(target, 0, sizeof *target);
    if (!api->reader_access || !safe_read_available()) {
        return false;
    }
    PyThreadState *current = api->thread_state_unchecked();
    if (current == nullptr) {
        return false;
    }
    PyInterpreterState *interp = api->thread_state_interpreter(current);
    target->interp = interp;
    target->code_type = api->code_type;
    target->bytes_type = api->bytes_type;
    target->unicode_type = api->unicode_type;
    target->coro_type = api->coro_type;
    target->gen_type = api->gen_type;
    target->set_type = api->set_type;
    target->long_type = api->long_type;
    struct _gil_runtime_state *gil = nullptr;
#if !VANDREL_PY_HAS_GIL_PER_INTERPRETER
    _PyRuntimeState *runtime = static_cast<_PyRuntimeState *>(api->runtime_state);
    if (runtime != nullptr && interp->runtime == runtime) {
        gil = &runtime->ceval.gil;
    }
#else
    gil = interp->ceval.gil;
#endif
    if (gil != nullptr) {
#if VANDREL_PY_HAS_WRAPPED_ATOMICS
        target->gil_locked = &gil->locked._value;
        target->gil_holder = &gil->last_holder._value;
#else
        target->gil_locked = &gil->locked;
        target->gil_holder = &gil->last_holder;
#endif
    }
    return true;
}

size_t unlocked_thread_list(const unlocked_target *target, const void **tstates, size_t capacity,
                            bool *more)
{
    *more = false;
    const void *tstate = nullptr;
#if VANDREL_PY_HAS_FRAME_OBJECT_CHAIN
    size_t head_offset = offsetof(PyInterpreterState, tstate_head);
#else
    size_t head_offset = offsetof(PyInterpreterState, threads.head);
#endif
    if (!copy_field(target->interp, head_offset, &tstate)) {
        *more = true;
        return 0;
    }
    size_t count = 0;
    while (tstate != nullptr) {
        if (count == capacity || !aligned(tstate)) {
            *more = true;
            break;
        }
        /* A list that loops (torn while read) ends at the capacity. */
        tstates[count++] = tstate;
        if (!copy_field(tstate, offsetof(PyThreadState, next), &tstate)) {
            *more = true;
            break;
        }
    }
    return count;
}

bool unlocked_thread_read(const void *tstate, unlocked_thread *out)
{
    PyThreadState copy;
    if (!safe_copy(&copy, tstate, sizeof copy)) {
        return false;
    }
    out->ident = copy.thread_id;
#if VANDREL_PY_HAS_NATIVE_THREAD_ID
    out->native_id = copy.native_thread_id;
    if (out->native_id == 0) {
        return false;
    }
#else
    out->native_id = 0;
#endif
    if (out->ident == 0) {
        return false;
    }
#if VANDREL_PY_HAS_FRAME_OBJECT_CHAIN
    out->top_frame = copy.frame;
#elif VANDREL_PY_HAS_CFRAME
    out->top_frame = nullptr;
    if (copy.cframe != nullptr
        && !copy_field(copy.cframe, offsetof(_PyCFrame, current_frame), &out->top_frame)) {
        return false;
    }
#else
    out->top_frame = copy.current_frame;
#endif
#if VANDREL_PY_HAS_FRAME_OBJECT_CHAIN
    out->stack_base = nullptr;
    out->stack_length = 0;
#else
    /* The current chunk of the data stack, up to its top: the newest
     * frames (older chunks, and generators' frames, are read one by one). */
    out->stack_base = copy.datastack_chunk;
    out->stack_length = 0;
    uintptr_t base = reinterpret_cast<uintptr_t>(copy.datastack_chunk);
    uintptr_t top = reinterpret_cast<uintptr_t>(copy.datastack_top);
    if (base != 0 && top > base && top - base <= (size_t(1) << 26)) {
        out->stack_length = top - base;
    }
#endif
    return true;
}

const void *unlocked_gil_holder(const unlocked_target *target)
{
    int locked = 0;
    const void *holder = nullptr;
    if (target->gil_locked == nullptr || !safe_copy(&locked, target->gil_locked, sizeof locked)
        || locked != 1 || !safe_copy(&holder, target->gil_holder, sizeof holder)) {
        return nullptr;
    }
    return holder;
}

namespace {

/* A frame as phase one of the walk reads it, its code not checked yet. */
struct raw_frame {
    const void *code;
    intptr_t place; /* instruction pointer (3.11 on) or f_lasti (3.10) */
    int owner;
    bool unreadable;
};

constexpr size_t RAW_CAPACITY = size_t(1) << 16;
constexpr size_t STACK_COPY = size_t(256) << 10;
constexpr size_t CODE_CAPACITY = 512; /* distinct code objects read at once */
constexpr size_t CODE_TABLE = 2 * CODE_CAPACITY;

/* The walk's storage (one walk at a time: walk_lock). */
pthread_mutex_t walk_lock = PTHREAD_MUTEX_INITIALIZER;

/* fork()'s child handler: the walker that held the lock (the agent's
 * watcher samples many times a second) was not copied. */
void free_walk_lock_in_child()
{
    pthread_mutex_init(&walk_lock, nullptr);
}

__attribute__((constructor)) void register_walk_lock_fork_handler()
{
    pthread_atfork(nullptr, nullptr, free_walk_lock_in_child);
}
raw_frame raw[RAW_CAPACITY];
alignas(64) unsigned char stack_copy[STACK_COPY];
const void *code_addresses[CODE_CAPACITY];
PyCodeObject code_headers[CODE_CAPACITY];
bool code_ok[CODE_CAPACITY];
int32_t code_table[CODE_TABLE];
size_t code_count;

/* The code table's index of `code`, added if new; -1 when the table is full. */
int32_t code_index(const void *code)
{
    uintptr_t key = reinterpret_cast<uintptr_t>(code) * 0x9e3779b97f4a7c15ull;
    size_t slot = static_cast<size_t>(key >> 40) & (CODE_TABLE - 1);
    for (size_t probe = 0; probe < CODE_TABLE; probe++) {
        int32_t index = code_table[slot];
        if (index < 0) {
            if (code_count == CODE_CAPACITY) {
                return -1;
            }
            code_addresses[code_count] = code;
            code_table[slot] = static_cast<int32_t>(code_count);
            return static_cast<int32_t>(code_count++);
        }
        if (code_addresses[index] == code) {
            return index;
        }
        slot = (slot + 1) & (CODE_TABLE - 1);
    }
    return -1;
}

/* Phase one: follow the chain from `top`, reading each frame from the
 * copy of the data stack when it lies there, else on its own. */
size_t read_raw_frames(const unlocked_thread *thread, size_t limit, bool *more)
{
    const unsigned char *base = static_cast<const unsigned char *>(thread->stack_base);
    size_t copied = 0;
    if (base != nullptr && thread->stack_length > 0 && thread->stack_length <= STACK_COPY
        && safe_copy(stack_copy, base, thread->stack_length)) {
        copied = thread->stack_length;
    }
#if VANDREL_PY_HAS_FRAME_OBJECT_CHAIN
    constexpr size_t frame_size = sizeof(interp_frame);
#else
    constexpr size_t frame_size = offsetof(interp_frame, localsplus);
#endif
    size_t count = 0;
    size_t followed = 0;
    const void *cursor = thread->top_frame;
    while (cursor != nullptr) {
        if (followed == limit || count == RAW_CAPACITY) {
            *more = true;
            break;
        }
        followed++;
        interp_frame local;
        const interp_frame *frame = &local;
        const unsigned char *at = static_cast<const unsigned char *>(cursor);
        if (copied > 0 && at >= base && at + frame_size <= base + copied) {
            /* In the copy; aligned as in the thread. */
            frame = reinterpret_cast<const interp_frame *>(stack_copy + (at - base));
        }
        else if (!aligned(cursor) || !safe_copy(&local, cursor, frame_size)) {
            raw[count++] = raw_frame{nullptr, 0, 0, true};
            break;
        }
#if VANDREL_PY_HAS_FRAME_OBJECT_CHAIN
        raw[count++] = raw_frame{frame->f_code, frame->f_lasti, 0, false};
        cursor = frame->f_back;
#else
        const void *next = frame->previous;
        /* Read as a byte: a torn value, negative as a char, is out of range. */
        int owner = static_cast<unsigned char>(frame->owner);
        if (owner > 4) {
            raw[count++] = raw_frame{nullptr, 0, 0, true};
            break;
        }
#if VANDREL_PY_HAS_STACKREF
        bool shim = owner >= FRAME_OWNED_BY_INTERPRETER;
        const void *executable =
            reinterpret_cast<const void *>(frame->f_executable.bits & ~Py_TAG_BITS);
        const void *current = frame->instr_ptr;
#elif VANDREL_PY_HAS_FRAME_EXECUTABLE
        bool shim = owner == FRAME_OWNED_BY_CSTACK;
        const void *executable = frame->f_executable;
        const void *current = frame->instr_ptr;
#else
#if VANDREL_PY_HAS_CSTACK_SHIMS
        bool shim = owner == FRAME_OWNED_BY_CSTACK;
#else
        bool shim = false;
#endif
        const void *executable = frame->f_code;
        const void *current = frame->prev_instr;
#endif
        if (!shim) {
            raw[count++] = raw_frame{executable, reinterpret_cast<intptr_t>(current), owner, false};
        }
        cursor = next;
#endif
    }
    return count;
}

}  // namespace

size_t unlocked_walk(const unlocked_target *target, const unlocked_thread *thread,
                     unlocked_frame *frames, size_t capacity, size_t limit, size_t *left_out,
                     bool *more)
{
    *more = false;
    *left_out = 0;
    pthread_mutex_lock(&walk_lock);
    size_t raw_count = read_raw_frames(thread, limit, more);

    /* Phase two: the distinct code objects, read together. */
    memset(code_table, 0xff, sizeof code_table);
    code_count = 0;
    for (size_t i = 0; i < raw_count; i++) {
        if (!raw[i].unreadable && raw[i].code != nullptr && aligned(raw[i].code)) {
            (void)code_index(raw[i].code);
        }
    }
    safe_copy_many(code_headers, sizeof(PyCodeObject), code_addresses, code_count, code_ok);
    for (size_t i = 0; i < code_count; i++) {
        code_ok[i] = code_ok[i]
                  && reinterpret_cast<const void *>(
                         Py_TYPE(reinterpret_cast<PyObject *>(&code_headers[i])))
                         == target->code_type
                  && code_headers[i].co_firstlineno >= 0;
    }

    /* Phase three: what each frame shows. */
    size_t count = 0;
    auto store = [&](unlocked_frame value) {
        if (count < capacity) {
            frames[count] = value;
        }
        else {
            (*left_out)++;
        }
        count++;
    };
    PyCodeObject single;
    for (size_t i = 0; i < raw_count; i++) {
        const raw_frame *frame = &raw[i];
        if (frame->unreadable) {
            store(unlocked_frame{nullptr, 0, true, 0});
            continue;
        }
        const PyCodeObject *code = nullptr;
        int32_t index = frame->code != nullptr && aligned(frame->code) ? code_index(frame->code)
                                                                       : -2;
        if (index >= 0) {
            code = code_ok[index] ? &code_headers[index] : nullptr;
        }
        else if (index == -1 && read_code(target, frame->code, &single)) {
            code = &single; /* more distinct code objects than the table holds */
        }
        if (code == nullptr) {
            store(unlocked_frame{nullptr, 0, true, 0});
            continue;
        }
#if VANDREL_PY_HAS_FRAME_OBJECT_CHAIN
        store(unlocked_frame{frame->code, static_cast<int>(frame->place), false, code_identity(code)});
#else
        uintptr_t first = reinterpret_cast<uintptr_t>(frame->code)
                        + offsetof(PyCodeObject, co_code_adaptive);
        Py_ssize_t size = Py_SIZE(reinterpret_cast<const PyObject *>(code));
        intptr_t offset = frame->place - static_cast<intptr_t>(first);
        if (size <= 0 || size > MAX_CODE_UNITS || offset % 2 != 0) {
            store(unlocked_frame{nullptr, 0, true, 0});
            continue;
        }
        intptr_t instruction = offset / static_cast<intptr_t>(sizeof(_Py_CODEUNIT));
        if (instruction < -1 || instruction > size) {
            store(unlocked_frame{nullptr, 0, true, 0});
            continue;
        }
        if (instruction >= code->_co_firsttraceable || frame->owner == FRAME_OWNED_BY_GENERATOR) {
            store(unlocked_frame{frame->code, static_cast<int>(instruction), false,
                                 code_identity(code)});
        }
#endif
    }
    pthread_mutex_unlock(&walk_lock);
    return count < capacity ? count : capacity;
}

bool unlocked_str(const unlocked_target *target, const void *object, unlocked_text *out)
{
    out->ok = false;
    out->length = 0;
    out->kind = 1;
    out->truncated = false;
    PyCompactUnicodeObject head;
    if (object == nullptr || !aligned(object)
        || !safe_copy(&head, object, sizeof(PyASCIIObject))) {
        return false;
    }
    const PyASCIIObject *ascii = &head._base;
    if (reinterpret_cast<const void *>(ascii->ob_base.ob_type) != target->unicode_type
        || !ascii->state.compact || ascii->length < 0) {
        return false;
    }
    int kind = static_cast<int>(ascii->state.kind);
    if (kind != 1 && kind != 2 && kind != 4) {
        return false;
    }
    size_t header = ascii->state.ascii ? sizeof(PyASCIIObject) : sizeof(PyCompactUnicodeObject);
    size_t length = static_cast<size_t>(ascii->length);
    if (length > unlocked_text::capacity) {
        length = unlocked_text::capacity;
        out->truncated = true;
    }
    if (!safe_copy(out->data, static_cast<const char *>(object) + header,
                   length * static_cast<size_t>(kind))) {
        return false;
    }
    out->length = length;
    out->kind = kind;
    out->ok = true;
    return true;
}

bool unlocked_code_location(const unlocked_target *target, const void *code_address,
                            int instruction, unlocked_text *filename, unlocked_text *name,
                            int *line, bool qualified)
{
    *line = -1;
    filename->ok = false;
    name->ok = false;
    PyCodeObject code;
    if (!read_code(target, code_address, &code)) {
        return false;
    }
    (void)unlocked_str(target, code.co_filename, filename);
#if VANDREL_PY_HAS_FRAME_OBJECT_CHAIN
    (void)qualified; /* 3.10's code objects have no qualified name */
    (void)unlocked_str(target, code.co_name, name);
#else
    (void)unlocked_str(target, qualified ? code.co_qualname : code.co_name, name);
#endif
    byte_stream table;
    if (open_bytes(target, code.co_linetable, &table)) {
        *line = table_line(&table, code.co_firstlineno, instruction);
    }
    return true;
}

bool unlocked_frame_at(const unlocked_target *target, const void *code_address,
                       const void *place, unlocked_frame *out)
{
#if VANDREL_PY_HAS_FRAME_OBJECT_CHAIN
    (void)target;
    (void)code_address;
    (void)place;
    (void)out;
    return false;
#else
    PyCodeObject code;
    if (!read_code(target, code_address, &code)) {
        return false;
    }
    uintptr_t first = reinterpret_cast<uintptr_t>(code_address)
                    + offsetof(PyCodeObject, co_code_adaptive);
    Py_ssize_t size = Py_SIZE(reinterpret_cast<const PyObject *>(&code));
    intptr_t offset = reinterpret_cast<intptr_t>(place) - static_cast<intptr_t>(first);
    if (size <= 0 || size > MAX_CODE_UNITS || offset % 2 != 0) {
        return false;
    }
    intptr_t instruction = offset / static_cast<intptr_t>(sizeof(_Py_CODEUNIT));
    if (instruction < -1 || instruction > size) {
        return false;
    }
    *out = unlocked_frame{code_address, static_cast<int>(instruction), false,
                          code_identity(&code)};
    return true;
#endif
}

#else /* !VANDREL_FRAME_READER */

bool unlocked_target_init(const python_api *, unlocked_target *target)
{
    memset(target, 0, sizeof *target);
    return false;
}
size_t unlocked_thread_list(const unlocked_target *, const void **, size_t, bool *more)
{
    *more = false;
    return 0;
}
bool unlocked_thread_read(const void *, unlocked_thread *)
{
    return false;
}
const void *unlocked_gil_holder(const unlocked_target *)
{
    return nullptr;
}
size_t unlocked_walk(const unlocked_target *, const unlocked_thread *, unlocked_frame *, size_t,
                     size_t, size_t *left_out, bool *more)
{
    *more = false;
    *left_out = 0;
    return 0;
}
bool unlocked_str(const unlocked_target *, const void *, unlocked_text *out)
{
    out->ok = false;
    return false;
}
bool unlocked_frame_at(const unlocked_target *, const void *, const void *, unlocked_frame *)
{
    return false;
}
bool unlocked_code_location(const unlocked_target *, const void *, int, unlocked_text *filename,
                            unlocked_text *name, int *line, bool)
{
    filename->ok = name->ok = false;
    *line = -1;
    return false;
}

#endif

}  // namespace vandrel
