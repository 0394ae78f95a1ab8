// Small text helpers shared by the cleaner, the scanner and the defragmenter.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Text.h"  // ROT13, the ASCII case helpers

namespace kestrove {

// A number as two digits at least: 7 gives "07", 12 gives "12" (used in dated file names).
std::string TwoDigit(int value);

// A size in bytes as kilobytes for display: divided by 1024 rounded up, with "," between
// groups of three digits whatever the locale (1048576 gives "1,024").
std::string SizeToKBText(std::uint64_t bytes);

// ASCII letters in upper case, as names are compared "in upper case".
std::string UpperCase(std::string text);

}  // namespace kestrove
