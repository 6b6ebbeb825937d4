// Tests: the text-unit loops against plain loops, for every length to 200 and every zero position.
#include "textunits_p.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <type_traits>
#include <vector>

namespace {

constexpr std::size_t MaxLength = 200;

// n + 2 non-zero units that a word-at-a-time zero test could take for zero (a zero byte inside a
// wider unit, the top bit of a lane, all bits set), each in every lane. The text is units 1 to n,
// one unit past an aligned address; units 0 and n + 1 guard it.
template <typename Unit>
std::vector<Unit> guardedText(std::size_t n)
{
    static const std::uint32_t tricky[] = {0x1,    0x80,    0xFF,       0x100, 0x8000,
                                           0xFFFF, 0x10000, 0x80000000, 0x0101};
    std::vector<Unit> units;
    for (std::size_t i = 0; units.size() < n + 2; ++i)
        if (const Unit value = Unit(tricky[(i * 5 + i / 9) % 9]))
            units.push_back(value);
    return units;
}

// Every length to MaxLength, with no zero (zeroAt == n) or a zero at each position and another after it.
template <typename Unit>
void checkLengthAndCopy()
{
    for (std::size_t n = 0; n <= MaxLength; ++n) {
        for (std::size_t zeroAt = 0; zeroAt <= n; ++zeroAt) {
            std::vector<Unit> text = guardedText<Unit>(n);
            if (zeroAt < n)
                text[1 + zeroAt] = text[1 + std::min(n - 1, zeroAt + 3)] = 0;
            SCOPED_TRACE(testing::Message()
                         << sizeof(Unit) << "-byte units, length " << n << ", zero at " << zeroAt);
            ASSERT_EQ(TextUnits::lengthToZero(text.data() + 1, n), zeroAt);
            if constexpr (std::is_unsigned_v<Unit> && sizeof(Unit) <= 2) {
                std::vector<char16_t> out = guardedText<char16_t>(n);
                ASSERT_EQ(TextUnits::copyToUtf16(text.data() + 1, n, out.data() + 1), zeroAt < n);
                ASSERT_TRUE(std::equal(text.begin() + 1, text.end() - 1, out.begin() + 1));
                ASSERT_TRUE(out.front() == guardedText<char16_t>(n).front() &&
                            out.back() == guardedText<char16_t>(n).back());
            }
        }
    }
}

} // namespace

TEST(TextUnitsTest, LengthToZeroAndCopyToUtf16FindTheFirstZero)
{
    checkLengthAndCopy<char>();
    checkLengthAndCopy<std::uint8_t>();
    checkLengthAndCopy<std::uint16_t>();
    checkLengthAndCopy<std::uint32_t>();
}

// Every Latin-1 unit for the narrowing, with guards either side; each bit at each position for the
// OR, on a background of ASCII letters.
TEST(TextUnitsTest, UnitsOrAndNarrowToLatin1)
{
    for (std::size_t n = 0; n <= MaxLength; ++n) {
        std::vector<char16_t> units(n);
        for (std::size_t i = 0; i < n; ++i)
            units[i] = char16_t((i * 37 + 1) & 0xFF);
        std::vector<std::uint8_t> out(n + 2, 0xA5);
        TextUnits::narrowToLatin1(units.data(), n, out.data() + 1);
        ASSERT_TRUE(std::equal(units.begin(), units.end(), out.begin() + 1) && out.front() == 0xA5 &&
                    out.back() == 0xA5)
            << "length " << n;
        for (std::size_t at = 0; at < n; ++at) {
            std::vector<char16_t> letters(n, u'a');
            letters[at] = char16_t(1u << (at % 16));
            ASSERT_EQ(TextUnits::unitsOr(letters.data(), n), char16_t((n > 1 ? u'a' : 0) | letters[at]))
                << n << ", " << at;
        }
    }
    EXPECT_EQ(TextUnits::unitsOr(nullptr, 0), 0);
}
