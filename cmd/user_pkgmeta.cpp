// The package record, read by the system's package tools and never by this
// program: magic, version 1, the package name and "3", and an empty string
// closing the list. Internal linkage keeps it out of every other object's
// way; `used` and the link script's KEEP keep it in the image, and the label
// gives its symbol the plain name.
[[gnu::section(".zelkos.pkgmeta"), gnu::used, gnu::aligned(4)]]
static const char g_pkgmeta_0[19] asm("g_pkgmeta_0") =
    "ZPKG" "\x01\x00\x00\x00"
    "lumbrel\0"
    "3\0";
