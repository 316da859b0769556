/* The streamed trace: the timeline ring turned into trace-event JSON
 * (Perfetto, chrome://tracing) while the program runs, by a thread of the
 * agent's own that never takes the GIL.
 *
 * About once a second (more often while transitions come fast) the writer
 * thread reads the transitions the hooks added to the ring since it last
 * looked and appends their events to the file in one write(): the file is
 * always the JSON array form of the trace-event format without its
 * closing bracket, which the viewers accept, so a process killed outright
 * loses only what came after the last write.  The switch-off writes the
 * rest and the bracket.  The events are those the package's formatter
 * (_gil_format.chrome_trace) makes from the final report's timeline:
 * "wait", "hold" and "long hold" spans as begin/end pairs per thread, in
 * µs since the switch-on, and a thread_name record per thread once its
 * name is known.  A hold's begin is written once the hold is known to be
 * long or short: at its end, or as "long hold" once it has lasted longer
 * than the threshold.
 *
 * A file holds at most `max_transitions_per_file` transitions; then it is
 * closed (spans still open end there) and the trace goes on in the next
 * numbered file, "trace.1.json", "trace.2.json", ... beside it, where the
 * open spans begin again.
 *
 * The ring is read without a lock: the hooks publish each entry with a
 * release store of `written`; entries the hooks may have overwritten while
 * they were copied are dropped as lost (an instant event counts them). */
#include "gil/internal.h"
#include "text/buffer.h"
#include "text/utf8.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "agent.h"

