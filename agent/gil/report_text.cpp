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

/* One line of the table. */
void append_line(text_buffer *text, const char *name, const char *id, int64_t held_ns,
                 int64_t waited_ns, int64_t wall_ns)
{
    const int bar_width = 30;
    double held_share = share(held_ns, wall_ns);
    double wait_share = share(waited_ns, wall_ns);
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
    text_appendf(text, "  %s %10s %9.3f %5.1f%% %9.3f %5.1f%%  [%s]\n", cell, id, seconds(held_ns),
           held_share, seconds(waited_ns), wait_share, bar);
}

void append_groups(const report_data *data, text_buffer *text);
void append_insight(const report_data *data, bool final, text_buffer *text);

/* The human-readable report: totals, then one line per thread, most
 * waiting first, with a bar of held (#) and waiting (~) time, then the
 * groups of finished threads.  At most max_text_threads and
 * max_text_groups lines, so its size does not grow with the process. */
void report_text(const report_data *data, bool final, text_buffer *text)
{
    text_appendf(text,
           "GIL report (%s): wall %.3f s, held %.3f s (%.1f%%), waited %.3f s, %llu switches, "
           "%zu threads, %llu more in %zu groups\n",
           final ? "final" : "periodic", seconds(data->wall_ns), seconds(data->held_ns),
           share(data->held_ns, data->wall_ns), seconds(data->waited_ns),
           static_cast<unsigned long long>(data->switches), data->count,
           static_cast<unsigned long long>(data->grouped_threads), data->group_count);
    char header[text_name_width * 4 + 4];
    table_cell("thread", text_name_width, header);
    text_appendf(text, "  %s %10s %9s %6s %9s %6s  held # / wait ~\n", header, "native id", "held s",
           "held", "wait s", "wait");
    size_t shown = data->count < max_text_threads ? data->count : max_text_threads;
    for (size_t i = 0; i < shown; i++) {
        const thread_row *row = &data->rows[i];
        char id[24];
        snprintf(id, sizeof(id), "%ld", row->native_id);
        append_line(text, row->name, id, row->held_ns, row->waited_ns, data->wall_ns);
    }
    if (data->count > shown) {
        text_appendf(text, "  ... %zu more threads\n", data->count - shown);
    }
    if (data->group_count != 0) {
        append_groups(data, text);
    }
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
    text_appendf(text,
           "  last %.3f s: held %.3f s (%.1f%%), waited %.3f s, %llu switches, wait p99 %.3f ms, "
           "hold p99 %.3f ms\n",
           seconds(insight->interval_wall_ns), seconds(insight->interval_held_ns),
           share(insight->interval_held_ns, insight->interval_wall_ns),
           seconds(insight->interval_waited_ns),
           static_cast<unsigned long long>(insight->interval_switches),
           seconds(interval_wait.p99_ns) * 1000.0, seconds(interval_hold.p99_ns) * 1000.0);
    if (insight->place_count == 0) {
        text_appendf(text, "  long holds (over %.3f ms): none\n", seconds(insight->threshold_ns) * 1000.0);
        return;
    }
    text_appendf(text, "  long holds (over %.3f ms), most time beyond it first:\n",
           seconds(insight->threshold_ns) * 1000.0);
    for (size_t i = 0; i < insight->place_count; i++) {
        const long_hold_place *place = &insight->places[i];
        text_appendf(text, "  %.3f s beyond in %llu holds, longest %.3f ms, thread ",
               seconds(place->beyond_ns), static_cast<unsigned long long>(place->count),
               seconds(place->max_ns) * 1000.0);
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

/* The groups' part of the table. */
void append_groups(const report_data *data, text_buffer *text)
{
    char header[text_name_width * 4 + 4];
    table_cell("group", text_name_width, header);
    text_appendf(text, "  %s %10s\n", header, "threads");
    size_t groups_shown =
        data->group_count < max_text_groups ? data->group_count : max_text_groups;
    for (size_t i = 0; i < groups_shown; i++) {
        const thread_group *group = &data->groups[i];
        char count[24];
        snprintf(count, sizeof(count), "%llu", static_cast<unsigned long long>(group->count));
        append_line(text, group->name, count, group->held_ns, group->waited_ns, data->wall_ns);
    }
    if (data->group_count > groups_shown) {
        text_appendf(text, "  ... %zu more groups\n", data->group_count - groups_shown);
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
