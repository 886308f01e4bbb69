// Streams. The file follows the road the data takes: the stream records,
// the one sink every written byte passes through, and the output functions
// built on it.
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

// The end flag never stops a read: the kernel is asked every time, so a
// byte that arrives later is still delivered.
int fgetc(FILE *f)
{
    if (!f || f->kind != FILE_KIND_DESCRIPTOR)
        return -1;
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

// ---- Stream formatter -------------------------------------------------------

// ---- Scanners ---------------------------------------------------------------

} // extern "C"
