// The processor: a RAII wrapper around one Unicorn i386 engine. Every engine
// error is checked; guest faults, the kernel gate and limits are turned into
// an Outcome instead of ever reaching the host.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <stdexcept>
#include <utility>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include <unicorn/unicorn.h>

#include "emu/types.hpp"

namespace zelkos {

struct EngineError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

constexpr uint32_t kPage = 0x1000;

struct Limits {
    uint64_t instructions = 0;  // 0: none
    uint64_t timeout_us = 0;    // 0: none
};

class Machine {
public:
    Machine();
    ~Machine();
    Machine(const Machine &) = delete;
    Machine &operator=(const Machine &) = delete;

    // Memory. Addresses and sizes must be page-aligned; perms are UC_PROT_*.
    void map(uint32_t addr, uint32_t size, uint32_t perms, std::string label);
    void unmap(uint32_t addr, uint32_t size);
    void protect(uint32_t addr, uint32_t size, uint32_t perms);
    // Whether every byte of [addr, addr+len) is mapped with at least perms.
    bool accessible(uint32_t addr, uint32_t len, uint32_t perms) const;
    // Raw access, as the host sees memory: ignores guest permissions but
    // fails on unmapped bytes.
    bool read(uint32_t addr, void *dst, size_t n) const;
    bool write(uint32_t addr, const void *src, size_t n);
    std::string label_of(uint32_t addr) const;

    uint32_t reg(int id) const;
    void set_reg(int id, uint32_t v);
    X87 st0() const;
    // The x87 and SSE state a process starts with: control word 0x037F
    // (64-bit precision, round to nearest, all exceptions masked), an
    // empty register stack, MXCSR 0x1F80.
    void reset_fpu();

    // Hooks. The interrupt handler gets every software interrupt and CPU
    // exception number; at_address runs before the instruction at addr.
    // Both must be set before code at those places is first translated.
    void on_interrupt(std::function<void(uint32_t intno)> fn) { interrupt_ = std::move(fn); }
    void at_address(uint32_t addr, std::function<void()> fn);

    // Ends the current run from inside a hook with the given outcome.
    void stop(Outcome o);
    // Runs from begin until the guest reaches `until` (a fixed sentinel:
    // the engine bakes this address into translated code), exits, faults
    // or hits a limit.
    Outcome run(uint32_t begin, uint32_t until, Limits limits);

    // Counting costs a host call per translated block executed, so it is
    // off until asked for (instruction limits and benchmarks need it).
    void count_instructions();
    bool counting() const { return counting_; }
    uint64_t instructions() const { return insns_; }
    uc_engine *engine() const { return uc_; }

private:
    static void on_block(uc_engine *, uint64_t addr, uint32_t size, void *self);
    static void on_access(uc_engine *, uc_mem_type, uint64_t addr, int size, int64_t, void *self);
    static bool on_invalid(uc_engine *, uc_mem_type, uint64_t addr, int size, int64_t, void *self);
    static void on_intr(uc_engine *, uint32_t intno, void *self);
    static void on_code(uc_engine *, uint64_t addr, uint32_t size, void *self);
    uint32_t count_block(uint32_t addr, uint32_t size);

    uc_engine *uc_ = nullptr;
    size_t cs_ = 0;  // capstone handle, for counting instructions per block
    std::function<void(uint32_t)> interrupt_;
    std::unordered_map<uint32_t, std::function<void()>> at_;
    std::unordered_map<uint64_t, uint32_t> block_insns_; // (addr<<32|size) -> count
    std::map<uint32_t, std::pair<uint32_t, std::string>> labels_; // addr -> (size, label)
    std::optional<Outcome> pending_;
    uint64_t insns_ = 0;
    uint64_t insn_limit_ = 0;
    bool counting_ = false;
    bool ran_ = false;
};

// Addresses in [begin, begin+size) of the first byte after each instruction
// `mnemonic_id` (a capstone X86_INS_*), by a linear sweep of code bytes.
std::vector<uint32_t> find_after(const uint8_t *code, size_t size, uint32_t begin, unsigned insn_id);

std::string hex32(uint32_t v);

} // namespace zelkos
