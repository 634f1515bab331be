// Allwinner's NAND controller layouts, `sunxi` (Linux's normal pages) and
// `sunxi-boot0` (the boot ROM's pages): their strengths, randomizer and
// padding fill, and records of them encoded and checked.
//
// The code is Linux's BCH (bch.h) over GF(2^14) with the polynomial 0x5803,
// no mask, bytes bit-reversed in and out (swapBits). A step's message is
// its data (stepSize bytes) and then its 4 user bytes; it stores
// E = ceil(14 t / 8) code bytes rounded up to an even count, the spare byte
// 0x00 before scrambling and ignored by reads. The code has 14 t bits up to
// t = 64 and 14 t - 7 from t = 65 on (a^129 has only 7 conjugates); the bits
// after it are 0 as well.
//
// sunxi, page P + OOB O, N = P / stepSize steps:
//
//   raw 0 .. P                         the data of steps 0, 1, ...
//   P + k (4 + E) .. + 4               step k's user bytes (step 0's bytes 0..1: the marker)
//   P + k (4 + E) + 4 .. + E           step k's code
//   P + N (4 + E) .. P + O             0xFF
//
// sunxi-boot0, pageSize = the usable part U of a flash page of rawPage bytes:
//
//   raw k (S + 4 + E) ..               step k's data (S bytes), 4 user bytes, code
//   raw N (S + 4 + E) .. rawPage + O   fill; raw rawPage and rawPage + 1 then 0xFF
//
// The randomizer is a 15-bit LFSR (x^15 + x^14 + 1): byte k of a stream is
// XOR-ed with the low byte of the state after 15 + 8k steps from the seed.
// Each step restarts the stream at the page's seed and runs it through its
// data, user bytes and code; sunxi's bytes after the last code are 0xFF
// scrambled from the seed again. sunxi's seed is the table's entry for the
// page within its block (modulo 128); boot0's is always 0x4a80. Linux
// XORs step 0's marker bytes with the stream before the code is made, so
// that they reach the flash as written (0xFF); sunxi follows it.
//
// boot0's fill stands in for the builder's reads of /dev/urandom, in the
// same order: first the page's bytes after its last step, then the padding
// of a short last step. Fill byte j of page i is byte j % 8 (least
// significant first) of the (j / 8)-th output of SplitMix64 started at the
// state seed + i. Without the randomizer (the builder without -s) they are
// 0xFF; boot0's steps are scrambled either way, as the boot ROM reads them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nand {

struct Codec;
struct Layout;
struct RecordResult;

namespace sunxi {

inline constexpr unsigned kField = 14;
inline constexpr unsigned kPoly = 0x5803;
inline constexpr std::uint32_t kUserBytes = 4;
inline constexpr std::uint16_t kBoot0Seed = 0x4a80;
inline constexpr std::size_t kSeedCount = 128;
inline constexpr std::uint32_t kStep = 1024;
inline constexpr std::uint32_t kSmallStep = 512;

enum class Soc : std::uint8_t {
    A10,  // the controller of the A10 to the H3: the strength table
    H6,   // the newer controllers: any strength of 16 to 80
};

// "a10", "h6", and back; false for no such name.
const char *socName(Soc s);
bool socByName(const char *text, Soc *s);

// Whether the SoC's controller takes strength t; the reason in why if not.
bool strengthAllowed(Soc s, unsigned t, char *why, std::size_t whySize);
// E: the code bytes a step stores for strength t, ceil(14 t / 8) made even.
constexpr std::uint32_t eccBytes(unsigned t)
{
    const std::uint32_t n = (kField * t + 7) / 8;
    return n + n % 2;
}

// The builder's usable part of a flash page for boot0: 8 KiB above 8 KiB
// pages, 4 KiB above 4 KiB, else 1 KiB.
inline constexpr std::uint32_t kLargeUsable = 8192;
inline constexpr std::uint32_t kMiddleUsable = 4096;
inline constexpr std::uint32_t kSmallUsable = 1024;
constexpr std::uint32_t defaultUsablePage(std::uint32_t rawPage)
{
    if (rawPage > kLargeUsable) {
        return kLargeUsable;
    }
    return rawPage > kMiddleUsable ? kMiddleUsable : kSmallUsable;
}
// The seed of page `page` of an image of eraseblocks of pagesPerBlock, and
// its row in the seed table.
std::uint16_t pageSeed(std::uint32_t pagesPerBlock, std::uint64_t page);
std::size_t pageSeedIndex(std::uint32_t pagesPerBlock, std::uint64_t page);

// The geometry of a layout of either vendor, checked: false with the reason.
bool checkLayout(const Layout &l, char *why, std::size_t whySize);

// The record functions of record.h for a codec of these layouts; record.cpp
// hands them on. `page` is the record's index in the image, `dataBytes` the
// bytes of the page that came from the input (the rest is padding).
void makeCodec(Codec *c);
void encodeRecord(const Codec &c, std::uint8_t *record, bool keepErased, std::uint64_t page, std::size_t dataBytes);
void checkRecord(const Codec &c, std::uint8_t *record, unsigned erasedThreshold, RecordResult *result,
                 std::uint64_t page);
bool recordIsClean(const Codec &c, const std::uint8_t *record, std::uint64_t page);
void recordData(const Codec &c, const std::uint8_t *record, std::uint8_t *data, std::uint64_t page);

}  // namespace sunxi
}  // namespace nand
