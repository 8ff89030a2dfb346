// Preloaded (LD_PRELOAD) into a test's child processes: their file removals
// wait a while before they happen, so that a test which looks before the
// child is done fails every time rather than now and then on a loaded
// machine. Read from the environment at each removal:
//   KV_TEST_SLOW_REMOVAL_MS       the wait in milliseconds (unset or 0: none)
//   KV_TEST_SLOW_REMOVAL_PROGRAM  only in processes of this short name
//   KV_TEST_SLOW_REMOVAL_PATH     only for paths that contain this text
//   KV_TEST_SLOW_REMOVAL_LOG      a file to which each delayed removal
//                                 appends a line: the milliseconds it was
//                                 held back, measured, a tab, and the path;
//                                 a test reads it to see that the library
//                                 did delay what it relies on being delayed
// glibc's remove() does not go through unlink() or rmdir(), so it is wrapped
// on its own.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static long elapsedMs(const struct timespec* since)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long ns
        = (now.tv_sec - since->tv_sec) * 1000000000LL + (now.tv_nsec - since->tv_nsec);
    return (long)(ns / 1000000);
}

static void logDelay(long heldMs, const char* path)
{
    const char* log = getenv("KV_TEST_SLOW_REMOVAL_LOG");
    if (!log)
        return;
    char line[4096];
    const int length = snprintf(line, sizeof line, "%ld\t%s\n", heldMs, path ? path : "");
    const int fd = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    if (length > 0 && (size_t)length < sizeof line) {
        const ssize_t written = write(fd, line, (size_t)length);
        (void)written;
    }
    close(fd);
}

static void slowDown(const char* path)
{
    const char* ms = getenv("KV_TEST_SLOW_REMOVAL_MS");
    const char* program = getenv("KV_TEST_SLOW_REMOVAL_PROGRAM");
    const char* text = getenv("KV_TEST_SLOW_REMOVAL_PATH");
    const long delayMs = ms ? strtol(ms, NULL, 10) : 0;
    if (delayMs <= 0 || (program && strcmp(program, program_invocation_short_name) != 0)
        || (text && (!path || !strstr(path, text))))
        return;
    const int saved = errno;
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    struct timespec left = {delayMs / 1000, (delayMs % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) { }
    logDelay(elapsedMs(&start), path);
    errno = saved;
}

int unlink(const char* path)
{
    slowDown(path);
    return ((int (*)(const char*))dlsym(RTLD_NEXT, "unlink"))(path);
}

int unlinkat(int dir, const char* path, int flags)
{
    slowDown(path);
    return ((int (*)(int, const char*, int))dlsym(RTLD_NEXT, "unlinkat"))(dir, path, flags);
}

int rmdir(const char* path)
{
    slowDown(path);
    return ((int (*)(const char*))dlsym(RTLD_NEXT, "rmdir"))(path);
}

int remove(const char* path)
{
    slowDown(path);
    return ((int (*)(const char*))dlsym(RTLD_NEXT, "remove"))(path);
}
