// Registry removal for the cleaning job. Root names are "HKEY_CURRENT_USER",
// "HKEY_LOCAL_MACHINE", ... matched in upper case; key paths have no leading "\".
// Results are entry counts: one per value; a removed key counts the values in it and in all
// its subkeys, and at least 1.
#pragma once

#include <optional>
#include <string>

#include "cleaner/ClearTask.h"
#include "platform/RegistryStore.h"

namespace kestrove {

// Why a key may not be removed or emptied as a whole, or nullopt when it may: the root of
// the registry itself, or the root of a hive (HKEY_USERS\.Default, a user's key). A root
// name the registry does not know, or a key that is not there, is no refusal: there is
// nothing to remove.
std::optional<std::string> RegistryKeyRefusal(RegistryStore& store, const std::string& rootName,
                                              const std::string& key);

int CountValues(TClearTaskThread& job, TRootKey root, const std::string& key);
int RemoveKey(TClearTaskThread& job, const std::string& rootName, const std::string& key);
int RemoveUserKey(TClearTaskThread& job, const std::string& key);
int RemoveValues(TClearTaskThread& job, const std::string& rootName, const std::string& key,
                 const std::string& valueName);
int RemoveUserValues(TClearTaskThread& job, const std::string& key, const std::string& valueName);

}  // namespace kestrove
