// Kernel service wrappers. The gate is int 0x80: number in eax, arguments
// in ebx, ecx, edx, esi, edi, ebp, result in eax. The kernel may clobber
// ebx, ecx and edx, so every helper names them as outputs.
#include <unistd.h>

namespace {

inline int syscall1(int nr, unsigned a)
{
    int ret;
    unsigned b = a, c, d;
    asm volatile("int $0x80" : "=a"(ret), "+b"(b), "=c"(c), "=d"(d) : "a"(nr) : "memory");
    return ret;
}

inline int syscall3(int nr, unsigned a, unsigned b, unsigned c)
{
    int ret;
    unsigned rb = a, rc = b, rd = c;
    asm volatile("int $0x80" : "=a"(ret), "+b"(rb), "+c"(rc), "+d"(rd) : "a"(nr) : "memory");
    return ret;
}

inline unsigned clamp(size_t n) { return n > 0x7fffffffu ? 0x7fffffffu : n; }

} // namespace

extern "C" {

int write(int fd, const void *buf, size_t count)
{
    if (!buf)
        return -1;
    return syscall3(1, fd, (unsigned)buf, clamp(count));
}

void _exit(int status)
{
    syscall1(2, status);
    for (;;)
        asm volatile("hlt");
}

}
