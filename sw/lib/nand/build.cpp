// Building an image from page data; see build.h.
#include "build.h"

#include <cstring>

namespace nand {

std::size_t buildRecords(const Codec &c, const std::uint8_t *data, std::size_t bytes, std::uint8_t *records,
                         bool keepErased, std::uint64_t firstPage)
{
    const std::size_t page = c.layout.pageSize;
    const std::size_t count = recordsFor(c, bytes);
    for (std::size_t p = 0; p < count; p++) {
        std::uint8_t *record = records + p * c.recordSize;
        const std::size_t n = bytes - p * page < page ? bytes - p * page : page;
        std::memcpy(record, data + p * page, n);
        std::memset(record + n, c.layout.padFill, page - n);
        encodeRecordWithMeta(c, record, nullptr, keepErased, firstPage + p, n);
    }
    return count;
}

}  // namespace nand
