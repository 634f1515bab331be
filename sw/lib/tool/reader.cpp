// The block pipeline: reading threads ahead, writing threads behind; see
// reader.h.
#include "reader.h"

#include "io.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cassert>
#include <cstdint>

namespace io {

namespace {

// The readers: one thread, or two for a file read at offsets, reader k
// taking the blocks n with n % readers == k, so that the copying (and the
// work of `prepare`) is shared.
struct Ring {
    int fd = -1;
    std::uint8_t *buffers = nullptr;
    Shape shape = {};
    std::size_t count = 0;
    Prepare prepare = nullptr;
    bool positional = false;  // read with pread from `start`
    off_t start = 0;
    int readers = 0;  // threads running; 0: blocks are read when asked for
    pthread_t threads[2]{};
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t room = PTHREAD_COND_INITIALIZER;    // the readers wait here
    pthread_cond_t filled = PTHREAD_COND_INITIALIZER;  // the caller waits here
    bool started = false;  // `readers` is final: the readers may begin
    // Blocks are numbered from 0; block n lives in buffer n % count.
    std::size_t released = 0;  // blocks the caller has handed back
    std::size_t taken = 0;     // blocks the caller has been given
    std::uint64_t handedOut = 0;  // bytes of input in those blocks
    Block blocks[16] = {};
    std::size_t number[16] = {};  // the block each buffer holds, once read
    bool ready[16] = {};
    std::size_t last = SIZE_MAX;  // the first block the input ended in or failed
};

Ring ring;
int readerNumbers[2] = {0, 1};  // each reader's k, handed to its thread

// The writers: one thread a file, so that two outputs are written side by
// side; writer w writes job w of every block. A block goes back to the reader
// once every writer is through with it.
struct Behind {
    int writers = 0;  // threads running; 0: the caller writes
    pthread_t threads[2]{};
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t work = PTHREAD_COND_INITIALIZER;  // the writers wait here
    pthread_cond_t done = PTHREAD_COND_INITIALIZER;  // finishWriter waits here
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
    if (const int err = writeAll(job.fd, job.iov, job.count); err == 0) {
        // The output is flushed to disk before it replaces its target: start
        // each block on its way now, so that the final flush finds little
        // left (a pipe or a device without it refuses, which changes nothing).
        (void)sync_file_range(job.fd, 0, 0, SYNC_FILE_RANGE_WRITE);
    } else {
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
            pthread_cond_wait(&behind.work, &behind.lock);
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
        pthread_cond_signal(&behind.done);
        pthread_mutex_unlock(&behind.lock);
    }
}

Block readOne(std::size_t n)
{
    const Shape &sh = ring.shape;
    Block b = {ring.buffers + (n % ring.count) * sh.stride * sh.slots, 0, false, 0};
    const off_t at = ring.positional ? ring.start + static_cast<off_t>(n * sh.piece * sh.slots) : -1;
    if (sh.slots == 1) {
        b.bytes = preadFully(ring.fd, b.data, sh.piece, at, &b.ended, &b.err);
    } else {
        iovec iov[kMaxSlots];
        for (std::size_t s = 0; s < sh.slots; s++) {
            iov[s] = {b.data + s * sh.stride, sh.piece};
        }
        b.bytes = readScattered(ring.fd, iov, static_cast<int>(sh.slots), at, &b.ended, &b.err);
    }
    if (ring.prepare != nullptr && b.bytes != 0) {
        ring.prepare(n, b.data, b.bytes);
    }
    return b;
}

void *readAhead(void *arg)
{
    const int k = *static_cast<const int *>(arg);
    pthread_mutex_lock(&ring.lock);
    while (!ring.started) {
        pthread_cond_wait(&ring.room, &ring.lock);
    }
    const auto stride = static_cast<std::size_t>(ring.readers);
    pthread_mutex_unlock(&ring.lock);
    for (auto n = static_cast<std::size_t>(k);; n += stride) {
        pthread_mutex_lock(&ring.lock);
        while (n - ring.released >= ring.count && n <= ring.last) {
            pthread_cond_wait(&ring.room, &ring.lock);
        }
        const bool past = n > ring.last;  // the other reader found the end first
        pthread_mutex_unlock(&ring.lock);
        if (past) {
            return nullptr;
        }
        const Block b = readOne(n);
        const bool stop = b.ended || b.err != 0;
        pthread_mutex_lock(&ring.lock);
        ring.blocks[n % ring.count] = b;
        ring.number[n % ring.count] = n;
        ring.ready[n % ring.count] = true;
        if (stop && n < ring.last) {
            ring.last = n;
        }
        pthread_cond_signal(&ring.filled);
        if (stop) {
            pthread_cond_broadcast(&ring.room);  // the other reader need not wait for room
        }
        pthread_mutex_unlock(&ring.lock);
        if (stop) {
            return nullptr;
        }
    }
}

}  // namespace

void startReader(int fd, std::uint8_t *buffers, Shape shape, std::size_t count, Prepare prepare)
{
    assert(shape.slots >= 1 && shape.slots <= kMaxSlots && shape.stride >= shape.piece);
    struct stat st = {};
    const bool known = fstat(fd, &st) == 0;
#ifdef F_SETPIPE_SZ
    // A pipe of 64 KiB makes the writer and the reader take turns; a larger
    // one lets them run side by side. A hint: the system may refuse it.
    if (known && S_ISFIFO(st.st_mode)) {
        (void)fcntl(fd, F_SETPIPE_SZ, 1 << 20);
    }
#endif
    ring.fd = fd;
    ring.buffers = buffers;
    ring.shape = shape;
    ring.count = count < 16 ? count : 16;
    ring.prepare = prepare;
    // A regular file is read at offsets from where it stands, by two threads
    // when the ring has room for both to read ahead.
    ring.start = known && S_ISREG(st.st_mode) ? lseek(fd, 0, SEEK_CUR) : -1;
    ring.positional = ring.start >= 0;
    const int wanted = ring.positional && ring.count >= 4 ? 2 : 1;
    // A small stack: the threads only read and prepare.
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, std::size_t{256} * 1024);
    // The readers wait until all have started: each steps by their number.
    pthread_mutex_lock(&ring.lock);
    while (ring.readers < wanted &&
           pthread_create(&ring.threads[ring.readers], &attr, readAhead, &readerNumbers[ring.readers]) == 0) {
        ring.readers++;
    }
    ring.started = true;
    pthread_cond_broadcast(&ring.room);
    pthread_mutex_unlock(&ring.lock);
    pthread_attr_destroy(&attr);
}

