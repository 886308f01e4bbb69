// Memory and deferred-file streams, opening and closing streams, and the
// reading, positioning and status of descriptor streams: through the
// harness, the stand-in's file service and scripted kernel answers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "emu/process.hpp"
#include "harness.hpp"

using namespace zt;
namespace fs = std::filesystem;

namespace {

// Offsets of the stream record's eleven fields.
enum : uint32_t {
    KIND = 0,
    FD = 4,
    PATH = 8,
    BUF = 12,
    LEN = 16,
    CAP = 20,
    USER_BUF = 24,
    USER_SIZE = 28,
    ERROR = 32,
    POS = 36,
    EOF_FLAG = 40,
    FILE_SIZE = 44,
};

constexpr uint32_t HEAP_SIZE = 0x100000;
constexpr uint32_t NO_MEMORY = 12;  // what the arena leaves in errno

// A stream record in guest memory with every other field zero.
uint32_t make_file(Guest &g, int32_t kind, int32_t fd)
{
    uint32_t f = g.alloc(FILE_SIZE);
    g.write32(f + KIND, uint32_t(kind));
    g.write32(f + FD, uint32_t(fd));
    return f;
}

// A memory stream and the caller's two slots, filled with garbage first so
// that clearing them shows.
struct Mem {
    uint32_t f = 0, bufp = 0, sizep = 0;
};

Mem open_mem(Guest &g)
{
    Mem m;
    m.bufp = g.alloc(4, 0xAA);
    m.sizep = g.alloc(4, 0xAA);
    m.f = g.call("open_memstream", {m.bufp, m.sizep});
    EXPECT_NE(m.f, 0u);
    return m;
}

// The bytes a stream holds, with the zero byte that must follow them.
std::string held(Guest &g, uint32_t f)
{
    return g.read(g.read32(f + BUF), g.read32(f + LEN) + 1);
}

// n bytes that include zero bytes, 0xFF and newlines, different at each
// offset of the whole stream.
std::string pattern(size_t from, size_t n)
{
    std::string s;
    for (size_t i = from; i < from + n; i++)
        s += char((i * 7 + 3) % 256);
    return s;
}

// A directory of its own beneath the stand-in's file root (the working
// directory of the test program); the guest names files by relative paths.
class StreamFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = "streams-" + std::to_string(getpid()) + "-" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string path(const std::string &name) const { return dir + "/" + name; }
    bool exists(const std::string &name) const { return fs::exists(path(name)); }
    std::string contents(const std::string &name) const
    {
        std::ifstream in(path(name), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    void create(const std::string &name, const std::string &bytes) const
    {
        std::ofstream(path(name), std::ios::binary) << bytes;
    }

    std::string dir;
};

} // namespace

// ---- Memory streams ---------------------------------------------------------

TEST(MemoryStream, OpenClearsBothSlotsAndTheFirstWritePublishes)
{
    Guest g;
    const uint32_t used = g.global32("g_heap_used");
    Mem m = open_mem(g);
    EXPECT_EQ(g.read32(m.bufp), 0u);
    EXPECT_EQ(g.read32(m.sizep), 0u);
    EXPECT_EQ(g.read32(m.f + KIND), 2u);
    EXPECT_EQ(g.read32(m.f + USER_BUF), m.bufp);
    EXPECT_EQ(g.read32(m.f + USER_SIZE), m.sizep);
    for (uint32_t off : {FD, PATH, BUF, LEN, CAP, ERROR, POS, EOF_FLAG})
        EXPECT_EQ(g.read32(m.f + off), 0u) << "field at offset " << off;
    EXPECT_GT(g.global32("g_heap_used"), used);  // the record is the arena's

    EXPECT_EQ(g.call("fputs", {g.str("abc"), m.f}), 3u);
    const uint32_t p = g.read32(m.bufp);
    EXPECT_EQ(p, g.read32(m.f + BUF));
    EXPECT_EQ(g.read(p, 4), bytes("abc\0"));
    EXPECT_EQ(g.read32(m.sizep), 3u);
    EXPECT_EQ(g.read32(m.f + CAP), 256u);
    EXPECT_TRUE(g.calls().empty());
}

TEST(MemoryStream, OpenRefusals)
{
    Guest g;
    const uint32_t slot = g.alloc(4, 0xAA), size = g.alloc(4, 0xAA);
    struct Row {
        const char *what;
        uint32_t bufp, sizep, heap_used;  // heap_used 0: as it is
    };
    const Row rows[] = {
        {"null pointer slot", 0, size, 0},
        {"null size slot", slot, 0, 0},
        {"both null", 0, 0, 0},
        {"no room for the record", slot, size, HEAP_SIZE - 40},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        if (r.heap_used)
            g.set_global32("g_heap_used", r.heap_used);
        const uint32_t used = g.global32("g_heap_used");
        EXPECT_EQ(g.call("open_memstream", {r.bufp, r.sizep}), 0u);
        EXPECT_EQ(g.global32("g_heap_used"), used);
        EXPECT_EQ(g.read32(slot), 0xAAAAAAAAu);  // untouched
        EXPECT_EQ(g.read32(size), 0xAAAAAAAAu);
    }
    EXPECT_EQ(g.global32("errno"), NO_MEMORY);
}

// Each write's capacity, the block asked of the arena, and the caller's
// slots, which move with the block.
TEST(MemoryStream, CapacityDoublesFrom256)
{
    struct Row {
        const char *what;
        std::vector<uint32_t> writes;
        std::vector<uint32_t> caps;  // after each write
    };
    const Row rows[] = {
        {"255 bytes: need is 256", {255}, {256}},
        {"256 bytes: need is 257", {256}, {512}},
        {"300 bytes", {300}, {512}},
        {"100 then 200", {100, 200}, {256, 512}},
        {"a full buffer at least doubles", {255, 1}, {256, 512}},
        {"room left: the block stays", {10, 20, 30}, {256, 256, 256}},
        {"the zero takes the block's last byte: it stays", {100, 155}, {256, 256}},
        {"one large write doubles as often as it needs", {5000}, {8192}},
        {"exactly full after growth", {511, 1, 512}, {512, 1024, 2048}},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        Guest g;
        Mem m = open_mem(g);
        // Arena bytes are zero until handed out; make them not so, so that
        // the zero after the data shows only if the stream writes it.
        const uint32_t free_at = g.sym("g_heap") + g.global32("g_heap_used");
        g.write(free_at, std::string(HEAP_SIZE - g.global32("g_heap_used"), '\xEE'));
        std::string all;
        uint32_t block = 0;
        for (size_t i = 0; i < r.writes.size(); i++) {
            SCOPED_TRACE("write " + std::to_string(i));
            const std::string data = pattern(all.size(), r.writes[i]);
            EXPECT_EQ(g.call("fwrite", {g.put(data), 1, uint32_t(data.size()), m.f}), r.writes[i]);
            all += data;
            const uint32_t buf = g.read32(m.f + BUF);
            EXPECT_EQ(g.read32(m.f + CAP), r.caps[i]);
            EXPECT_EQ(g.read32(buf - 4), r.caps[i]);  // the arena block's own size
            EXPECT_EQ(g.read32(m.f + LEN), all.size());
            EXPECT_EQ(held(g, m.f), all + '\0');
            EXPECT_EQ(g.read32(m.bufp), buf);
            EXPECT_EQ(g.read32(m.sizep), all.size());
            const bool grew = i == 0 || r.caps[i] != r.caps[i - 1];
            EXPECT_EQ(buf != block, grew);
            block = buf;
        }
    }
}

TEST(MemoryStream, CloseLeavesTheBufferWithTheCaller)
{
    Guest g;
    Mem m = open_mem(g);
    EXPECT_EQ(g.call("fputs", {g.str("kept"), m.f}), 4u);
    const uint32_t p = g.read32(m.bufp);
    g.clear_calls();
    EXPECT_EQ(g.call("fclose", {m.f}), 0u);
    EXPECT_TRUE(g.calls().empty());
    EXPECT_EQ(g.read32(m.bufp), p);
    EXPECT_EQ(g.read32(m.sizep), 4u);
    EXPECT_EQ(g.read(p, 5), bytes("kept\0"));
}

// The output functions reach a memory stream through the current stdout as
// well as directly.
TEST(MemoryStream, OutputFunctionsAppend)
{
    Guest g;
    Mem m = open_mem(g);
    EXPECT_EQ(g.call("fputs", {g.str("a"), m.f}), 1u);
    EXPECT_EQ(g.call("fputc", {0x142, m.f}), 0x142u);
    EXPECT_EQ(g.call("fwrite", {g.put(bytes("c\0d")), 3, 1, m.f}), 1u);
    g.set_global32("stdout", m.f);
    EXPECT_EQ(g.call("puts", {g.str("line")}), 0u);
    EXPECT_EQ(g.call("putchar", {'z'}), uint32_t('z'));
    const std::string want = bytes("aBc\0dline\nz");
    EXPECT_EQ(g.read32(m.sizep), want.size());
    EXPECT_EQ(g.read(g.read32(m.bufp), uint32_t(want.size() + 1)), want + '\0');
    EXPECT_TRUE(g.calls().empty());  // nothing reached the kernel
    // Writes never touch the reading fields.
    EXPECT_EQ(g.read32(m.f + POS), 0u);
    EXPECT_EQ(g.read32(m.f + EOF_FLAG), 0u);
}

// The stream formatter takes the same road: its pieces collect in the
// buffer, and a "%c" at the start is a character here, since the console's
// attribute record belongs to descriptor 1 only.
TEST(MemoryStream, StreamFormatterAppends)
{
    Guest g;
    Mem m = open_mem(g);
    EXPECT_EQ(g.call("fprintf", {m.f, g.str("%c%c%c:"), 'a', 'b', 'c'}), 4u);
    EXPECT_EQ(g.call("fprintf", {m.f, g.str("%s=%d;%5x|%lld"), g.str("key"), -42, 0xbeef,
                                 Arg::i64(-1234567890123)}),
              28u);
    EXPECT_EQ(g.call("fprintf", {m.f, g.str("%300s"), g.str("x")}), 300u);
    const std::string want = "abc:key=-42; beef|-1234567890123" + std::string(299, ' ') + "x";
    EXPECT_EQ(g.read32(m.sizep), want.size());
    EXPECT_EQ(g.read32(m.f + CAP), 512u);
    EXPECT_EQ(g.read(g.read32(m.bufp), uint32_t(want.size() + 1)), want + '\0');
    EXPECT_TRUE(g.calls().empty());
}

// ---- The buffer road's failures ----------------------------------------------

// When the arena cannot give the next capacity, every writer fails, the
// stream keeps each earlier byte, and writes that fit go on working.
TEST(BufferRoad, ArenaExhaustionKeepsTheStream)
{
    for (int32_t kind : {2, 3}) {
        SCOPED_TRACE(kind == 2 ? "memory stream" : "deferred file");
        Guest g;
        uint32_t f, bufp = 0, sizep = 0;
        if (kind == 2) {
            Mem m = open_mem(g);
            f = m.f, bufp = m.bufp, sizep = m.sizep;
        } else {
            f = g.call("fopen", {g.str("never-stored.txt"), g.str("w")});
            ASSERT_NE(f, 0u);
        }
        const std::string first(100, 'A');
        EXPECT_EQ(g.call("fputs", {g.str(first), f}), 100u);

        // Less room than the 512-byte block takes.
        const uint32_t used = g.global32("g_heap_used");
        g.set_global32("g_heap_used", HEAP_SIZE - 512);
        const std::string record = g.read(f, FILE_SIZE);
        const std::string slots = kind == 2 ? g.read(bufp, 4) + g.read(sizep, 4) : "";
        const uint32_t big = g.str(std::string(200, 'B'));
        struct Writer {
            const char *what;
            const char *fn;
            std::vector<uint32_t> args;
            uint32_t failure;
        };
        const Writer writers[] = {
            {"fputs", "fputs", {big, f}, uint32_t(-1)},
            {"fwrite", "fwrite", {big, 1, 200, f}, 0},
            {"fwrite of items", "fwrite", {big, 20, 10, f}, 0},
            {"fprintf", "fprintf", {f, g.str("%s"), big}, uint32_t(-1)},
        };
        for (const Writer &w : writers) {
            SCOPED_TRACE(w.what);
            g.set_global32("errno", 0);
            std::vector<Arg> args(w.args.begin(), w.args.end());
            CallResult r = g.call_addr(g.sym(w.fn), args);
            ASSERT_TRUE(r.returned()) << r.outcome.report;
            EXPECT_EQ(r.eax, w.failure);
            EXPECT_EQ(g.global32("errno"), NO_MEMORY);
            EXPECT_EQ(g.read(f, FILE_SIZE), record);
            EXPECT_EQ(held(g, f), first + '\0');
            if (kind == 2)
                EXPECT_EQ(g.read(bufp, 4) + g.read(sizep, 4), slots);
        }

        // Still usable: a write that fits the block it has.
        EXPECT_EQ(g.call("fputs", {g.str("tail"), f}), 4u);
        // And with room again, the write that failed goes through.
        g.set_global32("g_heap_used", used);
        EXPECT_EQ(g.call("fputs", {big, f}), 200u);
        const std::string all = first + "tail" + std::string(200, 'B');
        EXPECT_EQ(held(g, f), all + '\0');
        EXPECT_EQ(g.read32(f + CAP), 512u);
        if (kind == 2) {
            EXPECT_EQ(g.read32(bufp), g.read32(f + BUF));
            EXPECT_EQ(g.read32(sizep), all.size());
        } else {
            g.answer(21, {Reply::ret(int32_t(all.size()))});
            EXPECT_EQ(g.call("fclose", {f}), 0u);
            ASSERT_EQ(g.calls(21).size(), 1u);
            EXPECT_EQ(g.calls(21)[0].data, all);
        }
    }
}

TEST(BufferRoad, ArenaExhaustionOnTheFirstWrite)
{
    Guest g;
    Mem m = open_mem(g);
    g.set_global32("g_heap_used", HEAP_SIZE - 256);  // a 256-byte block takes 264
    EXPECT_EQ(int32_t(g.call("fputc", {'x', m.f})), -1);
    EXPECT_EQ(g.read32(m.f + BUF), 0u);
    EXPECT_EQ(g.read32(m.f + LEN), 0u);
    EXPECT_EQ(g.read32(m.f + CAP), 0u);
    EXPECT_EQ(g.read32(m.bufp), 0u);
    EXPECT_EQ(g.read32(m.sizep), 0u);
}

// Lengths and capacities near 2^32, set straight into the record: neither
// need nor a doubled capacity may wrap into a small number. A wrapped need
// would keep the block and copy far outside it; a wrapped capacity would
// double forever or ask the arena for a block smaller than the data.
TEST(BufferRoad, GrowthThatWouldPass32BitsIsRefused)
{
    struct Row {
        const char *what;
        uint32_t len, cap, n;
        bool asks_arena;  // the values fit, so only the arena can say no
    };
    const Row rows[] = {
        {"need would pass 2^32", 0xFFFFFFF0u, 0xFFFFFFF8u, 16, false},
        {"need would be exactly 2^32", 0xFFFFFFF0u, 0xFFFFFFF8u, 15, false},
        {"need is 2^32 - 1: no doubling reaches it", 0xFFFFFFF0u, 0xFFFFFFF1u, 14, false},
        {"doubling the capacity would wrap", 0x7FFFFFFFu, 0x80000000u, 1, false},
        {"a later doubling would wrap", 0x40000000u, 0x40000001u, 0x80000000u, false},
        {"from 256 doubling would wrap", 0x90000000u, 0, 1, false},
        {"the largest doubling that fits goes to the arena", 0x7FFFFFF0u, 0x7FFFFFF8u, 16, true},
    };
    for (const Row &r : rows) {
        for (int32_t kind : {2, 3}) {
            SCOPED_TRACE(std::string(r.what) + (kind == 2 ? ", memory stream" : ", deferred file"));
            Guest g;
            g.set_insn_limit(2'000'000);  // an endless doubling shows as a limit
            // The block sits inside a canary region, so that a copy to a
            // wrapped place nearby shows.
            const uint32_t region = g.alloc(4096, 0x5A);
            const uint32_t buf = region + 2048;
            const uint32_t slots = g.alloc(8, 0xC3);
            const uint32_t f = make_file(g, kind, 0);
            g.write32(f + BUF, buf);
            g.write32(f + LEN, r.len);
            g.write32(f + CAP, r.cap);
            if (kind == 2) {
                g.write32(f + USER_BUF, slots);
                g.write32(f + USER_SIZE, slots + 4);
            } else {
                g.write32(f + PATH, g.str("big.bin"));
            }
            const std::string record = g.read(f, FILE_SIZE);
            const std::string canary = g.read(region, 4096);
            const uint32_t used = g.global32("g_heap_used");
            const uint32_t data = g.put(std::string(16, 'D'));

            CallResult res = g.call_full("file_write_bytes", {f, data, r.n});
            ASSERT_TRUE(res.returned()) << res.outcome.report;
            EXPECT_EQ(int32_t(res.eax), -1);
            EXPECT_EQ(g.read(f, FILE_SIZE), record);
            EXPECT_EQ(g.read(region, 4096), canary);
            EXPECT_EQ(g.read(slots, 8), std::string(8, '\xC3'));
            EXPECT_EQ(g.global32("g_heap_used"), used);
            EXPECT_EQ(g.global32("errno"), r.asks_arena ? NO_MEMORY : 0u);
            EXPECT_TRUE(g.calls().empty());
        }
    }
}

// ---- Deferred files -------------------------------------------------------------

// Opening neither creates nor truncates; the bytes arrive whole, in one
// call, at close, and without the zero the buffer keeps after them.
TEST_F(StreamFiles, DeferredFileReachesTheFileSystemOnlyAtClose)
{
    create("old.txt", "old contents");
    Guest g;
    const uint32_t fresh = g.call("fopen", {g.str(path("new.bin")), g.str("w")});
    const uint32_t over = g.call("fopen", {g.str(path("old.txt")), g.str("wb")});
    ASSERT_NE(fresh, 0u);
    ASSERT_NE(over, 0u);

    std::string want;
    auto unchanged = [&](const char *after) {
        SCOPED_TRACE(after);
        EXPECT_TRUE(g.calls().empty());
        EXPECT_FALSE(exists("new.bin"));
        EXPECT_EQ(contents("old.txt"), "old contents");
    };
    unchanged("fopen");
    EXPECT_EQ(g.call("fputs", {g.str("head "), fresh}), 5u);
    want += "head ";
    EXPECT_EQ(g.call("fwrite", {g.put(bytes("a\0b\xff\n")), 5, 1, fresh}), 1u);
    want += bytes("a\0b\xff\n");
    EXPECT_EQ(g.call("fputc", {0x121, fresh}), 0x121u);
    want += '!';
    // Enough to grow the buffer several times.
    const std::string bulk = pattern(0, 3000);
    EXPECT_EQ(g.call("fwrite", {g.put(bulk), 1, 3000, fresh}), 3000u);
    want += bulk;
    EXPECT_EQ(g.call("fputs", {g.str("replaced"), over}), 8u);
    unchanged("the writes");

    EXPECT_EQ(g.call("fclose", {fresh}), 0u);
    auto stores = g.calls(21);
    ASSERT_EQ(stores.size(), 1u);
    EXPECT_EQ(stores[0].path, path("new.bin"));
    EXPECT_EQ(stores[0].edx, want.size());
    EXPECT_EQ(stores[0].data, want);
    EXPECT_EQ(contents("new.bin"), want);
    EXPECT_EQ(contents("old.txt"), "old contents");

    EXPECT_EQ(g.call("fclose", {over}), 0u);
    EXPECT_EQ(g.calls(21).size(), 2u);
    EXPECT_EQ(contents("old.txt"), "replaced");
}

TEST_F(StreamFiles, StreamFormatterWritesADeferredFile)
{
    Guest g;
    const uint32_t f = g.call("fopen", {g.str(path("report.txt")), g.str("w")});
    ASSERT_NE(f, 0u);
    EXPECT_EQ(g.call("fprintf", {f, g.str("%d lines\n"), 2}), 8u);
    EXPECT_EQ(g.call("fprintf", {f, g.str("%s %u%%\n"), g.str("done"), 100}), 10u);
    EXPECT_TRUE(g.calls().empty());
    EXPECT_FALSE(exists("report.txt"));
    EXPECT_EQ(g.call("fclose", {f}), 0u);
    EXPECT_EQ(contents("report.txt"), "2 lines\ndone 100%\n");
}

TEST_F(StreamFiles, EmptyDeferredFileIsStoredWithLengthZero)
{
    create("empty.txt", "to be emptied");
    Guest g;
    const uint32_t f = g.call("fopen", {g.str(path("empty.txt")), g.str("w")});
    ASSERT_NE(f, 0u);
    EXPECT_EQ(g.call("fclose", {f}), 0u);
    auto stores = g.calls(21);
    ASSERT_EQ(stores.size(), 1u);
    EXPECT_EQ(stores[0].edx, 0u);
    EXPECT_NE(stores[0].ecx, 0u);  // a real, empty buffer
    EXPECT_EQ(stores[0].result, 0);
    EXPECT_TRUE(exists("empty.txt"));
    EXPECT_EQ(contents("empty.txt"), "");
}

// Nothing flushes at exit: an unclosed deferred file is lost.
TEST_F(StreamFiles, UnclosedDeferredFileNeverAppears)
{
    create("kept.txt", "before");
    Guest g;
    const uint32_t f = g.call("fopen", {g.str(path("lost.txt")), g.str("w")});
    const uint32_t k = g.call("fopen", {g.str(path("kept.txt")), g.str("w")});
    EXPECT_EQ(g.call("fputs", {g.str("written"), f}), 7u);
    EXPECT_EQ(g.call("fputs", {g.str("written"), k}), 7u);
    CallResult r = g.call_full("exit", {0});
    EXPECT_EQ(r.outcome.kind, Outcome::Exited) << r.outcome.report;
    EXPECT_TRUE(g.calls(21).empty());
    EXPECT_FALSE(exists("lost.txt"));
    EXPECT_EQ(contents("kept.txt"), "before");
}

// ---- Opening ---------------------------------------------------------------------

TEST_F(StreamFiles, FopenModes)
{
    create("in.txt", "hello");
    enum Expect { Null, Stdin, Stdout, Read, Deferred };
    struct Row {
        const char *what;
        std::optional<std::string> path, mode;  // nullopt: a null pointer
        Expect expect;
        bool opens;  // asks the kernel to open the path
    };
    const std::string in = path("in.txt"), out = path("out.txt");
    const Row rows[] = {
        {"- for reading", "-", "r", Stdin, false},
        {"- for writing", "-", "w", Stdout, false},
        {"no path, for reading", std::nullopt, "r", Stdin, false},
        {"no path, for writing", std::nullopt, "w", Stdout, false},
        {"- only looks at the first byte", "-", "rb", Stdin, false},
        {"- with another letter", "-", "x", Null, false},
        {"- for appending", "-", "a", Null, false},
        {"no path and no mode", std::nullopt, std::nullopt, Null, false},
        {"no mode", in, std::nullopt, Null, false},
        {"empty mode", in, "", Null, false},
        {"append is not offered", in, "a", Null, false},
        {"capital R", in, "R", Null, false},
        {"r", in, "r", Read, true},
        {"rb", in, "rb", Read, true},
        {"r+ acts as r", in, "r+", Read, true},
        {"a missing file", path("missing.txt"), "r", Null, true},
        {"w", out, "w", Deferred, false},
        {"w+ acts as w", out, "w+", Deferred, false},
        {"w on a missing directory still waits for close", path("no/such.txt"), "w", Deferred, false},
    };
    Guest g;
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        g.clear_calls();
        const uint32_t p = r.path ? g.str(*r.path) : 0;
        const uint32_t mode = r.mode ? g.str(*r.mode) : 0;
        const uint32_t used = g.global32("g_heap_used");
        const uint32_t f = g.call("fopen", {p, mode});
        EXPECT_EQ(g.calls(4).size(), r.opens ? 1u : 0u);
        switch (r.expect) {
        case Null:
            EXPECT_EQ(f, 0u);
            EXPECT_EQ(g.global32("g_heap_used"), used);
            break;
        case Stdin:
        case Stdout:
            EXPECT_EQ(f, g.global32(r.expect == Stdin ? "stdin" : "stdout"));
            EXPECT_EQ(g.global32("g_heap_used"), used);
            EXPECT_TRUE(g.calls().empty());
            break;
        case Read: {
            ASSERT_NE(f, 0u);
            const auto opens = g.calls(4);
            EXPECT_EQ(opens[0].path, *r.path);
            EXPECT_EQ(opens[0].ecx, 0u);  // read only
            ASSERT_GT(opens[0].result, 2);
            EXPECT_EQ(g.read32(f + KIND), 1u);
            EXPECT_EQ(g.read32(f + FD), uint32_t(opens[0].result));
            for (uint32_t off = PATH; off < FILE_SIZE; off += 4)
                EXPECT_EQ(g.read32(f + off), 0u) << "field at offset " << off;
            EXPECT_EQ(g.call("fgetc", {f}), uint32_t('h'));
            break;
        }
        case Deferred:
            ASSERT_NE(f, 0u);
            EXPECT_TRUE(g.calls().empty());
            EXPECT_EQ(g.read32(f + KIND), 3u);
            EXPECT_NE(g.read32(f + PATH), p);  // its own copy
            EXPECT_EQ(g.read_str(g.read32(f + PATH)), *r.path);
            for (uint32_t off : {FD, BUF, LEN, CAP, USER_BUF, USER_SIZE, ERROR, POS, EOF_FLAG})
                EXPECT_EQ(g.read32(f + off), 0u) << "field at offset " << off;
            EXPECT_FALSE(exists("out.txt"));
            break;
        }
    }

