// The stream formatter (vfprintf, fprintf, printf) as i386 code on
// fuzzer-chosen formats and arguments, against a host model of the same
// behaviour written for this target. Into a memory stream: the stream's
// bytes, record, published slots and arena use must be what the model's
// sink calls make of them, and no arena byte beyond the blocks handed out
// may change. On the console: every sink call is one write, so the writes
// themselves must be the model's pieces.
//
// Input: format \0 string \0 options, argument words.
#include <optional>

#include "fuzz/guest.hpp"

namespace {

constexpr uint64_t kMaxMemoryOutput = 1 << 13;
constexpr uint64_t kMaxConsoleOutput = 1 << 11;  // one kernel call per piece

struct TooLong {};

// ---- The model ------------------------------------------------------------

class Model {
public:
    Model(fz::Args &args, uint64_t limit) : args_(args), limit_(limit) {}

    // The sink calls in order (empty ones included) and the result; nullopt
    // when a width or precision is too long for 32 bits.
    struct Result {
        std::vector<std::string> pieces;
        int64_t count = 0;
    };

    std::optional<Result> run(std::string_view f, bool console)
    {
        size_t i = 0;
        if (console && f.substr(0, 2) == "%c") {
            std::string rec(1, '\xFF');
            for (int k = 0; k < 3; k++)
                rec += char(args_.word());
            piece(rec, false);
            i = 2;
        }
        while (i < f.size()) {
            if (f[i] != '%') {
                piece(std::string(1, f[i++]));
                continue;
            }
            if (++i == f.size())
                break;
            int64_t width, prec;
            if (!fz::width_precision(f, i, args_, width, prec))
                return std::nullopt;
            bool ll = false;
            if (i < f.size() && f[i] == 'l') {
                i++;
                if (i < f.size() && f[i] == 'l') {
                    ll = true;
                    i++;
                }
            }
            if (i >= f.size())
                break;
            const char conv = f[i++];
            switch (conv) {
            case '%':
                piece("%");
                break;
            case 'c':
                piece(std::string(1, char(args_.word())));
                break;
            case 's':
                string(args_.str(prec), width, prec);
                break;
            case 'd':
            case 'i': {
                int64_t v = ll ? int64_t(args_.u64()) : int64_t(int32_t(args_.word()));
                integer(v < 0 ? 0 - uint64_t(v) : uint64_t(v), v < 0, false, 10, width, prec);
                break;
            }
            case 'u':
            case 'x':
            case 'p':
                integer(ll ? args_.u64() : args_.word(), false, conv == 'p', conv == 'u' ? 10 : 16, width, prec);
                break;
            default:
                piece("%");
                piece(std::string(1, conv));
                break;
            }
        }
        return r_;
    }

private:
    void piece(std::string s, bool counted = true)
    {
        out_ += s.size();
        if (out_ > limit_)
            throw TooLong{};
        if (counted)
            r_.count += int64_t(s.size());
        r_.pieces.push_back(std::move(s));
    }
    void spaces(uint64_t n)
    {
        if (out_ + n > limit_)
            throw TooLong{};
        while (n--)
            piece(" ");
    }

    void string(const fz::Strings::Str &s, int64_t width, int64_t prec)
    {
        std::string text = s.addr == 0 ? "(null)" : s.addr < 4096 ? "" : s.bytes;
        uint64_t p = prec >= 0 && uint64_t(prec) < text.size() ? uint64_t(prec) : text.size();
        if (width > int64_t(p))
            spaces(uint64_t(width) - p);
        piece(text.substr(0, p));
    }

    void integer(uint64_t mag, bool neg, bool ptr, unsigned base, int64_t width, int64_t prec)
    {
        std::string digits;
        do {
            digits.insert(digits.begin(), "0123456789abcdef"[mag % base]);
            mag /= base;
        } while (mag);
        const int64_t nd = int64_t(digits.size());
        const int64_t zeros = prec > nd ? prec - nd : 0;
        const int64_t field = (neg ? 1 : 0) + (ptr ? 2 : 0) + zeros + nd;
        if (width > field)
            spaces(uint64_t(width - field));
        if (neg)
            piece("-");
        if (ptr) {
            piece("0");
            piece("x");
        }
        if (out_ + uint64_t(zeros) > limit_)
            throw TooLong{};
        for (int64_t k = 0; k < zeros; k++)
            piece("0");
        piece(digits);
    }

