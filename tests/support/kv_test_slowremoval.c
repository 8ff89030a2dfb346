// Preloaded (LD_PRELOAD) into a test's child processes: their file removals
// wait a while before they happen, so that a test which looks before the
// child is done fails every time rather than now and then on a loaded
// machine. Read from the environment at each removal:
//   KV_TEST_SLOW_REMOVAL_MS       the wait in milliseconds (unset or 0: none)
//   KV_TEST_SLOW_REMOVAL_PROGRAM  only in processes of this short name
//   KV_TEST_SLOW_REMOVAL_PATH     only for paths that contain this text
// glibc's remove() does not go through unlink() or rmdir(), so it is wrapped
// on its own.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

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
    struct timespec left = {delayMs / 1000, (delayMs % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) { }
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
