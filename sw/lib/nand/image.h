// The page image that conv writes and conv-check reads (the layout preset
// "classic"): the one place where its layout is written down.
//
// An image is a plain sequence of 2112-byte page records, record p at file
// offset 2112 * p, with no header, trailer or padding between records.
//
//   | offset | size | content                                              |
//   |--------|------|------------------------------------------------------|
//   | 0      | 2048 | page data: input bytes 2048p .. 2048p+2047, the last  |
//   |        |      | page zero-filled; bits flipped in conv's -s/-d modes  |
//   | 2048   | 48   | spare words 0..11, zero as conv writes them           |
//   | 2096   | 4    | spare word 12: ECC word of sector 0 (bytes 0..511)    |
//   | 2100   | 4    | spare word 13: ECC word of sector 1 (bytes 512..1023) |
//   | 2104   | 4    | spare word 14: ECC word of sector 2                   |
//   | 2108   | 4    | spare word 15: ECC word of sector 3                   |
//
// Every spare word is stored least significant byte first, whatever the host,
// so the ECC word printed as 0xe70f1800 is stored as 00 18 0f e7. The bit
// layout of an ECC word is in ecc.h.
#pragma once

#include "ecc.h"

#include <cstddef>
#include <cstdint>

namespace image {

inline constexpr std::size_t kPageSize = 2048;
inline constexpr std::size_t kSectorsPerPage = kPageSize / ecc::kSectorSize;
inline constexpr std::size_t kSpareWords = 16;
inline constexpr std::size_t kSpareSize = kSpareWords * sizeof(std::uint32_t);
inline constexpr std::size_t kRecordSize = kPageSize + kSpareSize;
inline constexpr std::size_t kFirstEccWord = kSpareWords - kSectorsPerPage;  // word 12

inline void storeLE32(std::uint8_t *dst, std::uint32_t word)
{
    dst[0] = static_cast<std::uint8_t>(word);
    dst[1] = static_cast<std::uint8_t>(word >> 8);
    dst[2] = static_cast<std::uint8_t>(word >> 16);
    dst[3] = static_cast<std::uint8_t>(word >> 24);
}

inline std::uint32_t loadLE32(const std::uint8_t *src)
{
    return static_cast<std::uint32_t>(src[0]) | static_cast<std::uint32_t>(src[1]) << 8 |
           static_cast<std::uint32_t>(src[2]) << 16 | static_cast<std::uint32_t>(src[3]) << 24;
}

// The spare word that holds the ECC word of sector s, within a record.
inline std::uint8_t *eccField(std::uint8_t *record, std::size_t s)
{
    return record + kPageSize + (kFirstEccWord + s) * sizeof(std::uint32_t);
}
inline const std::uint8_t *eccField(const std::uint8_t *record, std::size_t s)
{
    return record + kPageSize + (kFirstEccWord + s) * sizeof(std::uint32_t);
}

}  // namespace image
