// The stand-in itself: loader, kernel gate, guards, file root, limits and
// the harness's calling convention, shown on the harness's own probe image.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "emu/calls.hpp"
#include "emu/console.hpp"
#include "emu/image.hpp"
#include "emu/meta.hpp"
#include "emu/process.hpp"
#include "harness.hpp"

using namespace zt;
namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> file_bytes(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

template <typename T> void put(std::vector<uint8_t> &b, size_t off, T v) { std::memcpy(&b[off], &v, sizeof v); }
template <typename T> T get(const std::vector<uint8_t> &b, size_t off)
{
    T v;
    std::memcpy(&v, &b[off], sizeof v);
    return v;
}

// The host process's peak resident size so far.
long peak_rss_kib()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

// Offset of program header i of a well-formed image.
size_t phdr(const std::vector<uint8_t> &b, int i) { return get<uint32_t>(b, 28) + size_t(i) * get<uint16_t>(b, 42); }

std::string refusal(std::vector<uint8_t> b)
{
    try {
        zelkos::parse_image(std::move(b));
    } catch (const zelkos::ImageError &e) {
        return e.what();
    }
    return "";
}

} // namespace

TEST(Loader, RefusesMalformedImages)
{
    const auto good = file_bytes(probe_image());
    ASSERT_EQ(refusal(good), "");
    struct Case {
        const char *name;
        std::function<void(std::vector<uint8_t> &)> spoil;
        const char *message;
    } cases[] = {
        {"empty file", [](auto &b) { b.clear(); }, "truncated ELF header"},
        {"truncated header", [](auto &b) { b.resize(40); }, "truncated ELF header"},
        {"not ELF", [](auto &b) { b[1] = 'X'; }, "not an ELF file"},
        {"64-bit class", [](auto &b) { b[4] = 2; }, "not a 32-bit ELF file"},
        {"big-endian", [](auto &b) { b[5] = 2; }, "not a little-endian"},
        {"wrong machine", [](auto &b) { put<uint16_t>(b, 18, 62); }, "wrong machine 62"},
        {"shared object", [](auto &b) { put<uint16_t>(b, 16, 3); }, "not a static executable"},
        {"program headers beyond the file", [](auto &b) { put<uint32_t>(b, 28, uint32_t(b.size()) - 8); },
         "program headers lie beyond"},
        {"interpreter", [](auto &b) { put<uint32_t>(b, phdr(b, 1), 3); }, "has an interpreter"},
        {"dynamic section", [](auto &b) { put<uint32_t>(b, phdr(b, 2), 2); }, "has a dynamic section"},
        {"segment beyond the file", [](auto &b) { put<uint32_t>(b, phdr(b, 0) + 16, uint32_t(b.size())); },
         "segment 0 lies beyond the end of the file"},
        {"segment in the null page", [](auto &b) { put<uint32_t>(b, phdr(b, 0) + 8, 0x100); },
         "lies in the null page"},
        {"absurd size", [](auto &b) { put<uint32_t>(b, phdr(b, 2) + 20, 0xF0000000); }, "absurd size"},
        {"overlapping segments", [](auto &b) { put<uint32_t>(b, phdr(b, 1) + 8, get<uint32_t>(b, phdr(b, 0) + 8)); },
         "overlap"},
        {"entry outside text", [](auto &b) { put<uint32_t>(b, 24, get<uint32_t>(b, phdr(b, 2) + 8)); },
         "outside every executable segment"},
        {"section headers beyond the file", [](auto &b) { put<uint32_t>(b, 32, uint32_t(b.size())); },
         "section headers lie beyond"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto b = good;
        c.spoil(b);
        std::string why = refusal(b);
        EXPECT_NE(why.find(c.message), std::string::npos) << "message: " << why;
        EXPECT_EQ(why.find('\n'), std::string::npos);
    }
}

TEST(Loader, SurvivesEveryTruncationAndByteFlip)
{
    // Every prefix and a sweep of single-byte changes over the headers:
    // a refusal or a valid image, never a crash.
    const auto good = file_bytes(probe_image());
    for (size_t n = 0; n < good.size(); n += (n < 512 ? 1 : 97))
        refusal(std::vector<uint8_t>(good.begin(), good.begin() + n));
    for (size_t i = 0; i < 52 + 3 * 32; i++)
        for (uint8_t v : {0x00, 0x01, 0x7f, 0x80, 0xff}) {
            auto b = good;
            b[i] = v;
            refusal(b);
        }
}

TEST(Gate, ClobbersEbxEcxEdxAndKeepsTheRest)
{
    Guest g(probe_image());
    uint32_t out = g.alloc(28);
    uint32_t eax = g.call("probe_gate_regs", {777, out});
    EXPECT_EQ(int32_t(eax), -38);  // unknown call: ENOSYS, but recorded
    ASSERT_EQ(g.calls().size(), 1u);
    const auto &c = g.calls()[0];
    EXPECT_EQ(c.nr, 777);
    EXPECT_EQ(c.ebx, 0x11111111u);
    EXPECT_EQ(c.ecx, 0x22222222u);
    EXPECT_EQ(c.edx, 0x33333333u);
    EXPECT_EQ(c.esi, 0x44444444u);
    EXPECT_EQ(c.edi, 0x55555555u);
    EXPECT_EQ(c.ebp, 0x66666666u);
    EXPECT_NE(g.read32(out + 0), 0x11111111u);
    EXPECT_NE(g.read32(out + 4), 0x22222222u);
    EXPECT_NE(g.read32(out + 8), 0x33333333u);
    EXPECT_EQ(g.read32(out + 12), 0x44444444u);
    EXPECT_EQ(g.read32(out + 16), 0x55555555u);
    EXPECT_EQ(g.read32(out + 20), 0x66666666u);
    EXPECT_EQ(int32_t(g.read32(out + 24)), -38);
}

TEST(Gate, ScriptedAnswersComeBackInOrderThenTheServiceAnswers)
{
    Guest g(probe_image());
    uint32_t buf = g.str("hello");
    g.answer(1, {Reply::ret(3), Reply::ret(-5)});
    EXPECT_EQ(g.call("probe_gate3", {1, 1, buf, 5}), 3u);
    EXPECT_EQ(int32_t(g.call("probe_gate3", {1, 1, buf, 5})), -5);
    EXPECT_EQ(g.call("probe_gate3", {1, 1, buf, 5}), 5u);
    EXPECT_EQ(g.console_writes(), (std::vector<std::string>{"hel", "hello"}));
    auto w = g.calls(1);
    ASSERT_EQ(w.size(), 3u);
    EXPECT_TRUE(w[0].scripted);
    EXPECT_EQ(w[0].data, "hello");
    EXPECT_FALSE(w[2].scripted);

    uint32_t in = g.alloc(8, 0xAA);
    g.answer(3, {Reply::data("abcdefghij")});
    EXPECT_EQ(g.call("probe_gate3", {3, 0, in, 4}), 4u);
    EXPECT_EQ(g.read(in, 5), "abcd\xAA");
}

TEST(Gate, StandardInputAndPipesOfTheHarness)
{
    Guest g(probe_image());
    g.set_input(0, "typed");
    g.attach_pipe(7);
    uint32_t buf = g.alloc(8, 0xEE);
    EXPECT_EQ(g.call("probe_gate3", {3, 0, buf, 3}), 3u);
    EXPECT_EQ(g.call("probe_gate3", {3, 0, buf + 3, 8}), 2u);
    EXPECT_EQ(g.call("probe_gate3", {3, 0, buf, 8}), 0u);   // end of input
    EXPECT_EQ(g.read(buf, 6), "typed\xEE");
    EXPECT_EQ(g.call("probe_gate3", {1, 7, buf, 5}), 5u);
    EXPECT_EQ(g.pipe_bytes(7), "typed");
    EXPECT_EQ(g.console(), "");
    EXPECT_EQ(int32_t(g.call("probe_gate3", {1, 9, buf, 5})), -9);   // EBADF
}

TEST(Harness, VariadicAnd64BitAndLongDoubleResults)
{
    Guest g(probe_image());
    EXPECT_EQ(g.call("probe_sum", {4, 1, 2, 3, -10}), uint32_t(-4));
    EXPECT_EQ(g.call64("probe_sum64", {2, Arg::u64(0x100000000ull), Arg::u64(0xFFFFFFFFull)}), 0x1FFFFFFFFull);
    // 1/3 in 64-bit precision, rounded to nearest: bit-exact, which also
    // shows the x87 kept its full precision after a control-word reload.
    uint32_t d = g.alloc(8);
    double half = 0.5;
    g.write(d, std::string_view(reinterpret_cast<char *>(&half), 8));
    zt::X87 third = g.call_x87("probe_divide", {1, 3, d});
    EXPECT_EQ(third.sign_exp, 0x3FFD);
    EXPECT_EQ(third.mantissa, 0xAAAAAAAAAAAAAAABull);
    EXPECT_EQ(third, zt::X87::of(1.0L / 3.0L));
    zt::X87 minus = g.call_x87("probe_divide", {-2, 1, d});
    EXPECT_EQ(minus.sign_exp, 0xC000);
    EXPECT_EQ(minus.mantissa, 0x8000000000000000ull);
}

TEST(Harness, FixesTheTimeStampCounter)
{
    Guest g(probe_image());
    g.set_tsc(0x123456789ABCDEF0ull);
    EXPECT_EQ(g.call64("probe_rdtsc"), 0x123456789ABCDEF0ull);
    g.set_tsc(42);
    EXPECT_EQ(g.call64("probe_rdtsc"), 42u);
}

TEST(Guards, TextIsWritableOnlyUntilCall101)
{
    Guest g(probe_image());
    EXPECT_EQ(g.call("probe_poke_text"), 1u);
    EXPECT_EQ(g.call("probe_gate3", {101, 0, 0, 0}), 0u);
    auto r = g.call_full("probe_poke_text");
    ASSERT_EQ(r.outcome.kind, zt::Outcome::Fault);
    EXPECT_EQ(r.outcome.address, g.sym("probe_target"));
    EXPECT_NE(r.outcome.report.find("write to read-only"), std::string::npos) << r.outcome.report;
    // Code still runs after the guards are on.
    EXPECT_EQ(g.call("probe_target"), 7u);
}

TEST(Guards, NullPageReadsOnlyFaultAfterCall101)
{
    Guest g(probe_image());
    EXPECT_EQ(g.call("probe_read", {0}), 0u);
    EXPECT_EQ(g.call("probe_gate3", {101, 0, 0, 0}), 0u);
    auto r = g.call_full("probe_read", {8});
    ASSERT_EQ(r.outcome.kind, zt::Outcome::Fault);
    EXPECT_EQ(r.outcome.address, 8u);
    // The eip is the load's own, not the start of its block: the byte
    // there begins a move through a register (8b /r).
    EXPECT_GT(r.outcome.eip, g.sym("probe_read"));
    EXPECT_LT(r.outcome.eip, g.sym("probe_read") + 16);
    EXPECT_EQ(uint8_t(g.read(r.outcome.eip, 1)[0]), 0x8b);
    EXPECT_NE(r.outcome.report.find("read of unmapped address 0x00000008"), std::string::npos) << r.outcome.report;
    EXPECT_NE(r.outcome.report.find("at eip 0x"), std::string::npos);
}

TEST(Guards, ARefusedCall101ChangesNothing)
{
    auto r = run_image(probe_image(), {.guards_answer = -1});
    EXPECT_EQ(r.outcome.kind, zt::Outcome::Exited);
    zelkos::ProcessOptions po;
    po.guards_answer = 1;
    zelkos::Process p(zelkos::read_image(probe_image()), po);
    EXPECT_EQ(p.call(p.image().symbol("probe_gate3").value(), {101, 0, 0, 0}).kind, zt::Outcome::Returned);
    EXPECT_EQ(p.machine().reg(UC_X86_REG_EAX), 1u);
    EXPECT_FALSE(p.kernel().guards_installed());
    EXPECT_TRUE(p.machine().accessible(0, 4, UC_PROT_READ));
}

TEST(Faults, ReportedWithoutCrashingTheHost)
{
    Guest g(probe_image());
    auto r = g.call_full("probe_divzero", {1, 0});
    EXPECT_EQ(r.outcome.kind, zt::Outcome::Fault);
    EXPECT_NE(r.outcome.report.find("divide error"), std::string::npos) << r.outcome.report;

    // A bad buffer handed to the kernel ends the run with a report.
    Guest k(probe_image());
    k.install_guards();
    auto w = k.call_full("probe_gate3", {1, 1, 16, 4});
    EXPECT_EQ(w.outcome.kind, zt::Outcome::Fault);
    EXPECT_NE(w.outcome.report.find("kernel fault: write (1) reads unreadable guest memory at 0x00000010"),
              std::string::npos)
        << w.outcome.report;
}

// Hostile guests: each ends with its one-line report, and the same process
// still runs code and serves kernel calls afterwards. Nothing the guest
// names is read or written beyond what it may reach, and a buffer that runs
// off a mapping is reported where it stops being reachable.
TEST(Hostile, EachEndsWithItsReportAndTheHostCarriesOn)
{
    using zelkos::hex32;
    struct Row {
        const char *what;
        bool guards;  // call 101 first
        // Runs the hostile act; returns its outcome and the report expected.
        std::function<std::pair<CallResult, std::string>(Guest &)> act;
        Outcome::Kind kind = Outcome::Fault;
    };
    auto gate = [](Guest &g, int nr, uint32_t a, uint32_t b, uint32_t c) {
        return g.call_full("probe_gate3", {nr, a, b, c});
    };
    const Row rows[] = {
        {"writes its own code", true,
         [](Guest &g) {
             const uint32_t code = g.sym("probe_target");
             return std::pair{g.call_full("probe_write", {code, 0x90909090u}),
                              "page fault: write to read-only address " + hex32(code)};
         }},
        {"writes its constants", true,
         [](Guest &g) {
             const uint32_t c = g.sym("probe_constant");
             auto r = g.call_full("probe_write", {c, 6});
             EXPECT_EQ(g.read32(c), 5u);
             return std::pair{r, "page fault: write to read-only address " + hex32(c)};
         }},
        {"jumps to the null page", true,
         [](Guest &g) {
             return std::pair{g.call_full("probe_call", {0}), std::string("execute of unmapped address 0x00000000")};
         }},
        {"jumps to the null page before the guards", false,
         [](Guest &g) {
             // The page is there and all zeros: the zeros run as code until
             // something faults.
             return std::pair{g.call_full("probe_call", {0}), std::string("page fault: ")};
         }},
        {"jumps into its data", true,
         [](Guest &g) {
             const uint32_t d = g.sym("probe_counter");
             return std::pair{g.call_full("probe_call", {d}), "execute of non-executable address " + hex32(d)};
         }},
        {"writes from the null page", true,
         [gate](Guest &g) {
             return std::pair{gate(g, 1, 1, 0x10, 5),
                              std::string("kernel fault: write (1) reads unreadable guest memory at 0x00000010")};
         }},
        {"writes past the end of a mapping", false,
         [gate](Guest &g) {
             const uint32_t buf = g.put_at_page_end("abc");
             auto r = gate(g, 1, 1, buf, 10);
             EXPECT_EQ(g.console(), "");
             return std::pair{r, "kernel fault: write (1) reads unreadable guest memory at " + hex32(buf + 3)};
         }},
        {"writes 2^31 - 1 bytes from a three-byte buffer", false,
         [gate](Guest &g) {
             // The host must not set aside memory for bytes the guest does
             // not have before it finds that out.
             const long before = peak_rss_kib();
             const uint32_t buf = g.put_at_page_end("abc");
             auto r = gate(g, 1, 1, buf, 0x7fffffff);
             EXPECT_LT(peak_rss_kib() - before, 256 * 1024);
             return std::pair{r, "kernel fault: write (1) reads unreadable guest memory at " + hex32(buf + 3)};
         }},
        {"stores 2^31 - 1 bytes from a two-byte buffer", false,
         [gate](Guest &g) {
             const long before = peak_rss_kib();
             const uint32_t buf = g.put_at_page_end("ab");
             auto r = gate(g, 21, g.str("hostile-big.bin"), buf, 0x7fffffff);
             EXPECT_LT(peak_rss_kib() - before, 256 * 1024);
             EXPECT_FALSE(fs::exists("hostile-big.bin"));
             return std::pair{r, "kernel fault: writefile (21) reads unreadable guest memory at " + hex32(buf + 2)};
         }},
        {"reads past the end of a mapping", false,
         [gate](Guest &g) {
             g.set_input(0, "0123456789");
             const uint32_t buf = g.put_at_page_end("xyz");
             auto r = gate(g, 3, 0, buf, 10);
             EXPECT_EQ(g.read(buf, 3), "xyz");
             return std::pair{r, "kernel fault: read (3) writes unwritable guest memory at " + hex32(buf + 3)};
         }},
        {"reads into its own code", true,
         [gate](Guest &g) {
             g.set_input(0, "0123456789");
             const uint32_t code = g.sym("probe_target");
             const std::string before = g.read(code, 4);
             auto r = gate(g, 3, 0, code, 4);
             EXPECT_EQ(g.read(code, 4), before);
             return std::pair{r, "kernel fault: read (3) writes unwritable guest memory at " + hex32(code)};
         }},
        {"opens a path that runs off a mapping", false,
         [gate](Guest &g) {
             const uint32_t path = g.put_at_page_end("abc");  // no zero byte
             return std::pair{gate(g, 4, path, 0, 0),
                              "kernel fault: open (4) reads unreadable guest memory at " + hex32(path + 3)};
         }},
        {"stores a file from past the end of a mapping", false,
         [gate](Guest &g) {
             const std::string name = "hostile-" + std::to_string(getpid()) + ".txt";
             const uint32_t buf = g.put_at_page_end("ab");
             auto r = gate(g, 21, g.str(name), buf, 100);
             EXPECT_FALSE(fs::exists(name));
             return std::pair{r, "kernel fault: writefile (21) reads unreadable guest memory at " + hex32(buf + 2)};
         }},
        {"loops forever: the instruction limit", false,
         [](Guest &g) {
             g.set_insn_limit(100000);
             auto r = g.call_full("probe_spin");
             g.set_insn_limit(200'000'000);
             return std::pair{r, std::string("instruction limit reached: 100000 instructions")};
         },
         Outcome::Limit},
        {"loops forever: the time limit", false,
         [](Guest &g) {
             const zelkos::Limits before = g.process().limits();
             g.process().limits() = {0, 50'000};
             auto r = g.call_full("probe_spin");
             g.process().limits() = before;
             return std::pair{r, std::string("time limit reached: 50 ms")};
         },
         Outcome::Limit},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        Guest g(probe_image());
        if (r.guards)
            ASSERT_EQ(g.call("probe_gate3", {101, 0, 0, 0}), 0u);
        auto [res, report] = r.act(g);
        EXPECT_EQ(res.outcome.kind, r.kind) << res.outcome.report;
        EXPECT_NE(res.outcome.report.find(report), std::string::npos) << res.outcome.report;
        EXPECT_EQ(res.outcome.report.find('\n'), std::string::npos);
        // The host carries on: code runs, and the kernel serves the next call.
        EXPECT_EQ(g.call("probe_target"), 7u);
        g.clear_calls();
        EXPECT_EQ(g.call("probe_gate3", {1, 1, g.str("ok"), 2}), 2u);
        EXPECT_TRUE(g.console().ends_with("ok"));
    }
}

TEST(Limits, ARunawayLoopStopsAtTheInstructionLimit)
{
    Guest g(probe_image());
    g.set_insn_limit(100000);
    auto r = g.call_full("probe_spin");
    EXPECT_EQ(r.outcome.kind, zt::Outcome::Limit);
    EXPECT_NE(r.outcome.report.find("instruction limit"), std::string::npos);
    uint64_t n = g.process().machine().instructions();
    EXPECT_GE(n, 100000u);
    EXPECT_LT(n, 100100u);
}

TEST(Run, EntryStackArgumentsAndAlignment)
{
    auto r = run_image(probe_image(), {.args = {"one", "", "three"}});
    ASSERT_EQ(r.outcome.kind, zt::Outcome::Exited) << r.outcome.report;
    EXPECT_EQ(r.status, 4);   // argc; 100 or 101 would mean a bad vector or alignment
    EXPECT_EQ(r.console, "probe.elf\none\n\nthree\n");
}

class FileRoot : public ::testing::Test {
protected:
    void SetUp() override
    {
        base = fs::temp_directory_path() / ("zelkos-root-" + std::to_string(getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(base);
        fs::create_directories(base / "root" / "sub");
        std::ofstream(base / "secret") << "outside";
        std::ofstream(base / "root" / "inside.txt") << "inside";
        fs::create_symlink("../secret", base / "root" / "up");
        fs::create_symlink((base / "secret").string(), base / "root" / "abs");
        fs::create_symlink("../../secret", base / "root" / "sub" / "deep");
    }
    void TearDown() override { fs::remove_all(base); }

    // Opens path in the guest with call 4 and reads what it got.
    std::string guest_read(const std::string &path)
    {
        zelkos::ProcessOptions po;
        po.root = (base / "root").string();
        zelkos::Process p(zelkos::read_image(probe_image()), po);
        auto sym = [&](const char *n) { return p.image().symbol(n).value(); };
        p.machine().map(zelkos::kScratchBase, 0x1000, UC_PROT_READ | UC_PROT_WRITE, "scratch");
        p.machine().write(zelkos::kScratchBase, path.c_str(), path.size() + 1);
        p.call(sym("probe_gate3"), {4, zelkos::kScratchBase, 0, 0});
        int32_t fd = int32_t(p.machine().reg(UC_X86_REG_EAX));
        if (fd < 0)
            return "error " + std::to_string(fd);
        uint32_t buf = zelkos::kScratchBase + 0x800;
        p.call(sym("probe_gate3"), {3, uint32_t(fd), buf, 64});
        int32_t n = int32_t(p.machine().reg(UC_X86_REG_EAX));
        std::string got(size_t(std::max(n, 0)), '\0');
        p.machine().read(buf, got.data(), got.size());
        return got;
    }

    fs::path base;
};

TEST_F(FileRoot, TheGuestCannotLeaveItsRoot)
{
    struct Case {
        const char *path;
        const char *expect;
    } cases[] = {
        {"inside.txt", "inside"},
        {"/inside.txt", "inside"},
        {"sub/../inside.txt", "inside"},
        {"../secret", "error -2"},
        {"../../../../secret", "error -2"},
        {"/../secret", "error -2"},
        {"up", "error -2"},     // a link resolved inside the root finds nothing
        {"abs", "error -2"},
        {"sub/deep", "error -2"},
        {"", "error -2"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(guest_read(c.path), c.expect);
    }
}

// Creating and storing files: a path with "..", an absolute one or one
// through a link lands inside the root or nowhere; the tree outside it is
// never written.
TEST_F(FileRoot, WritesStayInsideTheRoot)
{
    struct Case {
        const char *path;
        const char *lands;  // where the file appears beneath the root, or nullptr
    } cases[] = {
        {"../escape", "escape"},
        {"../../../escape", "escape"},
        {"/../escape", "escape"},
        {"sub/../../escape", "escape"},
        {"up", "secret"},        // the link's "../secret", taken inside the root
        {"abs", nullptr},        // the link's absolute path does not exist inside
        {"sub/deep", "secret"},
    };
    auto outside = [&] {
        std::vector<std::string> names;
        for (auto &e : fs::directory_iterator(base))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        std::ifstream f(base / "secret");
        return std::string(std::istreambuf_iterator<char>(f), {}) + "|" + std::to_string(names.size());
    };
    const std::string before = outside();
    for (auto &c : cases) {
        for (int nr : {21, 4}) {
            SCOPED_TRACE(std::string(c.path) + (nr == 21 ? " by writefile" : " by open for creating"));
            Guest g(probe_image(), (base / "root").string());
            const uint32_t path = g.str(c.path);
            const int32_t r = nr == 21 ? int32_t(g.call("probe_gate3", {21, path, g.str("x"), 1}))
                                       : int32_t(g.call("probe_gate3", {4, path, 0x241, 0x644}));
            EXPECT_EQ(r >= 0, c.lands != nullptr) << r;
            if (c.lands) {
                EXPECT_TRUE(fs::exists(base / "root" / c.lands));
                fs::remove(base / "root" / c.lands);
            }
            EXPECT_EQ(outside(), before);
        }
    }
}

TEST(Meta, ReadsBothRecordsAndRefusesBrokenOnes)
{
    auto img = zelkos::read_image(lumbrel_image());
    auto cmd = zelkos::read_meta(img, ".zelkos.cmdmeta", "ZCMD");
    EXPECT_EQ(cmd.strings, (std::vector<std::string>{"Install optional paging guards.", "lumbrel"}));
    auto pkg = zelkos::read_meta(img, ".zelkos.pkgmeta", "ZPKG");
    EXPECT_EQ(pkg.strings, (std::vector<std::string>{"lumbrel", "3"}));

    auto probe = zelkos::read_image(probe_image());
    EXPECT_THROW(zelkos::read_meta(probe, ".zelkos.cmdmeta", "ZCMD"), zelkos::ImageError);

    auto bytes = img.bytes;
    const auto *s = img.section(".zelkos.cmdmeta");
    struct Case {
        const char *name;
        size_t offset;
        char value;
        const char *message;
    } cases[] = {
        {"magic", 0, 'X', "bad magic"},
        {"version", 4, 2, "unsupported version 2"},
        {"closing zero", 48, 'x', "not terminated"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto b = bytes;
        b[s->offset + c.offset] = c.value;
        auto broken = zelkos::parse_image(b);
        try {
            zelkos::read_meta(broken, ".zelkos.cmdmeta", "ZCMD");
            ADD_FAILURE() << "accepted";
        } catch (const zelkos::ImageError &e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
}

TEST(Console, RendersAttributeRecordsOnlyWhenAsked)
{
    struct Case {
        zelkos::ConsoleMode mode;
        std::vector<std::string> writes;
        std::string shown;
    } cases[] = {
        {zelkos::ConsoleMode::Raw, {bytes("\xFF\x04\x00\x01" "ab")}, bytes("\xFF\x04\x00\x01" "ab")},
        {zelkos::ConsoleMode::Ansi, {bytes("\xFF\x04\x00\x01" "ab")}, "\x1b[0;31;40;1mab\x1b[0m"},
        // A record split across writes is still one record.
        {zelkos::ConsoleMode::Ansi, {bytes("x\xFF\x0F"), bytes("\xFF\x06y")}, "x\x1b[0;97;49;4;7my\x1b[0m"},
        {zelkos::ConsoleMode::Quiet, {"abc"}, ""},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.shown);
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        {
            zelkos::Console con(c.mode, fds[1]);
            for (auto &w : c.writes)
                con.write(w);
            con.finish();
            EXPECT_EQ(con.writes(), c.writes);
        }
        close(fds[1]);
        std::string got;
        char buf[256];
        ssize_t n;
        while ((n = ::read(fds[0], buf, sizeof buf)) > 0)
            got.append(buf, size_t(n));
        close(fds[0]);
        EXPECT_EQ(got, c.shown);
    }
}

TEST(Trace, OneLinePerCallInTheCustomaryForm)
{
    auto lines = [](const RunOptions &opt) {
        auto r = run_image(lumbrel_image(), opt);
        zelkos::Process p(zelkos::read_image(lumbrel_image()));
        std::vector<std::string> out;
        for (auto &c : r.calls)
            out.push_back(zelkos::format_call(c, p.machine(), 16));
        return out;
    };
    EXPECT_EQ(lines({}), (std::vector<std::string>{
                             "SYS_PAGING_GUARDS() = 0",
                             "write(1, \"Requested paging\"..., 59) = 59",
                             "write(1, \"\\n\", 1) = 1",
                             "_exit(0) = ?",
                         }));
    EXPECT_EQ(lines({.guards_answer = -1}).front(), "SYS_PAGING_GUARDS() = -1 EPERM");

    Guest g(probe_image());
    uint32_t path = g.str("no/such");
    g.call("probe_gate3", {4, path, 0x241, 0x241});
    g.call("probe_gate3", {140, 1, 2, 3});
    auto &calls = g.calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(zelkos::format_call(calls[0], g.process().machine(), 16),
              "open(\"no/such\", O_WRONLY|O_CREAT|O_TRUNC, 0x241) = -2 ENOENT");
    // An unknown number shows all six registers (ebp is the caller's frame).
    std::string unknown = zelkos::format_call(calls[1], g.process().machine(), 16);
    EXPECT_EQ(unknown.rfind("syscall_140(0x1, 0x2, 0x3, 0, 0, 0x", 0), 0u) << unknown;
    EXPECT_TRUE(unknown.ends_with(") = -38 ENOSYS")) << unknown;
}

TEST(CProgram, LinksAgainstTheRuntimeAndRuns)
{
    auto r = run_image(c_program_image());
    ASSERT_EQ(r.outcome.kind, zt::Outcome::Exited) << r.outcome.report;
    EXPECT_EQ(r.status, 7);
    EXPECT_EQ(r.console, "hello from C\n");
}
