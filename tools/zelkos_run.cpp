// zelkos-run IMAGE [ARGS...]: runs a zelkos program on the stand-in and
// exits with its status.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "emu/calls.hpp"
#include "emu/process.hpp"

using namespace zelkos;

namespace {

// Exit statuses of the stand-in itself, apart from the guest's 0..255.
constexpr int kExitLimit = 124, kExitError = 125, kExitRefused = 126, kExitHalted = 135, kExitFault = 139;

void usage()
{
    fprintf(stderr,
            "usage: zelkos-run [options] IMAGE [ARGS...]\n"
            "  --root DIR          the guest's file-system root (default: .)\n"
            "  --trace             print each kernel call on stderr\n"
            "  --strsize N         bytes of a buffer shown by --trace (default 16)\n"
            "  --console MODE      raw, ansi or auto (default: ansi on a terminal)\n"
            "  --refuse-guards N   answer call 101 with N instead of installing guards\n"
            "  --tsc VALUE         fix what rdtsc returns\n"
            "  --max-insns N       stop the guest after N instructions\n"
            "  --timeout SECONDS   stop the guest after this much time\n"
            "  --stats             print instructions and kernel calls at the end\n");
    exit(kExitError);
}

long long number(const char *s)
{
    char *end;
    errno = 0;
    long long v = strtoll(s, &end, 0);
    if (errno || *end || end == s) {
        fprintf(stderr, "zelkos-run: not a number: %s\n", s);
        exit(kExitError);
    }
    return v;
}

} // namespace

int main(int argc, char **argv)
{
    ProcessOptions opt;
    std::string console = "auto";
    bool stats = false;
    std::optional<uint64_t> tsc;
    int i = 1;
    for (; i < argc && argv[i][0] == '-' && argv[i][1] == '-'; i++) {
        std::string a = argv[i];
        auto value = [&]() -> const char * {
            if (i + 1 >= argc)
                usage();
            return argv[++i];
        };
        if (a == "--") { i++; break; }
        else if (a == "--root") opt.root = value();
        else if (a == "--trace") opt.trace = stderr;
        else if (a == "--strsize") opt.trace_strsize = unsigned(number(value()));
        else if (a == "--console") console = value();
        else if (a == "--refuse-guards") opt.guards_answer = int32_t(number(value()));
        else if (a == "--tsc") tsc = uint64_t(number(value()));
        else if (a == "--max-insns") opt.limits.instructions = uint64_t(number(value()));
        else if (a == "--timeout") opt.limits.timeout_us = uint64_t(number(value())) * 1000000;
        else if (a == "--stats") stats = true;
        else usage();
    }
    if (i >= argc)
        usage();
    if (console == "raw") opt.console = ConsoleMode::Raw;
    else if (console == "ansi") opt.console = ConsoleMode::Ansi;
    else if (console == "auto") opt.console = isatty(1) ? ConsoleMode::Ansi : ConsoleMode::Raw;
    else usage();

    Image img;
    try {
        img = read_image(argv[i]);
    } catch (const ImageError &e) {
        fprintf(stderr, "zelkos-run: %s: %s\n", argv[i], e.what());
        return kExitRefused;
    }
    try {
        Process p(img, opt);
        p.kernel().files().use_host_stdin();
        p.set_tsc(tsc);
        if (stats)
            p.machine().count_instructions();
        std::vector<std::string> args(argv + i, argv + argc);
        Outcome o = p.run(args);
        p.kernel().console().finish();
        if (stats)
            fprintf(stderr, "zelkos-run: %llu instructions, %zu kernel calls\n",
                    (unsigned long long)p.machine().instructions(), p.kernel().log().size());
        switch (o.kind) {
        case Outcome::Exited: return o.status;
        case Outcome::Limit: fprintf(stderr, "zelkos-run: %s\n", o.report.c_str()); return kExitLimit;
        case Outcome::Halted: fprintf(stderr, "zelkos-run: %s\n", o.report.c_str()); return kExitHalted;
        case Outcome::Fault: fprintf(stderr, "zelkos-run: %s\n", o.report.c_str()); return kExitFault;
        default: fprintf(stderr, "zelkos-run: %s\n", o.report.c_str()); return kExitError;
        }
    } catch (const std::exception &e) {
        fprintf(stderr, "zelkos-run: %s\n", e.what());
        return kExitError;
    }
}
