#include "emu/process.hpp"

#include <capstone/capstone.h>

#include <map>

namespace zelkos {
namespace {

uint32_t uc_perms(uint32_t elf_flags)
{
    uint32_t p = 0;
    if (elf_flags & PF_R) p |= UC_PROT_READ;
    if (elf_flags & PF_W) p |= UC_PROT_WRITE;
    if (elf_flags & PF_X) p |= UC_PROT_EXEC;
    return p;
}

} // namespace

Process::Process(std::shared_ptr<const Image> img, const ProcessOptions &opt)
    : img_(std::move(img)), kernel_(m_, opt), limits_(opt.limits)
{
    load();
    m_.on_interrupt([this](uint32_t) { kernel_.gate(); });
    kernel_.on_guards([this] { guard(); });
}

void Process::load()
{
    // A page shared by two segments gets the permissions of both.
    std::map<uint32_t, uint32_t> pages;
    for (auto &s : img_->segments)
        for (uint64_t p = s.vaddr & ~(kPage - 1); p < uint64_t(s.vaddr) + s.memsz; p += kPage)
            pages[uint32_t(p)] |= s.flags;
    // Without guards the kernel protects nothing: the null page is there
    // and every image page can be written.
    m_.map(0, kPage, UC_PROT_ALL, "null page");
    // One mapping per run of pages with the same permissions: the engine's
    // cost grows with the number of mappings, and a 1 MiB .bss would
    // otherwise be 256 of them.
    for (auto it = pages.begin(); it != pages.end();) {
        uint32_t start = it->first, flags = it->second, end = start + kPage;
        while (++it != pages.end() && it->first == end && it->second == flags)
            end += kPage;
        m_.map(start, end - start, UC_PROT_ALL, "image");
        runs_.push_back({start, end - start, flags});
    }
    for (auto &s : img_->segments)
        if (!m_.write(s.vaddr, img_->bytes.data() + s.offset, s.filesz))
            throw EngineError("cannot load segment at " + hex32(s.vaddr));
    m_.map(kStackTop - kStackSize, kStackSize, UC_PROT_READ | UC_PROT_WRITE, "stack");
    m_.map(kSentinel, kPage, UC_PROT_READ | UC_PROT_EXEC, "return sentinel");
    std::string hlt(kPage, '\xF4');
    m_.write(kSentinel, hlt.data(), hlt.size());

    // rdtsc cannot be hooked itself: set edx:eax just after each one.
    for (uint32_t after : img_->after_rdtsc())
        m_.at_address(after, [this] {
            if (tsc_) {
                m_.set_reg(UC_X86_REG_EAX, uint32_t(*tsc_));
                m_.set_reg(UC_X86_REG_EDX, uint32_t(*tsc_ >> 32));
            }
        });
}

void Process::guard()
{
    m_.unmap(0, kPage);
    for (auto &r : runs_)
        m_.protect(r.addr, r.size, uc_perms(r.flags));
}

Outcome Process::run(const std::vector<std::string> &argv)
{
    // Strings at the top, then the vector (null-terminated), then the count.
    uint32_t sp = kStackTop;
    std::vector<uint32_t> ptrs;
    for (auto &a : argv) {
        sp -= uint32_t(a.size() + 1);
        m_.write(sp, a.c_str(), a.size() + 1);
        ptrs.push_back(sp);
    }
    ptrs.push_back(0);
    sp &= ~15u;
    sp -= uint32_t(4 * (ptrs.size() + 1));
    uint32_t argc = uint32_t(argv.size());
    m_.write(sp, &argc, 4);
    m_.write(sp + 4, ptrs.data(), 4 * ptrs.size());
    for (int r : {UC_X86_REG_EAX, UC_X86_REG_EBX, UC_X86_REG_ECX, UC_X86_REG_EDX, UC_X86_REG_ESI,
                  UC_X86_REG_EDI, UC_X86_REG_EBP})
        m_.set_reg(r, 0);
    m_.set_reg(UC_X86_REG_ESP, sp);
    m_.reset_fpu();
    return m_.run(img_->entry, kSentinel, limits_);
}

Outcome Process::call(uint32_t addr, const std::vector<uint32_t> &words)
{
    // Arguments start on a 16-byte boundary, as at any call in the i386 ABI.
    uint32_t sp = (kStackTop - 256 - 4 * uint32_t(words.size())) & ~15u;
    m_.write(sp, words.data(), 4 * words.size());
    sp -= 4;
    uint32_t ret = kSentinel;
    m_.write(sp, &ret, 4);
    m_.set_reg(UC_X86_REG_ESP, sp);
    m_.set_reg(UC_X86_REG_EBP, 0);
    m_.reset_fpu();
    return m_.run(addr, kSentinel, limits_);
}

} // namespace zelkos
