#include "emu/machine.hpp"

#include <capstone/capstone.h>

#include <chrono>
#include <cstdio>
#include <cstring>

namespace zelkos {
namespace {

void check(uc_err err, const char *what)
{
    if (err != UC_ERR_OK)
        throw EngineError(std::string(what) + ": " + uc_strerror(err));
}

const char *access_kind(uc_mem_type t)
{
    switch (t) {
    case UC_MEM_READ_UNMAPPED: return "read of unmapped";
    case UC_MEM_WRITE_UNMAPPED: return "write to unmapped";
    case UC_MEM_FETCH_UNMAPPED: return "execute of unmapped";
    case UC_MEM_READ_PROT: return "read of protected";
    case UC_MEM_WRITE_PROT: return "write to read-only";
    case UC_MEM_FETCH_PROT: return "execute of non-executable";
    default: return "access to";
    }
}

const char *exception_name(uint32_t intno)
{
    switch (intno) {
    case 0: return "divide error";
    case 1: return "debug trap";
    case 3: return "breakpoint (int3)";
    case 4: return "overflow (into)";
    case 5: return "bound range exceeded";
    case 6: return "invalid instruction";
    case 7: return "device not available";
    case 8: return "double fault";
    case 10: return "invalid TSS";
    case 11: return "segment not present";
    case 12: return "stack fault";
    case 13: return "general protection fault";
    case 14: return "page fault";
    case 16: return "x87 floating-point error";
    case 17: return "alignment check";
    case 19: return "SIMD floating-point error";
    default: return nullptr;
    }
}

} // namespace

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
// The engine gives a page whose translated code the guest overwrites a
// bitmap of its own, and does not free it when it is closed (a guest that
// writes and runs the null page before the guards does this). The leak is
// the library's, bounded by the pages of one engine; every other leak is
// still reported.
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:tb_invalidate_phys_page_fast_x86_64\n";
}
#endif
#endif

std::string hex32(uint32_t v)
{
    char b[16];
    snprintf(b, sizeof b, "0x%08x", v);
    return b;
}

Machine::Machine()
{
    check(uc_open(UC_ARCH_X86, UC_MODE_32, &uc_), "uc_open");
    csh cs;
    if (cs_open(CS_ARCH_X86, CS_MODE_32, &cs) != CS_ERR_OK) {
        uc_close(uc_);
        throw EngineError("cs_open failed");
    }
    cs_ = cs;
    uc_hook h;
    check(uc_hook_add(uc_, &h, UC_HOOK_MEM_INVALID, (void *)on_invalid, this, 1, 0), "memory hook");
    // With any access hook present the engine keeps eip exact at every
    // load and store, so a fault names its own instruction and not the
    // start of its block. The hook itself covers one byte and does nothing;
    // what it costs is the engine's slow path, which every store in this
    // engine version takes anyway.
    check(uc_hook_add(uc_, &h, UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE, (void *)on_access, this, 1, 1),
          "access hook");
    check(uc_hook_add(uc_, &h, UC_HOOK_INTR, (void *)on_intr, this, 1, 0), "interrupt hook");
    reset_fpu();
}

Machine::~Machine()
{
    csh cs = cs_;
    cs_close(&cs);
    uc_close(uc_);
}

void Machine::count_instructions()
{
    if (counting_)
        return;
    uc_hook h;
    check(uc_hook_add(uc_, &h, UC_HOOK_BLOCK, (void *)on_block, this, 1, 0), "block hook");
    // Blocks translated before the hook existed would not report. (The
    // engine walks the range page by page: skip it when nothing ran yet.)
    if (ran_)
        check(uc_ctl_remove_cache(uc_, 0, 0xFFFFFFFFull), "flush translations");
    counting_ = true;
}

void Machine::map(uint32_t addr, uint32_t size, uint32_t perms, std::string label)
{
    if (addr % kPage || size % kPage || size == 0)
        throw EngineError("unaligned mapping " + label + " at " + hex32(addr));
    check(uc_mem_map(uc_, addr, size, perms), ("map " + label + " at " + hex32(addr)).c_str());
    labels_[addr] = {size, std::move(label)};
}

void Machine::unmap(uint32_t addr, uint32_t size)
{
    check(uc_mem_unmap(uc_, addr, size), ("unmap " + hex32(addr)).c_str());
    auto it = labels_.find(addr);
    if (it != labels_.end() && it->second.first == size)
        labels_.erase(it);
}

