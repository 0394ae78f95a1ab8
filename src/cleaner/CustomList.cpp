#include "cleaner/CustomList.h"

#include "app/IniFile.h"
#include "cleaner/ItemOperations.h"
#include "app/Helpers.h"

namespace kestrove {

bool IsRegistryEntry(const std::string& entry) {
  return entry.size() >= 5 && UpperCase(entry.substr(0, 5)) == "HKEY_";
}

TRegistryEntry SplitRegistryEntry(const std::string& entry) {
  const std::size_t comma = entry.find(',');
  if (comma == std::string::npos) return {entry, TRegistryEntryMode::Key, {}};
  if (comma + 1 == entry.size()) return {entry.substr(0, comma), TRegistryEntryMode::AllValues, {}};
  return {entry.substr(0, comma), TRegistryEntryMode::Value, entry.substr(comma + 1)};
}

std::string RegistryEntryText(const TRegistryEntry& entry) {
  switch (entry.Mode) {
    case TRegistryEntryMode::Key:
      return entry.Key;
    case TRegistryEntryMode::AllValues:
      return entry.Key + ",";
    case TRegistryEntryMode::Value:
      return entry.Key + "," + entry.ValueName;
  }
  return entry.Key;
}

std::vector<std::pair<std::string, std::string>> CustomListLines(const std::vector<std::string>& entries) {
  std::vector<std::pair<std::string, std::string>> lines;
  int files = 0;
  int keys = 0;
  for (const std::string& entry : entries) {
    if (IsRegistryEntry(entry))
      lines.emplace_back("DelRegValue" + std::to_string(++keys), entry);
    else
      lines.emplace_back("DelFile" + std::to_string(++files), entry);
  }
  return lines;
}

std::vector<std::string> ReadCustomList(const std::string& programFolder) {
  std::vector<std::string> entries;
  for (auto& [key, value] : TIniFile(programFolder + kCustomListFile).ReadSectionValues(kCustomListSection))
    entries.push_back(std::move(value));
  return entries;
}

void SaveCustomList(const std::string& programFolder, const std::vector<std::string>& entries) {
  TIniFile(programFolder + kCustomListFile).ReplaceSection(kCustomListSection, CustomListLines(entries));
}

std::optional<std::string> CustomEntryRefusal(TargetSystem& target, const std::string& entry) {
  const auto lines = CustomListLines({entry});
  return DefinitionLineRefusal(target, lines.front().first + "=" + lines.front().second);
}

}  // namespace kestrove
