// The guest's descriptors and the file service. Guest paths are resolved by
// the host kernel beneath one root directory (openat2 with RESOLVE_IN_ROOT):
// "..", absolute paths and symbolic links all stay inside it. A host path
// is never built by joining strings.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace zelkos {

class Console;

class Files {
public:
    // root: the host directory the guest sees as "/".
    Files(const std::string &root, Console &console);
    ~Files();
    Files(const Files &) = delete;
    Files &operator=(const Files &) = delete;

    // Standard input: the host's own (zelkos-run) or bytes given here.
    void use_host_stdin();
    void set_input(int fd, std::string bytes);
    // A descriptor whose writes are collected (a pipe the harness reads).
    void attach_pipe(int fd);
    const std::string &pipe_bytes(int fd) const;
    // The host descriptor behind a guest file descriptor, or -1.
    int host_fd(int32_t fd) const;

    // Each returns the call's result: a count or descriptor, or -errno.
    int32_t open(const std::string &path, uint32_t flags);
    int32_t close(int32_t fd);
    int32_t read(int32_t fd, char *buf, uint32_t n);
    int32_t write(int32_t fd, const char *buf, uint32_t n);
    int32_t lseek(int32_t fd, int32_t offset, int32_t whence);
    int32_t writefile(const std::string &path, const char *buf, uint32_t n);

private:
    struct Desc {
        enum Kind { Console, Input, HostInput, Pipe, File } kind;
        explicit Desc(Kind k = Console, int fd = -1) : kind(k), host_fd(fd) {}
        int host_fd;
        std::string bytes;  // Input: what is left to read; Pipe: what was written
        size_t at = 0;
    };
    int32_t open_host(const std::string &path, uint64_t flags, uint64_t mode);
    int32_t add(Desc d);
    Desc *find(int32_t fd);

    int root_ = -1;
    Console &console_;
    std::map<int32_t, Desc> fds_;
};

} // namespace zelkos
