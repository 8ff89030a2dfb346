// Linked into every Qt test of the AddressSanitizer build. The leak check
// runs at exit and stops every thread of the process to read its memory; a
// thread that is ending at that moment can crash the check itself ("Tracer
// caught signal 11"), after every test has passed. Qt ends its own threads
// at exit (bearer management, D-Bus, the thread pool) and waits for them at
// most until they say they are done, not until the system thread is gone.
// So the process waits, a few seconds at most, until its other threads have
// ended, and the leak check runs after that.
#include <dirent.h>
#include <stdlib.h>
#include <time.h>

static int threadCount(void)
{
    DIR* tasks = opendir("/proc/self/task");
    if (!tasks)
        return 1;
    int count = 0;
    for (struct dirent* entry; (entry = readdir(tasks)) != NULL;)
        count += entry->d_name[0] != '.';
    closedir(tasks);
    return count;
}

static void waitForOtherThreads(void)
{
    const struct timespec slice = {0, 10 * 1000 * 1000};
    for (int i = 0; i < 500 && threadCount() > 1; ++i)
        nanosleep(&slice, NULL);
}

// Registered before main: exit handlers run newest first, so this one runs
// after Qt's (registered as its globals are first used) and before the leak
// check, which the sanitizer's runtime registered before any of them.
__attribute__((constructor)) static void waitAtExit(void)
{
    atexit(waitForOtherThreads);
}
