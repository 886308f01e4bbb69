// A zelkos process on the stand-in: the image loaded into a fresh machine,
// its kernel, and the two ways to run it (from the entry point, or one
// guest function at a time).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "emu/image.hpp"
#include "emu/kernel.hpp"
#include "emu/machine.hpp"

namespace zelkos {

// The guest address space besides the image.
constexpr uint32_t kStackTop = 0x80000000;
constexpr uint32_t kStackSize = 0x00100000;
constexpr uint32_t kSentinel = 0x90000000;   // return address of host calls
constexpr uint32_t kScratchBase = 0x60000000;  // free for the harness

struct ProcessOptions : KernelOptions {
    Limits limits;
};

class Process {
public:
    explicit Process(std::shared_ptr<const Image> img, const ProcessOptions &opt = {});
    explicit Process(Image img, const ProcessOptions &opt = {})
        : Process(std::make_shared<const Image>(std::move(img)), opt) {}

    // Builds the entry stack (count, vector, strings) and runs from the
    // entry point until the guest exits, faults or hits a limit.
    Outcome run(const std::vector<std::string> &argv);
    // Calls the function at addr, cdecl, with the given stack words, until
    // it returns to the sentinel. The x87 unit starts in its initial state.
    Outcome call(uint32_t addr, const std::vector<uint32_t> &words);

    // Fixes what rdtsc gives the guest; nullopt: the processor's own value.
    void set_tsc(std::optional<uint64_t> v) { tsc_ = v; }
    void install_guards() { kernel_.install_guards(); }

    Machine &machine() { return m_; }
    const Machine &machine() const { return m_; }
    Kernel &kernel() { return kernel_; }
    const Image &image() const { return *img_; }
    Limits &limits() { return limits_; }

private:
    void load();
    void guard();

    std::shared_ptr<const Image> img_;
    Machine m_;
    Kernel kernel_;
    Limits limits_;
    std::optional<uint64_t> tsc_;
    struct Run {
        uint32_t addr, size, flags;  // image pages sharing their ELF flags
    };
    std::vector<Run> runs_;
};

} // namespace zelkos
