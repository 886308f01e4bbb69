// Scanners: the engine's table of formats and inputs (each use of whitespace
// with its own byte set, slots taken only by conversions that assign, %s
// bounded by its width), and fscanf's one token per call with the stream's
// position, end-of-file flag and the bytes it leaves on the descriptor.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "emu/process.hpp"
#include "harness.hpp"

using namespace zt;

namespace {

constexpr uint32_t FILE_SIZE = 44;  // eleven 32-bit fields
constexpr uint32_t POS = 36, EOF_FLAG = 40;
constexpr int32_t DESCRIPTOR = 1, MEMORY = 2, DEFERRED = 3;
constexpr uint8_t CANARY = 0xA5;
constexpr uint32_t GUARD = 8;       // canary bytes on each side of a slot

// What one destination should hold after the call. A slot that is not
// stored must still be all canary.
struct Slot {
    enum Kind { Int, Str, Chr } kind;
    bool stored;
    uint32_t num = 0;
    std::string text;

    uint32_t capacity() const { return kind == Int ? 4 : kind == Chr ? 1 : 320; }
    std::string content() const
    {
        if (!stored)
            return "";
        if (kind == Int)
            return std::string{char(num), char(num >> 8), char(num >> 16), char(num >> 24)};
        if (kind == Chr)
            return text;
        return text + '\0';
    }
};

Slot I(uint32_t v) { return {Slot::Int, true, v, ""}; }
Slot S(std::string s) { return {Slot::Str, true, 0, std::move(s)}; }
Slot C(char c) { return {Slot::Chr, true, 0, std::string(1, c)}; }
Slot NI() { return {Slot::Int, false, 0, ""}; }
Slot NS() { return {Slot::Str, false, 0, ""}; }
Slot NC() { return {Slot::Chr, false, 0, ""}; }

// Destinations with canaries around them, in guest memory.
struct Slots {
    std::vector<Slot> want;
    std::vector<uint32_t> blocks;

    Slots(Guest &g, std::vector<Slot> w) : want(std::move(w))
    {
        for (const Slot &s : want)
            blocks.push_back(g.alloc(GUARD + s.capacity() + GUARD, CANARY));
    }
    uint32_t addr(size_t i) const { return blocks[i] + GUARD; }
    void check(Guest &g) const
    {
        for (size_t i = 0; i < want.size(); i++) {
            SCOPED_TRACE("slot " + std::to_string(i));
            const uint32_t size = GUARD + want[i].capacity() + GUARD;
            std::string expected(size, char(CANARY));
            const std::string c = want[i].content();
            expected.replace(GUARD, c.size(), c);
            EXPECT_EQ(g.read(blocks[i], size), expected);
        }
    }
};

// Control bytes spelt out, so that a failing row names itself readably.
std::string show(const std::string &s)
{
    std::string out;
    for (char c : s) {
        switch (c) {
        case '\t': out += "{TAB}"; break;
        case '\n': out += "{LF}"; break;
        case '\v': out += "{VT}"; break;
        case '\r': out += "{CR}"; break;
        default: out += c;
        }
    }
    return out.size() > 40 ? out.substr(0, 37) + "..." : out;
}

// A stream record in guest memory with every other field zero.
uint32_t make_file(Guest &g, int32_t kind, int32_t fd)
{
    uint32_t f = g.alloc(FILE_SIZE);
    g.write32(f, uint32_t(kind));
    g.write32(f + 4, uint32_t(fd));
    return f;
}

struct ScanRow {
    std::string input, format;
    int32_t result;
    std::vector<Slot> slots;
};

const std::string X255(255, 'x');
const std::string X256(256, 'x');
const std::string X300(300, 'x');

} // namespace

