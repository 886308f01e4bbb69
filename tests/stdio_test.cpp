// Streams: the standard records, the sink's descriptor road (its loop over
// short writes and its stop on a refusal), and the output functions' results.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.hpp"

using namespace zt;

namespace {

constexpr uint32_t FILE_SIZE = 44;  // eleven 32-bit fields

// A stream record in guest memory with every other field zero.
uint32_t make_file(Guest &g, int32_t kind, int32_t fd)
{
    uint32_t f = g.alloc(FILE_SIZE);
    g.write32(f, uint32_t(kind));
    g.write32(f + 4, uint32_t(fd));
    return f;
}

} // namespace

TEST(StandardStreams, RecordsAndPointers)
{
    Guest g;
    struct Row {
        const char *pointer, *record;
        uint32_t fd;
    };
    const Row rows[] = {
        {"stdin", "g_stdin", 0}, {"stdout", "g_stdout", 1}, {"stderr", "g_stderr", 1}};
    for (const Row &r : rows) {
        SCOPED_TRACE(r.record);
        const uint32_t rec = g.sym(r.record);
        EXPECT_EQ(g.global32(r.pointer), rec);
        EXPECT_EQ(g.read32(rec), 1u);  // a descriptor stream
        EXPECT_EQ(g.read32(rec + 4), r.fd);
        for (uint32_t off = 8; off < FILE_SIZE; off += 4)
            EXPECT_EQ(g.read32(rec + off), 0u) << "field at offset " << off;
    }
}

TEST(Sink, RefusesWithoutWriting)
{
    Guest g;
    const uint32_t data = g.put("abc");
    struct Row {
        const char *what;
        uint32_t stream, data, n;
        int32_t result;
    };
    const Row rows[] = {
        {"null stream", 0, data, 3, -1},
        {"null data", g.sym("g_stdout"), 0, 3, -1},
        {"null data, no bytes", g.sym("g_stdout"), 0, 0, -1},
        {"stdin", g.sym("g_stdin"), data, 3, -1},
        {"read stream on descriptor 3", make_file(g, 1, 3), data, 3, -1},
        {"descriptor 2", make_file(g, 1, 2), data, 3, -1},
        // No bytes is success before the kind is even looked at.
        {"no bytes", g.sym("g_stdout"), data, 0, 0},
        {"no bytes to stdin", g.sym("g_stdin"), data, 0, 0},
        {"no bytes to a memory stream", make_file(g, 2, 0), data, 0, 0},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        g.clear_calls();
        EXPECT_EQ(int32_t(g.call("file_write_bytes", {r.stream, r.data, r.n})), r.result);
        EXPECT_TRUE(g.calls().empty());
    }
}

// Each row scripts the kernel's answers to call 1 in turn; the console shows
// what the kernel took.
TEST(Sink, LoopsOnShortWritesAndStopsOnARefusal)
{
    const std::string text = "0123456789";
    struct Row {
        const char *what;
        std::vector<int32_t> answers;
        int32_t result;
        std::vector<std::string> written;  // what each write call carried
        std::string console;
    };
    const Row rows[] = {
        {"all at once", {10}, 0, {text}, text},
        {"3, then the other 7", {3, 7}, 0, {text, "3456789"}, text},
        {"one byte at a time, then the rest", {1, 1, 8}, 0, {text, "123456789", "23456789"}, text},
        {"3, then nothing", {3, 0}, -1, {text, "3456789"}, "012"},
        {"3, then a failure", {3, -5}, -1, {text, "3456789"}, "012"},
        {"refused at once", {-1}, -1, {text}, ""},
        {"nothing at once", {0}, -1, {text}, ""},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        Guest g;
        const uint32_t data = g.put(text);
        std::vector<Reply> replies;
        for (int32_t a : r.answers)
            replies.push_back(Reply::ret(a));
        g.answer(1, replies);
        EXPECT_EQ(int32_t(g.call("file_write_bytes", {g.sym("g_stdout"), data, 10})), r.result);
        const auto writes = g.calls(1);
        ASSERT_EQ(writes.size(), r.written.size());
        uint32_t offset = 0;
        for (size_t i = 0; i < writes.size(); i++) {
            EXPECT_EQ(writes[i].ebx, 1u) << "write " << i;
            EXPECT_EQ(writes[i].ecx, data + offset) << "write " << i;
            EXPECT_EQ(writes[i].edx, r.written[i].size()) << "write " << i;
            offset += uint32_t(r.answers[i] > 0 ? r.answers[i] : 0);
        }
        EXPECT_EQ(g.console(), r.console);
    }
}

