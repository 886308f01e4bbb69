// The buffer formatter (vsnprintf, snprintf, vsprintf, sprintf) as i386
// code on fuzzer-chosen formats, arguments and sizes, against a host model
// of the same behaviour written for this target. The buffer has canaries on
// both sides; a fault, a stored byte outside what the model stores, or any
// other difference is a finding.
//
// Input: format \0 string \0 options, size word, argument words.
#include <optional>

#include "fuzz/guest.hpp"

namespace {

// Longer outputs are skipped: they cost time and show nothing new.
constexpr uint64_t kMaxOutput = 1 << 13;

struct TooLong {};

// ---- The model ------------------------------------------------------------

class Model {
public:
    explicit Model(fz::Args &args) : args_(args) {}

    // The whole output, stored or not; nullopt when the format has a width
    // or precision too long for 32 bits (which has no defined meaning).
    std::optional<std::string> run(std::string_view f)
    {
        out_.clear();
        size_t i = 0;
        while (i < f.size()) {
            if (f[i] != '%') {
                put(f[i++]);
                continue;
            }
            i++;
            bool left = false, zero = false, plus = false;
            for (; i < f.size(); i++) {
                if (f[i] == '-')
                    left = true;
                else if (f[i] == '0')
                    zero = true;
                else if (f[i] == '+')
                    plus = true;
                else
                    break;
            }
            int64_t width, prec;
            if (!fz::width_precision(f, i, args_, width, prec))
                return std::nullopt;
            bool ll = false;
            if (f.substr(i, 2) == "ll") {
                ll = true;
                i += 2;
            } else if (i < f.size() && (f[i] == 'l' || f[i] == 'z')) {
                i++;
            }
            if (i >= f.size())
                break;
            const char conv = f[i++];
            switch (conv) {
            case '%':
                put('%');
                break;
            case 'c':
                put(char(args_.word()));
                break;
            case 's':
                string(args_.str(prec), left, width, prec);
                break;
            case 'd':
            case 'i': {
                int64_t v = ll ? int64_t(args_.u64()) : int32_t(args_.word());
                if (v < 0)
                    integer(0 - uint64_t(v), '-', 10, false, left, zero, width, prec);
                else
                    integer(uint64_t(v), plus ? '+' : 0, 10, false, left, zero, width, prec);
                break;
            }
            case 'u':
            case 'x':
            case 'X':
                integer(ll ? args_.u64() : args_.word(), 0, conv == 'u' ? 10 : 16, conv == 'X', left, zero,
                        width, prec);
                break;
            case 'p':
                put('0');
                put('x');
                integer(ll ? args_.u64() : args_.word(), 0, 16, false, false, false, 0, -1);
                break;
            default:
                put('%');
                put(conv);
                break;
            }
        }
        return out_;
    }

private:
    void put(char c) { repeat(c, 1); }
    void repeat(char c, uint64_t n)
    {
        if (out_.size() + n > kMaxOutput)
            throw TooLong{};
        out_.append(size_t(n), c);
    }

    void string(const fz::Strings::Str &s, bool left, int64_t width, int64_t prec)
    {
        std::string text = s.addr == 0 ? "(null)" : s.addr < 4096 ? "" : s.bytes;
        uint64_t len = text.size();
        if (prec >= 0 && uint64_t(prec) < len)
            len = uint64_t(prec);
        uint64_t pad = width > int64_t(len) ? uint64_t(width) - len : 0;
        if (!left)
            repeat(' ', pad);
        for (uint64_t k = 0; k < len; k++)
            put(text[k]);
        if (left)
            repeat(' ', pad);
    }

    void integer(uint64_t mag, char sign, unsigned base, bool upper, bool left, bool zero, int64_t width,
                 int64_t prec)
    {
        const char *set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
        std::string digits;
        do {
            digits.insert(digits.begin(), set[mag % base]);
            mag /= base;
        } while (mag);
        uint64_t nd = digits.size();
        uint64_t zeros = prec > int64_t(nd) ? uint64_t(prec) - nd : 0;
        uint64_t field = std::max<uint64_t>(nd, prec < 0 ? 0 : uint64_t(prec)) + (sign ? 1 : 0);
        uint64_t pad = width > int64_t(field) ? uint64_t(width) - field : 0;
        if (zero && !left && prec < 0) {
            if (sign)
                put(sign);
            repeat('0', pad);
            out_ += digits;
            return;
        }
        if (!left)
            repeat(' ', pad);
        if (sign)
            put(sign);
        repeat('0', zeros);
        if (out_.size() + nd > kMaxOutput)
            throw TooLong{};
        out_ += digits;
        if (left)
            repeat(' ', pad);
    }

    fz::Args &args_;
    std::string out_;
};

// ---- The target -------------------------------------------------------------

struct Target {
    fz::Guest g;
    fz::EdgeText format{g, 8192};
    fz::Strings strings{g};
    fz::ListArea list{g};
    fz::Canaried buf{g, kMaxOutput + 64};
    uint32_t fn[4] = {g.sym("vsnprintf"), g.sym("snprintf"), g.sym("vsprintf"), g.sym("sprintf")};
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Target t;
    fz::Input in(data, size);
    const std::string_view fmt = in.text();
    const std::string_view text = in.text();
    const uint8_t opts = in.byte();
    const uint32_t size_word = in.word();
    if (fmt.size() >= t.format.capacity())
        return 0;

    // Which entry, what size, and whether the buffer or format is null.
    const unsigned entry = opts & 3;
    const bool sized = entry < 2;
    uint32_t bufsize = 0x10000;
    if (sized) {
        switch ((opts >> 2) & 3) {
        case 0: bufsize = size_word % 80; break;
        case 1: bufsize = size_word; break;
        case 2: bufsize = 0; break;
        default: bufsize = size_word % 0x11000; break;
        }
    }
    const bool null_buf = (opts & 0x30) == 0x30;
    const bool null_fmt = (opts & 0xC0) == 0xC0;

    t.strings.set_fuzzed(text);
    fz::Args args(in, t.strings);
    std::string full;
    if (!null_fmt) {
        try {
            auto m = Model(args).run(fmt);
            if (!m)
                return 0;
            full = std::move(*m);
        } catch (TooLong) {
            return 0;
        }
    }
    if (args.words().size() > fz::ListArea::kWords)
        return 0;

    const uint32_t buf = null_buf ? 0 : t.buf.addr();
    const uint32_t f = null_fmt ? 0 : t.format.place(std::string(fmt) + '\0');
    t.buf.reset();
    std::vector<uint32_t> words = {buf};
    if (sized)
        words.push_back(bufsize);
    words.push_back(f);
    if (entry % 2 == 0)
        words.push_back(t.list.place(args.words()));
    else
        words.insert(words.end(), args.words().begin(), args.words().end());
    static const char *names[] = {"vsnprintf", "snprintf", "vsprintf", "sprintf"};
    const zelkos::CallOutcome r = t.g.call(t.fn[entry], words, names[entry]);

    if (int32_t(r.eax) != int32_t(full.size()))
        fz::finding("%s(size %u, \"%s\"): result %d, expected %zu", names[entry], bufsize,
                    fz::show(fmt).c_str(), int32_t(r.eax), full.size());
    std::string want;
    if (buf && bufsize != 0) {
        want = full.substr(0, std::min<size_t>(full.size(), bufsize - 1));
        want += '\0';
    }
    t.buf.expect(want, names[entry]);
    t.g.check_image();
    return 0;
}
