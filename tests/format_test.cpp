// Formatted output: the buffer formatter (flags, cut-off, terminator, full
// length as result) and the stream formatter (every piece a sink call of its
// own, the console's attribute record, the stop at the first failed write),
// and the 64-bit division the stream formatter's digits need on i386.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "harness.hpp"

using namespace zt;

namespace {

constexpr uint8_t CANARY = 0xA5;
constexpr uint32_t GUARD = 16;  // canary bytes on each side of a buffer
constexpr int64_t I64_MIN = INT64_MIN;

std::string canaries(size_t n) { return std::string(n, char(CANARY)); }

// Arguments naming strings are placed in guest memory first; a row lists
// them as Str("text"), and everything else as plain words.
struct A {
    enum Kind { Word, Text } kind = Word;
    Arg arg{0u};
    std::string text;
    A(int v) : arg(v) {}
    A(unsigned v) : arg(v) {}
    A(Arg a) : arg(a) {}
};
A Str(std::string s)
{
    A a(0u);
    a.kind = A::Text;
    a.text = std::move(s);
    return a;
}

std::vector<Arg> place(Guest &g, const std::vector<A> &args)
{
    std::vector<Arg> out;
    for (const A &a : args)
        out.push_back(a.kind == A::Text ? Arg(g.str(a.text)) : a.arg);
    return out;
}

// The words of a variable-argument list laid out in guest memory, as an
// i386 va_list points at them.
uint32_t va_list_of(Guest &g, const std::vector<Arg> &args)
{
    uint32_t n = 0;
    for (const Arg &a : args)
        n += uint32_t(a.n);
    const uint32_t ap = g.alloc(4 * (n ? n : 1));
    uint32_t at = ap;
    for (const Arg &a : args)
        for (int i = 0; i < a.n; i++, at += 4)
            g.write32(at, a.w[i]);
    return ap;
}

// Tables write a space as a middle dot, so that pads can be counted.
std::string spaces(std::string s)
{
    const std::string dot = "·";
    for (size_t at; (at = s.find(dot)) != std::string::npos;)
        s.replace(at, dot.size(), " ");
    return s;
}

// One write call's bytes per entry: "·|·|42" is three writes.
std::vector<std::string> split_writes(const std::string &s)
{
    std::vector<std::string> out;
    if (s.empty())
        return out;
    size_t from = 0;
    for (;;) {
        const size_t bar = s.find('|', from);
        out.push_back(spaces(s.substr(from, bar == std::string::npos ? bar : bar - from)));
        if (bar == std::string::npos)
            return out;
        from = bar + 1;
    }
}

std::vector<std::string> writes_of(Guest &g)
{
    std::vector<std::string> out;
    for (const CallRecord &c : g.calls(1)) {
        EXPECT_EQ(c.ebx, 1u);
        out.push_back(c.data);
    }
    return out;
}

uint32_t make_file(Guest &g, int32_t kind, int32_t fd)
{
    const uint32_t f = g.alloc(44);  // eleven 32-bit fields, the rest zero
    g.write32(f, uint32_t(kind));
    g.write32(f + 4, uint32_t(fd));
    return f;
}

// snprintf into a buffer of `size` bytes with canaries on both sides; the
// buffer is allocated at `room` bytes whatever `size` claims.
struct Formatted {
    int32_t result;
    std::string before, stored, after;  // canary zone, buffer, canary zone
};

Formatted format_into(Guest &g, uint32_t size, uint32_t room, const std::string &fmt,
                      const std::vector<A> &args)
{
    const uint32_t block = g.alloc(room + 2 * GUARD, CANARY);
    const uint32_t buf = block + GUARD;
    std::vector<Arg> call = {buf, size, g.str(fmt)};
    for (const Arg &a : place(g, args))
        call.push_back(a);
    const CallResult r = g.call_addr(g.sym("snprintf"), call);
    EXPECT_TRUE(r.returned()) << r.outcome.report;
    return {int32_t(r.eax), g.read(block, GUARD), g.read(buf, room), g.read(buf + room, GUARD)};
}

} // namespace

// ---- Buffer formatter -------------------------------------------------------

