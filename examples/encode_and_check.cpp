// One page of Linux's BCH-8 layout: encoded, a bit flipped, checked back.
#include <layout.h>
#include <record.h>

#include <cstdio>
#include <memory>
#include <vector>

int main()
{
    const nand::Layout *layout = nand::findPreset("linux-bch8");
    auto codec = std::make_unique<nand::Codec>();  // large: not on the stack
    nand::makeCodec(*layout, codec.get());

    std::vector<std::uint8_t> record(codec->recordSize);
    for (std::size_t i = 0; i < layout->pageSize; i++) {
        record[i] = static_cast<std::uint8_t>(i * 7);
    }
    nand::encodeRecord(*codec, record.data(), false);
    record[100] ^= 0x04;  // a bit flip in step 0

    auto result = std::make_unique<nand::RecordResult>();
    nand::checkRecord(*codec, record.data(), nand::strength(*layout), result.get());
    std::printf("step 0: %u bit corrected, data byte 100 is %u again\n",
                static_cast<unsigned>(result->steps[0].count), static_cast<unsigned>(record[100]));
    return result->steps[0].count == 1 && record[100] == static_cast<std::uint8_t>(100 * 7) ? 0 : 1;
}
