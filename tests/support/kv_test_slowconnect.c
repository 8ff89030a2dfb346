// Preloaded (LD_PRELOAD) into the test programs of the slow-network stage
// (scripts/test.sh --slow-connect): each connect() to a loopback address waits
// a while before it happens. A loaded machine can leave the network module's
// thread unscheduled that long while the test's own thread runs on; a test
// whose row is not about a time limit must pass all the same. Read from the
// environment at each call:
//   KV_TEST_CONNECT_DELAY_MS  the wait in milliseconds (unset: 300; 0: none)
// Other addresses, and sockets of other families (X11's and D-Bus's local
// sockets among them), connect at once.
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <dlfcn.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>

static const long kDefaultDelayMs = 300;

static int isLoopback(const struct sockaddr* address, socklen_t length)
{
    if (!address)
        return 0;
    if (address->sa_family == AF_INET && length >= (socklen_t)sizeof(struct sockaddr_in)) {
        const struct sockaddr_in* in = (const struct sockaddr_in*)address;
        return (ntohl(in->sin_addr.s_addr) >> 24) == 127;
    }
    if (address->sa_family == AF_INET6 && length >= (socklen_t)sizeof(struct sockaddr_in6)) {
        const struct in6_addr* in6 = &((const struct sockaddr_in6*)address)->sin6_addr;
        if (IN6_IS_ADDR_LOOPBACK(in6))
            return 1;
        // ::ffff:127.x.y.z, as a dual-stack socket reaches 127.0.0.1
        return IN6_IS_ADDR_V4MAPPED(in6) && in6->s6_addr[12] == 127;
    }
    return 0;
}

static long delayMs(void)
{
    const char* text = getenv("KV_TEST_CONNECT_DELAY_MS");
    if (!text || !*text)
        return kDefaultDelayMs;
    const long ms = strtol(text, NULL, 10);
    return ms > 0 ? ms : 0;
}

int connect(int fd, const struct sockaddr* address, socklen_t length)
{
    const long ms = isLoopback(address, length) ? delayMs() : 0;
    if (ms > 0) {
        const int saved = errno;
        struct timespec left = {ms / 1000, (ms % 1000) * 1000000L};
        while (nanosleep(&left, &left) != 0 && errno == EINTR) { }
        errno = saved;
    }
    return ((int (*)(int, const struct sockaddr*, socklen_t))dlsym(RTLD_NEXT, "connect"))(
        fd, address, length);
}
