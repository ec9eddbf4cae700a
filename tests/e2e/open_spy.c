/* open_spy: preloaded into a Wine prefix's wineserver, which performs the
 * open() of every file and device for the programs of the prefix. It lets
 * the end-to-end tests see which serial lines the tools open, and make a
 * line's open take seconds, as a Bluetooth COM port does while Windows tries
 * to reach the paired phone.
 *
 *   OPEN_SPY_LOG=FILE    every open of a path under /dev/pts/ is appended to
 *                        FILE as one line: the path, links resolved
 *   OPEN_SPY_SLOW=FILE   read at each such open: lines "PATH MS"; an open of
 *                        PATH waits MS milliseconds first (the whole prefix
 *                        waits with it, the server being single-threaded)
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static const char WATCHED[] = "/dev/pts/";

static void Pause(long ms)
{
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0) {
    }
}

static void Seen(int dirfd, const char* path)
{
    const char* log = getenv("OPEN_SPY_LOG");
    if (!log || !path)
        return;
    char joined[PATH_MAX * 2];
    if (path[0] != '/' && dirfd != AT_FDCWD)
        snprintf(joined, sizeof joined, "/proc/self/fd/%d/%s", dirfd, path);
    else
        snprintf(joined, sizeof joined, "%s", path);
    char real[PATH_MAX];
    if (!realpath(joined, real) || strncmp(real, WATCHED, sizeof WATCHED - 1) != 0)
        return;
    FILE* f = fopen(log, "a");
    if (f) {
        fprintf(f, "%s\n", real);
        fclose(f);
    }
    const char* slow = getenv("OPEN_SPY_SLOW");
    FILE* s = slow ? fopen(slow, "r") : NULL;
    if (!s)
        return;
    char line[PATH_MAX + 32];
    long wait_ms = 0;
    while (fgets(line, sizeof line, s)) {
        char slow_path[PATH_MAX];
        long ms;
        if (sscanf(line, "%4095s %ld", slow_path, &ms) == 2 && strcmp(slow_path, real) == 0)
            wait_ms = ms;
    }
    fclose(s);
    if (wait_ms > 0)
        Pause(wait_ms);
}

typedef int (*OpenFn)(const char*, int, ...);
typedef int (*OpenAtFn)(int, const char*, int, ...);

static mode_t ModeOf(int flags, va_list args)
{
    return (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(args, int) : 0;
}

int open(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = ModeOf(flags, args);
    va_end(args);
    Seen(AT_FDCWD, path);
    return ((OpenFn)dlsym(RTLD_NEXT, "open"))(path, flags, mode);
}

int openat(int dirfd, const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = ModeOf(flags, args);
    va_end(args);
    Seen(dirfd, path);
    return ((OpenAtFn)dlsym(RTLD_NEXT, "openat"))(dirfd, path, flags, mode);
}

/* wineserver is a 64-bit program: there open64 is open, and openat64 openat. */
int open64(const char* path, int flags, ...) __attribute__((alias("open")));
int openat64(int dirfd, const char* path, int flags, ...) __attribute__((alias("openat")));
