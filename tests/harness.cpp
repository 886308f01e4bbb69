#include "harness.hpp"

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <mutex>

#include "emu/session.hpp"

namespace zt {
namespace {

constexpr uint64_t kDefaultInsnLimit = 200'000'000;

} // namespace

std::string runtime_image() { return ZELKOS_BUILD_DIR "/runtime.elf"; }
std::string lumbrel_image() { return ZELKOS_BUILD_DIR "/lumbrel"; }
std::string probe_image() { return ZELKOS_BUILD_DIR "/tests/probe.elf"; }
std::string c_program_image() { return ZELKOS_BUILD_DIR "/tests/c_program.elf"; }

struct Guest::Impl {
    Impl(std::shared_ptr<const zelkos::Image> img, const zelkos::ProcessOptions &opt)
        : session(std::move(img), opt) {}
    zelkos::Session session;
    std::map<int, std::deque<Reply>> answers;
    std::function<std::optional<int32_t>(const CallRecord &)> user_script;
};

namespace {
zelkos::ProcessOptions guest_options(const std::string &root)
{
    zelkos::ProcessOptions o;
    o.root = root;
    o.limits.instructions = kDefaultInsnLimit;
    return o;
}
} // namespace

Guest::Guest(const std::string &path, const std::string &root)
    : p_(std::make_unique<Impl>(zelkos::cached_image(path), guest_options(root)))
{
    process().kernel().set_script([this](const CallRecord &rec) -> std::optional<zelkos::Answer> {
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

zelkos::Process &Guest::process() { return p_->session.process(); }

bool Guest::has_sym(std::string_view name) { return p_->session.symbol(name).has_value(); }

uint32_t Guest::sym(std::string_view name)
{
    auto v = p_->session.symbol(name);
    if (!v)
        ADD_FAILURE() << "no symbol " << name << " in " << process().image().path;
    return v.value_or(0);
}

CallResult Guest::call_addr(uint32_t addr, const std::vector<Arg> &args)
{
    std::vector<uint32_t> words;
    for (auto &a : args)
        for (int i = 0; i < a.n; i++)
            words.push_back(a.w[i]);
    auto o = p_->session.call(addr, words);
    CallResult r;
    r.outcome = o.outcome;
    r.eax = o.eax;
    r.edx = o.edx;
    r.st0 = o.st0;
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
    auto a = p_->session.alloc(size, fill);
    if (!a)
        ADD_FAILURE() << "harness scratch exhausted";
    return a.value_or(0);
}

uint32_t Guest::put(std::string_view bytes)
{
    uint32_t a = alloc(uint32_t(bytes.size()));
    write(a, bytes);
    return a;
}

uint32_t Guest::str(std::string_view s) { return put(std::string(s) + '\0'); }

uint32_t Guest::put_at_page_end(std::string_view bytes) { return p_->session.put_at_page_end(bytes); }

std::string Guest::read(uint32_t addr, uint32_t n)
{
    std::string b(n, '\0');
    if (!process().machine().read(addr, b.data(), n))
        ADD_FAILURE() << "cannot read " << n << " bytes of guest memory at " << zelkos::hex32(addr);
    return b;
}

std::string Guest::read_str(uint32_t addr, uint32_t max)
{
    std::string s;
    char c;
    while (s.size() < max && process().machine().read(addr + uint32_t(s.size()), &c, 1) && c)
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
    if (!process().machine().write(addr, bytes.data(), bytes.size()))
        ADD_FAILURE() << "cannot write " << bytes.size() << " bytes of guest memory at " << zelkos::hex32(addr);
}

void Guest::write32(uint32_t addr, uint32_t v) { write(addr, std::string_view(reinterpret_cast<char *>(&v), 4)); }

const std::vector<CallRecord> &Guest::calls() { return process().kernel().log(); }

std::vector<CallRecord> Guest::calls(int nr)
{
    std::vector<CallRecord> out;
    for (auto &c : calls())
        if (c.nr == nr)
            out.push_back(c);
    return out;
}

void Guest::clear_calls() { process().kernel().clear_log(); }

void Guest::answer(int nr, std::vector<Reply> replies)
{
    auto &q = p_->answers[nr];
    q.insert(q.end(), replies.begin(), replies.end());
}

void Guest::script(std::function<std::optional<int32_t>(const CallRecord &)> fn) { p_->user_script = std::move(fn); }

void Guest::set_input(int fd, std::string bytes) { process().kernel().files().set_input(fd, std::move(bytes)); }

void Guest::attach_pipe(int fd) { process().kernel().files().attach_pipe(fd); }

std::string Guest::pipe_bytes(int fd) { return process().kernel().files().pipe_bytes(fd); }

std::string Guest::console() { return process().kernel().console().text(); }

std::vector<std::string> Guest::console_writes() { return process().kernel().console().writes(); }

void Guest::set_tsc(uint64_t value) { process().set_tsc(value); }

void Guest::install_guards() { process().install_guards(); }

void Guest::set_insn_limit(uint64_t n) { process().limits().instructions = n; }

RunResult run_image(const std::string &path, const RunOptions &opt)
{
    zelkos::ProcessOptions po;
    po.guards_answer = opt.guards_answer;
    po.limits.instructions = kDefaultInsnLimit;
    zelkos::Process proc(zelkos::cached_image(path), po);
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