TEST(Sscanf, Table)
{
    const ScanRow rows[] = {
        // Whitespace: a format directive skips TAB, LF and space; a
        // conversion skips TAB and space only; nothing skips CR.
        {"42", "%d", 1, {I(42)}},
        {"  -42 17", "%d %d", 2, {I(-42), I(17)}},
        {"\t+7", "%d", 1, {I(7)}},
        {"\n7", "%d", 0, {NI()}},
        {"\n7", " %d", 1, {I(7)}},
        {"\r7", "%d", 0, {NI()}},
        {"\r7", " %d", 0, {NI()}},
        {"5 6", "%d%d", 2, {I(5), I(6)}},
        {"5\n6", "%d%d", 1, {I(5), NI()}},
        {"5\n6", "%d\n%d", 2, {I(5), I(6)}},
        {"5\t\n 6", "%d\t%d", 2, {I(5), I(6)}},
        {"5\r6", "%d %d", 1, {I(5), NI()}},
        // Bases and prefixes.
        {"010", "%d", 1, {I(10)}},
        {"010", "%i", 1, {I(8)}},
        {"017", "%i", 1, {I(15)}},
        {"09", "%i", 1, {I(0)}},
        {"0", "%i", 1, {I(0)}},
        {"0x1f", "%i", 1, {I(31)}},
        {"-0X1A", "%i", 1, {I(-26)}},
        {"0xg", "%i", 0, {NI()}},
        {"0x1f", "%x%c", 2, {I(0), C('x')}},  // no prefix for %x: it stops at the x
        {"1f", "%x", 1, {I(31)}},
        {"-ff", "%X", 1, {I(uint32_t(-255))}},
        {"ffffffff", "%x", 1, {I(0xffffffffu)}},
        {"4294967295", "%u", 1, {I(4294967295u)}},
        {"-5", "%u", 0, {NI()}},
        {"+5", "%u", 0, {NI()}},
        // Wrap modulo 2^32, and signs.
        {"99999999999", "%d", 1, {I(1215752191)}},
        {"2147483648", "%d", 1, {I(0x80000000u)}},
        {"-2147483648", "%d", 1, {I(0x80000000u)}},
        {"+-5", "%d", 0, {NI()}},
        {"- 5", "%d", 0, {NI()}},
        {"-", "%d", 0, {NI()}},
        // Widths: read past on every conversion but %s.
        {"123456", "%3d", 1, {I(123456)}},
        {"abc", "%2c%c", 2, {C('a'), C('b')}},
        // A width bounds what %s stores, and the scan goes on from the
        // first byte not stored.
        {"abcdef", "%3s", 1, {S("abc")}},
        {"abcdef", "%3s%s", 2, {S("abc"), S("def")}},
        {"abcdef", "%*3s%s", 1, {S("def")}},
        {"ab cd", "%5s", 1, {S("ab")}},
        {"abc", "%0s%s", 2, {S(""), S("abc")}},
        {"abcdef", "%4294967296s", 1, {S("abcdef")}},  // saturates, does not wrap to 0
        {X300, "%s", 1, {S(X300)}},  // no width, no limit
        // Strings and characters.
        {"abc def", "%s %s", 2, {S("abc"), S("def")}},
        {"abc\rdef x", "%s", 1, {S("abc\rdef")}},
        {"\nabc", "%s", 1, {S("")}},
        {"\nabc", "%s%s", 2, {S(""), S("")}},
        {"", "%s", 0, {NS()}},
        {"   ", "%s", 0, {NS()}},
        {"ab\tcd", "%s%c", 2, {S("ab"), C('\t')}},
        {"xy", "%c%c", 2, {C('x'), C('y')}},
        {" x", "%c", 1, {C(' ')}},
        {"  x", " %c", 1, {C('x')}},
        {"", "%c", 0, {NC()}},
        // Literals and %%.
        {"a=5", "a=%d", 1, {I(5)}},
        {"b=5", "a=%d", 0, {NI()}},
        {"1,2", "%d,%d", 2, {I(1), I(2)}},
        {"1 ,2", "%d,%d", 1, {I(1), NI()}},
        {"1 ,2", "%d ,%d", 2, {I(1), I(2)}},
        {"50%7", "%d%%%d", 2, {I(50), I(7)}},
        {"50x7", "%d%%%d", 1, {I(50), NI()}},
        {"%7", "%5%%d", 1, {I(7)}},
        // Suppression takes no slot and counts nothing.
        {"1 2 3", "%d %*d %d", 2, {I(1), I(3)}},
        {"12 34", "%*5d %d", 1, {I(34)}},
        {"12", "%5*d", 0, {NI()}},
        {"12 ab", "%d %*s %d", 1, {I(12), NI()}},
        {"12 ab 7", "%d %*s %d", 2, {I(12), I(7)}},
        {"x y", "%*c%*c%c", 1, {C('y')}},
        {"12abc", "%d%s", 2, {I(12), S("abc")}},
        // Anything else ends the scan.
        {"12", "%ld", 0, {NI()}},
        {"12", "%hd", 0, {NI()}},
        {"12", "%f", 0, {NI()}},
        {"12", "%o", 0, {NI()}},
        {"12", "%p", 0, {NI()}},
        {"12", "%n", 0, {NI()}},
        {"12", "%[0-9]", 0, {NI()}},
        {"12", "%D", 0, {NI()}},
        {"12", "%", 0, {NI()}},
        {"12", "%d%", 1, {I(12)}},
        {"x", "", 0, {}},
    };
    Guest g;
    const uint32_t sscanf_addr = g.sym("sscanf");
    for (const ScanRow &r : rows) {
        SCOPED_TRACE("\"" + show(r.input) + "\" with \"" + show(r.format) + "\"");
        // Both texts end against an unmapped page: a read past either zero
        // byte faults.
        std::vector<Arg> args{g.put_at_page_end(r.input + '\0'), g.put_at_page_end(r.format + '\0')};
        Slots slots(g, r.slots);
        for (size_t i = 0; i < r.slots.size(); i++)
            args.push_back(slots.addr(i));
        const CallResult res = g.call_addr(sscanf_addr, args);
        ASSERT_TRUE(res.returned()) << res.outcome.report;
        EXPECT_EQ(int32_t(res.eax), r.result);
        slots.check(g);
    }
}

