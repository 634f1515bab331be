// Tests of the shared I/O helpers that the command-line tests cannot reach:
// page numbers far past what a test image can hold.
#include "io.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

TEST(FormatDecimal, WholeRangeOf64Bits)
{
    const struct {
        std::uint64_t value;
        const char *text;
    } cases[] = {
        {0, "0"},
        {7, "7"},
        {1048576, "1048576"},
        {2147483647, "2147483647"},  // the last page number a 32-bit int holds
        {2147483648, "2147483648"},  // and the first it would wrap on (4 TiB)
        {4294967296, "4294967296"},
        {UINT64_MAX, "18446744073709551615"},
    };
    for (const auto &c : cases) {
        char buf[24];
        const char *end = io::formatDecimal(buf, c.value);
        EXPECT_EQ(std::string(static_cast<const char *>(buf), end), c.text);
    }
}

}  // namespace
