// Preloaded into a tool by the tests: read() on files the tool opened itself
// (descriptor 3 and up) fails with EIO once READ_FAIL_AFTER bytes have been
// delivered, as a failing disk would; pread() fails at file offsets from
// READ_FAIL_AFTER on.
#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {

using ReadFn = ssize_t (*)(int, void *, size_t);
using PreadFn = ssize_t (*)(int, void *, size_t, off_t);

long long delivered = 0;

}  // namespace

extern "C" ssize_t read(int fd, void *buf, size_t count)
{
    static const auto real = reinterpret_cast<ReadFn>(dlsym(RTLD_NEXT, "read"));
    static const char *limitText = std::getenv("READ_FAIL_AFTER");
    if (fd < 3 || limitText == nullptr) {
        return real(fd, buf, count);
    }
    const long long limit = std::atoll(limitText);
    if (delivered >= limit) {
        errno = EIO;
        return -1;
    }
    if (static_cast<long long>(count) > limit - delivered) {
        count = static_cast<size_t>(limit - delivered);
    }
    const ssize_t n = real(fd, buf, count);
    if (n > 0) {
        delivered += n;
    }
    return n;
}

namespace {

ssize_t failingPread(PreadFn real, int fd, void *buf, size_t count, off_t offset)
{
    static const char *limitText = std::getenv("READ_FAIL_AFTER");
    if (fd < 3 || limitText == nullptr) {
        return real(fd, buf, count, offset);
    }
    const long long limit = std::atoll(limitText);
    if (offset >= limit) {
        errno = EIO;
        return -1;
    }
    if (static_cast<long long>(count) > limit - offset) {
        count = static_cast<size_t>(limit - offset);
    }
    return real(fd, buf, count, offset);
}

}  // namespace

// Both names, whichever the headers map pread to.
extern "C" ssize_t shimPread(int fd, void *buf, size_t count, off_t offset) __asm__("pread");
extern "C" ssize_t shimPread64(int fd, void *buf, size_t count, off_t offset) __asm__("pread64");

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
