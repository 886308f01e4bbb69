#include "emu/image.hpp"

#include <capstone/capstone.h>

#include "emu/machine.hpp"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

namespace zelkos {
namespace {

constexpr uint32_t PT_LOAD = 1, PT_DYNAMIC = 2, PT_INTERP = 3;
constexpr uint32_t SHT_SYMTAB = 2, SHT_NOBITS = 8;
constexpr uint16_t EM_386 = 3, ET_EXEC = 2;
constexpr uint32_t kMaxSegment = 256u << 20; // no zelkos program is larger

[[noreturn]] void fail(const std::string &why) { throw ImageError(why); }

std::string hex(uint32_t v)
{
    char b[16];
    snprintf(b, sizeof b, "0x%x", v);
    return b;
}

// Bounds-checked little-endian reader over the file.
struct Reader {
    const std::vector<uint8_t> &b;
    bool fits(uint64_t off, uint64_t n) const { return off <= b.size() && n <= b.size() - off; }
    uint32_t u32(uint64_t off) const
    {
        uint32_t v;
        std::memcpy(&v, &b[off], 4);
        return v;
    }
    uint16_t u16(uint64_t off) const
    {
        uint16_t v;
        std::memcpy(&v, &b[off], 2);
        return v;
    }
};

void check_header(const Reader &r)
{
    if (r.b.size() < 4 || std::memcmp(r.b.data(), "\x7f" "ELF", 4) != 0)
        fail(r.b.size() < 4 ? "truncated ELF header" : "not an ELF file (bad magic)");
    if (r.b.size() < 52)
        fail("truncated ELF header (" + std::to_string(r.b.size()) + " bytes, need 52)");
    if (r.b[4] != 1)
        fail("not a 32-bit ELF file (class " + std::to_string(r.b[4]) + ")");
    if (r.b[5] != 1)
        fail("not a little-endian ELF file");
    if (r.u16(18) != EM_386)
        fail("wrong machine " + std::to_string(r.u16(18)) + " (expected 3, i386)");
    if (r.u16(16) != ET_EXEC)
        fail("not a static executable (ELF type " + std::to_string(r.u16(16)) + ")");
}

void read_segments(const Reader &r, Image &img)
{
    uint32_t phoff = r.u32(28);
    uint16_t phentsize = r.u16(42), phnum = r.u16(44);
    if (phnum == 0)
        fail("no program headers");
    if (phentsize < 32)
        fail("program header entries too small (" + std::to_string(phentsize) + " bytes)");
    if (!r.fits(phoff, uint64_t(phentsize) * phnum))
        fail("program headers lie beyond the end of the file");
    for (unsigned i = 0; i < phnum; i++) {
        uint64_t o = phoff + uint64_t(i) * phentsize;
        uint32_t type = r.u32(o);
        if (type == PT_INTERP)
            fail("has an interpreter: only static executables run here");
        if (type == PT_DYNAMIC)
            fail("has a dynamic section: only static executables run here");
        if (type != PT_LOAD)
            continue;
        Segment s{r.u32(o + 8), r.u32(o + 20), r.u32(o + 4), r.u32(o + 16), r.u32(o + 24)};
        std::string what = "segment " + std::to_string(i);
        if (!r.fits(s.offset, s.filesz))
            fail(what + " lies beyond the end of the file");
        if (s.filesz > s.memsz)
            fail(what + " has more file bytes than memory bytes");
        if (s.memsz == 0)
            continue;
        if (s.memsz > kMaxSegment)
            fail(what + " has an absurd size (" + hex(s.memsz) + " bytes)");
        if (s.vaddr < kImageLow)
            fail(what + " at " + hex(s.vaddr) + " lies in the null page");
        if (uint64_t(s.vaddr) + s.memsz > kImageHigh)
            fail(what + " at " + hex(s.vaddr) + " reaches above " + hex(kImageHigh));
        img.segments.push_back(s);
    }
    if (img.segments.empty())
        fail("no loadable segment");
    auto segs = img.segments;
    std::sort(segs.begin(), segs.end(), [](auto &a, auto &b) { return a.vaddr < b.vaddr; });
    for (size_t i = 1; i < segs.size(); i++)
        if (uint64_t(segs[i - 1].vaddr) + segs[i - 1].memsz > segs[i].vaddr)
            fail("segments at " + hex(segs[i - 1].vaddr) + " and " + hex(segs[i].vaddr) + " overlap");
}

void check_entry(Image &img, const Reader &r)
{
    img.entry = r.u32(24);
    for (auto &s : img.segments)
        if ((s.flags & PF_X) && img.entry >= s.vaddr && img.entry - s.vaddr < s.memsz)
            return;
    fail("entry point " + hex(img.entry) + " lies outside every executable segment");
}

// Sections are optional for running; a broken table is refused anyway so
// that tools never read garbage names or symbols.
void read_sections(const Reader &r, Image &img)
{
    uint32_t shoff = r.u32(32);
    uint16_t shentsize = r.u16(46), shnum = r.u16(48), shstrndx = r.u16(50);
    if (shoff == 0 || shnum == 0)
        return;
    if (shentsize < 40 || !r.fits(shoff, uint64_t(shentsize) * shnum))
        fail("section headers lie beyond the end of the file");
    if (shstrndx >= shnum)
        fail("section name table index out of range");
    auto hdr = [&](unsigned i) { return shoff + uint64_t(i) * shentsize; };
    uint32_t stroff = r.u32(hdr(shstrndx) + 16), strsize = r.u32(hdr(shstrndx) + 20);
    if (!r.fits(stroff, strsize))
        fail("section name table lies beyond the end of the file");
    auto name_at = [&](uint32_t base, uint32_t size, uint32_t off) -> std::string {
        if (off >= size)
            fail("a name lies outside its string table");
        const char *p = reinterpret_cast<const char *>(&r.b[base + off]);
        size_t n = strnlen(p, size - off);
        if (n == size - off)
            fail("an unterminated name in a string table");
        return std::string(p, n);
    };
    for (unsigned i = 0; i < shnum; i++) {
        uint64_t o = hdr(i);
        Section s;
        s.name = name_at(stroff, strsize, r.u32(o));
        s.type = r.u32(o + 4);
        s.flags = r.u32(o + 8);
        s.addr = r.u32(o + 12);
        s.offset = r.u32(o + 16);
        s.size = r.u32(o + 20);
        s.align = r.u32(o + 32);
        if (s.type != SHT_NOBITS && i != 0 && !r.fits(s.offset, s.size))
            fail("section " + s.name + " lies beyond the end of the file");
        img.sections.push_back(s);
    }
    for (unsigned i = 0; i < shnum; i++) {
        const Section &s = img.sections[i];
        if (s.type != SHT_SYMTAB)
            continue;
        uint32_t link = r.u32(hdr(i) + 24);
        if (link >= shnum)
            fail("symbol table names an invalid string table");
        const Section &str = img.sections[link];
        for (uint64_t o = s.offset; o + 16 <= uint64_t(s.offset) + s.size; o += 16) {
            uint32_t name = r.u32(o);
            if (name == 0)
                continue;
            std::string n = name_at(str.offset, str.size, name);
            uint32_t value = r.u32(o + 4);
            // Global definitions win over local ones of the same name.
            bool global = (r.b[o + 12] >> 4) != 0;
            if (global || !img.symbols.count(n))
                img.symbols[n] = value;
        }
    }
}

} // namespace

const Section *Image::section(std::string_view name) const
{
    for (auto &s : sections)
        if (s.name == name)
            return &s;
    return nullptr;
}

const std::vector<uint32_t> &Image::after_rdtsc() const
{
    std::call_once(lazy_->once, [this] {
        for (auto &s : segments)
            if (s.flags & PF_X)
                for (uint32_t a : find_after(bytes.data() + s.offset, s.filesz, s.vaddr, X86_INS_RDTSC))
                    lazy_->after_rdtsc.push_back(a);
    });
    return lazy_->after_rdtsc;
}

std::string_view Image::section_bytes(const Section &s) const
{
    if (s.type == SHT_NOBITS)
        return {};
    return {reinterpret_cast<const char *>(bytes.data()) + s.offset, s.size};
}

std::optional<uint32_t> Image::symbol(std::string_view name) const
{
    auto it = symbols.find(name);
    if (it == symbols.end())
        return std::nullopt;
    return it->second;
}

Image parse_image(std::vector<uint8_t> bytes, std::string path)
{
    Image img;
    img.path = std::move(path);
    img.bytes = std::move(bytes);
    Reader r{img.bytes};
    check_header(r);
    read_segments(r, img);
    check_entry(img, r);
    read_sections(r, img);
    return img;
}

Image read_image(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    if (!f)
        throw ImageError("cannot open " + path);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    if (bytes.size() > (512u << 20))
        throw ImageError("file too large");
    return parse_image(std::move(bytes), path);
}

} // namespace zelkos
