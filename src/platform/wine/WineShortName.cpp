#include "platform/wine/WineShortName.h"

#include <cstdint>

#include "platform/RegistryTypes.h"

namespace kestrove::wine {

namespace {

constexpr char16_t kHashLetters[] = u"ABCDEFGHIJKLMNOPQRSTUVWXYZ012345";

// Characters DOS names cannot hold; in a derived name each becomes "_".
bool UnfitForShortName(char16_t c) {
  if (c > 0x7f) return true;
  for (char bad : std::string_view("*?<>|\"+=,;[] ~."))
    if (c == static_cast<char16_t>(bad)) return true;
  return false;
}

char16_t Upper(char16_t c) { return (c >= 'a' && c <= 'z') ? static_cast<char16_t>(c - 32) : c; }

}  // namespace

bool IsLegal8Dot3Name(std::u16string_view name) {
  if (name.size() > 12) return false;
  // A leading dot is only allowed in "." and "..".
  if (!name.empty() && name[0] == '.') return name.size() == 1 || (name.size() == 2 && name[1] == '.');
  std::size_t dot = std::u16string_view::npos;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char16_t c = name[i];
    if (c > 0x7f) return false;
    for (char bad : std::string_view("*?<>|\"+=,;[] :/\\"))
      if (c == static_cast<char16_t>(bad)) return false;
    if (c == '.') {
      if (dot != std::u16string_view::npos) return false;
      dot = i;
    }
  }
  if (dot == std::u16string_view::npos) return name.size() <= 8;
  if (dot > 8) return false;
  const std::size_t tail = name.size() - dot;  // the dot and the extension
  return tail > 1 && tail < 5;
}

std::u16string HashedShortName(std::u16string_view name) {
  if (name.empty() || IsLegal8Dot3Name(name)) return {};
  // The hash runs over the name without regard to case, two characters at a time, kept to
  // 16 bits after every step.
  std::uint16_t hash = 0xBEEF;
  auto step = [&hash](std::uint32_t mix) {
    hash = static_cast<std::uint16_t>((static_cast<std::uint32_t>(hash) << 3) ^ (hash >> 5) ^ mix);
  };
  for (std::size_t i = 0; i + 1 < name.size(); ++i)
    step(static_cast<std::uint32_t>(FoldCase(name[i])) ^ (static_cast<std::uint32_t>(FoldCase(name[i + 1])) << 8));
  step(FoldCase(name.back()));

  // The extension starts at the last dot that is neither the first nor the last character.
  std::size_t ext = std::u16string_view::npos;
  for (std::size_t i = 1; i + 1 < name.size(); ++i)
    if (name[i] == '.') ext = i;

  std::u16string out;
  std::size_t taken = 0;
  for (; taken < 4 && taken < name.size() && taken != ext; ++taken)
    out += UnfitForShortName(name[taken]) ? u'_' : Upper(name[taken]);
  out.append(4 - taken + 1, u'~');
  out += kHashLetters[(hash >> 10) & 0x1f];
  out += kHashLetters[(hash >> 5) & 0x1f];
  out += kHashLetters[hash & 0x1f];
  if (ext != std::u16string_view::npos) {
    out += u'.';
    for (std::size_t i = ext + 1; i < name.size() && i <= ext + 3; ++i)
      out += UnfitForShortName(name[i]) ? u'_' : Upper(name[i]);
  }
  return out;
}

bool MayBeHashedShortName(std::u16string_view name) {
  // The "~" first: most names looked up have none, and it is the cheaper test.
  return name.find(u'~') != std::u16string_view::npos && IsLegal8Dot3Name(name);
}

}  // namespace kestrove::wine
