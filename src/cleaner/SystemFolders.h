// The folders of the target that no clean item may empty as a whole: the Windows, system and
// program-files folders, the user's profile and the folders holding the user's own folders.
// A definition line or a temporary-folder setting that names one of them is a mistake (or
// worse), and the item refuses it instead of removing what it holds.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/TargetSystem.h"

namespace kestrove {

class TSystemFolders {
 public:
  explicit TSystemFolders(TargetSystem& target);

  // Why the temporary folder must not be cleared, or nullopt when it may be: it is the
  // profile, the Windows, system or program-files folder, a drive root, or it holds a shell
  // folder (the user's documents, desktop, application data...).
  std::optional<std::string> TempFolderRefusal(std::string_view folder) const;
  // Why a whole folder named by a definition line must not be cleared: it is one of the
  // folders above or holds one of them. A drive root is left to the guard question.
  std::optional<std::string> ClearRefusal(std::string_view folder) const;

 private:
  struct TNamed {
    std::string Key;  // folded, with a trailing backslash
    std::string What;
  };
  std::optional<std::string> SameAs(const std::string& key) const;
  std::optional<std::string> Holding(const std::string& key) const;

  std::vector<TNamed> system_;  // the folders themselves
  std::vector<TNamed> shell_;   // the user's shell folders
};

// The line a clean item logs for a folder it refuses: "<prefix>skipped <folder> (<why>)".
std::string RefusedLine(const std::string& linePrefix, const std::string& what, const std::string& why);

}  // namespace kestrove
