// What the guest fuzz targets share: one runtime process per fuzzer process
// (a fresh one per input would cost more than the input), texts placed
// against the end of a mapped page, canaried regions, a check that nothing
// in the image's writable pages changed behind the target's back, and the
// way every finding ends the run.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "emu/session.hpp"

namespace fz {

// A finding: libFuzzer keeps the input that caused it.
[[noreturn]] inline void finding(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    fputs("FINDING: ", stderr);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
    va_end(ap);
    abort();
}

// Bytes for a report: printable ASCII as it is, the rest escaped.
inline std::string show(std::string_view s, size_t max = 200)
{
    std::string out;
    for (unsigned char c : s.substr(0, max)) {
        if (c >= 32 && c < 127 && c != '\\') {
            out += char(c);
        } else {
            char b[8];
            snprintf(b, sizeof b, "\\x%02x", c);
            out += b;
        }
    }
    if (s.size() > max)
        out += "...(" + std::to_string(s.size()) + " bytes)";
    return out;
}

// The fuzzer's input cut at its zero bytes: texts first, then the rest as
// control bytes read as little-endian words. Missing parts read as empty or
// zero, so every input means something.
class Input {
public:
    Input(const uint8_t *data, size_t size) : rest_(reinterpret_cast<const char *>(data), size) {}

    std::string_view text()
    {
        size_t z = rest_.find('\0');
        std::string_view t = rest_.substr(0, z);
        rest_ = z == std::string_view::npos ? std::string_view() : rest_.substr(z + 1);
        return t;
    }
    uint8_t byte()
    {
        if (rest_.empty())
            return 0;
        uint8_t b = uint8_t(rest_[0]);
        rest_.remove_prefix(1);
        return b;
    }
    uint32_t word()
    {
        uint32_t w = 0;
        for (int i = 0; i < 4; i++)
            w |= uint32_t(byte()) << (8 * i);
        return w;
    }
    bool empty() const { return rest_.empty(); }

private:
    std::string_view rest_;
};

class Guest {
public:
    static constexpr uint64_t kInsnLimit = 50'000'000;

    Guest() : s_(zelkos::cached_image(ZELKOS_BUILD_DIR "/runtime.elf"), options())
    {
        // With the guards on, a stray access to the null page or a store
        // into code or constants faults instead of passing unseen.
        s_.process().install_guards();
        // The writable pages in pieces around the arena, which is large and
        // checked less often.
        arena_ = sym("g_heap");
        for (const zelkos::Segment &seg : s_.process().image().segments) {
            if (!(seg.flags & zelkos::PF_W))
                continue;
            uint32_t lo = seg.vaddr, hi = seg.vaddr + seg.memsz;
            if (arena_ >= lo && arena_ + kArena <= hi) {
                writable_.push_back({lo, read(lo, arena_ - lo)});
                writable_.push_back({arena_ + kArena, read(arena_ + kArena, hi - arena_ - kArena)});
            } else {
                writable_.push_back({lo, read(lo, hi - lo)});
            }
        }
        arena_bytes_ = read(arena_, kArena);
    }

    static constexpr uint32_t kArena = 0x100000;
    uint32_t arena() const { return arena_; }

    zelkos::Session &session() { return s_; }

    uint32_t sym(const char *name)
    {
        auto a = s_.symbol(name);
        if (!a)
            finding("no symbol %s in the runtime image", name);
        return *a;
    }

    // A guest call that must come back; anything else is a finding.
    zelkos::CallOutcome call(uint32_t fn, const std::vector<uint32_t> &words, const char *what)
    {
        zelkos::CallOutcome r = s_.call(fn, words);
        if (!r.returned())
            finding("%s did not return: %s", what, r.outcome.report.c_str());
        return r;
    }

    uint32_t alloc(uint32_t size, uint8_t fill = 0)
    {
        auto a = s_.alloc(size, fill);
        if (!a)
            finding("scratch memory exhausted");
        return *a;
    }

    std::string read(uint32_t addr, uint32_t n)
    {
        std::string b(n, '\0');
        if (!s_.read(addr, b.data(), n))
            finding("cannot read guest memory at 0x%08x", addr);
        return b;
    }
    uint32_t read32(uint32_t addr)
    {
        uint32_t v;
        std::memcpy(&v, read(addr, 4).data(), 4);
        return v;
    }
    void write(uint32_t addr, std::string_view b)
    {
        if (!s_.write(addr, b.data(), b.size()))
            finding("cannot write guest memory at 0x%08x", addr);
    }
    void write32(uint32_t addr, uint32_t v) { write(addr, std::string_view(reinterpret_cast<char *>(&v), 4)); }
    void fill(uint32_t addr, uint32_t n, uint8_t b) { write(addr, std::string(n, char(b))); }