Block nextBlock()
{
    const std::size_t n = ring.taken++;
    if (ring.readers == 0) {
        const Block b = readOne(n);
        ring.handedOut += b.bytes;
        return b;
    }
    pthread_mutex_lock(&ring.lock);
    while (!ring.ready[n % ring.count] || ring.number[n % ring.count] != n) {
        pthread_cond_wait(&ring.filled, &ring.lock);
    }
    const Block b = ring.blocks[n % ring.count];
    pthread_mutex_unlock(&ring.lock);
    ring.handedOut += b.bytes;
    return b;
}

void releaseBlock()
{
    if (ring.readers == 0) {
        return;
    }
    pthread_mutex_lock(&ring.lock);
    ring.released++;
    pthread_cond_broadcast(&ring.room);
    pthread_mutex_unlock(&ring.lock);
}

void startWriter(int files)
{
    if (ring.readers == 0 || files <= 0) {
        // Without a reader thread a buffer is read as soon as it is asked
        // for; without a file a block is released as soon as it is submitted.
        return;
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
    pthread_cond_broadcast(&behind.work);
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
            pthread_cond_wait(&behind.done, &behind.lock);
        }
    }
    pthread_mutex_unlock(&behind.lock);
    return writeError(job);
}

void finishReader()
{
    for (int k = 0; k < ring.readers; k++) {
        pthread_join(ring.threads[k], nullptr);
    }
    ring.readers = 0;
    // A file read at offsets is left where reading it through would have
    // left it, for a caller that shares it (standard input).
    if (ring.positional) {
        (void)lseek(ring.fd, ring.start + static_cast<off_t>(ring.handedOut), SEEK_SET);
    }
}

}  // namespace io