namespace vandrel {
namespace gil {

namespace {

/* ---- Parameters --------------------------------------------------------- */

const int64_t default_max_per_file = 1000000;
const int64_t drain_period_ns = 1000LL * 1000 * 1000;
/* After a drain of this many transitions the next comes sooner, so that
 * neither the ring nor the switch-off's last drain has much to catch up. */
const uint64_t busy_drain = 100000;
const int64_t busy_drain_period_ns = 200LL * 1000 * 1000;
/* Transitions copied out of the ring at a time. */
const size_t batch_size = 4096;
/* Margin past the threshold before an open hold is written as long: the
 * hooks' clock and this thread's may differ by a little. */
const int64_t long_margin_ns = 1000LL * 1000;

enum span_kind : uint8_t { SPAN_NONE = 0, SPAN_WAIT = 1, SPAN_HOLD = 2 };

/* One thread of the trace. */
struct track {
    int32_t tid;         /* 0: free slot */
    uint8_t span;        /* the open span */
    bool begun;          /* its begin event is written */
    bool long_begun;     /* ... as a long hold */
    bool name_known;     /* `name` holds its final name */
    bool name_written;   /* in the current file */
    int64_t start_ns;    /* the open span's start */
    int64_t last_ns;     /* its latest transition: time never runs back */
    char name[64];
};

struct stream {
    char *path;          /* the first file's */
    int fd;
    bool failed;         /* a write failed: said once, nothing more written */
    int64_t max_per_file;
    int64_t in_file;     /* transitions in the current file */
    bool file_empty;     /* no event in the current file yet */
    unsigned file_number;
    uint64_t cursor;     /* index of the next transition to read */
    bool after_gap;      /* transitions were lost: a release may have no start */
    bool gap_pending;    /* ... and none is taken since */
    int64_t gap_ns;      /* the first transition after the loss */
    uint64_t lost;
    text_buffer out;
    track *tracks;
    size_t track_bits;   /* 2^bits slots */
    size_t track_count;
    /* The writer thread. */
    pthread_t thread;
    int wake_fd;
    int claimed;         /* atomic: the switch-off or an exit signal set end_ns */
    int stop;            /* atomic: finish and end (end_ns set) */
    int finished;        /* atomic: the file is closed */
    int kept;            /* an exit signal waits on it: never freed */
    int64_t end_ns;      /* where the trace ends, since the switch-on */
};

/* The session's stream: set by the entry point, taken by the switch-off
 * (GIL held) or looked at by the exit signal's thread, under stream_lock. */
stream *current_stream;
pthread_mutex_t stream_lock = PTHREAD_MUTEX_INITIALIZER;

/* Ask the writer to write the rest up to `end_ns` and close the file;
 * only the first request counts. */
void request_finish(stream *s, int64_t end_ns)
{
    int expected = 0;
    if (__atomic_compare_exchange_n(&s->claimed, &expected, 1, false, __ATOMIC_ACQ_REL,
                                    __ATOMIC_ACQUIRE)) {
        s->end_ns = end_ns;
        __atomic_store_n(&s->stop, 1, __ATOMIC_RELEASE);
    }
    uint64_t one = 1;
    ssize_t woken = write(s->wake_fd, &one, sizeof(one));
    (void)woken;
}

/* ---- Output ------------------------------------------------------------- */

/* Write the buffered text to the file in one go (retrying a partial
 * write).  A failure is said once on stderr and ends the output. */
void flush(stream *s)
{
    size_t done = 0;
    while (!s->failed && done < s->out.length) {
        ssize_t wrote = write(s->fd, s->out.data + done, s->out.length - done);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            int error = wrote < 0 ? errno : ENOSPC;
            char line[600];
            int length = snprintf(line, sizeof(line),
                                  "vandrel: the GIL trace %s stopped: cannot write to it: %s\n",
                                  s->path, strerror(error));
            if (length > 0) {
                ssize_t said = write(2, line, static_cast<size_t>(length) < sizeof(line)
                                                  ? static_cast<size_t>(length)
                                                  : sizeof(line) - 1);
                (void)said;
            }
            s->failed = true;
        }
        else {
            done += static_cast<size_t>(wrote);
        }
    }
    s->out.length = 0;
}

/* Every event after the file's first starts with ",\n": the file is a
 * valid array once "]" is added, whenever it is read. */
void event_start(stream *s)
{
    text_appendf(&s->out, "%s{", s->file_empty ? "" : ",\n");
    s->file_empty = false;
}

void append_ts(stream *s, int64_t ns)
{
    if (ns < 0) {
        ns = 0;
    }
    text_appendf(&s->out, "%lld.%03lld", static_cast<long long>(ns / 1000),
                 static_cast<long long>(ns % 1000));
}

/* `text` as a JSON string: UTF-8 kept, anything not valid UTF-8 replaced
 * by U+FFFD, quotes, backslashes and control characters escaped. */
void append_json_string(stream *s, const char *text)
{
    text_appendf(&s->out, "\"");
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
    while (*p != 0) {
        unsigned char c = *p;
        if (c == '"' || c == '\\') {
            text_appendf(&s->out, "\\%c", c);
            p++;
            continue;
        }
        if (c < 0x20 || c == 0x7f) {
            text_appendf(&s->out, "\\u%04x", c);
            p++;
            continue;
        }
        if (c < 0x80) {
            text_appendf(&s->out, "%c", c);
            p++;
            continue;
        }
        size_t length = c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : c >= 0xc2 ? 2 : 0;
        bool valid = length > 0 && c < 0xf5;
        for (size_t k = 1; valid && k < length; k++) {
            valid = (p[k] & 0xc0) == 0x80;
        }
        if (valid && length == 3) {
            uint32_t ch = ((c & 0x0fu) << 12) | ((p[1] & 0x3fu) << 6) | (p[2] & 0x3fu);
            valid = ch >= 0x800 && !is_surrogate(ch);
        }
        if (valid && length == 4) {
            uint32_t ch = ((c & 0x07u) << 18) | ((p[1] & 0x3fu) << 12);
            valid = ch >= 0x10000 && ch <= 0x10ffff;
        }
        if (valid) {
            text_appendf(&s->out, "%.*s", static_cast<int>(length), reinterpret_cast<const char *>(p));
            p += length;
        }
        else {
            text_appendf(&s->out, "\xef\xbf\xbd");
            p++;
        }
    }
    text_appendf(&s->out, "\"");
}

void write_begin(stream *s, const track *t, const char *name, bool long_hold, int64_t ns)
{
    event_start(s);
    text_appendf(&s->out, "\"ph\":\"B\",\"name\":\"%s\",\"cat\":\"gil\",\"pid\":1,\"tid\":%d,\"ts\":",
                 name, t->tid);
    append_ts(s, ns);
    text_appendf(&s->out, "%s}", long_hold ? ",\"args\":{\"long\":true}" : "");
}

void write_end(stream *s, const track *t, int64_t ns)
{
    event_start(s);
    text_appendf(&s->out, "\"ph\":\"E\",\"pid\":1,\"tid\":%d,\"ts\":", t->tid);
    append_ts(s, ns);
    text_appendf(&s->out, "}");
}

void write_name(stream *s, track *t)
{
    event_start(s);
    text_appendf(&s->out, "\"ph\":\"M\",\"name\":\"thread_name\",\"pid\":1,\"tid\":%d,"
                          "\"args\":{\"name\":", t->tid);
    append_json_string(s, t->name);
    text_appendf(&s->out, "}}");
    t->name_written = true;
}

void write_file_head(stream *s)
{
    s->in_file = 0;
    s->file_empty = true;
    text_appendf(&s->out, "[");
    event_start(s);
    text_appendf(&s->out, "\"ph\":\"M\",\"name\":\"process_name\",\"pid\":1,\"tid\":0,"
                          "\"args\":{\"name\":\"GIL\"}}");
}

/* ---- Tracks by thread id ------------------------------------------------ */

size_t track_slot(size_t bits, int32_t tid)
{
    uint64_t mixed = static_cast<uint64_t>(static_cast<uint32_t>(tid)) * 0x9E3779B97F4A7C15ULL;
    return static_cast<size_t>(mixed >> (64 - bits));
}

bool grow_tracks(stream *s)
{
    size_t bits = s->tracks == nullptr ? 8 : s->track_bits + 1;
    size_t slots = static_cast<size_t>(1) << bits;
    track *grown = static_cast<track *>(calloc(slots, sizeof(track)));
    if (grown == nullptr) {
        return false;
    }
    if (s->tracks != nullptr) {
        for (size_t i = 0, old = static_cast<size_t>(1) << s->track_bits; i < old; i++) {
            if (s->tracks[i].tid != 0) {
                size_t slot = track_slot(bits, s->tracks[i].tid);
                while (grown[slot].tid != 0) {
                    slot = (slot + 1) & (slots - 1);
                }
                grown[slot] = s->tracks[i];
            }
        }
        free(s->tracks);
    }
    s->tracks = grown;
    s->track_bits = bits;
    return true;
}

/* The track of `tid`, added (its time starting at `first_ns`) when new;
 * null when out of memory. */
track *find_track(stream *s, int32_t tid, int64_t first_ns)
{
    if ((s->tracks == nullptr || (s->track_count + 1) * 2 > (static_cast<size_t>(1) << s->track_bits)) &&
        !grow_tracks(s)) {
        return nullptr;
    }
    size_t mask = (static_cast<size_t>(1) << s->track_bits) - 1;
    size_t slot = track_slot(s->track_bits, tid);
    while (s->tracks[slot].tid != 0 && s->tracks[slot].tid != tid) {
        slot = (slot + 1) & mask;
    }
    track *t = &s->tracks[slot];
    if (t->tid == 0) {
        memset(t, 0, sizeof(*t));
        t->tid = tid;
        t->last_ns = first_ns;
        s->track_count++;
    }
    return t;
}

template <typename F> void each_track(stream *s, F f)
{
    if (s->tracks == nullptr) {
        return;
    }
    for (size_t i = 0, n = static_cast<size_t>(1) << s->track_bits; i < n; i++) {
        if (s->tracks[i].tid != 0) {
            f(&s->tracks[i]);
        }
    }
}

/* ---- Spans -------------------------------------------------------------- */

void begin_span(stream *s, track *t, uint8_t kind, int64_t ns)
{
    t->span = kind;
    t->start_ns = ns;
    t->begun = false;
    t->long_begun = false;
    if (kind == SPAN_WAIT) {
        write_begin(s, t, "wait", false, ns);
        t->begun = true;
    }
}

void end_span(stream *s, track *t, int64_t ns, bool long_hold)
{
    if (!t->begun) {
        bool is_long = t->span == SPAN_HOLD && long_hold;
        write_begin(s, t, t->span == SPAN_WAIT ? "wait" : is_long ? "long hold" : "hold", is_long,
                    t->start_ns);
    }
    write_end(s, t, ns > t->start_ns ? ns : t->start_ns);
    t->span = SPAN_NONE;
    t->begun = false;
}

void take(stream *s, const timeline_entry *entry)
{
    if (s->gap_pending) {
        /* Spans open before the loss end where the trace resumes. */
        s->gap_pending = false;
        s->gap_ns = entry->time_ns;
        each_track(s, [&](track *open) {
            if (open->span != SPAN_NONE) {
                end_span(s, open, entry->time_ns, false);
            }
        });
    }
    track *t = find_track(s, entry->native_id, s->after_gap ? s->gap_ns : entry->time_ns);
    if (t == nullptr) {
        return;
    }
    int64_t ns = entry->time_ns > t->last_ns ? entry->time_ns : t->last_ns;
    t->last_ns = ns;
    switch (entry->event) {
    case TIMELINE_WAIT:
    case TIMELINE_ACQUIRE:
        if (t->span != SPAN_NONE) {
            end_span(s, t, ns, false);
        }
        begin_span(s, t, entry->event == TIMELINE_WAIT ? SPAN_WAIT : SPAN_HOLD, ns);
        break;
    case TIMELINE_RELEASE:
        if (t->span == SPAN_NONE && s->after_gap) {
            /* The loss took this hold's start. */
            begin_span(s, t, SPAN_HOLD, s->gap_ns);
        }
        if (t->span != SPAN_NONE) {
            end_span(s, t, ns, (entry->flags & timeline_long_hold) != 0 && t->span == SPAN_HOLD);
        }
        break;
    case TIMELINE_GIVE_UP:
        if (t->span != SPAN_NONE) {
            end_span(s, t, ns, false);
        }
        break;
    default:
        break;
    }
    s->in_file++;
}

/* ---- Names -------------------------------------------------------------- */

/* Learn the names of the tracks that have none yet: a live thread's once
 * `threading` named it, an ended thread's from its finished row; at the
 * end, whatever is known (its OS name, else "thread N"). */
void learn_names(stream *s, bool last)
{
    lock_records();
    each_track(s, [&](track *t) {
        if (t->name_known) {
            return;
        }
        const thread_record *record = find_live_record(t->tid);
        if (record != nullptr && (record->named || last)) {
            snprintf(t->name, sizeof(t->name), "%s", record_name(record));
            t->name_known = true;
            return;
        }
        if (record == nullptr) {
            for (size_t i = 0; i < finished_count; i++) {
                if (finished_rows[i].native_id == t->tid) {
                    snprintf(t->name, sizeof(t->name), "%s", finished_rows[i].name);
                    t->name_known = true;
                    return;
                }
            }
        }
        if (last || record == nullptr) {
            snprintf(t->name, sizeof(t->name), "thread %d", t->tid);
            t->name_known = true;
        }
    });
    unlock_records();
    each_track(s, [&](track *t) {
        if (t->name_known && !t->name_written) {
            write_name(s, t);
        }
    });
}

/* ---- Files -------------------------------------------------------------- */

/* The path of file `number`: the first file's path, then "name.N.ext"
 * ("name.N" without an extension). */
void numbered_path(const char *path, unsigned number, char *out, size_t size)
{
    const char *slash = strrchr(path, '/');
    const char *dot = strrchr(path, '.');
    if (dot == nullptr || (slash != nullptr && dot < slash) || dot == (slash ? slash + 1 : path)) {
        snprintf(out, size, "%s.%u", path, number);
    }
    else {
        snprintf(out, size, "%.*s.%u%s", static_cast<int>(dot - path), path, number, dot);
    }
}

/* Close the current file: open spans end at `ns`, the array is closed. */
void close_file(stream *s, int64_t ns)
{
    learn_names(s, true);
    each_track(s, [&](track *t) {
        if (t->span != SPAN_NONE) {
            uint8_t kind = t->span;
            bool was_long = t->long_begun;
            end_span(s, t, ns > t->last_ns ? ns : t->last_ns, false);
            /* Remembered to begin again in the next file. */
            t->span = kind;
            t->long_begun = was_long;
        }
    });
    text_appendf(&s->out, "\n]\n");
    flush(s);
}

/* Go on in the next numbered file, the open spans begun again at `ns`. */
void rotate(stream *s, int64_t ns)
{
    close_file(s, ns);
    if (s->failed) {
        return;
    }
    char next[4096];
    numbered_path(s->path, ++s->file_number, next, sizeof(next));
    int fd = open(next, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        char line[4200];
        int length = snprintf(line, sizeof(line),
                              "vandrel: the GIL trace stopped at %s: cannot open %s: %s\n",
                              s->path, next, strerror(errno));
        if (length > 0) {
            ssize_t said = write(2, line, strlen(line));
            (void)said;
        }
        s->failed = true;
        return;
    }
    close(s->fd);
    s->fd = fd;
    write_file_head(s);
    /* Threads without an open span start afresh in the new file. */
    track *old = s->tracks;
    size_t old_slots = static_cast<size_t>(1) << s->track_bits;
    s->tracks = nullptr;
    s->track_count = 0;
    for (size_t i = 0; old != nullptr && i < old_slots; i++) {
        if (old[i].tid == 0 || old[i].span == SPAN_NONE) {
            continue;
        }
        track *t = find_track(s, old[i].tid, ns);
        if (t == nullptr) {
            continue;
        }
        *t = old[i];
        t->name_written = false;
        t->last_ns = ns > t->last_ns ? ns : t->last_ns;
        uint8_t kind = t->span;
        begin_span(s, t, kind, t->last_ns);
        if (kind == SPAN_HOLD && old[i].long_begun) {
            write_begin(s, t, "long hold", true, t->start_ns);
            t->begun = t->long_begun = true;
        }
    }
    free(old);
    learn_names(s, false);
}

/* ---- Draining the ring -------------------------------------------------- */

uint64_t ring_written()
{
    return __atomic_load_n(&hooks.timeline.written, __ATOMIC_ACQUIRE);
}

/* Append the transitions added since the last drain; `now_rel` is the
 * time since the switch-on (for holds open long enough to be long).
 * Returns how many were taken. */
uint64_t drain(stream *s, int64_t now_rel)
{
    const timeline_entry *ring = hooks.timeline.ring;
    const uint64_t capacity = hooks.timeline.capacity;
    uint64_t taken = 0;
    timeline_entry batch[batch_size];
    for (;;) {
        uint64_t written = ring_written();
        if (s->cursor + capacity < written) {
            uint64_t lost = written - capacity - s->cursor;
            s->lost += lost;
            s->cursor += lost;
            s->after_gap = s->gap_pending = true;
        }
        if (s->cursor >= written) {
            break;
        }
        uint64_t count = written - s->cursor;
        if (count > batch_size) {
            count = batch_size;
        }
        for (uint64_t i = 0; i < count; i++) {
            const timeline_entry *from = &ring[(s->cursor + i) % capacity];
            batch[i].time_ns = __atomic_load_n(&from->time_ns, __ATOMIC_RELAXED);
            batch[i].native_id = __atomic_load_n(&from->native_id, __ATOMIC_RELAXED);
            batch[i].event = __atomic_load_n(&from->event, __ATOMIC_RELAXED);
            batch[i].flags = __atomic_load_n(&from->flags, __ATOMIC_RELAXED);
        }
        __atomic_thread_fence(__ATOMIC_ACQUIRE);
        /* Entries the hooks may have written over meanwhile are lost. */
        uint64_t now_written = ring_written();
        uint64_t skip = 0;
        if (now_written > capacity && now_written - capacity > s->cursor) {
            skip = now_written - capacity - s->cursor;
            skip = skip < count ? skip : count;
            s->lost += skip;
            s->after_gap = s->gap_pending = true;
        }
        for (uint64_t i = skip; i < count; i++) {
            if (s->in_file >= s->max_per_file) {
                rotate(s, batch[i].time_ns);
            }
            take(s, &batch[i]);
            if (s->out.length > (1u << 20)) {
                flush(s);
            }
        }
        s->cursor += count;
        taken += count - skip;
    }
    /* Holds open past the threshold are long, whatever their end. */
    int64_t threshold = hooks.long_hold_threshold_ns;
    each_track(s, [&](track *t) {
        if (t->span == SPAN_HOLD && !t->begun && now_rel - t->start_ns > threshold + long_margin_ns) {
            write_begin(s, t, "long hold", true, t->start_ns);
            t->begun = t->long_begun = true;
        }
    });
    learn_names(s, false);
    flush(s);
    return taken;
}

/* ---- The writer thread -------------------------------------------------- */

void wait_for(stream *s, int64_t period_ns)
{
    if (__atomic_load_n(&s->stop, __ATOMIC_ACQUIRE)) {
        return;
    }
    struct timespec timeout;
    timeout.tv_sec = static_cast<time_t>(period_ns / 1000000000LL);
    timeout.tv_nsec = static_cast<long>(period_ns % 1000000000LL);
    struct pollfd wake = {s->wake_fd, POLLIN, 0};
    if (syscall(SYS_ppoll, &wake, 1, &timeout, nullptr, static_cast<size_t>(8)) > 0) {
        uint64_t count;
        ssize_t drained = read(s->wake_fd, &count, sizeof(count));
        (void)drained;
    }
}

void *writer_main(void *arg)
{
    stream *s = static_cast<stream *>(arg);
    int64_t period = drain_period_ns;
    while (!__atomic_load_n(&s->stop, __ATOMIC_ACQUIRE)) {
        wait_for(s, period);
        if (__atomic_load_n(&s->stop, __ATOMIC_ACQUIRE)) {
            break;
        }
        if (s->failed) {
            continue;
        }
        uint64_t taken = drain(s, now_ns() - hooks.session_start_ns);
        period = taken >= busy_drain ? busy_drain_period_ns : drain_period_ns;
    }
    /* The switch-off: the hooks are gone, the ring holds the rest. */
    if (!s->failed) {
        drain(s, s->end_ns);
        if (s->lost > 0) {
            event_start(s);
            text_appendf(&s->out,
                         "\"ph\":\"i\",\"s\":\"g\",\"name\":\"transitions lost\",\"pid\":1,"
                         "\"tid\":0,\"ts\":");
            append_ts(s, s->end_ns);
            text_appendf(&s->out, ",\"args\":{\"count\":%llu}}",
                         static_cast<unsigned long long>(s->lost));
        }
        close_file(s, s->end_ns);
    }
    __atomic_store_n(&s->finished, 1, __ATOMIC_RELEASE);
    return nullptr;
}

void free_stream(stream *s)
{
    if (s->fd >= 0) {
        close(s->fd);
    }
    if (s->wake_fd >= 0) {
        close(s->wake_fd);
    }
    free(s->out.data);
    free(s->tracks);
    free(s->path);
    free(s);
}

/* In a child made by fork() the writer thread does not exist: forget the
 * stream (its memory stays, as a forked child may not free safely). */
void forget_stream_in_child()
{
    pthread_mutex_t fresh = PTHREAD_MUTEX_INITIALIZER;
    memcpy(&stream_lock, &fresh, sizeof(fresh));
    stream *s = current_stream;
    current_stream = nullptr;
    if (s != nullptr) {
        close(s->fd);
        close(s->wake_fd);
    }
}

}  // namespace

int32_t start_trace_stream(const char *path, int64_t max_transitions_per_file)
{
    if (path == nullptr || path[0] == '\0' || max_transitions_per_file < 0 ||
        strlen(path) > 4000) {
        return VANDREL_BAD_PARAMETER;
    }
    if (__atomic_load_n(&hooks.watched_mutex, __ATOMIC_ACQUIRE) == nullptr) {
        return VANDREL_NOT_ON;
    }
    if (hooks.timeline.ring == nullptr) {
        return VANDREL_BAD_PARAMETER; /* a session without a timeline */
    }
    if (current_stream != nullptr) {
        return VANDREL_ALREADY_ON;
    }
    static bool fork_handler = false;
    if (!fork_handler) {
        if (pthread_atfork(nullptr, nullptr, forget_stream_in_child) != 0) {
            return VANDREL_SYSTEM_ERROR;
        }
        fork_handler = true;
    }
    stream *s = static_cast<stream *>(calloc(1, sizeof(stream)));
    if (s == nullptr) {
        return VANDREL_SYSTEM_ERROR;
    }
    s->fd = -1;
    s->wake_fd = -1;
    s->max_per_file = max_transitions_per_file > 0 ? max_transitions_per_file : default_max_per_file;
    s->path = strdup(path);
    s->wake_fd = static_cast<int>(syscall(SYS_eventfd2, 0, EFD_CLOEXEC));
    s->fd = s->path ? open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666) : -1;
    if (s->path == nullptr || s->wake_fd < 0 || s->fd < 0) {
        free_stream(s);
        return VANDREL_SYSTEM_ERROR;
    }
    write_file_head(s);
    flush(s);
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    int error = pthread_create(&s->thread, nullptr, writer_main, s);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (error != 0) {
        free_stream(s);
        return VANDREL_SYSTEM_ERROR;
    }
    pthread_mutex_lock(&stream_lock);
    current_stream = s;
    pthread_mutex_unlock(&stream_lock);
    return VANDREL_OK;
}