// %s takes its slot even when it holds a null pointer: the token is consumed
// and the next conversion uses the next slot.
TEST(Sscanf, StringIntoNullSlotIsConsumedUncounted)
{
    Guest g;
    Slots slots(g, {I(5)});
    EXPECT_EQ(g.call("sscanf", {g.str("abc 5"), g.str("%s %d"), 0, slots.addr(0)}), 1u);
    slots.check(g);
}

// The engine takes its list of slots as the i386 passes it: a pointer to the
// words in memory.
TEST(Sscanf, VsscanfReadsTheArgumentList)
{
    Guest g;
    Slots slots(g, {I(7), S("ab"), C('z')});
    const uint32_t list = g.alloc(12);
    for (uint32_t i = 0; i < 3; i++)
        g.write32(list + 4 * i, slots.addr(i));
    EXPECT_EQ(g.call("vsscanf", {g.str("7 ab z"), g.str("%d %s %c"), list}), 3u);
    slots.check(g);
}

// Each row: the bytes descriptor 3 delivers before its end of input; what
// one fscanf call returns and stores; the stream's pos and eof after it; and
// what a later read still finds on the descriptor.
TEST(Fscanf, OneTokenPerCall)
{
    struct Row {
        std::string bytes, format;
        int32_t result;
        std::vector<Slot> slots;
        int32_t pos, eof;
        std::string left;
    };
    const Row rows[] = {
        {"42 17", "%d", 1, {I(42)}, 3, 0, "17"},
        {"42 17", "%d %d", 1, {I(42), NI()}, 3, 0, "17"},
        {"  \r\n\t42\n", "%d", 1, {I(42)}, 8, 0, ""},
        {"12,34 5", "%d,%d", 2, {I(12), I(34)}, 6, 0, "5"},
        {"abc", "%s", 1, {S("abc")}, 3, 1, ""},
        {"ab  cd", "%s", 1, {S("ab")}, 3, 0, " cd"},  // one whitespace byte is taken
        {"ab\rcd", "%s", 1, {S("ab")}, 3, 0, "cd"},   // CR ends a token here
        {"\v42", "%d", 0, {NI()}, 3, 1, ""},
        {"", "%d", -1, {NI()}, 0, 1, ""},
        {"   ", "%d", -1, {NI()}, 3, 1, ""},
        {X300 + " y", "%s", 1, {S(X255)}, 301, 0, "y"},
        {X256, "%s", 1, {S(X255)}, 256, 1, ""},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE("\"" + show(r.bytes) + "\" with \"" + show(r.format) + "\"");
        Guest g;
        g.process().kernel().files().set_input(3, r.bytes);
        const uint32_t f = make_file(g, DESCRIPTOR, 3);
        Slots slots(g, r.slots);
        std::vector<Arg> args{f, g.str(r.format)};
        for (size_t i = 0; i < r.slots.size(); i++)
            args.push_back(slots.addr(i));
        const CallResult res = g.call_addr(g.sym("fscanf"), args);
        ASSERT_TRUE(res.returned()) << res.outcome.report;
        EXPECT_EQ(int32_t(res.eax), r.result);
        slots.check(g);
        EXPECT_EQ(int32_t(g.read32(f + POS)), r.pos);
        EXPECT_EQ(int32_t(g.read32(f + EOF_FLAG)), r.eof);

        // One byte per call: a call for every byte taken, and one more that
        // found the end.
        const auto reads = g.calls(3);
        EXPECT_EQ(reads.size(), size_t(r.pos + r.eof));
        for (const CallRecord &c : reads) {
            EXPECT_EQ(c.ebx, 3u);
            EXPECT_EQ(c.edx, 1u);
        }

        const uint32_t buf = g.alloc(1024);
        const int32_t n = int32_t(g.call("read", {3, buf, 1024}));
        ASSERT_GE(n, 0);
        EXPECT_EQ(g.read(buf, uint32_t(n)), r.left);
    }
}

