// The i.MX GPMI BCH page layout: its geometry from the page and OOB sizes, and
// records of it encoded and checked as the controller writes and reads them.
//
// The raw page (page + OOB bytes as a programmer takes them) is one bit
// stream, least significant bit of each byte first:
//
//   bit 0                        80                80 + 8C           80 + 8C + E
//   | metadata (10 bytes) | chunk 0 (C bytes) | ECC 0 (E bits) | chunk 1 | ECC 1 | ...
//
// then 1 bits to the end of the byte after the last ECC, then 0xFF to the end
// of the record. C is the chunk size, E = gf * t the bits of a code. ECC 0
// covers the metadata and chunk 0, ECC k chunk k; each is Linux's BCH
// (bch.h) with its bytes bit-reversed in and out (swapBits), so that the
// message and its code, read in stream order, make one codeword; no mask.
//
// Before the codes are made, the payload byte that lands on raw byte `page`
// (a byte of the last chunk, at any bit offset) is exchanged with metadata
// byte 0, so that the bad-block marker byte of the flash holds the metadata
// byte (0xFF as written); the codes cover the page as it is on the flash, and
// a read undoes the exchange after correcting. The i.MX23 makes no exchange.
//
// Corrected bits are reported by location as record.h gives them for a
// step with 10 protected bytes: bit n < 8 C is bit n % 8 of the chunk's data
// byte n / 8; then the 80 metadata bits (chunk 0 only); then the E code bits
// in stream order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nand {

struct Codec;
struct RecordResult;

namespace gpmi {

inline constexpr std::uint32_t kMetadataBytes = 10;
inline constexpr std::uint32_t kFirstChunk = 512;
inline constexpr unsigned kSmallField = 13;  // the field of 512-byte chunks
inline constexpr unsigned kLargeField = 14;  // of larger ones
inline constexpr unsigned kSmallFieldPoly = 0x201b;
// Not published for this controller: the lowest-weight primitive polynomial
// of degree 14 that Linux also uses; --poly changes it.
inline constexpr unsigned kLargeFieldPoly = 0x402b;

enum class Soc : std::uint8_t {
    Imx23,
    Imx28,
    Imx6q,
    Imx6sx,
};
inline constexpr Soc kDefaultSoc = Soc::Imx6sx;

// "imx23", "imx28", "imx6q", "imx6sx", and back; false for no such name.
const char *socName(Soc s);
bool socByName(const char *text, Soc *s);
// The largest strength the SoC's BCH engine takes.
unsigned maxStrength(Soc s);

struct Geometry {
    std::uint32_t chunk;     // C, bytes of page data a code covers
    std::uint32_t chunks;    // N
    std::uint32_t gf;        // the field GF(2^gf)
    std::uint32_t t;         // the strength
    std::uint32_t eccBits;   // E = gf * t
    bool swap;               // the marker exchange is made
    std::uint32_t markBit;   // the payload bit of the exchanged byte's bit 0
};

// The geometry Linux's driver chooses for a page and OOB (its legacy rule):
// chunks of 512 bytes over GF(2^13), doubled over GF(2^14) while smaller than
// the OOB; t the even number at or below (oob - 10) * 8 / (gf * N), or
// `strength` where not 0. False with one reason in why: a page that is no
// whole number of chunks, a strength above the SoC's maximum or one the OOB
// cannot hold, or a code the field cannot make.
bool makeGeometry(std::uint32_t page, std::uint32_t oob, Soc soc, unsigned strength, Geometry *g, char *why,
                  std::size_t whySize);

// The record functions of record.h for a codec of this layout; record.cpp
// hands them on. `meta` (kMetadataBytes, or null for 0xFF) is the metadata
// written.
void makeCodec(Codec *c);
void encodeRecord(const Codec &c, std::uint8_t *record, const std::uint8_t *meta, bool keepErased);
void checkRecord(const Codec &c, std::uint8_t *record, unsigned erasedThreshold, RecordResult *result);
bool recordIsClean(const Codec &c, const std::uint8_t *record);
// The page data with the marker exchange undone.
void recordData(const Codec &c, const std::uint8_t *record, std::uint8_t *data);
// The metadata bytes as the driver hands them over: byte 0 the marker byte.
void recordMetadata(const Codec &c, const std::uint8_t *record, std::uint8_t *meta);
// The record bit (byte * 8 + bit) of location loc of chunk s.
std::uint32_t locationBit(const Codec &c, std::size_t s, unsigned loc);
// The chunk that bit `bit` of a record byte belongs to (-1: none), and the
// bits of the byte that are that chunk's: a byte may end one chunk's code
// and start the next chunk's data.
void bitRole(const Codec &c, std::uint32_t offset, unsigned bit, std::int32_t *step, std::uint8_t *keep);

}  // namespace gpmi
}  // namespace nand
