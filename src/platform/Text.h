// Small text helpers for names Windows defines in ASCII (switches, extensions, root names,
// section names), used by every layer. File and key names compare with FoldName/SameName,
// which know more letters than ASCII.
#pragma once

#include <string>
#include <string_view>

namespace kestrove {

inline char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }
inline char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

inline std::string AsciiLower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = AsciiLower(c);
  return out;
}

inline bool AsciiEqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  return true;
}

inline std::string AsciiUpper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = AsciiUpper(c);
  return out;
}

// Where `needle` stands in `text` from `from` on, ASCII letters compared without case; npos
// when nowhere (and for an empty needle).
inline std::size_t AsciiFindNoCase(std::string_view text, std::string_view needle, std::size_t from = 0) {
  if (needle.empty() || needle.size() > text.size()) return std::string_view::npos;
  for (std::size_t i = from; i + needle.size() <= text.size(); ++i) {
    std::size_t k = 0;
    while (k < needle.size() && AsciiLower(text[i + k]) == AsciiLower(needle[k])) ++k;
    if (k == needle.size()) return i;
  }
  return std::string_view::npos;
}

inline bool AsciiContainsNoCase(std::string_view text, std::string_view needle) {
  return AsciiFindNoCase(text, needle) != std::string_view::npos;
}

inline bool AsciiStartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && AsciiFindNoCase(text.substr(0, prefix.size()), prefix) == 0;
}

// A folder's path with a trailing backslash. An empty text (a folder the target does not
// have) becomes "\", which names no place on a drive and so is never cleared.
inline std::string WithBackslash(std::string folder) {
  if (folder.empty() || folder.back() != '\\') folder += '\\';
  return folder;
}

// The letter rotation by 13 places that Windows applies to UserAssist value names; letters
// of both cases rotate within their case, everything else is kept.
inline std::string ROT13(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z')
      c = static_cast<char>('a' + (c - 'a' + 13) % 26);
    else if (c >= 'A' && c <= 'Z')
      c = static_cast<char>('A' + (c - 'A' + 13) % 26);
  }
  return out;
}

}  // namespace kestrove
