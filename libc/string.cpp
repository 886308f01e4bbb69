#include <string.h>
#include <stdlib.h>

// The guest flags build this source freestanding (no builtins), so none of
// the byte loops below is turned into a call of the function it implements.
// The vectorizer is switched off by hand on every counted copy loop: these
// work one byte at a time in a fixed order (memcpy's order is observable
// when the ranges overlap), and only the two zero or pattern fills use
// 16-byte stores.

namespace {

typedef unsigned char uchar;

// An unaligned 16-byte store of a replicated byte (movups).
typedef uchar vec16 __attribute__((vector_size(16), aligned(1), may_alias));

// Addresses in the null page are never read through.
inline bool is_low(const void *p)
{
    return (unsigned long)p < 4096;
}

// The largest multiple of 16 in vector stores, the rest one byte at a time.
// Whole kilobytes go 64 stores at a time, so that a page costs little more
// than its 256 stores: loop control would otherwise be most of the work.
[[gnu::always_inline]] inline void fill_bytes(uchar *p, uchar c, size_t n)
{
    vec16 pattern = (vec16){} + c;
    for (size_t k = n / 1024; k; k--, p += 1024) {
#pragma clang loop unroll(full)
        for (int i = 0; i < 64; i++)
            *(vec16 *)(p + 16 * i) = pattern;
    }
    for (size_t k = n % 1024 / 16; k; k--, p += 16)
        *(vec16 *)p = pattern;
    n %= 16;
#pragma clang loop vectorize(disable) interleave(disable)
    for (size_t i = 0; i < n; i++)
        p[i] = c;
}

// Bytes before the zero byte, at most max; never reads s[max].
inline size_t bounded_len(const char *s, size_t max)
{
    size_t n = 0;
    while (n < max && s[n])
        n++;
    return n;
}

inline uchar fold(uchar c)
{
    return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
}

// The text's own zero byte is never a delimiter.
inline bool is_delim(char c, const char *delims)
{
    if (!c)
        return false;
    for (; *delims; delims++)
        if (*delims == c)
            return true;
    return false;
}

} // namespace