    fz::Args &args_;
    uint64_t limit_;
    uint64_t out_ = 0;
    Result r_;
};

// ---- The target -------------------------------------------------------------

enum : uint32_t { KIND = 0, FD = 4, PATH = 8, BUF = 12, LEN = 16, CAP = 20, USER_BUF = 24, USER_SIZE = 28,
                  FILE_SIZE = 44 };
constexpr uint8_t kArenaCanary = 0xEE;

struct Target {
    fz::Guest g;
    fz::EdgeText format{g, 8192};
    fz::Strings strings{g};
    fz::ListArea list{g};
    fz::Canaried slots{g, 8};
    uint32_t heap_used = g.sym("g_heap_used"), err = g.sym("errno"), stdout_ptr = g.sym("stdout");
    uint32_t open_memstream = g.sym("open_memstream"), vfprintf = g.sym("vfprintf"),
             fprintf = g.sym("fprintf"), printf = g.sym("printf");
    uint32_t used = fz::Guest::kArena;  // arena bytes to refill before the next input
    uint64_t inputs = 0;

    // Arena bytes are never written before they are handed out; make them
    // recognisable, so that a store past the blocks shows.
    void reset_arena()
    {
        g.fill(g.arena(), used, kArenaCanary);
        g.write32(heap_used, 0);
        used = 0;
    }
};

// The buffer road's growth and the arena's spans, as the sink calls make
// them: the record's block, then one block per growth.
struct Growth {
    uint32_t used = (44 + 11) & ~7u;  // calloc(1, sizeof(FILE))
    uint32_t cap = 0, buf_offset = 0;  // the last block's payload, from the arena's start
    uint64_t len = 0;

