// The block pipeline: reading threads ahead, writing threads behind; see
// reader.h.
#include "reader.h"

#include "io.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cassert>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

namespace io {

// One run's state, shared by the caller and its threads. The readers: one
// thread, or two for a file read at offsets, reader k taking the blocks n
// with n % readers == k, so that the copying (and the work of `prepare`) is
// shared. The writers: one thread a file, so that two outputs are written
// side by side; writer w writes job w of every block. A block goes back to
// the readers once every writer is through with it.
struct Pipeline::State {
    // Owned memory, mapped: the buffers, then the caller's extra bytes.
    std::uint8_t *memory = nullptr;
    std::size_t mapped = 0;
    std::uint8_t *extra = nullptr;
    // The caller and every thread still running hold a reference; the last
    // to let go frees the state.
    std::atomic<int> refs{1};
    std::atomic<bool> stopping{false};

    // Reading.
    int fd = -1;
    Shape shape = {};
    std::size_t count = 0;
    Prepare prepare = nullptr;
    void *context = nullptr;
    bool positional = false;  // read with pread from `start`
    off_t start = 0;
    int readers = 0;  // threads running; 0: blocks are read when asked for
    bool joined = true;  // the readers have been joined (or never started)
    pthread_t readThreads[2]{};
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t room = PTHREAD_COND_INITIALIZER;    // the readers wait here
    pthread_cond_t filled = PTHREAD_COND_INITIALIZER;  // the caller waits here
    pthread_cond_t idle = PTHREAD_COND_INITIALIZER;    // the destructor waits here for `prepare`
    int preparing = 0;     // readers inside `prepare`
    bool started = false;  // `readers` is final: the readers may begin
    // Blocks are numbered from 0; block n lives in buffer n % count.
    std::size_t released = 0;  // blocks the caller has handed back
    std::size_t taken = 0;     // blocks the caller has been given
    std::uint64_t handedOut = 0;  // bytes of input in those blocks
    Block blocks[kMaxBuffers] = {};
    std::size_t number[kMaxBuffers] = {};  // the block each buffer holds, once read
    bool ready[kMaxBuffers] = {};
    std::size_t last = SIZE_MAX;  // the first block the input ended in or failed
    // The caller, waiting, is woken once blocks waitFrom .. wanted are in
    // (or the input ends before them): a wake-up a pair of reads where it
    // has no writer to keep pace with.
    std::size_t waitFrom = 0;
    std::size_t wanted = 0;

    // Writing.
    int writers = 0;  // threads running; 0: the caller writes
    pthread_mutex_t wlock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t work = PTHREAD_COND_INITIALIZER;  // the writers wait here
    pthread_cond_t done = PTHREAD_COND_INITIALIZER;  // finishWriter waits here
    std::size_t submitted = 0;
    std::size_t written[2] = {};  // blocks each writer is through with
    WriteJob jobs[kMaxBuffers][2] = {};
    int jobCount[kMaxBuffers] = {};
    int finished[kMaxBuffers] = {};  // writers through with the block in that slot
    int err = 0;
    int errJob = 0;

    // Each thread's number, handed to it with the state.
    struct Arg {
        State *state;
        int number;
    };
    Arg readArgs[2] = {{this, 0}, {this, 1}};
    Arg writeArgs[2] = {{this, 0}, {this, 1}};