TEST(BufferFormatter, Directives)
{
    struct Row {
        std::string fmt;
        std::vector<A> args;
        std::string out;  // without the terminator; · is a space
        int32_t result;
    };
    const Row rows[] = {
        {"%5d", {42}, "···42", 5},
        {"%-5d", {42}, "42···", 5},
        {"%05d", {-42}, "-0042", 5},
        {"%-05d", {42}, "42···", 5},
        {"%0-5d", {42}, "42···", 5},
        {"%+d", {0}, "+0", 2},
        {"%+05d", {42}, "+0042", 5},
        {"%-+5d", {3}, "+3···", 5},
        {"%08.5d", {-42}, "··-00042", 8},
        {"%-8.5d", {-42}, "-00042··", 8},
        {"%08.0d", {7}, "·······7", 8},
        {"%.0d", {0}, "0", 1},
        {"%d", {int(0x80000000u)}, "-2147483648", 11},
        {"%+i", {int(0x80000000u)}, "-2147483648", 11},
        {"%d", {0x7fffffff}, "2147483647", 10},
        {"%5d", {12345}, "12345", 5},      // width equal to the field
        {"%6d", {-12345}, "-12345", 6},    // the sign counts in the field
        {"%.3d", {123}, "123", 3},         // precision equal to the digits
        {"%.4d", {-123}, "-0123", 5},
        {"%+u", {7}, "7", 1},
        {"%u", {-1}, "4294967295", 10},
        {"%06.3u", {7}, "···007", 6},
        {"%X", {0xDEADBEEFu}, "DEADBEEF", 8},
        {"%x", {0xFFFFFFFFu}, "ffffffff", 8},
        {"%X", {0xFFFFFFFFu}, "FFFFFFFF", 8},
        {"%x", {16}, "10", 2},
        {"%05x", {0xAB}, "000ab", 5},
        {"%+x", {0xAB}, "ab", 2},
        {"%10p", {0x1234}, "0x1234", 6},
        {"%-010.8p", {0x1234}, "0x1234", 6},
        {"%p", {0}, "0x0", 3},
        {"%p", {0xFFFFFFFFu}, "0xffffffff", 10},
        {"%5c", {66}, "B", 1},
        {"%c", {0x141}, "A", 1},
        {"%c", {0}, std::string(1, '\0'), 1},
        {"%5s", {Str("abc")}, "··abc", 5},
        {"%-5s", {Str("abc")}, "abc··", 5},
        {"%05s", {Str("abc")}, "··abc", 5},
        {"%3s", {Str("abc")}, "abc", 3},
        {"%5.0s", {Str("abc")}, "·····", 5},
        {"%.2s", {Str("abc")}, "ab", 2},
        {"%.9s", {Str("abc")}, "abc", 3},
        {"%s", {0}, "(null)", 6},
        {"%.3s", {0}, "(nu", 3},
        {"%s", {16}, "", 0},         // an address in the null page
        {"%-4s|", {16}, "····|", 5},
        {"%*d", {-5, 42}, "42", 2},
        {"%*d", {5, 42}, "···42", 5},
        {"%*s", {-5, Str("ab")}, "ab", 2},
        {"%.*d", {-1, 42}, "42", 2},
        {"%.*d", {4, 42}, "0042", 4},
        {"%*.*s|%d", {4, 1, Str("xyz"), 9}, "···x|9", 6},
        {"%5%", {}, "%", 1},
        {"%%d", {}, "%d", 2},
        {"% d", {}, "%·d", 3},
        {"%#x", {}, "%#x", 3},
        {"%5-d", {}, "%-d", 3},
        {"%-08.3lq", {}, "%q", 2},
        {"%lzu", {}, "%zu", 3},
        {"%hd%d", {4}, "%hd4", 4},
        {"%ld %zu", {-3, 4}, "-3 4", 4},
        {"ab%5", {}, "ab", 2},
        {"ab%", {}, "ab", 2},
        {"ab%-+0", {}, "ab", 2},
        {"ab%.", {}, "ab", 2},
        {"ab%ll", {}, "ab", 2},
        {"ab%*", {3}, "ab", 2},
        {"", {}, "", 0},
        // "ll" takes the whole 64-bit argument, and the ones after it stay
        // in step.
        {"%lld %d", {Arg::i64(5), 6}, "5 6", 3},
        {"%lld", {Arg::i64(I64_MIN)}, "-9223372036854775808", 20},
        {"%+lli", {Arg::i64(0x100000000)}, "+4294967296", 11},
        {"%llu", {Arg::u64(UINT64_MAX)}, "18446744073709551615", 20},
        {"%llX|%d", {Arg::u64(0x0123456789ABCDEFull), 1}, "123456789ABCDEF|1", 17},
        {"%022.20llx", {Arg::u64(0xFEDCBA9876543210ull)}, "··0000fedcba9876543210", 22},
        {"%llp %c", {Arg::u64(0x1F00000000ull), 'z'}, "0x1f00000000 z", 14},
    };
    Guest g;
    for (const Row &r : rows) {
        SCOPED_TRACE("format \"" + r.fmt + "\"");
        const std::string want = spaces(r.out);
        const Formatted f = format_into(g, 64, 64, r.fmt, r.args);
        EXPECT_EQ(f.result, r.result);
        EXPECT_EQ(f.stored, want + '\0' + canaries(64 - want.size() - 1));
        EXPECT_EQ(f.before, canaries(GUARD));
        EXPECT_EQ(f.after, canaries(GUARD));
    }
}

