// strtold and strtod as i386 code on fuzzer-chosen texts, against a host
// model of the same behaviour written for this target. The host's long
// double is the same x87 extended format, rounded to nearest at 64 bits,
// so the model repeats each rounded step and the results must agree bit
// for bit, as must the stop position. The text ends against an unmapped
// page.
//
// Input: text.
#include "fuzz/guest.hpp"

namespace {

constexpr uint32_t kTextCapacity = 8192;
constexpr int kSteps = 1024;     // every scaling loop stops here
constexpr int kExponentCap = 4096;

// ---- The model ------------------------------------------------------------

bool decimal(unsigned char c) { return c >= '0' && c <= '9'; }

class Model {
public:
    explicit Model(std::string_view t) : t_(t) {}

    // The value and the number of bytes taken.
    long double run(size_t &taken)
    {
        size_t p = 0;
        while (at(p) == 32 || (at(p) >= 9 && at(p) <= 13))
            p++;
        long double factor = 1;
        if (at(p) == '+' || at(p) == '-')
            factor = at(p++) == '-' ? -1 : 1;
        long double v = 0;
        bool converted;
        if (at(p) == '0' && (at(p + 1) == 'x' || at(p + 1) == 'X')) {
            p += 2;
            converted = hex(p, v);
        } else if (decimal(at(p)) || (at(p) == '.' && decimal(at(p + 1)))) {
            converted = true;
            v = dec(p);
        } else {
            converted = false;
        }
        if (!converted) {
            taken = 0;
            return +0.0L;
        }
        taken = p;
        return v * factor;
    }

private:
    unsigned char at(size_t k) const { return k < t_.size() ? t_[k] : 0; }

    long double dec(size_t &p)
    {
        long double v = 0;
        for (; decimal(at(p)); p++) {
            v = v * 10;
            v = v + (at(p) - '0');
        }
        if (at(p) == '.') {
            p++;
            int n = 0;
            // Every fraction digit is taken; only the first 1024 count.
            for (; decimal(at(p)); p++) {
                if (n == kSteps)
                    continue;
                v = v * 10;
                v = v + (at(p) - '0');
                n++;
            }
            for (int k = 0; k < n; k++)
                v = v / 10;
        }
        int e = exponent(p, 'e');
        for (int k = 0; k < std::min(e < 0 ? -e : e, kSteps); k++)
            v = e > 0 ? v * 10 : v / 10;
        return v;
    }

    bool hex(size_t &p, long double &v)
    {
        bool seen = false;
        v = 0;
        for (int d; (d = fz::digit_value(at(p))) >= 0; p++) {
            v = v * 16;
            v = v + d;
            seen = true;
        }
        if (at(p) == '.') {
            p++;
            int k = 0;
            for (int d; (d = fz::digit_value(at(p))) >= 0; p++) {
                seen = true;
                if (k == kSteps)
                    continue;
                v = v * 16;
                v = v + d;
                k++;
            }
            if (!seen)
                return false;
            for (int j = 0; j < k; j++)
                v = v * 0.0625L;
        }
        if (!seen)
            return false;
        int e = exponent(p, 'p');
        for (int k = 0; k < std::min(e < 0 ? -e : e, kSteps); k++)
            v = e > 0 ? v + v : v * 0.5L;
        return true;
    }

    // The exponent at p, when there is one with digits; p moves past it.
    // Without digits the letter stays untaken, or, after a sign, the
    // letter is taken and the sign is not.
    int exponent(size_t &p, char letter)
    {
        if (at(p) != letter && at(p) != letter - 32)
            return 0;
        size_t q = p + 1;
        bool neg = false;
        if (at(q) == '+' || at(q) == '-')
            neg = at(q++) == '-';
        if (!decimal(at(q))) {
            p = q - 1;
            return 0;
        }
        int e = 0;
        for (; decimal(at(q)); q++) {
            e = e * 10 + (at(q) - '0');
            if (e > kExponentCap)
                e = kExponentCap;
        }
        p = q;
        return neg ? -e : e;
    }

    std::string_view t_;
};

std::string show(const zelkos::X87 &x)
{
    char b[48];
    snprintf(b, sizeof b, "{0x%016llx, 0x%04x}", (unsigned long long)x.mantissa, x.sign_exp);
    return b;
}

// ---- The target -------------------------------------------------------------

struct Target {
    fz::Guest g;
    fz::EdgeText text{g, kTextCapacity + 1};
    fz::Canaried end{g, 4};
    uint32_t strtold = g.sym("strtold"), strtod = g.sym("strtod");
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Target t;
    fz::Input in(data, size);
    const std::string_view text = in.text();
    if (text.size() > kTextCapacity)
        return 0;

    size_t taken = 0;
    const long double v = Model(text).run(taken);
    const uint32_t p = t.text.place(std::string(text) + '\0');
    const uint32_t stop = p + uint32_t(taken);
    const struct {
        const char *name;
        uint32_t fn;
        zelkos::X87 want;
    } conversions[] = {
        {"strtold", t.strtold, zelkos::X87::of(v)},
        {"strtod", t.strtod, zelkos::X87::of((long double)(double)v)},
    };
    for (auto &c : conversions) {
        t.end.reset();
        const zelkos::X87 got = t.g.call(c.fn, {p, t.end.addr()}, c.name).st0;
        if (!(got == c.want))
            fz::finding("%s(\"%s\") = %s, expected %s", c.name, fz::show(text).c_str(), show(got).c_str(),
                        show(c.want).c_str());
        t.end.expect(std::string(reinterpret_cast<const char *>(&stop), 4), c.name);
    }
    t.g.check_image();
    return 0;
}
