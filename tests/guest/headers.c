/* The public headers compiled as C11: each twice (for its guard), all
 * together (for the shared typedefs), and every declaration used, so that a
 * C++-only construct or a clash between headers fails the build. */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

/* vsscanf needs a list that only a variadic function can make. */
static int headers_vsscanf(const char *s, ...)
{
    va_list ap;
    __builtin_va_start(ap, s);
    int n = vsscanf(s, "%d", ap);
    __builtin_va_end(ap);
    return n;
}

int headers_c_check(void)
{
    FILE *f = stdout;
    size_t n = strlen("x");
    off_t o = lseek(0, 0, 0);
    mode_t m = 0;
    int r = open("p", O_WRONLY | O_CREAT | O_TRUNC, 0644) + creat("p", m) + access("p", 0) +
            write(1, "x", n) + read(0, NULL, 0) + close(3) + getkey() + writefile("p", "", 0) +
            usleep(1) + (int)sleep(1) + mkdir("d", m) + unlink("p") + rmdir("d") +
            getcwd(NULL, 0) + zelkfs_stream_begin("p") + zelkfs_stream_write(0, "", 0) +
            zelkfs_stream_end(0) + chdir("/") + munmap(mmap(NULL, 1, 0, 0, -1, o), 1) +
            pipe(NULL) + mkfifo("p", m) + dup(1) + dup2(1, 2) + fd_set_inherit(1) +
            fd_set_stdio(0, 1, 1) + fd_set_nonblock(0, 1) + spawn("p", NULL, 0) +
            waitpid(0, NULL, 0) + spawn_ex("p", NULL, 0, 0, 0, 0, 0);
    r += (int)fwrite("x", 1, 1, f) + fputc('x', stderr) + putchar('x') + fputs("x", f) + puts("x") +
         fflush(f) + (f->kind == FILE_KIND_DESCRIPTOR) + (g_stdin.fd == 0) + (stdin == &g_stdin);
    setbuf(f, NULL);
    {
        char *mb;
        size_t ms;
        FILE *mem = open_memstream(&mb, &ms);
        FILE *in = fopen("p", "r");
        char c[1];
        long at = ftell(in);
        r += fclose(mem) + (int)fread(c, 1, 1, in) + fgetc(in) + getchar() + fseek(in, at, 0) +
             feof(in) + ferror(in);
        rewind(in);
        r += fclose(in);
    }
    r += sscanf("1", "%d", &r) + fscanf(f, "%d", &r) + headers_vsscanf("1", &r);
    if (r == EOF)
        _exit(errno);
    return r;
}
