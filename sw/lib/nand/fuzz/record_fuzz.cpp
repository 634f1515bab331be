// Fuzz target for the record reader of conv-check: an arbitrary byte stream is
// cut into 2112-byte records as the checker cuts an image, and every record is
// checked and repaired. A repaired record must check clean but for its
// uncorrectable sectors, which keep their bytes; a sector taken for blank flash
// reads back as all 0xFF, data and word; only the named data bit and the
// rewritten ECC fields may change, never the other spare words.
#include "image.h"
#include "record.h"

#include <cstdint>
#include <cstring>

namespace {

nand::Codec codec;

void require(bool ok)
{
    if (!ok) {
        __builtin_trap();
    }
}

unsigned zeros(const std::uint8_t *p, std::size_t n)
{
    unsigned z = 0;
    for (std::size_t i = 0; i < n; i++) {
        z += static_cast<unsigned>(__builtin_popcount(static_cast<std::uint8_t>(~p[i])));
    }
    return z;
}

void checkOne(const std::uint8_t *original)
{
    std::uint8_t record[image::kRecordSize];
    std::memcpy(record, original, sizeof record);
    static nand::RecordResult checked;
    nand::checkRecord(codec, record, 1, &checked);
    const nand::StepResult *first = checked.steps;
    std::uint8_t again[image::kRecordSize];
    std::memcpy(again, record, sizeof again);
    static nand::RecordResult rechecked;
    nand::checkRecord(codec, again, 0, &rechecked);
    const nand::StepResult *second = rechecked.steps;
    require(std::memcmp(again, record, sizeof again) == 0);

    bool allBlank = true;
    unsigned flips = 0;
    for (std::size_t s = 0; s < image::kSectorsPerPage; s++) {
        const std::size_t base = s * ecc::kSectorSize;
        const std::size_t field = static_cast<std::size_t>(image::eccField(record, s) - record);
        if (first[s].blank) {
            // Blank flash: at most one zero bit in data and word, read back as 0xFF.
            const unsigned z = zeros(original + base, ecc::kSectorSize) + zeros(original + field, 4);
            require(z <= 1 && first[s].flips == z && first[s].status == EccStatus::Clean);
            require(zeros(record + base, ecc::kSectorSize) == 0 && zeros(record + field, 4) == 0);
            require(second[s].blank && second[s].flips == 0);
            flips += z;
            continue;
        }
        allBlank = false;
        std::uint8_t expected[ecc::kSectorSize];
        std::memcpy(expected, original + base, sizeof expected);
        if (first[s].status == EccStatus::CorrectedData) {
            expected[first[s].byte - base] ^= static_cast<std::uint8_t>(1u << first[s].bit);
        }
        require(std::memcmp(record + base, expected, sizeof expected) == 0);
        if (first[s].status == EccStatus::Uncorrectable) {
            require(second[s].status == EccStatus::Uncorrectable);
            require(std::memcmp(record + field, original + field, 4) == 0);
        } else {
            require(second[s].status == EccStatus::Clean && !second[s].blank);
        }
    }
    require(checked.erased == allBlank && checked.bitflips == flips);
    // Spare words 0..11 are never touched.
    require(std::memcmp(record + image::kPageSize, original + image::kPageSize, 48) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (codec.steps == 0) {
        nand::makeCodec(*nand::findPreset("classic"), &codec);
    }
    for (std::size_t offset = 0; offset + image::kRecordSize <= size; offset += image::kRecordSize) {
        checkOne(data + offset);
    }
    return 0;
}
