// The programs a Windows system starts at logon: the string values of the usual Run keys and
// the shortcuts of the two Startup folders, listed as the Tools page and `kestrove-cli startup`
// show them, and deleted on request. Plain C++; no Qt.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestrove {

class TargetSystem;

inline constexpr const char* kStartupFolderLocation = "Startup";
inline constexpr const char* kCommonStartupFolderLocation = "Common Startup";

struct TStartupEntry {
  std::string Program;   // the value's name, or the shortcut's file name
  std::string File;      // the value's text as stored (not expanded), or the shortcut's target
  std::string Location;  // root name + "\" + key path, or "Startup" / "Common Startup"
  bool operator==(const TStartupEntry&) const = default;
};

// The entries and the state of the registry they were read from.
struct TStartupList {
  std::uint64_t View = 0;
  std::vector<TStartupEntry> Entries;
};

// The Run keys in list order: Run, Policies\Explorer\Run and RunOnce of the user and of the
// machine, RunServices on the 9x family; on a 64-bit system then the 32-bit programs' Run and
// RunOnce of the machine (below Wow6432Node, which the location names). Then the user's and the
// all-users' Startup folders: every ".lnk" file (any case) whose target can be read.
TStartupList ListStartupEntries(TargetSystem& target);

struct TStartupDeletion {
  std::vector<TStartupEntry> Removed;
  // Entries that stayed, each with the reason.
  std::vector<std::pair<TStartupEntry, std::string>> Failed;
};

// Deletes the entries (from a list of `view`): the registry values in one run of changes,
// committed once; the shortcut files inside the Windows system only, never through a link.
// Refused before anything changes (RegistryError with the reason) while Wine runs on the
// target, or when the registry changed since the list was read ("list again").
TStartupDeletion DeleteStartupEntries(TargetSystem& target, std::uint64_t view, const std::vector<TStartupEntry>& entries);

}  // namespace kestrove
