// Building an image from page data a run of pages at a time, for images of
// any size: each call makes the records of the pages it is given.
#pragma once

#include "record.h"

#include <cstddef>
#include <cstdint>

namespace nand {

// The records that `bytes` of page data make: a short last page is padded.
inline std::size_t recordsFor(const Codec &c, std::size_t bytes)
{
    return (bytes + c.layout.pageSize - 1) / c.layout.pageSize;
}

// Makes the records of `bytes` of page data at data into records
// (recordsFor(bytes) of them, which must not overlap data): each page with
// its codes and fills, a short last page padded with the layout's padFill.
// With keepErased a page of all 0xFF stays blank flash. firstPage is the
// image's page the first of them is (a scrambling layout's seed follows it).
// Returns the records made. Feed an image's pages in any runs, each with its
// first page: the records are the same.
std::size_t buildRecords(const Codec &c, const std::uint8_t *data, std::size_t bytes, std::uint8_t *records,
                         bool keepErased, std::uint64_t firstPage = 0);

}  // namespace nand
