// Measuring how much the registry would shrink: the hive table, the compacted copy of each
// hive beside its file (".fdc"), the figures the Defrag page shows, the progress dialog's
// arithmetic and the worker that writes the copies. No window code: the page and
// kestrove-cli share all of it.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/Env.h"

namespace kestrove {

class TargetSystem;
class RegistryStore;

inline constexpr const char* kCannotAnalyzeNow = "Can not analyze the registry now! Please try again later.";
inline constexpr const char* kFailedToAnalyze = "Failed to analyze the registry!";
inline constexpr const char* kFragmentRateOnly = "The fragment rate of your registry is only";
inline constexpr const char* kNoNeedToCompact =
    "We suggest that your registry does not need to be compacted at this time. If you select to compact the "
    "registry now, the same fragment rate may appear again.";
inline constexpr const char* kFailedToDefrag = "Failed to defrag the registry";
// The progress dialog's memo reads this once every hive was saved.
inline constexpr const char* kAnalysisFinished = "Finish";

// ---- Sizes and texts

// Kilobytes rounded up, digits grouped by "," whatever the locale, then " KB".
std::string FormatSizeKB(std::int64_t bytes);
// A file's size: 0 when it does not exist, -1 when it exists but cannot be looked at. A link is
// measured as itself, never followed.
std::int64_t HiveFileSize(const std::filesystem::path& file);

// ---- The hive table

// Where the system's hive list points: a device path ("\Device\HarddiskVolume2\Windows\...")
// made a drive-letter path through the drives the system has, or "" when no fixed drive is that
// device or the result names no existing file. Under WOW64 the first "system32" becomes
// "sysnative" where that path exists.
struct TDosDevices {
  // GetLogicalDriveStrings: "C:\", "D:\", ... in order.
  std::function<std::vector<std::string>()> LogicalDrives;
  // GetDriveType of "C:\" is DRIVE_FIXED.
  std::function<bool(const std::string& root)> IsFixed;
  // QueryDosDevice of "C:": its target ("\Device\HarddiskVolume2"), or nullopt.
  std::function<std::optional<std::string>(const std::string& drive)> DeviceOf;
  std::function<bool(const std::string& path)> FileExists;
};
std::string HiveDevicePathToFile(std::string_view text, bool wow64, const TDosDevices& devices);

// The hives the analysis measures, index-aligned: their names as the system's hive list gives
// them ("\REGISTRY\MACHINE\SOFTWARE", "\REGISTRY\USER\S-1-5-...") and their files as the
// target names them (a drive-letter path where the file lies on one of its drives, else the
// host path), with the host path each stands for.
struct THiveTable {
  std::vector<std::string> Names;
  std::vector<std::string> Files;
  std::vector<std::filesystem::path> HostFiles;
  std::size_t size() const { return Names.size(); }
  bool empty() const { return Names.empty(); }
};
// The name the system's hive list gives a hive mounted at `mount` below \Registry
// ("Machine\Software" -> "\REGISTRY\MACHINE\SOFTWARE").
std::string HiveListName(std::string_view mount);
// The hives of the target whose files exist, in the registry store's order.
THiveTable LoadHiveTable(TargetSystem& target);
// "<hive file>.fdc".
std::filesystem::path HiveCopyFile(const std::filesystem::path& hostFile);
// True when an existing compacted copy cannot be taken over: it is not a plain file, or it
// cannot be opened for reading and writing (never through a link).
bool HiveCopyLocked(const std::filesystem::path& copy);
// Removes the compacted copies of every hive of the table (a plain file or a link under that
// name, nothing else); what cannot be removed stays.
void RemoveHiveCopies(const THiveTable& table);
// The hive the SOFTWARE check applies to: the one holding HKLM\Software (the machine's whole
// hive on Wine).
bool HoldsMachineSoftware(std::string_view hiveName);

// ---- The figures

struct TDefragRow {
  std::string CurrentSize, NewSize, Reduction;
};
struct TDefragFigures {
  std::vector<TDefragRow> Rows;
  std::string CurrentRegistrySize, NewRegistrySize, SizeReduction, CompactPercent;
  // Under 3.0%: the page advises that compacting is not worth it.
  bool LowFragmentRate = false;
};
// From each hive's current and new size (the copy's).
TDefragFigures ComputeDefragFigures(const std::vector<std::pair<std::int64_t, std::int64_t>>& sizes);
// The advisory message for a compact percent text ("2.5%").
std::string FragmentRateMessage(const std::string& compactPercent);

// ---- The progress dialog's arithmetic

// The progress bar runs from 0 to 1000. `sizeOf(k)` is the size of hive file k, `copySizeOf(k)`
// that of its copy as it is now.
struct TDefragProgress {
  std::int64_t Total = 0;    // T: the hive files' sizes
  std::int64_t Done = 0;     // D: the sizes of the hives saved
  std::int64_t Step = 0;     // S: units per timer tick
  std::int32_t Cap = 0;      // C: where the hive being saved will end
  std::size_t Finished = 0;  // K: hives saved
  std::int64_t Position = 0;
  bool TimerOn = false;