// A cut-off keeps the last byte for the terminator and still returns the
// length of the whole output.
TEST(BufferFormatter, CutOff)
{
    struct Row {
        uint32_t size;
        std::string fmt;
        std::vector<A> args;
        std::string stored;  // the bytes written, terminator included
        int32_t result;
    };
    const Row rows[] = {
        {0, "ab%dcd", {123}, "", 7},
        {1, "ab%dcd", {123}, std::string(1, '\0'), 7},
        {2, "ab%dcd", {123}, bytes("a\0"), 7},
        {5, "ab%dcd", {123}, bytes("ab12\0"), 7},
        {7, "ab%dcd", {123}, bytes("ab123c\0"), 7},
        {8, "ab%dcd", {123}, bytes("ab123cd\0"), 7},
        {0xFFFFFFFFu, "ab%dcd", {123}, bytes("ab123cd\0"), 7},
        {4, "%-5d|", {-7}, bytes("-7 \0"), 6},
        {2, "%p", {0xAB}, bytes("0\0"), 4},
        {4, "s%dxyz", {77}, bytes("s77\0"), 6},
        {3, "%c%c%c", {'x', 0, 'y'}, bytes("x\0\0"), 3},
        {0, "", {}, "", 0},
        {5, "", {}, std::string(1, '\0'), 0},
    };
    Guest g;
    for (const Row &r : rows) {
        SCOPED_TRACE("size " + std::to_string(r.size) + ", format \"" + r.fmt + "\"");
        const Formatted f = format_into(g, r.size, 16, r.fmt, r.args);
        EXPECT_EQ(f.result, r.result);
        EXPECT_EQ(f.stored, r.stored + canaries(16 - r.stored.size()));
        EXPECT_EQ(f.before, canaries(GUARD));
        EXPECT_EQ(f.after, canaries(GUARD));
    }
}

// Measuring: a null buffer or a null format stores nothing; a null format
// still terminates a real buffer.
TEST(BufferFormatter, NullBufferAndFormat)
{
    Guest g;
    const uint32_t fmt = g.str("ab%dcd");
    EXPECT_EQ(g.call("snprintf", {0u, 64u, fmt, 123}), 7u);
    EXPECT_EQ(g.call("snprintf", {0u, 0u, fmt, 123}), 7u);

    const uint32_t buf = g.alloc(8, CANARY);
    EXPECT_EQ(g.call("snprintf", {buf, 8u, 0u}), 0u);
    EXPECT_EQ(g.read(buf, 8), std::string(1, '\0') + canaries(7));
    EXPECT_EQ(g.call("snprintf", {0u, 8u, 0u}), 0u);
}

