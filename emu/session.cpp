#include "emu/session.hpp"

#include <map>
#include <mutex>

namespace zelkos {
namespace {

constexpr uint32_t kScratchSize = 16u << 20;
constexpr uint32_t kEdgeBase = 0x68000000;   // pages that end at a hole

} // namespace

std::shared_ptr<const Image> cached_image(const std::string &path)
{
    static std::map<std::string, std::shared_ptr<const Image>> cache;
    static std::mutex lock;
    std::lock_guard g(lock);
    auto &slot = cache[path];
    if (!slot)
        slot = std::make_shared<const Image>(read_image(path));
    return slot;
}

Session::Session(std::shared_ptr<const Image> img, const ProcessOptions &opt)
    : proc_(std::move(img), opt), scratch_next_(kScratchBase), edge_next_(kEdgeBase)
{
    proc_.machine().map(kScratchBase, kScratchSize, UC_PROT_READ | UC_PROT_WRITE, "scratch");
}

CallOutcome Session::call(uint32_t addr, const std::vector<uint32_t> &words)
{
    CallOutcome r;
    r.outcome = proc_.call(addr, words);
    auto &m = proc_.machine();
    r.eax = m.reg(UC_X86_REG_EAX);
    r.edx = m.reg(UC_X86_REG_EDX);
    r.st0 = m.st0();
    return r;
}

std::optional<uint32_t> Session::alloc(uint32_t size, uint8_t fill)
{
    uint32_t span = size ? (size + 15) & ~15u : 16;
    if (size > kScratchSize || scratch_next_ - kScratchBase + span > kScratchSize)
        return std::nullopt;
    uint32_t addr = scratch_next_;
    scratch_next_ += span;
    std::string b(size, char(fill));
    write(addr, b.data(), b.size());
    return addr;
}

std::optional<uint32_t> Session::put(std::string_view bytes)
{
    auto a = alloc(uint32_t(bytes.size()));
    if (a)
        write(*a, bytes.data(), bytes.size());
    return a;
}

std::optional<uint32_t> Session::str(std::string_view s) { return put(std::string(s) + '\0'); }

uint32_t Session::put_at_page_end(std::string_view bytes)
{
    uint32_t pages = std::max<uint32_t>(1, uint32_t((bytes.size() + kPage - 1) / kPage));
    uint32_t base = edge_next_;
    proc_.machine().map(base, pages * kPage, UC_PROT_READ | UC_PROT_WRITE, "edge page");
    edge_next_ += (pages + 1) * kPage;   // leave a hole after it
    uint32_t addr = base + pages * kPage - uint32_t(bytes.size());
    write(addr, bytes.data(), bytes.size());
    return addr;
}

} // namespace zelkos
