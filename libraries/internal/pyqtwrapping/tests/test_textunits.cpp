// Tests: the text-unit loops against plain loops, for every length to 200 and every zero position.
#include "textunits_p.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {

constexpr std::size_t MaxLength = 200;

// Non-zero units that a word-at-a-time zero test could take for zero: a zero byte inside a wider
// unit, the top bit of a lane, all bits set. Position-dependent, so that each lies in every lane.
template <typename Unit>
std::vector<Unit> nonZeroUnits(std::size_t n)
{
    static const std::uint32_t tricky[] = {0x1, 0x80, 0xFF, 0x100, 0x8000, 0xFFFF, 0x10000, 0x1000000, 0x80000000,
                                           0xFFFFFFFF, 0x7F, 0x0101};
    std::vector<Unit> units;
    for (std::size_t i = 0; units.size() < n; ++i)
        if (Unit value = Unit(tricky[(i * 5 + i / 12) % 12]))
            units.push_back(value);
    return units;
}

// Runs check(units, zeroAt) for every length to MaxLength, with no zero (zeroAt == n) and with a
// zero at each position followed by a second zero later on; units start one unit past an aligned
// address, as a str's storage after its header may.
template <typename Unit, typename Check>
void forEveryZeroPosition(Check check)
{
    for (std::size_t n = 0; n <= MaxLength; ++n) {
        for (std::size_t zeroAt = 0; zeroAt <= n; ++zeroAt) {
            std::vector<Unit> buffer = nonZeroUnits<Unit>(n + 1);
            Unit *units = buffer.data() + 1;
            if (zeroAt < n)
                units[zeroAt] = units[std::min(n - 1, zeroAt + 3)] = 0;
            SCOPED_TRACE(testing::Message() << sizeof(Unit) << "-byte units, length " << n << ", zero at " << zeroAt);
            check(units, n, zeroAt);
        }
    }
}

template <typename Unit>
void checkLengthToZero()
{
    forEveryZeroPosition<Unit>([](const Unit *units, std::size_t n, std::size_t zeroAt) {
        ASSERT_EQ(TextUnits::lengthToZero(units, n), zeroAt);
    });
}

template <typename Unit>
void checkCopyToUtf16()
{
    forEveryZeroPosition<Unit>([](const Unit *units, std::size_t n, std::size_t zeroAt) {
        std::vector<char16_t> out(n + 2, u'?');
        ASSERT_EQ(TextUnits::copyToUtf16(units, n, out.data() + 1), zeroAt < n);
        ASSERT_TRUE(std::equal(units, units + n, out.begin() + 1));
        ASSERT_EQ(out.front(), u'?');
        ASSERT_EQ(out.back(), u'?');
    });
}

} // namespace

TEST(TextUnitsTest, LengthToZeroFindsTheFirstZero)
{
    checkLengthToZero<char>();
    checkLengthToZero<std::uint8_t>();
    checkLengthToZero<std::uint16_t>();
    checkLengthToZero<std::uint32_t>();
}

TEST(TextUnitsTest, CopyToUtf16CopiesEveryUnitAndTellsOfAZero)
{
    checkCopyToUtf16<std::uint8_t>();
    checkCopyToUtf16<std::uint16_t>();
}

// Each bit of a unit, at each position, on a background of ASCII letters.
TEST(TextUnitsTest, UnitsOrIsTheOrOfEveryUnit)
{
    for (std::size_t n = 0; n <= MaxLength; ++n) {
        for (std::size_t at = 0; at < std::max<std::size_t>(n, 1); ++at) {
            std::vector<char16_t> units(n, u'a');
            const char16_t bit = char16_t(1u << (at % 16));
            if (n > 0)
                units[at] = bit;
            char16_t expected = 0;
            for (char16_t unit : units)
                expected |= unit;
            ASSERT_EQ(TextUnits::unitsOr(units.data(), n), expected) << "length " << n << ", bit at " << at;
        }
    }
}

TEST(TextUnitsTest, NarrowToLatin1KeepsEveryUnit)
{
    for (std::size_t n = 0; n <= MaxLength; ++n) {
        std::vector<char16_t> units(n);
        for (std::size_t i = 0; i < n; ++i)
            units[i] = char16_t((i * 37 + 1) & 0xFF);
        std::vector<std::uint8_t> out(n + 2, 0xA5);
        TextUnits::narrowToLatin1(units.data(), n, out.data() + 1);
        ASSERT_TRUE(std::equal(units.begin(), units.end(), out.begin() + 1)) << "length " << n;
        ASSERT_EQ(out.front(), 0xA5) << "length " << n;
        ASSERT_EQ(out.back(), 0xA5) << "length " << n;
    }
}
