// A Windows installation whose disk is mounted on this machine (a partition of a dual-boot
// machine, a disk image on a loop device): its folders and hive files, and its users.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrove::regf {

// The entry of `folder` named `name` without regard to letter case (the exact name first),
// as Windows finds it on an NTFS or FAT volume mounted case-sensitively; nullopt when there
// is none.
std::optional<std::filesystem::path> FindEntryNoCase(const std::filesystem::path& folder, std::string_view name);
// The same along a relative path of several components ("Windows/System32/config").
std::optional<std::filesystem::path> FindPathNoCase(const std::filesystem::path& folder, std::string_view relative);

// The folder of the machine's hives ("Windows/System32/config"), when `folder` holds an
// offline Windows installation: that folder with a SOFTWARE hive in it, any letter case.
std::optional<std::filesystem::path> OfflineConfigFolder(const std::filesystem::path& folder);

// A user of the installation, as HKLM's ProfileList names it.
struct TOfflineProfile {
  std::string Sid;
  std::string Name;         // the profile folder's last component
  std::string WindowsPath;  // "C:\Users\Alice", expanded
  std::optional<std::filesystem::path> Folder;   // on the host, when it exists
  std::optional<std::filesystem::path> UserHive;     // NTUSER.DAT
  std::optional<std::filesystem::path> ClassesHive;  // UsrClass.dat (Vista on) or the XP place
  std::int64_t HiveWrittenNs = 0;  // the user hive's modification time, for the choice
};

// The profiles of people (SIDs S-1-5-21-...), in ProfileList's order. Reads the SOFTWARE hive
// of `configFolder`; throws RegistryError when it cannot be read.
std::vector<TOfflineProfile> ListOfflineProfiles(const std::filesystem::path& root,
                                                 const std::filesystem::path& configFolder);

// The user whose hive is HKEY_CURRENT_USER: the one named by `user` (profile folder name or
// SID, any case) when given, else the only profile with a user hive, else the one whose hive
// was written last. Throws TargetError (naming the users there are) when `user` names none or
// no profile has a user hive.
TOfflineProfile ChooseOfflineProfile(const std::vector<TOfflineProfile>& profiles, const std::string& user,
                                     const std::filesystem::path& root);

// Why nothing may be written to the installation now, or nullopt: Windows is hibernated or
// was shut down with fast start (its hibernation file is marked active: the volume is
// Windows' running state and a change would be lost or corrupt it), or the volume is mounted
// read-only.
std::optional<std::string> OfflineWriteBlockReason(const std::filesystem::path& root,
                                                   const std::filesystem::path& configFolder);

}  // namespace kestrove::regf
