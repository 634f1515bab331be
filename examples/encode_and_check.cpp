// An image of Linux's BCH-8 layout with 128-page eraseblocks: built from page
// data, a bit flipped, checked back block by block with its findings.
#include <build.h>
#include <checker.h>
#include <layout.h>

#include <cstdio>
#include <memory>
#include <vector>

// Prints each finding as it comes; the context is the caller's own.
void printFinding(void *context, const nand::Finding &f)
{
    auto *found = static_cast<unsigned *>(context);
    ++*found;
    std::printf("page %llu step %ld: %s\n", static_cast<unsigned long long>(f.page), f.step,
                nand::findingClassName(f.cls));
}

int main()
{
    nand::LayoutSource source;
    source.name = "linux-bch8";
    nand::LayoutChanges changes;
    changes.pagesPerBlock = 128;
    nand::Layout layout{};
    if (const nand::Status s = nand::loadLayout(source, changes, &layout); !s.good()) {
        std::fprintf(stderr, "%s\n", s.message());
        return 2;
    }
    auto codec = std::make_unique<nand::Codec>();  // large: not on the stack
    nand::makeCodec(layout, codec.get());

    std::vector<std::uint8_t> data(std::size_t{layout.pageSize} * layout.pagesPerBlock);
    for (std::size_t i = 0; i < data.size(); i++) {
        data[i] = static_cast<std::uint8_t>(i * 7);
    }
    std::vector<std::uint8_t> image(nand::recordsFor(*codec, data.size()) * codec->recordSize);
    nand::buildRecords(*codec, data.data(), data.size(), image.data(), false);
    image[5 * codec->recordSize + 100] ^= 0x04;  // a bit flip in page 5, step 0

    unsigned found = 0;
    auto checker = std::make_unique<nand::Checker>();
    checker->begin(*codec, nand::strength(layout));
    nand::CheckEvents events;
    events.context = &found;
    events.finding = printFinding;
    checker->checkBlock(image.data(), image.data(), layout.pagesPerBlock, nullptr, events);
    const nand::CheckCounts &counts = checker->counts();
    std::printf("%llu pages: %llu steps clean, %llu corrected\n", static_cast<unsigned long long>(counts.pages),
                static_cast<unsigned long long>(counts.clean), static_cast<unsigned long long>(counts.corrected));
    return found == 1 && counts.corrected == 1 && image[5 * codec->recordSize + 100] == data[5 * 2048 + 100] ? 0 : 1;
}
