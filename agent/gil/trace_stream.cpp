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
 * rest and the bracket.
 *
 * The events are those the package's formatter (_gil_format.chrome_trace)
 * makes from the final report's timeline, by the same rules (docs/cli.md
 * lists them): the process's real pid and CLOCK_MONOTONIC in µs, so the
 * trace lines up with other traces of the process (viztracer's, say);
 *   - the "GIL" track (a tid no thread can have), its spans the holds
 *     named by the holder; holds shorter than the resolution merge into
 *     one span while they follow each other closely, named by the holder
 *     when there was one, else "short holds", with their count and time;
 *   - the "GIL" counter: how many threads wait, averaged per resolution
 *     step (the count itself at resolution 0);
 *   - a track per thread once it has lived half a second (long-lived
 *     threads), with its holds and waits not shorter than the resolution;
 *     before that, and for short-lived threads, their holding and waiting
 *     count in a counter of their name's group ("Thread-* (handle)").
 *   - a track per watched event loop ("event loop <thread>"), its spans
 *     the blocks the event-loop watcher handed over (trace_loop_block),
 *     named by the blocking place and carrying the task; written at the
 *     drain after the block ended.
 * A GIL span's begin is written once the hold is over, or as soon as it
 * has lasted longer than the long-hold threshold, so a hold in progress
 * at a SIGKILL is in the file once it is long.
 *
 * A file holds at most `max_transitions_per_file` transitions; then it is
 * closed (the open GIL span ends there) and the trace goes on in the next
 * numbered file, "trace.1.json", "trace.2.json", ... beside it, which
 * begins with the tracks' names again.
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
#include "fork_gate.h"

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
/* A thread gets a track of its own once it has lived this long in the
 * trace; until then its activity counts in its group's counter. */
const int64_t long_lived_ns = 500LL * 1000 * 1000;
/* The GIL track's tid: above the kernel's largest (PID_MAX_LIMIT, 2^22). */
const int32_t gil_track_tid = 4194304;
/* Groups with a counter of their own; later ones share "other threads". */
const size_t max_trace_groups = 64;
/* Event-loop blocks waiting for the next drain; past it they are dropped
 * and counted.  Blocks last a threshold at least, so a drain a second
 * rarely finds more than a few. */
const size_t max_pending_blocks = 64;
/* Loop tracks (one per loop thread's name); later loops share the last. */
const size_t max_loop_tracks = 64;

enum span_kind : uint8_t { SPAN_NONE = 0, SPAN_WAIT = 1, SPAN_HOLD = 2 };

/* A counter track: levels that change at transitions, written as their
 * mean over each resolution step (the levels themselves at resolution
 * 0), and only when that differs from what was written last. */
const size_t counter_series = 2; /* holding, waiting */
struct counter {
    int32_t level[counter_series];
    int64_t area[counter_series]; /* level x ns within the current step */
    int64_t step_start;           /* since the switch-on */
    int64_t last_ns;              /* levels are as they are since then */
    bool started;
    char written[counter_series][24];
};

/* A group of threads that share a counter. */
struct trace_group {
    char name[64];
    counter activity;
};

/* One thread of the trace. */
struct track {
    int32_t tid;         /* 0: free slot */
    uint16_t serial;     /* which thread of that id (ids are reused) */
    uint8_t span;        /* what the thread does since span_ns */
    bool own;            /* has a track of its own */
    bool name_known;     /* `name` holds its final name */
    bool name_written;   /* in the current file (own tracks) */
    uint32_t group;      /* its group, while it has no track of its own */
    uint32_t sort_index; /* its place among the own tracks */
    uint64_t name_tried; /* the drain that last looked its name up */
    int64_t span_ns;     /* the current span's start */
    int64_t own_ns;      /* when it got a track of its own */
    int64_t first_ns;    /* its first transition */
    int64_t last_ns;     /* its latest transition: time never runs back */
    char name[64];
};

/* The GIL track: the hold in progress, and short holds merged. */
struct gil_track {
    int32_t holder;      /* 0: nobody holds it (as far as the trace knows) */
    int64_t hold_ns;     /* the current hold's start */
    bool begun;          /* its begin event is written (a long hold) */
    int64_t last_end;    /* the end of the latest span written or merged */
    uint64_t run_holds;  /* short holds merged, not yet written */
    int64_t run_start;
    int64_t run_end;
    int64_t run_held_ns;
    int32_t run_holder;  /* the first one's thread */
    bool run_mixed;      /* ... and another thread's among them */
};

/* An event-loop block handed over by the watcher, times since the
 * switch-on. */
struct loop_block {
    char loop[96];   /* its track's name */
    char place[512]; /* "file:line function" */
    char task[256];  /* empty: none */
    int64_t start_ns;
    int64_t end_ns;
};

struct loop_track {
    char name[96];
    bool name_written; /* in the current file */
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
    int64_t resolution_ns;
    int64_t origin_ns;   /* CLOCK_MONOTONIC of the switch-on */
    long pid;
    uint64_t drains;
    int64_t latest_ns;   /* the latest transition taken */
    uint32_t own_tracks;
    text_buffer out;
    track *tracks;
    size_t track_bits;   /* 2^bits slots */
    size_t track_count;
    gil_track gil;
    counter waiting;     /* all threads (series 1) */
    trace_group *groups;
    size_t group_count;
    /* The writer thread. */
    pthread_t thread;
    int wake_fd;
    int claimed;         /* atomic: the switch-off or an exit signal set end_ns */
    int stop;            /* atomic: finish and end (end_ns set) */
    int finished;        /* atomic: the file is closed */
    int kept;            /* an exit signal waits on it: never freed */
    int64_t end_ns;      /* where the trace ends, since the switch-on */
    /* Loop blocks: queued under stream_lock by any thread, taken by the
     * writer at each drain into `taken_blocks`. */
    loop_block pending_blocks[max_pending_blocks];
    size_t pending_count;
    uint64_t blocks_dropped;
    loop_block taken_blocks[max_pending_blocks];
    loop_track loop_tracks[max_loop_tracks];
    size_t loop_track_count;
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

/* `ns` since the switch-on as CLOCK_MONOTONIC in µs. */
void append_ts(stream *s, int64_t ns)
{
    int64_t at = s->origin_ns + (ns > 0 ? ns : 0);
    text_appendf(&s->out, "%lld.%03lld", static_cast<long long>(at / 1000),
                 static_cast<long long>(at % 1000));
}

/* A duration in µs. */
void append_us(stream *s, int64_t ns)
{
    ns = ns > 0 ? ns : 0;
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

/* ---- Events ------------------------------------------------------------- */

void event_head(stream *s, char phase, int32_t tid)
{
    event_start(s);
    text_appendf(&s->out, "\"ph\":\"%c\",\"pid\":%ld,\"tid\":%d", phase, s->pid, tid);
}

/* A complete span ("X"), `args` a JSON object's members or empty. */
void write_complete(stream *s, int32_t tid, const char *name, int64_t start, int64_t end,
                    const char *args)
{
    event_head(s, 'X', tid);
    text_appendf(&s->out, ",\"cat\":\"gil\",\"name\":");
    append_json_string(s, name);
    text_appendf(&s->out, ",\"ts\":");
    append_ts(s, start);
    text_appendf(&s->out, ",\"dur\":");
    append_us(s, end - start);
    text_appendf(&s->out, "%s%s%s}", args[0] ? ",\"args\":{" : "", args, args[0] ? "}" : "");
}

void write_metadata(stream *s, int32_t tid, const char *kind, const char *name)
{
    event_head(s, 'M', tid);
    text_appendf(&s->out, ",\"name\":\"%s\",\"args\":{\"name\":", kind);
    append_json_string(s, name);
    text_appendf(&s->out, "}}");
}

void write_sort_index(stream *s, int32_t tid, int64_t index)
{
    event_head(s, 'M', tid);
    text_appendf(&s->out, ",\"name\":\"thread_sort_index\",\"args\":{\"sort_index\":%lld}}",
                 static_cast<long long>(index));
}

/* The file's first events: the process, the GIL track on top. */
void write_file_head(stream *s)
{
    s->in_file = 0;
    s->file_empty = true;
    text_appendf(&s->out, "[");
    write_metadata(s, gil_track_tid, "process_name", "python");
    write_metadata(s, gil_track_tid, "thread_name", "GIL");
    write_sort_index(s, gil_track_tid, -1);
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

/* ---- Names -------------------------------------------------------------- */

/* Look the name of `t` up: a live thread's once `threading` named it, an
 * ended thread's from its finished row; `last` (the end of the trace):
 * whatever is known, else "thread N".  Records locked. */
void look_name_up(track *t, bool last)
{
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
    snprintf(t->name, sizeof(t->name), "thread %d", t->tid);
    t->name_known = last || record == nullptr;
}

/* The name of `t` as known now, looked up at most once a drain. */
const char *name_of(stream *s, track *t)
{
    if (!t->name_known && t->name_tried != s->drains + 1) {
        t->name_tried = s->drains + 1;
        lock_records();
        look_name_up(t, false);
        unlock_records();
    }
    return t->name;
}

/* Name the own tracks that are not named in this file yet; `last`: with
 * whatever is known. */
void write_names(stream *s, bool last)
{
    if (last) {
        lock_records();
        each_track(s, [&](track *t) {
            if (!t->name_known) {
                look_name_up(t, true);
            }
        });
        unlock_records();
    }
    each_track(s, [&](track *t) {
        if (t->own && !t->name_written && (t->name_known || last)) {
            write_metadata(s, t->tid, "thread_name", name_of(s, t));
            write_sort_index(s, t->tid, t->sort_index);
            t->name_written = true;
        }
    });
}

/* ---- Counters ----------------------------------------------------------- */

/* Write the counter's values as of `at` (since the switch-on): `area`
 * over `width` ns, or the levels when `width` is 0; only the series whose
 * value differs from the last one written. */
void write_counter(stream *s, counter *c, const char *name, bool two_series, int64_t at,
                   const int64_t *area, int64_t width)
{
    static const char *const series_names[counter_series] = {"holding", "waiting"};
    char values[counter_series][24];
    bool changed = false;
    for (size_t k = two_series ? 0 : 1; k < counter_series; k++) {
        if (width > 0) {
            snprintf(values[k], sizeof(values[k]), "%.3f",
                     area[k] > 0 ? static_cast<double>(area[k]) / static_cast<double>(width) : 0.0);
        }
        else {
            snprintf(values[k], sizeof(values[k]), "%d", c->level[k]);
        }
        changed = changed || strcmp(values[k], c->written[k]) != 0;
    }
    if (!changed) {
        return;
    }
    event_head(s, 'C', gil_track_tid);
    text_appendf(&s->out, ",\"name\":");
    append_json_string(s, name);
    text_appendf(&s->out, ",\"ts\":");
    append_ts(s, at);
    text_appendf(&s->out, ",\"args\":{");
    for (size_t k = two_series ? 0 : 1; k < counter_series; k++) {
        text_appendf(&s->out, "%s\"%s\":%s", k > (two_series ? 0u : 1u) ? "," : "",
                     series_names[k], values[k]);
        memcpy(c->written[k], values[k], sizeof(values[k]));
    }
    text_appendf(&s->out, "}}");
}

/* The step of the resolution that holds `ns` (steps are whole multiples
 * of the resolution in CLOCK_MONOTONIC). */
int64_t step_of(const stream *s, int64_t ns)
{
    int64_t at = s->origin_ns + ns;
    return at - at % s->resolution_ns - s->origin_ns;
}

/* Bring the counter's steps up to `ns`, writing each step that ended. */
void advance(stream *s, counter *c, const char *name, bool two_series, int64_t ns)
{
    if (s->resolution_ns == 0) {
        c->last_ns = ns > c->last_ns ? ns : c->last_ns;
        return;
    }
    if (!c->started) {
        c->started = true;
        c->step_start = step_of(s, ns);
        c->last_ns = ns;
    }
    if (ns < c->last_ns) {
        return; /* time never runs back */
    }
    while (ns >= c->step_start + s->resolution_ns) {
        int64_t step_end = c->step_start + s->resolution_ns;
        for (size_t k = 0; k < counter_series; k++) {
            c->area[k] += c->level[k] * (step_end - c->last_ns);
        }
        write_counter(s, c, name, two_series, c->step_start, c->area, s->resolution_ns);
        memset(c->area, 0, sizeof(c->area));
        c->step_start = step_end;
        c->last_ns = step_end;
        if (ns >= c->step_start + s->resolution_ns) {
            /* Whole steps at the same levels. */
            int64_t flat[counter_series];
            for (size_t k = 0; k < counter_series; k++) {
                flat[k] = c->level[k];
            }
            write_counter(s, c, name, two_series, c->step_start, flat, 1);
            c->step_start = step_of(s, ns);
            c->last_ns = c->step_start;
        }
    }
    for (size_t k = 0; k < counter_series; k++) {
        c->area[k] += c->level[k] * (ns - c->last_ns);
    }
    c->last_ns = ns;
}

/* Series `k` of the counter changes by `delta` at `ns`. */
void change(stream *s, counter *c, const char *name, bool two_series, size_t k, int32_t delta,
            int64_t ns)
{
    advance(s, c, name, two_series, ns);
    if (s->resolution_ns > 0 && ns < c->last_ns) {
        /* A change dated before the counter's time (a wait noted after
         * the fact): its share goes to the current step, so the total
         * stays exact. */
        c->area[k] += delta * (c->last_ns - ns);
    }
    c->level[k] += delta;
    if (c->level[k] < 0) {
        c->level[k] = 0;
    }
    if (s->resolution_ns == 0) {
        write_counter(s, c, name, two_series, c->last_ns, nullptr, 0);
    }
}

/* At the end of a file: the step in progress written as the mean so far. */
void settle(stream *s, counter *c, const char *name, bool two_series, int64_t ns)
{
    if (s->resolution_ns == 0 || !c->started) {
        return;
    }
    advance(s, c, name, two_series, ns);
    if (ns > c->step_start) {
        write_counter(s, c, name, two_series, c->step_start, c->area, ns - c->step_start);
    }
    /* Where the step ends, the levels as they are now. */
    write_counter(s, c, name, two_series, ns, nullptr, 0);
}

const char *group_counter_name(const trace_group *group, char *out, size_t size)
{
    snprintf(out, size, "group %s", group->name);
    return out;
}

/* The group's counter changes by `delta` in series `k` at `ns`. */
void change_group(stream *s, uint32_t index, size_t k, int32_t delta, int64_t ns)
{
    char name[80];
    trace_group *group = &s->groups[index];
    change(s, &group->activity, group_counter_name(group, name, sizeof(name)), true, k, delta, ns);
}

template <typename F> void each_counter(stream *s, F f)
{
    char name[80];
    f(&s->waiting, "GIL", false);
    for (size_t i = 0; i < s->group_count; i++) {
        f(&s->groups[i].activity, group_counter_name(&s->groups[i], name, sizeof(name)), true);
    }
}

/* The index of the group of threads named `name` ("thread N" for one
 * whose name is not known); past the limit, the group "other threads";
 * out of memory, none (UINT32_MAX). */
uint32_t group_for(stream *s, const char *name)
{
    char key[64];
    group_name(name, key, sizeof(key));
    for (size_t i = 0; i < s->group_count; i++) {
        if (strcmp(s->groups[i].name, key) == 0) {
            return static_cast<uint32_t>(i);
        }
    }
    if (s->groups == nullptr) {
        s->groups = static_cast<trace_group *>(calloc(max_trace_groups, sizeof(trace_group)));
        if (s->groups == nullptr) {
            return UINT32_MAX;
        }
    }
    if (s->group_count + 1 >= max_trace_groups) {
        snprintf(key, sizeof(key), "other threads");
        for (size_t i = 0; i < s->group_count; i++) {
            if (strcmp(s->groups[i].name, key) == 0) {
                return static_cast<uint32_t>(i);
            }
        }
    }
    trace_group *group = &s->groups[s->group_count];
    snprintf(group->name, sizeof(group->name), "%s", key);
    return static_cast<uint32_t>(s->group_count++);
}

/* The slot of `tid`, or the free slot where it would go. */
track *track_slot_of(stream *s, int32_t tid)
{
    size_t mask = (static_cast<size_t>(1) << s->track_bits) - 1;
    size_t slot = track_slot(s->track_bits, tid);
    while (s->tracks[slot].tid != 0 && s->tracks[slot].tid != tid) {
        slot = (slot + 1) & mask;
    }
    return &s->tracks[slot];
}

/* The track of `tid`, or null when there is none.  Never moves tracks. */
track *lookup_track(stream *s, int32_t tid)
{
    if (s->tracks == nullptr) {
        return nullptr;
    }
    track *t = track_slot_of(s, tid);
    return t->tid == tid ? t : nullptr;
}

/* The track of `tid`, added (its time starting at `first_ns`) when new;
 * null when out of memory.  Adding one may move the others. */
track *find_track(stream *s, int32_t tid, int64_t first_ns)
{
    track *t = lookup_track(s, tid);
    if (t != nullptr) {
        return t;
    }
    if ((s->tracks == nullptr || (s->track_count + 1) * 2 > (static_cast<size_t>(1) << s->track_bits)) &&
        !grow_tracks(s)) {
        return nullptr;
    }
    t = track_slot_of(s, tid);
    memset(t, 0, sizeof(*t));
    t->tid = tid;
    t->first_ns = first_ns;
    t->last_ns = first_ns;
    s->track_count++;
    const char *name = name_of(s, t);
    t->group = group_for(s, name);
    return t;
}

/* ---- The GIL track ------------------------------------------------------ */

/* Write the short holds merged so far as one span. */
void write_run(stream *s)
{
    gil_track *g = &s->gil;
    if (g->run_holds == 0) {
        return;
    }
    const char *name = "short holds";
    if (!g->run_mixed) {
        track *holder = lookup_track(s, g->run_holder);
        name = holder != nullptr ? name_of(s, holder) : name;
    }
    char args[96];
    snprintf(args, sizeof(args), "\"holds\":%llu,\"held_us\":%lld.%03lld",
             static_cast<unsigned long long>(g->run_holds),
             static_cast<long long>(g->run_held_ns / 1000),
             static_cast<long long>(g->run_held_ns % 1000));
    write_complete(s, gil_track_tid, name, g->run_start, g->run_end, args);
    g->run_holds = 0;
}

/* The hold in progress is written as a long one from its start on. */
void begin_long_hold(stream *s, track *holder)
{
    gil_track *g = &s->gil;
    write_run(s);
    int64_t start = g->hold_ns > g->last_end ? g->hold_ns : g->last_end;
    event_head(s, 'B', gil_track_tid);
    text_appendf(&s->out, ",\"cat\":\"gil\",\"name\":");
    append_json_string(s, name_of(s, holder));
    text_appendf(&s->out, ",\"ts\":");
    append_ts(s, start);
    text_appendf(&s->out, ",\"args\":{\"tid\":%d,\"long\":true}}", holder->tid);
    g->begun = true;
}

/* `holder`'s hold from `start` ends at `end`. */
void end_hold(stream *s, track *holder, int64_t start, int64_t end, bool long_hold)
{
    gil_track *g = &s->gil;
    start = start > g->last_end ? start : g->last_end;
    end = end > start ? end : start;
    if (g->begun && g->holder == holder->tid) {
        event_head(s, 'E', gil_track_tid);
        text_appendf(&s->out, ",\"ts\":");
        append_ts(s, end);
        text_appendf(&s->out, "}");
        g->begun = false;
    }
    else if (end - start >= s->resolution_ns) {
        write_run(s);
        char args[48];
        snprintf(args, sizeof(args), "\"tid\":%d%s", holder->tid, long_hold ? ",\"long\":true" : "");
        write_complete(s, gil_track_tid, name_of(s, holder), start, end, args);
    }
    else {
        if (g->run_holds > 0 && start - g->run_end >= s->resolution_ns) {
            write_run(s);
        }
        if (g->run_holds == 0) {
            g->run_start = start;
            g->run_held_ns = 0;
            g->run_holder = holder->tid;
            g->run_mixed = false;
        }
        g->run_holds++;
        g->run_end = end;
        g->run_held_ns += end - start;
        g->run_mixed = g->run_mixed || g->run_holder != holder->tid;
        if (g->run_end - g->run_start >= s->resolution_ns) {
            write_run(s);
        }
    }
    g->last_end = end;
    if (g->holder == holder->tid) {
        g->holder = 0;
    }
}

/* ---- Spans -------------------------------------------------------------- */

/* `t` starts waiting or holding at `ns`. */
void enter(stream *s, track *t, uint8_t kind, int64_t ns)
{
    t->span = kind;
    t->span_ns = ns;
    if (kind == SPAN_WAIT) {
        change(s, &s->waiting, "GIL", false, 1, 1, ns);
    }
    else {
        if (s->gil.begun) {
            /* The previous holder's release was lost: its span ends here. */
            event_head(s, 'E', gil_track_tid);
            text_appendf(&s->out, ",\"ts\":");
            append_ts(s, ns > s->gil.last_end ? ns : s->gil.last_end);
            text_appendf(&s->out, "}");
            s->gil.last_end = ns > s->gil.last_end ? ns : s->gil.last_end;
        }
        s->gil.holder = t->tid;
        s->gil.hold_ns = ns;
        s->gil.begun = false;
    }
    if (!t->own && t->group != UINT32_MAX) {
        change_group(s, t->group, kind == SPAN_HOLD ? 0 : 1, 1, ns);
    }
}

/* `t`'s span ends at `ns`. */
void leave(stream *s, track *t, int64_t ns, bool long_hold)
{
    if (t->span == SPAN_NONE) {
        return;
    }
    ns = ns > t->span_ns ? ns : t->span_ns;
    if (t->span == SPAN_WAIT) {
        change(s, &s->waiting, "GIL", false, 1, -1, ns);
    }
    else {
        end_hold(s, t, t->span_ns, ns, long_hold);
    }
    if (!t->own && t->group != UINT32_MAX) {
        change_group(s, t->group, t->span == SPAN_HOLD ? 0 : 1, -1, ns);
    }
    int64_t start = t->own && t->own_ns > t->span_ns ? t->own_ns : t->span_ns;
    if (t->own && ns - start >= s->resolution_ns) {
        write_complete(s, t->tid, t->span == SPAN_WAIT ? "wait" : long_hold ? "long hold" : "hold",
                       start, ns, "");
    }
    t->span = SPAN_NONE;
}

/* A thread that has lived long enough gets a track of its own from `ns`
 * on: what it does now leaves its group's counter. */
void promote(stream *s, track *t, int64_t ns)
{
    if (t->own || ns - t->first_ns < long_lived_ns) {
        return;
    }
    if (t->span != SPAN_NONE && t->group != UINT32_MAX) {
        change_group(s, t->group, t->span == SPAN_HOLD ? 0 : 1, -1, ns);
    }
    t->own = true;
    t->own_ns = ns;
    t->sort_index = ++s->own_tracks;
}

void take(stream *s, const timeline_entry *entry)
{
    if (s->gap_pending) {
        /* Spans open before the loss end where the trace resumes. */
        s->gap_pending = false;
        s->gap_ns = entry->time_ns;
        each_track(s, [&](track *open) { leave(s, open, entry->time_ns, false); });
    }
    size_t known = s->track_count;
    track *t = find_track(s, entry->native_id, s->after_gap ? s->gap_ns : entry->time_ns);
    if (t == nullptr) {
        return;
    }
    if (s->track_count > known) {
        t->serial = entry->serial;
    }
    else if (t->serial != entry->serial) {
        /* Another thread under a reused id: the old one's span ends, the
         * new one starts afresh (young, in its own name's group). */
        leave(s, t, entry->time_ns, false);
        t->serial = entry->serial;
        t->own = t->name_known = t->name_written = false;
        t->name_tried = 0;
        t->first_ns = t->last_ns = entry->time_ns;
        t->group = group_for(s, name_of(s, t));
    }
    int64_t ns = entry->time_ns > t->last_ns ? entry->time_ns : t->last_ns;
    t->last_ns = ns;
    s->latest_ns = ns > s->latest_ns ? ns : s->latest_ns;
    promote(s, t, ns);
    switch (entry->event) {
    case TIMELINE_WAIT:
    case TIMELINE_ACQUIRE:
        leave(s, t, ns, false);
        enter(s, t, entry->event == TIMELINE_WAIT ? SPAN_WAIT : SPAN_HOLD, ns);
        break;
    case TIMELINE_RELEASE:
        if (t->span == SPAN_NONE && s->after_gap) {
            /* The loss took this hold's start. */
            enter(s, t, SPAN_HOLD, s->gap_ns);
        }
        leave(s, t, ns, (entry->flags & timeline_long_hold) != 0 && t->span == SPAN_HOLD);
        break;
    case TIMELINE_GIVE_UP:
        leave(s, t, ns, false);
        break;
    default:
        break;
    }
    s->in_file++;
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

/* Close the current file at `ns`: the merged holds written, the open GIL
 * span ended, the counters' step in progress written, the array closed.
 * `last`: the end of the trace, every span ends. */
void close_file(stream *s, int64_t ns, bool last)
{
    if (last) {
        each_track(s, [&](track *t) { leave(s, t, ns > t->last_ns ? ns : t->last_ns, false); });
    }
    write_run(s);
    if (s->gil.begun) {
        event_head(s, 'E', gil_track_tid);
        text_appendf(&s->out, ",\"ts\":");
        append_ts(s, ns > s->gil.last_end ? ns : s->gil.last_end);
        text_appendf(&s->out, "}");
    }
    each_counter(s, [&](counter *c, const char *name, bool two_series) {
        settle(s, c, name, two_series, ns > c->last_ns ? ns : c->last_ns);
    });
    write_names(s, last);
    if (!last) {
        /* Own tracks still unnamed get what is known now, in this file. */
        each_track(s, [&](track *t) {
            if (t->own && !t->name_written) {
                write_metadata(s, t->tid, "thread_name", name_of(s, t));
                write_sort_index(s, t->tid, t->sort_index);
            }
        });
    }
    text_appendf(&s->out, "\n]\n");
    flush(s);
}

/* Go on in the next numbered file from `ns`: the tracks named again, the
 * counters and a long hold in progress written again. */
void rotate(stream *s, int64_t ns)
{
    close_file(s, ns, false);
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
    each_track(s, [&](track *t) { t->name_written = false; });
    for (size_t i = 0; i < s->loop_track_count; i++) {
        s->loop_tracks[i].name_written = false;
    }
    each_counter(s, [&](counter *c, const char *, bool) { memset(c->written, 0, sizeof(c->written)); });
    if (s->gil.begun) {
        track *holder = lookup_track(s, s->gil.holder);
        s->gil.hold_ns = s->gil.last_end = ns > s->gil.last_end ? ns : s->gil.last_end;
        if (holder != nullptr) {
            begin_long_hold(s, holder);
        }
    }
    write_names(s, false);
}

/* ---- Event-loop blocks -------------------------------------------------- */

/* The tid of the track named `name`, added (and named in this file) when
 * new: above the GIL track's, so no thread can have it. */
int32_t loop_track_tid(stream *s, const char *name)
{
    size_t index = 0;
    while (index < s->loop_track_count && strcmp(s->loop_tracks[index].name, name) != 0) {
        index++;
    }
    if (index == s->loop_track_count) {
        if (s->loop_track_count < max_loop_tracks) {
            loop_track *added = &s->loop_tracks[s->loop_track_count++];
            snprintf(added->name, sizeof(added->name), "%s", name);
            added->name_written = false;
        }
        else {
            index = max_loop_tracks - 1;
        }
    }
    loop_track *t = &s->loop_tracks[index];
    int32_t tid = gil_track_tid + 1 + static_cast<int32_t>(index);
    if (!t->name_written) {
        write_metadata(s, tid, "thread_name", t->name);
        /* Right under the GIL track, above the threads'. */
        write_sort_index(s, tid, 0);
        t->name_written = true;
    }
    return tid;
}

/* Write the blocks queued since the last drain, each a span on its loop's
 * track. */
void write_loop_blocks(stream *s)
{
    pthread_mutex_lock(&stream_lock);
    size_t count = s->pending_count;
    memcpy(s->taken_blocks, s->pending_blocks, count * sizeof(loop_block));
    s->pending_count = 0;
    pthread_mutex_unlock(&stream_lock);
    for (size_t i = 0; i < count; i++) {
        const loop_block *block = &s->taken_blocks[i];
        int32_t tid = loop_track_tid(s, block->loop);
        event_head(s, 'X', tid);
        text_appendf(&s->out, ",\"cat\":\"loop\",\"name\":");
        append_json_string(s, block->place);
        text_appendf(&s->out, ",\"ts\":");
        append_ts(s, block->start_ns);
        text_appendf(&s->out, ",\"dur\":");
        append_us(s, block->end_ns - block->start_ns);
        text_appendf(&s->out, ",\"args\":{\"task\":");
        if (block->task[0] != '\0') {
            append_json_string(s, block->task);
        }
        else {
            text_appendf(&s->out, "null");
        }
        text_appendf(&s->out, "}}");
    }
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
    s->drains++;
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
            batch[i].serial = __atomic_load_n(&from->serial, __ATOMIC_RELAXED);
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
    /* A hold open past the threshold is long, whatever its end. */
    int64_t threshold = hooks.long_hold_threshold_ns;
    if (s->gil.holder != 0 && !s->gil.begun &&
        now_rel - s->gil.hold_ns > threshold + long_margin_ns) {
        track *holder = lookup_track(s, s->gil.holder);
        if (holder != nullptr && holder->span == SPAN_HOLD) {
            begin_long_hold(s, holder);
        }
    }
    /* The counters' steps up to the latest transition. */
    each_counter(s, [&](counter *c, const char *name, bool two_series) {
        if (c->started || s->resolution_ns == 0) {
            advance(s, c, name, two_series, s->latest_ns);
        }
    });
    write_loop_blocks(s);
    write_names(s, false);
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

/* At the switch-off: one global instant event on the GIL track counting
 * what could not be kept, when anything was lost. */
void append_lost_count(stream *s, const char *name, uint64_t count)
{
    if (count == 0) {
        return;
    }
    event_start(s);
    text_appendf(&s->out, "\"ph\":\"i\",\"s\":\"g\",\"name\":\"%s\",\"pid\":%ld,\"tid\":%d,\"ts\":",
                 name, s->pid, gil_track_tid);
    append_ts(s, s->end_ns);
    text_appendf(&s->out, ",\"args\":{\"count\":%llu}}", static_cast<unsigned long long>(count));
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
        append_lost_count(s, "transitions lost", s->lost);
        append_lost_count(s, "event-loop blocks lost", s->blocks_dropped);
        close_file(s, s->end_ns, true);
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
    free(s->groups);
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

int32_t start_trace_stream(const char *path, int64_t max_transitions_per_file, int64_t resolution_ns)
{
    if (path == nullptr || path[0] == '\0' || max_transitions_per_file < 0 ||
        resolution_ns < 0 || resolution_ns > gil_trace_max_resolution_ns ||
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
    s->resolution_ns = resolution_ns;
    s->origin_ns = hooks.session_start_ns;
    s->pid = static_cast<long>(getpid());
    s->wake_fd = static_cast<int>(syscall(SYS_eventfd2, 0, EFD_CLOEXEC));
    s->fd = s->path ? open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666) : -1;
    if (s->path == nullptr || s->wake_fd < 0 || s->fd < 0) {
        free_stream(s);
        return VANDREL_SYSTEM_ERROR;
    }
    write_file_head(s);
    flush(s);
    int error = start_agent_thread(&s->thread, nullptr, writer_main, s);
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

int32_t trace_loop_block(const char *loop, const char *place, const char *task,
                         int64_t start_ns, int64_t end_ns)
{
    if (loop == nullptr || place == nullptr || end_ns < start_ns) {
        return VANDREL_BAD_PARAMETER;
    }
    pthread_mutex_lock(&stream_lock);
    stream *s = current_stream;
    if (s == nullptr) {
        pthread_mutex_unlock(&stream_lock);
        return VANDREL_NOT_ON;
    }
    if (s->pending_count == max_pending_blocks) {
        s->blocks_dropped++;
        pthread_mutex_unlock(&stream_lock);
        return VANDREL_OK;
    }
    loop_block *block = &s->pending_blocks[s->pending_count++];
    snprintf(block->loop, sizeof(block->loop), "%s", loop);
    snprintf(block->place, sizeof(block->place), "%s", place);
    snprintf(block->task, sizeof(block->task), "%s", task != nullptr ? task : "");
    block->start_ns = start_ns > s->origin_ns ? start_ns - s->origin_ns : 0;
    block->end_ns = end_ns > s->origin_ns ? end_ns - s->origin_ns : 0;
    pthread_mutex_unlock(&stream_lock);
    return VANDREL_OK;
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

int32_t gil_trace_stream(const char *path, int64_t max_transitions_per_file, int64_t resolution_ns)
{
    using namespace gil;
    /* No interpreter functions yet: no session was ever switched on. */
    if (py == nullptr) {
        return VANDREL_NOT_ON;
    }
    if (!py->gil_state_check()) {
        return VANDREL_NO_GIL;
    }
    return start_trace_stream(path, max_transitions_per_file, resolution_ns);
}

int32_t gil_trace_loop_block(const char *loop, const char *place, const char *task,
                             int64_t start_ns, int64_t end_ns)
{
    return gil::trace_loop_block(loop, place, task, start_ns, end_ns);
}

}  // namespace vandrel
