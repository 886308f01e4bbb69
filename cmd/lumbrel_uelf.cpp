// lumbrel: ask the kernel to switch on its paging guards and say whether
// it did.
#include <stdio.h>

// The command record, read by the system's tools and never by this program:
// magic, version 1, the description and the name, and an empty string
// closing the list. The array's own terminator is that last zero byte. The
// label gives the symbol its plain name instead of a mangled one.
[[gnu::section(".zelkos.cmdmeta"), gnu::used, gnu::aligned(32)]]
static const char g_cmdmeta_0[49] asm("g_cmdmeta_0") =
    "ZCMD" "\x01\x00\x00\x00"
    "Install optional paging guards.\0"
    "lumbrel\0";

// The one kernel call the runtime has no wrapper for: the command makes it
// itself, with no argument registers.
static constexpr int SYS_PAGING_GUARDS = 101;

extern "C" int main(int, char **)
{
    int ret;
    asm volatile("int $0x80" : "=a"(ret) : "a"(SYS_PAGING_GUARDS) : "ebx", "ecx", "edx", "memory");
    if (ret == 0) {
        puts("Requested paging guards: null-page NX and .text/.rodata RO.");
        return 0;
    }
    puts("lumbrel: failed");
    return 1;
}