    void sink(size_t n)
    {
        if (n == 0)
            return;
        uint64_t need = len + n + 1;
        if (cap < need) {
            uint64_t c = cap ? uint64_t(cap) * 2 : 256;
            while (c < need)
                c *= 2;
            buf_offset = used + 4;
            used += uint32_t((c + 11) & ~7ull);
            cap = uint32_t(c);
        }
        len += n;
    }
};

void check_memory_stream(Target &t, uint32_t f, const Model::Result &m, int32_t result)
{
    std::string want;
    Growth grow;
    for (const std::string &p : m.pieces) {
        want += p;
        grow.sink(p.size());
    }
    fz::Guest &g = t.g;
    if (result != m.count)
        fz::finding("memory stream: result %d, expected %lld", result, (long long)m.count);
    const uint32_t used = g.read32(t.heap_used);
    t.used = std::max(used, grow.used);
    if (used != grow.used)
        fz::finding("memory stream: the arena handed out %u bytes, expected %u", used, grow.used);
    if (f != g.arena() + 4)
        fz::finding("memory stream: the record is not the arena's first block");
    const uint32_t buf = want.empty() ? 0 : g.arena() + grow.buf_offset;
    const std::string rec = g.read(f, FILE_SIZE);
    auto field = [&](uint32_t off) {
        uint32_t v;
        std::memcpy(&v, rec.data() + off, 4);
        return v;
    };
    const uint32_t expect_rec[11] = {2, 0, 0, buf, uint32_t(want.size()), grow.cap, t.slots.addr(),
                                     t.slots.addr() + 4, 0, 0, 0};
    for (uint32_t k = 0; k < 11; k++)
        if (field(4 * k) != expect_rec[k])
            fz::finding("memory stream: record field %u holds 0x%08x, expected 0x%08x", k, field(4 * k),
                        expect_rec[k]);
    std::string slots(8, '\0');
    std::memcpy(slots.data(), &buf, 4);
    uint32_t size = uint32_t(want.size());
    std::memcpy(slots.data() + 4, &size, 4);
    t.slots.expect(slots, "memory stream slots");
    if (buf) {
        std::string held = g.read(buf, uint32_t(want.size() + 1));
        if (held != want + '\0')
            fz::finding("memory stream holds \"%s\", expected \"%s\"", fz::show(held).c_str(),
                        fz::show(want + '\0').c_str());
    }
    // Past the blocks handed out, the arena is untouched: the next page on
    // every input, all of it now and then.
    const uint32_t rest = fz::Guest::kArena - used;
    const uint32_t span = t.inputs % 64 == 0 ? rest : std::min<uint32_t>(rest, 4096);
    if (g.read(g.arena() + used, span) != std::string(span, char(kArenaCanary)))
        fz::finding("memory stream: an arena byte past the blocks handed out changed");
}

void check_console(Target &t, const Model::Result &m, int32_t result)
{
    if (result != m.count)
        fz::finding("console: result %d, expected %lld", result, (long long)m.count);
    std::vector<std::string> want;
    for (const std::string &p : m.pieces)
        if (!p.empty())
            want.push_back(p);
    const auto &log = t.g.session().process().kernel().log();
    if (log.size() != want.size())
        fz::finding("console: %zu kernel calls, expected %zu writes", log.size(), want.size());
    for (size_t k = 0; k < log.size(); k++)
        if (log[k].nr != 1 || log[k].ebx != 1 || log[k].data != want[k])
            fz::finding("console: call %zu is %d(%u, \"%s\"), expected write(1, \"%s\")", k, log[k].nr,
                        log[k].ebx, fz::show(log[k].data).c_str(), fz::show(want[k]).c_str());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Target t;
    fz::Input in(data, size);
    const std::string_view fmt = in.text();
    const std::string_view text = in.text();
    const uint8_t opts = in.byte();
    if (fmt.size() >= t.format.capacity())
        return 0;
    const bool console = opts & 1;
    // 0: vfprintf, 1: fprintf, 2: printf (console only)
    const unsigned entry = console ? (opts >> 1) % 3 : (opts >> 1) % 2;

    t.strings.set_fuzzed(text);
    fz::Args args(in, t.strings);
    std::optional<Model::Result> m;
    try {
        m = Model(args, console ? kMaxConsoleOutput : kMaxMemoryOutput).run(fmt, console);
    } catch (TooLong) {
        return 0;
    }
    if (!m || args.words().size() > fz::ListArea::kWords)
        return 0;

    fz::Guest &g = t.g;
    t.inputs++;
    t.reset_arena();
    t.slots.reset();
    auto &kernel = g.session().process().kernel();
    kernel.clear_log();
    kernel.console().clear_writes();

    uint32_t stream = g.read32(t.stdout_ptr);
    if (!console) {
        stream = g.call(t.open_memstream, {t.slots.addr(), t.slots.addr() + 4}, "open_memstream").eax;
        if (!stream)
            fz::finding("open_memstream failed on an empty arena");
    }
    const uint32_t f = t.format.place(std::string(fmt) + '\0');
    std::vector<uint32_t> words;
    if (entry != 2)
        words.push_back(stream);
    words.push_back(f);
    if (entry == 0)
        words.push_back(t.list.place(args.words()));
    else
        words.insert(words.end(), args.words().begin(), args.words().end());
    static const char *names[] = {"vfprintf", "fprintf", "printf"};
    const uint32_t fn[] = {t.vfprintf, t.fprintf, t.printf};
    const int32_t result = int32_t(g.call(fn[entry], words, names[entry]).eax);

    if (console) {
        check_console(t, *m, result);
        t.slots.expect("", "console run");
    } else {
        check_memory_stream(t, stream, *m, result);
    }
    if (g.read32(t.err) != 0)
        fz::finding("errno changed to %u", g.read32(t.err));
    g.check_image({{t.heap_used, 4}}, true);
    return 0;
}
