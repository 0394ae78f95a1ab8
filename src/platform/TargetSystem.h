// The Windows system the program works on: its registry, its drives and what the system
// derives from them (version, shell folders, environment). One object per target, shared by
// the window thread and the workers; every member is safe to call from any thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/DriveMap.h"
#include "platform/FileOps.h"
#include "platform/PathResolver.h"
#include "platform/RegistryStore.h"

namespace kestrove {

// The target cannot be opened: the text names the folder and where the choice came from.
class TargetError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// ---- Windows version -------------------------------------------------------------------

// Platform identifiers as the system's version information gives them.
inline constexpr std::uint32_t VER_PLATFORM_WIN32s = 0;
inline constexpr std::uint32_t VER_PLATFORM_WIN32_WINDOWS = 1;
inline constexpr std::uint32_t VER_PLATFORM_WIN32_NT = 2;

struct TWindowsVersionInfo {
  std::uint32_t platformId = VER_PLATFORM_WIN32_NT;
  std::uint32_t major = 0;
  std::uint32_t minor = 0;
  std::uint32_t build = 0;
  std::string csdVersion;  // "Service Pack 1"
};

// The program's 8-bit classification of a Windows version (`WindowsVersion`).
std::uint8_t ClassifyWindowsVersion(std::uint32_t platformId, std::uint32_t major, std::uint32_t minor);
inline std::uint8_t ClassifyWindowsVersion(const TWindowsVersionInfo& v) {
  return ClassifyWindowsVersion(v.platformId, v.major, v.minor);
}
// The system a version is ("Windows 7", "Windows 95"); "" for versions the classification
// has no name for (they share code 10).
std::string WindowsSystemName(const TWindowsVersionInfo& v);

// ---- Environment variables -------------------------------------------------------------

// Variables with names that compare without regard to case; the first spelling of a name is
// kept, a later Set replaces the value only.
class EnvironmentBlock {
 public:
  void Set(std::string_view name, std::string value);
  void Unset(std::string_view name);
  std::optional<std::string> Get(std::string_view name) const;
  bool Has(std::string_view name) const { return Get(name).has_value(); }
  // Name and value pairs in the order the names were first set.
  std::vector<std::pair<std::string, std::string>> List() const;

 private:
  struct Entry {
    std::string name;
    std::string value;
  };
  std::vector<Entry> entries_;
  std::map<std::string, std::size_t> index_;  // folded name -> entries_ index
};

// ExpandEnvironmentStrings: every "%NAME%" whose NAME is set is replaced by its value, once
// (values are not expanded again). An unknown "%NAME%" stays as written and scanning goes on
// after its closing "%"; a "%" without a closing one stays as written with the rest.
std::string ExpandEnvironmentStrings(std::string_view text, const EnvironmentBlock& env);

// ---- Which system ----------------------------------------------------------------------

// Which Windows system a target is, as the files Kestrove keeps about it (backups, restore
// points) record it. The folder says where it was; the user and the machine digest survive
// a move of the folder and tell apart two systems that once lived in the same folder.
struct TTargetIdentity {
  std::string Kind;       // "Wine prefix"
  std::string Folder;     // the target's folder on the host, links resolved
  std::string UserSid;    // the user whose hive is HKEY_CURRENT_USER
  std::string MachineId;  // a digest of the system's machine GUID; "" when it has none
};

// ---- The target ------------------------------------------------------------------------

class TargetSystem {
 public:
  virtual ~TargetSystem();
  TargetSystem(const TargetSystem&) = delete;
  TargetSystem& operator=(const TargetSystem&) = delete;

  // "Wine prefix", "offline Windows", "in-memory".
  const std::string& Kind() const { return kind_; }
  // True when a drive's folder may be the target's folder itself (an offline installation is
  // its own C:); a Wine prefix's drive there would reach the registry's files and is refused.
  virtual bool DriveMayBeFolder() const { return false; }
  // The target's folder on the host.
  const std::filesystem::path& Folder() const { return folder_; }
  // The registry store every TRegistry object of this target shares.
  const std::shared_ptr<RegistryStore>& Registry() const { return store_; }

  // ---- drives and paths
  std::vector<DriveInfo> Drives() const;
  std::optional<DriveInfo> Drive(char letter) const;
  // GetDriveType numbering: DRIVE_NO_ROOT_DIR for a letter without a drive.
  std::uint32_t DriveType(char letter) const;
  // See PathResolver::ToHost / ToWindows.
  std::optional<std::filesystem::path> HostPath(std::string_view windowsPath) const;
  std::optional<std::string> WindowsPath(const std::filesystem::path& hostPath) const;
  // Forgets cached name matches; jobs call it after they changed the file system.
  void ClearPathCache();
  // How 8.3 short names in paths are resolved on this target.
  TShortNames ShortNames() const { return resolver_.ShortNames(); }
  // The file operations every removal and write into this target goes through: the host's
  // own unless replaced (tests put a wrapper here that makes chosen calls fail). A job takes
  // its reference once, at the start of an operation.
  std::shared_ptr<TFileOps> FileOps() const;
  void SetFileOps(std::shared_ptr<TFileOps> ops);

