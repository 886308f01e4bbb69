// The command as a whole: its runs under the stand-in, the stack it enters
// main with, and the layout of its image on disk.
#include <elf.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "harness.hpp"

using namespace zt;

namespace {

const std::string SUCCESS = "Requested paging guards: null-page NX and .text/.rodata RO.";
const std::string FAILURE = "lumbrel: failed";

std::vector<int> call_numbers(const std::vector<CallRecord> &calls)
{
    std::vector<int> nrs;
    for (const CallRecord &c : calls)
        nrs.push_back(c.nr);
    return nrs;
}

} // namespace

TEST(Command, ReportsTheKernelsAnswer)
{
    struct Row {
        int32_t answer;
        std::vector<std::string> args;
    };
    const Row rows[] = {
        {0, {}},
        {0, {"--help"}},
        {0, {"a", "", "b c"}},
        {-1, {}},
        {1, {}},
        {-38, {"x"}},
        {0x7fffffff, {}},
        {int32_t(0x80000000u), {}},
        {0x100, {}},  // not 0, though its low byte is
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(testing::Message() << "kernel answers " << r.answer << " with "
                                        << r.args.size() << " arguments");
        RunOptions opt;
        opt.args = r.args;
        opt.guards_answer = r.answer;
        RunResult res = run_image(lumbrel_image(), opt);
        ASSERT_EQ(res.outcome.kind, Outcome::Exited) << res.outcome.report;
        const bool ok = r.answer == 0;
        EXPECT_EQ(res.status, ok ? 0 : 1);
        const std::string line = ok ? SUCCESS : FAILURE;
        EXPECT_EQ(res.console_writes, (std::vector<std::string>{line, "\n"}));
        EXPECT_EQ(call_numbers(res.calls), (std::vector<int>{101, 1, 1, 2}));
        for (const CallRecord &c : res.calls)
            if (c.nr == 1)
                EXPECT_EQ(c.ebx, 1u);
        EXPECT_EQ(int32_t(res.calls.back().ebx), ok ? 0 : 1);
    }
}

// main is built with a frame pointer, so at its call 101 ebp holds its
// entry esp minus 4. The prologue is checked first so that a change of code
// generation fails here instead of measuring something else.
TEST(Command, MainIsEnteredWithItsArgumentsOn16Bytes)
{
    {
        Guest g(lumbrel_image());
        ASSERT_EQ(g.read(g.sym("main"), 3), bytes("\x55\x89\xe5"))
            << "main no longer starts with push %ebp; mov %esp,%ebp";
    }
    // Different argument lists move the loader's entry stack around.
    std::vector<std::string> args;
    for (int n = 0; n < 4; n++) {
        SCOPED_TRACE(testing::Message() << n << " arguments");
        RunOptions opt;
        opt.args = args;
        opt.guards_answer = 0;
        RunResult res = run_image(lumbrel_image(), opt);
        ASSERT_FALSE(res.calls.empty());
        ASSERT_EQ(res.calls[0].nr, 101);
        const uint32_t entry_esp = res.calls[0].ebp + 4;
        EXPECT_EQ((entry_esp + 4) % 16, 0u) << std::hex << "esp at entry " << entry_esp;
        args.push_back(std::string(n + 1, 'a'));
    }
}

namespace {

// Just enough of an ELF32 reader for the layout checks.
struct Image {
    std::string bytes;
    Elf32_Ehdr eh{};
    std::vector<Elf32_Shdr> sh;
    std::vector<Elf32_Phdr> ph;

    explicit Image(const std::string &path)
    {
        std::ifstream in(path, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), {});
        if (bytes.size() < sizeof eh)
            return;
        std::memcpy(&eh, bytes.data(), sizeof eh);
        for (unsigned i = 0; i < eh.e_shnum; i++)
            sh.push_back(at<Elf32_Shdr>(eh.e_shoff + i * eh.e_shentsize));
        for (unsigned i = 0; i < eh.e_phnum; i++)
            ph.push_back(at<Elf32_Phdr>(eh.e_phoff + i * eh.e_phentsize));
    }
    template <class T> T at(size_t off) const
    {
        T v{};
        if (off + sizeof v <= bytes.size())
            std::memcpy(&v, bytes.data() + off, sizeof v);
        return v;
    }
    std::string name(const Elf32_Shdr &s) const
    {
        const Elf32_Shdr &strtab = sh.at(eh.e_shstrndx);
        return std::string(bytes.c_str() + strtab.sh_offset + s.sh_name);
    }
    std::string contents(const Elf32_Shdr &s) const { return bytes.substr(s.sh_offset, s.sh_size); }
};

} // namespace

