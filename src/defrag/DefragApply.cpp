#include "defrag/DefragApply.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/RegistryStore.h"
#include "platform/TargetSystem.h"

namespace kestrove {

namespace fs = std::filesystem;

fs::path BackupFile(const fs::path& hive) {
  fs::path bak = hive;
  bak += ".bak";
  return bak;
}

namespace {

// The old hive keeps its bytes under "<hive>.bak": a second name where the file system has
// them, else a copy written whole before it gets the name. An earlier ".bak" goes first.
void KeepOldHive(const fs::path& hive) {
  const fs::path bak = BackupFile(hive);
  struct stat st {};
  if (::lstat(bak.c_str(), &st) == 0 && ::unlink(bak.c_str()) != 0)
    throw RegistryError("Cannot remove " + bak.string() + ": " + std::strerror(errno) + ".");
  if (::link(hive.c_str(), bak.c_str()) == 0) return;
  auto env = Env::Default();
  std::string error;
  auto data = env->ReadFile(hive, kMaxHiveFileBytes, error);
  if (!data) throw RegistryError("Cannot read the registry file " + error);
  const fs::path tmp = bak.parent_path() / ("." + bak.filename().string() + ".kestrove-" + std::to_string(::getpid()) + ".tmp");
  env->Remove(tmp);
  auto file = env->NewWritableFile(tmp, error);
  if (!file || !file->Append(*data) || !file->Sync() || !file->Close() || !env->Rename(tmp, bak, error)) {
    if (file && !file->Error().empty()) error = file->Error();
    env->Remove(tmp);
    throw RegistryError("Cannot keep the old hive as " + bak.string() + ": " + error + ".");
  }
}

// Every old hive gets its ".bak", or none does: a folder or anything but a file under one of the
// names stops the defrag before a single one is touched.
void KeepOldHives(const std::vector<fs::path>& hives) {
  for (const fs::path& hive : hives) {
    const fs::path bak = BackupFile(hive);
    struct stat st {};
    if (::lstat(bak.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))
      throw RegistryError(bak.string() + " is in the way of the old hive's copy and is not a file.");
  }
  std::vector<fs::path> made;
  try {
    for (const fs::path& hive : hives) {
      KeepOldHive(hive);
      made.push_back(BackupFile(hive));
    }
  } catch (...) {
    for (const fs::path& bak : made) ::unlink(bak.c_str());
    throw;
  }
}

}  // namespace

TDefragSwap::TDefragSwap(TargetSystem& target, const THiveTable& table,
                         const std::vector<std::optional<FileStamp>>& madeFrom)
    : target_(target), table_(table), madeFrom_(madeFrom), hives_(target.Registry()->HiveFileTable()) {
  copies_.resize(hives_.size());
  rows_.resize(hives_.size());
  failures_.resize(table_.size());
}

void TDefragSwap::Fail(std::size_t row, const std::string& why) {
  failures_[row] = TDefragApplyResult::TFailure{std::string(kFailedToDefrag) + table_.Names[row], why};
}

bool TDefragSwap::ReplaceHive(const std::string& hiveName, const fs::path& newFile, const fs::path& backupFile) {
  std::optional<std::size_t> row;
  for (std::size_t i = 0; i < table_.size(); ++i)
    if (table_.Names[i] == hiveName) row = i;
  if (!row) return false;
  const fs::path& hive = table_.HostFiles[*row];
  std::optional<std::size_t> index;
  for (std::size_t k = 0; k < hives_.size(); ++k)
    if (hives_[k].file == hive) index = k;
  if (!index) {
    Fail(*row, hive.string() + " is no longer a hive of this registry");
    return false;
  }
  if (*row >= madeFrom_.size() || !madeFrom_[*row]) {
    Fail(*row, "the analysis made no compacted copy of " + hive.string());
    return false;
  }
  // The old hive always goes beside itself: the name is the hive's with ".bak" added.
  if (backupFile != BackupFile(hive)) {
    Fail(*row, "the old hive can only be kept as " + BackupFile(hive).string());
    return false;
  }
  copies_[*index] = RegistryStore::THiveCopy{newFile, *madeFrom_[*row]};
  rows_[*index] = *row;
  return true;
}

TDefragApplyResult TDefragSwap::Commit() {
  TDefragApplyResult result;
  std::vector<std::string> refused;
  bool whole = true;
  try {
    refused = target_.Registry()->InstallHiveCopies(copies_, KeepOldHives);
  } catch (const std::exception& e) {
    whole = false;
    for (std::size_t k = 0; k < copies_.size(); ++k)
      if (copies_[k]) Fail(*rows_[k], e.what());
  }
  for (std::size_t k = 0; whole && k < copies_.size(); ++k) {
    if (!copies_[k]) continue;
    if (k < refused.size() && !refused[k].empty())
      Fail(*rows_[k], refused[k]);
    else
      ++result.Replaced;
  }
  for (auto& f : failures_)
    if (f) result.Failures.push_back(std::move(*f));
  copies_.assign(hives_.size(), std::nullopt);
  failures_.assign(table_.size(), std::nullopt);
  // The facts read from the hives (version, folders) are read again from the files.
  target_.RefreshRegistry();
  return result;
}

TDefragApplyResult ApplyDefrag(TargetSystem& target, const THiveTable& table,
                               const std::vector<std::optional<FileStamp>>& madeFrom) {
  TDefragSwap swap(target, table, madeFrom);
  for (std::size_t i = 0; i < table.size(); ++i)
    swap.ReplaceHive(table.Names[i], HiveCopyFile(table.HostFiles[i]), BackupFile(table.HostFiles[i]));
  return swap.Commit();
}

}  // namespace kestrove
