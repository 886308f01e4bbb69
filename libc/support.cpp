// Compiler support. On i386 clang turns a 64-bit division or remainder into
// a call of __udivdi3 or __umoddi3, which a compiler's own runtime library
// would provide; the runtime links nothing from outside, so they live here.
// Nothing in this file may divide 64-bit numbers with "/" or "%": that
// would compile into a call of the very routine being defined.

extern "C" {

static unsigned long long udivmod(unsigned long long n, unsigned long long d,
                                  unsigned long long *rem)
{
    unsigned dh = unsigned(d >> 32), dl = unsigned(d);
    if (dh == 0) {
        // Long division in two 32-bit steps. The second step divides
        // remainder:low word, which cannot overflow divl because the
        // remainder is below the divisor.
        unsigned nh = unsigned(n >> 32);
        unsigned qh = nh / dl, r = nh % dl, ql;
        __asm__("divl %4" : "=a"(ql), "=d"(r) : "0"(unsigned(n)), "1"(r), "rm"(dl));
        *rem = r;
        return (unsigned long long)qh << 32 | ql;
    }
    // A divisor of 33 bits or more: shift and subtract. The partial
    // remainder before a shift is at most n >> (i + 1), so the shift never
    // loses a bit.
    unsigned long long q = 0, r = 0;
    for (int i = 63; i >= 0; i--) {
        r = r << 1 | (n >> i & 1);
        if (r >= d) {
            r -= d;
            q |= 1ull << i;
        }
    }
    *rem = r;
    return q;
}

unsigned long long __udivdi3(unsigned long long n, unsigned long long d)
{
    unsigned long long r;
    return udivmod(n, d, &r);
}

unsigned long long __umoddi3(unsigned long long n, unsigned long long d)
{
    unsigned long long r;
    udivmod(n, d, &r);
    return r;
}

} // extern "C"
