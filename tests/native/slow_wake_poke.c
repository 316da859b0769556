/* LD_PRELOAD shim that widens the window between a thread's poke of the
 * agent's wake eventfd and the stop that closes it.
 *
 * With SHIM_POKE_MARKER set, the first 8-byte write to an eventfd made by
 * a thread other than the main one creates the file SHIM_POKE_MARKER
 * names, then waits until the descriptor is no longer an eventfd (closed
 * and its number given to another file) or a second has passed, and only
 * then writes. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

/* 1: fd is an eventfd; 0: it is something else; -1: it is closed. */
static int eventfd_state(int fd)
{
    char path[64], target[64];
    snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    ssize_t length = readlink(path, target, sizeof target - 1);
    if (length < 0) {
        return -1;
    }
    target[length] = '\0';
    return strcmp(target, "anon_inode:[eventfd]") == 0;
}

ssize_t write(int fd, const void *data, size_t size)
{
    static ssize_t (*real_write)(int, const void *, size_t);
    static int held_once;
    if (real_write == NULL) {
        real_write = (ssize_t (*)(int, const void *, size_t))dlsym(RTLD_NEXT, "write");
    }
    const char *marker = getenv("SHIM_POKE_MARKER");
    if (marker != NULL && size == 8 && syscall(SYS_gettid) != getpid() &&
        eventfd_state(fd) == 1 && !__atomic_exchange_n(&held_once, 1, __ATOMIC_SEQ_CST)) {
        close(open(marker, O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
        struct timespec tick = {0, 1000000};
        for (int i = 0; i < 1000 && eventfd_state(fd) != 0; i++) {
            nanosleep(&tick, NULL);
        }
    }
    return real_write(fd, data, size);
}