    State() = default;
    State(const State &) = delete;
    State &operator=(const State &) = delete;
    ~State()
    {
        if (memory != nullptr) {
            munmap(memory, mapped);
        }
    }
};

namespace {

using State = Pipeline::State;

void drop(State *s)
{
    if (s->refs.fetch_sub(1) == 1) {
        s->~State();
        std::free(s);
    }
}

bool failedBefore(State *s)
{
    pthread_mutex_lock(&s->wlock);
    const bool failed = s->err != 0;
    pthread_mutex_unlock(&s->wlock);
    return failed;
}

// Writes job j unless a write failed before or the run is being ended; keeps
// the first failure.
void writeJob(State *s, const WriteJob &job, int j)
{
    if (s->stopping.load() || failedBefore(s)) {
        return;
    }
    if (const int err = writeAll(job.fd, job.iov, job.count); err == 0) {
        // The output is flushed to disk before it replaces its target: start
        // each block on its way now, so that the final flush finds little
        // left (a pipe or a device without it refuses, which changes nothing).
        (void)sync_file_range(job.fd, 0, 0, SYNC_FILE_RANGE_WRITE);
    } else {
        pthread_mutex_lock(&s->wlock);
        if (s->err == 0) {
            s->errJob = j;
            s->err = err;
        }
        pthread_mutex_unlock(&s->wlock);
    }
}

void release(State *s)
{
    if (s->readers == 0) {
        return;
    }
    pthread_mutex_lock(&s->lock);
    s->released++;
    pthread_mutex_unlock(&s->lock);
    // Woken once the lock is free, so that the woken need not wait for it.
    pthread_cond_broadcast(&s->room);
}

void *writeBehind(void *arg)
{
    const auto *a = static_cast<const State::Arg *>(arg);
    State *s = a->state;
    const int w = a->number;
    for (std::size_t n = 0;; n++) {
        pthread_mutex_lock(&s->wlock);
        while (s->submitted <= n && !s->stopping.load()) {
            pthread_cond_wait(&s->work, &s->wlock);
        }
        const bool stop = s->submitted <= n;
        const int count = s->jobCount[n % kMaxBuffers];
        pthread_mutex_unlock(&s->wlock);
        if (stop) {
            drop(s);
            return nullptr;
        }
        for (int j = w; j < count; j += s->writers) {
            writeJob(s, s->jobs[n % kMaxBuffers][j], j);
        }
        pthread_mutex_lock(&s->wlock);
        const bool lastOne = ++s->finished[n % kMaxBuffers] == s->writers;
        if (lastOne) {
            s->finished[n % kMaxBuffers] = 0;
        }
        pthread_mutex_unlock(&s->wlock);
        if (lastOne) {
            release(s);
        }
        pthread_mutex_lock(&s->wlock);
        s->written[w] = n + 1;
        pthread_cond_signal(&s->done);
        pthread_mutex_unlock(&s->wlock);
    }
}

// Reads block n into its buffer.
Block readOne(State *s, std::size_t n)
{
    const Shape &sh = s->shape;
    Block b = {s->memory + (n % s->count) * sh.stride * sh.slots, 0, false, 0};
    const off_t at = s->positional ? s->start + static_cast<off_t>(n * sh.piece * sh.slots) : -1;
    if (sh.slots == 1) {
        b.bytes = preadFully(s->fd, b.data, sh.piece, at, &b.ended, &b.err);
    } else {
        iovec iov[kMaxSlots];
        for (std::size_t k = 0; k < sh.slots; k++) {
            iov[k] = {b.data + k * sh.stride, sh.piece};
        }
        b.bytes = readScattered(s->fd, iov, static_cast<int>(sh.slots), at, &b.ended, &b.err);
    }
    return b;
}

bool isReady(const State *s, std::size_t n)
{
    return s->ready[n % s->count] && s->number[n % s->count] == n;
}

// Whether the blocks the caller waits for are in, under the lock.
bool haveWanted(const State *s)
{
    for (std::size_t n = s->waitFrom; n <= s->wanted && n <= s->last; n++) {
        if (!isReady(s, n)) {
            return false;
        }
    }
    return true;
}

void *readAhead(void *arg)
{
    const auto *a = static_cast<const State::Arg *>(arg);
    State *s = a->state;
    pthread_mutex_lock(&s->lock);
    while (!s->started) {
        pthread_cond_wait(&s->room, &s->lock);
    }
    const auto stride = static_cast<std::size_t>(s->readers);
    pthread_mutex_unlock(&s->lock);
    for (auto n = static_cast<std::size_t>(a->number);; n += stride) {
        pthread_mutex_lock(&s->lock);
        while (n - s->released >= s->count && n <= s->last && !s->stopping.load()) {
            pthread_cond_wait(&s->room, &s->lock);
        }
        // The other reader may have found the end first.
        const bool past = n > s->last || s->stopping.load();
        pthread_mutex_unlock(&s->lock);
        if (past) {
            break;
        }
        const Block b = readOne(s, n);
        // The caller's context is only used while the caller is there.
        pthread_mutex_lock(&s->lock);
        const bool go = !s->stopping.load();
        s->preparing += go ? 1 : 0;
        pthread_mutex_unlock(&s->lock);
        if (!go) {
            break;
        }
        if (s->prepare != nullptr && b.bytes != 0) {
            s->prepare(s->context, n, b.data, b.bytes);
        }
        const bool stop = b.ended || b.err != 0;
        pthread_mutex_lock(&s->lock);
        s->preparing--;
        s->blocks[n % s->count] = b;
        s->number[n % s->count] = n;
        s->ready[n % s->count] = true;
        if (stop && n < s->last) {
            s->last = n;
        }
        const bool wake = stop || haveWanted(s);
        pthread_mutex_unlock(&s->lock);
        // Woken once the lock is free (this thread holds the state).
        pthread_cond_signal(&s->idle);
        if (wake) {
            pthread_cond_signal(&s->filled);
        }
        if (stop) {
            pthread_cond_broadcast(&s->room);  // the other reader need not wait for room
            break;
        }
    }
    drop(s);
    return nullptr;
}

}  // namespace

bool Pipeline::allocate(Shape shape, std::size_t count, std::size_t extra)
{
    assert(state_ == nullptr && shape.slots >= 1 && shape.slots <= kMaxSlots && shape.stride >= shape.piece);
    assert(count >= 2 && count <= kMaxBuffers);
    // Made with malloc: the tools load no C++ runtime.
    void *place = std::malloc(sizeof(State));
    if (place == nullptr) {
        return false;
    }
    auto *s = new (place) State;
    // The extra bytes start aligned for any object the caller keeps there,
    // whatever the buffers' size.
    constexpr std::size_t kExtraAlign = 64;
    const std::size_t bytes = (count * shape.stride * shape.slots + kExtraAlign - 1) / kExtraAlign * kExtraAlign;
    // Mapped, so that the buffers start on a page (reads into them copy
    // whole pages) and all starts zeroed (a caller may rely on bytes it never
    // writes) without a pass over it: only the pages a run touches are ever
    // made, and the lists kept for the worst case mostly never are.
    // An anonymous mapping takes no file: its descriptor is -1 by POSIX.
    // cppcheck-suppress invalidFunctionArg
    void *memory = mmap(nullptr, bytes + extra, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        s->~State();
        std::free(s);
        return false;
    }
#ifdef MADV_POPULATE_WRITE
    // Every buffer is filled in a run of any length: its pages made in one
    // call rather than one fault each (a kernel without it faults them).
    (void)madvise(memory, bytes, MADV_POPULATE_WRITE);
#endif
    s->memory = static_cast<std::uint8_t *>(memory);
    s->mapped = bytes + extra;
    s->extra = s->memory + bytes;
    s->shape = shape;
    s->count = count;
    state_ = s;
    return true;
}

std::uint8_t *Pipeline::buffers() const
{
    return state_->memory;
}

std::uint8_t *Pipeline::extra() const
{
    return state_->extra;
}

void Pipeline::startReader(int fd, Prepare prepare, void *context, int threads)
{
    State *s = state_;
    struct stat st = {};
    const bool known = fstat(fd, &st) == 0;
#ifdef F_SETPIPE_SZ
    // A pipe of 64 KiB makes the writer and the reader take turns; a larger
    // one lets them run side by side. A hint: the system may refuse it.
    if (known && S_ISFIFO(st.st_mode)) {
        (void)fcntl(fd, F_SETPIPE_SZ, 1 << 20);
    }
#endif
    s->fd = fd;
    s->prepare = prepare;
    s->context = context;
    // A regular file is read at offsets from where it stands, by two threads
    // when the ring has room for both to read ahead.
    s->start = known && S_ISREG(st.st_mode) ? lseek(fd, 0, SEEK_CUR) : -1;
    s->positional = s->start >= 0;
    const int wanted = s->positional && s->count >= 4 && threads > 1 ? 2 : 1;
    // A small stack: the threads only read and prepare.
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, std::size_t{256} * 1024);
    // The readers wait until all have started: each steps by their number.
    pthread_mutex_lock(&s->lock);
    while (s->readers < wanted) {
        s->refs.fetch_add(1);
        if (pthread_create(&s->readThreads[s->readers], &attr, readAhead, &s->readArgs[s->readers]) != 0) {
            s->refs.fetch_sub(1);
            break;
        }
        s->readers++;
    }
    s->joined = s->readers == 0;
    s->started = true;
    pthread_cond_broadcast(&s->room);
    pthread_mutex_unlock(&s->lock);
    pthread_attr_destroy(&attr);
}

