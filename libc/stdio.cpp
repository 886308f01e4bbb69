// Streams. The file follows the road the data takes: the stream records,
// the one sink every written byte passes through, and the output functions
// built on it.
#include <stdio.h>
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

// Every stream write ends here. Not in the header: it is this file's
// internal road, kept external only so that it has one body to test.
int file_write_bytes(FILE *f, const void *data, size_t n)
{
    if (!f || !data)
        return -1;
    if (n == 0)
        return 0;
    if (f->kind != FILE_KIND_DESCRIPTOR)
        return -1;  // the buffer road of memory and deferred streams goes here

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

// ---- Reading, position and status -------------------------------------------

// ---- Buffer formatter -------------------------------------------------------

// ---- Stream formatter -------------------------------------------------------

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

    unsigned char c;
    for (;;) {
        int r = read(f->fd, &c, 1);
        if (r <= 0) {
            f->eof = 1;
            return -1;
        }
        f->pos = (int)((unsigned)f->pos + (unsigned)r);
        if (r != 1)
            return -1;
        if (!scan_is_stream_space(c))
            break;
    }

    char token[256];
    unsigned n = 0;
    token[n++] = (char)c;
    for (;;) {
        int r = read(f->fd, &c, 1);
        if (r <= 0) {
            f->eof = 1;
            break;
        }
        f->pos = (int)((unsigned)f->pos + (unsigned)r);
        if (r != 1 || scan_is_stream_space(c))
            break;
        if (n < sizeof token - 1)
            token[n++] = (char)c;
    }
    token[n] = 0;

    va_list ap;
    __builtin_va_start(ap, format);
    int result = vsscanf(token, format, ap);
    __builtin_va_end(ap);
    return result;
}

} // extern "C"
