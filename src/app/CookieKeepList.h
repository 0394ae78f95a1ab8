// The list of cookie files the user keeps: "Cookies.ini" in the program's folder, written by
// the Options dialog. Its section "Cookies to keep" (any letter case) holds "Count" and the
// keys 0 to Count - 1, each naming a cookie file; empty values are ignored and a missing file
// is an empty list.
//
// A list that exists but cannot be trusted (unreadable, not a regular file, too large,
// binary bytes, a Count that is no number or negative, names without a Count, a link to a
// file that is gone) is an error,
// never an empty list: an empty list means "remove every cookie", which would take the very
// cookies the user asked to keep.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/Env.h"

namespace kestrove {

inline constexpr const char* kCookieKeepListFile = "Cookies.ini";
inline constexpr const char* kCookieKeepListSection = "Cookies to keep";

struct TCookieKeepList {
  bool Ok = true;
  std::vector<std::string> Names;  // in key order, as written
  std::string Error;               // why the list cannot be used, naming the file
};

TCookieKeepList ReadCookieKeepList(const std::filesystem::path& file, std::shared_ptr<Env> env = Env::Default());

// The names the Options dialog shows: keys 0 to Count - 1, empty values skipped, whatever else
// the file holds (the dialog's OK then writes a clean list). Raises EIniFileError.
std::vector<std::string> CookieKeepListNames(const std::filesystem::path& file);
// Writes "Count" and the keys "0", "1", ...; the keys of a longer earlier list are removed.
// Raises EIniFileError.
void WriteCookieKeepList(const std::filesystem::path& file, const std::vector<std::string>& names);

}  // namespace kestrove