    // The standard streams are handed out as the pointers hold them now.
    const uint32_t other_in = make_file(g, 1, 9), other_out = make_file(g, 1, 1);
    g.set_global32("stdin", other_in);
    g.set_global32("stdout", other_out);
    EXPECT_EQ(g.call("fopen", {g.str("-"), g.str("r")}), other_in);
    EXPECT_EQ(g.call("fopen", {0, g.str("w")}), other_out);
}

TEST(Fopen, KernelAnswersAndAllocationFailures)
{
    const uint32_t record_span = 48;  // a 44-byte record in the arena
    struct Row {
        const char *what;
        const char *mode;
        std::optional<int32_t> open_answer;
        uint32_t heap_used;  // 0: as it is
        bool opened;         // a stream comes back
        std::vector<int> calls;
        int32_t closed_fd;   // the descriptor given back, or -1
        bool heap_spent;     // the arena is full afterwards
    };
    const Row rows[] = {
        {"open answers 5", "r", 5, 0, true, {4}, -1, false},
        {"open refused", "r", -2, 0, false, {4}, -1, false},
        {"no room for the record: the descriptor is closed", "r", 7, HEAP_SIZE, false, {4, 5}, 7, true},
        {"no room for the record", "w", std::nullopt, HEAP_SIZE, false, {}, -1, true},
        {"no room for the path copy", "w", std::nullopt, HEAP_SIZE - record_span, false, {}, -1, true},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        Guest g;
        const uint32_t p = g.str("file.txt"), mode = g.str(r.mode);
        if (r.open_answer)
            g.answer(4, {Reply::ret(*r.open_answer)});
        if (r.heap_used)
            g.set_global32("g_heap_used", r.heap_used);
        const uint32_t f = g.call("fopen", {p, mode});
        EXPECT_EQ(f != 0, r.opened);
        std::vector<int> nrs;
        for (const CallRecord &c : g.calls())
            nrs.push_back(c.nr);
        EXPECT_EQ(nrs, r.calls);
        if (r.closed_fd >= 0) {
            ASSERT_EQ(g.calls(5).size(), 1u);
            EXPECT_EQ(g.calls(5)[0].ebx, uint32_t(r.closed_fd));
        }
        if (r.opened && r.open_answer)
            EXPECT_EQ(g.read32(f + FD), uint32_t(*r.open_answer));
        if (r.heap_used) {
            EXPECT_EQ(g.global32("errno"), NO_MEMORY);
            EXPECT_EQ(g.global32("g_heap_used") == HEAP_SIZE, r.heap_spent);
        }
    }
}

