// Static ELF32 i386 executables: parsing and validation. Nothing here trusts
// the file: every offset and size is checked before it is used.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace zelkos {

struct ImageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// ELF segment permission bits.
enum : uint32_t { PF_X = 1, PF_W = 2, PF_R = 4 };

struct Segment {
    uint32_t vaddr = 0, memsz = 0, offset = 0, filesz = 0, flags = 0;
};

struct Section {
    std::string name;
    uint32_t type = 0, flags = 0, addr = 0, offset = 0, size = 0, align = 0;
};

// The guest address range an image may occupy: above the null page and
// below the stand-in's own regions (stack, scratch, return sentinel).
constexpr uint32_t kImageLow = 0x1000;
constexpr uint32_t kImageHigh = 0x50000000;

struct Image {
    std::string path;
    std::vector<uint8_t> bytes;
    uint32_t entry = 0;
    std::vector<Segment> segments;           // loadable ones, in file order
    std::vector<Section> sections;           // empty when the file has none
    std::map<std::string, uint32_t, std::less<>> symbols;

    const Section *section(std::string_view name) const;

    // Addresses just after each rdtsc in executable segments, found by a
    // linear sweep of the code once per image (every process of the image
    // needs them, and the sweep costs more than starting the process).
    const std::vector<uint32_t> &after_rdtsc() const;
    // The file bytes of a section; throws if they lie outside the file.
    std::string_view section_bytes(const Section &s) const;
    std::optional<uint32_t> symbol(std::string_view name) const;

private:
    struct Lazy {
        std::once_flag once;
        std::vector<uint32_t> after_rdtsc;
    };
    // Behind a pointer so that an Image stays movable.
    std::shared_ptr<Lazy> lazy_ = std::make_shared<Lazy>();
};

// Parses and validates; throws ImageError with a one-line reason.
Image parse_image(std::vector<uint8_t> bytes, std::string path = "");
Image read_image(const std::string &path);

} // namespace zelkos
