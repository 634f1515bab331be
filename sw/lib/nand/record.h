// Records of a layout (layout.h): a page encoded with its OOB, and a record
// checked as a reader of the flash would, step by step.
#pragma once

#include "bch.h"
#include "ecc.h"
#include "gpmi.h"
#include "layout.h"
#include "sunxi.h"

#include <cstddef>
#include <cstdint>
#include <limits>

namespace nand {

static_assert(kMaxEccBytes >= bch::kMaxCodeBytes, "a step stores the longest code the engine makes");

// A layout made ready for the page loop: where every data, protected and ECC
// byte of a step sits in the record.
struct Codec {
    Layout layout;
    std::size_t steps;
    std::size_t eccBytes;    // stored per step: the code, then any spare bytes
    std::size_t codeBytes;   // of the code
    std::size_t protBytes;   // protected bytes a step, encoded after its data
    std::size_t recordSize;  // page + OOB
    bool dataInPlace;        // the page data is the record's first pageSize bytes
    bool messageInPlace;     // a step's protected bytes follow its data in the record
    std::uint32_t dataPos[kMaxSteps];   // step s's data at record byte dataPos[s]
    std::uint32_t eccPos[kMaxOobSize];  // ECC byte i of step s at record byte eccPos[s * eccBytes + i]
    std::uint32_t protPos[kMaxOobSize];  // protected byte i of step s at record byte protPos[s * protBytes + i]
    // Each OOB byte's step (-1: none) and the bits of it that a decoder
    // corrects, for a layout that is not interleaved.
    std::int16_t oobStep[kMaxOobSize];
    std::uint8_t oobKeep[kMaxOobSize];
    std::uint8_t eccKeep[kMaxEccBytes];  // the bits of each ECC byte that belong to the code
    // Whether a blank step (data and ECC all 0xFF) is a codeword, as Linux
    // makes it for its software codes. Where it is not (the classic code), a
    // blank step with a flipped bit decodes as a "correction" at the mirror
    // place of the flip, so blank steps are found before decoding.
    bool blankIsCodeword;
    gpmi::Geometry gpmi;  // of a layout of Vendor::Gpmi
    // For a sunxi layout, by the page's seed (boot0: row 0): the code of the
    // page's stream over a step's message, XOR the stream over its code. The
    // code being linear, a step's code from the bytes as stored, XOR this,
    // is its stored code, stream and all, wherever the step is intact.
    std::uint8_t sunxiStreamCode[sunxi::kSeedCount][bch::kMaxCodeBytes];
    bch::Code bch;  // the tables of a BCH layout
};

// Makes the codec of a layout that makeLayout accepted.
void makeCodec(const Layout &layout, Codec *codec);

// Makes a record of the page data in its first pageSize bytes: moves each
// step's data to its place (interleaved), writes every code at its place,
// the bad-block marker 0xFF and every other byte the layout's free fill;
// protected bytes, written as free fill (0xFF where they cover the marker),
// are encoded as such. With keepErased, a page of all 0xFF gets an OOB
// of all 0xFF, as blank flash has.
void encodeRecord(const Codec &c, std::uint8_t *record, bool keepErased);
// The same with the metadata bytes of a layout that has them (gpmi.h);
// meta null writes 0xFF, as the other layouts do. A layout that scrambles
// its pages (sunxi.h) takes the record's index in the image, and the bytes
// of the page that came from the input (its padding may be filled).
inline constexpr std::size_t kWholePage = std::numeric_limits<std::size_t>::max();
void encodeRecordWithMeta(const Codec &c, std::uint8_t *record, const std::uint8_t *meta, bool keepErased,
                          std::uint64_t page = 0, std::size_t dataBytes = kWholePage);

// The record byte of bad-block marker byte i: an OOB byte, or in an
// interleaved layout a byte from raw byte pageSize on.
inline std::uint32_t markerByte(const Codec &c, std::size_t i)
{
    return c.layout.pageSize + c.layout.markers[i];
}

// Whether the page's bad-block marker is set: a marker byte that is not
// 0xFF (Linux's nand_block_bad with 8 bad-block bits).
bool markerSet(const Codec &c, const std::uint8_t *record);

// Whether the eraseblock of pagesPerBlock records at block is bad: the first
// of its marker pages whose marker is set, or -1.
long badBlockMarkerPage(const Codec &c, const std::uint8_t *block);

// Copies the page data of a record to data (pageSize bytes); `page` is the
// record's index in the image, for a layout that scrambles its pages.
void recordData(const Codec &c, const std::uint8_t *record, std::uint8_t *data, std::uint64_t page = 0);

// The bits a check corrected in one step, by location: n < 8 * stepSize is
// bit n % 8 of the step's data byte n / 8; then 8 * protBytes bits of its
// protected bytes; above, bit n % 8 of ECC byte (n - 8 * (stepSize +
// protBytes)) / 8.
inline constexpr std::size_t kMaxCorrected = bch::kMaxT;

// The record byte of location loc of step s, and its record bit (byte * 8
// + bit), which a bit-packed layout needs to name it.
std::uint32_t locationByte(const Codec &c, std::size_t s, unsigned loc);
std::uint32_t locationBit(const Codec &c, std::size_t s, unsigned loc);

// What a record byte holds: the step whose data, protected or ECC byte it is
// (-1: a free byte), and the bits of it that the step's decoder corrects.
struct ByteRole {
    std::int32_t step;
    std::uint8_t keep;
};
ByteRole byteRole(const Codec &c, std::uint32_t offset);
// The same for bit `bit` of the byte, where a byte may hold the bits of two
// steps (a bit-packed layout): the step of that bit and its bits of the byte.
ByteRole bitRole(const Codec &c, std::uint32_t offset, unsigned bit);

struct StepResult {
    EccStatus status;    // a multi-bit code reports CorrectedBits; a blank step Clean
    bool blank;          // blank flash: reads back as 0xFF, its zero bits are `flips`
    std::uint32_t byte;  // for CorrectedData: the corrected bit's offset in the page data
    std::uint8_t bit;
    std::uint8_t count;  // the corrected bits (of a blank step: its first flips), in locs
    std::uint32_t flips;  // of a blank step: its zero bits, all of them
    std::uint16_t locs[kMaxCorrected];
};

struct RecordResult {
    bool erased;        // every step is blank
    unsigned bitflips;  // the flips of the blank steps
    StepResult steps[kMaxSteps];
};

// Checks a record and repairs it in place, step by step. A step is blank
// flash when its data and ECC bytes together have at most `erasedThreshold`
// zero bits; it then becomes all 0xFF and is reported with its flips. The
// other OOB bytes never decide it: they hold no code, and a free byte may be a
// bad-block marker or a file system's mark on blank flash.
//
//   - Where blank is no codeword (!blankIsCodeword), the blank test comes
//     first and a blank step is never decoded. A step that is not blank but
//     decodes to a codeword no nearer than blank flash is (in data and ECC
//     bits) is not corrected: it is uncorrectable, never "corrected" at the
//     mirror place of a flip.
//   - Where blank is a codeword, the step is decoded first, as Linux does; it
//     is blank when it decodes to all 0xFF with at most the threshold of
//     corrections, or fails to decode and passes the blank test.
//
// Otherwise a flipped bit that the code can correct is flipped back and the
// ECC bytes of a corrected step are rewritten; an uncorrectable step keeps its
// data and ECC bytes. The record is erased when every step is blank; its free
// OOB bytes stay as they were read.
//
// `page` is the record's index in the image, for a layout that scrambles its
// pages (sunxi.h).
void checkRecord(const Codec &c, std::uint8_t *record, unsigned erasedThreshold, RecordResult *result,
                 std::uint64_t page = 0);

// Whether checkRecord would find every step clean and none blank with flips,
// the record not erased, and leave it as it is: the quick test for the common case, which reads the
// record and changes nothing.
bool recordIsClean(const Codec &c, const std::uint8_t *record, unsigned erasedThreshold, std::uint64_t page = 0);

// The zero bits among n bytes; stops counting once there are more than limit.
unsigned zeroBits(const std::uint8_t *p, std::size_t n, unsigned limit);

}  // namespace nand
