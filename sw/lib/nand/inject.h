// Reproducible bit errors for testing ECC decoders: flips K distinct bits in
// every step, or every bit with probability R, in a chosen area of a record.
//
// The generator is SplitMix64 seeded with the user's seed, the same on every
// platform: state += 0x9E3779B97F4A7C15; z = state;
// z = (z ^ z >> 30) * 0xBF58476D1CE4E5B9; z = (z ^ z >> 27) * 0x94D049BB133111EB;
// the draw is z ^ z >> 31. A number below n is a draw x taken when
// x < 2^64 - (2^64 mod n), as x mod n; larger draws are drawn again.
// Records are taken in order, steps in order within a record; --bits draws
// each step's K bits one after another (a bit drawn twice is drawn again),
// --ber draws once for every bit of the area in order and flips it when the
// draw is below R * 2^64. Blank records (all 0xFF) draw nothing unless asked.
// With a direction (0to1: only bits that read 0 are flipped, 1to0: only bits
// that read 1), --bits draws again a bit of the other value, and a unit with
// K such bits or fewer has all of them flipped, in order, drawing nothing;
// --ber draws for every bit as before and flips only those of the value.
#pragma once

#include "record.h"

#include <cstddef>
#include <cstdint>

namespace nand {

class Rng {
public:
    explicit Rng(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next();
    std::uint64_t below(std::uint64_t n);  // n > 0

private:
    std::uint64_t state_;
};

enum class Area : std::uint8_t {
    Step,  // a step's data, protected bytes and code bits
    Data,  // a step's data
    Ecc,   // a step's code bits
    Oob,   // the whole OOB of the record, once per record
};

bool areaByName(const char *text, Area *area);

enum class Direction : std::uint8_t {
    Any,
    ZeroToOne,  // charge loss: a programmed 0 reads 1
    OneToZero,
};

bool directionByName(const char *text, Direction *direction);

// The most flips --bits draws a step: one more than the strongest code
// corrects, so that every code can be shown its first uncorrectable step.
inline constexpr unsigned kMaxInjectBits = bch::kMaxT + 1;

struct InjectOptions {
    Area area = Area::Step;
    unsigned bits = 0;          // flips per step (per record for Area::Oob), 1..kMaxInjectBits; 0 with a rate
    std::uint64_t rate = 0;     // with bits 0: the probability R as R * 2^64
    bool erased = false;        // also flip blank records
    Direction direction = Direction::Any;
};

struct Flip {
    std::int32_t step;    // -1 for an OOB byte that holds no code
    std::uint32_t offset;  // in the record
    std::uint8_t bit;
};

// The bits of one unit of the area: a step's, or the OOB's for Area::Oob.
std::size_t areaBits(const Codec &c, Area area);

// Flips the bits of one record as the options say, drawing from rng, and
// hands every flip to emit in the order made.
void injectRecord(const Codec &c, std::uint8_t *record, const InjectOptions &o, Rng *rng,
                  void (*emit)(void *context, const Flip &flip), void *context);

}  // namespace nand
