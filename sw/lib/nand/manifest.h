// The manifest of `nandconv inject`: one JSON object a line,
// {"page":P,"step":S,"offset":O,"bit":B}, the flips it made in page order,
// read back whole and checked against a layout before a check compares its
// corrections with them.
#pragma once

#include "record.h"

#include <cstddef>
#include <cstdint>

namespace nand {

struct ManifestFlip {
    std::uint64_t page;
    std::int32_t step;     // -1 (null) for an OOB byte that holds no code
    std::uint32_t offset;  // in the record
    std::uint8_t bit;
    bool correctable;      // in a step's data, protected bytes or a bit of its code
    std::uint64_t line;    // in the manifest, from 1
};

// The flips of a manifest, in one block of memory that grows as it is read
// (the tools load no C++ runtime, so no std::vector); freeManifest gives it
// back.
struct Manifest {
    ManifestFlip *flips = nullptr;
    std::size_t count = 0;
    std::size_t capacity = 0;
    // The blocks inject marked bad ({"block":B,"class":"bad-block"}), in order.
    std::uint64_t *badBlocks = nullptr;
    std::size_t badCount = 0;
    std::size_t badCapacity = 0;
};
void freeManifest(Manifest *m);

// A page count for parseManifest when the image's length is not known yet.
inline constexpr std::uint64_t kUnknownPages = ~std::uint64_t{0};

// Reads the manifest text (size bytes) for the layout of c into *m.
// Every line is checked: one object with exactly the keys page, step, offset
// and bit, in any order and spacing, numbers in decimal as JSON writes them;
// page below `pages`, an offset within the record, bit 0 to 7, step the one
// that holds the offset (null for a free OOB byte); pages in order and, within
// a page, the steps in the order inject writes them (any order when all the
// page's flips are in the OOB, as --area oob draws them); no flip twice. Empty
// lines are skipped. A line {"block":B,"class":"bad-block"} names a block
// that inject marked bad; those come in block order. Returns Invalid with a
// fault ("line N: ..."): the first faulty line, or, once all lines read, a
// page's order or twins.
Status parseManifest(const char *text, std::size_t size, const Codec &c, std::uint64_t pages, Manifest *m);

// The first flip that names a page at or past `pages`; m.count when none does.
std::size_t firstFlipPast(const Manifest &m, std::uint64_t pages);

}  // namespace nand
