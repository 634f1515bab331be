// Plain POSIX input and output shared by the image tools; see io.h.
#include "io.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace io {

namespace {

constexpr std::size_t kMaxSpace = 4096;

char outBuffer[64 * 1024];
std::size_t outLength = 0;
int outFailure = 0;
bool outDiscarded = false;

}  // namespace

void guardStandardDescriptors()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            const int null = open("/dev/null", O_RDWR);
            if (null >= 0 && null != fd) {
                close(null);  // fd is taken by something else; leave it
            }
        }
    }
}

void flushOut()
{
    const char *p = outBuffer;
    std::size_t left = outFailure != 0 || outDiscarded ? 0 : outLength;
    while (left > 0) {
        const ssize_t n = write(STDOUT_FILENO, p, left);
        if (n > 0) {
            p += n;
            left -= static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // A non-blocking standard output inherited from the caller.
            pollfd pfd = {STDOUT_FILENO, POLLOUT, 0};
            (void)poll(&pfd, 1, -1);
        } else {
            outFailure = n < 0 ? errno : EIO;
            break;
        }
    }
    outLength = 0;
}

int outError()
{
    return outFailure;
}

void discardOut()
{
    outLength = 0;
    outDiscarded = true;
}

bool outDropped()
{
    return outFailure != 0 || outDiscarded;
}

bool isStandardOutput(int fd)
{
    struct stat a = {};
    struct stat b = {};
    return fstat(fd, &a) == 0 && fstat(STDOUT_FILENO, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

char *outSpace(std::size_t length)
{
    if (length > kMaxSpace) {
        length = kMaxSpace;
    }
    if (sizeof(outBuffer) - outLength < length) {
        flushOut();
    }
    return outBuffer + outLength;
}

void outCommit(const char *end)
{
    outLength = static_cast<std::size_t>(end - outBuffer);
}

void printBytes(const char *bytes, std::size_t length)
{
    for (std::size_t done = 0; done < length;) {
        if (outLength == sizeof(outBuffer)) {
            flushOut();
        }
        std::size_t n = sizeof(outBuffer) - outLength;
        if (n > length - done) {
            n = length - done;
        }
        std::memcpy(outBuffer + outLength, bytes + done, n);
        outLength += n;
        done += n;
    }
}

void printText(const char *text)
{
    printBytes(text, std::strlen(text));
}

char *formatDecimal(char *p, std::uint64_t v)
{
    char digits[20];
    std::size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    while (n > 0) {
        *p++ = digits[--n];
    }
    return p;
}

std::size_t readFully(int fd, std::uint8_t *buf, std::size_t want, bool *ended, int *err)
{
    std::size_t got = 0;
    while (got < want) {
        const ssize_t n = read(fd, buf + got, want - got);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
        } else if (n == 0) {
            *ended = true;
            break;
        } else if (errno != EINTR) {
            *err = errno;
            break;
        }
    }
    return got;
}

int writeAll(int fd, iovec *iov, int count)
{
    while (count > 0) {
        const ssize_t n = writev(fd, iov, count < IOV_MAX ? count : IOV_MAX);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (n == 0) {
            return EIO;
        }
        auto done = static_cast<std::size_t>(n);
        while (count > 0 && done >= iov->iov_len) {
            done -= iov->iov_len;
            iov++;
            count--;
        }
        if (count > 0) {
            iov->iov_base = static_cast<std::uint8_t *>(iov->iov_base) + done;
            iov->iov_len -= done;
        }
    }
    return 0;
}

int writeAll(int fd, const std::uint8_t *buf, std::size_t length)
{
    iovec iov = {const_cast<std::uint8_t *>(buf), length};
    return writeAll(fd, &iov, 1);
}

int openOutput(const char *path, const struct stat *const *avoid, std::size_t count)
{
    const int fd = open(path, O_WRONLY | O_CREAT, 0666);
    if (fd < 0) {
        return -1;
    }
    struct stat out = {};
    if (fstat(fd, &out) != 0) {
        const int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    if (S_ISREG(out.st_mode)) {
        for (std::size_t i = 0; i < count; i++) {
            if (S_ISREG(avoid[i]->st_mode) && avoid[i]->st_dev == out.st_dev && avoid[i]->st_ino == out.st_ino) {
                close(fd);
                return kSameFile;
            }
        }
        // An empty file is left as it is: truncating it anyway would make ext4
        // flush the whole output when it is closed, as it does for every file
        // truncated to zero, which costs about as much as writing it.
        if (out.st_size != 0 && ftruncate(fd, 0) != 0) {
            const int err = errno;
            close(fd);
            errno = err;
            return -1;
        }
    }
    return fd;
}

bool reserve(int fd, std::uint64_t bytes)
{
#ifdef __linux__
    return bytes != 0 && fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(bytes)) == 0;
#else
    (void)fd;
    (void)bytes;
    return false;
#endif
}

int releaseReserve(int fd)
{
    struct stat st = {};
    if (fstat(fd, &st) != 0) {
        return errno;
    }
    // Truncating to its own size drops the blocks allocated beyond the end.
    const auto block = static_cast<std::uint64_t>(st.st_blksize > 0 ? st.st_blksize : 4096);
    const auto used = (static_cast<std::uint64_t>(st.st_size) + block - 1) / block * block;
    if (static_cast<std::uint64_t>(st.st_blocks) * 512 > used &&
        ftruncate(fd, st.st_size) != 0) {
        return errno;
    }
    return 0;
}

}  // namespace io
