// Preloaded into a tool by the tests: reads of files the tool opened itself
// (descriptor 3 and up) fail with EIO past READ_FAIL_AFTER bytes, as a failing
// disk would: read() and readv() once that many bytes have been delivered,
// pread() and preadv() at file offsets from there on.
#include <dlfcn.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace {

using ReadFn = ssize_t (*)(int, void *, size_t);
using ReadvFn = ssize_t (*)(int, const iovec *, int);
using PreadFn = ssize_t (*)(int, void *, size_t, off_t);
using PreadvFn = ssize_t (*)(int, const iovec *, int, off_t);

long long delivered = 0;  // by read() and readv()

// READ_FAIL_AFTER, or -1 where the read is left alone.
long long limitFor(int fd)
{
    static const char *text = std::getenv("READ_FAIL_AFTER");
    return fd < 3 || text == nullptr ? -1 : std::atoll(text);
}

// How many of `want` bytes a read from position `at` may deliver; -1: none,
// it fails.
long long allowance(long long limit, long long at, std::size_t want)
{
    const long long left = limit - at;
    if (left <= 0) {
        return -1;
    }
    return static_cast<long long>(want) < left ? static_cast<long long>(want) : left;
}

std::size_t total(const iovec *iov, int count)
{
    std::size_t sum = 0;
    for (int i = 0; i < count; i++) {
        sum += iov[i].iov_len;
    }
    return sum;
}

// The first `bytes` of the iovecs into `out` (IOV_MAX entries); their count.
int firstBytes(const iovec *iov, int count, long long bytes, iovec *out)
{
    int n = 0;
    for (; n < count && n < IOV_MAX && bytes > 0; n++) {
        out[n] = iov[n];
        if (static_cast<long long>(out[n].iov_len) > bytes) {
            out[n].iov_len = static_cast<std::size_t>(bytes);
        }
        bytes -= static_cast<long long>(out[n].iov_len);
    }
    return n;
}

ssize_t fail()
{
    errno = EIO;
    return -1;
}

ssize_t failingPread(PreadFn real, int fd, void *buf, size_t count, off_t offset)
{
    const long long limit = limitFor(fd);
    if (limit < 0) {
        return real(fd, buf, count, offset);
    }
    const long long allowed = allowance(limit, offset, count);
    return allowed < 0 ? fail() : real(fd, buf, static_cast<size_t>(allowed), offset);
}

ssize_t failingPreadv(PreadvFn real, int fd, const iovec *iov, int count, off_t offset)
{
    const long long limit = limitFor(fd);
    if (limit < 0) {
        return real(fd, iov, count, offset);
    }
    const long long allowed = allowance(limit, offset, total(iov, count));
    iovec first[IOV_MAX];
    return allowed < 0 ? fail() : real(fd, first, firstBytes(iov, count, allowed, first), offset);
}

}  // namespace

extern "C" ssize_t read(int fd, void *buf, size_t count)
{
    static const auto real = reinterpret_cast<ReadFn>(dlsym(RTLD_NEXT, "read"));
    const long long limit = limitFor(fd);
    if (limit < 0) {
        return real(fd, buf, count);
    }
    const long long allowed = allowance(limit, delivered, count);
    const ssize_t n = allowed < 0 ? fail() : real(fd, buf, static_cast<size_t>(allowed));
    delivered += n > 0 ? n : 0;
    return n;
}

extern "C" ssize_t readv(int fd, const iovec *iov, int count)
{
    static const auto real = reinterpret_cast<ReadvFn>(dlsym(RTLD_NEXT, "readv"));
    const long long limit = limitFor(fd);
    if (limit < 0) {
        return real(fd, iov, count);
    }
    const long long allowed = allowance(limit, delivered, total(iov, count));
    iovec first[IOV_MAX];
    const ssize_t n = allowed < 0 ? fail() : real(fd, first, firstBytes(iov, count, allowed, first));
    delivered += n > 0 ? n : 0;
    return n;
}

// Both names of each, whichever the headers map the call to.
extern "C" ssize_t shimPread(int fd, void *buf, size_t count, off_t offset) __asm__("pread");
extern "C" ssize_t shimPread64(int fd, void *buf, size_t count, off_t offset) __asm__("pread64");
extern "C" ssize_t shimPreadv(int fd, const iovec *iov, int count, off_t offset) __asm__("preadv");
extern "C" ssize_t shimPreadv64(int fd, const iovec *iov, int count, off_t offset) __asm__("preadv64");

extern "C" ssize_t shimPread(int fd, void *buf, size_t count, off_t offset)
{
    static const auto real = reinterpret_cast<PreadFn>(dlsym(RTLD_NEXT, "pread"));
    return failingPread(real, fd, buf, count, offset);
}

extern "C" ssize_t shimPread64(int fd, void *buf, size_t count, off_t offset)
{
    static const auto real = reinterpret_cast<PreadFn>(dlsym(RTLD_NEXT, "pread64"));
    return failingPread(real, fd, buf, count, offset);
}

extern "C" ssize_t shimPreadv(int fd, const iovec *iov, int count, off_t offset)
{
    static const auto real = reinterpret_cast<PreadvFn>(dlsym(RTLD_NEXT, "preadv"));
    return failingPreadv(real, fd, iov, count, offset);
}

extern "C" ssize_t shimPreadv64(int fd, const iovec *iov, int count, off_t offset)
{
    static const auto real = reinterpret_cast<PreadvFn>(dlsym(RTLD_NEXT, "preadv64"));
    return failingPreadv(real, fd, iov, count, offset);
}
