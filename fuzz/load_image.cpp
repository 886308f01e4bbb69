// The loader on arbitrary bytes: a refusal with a one-line message, or an
// image whose mappings are exactly the pages it validated.
#include <cstdint>
#include <cstdlib>
#include <set>
#include <vector>

#include "emu/process.hpp"

using namespace zelkos;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Image img;
    try {
        img = parse_image(std::vector<uint8_t>(data, data + size));
    } catch (const ImageError &e) {
        std::string why = e.what();
        if (why.empty() || why.find('\n') != std::string::npos)
            abort();
        return 0;
    }
    std::set<uint32_t> allowed{0, kSentinel};
    for (uint32_t p = kStackTop - kStackSize; p < kStackTop; p += kPage)
        allowed.insert(p);
    for (auto &s : img.segments)
        for (uint64_t p = s.vaddr & ~(kPage - 1); p < uint64_t(s.vaddr) + s.memsz; p += kPage)
            allowed.insert(uint32_t(p));
    ProcessOptions opt;
    opt.limits.instructions = 2000;
    Process proc(std::move(img), opt);
    uc_mem_region *regions;
    uint32_t count;
    if (uc_mem_regions(proc.machine().engine(), &regions, &count) != UC_ERR_OK)
        abort();
    for (uint32_t i = 0; i < count; i++)
        for (uint64_t p = regions[i].begin; p < regions[i].end; p += kPage)
            if (!allowed.count(uint32_t(p)))
                abort();
    uc_free(regions);
    // Whatever the code does, the run ends with an outcome, not a crash.
    proc.run({"fuzz"});
    return 0;
}
