// Fault-injection sweeps over whole scenarios. Each scenario runs once as
// it is, to count its kernel calls (or arena allocations); then once per
// call with exactly that call failing, once per write with that write cut
// short, and once per allocation with the arena exhausted at that point.
// Every run must end with the result that failure calls for, without a
// guest fault, and with the earlier effects intact.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "emu/process.hpp"
#include "harness.hpp"

using namespace zt;
namespace fs = std::filesystem;

namespace {

constexpr int32_t EIO_ANSWER = -5;
constexpr uint32_t HEAP_SIZE = 0x100000;
constexpr uint32_t NO_MEMORY = 12;
enum : uint32_t { BUF = 12, LEN = 16, POS = 36, EOF_FLAG = 40 };

// Which kernel call of a run to spoil, and how: fail it, or let a write
// take only half of its bytes.
struct Fault {
    enum Kind { None, Fail, Short } kind = None;
    size_t at = 0;
};

std::string describe(const Fault &f, const CallRecord &c)
{
    return std::string(f.kind == Fault::Fail ? "failing" : "cutting short") + " call " + std::to_string(f.at) +
           " (" + (c.name[0] ? c.name : "call") + ")";
}

bool can_be_short(const CallRecord &c) { return c.nr == 1 && c.edx > 1; }

// The answer for the n-th kernel call of a run under the fault; nullopt
// lets the service answer.
std::optional<int32_t> spoil(const Fault &f, size_t n, const CallRecord &c)
{
    if (f.kind == Fault::None || n != f.at)
        return std::nullopt;
    if (f.kind == Fault::Fail)
        return EIO_ANSWER;
    return int32_t(c.edx / 2);
}

void inject(Guest &g, const Fault &f)
{
    auto n = std::make_shared<size_t>(0);
    g.script([f, n](const CallRecord &c) { return spoil(f, (*n)++, c); });
}

// Every (call, way of failing) pair a baseline run allows.
std::vector<Fault> faults_of(const std::vector<CallRecord> &calls)
{
    std::vector<Fault> out;
    for (size_t i = 0; i < calls.size(); i++) {
        out.push_back({Fault::Fail, i});
        if (can_be_short(calls[i]))
            out.push_back({Fault::Short, i});
    }
    return out;
}

std::string join(const std::vector<std::string> &parts, size_t n)
{
    std::string s;
    for (size_t i = 0; i < n && i < parts.size(); i++)
        s += parts[i];
    return s;
}

// A directory of its own as the guest's file root.
class SweepFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = fs::temp_directory_path() / ("zelkos-sweep-" + std::to_string(getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        fs::create_directories(root);
    }
    void TearDown() override { fs::remove_all(root); }

    void create(const std::string &name, const std::string &bytes) const
    {
        std::ofstream(root / name, std::ios::binary) << bytes;
    }
    std::optional<std::string> contents(const std::string &name) const
    {
        if (!fs::exists(root / name))
            return std::nullopt;
        std::ifstream in(root / name, std::ios::binary);
        return std::string{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    fs::path root;
};

} // namespace

// ---- Kernel call sweeps -------------------------------------------------------

// The command: a refused call 101 is the failure line; a failed write loses
// only what it and the writes after it in the same puts carried, and the
// status still follows call 101; an _exit that comes back parks the
// processor instead of returning into _start.
TEST(KernelSweep, TheCommand)
{
    auto run = [](const Fault &f) {
        RunOptions opt;
        opt.setup = [f](zelkos::Process &p) {
            auto n = std::make_shared<size_t>(0);
            p.kernel().set_script([f, n](const CallRecord &c) -> std::optional<zelkos::Answer> {
                if (auto v = spoil(f, (*n)++, c))
                    return zelkos::Answer{*v, std::nullopt};
                return std::nullopt;
            });
        };
        return run_image(lumbrel_image(), opt);
    };
    const std::string ok = "Requested paging guards: null-page NX and .text/.rodata RO.";
    const RunResult base = run({});
    ASSERT_EQ(base.outcome.kind, Outcome::Exited) << base.outcome.report;
    ASSERT_EQ(base.calls.size(), 4u);  // 101, write, write, _exit

    for (const Fault &f : faults_of(base.calls)) {
        SCOPED_TRACE(describe(f, base.calls[f.at]));
        const RunResult r = run(f);
        std::vector<std::string> writes;
        int status = 0;
        Outcome::Kind end = Outcome::Exited;
        if (f.kind == Fault::Short) {
            ASSERT_EQ(f.at, 1u);  // only the text is longer than a byte
            writes = {ok.substr(0, ok.size() / 2), ok.substr(ok.size() / 2), "\n"};
        } else if (f.at == 0) {
            writes = {"lumbrel: failed", "\n"};
            status = 1;
        } else if (f.at == 1) {
            writes = {};          // no newline after a failed text
        } else if (f.at == 2) {
            writes = {ok};
        } else {
            writes = {ok, "\n"};
            end = Outcome::Halted;  // _exit came back
        }
        EXPECT_EQ(r.outcome.kind, end) << r.outcome.report;
        if (end == Outcome::Exited)
            EXPECT_EQ(r.status, status);
        EXPECT_EQ(r.console_writes, writes);
    }
}

// printf of a long mixed format to the console. A failed write ends the call
// with -1 after exactly the writes before it, and nothing more is tried; a
// short write is finished by the next one, and the result and the console
// are as without the fault.
TEST(KernelSweep, PrintfOfALongMixedFormat)
{
    const std::string fmt = "%cReport %s: %5d items, %.4d%% done, id %p, total %llu, tag %8.3s|%x|%q|%i\n";
    auto run = [&](const Fault &f, std::vector<std::string> &writes, std::vector<CallRecord> &calls) {
        Guest g;
        inject(g, f);
        const CallResult r = g.call_addr(g.sym("printf"),
                                         {g.str(fmt), 4, 1, 0x10, g.str("alpha"), 42, 7, 0xBEEFu,
                                          Arg::u64(12345678901234ull), g.str("abcdef"), 0xFFu, -17});
        EXPECT_TRUE(r.returned()) << r.outcome.report;
        writes = g.console_writes();
        calls = g.calls();
        return int32_t(r.eax);
    };
    std::vector<std::string> base_writes;
    std::vector<CallRecord> base_calls;
    const int32_t base = run({}, base_writes, base_calls);
    const std::string text =
        "Report alpha:    42 items, 0007% done, id 0xbeef, total 12345678901234, tag      abc|ff|%q|-17\n";
    ASSERT_EQ(base, int32_t(text.size()));
    ASSERT_EQ(join(base_writes, base_writes.size()), "\xFF\x04\x01\x10" + text);
    ASSERT_EQ(base_calls.size(), base_writes.size());

    for (const Fault &f : faults_of(base_calls)) {
        SCOPED_TRACE(describe(f, base_calls[f.at]));
        std::vector<std::string> writes;
        std::vector<CallRecord> calls;
        const int32_t result = run(f, writes, calls);
        if (f.kind == Fault::Fail) {
            EXPECT_EQ(result, -1);
            EXPECT_EQ(calls.size(), f.at + 1);  // nothing after the failure
            EXPECT_EQ(writes, std::vector<std::string>(base_writes.begin(), base_writes.begin() + long(f.at)));
        } else {
            EXPECT_EQ(result, base);
            EXPECT_EQ(calls.size(), base_calls.size() + 1);
            const std::string &cut = base_writes[f.at];
            ASSERT_GT(writes.size(), f.at + 1);
            EXPECT_EQ(writes[f.at], cut.substr(0, cut.size() / 2));
            EXPECT_EQ(writes[f.at + 1], cut.substr(cut.size() / 2));
            EXPECT_EQ(join(writes, writes.size()), join(base_writes, base_writes.size()));
        }
    }
}

// A deferred file makes one kernel call, the store at fclose. When it fails,
// fclose reports -1 and the file that was there before is left as it was.
TEST_F(SweepFiles, DeferredFileWrittenAndClosed)
{
    const std::string old = "the old contents\n";
    const std::string big(300, 'z');
    const std::string want = "header\n42 items\n" + big + "!";
    auto run = [&](const Fault &f, std::vector<CallRecord> &calls) {
        create("out.txt", old);
        Guest g(runtime_image(), root.string());
        inject(g, f);
        const uint32_t s = g.call("fopen", {g.str("out.txt"), g.str("w")});
        EXPECT_NE(s, 0u);
        EXPECT_EQ(g.call("fputs", {g.str("header\n"), s}), 7u);
        EXPECT_EQ(g.call("fprintf", {s, g.str("%d %s\n"), 42, g.str("items")}), 9u);
        EXPECT_EQ(g.call("fwrite", {g.str(big), 1, 300, s}), 300u);
        EXPECT_EQ(g.call("fputc", {'!', s}), uint32_t('!'));
        const int32_t closed = int32_t(g.call("fclose", {s}));
        calls = g.calls();
        return closed;
    };
    std::vector<CallRecord> base_calls;
    ASSERT_EQ(run({}, base_calls), 0);
    ASSERT_EQ(base_calls.size(), 1u);
    EXPECT_EQ(contents("out.txt"), want);

    for (const Fault &f : faults_of(base_calls)) {
        SCOPED_TRACE(describe(f, base_calls[f.at]));
        std::vector<CallRecord> calls;
        EXPECT_EQ(run(f, calls), -1);
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].data, want);  // the whole content was offered
        EXPECT_EQ(contents("out.txt"), old);
    }
}

