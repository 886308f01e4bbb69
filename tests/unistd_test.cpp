// The kernel wrappers: the registers each one loads, the arguments it refuses
// without entering the kernel, its count clamp and flag values, and the few
// wrappers whose results are not the kernel's answer.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "emu/machine.hpp"
#include "emu/process.hpp"
#include "harness.hpp"

using namespace zt;

namespace {

// A distinctive kernel answer: a wrapper that returns it unchanged passed the
// result through, and as a failure it keeps every service from running.
constexpr int32_t ANSWER = -1234;

void expect_regs(const CallRecord &c, const std::vector<uint32_t> &want)
{
    const uint32_t got[6] = {c.ebx, c.ecx, c.edx, c.esi, c.edi, c.ebp};
    static const char *const names[6] = {"ebx", "ecx", "edx", "esi", "edi", "ebp"};
    for (size_t i = 0; i < want.size(); i++)
        EXPECT_EQ(got[i], want[i]) << names[i];
}

} // namespace

TEST(Wrappers, LoadTheirRegistersAndPassTheAnswerThrough)
{
    Guest g;
    const uint32_t P = g.str("/dir/file");
    const uint32_t B = g.alloc(64);
    const uint32_t FDS = g.alloc(8);
    const uint32_t errno_addr = g.sym("errno");
    g.write32(errno_addr, 0x5a5a5a5a);

    struct Row {
        const char *fn;
        std::vector<Arg> args;
        int nr;
        std::vector<uint32_t> regs;
        bool answer_is_result;  // false: the wrapper reports 0 whatever the kernel says
    };
    const Row rows[] = {
        {"write", {1, B, 5}, 1, {1, B, 5}, true},
        {"write", {7, B, 0}, 1, {7, B, 0}, true},  // an empty write still reaches the kernel
        {"read", {0, B, 64}, 3, {0, B, 64}, true},
        {"open", {P, 0x241}, 4, {P, 0x241, 0x241}, true},
        {"open", {P, 0x40}, 4, {P, 0x40, 0x40}, true},
        {"open", {P, 1}, 4, {P, 1, 0}, true},
        {"open", {P, 0x201}, 4, {P, 0x201, 0}, true},
        {"open", {P, 0x41, 0x1ff}, 4, {P, 0x41, 0x41}, true},  // a mode argument is never read
        {"creat", {P, 0x1ff}, 4, {P, 0x241, 0}, true},
        {"close", {9}, 5, {9}, true},
        {"getkey", {}, 6, {}, true},
        {"writefile", {P, B, 12}, 21, {P, B, 12}, true},
        {"usleep", {250}, 22, {250}, false},
        {"sleep", {2}, 22, {2000000}, false},
        // 4295 s is 4295000000 us, which wraps to 32704.
        {"sleep", {4295}, 22, {32704}, false},
        {"mkdir", {P, 0x1ff}, 49, {P}, true},
        {"unlink", {P}, 50, {P}, true},
        {"rmdir", {P}, 51, {P}, true},
        {"getcwd", {B, 64}, 52, {B, 64, 0}, true},
        {"zelkfs_stream_begin", {P}, 53, {P}, true},
        {"zelkfs_stream_write", {-3, B, 10}, 54, {uint32_t(-3), B, 10}, true},
        {"zelkfs_stream_end", {-3}, 55, {uint32_t(-3)}, true},
        {"chdir", {P}, 95, {P}, true},
        {"mmap", {0x10000000u, 0x3000u, 3, 0x22, -1, 0x7000}, 98,
         {0x10000000u, 0x3000u, 3, 0x22, 0xffffffffu, 0x7000}, true},
        {"munmap", {0x10000000u, 0x3000u}, 99, {0x10000000u, 0x3000u, 0}, true},
        {"lseek", {4, -16, 2}, 110, {4, uint32_t(-16), 2}, true},
        {"pipe", {FDS}, 124, {FDS}, true},
        {"mkfifo", {P, 0x1ff}, 125, {P}, true},
        {"dup", {3}, 126, {3}, true},
        {"dup2", {3, 1}, 127, {3, 1, 0}, true},
        {"fd_set_stdio", {-1, 0x80000000u, 7}, 129, {0xffffffffu, 0x80000000u, 7}, true},
        {"fd_set_nonblock", {3, 7}, 130, {3, 1, 0}, true},
        {"spawn", {P, B, 2}, 131, {P, B, 2}, true},
        {"spawn", {P, B, 0}, 131, {P, B, 0}, true},
        {"waitpid", {-1, B, 0x80000001u}, 132, {0xffffffffu, B, 0x80000001u}, true},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(testing::Message() << r.fn << " (call " << r.nr << ")");
        g.clear_calls();
        g.answer(r.nr, {Reply::ret(ANSWER)});
        // The caller's callee-saved registers must survive the wrapper,
        // although the kernel hands back ebx scrambled and mmap borrows ebp
        // (which the harness's call starts at 0).
        zelkos::Machine &m = g.process().machine();
        m.set_reg(UC_X86_REG_EBX, 0xb0b0b0b0);
        m.set_reg(UC_X86_REG_ESI, 0x51515151);
        m.set_reg(UC_X86_REG_EDI, 0xd1d1d1d1);
        CallResult res = g.call_addr(g.sym(r.fn), r.args);
        ASSERT_TRUE(res.returned()) << res.outcome.report;
        EXPECT_EQ(m.reg(UC_X86_REG_EBX), 0xb0b0b0b0u);
        EXPECT_EQ(m.reg(UC_X86_REG_ESI), 0x51515151u);
        EXPECT_EQ(m.reg(UC_X86_REG_EDI), 0xd1d1d1d1u);
        EXPECT_EQ(m.reg(UC_X86_REG_EBP), 0u);
        ASSERT_EQ(g.calls().size(), 1u);
        const CallRecord &c = g.calls()[0];
        EXPECT_EQ(c.nr, r.nr);
        expect_regs(c, r.regs);
        EXPECT_EQ(int32_t(res.eax), r.answer_is_result ? ANSWER : 0);
        // Failures are reported by value alone: errno is never written.
        EXPECT_EQ(g.read32(errno_addr), 0x5a5a5a5au);
    }
}

