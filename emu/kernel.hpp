// The kernel behind int 0x80: reads the call from the registers, records
// it, lets a script answer or runs the service, and returns the result in
// eax with ebx, ecx and edx clobbered.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "emu/console.hpp"
#include "emu/files.hpp"
#include "emu/types.hpp"

namespace zelkos {

class Machine;

// A scripted answer. For read, `bytes` are delivered into the guest's buffer
// (at most the count asked for) and their number returned. For write, a
// positive value is how many bytes the kernel takes: the descriptor receives
// exactly those. Otherwise the value is returned and no service runs.
struct Answer {
    int32_t value = 0;
    std::optional<std::string> bytes;
};

struct KernelOptions {
    std::string root = ".";                 // the guest's file-system root
    ConsoleMode console = ConsoleMode::Quiet;
    std::optional<int32_t> guards_answer;   // refuse call 101 with this value
    FILE *trace = nullptr;                  // one line per call, when set
    unsigned trace_strsize = 16;
};

class Kernel {
public:
    Kernel(Machine &m, const KernelOptions &opt);

    // Called for every int 0x80.
    void gate();

    using Script = std::function<std::optional<Answer>(const CallRecord &)>;
    void set_script(Script s) { script_ = std::move(s); }
    // What call 101 does when it is granted (the process knows the pages).
    void on_guards(std::function<void()> fn) { guards_ = std::move(fn); }

    const std::vector<CallRecord> &log() const { return log_; }
    void clear_log() { log_.clear(); }
    Console &console() { return console_; }
    Files &files() { return files_; }
    bool guards_installed() const { return guards_on_; }
    void install_guards();

private:
    CallRecord capture();
    int32_t serve(CallRecord &rec);
    int32_t apply(CallRecord &rec, const Answer &a);
    // Guest memory as the kernel may use it: permission-checked. On a bad
    // address the run ends with a fault report and nullopt is returned.
    std::optional<std::string> fetch(const CallRecord &rec, uint32_t addr, uint32_t n);
    bool store(const CallRecord &rec, uint32_t addr, const std::string &bytes);
    std::optional<std::string> fetch_str(const CallRecord &rec, uint32_t addr);
    void kernel_fault(const CallRecord &rec, const char *what, uint32_t addr);

    Machine &m_;
    KernelOptions opt_;
    Console console_;
    Files files_;
    Script script_;
    std::function<void()> guards_;
    bool guards_on_ = false;
    bool faulted_ = false;
    std::vector<CallRecord> log_;
};

} // namespace zelkos