namespace {

// What a read stream's calls see under an injected failure: the file's
// bytes in order, one read at a time, except that the spoiled read fails
// without taking a byte.
class ReadModel {
public:
    ReadModel(std::string bytes, std::optional<size_t> fail_at) : bytes_(std::move(bytes)), fail_at_(fail_at) {}

    // The next one-byte read: the byte, or 0 at the end, or the failure.
    int next(unsigned char &c)
    {
        if (fail_at_ && reads_++ == *fail_at_)
            return EIO_ANSWER;
        if (at_ == bytes_.size())
            return 0;
        c = (unsigned char)bytes_[at_++];
        return 1;
    }
    size_t consumed() const { return at_; }

private:
    std::string bytes_;
    std::optional<size_t> fail_at_;
    size_t reads_ = 0, at_ = 0;
};

bool stream_space(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// fscanf's token: -1 when a read ends the input before its first byte.
std::optional<std::string> next_token(ReadModel &m, bool &eof)
{
    unsigned char c = 0;
    for (;;) {
        if (m.next(c) <= 0) {
            eof = true;
            return std::nullopt;
        }
        if (!stream_space(c))
            break;
    }
    std::string token(1, char(c));
    for (;;) {
        if (m.next(c) <= 0) {
            eof = true;
            return token;
        }
        if (stream_space(c))
            return token;
        token += char(c);
    }
}

} // namespace

// fscanf of several tokens from a file. A failed read before a token looks
// like the end (-1), a failed read inside one ends the token early; either
// way the end flag is set, the byte the failed read did not take is still
// there for the next call, and every value stored before stays stored. A
// failed open is a null stream; a failed close is fclose's result.
TEST_F(SweepFiles, FscanfOfSeveralTokens)
{
    const std::string file = "12 word\n-7\t\t345  last\r\n";
    const char *formats[] = {"%d", "%s", "%d", "%d", "%s", "%d", "%d"};  // two calls more than tokens
    struct Call {
        int32_t result;
        std::string stored;  // the number or the text
        int32_t pos, eof;
        bool operator==(const Call &) const = default;
    };
    struct Run {
        bool opened = false;
        std::vector<Call> calls;
        int32_t closed = 0;
        std::vector<CallRecord> log;
    };
    create("in.txt", file);
    auto run = [&](const Fault &f) {
        Run out;
        Guest g(runtime_image(), root.string());
        inject(g, f);
        const uint32_t s = g.call("fopen", {g.str("in.txt"), g.str("r")});
        out.opened = s != 0;
        if (s) {
            for (const char *fmt : formats) {
                const uint32_t slot = g.alloc(64, 0xEE);
                const int32_t r = int32_t(g.call("fscanf", {s, g.str(fmt), slot}));
                const std::string raw = g.read(slot, 64);
                std::string stored;
                if (r == 1)
                    stored = fmt[1] == 'd' ? std::to_string(int32_t(g.read32(slot))) : g.read_str(slot);
                else
                    EXPECT_EQ(raw, std::string(64, '\xEE')) << "stored without counting";
                out.calls.push_back({r, stored, int32_t(g.read32(s + POS)), int32_t(g.read32(s + EOF_FLAG))});
            }
            out.closed = int32_t(g.call("fclose", {s}));
        }
        out.log = g.calls();
        return out;
    };
    // The expected run, from the read model.
    auto expect = [&](std::optional<size_t> fail_read) {
        std::vector<Call> calls;
        ReadModel m(file, fail_read);
        bool eof = false;
        for (const char *fmt : formats) {
            std::optional<std::string> t = next_token(m, eof);
            Call c{-1, "", int32_t(m.consumed()), eof};
            if (t) {
                if (fmt[1] == 's') {
                    c.result = 1;
                    c.stored = *t;
                } else {
                    size_t k = (*t)[0] == '-' || (*t)[0] == '+';
                    c.result = k < t->size() && isdigit((unsigned char)(*t)[k]) ? 1 : 0;
                    if (c.result)
                        c.stored = std::to_string(std::stoi(*t));
                }
            }
            calls.push_back(c);
        }
        return calls;
    };

    const Run base = run({});
    ASSERT_TRUE(base.opened);
    EXPECT_EQ(base.closed, 0);
    EXPECT_EQ(base.calls, expect(std::nullopt));
    ASSERT_EQ(base.calls[4].stored, "last");
    ASSERT_EQ(base.log.front().nr, 4);
    ASSERT_EQ(base.log.back().nr, 5);

    for (const Fault &f : faults_of(base.log)) {
        const CallRecord &c = base.log[f.at];
        SCOPED_TRACE(describe(f, c));
        ASSERT_EQ(f.kind, Fault::Fail);  // every read asks for one byte
        const Run r = run(f);
        if (c.nr == 4) {
            EXPECT_FALSE(r.opened);
            continue;
        }
        ASSERT_TRUE(r.opened);
        if (c.nr == 5) {
            EXPECT_EQ(r.calls, base.calls);
            EXPECT_EQ(r.closed, EIO_ANSWER);
            continue;
        }
        EXPECT_EQ(r.calls, expect(f.at - 1));  // reads counted after the open
        EXPECT_EQ(r.closed, 0);
    }
}

// fgetc to the end of a file, then once more to the end. A failed read
// looks like the end: -1 and the end flag, with the bytes before it
// delivered and counted; the byte it did not take comes with the next loop,
// so the two loops together still deliver the whole file.
TEST_F(SweepFiles, FgetcToTheEndOfAFile)
{
    const std::string file = bytes("ab\xFF\0cd\nef\x01");
    create("in.bin", file);
    struct Loop {
        std::string got;
        int32_t pos, eof;
        bool operator==(const Loop &) const = default;
    };
    struct Run {
        bool opened = false;
        std::vector<Loop> loops;
        int32_t closed = 0;
        std::vector<CallRecord> log;
    };
    auto run = [&](const Fault &f) {
        Run out;
        Guest g(runtime_image(), root.string());
        inject(g, f);
        const uint32_t s = g.call("fopen", {g.str("in.bin"), g.str("rb")});
        out.opened = s != 0;
        if (s) {
            for (int loop = 0; loop < 2; loop++) {
                Loop l;
                for (size_t guard = 0; guard <= file.size(); guard++) {
                    const int32_t c = int32_t(g.call("fgetc", {s}));
                    if (c == -1)
                        break;
                    EXPECT_GE(c, 0);
                    EXPECT_LE(c, 255);
                    l.got += char(c);
                }
                l.pos = int32_t(g.call("ftell", {s}));
                l.eof = int32_t(g.call("feof", {s}));
                out.loops.push_back(l);
            }
            out.closed = int32_t(g.call("fclose", {s}));
        }
        out.log = g.calls();
        return out;
    };
    auto expect = [&](std::optional<size_t> fail_read) {
        ReadModel m(file, fail_read);
        std::vector<Loop> loops;
        for (int loop = 0; loop < 2; loop++) {
            Loop l;
            unsigned char c;
            while (m.next(c) > 0)
                l.got += char(c);
            loops.push_back({l.got, int32_t(m.consumed()), 1});
        }
        return loops;
    };

    const Run base = run({});
    ASSERT_TRUE(base.opened);
    EXPECT_EQ(base.loops, expect(std::nullopt));
    EXPECT_EQ(base.loops[0].got, file);

    for (const Fault &f : faults_of(base.log)) {
        const CallRecord &c = base.log[f.at];
        SCOPED_TRACE(describe(f, c));
        ASSERT_EQ(f.kind, Fault::Fail);
        const Run r = run(f);
        if (c.nr == 4) {
            EXPECT_FALSE(r.opened);
            continue;
        }
        ASSERT_TRUE(r.opened);
        const std::vector<Loop> want = c.nr == 5 ? base.loops : expect(f.at - 1);
        EXPECT_EQ(r.loops, want);
        EXPECT_EQ(r.loops[0].got + r.loops[1].got, file);
        EXPECT_EQ(r.closed, c.nr == 5 ? EIO_ANSWER : 0);
    }
}

// ---- Arena exhaustion sweeps --------------------------------------------------

namespace {

// Counts the allocations a run makes (every malloc, calloc and realloc
// entered), notes the step each one belongs to, and at the chosen one fills
// the arena, so that it and everything after it find no room until
// restore() gives the room back.
class Allocations {
public:
    Allocations(Guest &g, std::optional<size_t> exhaust_at) : g_(g), at_(exhaust_at)
    {
        for (const char *fn : {"malloc", "calloc", "realloc"})
            g.process().machine().at_address(g.sym(fn), [this] { enter(); });
    }
    size_t step = 0;
    const std::vector<size_t> &steps() const { return steps_; }
    bool exhausted() const { return saved_.has_value(); }
    void restore() { g_.set_global32("g_heap_used", *saved_); }

private:
    void enter()
    {
        if (at_ && steps_.size() == *at_ && !saved_) {
            saved_ = g_.global32("g_heap_used");
            g_.set_global32("g_heap_used", HEAP_SIZE);
        }
        steps_.push_back(step);
    }
    Guest &g_;
    std::optional<size_t> at_;
    std::vector<size_t> steps_;
    std::optional<uint32_t> saved_;
};

// One call of a stream scenario. The first step makes the stream.
struct StreamStep {
    const char *what;
    std::function<uint32_t(Guest &, uint32_t stream)> call;
    uint32_t success;  // its result when it works (ignored for the first step)
    uint32_t failure;  // its result when the arena says no
    std::string adds;  // the bytes it appends
    bool pieces;       // many sink calls: a failure may leave a prefix
};

struct StreamScenario {
    std::vector<StreamStep> steps;
    // The bytes the stream holds now (checking the record's invariants).
    std::function<std::string(Guest &, uint32_t stream)> held;
    // Ends the stream and returns what it finally delivered.
    std::function<std::string(Guest &, uint32_t stream)> finish;
    std::function<std::unique_ptr<Guest>()> guest;
};

// Runs the scenario once to count its allocations, then once per
// allocation with the arena exhausted there: the step that meets it
// reports its failure with errno 12, the stream keeps every byte it held (a
// formatter keeps the pieces it had sent), and once there is room again
// the stream goes on: the later steps work and the final bytes are the
// kept ones plus theirs.
void sweep_arena(const StreamScenario &s)
{
    size_t allocations = 0;
    std::vector<size_t> step_of;
    std::string all;
    {
        auto g = s.guest();
        Allocations a(*g, std::nullopt);
        uint32_t stream = 0;
        for (size_t i = 0; i < s.steps.size(); i++) {
            a.step = i;
            const uint32_t r = s.steps[i].call(*g, stream);
            if (i == 0)
                stream = r;
            else
                ASSERT_EQ(r, s.steps[i].success) << s.steps[i].what;
            all += s.steps[i].adds;
        }
        ASSERT_NE(stream, 0u);
        ASSERT_EQ(s.held(*g, stream), all);
        ASSERT_EQ(s.finish(*g, stream), all);
        allocations = a.steps().size();
        step_of = a.steps();
    }
    ASSERT_GE(allocations, s.steps.size() - 1);

    for (size_t k = 0; k < allocations; k++) {
        const StreamStep &failing = s.steps[step_of[k]];
        SCOPED_TRACE("arena exhausted at allocation " + std::to_string(k) + ", in " + failing.what);
        auto g = s.guest();
        Allocations a(*g, k);
        uint32_t stream = 0;
        std::string held, expected;
        bool failed = false;
        for (size_t i = 0; i < s.steps.size(); i++) {
            const StreamStep &step = s.steps[i];
            a.step = i;
            g->set_global32("errno", 0);
            const uint32_t r = step.call(*g, stream);
            if (!failed && a.exhausted()) {
                failed = true;
                EXPECT_EQ(i, step_of[k]);
                EXPECT_EQ(r, step.failure);
                EXPECT_EQ(g->global32("errno"), NO_MEMORY);
                a.restore();
                if (i == 0) {
                    stream = step.call(*g, 0);
                    ASSERT_NE(stream, 0u) << "no stream even with room";
                    continue;
                }
                const std::string now = s.held(*g, stream);
                ASSERT_GE(now.size(), held.size());
                EXPECT_EQ(now.substr(0, held.size()), held) << "bytes held before were lost";
                const std::string sent = now.substr(held.size());
                EXPECT_EQ(sent, step.adds.substr(0, sent.size()));
                if (!step.pieces)
                    EXPECT_EQ(sent, "");
                held = expected = now;
                continue;
            }
            if (i == 0) {
                ASSERT_NE(r, 0u);
                stream = r;
            } else {
                EXPECT_EQ(r, step.success) << step.what;
            }
            EXPECT_EQ(g->global32("errno"), 0u) << step.what;
            held = s.held(*g, stream);
            expected += step.adds;
            EXPECT_EQ(held, expected) << step.what;
        }
        EXPECT_TRUE(failed);
        EXPECT_EQ(s.finish(*g, stream), expected);
    }
}

// Writes that cross the capacities 256, 512, 2048 and 4096, through every
// output road: fputs, the stream formatter (whose growth comes after it has
// sent a few pieces), fwrite, fputc.
std::vector<StreamStep> growing_writes(StreamStep open)
{
    const std::string a(200, 'a'), b(150, 'b'), c(700, 'c'), d(1000, 'd');
    return {
        open,
        {"fputs of 200 bytes", [a](Guest &g, uint32_t f) { return g.call("fputs", {g.str(a), f}); }, 200,
         uint32_t(-1), a, false},
        {"fprintf of 163 bytes",
         [b](Guest &g, uint32_t f) { return g.call("fprintf", {f, g.str("%d|%5d|%s\n"), 12345, 7, g.str(b)}); },
         163, uint32_t(-1), "12345|    7|" + b + "\n", true},
        {"fwrite of 700 bytes", [c](Guest &g, uint32_t f) { return g.call("fwrite", {g.str(c), 7, 100, f}); }, 100,
         0, c, false},
        {"fputc", [](Guest &g, uint32_t f) { return g.call("fputc", {'!', f}); }, '!', uint32_t(-1), "!", false},
        {"fputs of 1000 bytes", [d](Guest &g, uint32_t f) { return g.call("fputs", {g.str(d), f}); }, 1000,
         uint32_t(-1), d, false},
    };
}

// The buffer fields of a memory or deferred-file stream: the zero after the
// bytes, and for a memory stream the caller's two slots.
std::string buffer_of(Guest &g, uint32_t f, std::optional<std::pair<uint32_t, uint32_t>> slots)
{
    const uint32_t buf = g.read32(f + BUF), len = g.read32(f + LEN);
    if (slots) {
        EXPECT_EQ(g.read32(slots->first), buf);
        EXPECT_EQ(g.read32(slots->second), len);
    }
    if (!buf) {
        EXPECT_EQ(len, 0u);
        return "";
    }
    const std::string b = g.read(buf, len + 1);
    EXPECT_EQ(b.back(), '\0');
    return b.substr(0, len);
}

} // namespace

TEST(ArenaSweep, MemoryStream)
{
    auto slots = std::make_shared<std::pair<uint32_t, uint32_t>>();
    StreamScenario s;
    s.guest = [] { return std::make_unique<Guest>(); };
    s.steps = growing_writes({"open_memstream",
                              [slots](Guest &g, uint32_t) {
                                  *slots = {g.alloc(4, 0xAA), g.alloc(4, 0xAA)};
                                  const uint32_t f = g.call("open_memstream", {slots->first, slots->second});
                                  // A failed open leaves the slots alone.
                                  if (!f)
                                      EXPECT_EQ(g.read32(slots->first), 0xAAAAAAAAu);
                                  return f;
                              },
                              0, 0, "", false});
    s.held = [slots](Guest &g, uint32_t f) { return buffer_of(g, f, *slots); };
    s.finish = [slots](Guest &g, uint32_t f) {
        EXPECT_EQ(g.call("fclose", {f}), 0u);
        return g.read(g.read32(slots->first), g.read32(slots->second));
    };
    sweep_arena(s);
}

TEST_F(SweepFiles, ArenaSweepDeferredFile)
{
    StreamScenario s;
    s.guest = [this] { return std::make_unique<Guest>(runtime_image(), root.string()); };
    s.steps = growing_writes({"fopen for writing",
                              [](Guest &g, uint32_t) { return g.call("fopen", {g.str("out.txt"), g.str("w")}); }, 0,
                              0, "", false});
    s.held = [](Guest &g, uint32_t f) { return buffer_of(g, f, std::nullopt); };
    s.finish = [this](Guest &g, uint32_t f) {
        fs::remove(root / "out.txt");
        EXPECT_EQ(g.call("fclose", {f}), 0u);
        return contents("out.txt").value_or("(no file)");
    };
    sweep_arena(s);
}

// A read stream's one allocation is its record: when the arena has no room
// for it, fopen gives the descriptor back and returns null; with room the
// stream reads from the start.
TEST_F(SweepFiles, ArenaSweepReadStream)
{
    create("in.txt", "17 rest");
    auto run = [&](Guest &g) {
        const uint32_t f = g.call("fopen", {g.str("in.txt"), g.str("r")});
        if (!f)
            return f;
        const uint32_t slot = g.alloc(4);
        EXPECT_EQ(g.call("fscanf", {f, g.str("%d"), slot}), 1u);
        EXPECT_EQ(g.read32(slot), 17u);
        EXPECT_EQ(g.call("fclose", {f}), 0u);
        return f;
    };
    size_t allocations;
    {
        Guest g(runtime_image(), root.string());
        Allocations a(g, std::nullopt);
        ASSERT_NE(run(g), 0u);
        allocations = a.steps().size();
    }
    for (size_t k = 0; k < allocations; k++) {
        SCOPED_TRACE("arena exhausted at allocation " + std::to_string(k));
        Guest g(runtime_image(), root.string());
        Allocations a(g, k);
        EXPECT_EQ(run(g), 0u);
        EXPECT_EQ(g.global32("errno"), NO_MEMORY);
        const auto &log = g.calls();
        ASSERT_EQ(log.size(), 2u);
        EXPECT_EQ(log[0].nr, 4);
        EXPECT_EQ(log[1].nr, 5);
        EXPECT_EQ(log[1].ebx, uint32_t(log[0].result));  // the descriptor it opened
        a.restore();
        g.clear_calls();
        EXPECT_NE(run(g), 0u);
    }
}
