#include "app/Helpers.h"

#include "platform/Text.h"

namespace kestrove {

std::string TwoDigit(int value) {
  // Negative numbers keep their sign in front: "0-5" would be no number at all.
  if (value > 9 || value < 0) return std::to_string(value);
  return "0" + std::to_string(value);
}

std::string SizeToKBText(std::uint64_t bytes) {
  // Written without adding 1023 first, which would overflow near the top of the range.
  std::uint64_t kb = bytes / 1024 + (bytes % 1024 != 0 ? 1 : 0);
  std::string digits = std::to_string(kb);
  std::string r;
  r.reserve(digits.size() + digits.size() / 3);
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) r += ',';
    r += digits[i];
  }
  return r;
}

std::string UpperCase(std::string text) { return AsciiUpper(text); }

}  // namespace kestrove
