// Page records as a reader of the flash sees them; the layout is in image.h.
#include "image.h"

#include <bit>
#include <cstring>

namespace image {

namespace {

constexpr std::size_t kFreeSpare = kFirstEccWord * sizeof(std::uint32_t);  // spare bytes 0..47

// The zero bits among n bytes; stops counting once there are more than limit.
unsigned zeroBits(const std::uint8_t *p, std::size_t n, unsigned limit)
{
    unsigned zeros = 0;
    std::size_t i = 0;
    for (; i + 8 <= n && zeros <= limit; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, p + i, sizeof w);
        zeros += static_cast<unsigned>(std::popcount(~w));
    }
    for (; i < n && zeros <= limit; i++) {
        zeros += static_cast<unsigned>(std::popcount(static_cast<std::uint8_t>(~p[i])));
    }
    return zeros;
}

// Whether the record is erased under the threshold; sets *flips to its zero bits.
bool isErased(const std::uint8_t *record, unsigned threshold, unsigned *flips)
{
    unsigned total = zeroBits(record + kPageSize, kFreeSpare, threshold);
    if (total > threshold) {
        return false;
    }
    for (std::size_t s = 0; s < kSectorsPerPage; s++) {
        const unsigned zeros = zeroBits(record + s * ecc::kSectorSize, ecc::kSectorSize, threshold);
        if (zeros > threshold) {
            return false;
        }
        const unsigned all = zeros + zeroBits(eccField(record, s), 4, threshold);
        if (all > threshold) {
            return false;
        }
        total += all;
    }
    *flips = total;
    return true;
}

}  // namespace

void checkRecord(std::uint8_t *record, unsigned erasedThreshold, RecordCheck *result)
{
    result->bitflips = 0;
    result->erased = isErased(record, erasedThreshold, &result->bitflips);
    if (result->erased) {
        std::memset(record, 0xFF, kRecordSize);
        return;
    }
    for (std::size_t s = 0; s < kSectorsPerPage; s++) {
        std::uint8_t *sector = record + s * ecc::kSectorSize;
        std::uint8_t *field = eccField(record, s);
        EccDecode &d = result->sectors[s];
        d = correctECC(sector, loadLE32(field), computeECC(sector));
        if (d.status == EccStatus::CorrectedData || d.status == EccStatus::CorrectedCode) {
            storeLE32(field, computeECC(sector));
        }
    }
}

}  // namespace image
