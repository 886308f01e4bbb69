// The integer conversions (strtoul, strtol, atoi, atol) as i386 code on
// fuzzer-chosen texts and bases, against a host model of the same behaviour
// written for this target: the value, the stop position, and nothing
// stored but the end slot. The text ends against an unmapped page.
//
// Input: text \0 options, base word.
#include "fuzz/guest.hpp"

namespace {

constexpr uint32_t kTextCapacity = 8192;

// ---- The model ------------------------------------------------------------

struct Parsed {
    uint32_t value;
    size_t taken;
};

// strtoul and strtol: no sign, a prefix decided at the first byte after
// the whitespace, digits accepted while below the base in a signed test.
Parsed model_strtoul(std::string_view t, int32_t base)
{
    auto at = [&](size_t k) -> unsigned char { return k < t.size() ? t[k] : 0; };
    size_t p = 0;
    while (at(p) == 9 || at(p) == 10 || at(p) == 13 || at(p) == 32)
        p++;
    const bool prefix = at(p) == '0' && (at(p + 1) == 'x' || at(p + 1) == 'X');
    if (base == 0) {
        if (prefix) {
            p += 2;
            base = 16;
        } else if (at(p) == '0') {
            p += 1;
            base = 8;
        } else {
            base = 10;
        }
    } else if (base == 16 && prefix) {
        p += 2;
    }
    uint32_t v = 0;
    for (int d; (d = fz::digit_value(at(p))) >= 0 && d < base; p++)
        v = v * uint32_t(base) + uint32_t(d);
    return {v, p};
}

// atoi and atol: their own whitespace, one optional sign, decimal digits.
uint32_t model_atoi(std::string_view t)
{
    auto at = [&](size_t k) -> unsigned char { return k < t.size() ? t[k] : 0; };
    size_t p = 0;
    while (at(p) == 9 || at(p) == 10 || at(p) == 32)
        p++;
    bool neg = false;
    if (at(p) == '-' || at(p) == '+')
        neg = at(p++) == '-';
    uint32_t v = 0;
    for (; at(p) >= '0' && at(p) <= '9'; p++)
        v = v * 10 + uint32_t(at(p) - '0');
    return neg ? 0u - v : v;
}

// ---- The target -------------------------------------------------------------

struct Target {
    fz::Guest g;
    fz::EdgeText text{g, kTextCapacity + 1};
    fz::Canaried end{g, 4};
    uint32_t strtoul = g.sym("strtoul"), strtol = g.sym("strtol"), atoi = g.sym("atoi"), atol = g.sym("atol");
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Target t;
    fz::Input in(data, size);
    const std::string_view text = in.text();
    const uint8_t opts = in.byte();
    const uint32_t word = in.word();
    if (text.size() > kTextCapacity)
        return 0;
    // Mostly the bases that mean something, sometimes any number at all.
    const int32_t base = opts & 0x80 ? int32_t(word) : int32_t(opts % 40) - 3;

    const uint32_t p = t.text.place(std::string(text) + '\0');
    const Parsed want = model_strtoul(text, base);
    const struct {
        const char *name;
        uint32_t fn;
    } conversions[] = {{"strtoul", t.strtoul}, {"strtol", t.strtol}};
    for (auto &c : conversions) {
        t.end.reset();
        const uint32_t got = t.g.call(c.fn, {p, t.end.addr(), uint32_t(base)}, c.name).eax;
        if (got != want.value)
            fz::finding("%s(\"%s\", %d) = %u, expected %u", c.name, fz::show(text).c_str(), base, got, want.value);
        uint32_t stop = p + uint32_t(want.taken);
        t.end.expect(std::string(reinterpret_cast<const char *>(&stop), 4), c.name);
        // Without an end slot, the same value and nothing stored.
        t.end.reset();
        if (t.g.call(c.fn, {p, 0, uint32_t(base)}, c.name).eax != want.value)
            fz::finding("%s(\"%s\", %d) without an end slot differs", c.name, fz::show(text).c_str(), base);
    }
    const uint32_t value = model_atoi(text);
    for (auto [name, fn] : {std::pair{"atoi", t.atoi}, std::pair{"atol", t.atol}}) {
        const uint32_t got = t.g.call(fn, {p}, name).eax;
        if (got != value)
            fz::finding("%s(\"%s\") = %d, expected %d", name, fz::show(text).c_str(), int32_t(got), int32_t(value));
    }
    t.end.expect("", "end slot");
    t.g.check_image();
    return 0;
}
