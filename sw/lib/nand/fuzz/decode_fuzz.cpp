// Fuzz target for the sector decoder. The input is a sector (512 bytes), a
// stored word (4 bytes) and two bit positions (2 bytes each), zero-padded.
//   - Against an arbitrary stored word: a data correction re-encodes to the
//     stored word, a code correction leaves the data alone, clean means equal.
//   - Against the sector's own word: one flipped bit is corrected at its
//     position; two flipped bits are never "corrected".
#include "ecc.h"

#include <cstdint>
#include <cstring>

namespace {

constexpr std::size_t kInput = ecc::kSectorSize + 4 + 2 + 2;
constexpr unsigned kDataBits = 8 * ecc::kSectorSize;

void flip(std::uint8_t *sector, unsigned bit)
{
    sector[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
}

void require(bool ok)
{
    if (!ok) {
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::uint8_t in[kInput] = {};
    std::memcpy(in, data, size < kInput ? size : kInput);
    std::uint8_t sector[ecc::kSectorSize];
    std::memcpy(sector, in, sizeof sector);
    std::uint32_t stored;
    std::memcpy(&stored, in + ecc::kSectorSize, 4);
    const unsigned a = (in[516] | static_cast<unsigned>(in[517]) << 8) % kDataBits;
    const unsigned b = (in[518] | static_cast<unsigned>(in[519]) << 8) % kDataBits;

    const std::uint32_t own = computeECC(sector);

    std::uint8_t work[ecc::kSectorSize];
    std::memcpy(work, sector, sizeof work);
    const EccDecode d = correctECC(work, stored, own);
    switch (d.status) {
    case EccStatus::Clean:
        require(stored == own && std::memcmp(work, sector, sizeof work) == 0);
        break;
    case EccStatus::CorrectedData:
        require(((computeECC(work) ^ stored) & kEccCodeBits) == 0);
        break;
    case EccStatus::CorrectedCode:
    case EccStatus::Uncorrectable:
        require(std::memcmp(work, sector, sizeof work) == 0);
        break;
    case EccStatus::CorrectedBits:
        require(false);  // a one-bit code never reports it
        break;
    }

    std::memcpy(work, sector, sizeof work);
    flip(work, a);
    const EccDecode one = correctECC(work, own, computeECC(work));
    require(one.status == EccStatus::CorrectedData && one.offset * 8u + one.bit == a &&
            std::memcmp(work, sector, sizeof work) == 0);

    if (a != b) {
        std::memcpy(work, sector, sizeof work);
        flip(work, a);
        flip(work, b);
        require(decodeECC(own, computeECC(work)).status == EccStatus::Uncorrectable);
    }
    return 0;
}