    // The image's writable pages must hold what they held at the start,
    // apart from the ranges a target expects to change (and resets). The
    // arena is compared on every 64th check only, unless the target owns
    // it (and checks it itself).
    void check_image(const std::vector<std::pair<uint32_t, uint32_t>> &allowed = {}, bool owns_arena = false)
    {
        for (auto &[base, bytes] : writable_)
            compare(base, bytes, allowed);
        if (!owns_arena && checks_++ % 64 == 0)
            compare(arena_, arena_bytes_, allowed);
    }

private:
    static zelkos::ProcessOptions options()
    {
        zelkos::ProcessOptions o;
        o.limits.instructions = kInsnLimit;
        return o;
    }

    void compare(uint32_t base, const std::string &bytes, const std::vector<std::pair<uint32_t, uint32_t>> &allowed)
    {
        std::string now = read(base, uint32_t(bytes.size()));
        for (auto &[a, n] : allowed)
            if (a >= base && a + n <= base + bytes.size())
                now.replace(a - base, n, bytes, a - base, n);
        if (now != bytes) {
            size_t at = 0;
            while (now[at] == bytes[at])
                at++;
            finding("the runtime's own memory changed at 0x%08x", base + uint32_t(at));
        }
    }

    zelkos::Session s_;
    std::vector<std::pair<uint32_t, std::string>> writable_;
    uint32_t arena_ = 0;
    std::string arena_bytes_;
    uint64_t checks_ = 0;
};

// A place for texts that end exactly where an unmapped page begins, so a
// read one byte past the end faults.
class EdgeText {
public:
    EdgeText(Guest &g, uint32_t capacity) : g_(g), cap_(capacity)
    {
        end_ = g.session().put_at_page_end(std::string(capacity, '\0')) + capacity;
    }
    uint32_t capacity() const { return cap_; }
    // The bytes as they are (add the zero yourself); cut to the capacity.
    uint32_t place(std::string_view bytes)
    {
        if (bytes.size() > cap_)
            bytes = bytes.substr(0, cap_);
        uint32_t at = end_ - uint32_t(bytes.size());
        g_.write(at, bytes);
        return at;
    }

private:
    Guest &g_;
    uint32_t cap_, end_;
};

// A destination with canaries on both sides, refilled before each input.
class Canaried {
public:
    static constexpr uint32_t kGuard = 32;
    static constexpr uint8_t kCanary = 0xA5;

    Canaried(Guest &g, uint32_t room) : g_(g), room_(room) { block_ = g.alloc(room + 2 * kGuard, kCanary); }
    uint32_t addr() const { return block_ + kGuard; }
    uint32_t room() const { return room_; }
    void reset() { g_.fill(block_, room_ + 2 * kGuard, kCanary); }
    // The room must hold `want` followed by canaries, and the guards must be
    // whole.
    void expect(const std::string &want, const char *what)
    {
        std::string got = g_.read(block_, room_ + 2 * kGuard);
        std::string exp = std::string(kGuard, char(kCanary)) + want;
        exp.resize(got.size(), char(kCanary));
        if (got != exp) {
            size_t at = 0;
            while (got[at] == exp[at])
                at++;
            size_t from = at > kGuard + 16 ? at - 16 : kGuard;
            finding("%s: stored bytes differ at offset %d: got \"%s\", expected \"%s\"", what,
                    int(at) - int(kGuard), show(std::string_view(got).substr(from, 64)).c_str(),
                    show(std::string_view(exp).substr(from, 64)).c_str());
        }
    }

private:
    Guest &g_;
    uint32_t room_, block_;
};

// The strings a formatter's "s" argument may point at: the null pointer, an
// address in the null page, a few fixed texts and the fuzzer's own text,
// each against the end of a page; two of them are arrays without a zero
// byte, which only a precision no longer than the array makes readable.
class Strings {
public:
    struct Str {
        uint32_t addr = 0;
        std::string bytes;     // what lies at addr (up to the zero, or the array)
        bool terminated = true;
    };

