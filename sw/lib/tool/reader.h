// The block pipeline of the tools: reading threads read the input in blocks
// into a ring of buffers and work on each while it is in their cache, the
// caller works on a block in input order, and writing threads write what the
// caller made of it, so that reading, computing and writing overlap. Each
// block is a whole read: short only at the end of the input or before a read
// error. A block goes back to the readers once it is released, by the caller
// or, when it was submitted for writing, by the writers once written.
//
// A Pipeline is one run; several may run at once, in threads of their own.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

namespace io {

struct Block {
    std::uint8_t *data;  // the block's buffer
    std::size_t bytes;   // of input, in the slots in turn
    bool ended;  // the input ended within or right after this block
    int err;     // 0, or the errno of the read that failed after `bytes`
};

// Work on a block by the thread that read it, while its bytes are still in
// that processor's cache: the caller's context, block n, its data and its
// bytes (never 0). It may only write state of block n's own; it runs before
// the block is handed out, and never once the pipeline is being destroyed.
using Prepare = void (*)(void *context, std::size_t n, std::uint8_t *data, std::size_t bytes);

// How a block lies in its buffer: `slots` slots of `stride` bytes, each
// starting with `piece` bytes of the input (stride >= piece), so that a
// record can be made around each piece where it was read. The input bytes of
// a block are piece * slots; its buffer takes stride * slots.
struct Shape {
    std::size_t piece;
    std::size_t stride;
    std::size_t slots;  // 1 to kMaxSlots
};
inline constexpr std::size_t kMaxSlots = 1024;
inline constexpr std::size_t kMaxBuffers = 16;

// Writing behind: the writes of one block, at most two files.
struct WriteJob {
    int fd;
    iovec *iov;  // advanced as it is written: in the extra bytes
    int count;
};

class Pipeline {
public:
    Pipeline() = default;
    Pipeline(const Pipeline &) = delete;
    Pipeline &operator=(const Pipeline &) = delete;
    // Ends the run however far it got. A thread still blocked reading a pipe
    // or writing one is left to end by itself; the memory it may touch (the
    // buffers, the extra bytes) is freed by whichever ends last.
    ~Pipeline();

    // Makes `count` buffers (2 to kMaxBuffers) for blocks of `shape`, and
    // `extra` bytes for what the caller writes from (iovec lists, fills), which
    // live as long as the buffers; all zeroed. False when out of memory.
    bool allocate(Shape shape, std::size_t count, std::size_t extra);
    std::uint8_t *buffers() const;
    std::uint8_t *extra() const;

    // Starts reading fd into the buffers. A regular file is read at offsets,
    // from where it stands, by up to `threads` threads (1 or 2) that take
    // turns by block; anything else by one thread. Without a thread (none
    // could start) the blocks are read when asked for.
    void startReader(int fd, Prepare prepare = nullptr, void *context = nullptr, int threads = 2);
    // The next block; it stays the caller's until releaseBlock.
    Block nextBlock();
    void releaseBlock();
    // After the last block: waits for the reading threads to end, and leaves
    // a file read at offsets positioned after what was read. A caller that
    // stops early does not call it; a thread may be waiting on a pipe.
    void finishReader();

    // Starts the writing threads: one for each of `files` (0 to 2) files that
    // every block is written to, so that two files are written side by side.
    // Without them (they could not start) every block is written when it is
    // submitted.
    void startWriter(int files);
    // Hands the current block to the writers with its writes, job j to the
    // same file in every block; each file gets its blocks in order, and the
    // block is released once all its jobs are written. After a failed write,
    // later writes are left out. The iovecs must point into the buffers or
    // the extra bytes.
    void submitBlock(const WriteJob *jobs, int count);
    // The first failed write so far: its errno (0: none) and the index of its job.
    int writeError(int *job) const;
    // Waits until every submitted block is written; returns writeError.
    int finishWriter(int *job);

    struct State;

private:
    State *state_ = nullptr;
};

}  // namespace io
