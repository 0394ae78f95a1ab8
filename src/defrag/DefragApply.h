// Putting the compacted copies of an analysis in place of the hives, the old hives kept
// beside them as ".bak".
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "defrag/HiveAnalysis.h"
#include "platform/RegistryStore.h"

namespace kestrove {

struct TDefragApplyResult {
  // Per hive that was not replaced: the message the page shows ("Failed to defrag the
  // registry\REGISTRY\MACHINE") and why.
  struct TFailure {
    std::string Message;
    std::string Reason;
  };
  std::vector<TFailure> Failures;
  std::size_t Replaced = 0;
};

// "<hive>.bak".
std::filesystem::path BackupFile(const std::filesystem::path& hive);

// The swap of several hives, asked for one hive at a time as the system's replace-key call is,
// and made at once for all of them by Commit: each copy read back and checked, the hives that
// pass replaced together, all or nothing, under the lock commits take.
class TDefragSwap {
 public:
  TDefragSwap(TargetSystem& target, const THiveTable& table, const std::vector<std::optional<FileStamp>>& madeFrom);
  // Asks for the hive named `hiveName` (as in the table) to be replaced by `newFile`, the old
  // file kept as `backupFile`; false, with the failure kept for Commit's result, when it
  // cannot be asked for.
  bool ReplaceHive(const std::string& hiveName, const std::filesystem::path& newFile,
                   const std::filesystem::path& backupFile);
  TDefragApplyResult Commit();

 private:
  void Fail(std::size_t row, const std::string& why);

  TargetSystem& target_;
  const THiveTable& table_;
  const std::vector<std::optional<FileStamp>>& madeFrom_;
  const std::vector<RegistryStore::THiveFileInfo> hives_;
  std::vector<std::optional<RegistryStore::THiveCopy>> copies_;
  std::vector<std::optional<std::size_t>> rows_;  // the table's row of each store hive
  std::vector<std::optional<TDefragApplyResult::TFailure>> failures_;  // by table row
};

// Nothing of a target runs while we may write it (Wine's server is not up, an offline Windows
// is not running), so the swap is made at once instead of at the next start: each copy is
// read back and must hold exactly what its hive file holds, that file must still be the one the
// copy was made from, an old ".bak" goes, the hive file becomes "<hive>.bak" and the copy takes
// its place; the hives that pass are replaced together, all or nothing. `madeFrom` is the
// analysis's (TScanDefragTaskThread::MadeFrom), index-aligned with `table`.
TDefragApplyResult ApplyDefrag(TargetSystem& target, const THiveTable& table,
                               const std::vector<std::optional<FileStamp>>& madeFrom);

// What the user is told once the hives were replaced, instead of the question to restart:
// nothing is left to happen at a restart.
inline constexpr const char* kDefragDone =
    "The registry has been defragmented. The previous hive files are kept beside them with the extension \".bak\".";

}  // namespace kestrove
