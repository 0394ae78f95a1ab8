// Windows paths on the host: "C:\Users\x\file.txt" -> "<drive folder>/users/x/file.txt",
// matched without regard to letter case as Windows and Wine match file names.
#pragma once

#include <filesystem>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/DriveMap.h"

namespace kestrove {

// A full Windows path taken apart: drive letter and the components below the root, with
// "." dropped and ".." applied (never above the root).
struct WindowsPathParts {
  char drive = 'C';  // upper case
  std::vector<std::string> components;
};

// Accepts "C:\a\b", "c:/a/b", "C:" (the root), and the prefixes "\\?\C:\" and "\??\C:\".
// Separators may be "\" or "/" and may repeat. Relative paths ("a\b", "\a", "C:a"), UNC
// paths ("\\server\share") and devices ("\\.\C:") give nullopt: they name no place on a
// drive by themselves.
std::optional<WindowsPathParts> ParseWindowsPath(std::string_view path);

// The parts written back as "C:\a\b" ("C:\" for the root).
std::string FormatWindowsPath(const WindowsPathParts& parts);

// A name folded for comparison without regard to case, as registry and file names compare.
std::string FoldName(std::string_view name);

// A folder's path as folders compare: "." and ".." applied, one kind of separator, folded
// case, one trailing backslash ("c:/Users/x" and "C:\USERS\x\" give the same key). Empty
// for a text that names no place on a drive.
std::string FolderCompareKey(std::string_view folder);

// Maps Windows paths to host paths through a drive map. Look-ups of names whose case differs
// from the folder's listing are cached; the cache is safe for concurrent use.
// Where 8.3 short names come from: Wine derives them from the long names by a hash; NTFS
// stores the one Windows gave each file, which Linux shows through ntfs-3g's
// "system.ntfs_dos_name" attribute.
enum class TShortNames { WineHashed, NtfsStored };

class PathResolver {
 public:
  void SetShortNames(TShortNames style) { shortNames_ = style; }
  TShortNames ShortNames() const { return shortNames_; }

  // The host path of a full Windows path on a mapped drive, nullopt otherwise. Each existing
  // component is matched without regard to case (the exact name first, then the folder
  // listing). From the first component that does not exist on, the rest is appended as
  // written, so the result names where the file would be.
  std::optional<std::filesystem::path> ToHost(const DriveMap& drives, std::string_view windowsPath) const;

  // The Windows path of a host path that lies on a drive ("C:\users\x"); nullopt otherwise.
  static std::optional<std::string> ToWindows(const DriveMap& drives, const std::filesystem::path& hostPath);

  // Forgets the cached matches (after a job changed the file system).
  void ClearCache();
  std::size_t CacheSize() const;

 private:
  std::optional<std::string> MatchInFolder(const std::filesystem::path& folder, std::string_view name) const;

  TShortNames shortNames_ = TShortNames::WineHashed;  // set before the resolver is shared
  mutable std::shared_mutex mutex_;
  // folder + '\0' + folded name -> the name as the folder holds it
  mutable std::unordered_map<std::string, std::string> cache_;
};

// The short name NTFS stores for the file, as ntfs-3g shows it; nullopt when it has none or the
// file system does not show them.
std::optional<std::string> NtfsStoredShortName(const std::filesystem::path& file);

}  // namespace kestrove
