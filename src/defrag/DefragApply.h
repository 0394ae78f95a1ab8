// Putting the compacted copies of an analysis in place of the hives, the old hives kept
// beside them as ".bak".
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "defrag/HiveAnalysis.h"

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