    explicit Strings(Guest &g) : fuzzed_(g, 8192), fuzzed_array_(g, 8192)
    {
        std::string digits;
        for (int i = 0; i < 300; i++)
            digits += char('0' + i % 10);
        for (const std::string &t : {std::string(), std::string("abc"), digits}) {
            EdgeText e(g, uint32_t(t.size() + 1));
            fixed_.push_back({e.place(t + '\0'), t, true});
        }
        EdgeText e(g, 12);
        fixed_.push_back({e.place("unterminated"), "unterminated", false});
    }

    void set_fuzzed(std::string_view t)
    {
        t = t.substr(0, fuzzed_.capacity() - 1);
        fuzzed_text_ = std::string(t);
        fuzzed_addr_ = fuzzed_.place(fuzzed_text_ + '\0');
        fuzzed_array_addr_ = fuzzed_array_.place(fuzzed_text_);
    }

    // The raw word picks a string. `prec` is the directive's precision (-1
    // when absent): an unterminated array is chosen only where the
    // precision keeps every read inside it; otherwise its terminated twin.
    Str pick(uint32_t raw, int64_t prec) const
    {
        const Str fuzzed{fuzzed_addr_, fuzzed_text_, true};
        Str s;
        switch (raw % 8) {
        case 0: return {0, "", true};
        case 1: return {1 + (raw >> 3) % 4095, "", true};
        case 2: case 3: case 4: return fixed_[raw % 8 - 2];
        case 5: return fuzzed;
        case 6: s = {fuzzed_array_addr_, fuzzed_text_, false}; break;
        default: s = fixed_[3]; break;
        }
        if (prec < 0 || uint64_t(prec) > s.bytes.size())
            return fuzzed;
        return s;
    }

private:
    std::vector<Str> fixed_;
    EdgeText fuzzed_, fuzzed_array_;
    std::string fuzzed_text_;
    uint32_t fuzzed_addr_ = 0, fuzzed_array_addr_ = 0;
};

// A variable-argument list built while a host model walks the format: the
// model takes raw words from the input, and the words it took (strings
// replaced by their addresses) become the list the guest gets.
class Args {
public:
    Args(Input &in, const Strings &strings) : in_(in), strings_(strings) {}

    uint32_t word() { return keep(in_.word()); }
    uint64_t u64()
    {
        uint64_t lo = word();
        return lo | uint64_t(word()) << 32;
    }
    Strings::Str str(int64_t prec)
    {
        Strings::Str s = strings_.pick(in_.word(), prec);
        keep(s.addr);
        return s;
    }
    const std::vector<uint32_t> &words() const { return words_; }

private:
    uint32_t keep(uint32_t w)
    {
        words_.push_back(w);
        return w;
    }
    Input &in_;
    const Strings &strings_;
    std::vector<uint32_t> words_;
};

// The width and precision of a directive starting at f[i], for the two
// formatter models: "*" takes a word from the list (a negative precision
// from it counts as none), digits count in decimal. False when a run of
// digits does not fit a signed 32-bit number, which means nothing.
inline bool width_precision(std::string_view f, size_t &i, Args &args, int64_t &width, int64_t &prec)
{
    auto number = [&](int64_t &v) {
        v = 0;
        for (; i < f.size() && f[i] >= '0' && f[i] <= '9'; i++)
            if ((v = v * 10 + (f[i] - '0')) > INT32_MAX)
                return false;
        return true;
    };
    width = 0;
    prec = -1;
    if (i < f.size() && f[i] == '*') {
        width = int32_t(args.word());
        i++;
    } else if (!number(width)) {
        return false;
    }
    if (i < f.size() && f[i] == '.') {
        i++;
        if (i < f.size() && f[i] == '*') {
            int32_t p = int32_t(args.word());
            prec = p < 0 ? -1 : p;
            i++;
        } else if (!number(prec)) {
            return false;
        }
    }
    return true;
}

// 0 to 15 for a digit of either case, -1 for any other byte: the number
// models' digit test.
inline int digit_value(unsigned char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The words of a list against the end of a page, as an i386 va_list points
// at them: taking one more than the model did faults.
class ListArea {
public:
    static constexpr uint32_t kWords = 4096;
    explicit ListArea(Guest &g) : area_(g, 4 * kWords) {}
    uint32_t place(const std::vector<uint32_t> &w)
    {
        return area_.place(std::string_view(reinterpret_cast<const char *>(w.data()), 4 * w.size()));
    }

private:
    EdgeText area_;
};

} // namespace fz