Block Pipeline::nextBlock()
{
    State *s = state_;
    const std::size_t n = s->taken++;
    if (s->readers == 0) {
        const Block b = readOne(s, n);
        if (s->prepare != nullptr && b.bytes != 0) {
            s->prepare(s->context, n, b.data, b.bytes);
        }
        s->handedOut += b.bytes;
        return b;
    }
    pthread_mutex_lock(&s->lock);
    if (!isReady(s, n)) {
        // Two readers fill the next block about when they fill this one,
        // where it has room without a block the caller still holds.
        s->waitFrom = n;
        const bool pair = s->writers == 0 && s->readers > 1 && n + 1 - s->released < s->count;
        s->wanted = pair ? n + 1 : n;
        while (!haveWanted(s)) {
            pthread_cond_wait(&s->filled, &s->lock);
        }
    }
    const Block b = s->blocks[n % s->count];
    pthread_mutex_unlock(&s->lock);
    s->handedOut += b.bytes;
    return b;
}

void Pipeline::releaseBlock()
{
    release(state_);
}

void Pipeline::startWriter(int files)
{
    State *s = state_;
    if (s->readers == 0 || files <= 0) {
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
        s->writers = w + 1;
        s->refs.fetch_add(1);
        pthread_t thread{};
        if (pthread_create(&thread, &attr, writeBehind, &s->writeArgs[w]) != 0) {
            s->refs.fetch_sub(1);
            s->writers = w;
            break;
        }
        // Never joined: a writer may be blocked on a pipe when the run ends.
        pthread_detach(thread);
    }
    pthread_attr_destroy(&attr);
}

