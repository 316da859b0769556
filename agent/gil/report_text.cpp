/* The text report written to report_fd: a table of the threads and
 * groups, the distributions and the long holds. */
#include "gil/internal.h"
#include "gil/report.h"
#include "text/fd_output.h"
#include "text/utf8.h"

#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

namespace vandrel {
namespace gil {

/* How long one report waits for report_fd to take more bytes. */
const int report_write_timeout_ms = 1000;


/* `part` as a percentage of `whole`, at most 100.  Computed from the
 * seconds the report dict carries, in the same operations, so that the
 * text can be rebuilt from the dict to the byte. */
double share(int64_t part_ns, int64_t whole_ns)
{
    double whole = seconds(whole_ns);
    if (whole <= 0) {
        return 0.0;
    }
    double value = 100.0 * seconds(part_ns) / whole;
    return value > 100.0 ? 100.0 : value;
}

/* `name` for a table cell of `width` columns (at most 64): control
 * characters and backslash escaped as in the stack dump (\xNN, \\),
 * padded with spaces; a name too long keeps its start and its last
 * columns (where numbered threads differ) around a "…".  A UTF-8 sequence
 * counts one column.  `out` has room for width * 4 + 4 bytes. */
void table_cell(const char *name, int width, char *out)
{
    static const char hex[] = "0123456789abcdef";
    const int tail_columns = 10;
    char escaped[64 * 4 + 4];
    uint16_t starts[64 * 4 + 4]; /* where each column starts in `escaped` */
    size_t length = 0;
    int columns = 0;
    const unsigned char *p = reinterpret_cast<const unsigned char *>(name);
    while (*p != '\0' && length + 4 < sizeof(escaped) - 4) {
        /* A NUL the name holds (see name_nul) is shown as one. */
        bool nul = p[0] == static_cast<unsigned char>(name_nul[0]) &&
                   p[1] == static_cast<unsigned char>(name_nul[1]);
        if (nul || *p < 0x20 || *p == 0x7f || *p == '\\') {
            unsigned char byte = nul ? 0 : *p;
            char piece[4] = {'\\', '\\', 0, 0};
            int size = 2;
            if (byte != '\\') {
                piece[1] = 'x';
                piece[2] = hex[byte >> 4];
                piece[3] = hex[byte & 0xf];
                size = 4;
            }
            for (int k = 0; k < size; k++) {
                starts[columns++] = static_cast<uint16_t>(length);
                escaped[length++] = piece[k];
            }
            p += nul ? 2 : 1;
            continue;
        }
        starts[columns++] = static_cast<uint16_t>(length);
        escaped[length++] = static_cast<char>(*p++);
        while ((*p & 0xC0) == 0x80 && length < sizeof(escaped) - 4) {
            escaped[length++] = static_cast<char>(*p++);
        }
    }
    starts[columns] = static_cast<uint16_t>(length);
    size_t used = 0;
    int shown = columns;
    if (columns > width) {
        int head = width - 1 - tail_columns;
        memcpy(out, escaped, starts[head]);
        used = starts[head];
        memcpy(out + used, "\xe2\x80\xa6", 3);
        used += 3;
        size_t tail_start = starts[columns - tail_columns];
        memcpy(out + used, escaped + tail_start, length - tail_start);
        used += length - tail_start;
        shown = width;
    }
    else {
        memcpy(out, escaped, length);
        used = length;
    }
    for (; shown < width; shown++) {
        out[used++] = ' ';
    }
    out[used] = '\0';
}

/* `part` as a percentage of `whole`, both in seconds, at most 100. */
double share_of_seconds(double part, double whole)
{
    if (whole <= 0) {
        return 0.0;
    }
    double value = 100.0 * part / whole;
    return value > 100.0 ? 100.0 : value;
}

/* One line of the table, its figures in seconds. */
void append_line(text_buffer *text, const char *name, const char *id, double held_s,
                 double wait_s, double wall_s)
{
    const int bar_width = 30;
    double held_share = share_of_seconds(held_s, wall_s);
    double wait_share = share_of_seconds(wait_s, wall_s);
    char bar[64];
    /* Shares are never negative, so adding 0.5 rounds to nearest without
     * pulling in libm's lround. */
    int held_marks = static_cast<int>(held_share * bar_width / 100.0 + 0.5);  // NOLINT(bugprone-incorrect-roundings)
    int wait_marks = static_cast<int>(wait_share * bar_width / 100.0 + 0.5);  // NOLINT(bugprone-incorrect-roundings)
    if (held_marks + wait_marks > bar_width) {
        wait_marks = bar_width - held_marks;
    }
    for (int k = 0; k < bar_width; k++) {
        bar[k] = k < held_marks ? '#' : k < held_marks + wait_marks ? '~' : ' ';
    }
    bar[bar_width] = '\0';
    char cell[text_name_width * 4 + 4];
    table_cell(name, text_name_width, cell);
    text_appendf(text, "  %s %10s %9.3f %5.1f%% %9.3f %5.1f%%  [%s]\n", cell, id, held_s,
           held_share, wait_s, wait_share, bar);
}

/* "1 hold", "2 holds": `count` and its noun, singular or plural. */
void append_count(text_buffer *text, uint64_t count, const char *singular, const char *plural)
{
    text_appendf(text, "%llu %s", static_cast<unsigned long long>(count),
                 count == 1 ? singular : plural);
}

/* A row of the text's group table: a report group, the threads of the
 * same group name that get no row of their own, or everything beyond the
 * groups shown.  Seconds are summed as doubles in the report's order, as
 * format_text() sums the dict's floats, so both give the same bytes. */
struct text_group {
    char name[64];
    uint64_t count;
    double held_s;
    double wait_s;
    uint64_t waits;
    double wait_max_s;
    uint64_t holds;
    double hold_max_s;
};

void add_to_text_group(text_group *group, uint64_t count, double held_s, double wait_s,
                       const duration_summary *wait, const duration_summary *hold)
{
    group->count += count;
    group->held_s += held_s;
    group->wait_s += wait_s;
    group->waits += wait->count;
    group->holds += hold->count;
    double wait_max_s = seconds(wait->max_ns);
    double hold_max_s = seconds(hold->max_ns);
    group->wait_max_s = wait_max_s > group->wait_max_s ? wait_max_s : group->wait_max_s;
    group->hold_max_s = hold_max_s > group->hold_max_s ? hold_max_s : group->hold_max_s;
}

void add_text_groups(text_group *into, const text_group *from)
{
    duration_summary wait = {};
    duration_summary hold = {};
    add_to_text_group(into, from->count, from->held_s, from->wait_s, &wait, &hold);
    into->waits += from->waits;
    into->holds += from->holds;
    into->wait_max_s = from->wait_max_s > into->wait_max_s ? from->wait_max_s : into->wait_max_s;
    into->hold_max_s = from->hold_max_s > into->hold_max_s ? from->hold_max_s : into->hold_max_s;
}

/* Most waiting first, then most held, then by name. */
int compare_text_groups(const void *left, const void *right)
{
    const text_group *a = static_cast<const text_group *>(left);
    const text_group *b = static_cast<const text_group *>(right);
    if (a->wait_s != b->wait_s) {
        return a->wait_s > b->wait_s ? -1 : 1;
    }
    if (a->held_s != b->held_s) {
        return a->held_s > b->held_s ? -1 : 1;
    }
    return strcmp(a->name, b->name);
}

/* A group row and, under it, its waits and holds. */
void append_group_line(text_buffer *text, const text_group *group, double wall_s)
{
    char count[24];
    snprintf(count, sizeof(count), "%llu", static_cast<unsigned long long>(group->count));
    append_line(text, group->name, count, group->held_s, group->wait_s, wall_s);
    text_appendf(text, "      ");
    append_count(text, group->waits, "wait", "waits");
    text_appendf(text, ", longest %.3f ms; ", group->wait_max_s * 1000.0);
    append_count(text, group->holds, "hold", "holds");
    text_appendf(text, ", longest %.3f ms\n", group->hold_max_s * 1000.0);
}

/* The seconds a thread was seen, from the dict's own figures. */
double seen_seconds(const thread_row *row)
{
    return seconds(row->held_ns) + seconds(row->waited_ns) +
           seconds(neither_ns(row->seen_ns, row->held_ns, row->waited_ns));
}

void append_insight(const report_data *data, bool final, text_buffer *text);

/* The human-readable report: totals, then a row for each long-lived
 * thread, most waiting first, with a bar of held (#) and waiting (~) time,
 * at most max_text_threads of them; then a row per group for every other
 * thread (the report's groups, short-lived threads, threads beyond the
 * rows), at most max_text_groups, and one "(other)" row for the rest.  So
 * the table has at most about 20 rows whatever the process does, and its
 * rows add up to the totals.  format_text() in vandrel/_gil_format.py
 * makes the same text from the report's dict. */
void report_text(const report_data *data, bool final, text_buffer *text)
{
    double wall_s = seconds(data->wall_ns);
    double short_lived_s = short_lived_fraction * wall_s;
    short_lived_s = short_lived_s < short_lived_max_s ? short_lived_s : short_lived_max_s;
    uint64_t thread_total = data->count + data->grouped_threads;
    text_appendf(text, "GIL report (%s): wall %.3f s, held %.3f s (%.1f%%), waited %.3f s, ",
                 final ? "final" : "periodic", wall_s, seconds(data->held_ns),
                 share(data->held_ns, data->wall_ns), seconds(data->waited_ns));
    append_count(text, data->switches, "switch", "switches");
    text_appendf(text, ", ");
    append_count(text, thread_total, "thread", "threads");
    text_appendf(text, "\n");
    char header[text_name_width * 4 + 4];
    table_cell("thread", text_name_width, header);
    text_appendf(text, "  %s %10s %9s %6s %9s %6s  held # / wait ~\n", header, "native id", "held s",
           "held", "wait s", "wait");

    /* The report's groups, then one per group name of the rows folded. */
    size_t room = data->group_count + data->count;
    text_group *groups = static_cast<text_group *>(calloc(room + 1, sizeof(text_group)));
    size_t group_count = 0;
    for (size_t i = 0; groups != nullptr && i < data->group_count; i++) {
        const thread_group *group = &data->groups[i];
        text_group *row = &groups[group_count++];
        memcpy(row->name, group->name, sizeof(row->name));
        duration_summary wait = summarize(&group->distributions.waits);
        duration_summary hold = summarize(&group->distributions.holds);
        add_to_text_group(row, group->count, seconds(group->held_ns), seconds(group->waited_ns),
                          &wait, &hold);
    }
    size_t shown = 0;
    for (size_t i = 0; i < data->count; i++) {
        const thread_row *row = &data->rows[i];
        if (shown < max_text_threads && (seen_seconds(row) >= short_lived_s || groups == nullptr)) {
            char id[24];
            snprintf(id, sizeof(id), "%ld", row->native_id);
            append_line(text, row->name, id, seconds(row->held_ns), seconds(row->waited_ns),
                        wall_s);
            shown++;
            continue;
        }
        if (groups == nullptr) {
            continue;
        }
        char key[sizeof(groups[0].name)];
        group_name(row->name, key, sizeof(key));
        text_group *group = nullptr;
        for (size_t k = 0; k < group_count; k++) {
            if (strcmp(groups[k].name, key) == 0) {
                group = &groups[k];
                break;
            }
        }
        if (group == nullptr) {
            group = &groups[group_count++];
            memcpy(group->name, key, sizeof(key));
        }
        add_to_text_group(group, 1, seconds(row->held_ns), seconds(row->waited_ns), &row->wait,
                          &row->hold);
    }
    if (group_count > 0) {
        qsort(groups, group_count, sizeof(text_group), compare_text_groups);
        table_cell("group", text_name_width, header);
        text_appendf(text, "  %s %10s  short-lived: seen under %.3f s\n", header, "threads",
                     short_lived_s);
        size_t groups_shown = group_count <= max_text_groups + 1 ? group_count : max_text_groups;
        for (size_t i = 0; i < groups_shown; i++) {
            append_group_line(text, &groups[i], wall_s);
        }
        if (groups_shown < group_count) {
            text_group other = {};
            snprintf(other.name, sizeof(other.name), "(other)");
            for (size_t i = groups_shown; i < group_count; i++) {
                add_text_groups(&other, &groups[i]);
            }
            append_group_line(text, &other, wall_s);
        }
    }
    free(groups);
    append_insight(data, final, text);
}

/* Append `name` with control characters and backslash escaped as in the
 * table. */
void append_escaped(text_buffer *text, const char *name)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(name);
    while (*p != '\0') {
        const unsigned char *plain = p;
        /* Stops at the terminating NUL too (below 0x20).  Bytes of UTF-8
         * sequences (0x80 and up) are never escaped. */
        bool nul = false;
        while (!needs_escape(*p, false) &&
               !(nul = p[0] == static_cast<unsigned char>(name_nul[0]) &&
                       p[1] == static_cast<unsigned char>(name_nul[1]))) {
            p++;
        }
        if (p > plain) {
            text_appendf(text, "%.*s", static_cast<int>(p - plain), reinterpret_cast<const char *>(plain));
        }
        if (*p != '\0') {
            /* A NUL the name holds (see name_nul) is shown as one. */
            char escaped[max_escaped_size];
            size_t size = encode_escaped(nul ? 0 : *p, false, escaped);
            text_appendf(text, "%.*s", static_cast<int>(size), escaped);
            p += nul ? 2 : 1;
        }
    }
}

/* One distribution's line. */
void append_summary(text_buffer *text, const char *label, const duration_summary *summary)
{
    text_appendf(text, "  %s %llu, p50 %.3f ms, p90 %.3f ms, p99 %.3f ms, max %.3f ms\n", label,
           static_cast<unsigned long long>(summary->count), seconds(summary->p50_ns) * 1000.0,
           seconds(summary->p90_ns) * 1000.0, seconds(summary->p99_ns) * 1000.0,
           seconds(summary->max_ns) * 1000.0);
}

/* Distributions, the interval and the long holds, after the table. */
void append_insight(const report_data *data, bool final, text_buffer *text)
{
    (void)final;
    const insight_snapshot *insight = &data->insight;
    append_summary(text, "waits", &insight->wait);
    append_summary(text, "holds", &insight->hold);
    const duration_summary &interval_wait = insight->interval_wait;
    const duration_summary &interval_hold = insight->interval_hold;
    text_appendf(text, "  last %.3f s: held %.3f s (%.1f%%), waited %.3f s, ",
                 seconds(insight->interval_wall_ns), seconds(insight->interval_held_ns),
                 share(insight->interval_held_ns, insight->interval_wall_ns),
                 seconds(insight->interval_waited_ns));
    append_count(text, insight->interval_switches, "switch", "switches");
    text_appendf(text, ", wait p99 %.3f ms, hold p99 %.3f ms\n",
                 seconds(interval_wait.p99_ns) * 1000.0, seconds(interval_hold.p99_ns) * 1000.0);
    if (insight->place_count == 0) {
        text_appendf(text, "  long holds (over %.3f ms): none\n", seconds(insight->threshold_ns) * 1000.0);
        return;
    }
    text_appendf(text, "  long holds (over %.3f ms), most time beyond it first:\n",
           seconds(insight->threshold_ns) * 1000.0);
    for (size_t i = 0; i < insight->place_count; i++) {
        const long_hold_place *place = &insight->places[i];
        text_appendf(text, "  %.3f s beyond in ", seconds(place->beyond_ns));
        append_count(text, place->count, "hold", "holds");
        text_appendf(text, ", longest %.3f ms, thread ", seconds(place->max_ns) * 1000.0);
        append_escaped(text, place->thread);
        text_appendf(text, " (%ld)\n", place->native_id);
        if (place->depth == 0) {
            text_appendf(text, "    (no Python frame)\n");
        }
        for (uint32_t k = 0; k < place->depth; k++) {
            const held_frame *frame = &place->frames[k];
            text_appendf(text, "    File \"");
            append_escaped(text, frame->file);
            text_appendf(text, "\", line %d, in ", frame->line);
            append_escaped(text, frame->function);
            text_appendf(text, "\n");
        }
    }
}

/* Write all of `length` bytes to fd, retrying on EINTR and short writes,
 * in pieces no larger than a pipe's atomic size, each once poll() says the
 * fd takes it.  Gives up on any other error (closed or invalid fd, a full
 * disk, a reader gone) and when the fd accepts nothing for
 * report_write_timeout_ms: a pipe nobody reads must not hold the agent's
 * thread, and so the stop, for ever.  On success return true; on failure
 * return false with `failure` filled. */
bool write_pieces(int fd, const char *data, size_t length, write_failure *failure)
{
    failure->written = 0;
    failure->error = 0;
    while (length > 0) {
        struct pollfd ready = {fd, POLLOUT, 0};
        int polled = poll(&ready, 1, report_write_timeout_ms);
        if (polled < 0 && errno == EINTR) {
            continue;
        }
        if (polled < 0 || (ready.revents & POLLNVAL) != 0) {
            failure->error = polled < 0 ? errno : EBADF;
            return false;
        }
        if (polled == 0) {
            return false; /* stalled: error stays 0 */
        }
        /* POLLERR or POLLHUP: the write says what went wrong. */
        size_t piece = length < PIPE_BUF ? length : PIPE_BUF;
        ssize_t written = write(fd, data, piece);
        if (written < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            failure->error = errno;
            return false;
        }
        data += written;
        length -= static_cast<size_t>(written);
        failure->written += static_cast<size_t>(written);
    }
    return true;
}

/* write_pieces(), with the SIGPIPE a pipe whose reader has gone raises
 * blocked on this thread and consumed: it must not kill a process that
 * did not ignore it. */
bool write_all(int fd, const char *data, size_t length, write_failure *failure)
{
    sigpipe_block block;
    sigpipe_block_begin(&block);
    bool ok = write_pieces(fd, data, length, failure);
    sigpipe_block_end(&block, !ok && failure->error == EPIPE);
    return ok;
}

void tell_write_failure(int fd, int32_t given_fd, size_t length, const write_failure *failure)
{
    /* The file by its name where /proc tells it (our descriptor is a
     * duplicate of the one given), else by the number given. */
    char link[64];
    char target[512];
    char name[600];
    snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
    ssize_t size = readlink(link, target, sizeof(target) - 1);
    if (size > 0) {
        target[size] = '\0';
        snprintf(name, sizeof(name), "'%s'", target);
    }
    else {
        snprintf(name, sizeof(name), "file descriptor %d", static_cast<int>(given_fd));
    }
    char reason[160];
    if (failure->error != 0) {
        snprintf(reason, sizeof(reason), "%s", strerror(failure->error));
    }
    else {
        snprintf(reason, sizeof(reason), "nothing accepted for %g s (a pipe nobody reads?)",
                 report_write_timeout_ms / 1000.0);
    }
    char line[1024];
    int used = snprintf(line, sizeof(line),
                        "vandrel: the GIL report was not written to %s: %s; %zu of %zu bytes "
                        "dropped\n",
                        name, reason, length - failure->written, length);
    if (used > 0) {
        size_t line_length = static_cast<size_t>(used) < sizeof(line)
                                 ? static_cast<size_t>(used) : sizeof(line) - 1;
        line[line_length - 1] = '\n';
        (void)write_fully(2, line, line_length);
    }
}

}  // namespace gil
}  // namespace vandrel
