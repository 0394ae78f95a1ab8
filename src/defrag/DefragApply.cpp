#include "defrag/DefragApply.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/RegistryStore.h"
#include "platform/TargetSystem.h"

namespace kestrove {

namespace fs = std::filesystem;

namespace {

fs::path BackupFile(const fs::path& hive) {
  fs::path bak = hive;
  bak += ".bak";
  return bak;
}

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

TDefragApplyResult ApplyDefrag(TargetSystem& target, const THiveTable& table,
                               const std::vector<std::optional<FileStamp>>& madeFrom) {
  TDefragApplyResult result;
  RegistryStore& store = *target.Registry();
  const std::vector<RegistryStore::THiveFileInfo> hives = store.HiveFileTable();
  std::vector<std::optional<RegistryStore::THiveCopy>> copies(hives.size());
  std::vector<std::optional<std::size_t>> row(hives.size());  // the table's row of each store hive
  // In the table's order, whichever step refused the hive.
  std::vector<std::optional<TDefragApplyResult::TFailure>> failures(table.size());
  auto fail = [&](std::size_t i, const std::string& why) {
    failures[i] = TDefragApplyResult::TFailure{std::string(kFailedToDefrag) + table.Names[i], why};
  };
  auto finish = [&] {
    for (auto& f : failures)
      if (f) result.Failures.push_back(std::move(*f));
    // The facts read from the hives (version, folders) are read again from the files.
    target.RefreshRegistry();
    return result;
  };
  for (std::size_t i = 0; i < table.size(); ++i) {
    std::optional<std::size_t> index;
    for (std::size_t k = 0; k < hives.size(); ++k)
      if (hives[k].file == table.HostFiles[i]) index = k;
    if (!index) {
      fail(i, table.HostFiles[i].string() + " is no longer a hive of this registry");
      continue;
    }
    if (i >= madeFrom.size() || !madeFrom[i]) {
      fail(i, "the analysis made no compacted copy of " + table.HostFiles[i].string());
      continue;
    }
    copies[*index] = RegistryStore::THiveCopy{HiveCopyFile(table.HostFiles[i]), *madeFrom[i]};
    row[*index] = i;
  }
  std::vector<std::string> refused;
  try {
    refused = store.InstallHiveCopies(copies, KeepOldHives);
  } catch (const std::exception& e) {
    for (std::size_t k = 0; k < copies.size(); ++k)
      if (copies[k]) fail(*row[k], e.what());
    return finish();
  }
  for (std::size_t k = 0; k < copies.size(); ++k) {
    if (!copies[k]) continue;
    if (k < refused.size() && !refused[k].empty())
      fail(*row[k], refused[k]);
    else
      ++result.Replaced;
  }
  return finish();
}

}  // namespace kestrove
