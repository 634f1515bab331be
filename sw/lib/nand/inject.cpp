// Reproducible bit errors; the generator and the order of draws are in inject.h.
#include "inject.h"

#include <bit>
#include <cstring>

namespace nand {

std::uint64_t Rng::next()
{
    state_ += 0x9E3779B97F4A7C15u;
    std::uint64_t z = state_;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
}

std::uint64_t Rng::below(std::uint64_t n)
{
    if (n == 0) {
        return 0;
    }
    // 2^64 mod n, computed without 128-bit arithmetic.
    const std::uint64_t rest = (0 - n) % n;
    for (;;) {
        const std::uint64_t x = next();
        if (x <= ~std::uint64_t{0} - rest) {  // x < 2^64 - rest
            return x % n;
        }
    }
}

bool areaByName(const char *text, Area *area)
{
    static const struct {
        const char *name;
        Area area;
    } names[] = {{"step", Area::Step}, {"data", Area::Data}, {"ecc", Area::Ecc}, {"oob", Area::Oob}};
    for (const auto &n : names) {
        if (std::strcmp(text, n.name) == 0) {
            *area = n.area;
            return true;
        }
    }
    return false;
}

bool directionByName(const char *text, Direction *direction)
{
    static const struct {
        const char *name;
        Direction direction;
    } names[] = {{"any", Direction::Any}, {"0to1", Direction::ZeroToOne}, {"1to0", Direction::OneToZero}};
    for (const auto &n : names) {
        if (std::strcmp(text, n.name) == 0) {
            *direction = n.direction;
            return true;
        }
    }
    return false;
}

namespace {

std::size_t codeBits(const Codec &c)
{
    std::size_t n = 0;
    for (std::size_t i = 0; i < c.eccBytes; i++) {
        n += static_cast<std::size_t>(std::popcount(c.eccKeep[i]));
    }
    return n;
}

// Bit k of the unit `unit` of the area, as a flip of the record. A step's
// bits are its data's, its protected bytes' (area step), then its code's.
Flip locate(const Codec &c, Area area, std::size_t unit, std::size_t k)
{
    const std::size_t messageBits = (std::size_t{c.layout.stepSize} + c.protBytes) * 8;
    if (area == Area::Oob) {
        // The flash page's OOB: after the page data, or boot0's whole page.
        const auto offset = static_cast<std::uint32_t>(c.recordSize - c.layout.oobSize + k / 8);
        return {bitRole(c, offset, static_cast<unsigned>(k % 8)).step, offset, static_cast<std::uint8_t>(k % 8)};
    }
    const auto step = static_cast<std::int32_t>(unit);
    // A bit-packed layout names its bits by record bit; its later chunks
    // have no metadata bits, which are then no bit of the unit (step -1).
    const auto at = [&c, unit, step](std::size_t loc) -> Flip {
        if (c.layout.vendor == Vendor::Gpmi && unit != 0 && loc >= std::size_t{c.layout.stepSize} * 8 &&
            loc < (std::size_t{c.layout.stepSize} + c.protBytes) * 8) {
            return {-1, 0, 0};
        }
        const std::uint32_t bit = locationBit(c, unit, static_cast<unsigned>(loc));
        return {step, bit / 8, static_cast<std::uint8_t>(bit % 8)};
    };
    if (area != Area::Ecc && k < messageBits) {
        return at(k);
    }
    if (area != Area::Ecc) {
        k -= messageBits;
    }
    // The k-th code bit, counting the bits of each code byte from bit 0 and
    // leaving out the spare bits of a BCH code's last byte.
    for (std::size_t i = 0; i < c.eccBytes; i++) {
        for (unsigned b = 0; b < 8; b++) {
            if ((c.eccKeep[i] >> b & 1u) == 0) {
                continue;
            }
            if (k == 0 && c.layout.vendor != Vendor::None) {
                return at(messageBits + i * 8 + b);
            }
            if (k == 0) {
                return {step, c.eccPos[unit * c.eccBytes + i], static_cast<std::uint8_t>(b)};
            }
            k--;
        }
    }
    return {step, 0, 0};  // not reached: k is below areaBits
}

bool isBlank(const Codec &c, const std::uint8_t *record)
{
    return zeroBits(record, c.recordSize, 0) == 0;
}

}  // namespace

std::size_t areaBits(const Codec &c, Area area)
{
    switch (area) {
    case Area::Step:
        return (std::size_t{c.layout.stepSize} + c.protBytes) * 8 + codeBits(c);
    case Area::Data:
        return std::size_t{c.layout.stepSize} * 8;
    case Area::Ecc:
        return codeBits(c);
    case Area::Oob:
        break;
    }
    return std::size_t{c.layout.oobSize} * 8;
}

void injectRecord(const Codec &c, std::uint8_t *record, const InjectOptions &o, Rng *rng,
                  void (*emit)(void *context, const Flip &flip), void *context)
{
    if (!o.erased && isBlank(c, record)) {
        return;
    }
    const std::size_t units = o.area == Area::Oob ? 1 : c.steps;
    const std::size_t n = areaBits(c, o.area);
    constexpr std::size_t kMaxDrawn = kMaxInjectBits;
    const unsigned wanted = o.direction == Direction::ZeroToOne ? 0 : 1;
    // Whether bit k of the unit reads as the direction flips.
    const auto eligible = [&](std::size_t unit, std::size_t k) {
        const Flip f = locate(c, o.area, unit, k);
        if (o.area != Area::Oob && f.step < 0) {
            return false;  // no bit of this unit: drawn again
        }
        return o.direction == Direction::Any || (static_cast<unsigned>(record[f.offset]) >> f.bit & 1u) == wanted;
    };
    for (std::size_t unit = 0; unit < units; unit++) {
        std::size_t drawn[kMaxDrawn];
        std::size_t count = 0;
        const auto apply = [&](std::size_t k) {
            const Flip f = locate(c, o.area, unit, k);
            record[f.offset] ^= static_cast<std::uint8_t>(1u << f.bit);
            emit(context, f);
        };
        if (o.bits != 0) {
            std::size_t candidates = n;
            if (o.direction != Direction::Any) {
                candidates = 0;
                for (std::size_t k = 0; k < n && candidates <= o.bits; k++) {
                    candidates += eligible(unit, k) ? 1u : 0u;
                }
            }
            if (candidates <= o.bits && o.direction != Direction::Any) {
                // Too few bits of the value: all of them, drawing nothing.
                std::size_t take[kMaxDrawn];
                std::size_t found = 0;
                for (std::size_t k = 0; k < n && found < kMaxDrawn; k++) {
                    if (eligible(unit, k)) {
                        take[found++] = k;
                    }
                }
                for (std::size_t i = 0; i < found; i++) {
                    apply(take[i]);
                }
                continue;
            }
            while (count < o.bits && count < kMaxDrawn) {
                const std::size_t k = rng->below(n);
                bool again = !eligible(unit, k);
                for (std::size_t i = 0; i < count; i++) {
                    again = again || drawn[i] == k;
                }
                if (!again) {
                    drawn[count++] = k;
                    apply(k);
                }
            }
        } else {
            for (std::size_t k = 0; k < n; k++) {
                if (rng->next() < o.rate && eligible(unit, k)) {
                    apply(k);
                }
            }
        }
    }
}

}  // namespace nand
