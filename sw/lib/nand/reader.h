// Reading ahead: a thread of its own reads the input in blocks into a ring of
// buffers while the caller works on the blocks before, so that reading
// overlaps computing and writing. The blocks come in input order, each a
// whole read as io::readFully makes it: short only at the end of the input
// or before a read error.
#pragma once

#include <cstddef>
#include <cstdint>

namespace io {

struct Block {
    std::uint8_t *data;
    std::size_t bytes;
    bool ended;  // the input ended within or right after this block
    int err;     // 0, or the errno of the read that failed after `bytes`
};

// Starts reading fd in blocks of blockSize bytes into `count` buffers of that
// size laid out one after another at buffers (count >= 2). One reader a
// process. Without a thread (it could not start) the blocks are read when
// asked for.
void startReader(int fd, std::uint8_t *buffers, std::size_t blockSize, std::size_t count);
// The next block; it stays the caller's until releaseBlock.
Block nextBlock();
void releaseBlock();
// After the last block: waits for the reading thread to end. A caller that
// stops early does not call it; the thread may be waiting on a pipe.
void finishReader();

}  // namespace io
