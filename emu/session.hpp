// A process driven from the host one guest function at a time: scratch
// memory outside the image, symbols by name, cdecl calls. The test harness,
// the benchmark and the fuzz targets all drive the runtime through this.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "emu/process.hpp"

namespace zelkos {

// What a guest call left behind.
struct CallOutcome {
    Outcome outcome;
    uint32_t eax = 0, edx = 0;
    X87 st0{};
    bool returned() const { return outcome.kind == Outcome::Returned; }
};

class Session {
public:
    explicit Session(std::shared_ptr<const Image> img, const ProcessOptions &opt = {});

    std::optional<uint32_t> symbol(std::string_view name) const { return proc_.image().symbol(name); }
    CallOutcome call(uint32_t addr, const std::vector<uint32_t> &words);

    // Scratch memory (16 MiB, zero-filled, each block 16-aligned, never
    // reused); nullopt when it is exhausted.
    std::optional<uint32_t> alloc(uint32_t size, uint8_t fill = 0);
    std::optional<uint32_t> put(std::string_view bytes);
    std::optional<uint32_t> str(std::string_view s);
    // Bytes that end exactly where an unmapped page begins.
    uint32_t put_at_page_end(std::string_view bytes);

    bool read(uint32_t addr, void *dst, size_t n) const { return proc_.machine().read(addr, dst, n); }
    bool write(uint32_t addr, const void *src, size_t n) { return proc_.machine().write(addr, src, n); }

    Process &process() { return proc_; }

private:
    Process proc_;
    uint32_t scratch_next_;
    uint32_t edge_next_;
};

// Reads each image once per host process; every Session still gets a fresh
// machine with fresh globals.
std::shared_ptr<const Image> cached_image(const std::string &path);

} // namespace zelkos