TEST(Wrappers, RefuseWithoutEnteringTheKernel)
{
    Guest g;
    const uint32_t P = g.str("/dir/file");
    const uint32_t B = g.alloc(64);
    struct Row {
        const char *fn;
        std::vector<Arg> args;
    };
    const Row rows[] = {
        {"write", {1, 0, 5}},
        {"read", {0, 0, 5}},
        {"open", {0, 0x241}},
        {"creat", {0, 0}},
        {"access", {0, 0}},
        {"writefile", {0, B, 4}},
        {"writefile", {P, 0, 4}},
        {"mkdir", {0, 0}},
        {"unlink", {0}},
        {"rmdir", {0}},
        {"getcwd", {0, 16}},
        {"getcwd", {B, 0}},
        {"zelkfs_stream_begin", {0}},
        {"zelkfs_stream_write", {3, 0, 4}},
        {"chdir", {0}},
        {"mmap", {0, 0, 3, 0x22, -1, 0}},
        {"pipe", {0}},
        {"mkfifo", {0, 0}},
        {"spawn", {0, B, 1}},
        {"spawn", {P, B, -1}},
        {"spawn", {P, B, int32_t(0x80000000u)}},
        {"spawn_ex", {0, B, 1, 4, 5, 6, 1}},
        {"spawn_ex", {P, B, -1, 4, 5, 6, 1}},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.fn);
        g.clear_calls();
        CallResult res = g.call_addr(g.sym(r.fn), r.args);
        ASSERT_TRUE(res.returned()) << res.outcome.report;
        EXPECT_EQ(res.eax, 0xffffffffu);
        EXPECT_TRUE(g.calls().empty()) << "entered the kernel with call " << g.calls()[0].nr;
    }
}

// A count above 0x7fffffff reaches the kernel as 0x7fffffff; the test is
// unsigned, so a "negative" count is cut down, not refused.
TEST(Wrappers, ClampByteCounts)
{
    Guest g;
    const uint32_t P = g.str("/f");
    const uint32_t B = g.alloc(16);
    struct Row {
        const char *fn;
        int nr;
        int reg;  // 1 ecx, 2 edx
    };
    const Row rows[] = {
        {"write", 1, 2},
        {"read", 3, 2},
        {"writefile", 21, 2},
        {"zelkfs_stream_write", 54, 2},
        {"getcwd", 52, 1},
    };
    const std::pair<uint32_t, uint32_t> counts[] = {
        {0xffffffffu, 0x7fffffffu},
        {0x80000000u, 0x7fffffffu},
        {0x7fffffffu, 0x7fffffffu},
        {0x7ffffffeu, 0x7ffffffeu},
    };
    for (const Row &r : rows) {
        for (auto [given, sent] : counts) {
            SCOPED_TRACE(testing::Message() << r.fn << " count " << std::hex << given);
            g.clear_calls();
            g.answer(r.nr, {Reply::ret(ANSWER)});
            std::vector<Arg> args;
            if (r.nr == 52)
                args = {B, given};
            else if (r.nr == 21)
                args = {P, B, given};
            else
                args = {1, B, given};
            CallResult res = g.call_addr(g.sym(r.fn), args);
            ASSERT_TRUE(res.returned()) << res.outcome.report;
            ASSERT_EQ(g.calls().size(), 1u);
            const CallRecord &c = g.calls()[0];
            EXPECT_EQ(r.reg == 1 ? c.ecx : c.edx, sent);
            EXPECT_EQ(int32_t(res.eax), ANSWER);
        }
    }
}

