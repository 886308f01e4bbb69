// zelkos-bench: the guest cost of the runtime's paths (instructions and
// kernel calls, deterministic), and the stand-in against QEMU user mode
// (wall time). Prints one table and writes build/bench.json.
#include <sys/resource.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "emu/session.hpp"

using namespace zelkos;
namespace fs = std::filesystem;

namespace {

const std::string kBuild = ZELKOS_BUILD_DIR;

struct Row {
    std::string group, path, unit;
    Row(std::string g, std::string p, std::string u) : group(std::move(g)), path(std::move(p)), unit(std::move(u)) {}
    double insns = 0;                 // per operation
    std::map<int, double> calls;      // kernel calls per operation, by number
    double value = 0;                 // for timing rows
    std::string note;
};

std::vector<Row> g_rows;

[[noreturn]] void die(const std::string &why)
{
    fprintf(stderr, "zelkos-bench: %s\n", why.c_str());
    exit(1);
}

// One fresh runtime process, called by symbol name; any failure ends the
// benchmark, which measures only paths that work.
class Bench {
public:
    explicit Bench(std::shared_ptr<const Image> img, const std::string &root = ".") : s_(std::move(img), options(root))
    {
        s_.process().machine().count_instructions();
    }

    uint32_t alloc(uint32_t n, char fill = 0) { return must(s_.alloc(n, uint8_t(fill)), "scratch"); }
    uint32_t str(const std::string &text) { return must(s_.str(text), "scratch"); }
    uint32_t read32(uint32_t addr)
    {
        uint32_t v = 0;
        s_.read(addr, &v, 4);
        return v;
    }
    uint32_t sym(const std::string &name) { return must(s_.symbol(name), "symbol " + name); }
    uint32_t call(const std::string &fn, std::vector<uint32_t> args)
    {
        CallOutcome o = s_.call(sym(fn), args);
        if (!o.returned())
            die(fn + " did not return: " + o.outcome.report);
        return o.eax;
    }
    Process &process() { return s_.process(); }

private:
    static ProcessOptions options(const std::string &root)
    {
        ProcessOptions o;
        o.root = root;
        return o;
    }
    static uint32_t must(std::optional<uint32_t> v, const std::string &what)
    {
        if (!v)
            die("no " + what);
        return *v;
    }
    Session s_;
};

// Guest cost of `ops` operations performed by fn.
void cost(Bench &s, const std::string &group, const std::string &path, const std::string &unit, int ops,
          const std::function<void()> &fn)
{
    uint64_t i0 = s.process().machine().instructions();
    size_t c0 = s.process().kernel().log().size();
    fn();
    Row r{group, path, unit};
    r.insns = double(s.process().machine().instructions() - i0) / ops;
    auto &log = s.process().kernel().log();
    for (size_t i = c0; i < log.size(); i++)
        r.calls[log[i].nr] += 1.0 / ops;
    g_rows.push_back(r);
}

void guest_costs(const std::shared_ptr<const Image> &rt, const std::string &root)
{
    for (int answer : {0, -1}) {
        ProcessOptions o;
        if (answer)
            o.guards_answer = answer;
        Process p(read_image(kBuild + "/lumbrel"), o);
        p.machine().count_instructions();
        Outcome out = p.run({"lumbrel"});
        if (out.kind != Outcome::Exited)
            die("lumbrel: " + out.report);
        Row r{"command", "lumbrel, entry to exit, kernel answers " + std::to_string(answer), "run"};
        r.insns = double(p.machine().instructions());
        for (auto &c : p.kernel().log())
            r.calls[c.nr] += 1;
        g_rows.push_back(r);
    }

    const std::string text4k(4096, 'a');
    {
        Bench s(rt);
        uint32_t hello = s.str("Hello, world"), out = s.read32(s.sym("stdout"));
        cost(s, "output", "puts(\"Hello, world\")", "call", 1, [&] { s.call("puts", {hello}); });
        cost(s, "output", "fputs(\"Hello, world\", stdout)", "call", 1, [&] { s.call("fputs", {hello, out}); });
        uint32_t fmt = s.str("%d %s\n"), abc = s.str("abc");
        cost(s, "output", "printf(\"%d %s\\n\", 42, \"abc\")", "call", 1,
             [&] { s.call("printf", {fmt, 42, abc}); });
        uint32_t buf = s.alloc(8192), mixed = s.str("%d:%x [%-6s] %c%%");
        cost(s, "output", "snprintf(64, \"%d:%x [%-6s] %c%%\")", "call", 1,
             [&] { s.call("snprintf", {buf, 64, mixed, uint32_t(-1234), 0xBEEF, abc, 'z'}); });
        uint32_t pct = s.str("%s"), big = s.str(text4k);
        cost(s, "output", "snprintf(8192, \"%s\", 4 KiB)", "call", 1,
             [&] { s.call("snprintf", {buf, 8192, pct, big}); });
    }
    {
        Bench s(rt, root);
        uint32_t in = s.str("  -42 17 abc"), fmt = s.str("%d %d %s"), a = s.alloc(4), b = s.alloc(4),
                 w = s.alloc(16);
        cost(s, "input", "sscanf(\"  -42 17 abc\", \"%d %d %s\")", "call", 1,
             [&] { s.call("sscanf", {in, fmt, a, b, w}); });
        uint32_t f = s.call("fopen", {s.str("tokens.txt"), s.str("r")});
        if (!f)
            die("fopen tokens.txt failed");
        uint32_t d = s.str("%d");
        cost(s, "input", "fscanf(f, \"%d\") per token from a file", "token", 100,
             [&] { for (int i = 0; i < 100; i++) s.call("fscanf", {f, d, a}); });
    }
    {
        Bench s(rt);
        uint32_t end = s.alloc(4);
        std::vector<std::pair<std::string, std::string>> texts = {
            {"\"3.14159\"", "3.14159"},
            {"\"6.02214076e23\"", "6.02214076e23"},
            {"\"0x1.8p1\"", "0x1.8p1"},
            {"1 and 2000 zeros (worst case)", "1" + std::string(2000, '0')},
            {"\"1e-5000\" (worst case)", "1e-5000"},
            {"2000-digit fraction (worst case)", "0." + std::string(2000, '7')},
        };
        for (auto &[label, text] : texts) {
            uint32_t t = s.str(text);
            for (const char *fn : {"strtod", "strtold"})
                cost(s, "numbers", std::string(fn) + " " + label, "call", 1,
                     [&] { s.call(fn, {t, end}); });
        }
        uint32_t u = s.str("4000000000");
        cost(s, "numbers", "strtoul of a 10-digit number", "call", 1, [&] { s.call("strtoul", {u, end, 10}); });
    }
    {
        Bench s(rt);
        cost(s, "memory", "malloc(32)", "call", 100, [&] { for (int i = 0; i < 100; i++) s.call("malloc", {32}); });
        cost(s, "memory", "calloc(1, 4096)", "call", 10, [&] { for (int i = 0; i < 10; i++) s.call("calloc", {1, 4096}); });
        uint32_t p = s.call("malloc", {64});
        cost(s, "memory", "realloc doubling from 64 bytes to 64 KiB", "call", 10, [&] {
            for (uint32_t n = 128; n <= 65536; n *= 2)
                p = s.call("realloc", {p, n});
        });
    }
    {
        Bench s(rt);
        uint32_t a = s.alloc(4096, 'a'), b = s.alloc(4096, 'a');
        uint32_t sa = s.str(text4k), sb = s.str(text4k), needle = s.str("aaaab");
        cost(s, "blocks", "memset 4 KiB", "call", 1, [&] { s.call("memset", {a, 0x5A, 4096}); });
        cost(s, "blocks", "memset 15 bytes", "call", 1, [&] { s.call("memset", {a, 1, 15}); });
        cost(s, "blocks", "memset 16 bytes", "call", 1, [&] { s.call("memset", {a, 1, 16}); });
        cost(s, "blocks", "memcpy 4 KiB", "call", 1, [&] { s.call("memcpy", {a, b, 4096}); });
        cost(s, "blocks", "memmove 4 KiB, overlapping upward", "call", 1, [&] { s.call("memmove", {a + 16, a, 4000}); });
        cost(s, "blocks", "strlen 4 KiB", "call", 1, [&] { s.call("strlen", {sa}); });
        cost(s, "blocks", "strcmp 4 KiB equal", "call", 1, [&] { s.call("strcmp", {sa, sb}); });
        cost(s, "blocks", "strstr \"aaaab\" in 4 KiB of \"a\"", "call", 1, [&] { s.call("strstr", {sa, needle}); });
    }
    {
        Bench s(rt, root);
        uint32_t f = s.call("fopen", {s.str("deferred.out"), s.str("w")});
        if (!f)
            die("fopen deferred.out failed");
        uint32_t piece = s.str(std::string(64, 'z'));
        cost(s, "files", "64 KiB deferred file: 1024 fputs of 64 bytes, then fclose", "file", 1, [&] {
            for (int i = 0; i < 1024; i++)
                s.call("fputs", {piece, f});
            s.call("fclose", {f});
        });
        if (fs::file_size(fs::path(root) / "deferred.out") != 65536)
            die("the deferred file was not stored whole");
    }
}

// Median wall and CPU (user + system) time of running argv, in ms.
struct Times {
    double wall = -1, cpu = -1;
};

Times run_times(const std::vector<std::string> &argv, int runs)
{
    std::vector<double> wall, cpu;
    for (int i = 0; i < runs; i++) {
        auto t0 = std::chrono::steady_clock::now();
        pid_t pid = fork();
        if (pid == 0) {
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            std::vector<char *> a;
            for (auto &s : argv)
                a.push_back(const_cast<char *>(s.c_str()));
            a.push_back(nullptr);
            execvp(a[0], a.data());
            _exit(127);
        }
        int status = 0;
        rusage ru{};
        wait4(pid, &status, 0, &ru);
        if (!WIFEXITED(status) || WEXITSTATUS(status) == 127)
            return {};
        wall.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
        cpu.push_back((ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 +
                      (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3);
    }
    std::sort(wall.begin(), wall.end());
    std::sort(cpu.begin(), cpu.end());
    return {wall[wall.size() / 2], cpu[cpu.size() / 2]};
}

void timing(const std::string &path, const std::string &unit, double v, const std::string &note = "")
{
    Row r{"stand-in", path, unit};
    r.value = v;
    r.note = note;
    g_rows.push_back(r);
}

void compare(const std::string &what, const std::vector<std::string> &ours,
             const std::vector<std::string> &theirs, bool qemu, int runs)
{
    Times a = run_times(ours, runs);
    timing(what + " under zelkos-run, wall", "ms", a.wall);
    timing(what + " under zelkos-run, CPU", "ms", a.cpu);
    if (!qemu) {
        timing(what + " under qemu-i386", "ms", -1, "qemu-i386 not installed");
        return;
    }
    Times b = run_times(theirs, runs);
    timing(what + " under qemu-i386, wall", "ms", b.wall);
    timing(what + " under qemu-i386, CPU", "ms", b.cpu);
    timing(what + ": zelkos-run / qemu-i386, wall", "ratio", a.wall / b.wall, "below 1.0: the stand-in is faster");
}

void stand_in_vs_qemu(const std::shared_ptr<const Image> &rt)
{
    bool qemu = system("command -v qemu-i386 >/dev/null 2>&1") == 0;
    compare("whole short run (lumbrel; hello-linux)", {kBuild + "/zelkos-run", kBuild + "/lumbrel"},
            {"qemu-i386", kBuild + "/bench/hello-linux"}, qemu, 41);
    compare("10^8-step LCG loop", {kBuild + "/zelkos-run", kBuild + "/bench/loop-zelkos"},
            {"qemu-i386", kBuild + "/bench/loop-linux"}, qemu, 3);

    // The harness's own speed: what decides how long the test suite takes.
    {
        Bench s(rt);
        const int n = 20000;
        auto t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < n; i++)
            s.call("abs", {uint32_t(-i)});
        double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        timing("harness: guest function calls", "calls/s", n / secs);
    }
    {
        const int n = 200;
        auto t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < n; i++) {
            Bench s(rt);
            s.call("abs", {1});
        }
        double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        timing("harness: fresh image loads (with one call)", "loads/s", n / secs);
    }
}

std::string calls_text(const std::map<int, double> &calls)
{
    std::string s;
    for (auto &[nr, n] : calls) {
        char b[48];
        snprintf(b, sizeof b, "%s%g x %d", s.empty() ? "" : ", ", n, nr);
        s += b;
    }
    return s.empty() ? "0" : s;
}

std::string json_escape(const std::string &s)
{
    std::string o;
    for (char c : s) {
        if (c == '"' || c == '\\')
            o += '\\';
        o += c;
    }
    return o;
}

void report()
{
    std::string group;
    for (auto &r : g_rows) {
        if (r.group != group) {
            printf("\n%s\n", r.group.c_str());
            group = r.group;
        }
        if (r.group == "stand-in")
            printf("  %-58s %12.3f %-8s %s\n", r.path.c_str(), r.value, r.unit.c_str(), r.note.c_str());
        else
            printf("  %-58s %10.1f insns/%-5s kernel calls/%s: %s\n", r.path.c_str(), r.insns, r.unit.c_str(),
                   r.unit.c_str(), calls_text(r.calls).c_str());
    }
    std::ofstream j(kBuild + "/bench.json");
    j << "[\n";
    for (size_t i = 0; i < g_rows.size(); i++) {
        auto &r = g_rows[i];
        j << "  {\"group\": \"" << r.group << "\", \"path\": \"" << json_escape(r.path) << "\", \"unit\": \""
          << r.unit << "\"";
        if (r.group == "stand-in") {
            j << ", \"value\": " << r.value;
        } else {
            j << ", \"instructions\": " << r.insns << ", \"kernel_calls\": {";
            bool first = true;
            for (auto &[nr, n] : r.calls) {
                j << (first ? "" : ", ") << "\"" << nr << "\": " << n;
                first = false;
            }
            j << "}";
        }
        if (!r.note.empty())
            j << ", \"note\": \"" << json_escape(r.note) << "\"";
        j << "}" << (i + 1 < g_rows.size() ? "," : "") << "\n";
    }
    j << "]\n";
    printf("\nwritten: %s/bench.json\n", kBuild.c_str());
}

} // namespace

int main()
{
    auto rt = std::make_shared<const Image>(read_image(kBuild + "/runtime.elf"));
    fs::path root = fs::temp_directory_path() / ("zelkos-bench-" + std::to_string(getpid()));
    fs::create_directories(root);
    {
        std::ofstream t(root / "tokens.txt");
        for (int i = 0; i < 120; i++)
            t << (i * 7919) % 100000 << (i % 3 ? " " : "\n");
    }
    guest_costs(rt, root.string());
    stand_in_vs_qemu(rt);
    fs::remove_all(root);
    report();
}