// Read failures and odd kernel answers, before and inside the token. Once
// the scripted answers run out, descriptor 3 (never opened) would fail every
// read, so each row also checks that no read was made beyond its script.
TEST(Fscanf, ReadFailures)
{
    struct Row {
        const char *what;
        std::vector<Reply> replies;
        int32_t result;
        std::vector<Slot> slots;
        int32_t pos, eof;
    };
    const Row rows[] = {
        {"failure on the first read", {Reply::ret(-5)}, -1, {NI()}, 0, 1},
        {"failure after whitespace", {Reply::data(" "), Reply::ret(-5)}, -1, {NI()}, 1, 1},
        {"failure after 123",
         {Reply::data("1"), Reply::data("2"), Reply::data("3"), Reply::ret(-5)},
         1, {I(123)}, 3, 1},
        {"two bytes for one before the token", {Reply::ret(2)}, -1, {NI()}, 2, 0},
        {"two bytes for one inside the token", {Reply::data("7"), Reply::ret(2)}, 1, {I(7)}, 3, 0},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        Guest g;
        const uint32_t f = make_file(g, DESCRIPTOR, 3);
        g.answer(3, r.replies);
        Slots slots(g, r.slots);
        EXPECT_EQ(int32_t(g.call("fscanf", {f, g.str("%d"), slots.addr(0)})), r.result);
        slots.check(g);
        EXPECT_EQ(int32_t(g.read32(f + POS)), r.pos);
        EXPECT_EQ(int32_t(g.read32(f + EOF_FLAG)), r.eof);
        EXPECT_EQ(g.calls(3).size(), r.replies.size());
    }
}

// fscanf adds to the position it finds, never clears eof (nor lets it stop a
// read), and leaves every other field alone.
TEST(Fscanf, KeepsTheRestOfTheRecord)
{
    Guest g;
    g.process().kernel().files().set_input(3, "7 8");
    const uint32_t f = make_file(g, DESCRIPTOR, 3);
    for (uint32_t off = 8; off < POS; off += 4)
        g.write32(f + off, 0x1000 + off);  // path .. error: any values
    g.write32(f + POS, 10);
    g.write32(f + EOF_FLAG, 1);
    const std::string before = g.read(f, POS);

    Slots first(g, {I(7)});
    EXPECT_EQ(g.call("fscanf", {f, g.str("%d"), first.addr(0)}), 1u);
    first.check(g);
    EXPECT_EQ(g.read32(f + POS), 12u);
    EXPECT_EQ(g.read32(f + EOF_FLAG), 1u);

    Slots second(g, {I(8)});
    EXPECT_EQ(g.call("fscanf", {f, g.str("%d"), second.addr(0)}), 1u);
    second.check(g);
    EXPECT_EQ(g.read32(f + POS), 13u);
    EXPECT_EQ(g.read(f, POS), before);
}

TEST(Fscanf, RefusesWithoutReading)
{
    Guest g;
    const uint32_t fmt = g.str("%d");
    struct Row {
        const char *what;
        uint32_t stream, format;
    };
    const Row rows[] = {
        {"null stream", 0, fmt},
        {"null format", make_file(g, DESCRIPTOR, 0), 0},
        {"memory stream", make_file(g, MEMORY, 0), fmt},
        {"deferred stream", make_file(g, DEFERRED, 0), fmt},
    };
    g.process().kernel().files().set_input(0, "5 ");
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        g.clear_calls();
        Slots slots(g, {NI()});
        const std::string record = r.stream ? g.read(r.stream, FILE_SIZE) : "";
        EXPECT_EQ(int32_t(g.call("fscanf", {r.stream, r.format, slots.addr(0)})), -1);
        EXPECT_TRUE(g.calls().empty());
        slots.check(g);
        if (r.stream)
            EXPECT_EQ(g.read(r.stream, FILE_SIZE), record);
    }
}

TEST(Fscanf, StdinReadsDescriptor0)
{
    Guest g;
    g.process().kernel().files().set_input(0, " 5 6");
    Slots slots(g, {I(5)});
    EXPECT_EQ(g.call("fscanf", {g.global32("stdin"), g.str("%d"), slots.addr(0)}), 1u);
    slots.check(g);
    EXPECT_EQ(g.read32(g.sym("g_stdin") + POS), 3u);
    for (const CallRecord &c : g.calls(3))
        EXPECT_EQ(c.ebx, 0u);
}
