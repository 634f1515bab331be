// Checking an image eraseblock by eraseblock; see checker.h.
#include "checker.h"

#include <cstring>

namespace nand {

const char *findingClassName(FindingClass c)
{
    switch (c) {
    case FindingClass::CorrectedData:
        return "corrected-data";
    case FindingClass::CorrectedCode:
        return "corrected-ecc-field";
    case FindingClass::CorrectedBits:
        return "corrected-bits";
    case FindingClass::Uncorrectable:
        return "uncorrectable";
    case FindingClass::ErasedBitflips:
        return "erased-bitflips";
    case FindingClass::BadBlock:
        return "bad-block";
    }
    return "uncorrectable";
}

BitPlace correctedBitPlace(const Codec &c, std::size_t step, unsigned loc, std::uint32_t *offset, unsigned *bit)
{
    *bit = loc % 8;
    const std::uint32_t dataBits = c.layout.stepSize * 8;
    const auto messageBits = static_cast<std::uint32_t>(dataBits + c.protBytes * 8);
    if (loc < dataBits) {
        *offset = static_cast<std::uint32_t>(step * c.layout.stepSize + loc / 8);
        return BitPlace::Data;
    }
    if (loc >= messageBits && c.dataInPlace) {
        *offset = locationByte(c, step, loc) - c.layout.pageSize;
        return BitPlace::Ecc;
    }
    // A bit-packed layout's code bits sit at any bit of their byte.
    const std::uint32_t at = locationBit(c, step, loc);
    *offset = at / 8;
    *bit = at % 8;
    return BitPlace::Raw;
}

bool needsScrub(const Codec &c, unsigned flips)
{
    const unsigned t = strength(c.layout);
    return t != 0 && flips >= (3 * t + 3) / 4;
}

void Checker::begin(const Codec &codec, unsigned erasedThreshold)
{
    codec_ = &codec;
    threshold_ = erasedThreshold;
    counts_ = CheckCounts{};
}

namespace {

FindingClass classOf(EccStatus status)
{
    switch (status) {
    case EccStatus::CorrectedData:
        return FindingClass::CorrectedData;
    case EccStatus::CorrectedCode:
        return FindingClass::CorrectedCode;
    case EccStatus::CorrectedBits:
        return FindingClass::CorrectedBits;
    default:
        return FindingClass::Uncorrectable;
    }
}

void tell(const CheckEvents &events, const Finding &f)
{
    if (events.finding != nullptr) {
        events.finding(events.context, f);
    }
}

}  // namespace

void Checker::checkPage(std::uint8_t *record, const Predecoded *ahead, BlockCounts *block, const CheckEvents &events)
{
    const Codec &c = *codec_;
    const std::uint64_t page = counts_.pages++;
    if (ahead != nullptr && ahead->done) {
        result_.erased = ahead->erased;
        result_.bitflips = ahead->bitflips;
        std::memcpy(result_.steps, ahead->steps, c.steps * sizeof(StepResult));
    } else {
        checkRecord(c, record, threshold_, &result_, page);
    }
    if (events.page != nullptr) {
        events.page(events.context, page, &result_, record);
    }
    for (std::size_t s = 0; s < c.steps; s++) {
        const StepResult &r = result_.steps[s];
        const bool fixed = r.status != EccStatus::Clean && r.status != EccStatus::Uncorrectable;
        const unsigned flips = r.blank ? r.flips : (fixed ? (r.count > 1 ? r.count : 1u) : 0u);
        block->maxFlips = flips > block->maxFlips ? flips : block->maxFlips;
        block->corrected += !r.blank && fixed ? 1 : 0;
        block->uncorrectable += r.status == EccStatus::Uncorrectable ? 1 : 0;
    }
    if (result_.erased) {
        counts_.erased++;
        block->erased++;
        if (result_.bitflips != 0) {
            tell(events, {FindingClass::ErasedBitflips, page, block->block, -1, result_.bitflips, nullptr});
        }
        return;
    }
    for (std::size_t s = 0; s < c.steps; s++) {
        const StepResult &r = result_.steps[s];
        const auto step = static_cast<long>(s);
        if (r.blank) {
            // Blank flash in a page that is not: it reads back as such.
            counts_.clean++;
            if (r.flips != 0) {
                tell(events, {FindingClass::ErasedBitflips, page, block->block, step, r.flips, &r});
            }
            continue;
        }
        if (r.status == EccStatus::Clean) {
            counts_.clean++;
            continue;
        }
        if (r.status == EccStatus::Uncorrectable) {
            counts_.uncorrectable++;
        } else {
            counts_.corrected++;
        }
        tell(events, {classOf(r.status), page, block->block, step, 0, &r});
    }
}

BlockCounts Checker::checkBlock(const std::uint8_t *in, std::uint8_t *out, std::size_t count, const bool *clean,
                                const CheckEvents &events, const Predecoded *decoded)
{
    const Codec &c = *codec_;
    const std::size_t size = c.recordSize;
    const std::size_t blockPages = c.layout.pagesPerBlock > 1 ? c.layout.pagesPerBlock : 1;
    BlockCounts block;
    const std::uint64_t first = counts_.pages;
    block.block = first / blockPages;
    block.pages = static_cast<std::uint32_t>(count);
    // A layout with no marker (the classic image) has no bad blocks.
    const long marked = c.layout.markerCount != 0 && count == blockPages ? badBlockMarkerPage(c, in) : -1;
    block.bad = marked >= 0;
    if (events.block != nullptr) {
        events.block(events.context, block.block, block.bad);
    }
    if (block.bad) {
        counts_.badBlocks++;
        tell(events, {FindingClass::BadBlock, first + static_cast<std::uint64_t>(marked), block.block, -1, 0, nullptr});
        for (std::size_t r = 0; r < count; r++) {
            if (events.page != nullptr) {
                events.page(events.context, first + r, nullptr, nullptr);
            }
        }
        counts_.pages += count;
        if (out != nullptr && out != in) {
            std::memcpy(out, in, count * size);
        }
        return block;
    }
    for (std::size_t r = 0; r < count; r++) {
        const std::uint8_t *record = in + r * size;
        std::uint8_t *to = out != nullptr ? out + r * size : nullptr;
        if (clean != nullptr && clean[r]) {
            counts_.pages++;
            counts_.clean += c.steps;
            if (to != nullptr && to != record) {
                std::memcpy(to, record, size);
            }
            continue;
        }
        const Predecoded *ahead = decoded != nullptr ? decoded + r : nullptr;
        if (ahead != nullptr && ahead->done) {
            // Repaired in place already: in is out.
            checkPage(to != nullptr ? to : const_cast<std::uint8_t *>(record), ahead, &block, events);
            continue;
        }
        std::uint8_t *work = to != nullptr ? to : scratch_;
        if (work != record) {
            std::memcpy(work, record, size);
        }
        checkPage(work, nullptr, &block, events);
    }
    return block;
}

}  // namespace nand
