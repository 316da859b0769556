/* The GIL-free reader (unlocked_reader.h) for the version built against. */
#include "cpython/core.h"

#include "cpython/frame_reader.h"
#include "cpython/safe_read.h"
#include "cpython/unlocked_reader.h"

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
            if (next_byte(table) < 0 || next_byte(table) < 0) {
                return -1;
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

}  // namespace

bool unlocked_target_init(const python_api *api, unlocked_target *target)
{
    memset(target, 0, sizeof *target);
    if (!api->direct_access || !safe_read_available()) {
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

size_t unlocked_walk(const unlocked_target *target, const void *top, unlocked_frame *frames,
                     size_t capacity, size_t limit, size_t *left_out, bool *more)
{
    *more = false;
    *left_out = 0;
    size_t count = 0;
    const void *cursor = top;
    PyCodeObject code;
    const void *code_address = nullptr; /* the code object in `code` */
    bool code_ok = false;
    for (size_t followed = 0; cursor != nullptr; followed++) {
        if (followed == limit) {
            *more = true;
            break;
        }
        /* Past the capacity, frames are only counted. */
        auto store = [&](unlocked_frame value) {
            if (count < capacity) {
                frames[count] = value;
            }
            else {
                (*left_out)++;
            }
            count++;
        };
        interp_frame frame;
#if VANDREL_PY_HAS_FRAME_OBJECT_CHAIN
        size_t frame_size = sizeof frame;
#else
        size_t frame_size = offsetof(interp_frame, localsplus);
#endif
        if (!aligned(cursor) || !safe_copy(&frame, cursor, frame_size)) {
            store(unlocked_frame{nullptr, 0, true});
            break;
        }
        const void *executable;
#if VANDREL_PY_HAS_FRAME_OBJECT_CHAIN
        executable = frame.f_code;
        const void *next = frame.f_back;
#else
        const void *next = frame.previous;
        int owner = frame.owner;
#if VANDREL_PY_HAS_STACKREF
        bool shim = owner >= FRAME_OWNED_BY_INTERPRETER;
        executable = reinterpret_cast<const void *>(frame.f_executable.bits & ~Py_TAG_BITS);
        const _Py_CODEUNIT *current = frame.instr_ptr;
#elif VANDREL_PY_HAS_FRAME_EXECUTABLE
        bool shim = owner == FRAME_OWNED_BY_CSTACK;
        executable = frame.f_executable;
        const _Py_CODEUNIT *current = frame.instr_ptr;
#else
#if VANDREL_PY_HAS_CSTACK_SHIMS
        bool shim = owner == FRAME_OWNED_BY_CSTACK;
#else
        bool shim = false;
#endif
        executable = frame.f_code;
        const _Py_CODEUNIT *current = frame.prev_instr;
#endif
        if (owner < 0 || owner > 4) {
            store(unlocked_frame{nullptr, 0, true});
            break;
        }
        if (shim) {
            cursor = next;
            continue;
        }
#endif
        if (executable != code_address) {
            code_address = executable;
            code_ok = read_code(target, executable, &code);
        }
        if (!code_ok) {
            store(unlocked_frame{nullptr, 0, true});
            cursor = next;
            continue;
        }
#if VANDREL_PY_HAS_FRAME_OBJECT_CHAIN
        store(unlocked_frame{executable, frame.f_lasti, false});
#else
        const _Py_CODEUNIT *first = reinterpret_cast<const _Py_CODEUNIT *>(
            static_cast<const char *>(executable) + offsetof(PyCodeObject, co_code_adaptive));
        Py_ssize_t size = Py_SIZE(reinterpret_cast<PyObject *>(&code));
        ptrdiff_t index = current - first;
        if (size <= 0 || size > MAX_CODE_UNITS || index < -1 || index > size) {
            store(unlocked_frame{nullptr, 0, true});
            cursor = next;
            continue;
        }
        if (index >= code._co_firsttraceable || owner == FRAME_OWNED_BY_GENERATOR) {
            store(unlocked_frame{executable, static_cast<int>(index), false});
        }
#endif
        cursor = next;
    }
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
                            int *line)
{
    *line = -1;
    filename->ok = false;
    name->ok = false;
    PyCodeObject code;
    if (!read_code(target, code_address, &code)) {
        return false;
    }
    (void)unlocked_str(target, code.co_filename, filename);
    (void)unlocked_str(target, code.co_name, name);
    byte_stream table;
    if (open_bytes(target, code.co_linetable, &table)) {
        *line = table_line(&table, code.co_firstlineno, instruction);
    }
    return true;
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
size_t unlocked_walk(const unlocked_target *, const void *, unlocked_frame *, size_t, size_t,
                     size_t *left_out, bool *more)
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
bool unlocked_code_location(const unlocked_target *, const void *, int, unlocked_text *filename,
                            unlocked_text *name, int *line)
{
    filename->ok = name->ok = false;
    *line = -1;
    return false;
}

#endif

}  // namespace vandrel