TEST(Image, SectionsAndSegments)
{
    const Image img(lumbrel_image());
    ASSERT_GE(img.bytes.size(), sizeof(Elf32_Ehdr));
    ASSERT_EQ(std::memcmp(img.eh.e_ident, ELFMAG, SELFMAG), 0);
    EXPECT_EQ(img.eh.e_ident[EI_CLASS], ELFCLASS32);
    EXPECT_EQ(img.eh.e_ident[EI_DATA], ELFDATA2LSB);
    EXPECT_EQ(img.eh.e_type, ET_EXEC);
    EXPECT_EQ(img.eh.e_machine, EM_386);

    // The loaded sections in address order, with what the layout demands.
    struct Want {
        uint32_t align, flags;
        int segment;
    };
    const std::map<std::string, Want> wants = {
        {".text", {4096, SHF_ALLOC | SHF_EXECINSTR, 0}},
        {".rodata", {4096, SHF_ALLOC, 1}},
        {".zelkos.cmdmeta", {32, SHF_ALLOC, 1}},
        {".zelkos.pkgmeta", {4, SHF_ALLOC, 1}},
        {".data", {4096, SHF_ALLOC | SHF_WRITE, 2}},
        {".bss", {4096, SHF_ALLOC | SHF_WRITE, 2}},
    };
    const std::vector<std::string> order = {".text", ".rodata", ".zelkos.cmdmeta",
                                            ".zelkos.pkgmeta", ".data", ".bss"};
    std::vector<const Elf32_Shdr *> loaded;
    for (const Elf32_Shdr &s : img.sh)
        if (s.sh_flags & SHF_ALLOC)
            loaded.push_back(&s);
    std::vector<std::string> names;
    for (const Elf32_Shdr *s : loaded)
        names.push_back(img.name(*s));
    // Only .bss may be missing, when nothing in the program is zero-filled.
    std::vector<std::string> expected(order.begin(), order.end() - 1);
    if (names.size() == order.size())
        expected = order;
    ASSERT_EQ(names, expected);

    // The three segments: code, read-only data, writable data.
    std::vector<const Elf32_Phdr *> loads;
    for (const Elf32_Phdr &p : img.ph) {
        EXPECT_NE(p.p_type, uint32_t(PT_INTERP));
        EXPECT_NE(p.p_type, uint32_t(PT_DYNAMIC));
        if (p.p_type == PT_LOAD)
            loads.push_back(&p);
    }
    ASSERT_EQ(loads.size(), 3u);
    const uint32_t seg_flags[3] = {PF_R | PF_X, PF_R, PF_R | PF_W};
    for (int i = 0; i < 3; i++) {
        SCOPED_TRACE(testing::Message() << "segment " << i);
        EXPECT_EQ(loads[i]->p_flags, seg_flags[i]);
        EXPECT_EQ(loads[i]->p_align, 4096u);
        EXPECT_EQ(loads[i]->p_vaddr % 4096, 0u);
        if (i > 0) {
            // No page holds bytes of two segments.
            const uint32_t prev_end = loads[i - 1]->p_vaddr + loads[i - 1]->p_memsz;
            EXPECT_GE(loads[i]->p_vaddr, (prev_end + 4095) & ~4095u);
        }
    }

    uint32_t prev_end = 0x400000;
    for (const Elf32_Shdr *s : loaded) {
        const std::string name = img.name(*s);
        SCOPED_TRACE(name);
        const Want &w = wants.at(name);
        EXPECT_EQ(s->sh_addralign, w.align);
        EXPECT_EQ(s->sh_flags & (SHF_ALLOC | SHF_WRITE | SHF_EXECINSTR), w.flags);
        // Each section starts at the first multiple of its alignment after
        // the one before.
        EXPECT_EQ(s->sh_addr, (prev_end + w.align - 1) & ~(w.align - 1));
        prev_end = s->sh_addr + s->sh_size;
        const Elf32_Phdr &seg = *loads[w.segment];
        EXPECT_GE(s->sh_addr, seg.p_vaddr);
        EXPECT_LE(s->sh_addr + s->sh_size, seg.p_vaddr + seg.p_memsz);
    }

    // The entry point is _start, the first byte of .text at 0x400000.
    EXPECT_EQ(loaded[0]->sh_addr, 0x400000u);
    EXPECT_EQ(img.eh.e_entry, 0x400000u);
    Guest g(lumbrel_image());
    EXPECT_EQ(g.sym("_start"), 0x400000u);
}

TEST(Image, MetadataRecordsHoldExactlyTheirBytes)
{
    const Image img(lumbrel_image());
    const std::map<std::string, std::string> records = {
        {".zelkos.cmdmeta", bytes("ZCMD\x01\x00\x00\x00"
                                  "Install optional paging guards.\0"
                                  "lumbrel\0\0")},
        {".zelkos.pkgmeta", bytes("ZPKG\x01\x00\x00\x00"
                                  "lumbrel\0"
                                  "3\0\0")},
    };
    EXPECT_EQ(records.at(".zelkos.cmdmeta").size(), 49u);
    EXPECT_EQ(records.at(".zelkos.pkgmeta").size(), 19u);
    for (const auto &[name, want] : records) {
        SCOPED_TRACE(name);
        int found = 0;
        for (const Elf32_Shdr &s : img.sh) {
            if (img.name(s) != name)
                continue;
            found++;
            EXPECT_EQ(s.sh_type, uint32_t(SHT_PROGBITS));
            EXPECT_EQ(img.contents(s), want);
        }
        EXPECT_EQ(found, 1);
    }
}
