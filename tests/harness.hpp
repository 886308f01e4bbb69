// The guest test harness: load an image fresh, call its functions as real
// i386 code under the stand-in, put and read guest memory, script and
// record kernel calls.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "emu/types.hpp"

namespace zelkos { class Process; }

namespace zt {

using zelkos::CallRecord;
using zelkos::Outcome;
using zelkos::X87;

// Paths of the images the build produces.
std::string runtime_image();   // the whole runtime with a trivial main
std::string lumbrel_image();   // the command
std::string probe_image();     // the harness's own small test image
std::string c_program_image(); // a C program linked against libc.a

// One cdecl argument: a 32-bit word, or a 64-bit value taking two words
// (low word first, as i386 passes it).
struct Arg {
    uint32_t w[2]{};
    int n = 1;
    Arg(unsigned v) : w{v, 0} {}
    Arg(int v) : w{uint32_t(v), 0} {}
    Arg(unsigned long v) : w{uint32_t(v), 0} {}
    Arg(long v) : w{uint32_t(v), 0} {}
    static Arg u64(uint64_t v)
    {
        Arg a{uint32_t(v)};
        a.w[1] = uint32_t(v >> 32);
        a.n = 2;
        return a;
    }
    static Arg i64(int64_t v) { return u64(uint64_t(v)); }
};

// A scripted kernel answer. For read (call 3) `bytes` are delivered into the
// guest's buffer (at most the count asked for) and their number returned.
// For write (call 1) a positive value is the number of bytes the kernel
// takes: the console or pipe receives exactly those. Anything else is
// returned in eax as it is, with no service run.
struct Reply {
    int32_t value = 0;
    std::optional<std::string> bytes;
    static Reply ret(int32_t v) { return {v, std::nullopt}; }
    static Reply data(std::string b) { return {int32_t(b.size()), std::move(b)}; }
};

// Result of one guest call.
struct CallResult {
    Outcome outcome;          // outcome.kind == Outcome::Returned when it came back
    uint32_t eax = 0, edx = 0;
    X87 st0{};                // ST(0) after the return, bit-exact
    bool returned() const { return outcome.kind == Outcome::Returned; }
    uint64_t edx_eax() const { return (uint64_t(edx) << 32) | eax; }
};

class Guest {
public:
    // root: the host directory the guest's files live under.
    explicit Guest(const std::string &image = runtime_image(), const std::string &root = ".");
    ~Guest();
    Guest(const Guest &) = delete;
    Guest &operator=(const Guest &) = delete;

    // Symbols of the image's symbol table; a missing name fails the test.
    uint32_t sym(std::string_view name);
    bool has_sym(std::string_view name);

    // Calls. call() expects the function to return and fails the test
    // otherwise (fault, exit, limit); call_full() reports whatever happened.
    uint32_t call(std::string_view fn, std::initializer_list<Arg> args = {});
    uint64_t call64(std::string_view fn, std::initializer_list<Arg> args = {});
    X87 call_x87(std::string_view fn, std::initializer_list<Arg> args = {});
    CallResult call_full(std::string_view fn, std::initializer_list<Arg> args = {});
    CallResult call_addr(uint32_t addr, const std::vector<Arg> &args);

    // Scratch memory outside the runtime's arena, zero-filled, never reused
    // within one Guest. Each block starts 16-aligned; fill is the initial
    // byte value.
    uint32_t alloc(uint32_t size, uint8_t fill = 0);
    uint32_t put(std::string_view bytes);         // bytes as they are
    uint32_t str(std::string_view s);             // bytes and a zero byte
    // The bytes end exactly at the end of a mapped page, followed by an
    // unmapped page: reading one byte too far faults.
    uint32_t put_at_page_end(std::string_view bytes);

    std::string read(uint32_t addr, uint32_t n);
    std::string read_str(uint32_t addr, uint32_t max = 1 << 20);
    uint32_t read32(uint32_t addr);
    uint64_t read64(uint32_t addr);
    void write(uint32_t addr, std::string_view bytes);
    void write32(uint32_t addr, uint32_t v);
    uint32_t global32(std::string_view name) { return read32(sym(name)); }
    void set_global32(std::string_view name, uint32_t v) { write32(sym(name), v); }

    // Kernel calls made so far (all of them, or those of one number).
    const std::vector<CallRecord> &calls();
    std::vector<CallRecord> calls(int nr);
    void clear_calls();
    // Queue answers for the next calls of a number; once the queue is empty
    // the stand-in's own service answers again.
    void answer(int nr, std::vector<Reply> replies);
    // A general script: return a value to answer the call, nullopt to let
    // the service run.
    void script(std::function<std::optional<int32_t>(const CallRecord &)> fn);

    // Descriptors besides the console: input the guest reads (fd 0 is
    // standard input, empty until set), and pipes whose writes are kept.
    void set_input(int fd, std::string bytes);
    void attach_pipe(int fd);
    std::string pipe_bytes(int fd);

    std::string console();                   // every byte written to fd 1
    std::vector<std::string> console_writes(); // one entry per write

    void set_tsc(uint64_t value);            // what rdtsc gives the guest
    void install_guards();                   // as if call 101 had been made
    void set_insn_limit(uint64_t n);         // per call; default 200 million

    zelkos::Process &process();

private:
    struct Impl;
    std::unique_ptr<Impl> p_;
};

// Running a whole image from its entry point.
struct RunResult {
    Outcome outcome;                    // Exited with status, or a fault
    int status = -1;                    // exit status when it exited
    std::string console;                // bytes written to fd 1
    std::vector<std::string> console_writes;
    std::vector<CallRecord> calls;      // every kernel call, in order
};

struct RunOptions {
    std::vector<std::string> args;      // argv[1..]
    std::optional<int32_t> guards_answer; // kernel answer to call 101
    std::function<void(zelkos::Process &)> setup; // before the guest starts
};

RunResult run_image(const std::string &image, const RunOptions &opt = {});

// A byte string from a C string literal that may hold zero bytes.
template <size_t N> std::string bytes(const char (&s)[N]) { return std::string(s, N - 1); }

} // namespace zt