// ---- Closing ---------------------------------------------------------------------

TEST(Fclose, ResultsByKind)
{
    struct Row {
        const char *what;
        int32_t kind, fd;
        bool has_path;
        std::optional<Reply> answer;  // to the one kernel call expected
        int expect_call;              // its number, or 0 for none
        int32_t result;
    };
    const Row rows[] = {
        {"read stream on 5, closed", 1, 5, false, Reply::ret(0), 5, 0},
        {"read stream on 5, close fails", 1, 5, false, Reply::ret(-9), 5, -9},
        {"read stream on 3, close answers 4", 1, 3, false, Reply::ret(4), 5, 4},
        {"descriptor 2 stays open", 1, 2, false, std::nullopt, 0, 0},
        {"descriptor 1 stays open", 1, 1, false, std::nullopt, 0, 0},
        {"descriptor 0 stays open", 1, 0, false, std::nullopt, 0, 0},
        {"deferred, stored", 3, 0, true, Reply::ret(4), 21, 0},
        {"deferred, store answers 0", 3, 0, true, Reply::ret(0), 21, 0},
        {"deferred, store refused", 3, 0, true, Reply::ret(-1), 21, -1},
        {"deferred, disk full", 3, 0, true, Reply::ret(-28), 21, -1},
        {"deferred without a path", 3, 0, false, std::nullopt, 0, -1},
        {"memory stream", 2, 0, false, std::nullopt, 0, 0},
        {"unknown kind", 7, 5, true, std::nullopt, 0, 0},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        Guest g;
        const uint32_t f = make_file(g, r.kind, r.fd);
        if (r.has_path) {
            g.write32(f + PATH, g.str("out.txt"));
            g.write32(f + BUF, g.str("data"));
            g.write32(f + LEN, 4);
            g.write32(f + CAP, 5);
        }
        if (r.answer)
            g.answer(r.expect_call, {*r.answer});
        EXPECT_EQ(int32_t(g.call("fclose", {f})), r.result);
        const auto &calls = g.calls();
        ASSERT_EQ(calls.size(), r.expect_call ? 1u : 0u);
        if (r.expect_call == 5)
            EXPECT_EQ(calls[0].ebx, uint32_t(r.fd));
        if (r.expect_call == 21) {
            EXPECT_EQ(calls[0].path, "out.txt");
            EXPECT_EQ(calls[0].data, "data");
        }
    }
}

