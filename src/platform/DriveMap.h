// The drive letters of a target system and the host folders behind them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrove {

// Drive types, numbered as GetDriveType numbers them.
inline constexpr std::uint32_t DRIVE_UNKNOWN = 0;
inline constexpr std::uint32_t DRIVE_NO_ROOT_DIR = 1;
inline constexpr std::uint32_t DRIVE_REMOVABLE = 2;
inline constexpr std::uint32_t DRIVE_FIXED = 3;
inline constexpr std::uint32_t DRIVE_REMOTE = 4;
inline constexpr std::uint32_t DRIVE_CDROM = 5;
inline constexpr std::uint32_t DRIVE_RAMDISK = 6;

// "fixed", "network", ... for messages and listings.
std::string DriveTypeName(std::uint32_t type);

// Wine's names for drive types ("hd", "network", "floppy", "cdrom", "ramdisk") as kept in
// HKLM\Software\Wine\Drives; nullopt for any other text.
std::optional<std::uint32_t> DriveTypeFromWineName(std::string_view name);

struct DriveInfo {
  char letter = 'C';                 // upper case
  std::filesystem::path hostRoot;    // absolute, lexically normal
  std::uint32_t type = DRIVE_FIXED;
  bool insideTarget = true;          // hostRoot lies within the target's folder
  std::string link;                  // what the drive's link says, when it has one
};

class DriveMap {
 public:
  // Adds or replaces a drive. `hostRoot` is made absolute and lexically normal.
  void Set(char letter, const std::filesystem::path& hostRoot, std::uint32_t type, bool insideTarget,
           std::string link = {});
  void Remove(char letter);
  // nullptr when the letter has no drive.
  const DriveInfo* Find(char letter) const;
  // DRIVE_NO_ROOT_DIR for a letter without a drive, DRIVE_UNKNOWN for a character that is
  // no drive letter at all.
  std::uint32_t TypeOf(char letter) const;
  // In letter order.
  std::vector<DriveInfo> List() const;
  bool Empty() const { return drives_.empty(); }

  // The drive whose folder holds `hostPath` (absolute), the most specific one when drives
  // nest (Wine's Z: is "/" and holds every other drive); nullptr when none does.
  const DriveInfo* DriveHolding(const std::filesystem::path& hostPath) const;

  // Reads the drive links of a Wine prefix's dosdevices folder: "c:" -> "../drive_c",
  // "z:" -> "/". Raw device entries ("d::" -> "/dev/sr0") map no drive but say what kind of
  // device a letter is. `wineTypes` holds the types Wine keeps in the registry, by lower-case
  // letter; a drive without one is fixed unless its raw device says otherwise, as Wine
  // detects it. Whether a drive's folder leaves `targetFolder` is `insideTarget`, not its type.
  static DriveMap FromDosDevices(const std::filesystem::path& dosdevices, const std::filesystem::path& targetFolder,
                                 const std::map<char, std::uint32_t>& wineTypes);

 private:
  std::map<char, DriveInfo> drives_;
};

// True when `path` is `folder` or lies below it (both absolute, compared lexically after
// normalisation, and again after resolving links when both exist).
bool PathIsWithin(const std::filesystem::path& path, const std::filesystem::path& folder);

}  // namespace kestrove
