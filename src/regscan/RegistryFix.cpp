#include "regscan/RegistryFix.h"

#include <ctime>
#include <set>
#include <system_error>

#include "app/Helpers.h"
#include "platform/FileServices.h"
#include "platform/TRegistry.h"
#include "regscan/BackupOrigin.h"
#include "regscan/RegFile.h"

namespace kestrove {

namespace fs = std::filesystem;

namespace {

// Only the five long names of the roots a scan reports are removed from; any other root text
// (a short name, the performance data) removes nothing.
std::optional<TRootKey> FixRoot(const std::string& name) {
  const auto root = RootKeyFromName(name);
  if (!root || *root == HKEY_PERFORMANCE_DATA || *root == HKEY_DYN_DATA) return std::nullopt;
  if (!SameName(RootKeyName(*root), name)) return std::nullopt;
  return root;
}

// A key path as the store takes it: no backslash at either end ("\Data" under HKEY_USERS is
// the key Data right below the root).
std::string KeyPathOf(std::string path) {
  while (!path.empty() && path.front() == '\\') path.erase(path.begin());
  while (!path.empty() && path.back() == '\\') path.pop_back();
  return path;
}

}  // namespace

fs::path MakeBackupFileName(const fs::path& folder, std::chrono::system_clock::time_point start) {
  const std::time_t t = std::chrono::system_clock::to_time_t(start);
  std::tm local{};
  ::localtime_r(&t, &local);
  const std::string name = std::to_string(local.tm_year + 1900) + "_" + TwoDigit(local.tm_mon + 1) + "_" +
                           TwoDigit(local.tm_mday) + "_" + TwoDigit(local.tm_hour) + TwoDigit(local.tm_min) +
                           TwoDigit(local.tm_sec) + ".reg";
  return folder / name;
}

bool TRegistryFix::DeleteKeyWithBackup(const std::string& rootName, const std::string& keyPath) {
  const auto root = FixRoot(rootName);
  if (!root) return false;
  const std::string path = KeyPathOf(keyPath);
  auto store = target_.Registry();
  // A key the store keeps (a hive's root) is neither backed up nor removed.
  if (path.empty() || !store->KeyExists(*root, path) || !store->CanDeleteKey(*root, path)) return false;
  ExportToRegFile(BackupFileName, *store, *root, true, "", path, origin_);
  TRegistry reg(store);
  reg.SetRootKey(*root);
  return reg.DeleteKey(path);
}

bool TRegistryFix::DeleteValueWithBackup(const std::string& rootName, const std::string& keyPath,
                                         const std::string& valueName) {
  const auto root = FixRoot(rootName);
  if (!root) return false;
  const std::string path = KeyPathOf(keyPath);
  TRegistry reg(target_.Registry());
  reg.SetRootKey(*root);
  if (!reg.OpenKeyReadOnly(path) || !reg.ValueExists(valueName)) return false;
  ExportToRegFile(BackupFileName, *target_.Registry(), *root, false, valueName, path, origin_);
  reg.CloseKey();
  if (!reg.OpenKey(path, false)) return false;
  return reg.DeleteValue(valueName);
}

bool TRegistryFix::RemoveRow(const TScanResult& row) {
  if (row.LocationKind == TLocationKind::lkShortcutFile) {
    // No backup: the shortcut's target is gone, and the file itself is the user's to recreate.
    auto parent = OpenTargetParent(target_, row.Location);
    if (!parent) return false;
    const auto st = StatEntry(*parent->Ops, parent->Fd.Get(), parent->Leaf.c_str());
    if (!st || st->Kind == TEntryKind::Folder) return false;
    return parent->Ops->UnlinkAt(parent->Fd.Get(), parent->Leaf.c_str(), 0) == 0;
  }
  const std::size_t slash = row.Location.find('\\');
  const std::string rootName = row.Location.substr(0, slash);
  const std::string rest = row.Location.substr(slash + 1);
  switch (row.LocationKind) {
    case TLocationKind::lkKey: return DeleteKeyWithBackup(rootName, rest);
    case TLocationKind::lkPathValue: {
      const std::size_t last = rest.rfind('\\');
      const std::string key = last == std::string::npos ? std::string() : rest.substr(0, last);
      const std::string name = last == std::string::npos ? rest : rest.substr(last + 1);
      return DeleteValueWithBackup(rootName, key, name);
    }
    case TLocationKind::lkDataValue: return DeleteValueWithBackup(rootName, rest, row.Data);
    case TLocationKind::lkDataSubkey: return DeleteKeyWithBackup(rootName, rest + "\\" + row.Data);
    case TLocationKind::lkDefaultValue: return DeleteValueWithBackup(rootName, rest, "");
    case TLocationKind::lkEncodedDataValue: return DeleteValueWithBackup(rootName, rest, ROT13(row.Data));
    case TLocationKind::lkShortcutFile: break;
  }
  return false;
}

namespace {

// Where a registry row's item is: its root, its key, and for a value its name.
struct TRowPlace {
  std::string rootName, key, value;
  bool wholeKey = false;
};

std::optional<TRowPlace> PlaceOf(const TScanResult& row) {
  const std::size_t slash = row.Location.find('\\');
  if (row.LocationKind == TLocationKind::lkShortcutFile || slash == std::string::npos) return std::nullopt;
  TRowPlace p;
  p.rootName = row.Location.substr(0, slash);
  const std::string rest = row.Location.substr(slash + 1);
  switch (row.LocationKind) {
    case TLocationKind::lkKey: p.key = rest, p.wholeKey = true; break;
    case TLocationKind::lkPathValue: {
      const std::size_t last = rest.rfind('\\');
      p.key = last == std::string::npos ? std::string() : rest.substr(0, last);
      p.value = last == std::string::npos ? rest : rest.substr(last + 1);
      break;
    }
    case TLocationKind::lkDataValue: p.key = rest, p.value = row.Data; break;
    case TLocationKind::lkDataSubkey: p.key = rest + "\\" + row.Data, p.wholeKey = true; break;
    case TLocationKind::lkDefaultValue: p.key = rest; break;
    case TLocationKind::lkEncodedDataValue: p.key = rest, p.value = ROT13(row.Data); break;
    case TLocationKind::lkShortcutFile: return std::nullopt;
  }
  p.key = KeyPathOf(p.key);
  return p;
}

}  // namespace

// The key as the store names it whatever root led there (HKEY_CURRENT_USER is a key of
// HKEY_USERS, HKEY_CLASSES_ROOT one of HKEY_LOCAL_MACHINE), then the value's name folded as
// Windows compares it; a file by its path. "" for an item that is not there.
std::string TRegistryFix::ItemOf(const TScanResult& row) {
  if (row.LocationKind == TLocationKind::lkShortcutFile) return "file:" + row.Location;
  const auto place = PlaceOf(row);
  if (!place) return {};
  const auto root = FixRoot(place->rootName);
  if (!root) return {};
  const auto key = target_.Registry()->CanonicalKeyPath(*root, place->key);
  if (!key) return {};
  return UpperCase(*key) + (place->wholeKey ? std::string() : "\n" + UpperCase(place->value));
}

TFixResult TRegistryFix::Run(std::vector<TScanResult>& rows, const TFixSettings& settings,
                             std::chrono::system_clock::time_point start) {
  TFixResult result;
  removed_ = 0;
  // 1. The backup folder, made on request.
  const fs::path folder = settings.BackupFolder;
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) {
    const TMessageRequest ask{kProductName,
                              folder.string() + "," + "can not find the backup folder." + "\r\n" +
                                  "creates a new directory?",
                              TMsgButtons::YesNo, TMsgIcon::Information};
    if (prompt_.Ask(ask) != TMsgResult::Yes) {
      result.Outcome = TFixOutcome::FolderDeclined;
      return result;
    }
    fs::create_directories(folder, ec);
    if (!fs::is_directory(folder, ec)) {
      result.Outcome = TFixOutcome::FolderNotCreated;
      result.Error = "Cannot create " + folder.string();
      return result;
    }
  }
  // 2.
  if (rows.empty()) {
    result.Outcome = TFixOutcome::NoRows;
    return result;
  }
  // Wine keeps the registry of a running prefix in memory and would write its own copy back
  // over ours: refuse before anything is backed up or removed, and say why.
  auto store = target_.Registry();
  if (auto reason = store->WriteBlockReason()) {
    prompt_.Ask({kProductName, *reason, TMsgButtons::Ok, TMsgIcon::Warning});
    result.Outcome = TFixOutcome::WriteRefused;
    result.Error = *reason;
    return result;
  }
  // 3.
  if (settings.RestorePoint && settings.WindowsVersion >= 9 && settings.WindowsVersion <= 12 && restorePoint_ &&
      !restorePoint_->Run()) {
    result.Outcome = TFixOutcome::RestorePointCancelled;
    return result;
  }
  // The rows must describe the registry as it is now, and it must stay so until the commit:
  // the run of changes is opened (no other Kestrove process writes from here on) and the
  // view compared with the one the rows were found on.
  try {
    const std::uint64_t view = store->BeginChanges();
    if (settings.RowsView && view != *settings.RowsView) {
      store->Discard();
      prompt_.Ask({kProductName, kRegistryChangedSinceScan, TMsgButtons::Ok, TMsgIcon::Warning});
      result.Outcome = TFixOutcome::RegistryChanged;
      result.Error = kRegistryChangedSinceScan;
      return result;
    }
  } catch (const RegistryError& e) {
    prompt_.Ask({kProductName, e.what(), TMsgButtons::Ok, TMsgIcon::Warning});
    result.Outcome = TFixOutcome::WriteRefused;
    result.Error = e.what();
    return result;
  }
  // 4. A file of the same second is added to, unless another system's Fix wrote it.
  const TTargetIdentity identity = target_.Identity();
  origin_ = OriginLine(identity);
  BackupFileName = MakeBackupFileName(folder, start);
  for (int n = 2; fs::exists(BackupFileName, ec) &&
                  MatchOrigin(ReadBackupOrigin(BackupFileName), identity) == TOriginMatch::OtherSystem;
       ++n) {
    const fs::path first = MakeBackupFileName(folder, start);
    BackupFileName = first.parent_path() / (first.stem().string() + "_" + std::to_string(n) + ".reg");
  }
  result.BackupFile = BackupFileName;
  // Rows may name one item twice (HKEY_CURRENT_USER and HKEY_USERS\<SID>): it is removed
  // once, for all of them. Taken before anything is removed, while every item is there.
  std::vector<std::string> items(rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i)
    if (rows[i].Selected) items[i] = ItemOf(rows[i]);
  std::set<std::string> handled, removedKeys;
  auto withinRemovedKey = [&](const std::string& item) {
    if (item.empty() || item.starts_with("file:")) return false;
    std::string key = item.substr(0, item.find('\n'));
    for (;;) {
      if (removedKeys.count(key)) return true;
      const std::size_t up = key.rfind('\\');
      if (up == std::string::npos) return false;
      key.resize(up);
    }
  };
  // 5. From the last row to the first; the list keeps a row only when its removal could not
  //    be backed up (or a row that names no key at all).
  const std::vector<TScanResult> before = rows;
  for (std::size_t i = rows.size(); i-- > 0;) {
    const TScanResult& row = rows[i];
    if (!row.Selected) continue;
    if (row.LocationKind != TLocationKind::lkShortcutFile && row.Location.find('\\') == std::string::npos) continue;
    ++result.Rows;
    try {
      if (!items[i].empty() && !handled.insert(items[i]).second) {
        // Another row for the same item: removed (or not) with that one.
      } else if (RemoveRow(row)) {
        ++removed_;
        if (!items[i].empty() && items[i].find('\n') == std::string::npos) removedKeys.insert(items[i]);
      } else if (withinRemovedKey(items[i])) {
        // Its key went with a key removed for another row.
      } else {
        ++result.NotRemoved;
      }
    } catch (const std::exception& e) {
      result.Outcome = TFixOutcome::StoppedAtRow;
      result.Error = e.what();
      break;
    }
    rows.erase(rows.begin() + static_cast<std::ptrdiff_t>(i));
  }
  // One write of each changed hive file for the whole run.
  try {
    store->Commit();
  } catch (const std::exception& e) {
    try {
      store->Discard();
    } catch (const std::exception&) {
    }
    rows = before;
    result.Outcome = TFixOutcome::WriteRefused;
    result.Error = e.what();
    result.Removed = 0;
    return result;
  }
  result.Removed = removed_;
  return result;
}

}  // namespace kestrove
