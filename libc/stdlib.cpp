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
static int g_rand_seeded asm("g_rand_seeded");

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