TEST(Output, Fwrite)
{
    Guest g;
    const uint32_t p = g.put("abcdef");
    const uint32_t out = g.sym("g_stdout");
    struct Row {
        const char *what;
        uint32_t ptr, size, count, stream;
        uint32_t result;
        std::string console;
    };
    const Row rows[] = {
        {"2 items of 3", p, 3, 2, out, 2, "abcdef"},
        {"6 items of 1", p, 1, 6, out, 6, "abcdef"},
        {"null pointer", 0, 3, 2, out, 0, ""},
        {"null stream", p, 3, 2, 0, 0, ""},
        {"size 0", p, 0, 5, out, 0, ""},
        {"count 0", p, 5, 0, out, 0, ""},
        {"65536 x 65536 overflows", p, 65536, 65536, out, 0, ""},
        {"0x80000000 x 2 overflows", p, 0x80000000u, 2, out, 0, ""},
        {"to stdin", p, 3, 2, g.sym("g_stdin"), 0, ""},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        g.clear_calls();
        const std::string before = g.console();
        EXPECT_EQ(g.call("fwrite", {r.ptr, r.size, r.count, r.stream}), r.result);
        EXPECT_EQ(g.console().substr(before.size()), r.console);
        // All the bytes go to the sink in one call.
        EXPECT_EQ(g.calls(1).size(), r.console.empty() ? 0u : 1u);
    }
}

TEST(Output, FwriteReportsAllOrNothing)
{
    Guest g;
    const uint32_t p = g.put("abcdef");
    g.answer(1, {Reply::ret(4), Reply::ret(-1)});
    EXPECT_EQ(g.call("fwrite", {p, 2, 3, g.sym("g_stdout")}), 0u);
    EXPECT_EQ(g.console(), "abcd");

    g.answer(1, {Reply::ret(4), Reply::ret(2)});
    EXPECT_EQ(g.call("fwrite", {p, 2, 3, g.sym("g_stdout")}), 3u);
}

TEST(Output, Fputc)
{
    Guest g;
    struct Row {
        const char *what;
        int32_t ch;
        const char *stream;  // a record name, or nullptr for the null stream
        int32_t result;
        std::string console;
    };
    const Row rows[] = {
        {"plain", 'x', "g_stdout", 'x', "x"},
        {"only the low byte is written", 0x141, "g_stdout", 0x141, "A"},
        {"-1 writes 0xff and looks like failure", -1, "g_stdout", -1, "\xff"},
        {"0x80 is the byte 0x80", 0x80, "g_stdout", 0x80, "\x80"},
        {"zero byte", 0, "g_stdout", 0, std::string(1, '\0')},
        {"stderr is the console", 'e', "g_stderr", 'e', "e"},
        {"stdin", 'x', "g_stdin", -1, ""},
        {"null stream", 'x', nullptr, -1, ""},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        g.clear_calls();
        const std::string before = g.console();
        const uint32_t f = r.stream ? g.sym(r.stream) : 0;
        EXPECT_EQ(int32_t(g.call("fputc", {r.ch, f})), r.result);
        EXPECT_EQ(g.console().substr(before.size()), r.console);
        for (const CallRecord &c : g.calls(1))
            EXPECT_EQ(c.ebx, 1u);
    }

    g.answer(1, {Reply::ret(0)});
    EXPECT_EQ(int32_t(g.call("fputc", {'x', g.sym("g_stdout")})), -1);
}

