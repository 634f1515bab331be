// Reading ahead on a thread of its own; see reader.h.
#include "reader.h"

#include "io.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>

namespace io {

namespace {

struct Ring {
    int fd = -1;
    std::uint8_t *buffers = nullptr;
    std::size_t blockSize = 0;
    std::size_t count = 0;
    bool threaded = false;
    pthread_t thread{};
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
    // Blocks are numbered from 0; block n lives in buffer n % count.
    std::size_t filled = 0;    // blocks the reader has finished
    std::size_t released = 0;  // blocks the caller has handed back
    std::size_t taken = 0;     // blocks the caller has been given
    Block blocks[16] = {};
    bool done = false;         // the reader read its last block
};

Ring ring;

Block readOne(std::size_t n)
{
    Block b = {ring.buffers + (n % ring.count) * ring.blockSize, 0, false, 0};
    b.bytes = readFully(ring.fd, b.data, ring.blockSize, &b.ended, &b.err);
    return b;
}

void *readAhead(void *)
{
    for (std::size_t n = 0;; n++) {
        pthread_mutex_lock(&ring.lock);
        while (n - ring.released >= ring.count) {
            pthread_cond_wait(&ring.changed, &ring.lock);
        }
        pthread_mutex_unlock(&ring.lock);
        const Block b = readOne(n);
        pthread_mutex_lock(&ring.lock);
        ring.blocks[n % ring.count] = b;
        ring.filled = n + 1;
        ring.done = b.ended || b.err != 0;
        pthread_cond_broadcast(&ring.changed);
        pthread_mutex_unlock(&ring.lock);
        if (b.ended || b.err != 0) {
            return nullptr;
        }
    }
}

}  // namespace

void startReader(int fd, std::uint8_t *buffers, std::size_t blockSize, std::size_t count)
{
#ifdef F_SETPIPE_SZ
    // A pipe of 64 KiB makes the writer and the reader take turns; a larger
    // one lets them run side by side. A hint: the system may refuse it.
    struct stat st = {};
    if (fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode)) {
        (void)fcntl(fd, F_SETPIPE_SZ, 1 << 20);
    }
#endif
    ring.fd = fd;
    ring.buffers = buffers;
    ring.blockSize = blockSize;
    ring.count = count < 16 ? count : 16;
    // A small stack: the thread only calls read().
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, std::size_t{64} * 1024);
    ring.threaded = pthread_create(&ring.thread, &attr, readAhead, nullptr) == 0;
    pthread_attr_destroy(&attr);
}

Block nextBlock()
{
    const std::size_t n = ring.taken++;
    if (!ring.threaded) {
        return readOne(n);
    }
    pthread_mutex_lock(&ring.lock);
    while (ring.filled <= n) {
        pthread_cond_wait(&ring.changed, &ring.lock);
    }
    const Block b = ring.blocks[n % ring.count];
    pthread_mutex_unlock(&ring.lock);
    return b;
}

void releaseBlock()
{
    if (!ring.threaded) {
        return;
    }
    pthread_mutex_lock(&ring.lock);
    ring.released++;
    pthread_cond_broadcast(&ring.changed);
    pthread_mutex_unlock(&ring.lock);
}

void finishReader()
{
    if (ring.threaded) {
        pthread_join(ring.thread, nullptr);
        ring.threaded = false;
    }
}

}  // namespace io
