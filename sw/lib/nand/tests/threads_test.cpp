// The engine is reentrant: build, check and inject from several threads at
// once, each on a layout of its own, give what one thread gives alone. Run
// under ThreadSanitizer by the tsan preset.
#include "build.h"
#include "checker.h"
#include "inject.h"
#include "layout.h"
#include "record.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <thread>
#include <vector>

namespace {

struct Outcome {
    std::vector<std::uint8_t> built;     // the records of the pages
    std::vector<std::uint8_t> injected;  // with flips
    std::vector<std::uint32_t> flips;    // offset * 8 + bit of each
    std::vector<std::uint8_t> checked;   // repaired in place
    std::vector<unsigned> counts;        // corrected bits per step, ~0u uncorrectable
    std::size_t steps = 0;               // a page's
};

Outcome run(const nand::Layout &layout, std::uint64_t seed)
{
    auto codec = std::make_unique<nand::Codec>();
    nand::makeCodec(layout, codec.get());
    const nand::Codec &c = *codec;
    constexpr std::size_t kPages = 6;
    Outcome o;
    std::vector<std::uint8_t> data(kPages * layout.pageSize);
    for (std::size_t i = 0; i < data.size(); i++) {
        data[i] = static_cast<std::uint8_t>((i * 31 + i / layout.pageSize * 7 + seed) & 0xFF);
    }
    o.built.resize(kPages * c.recordSize);
    nand::buildRecords(c, data.data(), data.size(), o.built.data(), false);
    o.injected = o.built;
    nand::Rng rng(seed);
    nand::InjectOptions options;
    options.bits = nand::strength(layout) + (seed % 2);  // t, or t + 1 flips
    const auto emit = [](void *context, const nand::Flip &f) {
        static_cast<std::vector<std::uint32_t> *>(context)->push_back(f.offset * 8 + f.bit);
    };
    for (std::size_t p = 0; p < kPages; p++) {
        nand::injectRecord(c, o.injected.data() + p * c.recordSize, options, &rng, emit, &o.flips);
    }
    // Checked as an image, eraseblock by eraseblock, into a copy; every
    // decoded page's corrections told through the events.
    o.checked.resize(o.injected.size());
    auto checker = std::make_unique<nand::Checker>();
    checker->begin(c, nand::strength(layout));
    nand::CheckEvents events;
    events.context = &o;
    events.page = [](void *context, std::uint64_t, const nand::RecordResult *r, const std::uint8_t *) {
        auto *out = static_cast<Outcome *>(context);
        for (std::size_t s = 0; s < out->steps; s++) {
            out->counts.push_back(r->steps[s].status == EccStatus::Uncorrectable ? ~0u : r->steps[s].count);
        }
    };
    o.steps = c.steps;
    checker->checkBlock(o.injected.data(), o.checked.data(), kPages, nullptr, events);
    return o;
}

bool same(const Outcome &a, const Outcome &b)
{
    return a.built == b.built && a.injected == b.injected && a.flips == b.flips && a.checked == b.checked &&
           a.counts == b.counts;
}

TEST(Threads, EngineCallsAtOnceGiveWhatOneThreadGives)
{
    std::vector<nand::Layout> layouts;
    std::size_t count = 0;
    const nand::Layout *presets = nand::presets(&count);
    for (std::size_t i = 0; i < count; i++) {
        layouts.push_back(presets[i]);
    }
    std::vector<Outcome> alone;
    for (std::size_t i = 0; i < layouts.size(); i++) {
        alone.push_back(run(layouts[i], i));
        // The runs do something: flips made, and at t (even seeds) all
        // corrected back to the built records.
        EXPECT_FALSE(alone.back().flips.empty()) << layouts[i].name;
        if (i % 2 == 0) {
            EXPECT_EQ(alone.back().checked, alone.back().built) << layouts[i].name;
        }
    }
    constexpr std::size_t kRounds = 3;
    std::vector<Outcome> together(layouts.size() * kRounds);
    std::vector<std::thread> threads;
    for (std::size_t k = 0; k < together.size(); k++) {
        threads.emplace_back([&, k] { together[k] = run(layouts[k % layouts.size()], k % layouts.size()); });
    }
    for (std::thread &t : threads) {
        t.join();
    }
    for (std::size_t k = 0; k < together.size(); k++) {
        EXPECT_TRUE(same(together[k], alone[k % layouts.size()])) << layouts[k % layouts.size()].name;
    }
}

}  // namespace