// With a precision no byte past it is read: an array bounded by the
// precision needs no terminator. Each string ends against an unmapped page.
TEST(BufferFormatter, PrecisionBoundsTheRead)
{
    Guest g;
    struct Row {
        std::string fmt, text, out;
    };
    const Row rows[] = {
        {"%.3s", "abc", "abc"},
        {"%.2s", "abc", "ab"},
        {"%-5.3s|", "abc", "abc  |"},
        {"%.0s", "", ""},  // the pointer is the first byte of the unmapped page
    };
    for (const Row &r : rows) {
        SCOPED_TRACE("format \"" + r.fmt + "\"");
        const uint32_t text = g.put_at_page_end(r.text);
        const uint32_t buf = g.alloc(16, CANARY);
        const CallResult res = g.call_addr(g.sym("snprintf"), {buf, 16u, g.str(r.fmt), text});
        ASSERT_TRUE(res.returned()) << res.outcome.report;
        EXPECT_EQ(res.eax, r.out.size());
        EXPECT_EQ(g.read_str(buf), r.out);
    }
}

// The unsized forms use a size of 65536: the 65537th byte is never touched,
// and the result still counts everything.
TEST(BufferFormatter, UnsizedFormsStopAt64KiB)
{
    Guest g;
    const uint32_t room = 0x10000 + GUARD;
    for (const char *fn : {"sprintf", "vsprintf"}) {
        SCOPED_TRACE(fn);
        const uint32_t buf = g.alloc(room, CANARY);
        const uint32_t fmt = g.str("%70000d|%s");
        const std::vector<Arg> args = {5, g.str("end")};
        const CallResult r = std::string(fn) == "sprintf"
                                 ? g.call_addr(g.sym(fn), {buf, fmt, args[0], args[1]})
                                 : g.call_addr(g.sym(fn), {buf, fmt, va_list_of(g, args)});
        ASSERT_TRUE(r.returned()) << r.outcome.report;
        EXPECT_EQ(r.eax, 70004u);
        const std::string out = g.read(buf, room);
        EXPECT_EQ(out.substr(0, 0xFFFF), std::string(0xFFFF, ' '));
        EXPECT_EQ(out[0xFFFF], '\0');
        EXPECT_EQ(out.substr(0x10000), canaries(GUARD));
    }

    // Short output: the same as snprintf with a large buffer.
    const uint32_t buf = g.alloc(32, CANARY);
    EXPECT_EQ(g.call("sprintf", {buf, g.str("%+05d|%-3s|%X"), 42, g.str("a"), 0xBEEFu}), 14u);
    EXPECT_EQ(g.read_str(buf), "+0042|a  |BEEF");
}

TEST(BufferFormatter, VsnprintfTakesAList)
{
    Guest g;
    const uint32_t buf = g.alloc(32, CANARY);
    const uint32_t ap = va_list_of(g, {3, Arg::i64(-1), g.str("z"), 0xABu});
    EXPECT_EQ(g.call("vsnprintf", {buf, 6u, g.str("%*lld %s %X!"), ap}), 9u);
    EXPECT_EQ(g.read(buf, 7), bytes(" -1 z\0") + char(CANARY));
}

// The digit renderer writes the digits and their count, never a terminator.
TEST(BufferFormatter, DigitRenderer)
{
    struct Row {
        uint64_t value;
        uint32_t base, upper;
        std::string digits;
    };
    const Row rows[] = {
        {0, 10, 0, "0"},
        {0, 16, 1, "0"},
        {9, 10, 0, "9"},
        {10, 10, 0, "10"},  // the last step is the one that found the value below the base
        {15, 16, 0, "f"},
        {16, 16, 0, "10"},
        {4294967295u, 10, 0, "4294967295"},
        {0xFFFFFFFFu, 16, 1, "FFFFFFFF"},
        {0xABCDEFu, 16, 0, "abcdef"},
        {UINT64_MAX, 10, 0, "18446744073709551615"},
        {UINT64_MAX, 16, 1, "FFFFFFFFFFFFFFFF"},
    };
    Guest g;
    for (const Row &r : rows) {
        SCOPED_TRACE(r.digits);
        const uint32_t scratch = g.alloc(24, CANARY);
        const uint32_t count = g.alloc(4, CANARY);
        g.call("snbuf_render_unsigned", {scratch, count, Arg::u64(r.value), r.base, r.upper});
        EXPECT_EQ(g.read32(count), r.digits.size());
        EXPECT_EQ(g.read(scratch, 24), r.digits + canaries(24 - r.digits.size()));
    }
}

