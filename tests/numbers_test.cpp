// Text-to-number conversions, run as i386 code in the stand-in. Every table
// text is placed against the end of a mapped page, so reading one byte past
// its terminator faults.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "harness.hpp"

namespace {

using zt::Guest;
using zt::X87;

constexpr uint32_t kCanary = 0xDEADBEEF;

std::string show(const std::string &text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c >= 32 && c < 127 && c != '\\') {
            out += char(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        }
    }
    return out.size() > 60 ? out.substr(0, 40) + "...(" + std::to_string(text.size()) + " bytes)"
                           : out + "\"";
}

std::string show(const X87 &x)
{
    char buf[48];
    std::snprintf(buf, sizeof buf, "{0x%016llX, 0x%04X}", (unsigned long long)x.mantissa, x.sign_exp);
    return buf;
}

uint32_t edge_text(Guest &g, const std::string &text)
{
    return g.put_at_page_end(text + '\0');
}

// ---------------------------------------------------------------- integers

TEST(Numbers, StrtoulAndStrtol)
{
    struct Row {
        std::string text;
        int base;
        uint32_t result;
        uint32_t taken;
    };
    const Row rows[] = {
        {" 0x1Fz", 0, 31, 5},
        {"010", 0, 8, 3},
        {"08", 0, 0, 1},             // the '0' is taken as the octal prefix
        {"0", 0, 0, 1},
        {"  0x", 0, 0, 4},           // a prefix stays taken without digits
        {"0xg", 16, 0, 2},
        {"0x10", 10, 0, 1},
        {"0x10", 8, 0, 1},
        {"0X10", 0, 16, 4},
        {"0x1f", 16, 31, 4},
        {"1f", 16, 31, 2},
        {"fF", 16, 255, 2},
        {"1012", 2, 5, 3},
        {"1z", 36, 1, 1},            // letters beyond 'f' are never digits
        {"G", 17, 0, 0},
        {"fg", 17, 15, 1},
        {"000", 1, 0, 3},
        {"01", 1, 0, 1},
        {"12", -3, 0, 0},            // signed test: a negative base takes nothing
        {"12", 1000, 1002, 2},
        {"-5", 0, 0, 0},             // no sign handling
        {" -5", 0, 0, 1},
        {"+5", 0, 0, 0},
        {"\v5", 0, 0, 0},
        {"\f5", 0, 0, 0},
        {"\r\n\t 42", 10, 42, 6},
        {"7\xB7", 10, 7, 1},
        {"4294967295", 10, 4294967295u, 10},
        {"4294967296", 10, 0, 10},
        {"99999999999", 10, 1215752191, 11},
        {"ffffffff1", 16, 0xfffffff1u, 9},
        {"", 0, 0, 0},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(show(r.text) + " base " + std::to_string(r.base));
        for (const char *fn : {"strtoul", "strtol"}) {
            SCOPED_TRACE(fn);
            Guest g;
            uint32_t p = edge_text(g, r.text);
            uint32_t end = g.alloc(4);
            g.write32(end, kCanary);
            EXPECT_EQ(g.call(fn, {p, end, r.base}), r.result);
            EXPECT_EQ(g.read32(end) - p, r.taken);
            // Without an end slot the value is the same.
            EXPECT_EQ(g.call(fn, {p, 0u, r.base}), r.result);
        }
    }
}

TEST(Numbers, IntegerNullText)
{
    for (const char *fn : {"strtoul", "strtol"}) {
        SCOPED_TRACE(fn);
        Guest g;
        uint32_t end = g.alloc(4);
        g.write32(end, kCanary);
        EXPECT_EQ(g.call(fn, {0u, end, 10}), 0u);
        EXPECT_EQ(g.read32(end), 0u);
        EXPECT_EQ(g.call(fn, {0u, 0u, 10}), 0u);
    }
    for (const char *fn : {"atoi", "atol"}) {
        SCOPED_TRACE(fn);
        Guest g;
        EXPECT_EQ(g.call(fn, {0u}), 0u);
    }
}

