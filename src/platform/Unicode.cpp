// UTF-8 / UTF-16 conversions and the case folding registry names compare with.
#include <cstring>

#include "platform/RegistryTypes.h"

namespace kestrove {

namespace {

// Decodes one code point from UTF-8 at text[i]; invalid bytes are taken as Latin-1
// so that any byte string survives a round trip through the registry.
char32_t DecodeUtf8(std::string_view text, std::size_t& i) {
  const auto b0 = static_cast<unsigned char>(text[i]);
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  auto cont = [&](std::size_t k) {
    return i + k < text.size() && (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
  };
  auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]) & 0x3Fu; };
  if (b0 >= 0xC2 && b0 < 0xE0 && cont(1)) {
    char32_t c = ((b0 & 0x1Fu) << 6) | at(1);
    i += 2;
    return c;
  }
  if (b0 >= 0xE0 && b0 < 0xF0 && cont(1) && cont(2)) {
    char32_t c = ((b0 & 0x0Fu) << 12) | (at(1) << 6) | at(2);
    if (c >= 0x800) {
      i += 3;
      return c;
    }
  }
  if (b0 >= 0xF0 && b0 < 0xF5 && cont(1) && cont(2) && cont(3)) {
    char32_t c = ((b0 & 0x07u) << 18) | (at(1) << 12) | (at(2) << 6) | at(3);
    if (c >= 0x10000 && c <= 0x10FFFF) {
      i += 4;
      return c;
    }
  }
  ++i;
  return b0;
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

template <typename Sink>
void ForEachUtf16Unit(std::string_view text, Sink sink) {
  std::size_t i = 0;
  while (i < text.size()) {
    char32_t c = DecodeUtf8(text, i);
    if (c >= 0x10000) {
      c -= 0x10000;
      sink(static_cast<char16_t>(0xD800 + (c >> 10)));
      sink(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      sink(static_cast<char16_t>(c));
    }
  }
}

}  // namespace

std::u16string Utf8ToU16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  ForEachUtf16Unit(text, [&](char16_t u) { out += u; });
  return out;
}

Bytes Utf8ToUtf16Le(std::string_view text, bool terminate) {
  Bytes out;
  out.reserve(text.size() * 2 + 2);
  ForEachUtf16Unit(text, [&](char16_t u) {
    out.push_back(static_cast<std::uint8_t>(u & 0xFF));
    out.push_back(static_cast<std::uint8_t>(u >> 8));
  });
  if (terminate) {
    out.push_back(0);
    out.push_back(0);
  }
  return out;
}

std::string U16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c < 0xE000) {
      c = 0xFFFD;
    }
    AppendUtf8(out, c);
  }
  return out;
}

std::string Utf16LeToUtf8(const std::uint8_t* data, std::size_t size) {
  std::u16string units(size / 2, u'\0');
  for (std::size_t k = 0; k < units.size(); ++k)
    units[k] = static_cast<char16_t>(data[2 * k] | (data[2 * k + 1] << 8));
  return U16ToUtf8(units);
}

std::size_t Utf16Length(std::string_view text) {
  std::size_t n = 0;
  ForEachUtf16Unit(text, [&](char16_t) { ++n; });
  return n;
}

char16_t FoldCase(char16_t c) {
  if (c < 0x80) return (c >= 'A' && c <= 'Z') ? static_cast<char16_t>(c + 32) : c;
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<char16_t>(c + 32);
  if (c >= 0x100 && c <= 0x137 && c != 0x130) return static_cast<char16_t>(c | 1);
  if (c >= 0x139 && c <= 0x148) return (c & 1) ? static_cast<char16_t>(c + 1) : c;
  if (c >= 0x14A && c <= 0x177) return static_cast<char16_t>(c | 1);
  if (c == 0x178) return 0xFF;
  if (c >= 0x179 && c <= 0x17E) return (c & 1) ? static_cast<char16_t>(c + 1) : c;
  if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return static_cast<char16_t>(c + 32);
  if (c >= 0x400 && c <= 0x40F) return static_cast<char16_t>(c + 80);
  if (c >= 0x410 && c <= 0x42F) return static_cast<char16_t>(c + 32);
  if (c >= 0x460 && c <= 0x4FF) return static_cast<char16_t>(c | 1);
  if (c >= 0xFF21 && c <= 0xFF3A) return static_cast<char16_t>(c + 32);
  return c;
}

int CompareNames(std::string_view a, std::string_view b) {
  // Fast path: plain ASCII on both sides, compared byte by byte after folding.
  std::size_t i = 0;
  const std::size_t n = a.size() < b.size() ? a.size() : b.size();
  for (; i < n; ++i) {
    auto ca = static_cast<unsigned char>(a[i]);
    auto cb = static_cast<unsigned char>(b[i]);
    if ((ca | cb) & 0x80) break;
    if (ca >= 'A' && ca <= 'Z') ca += 32;
    if (cb >= 'A' && cb <= 'Z') cb += 32;
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  if (i == n && i == a.size() && i == b.size()) return 0;
  if (i == n) {
    // One is a prefix of the other and the rest may hold non-ASCII: compare as UTF-16.
    if (a.size() == n) return -1;
    if (b.size() == n) return 1;
  }
  std::u16string ua = Utf8ToU16(a.substr(i));
  std::u16string ub = Utf8ToU16(b.substr(i));
  const std::size_t m = ua.size() < ub.size() ? ua.size() : ub.size();
  for (std::size_t k = 0; k < m; ++k) {
    char16_t fa = FoldCase(ua[k]);
    char16_t fb = FoldCase(ub[k]);
    if (fa != fb) return fa < fb ? -1 : 1;
  }
  if (ua.size() == ub.size()) return 0;
  return ua.size() < ub.size() ? -1 : 1;
}

}  // namespace kestrove
