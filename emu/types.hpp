// Plain records shared by the stand-in's modules, its tools and the tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace zelkos {

// One kernel call as the guest made it and as it was answered.
struct CallRecord {
    int nr = 0;
    const char *name = "";          // from the call table; "" for unknown numbers
    uint32_t ebx = 0, ecx = 0, edx = 0, esi = 0, edi = 0, ebp = 0;
    int32_t result = 0;
    std::string data;               // bytes a write-like call carried (1, 21, 54)
    std::string path;               // the path string of a path call
    std::vector<uint32_t> request;  // spawn_ex: the seven words at ebx
    bool scripted = false;          // answered by a script, not a service
};

// How a run or a guest call ended.
struct Outcome {
    enum Kind {
        Returned,   // a guest call came back to the harness
        Exited,     // the guest made call 2
        Fault,      // page fault, protection fault, invalid instruction, CPU exception
        Limit,      // instruction or time limit
        Halted,     // hlt executed
        Error,      // the stand-in itself failed (engine error)
    };
    Kind kind = Error;
    int status = 0;          // exit status for Exited
    uint32_t eip = 0;        // where the guest stopped
    uint32_t address = 0;    // faulting address for Fault
    std::string report;      // one line, for humans
};

// An x87 80-bit value, bit-exact: 64-bit significand with its explicit
// integer bit, and the sign and 15-bit exponent.
struct X87 {
    uint64_t mantissa = 0;
    uint16_t sign_exp = 0;
    bool operator==(const X87 &o) const { return mantissa == o.mantissa && sign_exp == o.sign_exp; }
    // The host's long double is the same 80-bit format on x86.
    long double value() const
    {
        long double v = 0;
        unsigned char b[sizeof v] = {};
        std::memcpy(b, &mantissa, 8);
        std::memcpy(b + 8, &sign_exp, 2);
        std::memcpy(&v, b, sizeof v);
        return v;
    }
    static X87 of(long double v)
    {
        X87 x;
        unsigned char b[sizeof v];
        std::memcpy(b, &v, sizeof v);
        std::memcpy(&x.mantissa, b, 8);
        std::memcpy(&x.sign_exp, b + 8, 2);
        return x;
    }
};

} // namespace zelkos
