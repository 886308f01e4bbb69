// The file service on arbitrary guest paths: whatever the path, nothing
// outside the root is opened, created, changed or read.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "emu/console.hpp"
#include "emu/files.hpp"

namespace fs = std::filesystem;

namespace {

struct Sandbox {
    fs::path base, root, outside;
    Sandbox()
    {
        base = fs::temp_directory_path() / ("zelkos-fuzz-" + std::to_string(getpid()));
        root = base / "root";
        outside = base / "outside";
        fs::remove_all(base);
        fs::create_directories(root / "d");
        fs::create_directories(outside);
        std::ofstream(outside / "secret") << "secret";
        std::ofstream(root / "f") << "inside";
        fs::create_symlink("../outside/secret", root / "up");
        fs::create_symlink(outside / "secret", root / "abs");
        fs::create_symlink("../../outside", root / "d" / "deep");
    }
    ~Sandbox() { fs::remove_all(base); }

    // The outside tree, exactly as it was made.
    bool outside_intact() const
    {
        size_t n = 0;
        for (auto &e : fs::recursive_directory_iterator(base, fs::directory_options::none)) {
            (void)e;
            n++;
        }
        std::ifstream f(outside / "secret");
        std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        return s == "secret" && fs::directory_iterator(outside) != fs::directory_iterator() &&
               std::distance(fs::directory_iterator(outside), fs::directory_iterator()) == 1 &&
               std::distance(fs::directory_iterator(base), fs::directory_iterator()) == 2;
    }
};

bool under(const fs::path &p, const fs::path &dir)
{
    auto rel = p.lexically_relative(dir);
    return !rel.empty() && *rel.begin() != "..";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Sandbox box;
    if (size < 1)
        return 0;
    std::string path(reinterpret_cast<const char *>(data) + 1, size - 1);
    if (path.find('\0') != std::string::npos)
        return 0;   // a guest path ends at its first zero byte
    zelkos::Console con;
    zelkos::Files files(box.root.string(), con);
    uint32_t flags = data[0] & 0x3 ? 0x241 : 0;   // read, or create for writing
    int32_t fd = files.open(path, flags);
    if (fd >= 0) {
        int host = files.host_fd(fd);
        fs::path real = fs::read_symlink("/proc/self/fd/" + std::to_string(host));
        if (!under(real, fs::canonical(box.root)))
            abort();
        files.close(fd);
    }
    if (data[0] & 0x4)
        files.writefile(path, "x", 1);
    if (!box.outside_intact())
        abort();
    // Keep the root small and the same for the next input.
    for (auto &e : fs::directory_iterator(box.root)) {
        auto name = e.path().filename();
        if (name != "d" && name != "f" && name != "up" && name != "abs")
            fs::remove_all(e.path());
    }
    return 0;
}
