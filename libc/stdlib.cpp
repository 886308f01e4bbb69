#include <stdlib.h>
#include <errno.h>
#include <string.h>
#include <unistd.h>

static constexpr size_t HEAP_SIZE = 0x100000;

// Private to this source, but C++ would mangle a static's name; the asm
// labels keep the plain names in the symbol table, where the test harness
// looks them up.
alignas(32) static unsigned char g_heap[HEAP_SIZE] asm("g_heap");
static size_t g_heap_used asm("g_heap_used");

static unsigned g_rand_state asm("g_rand_state") = 1;
// `used`: the state is a 32-bit word that debuggers and tests read; without
// it the compiler may shrink a flag that only ever holds 0 or 1 to a byte.
[[gnu::used]] static int g_rand_seeded asm("g_rand_seeded");

extern "C" {

// ---------------------------------------------------------------- process exit

void exit(int status)
{
    _exit(status);
}

void abort(void)
{
    _exit(1);
}

// There is no list of exit handlers: nothing runs after main.
int atexit(void (*)(void))
{
    return 0;
}

char *getenv(const char *)
{
    return 0;
}

// ---------------------------------------------------------------- number parsing

// 0 to 15 for '0'-'9', 'a'-'f' and 'A'-'F'; -1 for every other byte.
static int digit_value(unsigned char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

static bool is_decimal(unsigned char c)
{
    return c >= '0' && c <= '9';
}

// strtoul and strtol are one operation: neither takes a sign, and both
// return the same 32 bits. The base test is signed so that a negative base
// takes no digit; nothing checks that the base is between 2 and 36.
static unsigned long strtox(const char *text, char **end, int base)
{
    if (!text) {
        if (end)
            *end = 0;
        return 0;
    }
    const unsigned char *s = (const unsigned char *)text;
    while (*s == 9 || *s == 10 || *s == 13 || *s == ' ')
        s++;
    bool hex_prefix = s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
    if (base == 0) {
        if (hex_prefix) {
            s += 2;
            base = 16;
        } else if (s[0] == '0') {
            s++;
            base = 8;
        } else {
            base = 10;
        }
    } else if (base == 16 && hex_prefix) {
        s += 2;
    }
    // A prefix stays taken even when no digit follows it.
    unsigned long value = 0;
    for (int d; (d = digit_value(*s)) >= 0 && d < base; s++)
        value = value * base + d;
    if (end)
        *end = (char *)s;
    return value;
}

unsigned long strtoul(const char *text, char **end, int base)
{
    return strtox(text, end, base);
}

long strtol(const char *text, char **end, int base)
{
    return (long)strtox(text, end, base);
}

// Accumulating unsigned makes the wrap modulo 2^32 defined, INT_MIN and
// its negation included.
int atoi(const char *text)
{
    if (!text)
        return 0;
    const unsigned char *s = (const unsigned char *)text;
    while (*s == 9 || *s == 10 || *s == ' ')
        s++;
    bool negative = *s == '-';
    if (*s == '-' || *s == '+')
        s++;
    unsigned value = 0;
    for (; is_decimal(*s); s++)
        value = value * 10 + (*s - '0');
    return (int)(negative ? 0u - value : value);
}

long atol(const char *text)
{
    return atoi(text);
}

// The most negative value has no positive counterpart and comes back as
// it is; negating in unsigned keeps that wrap defined.
int abs(int value)
{
    return value < 0 ? (int)(0u - (unsigned)value) : value;
}

long labs(long value)
{
    return value < 0 ? (long)(0ul - (unsigned long)value) : value;
}

// The floating-point parser rounds every multiplication, division and
// addition to the x87's 64-bit significand before the next one, in the
// order written here: no powers of ten are precomputed and no steps are
// merged, so the result is reproducible operation by operation. Scaling
// loops stop at 1024 steps, so no text can make them run longer.
static constexpr int SCALE_STEPS_MAX = 1024;
static constexpr int EXPONENT_MAX = 4096;

// The exponent whose letter s may point at, bounded to +-EXPONENT_MAX;
// 0 when there is none. Without digits the letter is not taken, or, after
// a sign, the letter is taken and the sign is not.
static int strtold_exponent(const unsigned char *&s, unsigned char letter)
{
    if (*s != letter && *s != letter - 32)
        return 0;
    const unsigned char *p = s + 1;
    bool negative = *p == '-';
    if (*p == '+' || *p == '-')
        p++;
    if (!is_decimal(*p)) {
        s = p - 1;
        return 0;
    }
    int e = 0;
    for (; is_decimal(*p); p++) {
        e = e * 10 + (*p - '0');
        if (e > EXPONENT_MAX)
            e = EXPONENT_MAX;
    }
    s = p;
    return negative ? -e : e;
}

static int scale_steps(int e)
{
    int n = e < 0 ? -e : e;
    return n < SCALE_STEPS_MAX ? n : SCALE_STEPS_MAX;
}

static long double scale_decimal(long double v, int e)
{
    int n = scale_steps(e);
    if (e > 0) {
        for (; n > 0; n--)
            v = v * 10;
    } else {
        for (; n > 0; n--)
            v = v / 10;
    }
    return v;
}

static long double scale_binary(long double v, int e)
{
    int n = scale_steps(e);
    if (e > 0) {
        for (; n > 0; n--)
            v = v + v;
    } else {
        for (; n > 0; n--)
            v = v * 0.5L;
    }
    return v;
}

// From the first digit or the '.'; the caller has seen a digit there or
// right after the '.'. A '.' is taken even when no digit follows it.
static long double strtold_decimal(const unsigned char *&s)
{
    long double v = 0;
    for (; is_decimal(*s); s++) {
        v = v * 10;
        v = v + (*s - '0');
    }
    if (*s == '.') {
        s++;
        int n = 0;
        for (; is_decimal(*s) && n < SCALE_STEPS_MAX; s++, n++) {
            v = v * 10;
            v = v + (*s - '0');
        }
        // Digits past the 1024th are taken but add nothing: the value is
        // scaled back down by at most 1024 places, so each of them would
        // leave it ten times too large.
        while (is_decimal(*s))
            s++;
        for (; n > 0; n--)
            v = v / 10;
    }
    return scale_decimal(v, strtold_exponent(s, 'e'));
}

// From the byte after "0x"; false when there is no digit on either side of
// a '.', and the caller then discards s.
static bool strtold_hex(const unsigned char *&s, long double &v)
{
    bool seen = false;
    int d;
    v = 0;
    for (; (d = digit_value(*s)) >= 0; s++) {
        v = v * 16;
        v = v + d;
        seen = true;
    }
    if (*s == '.') {
        s++;
        int k = 0;
        for (; (d = digit_value(*s)) >= 0 && k < SCALE_STEPS_MAX; s++, k++) {
            v = v * 16;
            v = v + d;
            seen = true;
        }
        // As in the decimal form, digits past the 1024th are only taken.
        while (digit_value(*s) >= 0)
            s++;
        for (; k > 0; k--)
            v = v * 0.0625L;
    }
    if (!seen)
        return false;
    v = scale_binary(v, strtold_exponent(s, 'p'));
    return true;
}

long double strtold(const char *text, char **end)
{
    if (!text) {
        if (end)
            *end = 0;
        return 0;
    }
    const unsigned char *s = (const unsigned char *)text;
    while (*s == ' ' || (*s >= 9 && *s <= 13))
        s++;
    int sign = 1;
    if (*s == '+' || *s == '-') {
        if (*s == '-')
            sign = -1;
        s++;
    }
    long double v = 0;
    bool converted = false;
    if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        s += 2;
        converted = strtold_hex(s, v);
    } else if (is_decimal(s[0]) || (s[0] == '.' && is_decimal(s[1]))) {
        v = strtold_decimal(s);
        converted = true;
    }
    // Nothing converted: the stop position is the text as passed in, and
    // a '-' already taken does not make the zero negative.
    if (!converted) {
        s = (const unsigned char *)text;
        v = 0;
        sign = 1;
    }
    if (end)
        *end = (char *)s;
    // The sign comes last, as a factor, so that -0 gives negative zero.
    return v * sign;
}

// One rounding of the extended value, so far-out values become infinity,
// zero or subnormal and a zero keeps its sign.
double strtod(const char *text, char **end)
{
    return (double)strtold(text, end);
}

// ---------------------------------------------------------------- arena allocator

// Whether a block of m payload bytes still fits. Checking m on its own
// first keeps both the span and the sum from wrapping for sizes near 2^32.
static bool heap_fits(size_t m)
{
    if (m > HEAP_SIZE - 4)
        return false;
    return ((m + 11) & ~size_t(7)) <= HEAP_SIZE - g_heap_used;
}

// The header sits at a multiple of 8 from the arena's start, so every
// payload is at 8k + 4.
static void *heap_carve(size_t m)
{
    if (!heap_fits(m)) {
        errno = ENOMEM;
        return 0;
    }
    unsigned char *block = g_heap + g_heap_used;
    *(size_t *)block = m;
    g_heap_used += (m + 11) & ~size_t(7);
    return block + 4;
}

void *malloc(size_t size)
{
    return heap_carve(size ? size : 1);
}

void *calloc(size_t count, size_t size)
{
    if (count == 0 || size == 0)
        return malloc(0);
    unsigned long long total = (unsigned long long)count * size;
    if (total > 0xffffffffu) {
        errno = ENOMEM;
        return 0;
    }
    void *p = heap_carve((size_t)total);
    if (p)
        memset(p, 0, (size_t)total);
    return p;
}

// Always moves, even when shrinking or when p is the last block: blocks
// are never given back, and the old one stays valid and untouched. The
// fit is tested before p is read, so a failure leaves everything as it was.
void *realloc(void *p, size_t size)
{
    size_t m = size ? size : 1;
    if (!heap_fits(m)) {
        errno = ENOMEM;
        return 0;
    }
    if (!p)
        return heap_carve(m);
    size_t old = *((const size_t *)p - 1);
    void *q = heap_carve(m);
    memcpy(q, p, old < m ? old : m);
    return q;
}

void free(void *)
{
}

// ---------------------------------------------------------------- random numbers

void srand(unsigned seed)
{
    g_rand_seeded = 1;
    g_rand_state = seed ? seed : 1;
}

int rand(void)
{
    if (!g_rand_seeded) {
        // Seed from the time-stamp counter and two addresses (one on this
        // frame's stack, one in the image) so that runs differ; anchor is
        // never written, only its address is taken.
        unsigned anchor;
        unsigned lo, hi;
        asm volatile("rdtsc" : "=a"(lo), "=d"(hi));
        unsigned x = lo ^ (hi * 1664525u) ^ (unsigned)(unsigned long)&anchor
                     ^ (unsigned)(unsigned long)&g_heap_used ^ 0x9E3779B9u;
        x ^= x >> 16;
        x *= 0x7FEB352Du;
        x ^= x >> 15;
        x *= 0x846CA68Bu;
        x ^= x >> 16;
        g_rand_state = x ? x : 1;
        g_rand_seeded = 1;
    }
    g_rand_state = g_rand_state * 1103515245u + 12345u;
    return (int)((g_rand_state >> 16) & 0x7fff);
}

}
