// Formatted output: so far the 64-bit division that 64-bit digits need on
// i386.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "harness.hpp"

using namespace zt;

// ---- 64-bit division ----------------------------------------------------------

TEST(CompilerSupport, UnsignedDivisionAndRemainder)
{
    struct Row {
        uint64_t n, d;
    };
    const Row rows[] = {
        {0, 1},
        {UINT64_MAX, 10},
        {UINT64_MAX, 16},
        {0x123456789ABCDEFull, 0xFFFFFFFFull},
        {0xFFFFFFFF00000000ull, 3},
        {UINT64_MAX, 0x100000000ull},             // the smallest divisor over 32 bits
        {0xFEDCBA9876543210ull, 0x123456789ull},
        {UINT64_MAX, 0x8000000000000001ull},      // divisors with the top bit set
        {0x8000000000000000ull, 0x8000000000000000ull},
        {5, UINT64_MAX},
        {UINT64_MAX, UINT64_MAX},
    };
    Guest g;
    for (const Row &r : rows) {
        SCOPED_TRACE(std::to_string(r.n) + " / " + std::to_string(r.d));
        EXPECT_EQ(g.call64("__udivdi3", {Arg::u64(r.n), Arg::u64(r.d)}), r.n / r.d);
        EXPECT_EQ(g.call64("__umoddi3", {Arg::u64(r.n), Arg::u64(r.d)}), r.n % r.d);
    }
}