TEST(Numbers, AtoiAndAtol)
{
    struct Row {
        std::string text;
        int32_t result;
    };
    const Row rows[] = {
        {" \t\n-42x", -42},
        {"\r42", 0},                 // CR, VT and FF are not skipped here
        {"\v42", 0},
        {"\f42", 0},
        {"+7", 7},
        {"+-7", 0},
        {"-+7", 0},
        {"- 7", 0},
        {"-", 0},
        {"", 0},
        {"007", 7},
        {"-0", 0},
        {"2147483647", 2147483647},
        {"2147483648", -2147483647 - 1},
        {"-2147483648", -2147483647 - 1},
        {"4294967295", -1},
        {"99999999999", 1215752191},
        {"-99999999999", -1215752191},
        {"12a34", 12},
        {"0x1F", 0},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(show(r.text));
        for (const char *fn : {"atoi", "atol"}) {
            SCOPED_TRACE(fn);
            Guest g;
            EXPECT_EQ(int32_t(g.call(fn, {edge_text(g, r.text)})), r.result);
        }
    }
}

TEST(Numbers, AbsAndLabs)
{
    struct Row {
        int32_t value, result;
    };
    const Row rows[] = {
        {-5, 5}, {5, 5}, {0, 0}, {-1, 1},
        {2147483647, 2147483647}, {-2147483647, 2147483647},
        {-2147483647 - 1, -2147483647 - 1},   // no positive counterpart
    };
    Guest g;
    for (const Row &r : rows) {
        SCOPED_TRACE(r.value);
        EXPECT_EQ(int32_t(g.call("abs", {r.value})), r.result);
        EXPECT_EQ(int32_t(g.call("labs", {r.value})), r.result);
    }
}

// ---------------------------------------------------------------- floating point

X87 ext(long double v) { return X87::of(v); }
const X87 kPlusZero = ext(0.0L);
const X87 kMinusZero = ext(-0.0L);
const X87 kPlusInf = ext(INFINITY);

// Values no exact literal can give, worked out once in exact rational
// arithmetic with the same operation sequence, each step rounded to a
// 64-bit significand, nearest-even.
const X87 kOneHundredth{0xA3D70A3D70A3D70Aull, 0x3FF8};   // 1 /10 /10
const X87 kOneTenth{0xCCCCCCCCCCCCCCCDull, 0x3FFB};       // 1 /10
const X87 kTen1024{0xC976758681750C15ull, 0x4D48};        // 1, x10 1024 times
const X87 kTenMinus1024{0xA2A682A5DA57C0C9ull, 0x32B5};   // 1, /10 1024 times
const X87 kFiveTen1024{0xFBD412E821D24F1Aull, 0x4D4A};    // 5, x10 1024 times
const X87 kTen2000{0xE7B64E4DE2FC4252ull, 0x59F2};        // 1 then 2000 zero digits
const X87 kOnePointFiveMilli{0xC49BA5E353F7CEDAull, 0x3FF5}; // 15 /10, then /10 3 times
const X87 kThirds1024{0xAAAAAAAAAAAAAAB7ull, 0x3FFD};     // 1024 threes, /10 1024 times
const X87 kHexTenths1024{0xAAAAAAAAAAAAAAABull, 0x3FFE};  // 1024 'a's, x0.0625 1024 times

struct FloatRow {
    std::string text;
    X87 result;
    uint32_t taken;
};

