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

} // extern "C"