TEST(Fclose, StandardStreamsAreNeverClosed)
{
    Guest g;
    EXPECT_EQ(int32_t(g.call("fclose", {0})), -1);
    for (const char *name : {"stdin", "stdout", "stderr"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(g.call("fclose", {g.global32(name)}), 0u);
    }
    // Whatever stdout now points at counts as standard.
    const uint32_t f = make_file(g, 1, 5);
    g.set_global32("stdout", f);
    EXPECT_EQ(g.call("fclose", {f}), 0u);
    EXPECT_TRUE(g.calls().empty());

    g.set_global32("stdout", g.sym("g_stdout"));
    EXPECT_EQ(g.call("puts", {g.str("still here")}), 0u);
    EXPECT_EQ(g.console(), "still here\n");
}

// ---- Reading ---------------------------------------------------------------------

TEST(Read, Fread)
{
    struct Row {
        const char *what;
        uint32_t size, count;
        int32_t eof_before;
        Reply reply;
        uint32_t result;
        int32_t pos, eof;  // after; pos starts at 100
    };
    const std::string twelve = "0123456789AB";
    const Row rows[] = {
        {"4 x 3, 10 bytes: the partial item is not counted", 4, 3, 0, Reply::data(twelve.substr(0, 10)), 2, 110, 1},
        {"4 x 3, all 12 bytes", 4, 3, 0, Reply::data(twelve), 3, 112, 0},
        {"1 x 5, 3 bytes", 1, 5, 0, Reply::data("abc"), 3, 103, 1},
        {"one item larger than what came", 8, 1, 0, Reply::data("abc"), 0, 103, 1},
        {"end of input", 4, 3, 0, Reply::ret(0), 0, 100, 1},
        {"kernel failure", 4, 3, 0, Reply::ret(-5), 0, 100, 1},
        {"the end flag does not stop a read", 1, 4, 1, Reply::data("wxyz"), 4, 104, 1},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        Guest g;
        const uint32_t f = make_file(g, 1, 5);
        g.write32(f + POS, 100);
        g.write32(f + EOF_FLAG, uint32_t(r.eof_before));
        const uint32_t total = r.size * r.count;
        const uint32_t buf = g.alloc(total + 8, 0xEE);
        g.answer(3, {r.reply});
        EXPECT_EQ(g.call("fread", {buf, r.size, r.count, f}), r.result);
        const auto reads = g.calls(3);
        ASSERT_EQ(reads.size(), 1u);  // one request, however short its answer
        EXPECT_EQ(reads[0].ebx, 5u);
        EXPECT_EQ(reads[0].ecx, buf);
        EXPECT_EQ(reads[0].edx, total);
        EXPECT_EQ(int32_t(g.read32(f + POS)), r.pos);
        EXPECT_EQ(int32_t(g.read32(f + EOF_FLAG)), r.eof);
        EXPECT_EQ(g.read32(f + ERROR), 0u);
        const std::string got = r.reply.bytes.value_or("");
        EXPECT_EQ(g.read(buf, total + 8), got + std::string(total + 8 - got.size(), '\xEE'));
    }
}

TEST(Read, FreadRefusesWithoutAKernelCall)
{
    Guest g;
    const uint32_t buf = g.alloc(64);
    const uint32_t f = make_file(g, 1, 5);
    struct Row {
        const char *what;
        uint32_t ptr, size, count, stream;
    };
    const Row rows[] = {
        {"null pointer", 0, 1, 4, f},
        {"null stream", buf, 1, 4, 0},
        {"size 0", buf, 0, 4, f},
        {"count 0", buf, 4, 0, f},
        {"memory stream", buf, 1, 4, make_file(g, 2, 5)},
        {"deferred file", buf, 1, 4, make_file(g, 3, 5)},
        {"65536 x 65536 overflows", buf, 65536, 65536, f},
        {"0x80000000 x 2 overflows", buf, 0x80000000u, 2, f},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        g.clear_calls();
        const std::string before = r.stream ? g.read(r.stream, FILE_SIZE) : "";
        EXPECT_EQ(g.call("fread", {r.ptr, r.size, r.count, r.stream}), 0u);
        EXPECT_TRUE(g.calls().empty());
        if (r.stream)
            EXPECT_EQ(g.read(r.stream, FILE_SIZE), before);
    }
}

TEST(Read, Fgetc)
{
    struct Row {
        const char *what;
        int32_t eof_before;
        Reply reply;
        int32_t result;
        int32_t pos, eof;  // after; pos starts at 10
    };
    const Row rows[] = {
        {"0xff is 255, not -1", 0, Reply::data("\xff"), 255, 11, 0},
        {"a letter", 0, Reply::data("A"), 'A', 11, 0},
        {"a zero byte", 0, Reply::data(std::string(1, '\0')), 0, 11, 0},
        {"end of input", 0, Reply::ret(0), -1, 10, 1},
        {"kernel failure", 0, Reply::ret(-5), -1, 10, 1},
        {"the kernel claims 2 bytes: counted, but no character", 0, Reply::ret(2), -1, 12, 0},
        {"the end flag does not stop a read, nor is it cleared", 1, Reply::data("B"), 'B', 11, 1},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        Guest g;
        const uint32_t f = make_file(g, 1, 5);
        g.write32(f + POS, 10);
        g.write32(f + EOF_FLAG, uint32_t(r.eof_before));
        g.answer(3, {r.reply});
        EXPECT_EQ(int32_t(g.call("fgetc", {f})), r.result);
        const auto reads = g.calls(3);
        ASSERT_EQ(reads.size(), 1u);
        EXPECT_EQ(reads[0].ebx, 5u);
        EXPECT_EQ(reads[0].edx, 1u);
        EXPECT_EQ(int32_t(g.read32(f + POS)), r.pos);
        EXPECT_EQ(int32_t(g.read32(f + EOF_FLAG)), r.eof);
    }

    Guest g;
    for (uint32_t f : {0u, make_file(g, 2, 5), make_file(g, 3, 5)}) {
        SCOPED_TRACE(f);
        EXPECT_EQ(int32_t(g.call("fgetc", {f})), -1);
    }
    EXPECT_TRUE(g.calls().empty());
}

TEST(Read, GetcharReadsTheCurrentStdin)
{
    Guest g;
    g.process().kernel().files().set_input(0, "q");
    EXPECT_EQ(g.call("getchar"), uint32_t('q'));
    EXPECT_EQ(int32_t(g.call("getchar")), -1);
    const uint32_t in = g.sym("g_stdin");
    EXPECT_EQ(g.read32(in + POS), 1u);
    EXPECT_EQ(g.call("feof", {in}), 1u);

    const uint32_t f = make_file(g, 1, 6);
    g.set_global32("stdin", f);
    g.clear_calls();
    g.answer(3, {Reply::data("z")});
    EXPECT_EQ(g.call("getchar"), uint32_t('z'));
    ASSERT_EQ(g.calls(3).size(), 1u);
    EXPECT_EQ(g.calls(3)[0].ebx, 6u);

    g.set_global32("stdin", 0);
    g.clear_calls();
    EXPECT_EQ(int32_t(g.call("getchar")), -1);
    EXPECT_TRUE(g.calls().empty());
}

// ---- Position and status -------------------------------------------------------

// Every stream starts at pos 7 with the end flag set.
TEST(Position, FseekAndFtell)
{
    struct Row {
        const char *what;
        int32_t kind, fd, offset, whence;
        std::optional<Reply> reply;  // set when lseek is expected
        int32_t result, pos, eof;    // fseek's result, then the fields
        int32_t tell;                // ftell afterwards
    };
    const Row rows[] = {
        {"to 3 from the start", 1, 5, 3, 0, Reply::ret(3), 0, 3, 0, 3},
        {"back from the end", 1, 5, -2, 2, Reply::ret(40), 0, 40, 0, 40},
        {"to the start", 1, 3, 0, 0, Reply::ret(0), 0, 0, 0, 0},
        {"refused by the kernel", 1, 5, 3, 0, Reply::ret(-22), -1, 7, 1, 7},
        {"descriptor 2", 1, 2, 3, 0, std::nullopt, -1, 7, 1, -1},
        {"descriptor 1", 1, 1, 3, 0, std::nullopt, -1, 7, 1, -1},
        {"descriptor 0", 1, 0, 3, 0, std::nullopt, -1, 7, 1, -1},
        {"memory stream", 2, 5, 3, 0, std::nullopt, -1, 7, 1, -1},
        {"deferred file", 3, 5, 3, 0, std::nullopt, -1, 7, 1, -1},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        Guest g;
        const uint32_t f = make_file(g, r.kind, r.fd);
        g.write32(f + POS, 7);
        g.write32(f + EOF_FLAG, 1);
        if (r.reply)
            g.answer(110, {*r.reply});
        EXPECT_EQ(int32_t(g.call("fseek", {f, r.offset, r.whence})), r.result);
        const auto seeks = g.calls(110);
        ASSERT_EQ(seeks.size(), r.reply ? 1u : 0u);
        if (r.reply) {
            EXPECT_EQ(seeks[0].ebx, uint32_t(r.fd));
            EXPECT_EQ(seeks[0].ecx, uint32_t(r.offset));
            EXPECT_EQ(seeks[0].edx, uint32_t(r.whence));
        }
        EXPECT_EQ(int32_t(g.read32(f + POS)), r.pos);
        EXPECT_EQ(int32_t(g.read32(f + EOF_FLAG)), r.eof);
        g.clear_calls();
        EXPECT_EQ(int32_t(g.call("ftell", {f})), r.tell);
        EXPECT_TRUE(g.calls().empty());  // the runtime's own count
    }

    Guest g;
    for (const char *name : {"stdin", "stdout"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(int32_t(g.call("fseek", {g.global32(name), 0, 0})), -1);
        EXPECT_EQ(int32_t(g.call("ftell", {g.global32(name)})), -1);
    }
    EXPECT_EQ(int32_t(g.call("fseek", {0, 0, 0})), -1);
    EXPECT_EQ(int32_t(g.call("ftell", {0})), -1);
    EXPECT_TRUE(g.calls().empty());
}

// Every stream starts at pos 7 with both flags set; rewind always clears
// the flags, whatever became of the seek.
TEST(Position, Rewind)
{
    struct Row {
        const char *what;
        int32_t kind, fd;
        std::optional<Reply> reply;  // set when lseek is expected
        int32_t pos;
    };
    const Row rows[] = {
        {"descriptor 5", 1, 5, Reply::ret(0), 0},
        {"seek refused: pos stays", 1, 5, Reply::ret(-1), 7},
        {"descriptor 2: no seek", 1, 2, std::nullopt, 7},
        {"memory stream: flags only", 2, 5, std::nullopt, 7},
        {"deferred file: flags only", 3, 5, std::nullopt, 7},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        Guest g;
        const uint32_t f = make_file(g, r.kind, r.fd);
        g.write32(f + POS, 7);
        g.write32(f + EOF_FLAG, 1);
        g.write32(f + ERROR, 1);
        if (r.reply)
            g.answer(110, {*r.reply});
        g.call("rewind", {f});
        const auto seeks = g.calls(110);
        ASSERT_EQ(seeks.size(), r.reply ? 1u : 0u);
        if (r.reply) {
            EXPECT_EQ(seeks[0].ebx, uint32_t(r.fd));
            EXPECT_EQ(seeks[0].ecx, 0u);
            EXPECT_EQ(seeks[0].edx, 0u);
        }
        EXPECT_EQ(int32_t(g.read32(f + POS)), r.pos);
        EXPECT_EQ(g.read32(f + EOF_FLAG), 0u);
        EXPECT_EQ(g.read32(f + ERROR), 0u);
    }

    Guest g;
    CallResult r = g.call_full("rewind", {0});
    EXPECT_TRUE(r.returned()) << r.outcome.report;
    EXPECT_TRUE(g.calls().empty());
}

TEST(Status, FeofAndFerror)
{
    Guest g;
    EXPECT_EQ(g.call("feof", {0}), 1u);
    EXPECT_EQ(g.call("ferror", {0}), 1u);

    Mem m = open_mem(g);
    const uint32_t w = g.call("fopen", {g.str("out.txt"), g.str("w")});
    for (uint32_t f : {g.global32("stdin"), g.global32("stdout"), m.f, w}) {
        SCOPED_TRACE(f);
        EXPECT_EQ(g.call("feof", {f}), 0u);
        EXPECT_EQ(g.call("ferror", {f}), 0u);
    }
    // They report the fields as they are.
    const uint32_t f = make_file(g, 1, 5);
    g.write32(f + EOF_FLAG, 1);
    EXPECT_EQ(g.call("feof", {f}), 1u);
    EXPECT_EQ(g.call("ferror", {f}), 0u);
    g.write32(f + ERROR, 1);
    EXPECT_EQ(g.call("ferror", {f}), 1u);
}

// The whole road on a real file: bytes, position, end and seeks as the
// file service plays them.
TEST_F(StreamFiles, ReadingAndPositioningARealFile)
{
    const std::string text = "0123456789abcdef\xff";  // 17 bytes
    create("in.txt", text);
    Guest g;
    const uint32_t f = g.call("fopen", {g.str(path("in.txt")), g.str("r")});
    ASSERT_NE(f, 0u);
    const int32_t fd = g.calls(4).at(0).result;
    ASSERT_GT(fd, 2);

    std::string got;
    for (int i = 0; i < 7; i++)
        got += char(g.call("fgetc", {f}));
    EXPECT_EQ(got, "0123456");
    EXPECT_EQ(g.call("ftell", {f}), 7u);

    EXPECT_EQ(g.call("fseek", {f, 3, 0}), 0u);
    EXPECT_EQ(g.call("ftell", {f}), 3u);
    EXPECT_EQ(g.call("fgetc", {f}), uint32_t('3'));

    // 13 bytes are left: 3 whole items of 4 and one byte more.
    const uint32_t buf = g.alloc(40);
    EXPECT_EQ(g.call("fread", {buf, 4, 10, f}), 3u);
    EXPECT_EQ(g.read(buf, 13), text.substr(4));
    EXPECT_EQ(g.call("ftell", {f}), 17u);
    EXPECT_EQ(g.call("feof", {f}), 1u);
    EXPECT_EQ(int32_t(g.call("fgetc", {f})), -1);
    EXPECT_EQ(g.call("ftell", {f}), 17u);

    // Writing to a stream opened for reading fails and moves nothing.
    EXPECT_EQ(int32_t(g.call("fputs", {g.str("x"), f})), -1);
    EXPECT_EQ(g.call("ftell", {f}), 17u);

    EXPECT_EQ(g.call("fseek", {f, -1, 2}), 0u);
    EXPECT_EQ(g.call("feof", {f}), 0u);
    EXPECT_EQ(g.call("ftell", {f}), 16u);
    EXPECT_EQ(g.call("fgetc", {f}), 255u);

    g.call("rewind", {f});
    EXPECT_EQ(g.call("ftell", {f}), 0u);
    EXPECT_EQ(g.call("fread", {buf, 1, 3, f}), 3u);
    EXPECT_EQ(g.read(buf, 3), "012");
    EXPECT_EQ(g.call("feof", {f}), 0u);

    g.clear_calls();
    EXPECT_EQ(g.call("fclose", {f}), 0u);
    ASSERT_EQ(g.calls(5).size(), 1u);
    EXPECT_EQ(g.calls(5)[0].ebx, uint32_t(fd));
    EXPECT_EQ(g.calls(5)[0].result, 0);
}
