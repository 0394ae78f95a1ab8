// The user's own clean list: the section "<New List>" of Custom.dat in the program's folder,
// one entry text per line, run by the item "Custom Lists - <New List>".
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/TargetSystem.h"

namespace kestrove {

inline constexpr const char* kCustomListFile = "Custom.dat";
inline constexpr const char* kCustomListSection = "<New List>";

// An entry beginning with "HKEY_" in any letter case does registry work; any other, file work.
bool IsRegistryEntry(const std::string& entry);

// How a registry entry removes: the key, every value and subkey of it, or one value.
enum class TRegistryEntryMode { Key, AllValues, Value };

struct TRegistryEntry {
  std::string Key;
  TRegistryEntryMode Mode = TRegistryEntryMode::Key;
  std::string ValueName;
};

// The entry split at its first ",".
TRegistryEntry SplitRegistryEntry(const std::string& entry);
std::string RegistryEntryText(const TRegistryEntry& entry);

// The key=value lines of the list as the file holds them: DelFile1, DelRegValue1, ...
// numbered per kind from 1 in the order of the entries.
std::vector<std::pair<std::string, std::string>> CustomListLines(const std::vector<std::string>& entries);

// The entries of the list, in the order their keys stand in the file; none when the file or
// its section is missing.
std::vector<std::string> ReadCustomList(const std::string& programFolder);
// Replaces the list in one atomic write of the file; the rest of the file stays as it was.
// Raises EIniFileError when the file cannot be written.
void SaveCustomList(const std::string& programFolder, const std::vector<std::string>& entries);

// Why the cleaner would refuse the entry (the reason its log line gives), or nullopt.
std::optional<std::string> CustomEntryRefusal(TargetSystem& target, const std::string& entry);

}  // namespace kestrove