  void Start(std::int64_t total);
  // One hive saved: `firstMs` the first hive's time, `count` the hives saved so far, `hives` n.
  void HiveSaved(std::int64_t firstMs, std::size_t count, std::size_t hives, bool wow64,
                 const std::function<std::int64_t(std::size_t)>& sizeOf,
                 const std::function<std::int64_t(std::size_t)>& copySizeOf);
  void Tick(std::size_t hives, const std::function<std::int64_t(std::size_t)>& copySizeOf);
};

// ---- The worker

// Writes the compacted copy of the hive whose file is `hiveFile` to `target` (RegistryStore::
// SaveHiveCopy); returns the stamp of the hive file it was made from. Throws RegistryError.
FileStamp SaveHiveToFile(RegistryStore& store, const std::filesystem::path& hiveFile,
                         const std::filesystem::path& target);

// Writes the compacted copy of every hive of its table, one after the other, until all are done
// or it is told to stop (it then ends after the hive in progress). Reports through its events,
// from its own thread. Owns its copy of the table and its results; read them after Wait().
class TScanDefragTaskThread {
 public:
  struct TEvents {
    std::function<void(const std::string&)> SetMemo;  // the hive being saved; "Finish" at the end
    std::function<void(std::int64_t firstMs, std::size_t count)> HiveSaved;
    std::function<void()> Closed;  // the last event
  };
  TScanDefragTaskThread(RegistryStore& store, THiveTable table, TEvents events);
  // Asks it to stop and waits.
  ~TScanDefragTaskThread();
  TScanDefragTaskThread(const TScanDefragTaskThread&) = delete;
  TScanDefragTaskThread& operator=(const TScanDefragTaskThread&) = delete;

  void Resume();
  void Terminate() { terminated_.store(true); }
  bool Running() const { return running_.load(); }
  void Wait();

  // After Wait(): per hive, the stamp of the file its copy was made from (nullopt: no copy)
  // and why a copy could not be made ("" when it was).
  const std::vector<std::optional<FileStamp>>& MadeFrom() const { return madeFrom_; }
  const std::vector<std::string>& Errors() const { return errors_; }
  bool AllDone() const { return allDone_; }

 private:
  void Execute();

  RegistryStore& store_;
  const THiveTable table_;
  const TEvents events_;
  std::vector<std::optional<FileStamp>> madeFrom_;
  std::vector<std::string> errors_;
  bool allDone_ = false;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> running_{false};
  std::thread thread_;
};

// The whole analysis without a window (kestrove-cli, tests): every copy written in turn.
struct TDefragAnalysis {
  THiveTable Table;
  std::vector<std::optional<FileStamp>> MadeFrom;
  std::vector<std::string> Errors;
  bool Finished = false;
  // Set when the analysis did not count: its message (kCannotAnalyzeNow, kFailedToAnalyze).
  std::string Refusal;
  TDefragFigures Figures;
};
// `onHive` is told each hive's name before it is saved.
TDefragAnalysis AnalyzeRegistry(TargetSystem& target, const std::function<void(const std::string&)>& onHive = nullptr);

}  // namespace kestrove
