// Memory block and string functions, run as i386 code in the stand-in.
#include <gtest/gtest.h>

#include <capstone/capstone.h>
#include <unicorn/unicorn.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "emu/image.hpp"
#include "emu/process.hpp"
#include "harness.hpp"

namespace {

using zt::Guest;

constexpr uint32_t kLow = 0x10;     // any address inside the null page
constexpr uint32_t kCanary = 16;    // canary bytes on each side of a buffer

// A pointer argument: a text (placed so that its zero byte is the last
// mapped byte, so reading one byte further faults), null, or a null-page
// address.
struct Ptr {
    enum Kind { Text, Null, Low } kind;
    std::string text;
};
Ptr txt(std::string s) { return {Ptr::Text, std::move(s)}; }
const Ptr null_ptr{Ptr::Null, ""};
const Ptr low_ptr{Ptr::Low, ""};

uint32_t place(Guest &g, const Ptr &p)
{
    switch (p.kind) {
    case Ptr::Null: return 0;
    case Ptr::Low: return kLow;
    case Ptr::Text: break;
    }
    return g.put_at_page_end(p.text + '\0');
}

std::string describe(const Ptr &p)
{
    if (p.kind == Ptr::Null)
        return "null";
    if (p.kind == Ptr::Low)
        return "0x10";
    return '"' + p.text + '"';
}

// An output buffer with canaries on both sides; the fill byte stands for
// memory the call must not touch.
struct Buf {
    uint32_t addr;
    uint32_t size;
};

std::string canary()
{
    std::string c;
    for (uint32_t i = 0; i < kCanary; i++)
        c += char(0xC3 ^ (i * 37));
    return c;
}

Buf make_buf(Guest &g, uint32_t size, std::string_view init = {}, uint8_t fill = 0x55)
{
    std::string bytes = canary() + std::string(size, char(fill)) + canary();
    std::copy(init.begin(), init.end(), bytes.begin() + kCanary);
    // One byte past a 16-byte boundary, so vector stores are unaligned.
    uint32_t base = g.alloc(uint32_t(bytes.size()) + 1) + 1;
    g.write(base, bytes);
    return {base + kCanary, size};
}

void expect_canaries(Guest &g, const Buf &b)
{
    EXPECT_EQ(g.read(b.addr - kCanary, kCanary), canary()) << "underrun";
    EXPECT_EQ(g.read(b.addr + b.size, kCanary), canary()) << "overrun";
}

std::string filled(std::string_view head, uint32_t size, uint8_t fill = 0x55)
{
    std::string s(size, char(fill));
    std::copy(head.begin(), head.end(), s.begin());
    return s;
}

int32_t as_int(uint32_t v) { return int32_t(v); }

// ---------------------------------------------------------------- memory blocks

TEST(MemBlock, OverlappingCopies)
{
    struct Row {
        const char *fn;
        uint32_t dst, src, n;
        const char *expected;
    };
    const Row rows[] = {
        {"memmove", 2, 0, 5, "0101234789"},
        {"memmove", 0, 2, 5, "2345656789"},
        // Ascending byte order: each byte is read after the byte two
        // places before it was overwritten.
        {"memcpy", 2, 0, 5, "0101010789"},
        {"memcpy", 0, 2, 5, "2345656789"},
        {"memmove", 3, 3, 5, "0123456789"},
        {"memmove", 2, 0, 0, "0123456789"},
        {"memcpy", 2, 0, 0, "0123456789"},
        {"memcpy", 0, 5, 5, "5678956789"},
        {"memmove", 1, 0, 9, "0012345678"},
        {"memmove", 0, 1, 9, "1234567899"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(std::string(r.fn) + " dst " + std::to_string(r.dst) + " src " + std::to_string(r.src) +
                     " n " + std::to_string(r.n));
        Guest g;
        Buf b = make_buf(g, 10, "0123456789");
        uint32_t ret = g.call(r.fn, {b.addr + r.dst, b.addr + r.src, r.n});
        EXPECT_EQ(ret, b.addr + r.dst);
        EXPECT_EQ(g.read(b.addr, 10), r.expected);
        expect_canaries(g, b);
    }
}

TEST(MemBlock, CopiesReadAndWriteExactlyTheRange)
{
    // Source and destination both end against an unmapped page.
    Guest g;
    std::string src = "the quick brown fox jumps over the lazy dog";
    uint32_t n = uint32_t(src.size());
    for (const char *fn : {"memcpy", "memmove"}) {
        SCOPED_TRACE(fn);
        uint32_t s = g.put_at_page_end(src);
        uint32_t d = g.put_at_page_end(std::string(n, '.'));
        EXPECT_EQ(g.call(fn, {d, s, n}), d);
        EXPECT_EQ(g.read(d, n), src);
    }
}

TEST(MemBlock, Memset)
{
    struct Row {
        int32_t ch;
        uint32_t n;
        uint8_t byte;
    };
    const Row rows[] = {
        {0x141, 5, 0x41},   // only the low 8 bits are written
        {-1, 3, 0xFF},
        {0x41, 0, 0},
        {0x41, 1, 0x41},
        {0x41, 15, 0x41},
        {0x41, 16, 0x41},
        {0x41, 17, 0x41},
        {0x00, 31, 0x00},
        {0x7E, 32, 0x7E},
        {0x7E, 33, 0x7E},
        {0x80, 100, 0x80},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE("ch " + std::to_string(r.ch) + " n " + std::to_string(r.n));
        Guest g;
        Buf b = make_buf(g, 120);
        EXPECT_EQ(g.call("memset", {b.addr, r.ch, r.n}), b.addr);
        EXPECT_EQ(g.read(b.addr, b.size), filled(std::string(r.n, char(r.byte)), b.size));
        expect_canaries(g, b);
    }
}

TEST(MemBlock, Memcmp)
{
    struct Row {
        std::string a, b;
        uint32_t n;
        int32_t expected;
    };
    const Row rows[] = {
        {zt::bytes("\x01\xFF"), zt::bytes("\x01\x01"), 2, 254},
        {zt::bytes("\x01\x01"), zt::bytes("\x01\xFF"), 2, -254},
        {zt::bytes("\x01\xFF"), zt::bytes("\x01\x01"), 1, 0},
        {zt::bytes("\x00\x05"), zt::bytes("\x00\x07"), 2, -2},   // zero bytes do not stop it
        {zt::bytes("\xFF"), zt::bytes("\x00"), 1, 255},
        {zt::bytes("\x00"), zt::bytes("\xFF"), 1, -255},
        {"abcdef", "abcdef", 6, 0},
        {"abcdeg", "abcdef", 6, 1},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE("n " + std::to_string(r.n) + " expected " + std::to_string(r.expected));
        Guest g;
        // Both ranges end against an unmapped page: no byte past n is read.
        uint32_t a = g.put_at_page_end(r.a.substr(0, r.n));
        uint32_t b = g.put_at_page_end(r.b.substr(0, r.n));
        EXPECT_EQ(as_int(g.call("memcmp", {a, b, r.n})), r.expected);
    }
}

TEST(MemBlock, NothingIsTestedOrTouchedWhenTheCountIsZero)
{
    // With the null page unmapped, any access through these pointers faults.
    Guest g;
    g.install_guards();
    for (const char *fn : {"memcpy", "memmove", "memset"}) {
        SCOPED_TRACE(fn);
        EXPECT_EQ(g.call(fn, {0u, kLow, 0u}), 0u);
        EXPECT_EQ(g.call(fn, {kLow, 0u, 0u}), kLow);
    }
    EXPECT_EQ(g.call("memcmp", {0u, kLow, 0u}), 0u);
}

TEST(MemBlock, NullPointersAreNotSpecial)
{
    Guest g;
    g.install_guards();
    auto r = g.call_full("memset", {0u, 0x41, 4u});
    EXPECT_EQ(r.outcome.kind, zelkos::Outcome::Fault);
    auto c = g.call_full("memcmp", {kLow, kLow + 1, 1u});
    EXPECT_EQ(c.outcome.kind, zelkos::Outcome::Fault);
}

// ---------------------------------------------------------------- 16-byte stores

// The bytes of a guest function, from its symbol to the next symbol.
std::string function_bytes(const std::string &name)
{
    zelkos::Image img = zelkos::read_image(zt::runtime_image());
    uint32_t start = img.symbol(name).value();
    uint32_t end = UINT32_MAX;
    for (const auto &[sym, addr] : img.symbols)
        if (addr > start && addr < end)
            end = addr;
    const zelkos::Section *text = img.section(".text");
    EXPECT_NE(text, nullptr);
    if (!text || start < text->addr || start >= text->addr + text->size)
        return {};
    end = std::min(end, text->addr + text->size);
    return std::string(img.section_bytes(*text).substr(start - text->addr, end - start));
}

// The stores an instruction sequence makes to memory through an explicit
// operand, outside its own stack frame (pushes and calls write the stack
// implicitly and do not count either):
// those of a whole 16-byte register, and any other wider than a byte.
struct Stores {
    std::vector<std::string> vector, other_wide;
};

Stores wide_stores(const std::string &code)
{
    Stores found;
    csh h;
    if (cs_open(CS_ARCH_X86, CS_MODE_32, &h) != CS_ERR_OK) {
        ADD_FAILURE() << "capstone";
        return found;
    }
    cs_option(h, CS_OPT_DETAIL, CS_OPT_ON);
    cs_insn *insn = nullptr;
    size_t n = cs_disasm(h, reinterpret_cast<const uint8_t *>(code.data()), code.size(), 0, 0, &insn);
    for (size_t i = 0; i < n; i++) {
        const cs_x86 &x = insn[i].detail->x86;
        unsigned id = insn[i].id;
        std::string text = std::string(insn[i].mnemonic) + " " + insn[i].op_str;
        // The disassembler marks the memory destination of several SSE
        // moves (movups, movq, movlps) as read, so a move is taken as a
        // store by its operand order: the destination comes first.
        bool move = text.rfind("mov", 0) == 0;
        for (int k = 0; k < x.op_count; k++) {
            const cs_x86_op &op = x.operands[k];
            bool store = op.type == X86_OP_MEM && ((op.access & CS_AC_WRITE) || (move && k == 0));
            if (!store || op.size <= 1)
                continue;
            // Register spills into the function's own frame are not stores
            // to the destination.
            if (op.mem.base == X86_REG_EBP || op.mem.base == X86_REG_ESP)
                continue;
            bool vector = op.size == 16 && (id == X86_INS_MOVUPS || id == X86_INS_MOVDQU ||
                                            id == X86_INS_MOVAPS || id == X86_INS_MOVDQA);
            (vector ? found.vector : found.other_wide).push_back(text);
        }
    }
    cs_free(insn, n);
    cs_close(&h);
    return found;
}

TEST(VectorStores, FillsUseSixteenByteStores)
{
    // The fills store 16-byte registers and nothing else wider than a byte...
    for (const char *fn : {"memset", "strncpy"}) {
        SCOPED_TRACE(fn);
        Stores st = wide_stores(function_bytes(fn));
        EXPECT_FALSE(st.vector.empty());
        EXPECT_EQ(st.other_wide, std::vector<std::string>{});
    }
    // ...and the copying functions store single bytes only.
    for (const char *fn : {"memcpy", "memmove", "strcpy", "strdup", "strndup", "strcat", "strncat"}) {
        SCOPED_TRACE(fn);
        Stores st = wide_stores(function_bytes(fn));
        EXPECT_EQ(st.vector, std::vector<std::string>{});
        EXPECT_EQ(st.other_wide, std::vector<std::string>{});
    }
}

// Every guest write during a call: where and how wide. The stand-in
// carries out a 16-byte store as two 8-byte halves, reported one after the
// other; merged() puts them back together.
struct WriteLog {
    struct Write {
        uint32_t addr;
        int size;
    };
    std::vector<Write> writes;
    uc_hook hook = 0;
    uc_engine *uc;

    // Installed on a fresh guest, before any code has been translated, so
    // the hook sees every store.
    explicit WriteLog(Guest &g) : uc(g.process().machine().engine())
    {
        EXPECT_EQ(uc_hook_add(uc, &hook, UC_HOOK_MEM_WRITE, (void *)&WriteLog::on_write, this, 1, 0),
                  UC_ERR_OK);
    }
    ~WriteLog() { uc_hook_del(uc, hook); }

    static void on_write(uc_engine *, uc_mem_type, uint64_t addr, int size, int64_t, void *self)
    {
        static_cast<WriteLog *>(self)->writes.push_back({uint32_t(addr), size});
    }

    std::vector<Write> merged() const
    {
        std::vector<Write> out;
        for (size_t i = 0; i < writes.size(); i++) {
            const Write &w = writes[i];
            if (w.size == 8 && i + 1 < writes.size() && writes[i + 1].size == 8 &&
                writes[i + 1].addr == w.addr + 8) {
                out.push_back({w.addr, 16});
                i++;
            } else {
                out.push_back(w);
            }
        }
        return out;
    }
};

TEST(VectorStores, FillsStoreSixteenBytesAtATime)
{
    // For each byte of the destination, the width of the store that wrote
    // it: the largest multiple of 16 of a fill goes in 16-byte stores, the
    // rest (and the copied part of strncpy) one byte at a time. That these
    // wide stores are single 16-byte instructions, and not pairs of 8-byte
    // ones, is what FillsUseSixteenByteStores shows in the code.
    struct Row {
        const char *fn;
        const char *src;      // strncpy only
        uint32_t n;
        uint32_t copied;      // leading bytes copied, not filled
    };
    const Row rows[] = {
        {"memset", nullptr, 15, 0}, {"memset", nullptr, 16, 0}, {"memset", nullptr, 17, 0},
        {"memset", nullptr, 33, 0}, {"memset", nullptr, 100, 0},
        {"strncpy", "abc", 10, 3},  {"strncpy", "ab", 18, 2},   {"strncpy", "ab", 40, 2},
        {"strncpy", nullptr, 35, 0}, {"strncpy", "abcdefghij", 10, 10},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(std::string(r.fn) + " n " + std::to_string(r.n) + " src " + (r.src ? r.src : "null"));
        Guest g;
        WriteLog log(g);
        Buf b = make_buf(g, 112);
        uint32_t second = std::string(r.fn) == "memset" ? 0x41u : r.src ? g.str(r.src) : 0u;
        log.writes.clear();
        g.call(r.fn, {b.addr, second, r.n});

        std::vector<std::string> got(r.n, "none");
        for (const auto &w : log.merged()) {
            if (w.addr + w.size <= b.addr - kCanary || w.addr >= b.addr + b.size + kCanary)
                continue;   // the call's own stack frame
            ASSERT_GE(w.addr, b.addr);
            ASSERT_LE(w.addr + w.size, b.addr + r.n);
            for (int i = 0; i < w.size; i++)
                got[w.addr - b.addr + i] = std::to_string(w.size);
        }
        uint32_t fill = r.n - r.copied;
        std::vector<std::string> want(r.n, "1");
        for (uint32_t i = 0; i < fill / 16 * 16; i++)
            want[r.copied + i] = "16";
        EXPECT_EQ(got, want);
    }
}

// ---------------------------------------------------------------- lengths and comparisons

TEST(String, Lengths)
{
    Guest g;
    g.install_guards();
    // "abc" with no zero byte, the last bytes before an unmapped page.
    uint32_t abc = g.put_at_page_end("abc");
    uint32_t end = g.put_at_page_end("");
    uint32_t hello = g.put_at_page_end(zt::bytes("hello\0"));
    struct Row {
        const char *fn;
        uint32_t s, max;
        uint32_t expected;
    };
    const Row rows[] = {
        {"strlen", hello, 0, 5},
        {"strlen", hello + 5, 0, 0},
        {"strlen", 0, 0, 0},
        {"strlen", kLow, 0, 0},
        {"strlen", 4095, 0, 0},
        {"strnlen", abc, 2, 2},
        {"strnlen", abc, 3, 3},        // never reads s[max]
        {"strnlen", hello, 10, 5},
        {"strnlen", hello, 5, 5},
        {"strnlen", end, 0, 0},        // max 0 reads nothing
        {"strnlen", 0, 10, 0},
        {"strnlen", kLow, 10, 0},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(std::string(r.fn) + " " + std::to_string(r.s) + " max " + std::to_string(r.max));
        EXPECT_EQ(g.call(r.fn, {r.s, r.max}), r.expected);
    }
}

TEST(String, Comparisons)
{
    struct Row {
        const char *fn;
        Ptr a, b;
        uint32_t n;       // ignored by the unbounded functions
        int32_t expected;
        bool same = false; // pass a as both arguments
    };
    const Row rows[] = {
        {"strcmp", txt("abc"), txt("abd"), 0, -1},
        {"strcmp", txt("abc"), txt("ab"), 0, 99},
        {"strcmp", txt("ab"), txt("abc"), 0, -99},
        {"strcmp", txt("\xE9"), txt("abc"), 0, 136},     // bytes are unsigned
        {"strcmp", txt("abc"), txt("abc"), 0, 0},
        {"strcmp", txt(""), txt(""), 0, 0},
        {"strcmp", txt("abc"), txt("abc"), 0, 0, true},
        {"strcmp", null_ptr, null_ptr, 0, 0},
        {"strcmp", low_ptr, low_ptr, 0, 0, true},
        {"strcmp", low_ptr, txt("abc"), 0, -1},
        {"strcmp", txt("abc"), low_ptr, 0, 1},
        {"strcmp", null_ptr, low_ptr, 0, -1},
        {"strcmp", low_ptr, null_ptr, 0, -1},
        {"strcmp", txt(""), low_ptr, 0, 1},
        {"strncmp", txt("abc"), txt("abd"), 2, 0},
        {"strncmp", txt("abc"), txt("abd"), 3, -1},
        {"strncmp", low_ptr, txt("abc"), 0, 0},
        {"strncmp", txt("ab"), txt("abc"), 5, -99},
        {"strncmp", txt("abc"), txt("abc"), 100, 0},
        {"strncmp", txt("a\xFF"), txt("a\x01"), 2, 254},
        {"strncmp", low_ptr, txt("abc"), 1, -1},
        {"strncmp", txt("abc"), null_ptr, 1, 1},
        {"strncmp", null_ptr, null_ptr, 5, 0},
        {"strcasecmp", txt("HeLLo"), txt("hello"), 0, 0},
        {"strcasecmp", txt("["), txt("a"), 0, -6},       // '[' is not folded
        {"strcasecmp", txt("["), txt("A"), 0, -6},
        {"strcasecmp", txt("HELLO"), txt("hello!"), 0, -33},
        {"strcasecmp", txt("\xC9"), txt("\xE9"), 0, -32},  // no folding above 0x7F
        {"strcasecmp", txt("@"), txt("`"), 0, -32},      // neighbours of the letters stay
        {"strcasecmp", null_ptr, null_ptr, 0, 0},
        {"strcasecmp", null_ptr, txt("abc"), 0, -1},
        {"strcasecmp", txt("abc"), null_ptr, 0, 1},
        {"strncasecmp", txt("Z"), txt("a"), 1, 25},
        {"strncasecmp", txt("HeLLo"), txt("hellp"), 4, 0},
        {"strncasecmp", txt("HeLLo"), txt("hellp"), 5, -1},
        {"strncasecmp", txt("ABC"), txt("abc"), 10, 0},
        {"strncasecmp", null_ptr, txt("abc"), 0, 0},
        {"strncasecmp", null_ptr, txt("abc"), 1, -1},
        {"strncasecmp", txt("abc"), null_ptr, 1, 1},
        {"strncasecmp", null_ptr, null_ptr, 1, 0},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(std::string(r.fn) + " " + describe(r.a) + ", " + (r.same ? "same" : describe(r.b)) +
                     ", " + std::to_string(r.n));
        Guest g;
        g.install_guards();
        uint32_t a = place(g, r.a);
        uint32_t b = r.same ? a : place(g, r.b);
        EXPECT_EQ(as_int(g.call(r.fn, {a, b, r.n})), r.expected);
    }
}

// ---------------------------------------------------------------- searching

TEST(String, Searching)
{
    constexpr int64_t none = -1;   // a null result
    struct Row {
        const char *fn;
        Ptr s;
        int32_t ch;         // strchr, strrchr
        Ptr needle;         // strstr
        int64_t offset;     // into s, or none
    };
    const Ptr no_needle = null_ptr;
    const Row rows[] = {
        {"strchr", txt("hello"), 'l', no_needle, 2},
        {"strchr", txt("hello"), 0, no_needle, 5},
        {"strchr", txt("hello"), 0x16C, no_needle, 2},   // only the low 8 bits
        {"strchr", txt("hello"), 0x100, no_needle, 5},
        {"strchr", txt("hello"), 'z', no_needle, none},
        {"strchr", txt("h\xE9llo"), 0xE9, no_needle, 1},
        {"strchr", txt("h\xE9llo"), -23, no_needle, 1},   // -23 is 0xE9 in its low byte
        {"strchr", null_ptr, 'a', no_needle, none},
        {"strrchr", txt("hello"), 'l', no_needle, 3},
        {"strrchr", txt("hello"), 0, no_needle, 5},
        {"strrchr", txt("hello"), 0x100, no_needle, 5},
        {"strrchr", txt("hello"), 'h', no_needle, 0},
        {"strrchr", txt("hello"), 'z', no_needle, none},
        {"strrchr", null_ptr, 'a', no_needle, none},
        {"strstr", txt("hello"), 0, txt("ll"), 2},
        {"strstr", txt("hello"), 0, txt(""), 0},
        {"strstr", txt("hello"), 0, txt("lo!"), none},
        {"strstr", txt("hello"), 0, txt("hello world"), none},
        {"strstr", txt(""), 0, txt(""), 0},
        {"strstr", txt("hello"), 0, txt("lo"), 3},
        {"strstr", txt("aaab"), 0, txt("aab"), 1},        // restarts one place on
        {"strstr", txt("hello"), 0, txt("hello"), 0},
        {"strstr", null_ptr, 0, txt("a"), none},
        {"strstr", txt("a"), 0, null_ptr, none},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(std::string(r.fn) + " " + describe(r.s) + " ch " + std::to_string(r.ch) + " " +
                     describe(r.needle));
        Guest g;
        g.install_guards();
        uint32_t s = place(g, r.s);
        uint32_t second = std::string(r.fn) == "strstr" ? place(g, r.needle) : uint32_t(r.ch);
        uint32_t got = g.call(r.fn, {s, second});
        if (r.offset == none)
            EXPECT_EQ(got, 0u);
        else
            EXPECT_EQ(got, s + uint32_t(r.offset));
    }
}

// ---------------------------------------------------------------- copying and appending

TEST(String, CopyingAndAppending)
{
    constexpr uint32_t kSize = 48;
    enum Dst { Buffer, NullDst, LowDst };
    struct Row {
        const char *fn;
        Dst dst;
        std::string init;              // the buffer's first bytes; 0x55 after them
        Ptr src;
        uint32_t n;                    // ignored by strcpy and strcat
        std::string expected;          // the buffer's first bytes afterwards
    };
    const Row rows[] = {
        {"strcpy", Buffer, "", txt("abc"), 0, zt::bytes("abc\0")},
        {"strcpy", Buffer, "", txt(""), 0, zt::bytes("\0")},
        {"strcpy", Buffer, "", null_ptr, 0, zt::bytes("\0")},
        {"strcpy", NullDst, "", txt("abc"), 0, ""},
        {"strncpy", Buffer, "", txt("abc"), 6, zt::bytes("abc\0\0\0")},
        {"strncpy", Buffer, "", txt("abc"), 3, "abc"},       // no zero byte
        {"strncpy", Buffer, "", txt("abc"), 2, "ab"},
        {"strncpy", Buffer, "", txt("abc"), 0, ""},
        {"strncpy", Buffer, "", null_ptr, 5, std::string(5, '\0')},
        {"strncpy", Buffer, "", null_ptr, 40, std::string(40, '\0')},
        {"strncpy", Buffer, "", txt("ab"), 18, "ab" + std::string(16, '\0')},
        {"strncpy", Buffer, "", txt("ab"), 19, "ab" + std::string(17, '\0')},
        {"strncpy", Buffer, "", txt("ab"), 45, "ab" + std::string(43, '\0')},
        {"strncpy", Buffer, "", txt(""), 17, std::string(17, '\0')},
        {"strncpy", NullDst, "", txt("abc"), 5, ""},
        {"strcat", Buffer, zt::bytes("xy\0"), txt("abc"), 0, zt::bytes("xyabc\0")},
        {"strcat", Buffer, zt::bytes("\0"), txt("abc"), 0, zt::bytes("abc\0")},
        {"strcat", Buffer, zt::bytes("xy\0"), null_ptr, 0, zt::bytes("xy\0")},
        {"strcat", NullDst, "", txt("abc"), 0, ""},
        {"strcat", LowDst, "", txt("abc"), 0, ""},
        {"strncat", Buffer, zt::bytes("xy\0"), txt("abc"), 2, zt::bytes("xyab\0")},
        {"strncat", Buffer, zt::bytes("xy\0"), txt("abc"), 3, zt::bytes("xyabc\0")},
        {"strncat", Buffer, zt::bytes("xy\0"), txt("abc"), 10, zt::bytes("xyabc\0")},
        {"strncat", Buffer, zt::bytes("xy\0"), txt(""), 10, zt::bytes("xy\0")},
        {"strncat", Buffer, "xy", txt("abc"), 0, "xy"},       // writes nothing, not even a zero
        {"strncat", Buffer, "xy", null_ptr, 5, "xy"},
        {"strncat", NullDst, "", txt("abc"), 5, ""},
        {"strncat", LowDst, "", txt("abc"), 5, ""},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(std::string(r.fn) + " onto \"" + r.init + "\" from " + describe(r.src) + " n " +
                     std::to_string(r.n));
        Guest g;
        g.install_guards();
        Buf b = make_buf(g, kSize, r.init);
        uint32_t d = r.dst == Buffer ? b.addr : r.dst == LowDst ? kLow : 0;
        uint32_t s = place(g, r.src);
        auto res = g.call_full(r.fn, {d, s, r.n});
        ASSERT_TRUE(res.returned()) << res.outcome.report;
        EXPECT_EQ(res.eax, d);
        std::string want = r.dst == Buffer ? filled(r.expected, kSize) : filled(r.init, kSize);
        EXPECT_EQ(g.read(b.addr, kSize), want);
        expect_canaries(g, b);
    }
}

// ---------------------------------------------------------------- duplicates

TEST(String, Duplicates)
{
    struct Row {
        const char *fn;
        Ptr s;
        uint32_t n;                          // strndup only
        std::optional<std::string> expected; // nullopt: a null result
    };
    const Row rows[] = {
        {"strdup", txt("abc"), 0, "abc"},
        {"strdup", txt(""), 0, ""},
        {"strdup", null_ptr, 0, std::nullopt},
        {"strdup", low_ptr, 0, ""},
        {"strndup", txt("abcdef"), 3, "abc"},
        {"strndup", txt("ab"), 10, "ab"},
        {"strndup", txt("ab"), 2, "ab"},
        {"strndup", txt("ab"), 0, ""},
        {"strndup", low_ptr, 5, ""},
        {"strndup", null_ptr, 5, std::nullopt},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(std::string(r.fn) + " " + describe(r.s) + " n " + std::to_string(r.n));
        Guest g;
        g.install_guards();
        uint32_t s = place(g, r.s);
        uint32_t p = g.call(r.fn, {s, r.n});
        uint32_t used = g.global32("g_heap_used");
        if (!r.expected) {
            EXPECT_EQ(p, 0u);
            EXPECT_EQ(used, 0u);     // nothing allocated
            continue;
        }
        uint32_t len = uint32_t(r.expected->size());
        ASSERT_EQ(p, g.sym("g_heap") + 4);
        EXPECT_EQ(g.read(p, len + 1), *r.expected + '\0');
        EXPECT_EQ(g.read32(p - 4), len + 1);           // the block header
        EXPECT_EQ(used, (len + 1 + 11) & ~7u);
        EXPECT_EQ(g.global32("errno"), 0u);
    }
}

TEST(String, StrndupNeverReadsPastN)
{
    Guest g;
    uint32_t s = g.put_at_page_end("abc");   // no zero byte, and nothing after it
    uint32_t p = g.call("strndup", {s, 3u});
    ASSERT_NE(p, 0u);
    EXPECT_EQ(g.read(p, 4), zt::bytes("abc\0"));
}

TEST(String, DuplicatesFailWhenTheArenaIsFull)
{
    for (const char *fn : {"strdup", "strndup"}) {
        SCOPED_TRACE(fn);
        Guest g;
        g.set_global32("g_heap_used", 0x100000 - 8);   // room for a 4-byte payload only
        uint32_t s = g.str("abcd");
        EXPECT_EQ(g.call(fn, {s, 10u}), 0u);
        EXPECT_EQ(g.global32("errno"), 12u);
        EXPECT_EQ(g.global32("g_heap_used"), 0x100000u - 8);
        uint32_t t = g.str("abc");
        EXPECT_NE(g.call(fn, {t, 10u}), 0u);        // the next smaller one still fits
    }
}

// ---------------------------------------------------------------- tokens

TEST(String, Strtok)
{
    struct Row {
        std::string text;
        std::optional<std::string> delims;   // nullopt: a null delimiter set
        std::vector<std::string> tokens;
        std::string after;
    };
    const Row rows[] = {
        {"a,b,,c", ",", {"a", "b", "c"}, zt::bytes("a\0b\0,c")},
        {",,a,b,", ",", {"a", "b"}, zt::bytes(",,a\0b\0")},
        {"  hello world  ", " ", {"hello", "world"}, zt::bytes("  hello\0world\0 ")},
        {"abc", "", {"abc"}, "abc"},
        {"abc", std::nullopt, {"abc"}, "abc"},
        {"", ",", {}, ""},
        {",,,", ",", {}, ",,,"},
        {"a;b c", "; ", {"a", "b", "c"}, zt::bytes("a\0b\0c")},
        {"A,a", "a", {"A,"}, zt::bytes("A,\0")},      // matched exactly, no folding
    };
    for (const Row &r : rows) {
        SCOPED_TRACE("text \"" + r.text + "\" delims " + (r.delims ? '"' + *r.delims + '"' : "null"));
        Guest g;
        uint32_t text = g.put_at_page_end(r.text + '\0');
        uint32_t delims = r.delims ? g.str(*r.delims) : 0;
        std::vector<std::string> got;
        uint32_t arg = text;
        for (int i = 0; i < 10; i++) {
            uint32_t tok = g.call("strtok", {arg, delims});
            if (!tok)
                break;
            EXPECT_GE(tok, text);
            EXPECT_LT(tok, text + r.text.size());
            got.push_back(g.read_str(tok));
            arg = 0;
        }
        EXPECT_EQ(got, r.tokens);
        EXPECT_EQ(g.read(text, uint32_t(r.text.size()) + 1), r.after + '\0');
        // Once it has answered null, it stays null.
        EXPECT_EQ(g.call("strtok", {0u, delims}), 0u);
    }
}

TEST(String, StrtokStartsNothingWithoutAText)
{
    Guest g;
    uint32_t delims = g.str(",");
    EXPECT_EQ(g.call("strtok", {0u, delims}), 0u);
    // A new text restarts the position, even in the middle of another one.
    uint32_t first = g.str("a,b");
    uint32_t second = g.str("x,y");
    EXPECT_EQ(g.read_str(g.call("strtok", {first, delims})), "a");
    EXPECT_EQ(g.read_str(g.call("strtok", {second, delims})), "x");
    EXPECT_EQ(g.read_str(g.call("strtok", {0u, delims})), "y");
    EXPECT_EQ(g.call("strtok", {0u, delims}), 0u);
}

} // namespace
