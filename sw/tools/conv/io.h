// Plain POSIX input and output shared by the image tools: buffered standard
// output, whole reads and writes that go on after short transfers and EINTR,
// and outputs that are never the input. No heap, no stdio in the hot paths.
#pragma once

#include <sys/stat.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

namespace io {

// Gives a closed standard input, output or error /dev/null, so that files the
// tool opens never take descriptors 0 to 2 and receive its reports.
void guardStandardDescriptors();

// Standard output, buffered here so that report lines cost a few stores each.
// The first failure to write it is kept (outError) and later output dropped;
// each tool decides what a lost report means.
void printText(const char *text);
void printBytes(const char *bytes, std::size_t length);
// Room for `length` bytes at the end of the buffer (at most 4 KiB), to format
// into directly; outCommit(end) then keeps the bytes up to end.
char *outSpace(std::size_t length);
void outCommit(const char *end);
void flushOut();
int outError();  // 0, or the errno of the first failed write
// Drops what is buffered and all later standard output: for when standard
// output is where the data goes, which report lines would corrupt.
void discardOut();
bool outDropped();  // standard output failed or is discarded

// Whether fd is the same file as standard output (a path such as /dev/stdout,
// or the file standard output is redirected to).
bool isStandardOutput(int fd);

// Formats v in decimal at p; returns the end.
char *formatDecimal(char *p, std::uint64_t v);

// Reads until `want` bytes have arrived, the input ends (*ended) or a read
// fails (*err). Returns the bytes read.
std::size_t readFully(int fd, std::uint8_t *buf, std::size_t want, bool *ended, int *err);

// Writes all of the iovecs (which it consumes) or all of buf. Returns 0 or
// the errno of the failure.
int writeAll(int fd, iovec *iov, int count);
int writeAll(int fd, const std::uint8_t *buf, std::size_t length);

// Opens path for writing, creating it but not yet emptying it, so that it can
// first be refused when it is one of the `avoid` files (regular files, given by
// their stat): writing there would destroy them before they are read. Returns
// the descriptor, kSameFile (nothing touched), or -1 with errno set.
inline constexpr int kSameFile = -2;
int openOutput(const char *path, const struct stat *const *avoid, std::size_t count);

// Asks the file system to allocate `bytes` of fd at once, without changing
// its size: far cheaper than block by block as writes arrive. A hint; returns
// whether it took.
bool reserve(int fd, std::uint64_t bytes);
// Gives back what a reservation left beyond the end of the file. Returns 0 or
// the errno of the failure.
int releaseReserve(int fd);

}  // namespace io
