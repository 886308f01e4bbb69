#include "harness.hpp"

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <mutex>

#include "emu/process.hpp"

namespace zt {
namespace {

constexpr uint32_t kScratchSize = 16u << 20;
constexpr uint32_t kEdgeBase = 0x68000000;   // pages that end at a hole
constexpr uint64_t kDefaultInsnLimit = 200'000'000;

// Each image is read and parsed once per test program; every Guest still
// gets a fresh machine with fresh globals.
std::shared_ptr<const zelkos::Image> image(const std::string &path)
{
    static std::map<std::string, std::shared_ptr<const zelkos::Image>> cache;
    static std::mutex lock;
    std::lock_guard g(lock);
    auto &slot = cache[path];
    if (!slot)
        slot = std::make_shared<const zelkos::Image>(zelkos::read_image(path));
    return slot;
}

} // namespace

std::string runtime_image() { return ZELKOS_BUILD_DIR "/runtime.elf"; }
std::string lumbrel_image() { return ZELKOS_BUILD_DIR "/lumbrel"; }
std::string probe_image() { return ZELKOS_BUILD_DIR "/tests/probe.elf"; }
std::string c_program_image() { return ZELKOS_BUILD_DIR "/tests/c_program.elf"; }

struct Guest::Impl {
    explicit Impl(std::shared_ptr<const zelkos::Image> img) : proc(std::move(img)) {}
    zelkos::Process proc;
    uint32_t scratch_next = zelkos::kScratchBase;
    uint32_t edge_next = kEdgeBase;
    std::map<int, std::deque<Reply>> answers;
    std::function<std::optional<int32_t>(const CallRecord &)> user_script;
};

Guest::Guest(const std::string &path) : p_(std::make_unique<Impl>(image(path)))
{
    auto &m = p_->proc.machine();
    m.map(zelkos::kScratchBase, kScratchSize, UC_PROT_READ | UC_PROT_WRITE, "harness scratch");
    p_->proc.limits().instructions = kDefaultInsnLimit;
    p_->proc.kernel().set_script([this](const CallRecord &rec) -> std::optional<zelkos::Answer> {
        auto &q = p_->answers[rec.nr];
        if (!q.empty()) {
            Reply r = q.front();
            q.pop_front();
            return zelkos::Answer{r.value, r.bytes};
        }
        if (p_->user_script)
            if (auto v = p_->user_script(rec))
                return zelkos::Answer{*v, std::nullopt};
        return std::nullopt;
    });
}

Guest::~Guest() = default;

zelkos::Process &Guest::process() { return p_->proc; }

bool Guest::has_sym(std::string_view name) { return p_->proc.image().symbol(name).has_value(); }

uint32_t Guest::sym(std::string_view name)
{
    auto v = p_->proc.image().symbol(name);
    if (!v)
        ADD_FAILURE() << "no symbol " << name << " in " << p_->proc.image().path;
    return v.value_or(0);
}

CallResult Guest::call_addr(uint32_t addr, const std::vector<Arg> &args)
{
    std::vector<uint32_t> words;
    for (auto &a : args)
        for (int i = 0; i < a.n; i++)
            words.push_back(a.w[i]);
    CallResult r;
    r.outcome = p_->proc.call(addr, words);
    auto &m = p_->proc.machine();
    r.eax = m.reg(UC_X86_REG_EAX);
    r.edx = m.reg(UC_X86_REG_EDX);
    r.st0 = m.st0();
    return r;
}

CallResult Guest::call_full(std::string_view fn, std::initializer_list<Arg> args)
{
    uint32_t addr = sym(fn);
    if (!addr)
        return {};
    return call_addr(addr, args);
}

namespace {
const CallResult &expect_return(const CallResult &r, std::string_view fn)
{
    if (!r.returned())
        ADD_FAILURE() << fn << " did not return: " << r.outcome.report;
    return r;
}
} // namespace

uint32_t Guest::call(std::string_view fn, std::initializer_list<Arg> args)
{
    return expect_return(call_full(fn, args), fn).eax;
}

uint64_t Guest::call64(std::string_view fn, std::initializer_list<Arg> args)
{
    return expect_return(call_full(fn, args), fn).edx_eax();
}

X87 Guest::call_x87(std::string_view fn, std::initializer_list<Arg> args)
{
    return expect_return(call_full(fn, args), fn).st0;
}

uint32_t Guest::alloc(uint32_t size, uint8_t fill)
{
    uint32_t addr = p_->scratch_next;
    uint32_t span = (size + 15) & ~15u;
    if (span == 0)
        span = 16;
    if (addr - zelkos::kScratchBase + span > kScratchSize) {
        ADD_FAILURE() << "harness scratch exhausted";
        return 0;
    }
    p_->scratch_next += span;
    write(addr, std::string(size, char(fill)));
    return addr;
}

uint32_t Guest::put(std::string_view bytes)
{
    uint32_t a = alloc(uint32_t(bytes.size()));
    write(a, bytes);
    return a;
}

uint32_t Guest::str(std::string_view s) { return put(std::string(s) + '\0'); }

uint32_t Guest::put_at_page_end(std::string_view bytes)
{
    uint32_t pages = uint32_t((bytes.size() + zelkos::kPage - 1) / zelkos::kPage);
    if (pages == 0)
        pages = 1;
    uint32_t base = p_->edge_next;
    p_->proc.machine().map(base, pages * zelkos::kPage, UC_PROT_READ | UC_PROT_WRITE, "harness edge page");
    p_->edge_next += (pages + 1) * zelkos::kPage;   // leave a hole after it
    uint32_t addr = base + pages * zelkos::kPage - uint32_t(bytes.size());
    write(addr, bytes);
    return addr;
}

std::string Guest::read(uint32_t addr, uint32_t n)
{
    std::string b(n, '\0');
    if (!p_->proc.machine().read(addr, b.data(), n))
        ADD_FAILURE() << "cannot read " << n << " bytes of guest memory at " << zelkos::hex32(addr);
    return b;
}

std::string Guest::read_str(uint32_t addr, uint32_t max)
{
    std::string s;
    char c;
    while (s.size() < max && p_->proc.machine().read(addr + uint32_t(s.size()), &c, 1) && c)
        s += c;
    return s;
}

uint32_t Guest::read32(uint32_t addr)
{
    uint32_t v = 0;
    std::string b = read(addr, 4);
    std::memcpy(&v, b.data(), 4);
    return v;
}

uint64_t Guest::read64(uint32_t addr)
{
    uint64_t v = 0;
    std::string b = read(addr, 8);
    std::memcpy(&v, b.data(), 8);
    return v;
}

void Guest::write(uint32_t addr, std::string_view bytes)
{
    if (!p_->proc.machine().write(addr, bytes.data(), bytes.size()))
        ADD_FAILURE() << "cannot write " << bytes.size() << " bytes of guest memory at " << zelkos::hex32(addr);
}

void Guest::write32(uint32_t addr, uint32_t v) { write(addr, std::string_view(reinterpret_cast<char *>(&v), 4)); }

const std::vector<CallRecord> &Guest::calls() { return p_->proc.kernel().log(); }

std::vector<CallRecord> Guest::calls(int nr)
{
    std::vector<CallRecord> out;
    for (auto &c : calls())
        if (c.nr == nr)
            out.push_back(c);
    return out;
}

void Guest::clear_calls() { p_->proc.kernel().clear_log(); }

void Guest::answer(int nr, std::vector<Reply> replies)
{
    auto &q = p_->answers[nr];
    q.insert(q.end(), replies.begin(), replies.end());
}

void Guest::script(std::function<std::optional<int32_t>(const CallRecord &)> fn) { p_->user_script = std::move(fn); }

std::string Guest::console() { return p_->proc.kernel().console().text(); }

std::vector<std::string> Guest::console_writes() { return p_->proc.kernel().console().writes(); }

void Guest::set_tsc(uint64_t value) { p_->proc.set_tsc(value); }

void Guest::install_guards() { p_->proc.install_guards(); }

void Guest::set_insn_limit(uint64_t n) { p_->proc.limits().instructions = n; }

RunResult run_image(const std::string &path, const RunOptions &opt)
{
    zelkos::ProcessOptions po;
    po.guards_answer = opt.guards_answer;
    po.limits.instructions = kDefaultInsnLimit;
    zelkos::Process proc(image(path), po);
    if (opt.setup)
        opt.setup(proc);
    std::vector<std::string> argv{path.substr(path.rfind('/') + 1)};
    argv.insert(argv.end(), opt.args.begin(), opt.args.end());
    RunResult r;
    r.outcome = proc.run(argv);
    if (r.outcome.kind == Outcome::Exited)
        r.status = r.outcome.status;
    r.console = proc.kernel().console().text();
    r.console_writes = proc.kernel().console().writes();
    r.calls = proc.kernel().log();
    return r;
}

} // namespace zt
