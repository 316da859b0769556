/* asyncio's task lists read without the GIL (task_lists.h), for the
 * version built against.  The task object's layout is private to
 * _asyncio; the module publishes its offsets in a section of its own
 * ("AsyncioDebug"), found here in the loaded objects' files the way an
 * out-of-process debugger finds it.  The thread-state half of that table
 * must agree with the layout compiled in. */
#include "cpython/core.h"

#include "cpython/frame_reader.h"
#include "cpython/safe_read.h"
#include "cpython/task_lists.h"

#include <elf.h>
#include <fcntl.h>
#include <limits.h>
#include <link.h>
#include <pthread.h>
#include <string.h>
#include <unistd.h>

namespace vandrel {

#if defined(VANDREL_FRAME_READER) && VANDREL_PY_HAS_TASK_LISTS && !VANDREL_PY_FREE_THREADED

namespace {

/* The table _asyncio publishes (Modules/_asynciomodule.c); every field a
 * 64-bit number, the same in 3.14 and 3.15. */
struct published_offsets {
    uint64_t task_size, task_name, task_awaited_by, task_is_task, task_awaited_by_is_set,
        task_coro, task_node;
    uint64_t interp_size, interp_tasks_head;
    uint64_t thread_size, thread_running_loop, thread_running_task, thread_tasks_head;
};

/* A task's event loop is the first field after its object header in
 * _asyncio's future head (not in the published table; unchanged since
 * the C tasks came in). */
constexpr size_t TASK_LOOP_OFFSET = sizeof(PyObject);
constexpr size_t MAX_TASK_SIZE = 1024;

/* The offsets once found (found_state 1), under find_lock. */
pthread_mutex_t find_lock = PTHREAD_MUTEX_INITIALIZER;
int found_state = 0;
published_offsets offsets;

/* fork()'s child handler: a dump that held the lock was not copied. */
void free_find_lock_in_child()
{
    pthread_mutex_init(&find_lock, nullptr);
}

__attribute__((constructor)) void register_find_lock_fork_handler()
{
    pthread_atfork(nullptr, nullptr, free_find_lock_in_child);
}

struct llist_links {
    const void *next;
    const void *prev;
};

bool aligned(const void *pointer)
{
    return pointer != nullptr && (reinterpret_cast<uintptr_t>(pointer) & (alignof(void *) - 1)) == 0;
}

const void *at(const void *base, uint64_t offset)
{
    return static_cast<const char *>(base) + offset;
}

template <typename T>
T field(const unsigned char *copy, uint64_t offset)
{
    T value;
    memcpy(&value, copy + offset, sizeof value);
    return value;
}

/* ---- Finding the published table ---------------------------------------- */

/* The loaded objects that may hold the section: _asyncio as an extension,
 * or built into libpython or the program itself. */
constexpr int MAX_CANDIDATES = 4;
struct candidate {
    char path[PATH_MAX];
    uintptr_t base;
    int rank;
};
struct candidates {
    candidate items[MAX_CANDIDATES];
    int count;
};

int note_candidate(struct dl_phdr_info *info, size_t, void *data)
{
    candidates *found = static_cast<candidates *>(data);
    const char *name = info->dlpi_name != nullptr ? info->dlpi_name : "";
    int rank;
    if (strstr(name, "/_asyncio.") != nullptr) {
        rank = 0;
    }
    else if (strstr(name, "libpython3") != nullptr) {
        rank = 1;
    }
    else if (name[0] == '\0' && info->dlpi_phnum > 0) {
        rank = 2;
        name = "/proc/self/exe"; /* the program (the first entry) */
    }
    else {
        return 0;
    }
    size_t length = strlen(name);
    if (found->count < MAX_CANDIDATES && length < PATH_MAX) {
        candidate *slot = &found->items[found->count++];
        memcpy(slot->path, name, length + 1);
        slot->base = info->dlpi_addr;
        slot->rank = rank;
    }
    return 0;
}

bool read_exactly(int fd, void *into, size_t size, off_t offset)
{
    return size == 0 || pread(fd, into, size, offset) == static_cast<ssize_t>(size);
}

/* The section's address in the loaded image of `item`, or 0. */
uintptr_t find_section(const candidate *item, const char *wanted)
{
    constexpr size_t MAX_SECTIONS = 256;
    constexpr size_t MAX_NAMES = size_t(64) << 10;
    static Elf64_Shdr sections[MAX_SECTIONS];
    static char names[MAX_NAMES];
    int fd = open(item->path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    uintptr_t address = 0;
    Elf64_Ehdr header;
    if (read_exactly(fd, &header, sizeof header, 0) && memcmp(header.e_ident, ELFMAG, SELFMAG) == 0
        && header.e_ident[EI_CLASS] == ELFCLASS64 && header.e_shentsize == sizeof(Elf64_Shdr)
        && header.e_shnum > 0 && header.e_shnum <= MAX_SECTIONS
        && header.e_shstrndx < header.e_shnum
        && read_exactly(fd, sections, header.e_shnum * sizeof(Elf64_Shdr),
                        static_cast<off_t>(header.e_shoff))) {
        const Elf64_Shdr *strings = &sections[header.e_shstrndx];
        size_t size = strings->sh_size < MAX_NAMES ? strings->sh_size : MAX_NAMES - 1;
        if (read_exactly(fd, names, size, static_cast<off_t>(strings->sh_offset))) {
            names[size] = '\0';
            for (size_t i = 0; i < header.e_shnum && address == 0; i++) {
                const Elf64_Shdr *section = &sections[i];
                if (section->sh_name < size && strcmp(names + section->sh_name, wanted) == 0
                    && section->sh_addr != 0 && section->sh_size >= sizeof(published_offsets)) {
                    address = item->base + section->sh_addr;
                }
            }
        }
    }
    close(fd);
    return address;
}

/* The table as published, checked: the thread state's fields must be
 * where they are compiled in, the task's fields must lie inside a task. */
bool offsets_sound(const published_offsets *found)
{
    const uint64_t task_fields[] = {found->task_name, found->task_awaited_by, found->task_coro,
                                    found->task_node + sizeof(void *)};
    if (found->task_size < TASK_LOOP_OFFSET + sizeof(void *) || found->task_size > MAX_TASK_SIZE
        || found->task_is_task >= found->task_size
        || found->task_awaited_by_is_set >= found->task_size) {
        return false;
    }
    for (uint64_t offset : task_fields) {
        if (offset % alignof(void *) != 0 || offset + sizeof(void *) > found->task_size) {
            return false;
        }
    }
    /* Not the thread state's size: a build with the JIT adds fields at its
     * end that the installed headers do not show. */
    return found->thread_size >= found->thread_tasks_head + sizeof(void *) * 2
        && found->thread_tasks_head == offsetof(_PyThreadStateImpl, asyncio_tasks_head)
        && found->thread_running_loop == offsetof(_PyThreadStateImpl, asyncio_running_loop);
}

}  // namespace

bool unlocked_tasks_find(const char **why)
{
    pthread_mutex_lock(&find_lock);
    if (found_state == 1) {
        pthread_mutex_unlock(&find_lock);
        return true;
    }
    candidates found;
    found.count = 0;
    dl_iterate_phdr(note_candidate, &found);
    *why = "the _asyncio module's task layout was not found";
    for (int rank = 0; rank <= 2 && found_state == 0; rank++) {
        for (int i = 0; i < found.count && found_state == 0; i++) {
            if (found.items[i].rank != rank) {
                continue;
            }
            uintptr_t address = find_section(&found.items[i], ".AsyncioDebug");
            published_offsets copy;
            if (address == 0 || !safe_copy(&copy, reinterpret_cast<const void *>(address),
                                           sizeof copy)) {
                continue;
            }
            if (!offsets_sound(&copy)) {
                *why = "the _asyncio module's task layout is not the one this agent knows";
                continue;
            }
            offsets = copy;
            found_state = 1;
        }
    }
    bool ok = found_state == 1;
    pthread_mutex_unlock(&find_lock);
    return ok;
}

const void *unlocked_running_loop(const void *tstate)
{
    const void *loop = nullptr;
    if (!aligned(tstate)
        || !safe_copy(&loop, at(tstate, offsetof(_PyThreadStateImpl, asyncio_running_loop)),
                      sizeof loop)) {
        return nullptr;
    }
    return aligned(loop) ? loop : nullptr;
}

size_t unlocked_loop_tasks(const void *tstate, const void *loop, unlocked_task *tasks,
                           size_t capacity, size_t limit, size_t *not_read, bool *torn)
{
    *not_read = 0;
    *torn = false;
    const void *head = at(tstate, offsets.thread_tasks_head);
    llist_links links;
    if (!aligned(tstate) || !safe_copy(&links, head, sizeof links)) {
        *torn = true;
        return 0;
    }
    alignas(16) unsigned char copy[MAX_TASK_SIZE];
    size_t count = 0;
    const void *node = links.next;
    const void *previous = head;
    for (size_t followed = 0; node != head; followed++) {
        if (followed == limit || !aligned(node)) {
            *torn = true;
            break;
        }
        const void *task = static_cast<const char *>(node) - offsets.task_node;
        if (!safe_copy(copy, task, offsets.task_size)) {
            *torn = true;
            break;
        }
        llist_links own = field<llist_links>(copy, offsets.task_node);
        /* A node that does not point back was torn out meanwhile. */
        if (own.prev != previous || field<char>(copy, offsets.task_is_task) != 1) {
            *torn = true;
            break;
        }
        if (field<const void *>(copy, TASK_LOOP_OFFSET) == loop) {
            if (count < capacity) {
                unlocked_task *out = &tasks[count++];
                out->address = task;
                out->awaited_by = field<const void *>(copy, offsets.task_awaited_by);
                out->awaited_by_is_set = field<char>(copy, offsets.task_awaited_by_is_set) != 0;
                out->name = field<const void *>(copy, offsets.task_name);
                out->coro = field<const void *>(copy, offsets.task_coro);
            }
            else {
                (*not_read)++;
            }
        }
        previous = node;
        node = own.next;
    }
    return count;
}

bool unlocked_future_read(const void *future, unlocked_future_links *out)
{
    /* A future's head is a task's: the same offsets hold. */
    alignas(16) unsigned char copy[MAX_TASK_SIZE];
    uint64_t size = offsets.task_awaited_by + sizeof(void *);
    if (offsets.task_is_task >= size) {
        size = offsets.task_is_task + 1;
    }
    if (offsets.task_awaited_by_is_set >= size) {
        size = offsets.task_awaited_by_is_set + 1;
    }
    if (!aligned(future) || size > sizeof copy || !safe_copy(copy, future, size)) {
        return false;
    }
    out->is_task = field<char>(copy, offsets.task_is_task) == 1;
    out->awaited_by = field<const void *>(copy, offsets.task_awaited_by);
    out->awaited_by_is_set = field<char>(copy, offsets.task_awaited_by_is_set) != 0;
    return true;
}

size_t unlocked_set_members(const unlocked_target *target, const void *set, const void **members,
                            size_t capacity)
{
    PySetObject copy;
    if (target->set_type == nullptr || !aligned(set) || !safe_copy(&copy, set, sizeof copy)
        || reinterpret_cast<const void *>(Py_TYPE(reinterpret_cast<PyObject *>(&copy)))
               != target->set_type
        || copy.mask < 0 || copy.mask >= 4096 || !aligned(copy.table)) {
        return 0;
    }
    size_t count = 0;
    setentry entries[64];
    size_t slots = static_cast<size_t>(copy.mask) + 1;
    for (size_t start = 0; start < slots && count < capacity; start += 64) {
        size_t chunk = slots - start < 64 ? slots - start : 64;
        if (!safe_copy(entries, copy.table + start, chunk * sizeof(setentry))) {
            break;
        }
        for (size_t i = 0; i < chunk && count < capacity; i++) {
            /* Empty slots have no key; deleted ones a dummy key hashed -1. */
            if (entries[i].key != nullptr && entries[i].hash != -1 && aligned(entries[i].key)) {
                members[count++] = entries[i].key;
            }
        }
    }
    return count;
}

bool unlocked_task_name(const unlocked_target *target, const void *name, unlocked_text *out)
{
    out->ok = false;
    PyObject head;
    if (!aligned(name) || !safe_copy(&head, name, sizeof head)) {
        return false;
    }
    if (reinterpret_cast<const void *>(head.ob_type) == target->unicode_type) {
        return unlocked_str(target, name, out);
    }
    if (target->long_type == nullptr || reinterpret_cast<const void *>(head.ob_type) != target->long_type) {
        return false;
    }
    /* A counter: the name asyncio would make of it, "Task-N". */
    struct {
        PyObject base;
        uintptr_t tag;
        digit digits[2];
    } number;
    if (!safe_copy(&number, name, sizeof number)) {
        return false;
    }
    uintptr_t digits = number.tag >> _PyLong_NON_SIZE_BITS;
    uint64_t value = 0;
    if ((number.tag & _PyLong_SIGN_MASK) == 2 || digits > 2) {
        return false; /* negative or huge: not a counter */
    }
    if (number.tag < (2 << _PyLong_NON_SIZE_BITS)) {
        value = (number.tag & _PyLong_SIGN_MASK) == 1 ? 0 : number.digits[0];
    }
    else {
        value = number.digits[0] | (static_cast<uint64_t>(number.digits[1]) << PyLong_SHIFT);
    }
    char text[32] = "Task-";
    size_t length = 5;
    char reversed[24];
    size_t count = 0;
    do {
        reversed[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0 && count < sizeof reversed);
    while (count > 0) {
        text[length++] = reversed[--count];
    }
    memcpy(out->data, text, length);
    out->length = length;
    out->kind = 1;
    out->truncated = false;
    out->ok = true;
    return true;
}

bool unlocked_coroutine_step(const unlocked_target *target, const void *coroutine,
                             unlocked_frame *frame, const void **awaits)
{
    *awaits = nullptr;
    constexpr size_t size = offsetof(PyGenObject, gi_iframe) + offsetof(_PyInterpreterFrame, localsplus);
    alignas(16) unsigned char copy[size];
    if (!aligned(coroutine) || !safe_copy(copy, coroutine, size)) {
        return false;
    }
    const PyGenObject *generator = reinterpret_cast<const PyGenObject *>(copy);
    const void *type = Py_TYPE(reinterpret_cast<const PyObject *>(copy));
    if (type == nullptr || (type != target->coro_type && type != target->gen_type)) {
        return false;
    }
    /* A signed byte (3.14's suspended states are negative), widened by hand. */
    int state = static_cast<unsigned char>(generator->gi_frame_state);
    if (state > 127) {
        state -= 256;
    }
    if (FRAME_STATE_FINISHED(state)) {
        return false;
    }
    const _PyInterpreterFrame *iframe = &generator->gi_iframe;
    const void *code = reinterpret_cast<const void *>(iframe->f_executable.bits & ~Py_TAG_BITS);
    if (!unlocked_frame_at(target, code, iframe->instr_ptr, frame)) {
        frame->unreadable = true;
        return true;
    }
    bool yielding_from = state == FRAME_SUSPENDED_YIELD_FROM;
#if VANDREL_PY_HAS_LOCKED_YIELD_FROM
    yielding_from = yielding_from || state == FRAME_SUSPENDED_YIELD_FROM_LOCKED;
#endif
    /* What it awaits is near the top of its frame's value stack. */
    _PyStackRef top;
    const void *awaited = nullptr;
    PyObject awaited_head;
    if (yielding_from && aligned(iframe->stackpointer)
        && safe_copy(&top, iframe->stackpointer - VANDREL_PY_AWAITED_STACK_DEPTH, sizeof top)) {
        awaited = reinterpret_cast<const void *>(top.bits & ~Py_TAG_BITS);
    }
    if (aligned(awaited) && safe_copy(&awaited_head, awaited, sizeof awaited_head)
        && (reinterpret_cast<const void *>(awaited_head.ob_type) == target->coro_type
            || reinterpret_cast<const void *>(awaited_head.ob_type) == target->gen_type)) {
        *awaits = awaited;
    }
    return true;
}

size_t unlocked_type_name(const void *object, char *out, size_t capacity)
{
    PyObject head;
    const char *name = nullptr;
    if (!aligned(object) || !safe_copy(&head, object, sizeof head) || !aligned(head.ob_type)
        || !safe_copy(&name, at(head.ob_type, offsetof(PyTypeObject, tp_name)), sizeof name)
        || name == nullptr) {
        return 0;
    }
    /* Read up to the page's end first, so a short name near a page
     * boundary still reads. */
    char text[128];
    uintptr_t start = reinterpret_cast<uintptr_t>(name);
    size_t first = 4096 - (start & 4095);
    size_t length = first < sizeof text ? first : sizeof text;
    if (!safe_copy(text, name, length)) {
        return 0;
    }
    if (memchr(text, '\0', length) == nullptr && length < sizeof text
        && safe_copy(text + length, name + length, sizeof text - length)) {
        length = sizeof text;
    }
    size_t end = 0;
    while (end < length && text[end] != '\0') {
        end++;
    }
    size_t begin = end;
    while (begin > 0 && text[begin - 1] != '.') {
        begin--;
    }
    size_t shown = 0;
    for (size_t i = begin; i < end && shown < capacity; i++) {
        unsigned char ch = static_cast<unsigned char>(text[i]);
        out[shown++] = ch >= 0x20 && ch < 0x7f ? static_cast<char>(ch) : '?';
    }
    return shown;
}

#else /* no task lists in this version */

bool unlocked_tasks_find(const char **why)
{
    *why = "this Python keeps no task lists that can be read without the GIL (3.14 on does)";
    return false;
}
const void *unlocked_running_loop(const void *)
{
    return nullptr;
}
size_t unlocked_loop_tasks(const void *, const void *, unlocked_task *, size_t, size_t,
                           size_t *not_read, bool *torn)
{
    *not_read = 0;
    *torn = false;
    return 0;
}
bool unlocked_future_read(const void *, unlocked_future_links *)
{
    return false;
}
size_t unlocked_set_members(const unlocked_target *, const void *, const void **, size_t)
{
    return 0;
}
bool unlocked_task_name(const unlocked_target *, const void *, unlocked_text *out)
{
    out->ok = false;
    return false;
}
bool unlocked_coroutine_step(const unlocked_target *, const void *, unlocked_frame *,
                             const void **awaits)
{
    *awaits = nullptr;
    return false;
}
size_t unlocked_type_name(const void *, char *, size_t)
{
    return 0;
}

#endif

}  // namespace vandrel
