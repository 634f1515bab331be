// Plain POSIX input and output shared by the image tools: buffered standard
// output, whole reads and writes that go on after short transfers and EINTR,
// and outputs that are never the input. No heap, no stdio in the hot paths.
#pragma once

#include "status.h"

#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>

#include <climits>

#include <cstddef>
#include <cstdint>

namespace io {

// Gives a closed standard input, output or error /dev/null, so that files the
// tool opens never take descriptors 0 to 2 and receive its reports. Returns
// which of them were closed: bit 0 standard input, bit 1 output, bit 2 error.
unsigned guardStandardDescriptors();
// Whether standard descriptor fd (0 to 2) was closed when the guard ran: the
// /dev/null in its place is no stream to read or write.
bool wasClosed(int fd);
// Whether path is one of the names of standard descriptor fd (0 to 2), such as
// /dev/stdin: what reaches that descriptor, closed or not.
bool namesStandardStream(const char *path, int fd);

// Standard output, buffered here so that report lines cost a few stores each.
// The first failure to write it is kept (outError) and later output dropped;
// each tool decides what a lost report means. A standard output that was
// closed at the start fails with EBADF.
void printText(const char *text);
void printBytes(const char *bytes, std::size_t length);
// Room for `length` bytes at the end of the buffer (at most 4 KiB), to format
// into directly; outCommit(end) then keeps the bytes up to end.
char *outSpace(std::size_t length);
void outCommit(const char *end);
void flushOut();
// Sends the report to standard error from now on: for when standard output
// carries data.
void reportToStandardError();
int outError();  // 0, or the errno of the first failed write
// Drops what is buffered and all later standard output: for when standard
// output is where the data goes, which report lines would corrupt.
void discardOut();
bool outDropped();  // standard output failed or is discarded

// Whether path names the file that standard output is (/dev/stdout, say, or
// the file standard output is redirected to).
bool namesStandardOutput(const char *path);
// Whether an output name means standard output: "-", a name of it such as
// /dev/stdout, or the regular file or pipe standard output is (a terminal or
// /dev/null is a device like any other; after a closed standard output, only
// the names count).
bool meansStandardOutput(const char *name);
// Whether st is the regular file or the pipe that standard output is: writing
// there would mix data into the report, or lose the report.
bool isStandardOutputFile(const struct stat &st);

// Formats v in decimal at p; returns the end.
char *formatDecimal(char *p, std::uint64_t v);

// Reads until `want` bytes have arrived, the input ends (*ended) or a read
// fails (*err). Returns the bytes read.
std::size_t readFully(int fd, std::uint8_t *buf, std::size_t want, bool *ended, int *err);
// The same into the iovecs (which it consumes) in turn, from the file offset
// or, for an offset below 0, from where the file stands.
std::size_t readScattered(int fd, iovec *iov, int count, off_t offset, bool *ended, int *err);
// The same at a file offset, which it leaves where it was; an offset below 0
// reads from where the file stands, as readFully.
std::size_t preadFully(int fd, std::uint8_t *buf, std::size_t want, off_t offset, bool *ended, int *err);

// Writes all of the iovecs (which it consumes) or all of buf. Returns 0 or
// the errno of the failure. Like the reads above, it waits on a descriptor
// that is in non-blocking mode instead of failing with EAGAIN.
int writeAll(int fd, iovec *iov, int count);
int writeAll(int fd, const std::uint8_t *buf, std::size_t length);

// An output file. A regular file is written to a new temporary file beside it
// (after following a symlink to its file) and renamed over it only by
// commitOutput, after both reach the disk, so that an existing file is
// replaced by a complete one or not at all; the temporary takes the target's
// permission bits. A regular target whose folder takes no new file is
// refused. Devices and FIFOs are written in place.
struct Output {
    int fd = -1;
    bool reserved = false;
    bool existed = false;       // the target existed as a regular file
    struct stat target = {};    // its stat, when it existed
    char path[PATH_MAX] = {};   // the target, symlinks followed, in a canonical folder
    char temp[PATH_MAX] = {};   // the temporary, or empty when written in place
};

// Opens path for writing. A target is refused when it is one of the `avoid`
// files or one of the `others` (regular files, FIFOs and block devices, by
// their stat): writing there would destroy them before they are read, or mix
// two streams. A name ending in '/' is refused (EISDIR). Returns good,
// Invalid where the target is one of those files (nothing touched; the
// caller says which), or System with the errno.
nand::Status openOutput(const char *path, Output *out, const struct stat *const *avoid, std::size_t count,
                        const Output *const *others, std::size_t otherCount);

// Releases what a reservation left beyond the end, flushes the output to disk,
// closes it, renames the temporary over the target and flushes the folder.
// Returns 0 or the errno of the failure; the target is as it was unless only
// the folder's flush failed.
int commitOutput(Output *out);
// Closes the output and removes the temporary: the target stays as it was.
void abandonOutput(Output *out);

// Asks the file system to allocate `bytes` of fd at once, without changing
// its size: far cheaper than block by block as writes arrive (not asked of a
// file system in memory). A hint; returns whether it took. What a failed
// request allocated is given back.
bool reserve(int fd, std::uint64_t bytes);
// Gives back what a reservation left beyond the end of the file. Returns 0 or
// the errno of the failure.
int releaseReserve(int fd);

}  // namespace io