bool finish_trace_stream_now(int64_t deadline_ns)
{
    pthread_mutex_lock(&stream_lock);
    stream *s = current_stream;
    if (s != nullptr) {
        s->kept = 1;
        request_finish(s, now_ns() - hooks.session_start_ns);
    }
    pthread_mutex_unlock(&stream_lock);
    if (s == nullptr) {
        return true; /* none, or the switch-off has it */
    }
    while (!__atomic_load_n(&s->finished, __ATOMIC_ACQUIRE)) {
        if (now_ns() >= deadline_ns) {
            return false;
        }
        struct timespec pause = {0, 5000000L}; /* 5 ms */
        nanosleep(&pause, nullptr);
    }
    return true;
}

const char *trace_stream_path()
{
    pthread_mutex_lock(&stream_lock);
    const char *path = current_stream != nullptr ? current_stream->path : nullptr;
    pthread_mutex_unlock(&stream_lock);
    return path;
}

void finish_trace_stream(int64_t stop_ns)
{
    pthread_mutex_lock(&stream_lock);
    stream *s = current_stream;
    current_stream = nullptr;
    bool kept = s != nullptr && s->kept;
    pthread_mutex_unlock(&stream_lock);
    if (s == nullptr) {
        return;
    }
    /* The names the final report gives, for the threads still unnamed. */
    live_threads threads;
    list_python_threads(&threads);
    sort_live_threads(&threads);
    lock_records();
    name_records(&threads);
    unlock_records();
    free(threads.items);
    request_finish(s, stop_ns - hooks.session_start_ns);
    /* The writer never takes the GIL: let it go while waiting. */
    PyThreadState *state = py->eval_save_thread();
    pthread_join(s->thread, nullptr);
    py->eval_restore_thread(state);
    if (!kept) {
        free_stream(s);
    }
}

}  // namespace gil

int32_t gil_trace_stream(const char *path, int64_t max_transitions_per_file)
{
    using namespace gil;
    /* No interpreter functions yet: no session was ever switched on. */
    if (py == nullptr) {
        return VANDREL_NOT_ON;
    }
    if (!py->gil_state_check()) {
        return VANDREL_NO_GIL;
    }
    return start_trace_stream(path, max_transitions_per_file);
}

}  // namespace vandrel