std::vector<FloatRow> strtold_rows()
{
    return {
        {"1.5", ext(1.5L), 3},
        {"  -2.25e2x", ext(-225.0L), 9},
        {"\v\f\r 7", ext(7.0L), 5},
        {"\t\n7", ext(7.0L), 3},
        {"\xA0" "7", kPlusZero, 0},    // only ASCII whitespace
        {"+.5", ext(0.5L), 3},
        {"-.5", ext(-0.5L), 3},
        // Nothing converted: +0 and the text as passed in.
        {".", kPlusZero, 0},
        {".e5", kPlusZero, 0},
        {"-", kPlusZero, 0},
        {"+", kPlusZero, 0},
        {"", kPlusZero, 0},
        {"abc", kPlusZero, 0},
        {"+-1", kPlusZero, 0},
        {"- 1", kPlusZero, 0},
        {"-.e1", kPlusZero, 0},
        {"  xyz", kPlusZero, 0},
        {"inf", kPlusZero, 0},
        {"nan", kPlusZero, 0},
        {"-0", kMinusZero, 2},
        {"-0.0", kMinusZero, 4},
        {"-0x0p5", kMinusZero, 6},
        {"00012", ext(12.0L), 5},
        {"1.", ext(1.0L), 2},
        {"1.e3", ext(1000.0L), 4},
        {".5e", ext(0.5L), 2},
        // An exponent letter without digits is not taken; after a sign
        // the letter is taken and the sign is not.
        {"1e", ext(1.0L), 1},
        {"1ex", ext(1.0L), 1},
        {"1e+", ext(1.0L), 2},
        {"1e-", ext(1.0L), 2},
        {"1e-x", ext(1.0L), 2},
        {"1E+2", ext(100.0L), 4},
        {"1e-2", kOneHundredth, 4},
        {"1e0", ext(1.0L), 3},
        {"1e-0", ext(1.0L), 4},
        {"0.1", kOneTenth, 3},
        {"1.5e-3", kOnePointFiveMilli, 6},
        {"12.5e1z", ext(125.0L), 6},
        {"1p3", ext(1.0L), 1},          // 'p' is no decimal exponent
        {"0x1.8p1", ext(3.0L), 7},
        {"0X.8", ext(0.5L), 4},
        {"0x", kPlusZero, 0},
        {"0xg", kPlusZero, 0},
        {"0x.", kPlusZero, 0},
        {"0x.p1", kPlusZero, 0},
        {"0x-1", kPlusZero, 0},
        {"0xp1", kPlusZero, 0},
        {"-0x", kPlusZero, 0},
        {"+0x", kPlusZero, 0},
        {"0x1.", ext(1.0L), 4},
        {"0x1p", ext(1.0L), 3},
        {"0x1p+", ext(1.0L), 4},
        {"0x1P-2", ext(0.25L), 6},
        {"0x1e3", ext(483.0L), 5},      // 'e' is a hexadecimal digit
        {"-0x10", ext(-16.0L), 5},
        {"0xA.8P+1q", ext(21.0L), 8},
        {"0x1.p3", ext(8.0L), 6},
        {"0xfFfFfFfFfFfFfFfF", ext(18446744073709551615.0L), 18},
        {"0x1.fffffffffffffffffp0", ext(2.0L), 23},   // the 65th bit rounds up
        // Scaling stops after 1024 steps; exponent digits saturate.
        {"1e5000", kTen1024, 6},
        {"1e1024", kTen1024, 6},
        {"1e99999999999999999999", kTen1024, 22},
        {"1e-5000", kTenMinus1024, 7},
        {"5e4097", kFiveTen1024, 6},
        {"0x1p5000", ext(0x1p1024L), 8},
        {"0x1p-5000", ext(0x1p-1024L), 9},
        {"1" + std::string(2000, '0'), kTen2000, 2001},
        {"1" + std::string(5000, '0'), kPlusInf, 5001},
        {"-1" + std::string(5000, '0'), ext(-INFINITY), 5002},
        // More than 1024 fraction digits: all are taken, those past the
        // 1024th add nothing.
        {"0." + std::string(1024, '3'), kThirds1024, 1026},
        {"0." + std::string(1100, '3') + "e", kThirds1024, 1102},
        {"0." + std::string(1024, '3') + std::string(3000, '9'), kThirds1024, 4026},
        {"0x0." + std::string(1100, 'a') + "p", kHexTenths1024, 1104},
        {"0x." + std::string(1024, '0') + "1p5", kPlusZero, 1030},
        {"0x." + std::string(1023, '0') + "8p1", ext(0x1p-4092L), 1029},
    };
}

TEST(Numbers, Strtold)
{
    for (const FloatRow &r : strtold_rows()) {
        SCOPED_TRACE(show(r.text));
        Guest g;
        uint32_t p = edge_text(g, r.text);
        uint32_t end = g.alloc(4);
        g.write32(end, kCanary);
        X87 got = g.call_x87("strtold", {p, end});
        EXPECT_EQ(got, r.result) << show(got) << " expected " << show(r.result);
        EXPECT_EQ(g.read32(end) - p, r.taken);
        EXPECT_EQ(g.call_x87("strtold", {p, 0u}), r.result);
    }
}

