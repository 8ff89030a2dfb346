/* Two releases of a small freestanding program, chosen by RELEASE (1 or 2).
 * The second adds a function near the start and changes a few constants, so
 * that most call displacements and table addresses move while the code
 * itself stays the same: the situation executable-aware patches are for. */

typedef int (*Handler)(int);

static volatile int sink;
int counters[64];

#if RELEASE >= 2
static int __attribute__((noinline)) added_in_release_two(int x)
{
    for (int i = 0; i < 5; ++i)
        sink = sink * 31 + x + counters[i];
    return sink;
}
#endif

#define STEP(n, k)                                                                          \
    static int __attribute__((noinline)) step_##n(int x)                                    \
    {                                                                                       \
        sink = sink + x * k + counters[(n) & 63];                                           \
        if (x > 1000 + (n)) {                                                               \
            for (int i = 0; i < 4; ++i) {                                                   \
                sink = sink * 7 + i + counters[(i + (n)) & 63];                             \
                sink = sink ^ (x << 3) ^ counters[(i + 5) & 63];                            \
                counters[(i * (n)) & 63] = sink - counters[(i + 9) & 63] * 13;              \
            }                                                                               \
        }                                                                                   \
        return sink ^ (n);                                                                  \
    }

STEP(0, 3) STEP(1, 5) STEP(2, 7) STEP(3, 11) STEP(4, 13) STEP(5, 17) STEP(6, 19) STEP(7, 23)
STEP(8, 29) STEP(9, 31) STEP(10, 37) STEP(11, 41) STEP(12, 43) STEP(13, 47) STEP(14, 53)
STEP(15, 59) STEP(16, 61) STEP(17, 67) STEP(18, 71) STEP(19, 73) STEP(20, 79) STEP(21, 83)
STEP(22, 89) STEP(23, 97)
#if RELEASE >= 2
STEP(24, 101) STEP(25, 103)
#endif

/* Absolute addresses, each relocated in a position-independent image. */
Handler handlers[] = {
    step_0, step_1, step_2, step_3, step_4, step_5, step_6, step_7, step_8, step_9, step_10,
    step_11, step_12, step_13, step_14, step_15, step_16, step_17, step_18, step_19, step_20,
    step_21, step_22, step_23,
#if RELEASE >= 2
    step_24, step_25, added_in_release_two,
#endif
};

int __attribute__((noinline)) run(int x)
{
    int total = 0;
    for (unsigned i = 0; i < sizeof handlers / sizeof handlers[0]; ++i)
        total += handlers[i](x + (int)i);
    return total + step_0(total) + step_5(total) + step_11(total) + step_23(total);
}

void _start(void)
{
#if RELEASE >= 2
    sink = run(7);
#else
    sink = run(5);
#endif
    for (;;) {
    }
}
