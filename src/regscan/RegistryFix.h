// Fix Errors: removes the registry items (and shortcut files) behind the selected rows of the
// scan's result list, each registry item first appended to a ".reg" backup file that the
// restore dialog (or kestrove-regedit /s) can import again. Runs on the caller's thread; the
// window and kestrove-cli fix both call it.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <filesystem>
#include <string>
#include <vector>

#include "app/Prompt.h"
#include "platform/TargetSystem.h"
#include "regscan/ScanTypes.h"

namespace kestrove {

inline constexpr const char* kFixFinished = "Fix errors finished!";

// The restore-point step asks this before anything is removed; false means Cancel.
class IRestorePointDialog {
 public:
  virtual ~IRestorePointDialog() = default;
  virtual bool Run() = 0;
};

struct TFixSettings {
  std::filesystem::path BackupFolder;  // the OutputDirectory setting
  bool RestorePoint = false;           // the RestorePoint setting
  int WindowsVersion = 0;
  // The registry view (RegistryStore::View) the rows were found on; when set, Fix refuses to
  // work on any other.
  std::optional<std::uint64_t> RowsView;
};

inline constexpr const char* kRegistryChangedSinceScan = "the registry changed since the scan; scan again";

enum class TFixOutcome {
  Fixed,                  // every selected row was handled (the list lost them)
  NoRows,                 // the list was empty
  FolderDeclined,         // the backup folder is missing and the user said No
  FolderNotCreated,       // the backup folder could not be made: nothing changed
  RestorePointCancelled,  // nothing changed
  WriteRefused,           // the registry cannot be written now (Wine runs): nothing changed
  StoppedAtRow,           // the backup could not be written: Fix ended at that row, which stays
  RegistryChanged,        // the files changed since the rows were found: nothing changed
};

struct TFixResult {
  TFixOutcome Outcome = TFixOutcome::Fixed;
  std::filesystem::path BackupFile;  // the run's backup file (may not exist when nothing needed one)
  int Removed = 0;                   // items removed (registry keys and values, shortcut files)
  int Rows = 0;                      // selected rows handled: several may stand for one item
  int NotRemoved = 0;                // rows whose item could not be removed (gone, refused, outside)
  std::string Error;                 // why Fix stopped, for a caller that wants to say it
};

class TRegistryFix {
 public:
  TRegistryFix(TargetSystem& target, IPrompt& prompt, IRestorePointDialog* restorePoint = nullptr)
      : target_(target), prompt_(prompt), restorePoint_(restorePoint) {}

  // The steps of bFixErrorsClick but the last (status text and ignore lists are the caller's):
  // rows are handled from the last to the first, each handled row leaves `rows`. Everything
  // removed is written to the hive files once, at the end; when that write fails, the rows come
  // back and the registry files stay as they were.
  TFixResult Run(std::vector<TScanResult>& rows, const TFixSettings& settings,
                 std::chrono::system_clock::time_point start = std::chrono::system_clock::now());

  bool DeleteKeyWithBackup(const std::string& rootName, const std::string& keyPath);
  bool DeleteValueWithBackup(const std::string& rootName, const std::string& keyPath, const std::string& valueName);

  // The .reg file of the current run.
  std::filesystem::path BackupFileName;

 private:
  bool RemoveRow(const TScanResult& row);
  // The item a row stands for, the same for every row that names it ("" when it names none).
  std::string ItemOf(const TScanResult& row);

  TargetSystem& target_;
  IPrompt& prompt_;
  IRestorePointDialog* restorePoint_;
  int removed_ = 0;
  std::string origin_;  // the backup's origin line
};

// "<folder>/<year>_<MM>_<DD>_<hhmmss>.reg" for the local time `start`.
std::filesystem::path MakeBackupFileName(const std::filesystem::path& folder, std::chrono::system_clock::time_point start);

}  // namespace kestrove
