// Tests: the text-unit loops against plain loops, for every length to 200 and every zero position.
#include "textunits_p.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <type_traits>
#include <vector>

namespace {

constexpr std::size_t MaxLength = 200;

// Units 0 to n + 1, of which 1 to n are the text: non-zero values that a word-at-a-time zero test
// could take for zero (a zero byte inside a wider unit, the top bit of a lane, all bits set), each
// in every lane. Units 0 and n + 1 guard it.
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

// Every length, with no zero (zeroAt == n) or a zero at each position and another after it. The
// unsigned one- and two-byte units are copied to UTF-16 as well, the guards left as they were.
template <typename Unit>
void checkLengthAndCopy()
{
    for (std::size_t n = 0, zeroAt = 0; n <= MaxLength; zeroAt = zeroAt < n ? zeroAt + 1 : 0, n += !zeroAt) {
        std::vector<Unit> text = guardedText<Unit>(n);
        if (zeroAt < n)
            text[1 + zeroAt] = text[1 + std::min(n - 1, zeroAt + 3)] = 0;
        SCOPED_TRACE(testing::Message()
                     << sizeof(Unit) << "-byte units, length " << n << ", zero at " << zeroAt);
        ASSERT_EQ(TextUnits::lengthToZero(text.data() + 1, n), zeroAt);
        if constexpr (std::is_same_v<Unit, std::uint8_t> || std::is_same_v<Unit, std::uint16_t>) {
            std::vector<char16_t> out = guardedText<char16_t>(n), expected(text.begin(), text.end());
            expected.front() = out.front(), expected.back() = out.back();
            ASSERT_EQ(TextUnits::copyToUtf16(text.data() + 1, n, out.data() + 1), zeroAt < n);
            ASSERT_EQ(out, expected);
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
    for (std::size_t n = 0, at = 0; n <= MaxLength; at = at + 1 < n ? at + 1 : 0, n += !at) {
        std::vector<char16_t> units(n), letters(n, u'a');
        for (std::size_t i = 0; i < n; ++i)
            units[i] = char16_t((i * 37 + 1) & 0xFF);
        std::vector<std::uint8_t> out(n + 2, 0xA5), expected(out);
        std::copy(units.begin(), units.end(), expected.begin() + 1);
        TextUnits::narrowToLatin1(units.data(), n, out.data() + 1);
        ASSERT_EQ(out, expected) << "length " << n;
        if (n) {
            letters[at] = char16_t(1u << (at % 16));
            ASSERT_EQ(TextUnits::unitsOr(letters.data(), n), char16_t((n > 1 ? u'a' : 0) | letters[at]))
                << n << ", " << at;
        }
    }
    EXPECT_EQ(TextUnits::unitsOr(nullptr, 0), 0);
}
