// Fast loops over arrays of text units: bytes, UTF-16 and UTF-32 code units. No Python, no Qt.
#ifndef TEXTUNITS_P_H
#define TEXTUNITS_P_H

#include <cstddef>
#include <cstdint>

namespace TextUnits {

// How many units fill one 64-byte cache line. From this length on, copyToUtf16 beats finding the
// length first and then copying with Qt; below it, Qt's copy is the quicker.
template <typename Unit>
constexpr std::size_t UnitsPerLine = 64 / sizeof(Unit);

// The number of units before the first zero unit among units 0 to n-1, or n when none is zero.
std::size_t lengthToZero(const char *units, std::size_t n);
std::size_t lengthToZero(const std::uint8_t *units, std::size_t n);
std::size_t lengthToZero(const std::uint16_t *units, std::size_t n);
std::size_t lengthToZero(const std::uint32_t *units, std::size_t n);

// Copies units 0 to n-1 into out as UTF-16 code units, each unit's value unchanged, and tells
// whether any of them was zero. out must not overlap units.
bool copyToUtf16(const std::uint8_t *units, std::size_t n, char16_t *out);
bool copyToUtf16(const std::uint16_t *units, std::size_t n, char16_t *out);

// The bitwise OR of units 0 to n-1 (0 for none): below 0x80 exactly when they are all ASCII,
// below 0x100 exactly when they are all Latin-1.
char16_t unitsOr(const char16_t *units, std::size_t n);

// Writes units 0 to n-1, each below 0x100, into out one byte each.
void narrowToLatin1(const char16_t *units, std::size_t n, std::uint8_t *out);

} // namespace TextUnits

#endif
