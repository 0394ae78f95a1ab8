#include "tools/StartupManager.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/FileServices.h"
#include "platform/RegistryStore.h"
#include "platform/TRegistry.h"
#include "platform/TargetSystem.h"
#include "platform/Text.h"
#include "regscan/ShellLink.h"

namespace kestrove {

namespace {

constexpr const char* kCurrentVersion = "Software\\Microsoft\\Windows\\CurrentVersion\\";
constexpr const char* kCurrentVersion32 = "Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\";

struct TRunKey {
  TRootKey Root;
  std::string Path;
};

std::vector<TRunKey> RunKeys(TargetSystem& target) {
  const std::string v = kCurrentVersion;
  std::vector<TRunKey> keys = {
      {HKEY_CURRENT_USER, v + "Run"},
      {HKEY_LOCAL_MACHINE, v + "Run"},
      {HKEY_CURRENT_USER, v + "Policies\\Explorer\\Run"},
      {HKEY_LOCAL_MACHINE, v + "Policies\\Explorer\\Run"},
      {HKEY_CURRENT_USER, v + "RunOnce"},
      {HKEY_LOCAL_MACHINE, v + "RunOnce"},
  };
  const std::uint8_t version = target.WindowsVersion();
  if ((version >= 1 && version <= 4) || version == 8) {
    keys.push_back({HKEY_CURRENT_USER, v + "RunServices"});
    keys.push_back({HKEY_LOCAL_MACHINE, v + "RunServices"});
  }
  // A 64-bit Windows starts the 32-bit programs' entries too; they live in the machine's
  // 32-bit view (the user's Run keys are shared by both views).
  if (target.Is64Bit()) {
    keys.push_back({HKEY_LOCAL_MACHINE, std::string(kCurrentVersion32) + "Run"});
    keys.push_back({HKEY_LOCAL_MACHINE, std::string(kCurrentVersion32) + "RunOnce"});
  }
  return keys;
}

void AddRegistryEntries(TargetSystem& target, std::vector<TStartupEntry>& out) {
  for (const TRunKey& key : RunKeys(target)) {
    TRegistry reg(target.Registry());
    reg.SetRootKey(key.Root);
    if (!reg.OpenKeyReadOnly(key.Path)) continue;
    std::vector<std::string> names;
    reg.GetValueNames(names);
    for (const std::string& name : names) {
      const TRegDataType type = reg.GetDataType(name);
      if (type != TRegDataType::rdString && type != TRegDataType::rdExpandString) continue;
      try {
        out.push_back({name, reg.ReadString(name), RootKeyName(key.Root) + "\\" + key.Path});
      } catch (const ERegistryException&) {
        // A value that cannot be read as text is no program line.
      }
    }
  }
}

bool IsShortcutName(const std::string& name) {
  return name.size() > 4 && AsciiLower(name.substr(name.size() - 4)) == ".lnk";
}

void AddFolderEntries(TargetSystem& target, const char* shellFolder, const char* location,
                      std::vector<TStartupEntry>& out) {
  const auto folder = target.ShellFolder(shellFolder);
  if (!folder || folder->empty()) return;
  auto opened = OpenTargetFolder(target, *folder);
  const auto host = target.HostPath(*folder);
  if (!opened || !host) return;
  const EnvironmentBlock environment = target.Environment();
  std::vector<TFolderEntry> entries = ListFolder(*opened->Ops, opened->Fd.Get());
  for (const TFolderEntry& e : entries) {
    // A link in the folder is not read through: its target may lie anywhere on this machine.
    if (e.Kind != TEntryKind::File || !IsShortcutName(e.Name)) continue;
    std::string shortcutTarget = ResolveShortcutTarget(*host / e.Name, environment);
    if (!shortcutTarget.empty()) out.push_back({e.Name, std::move(shortcutTarget), location});
  }
}

// Removes one shortcut of a Startup folder: found in the folder as it is opened for removal,
// never through a link, and only a file.
std::string RemoveShortcut(TargetSystem& target, const char* shellFolder, const std::string& name) {
  const auto folder = target.ShellFolder(shellFolder);
  if (!folder || folder->empty()) return "the folder is not there";
  if (name.empty() || name.find_first_of("\\/") != std::string::npos || name == "." || name == "..")
    return "no file name";
  TTargetAccess access = TTargetAccess::Absent;
  auto opened = OpenTargetFolder(target, *folder, &access);
  if (!opened) return access == TTargetAccess::Outside ? "outside the Windows system" : "the folder is not there";
  const auto st = StatEntry(*opened->Ops, opened->Fd.Get(), name.c_str());
  if (!st) return "no longer there";
  if (st->Kind == TEntryKind::Folder) return "a folder, not a shortcut";
  if (opened->Ops->UnlinkAt(opened->Fd.Get(), name.c_str(), 0) != 0) return std::string(std::strerror(errno));
  return {};
}

}  // namespace

TStartupList ListStartupEntries(TargetSystem& target) {
  TStartupList list;
  list.View = target.RefreshRegistry();
  AddRegistryEntries(target, list.Entries);
  AddFolderEntries(target, "Startup", kStartupFolderLocation, list.Entries);
  AddFolderEntries(target, "Common Startup", kCommonStartupFolderLocation, list.Entries);
  return list;
}

TStartupDeletion DeleteStartupEntries(TargetSystem& target, std::uint64_t view,
                                      const std::vector<TStartupEntry>& entries) {
  RegistryStore& store = *target.Registry();
  if (auto blocked = store.WriteBlockReason()) throw RegistryError(*blocked);
  // The values are named by what the list showed: were the files changed since, a value of
  // that name could now be another program's.
  if (store.BeginChanges() != view) {
    store.Discard();
    throw RegistryError("The registry changed since the list was made; list the startup entries again.");
  }
  TStartupDeletion result;
  std::vector<TStartupEntry> valuesRemoved;
  try {
    for (const TStartupEntry& entry : entries) {
      if (entry.Location == kStartupFolderLocation || entry.Location == kCommonStartupFolderLocation) continue;
      const std::size_t slash = entry.Location.find('\\');
      const auto root = slash == std::string::npos ? std::nullopt : RootKeyFromName(entry.Location.substr(0, slash));
      // Only the full root names a list gives, as the location column writes them.
      if (!root || RootKeyName(*root) != AsciiUpper(entry.Location.substr(0, slash))) {
        result.Failed.push_back({entry, "no registry location"});
        continue;
      }
      TRegistry reg(target.Registry());
      reg.SetRootKey(*root);
      if (!reg.OpenKeyReadOnly(entry.Location.substr(slash + 1)) || !reg.ValueExists(entry.Program)) {
        result.Failed.push_back({entry, "no longer there"});
        continue;
      }
      if (!reg.DeleteValue(entry.Program)) {
        result.Failed.push_back({entry, "the value could not be deleted"});
        continue;
      }
      valuesRemoved.push_back(entry);
    }
    if (!valuesRemoved.empty()) store.Commit();
    else store.Discard();
  } catch (const RegistryError& e) {
    store.Discard();
    for (const TStartupEntry& entry : valuesRemoved) result.Failed.push_back({entry, e.what()});
    valuesRemoved.clear();
  }
  result.Removed = valuesRemoved;
  for (const TStartupEntry& entry : entries) {
    const bool user = entry.Location == kStartupFolderLocation;
    if (!user && entry.Location != kCommonStartupFolderLocation) continue;
    const std::string why = RemoveShortcut(target, user ? "Startup" : "Common Startup", entry.Program);
    if (why.empty())
      result.Removed.push_back(entry);
    else
      result.Failed.push_back({entry, why});
  }
  return result;
}

}  // namespace kestrove