// ---- Stream formatter -------------------------------------------------------

// On the console, for formats that do not begin with the attribute record:
// the exact write calls, one per literal byte, pad space and precision zero,
// one for the digits and one for a string's body.
TEST(StreamFormatter, WritesOnTheConsole)
{
    struct Row {
        std::string fmt;
        std::vector<A> args;
        std::string writes;  // write calls separated by |, · is a space
        int32_t result;
    };
    const Row rows[] = {
        {"%5d", {42}, "·|·|·|42", 5},
        {"%05d", {42}, "·|·|·|42", 5},
        {"%-5d", {42}, "%|-|5|d", 4},
        {"%+d", {42}, "%|+|d", 3},
        {"%.5d", {42}, "0|0|0|42", 5},
        {"%8.5d", {-42}, "·|·|-|0|0|0|42", 8},
        {"%5d", {12345}, "12345", 5},   // width equal to the field
        {"%3d", {-12}, "-|12", 3},
        {"%.3d", {123}, "123", 3},      // precision equal to the digits
        {"%.0d", {0}, "0", 1},
        {"%i", {0}, "0", 1},
        {"%d", {int(0x80000000u)}, "-|2147483648", 11},
        {"%d", {0x7fffffff}, "2147483647", 10},
        {"%u", {-1}, "4294967295", 10},
        {"%x", {0xFFFFFFFFu}, "ffffffff", 8},
        {"%x%X", {255, 255}, "ff|%|X", 4},
        {"%p%p", {0x1234, 0}, "0|x|1234|0|x|0", 9},
        {"%12.8p", {0x1234}, "·|·|0|x|0|0|0|0|1234", 12},
        {"%lld", {Arg::i64(I64_MIN)}, "-|9223372036854775808", 20},
        {"%llu", {Arg::u64(UINT64_MAX)}, "18446744073709551615", 20},
        {"%llx", {Arg::u64(UINT64_MAX)}, "ffffffffffffffff", 16},
        {"%lli %d", {Arg::i64(-10), 6}, "-|10| |6", 5},
        {"%llu/%llp", {Arg::u64(10), Arg::u64(0x100000000ull)}, "10|/|0|x|100000000", 14},
        {"%ld", {-3}, "-|3", 2},
        {"%lll", {}, "%|l", 2},
        {"%5c", {66}, "B", 1},
        {"X%c", {65}, "X|A", 2},
        {"%5.2s", {Str("abc")}, "·|·|·|ab", 5},
        {"%2s", {Str("abc")}, "abc", 3},
        {"%s", {Str("")}, "", 0},
        {"%s", {0}, "(null)", 6},
        {"%.3s", {0}, "(nu", 3},
        {"%3s", {16}, "·|·|·", 3},
        {"%.2s", {16}, "", 0},
        {"%*d", {-5, 42}, "42", 2},
        {"%*d", {3, 42}, "·|42", 3},
        {"%.*s", {-1, Str("abc")}, "abc", 3},
        {"%.*d", {3, 7}, "0|0|7", 3},
        {"%*%%d", {9, 11}, "%|11", 3},
        {"%5q", {}, "%|q", 2},
        {"%zu", {}, "%|z|u", 3},
        {"ab%", {}, "a|b", 2},
        {"ab%5", {}, "a|b", 2},
        {"ab%.3", {}, "a|b", 2},
        {"ab%ll", {}, "a|b", 2},
        {"", {}, "", 0},
    };
    Guest g;
    for (const Row &r : rows) {
        SCOPED_TRACE("format \"" + r.fmt + "\"");
        g.clear_calls();
        std::vector<Arg> call = {g.str(r.fmt)};
        for (const Arg &a : place(g, r.args))
            call.push_back(a);
        const CallResult res = g.call_addr(g.sym("printf"), call);
        ASSERT_TRUE(res.returned()) << res.outcome.report;
        EXPECT_EQ(int32_t(res.eax), r.result);
        EXPECT_EQ(writes_of(g), split_writes(r.writes));
    }
}

