// Fuzz target for the record reader of conv-check: an arbitrary byte stream is
// cut into 2112-byte records as the checker cuts an image, and every record is
// checked and repaired. A repaired record must check clean but for its
// uncorrectable sectors, which keep their bytes; a blank record stays as it is;
// only the named data bit and the rewritten ECC fields may change.
#include "ecc.h"
#include "image.h"

#include <cstdint>
#include <cstring>

namespace {

void require(bool ok)
{
    if (!ok) {
        __builtin_trap();
    }
}

void checkOne(const std::uint8_t *original)
{
    std::uint8_t record[image::kRecordSize];
    std::memcpy(record, original, sizeof record);
    EccDecode first[image::kSectorsPerPage];
    if (!image::checkRecord(record, first)) {
        require(std::memcmp(record, original, sizeof record) == 0);
        return;
    }
    std::uint8_t again[image::kRecordSize];
    std::memcpy(again, record, sizeof again);
    EccDecode second[image::kSectorsPerPage];
    const bool decoded = image::checkRecord(again, second);
    require(decoded && std::memcmp(again, record, sizeof again) == 0);

    for (std::size_t s = 0; s < image::kSectorsPerPage; s++) {
        const std::size_t base = s * ecc::kSectorSize;
        std::uint8_t expected[ecc::kSectorSize];
        std::memcpy(expected, original + base, sizeof expected);
        if (first[s].status == EccStatus::CorrectedData) {
            expected[first[s].offset] ^= static_cast<std::uint8_t>(1u << first[s].bit);
        }
        require(std::memcmp(record + base, expected, sizeof expected) == 0);
        if (first[s].status == EccStatus::Uncorrectable) {
            require(second[s].status == EccStatus::Uncorrectable);
            require(std::memcmp(image::eccField(record, s),
                                original + (image::eccField(record, s) - record), 4) == 0);
        } else {
            require(second[s].status == EccStatus::Clean);
        }
    }
    // Spare words 0..11 are never touched.
    require(std::memcmp(record + image::kPageSize, original + image::kPageSize, 48) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    for (std::size_t offset = 0; offset + image::kRecordSize <= size; offset += image::kRecordSize) {
        checkOne(data + offset);
    }
    return 0;
}
