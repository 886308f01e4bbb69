// The arena allocator, process exit and the random generator, run as i386
// code in the stand-in.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.hpp"

namespace {

using zt::Arg;
using zt::Guest;

constexpr uint32_t kHeapSize = 0x100000;
constexpr uint32_t kENOMEM = 12;

uint32_t span(uint32_t m) { return (m + 11) & ~7u; }

// ---------------------------------------------------------------- arena allocator

TEST(Arena, SpansAndHeaders)
{
    struct Row {
        uint32_t n, header, span;
    };
    const Row rows[] = {
        {0, 1, 8}, {1, 1, 8}, {4, 4, 8}, {5, 5, 16}, {12, 12, 16},
        {13, 13, 24}, {100, 100, 104}, {1048572, 1048572, 1048576},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE("malloc(" + std::to_string(r.n) + ")");
        Guest g;
        uint32_t p = g.call("malloc", {r.n});
        EXPECT_EQ(p, g.sym("g_heap") + 4);
        EXPECT_EQ(g.read32(p - 4), r.header);
        EXPECT_EQ(g.global32("g_heap_used"), r.span);
        EXPECT_EQ(g.global32("errno"), 0u);
    }
}

TEST(Arena, BlocksLieEndToEnd)
{
    Guest g;
    uint32_t heap = g.sym("g_heap");
    EXPECT_EQ(heap % 32, 0u);
    EXPECT_EQ(g.global32("g_heap_used"), 0u);
    EXPECT_EQ(g.call("malloc", {0u}), heap + 4);
    EXPECT_EQ(g.global32("g_heap_used"), 8u);
    EXPECT_EQ(g.call("malloc", {1u}), heap + 12);
    EXPECT_EQ(g.global32("g_heap_used"), 16u);

    // A mix of sizes and functions: every payload is at 8k + 4, right
    // after the previous block's span.
    struct Call {
        const char *fn;
        std::vector<Arg> args;
        uint32_t m;
    };
    const Call calls[] = {
        {"malloc", {7u}, 7},       {"calloc", {3u, 5u}, 15}, {"malloc", {8u}, 8},
        {"realloc", {0u, 9u}, 9},  {"calloc", {1u, 1u}, 1},  {"malloc", {1000u}, 1000},
        {"malloc", {3u}, 3},
    };
    uint32_t used = 16;
    for (const Call &c : calls) {
        SCOPED_TRACE(c.fn);
        auto r = g.call_addr(g.sym(c.fn), c.args);
        ASSERT_TRUE(r.returned());
        EXPECT_EQ(r.eax, heap + used + 4);
        EXPECT_EQ(r.eax % 8, 4u);
        EXPECT_EQ(g.read32(r.eax - 4), c.m);
        used += span(c.m);
        EXPECT_EQ(g.global32("g_heap_used"), used);
    }
}

TEST(Arena, FailuresChangeNothing)
{
    struct Row {
        uint32_t used;           // g_heap_used beforehand
        const char *fn;
        std::vector<Arg> args;
        bool fits;
    };
    const std::vector<Row> rows = {
        {0, "malloc", {1048572u}, true},
        {0, "malloc", {1048573u}, false},
        {1048568, "malloc", {4u}, true},         // exact fit at the end
        {1048568, "malloc", {5u}, false},
        {1048576, "malloc", {0u}, false},
        {1048560, "malloc", {12u}, true},
        {1048560, "malloc", {13u}, false},
        // Sizes near 2^32, whose span or sum would wrap in 32 bits.
        {0, "malloc", {0xFFFFFFF8u}, false},
        {0, "malloc", {0xFFFFFF00u}, false},
        {0, "malloc", {0xFFFFFFFFu}, false},
        {16, "malloc", {0xFFFFFFF8u}, false},
        {1048568, "malloc", {0xFFFFFFF8u}, false},
        {1048568, "malloc", {0xFFFFFF00u}, false},
        {0, "calloc", {65536u, 65536u}, false},   // product overflows 32 bits
        {0, "calloc", {65537u, 65535u}, false},   // 2^32 - 1: fits 32 bits, too large
        {0, "calloc", {0x80000000u, 2u}, false},
        {0, "calloc", {2u, 524286u}, true},       // 1048572 bytes
        {0, "calloc", {2u, 524287u}, false},
        {1048576, "calloc", {0u, 0u}, false},
        {0, "realloc", {0u, 0xFFFFFFF8u}, false},
        {1048568, "realloc", {0u, 4u}, true},
        {1048568, "realloc", {0u, 5u}, false},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(std::string(r.fn) + "(" + std::to_string(r.args[0].w[0]) +
                     (r.args.size() > 1 ? ", " + std::to_string(r.args[1].w[0]) : "") + ") at " +
                     std::to_string(r.used));
        Guest g;
        uint32_t heap = g.sym("g_heap");
        g.set_global32("g_heap_used", r.used);
        auto res = g.call_addr(g.sym(r.fn), r.args);
        ASSERT_TRUE(res.returned()) << res.outcome.report;
        if (r.fits) {
            EXPECT_EQ(res.eax, heap + r.used + 4);
            EXPECT_EQ(g.global32("errno"), 0u);
            EXPECT_LE(g.global32("g_heap_used"), kHeapSize);
        } else {
            EXPECT_EQ(res.eax, 0u);
            EXPECT_EQ(g.global32("errno"), kENOMEM);
            EXPECT_EQ(g.global32("g_heap_used"), r.used);
            if (r.used < kHeapSize)   // no header was written
                EXPECT_EQ(g.read32(heap + r.used), 0u);
        }
    }
}

TEST(Arena, ArenaEndIsFinal)
{
    Guest g;
    g.set_global32("g_heap_used", 1048568);
    EXPECT_NE(g.call("malloc", {4u}), 0u);
    EXPECT_EQ(g.global32("g_heap_used"), kHeapSize);
    for (const char *fn : {"malloc", "calloc", "realloc"}) {
        SCOPED_TRACE(fn);
        EXPECT_EQ(g.call(fn, {0u, 0u}), 0u);
        EXPECT_EQ(g.global32("g_heap_used"), kHeapSize);
    }
}

TEST(Arena, Calloc)
{
    struct Row {
        uint32_t count, size;
        uint32_t m;
    };
    const Row rows[] = {
        // A zero count or size is malloc(0): a 1-byte block, and nothing
        // to clear.
        {0, 5, 1}, {5, 0, 1}, {0, 0, 1},
        {3, 4, 12}, {3, 3, 9}, {1, 1, 1}, {7, 33, 231}, {65535, 16, 1048560},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE("calloc(" + std::to_string(r.count) + ", " + std::to_string(r.size) + ")");
        Guest g;
        uint32_t heap = g.sym("g_heap");
        // The arena starts out zero; dirty it so the clearing shows.
        uint32_t s = span(r.m);
        g.write(heap, std::string(s + 8, '\xAA'));
        uint32_t p = g.call("calloc", {r.count, r.size});
        ASSERT_EQ(p, heap + 4);
        EXPECT_EQ(g.read32(p - 4), r.m);
        EXPECT_EQ(g.global32("g_heap_used"), s);
        // Exactly the count * size payload bytes are cleared, not the
        // rest of the span.
        uint32_t cleared = r.count * r.size;
        EXPECT_EQ(g.read(p, cleared), std::string(cleared, '\0'));
        EXPECT_EQ(g.read(p + cleared, s - 4 - cleared + 8), std::string(s - 4 - cleared + 8, '\xAA'));
    }
}

TEST(Arena, ReallocAlwaysMovesAndKeepsTheOldBlock)
{
    Guest g;
    uint32_t p = g.call("malloc", {10u});
    g.write(p, "ABCDEFGHIJ");

    uint32_t q = g.call("realloc", {p, 4u});
    ASSERT_NE(q, 0u);
    EXPECT_EQ(q, p + 16);                      // right after p's 16-byte span
    EXPECT_EQ(g.read32(q - 4), 4u);
    EXPECT_EQ(g.read(q, 4), "ABCD");
    EXPECT_EQ(g.read(p, 10), "ABCDEFGHIJ");
    EXPECT_EQ(g.read32(p - 4), 10u);

    uint32_t r = g.call("realloc", {q, 20u});  // q is the last block: it moves anyway
    ASSERT_NE(r, 0u);
    EXPECT_EQ(r, q + 8);
    EXPECT_EQ(g.read32(r - 4), 20u);
    EXPECT_EQ(g.read(r, 20), "ABCD" + std::string(16, '\0'));

    uint32_t s = g.call("realloc", {r, 0u});
    ASSERT_NE(s, 0u);
    EXPECT_EQ(s, r + 24);
    EXPECT_EQ(g.read32(s - 4), 1u);
    EXPECT_EQ(g.read(s, 1), "A");
    EXPECT_EQ(g.global32("g_heap_used"), 16u + 8 + 24 + 8);

    // Same size: still a new block.
    uint32_t t = g.call("realloc", {s, 1u});
    EXPECT_EQ(t, s + 8);
    EXPECT_EQ(g.global32("errno"), 0u);
}

TEST(Arena, ReallocOfNullIsMalloc)
{
    Guest g;
    uint32_t p = g.call("realloc", {0u, 10u});
    EXPECT_EQ(p, g.sym("g_heap") + 4);
    EXPECT_EQ(g.read32(p - 4), 10u);
    EXPECT_EQ(g.global32("g_heap_used"), 16u);
}

TEST(Arena, FailedReallocLeavesTheOldBlockValid)
{
    for (uint32_t size : {1048572u, 0xFFFFFFFFu, 0xFFFFFFF8u}) {
        SCOPED_TRACE(size);
        Guest g;
        uint32_t p = g.call("malloc", {10u});
        g.write(p, "ABCDEFGHIJ");
        EXPECT_EQ(g.call("realloc", {p, size}), 0u);
        EXPECT_EQ(g.global32("errno"), kENOMEM);
        EXPECT_EQ(g.global32("g_heap_used"), 16u);
        EXPECT_EQ(g.read32(p - 4), 10u);
        EXPECT_EQ(g.read(p, 10), "ABCDEFGHIJ");
        // The old block can still be used, and grown once there is room.
        uint32_t q = g.call("realloc", {p, 12u});
        ASSERT_NE(q, 0u);
        EXPECT_EQ(g.read(q, 10), "ABCDEFGHIJ");
    }
}

TEST(Arena, FreeDoesNothing)
{
    Guest g;
    g.install_guards();
    uint32_t p = g.call("malloc", {10u});
    g.write(p, "ABCDEFGHIJ");
    uint32_t scratch = g.alloc(16, 0x77);
    for (uint32_t arg : {0u, p, 0x10u, scratch, 0xFFFFFFFFu}) {
        SCOPED_TRACE(arg);
        g.call("free", {arg});
        EXPECT_EQ(g.global32("g_heap_used"), 16u);
        EXPECT_EQ(g.read(p, 10), "ABCDEFGHIJ");
        EXPECT_EQ(g.read32(p - 4), 10u);
    }
    EXPECT_EQ(g.read(scratch, 16), std::string(16, '\x77'));
    // free gives nothing back: the next block comes after p.
    EXPECT_EQ(g.call("malloc", {1u}), p + 16);
}

TEST(Arena, ErrnoOnlyEverBecomesTwelve)
{
    Guest g;
    EXPECT_EQ(g.global32("errno"), 0u);
    EXPECT_NE(g.call("malloc", {100u}), 0u);
    EXPECT_NE(g.call("calloc", {2u, 2u}), 0u);
    EXPECT_EQ(g.global32("errno"), 0u);
    EXPECT_EQ(g.call("malloc", {0xFFFFFFF8u}), 0u);
    EXPECT_EQ(g.global32("errno"), kENOMEM);
    // Successful calls never clear it.
    uint32_t p = g.call("malloc", {4u});
    EXPECT_NE(p, 0u);
    EXPECT_NE(g.call("calloc", {1u, 4u}), 0u);
    EXPECT_NE(g.call("realloc", {p, 8u}), 0u);
    EXPECT_EQ(g.global32("errno"), kENOMEM);
    // A successful call also leaves any other value as it was.
    g.set_global32("errno", 5);
    EXPECT_NE(g.call("malloc", {4u}), 0u);
    EXPECT_EQ(g.global32("errno"), 5u);
}

// ---------------------------------------------------------------- process exit

TEST(ProcessExit, ExitAndAbortEndTheProcess)
{
    struct Row {
        const char *fn;
        std::vector<Arg> args;
        int status;
    };
    const Row rows[] = {
        {"exit", {7}, 7},
        {"exit", {0}, 0},
        {"exit", {-1}, -1},
        {"abort", {}, 1},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.fn);
        Guest g;
        auto res = g.call_addr(g.sym(r.fn), r.args);
        EXPECT_EQ(res.outcome.kind, zelkos::Outcome::Exited) << res.outcome.report;
        ASSERT_EQ(g.calls().size(), 1u);   // _exit and nothing else
        EXPECT_EQ(g.calls()[0].nr, 2);
        EXPECT_EQ(g.calls()[0].ebx, uint32_t(r.status));
    }
}