  // ---- facts from the registry (read once, until Refresh)
  TWindowsVersionInfo VersionInfo();
  std::uint8_t WindowsVersion() { return ClassifyWindowsVersion(VersionInfo()); }
  // A 64-bit system: its 32-bit programs keep their entries in the Wow6432Node keys.
  bool Is64Bit();
  // "C:\windows": no trailing backslash.
  std::string WindowsFolder();
  // "C:\windows\system32" ("...\system" on the 9x family).
  std::string SystemFolder();
  // "ProgramFilesDir" of HKLM\Software\Microsoft\Windows\CurrentVersion.
  std::string ProgramFilesFolder();
  // As GetTempPath gives it: TMP, else TEMP, else USERPROFILE, else the Windows folder;
  // always with a trailing backslash.
  std::string TempFolder();
  // The user's profile folder ("C:\users\name").
  std::string UserProfileFolder();
  std::string UserName();
  // A shell folder by its registry name ("Personal", "Recent", "AppData", "Common AppData"),
  // as a Windows path; nullopt when the target has no such folder.
  std::optional<std::string> ShellFolder(std::string_view name);
  // Every shell folder the registry names, sorted by name (case-insensitively).
  std::vector<std::pair<std::string, std::string>> ShellFolders();
  // The environment a program of the target's user starts with.
  EnvironmentBlock Environment();
  std::string ExpandEnvironmentStrings(std::string_view text);

  // Reads the registry facts and the drive types again and clears the path cache.
  virtual void Refresh();
  // Reads again the hives whose files changed since they were read (RegistryStore::Refresh),
  // and then the facts taken from them; returns the store's view.
  std::uint64_t RefreshRegistry();
  // Which system this is; reads the registry once.
  TTargetIdentity Identity();

 protected:
  TargetSystem(std::string kind, std::filesystem::path folder, std::shared_ptr<RegistryStore> store);
  // Replaces the drive map (construction, Refresh, tests).
  void SetDriveMap(DriveMap drives);
  // At construction, before the target is shared.
  void SetShortNames(TShortNames style) {
    resolver_.SetShortNames(style);
    resolver_.ClearCache();
  }
  // Drops the facts read from the registry; the next question reads them again.
  void ForgetFacts();
  // Subclasses build their drive map here; called by Refresh().
  virtual DriveMap BuildDriveMap() = 0;

 private:
  struct Facts;
  Facts& LoadedFacts();  // with factsMutex_ held

  std::string kind_;
  std::filesystem::path folder_;
  std::shared_ptr<RegistryStore> store_;

  // Replaced as a whole, so a look-up holds the lock only to take its own reference.
  std::shared_ptr<const DriveMap> DriveSnapshot() const;
  mutable std::mutex drivesMutex_;
  std::shared_ptr<const DriveMap> drives_ = std::make_shared<const DriveMap>();
  PathResolver resolver_;
  std::shared_ptr<TFileOps> fileOps_ = TFileOps::Posix();  // under drivesMutex_

  std::mutex factsMutex_;
  std::unique_ptr<Facts> facts_;
};

// ---- Choosing and opening the target ---------------------------------------------------

struct TargetChoice {
  std::filesystem::path folder;
  std::string source;  // "--root", "$KESTROVE_ROOT", "$WINEPREFIX", "the default ~/.wine"
  // Of an offline Windows installation, the user whose hive is HKEY_CURRENT_USER (profile
  // folder name or SID): $KESTROVE_USER, which the programs' --user sets. Empty: the only
  // one, else the one who used it last.
  std::string user = {};
};

// --root DIR when given, else $KESTROVE_ROOT, else $WINEPREFIX, else ~/.wine. Empty
// variables count as unset. `getenv` is replaceable for tests.
TargetChoice ChooseTargetFolder(const std::optional<std::filesystem::path>& root,
                                const std::function<const char*(const char*)>& getenv = nullptr);

// Opens the chosen target. Throws TargetError when the folder does not exist or is no
// target this program knows; nothing is created or changed.
std::unique_ptr<TargetSystem> OpenTarget(const std::optional<std::filesystem::path>& root);
// The same for a folder already chosen.
std::unique_ptr<TargetSystem> OpenTarget(const TargetChoice& choice);
// Only the target's registry, opened for one key (RegistryStore::OpenWinePrefixFocused);
// refuses a folder as OpenTarget does.
std::unique_ptr<RegistryStore> OpenTargetRegistryFocused(const std::optional<std::filesystem::path>& root,
                                                        const TRegistryFocus& focus);

}  // namespace kestrove