// The attribute record: 0xFF and the low bytes of three arguments in one
// write, only at the start of a format on a descriptor stream on fd 1, and
// not counted.
TEST(StreamFormatter, ConsoleAttributeRecord)
{
    struct Row {
        const char *what;
        const char *stream;  // record symbol; nullptr for a hand-built fd 1 record
        std::string fmt;
        std::vector<A> args;
        std::vector<std::string> writes;
        int32_t result;
    };
    const Row rows[] = {
        {"record then text", "g_stdout", "%cXY", {1, 2, 3}, {bytes("\xff\x01\x02\x03"), "X", "Y"}, 2},
        {"record alone", "g_stdout", "%c", {7, 8, 9}, {bytes("\xff\x07\x08\x09")}, 0},
        {"low bytes only", "g_stdout", "%cZ", {0x1234, 0xABCDEF56u, -1}, {bytes("\xff\x34\x56\xff"), "Z"}, 1},
        {"a second %c is a character", "g_stdout", "%c%c", {1, 2, 3, 65}, {bytes("\xff\x01\x02\x03"), "A"}, 1},
        {"the arguments after it stay in step", "g_stdout", "%c%d", {1, 2, 3, 45}, {bytes("\xff\x01\x02\x03"), "45"}, 2},
        {"not at the start", "g_stdout", "X%c", {65}, {"X", "A"}, 2},
        {"a width makes it a character", "g_stdout", "%5cQ", {65}, {"A", "Q"}, 2},
        {"standard error is the console too", "g_stderr", "%cE", {4, 5, 6}, {bytes("\xff\x04\x05\x06"), "E"}, 1},
        {"any descriptor stream on fd 1", nullptr, "%c", {1, 1, 1}, {bytes("\xff\x01\x01\x01")}, 0},
    };
    Guest g;
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        g.clear_calls();
        const uint32_t f = r.stream ? g.sym(r.stream) : make_file(g, 1, 1);
        std::vector<Arg> call = {f, g.str(r.fmt)};
        for (const Arg &a : place(g, r.args))
            call.push_back(a);
        const CallResult res = g.call_addr(g.sym("fprintf"), call);
        ASSERT_TRUE(res.returned()) << res.outcome.report;
        EXPECT_EQ(int32_t(res.eax), r.result);
        EXPECT_EQ(writes_of(g), r.writes);
    }
}

// The first failed write ends the call with -1; what was written before it
// stays on the console, and nothing after it is attempted.
TEST(StreamFormatter, StopsAtTheFirstFailedWrite)
{
    struct Row {
        const char *what;
        std::string fmt;
        std::vector<A> args;
        std::vector<Reply> answers;
        size_t attempts;      // write calls made
        std::string console;  // what the kernel took
    };
    const Row rows[] = {
        {"third literal byte", "abcdef", {}, {Reply::ret(1), Reply::ret(1), Reply::ret(-1)}, 3, "ab"},
        {"third pad space", "%5d", {42}, {Reply::ret(1), Reply::ret(1), Reply::ret(-1)}, 3, "  "},
        {"the digits", "%5d", {42}, {Reply::ret(1), Reply::ret(1), Reply::ret(1), Reply::ret(0)}, 4, "   "},
        {"a precision zero", "%.3d", {5}, {Reply::ret(1), Reply::ret(-1)}, 2, "0"},
        {"the minus sign", "%d", {-5}, {Reply::ret(-1)}, 1, ""},
        {"the x of a pointer", "%p", {1}, {Reply::ret(1), Reply::ret(-1)}, 2, "0"},
        {"a string's body", "%2s", {Str("abc")}, {Reply::ret(-1)}, 1, ""},
        {"the second byte of an unknown directive", "%q", {}, {Reply::ret(1), Reply::ret(-1)}, 2, "%"},
        {"the record", "%cA", {1, 2, 3}, {Reply::ret(-1)}, 1, ""},
        {"the byte after the record", "%cA", {1, 2, 3}, {Reply::ret(4), Reply::ret(-1)}, 2, bytes("\xff\x01\x02\x03")},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        Guest g;
        g.answer(1, r.answers);
        std::vector<Arg> call = {g.str(r.fmt)};
        for (const Arg &a : place(g, r.args))
            call.push_back(a);
        const CallResult res = g.call_addr(g.sym("printf"), call);
        ASSERT_TRUE(res.returned()) << res.outcome.report;
        EXPECT_EQ(int32_t(res.eax), -1);
        EXPECT_EQ(g.calls(1).size(), r.attempts);
        EXPECT_EQ(g.console(), r.console);
    }
}