TEST(ProcessExit, AtexitRegistersNothing)
{
    Guest g;
    g.install_guards();
    // A handler at a null-page address would fault if anything ever ran it.
    EXPECT_EQ(g.call("atexit", {0x10u}), 0u);
    EXPECT_EQ(g.call("atexit", {0u}), 0u);
    auto res = g.call_full("exit", {3});
    EXPECT_EQ(res.outcome.kind, zelkos::Outcome::Exited) << res.outcome.report;
    EXPECT_EQ(res.outcome.status, 3);
}

TEST(ProcessExit, GetenvFindsNothing)
{
    Guest g;
    g.install_guards();
    for (uint32_t name : {g.str("PATH"), g.str(""), 0u, 0x10u}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(g.call("getenv", {name}), 0u);
    }
}

// ---------------------------------------------------------------- random numbers

// The generator's step, as the host computes it.
uint32_t lcg(uint32_t s) { return s * 1103515245u + 12345u; }
int32_t output(uint32_t state) { return int32_t((state >> 16) & 0x7FFF); }

std::vector<int32_t> draw(Guest &g, int n)
{
    std::vector<int32_t> v;
    for (int i = 0; i < n; i++)
        v.push_back(int32_t(g.call("rand")));
    return v;
}

TEST(Random, SeededSequences)
{
    struct Row {
        uint32_t seed;
        std::vector<int32_t> values;
    };
    const Row rows[] = {
        {1, {16838, 5758, 10113, 17515, 31051, 5627}},
        {0, {16838, 5758, 10113, 17515, 31051, 5627}},   // 0 counts as 1
        {12345, {21468, 9988, 22117}},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.seed);
        Guest g;
        g.call("srand", {r.seed});
        EXPECT_EQ(g.global32("g_rand_seeded"), 1u);
        EXPECT_EQ(draw(g, int(r.values.size())), r.values);
    }
}

