#include "emu/files.hpp"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "emu/console.hpp"

namespace zelkos {
namespace {

// The guest's open flags, as its kernel defines them.
constexpr uint32_t G_WRONLY = 0x1, G_RDWR = 0x2, G_CREAT = 0x40, G_TRUNC = 0x200;

int neg_errno() { return errno ? -errno : -5; }

} // namespace

Files::Files(const std::string &root, Console &console) : console_(console)
{
    root_ = ::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (root_ < 0)
        throw std::runtime_error("cannot open root directory " + root);
    fds_[0] = Desc(Desc::Input);
    fds_[1] = Desc(Desc::Console);
    fds_[2] = Desc(Desc::Console);
}

Files::~Files()
{
    for (auto &[fd, d] : fds_)
        if (d.kind == Desc::File)
            ::close(d.host_fd);
    ::close(root_);
}

void Files::use_host_stdin() { fds_[0] = Desc(Desc::HostInput, 0); }

void Files::set_input(int fd, std::string bytes)
{
    Desc d(Desc::Input);
    d.bytes = std::move(bytes);
    fds_[fd] = std::move(d);
}

void Files::attach_pipe(int fd) { fds_[fd] = Desc(Desc::Pipe); }

const std::string &Files::pipe_bytes(int fd) const
{
    static const std::string none;
    auto it = fds_.find(fd);
    return it == fds_.end() ? none : it->second.bytes;
}

int Files::host_fd(int32_t fd) const
{
    auto it = fds_.find(fd);
    return it == fds_.end() || it->second.kind != Desc::File ? -1 : it->second.host_fd;
}

Files::Desc *Files::find(int32_t fd)
{
    auto it = fds_.find(fd);
    return it == fds_.end() ? nullptr : &it->second;
}

int32_t Files::add(Desc d)
{
    int32_t fd = 0;
    while (fds_.count(fd))
        fd++;
    fds_[fd] = std::move(d);
    return fd;
}

int32_t Files::open_host(const std::string &path, uint64_t flags, uint64_t mode)
{
    if (path.empty())
        return -ENOENT;
    open_how how{};
    how.flags = flags | O_CLOEXEC | O_NOCTTY;
    how.mode = mode;
    how.resolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS;
    long fd = syscall(SYS_openat2, root_, path.c_str(), &how, sizeof how);
    return fd < 0 ? neg_errno() : int32_t(fd);
}

int32_t Files::open(const std::string &path, uint32_t flags)
{
    if (flags & ~(G_WRONLY | G_RDWR | G_CREAT | G_TRUNC))
        return -EINVAL;
    uint64_t host = (flags & G_RDWR) ? O_RDWR : (flags & G_WRONLY) ? O_WRONLY : O_RDONLY;
    if (flags & G_CREAT)
        host |= O_CREAT;
    if (flags & G_TRUNC)
        host |= O_TRUNC;
    int32_t hfd = open_host(path, host, (flags & G_CREAT) ? 0644 : 0);
    if (hfd < 0)
        return hfd;
    return add(Desc(Desc::File, hfd));
}

int32_t Files::close(int32_t fd)
{
    Desc *d = find(fd);
    if (!d)
        return -EBADF;
    if (d->kind == Desc::File)
        ::close(d->host_fd);
    fds_.erase(fd);
    return 0;
}

int32_t Files::read(int32_t fd, char *buf, uint32_t n)
{
    Desc *d = find(fd);
    if (!d)
        return -EBADF;
    switch (d->kind) {
    case Desc::Input: {
        size_t k = std::min<size_t>(n, d->bytes.size() - d->at);
        d->bytes.copy(buf, k, d->at);
        d->at += k;
        return int32_t(k);
    }
    case Desc::HostInput:
    case Desc::File: {
        ssize_t r = ::read(d->host_fd, buf, n);
        return r < 0 ? neg_errno() : int32_t(r);
    }
    default:
        return -EBADF;
    }
}

int32_t Files::write(int32_t fd, const char *buf, uint32_t n)
{
    Desc *d = find(fd);
    if (!d)
        return -EBADF;
    switch (d->kind) {
    case Desc::Console:
        console_.write(std::string(buf, n));
        return int32_t(n);
    case Desc::Pipe:
        d->bytes.append(buf, n);
        return int32_t(n);
    case Desc::File: {
        ssize_t r = ::write(d->host_fd, buf, n);
        return r < 0 ? neg_errno() : int32_t(r);
    }
    default:
        return -EBADF;
    }
}

int32_t Files::lseek(int32_t fd, int32_t offset, int32_t whence)
{
    Desc *d = find(fd);
    if (!d)
        return -EBADF;
    if (d->kind != Desc::File)
        return -ESPIPE;
    if (whence < 0 || whence > 2)
        return -EINVAL;
    off_t r = ::lseek(d->host_fd, offset, whence);
    if (r < 0)
        return neg_errno();
    if (r > INT32_MAX)
        return -EOVERFLOW;
    return int32_t(r);
}

int32_t Files::writefile(const std::string &path, const char *buf, uint32_t n)
{
    int32_t hfd = open_host(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (hfd < 0)
        return hfd;
    uint32_t done = 0;
    while (done < n) {
        ssize_t r = ::write(hfd, buf + done, n - done);
        if (r <= 0) {
            int32_t e = r < 0 ? neg_errno() : -EIO;
            ::close(hfd);
            return e;
        }
        done += uint32_t(r);
    }
    ::close(hfd);
    return int32_t(n);
}

} // namespace zelkos
