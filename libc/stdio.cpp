// Streams. The file follows the road the data takes: the stream records,
// the one sink every written byte passes through, the output functions built
// on it, memory and deferred-file streams, reading and positioning, then the
// two formatters (separate engines that share nothing) and the scanners.
#include <stdio.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

extern "C" {

// ---- The standard streams ------------------------------------------------

// Standard error shares the console with standard output: only descriptor 1
// can be written through a stream.
FILE g_stdin = {FILE_KIND_DESCRIPTOR, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
FILE g_stdout = {FILE_KIND_DESCRIPTOR, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0};
FILE g_stderr = {FILE_KIND_DESCRIPTOR, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0};
FILE *stdin = &g_stdin;
FILE *stdout = &g_stdout;
FILE *stderr = &g_stderr;

// ---- The sink ---------------------------------------------------------------

// The smallest capacity, from 256 doubling (or from double the current
// one), that holds need bytes. False when it would pass 2^32 - 1: an
// arena with more room than ours must not see a wrapped, smaller size.
static bool buffer_capacity(size_t cap, size_t need, size_t *out)
{
    size_t c = 256;
    if (cap != 0) {
        if (cap > (size_t)-1 / 2)
            return false;
        c = cap * 2;
    }
    while (c < need) {
        if (c > (size_t)-1 / 2)
            return false;
        c *= 2;
    }
    *out = c;
    return true;
}

// The buffer road of memory and deferred-file streams. Every refusal comes
// before the record is touched, so a failed write leaves the stream, its
// bytes and the caller's slots exactly as they were, and still usable.
static int buffer_write(FILE *f, const void *data, size_t n)
{
    // need = len + n + 1, for the zero that always follows the data; it
    // must not wrap past 2^32 - 1.
    if (n >= (size_t)-1 - f->len)
        return -1;
    size_t need = f->len + n + 1;
    if (f->cap < need) {
        size_t cap;
        if (!buffer_capacity(f->cap, need, &cap))
            return -1;
        unsigned char *nb = (unsigned char *)realloc(f->buf, cap);
        if (!nb)
            return -1;
        f->buf = nb;
        f->cap = cap;
    }
    memcpy(f->buf + f->len, data, n);
    f->len += n;
    f->buf[f->len] = 0;
    if (f->kind == FILE_KIND_MEMORY && f->user_buf && f->user_size) {
        *f->user_buf = (char *)f->buf;
        *f->user_size = f->len;
    }
    return 0;
}

// Every stream write ends here. Not in the header: it is this file's
// internal road, kept external only so that it has one body to test.
int file_write_bytes(FILE *f, const void *data, size_t n)
{
    if (!f || !data)
        return -1;
    if (n == 0)
        return 0;
    if (f->kind != FILE_KIND_DESCRIPTOR)
        return buffer_write(f, data, n);

    // Descriptor road. Reading streams (stdin, files opened for reading)
    // end up here too and must not be written.
    if (f->fd != 1)
        return -1;
    const unsigned char *p = (const unsigned char *)data;
    size_t done = 0;
    while (done < n) {
        size_t rest = n - done;
        // The kernel may take only part; ask again for the rest. A refusal
        // leaves what earlier passes wrote on the console.
        int r = write(1, p + done, rest > 0x7fffffffu ? 0x7fffffffu : rest);
        if (r <= 0)
            return -1;
        done += (size_t)r;
    }
    return 0;
}

// ---- Output functions -------------------------------------------------------

size_t fwrite(const void *ptr, size_t size, size_t count, FILE *f)
{
    if (!ptr || !f || size == 0 || count == 0)
        return 0;
    size_t total;
    if (__builtin_mul_overflow(size, count, &total))
        return 0;
    return file_write_bytes(f, ptr, total) == 0 ? count : 0;
}

// The character comes back as passed, not as the byte written, so fputc(-1)
// succeeds with a result that looks like failure.
int fputc(int ch, FILE *f)
{
    unsigned char b = (unsigned char)ch;
    return file_write_bytes(f, &b, 1) == 0 ? ch : -1;
}

int putchar(int ch)
{
    return fputc(ch, stdout);
}

int fputs(const char *s, FILE *f)
{
    if (!s)
        return -1;
    size_t n = strlen(s);
    return file_write_bytes(f, s, n) == 0 ? (int)n : -1;
}

// Text and newline are two sink calls; a failed text write skips the
// newline.
int puts(const char *s)
{
    if (!s)
        return -1;
    if (file_write_bytes(stdout, s, strlen(s)) != 0)
        return -1;
    return file_write_bytes(stdout, "\n", 1) == 0 ? 0 : -1;
}

// Nothing is buffered, so there is nothing to flush or to buffer with.
int fflush(FILE *)
{
    return 0;
}

void setbuf(FILE *, char *)
{
}

// ---- Memory and deferred-file streams --------------------------------------

// Both slots are cleared at once, so the caller never sees a stale buffer
// before the first write publishes one.
FILE *open_memstream(char **bufp, size_t *sizep)
{
    if (!bufp || !sizep)
        return 0;
    FILE *f = (FILE *)calloc(1, sizeof(FILE));
    if (!f)
        return 0;
    f->kind = FILE_KIND_MEMORY;
    f->user_buf = bufp;
    f->user_size = sizep;
    *bufp = 0;
    *sizep = 0;
    return f;
}

// Only the mode's first byte counts. "-" (or no path at all) names the
// standard stream of that direction, handed out as the pointer now holds
// it. Writing makes a deferred file: nothing reaches the file system, not
// even a truncation, until fclose stores it whole.
FILE *fopen(const char *path, const char *mode)
{
    if (!mode)
        return 0;
    if (!path || strcmp(path, "-") == 0)
        return mode[0] == 'r' ? stdin : mode[0] == 'w' ? stdout : 0;
    if (mode[0] == 'r') {
        int fd = open(path, O_RDONLY);
        if (fd < 0)
            return 0;
        FILE *f = (FILE *)calloc(1, sizeof(FILE));
        if (!f) {
            close(fd);
            return 0;
        }
        f->kind = FILE_KIND_DESCRIPTOR;
        f->fd = fd;
        return f;
    }
    if (mode[0] == 'w') {
        FILE *f = (FILE *)calloc(1, sizeof(FILE));
        if (!f)
            return 0;
        f->kind = FILE_KIND_DEFERRED;
        f->path = strdup(path);
        if (!f->path) {
            free(f);
            return 0;
        }
        return f;
    }
    return 0;
}

// The standard streams are never closed, and neither is any descriptor
// from 0 to 2. A deferred file is stored in one call, its bytes without the
// zero that follows them; its memory goes back whether or not the store
// worked. A memory stream's buffer is the caller's and stays.
int fclose(FILE *f)
{
    if (!f)
        return -1;
    if (f == stdin || f == stdout || f == stderr)
        return 0;
    int result = 0;
    if (f->kind == FILE_KIND_DESCRIPTOR) {
        if (f->fd > 2)
            result = close(f->fd);
    } else if (f->kind == FILE_KIND_DEFERRED) {
        if (!f->path)
            result = -1;
        else if (writefile(f->path, f->buf ? (const void *)f->buf : "", f->len) < 0)
            result = -1;
    }
    if (f->buf && f->kind != FILE_KIND_MEMORY)
        free(f->buf);
    if (f->path)
        free(f->path);
    free(f);
    return result;
}

// ---- Reading, position and status -------------------------------------------

// One kernel call, no loop: a short read is reported as it came. The bytes
// of a trailing partial item land in the caller's buffer and count in pos,
// but not in the result.
size_t fread(void *ptr, size_t size, size_t count, FILE *f)
{
    if (!ptr || !f || size == 0 || count == 0 || f->kind != FILE_KIND_DESCRIPTOR)
        return 0;
    size_t total;
    if (__builtin_mul_overflow(size, count, &total))
        return 0;
    int r = read(f->fd, ptr, total);
    if (r <= 0) {
        f->eof = 1;
        return 0;
    }
    // pos is the runtime's own count and wraps rather than trapping.
    f->pos = (int)((unsigned)f->pos + (unsigned)r);
    if ((size_t)r < total)
        f->eof = 1;
    return (size_t)r / size;
}

// One byte from a descriptor stream in one kernel call, keeping pos and the
// end flag; fgetc and fscanf both read this way. The end flag never stops a
// read: the kernel is asked every time, so a byte that arrives later is
// still delivered.
static int stream_read_byte(FILE *f)
{
    unsigned char b;
    int r = read(f->fd, &b, 1);
    if (r <= 0) {
        f->eof = 1;
        return -1;
    }
    f->pos = (int)((unsigned)f->pos + (unsigned)r);
    if (r != 1)
        return -1;
    return b;
}

int fgetc(FILE *f)
{
    if (!f || f->kind != FILE_KIND_DESCRIPTOR)
        return -1;
    return stream_read_byte(f);
}

int getchar(void)
{
    return fgetc(stdin);
}

// Positioning is refused on descriptors 0 to 2, which includes every
// standard stream.
static bool can_seek(const FILE *f)
{
    return f && f->kind == FILE_KIND_DESCRIPTOR && f->fd > 2;
}

// A refused seek leaves pos and the end flag as they were.
int fseek(FILE *f, long offset, int whence)
{
    if (!can_seek(f))
        return -1;
    off_t r = lseek(f->fd, offset, whence);
    if (r < 0)
        return -1;
    f->eof = 0;
    f->pos = (int)r;
    return 0;
}

// The runtime's own count: the kernel is not asked.
long ftell(FILE *f)
{
    if (!can_seek(f))
        return -1;
    return f->pos;
}

// Both flags are cleared on every stream, even when there is nothing to
// seek or the seek is refused.
void rewind(FILE *f)
{
    if (!f)
        return;
    if (can_seek(f)) {
        off_t r = lseek(f->fd, 0, 0);
        if (r >= 0)
            f->pos = (int)r;
    }
    f->error = 0;
    f->eof = 0;
}

// A missing stream reads as both ended and failed.
int feof(FILE *f)
{
    return f ? f->eof : 1;
}

int ferror(FILE *f)
{
    return f ? f->error : 1;
}

// ---- Buffer formatter -------------------------------------------------------

// Digits of v in base 10 or 16, most significant first, with no terminator.
// The value is 64-bit so that "ll" prints in full; every other conversion
// hands it a 32-bit value.
void snbuf_render_unsigned(char *scratch, unsigned *count, unsigned long long v, unsigned base,
                           int upper)
{
    const char *digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    unsigned n = 0;
    do {
        scratch[n++] = digits[v % base];
        v /= base;
    } while (v != 0);
    for (unsigned i = 0, j = n - 1; i < j; i++, j--) {
        char c = scratch[i];
        scratch[i] = scratch[j];
        scratch[j] = c;
    }
    *count = n;
}

namespace {

// Where the buffer formatter's characters go. n counts every character
// produced, stored or not: it is the call's result.
struct snbuf {
    char *buf;
    size_t size;
    size_t n;
};

// One directive of the buffer formatter.
struct snbuf_directive {
    bool left, zero, plus;
    int width, prec;
};

} // namespace

// The last byte of the buffer is kept for the terminator. Written as
// n < size - 1 rather than n + 1 < size so that a count which has wrapped
// can never store outside the buffer.
static void snbuf_put(snbuf *o, char c)
{
    if (o->buf && o->size != 0 && o->n < o->size - 1)
        o->buf[o->n] = c;
    o->n++;
}

static void snbuf_repeat(snbuf *o, char c, unsigned count)
{
    while (count--)
        snbuf_put(o, c);
}

// Digits accumulate in unsigned arithmetic: a width or precision too long
// for 32 bits has no meaning, but it must not be undefined behaviour either.
static int snbuf_number(const char **fmt)
{
    unsigned v = 0;
    while (**fmt >= '0' && **fmt <= '9')
        v = v * 10 + unsigned(*(*fmt)++ - '0');
    return (int)v;
}

// With a precision no byte beyond it is read, so a character array bounded
// by the precision need not be terminated. Addresses in the null page are
// empty strings, as the guarded strlen has them.
static void snbuf_string(snbuf *o, const char *s, const snbuf_directive *d)
{
    if (!s)
        s = "(null)";
    unsigned max = d->prec >= 0 ? (unsigned)d->prec : 0xffffffffu;
    unsigned len = 0;
    if ((size_t)s >= 4096)
        while (len < max && s[len])
            len++;
    unsigned pad = d->width > 0 && (unsigned)d->width > len ? (unsigned)d->width - len : 0;
    if (!d->left)
        snbuf_repeat(o, ' ', pad);
    for (unsigned i = 0; i < len; i++)
        snbuf_put(o, s[i]);
    if (d->left)
        snbuf_repeat(o, ' ', pad);
}

static void snbuf_integer(snbuf *o, unsigned long long mag, char sign, unsigned base, int upper,
                          const snbuf_directive *d)
{
    char digits[20];
    unsigned count;
    snbuf_render_unsigned(digits, &count, mag, base, upper);
    unsigned prec = d->prec > 0 ? (unsigned)d->prec : 0;
    unsigned zeros = prec > count ? prec - count : 0;
    unsigned field = count + zeros + (sign ? 1 : 0);
    unsigned pad = d->width > 0 && (unsigned)d->width > field ? (unsigned)d->width - field : 0;
    // Left alignment beats the zero flag, and so does any precision.
    bool zero_pad = d->zero && !d->left && d->prec < 0;

    if (!d->left && !zero_pad)
        snbuf_repeat(o, ' ', pad);
    if (sign)
        snbuf_put(o, sign);
    if (zero_pad)
        snbuf_repeat(o, '0', pad);
    snbuf_repeat(o, '0', zeros);
    for (unsigned i = 0; i < count; i++)
        snbuf_put(o, digits[i]);
    if (d->left)
        snbuf_repeat(o, ' ', pad);
}

int vsnprintf(char *buf, size_t size, const char *fmt, va_list ap)
{
    snbuf o = {buf, size, 0};
    while (fmt && *fmt) {
        if (*fmt != '%') {
            snbuf_put(&o, *fmt++);
            continue;
        }
        fmt++;
        snbuf_directive d = {false, false, false, 0, -1};
        for (;; fmt++) {
            if (*fmt == '-')
                d.left = true;
            else if (*fmt == '0')
                d.zero = true;
            else if (*fmt == '+')
                d.plus = true;
            else
                break;
        }
        if (*fmt == '*') {
            d.width = __builtin_va_arg(ap, int);
            fmt++;
        } else {
            d.width = snbuf_number(&fmt);
        }
        if (*fmt == '.') {
            fmt++;
            if (*fmt == '*') {
                d.prec = __builtin_va_arg(ap, int);
                fmt++;
            } else {
                d.prec = snbuf_number(&fmt);
            }
        }
        // "ll" takes a 64-bit argument so that the arguments after it stay
        // in step; "l" and "z" change nothing.
        bool ll = false;
        if (fmt[0] == 'l' && fmt[1] == 'l') {
            ll = true;
            fmt += 2;
        } else if (*fmt == 'l' || *fmt == 'z') {
            fmt++;
        }

        const char conv = *fmt;
        if (conv == '\0')
            break;
        fmt++;
        switch (conv) {
        case '%':
            snbuf_put(&o, '%');
            break;
        case 'c':
            snbuf_put(&o, (char)__builtin_va_arg(ap, int));
            break;
        case 's':
            snbuf_string(&o, __builtin_va_arg(ap, const char *), &d);
            break;
        case 'd':
        case 'i': {
            long long v = ll ? __builtin_va_arg(ap, long long) : __builtin_va_arg(ap, int);
            // The magnitude is taken in unsigned arithmetic, where the most
            // negative value has one.
            if (v < 0)
                snbuf_integer(&o, 0 - (unsigned long long)v, '-', 10, 0, &d);
            else
                snbuf_integer(&o, (unsigned long long)v, d.plus ? '+' : 0, 10, 0, &d);
            break;
        }
        case 'u':
        case 'x':
        case 'X': {
            unsigned long long v =
                ll ? __builtin_va_arg(ap, unsigned long long) : __builtin_va_arg(ap, unsigned);
            snbuf_integer(&o, v, 0, conv == 'u' ? 10 : 16, conv == 'X', &d);
            break;
        }
        case 'p': {
            unsigned long long v =
                ll ? __builtin_va_arg(ap, unsigned long long) : __builtin_va_arg(ap, unsigned);
            const snbuf_directive plain = {false, false, false, 0, -1};
            snbuf_put(&o, '0');
            snbuf_put(&o, 'x');
            snbuf_integer(&o, v, 0, 16, 0, &plain);
            break;
        }
        default:
            snbuf_put(&o, '%');
            snbuf_put(&o, conv);
            break;
        }
    }
    if (buf && size != 0)
        buf[o.n < size ? o.n : size - 1] = '\0';
    return (int)o.n;
}

int snprintf(char *buf, size_t size, const char *fmt, ...)
{
    va_list ap;
    __builtin_va_start(ap, fmt);
    int r = vsnprintf(buf, size, fmt, ap);
    __builtin_va_end(ap);
    return r;
}

// The unsized forms trust the caller's buffer, but never past 64 KiB.
int vsprintf(char *buf, const char *fmt, va_list ap)
{
    return vsnprintf(buf, 0x10000, fmt, ap);
}

int sprintf(char *buf, const char *fmt, ...)
{
    va_list ap;
    __builtin_va_start(ap, fmt);
    int r = vsnprintf(buf, 0x10000, fmt, ap);
    __builtin_va_end(ap);
    return r;
}

// ---- Stream formatter -------------------------------------------------------

// Unbuffered by design: each piece goes to the sink as it is produced, so a
// failure part-way leaves the earlier pieces in the stream. Every helper
// returns the sink's 0 or -1 and adds what it sent to *count.

static int pf_byte(FILE *f, char c, unsigned *count)
{
    if (file_write_bytes(f, &c, 1) != 0)
        return -1;
    (*count)++;
    return 0;
}

// One sink call per byte: pad spaces and precision zeros are not batched.
static int pf_repeat(FILE *f, char c, unsigned n, unsigned *count)
{
    while (n--)
        if (pf_byte(f, c, count) != 0)
            return -1;
    return 0;
}

static int pf_number(const char **fmt)
{
    unsigned v = 0;
    while (**fmt >= '0' && **fmt <= '9')
        v = v * 10 + unsigned(*(*fmt)++ - '0');
    return (int)v;
}

static int pf_string(FILE *f, const char *s, int width, int prec, unsigned *count)
{
    if (!s)
        s = "(null)";
    unsigned len;
    if (prec < 0) {
        len = strlen(s);
    } else {
        // No byte beyond the precision is read, so an array bounded by the
        // precision need not be terminated. The null page is an empty
        // string here too, as strlen has it.
        len = 0;
        if ((size_t)s >= 4096)
            while (len < (unsigned)prec && s[len])
                len++;
    }
    if (width > 0 && (unsigned)width > len && pf_repeat(f, ' ', (unsigned)width - len, count) != 0)
        return -1;
    if (file_write_bytes(f, s, len) != 0)
        return -1;
    *count += len;
    return 0;
}

static int pf_integer(FILE *f, unsigned long long mag, bool neg, bool ptr, unsigned base, int width,
                      int prec, unsigned *count)
{
    char scratch[32];
    char *digits = scratch + sizeof scratch;
    do {
        *--digits = "0123456789abcdef"[mag % base];
        mag /= base;
    } while (mag != 0);
    unsigned ndigits = unsigned(scratch + sizeof scratch - digits);
    unsigned zeros = prec > 0 && (unsigned)prec > ndigits ? (unsigned)prec - ndigits : 0;
    unsigned field = (neg ? 1 : 0) + (ptr ? 2 : 0) + zeros + ndigits;

    if (width > 0 && (unsigned)width > field && pf_repeat(f, ' ', (unsigned)width - field, count) != 0)
        return -1;
    if (neg && pf_byte(f, '-', count) != 0)
        return -1;
    if (ptr && (pf_byte(f, '0', count) != 0 || pf_byte(f, 'x', count) != 0))
        return -1;
    if (pf_repeat(f, '0', zeros, count) != 0)
        return -1;
    if (file_write_bytes(f, digits, ndigits) != 0)
        return -1;
    *count += ndigits;
    return 0;
}

int vfprintf(FILE *f, const char *fmt, va_list ap)
{
    if (!f || !fmt)
        return -1;

    // The console's attribute record: 0xFF and three argument bytes in one
    // write, only at the very start of a format and only on descriptor 1.
    // It is not counted as output.
    if (f->kind == FILE_KIND_DESCRIPTOR && f->fd == 1 && fmt[0] == '%' && fmt[1] == 'c') {
        unsigned char rec[4];
        rec[0] = 0xFF;
        rec[1] = (unsigned char)__builtin_va_arg(ap, int);
        rec[2] = (unsigned char)__builtin_va_arg(ap, int);
        rec[3] = (unsigned char)__builtin_va_arg(ap, int);
        if (file_write_bytes(f, rec, 4) != 0)
            return -1;
        fmt += 2;
    }

    unsigned count = 0;
    while (*fmt) {
        if (*fmt != '%') {
            if (pf_byte(f, *fmt++, &count) != 0)
                return -1;
            continue;
        }
        fmt++;
        // No flags here: a leading "0" is the first digit of the width.
        int width, prec = -1;
        if (*fmt == '*') {
            width = __builtin_va_arg(ap, int);
            fmt++;
        } else {
            width = pf_number(&fmt);
        }
        if (*fmt == '.') {
            fmt++;
            if (*fmt == '*') {
                prec = __builtin_va_arg(ap, int);
                fmt++;
            } else {
                prec = pf_number(&fmt);
            }
        }
        bool ll = false;
        if (*fmt == 'l') {
            fmt++;
            if (*fmt == 'l') {
                ll = true;
                fmt++;
            }
        }

        const char conv = *fmt;
        if (conv == '\0')
            break;
        fmt++;
        int r;
        switch (conv) {
        case '%':
            r = pf_byte(f, '%', &count);
            break;
        case 'c':
            r = pf_byte(f, (char)__builtin_va_arg(ap, int), &count);
            break;
        case 's':
            r = pf_string(f, __builtin_va_arg(ap, const char *), width, prec, &count);
            break;
        case 'd':
        case 'i': {
            long long v = ll ? __builtin_va_arg(ap, long long) : __builtin_va_arg(ap, int);
            // Negated in unsigned arithmetic, where the most negative value
            // has a magnitude.
            unsigned long long mag = v < 0 ? 0 - (unsigned long long)v : (unsigned long long)v;
            r = pf_integer(f, mag, v < 0, false, 10, width, prec, &count);
            break;
        }
        case 'u':
        case 'x':
        case 'p': {
            unsigned long long v =
                ll ? __builtin_va_arg(ap, unsigned long long) : __builtin_va_arg(ap, unsigned);
            r = pf_integer(f, v, false, conv == 'p', conv == 'u' ? 10 : 16, width, prec, &count);
            break;
        }
        default:
            r = pf_byte(f, '%', &count);
            if (r == 0)
                r = pf_byte(f, conv, &count);
            break;
        }
        if (r != 0)
            return -1;
    }
    return (int)count;
}

int fprintf(FILE *f, const char *fmt, ...)
{
    va_list ap;
    __builtin_va_start(ap, fmt);
    int r = vfprintf(f, fmt, ap);
    __builtin_va_end(ap);
    return r;
}

int printf(const char *fmt, ...)
{
    va_list ap;
    __builtin_va_start(ap, fmt);
    int r = vfprintf(stdout, fmt, ap);
    __builtin_va_end(ap);
    return r;
}

// ---- Scanners ---------------------------------------------------------------

// Each use of whitespace in the scanners has its own set: a format directive
// and the input it skips take LF, the skip before a conversion does not, a
// token also ends at the zero byte, and a stream token ends at CR as well.
static bool scan_is_directive_space(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\n';
}

static bool scan_is_field_space(unsigned char c)
{
    return c == ' ' || c == '\t';
}

static bool scan_ends_token(unsigned char c)
{
    return c == 0 || c == ' ' || c == '\t' || c == '\n';
}

static bool scan_is_stream_space(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// 16 for a byte that is no digit at all, so that one test against the base
// rejects it.
static unsigned scan_digit(unsigned char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return 16;
}

int vsscanf(const char *input, const char *format, va_list ap)
{
    const unsigned char *in = (const unsigned char *)input;
    const unsigned char *fmt = (const unsigned char *)format;
    int count = 0;

    for (;;) {
        if (*fmt == 0)
            return count;
        if (scan_is_directive_space(*fmt)) {
            while (scan_is_directive_space(*in))
                in++;
            while (scan_is_directive_space(*fmt))
                fmt++;
            continue;
        }
        if (*fmt != '%') {
            // The format byte is not zero here, so the end of the input
            // never matches it.
            if (*in != *fmt)
                return count;
            in++;
            fmt++;
            continue;
        }

        fmt++;
        bool suppress = false;
        if (*fmt == '*') {
            suppress = true;
            fmt++;
        }
        // A width bounds what %s copies, so that input cannot run past the
        // buffer the caller sized; the other conversions read past it. A
        // long run of digits saturates rather than wrap to a small bound.
        unsigned width = 0;
        bool has_width = false;
        while (*fmt >= '0' && *fmt <= '9') {
            unsigned d = *fmt - '0';
            width = width > (0xffffffffu - d) / 10 ? 0xffffffffu : width * 10 + d;
            has_width = true;
            fmt++;
        }

        switch (*fmt) {
        case '%':
            if (*in != '%')
                return count;
            in++;
            break;

        case 'c':
            if (*in == 0)
                return count;
            if (!suppress) {
                *__builtin_va_arg(ap, char *) = (char)*in;
                count++;
            }
            in++;
            break;

        case 's': {
            while (scan_is_field_space(*in))
                in++;
            if (*in == 0)
                return count;
            // The slot is taken even when it holds a null pointer: the
            // token is then consumed without being stored or counted.
            char *dst = suppress ? 0 : __builtin_va_arg(ap, char *);
            unsigned n = 0;
            while (!scan_ends_token(*in) && (!has_width || n < width)) {
                if (dst)
                    dst[n] = (char)*in;
                n++;
                in++;
            }
            if (dst) {
                dst[n] = 0;
                count++;
            }
            break;
        }

        case 'u': {
            while (scan_is_field_space(*in))
                in++;
            if (scan_digit(*in) >= 10)
                return count;
            unsigned v = 0;
            while (scan_digit(*in) < 10)
                v = v * 10 + scan_digit(*in++);
            if (!suppress) {
                *__builtin_va_arg(ap, unsigned *) = v;
                count++;
            }
            break;
        }

        case 'd':
        case 'i':
        case 'x':
        case 'X': {
            unsigned base = (*fmt == 'x' || *fmt == 'X') ? 16 : 10;
            while (scan_is_field_space(*in))
                in++;
            bool negative = false;
            if (*in == '-' || *in == '+') {
                negative = *in == '-';
                in++;
            }
            if (*fmt == 'i' && *in == '0') {
                // A lone '0' is an octal number, so it stays to be read
                // as the first digit.
                if (in[1] == 'x' || in[1] == 'X') {
                    in += 2;
                    base = 16;
                } else {
                    base = 8;
                }
            }
            if (*in == 0)
                return count;
            unsigned v = 0;
            bool any = false;
            while (scan_digit(*in) < base) {
                v = v * base + scan_digit(*in++);
                any = true;
            }
            if (!any)
                return count;
            if (!suppress) {
                *__builtin_va_arg(ap, unsigned *) = negative ? 0u - v : v;
                count++;
            }
            break;
        }

        default:
            return count;
        }
        fmt++;
    }
}

int sscanf(const char *input, const char *format, ...)
{
    va_list ap;
    __builtin_va_start(ap, format);
    int r = vsscanf(input, format, ap);
    __builtin_va_end(ap);
    return r;
}

// Reads one whitespace-delimited token, one byte per kernel call so that
// nothing beyond the byte that ends it leaves the descriptor, and scans it.
// A token longer than the buffer is still read to its end, keeping the first
// 255 bytes.
int fscanf(FILE *f, const char *format, ...)
{
    if (!f || !format || f->kind != FILE_KIND_DESCRIPTOR)
        return -1;

    int c;
    do {
        c = stream_read_byte(f);
        if (c < 0)
            return -1;
    } while (scan_is_stream_space((unsigned char)c));

    char token[256];
    unsigned n = 0;
    token[n++] = (char)c;
    while ((c = stream_read_byte(f)) >= 0 && !scan_is_stream_space((unsigned char)c))
        if (n < sizeof token - 1)
            token[n++] = (char)c;
    token[n] = 0;

    va_list ap;
    __builtin_va_start(ap, format);
    int result = vsscanf(token, format, ap);
    __builtin_va_end(ap);
    return result;
}

} // extern "C"