TEST(Output, Fputs)
{
    Guest g;
    const uint32_t out = g.sym("g_stdout");
    struct Row {
        const char *what;
        uint32_t s, stream;
        int32_t result;
        std::string console;
        size_t writes;
    };
    const Row rows[] = {
        {"text", g.str("hello"), out, 5, "hello", 1},
        {"no newline is added", g.str("a\n"), out, 2, "a\n", 1},
        {"empty string makes no call", g.str(""), out, 0, "", 0},
        {"stderr is the console", g.str("x"), g.sym("g_stderr"), 1, "x", 1},
        {"null stream", g.str("x"), 0, -1, "", 0},
        {"null string", 0, out, -1, "", 0},
        {"address in the null page is empty", 0x20, out, 0, "", 0},
        {"string at the end of a page", g.put_at_page_end(bytes("edge\0")), out, 4, "edge", 1},
        {"stdin", g.str("x"), g.sym("g_stdin"), -1, "", 0},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        g.clear_calls();
        const std::string before = g.console();
        EXPECT_EQ(int32_t(g.call("fputs", {r.s, r.stream})), r.result);
        EXPECT_EQ(g.console().substr(before.size()), r.console);
        EXPECT_EQ(g.calls(1).size(), r.writes);
        for (const CallRecord &c : g.calls(1))
            EXPECT_EQ(c.ebx, 1u);
    }

    g.answer(1, {Reply::ret(-5)});
    EXPECT_EQ(int32_t(g.call("fputs", {g.str("x"), out})), -1);
}

TEST(Output, PutsWritesTextThenNewline)
{
    struct Row {
        const char *what;
        std::string text;  // placed in guest memory with its zero byte
        std::vector<Reply> answers;
        int32_t result;
        std::vector<std::string> writes;  // console writes, one per call
        size_t calls;
    };
    const Row rows[] = {
        {"text", "ok", {}, 0, {"ok", "\n"}, 2},
        {"empty string: the newline alone", "", {}, 0, {"\n"}, 1},
        {"text refused: no newline", "ok", {Reply::ret(-1)}, -1, {}, 1},
        {"newline refused", "ok", {Reply::ret(2), Reply::ret(0)}, -1, {"ok"}, 2},
        {"text taken in two parts", "abc", {Reply::ret(1)}, 0, {"a", "bc", "\n"}, 3},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        Guest g;
        const uint32_t s = g.str(r.text);
        if (!r.answers.empty())
            g.answer(1, r.answers);
        EXPECT_EQ(int32_t(g.call("puts", {s})), r.result);
        EXPECT_EQ(g.console_writes(), r.writes);
        EXPECT_EQ(g.calls(1).size(), r.calls);
    }
    {
        Guest g;
        EXPECT_EQ(int32_t(g.call("puts", {0})), -1);
        EXPECT_TRUE(g.calls().empty());
    }
}

// puts and putchar read the stdout pointer at each call, so a program can
// point it elsewhere.
TEST(Output, StdoutIsReadAtEachCall)
{
    Guest g;
    const uint32_t s = g.str("hi");

    EXPECT_EQ(g.call("putchar", {65}), 65u);
    EXPECT_EQ(g.console(), "A");

    // Pointed at standard input, the writes fail without a kernel call.
    g.set_global32("stdout", g.sym("g_stdin"));
    g.clear_calls();
    EXPECT_EQ(int32_t(g.call("putchar", {66})), -1);
    EXPECT_EQ(int32_t(g.call("puts", {s})), -1);
    EXPECT_TRUE(g.calls().empty());

    // Pointed at a record of its own while g_stdout is made unwritable, the
    // writes go through the pointer, not the static record.
    g.write32(g.sym("g_stdout") + 4, 0);
    g.set_global32("stdout", make_file(g, 1, 1));
    EXPECT_EQ(g.call("putchar", {67}), 67u);
    EXPECT_EQ(g.call("puts", {s}), 0u);
    EXPECT_EQ(g.console(), "AChi\n");
}

TEST(Output, FflushAndSetbufDoNothing)
{
    Guest g;
    const uint32_t out = g.sym("g_stdout");
    const std::string record = g.read(out, FILE_SIZE);
    EXPECT_EQ(g.call("fflush", {0}), 0u);
    EXPECT_EQ(g.call("fflush", {out}), 0u);
    EXPECT_EQ(g.call("fflush", {g.sym("g_stdin")}), 0u);
    g.call("setbuf", {out, g.alloc(64)});
    g.call("setbuf", {0, 0});
    EXPECT_TRUE(g.calls().empty());
    EXPECT_EQ(g.read(out, FILE_SIZE), record);
    EXPECT_EQ(g.global32("stdout"), out);
}