TEST(Random, LongRunStaysInRangeAndDropsBit31)
{
    // Compared with the host's step over enough draws that the state's
    // top bit is set many times.
    Guest g;
    g.call("srand", {0xDEADBEEFu});
    uint32_t state = 0xDEADBEEFu;
    int top_bit_set = 0;
    for (int i = 0; i < 200; i++) {
        state = lcg(state);
        top_bit_set += state >> 31;
        int32_t v = int32_t(g.call("rand"));
        ASSERT_EQ(v, output(state)) << "draw " << i;
        ASSERT_GE(v, 0);
        ASSERT_LE(v, 32767);
    }
    EXPECT_GT(top_bit_set, 50);
    EXPECT_EQ(g.global32("g_rand_state"), state);
}

TEST(Random, SrandRestartsTheSequence)
{
    Guest g;
    g.call("srand", {1u});
    draw(g, 4);
    g.call("srand", {12345u});
    EXPECT_EQ(draw(g, 3), (std::vector<int32_t>{21468, 9988, 22117}));
    g.call("srand", {1u});
    EXPECT_EQ(draw(g, 2), (std::vector<int32_t>{16838, 5758}));
}

// ---- self-seeding

uint32_t inverse(uint32_t a)   // of an odd number, modulo 2^32
{
    uint32_t x = a;
    for (int i = 0; i < 5; i++)
        x *= 2 - a * x;
    return x;
}