void Machine::protect(uint32_t addr, uint32_t size, uint32_t perms)
{
    check(uc_mem_protect(uc_, addr, size, perms), ("protect " + hex32(addr)).c_str());
}

bool Machine::accessible(uint32_t addr, uint32_t len, uint32_t perms) const
{
    if (len == 0)
        return true;
    uint64_t lo = addr, hi = uint64_t(addr) + len; // [lo, hi)
    if (hi > 0x100000000ull)
        return false;
    uc_mem_region *regions;
    uint32_t count;
    if (uc_mem_regions(uc_, &regions, &count) != UC_ERR_OK)
        return false;
    // Walk forward through the regions that cover lo, without gaps.
    bool progress = true;
    while (lo < hi && progress) {
        progress = false;
        for (uint32_t i = 0; i < count; i++) {
            if (regions[i].begin <= lo && lo <= regions[i].end) {
                if ((regions[i].perms & perms) != perms)
                    break;
                lo = regions[i].end + 1;
                progress = true;
                break;
            }
        }
    }
    uc_free(regions);
    return lo >= hi;
}

bool Machine::read(uint32_t addr, void *dst, size_t n) const
{
    return n == 0 || uc_mem_read(uc_, addr, dst, n) == UC_ERR_OK;
}

bool Machine::write(uint32_t addr, const void *src, size_t n)
{
    return n == 0 || uc_mem_write(uc_, addr, src, n) == UC_ERR_OK;
}

std::string Machine::label_of(uint32_t addr) const
{
    auto it = labels_.upper_bound(addr);
    if (it == labels_.begin())
        return "";
    --it;
    if (addr - it->first < it->second.first)
        return it->second.second;
    return "";
}

uint32_t Machine::reg(int id) const
{
    uint32_t v = 0;
    check(uc_reg_read(uc_, id, &v), "read register");
    return v;
}

void Machine::set_reg(int id, uint32_t v)
{
    check(uc_reg_write(uc_, id, &v), "write register");
}

X87 Machine::st0() const
{
    // FP0..FP7 are the physical registers; ST(0) is the one TOP names.
    uint32_t fpsw = reg(UC_X86_REG_FPSW);
    unsigned top = (fpsw >> 11) & 7;
    // The engine stores the significand, then the sign and exponent.
    uint8_t raw[16] = {};
    check(uc_reg_read(uc_, UC_X86_REG_FP0 + top, raw), "read x87 register");
    X87 x;
    std::memcpy(&x.mantissa, raw, 8);
    std::memcpy(&x.sign_exp, raw + 8, 2);
    return x;
}

void Machine::reset_fpu()
{
    set_reg(UC_X86_REG_FPCW, 0x037F);
    set_reg(UC_X86_REG_FPSW, 0);
    set_reg(UC_X86_REG_FPTAG, 0xFFFF);
    set_reg(UC_X86_REG_MXCSR, 0x1F80);
}

void Machine::at_address(uint32_t addr, std::function<void()> fn)
{
    bool fresh = !at_.count(addr);
    at_[addr] = std::move(fn);
    if (fresh) {
        uc_hook h;
        check(uc_hook_add(uc_, &h, UC_HOOK_CODE, (void *)on_code, this, addr, addr), "code hook");
    }
}

void Machine::stop(Outcome o)
{
    if (!pending_)
        pending_ = std::move(o);
    uc_emu_stop(uc_);
}

uint32_t Machine::count_block(uint32_t addr, uint32_t size)
{
    uint64_t key = (uint64_t(addr) << 32) | size;
    auto it = block_insns_.find(key);
    if (it != block_insns_.end())
        return it->second;
    std::vector<uint8_t> code(size);
    uint32_t n = 0;
    if (read(addr, code.data(), size)) {
        csh cs = cs_;
        const uint8_t *p = code.data();
        size_t left = size;
        uint64_t pc = addr;
        cs_insn *insn = cs_malloc(cs);
        while (left && cs_disasm_iter(cs, &p, &left, &pc, insn))
            n++;
        cs_free(insn, 1);
    }
    if (n == 0)
        n = 1;
    block_insns_[key] = n;
    return n;
}

void Machine::on_block(uc_engine *, uint64_t addr, uint32_t size, void *self)
{
    auto *m = static_cast<Machine *>(self);
    m->insns_ += m->count_block(uint32_t(addr), size);
    if (m->insn_limit_ && m->insns_ > m->insn_limit_) {
        Outcome o;
        o.kind = Outcome::Limit;
        o.eip = uint32_t(addr);
        o.report = "instruction limit reached: " + std::to_string(m->insn_limit_) +
                   " instructions, stopped at eip " + hex32(o.eip);
        m->stop(o);
    }
}

