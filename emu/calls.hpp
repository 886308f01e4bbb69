// The kernel's calls, described once: number, name and how each argument
// register is read. Dispatch, tracing and the harness all work from this
// table so that they cannot drift apart.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "emu/types.hpp"

namespace zelkos {

class Machine;

enum class ArgKind : uint8_t {
    None,
    Int,       // signed decimal
    Uint,      // unsigned decimal
    Hex,       // a value the kernel alone gives meaning to
    Ptr,       // a guest address
    Str,       // a guest address of a zero-terminated path
    Buf,       // a guest address of bytes; the next register is their count
    Flags,     // open flags, printed by name
    Request,   // spawn_ex: the address of the seven-word request
};

struct CallInfo {
    int nr;
    const char *name;
    std::array<ArgKind, 6> args; // ebx, ecx, edx, esi, edi, ebp
    bool writes_out;             // a Buf argument whose bytes go out (recorded)
};

// Number names of the calls a program may make; nullptr for an unknown one.
const CallInfo *find_call(int nr);

// "write(1, \"Requested paging\"..., 59) = 59"
std::string format_call(const CallRecord &rec, const Machine &m, unsigned strsize);

// Quoted and escaped, cut after `limit` bytes with "..." after the quote.
std::string quote(const std::string &bytes, unsigned limit);

} // namespace zelkos
