// Plain POSIX input and output shared by the image tools; see io.h.
#include "io.h"

#include <fcntl.h>
#include <libgen.h>
#ifdef __linux__
#include <linux/magic.h>
#include <sys/vfs.h>
#endif
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace io {

namespace {

[[maybe_unused]] constexpr std::size_t kMaxSpace = 4096;  // checked by assert only

char outBuffer[64 * 1024];
std::size_t outLength = 0;
int outFailure = 0;
bool outDiscarded = false;
int outFd = STDOUT_FILENO;  // where the report goes
unsigned closedAtStart = 0;  // the standard descriptors that were closed

// A descriptor inherited in non-blocking mode (a pipe shared with a caller
// that set O_NONBLOCK) answers EAGAIN when it is not ready: wait until it is,
// as a blocking call would. Returns whether the call should be retried.
bool retryLater(int fd, short events)
{
    if (errno == EINTR) {
        return true;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
        return false;
    }
    pollfd pfd = {fd, events, 0};
    (void)poll(&pfd, 1, -1);
    return true;
}

}  // namespace

unsigned guardStandardDescriptors()
{
    unsigned closed = 0;
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            closed |= 1u << fd;
            const int null = open("/dev/null", O_RDWR);
            if (null >= 0 && null != fd) {
                close(null);  // fd is taken by something else; leave it
            }
        }
    }
    closedAtStart = closed;
    return closed;
}

bool wasClosed(int fd)
{
    return fd >= STDIN_FILENO && fd <= STDERR_FILENO && (closedAtStart & 1u << fd) != 0;
}

bool namesStandardStream(const char *path, int fd)
{
    // A closed descriptor has nothing to compare with: the names themselves.
    const char *const names[3][3] = {{"/dev/stdin", "/dev/fd/0", "/proc/self/fd/0"},
                                     {"/dev/stdout", "/dev/fd/1", "/proc/self/fd/1"},
                                     {"/dev/stderr", "/dev/fd/2", "/proc/self/fd/2"}};
    for (const char *name : names[fd]) {
        if (std::strcmp(path, name) == 0) {
            return true;
        }
    }
    return false;
}

void reportToStandardError()
{
    flushOut();
    outFd = STDERR_FILENO;
}

