// One thin wrapper per kernel service. A wrapper refuses a few arguments
// itself (returning -1 without entering the kernel), clamps byte counts,
// loads the registers and hands back whatever the kernel answered. None of
// them keeps state, retries or touches errno.
#include <unistd.h>

#include "gate.h"

namespace {

enum {
    SYS_WRITE = 1,
    SYS_EXIT = 2,
    SYS_READ = 3,
    SYS_OPEN = 4,   // access opens and closes
    SYS_CLOSE = 5,
    SYS_GETKEY = 6,
    SYS_WRITEFILE = 21,
    SYS_USLEEP = 22,
    SYS_MKDIR = 49,
    SYS_UNLINK = 50,
    SYS_RMDIR = 51,
    SYS_GETCWD = 52,
    SYS_ZELKFS_STREAM_BEGIN = 53,
    SYS_ZELKFS_STREAM_WRITE = 54,
    SYS_ZELKFS_STREAM_END = 55,
    SYS_CHDIR = 95,
    SYS_MMAP = 98,
    SYS_MUNMAP = 99,
    SYS_LSEEK = 110,
    SYS_PIPE = 124,
    SYS_MKFIFO = 125,
    SYS_DUP = 126,
    SYS_DUP2 = 127,
    SYS_FD_SET_INHERIT = 128,
    SYS_FD_SET_STDIO = 129,
    SYS_FD_SET_NONBLOCK = 130,
    SYS_SPAWN = 131,
    SYS_WAITPID = 132,
    SYS_SPAWN_EX = 150,
};

// The kernel takes signed counts. The test is unsigned on purpose: a count
// a caller computed as a negative number is cut down, not refused.
inline gate_word clamp_count(size_t n)
{
    return n > 0x7fffffffu ? 0x7fffffffu : n;
}

} // namespace

extern "C" {

int write(int fd, const void *buf, size_t count)
{
    if (!buf)
        return -1;
    return gate3(SYS_WRITE, fd, gate_addr(buf), clamp_count(count));
}

void _exit(int status)
{
    gate1(SYS_EXIT, status);
    // The kernel never resumes a process that asked to end; should it ever,
    // park the processor rather than return into a caller that expects not
    // to be returned to.
    for (;;)
        asm volatile("hlt");
}

int read(int fd, void *buf, size_t count)
{
    if (!buf)
        return -1;
    return gate3(SYS_READ, fd, gate_addr(buf), clamp_count(count));
}

// The mode is accepted for the customary signature but never reaches the
// kernel; the same holds for mkdir and mkfifo.
int access(const char *path, int)
{
    if (!path)
        return -1;
    int fd = gate3(SYS_OPEN, gate_addr(path), 0, 0);
    if (fd < 0)
        return -1;
    // Existence is what was asked; a failing close does not change it.
    gate1(SYS_CLOSE, fd);
    return 0;
}

int close(int fd)
{
    return gate1(SYS_CLOSE, fd);
}

int getkey(void)
{
    return gate0(SYS_GETKEY);
}

int writefile(const char *path, const void *buf, size_t len)
{
    if (!path || !buf)
        return -1;
    return gate3(SYS_WRITEFILE, gate_addr(path), gate_addr(buf), clamp_count(len));
}

// Both sleeps report 0 whatever the kernel says: there is no early wake-up
// to report.
int usleep(unsigned int microseconds)
{
    gate1(SYS_USLEEP, microseconds);
    return 0;
}

// The product wraps modulo 2^32: a caller asking for more than about 71
// minutes gets the wrapped duration.
unsigned int sleep(unsigned int seconds)
{
    gate1(SYS_USLEEP, seconds * 1000000u);
    return 0;
}

int mkdir(const char *path, mode_t)
{
    if (!path)
        return -1;
    return gate1(SYS_MKDIR, gate_addr(path));
}

int unlink(const char *path)
{
    if (!path)
        return -1;
    return gate1(SYS_UNLINK, gate_addr(path));
}

int rmdir(const char *path)
{
    if (!path)
        return -1;
    return gate1(SYS_RMDIR, gate_addr(path));
}

int getcwd(char *buf, size_t size)
{
    if (!buf || size == 0)
        return -1;
    return gate3(SYS_GETCWD, gate_addr(buf), clamp_count(size), 0);
}

int zelkfs_stream_begin(const char *path)
{
    if (!path)
        return -1;
    return gate1(SYS_ZELKFS_STREAM_BEGIN, gate_addr(path));
}

int zelkfs_stream_write(int first, const void *buf, size_t len)
{
    if (!buf)
        return -1;
    return gate3(SYS_ZELKFS_STREAM_WRITE, first, gate_addr(buf), clamp_count(len));
}

int zelkfs_stream_end(int first)
{
    return gate1(SYS_ZELKFS_STREAM_END, first);
}

int chdir(const char *path)
{
    if (!path)
        return -1;
    return gate1(SYS_CHDIR, gate_addr(path));
}

// The kernel's -1 and the refusal are the same value, all bits set.
void *mmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset)
{
    if (length == 0)
        return (void *)-1;
    gate_word r = gate6(SYS_MMAP, gate_addr(addr), length, prot, flags, fd, offset);
    return (void *)(unsigned long)r;
}

int munmap(void *addr, size_t length)
{
    return gate3(SYS_MUNMAP, gate_addr(addr), length, 0);
}

off_t lseek(int fd, off_t offset, int whence)
{
    return gate3(SYS_LSEEK, fd, offset, whence);
}

int pipe(int fds[2])
{
    if (!fds)
        return -1;
    return gate1(SYS_PIPE, gate_addr(fds));
}

int mkfifo(const char *path, mode_t)
{
    if (!path)
        return -1;
    return gate1(SYS_MKFIFO, gate_addr(path));
}

int dup(int fd)
{
    return gate1(SYS_DUP, fd);
}

int dup2(int oldfd, int newfd)
{
    return gate3(SYS_DUP2, oldfd, newfd, 0);
}

int fd_set_inherit(int flag)
{
    return gate1(SYS_FD_SET_INHERIT, flag != 0);
}

int fd_set_stdio(int first, int second, int third)
{
    return gate3(SYS_FD_SET_STDIO, first, second, third);
}

int fd_set_nonblock(int fd, int flag)
{
    return gate3(SYS_FD_SET_NONBLOCK, fd, flag != 0, 0);
}

int spawn(const void *first, const void *second, int third)
{
    if (!first || third < 0)
        return -1;
    return gate3(SYS_SPAWN, gate_addr(first), gate_addr(second), third);
}

int waitpid(int pid, int *status, int options)
{
    return gate3(SYS_WAITPID, pid, gate_addr(status), options);
}

// The request lives in this frame only for the length of the call; the
// kernel reads it through ebx before returning.
int spawn_ex(const void *first, const void *second, int third, int fourth, int fifth, int sixth,
             int seventh)
{
    if (!first || third < 0)
        return -1;
    gate_word request[7] = {
        gate_addr(first), gate_addr(second), (gate_word)third, (gate_word)fourth,
        (gate_word)fifth, (gate_word)sixth, seventh != 0,
    };
    return gate1(SYS_SPAWN_EX, gate_addr(request));
}

} // extern "C"