void Pipeline::submitBlock(const WriteJob *jobs, int count)
{
    State *s = state_;
    if (s->writers == 0) {
        for (int j = 0; j < count; j++) {
            writeJob(s, jobs[j], j);
        }
        release(s);
        return;
    }
    pthread_mutex_lock(&s->wlock);
    const std::size_t n = s->submitted;
    for (int j = 0; j < count && j < 2; j++) {
        s->jobs[n % kMaxBuffers][j] = jobs[j];
    }
    s->jobCount[n % kMaxBuffers] = count < 2 ? count : 2;
    s->submitted = n + 1;
    pthread_cond_broadcast(&s->work);
    pthread_mutex_unlock(&s->wlock);
}

int Pipeline::writeError(int *job) const
{
    State *s = state_;
    pthread_mutex_lock(&s->wlock);
    const int err = s->err;
    *job = s->errJob;
    pthread_mutex_unlock(&s->wlock);
    return err;
}

int Pipeline::finishWriter(int *job)
{
    State *s = state_;
    pthread_mutex_lock(&s->wlock);
    for (int w = 0; w < s->writers; w++) {
        while (s->written[w] < s->submitted) {
            pthread_cond_wait(&s->done, &s->wlock);
        }
    }
    pthread_mutex_unlock(&s->wlock);
    return writeError(job);
}

void Pipeline::finishReader()
{
    State *s = state_;
    for (int k = 0; k < s->readers && !s->joined; k++) {
        pthread_join(s->readThreads[k], nullptr);
    }
    s->joined = true;
    // A file read at offsets is left where reading it through would have
    // left it, for a caller that shares it (standard input).
    if (s->positional) {
        (void)lseek(s->fd, s->start + static_cast<off_t>(s->handedOut), SEEK_SET);
    }
}

Pipeline::~Pipeline()
{
    State *s = state_;
    if (s == nullptr) {
        return;
    }
    pthread_mutex_lock(&s->lock);
    s->stopping.store(true);
    while (s->preparing != 0) {
        pthread_cond_wait(&s->idle, &s->lock);
    }
    pthread_cond_broadcast(&s->room);
    pthread_mutex_unlock(&s->lock);
    pthread_mutex_lock(&s->wlock);
    pthread_cond_broadcast(&s->work);
    pthread_mutex_unlock(&s->wlock);
    if (!s->joined) {
        for (int k = 0; k < s->readers; k++) {
            pthread_detach(s->readThreads[k]);
        }
    }
    drop(s);
}

}  // namespace io
