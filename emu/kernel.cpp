#include "emu/kernel.hpp"

#include <cerrno>

#include "emu/calls.hpp"
#include "emu/machine.hpp"

namespace zelkos {
namespace {

// What a wrapper finds in the registers the kernel may change: values that
// are obviously not the arguments, so code that relies on them breaks.
constexpr uint32_t kClobberEbx = 0xDEADBEB0, kClobberEcx = 0xDEADBEC0, kClobberEdx = 0xDEADBED0;
constexpr uint32_t kMaxPath = 4096;
constexpr uint32_t kMaxRecord = 1u << 20;   // bytes of one write kept in the log

uint32_t clamp(uint32_t n) { return n > 0x7fffffffu ? 0x7fffffffu : n; }

// The first byte of [addr, addr+n) the guest may not reach with perms, for
// the report: a buffer that runs off the end of a mapping is named where it
// stops being readable, not where it starts. Permissions are per page, so
// the first refused page chunk begins with that byte.
uint32_t first_refused(const Machine &m, uint32_t addr, uint32_t n, uint32_t perms)
{
    uint64_t at = addr, end = uint64_t(addr) + n;
    while (at < end) {
        uint64_t next = std::min<uint64_t>(end, (at | (kPage - 1)) + 1);
        if (at > 0xFFFFFFFFull || !m.accessible(uint32_t(at), uint32_t(next - at), perms))
            return uint32_t(at);
        at = next;
    }
    return addr;
}

} // namespace

Kernel::Kernel(Machine &m, const KernelOptions &opt)
    : m_(m), opt_(opt), console_(opt.console), files_(opt.root, console_)
{
}

void Kernel::install_guards()
{
    if (!guards_on_ && guards_)
        guards_();
    guards_on_ = true;
}

CallRecord Kernel::capture()
{
    CallRecord rec;
    rec.nr = int(m_.reg(UC_X86_REG_EAX));
    rec.ebx = m_.reg(UC_X86_REG_EBX);
    rec.ecx = m_.reg(UC_X86_REG_ECX);
    rec.edx = m_.reg(UC_X86_REG_EDX);
    rec.esi = m_.reg(UC_X86_REG_ESI);
    rec.edi = m_.reg(UC_X86_REG_EDI);
    rec.ebp = m_.reg(UC_X86_REG_EBP);
    const CallInfo *info = find_call(rec.nr);
    if (!info)
        return rec;
    rec.name = info->name;
    // Keep what the guest handed over, as it was at the moment of the call,
    // without judging it: a bad pointer is only an error if a service uses it.
    const uint32_t regs[6] = {rec.ebx, rec.ecx, rec.edx, rec.esi, rec.edi, rec.ebp};
    for (int i = 0; i < 6; i++) {
        uint32_t v = regs[i];
        switch (info->args[i]) {
        case ArgKind::Str: {
            char c;
            for (uint32_t k = 0; k < kMaxPath && m_.read(v + k, &c, 1) && c; k++)
                rec.path += c;
            break;
        }
        case ArgKind::Buf:
            if (info->writes_out && i < 5) {
                uint32_t n = std::min(clamp(regs[i + 1]), kMaxRecord);
                std::string b(n, '\0');
                if (m_.read(v, b.data(), n))
                    rec.data = std::move(b);
            }
            break;
        case ArgKind::Request: {
            uint32_t w[7];
            if (m_.read(v, w, sizeof w))
                rec.request.assign(w, w + 7);
            break;
        }
        default: break;
        }
    }
    return rec;
}

void Kernel::kernel_fault(const CallRecord &rec, const char *what, uint32_t addr)
{
    Outcome o;
    o.kind = Outcome::Fault;
    o.address = addr;
    o.eip = m_.reg(UC_X86_REG_EIP) - 2;  // the int 0x80
    const CallInfo *info = find_call(rec.nr);
    o.report = std::string("kernel fault: ") + (info ? info->name : "call") + " (" + std::to_string(rec.nr) +
               ") " + what + " guest memory at " + hex32(addr) + ", at eip " + hex32(o.eip);
    faulted_ = true;
    m_.stop(o);
}

// The length is the guest's: the buffer is checked before any host memory
// is set aside for it, so a huge count over a small buffer costs nothing.
std::optional<std::string> Kernel::fetch(const CallRecord &rec, uint32_t addr, uint32_t n)
{
    if (!m_.accessible(addr, n, UC_PROT_READ)) {
        kernel_fault(rec, "reads unreadable", first_refused(m_, addr, n, UC_PROT_READ));
        return std::nullopt;
    }
    std::string b(n, '\0');
    if (!m_.read(addr, b.data(), n)) {
        kernel_fault(rec, "reads unreadable", addr);
        return std::nullopt;
    }
    return b;
}

bool Kernel::store(const CallRecord &rec, uint32_t addr, const std::string &bytes)
{
    if (!m_.accessible(addr, uint32_t(bytes.size()), UC_PROT_WRITE) ||
        !m_.write(addr, bytes.data(), bytes.size())) {
        kernel_fault(rec, "writes unwritable", first_refused(m_, addr, uint32_t(bytes.size()), UC_PROT_WRITE));
        return false;
    }
    return true;
}

std::optional<std::string> Kernel::fetch_str(const CallRecord &rec, uint32_t addr)
{
    std::string s;
    for (uint32_t k = 0; k < kMaxPath; k++) {
        char c;
        if (!m_.accessible(addr + k, 1, UC_PROT_READ) || !m_.read(addr + k, &c, 1)) {
            kernel_fault(rec, "reads unreadable", addr + k);
            return std::nullopt;
        }
        if (!c)
            return s;
        s += c;
    }
    return std::nullopt;  // too long: the caller answers ENAMETOOLONG
}

int32_t Kernel::serve(CallRecord &rec)
{
    switch (rec.nr) {
    case 1: {
        auto b = fetch(rec, rec.ecx, clamp(rec.edx));
        return b ? files_.write(int32_t(rec.ebx), b->data(), uint32_t(b->size())) : -EFAULT;
    }
    case 2: {
        Outcome o;
        o.kind = Outcome::Exited;
        o.status = int(rec.ebx & 0xFF);
        o.eip = m_.reg(UC_X86_REG_EIP) - 2;
        o.report = "exited with status " + std::to_string(o.status);
        m_.stop(o);
        return 0;
    }
    case 3: {
        uint32_t n = std::min(clamp(rec.edx), 1u << 24);
        if (!m_.accessible(rec.ecx, n, UC_PROT_WRITE)) {
            kernel_fault(rec, "writes unwritable", first_refused(m_, rec.ecx, n, UC_PROT_WRITE));
            return -EFAULT;
        }
        std::string b(n, '\0');
        int32_t r = files_.read(int32_t(rec.ebx), b.data(), n);
        if (r > 0 && !store(rec, rec.ecx, b.substr(0, size_t(r))))
            return -EFAULT;
        return r;
    }
    case 4: {
        auto p = fetch_str(rec, rec.ebx);
        return faulted_ ? -EFAULT : p ? files_.open(*p, rec.ecx) : -ENAMETOOLONG;
    }
    case 5:
        return files_.close(int32_t(rec.ebx));
    case 21: {
        auto p = fetch_str(rec, rec.ebx);
        if (!p)
            return faulted_ ? -EFAULT : -ENAMETOOLONG;
        auto b = fetch(rec, rec.ecx, clamp(rec.edx));
        return b ? files_.writefile(*p, b->data(), uint32_t(b->size())) : -EFAULT;
    }
    case 101:
        if (opt_.guards_answer)
            return *opt_.guards_answer;
        install_guards();
        return 0;
    case 110:
        return files_.lseek(int32_t(rec.ebx), int32_t(rec.ecx), int32_t(rec.edx));
    default:
        return -ENOSYS;
    }
}

int32_t Kernel::apply(CallRecord &rec, const Answer &a)
{
    rec.scripted = true;
    if (rec.nr == 3 && a.bytes) {
        uint32_t n = std::min<uint32_t>(clamp(rec.edx), uint32_t(a.bytes->size()));
        return store(rec, rec.ecx, a.bytes->substr(0, n)) ? int32_t(n) : -EFAULT;
    }
    if (rec.nr == 1 && a.value > 0) {
        uint32_t n = std::min(uint32_t(a.value), clamp(rec.edx));
        auto b = fetch(rec, rec.ecx, n);
        if (b)
            files_.write(int32_t(rec.ebx), b->data(), n);
    }
    return a.value;
}

void Kernel::gate()
{
    faulted_ = false;
    CallRecord rec = capture();
    std::optional<Answer> scripted;
    if (script_)
        scripted = script_(rec);
    rec.result = scripted ? apply(rec, *scripted) : serve(rec);
    if (faulted_) {
        // The run ends here; the registers stay as the guest left them.
        rec.result = -EFAULT;
    } else {
        m_.set_reg(UC_X86_REG_EAX, uint32_t(rec.result));
        m_.set_reg(UC_X86_REG_EBX, kClobberEbx);
        m_.set_reg(UC_X86_REG_ECX, kClobberEcx);
        m_.set_reg(UC_X86_REG_EDX, kClobberEdx);
    }
    if (opt_.trace)
        fprintf(opt_.trace, "%s\n", format_call(rec, m_, opt_.trace_strsize).c_str());
    log_.push_back(std::move(rec));
}

} // namespace zelkos