uint32_t unhash(uint32_t x)
{
    x ^= x >> 16;
    x *= inverse(0x846CA68Bu);
    x ^= (x >> 15) ^ (x >> 30);
    x *= inverse(0x7FEB352Du);
    x ^= x >> 16;
    return x;
}

constexpr uint32_t kGolden = 0x9E3779B9u;

// Runs the first rand of a fresh process with the time-stamp counter fixed
// at tsc, and recovers the stack address A that went into the seed from
// the state it left.
uint32_t stack_address_behind(uint64_t tsc)
{
    Guest g;
    g.set_tsc(tsc);
    g.call("rand");
    uint32_t hashed = (g.global32("g_rand_state") - 12345u) * inverse(1103515245u);
    uint32_t lo = uint32_t(tsc), hi = uint32_t(tsc >> 32);
    return unhash(hashed) ^ lo ^ (hi * 1664525u) ^ g.sym("g_heap_used") ^ kGolden;
}

TEST(Random, SelfSeedingMixesTheCounterAndTwoAddresses)
{
    // The same stack address must come out for different counter values,
    // low and high halves alike, or the counter is mixed in wrongly.
    uint32_t a = stack_address_behind(0x0000000089ABCDEFull);
    EXPECT_EQ(stack_address_behind(0x0000000200000000ull), a);
    EXPECT_EQ(stack_address_behind(0x123456789ABCDEF0ull), a);
    EXPECT_EQ(stack_address_behind(0xFFFFFFFFFFFFFFFFull), a);
    EXPECT_EQ(a % 4, 0u);
    Guest g;
    EXPECT_GT(a, g.sym("g_heap") + kHeapSize);   // a stack address, not the image's

    // Now drive the combined value exactly through the counter.
    struct Row {
        uint32_t combined;
        uint32_t hi;
        uint32_t state;
        int32_t value;
    };
    const Row rows[] = {
        {0, 0, 0x41C67EA6u, 16838},           // hash of 0 is 0, replaced by 1
        {0, 7, 0x41C67EA6u, 16838},
        {1, 0, 0x212D51F9u, 8493},
        {0x12345678u, 0, 0x50211017u, 20513},
        {0xFFFFFFFFu, 3, 0x6E6E35BBu, 28270},
        {0x181087BCu, 2, 0xAE1CBB9Au, 11804},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE("combined " + std::to_string(r.combined) + " hi " + std::to_string(r.hi));
        Guest h;
        uint32_t lo = r.combined ^ (r.hi * 1664525u) ^ a ^ h.sym("g_heap_used") ^ kGolden;
        h.set_tsc((uint64_t(r.hi) << 32) | lo);
        EXPECT_EQ(int32_t(h.call("rand")), r.value);
        EXPECT_EQ(h.global32("g_rand_state"), r.state);
        EXPECT_EQ(h.global32("g_rand_seeded"), 1u);
        // Seeded once only: a new counter value changes nothing.
        h.set_tsc(0x1234);
        EXPECT_EQ(int32_t(h.call("rand")), output(lcg(r.state)));
    }
}

TEST(Random, SrandBeforeRandMeansNoSelfSeeding)
{
    for (uint64_t tsc : {0ull, 0x123456789ull}) {
        SCOPED_TRACE(tsc);
        Guest g;
        g.set_tsc(tsc);
        g.call("srand", {1u});
        EXPECT_EQ(int32_t(g.call("rand")), 16838);
    }
}

} // namespace

// The seeded flag is a whole 32-bit word: any non-zero value counts.
TEST(Rand, AnyNonZeroSeededWordCounts)
{
    Guest g;
    g.set_tsc(0x123456789ull);
    g.set_global32("g_rand_state", 1);
    g.set_global32("g_rand_seeded", 0x100);
    uint32_t next = 1u * 1103515245u + 12345u;
    EXPECT_EQ(g.call("rand"), (next >> 16) & 0x7FFF);
}
