#include "emu/calls.hpp"

#include <cstring>

#include "emu/machine.hpp"

namespace zelkos {
namespace {

using enum ArgKind;

const CallInfo kCalls[] = {
    {1, "write", {Int, Buf, Uint}, true},
    {2, "_exit", {Int}, false},
    {3, "read", {Int, Buf, Uint}, false},
    {4, "open", {Str, Flags, Hex}, false},
    {5, "close", {Int}, false},
    {6, "getkey", {}, false},
    {21, "writefile", {Str, Buf, Uint}, true},
    {22, "usleep", {Uint}, false},
    {49, "mkdir", {Str}, false},
    {50, "unlink", {Str}, false},
    {51, "rmdir", {Str}, false},
    {52, "getcwd", {Ptr, Uint, Hex}, false},
    {53, "zelkfs_stream_begin", {Str}, false},
    {54, "zelkfs_stream_write", {Hex, Buf, Uint}, true},
    {55, "zelkfs_stream_end", {Hex}, false},
    {95, "chdir", {Str}, false},
    {98, "mmap", {Hex, Uint, Hex, Hex, Int, Hex}, false},
    {99, "munmap", {Hex, Uint, Hex}, false},
    {101, "SYS_PAGING_GUARDS", {}, false},
    {110, "lseek", {Int, Int, Int}, false},
    {124, "pipe", {Ptr}, false},
    {125, "mkfifo", {Str}, false},
    {126, "dup", {Int}, false},
    {127, "dup2", {Int, Int, Hex}, false},
    {128, "fd_set_inherit", {Uint}, false},
    {129, "fd_set_stdio", {Int, Int, Int}, false},
    {130, "fd_set_nonblock", {Int, Uint, Hex}, false},
    {131, "spawn", {Str, Ptr, Int}, false},
    {132, "waitpid", {Int, Ptr, Hex}, false},
    {150, "spawn_ex", {Request}, false},
};

std::string flags_name(uint32_t f)
{
    std::string s = (f & 3) == 0 ? "O_RDONLY" : (f & 3) == 1 ? "O_WRONLY" : (f & 3) == 2 ? "O_RDWR" : "3";
    if (f & 0x40)
        s += "|O_CREAT";
    if (f & 0x200)
        s += "|O_TRUNC";
    uint32_t rest = f & ~uint32_t(0x243);
    if (rest) {
        char b[16];
        snprintf(b, sizeof b, "|%#x", rest);
        s += b;
    }
    return s;
}

std::string result_text(const CallRecord &rec)
{
    if (rec.nr == 2)
        return "?";
    std::string s = std::to_string(rec.result);
    if (rec.result < 0 && rec.result > -4096) {
        const char *name = strerrorname_np(-rec.result);
        if (name)
            s += std::string(" ") + name;
    }
    return s;
}

} // namespace

const CallInfo *find_call(int nr)
{
    for (auto &c : kCalls)
        if (c.nr == nr)
            return &c;
    return nullptr;
}

std::string quote(const std::string &bytes, unsigned limit)
{
    std::string out = "\"";
    size_t n = std::min<size_t>(bytes.size(), limit);
    for (size_t i = 0; i < n; i++) {
        unsigned char c = bytes[i];
        switch (c) {
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        default:
            if (c >= 0x20 && c < 0x7f) {
                out += char(c);
            } else {
                char b[8];
                snprintf(b, sizeof b, "\\x%02x", c);
                out += b;
            }
        }
    }
    out += "\"";
    if (bytes.size() > n)
        out += "...";
    return out;
}

std::string format_call(const CallRecord &rec, const Machine &m, unsigned strsize)
{
    const CallInfo *info = find_call(rec.nr);
    std::string s = info ? info->name : "syscall_" + std::to_string(rec.nr);
    s += "(";
    const uint32_t regs[6] = {rec.ebx, rec.ecx, rec.edx, rec.esi, rec.edi, rec.ebp};
    for (int i = 0; info && i < 6 && info->args[i] != None; i++) {
        if (i)
            s += ", ";
        uint32_t v = regs[i];
        char b[32];
        switch (info->args[i]) {
        case Int: s += std::to_string(int32_t(v)); break;
        case Uint: s += std::to_string(v); break;
        case Hex:
        case Ptr:
            snprintf(b, sizeof b, "%#x", v);
            s += v ? b : "0";
            break;
        case Str:
            s += v ? (rec.path.empty() && !m.accessible(v, 1, UC_PROT_READ) ? hex32(v) : quote(rec.path, 4096))
                   : "NULL";
            break;
        case Buf: {
            // Output buffers show their bytes; input buffers their address.
            if (info->writes_out && v) {
                s += quote(rec.data, strsize);
            } else if (rec.nr == 3 && rec.result > 0 && v) {
                std::string got(size_t(rec.result), '\0');
                s += m.read(v, got.data(), got.size()) ? quote(got, strsize) : hex32(v);
            } else {
                snprintf(b, sizeof b, "%#x", v);
                s += v ? b : "NULL";
            }
            break;
        }
        case Flags: s += flags_name(v); break;
        case Request:
            if (rec.request.size() == 7) {
                s += "{";
                for (int w = 0; w < 7; w++) {
                    snprintf(b, sizeof b, w ? ", %#x" : "%#x", rec.request[w]);
                    s += b;
                }
                s += "}";
            } else {
                snprintf(b, sizeof b, "%#x", v);
                s += b;
            }
            break;
        case None: break;
        }
    }
    if (!info) {
        char b[96];
        snprintf(b, sizeof b, "%#x, %#x, %#x, %#x, %#x, %#x", rec.ebx, rec.ecx, rec.edx, rec.esi, rec.edi, rec.ebp);
        s += b;
    }
    s += ") = " + result_text(rec);
    return s;
}

} // namespace zelkos
