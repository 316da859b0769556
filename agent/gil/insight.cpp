/* What the GIL interceptor tells beyond totals: distributions of single
 * waits and holds, the code that holds the GIL too long, per-interval
 * figures and the timeline of transitions.
 *
 * The hooks write a thread's own distributions (in its record), the
 * long-hold places and the ring, always while owning gil->mutex, so the
 * writers are one at a time; and a hold or a wait can only end (the
 * writes) while the GIL changes hands, which it cannot while a report,
 * holding the GIL, reads.  The one exception, a thread told to exit at
 * shutdown giving up its wait, writes through relaxed atomics like every
 * other write to a histogram, so a report at that moment reads a count a
 * moment old, never a torn one.  Sums over threads and intervals are the
 * reports' work, so that a hook touches no line another CPU writes. */
#include "cpython/frame_reader.h"
#include "cpython/str_view.h"
#include "text/utf8.h"
#include "gil/internal.h"

#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace vandrel {
namespace gil {

namespace {

template <typename T> T load(const T *field)
{
    return __atomic_load_n(field, __ATOMIC_RELAXED);
}

template <typename T> void store(T *field, T value)
{
    __atomic_store_n(field, value, __ATOMIC_RELAXED);
}

/* ---- Histograms ---------------------------------------------------------- */

/* The middle of bucket `index` in ns. */
int64_t bucket_middle(size_t index)
{
    const size_t linear = static_cast<size_t>(1) << duration_sub_bits;
    if (index < linear) {
        return static_cast<int64_t>(index);
    }
    int shift = static_cast<int>(index / linear) - 1;
    int64_t low = static_cast<int64_t>(linear + index % linear) << shift;
    return low + ((static_cast<int64_t>(1) << shift) >> 1);
}

template <typename From>
void merge_histogram(total_histogram *into, const duration_histogram<From> *from)
{
    uint64_t count = load(&from->count);
    if (count == 0) {
        return;
    }
    int64_t low = load(&from->min_ns);
    int64_t high = load(&from->max_ns);
    if (into->count == 0 || low < into->min_ns) {
        into->min_ns = low;
    }
    if (into->count == 0 || high > into->max_ns) {
        into->max_ns = high;
    }
    /* Only [min, max] can hold counts. */
    for (size_t i = duration_bucket(low), last = duration_bucket(high); i <= last; i++) {
        into->buckets[i] += load(&from->buckets[i]);
    }
    into->count += count;
}

template <typename Count> duration_summary summarize_histogram(const duration_histogram<Count> *h)
{
    duration_summary summary = {};
    summary.count = load(&h->count);
    if (summary.count == 0) {
        return summary;
    }
    int64_t low = load(&h->min_ns);
    int64_t high = load(&h->max_ns);
    const double fractions[3] = {0.50, 0.90, 0.99};
    int64_t *targets[3] = {&summary.p50_ns, &summary.p90_ns, &summary.p99_ns};
    uint64_t seen = 0;
    size_t bucket = duration_bucket(low); /* none below the minimum */
    for (int k = 0; k < 3; k++) {
        /* The smallest value with at least this fraction at or below it. */
        uint64_t rank = static_cast<uint64_t>(fractions[k] * static_cast<double>(summary.count));
        if (static_cast<double>(rank) < fractions[k] * static_cast<double>(summary.count)) {
            rank++;
        }
        if (rank == 0) {
            rank = 1;
        }
        while (bucket < duration_buckets && seen + load(&h->buckets[bucket]) < rank) {
            seen += load(&h->buckets[bucket]);
            bucket++;
        }
        /* Counts read while a shutdown wait is added may fall short of
         * `count` by one: then the top bucket stands. */
        int64_t value = bucket < duration_buckets ? bucket_middle(bucket) : high;
        *targets[k] = value < low ? low : value > high ? high : value;
    }
    summary.max_ns = high;
    return summary;
}

/* The lowest value of bucket `index`, and the highest. */
int64_t bucket_low(size_t index)
{
    const size_t linear = static_cast<size_t>(1) << duration_sub_bits;
    if (index < linear) {
        return static_cast<int64_t>(index);
    }
    int shift = static_cast<int>(index / linear) - 1;
    return static_cast<int64_t>(linear + index % linear) << shift;
}

int64_t bucket_high(size_t index)
{
    if (index + 1 == duration_buckets) {
        return INT64_MAX;
    }
    return bucket_low(index + 1) - 1;
}

/* The distribution of what `now` has that `before` (an earlier state of
 * the same sums) had not.  Its extremes are exact when they are the
 * session's new ones, else the edges of its outermost buckets, within the
 * session's. */
duration_summary summarize_since(const total_histogram *now, const total_histogram *before)
{
    total_histogram *since = static_cast<total_histogram *>(malloc(sizeof(total_histogram)));
    duration_summary summary = {};
    if (since == nullptr) {
        return summary;
    }
    since->count = now->count - before->count;
    size_t first = duration_buckets;
    size_t last = 0;
    for (size_t i = 0; i < duration_buckets; i++) {
        since->buckets[i] = now->buckets[i] - before->buckets[i];
        if (since->buckets[i] != 0) {
            first = first < i ? first : i;
            last = i;
        }
    }
    if (since->count != 0 && first < duration_buckets) {
        since->min_ns = before->count == 0 || now->min_ns < before->min_ns
                            ? now->min_ns
                            : (bucket_low(first) > now->min_ns ? bucket_low(first) : now->min_ns);
        since->max_ns = before->count == 0 || now->max_ns > before->max_ns
                            ? now->max_ns
                            : (bucket_high(last) < now->max_ns ? bucket_high(last) : now->max_ns);
        summary = summarize_histogram(since);
    }
    free(since);
    return summary;
}

/* ---- Session state --------------------------------------------------------- */

/* Every thread's distributions at the previous report, for the interval. */
total_distributions previous_totals;
/* The cumulative figures at the previous report. */
int64_t previous_wall_ns;
int64_t previous_held_ns;
int64_t previous_waited_ns;
uint64_t previous_switches;


/* Long holds by place.  When the table is full, a new place takes the
 * slot of the place with the least time beyond the threshold. */
const size_t long_hold_table_size = 32;
long_hold_place places[long_hold_table_size];
size_t place_count;
/* All long holds of the session, the places shown or not. */
uint64_t long_hold_count;
int64_t long_hold_ns;

/* What the metric bounds stand for; each is moved up to its bucket's edge. */
const int64_t metric_bounds_asked_ns[metric_bound_count] = {
    1000, 2500, 5000, 10000, 25000, 50000, 100000, 250000, 500000, 1000000,
    2500000, 5000000, 10000000, 25000000, 50000000, 100000000, 250000000, 500000000,
    1000000000, 5000000000};

/* Counts at the metric bounds, cumulative. */
void count_within_bounds(const total_histogram *histogram, uint64_t *within)
{
    uint64_t below = 0;
    size_t next = 0;
    for (size_t i = 0; i < metric_bound_count; i++) {
        size_t last = duration_bucket(metric_bounds_asked_ns[i]);
        for (; next <= last; next++) {
            below += histogram->buckets[next];
        }
        within[i] = below;
    }
}
long_hold_place capture; /* scratch for the stack being taken (one hook at a time) */
}  // namespace

hold_capture watched_hold;

namespace {

}  // namespace



namespace {

/* ---- Stacks of long holds ------------------------------------------------ */

/* Append code point `ch` to `out` (room `size`, kept NUL-terminated) as
 * UTF-8; surrogates (not encodable) become '?'.  Returns false once full. */
bool append_utf8(char *out, size_t size, size_t *length, uint32_t ch)
{
    char bytes[4];
    size_t count = utf8_encode(is_surrogate(ch) ? '?' : ch, bytes);
    if (*length + count >= size) {
        return false;
    }
    memcpy(out + *length, bytes, count);
    *length += count;
    out[*length] = '\0';
    return true;
}

#ifdef VANDREL_FRAME_READER
/* Copy str object `text` into `out` as UTF-8, cut at a character when
 * long.  Reads the characters in place: no allocation, no Python code. */
void copy_text(PyObject *text, char *out, size_t size)
{
    out[0] = '\0';
    str_view view;
    if (text == nullptr || !PyUnicode_Check(text) || !str_in_place(text, &view)) {
        return;
    }
    size_t used = 0;
    for (Py_ssize_t i = 0; i < view.length; i++) {
        if (!append_utf8(out, size, &used, str_at(&view, i))) {
            break;
        }
    }
}

/* Copy the calling thread's stack into `frames`: up to `capacity` frames,
 * innermost first, as traceback shows them; return how many.  The thread
 * is in take_gil() or drop_gil(), owning gil->mutex, so its frames and
 * their code objects stay put while read; everything is copied, so
 * nothing is read once the hook is done. */
uint32_t take_own_stack(held_frame *frames, size_t capacity)
{
    if (!py->direct_access || hooks.gil_switch.last_holder == nullptr) {
        return 0;
    }
    /* take_gil() and drop_gil() have just named the thread state taking
     * or letting go. */
    PyThreadState *tstate = static_cast<PyThreadState *>(
        const_cast<void *>(__atomic_load_n(hooks.gil_switch.last_holder, __ATOMIC_RELAXED)));
    if (tstate == nullptr || tstate->thread_id != static_cast<unsigned long>(pthread_self())) {
        return 0;
    }
    uint32_t depth = 0;
    int guard = 0;
    for (interp_frame *frame = thread_top_frame(tstate);
         frame != nullptr && depth < capacity && guard < 10000;
         frame = frame_previous(frame), guard++) {
        PyCodeObject *code;
        int instruction;
        if (!frame_shown(py->code_type, frame, &code, &instruction)) {
            continue;
        }
        held_frame *out = &frames[depth++];
        copy_text(code->co_filename, out->file, sizeof(out->file));
        copy_text(code->co_name, out->function, sizeof(out->function));
        out->line = code_line(py, code, instruction);
    }
    return depth;
}
#else
uint32_t take_own_stack(held_frame *, size_t)
{
    return 0;
}
#endif

/* Is the calling thread letting go of the GIL as its thread state is
 * deleted (its thread ends)?  Its own-thread binding is cleared first,
 * while a release that keeps the thread state (a blocking call) keeps it. */
bool thread_state_ending()
{
    return py->gil_state_this_thread() == nullptr;
}

/* The stack the agent's thread read during this hold, copied into
 * `capture`; false when it read none (or not of this hold). */
bool watched_stack(const thread_record *record)
{
    uint32_t before = __atomic_load_n(&watched_hold.seq, __ATOMIC_ACQUIRE);
    if ((before & 1) != 0 || __atomic_load_n(&watched_hold.record, __ATOMIC_RELAXED) != record ||
        __atomic_load_n(&watched_hold.native_id, __ATOMIC_RELAXED) != record->native_id ||
        __atomic_load_n(&watched_hold.acquisition, __ATOMIC_RELAXED) != record->acquisitions) {
        return false;
    }
    uint32_t depth = __atomic_load_n(&watched_hold.depth, __ATOMIC_RELAXED);
    capture.depth = depth < long_hold_depth ? depth : static_cast<uint32_t>(long_hold_depth);
    memcpy(capture.frames, watched_hold.frames, sizeof(capture.frames));
    __atomic_thread_fence(__ATOMIC_ACQUIRE);
    return __atomic_load_n(&watched_hold.seq, __ATOMIC_RELAXED) == before;
}

uint64_t mix(uint64_t hash, const void *data, size_t length)
{
    const unsigned char *bytes = static_cast<const unsigned char *>(data);
    for (size_t i = 0; i < length; i++) {
        hash = (hash ^ bytes[i]) * 0x100000001B3ULL;
    }
    return hash;
}

uint64_t stack_key(const long_hold_place *place)
{
    uint64_t hash = 0xCBF29CE484222325ULL;
    for (uint32_t i = 0; i < place->depth; i++) {
        const held_frame *frame = &place->frames[i];
        hash = mix(hash, frame->file, strlen(frame->file) + 1);
        hash = mix(hash, frame->function, strlen(frame->function) + 1);
        hash = mix(hash, &frame->line, sizeof(frame->line));
    }
    return mix(hash, &place->depth, sizeof(place->depth));
}

bool same_stack(const long_hold_place *a, const long_hold_place *b)
{
    if (a->key != b->key || a->depth != b->depth) {
        return false;
    }
    for (uint32_t i = 0; i < a->depth; i++) {
        if (a->frames[i].line != b->frames[i].line ||
            strcmp(a->frames[i].file, b->frames[i].file) != 0 ||
            strcmp(a->frames[i].function, b->frames[i].function) != 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

void charge_long_hold(const thread_record *record, int64_t held_ns, bool forced)
{
    long_hold_count++;
    long_hold_ns += held_ns;
    capture.released_depth = take_own_stack(capture.released_at, long_hold_depth);
    capture.ended_by = forced                 ? ENDED_BY_WAITER
                       : thread_state_ending() ? ENDED_BY_EXIT
                                               : ENDED_VOLUNTARILY;
    if (!watched_stack(record)) {
        /* Not read in time (a hold just over the threshold, the agent's
         * thread kept off a CPU): where it lets go stands for it. */
        capture.depth = capture.released_depth;
        memcpy(capture.frames, capture.released_at, sizeof(capture.frames));
    }
    capture.key = stack_key(&capture);
    long_hold_place *place = nullptr;
    for (size_t i = 0; i < place_count; i++) {
        if (same_stack(&places[i], &capture)) {
            place = &places[i];
            break;
        }
    }
    if (place == nullptr) {
        if (place_count < long_hold_table_size) {
            place = &places[place_count++];
        }
        else {
            place = &places[0];
            for (size_t i = 1; i < place_count; i++) {
                if (places[i].beyond_ns < place->beyond_ns) {
                    place = &places[i];
                }
            }
        }
        place->key = capture.key;
        place->depth = capture.depth;
        memcpy(place->frames, capture.frames, sizeof(place->frames));
        place->count = 0;
        place->total_ns = place->beyond_ns = place->max_ns = 0;
    }
    place->released_depth = capture.released_depth;
    memcpy(place->released_at, capture.released_at, sizeof(place->released_at));
    place->ended_by = capture.ended_by;
    place->native_id = record->native_id;
    memcpy(place->thread, record_name(record), sizeof(place->thread));
    place->thread[sizeof(place->thread) - 1] = '\0';
    place->count++;
    place->total_ns += held_ns;
    place->beyond_ns += held_ns - hooks.long_hold_threshold_ns;
    if (held_ns > place->max_ns) {
        place->max_ns = held_ns;
    }
}

namespace {
held_frame wait_stack[profile_depth]; /* scratch of the one hook at a time */
}  // namespace

void charge_long_wait(const thread_record *record, int64_t waited_ns)
{
    if (record->is_agent) {
        return; /* the agent's own thread, queued to report */
    }
    uint32_t depth = take_own_stack(wait_stack, profile_depth);
    profile_frame_id ids[profile_depth];
    for (uint32_t i = 0; i < depth; i++) {
        ids[i] = profile_frame(PROFILE_WAITED, wait_stack[i].file, wait_stack[i].function,
                               wait_stack[i].line);
    }
    profile_add(PROFILE_WAITED, record_name(record), record->native_id, ids, depth, waited_ns, 1);
}

namespace {

int compare_places(const void *left, const void *right)
{
    const long_hold_place *a = static_cast<const long_hold_place *>(left);
    const long_hold_place *b = static_cast<const long_hold_place *>(right);
    if (a->beyond_ns != b->beyond_ns) {
        return a->beyond_ns > b->beyond_ns ? -1 : 1;
    }
    return a->key < b->key ? -1 : a->key > b->key;
}

}  // namespace

/* ---- Distributions, shared with records and reports ------------------- */

namespace {

void empty_histogram(thread_histogram *histogram)
{
    if (histogram->count != 0) {
        size_t first = duration_bucket(histogram->min_ns);
        size_t last = duration_bucket(histogram->max_ns);
        memset(&histogram->buckets[first], 0, (last - first + 1) * sizeof(histogram->buckets[0]));
    }
    histogram->count = 0;
    histogram->min_ns = INT64_MAX;
    histogram->max_ns = 0;
}

void copy_histogram(thread_histogram *into, const thread_histogram *from)
{
    into->count = from->count;
    into->min_ns = from->min_ns;
    into->max_ns = from->max_ns;
    if (from->count != 0) {
        size_t first = duration_bucket(from->min_ns);
        size_t last = duration_bucket(from->max_ns);
        memcpy(&into->buckets[first], &from->buckets[first],
               (last - first + 1) * sizeof(from->buckets[0]));
    }
}

}  // namespace

void empty_distributions(thread_distributions *figures)
{
    empty_histogram(&figures->waits);
    empty_histogram(&figures->holds);
}

void copy_distributions(thread_distributions *into, const thread_distributions *from)
{
    copy_histogram(&into->waits, &from->waits);
    copy_histogram(&into->holds, &from->holds);
}

void clear_distributions(total_distributions *figures)
{
    memset(figures, 0, sizeof(*figures));
    figures->waits.min_ns = figures->holds.min_ns = INT64_MAX;
}

void merge_distributions(total_distributions *into, const thread_distributions *from)
{
    merge_histogram(&into->waits, &from->waits);
    merge_histogram(&into->holds, &from->holds);
}

void merge_distributions(total_distributions *into, const total_distributions *from)
{
    merge_histogram(&into->waits, &from->waits);
    merge_histogram(&into->holds, &from->holds);
}

duration_summary summarize(const thread_histogram *histogram)
{
    return summarize_histogram(histogram);
}

duration_summary summarize(const total_histogram *histogram)
{
    return summarize_histogram(histogram);
}

/* ---- Session life ---------------------------------------------------------- */

bool allocate_timeline(int64_t capacity, timeline_entry **out)
{
    *out = nullptr;
    if (capacity < 0) {
        return false;
    }
    if (capacity == 0) {
        return true;
    }
    if (static_cast<uint64_t>(capacity) > SIZE_MAX / sizeof(timeline_entry)) {
        return false;
    }
    *out = static_cast<timeline_entry *>(
        calloc(static_cast<size_t>(capacity), sizeof(timeline_entry)));
    return *out != nullptr;
}

void begin_insight(int64_t threshold_ns, timeline_entry *ring, size_t capacity,
                   thread_record *caller, int64_t start_ns)
{
    end_insight();
    hooks.long_hold_threshold_ns = threshold_ns;
    long_hold_count = 0;
    long_hold_ns = 0;
    clear_distributions(&previous_totals);
    previous_wall_ns = previous_held_ns = previous_waited_ns = 0;
    previous_switches = 0;
    place_count = 0;
    hooks.timeline.ring = ring;
    hooks.timeline.capacity = capacity;
    hooks.timeline.next = 0;
    hooks.timeline.written = 0;
    if (caller != nullptr && hooks.timeline.ring != nullptr) {
        timeline_add(caller, start_ns, TIMELINE_ACQUIRE, 0);
    }
}

void end_insight()
{
    free(hooks.timeline.ring);
    hooks.timeline.ring = nullptr;
    hooks.timeline.capacity = 0;
    hooks.timeline.next = 0;
    hooks.timeline.written = 0;
}

void take_insight(const total_distributions *totals, int64_t wall_ns, int64_t held_ns,
                  int64_t waited_ns, uint64_t switches, insight_snapshot *out)
{
    out->wait = summarize(&totals->waits);
    out->hold = summarize(&totals->holds);
    count_within_bounds(&totals->waits, out->wait_within);
    count_within_bounds(&totals->holds, out->hold_within);
    out->long_hold_count = long_hold_count;
    out->long_hold_ns = long_hold_ns;
    out->interval_wait = summarize_since(&totals->waits, &previous_totals.waits);
    out->interval_hold = summarize_since(&totals->holds, &previous_totals.holds);
    memcpy(&previous_totals, totals, sizeof(previous_totals));
    out->interval_wall_ns = wall_ns - previous_wall_ns;
    out->interval_held_ns = held_ns - previous_held_ns;
    out->interval_waited_ns = waited_ns - previous_waited_ns;
    out->interval_switches = switches - previous_switches;
    previous_wall_ns = wall_ns;
    previous_held_ns = held_ns;
    previous_waited_ns = waited_ns;
    previous_switches = switches;
    out->threshold_ns = hooks.long_hold_threshold_ns;
    /* Sorted in place: the table's order does not matter to the hooks, and
     * none runs while the GIL is held here. */
    qsort(places, place_count, sizeof(long_hold_place), compare_places);
    out->place_count = place_count < long_hold_places_shown ? place_count : long_hold_places_shown;
    out->places = out->place_count > 0 ? static_cast<long_hold_place *>(
                                             malloc(out->place_count * sizeof(long_hold_place)))
                                       : nullptr;
    if (out->places == nullptr) {
        out->place_count = 0;
        return;
    }
    memcpy(out->places, places, out->place_count * sizeof(long_hold_place));
}

int64_t metric_bound_ns(size_t index)
{
    return bucket_low(duration_bucket(metric_bounds_asked_ns[index]) + 1);
}

/* Layout: a 32-byte header, then the kept transitions oldest first, each
 * a timeline_entry (16 bytes), all in the machine's byte order:
 *   header: "VGTL", uint16 version (2), uint16 entry size (16),
 *           uint64 transitions written in all (more than kept: wrapped),
 *           int64 the switch-on in CLOCK_MONOTONIC ns, int32 the pid,
 *           4 bytes zero. */
PyObject *timeline_bytes()
{
    if (hooks.timeline.ring == nullptr) {
        py->incref(py->none);
        return py->none;
    }
    size_t kept = hooks.timeline.written < hooks.timeline.capacity ? static_cast<size_t>(hooks.timeline.written) : hooks.timeline.capacity;
    /* Header: magic, version, entry size, transitions written, then the
     * switch-on in CLOCK_MONOTONIC ns and the process id, so a trace made
     * from it later lines up with other traces of the process. */
    struct timeline_header {
        char magic[4];
        uint16_t version;
        uint16_t entry_size;
        uint64_t written;
        int64_t origin_ns;
        int32_t pid;
        int32_t zero;
    };
    static_assert(sizeof(timeline_header) == 32, "the timeline header is 32 bytes");
    const size_t header = sizeof(timeline_header);
    size_t size = header + kept * sizeof(timeline_entry);
    PyObject *bytes = py->bytes_from_string_and_size(nullptr, static_cast<Py_ssize_t>(size));
    if (bytes == nullptr) {
        return nullptr;
    }
    char *packed = PyBytes_AS_STRING(bytes);
    timeline_header head = {{'V', 'G', 'T', 'L'}, 2, static_cast<uint16_t>(sizeof(timeline_entry)),
                            hooks.timeline.written, hooks.session_start_ns,
                            static_cast<int32_t>(getpid()), 0};
    memcpy(packed, &head, header);
    size_t oldest = hooks.timeline.written < hooks.timeline.capacity ? 0 : hooks.timeline.next;
    size_t first_part = kept - oldest;
    memcpy(packed + header, hooks.timeline.ring + oldest, first_part * sizeof(timeline_entry));
    memcpy(packed + header + first_part * sizeof(timeline_entry), hooks.timeline.ring, oldest * sizeof(timeline_entry));
    return bytes;
}

}  // namespace gil
}  // namespace vandrel