extern "C" {

// ---------------------------------------------------------------- memory blocks

// Ascending, a byte at a time: a destination that overlaps the source
// from above sees the bytes this call has already written.
void *memcpy(void *d, const void *s, size_t n)
{
    uchar *dp = (uchar *)d;
    const uchar *sp = (const uchar *)s;
#pragma clang loop vectorize(disable) interleave(disable)
    for (size_t i = 0; i < n; i++)
        dp[i] = sp[i];
    return d;
}

void *memmove(void *d, const void *s, size_t n)
{
    uchar *dp = (uchar *)d;
    const uchar *sp = (const uchar *)s;
    if (dp == sp || n == 0)
        return d;
    if ((unsigned long)dp < (unsigned long)sp) {
#pragma clang loop vectorize(disable) interleave(disable)
        for (size_t i = 0; i < n; i++)
            dp[i] = sp[i];
    } else {
#pragma clang loop vectorize(disable) interleave(disable)
        while (n--)
            dp[n] = sp[n];
    }
    return d;
}

void *memset(void *p, int ch, size_t n)
{
    fill_bytes((uchar *)p, (uchar)ch, n);
    return p;
}

// Zero bytes do not end the comparison.
int memcmp(const void *a, const void *b, size_t n)
{
    const uchar *ap = (const uchar *)a;
    const uchar *bp = (const uchar *)b;
    for (size_t i = 0; i < n; i++)
        if (ap[i] != bp[i])
            return ap[i] - bp[i];
    return 0;
}

// ---------------------------------------------------------------- lengths and comparisons

// Addresses in the null page count as the empty string.
// Every line the command prints is measured here, so the byte loop is
// unrolled: one compare and branch a byte, and never a read past the zero.
size_t strlen(const char *s)
{
    if (is_low(s))
        return 0;
    size_t n = 0;
#pragma clang loop unroll_count(4)
    while (s[n])
        n++;
    return n;
}

size_t strnlen(const char *s, size_t max)
{
    if (is_low(s))
        return 0;
    return bounded_len(s, max);
}

// The same address is equal before anything is read, so two different
// low addresses give -1 in either order.
int strcmp(const char *a, const char *b)
{
    if (a == b)
        return 0;
    if (is_low(a))
        return -1;
    if (is_low(b))
        return 1;
    const uchar *ap = (const uchar *)a;
    const uchar *bp = (const uchar *)b;
    while (*ap && *ap == *bp)
        ap++, bp++;
    return *ap - *bp;
}

int strncmp(const char *a, const char *b, size_t n)
{
    if (n == 0 || a == b)
        return 0;
    if (is_low(a))
        return -1;
    if (is_low(b))
        return 1;
    const uchar *ap = (const uchar *)a;
    const uchar *bp = (const uchar *)b;
    for (size_t i = 0; i < n; i++) {
        if (ap[i] != bp[i])
            return ap[i] - bp[i];
        if (!ap[i])
            break;
    }
    return 0;
}

int strncasecmp(const char *a, const char *b, size_t n)
{
    if (n == 0 || a == b)
        return 0;
    if (!a)
        return -1;
    if (!b)
        return 1;
    const uchar *ap = (const uchar *)a;
    const uchar *bp = (const uchar *)b;
    for (size_t i = 0; i < n; i++) {
        uchar ca = fold(ap[i]), cb = fold(bp[i]);
        if (ca != cb)
            return ca - cb;
        if (!ca)
            break;
    }
    return 0;
}

int strcasecmp(const char *a, const char *b)
{
    if (!a)
        return b ? -1 : 0;
    if (!b)
        return 1;
    const uchar *ap = (const uchar *)a;
    const uchar *bp = (const uchar *)b;
    while (*ap && fold(*ap) == fold(*bp))
        ap++, bp++;
    return fold(*ap) - fold(*bp);
}

// ---------------------------------------------------------------- copying and appending

char *strcpy(char *d, const char *s)
{
    if (!d)
        return 0;
    if (!s) {
        *d = 0;
        return d;
    }
    char *p = d;
    while ((*p++ = *s++))
        ;
    return d;
}

// When s has n or more bytes, d gets no zero byte.
char *strncpy(char *d, const char *s, size_t n)
{
    if (!d || n == 0)
        return d;
    size_t i = 0;
    if (s)
        for (; i < n && s[i]; i++)
            d[i] = s[i];
    fill_bytes((uchar *)d + i, 0, n - i);
    return d;
}

// A destination in the null page is taken as the empty string and is not
// written either: appending there could only fault or scribble over
// whatever the kernel maps low.
char *strcat(char *d, const char *s)
{
    if (!d)
        return 0;
    if (is_low(d))
        return d;
    char *p = d;
    while (*p)
        p++;
    if (s)
        while (*s)
            *p++ = *s++;
    *p = 0;
    return d;
}

char *strncat(char *d, const char *s, size_t n)
{
    if (!d)
        return 0;
    if (is_low(d) || !s || n == 0)
        return d;
    char *p = d;
    while (*p)
        p++;
    for (; n && *s; n--)
        *p++ = *s++;
    *p = 0;
    return d;
}

// The copy of at most max bytes of s, from the arena.
static char *dup_prefix(const char *s, size_t max)
{
    if (!s)
        return 0;
    size_t n = is_low(s) ? 0 : bounded_len(s, max);
    char *p = (char *)malloc(n + 1);
    if (!p)
        return 0;
#pragma clang loop vectorize(disable) interleave(disable)
    for (size_t i = 0; i < n; i++)
        p[i] = s[i];
    p[n] = 0;
    return p;
}

char *strdup(const char *s)
{
    return dup_prefix(s, (size_t)-1);
}

char *strndup(const char *s, size_t n)
{
    return dup_prefix(s, n);
}

// ---------------------------------------------------------------- searching

// Only the low 8 bits of ch count; 0 finds the terminator.
char *strchr(const char *s, int ch)
{
    if (!s)
        return 0;
    char c = (char)ch;
    for (;; s++) {
        if (*s == c)
            return (char *)s;
        if (!*s)
            return 0;
    }
}

char *strrchr(const char *s, int ch)
{
    if (!s)
        return 0;
    char c = (char)ch;
    const char *last = 0;
    for (;; s++) {
        if (*s == c)
            last = s;
        if (!*s)
            return (char *)last;
    }
}

char *strstr(const char *h, const char *n)
{
    if (!h || !n)
        return 0;
    if (!*n)
        return (char *)h;
    for (; *h; h++) {
        size_t i = 0;
        while (n[i] && h[i] == n[i])
            i++;
        if (!n[i])
            return (char *)h;
    }
    return 0;
}

// ---------------------------------------------------------------- tokens

char *strtok(char *s, const char *delims)
{
    static char *s_next;
    if (s)
        s_next = s;
    char *p = s_next;
    if (!p)
        return 0;
    bool split = delims && *delims;
    if (split)
        while (is_delim(*p, delims))
            p++;
    if (!*p) {
        s_next = 0;
        return 0;
    }
    char *tok = p;
    if (split) {
        for (; *p; p++) {
            if (is_delim(*p, delims)) {
                *p = 0;
                s_next = p + 1;
                return tok;
            }
        }
    }
    s_next = 0;
    return tok;
}

}
