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

// The writers: one thread a file, so that two outputs are written side by
// side; writer w writes job w of every block. A block goes back to the reader
// once every writer is through with it.
struct Behind {
    int writers = 0;  // threads running; 0: the caller writes
    pthread_t threads[2]{};
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
    std::size_t submitted = 0;
    std::size_t written[2] = {};  // blocks each writer is through with
    WriteJob jobs[16][2] = {};
    int jobCount[16] = {};
    int finished[16] = {};  // writers through with the block in that slot
    int err = 0;
    int errJob = 0;
};

Behind behind;
int writerNumbers[2] = {0, 1};  // each writer's w, handed to its thread

bool failedBefore()
{
    pthread_mutex_lock(&behind.lock);
    const bool failed = behind.err != 0;
    pthread_mutex_unlock(&behind.lock);
    return failed;
}

// Writes job j unless a write failed before; keeps the first failure.
void writeJob(const WriteJob &job, int j)
{
    if (failedBefore()) {
        return;
    }
    if (const int err = writeAll(job.fd, job.iov, job.count); err != 0) {
        pthread_mutex_lock(&behind.lock);
        if (behind.err == 0) {
            behind.errJob = j;
            behind.err = err;
        }
        pthread_mutex_unlock(&behind.lock);
    }
}

void *writeBehind(void *arg)
{
    const int w = *static_cast<const int *>(arg);
    for (std::size_t n = 0;; n++) {
        pthread_mutex_lock(&behind.lock);
        while (behind.submitted <= n) {
            pthread_cond_wait(&behind.changed, &behind.lock);
        }
        const int count = behind.jobCount[n % 16];
        pthread_mutex_unlock(&behind.lock);
        for (int j = w; j < count; j += behind.writers) {
            writeJob(behind.jobs[n % 16][j], j);
        }
        pthread_mutex_lock(&behind.lock);
        const bool last = ++behind.finished[n % 16] == behind.writers;
        if (last) {
            behind.finished[n % 16] = 0;
        }
        pthread_mutex_unlock(&behind.lock);
        if (last) {
            releaseBlock();
        }
        pthread_mutex_lock(&behind.lock);
        behind.written[w] = n + 1;
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

void startWriter(int files)
{
    if (!ring.threaded) {
        return;  // without a reader thread a buffer is read as soon as it is asked for
    }
    const int wanted = files > 1 ? 2 : 1;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, std::size_t{64} * 1024);
    for (int w = 0; w < wanted; w++) {
        // Set before the thread starts: the writers read it unlocked.
        behind.writers = w + 1;
        if (pthread_create(&behind.threads[w], &attr, writeBehind, &writerNumbers[w]) != 0) {
            behind.writers = w;
            break;
        }
        pthread_detach(behind.threads[w]);
    }
    pthread_attr_destroy(&attr);
}

void submitBlock(const WriteJob *jobs, int count)
{
    if (behind.writers == 0) {
        for (int j = 0; j < count; j++) {
            writeJob(jobs[j], j);
        }
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
    for (int w = 0; w < behind.writers; w++) {
        while (behind.written[w] < behind.submitted) {
            pthread_cond_wait(&behind.changed, &behind.lock);
        }
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
