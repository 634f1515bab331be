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

struct Behind {
    bool threaded = false;
    pthread_t thread{};
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
    std::size_t submitted = 0;
    std::size_t written = 0;
    WriteJob jobs[16][2] = {};
    int jobCount[16] = {};
    int err = 0;
    int errJob = 0;
};

Behind behind;

// Writes one block's jobs unless a write failed before; keeps the first failure.
void writeJobs(const WriteJob *jobs, int count)
{
    for (int j = 0; j < count && behind.err == 0; j++) {
        if (const int err = writeAll(jobs[j].fd, jobs[j].iov, jobs[j].count); err != 0) {
            pthread_mutex_lock(&behind.lock);
            behind.errJob = j;
            behind.err = err;
            pthread_mutex_unlock(&behind.lock);
        }
    }
}

void *writeBehind(void *)
{
    for (std::size_t n = 0;; n++) {
        pthread_mutex_lock(&behind.lock);
        while (behind.submitted <= n) {
            pthread_cond_wait(&behind.changed, &behind.lock);
        }
        pthread_mutex_unlock(&behind.lock);
        // Only this thread writes err until the caller waits in finishWriter.
        writeJobs(behind.jobs[n % 16], behind.jobCount[n % 16]);
        releaseBlock();
        pthread_mutex_lock(&behind.lock);
        behind.written = n + 1;
        pthread_cond_broadcast(&behind.changed);
        pthread_mutex_unlock(&behind.lock);
    }
}

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

void startWriter()
{
    if (!ring.threaded) {
        return;  // without a reader thread a buffer is read as soon as it is asked for
    }
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, std::size_t{64} * 1024);
    behind.threaded = pthread_create(&behind.thread, &attr, writeBehind, nullptr) == 0;
    pthread_attr_destroy(&attr);
    if (behind.threaded) {
        pthread_detach(behind.thread);
    }
}

void submitBlock(const WriteJob *jobs, int count)
{
    if (!behind.threaded) {
        writeJobs(jobs, count);
        releaseBlock();
        return;
    }
    pthread_mutex_lock(&behind.lock);
    const std::size_t n = behind.submitted;
    for (int j = 0; j < count && j < 2; j++) {
        behind.jobs[n % 16][j] = jobs[j];
    }
    behind.jobCount[n % 16] = count < 2 ? count : 2;
    behind.submitted = n + 1;
    pthread_cond_broadcast(&behind.changed);
    pthread_mutex_unlock(&behind.lock);
}

int writeError(int *job)
{
    pthread_mutex_lock(&behind.lock);
    const int err = behind.err;
    *job = behind.errJob;
    pthread_mutex_unlock(&behind.lock);
    return err;
}

int finishWriter(int *job)
{
    pthread_mutex_lock(&behind.lock);
    while (behind.written < behind.submitted) {
        pthread_cond_wait(&behind.changed, &behind.lock);
    }
    pthread_mutex_unlock(&behind.lock);
    return writeError(job);
}

void finishReader()
{
    if (ring.threaded) {
        pthread_join(ring.thread, nullptr);
        ring.threaded = false;
    }
}

}  // namespace io
