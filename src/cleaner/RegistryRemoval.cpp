#include "cleaner/RegistryRemoval.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "cleaner/SystemFolders.h"
#include "platform/TRegistry.h"

namespace kestrove {

namespace {

const char kCurrentUser[] = "HKEY_CURRENT_USER";

// Only the long names name a root here; the short forms (HKCU...) do not.
std::optional<TRootKey> RootFromName(const std::string& name) {
  const auto root = RootKeyFromName(name);
  if (!root || !SameName(RootKeyName(*root), name)) return std::nullopt;
  return root;
}

// The key's path with its separators tidied; empty when it names the root itself, which is
// never removed or emptied as a whole.
std::string KeyPath(const std::string& key) {
  std::string out;
  for (auto part : SplitKeyPath(key)) {
    if (!out.empty()) out += '\\';
    out += part;
  }
  return out;
}

bool IsLink(TClearTaskThread& job, TRootKey root, const std::string& path) {
  return job.Context().Target->Registry()->IsLink(root, path);
}

constexpr const char* kRootKeyRefusal = "it is a root key of the registry";

bool IsHiveRoot(RegistryStore& store, TRootKey root, const std::string& path) {
  if (!store.KeyExists(root, path) && !store.IsLink(root, path)) return false;
  return !store.CanDeleteKey(root, path);
}

// A hive's root (HKEY_USERS\.Default, a user's key) or a key outside every hive is never
// removed or emptied as a whole: refused before anything below it is touched, with a line
// that says so.
bool Refused(TClearTaskThread& job, TRootKey root, const std::string& rootName, const std::string& path) {
  if (!IsHiveRoot(*job.Context().Target->Registry(), root, path)) return false;
  job.LogLine(RefusedLine(job.LinePrefix, rootName + "\\" + path, kRootKeyRefusal));
  return true;
}

}  // namespace

std::optional<std::string> RegistryKeyRefusal(RegistryStore& store, const std::string& rootName,
                                              const std::string& key) {
  const auto root = RootFromName(rootName);
  if (!root) return std::nullopt;
  const std::string path = KeyPath(key);
  // The removal passes over a bare root without a word; asked beforehand, it is the same
  // refusal as a hive's root.
  if (path.empty() || IsHiveRoot(store, *root, path)) return std::string(kRootKeyRefusal);
  return std::nullopt;
}

int CountValues(TClearTaskThread& job, TRootKey root, const std::string& key) {
  // The store walks the tree itself: a key nested thousands deep must not nest calls here.
  return static_cast<int>(job.Context().Target->Registry()->TreeValueCount(root, key));
}

// After a stop nothing more is removed: an item that removes its keys after a walk the stop
// cut short, or one key after another, ends at the next key or value.
int RemoveKey(TClearTaskThread& job, const std::string& rootName, const std::string& key) {
  if (job.Terminated()) return 0;
  const auto root = RootFromName(rootName);
  if (!root) return 0;
  const std::string path = KeyPath(key);
  if (path.empty()) return 0;
  if (job.Describe({TTraceKind::RegistryKey, rootName + "\\" + path, {}, false})) return 0;
  TRegistry reg(job.Context().Target->Registry());
  reg.SetRootKey(*root);
  const bool link = IsLink(job, *root, path);
  if (!link && !reg.KeyExists(path)) return 0;
  if (Refused(job, *root, rootName, path)) return 0;
  int count = link ? 0 : CountValues(job, *root, path);
  if (!job.FastMode()) job.LogDetail(job.LinePrefix + "deleting registry key" + " " + rootName + "\\" + key, 0);
  if (!job.IsTestMode()) reg.DeleteKey(path);
  return std::max(count, 1);
}

int RemoveUserKey(TClearTaskThread& job, const std::string& key) { return RemoveKey(job, kCurrentUser, key); }

int RemoveValues(TClearTaskThread& job, const std::string& rootName, const std::string& key,
                 const std::string& valueName) {
  if (job.Terminated()) return 0;
  const auto root = RootFromName(rootName);
  if (!root) return 0;
  const std::string path = KeyPath(key);
  if (path.empty()) return 0;
  if (job.Describe({TTraceKind::RegistryValues, rootName + "\\" + path, valueName, false})) return 0;
  TRegistry reg(job.Context().Target->Registry());
  reg.SetRootKey(*root);
  if (!reg.OpenKeyReadOnly(path)) return 0;
  if (valueName.empty() && Refused(job, *root, rootName, path)) return 0;
  auto removeValue = [&](const std::string& name) {
    if (!job.FastMode())
      job.LogDetail(job.LinePrefix + "deleting registry value" + " " + rootName + "\\" + key + "\\" + name, 0);
    if (!job.IsTestMode()) reg.DeleteValue(name);
  };
  if (!valueName.empty()) {
    if (!reg.ValueExists(valueName)) return 0;
    removeValue(valueName);
    return 1;
  }
  int count = 0;
  std::vector<std::string> names;
  reg.GetValueNames(names);
  for (const std::string& name : names) {
    if (job.Terminated()) return count;
    removeValue(name);
    ++count;
  }
  reg.GetKeyNames(names);
  reg.CloseKey();
  for (const std::string& sub : names) count += RemoveKey(job, rootName, key + "\\" + sub);
  return count;
}

int RemoveUserValues(TClearTaskThread& job, const std::string& key, const std::string& valueName) {
  return RemoveValues(job, kCurrentUser, key, valueName);
}

}  // namespace kestrove