void Machine::on_access(uc_engine *, uc_mem_type, uint64_t, int, int64_t, void *) {}  // see the constructor

bool Machine::on_invalid(uc_engine *, uc_mem_type type, uint64_t addr, int size, int64_t, void *self)
{
    auto *m = static_cast<Machine *>(self);
    Outcome o;
    o.kind = Outcome::Fault;
    o.address = uint32_t(addr);
    o.eip = m->reg(UC_X86_REG_EIP);
    std::string where = m->label_of(o.address);
    o.report = std::string("page fault: ") + access_kind(type) + " address " + hex32(o.address) +
               (where.empty() ? "" : " (" + where + ")") + ", " + std::to_string(size) +
               " bytes, at eip " + hex32(o.eip);
    if (!m->pending_)
        m->pending_ = o;
    return false;
}

void Machine::on_intr(uc_engine *, uint32_t intno, void *self)
{
    auto *m = static_cast<Machine *>(self);
    if (intno == 0x80 && m->interrupt_) {
        m->interrupt_(intno);
        return;
    }
    Outcome o;
    o.kind = Outcome::Fault;
    o.eip = m->reg(UC_X86_REG_EIP);
    const char *name = exception_name(intno);
    o.report = (name ? std::string(name) : "unexpected interrupt " + std::to_string(intno)) +
               " at eip " + hex32(o.eip);
    m->stop(o);
}

void Machine::on_code(uc_engine *, uint64_t addr, uint32_t, void *self)
{
    auto *m = static_cast<Machine *>(self);
    auto it = m->at_.find(uint32_t(addr));
    if (it != m->at_.end() && it->second)
        it->second();
}

Outcome Machine::run(uint32_t begin, uint32_t until, Limits limits)
{
    pending_.reset();
    if (limits.instructions)
        count_instructions();
    insn_limit_ = limits.instructions ? insns_ + limits.instructions : 0;
    ran_ = true;
    auto t0 = std::chrono::steady_clock::now();
    uc_err err = uc_emu_start(uc_, begin, until, limits.timeout_us, 0);
    auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0);
    uint32_t eip = reg(UC_X86_REG_EIP);
    if (pending_) {
        Outcome o = *std::exchange(pending_, std::nullopt);
        return o;
    }
    Outcome o;
    o.eip = eip;
    if (err == UC_ERR_INSN_INVALID) {
        o.kind = Outcome::Fault;
        o.report = "invalid instruction at eip " + hex32(eip);
        return o;
    }
    if (err != UC_ERR_OK) {
        o.kind = Outcome::Fault;
        o.report = std::string("processor fault (") + uc_strerror(err) + ") at eip " + hex32(eip);
        return o;
    }
    if (eip == until) {
        o.kind = Outcome::Returned;
        return o;
    }
    uint8_t prev = 0;
    if (eip > 0 && read(eip - 1, &prev, 1) && prev == 0xF4) {
        o.kind = Outcome::Halted;
        o.report = "halted (hlt) at eip " + hex32(eip - 1);
        return o;
    }
    if (limits.timeout_us && uint64_t(elapsed.count()) >= limits.timeout_us) {
        o.kind = Outcome::Limit;
        o.report = "time limit reached: " + std::to_string(limits.timeout_us / 1000) +
                   " ms, stopped at eip " + hex32(eip);
        return o;
    }
    o.kind = Outcome::Error;
    o.report = "emulation stopped unexpectedly at eip " + hex32(eip);
    return o;
}

std::vector<uint32_t> find_after(const uint8_t *code, size_t size, uint32_t begin, unsigned insn_id)
{
    std::vector<uint32_t> out;
    csh cs;
    if (cs_open(CS_ARCH_X86, CS_MODE_32, &cs) != CS_ERR_OK)
        return out;
    cs_option(cs, CS_OPT_SKIPDATA, CS_OPT_ON);
    cs_insn *insn = cs_malloc(cs);
    const uint8_t *p = code;
    uint64_t pc = begin;
    while (size && cs_disasm_iter(cs, &p, &size, &pc, insn))
        if (insn->id == insn_id)
            out.push_back(uint32_t(pc));
    cs_free(insn, 1);
    cs_close(&cs);
    return out;
}

} // namespace zelkos
