// The item operations the cleaning job dispatches to, grouped as they are built.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cleaner/ClearTask.h"

namespace kestrove {

struct TItemEntry {
  const char* Name;
  TItemOperation Operation;
};

// Windows, Advanced, Microsoft Office and Instant Messengers items.
std::vector<TItemEntry> WindowsItemOperations();
// Internet Explorer items.
std::vector<TItemEntry> InternetExplorerItemOperations();
// Firefox, Netscape, Opera and Chrome items.
std::vector<TItemEntry> BrowserItemOperations();

// Carries out the section of `itemName` in the definition file `fileName` of the program's
// folder ("qvtk.dat" or "Custom.dat").
void RunDefinition(TClearTaskThread& job, const std::string& fileName, const std::string& itemName);
// Why a definition line (key=value) of a user's list would be refused when the item runs,
// with the reason its log line gives, or nullopt when it would be carried out: a folder
// cleared or emptied of every file that is a system folder or holds one, a registry key
// removed or emptied that is the root of the registry or of a hive.
std::optional<std::string> DefinitionLineRefusal(TargetSystem& target, const std::string& line);
// The section of a definition file an item runs: its name after the first "-" and blank.
std::string DefinitionSectionName(const std::string& itemName);

}  // namespace kestrove
