// Fuzz target: every version of the sector ECC gives the reference's word for
// whatever sector the fuzzer makes up. Inputs of 512 bytes or more are used in
// place (unaligned, with nothing readable past the sector); shorter ones are
// padded with zeros.
#include "ecc.h"

#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::uint8_t padded[ecc::kSectorSize] = {};
    const std::uint8_t *sector = data;
    if (size < ecc::kSectorSize) {
        std::memcpy(padded, data, size);
        sector = padded;
    } else {
        sector = data + size - ecc::kSectorSize;
    }
    const std::uint32_t want = computeECCReference(sector);
    if (computeECCPortable(sector) != want || computeECC(sector) != want ||
        (eccHasAvx2() && computeECCAvx2(sector) != want)) {
        __builtin_trap();
    }
    return 0;
}
