// Registry removal for the cleaning job. Root names are "HKEY_CURRENT_USER",
// "HKEY_LOCAL_MACHINE", ... matched in upper case; key paths have no leading "\".
// Results are entry counts: one per value; a removed key counts the values in it and in all
// its subkeys, and at least 1.
#pragma once

#include <string>

#include "cleaner/ClearTask.h"

namespace kestrove {

int CountValues(TClearTaskThread& job, TRootKey root, const std::string& key);
int RemoveKey(TClearTaskThread& job, const std::string& rootName, const std::string& key);
int RemoveUserKey(TClearTaskThread& job, const std::string& key);
int RemoveValues(TClearTaskThread& job, const std::string& rootName, const std::string& key,
                 const std::string& valueName);
int RemoveUserValues(TClearTaskThread& job, const std::string& key, const std::string& valueName);

}  // namespace kestrove
