#include <stdio.h>
#include <string.h>
#include <unistd.h>

extern "C" {

FILE g_stdin = {FILE_KIND_DESCRIPTOR, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
FILE g_stdout = {FILE_KIND_DESCRIPTOR, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0};
FILE g_stderr = {FILE_KIND_DESCRIPTOR, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0};
FILE *stdin = &g_stdin;
FILE *stdout = &g_stdout;
FILE *stderr = &g_stderr;

int file_write_bytes(FILE *f, const void *data, unsigned n)
{
    if (!f || !data)
        return -1;
    if (n == 0)
        return 0;
    if (f->kind != FILE_KIND_DESCRIPTOR || f->fd != 1)
        return -1;
    const unsigned char *p = (const unsigned char *)data;
    unsigned done = 0;
    while (done < n) {
        unsigned rest = n - done;
        int r = write(1, p + done, rest > 0x7fffffffu ? 0x7fffffffu : rest);
        if (r <= 0)
            return -1;
        done += (unsigned)r;
    }
    return 0;
}

int puts(const char *s)
{
    if (!s)
        return -1;
    if (file_write_bytes(stdout, s, strlen(s)) != 0)
        return -1;
    return file_write_bytes(stdout, "\n", 1) != 0 ? -1 : 0;
}

}
