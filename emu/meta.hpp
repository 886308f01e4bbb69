// The command and package metadata records: a 4-byte magic, a 32-bit
// little-endian version, then zero-terminated strings closed by one more
// zero byte.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "emu/image.hpp"

namespace zelkos {

struct MetaRecord {
    std::string magic;
    uint32_t version = 0;
    std::vector<std::string> strings;
};

// Reads the record that section `section` of the image holds; throws
// ImageError when the section is missing or the record is malformed.
MetaRecord read_meta(const Image &img, std::string_view section, std::string_view magic);

} // namespace zelkos
