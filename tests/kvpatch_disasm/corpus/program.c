/* A small freestanding program with the constructs the disassemblers look
 * for: calls between functions, long conditional jumps, and tables of
 * absolute addresses (relocated at load time in position-independent
 * images). */

typedef int (*Handler)(int);

static volatile int sink;
int counters[16];

static int __attribute__((noinline)) step_add(int x) { return x + counters[1]; }
static int __attribute__((noinline)) step_mul(int x) { return x * 3 + counters[2]; }
static int __attribute__((noinline)) step_xor(int x) { return x ^ 0x5a5a + counters[3]; }

/* Absolute addresses: each entry needs a relocation in a relocatable image. */
Handler handlers[] = {step_add, step_mul, step_xor, step_add};
int* pointers[] = {&counters[0], &counters[4], &counters[8], &counters[12]};

static int __attribute__((noinline)) long_body(int x)
{
    /* Enough straight-line code between the branch and its target that
     * the compiler must use the long conditional-jump form. */
    if (x > 1000) {
        for (int i = 0; i < 8; ++i) {
            sink = sink * 7 + i;
            sink = sink ^ (x << 3);
            sink = sink + counters[i & 15] * 13;
            sink = sink - (x >> 2);
            sink = sink * 11 + counters[(i + 3) & 15];
            sink = sink ^ counters[(i + 5) & 15];
            sink = sink + x * 17;
            sink = sink - counters[(i + 7) & 15] * 19;
            counters[i] = sink;
        }
    }
    return sink + x;
}

int __attribute__((noinline)) run(int x)
{
    int total = 0;
    for (int i = 0; i < 4; ++i)
        total += handlers[i](x + i) + *pointers[i];
    return total + long_body(total);
}

void _start(void)
{
    sink = run(5);
    for (;;) {
    }
}
