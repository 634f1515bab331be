// Page records as a reader of the flash sees them; the layout is in image.h.
#include "image.h"

namespace image {

namespace {

bool isErased(const std::uint8_t *record)
{
    for (std::size_t i = 0; i < kRecordSize; i++) {
        if (record[i] != 0xFF) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool checkRecord(std::uint8_t *record, EccDecode (&sectors)[kSectorsPerPage])
{
    if (isErased(record)) {
        return false;
    }
    for (std::size_t s = 0; s < kSectorsPerPage; s++) {
        std::uint8_t *sector = record + s * ecc::kSectorSize;
        std::uint8_t *field = eccField(record, s);
        sectors[s] = correctECC(sector, loadLE32(field), computeECC(sector));
        if (sectors[s].status == EccStatus::CorrectedData || sectors[s].status == EccStatus::CorrectedCode) {
            storeLE32(field, computeECC(sector));
        }
    }
    return true;
}

}  // namespace image