// strtod is one rounding of strtold's value to a double.
TEST(Numbers, Strtod)
{
    struct Row {
        std::string text;
        double result;
        uint32_t taken;
    };
    const Row rows[] = {
        {"0.1", 0.1, 3},                     // the double nearest one tenth
        {"1.5", 1.5, 3},
        {"-0", -0.0, 2},
        {"abc", 0.0, 0},
        {"1e309", INFINITY, 5},
        {"-1e309", -INFINITY, 6},
        {"1e5000", INFINITY, 6},
        {"1" + std::string(2000, '0'), INFINITY, 2001},
        {"1e-5000", 0.0, 7},
        {"-1e-5000", -0.0, 8},
        {"0x1p-1022", 0x1p-1022, 9},         // the least normal
        {"0x1p-1023", 0x1p-1023, 9},
        {"0x1p-1074", 0x1p-1024, 9},         // the scaling stops at 1024 halvings
        {"0x.0000000000001p-1022", 0x1p-1074, 22},   // the least subnormal
        {"0x.0000000000001p-1023", 0.0, 22},         // half of it: ties to even, 0
        {"0x.00000000000018p-1023", 0x1p-1074, 23},
        {"0x1.fffffffffffff8p0", 2.0, 20},   // half an ulp above: even is 2
        {"0x1.fffffffffffff7p0", 0x1.fffffffffffffp0, 20},
        {"0x1.fffffffffffffp1023", DBL_MAX, 22},
        {"0x1.fffffffffffff8p1023", INFINITY, 23},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(show(r.text));
        Guest g;
        uint32_t p = edge_text(g, r.text);
        uint32_t end = g.alloc(4);
        g.write32(end, kCanary);
        X87 got = g.call_x87("strtod", {p, end});
        EXPECT_EQ(got, ext(r.result)) << show(got);
        EXPECT_EQ(g.read32(end) - p, r.taken);
    }
}

TEST(Numbers, FloatNullText)
{
    for (const char *fn : {"strtold", "strtod"}) {
        SCOPED_TRACE(fn);
        Guest g;
        uint32_t end = g.alloc(4);
        g.write32(end, kCanary);
        EXPECT_EQ(g.call_x87(fn, {0u, end}), kPlusZero);
        EXPECT_EQ(g.read32(end), 0u);
        EXPECT_EQ(g.call_x87(fn, {0u, 0u}), kPlusZero);
    }
}

// ---------------------------------------------------------------- against a host model

// The model performs the parser's operation sequence in the host's long
// double. That is the same 80-bit format and, on x86-64, the same x87 unit
// with the same control word, so each step rounds exactly as the guest's.
static_assert(LDBL_MANT_DIG == 64 && LDBL_MAX_EXP == 16384, "host long double is not x87 extended");

uint16_t host_fpu_control()
{
    uint16_t cw;
    asm volatile("fnstcw %0" : "=m"(cw));
    return cw;
}

int hex_digit(char c)
{
    return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
}

// A generated number, described by its parts rather than its text, so the
// model never parses: the expected stop position follows from the parts.
struct Parts {
    bool hex = false;
    std::string intd, fracd;
    bool dot = false;
    char letter = 0;       // 0: no exponent letter
    char esign = 0;        // 0, '+' or '-'
    std::string expd;      // exponent digits, maybe none
};

// A number with digits in its exponent, if any; exp is e.g. "", "5", "-2".
Parts parts(bool hex, std::string intd, std::string fracd, std::string exp)
{
    Parts n;
    n.hex = hex;
    n.intd = std::move(intd);
    n.dot = !fracd.empty();
    n.fracd = std::move(fracd);
    if (!exp.empty()) {
        n.letter = hex ? 'p' : 'e';
        if (exp[0] == '-' || exp[0] == '+') {
            n.esign = exp[0];
            exp.erase(0, 1);
        }
        n.expd = exp;
    }
    return n;
}

bool converts(const Parts &n)
{
    return !n.intd.empty() || !n.fracd.empty();
}

long double model(const Parts &n, int sign)
{
    long double base = n.hex ? 16 : 10;
    long double v = 0;
    for (char c : n.intd) {
        v = v * base;
        v = v + hex_digit(c);
    }
    int k = 0;
    for (char c : n.fracd) {
        if (k == 1024)
            break;
        v = v * base;
        v = v + hex_digit(c);
        k++;
    }
    for (; k > 0; k--)
        v = n.hex ? v * 0.0625L : v / 10;
    int e = 0;
    if (!n.expd.empty()) {
        for (char c : n.expd) {
            e = e * 10 + (c - '0');
            if (e > 4096)
                e = 4096;
        }
        if (n.esign == '-')
            e = -e;
    }
    for (int i = 0; i < std::abs(e) && i < 1024; i++) {
        if (n.hex)
            v = e > 0 ? v + v : v * 0.5L;
        else
            v = e > 0 ? v * 10 : v / 10;
    }
    return v * sign;
}