// A flag becomes exactly 0 or 1, whatever bits the caller set.
TEST(Wrappers, NormaliseFlags)
{
    Guest g;
    const uint32_t P = g.str("/bin/x");
    const uint32_t B = g.alloc(16);
    const uint32_t flags[] = {0, 1, 7, 0x100, 0x80000000u, 0xffffffffu};
    for (uint32_t f : flags) {
        SCOPED_TRACE(testing::Message() << "flag " << std::hex << f);
        const uint32_t want = f != 0;

        g.clear_calls();
        g.call("fd_set_inherit", {f});
        ASSERT_EQ(g.calls(128).size(), 1u);
        EXPECT_EQ(g.calls(128)[0].ebx, want);

        g.clear_calls();
        g.call("fd_set_nonblock", {3, f});
        ASSERT_EQ(g.calls(130).size(), 1u);
        EXPECT_EQ(g.calls(130)[0].ebx, 3u);
        EXPECT_EQ(g.calls(130)[0].ecx, want);
        EXPECT_EQ(g.calls(130)[0].edx, 0u);

        g.clear_calls();
        g.answer(150, {Reply::ret(ANSWER)});
        EXPECT_EQ(int32_t(g.call("spawn_ex", {P, B, 0, 4, -5, 0x66, f})), ANSWER);
        ASSERT_EQ(g.calls(150).size(), 1u);
        const std::vector<uint32_t> request = {P, B, 0, 4, uint32_t(-5), 0x66, want};
        EXPECT_EQ(g.calls(150)[0].request, request);
    }
}

TEST(Wrappers, AccessOpensThenClosesAndReportsOnlyTheOpen)
{
    Guest g;
    const uint32_t P = g.str("/etc/thing");
    struct Row {
        int32_t open_answer;
        std::optional<int32_t> close_answer;  // nullopt: no close expected
        int32_t result;
    };
    const Row rows[] = {
        {-2, std::nullopt, -1},
        {ANSWER, std::nullopt, -1},
        {int32_t(0x80000000u), std::nullopt, -1},
        {7, 0, 0},
        {7, -9, 0},  // a failing close does not change the answer
        {0, 0, 0},   // descriptor 0 is a successful open
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(testing::Message() << "open answers " << r.open_answer);
        g.clear_calls();
        g.answer(4, {Reply::ret(r.open_answer)});
        if (r.close_answer)
            g.answer(5, {Reply::ret(*r.close_answer)});
        EXPECT_EQ(int32_t(g.call("access", {P, 0x7})), r.result);
        const auto &calls = g.calls();
        ASSERT_EQ(calls.size(), r.close_answer ? 2u : 1u);
        EXPECT_EQ(calls[0].nr, 4);
        expect_regs(calls[0], {P, 0, 0});
        if (r.close_answer) {
            EXPECT_EQ(calls[1].nr, 5);
            EXPECT_EQ(int32_t(calls[1].ebx), r.open_answer);
        }
    }
}

TEST(Wrappers, MmapFailureIsAllBitsSet)
{
    Guest g;
    g.answer(98, {Reply::ret(-1), Reply::ret(0x20000000)});
    EXPECT_EQ(g.call("mmap", {0, 0x1000u, 3, 0x22, -1, 0}), 0xffffffffu);
    EXPECT_EQ(g.call("mmap", {0, 0x1000u, 3, 0x22, -1, 0}), 0x20000000u);
    EXPECT_EQ(g.calls(98).size(), 2u);
}

TEST(Wrappers, ExitEndsTheProcessAndNeverReturns)
{
    {
        Guest g;
        CallResult res = g.call_full("_exit", {42});
        EXPECT_EQ(res.outcome.kind, Outcome::Exited) << res.outcome.report;
        EXPECT_EQ(res.outcome.status, 42);
        ASSERT_EQ(g.calls().size(), 1u);
        EXPECT_EQ(g.calls()[0].nr, 2);
        EXPECT_EQ(g.calls()[0].ebx, 42u);
    }
    {
        // A kernel that comes back from call 2 finds the processor halted
        // inside _exit, not a return into the caller.
        Guest g;
        g.answer(2, {Reply::ret(0)});
        CallResult res = g.call_full("_exit", {3});
        EXPECT_EQ(res.outcome.kind, Outcome::Halted) << res.outcome.report;
        const uint32_t start = g.sym("_exit");
        EXPECT_GE(res.outcome.eip, start);
        EXPECT_LT(res.outcome.eip, start + 64);
    }
}
