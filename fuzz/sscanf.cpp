// The scanner engine (vsscanf, sscanf) as i386 code on fuzzer-chosen input
// texts and formats, against a host model of the same behaviour written for
// this target. Every destination has canaries on both sides; a fault, a
// byte stored outside what the model stores, or a different count is a
// finding. Both texts end against an unmapped page.
//
// Input: input text \0 format \0 options, a word whose bits make %s slots
// null pointers.
#include <optional>

#include "fuzz/guest.hpp"

namespace {

constexpr uint32_t kTextCapacity = 4096;
constexpr uint32_t kSlots = 64;

// ---- The model ------------------------------------------------------------

struct Store {
    enum Kind { Int, Chr, Str } kind;
    uint32_t num = 0;
    std::string text;  // Chr: the byte; Str: the token without its zero
    bool null = false;  // a %s slot holding a null pointer
};

struct Scan {
    int count = 0;
    std::vector<Store> slots;  // in the order they are taken
};

class Model {
public:
    Model(std::string_view in, std::string_view fmt, uint32_t null_mask) : in_(in), fmt_(fmt), null_mask_(null_mask)
    {
    }

    // nullopt when the format takes more slots than the target has.
    std::optional<Scan> run()
    {
        scan();
        if (r_.slots.size() > kSlots)
            return std::nullopt;
        return r_;
    }

private:
    // Bytes past either text read as its terminating zero.
    unsigned char in(size_t k = 0) const { return ip_ + k < in_.size() ? in_[ip_ + k] : 0; }
    unsigned char fmt() const { return fp_ < fmt_.size() ? fmt_[fp_] : 0; }

    static bool directive_space(unsigned char c) { return c == 9 || c == 10 || c == 32; }
    static bool field_space(unsigned char c) { return c == 9 || c == 32; }
    static int digit(unsigned char c, unsigned base)
    {
        int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : 99;
        return d < int(base) ? d : -1;
    }

    void take(Store s)
    {
        r_.slots.push_back(std::move(s));
        r_.count++;
    }

    void scan()
    {
        for (;;) {
            const unsigned char f = fmt();
            if (f == 0)
                return;
            if (directive_space(f)) {
                while (directive_space(in()))
                    ip_++;
                while (directive_space(fmt()))
                    fp_++;
                continue;
            }
            if (f != '%') {
                if (in() != f)
                    return;
                ip_++;
                fp_++;
                continue;
            }
            fp_++;
            bool suppress = false;
            if (fmt() == '*') {
                suppress = true;
                fp_++;
            }
            // The width is read past, except that it bounds what %s copies.
            bool has_width = false;
            uint64_t width = 0;
            for (; fmt() >= '0' && fmt() <= '9'; fp_++) {
                has_width = true;
                width = std::min<uint64_t>(width * 10 + (fmt() - '0'), uint64_t(1) << 40);
            }
            switch (fmt()) {
            case '%':
                if (in() != '%')
                    return;
                ip_++;
                break;
            case 'c':
                if (in() == 0)
                    return;
                if (!suppress)
                    take({Store::Chr, 0, std::string(1, char(in()))});
                ip_++;
                break;
            case 's': {
                while (field_space(in()))
                    ip_++;
                if (in() == 0)
                    return;
                std::string token;
                while (in() != 0 && in() != 9 && in() != 10 && in() != 32 && (!has_width || token.size() < width)) {
                    token += char(in());
                    ip_++;
                }
                if (suppress)
                    break;
                // The slot is taken even when it holds a null pointer; then
                // nothing is stored or counted.
                Store s{Store::Str, 0, token};
                s.null = null_mask_ >> (r_.slots.size() % 32) & 1;
                if (s.null)
                    r_.slots.push_back(s);
                else
                    take(s);
                break;
            }
            case 'u': {
                while (field_space(in()))
                    ip_++;
                if (digit(in(), 10) < 0)
                    return;
                uint32_t v = 0;
                for (int d; (d = digit(in(), 10)) >= 0; ip_++)
                    v = v * 10 + uint32_t(d);
                if (!suppress)
                    take({Store::Int, v, ""});
                break;
            }
            case 'd':
            case 'i':
            case 'x':
            case 'X': {
                unsigned base = fmt() == 'x' || fmt() == 'X' ? 16 : 10;
                while (field_space(in()))
                    ip_++;
                bool neg = false;
                if (in() == '-' || in() == '+') {
                    neg = in() == '-';
                    ip_++;
                }
                if (fmt() == 'i' && in() == '0') {
                    if (in(1) == 'x' || in(1) == 'X') {
                        ip_ += 2;
                        base = 16;
                    } else {
                        base = 8;
                    }
                }
                if (in() == 0)
                    return;
                uint32_t v = 0;
                bool any = false;
                for (int d; (d = digit(in(), base)) >= 0; ip_++) {
                    v = v * base + uint32_t(d);
                    any = true;
                }
                if (!any)
                    return;
                if (!suppress)
                    take({Store::Int, neg ? 0u - v : v, ""});
                break;
            }
            default:
                return;
            }
            fp_++;
        }
    }

