// lumbrel: ask the kernel to switch on its paging guards and say whether
// it did.
#include <stdio.h>

namespace {

// Read by the system's tools, never by this program.
[[gnu::section(".zelkos.cmdmeta"), gnu::used, gnu::aligned(32)]]
const char g_cmdmeta_0[49] =
    "ZCMD" "\x01\x00\x00\x00"
    "Install optional paging guards.\0"
    "lumbrel\0";

constexpr int SYS_PAGING_GUARDS = 101;

} // namespace

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
