#include "text/fd_output.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

namespace vandrel {

namespace {

/* Output is written out once this much is buffered, so a huge dump costs
 * a few large writes (one per MiB) and a bounded amount of memory.  Tests
 * build the agent with a tiny value to exercise every flush boundary. */
#ifndef VANDREL_FLUSH_SIZE
#define VANDREL_FLUSH_SIZE (1u << 20)
#endif
constexpr size_t FLUSH_SIZE = VANDREL_FLUSH_SIZE;
constexpr size_t INITIAL_CAPACITY = 64u << 10;
/* Storage up to this size (all a dump ever needs, given FLUSH_SIZE) is
 * kept between dumps: a fresh buffer costs a page fault per 4 KiB, a
 * noticeable share of a fast dump. */
constexpr size_t KEEP_CAPACITY = 2u << 20;
/* How long a non-blocking fd may refuse every byte before the dump gives
 * up.  The GIL is held meanwhile, so this is never unbounded. */
constexpr int STALL_TIMEOUT_MS = 2000;

char *kept_data = nullptr;
size_t kept_capacity = 0;
int kept_lock = 0;

/* In a child made by fork() while a dump on another thread held the kept
 * buffer: that thread is gone, so drop its claim (the buffer is not kept)
 * rather than leave every later dump without it. */
void forget_kept_claim_in_child()
{
    if (kept_lock != 0) {
        kept_data = nullptr;
        kept_capacity = 0;
        kept_lock = 0;
    }
}

__attribute__((constructor)) void release_kept_across_fork()
{
    pthread_atfork(nullptr, nullptr, forget_kept_claim_in_child);
}

/* Raw write loop.  On success return true.  On failure return false and
 * set *broken_pipe when the failure was EPIPE. */
bool write_loop(int fd, const char *bytes, size_t size, bool *broken_pipe)
{
    while (size > 0) {
        ssize_t written = write(fd, bytes, size);
        if (written > 0) {
            bytes += written;
            size -= static_cast<size_t>(written);
            continue;
        }
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            struct pollfd wait_for = {fd, POLLOUT, 0};
            int ready;
            do {
                ready = poll(&wait_for, 1, STALL_TIMEOUT_MS);
            } while (ready < 0 && errno == EINTR);
            if (ready <= 0 || (wait_for.revents & (POLLERR | POLLNVAL)) != 0) {
                return false;
            }
            continue;
        }
        if (written < 0 && errno == EPIPE) {
            *broken_pipe = true;
        }
        return false;
    }
    return true;
}

}  // namespace

void sigpipe_block_begin(sigpipe_block *block)
{
    sigemptyset(&block->pipe_only);
    sigaddset(&block->pipe_only, SIGPIPE);
    sigset_t pending;
    block->already_pending =
        sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    /* sigprocmask is per-thread on Linux and, unlike pthread_sigmask, has
     * lived in libc since the oldest glibc versions. */
    block->masked = sigprocmask(SIG_BLOCK, &block->pipe_only, &block->old_mask) == 0;
}

void sigpipe_block_end(sigpipe_block *block, bool broken_pipe)
{
    if (!block->masked) {
        return;
    }
    if (broken_pipe && !block->already_pending) {
        struct timespec no_wait = {0, 0};
        while (sigtimedwait(&block->pipe_only, nullptr, &no_wait) < 0 && errno == EINTR) {
        }
    }
    sigprocmask(SIG_SETMASK, &block->old_mask, nullptr);
}

bool write_fully(int fd, const char *bytes, size_t size)
{
    if (size == 0) {
        return true;
    }
    sigpipe_block block;
    sigpipe_block_begin(&block);
    bool broken_pipe = false;
    bool ok = write_loop(fd, bytes, size, &broken_pipe);
    sigpipe_block_end(&block, broken_pipe);
    return ok;
}

void fd_output_open(fd_output *out, int fd)
{
    out->fd = fd;
    out->length = 0;
    out->write_failed = false;
    out->flushes = 0;
    out->data = nullptr;
    out->capacity = 0;
    if (__atomic_exchange_n(&kept_lock, 1, __ATOMIC_ACQUIRE) == 0) {
        out->data = kept_data;
        out->capacity = kept_capacity;
        kept_data = nullptr;
        kept_capacity = 0;
        __atomic_store_n(&kept_lock, 0, __ATOMIC_RELEASE);
    }
}

/* Write out what is buffered.  After a failed write everything further
 * is discarded. */
static void fd_output_flush(fd_output *out)
{
    if (!out->write_failed && out->length > 0) {
        out->write_failed = !write_fully(out->fd, out->data, out->length);
    }
    out->length = 0;
    out->flushes++;
}

void fd_output_close(fd_output *out)
{
    fd_output_flush(out);
    char *to_free = out->data;
    if (out->capacity <= KEEP_CAPACITY
        && __atomic_exchange_n(&kept_lock, 1, __ATOMIC_ACQUIRE) == 0) {
        if (kept_data == nullptr) {
            kept_data = out->data;
            kept_capacity = out->capacity;
            to_free = nullptr;
        }
        __atomic_store_n(&kept_lock, 0, __ATOMIC_RELEASE);
    }
    free(to_free);
    out->data = nullptr;
    out->capacity = 0;
}

bool fd_output_reserve_slow(fd_output *out, size_t needed)
{
    if (out->length + needed > FLUSH_SIZE || out->write_failed) {
        fd_output_flush(out);
        if (out->capacity >= needed) {
            return true;
        }
    }
    if (text_grow(out, needed, INITIAL_CAPACITY)) {
        return true;
    }
    /* Out of memory: write out what is there and make do with the
     * storage already held. */
    fd_output_flush(out);
    return out->capacity >= needed;
}

void fd_output_append_decimal(fd_output *out, uint64_t value)
{
    char digits[20];
    size_t count = 0;
    do {
        digits[sizeof digits - 1 - count] = static_cast<char>('0' + value % 10);
        value /= 10;
        count++;
    } while (value != 0);
    fd_output_append(out, digits + sizeof digits - count, count);
}

}  // namespace vandrel