    std::string_view in_, fmt_;
    uint32_t null_mask_;
    size_t ip_ = 0, fp_ = 0;
    Scan r_;
};

// ---- The target -------------------------------------------------------------

struct Target {
    fz::Guest g;
    fz::EdgeText input{g, kTextCapacity + 1}, format{g, 8192};
    fz::ListArea list{g};
    std::vector<fz::Canaried> slots;
    uint32_t vsscanf = g.sym("vsscanf"), sscanf = g.sym("sscanf");

    Target()
    {
        slots.reserve(kSlots + 1);
        for (uint32_t k = 0; k <= kSlots; k++)
            slots.emplace_back(g, kTextCapacity + 1);
    }
};

std::string bytes_of(uint32_t v) { return std::string(reinterpret_cast<const char *>(&v), 4); }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Target t;
    fz::Input input(data, size);
    const std::string_view in = input.text();
    const std::string_view fmt = input.text();
    const uint8_t opts = input.byte();
    const uint32_t null_mask = input.word();
    if (in.size() > kTextCapacity || fmt.size() >= t.format.capacity())
        return 0;

    const std::optional<Scan> m = Model(in, fmt, null_mask).run();
    if (!m)
        return 0;

    // Slot k points at destination k, or is null where the model has it so;
    // one destination more than the model uses must stay untouched too.
    const size_t used = m->slots.size();
    std::vector<uint32_t> pointers;
    for (size_t k = 0; k <= used; k++) {
        t.slots[k].reset();
        if (k < used)
            pointers.push_back(m->slots[k].null ? 0 : t.slots[k].addr());
    }
    const uint32_t in_addr = t.input.place(std::string(in) + '\0');
    const uint32_t fmt_addr = t.format.place(std::string(fmt) + '\0');
    const bool variadic = opts & 1;
    std::vector<uint32_t> words = {in_addr, fmt_addr};
    if (variadic)
        words.insert(words.end(), pointers.begin(), pointers.end());
    else
        words.push_back(t.list.place(pointers));
    const char *name = variadic ? "sscanf" : "vsscanf";
    const int32_t result = int32_t(t.g.call(variadic ? t.sscanf : t.vsscanf, words, name).eax);

    if (result != m->count)
        fz::finding("%s(\"%s\", \"%s\"): count %d, expected %d", name, fz::show(in).c_str(), fz::show(fmt).c_str(),
                    result, m->count);
    for (size_t k = 0; k <= used; k++) {
        std::string want;
        if (k < used && !m->slots[k].null) {
            const Store &s = m->slots[k];
            want = s.kind == Store::Int ? bytes_of(s.num) : s.kind == Store::Chr ? s.text : s.text + '\0';
        }
        char what[64];
        snprintf(what, sizeof what, "%s slot %zu", name, k);
        t.slots[k].expect(want, what);
    }
    t.g.check_image();
    return 0;
}
