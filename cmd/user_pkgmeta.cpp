// The package record, read by the system's package tools.
namespace {

[[gnu::section(".zelkos.pkgmeta"), gnu::used, gnu::aligned(4)]]
const char g_pkgmeta_0[19] =
    "ZPKG" "\x01\x00\x00\x00"
    "lumbrel\0"
    "3\0";

} // namespace
