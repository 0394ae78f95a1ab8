#include "platform/regf/RegfFormat.h"

namespace kestrove::regf {

std::uint16_t UpcaseUnit(std::uint16_t unit) {
  if (unit >= 'a' && unit <= 'z') return static_cast<std::uint16_t>(unit - 32);
  if (unit < 0xE0) return unit;
  // Latin-1's small letters, except the division sign and y with diaeresis (whose capital
  // lies outside Latin-1).
  if (unit <= 0xFE) return unit == 0xF7 ? unit : static_cast<std::uint16_t>(unit - 32);
  if (unit == 0xFF) return 0x178;
  // Latin Extended-A pairs a capital at an even unit with its small letter after it.
  if (unit >= 0x100 && unit <= 0x17F) {
    const bool oddSmall = (unit >= 0x100 && unit <= 0x137) || (unit >= 0x14A && unit <= 0x177);
    const bool evenSmall = (unit >= 0x139 && unit <= 0x148) || (unit >= 0x179 && unit <= 0x17E);
    if (oddSmall && (unit & 1)) return static_cast<std::uint16_t>(unit - 1);
    if (evenSmall && !(unit & 1)) return static_cast<std::uint16_t>(unit - 1);
    return unit;
  }
  if (unit >= 0x3B1 && unit <= 0x3CB && unit != 0x3C2) return static_cast<std::uint16_t>(unit - 32);  // Greek
  if (unit >= 0x430 && unit <= 0x44F) return static_cast<std::uint16_t>(unit - 32);  // Cyrillic
  if (unit >= 0x450 && unit <= 0x45F) return static_cast<std::uint16_t>(unit - 80);
  if (unit >= 0xFF41 && unit <= 0xFF5A) return static_cast<std::uint16_t>(unit - 32);  // full-width
  return unit;
}

}  // namespace kestrove::regf