TEST(Numbers, StrtoldMatchesHostModel)
{
    ASSERT_EQ(host_fpu_control(), 0x037F);
    // The model first earns its trust on the worked-out values.
    struct Known {
        Parts n;
        X87 result;
    };
    const Known known[] = {
        {parts(false, "1", "", "-2"), kOneHundredth},
        {parts(false, "0", "1", ""), kOneTenth},
        {parts(false, "1", "5", "-3"), kOnePointFiveMilli},
        {parts(false, "1", "", "5000"), kTen1024},
        {parts(false, "1", "", "-5000"), kTenMinus1024},
        {parts(false, "5", "", "4097"), kFiveTen1024},
        {parts(false, "1" + std::string(2000, '0'), "", ""), kTen2000},
        {parts(false, "0", std::string(1100, '3'), ""), kThirds1024},
        {parts(true, "0", std::string(1100, 'a'), ""), kHexTenths1024},
    };
    for (const Known &k : known)
        ASSERT_EQ(X87::of(model(k.n, 1)), k.result) << show(X87::of(model(k.n, 1)));

    std::mt19937 rng(20240607);
    auto pick = [&](int n) { return int(rng() % unsigned(n)); };
    auto digits = [&](int len, bool hex) {
        static const char dec[] = "0123456789", hx[] = "0123456789abcdefABCDEF";
        std::string s;
        for (int i = 0; i < len; i++)
            s += hex ? hx[pick(22)] : dec[pick(10)];
        return s;
    };
    // Lengths weighted towards the short, with some past a 64-bit significand.
    auto length = [&](int most) { return pick(3) ? pick(most < 6 ? most + 1 : 6) : pick(most + 1); };

    Guest g;
    const char *spaces[] = {"", "", " ", "\t", "\v\f\r\n "};
    // None of them can continue a number, nor start one after bare whitespace.
    const char *tails[] = {"", "", "z", "z 7", "#", "_x", ",5"};
    for (int i = 0; i < 3000; i++) {
        Parts n;
        n.hex = pick(3) == 0;
        n.intd = digits(length(n.hex ? 20 : 25), n.hex);
        n.dot = pick(2);
        if (n.dot)
            n.fracd = digits(length(n.hex ? 20 : 25), n.hex);
        if (pick(3)) {
            n.letter = n.hex ? "pP"[pick(2)] : "eE"[pick(2)];
            n.esign = "\0+-"[pick(3)];
            int len = pick(8) ? 1 + pick(3) : pick(7);
            n.expd = digits(len, false);
        }
        int sign = 1;
        std::string text = spaces[pick(5)];
        switch (pick(3)) {
        case 1: text += '+'; break;
        case 2: text += '-'; sign = -1; break;
        }
        text += n.hex ? (pick(2) ? "0x" : "0X") : "";
        text += n.intd + (n.dot ? "." : "") + n.fracd;
        uint32_t taken = uint32_t(text.size());
        if (n.letter) {
            text += std::string(1, n.letter) + (n.esign ? std::string(1, n.esign) : "") + n.expd;
            if (!n.expd.empty())
                taken = uint32_t(text.size());
            else if (n.esign)
                taken += 1;
        }
        text += tails[pick(7)];
        long double expected = 0;
        if (converts(n))
            expected = model(n, sign);
        else
            taken = 0;

        SCOPED_TRACE(show(text));
        uint32_t p = g.str(text);
        uint32_t end = g.alloc(4);
        X87 got = g.call_x87("strtold", {p, end});
        ASSERT_EQ(got, X87::of(expected)) << show(got) << " expected " << show(X87::of(expected));
        ASSERT_EQ(g.read32(end) - p, taken);
        // One rounding to a double, as the host's conversion does it.
        X87 d = g.call_x87("strtod", {p, end});
        ASSERT_EQ(d, X87::of((long double)(double)expected)) << show(d);
        ASSERT_EQ(g.read32(end) - p, taken);
    }
}

} // namespace
