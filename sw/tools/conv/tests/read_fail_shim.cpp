// Preloaded into a tool by the tests: read() on files the tool opened itself
// (descriptor 3 and up) fails with EIO once READ_FAIL_AFTER bytes have been
// delivered, as a failing disk would.
#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {

using ReadFn = ssize_t (*)(int, void *, size_t);

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