// Streams that refuse writes, null arguments, and printf following the
// current stdout. None of these reaches the kernel.
TEST(StreamFormatter, RefusingStreamsAndNullArguments)
{
    Guest g;
    const uint32_t fd2 = make_file(g, 1, 2);
    const uint32_t fd0 = make_file(g, 1, 0);
    struct Row {
        const char *what;
        uint32_t stream;
        uint32_t fmt;
        std::vector<Arg> args;
        int32_t result;
    };
    const Row rows[] = {
        {"fd 2, text", fd2, g.str("ab"), {}, -1},
        {"fd 2, empty format", fd2, g.str(""), {}, 0},
        {"fd 2, no record: %c is a refused character", fd2, g.str("%c"), {65}, -1},
        {"fd 0, text", fd0, g.str("ab"), {}, -1},
        {"fd 0, empty format", fd0, g.str(""), {}, 0},
        {"stdin", g.sym("g_stdin"), g.str("%d"), {1}, -1},
        {"null stream", 0, g.str("ab"), {}, -1},
        {"null format", g.sym("g_stdout"), 0, {}, -1},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        g.clear_calls();
        std::vector<Arg> call = {r.stream, r.fmt};
        call.insert(call.end(), r.args.begin(), r.args.end());
        const CallResult res = g.call_addr(g.sym("fprintf"), call);
        ASSERT_TRUE(res.returned()) << res.outcome.report;
        EXPECT_EQ(int32_t(res.eax), r.result);
        EXPECT_TRUE(g.calls(1).empty());
    }

    g.clear_calls();
    EXPECT_EQ(int32_t(g.call("printf", {0u})), -1);
    g.set_global32("stdout", fd2);
    EXPECT_EQ(int32_t(g.call("printf", {g.str("ab")})), -1);
    g.set_global32("stdout", g.sym("g_stderr"));
    EXPECT_EQ(int32_t(g.call("printf", {g.str("%cok"), 1, 2, 3})), 2);
    EXPECT_EQ(writes_of(g), (std::vector<std::string>{bytes("\xff\x01\x02\x03"), "o", "k"}));
}

// vfprintf over a list laid out by hand, and a precision that bounds the
// read of an unterminated array at the end of a page.
TEST(StreamFormatter, ListAndBoundedString)
{
    Guest g;
    const uint32_t ap = va_list_of(g, {Arg::u64(1ull << 40), g.str("s")});
    EXPECT_EQ(g.call("vfprintf", {g.sym("g_stdout"), g.str("%llu %s"), ap}), 15u);
    EXPECT_EQ(g.console(), "1099511627776 s");

    struct Row {
        std::string fmt, text, writes;
    };
    const Row rows[] = {
        {"%.3s", "abc", "abc"},
        {"%4.2s", "abc", "·|·|ab"},
        {"%.0s", "", ""},  // the pointer is the first byte of the unmapped page
    };
    for (const Row &r : rows) {
        SCOPED_TRACE("format \"" + r.fmt + "\"");
        g.clear_calls();
        const CallResult res =
            g.call_addr(g.sym("printf"), {g.str(r.fmt), g.put_at_page_end(r.text)});
        ASSERT_TRUE(res.returned()) << res.outcome.report;
        EXPECT_EQ(writes_of(g), split_writes(r.writes));
    }
}

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
