/* Output built in memory and written to a file descriptor in few write()
 * calls.  Used by the stack dump; safe on any fd value, valid or not.
 * Also the one write loop that keeps a closed pipe's SIGPIPE from killing
 * the process (the text report uses it too). */
#ifndef VANDREL_FD_OUTPUT_H
#define VANDREL_FD_OUTPUT_H

#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "text/buffer.h"

namespace vandrel {

/* The text so far is the buffer's; it is written out as it fills. */
struct fd_output : text_buffer {
    int fd;
    /* A write failed for good (bad fd, closed pipe, reader gone): the rest
     * of the output is dropped instead of retried. */
    bool write_failed;
    /* Times the buffer was written out: bytes remembered by position
     * (a line cached for reuse) are only valid while it is unchanged. */
    uint64_t flushes;
};

/* Start collecting output for fd.  Reuses the storage a previous dump
 * left behind when no other dump holds it. */
void fd_output_open(fd_output *out, int fd);

/* Write what is buffered, then release the storage (kept for reuse while
 * it is small). */
void fd_output_close(fd_output *out);

/* Make room for `needed` more bytes, writing out what is buffered when
 * the buffer has reached its flush size or cannot grow.  On success
 * return true; return false when the bytes cannot be buffered at all. */
bool fd_output_reserve_slow(fd_output *out, size_t needed);

inline bool fd_output_reserve(fd_output *out, size_t needed)
{
    if (out->capacity - out->length >= needed) {
        return true;
    }
    return fd_output_reserve_slow(out, needed);
}

inline void fd_output_append(fd_output *out, const char *bytes, size_t size)
{
    if (fd_output_reserve(out, size)) {
        memcpy(out->data + out->length, bytes, size);
        out->length += size;
    }
}

inline void fd_output_append_literal(fd_output *out, const char *text)
{
    fd_output_append(out, text, strlen(text));
}

/* Append value in decimal. */
void fd_output_append_decimal(fd_output *out, uint64_t value);

/* Write size bytes to fd, retrying partial writes, EINTR and, on a
 * non-blocking fd, EAGAIN (waiting up to a few seconds without progress).
 * A SIGPIPE raised by a write to a pipe with no reader is swallowed.  On
 * success return true; on a failed or stalled fd return false. */
bool write_fully(int fd, const char *bytes, size_t size);

/* SIGPIPE blocked on this thread while a write may raise it: a write to a
 * pipe whose reader has gone must not kill a process that did not ignore
 * it.  end() consumes the one the write raised (`broken_pipe`), never one
 * that was already pending, and restores the mask. */
struct sigpipe_block {
    sigset_t pipe_only;
    sigset_t old_mask;
    bool already_pending;
    bool masked;
};
void sigpipe_block_begin(sigpipe_block *block);
void sigpipe_block_end(sigpipe_block *block, bool broken_pipe);

}  // namespace vandrel

#endif /* VANDREL_FD_OUTPUT_H */
