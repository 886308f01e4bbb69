#include "emu/meta.hpp"

#include <cstring>

namespace zelkos {

MetaRecord read_meta(const Image &img, std::string_view section, std::string_view magic)
{
    std::string name(section);
    const Section *s = img.section(section);
    if (!s)
        throw ImageError("no section " + name);
    std::string_view b = img.section_bytes(*s);
    if (b.size() < 9)
        throw ImageError(name + ": record too short (" + std::to_string(b.size()) + " bytes)");
    MetaRecord r;
    r.magic = std::string(b.substr(0, 4));
    if (r.magic != magic)
        throw ImageError(name + ": bad magic (expected " + std::string(magic) + ")");
    std::memcpy(&r.version, b.data() + 4, 4);
    if (r.version != 1)
        throw ImageError(name + ": unsupported version " + std::to_string(r.version));
    size_t at = 8;
    for (;;) {
        size_t end = b.find('\0', at);
        if (end == std::string_view::npos)
            throw ImageError(name + ": string list is not terminated");
        if (end == at)
            break;  // the extra zero byte closes the list
        r.strings.emplace_back(b.substr(at, end - at));
        at = end + 1;
    }
    if (at + 1 != b.size())
        throw ImageError(name + ": " + std::to_string(b.size() - at - 1) + " stray bytes after the record");
    return r;
}

} // namespace zelkos
