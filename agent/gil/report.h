/* What the report units share: a report's rows and totals as collected
 * (report.cpp) and the text made of them (report_text.cpp). */
#ifndef VANDREL_GIL_REPORT_H
#define VANDREL_GIL_REPORT_H

#include <stddef.h>
#include <stdint.h>

#include "gil/internal.h"
#include "text/buffer.h"

namespace vandrel {
namespace gil {

/* At most this many entries in a report's `threads`; the rest of the live
 * threads are added into their groups for that report. */
const size_t max_report_threads = 500;
/* Rows of the text report's table, so that a person can read it whatever
 * the process does: long-lived threads with a row each, then group rows,
 * then one "(other)" row: at most 12 + 7 + 1. */
const size_t max_text_threads = 12;
const size_t max_text_groups = 7;
/* A thread is short-lived, and counted in its group's row rather than
 * given one of its own, when the session saw it (from its first touch of
 * the GIL to its end, or to the report for a live one) for less than a
 * tenth of the report's wall time and less than a second. */
const double short_lived_fraction = 0.1;
const double short_lived_max_s = 1.0;
/* Columns for a name in the text report. */
const int text_name_width = 32;

struct report_data {
    thread_row *rows;
    size_t count;
    thread_group *groups;
    size_t group_count;
    size_t group_capacity;
    uint64_t grouped_threads;
    int64_t wall_ns;
    int64_t held_ns;
    int64_t waited_ns;
    int64_t seen_ns;
    uint64_t switches;
    insight_snapshot insight;
};


/* Gather a report's figures as of `now`.  GIL held. */
void collect_report(int64_t now, report_data *data);
void release_report(report_data *data);
/* The report as the sink's dict: a new reference, or null with an
 * exception set. */
PyObject *report_dict(const report_data *data, bool final);
/* The report as text, appended to `text`. */
void report_text(const report_data *data, bool final, text_buffer *text);
/* Why a report's text was not all written: the bytes that were, and the
 * failed write's errno (0: the fd took nothing for a second). */
struct write_failure {
    size_t written;
    int error;
};
/* Write all of `length` bytes to fd, as report_fd takes them.  On success
 * return true; on failure return false with `failure` filled. */
bool write_all(int fd, const char *data, size_t length, write_failure *failure);
/* Say on stderr, in one line, that a report of `length` bytes was not
 * written to fd (a duplicate of `given_fd`): the file, the reason and what
 * was dropped. */
void tell_write_failure(int fd, int32_t given_fd, size_t length, const write_failure *failure);

double seconds(int64_t ns);
/* dict[key] = value, consuming `value` (null counts as failure).  False on
 * failure, with an exception set. */
bool set_item(PyObject *dict, const char *key, PyObject *value);
/* A name or file name kept as UTF-8 (see name_nul) as a new str. */
PyObject *text_object(const char *text);
/* One frame as a new [file, line, function] list; null with an exception
 * set on failure. */
PyObject *frame_item(const held_frame *frame);
/* Of `seen_ns`, the time neither held nor waited for (never negative). */
int64_t neither_ns(int64_t seen_ns, int64_t held_ns, int64_t waited_ns);

}  // namespace gil
}  // namespace vandrel

#endif /* VANDREL_GIL_REPORT_H */