void flushOut()
{
    if (outFailure == 0 && !outDiscarded && outLength > 0) {
        // Written to the /dev/null that stands in for a closed descriptor, the
        // report would be lost without a word.
        outFailure = wasClosed(outFd)
                         ? EBADF
                         : writeAll(outFd, reinterpret_cast<const std::uint8_t *>(outBuffer), outLength);
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

bool namesStandardOutput(const char *path)
{
    struct stat a = {};
    struct stat b = {};
    return stat(path, &a) == 0 && fstat(STDOUT_FILENO, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool meansStandardOutput(const char *name)
{
    struct stat st = {};
    return std::strcmp(name, "-") == 0 || namesStandardStream(name, STDOUT_FILENO) ||
           (!wasClosed(STDOUT_FILENO) && stat(name, &st) == 0 && isStandardOutputFile(st));
}

bool isStandardOutputFile(const struct stat &st)
{
    struct stat out = {};
    return (S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode)) && fstat(STDOUT_FILENO, &out) == 0 &&
           out.st_dev == st.st_dev && out.st_ino == st.st_ino;
}

char *outSpace(std::size_t length)
{
    assert(length <= kMaxSpace);
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

std::size_t readScattered(int fd, iovec *iov, int count, off_t offset, bool *ended, int *err)
{
    std::size_t got = 0;
    while (count > 0) {
        const int pieces = count < IOV_MAX ? count : IOV_MAX;
        const ssize_t n = offset < 0 ? readv(fd, iov, pieces) : preadv(fd, iov, pieces, offset + static_cast<off_t>(got));
        if (n > 0) {
            got += static_cast<std::size_t>(n);
            auto left = static_cast<std::size_t>(n);
            while (count > 0 && left >= iov->iov_len) {
                left -= iov->iov_len;
                iov++;
                count--;
            }
            if (count > 0) {
                iov->iov_base = static_cast<std::uint8_t *>(iov->iov_base) + left;
                iov->iov_len -= left;
            }
        } else if (n == 0) {
            *ended = true;
            break;
        } else if (!retryLater(fd, POLLIN)) {
            *err = errno;
            break;
        }
    }
    return got;
}

std::size_t preadFully(int fd, std::uint8_t *buf, std::size_t want, off_t offset, bool *ended, int *err)
{
    iovec whole = {buf, want};
    return want == 0 ? 0 : readScattered(fd, &whole, 1, offset, ended, err);
}

std::size_t readFully(int fd, std::uint8_t *buf, std::size_t want, bool *ended, int *err)
{
    return preadFully(fd, buf, want, -1, ended, err);
}

int writeAll(int fd, iovec *iov, int count)
{
    // Empty pieces are skipped: a write of nothing returns 0, which would
    // otherwise read as a device that takes no more bytes.
    while (count > 0 && iov->iov_len == 0) {
        iov++;
        count--;
    }
    while (count > 0) {
        const ssize_t n = writev(fd, iov, count < IOV_MAX ? count : IOV_MAX);
        if (n < 0) {
            if (retryLater(fd, POLLOUT)) {
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
        while (count > 0 && done == 0 && iov->iov_len == 0) {
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

namespace {

// openTarget's answer for a target it must not replace.
constexpr int kSameFile = -2;

// The temporaries being written, removed by the handler of SIGINT, SIGTERM and
// SIGHUP before the signal takes its usual course. Fixed slots: the handler
// may only touch memory that is never reallocated.
constexpr int kTempSlots = 4;
char tempPaths[kTempSlots][PATH_MAX];
volatile sig_atomic_t tempActive[kTempSlots];
bool handlersInstalled = false;

void removeTemporaries(int sig)
{
    for (int i = 0; i < kTempSlots; i++) {
        if (tempActive[i] != 0) {
            unlink(tempPaths[i]);
        }
    }
    signal(sig, SIG_DFL);
    raise(sig);
}

void installHandlers()
{
    if (handlersInstalled) {
        return;
    }
    handlersInstalled = true;
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction old = {};
        // A signal the caller ignores (nohup) stays ignored.
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN) {
            struct sigaction sa = {};
            sa.sa_handler = removeTemporaries;
            sigemptyset(&sa.sa_mask);
            sigaction(sig, &sa, nullptr);
        }
    }
}

// Blocks the three signals while a temporary is created or dropped, so that
// the handler never misses one or removes a renamed file.
struct SignalsHeld {
    sigset_t old;
    SignalsHeld()
    {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGTERM);
        sigaddset(&set, SIGHUP);
        sigprocmask(SIG_BLOCK, &set, &old);
    }
    ~SignalsHeld() { sigprocmask(SIG_SETMASK, &old, nullptr); }
    SignalsHeld(const SignalsHeld &) = delete;
    SignalsHeld &operator=(const SignalsHeld &) = delete;
};

void forgetTemporary(const char *temp)
{
    for (int i = 0; i < kTempSlots; i++) {
        if (tempActive[i] != 0 && std::strcmp(tempPaths[i], temp) == 0) {
            tempActive[i] = 0;
        }
    }
}

bool copyPath(char *dst, const char *src)
{
    const std::size_t n = std::strlen(src);
    if (n >= PATH_MAX) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(dst, src, n + 1);
    return true;
}

// Sets out->path to the file that writing to path would reach: symlinks on
// the last component followed, the folder made canonical. The file itself
// need not exist; its folder must.
bool resolveTarget(const char *path, Output *out)
{
    char cur[PATH_MAX];
    if (!copyPath(cur, path)) {
        return false;
    }
    for (int hops = 0;; hops++) {
        struct stat st = {};
        if (lstat(cur, &st) != 0 || !S_ISLNK(st.st_mode)) {
            break;
        }
        if (hops == 40) {
            errno = ELOOP;
            return false;
        }
        char link[PATH_MAX];
        const ssize_t n = readlink(cur, link, sizeof link - 1);
        if (n < 0) {
            return false;
        }
        link[n] = '\0';
        if (link[0] == '/') {
            std::memcpy(cur, link, static_cast<std::size_t>(n) + 1);
        } else {
            char dir[PATH_MAX];
            std::memcpy(dir, cur, sizeof dir);
            const char *d = dirname(dir);
            if (std::snprintf(cur, sizeof cur, "%s/%s", d, link) >= static_cast<int>(sizeof cur)) {
                errno = ENAMETOOLONG;
                return false;
            }
        }
    }
    char dirBuf[PATH_MAX];
    char baseBuf[PATH_MAX];
    std::memcpy(dirBuf, cur, sizeof dirBuf);
    std::memcpy(baseBuf, cur, sizeof baseBuf);
    char canonical[PATH_MAX];
    if (realpath(dirname(dirBuf), canonical) == nullptr) {
        return false;
    }
    const char *base = basename(baseBuf);
    if (std::snprintf(out->path, sizeof out->path, "%s/%s", std::strcmp(canonical, "/") == 0 ? "" : canonical,
                      base) >= static_cast<int>(sizeof out->path)) {
        errno = ENAMETOOLONG;
        return false;
    }
    return true;
}

bool sameFile(const struct stat &a, const struct stat &b)
{
    return S_ISREG(a.st_mode) && S_ISREG(b.st_mode) && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether a and b are one file that two streams would garble: a regular file,
// a FIFO or a block device. A terminal or /dev/null may take two.
bool sameObject(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && !S_ISCHR(a.st_mode);
}

// Flushes the folder that holds path to disk, so that a rename in it lasts.
int syncFolder(const char *path)
{
    char dirBuf[PATH_MAX];
    std::memcpy(dirBuf, path, sizeof dirBuf);
    const int fd = open(dirname(dirBuf), O_RDONLY | O_DIRECTORY);
    if (fd < 0) {
        return errno;
    }
    int err = fsync(fd) == 0 ? 0 : errno;
    close(fd);
    // Some file systems take no fsync of a folder; the rename stands there.
    return err == EINVAL || err == EROFS ? 0 : err;
}

int failClosing(int fd)
{
    const int err = errno;
    close(fd);
    errno = err;
    return -1;
}

// Opens the target itself for writing: a device or a FIFO, which no new
// file can replace. Refused when it is one of the `avoid` files or an output
// already open: two streams through one FIFO or device garble each other.
int openInPlace(const char *path, Output *out, const struct stat *const *avoid, std::size_t count,
                const Output *const *others, std::size_t otherCount)
{
    out->fd = open(path, O_WRONLY | O_CREAT, 0666);
    if (out->fd < 0) {
        return -1;
    }
    struct stat st = {};
    if (fstat(out->fd, &st) != 0) {
        return failClosing(out->fd);
    }
    bool same = false;
    for (std::size_t i = 0; i < count; i++) {
        same = same || sameObject(*avoid[i], st);
    }
    for (std::size_t i = 0; i < otherCount; i++) {
        struct stat other = {};
        same = same || (others[i]->fd >= 0 && fstat(others[i]->fd, &other) == 0 && sameObject(other, st));
    }
    if (same) {
        close(out->fd);
        out->fd = -1;
        return kSameFile;
    }
    if (S_ISREG(st.st_mode)) {
        // Created between the look and the open: no longer a file to replace.
        close(out->fd);
        out->fd = -1;
        errno = EEXIST;
        return -1;
    }
    return 0;
}

}  // namespace

namespace {

int openTarget(const char *path, Output *out, const struct stat *const *avoid, std::size_t count,
               const Output *const *others, std::size_t otherCount)
{
    // "name/" is a folder, never a file to create.
    if (const std::size_t n = std::strlen(path); n > 0 && path[n - 1] == '/') {
        errno = EISDIR;
        return -1;
    }
    struct stat st = {};
    if (stat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
        return openInPlace(path, out, avoid, count, others, otherCount);
    }
    if (!resolveTarget(path, out)) {
        return -1;
    }
    out->existed = stat(out->path, &out->target) == 0;
    if (out->existed && !S_ISREG(out->target.st_mode)) {
        return openInPlace(path, out, avoid, count, others, otherCount);
    }
    // A file the user may not write stays refused, as opening it would be,
    // though its folder would let a new file take its place.
    if (out->existed && access(out->path, W_OK) != 0) {
        return -1;
    }
    for (std::size_t i = 0; out->existed && i < count; i++) {
        if (sameFile(*avoid[i], out->target)) {
            return kSameFile;
        }
    }
    for (std::size_t i = 0; i < otherCount; i++) {
        const Output &o = *others[i];
        if (std::strcmp(o.path, out->path) == 0 ||
            (o.existed && out->existed && sameFile(o.target, out->target))) {
            return kSameFile;
        }
    }

    char dirBuf[PATH_MAX];
    std::memcpy(dirBuf, out->path, sizeof dirBuf);
    const char *dir = dirname(dirBuf);
    const char *base = out->path + std::strlen(dir) + (std::strcmp(dir, "/") == 0 ? 0 : 1);
    if (std::snprintf(out->temp, sizeof out->temp, "%s/.%s.XXXXXX", std::strcmp(dir, "/") == 0 ? "" : dir, base) >=
        static_cast<int>(sizeof out->temp)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    int slot = 0;
    while (slot < kTempSlots && tempActive[slot] != 0) {
        slot++;
    }
    assert(slot < kTempSlots);
    installHandlers();
    {
        const SignalsHeld held;
        out->fd = mkstemp(out->temp);
        if (out->fd >= 0) {
            std::memcpy(tempPaths[slot], out->temp, sizeof out->temp);
            tempActive[slot] = 1;
        }
    }
    if (out->fd < 0) {
        // A folder that takes no new file is refused, though the target
        // itself may be writable: written in place, a run that fails part way
        // would leave it neither old nor new.
        const int err = errno;
        out->temp[0] = '\0';
        errno = err;
        return -1;
    }
    mode_t mode = 0;
    if (out->existed) {
        mode = out->target.st_mode & 07777;
        // Keeps the owner where the tool may set it (run as root); otherwise
        // the file becomes the user's, as any rewrite of it would.
        (void)!fchown(out->fd, out->target.st_uid, out->target.st_gid);
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    if (fchmod(out->fd, mode) != 0) {
        const int err = errno;
        abandonOutput(out);
        errno = err;
        return -1;
    }
    return 0;
}

}  // namespace

nand::Status openOutput(const char *path, Output *out, const struct stat *const *avoid, std::size_t count,
                        const Output *const *others, std::size_t otherCount)
{
    const int r = openTarget(path, out, avoid, count, others, otherCount);
    if (r == kSameFile) {
        return nand::Status::invalid("%s: names a file it must not replace", path);
    }
    if (r != 0) {
        const int err = errno;
        return nand::Status::system(err, "%s: %s", path, std::strerror(err));
    }
    return {};
}

int commitOutput(Output *out)
{
    int err = out->reserved ? releaseReserve(out->fd) : 0;
    // The new file reaches the disk before its name replaces the old one, and
    // the name reaches it after: a power loss leaves the old file or the new,
    // never a replaced name over missing data.
    if (err == 0 && out->temp[0] != '\0' && fsync(out->fd) != 0) {
        err = errno;
    }
    if (close(out->fd) != 0 && err == 0) {
        err = errno;
    }
    out->fd = -1;
    if (out->temp[0] != '\0') {
        const SignalsHeld held;
        if (err == 0 && rename(out->temp, out->path) != 0) {
            err = errno;
        }
        if (err != 0) {
            unlink(out->temp);
        }
        forgetTemporary(out->temp);
        if (err == 0) {
            err = syncFolder(out->path);
        }
        out->temp[0] = '\0';
    }
    return err;
}

void abandonOutput(Output *out)
{
    if (out->fd >= 0) {
        close(out->fd);
        out->fd = -1;
    }
    if (out->temp[0] != '\0') {
        const SignalsHeld held;
        unlink(out->temp);
        forgetTemporary(out->temp);
        out->temp[0] = '\0';
    }
}

bool reserve(int fd, std::uint64_t bytes)
{
#ifdef __linux__
    if (bytes == 0) {
        return false;
    }
    // A file system in memory clears every page it allocates ahead, before
    // the write fills it: twice the work, for no gain.
    if (struct statfs fs = {}; fstatfs(fd, &fs) == 0 && (fs.f_type == TMPFS_MAGIC || fs.f_type == RAMFS_MAGIC)) {
        return false;
    }
    if (fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(bytes)) == 0) {
        return true;
    }
    // A request that ran out of space part way may have kept what it got.
    (void)releaseReserve(fd);
    return false;
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
