// System restore points of the target: a dated, complete copy of the files its registry lives
// in (for a Wine prefix system.reg, userdef.reg and user.reg), kept in the folder
// "Restore Points" of the backup folder, one folder per restore point. Taken before Fix Errors
// changes anything, and put back on request so that the hive files are again byte for byte
// what they were when it was taken.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/OwnerThread.h"
#include "platform/Env.h"
#include "platform/RegistryStore.h"
#include "platform/TargetSystem.h"

namespace kestrove {

inline constexpr const char* kRestorePointsFolder = "Restore Points";

// The worker's report to the restore-point dialog; lParam is one of the two below.
inline constexpr unsigned WM_RESTOREPOINTDONE = 0x5412;
inline constexpr int kRestorePointCreated = 0;
inline constexpr int kRestorePointRefused = 1;

class RestorePointError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct TRestorePointInfo {
  std::string Name;
  std::vector<std::string> Files;  // the hive files it holds, by name
  std::uint64_t Bytes = 0;
  std::optional<TTargetIdentity> Origin;  // the system it was taken of; nullopt: not recorded
};

class TRestorePoints {
 public:
  // `backupFolder` is the OutputDirectory setting.
  explicit TRestorePoints(std::filesystem::path backupFolder, std::shared_ptr<Env> env = Env::Default());

  std::filesystem::path Folder() const { return folder_; }

  // Copies the store's hive files into a new restore point and returns its name. Runs under
  // the registry's write lock, so that no hive is copied while a commit replaces it; the point
  // appears under its name only once every copy is on disk. `stop`, when set meanwhile,
  // abandons it (nothing is left behind). Throws RegistryError (writes refused: Wine runs) or
  // RestorePointError.
  // `origin` is the system the store belongs to, recorded with the point.
  std::string Create(RegistryStore& store, const TTargetIdentity& origin,
                     std::chrono::system_clock::time_point when = std::chrono::system_clock::now(),
                     const std::atomic<bool>* stop = nullptr);

  // The restore points, oldest first (their names sort by date).
  std::vector<TRestorePointInfo> List() const;
  // As a list shows them for `current`: its own points first, then those of unknown origin,
  // then other systems'; each group oldest first.
  std::vector<TRestorePointInfo> ListFor(const TTargetIdentity& current) const;

  // Puts the restore point `name` back into `into`, the system the store belongs to. Refused
  // (RestorePointError naming both systems) when the point was taken of another system, unless
  // `intoOtherSystem`; refused while the registry cannot be written; refused, with the file and
  // line, when a file of the point is damaged or holds another hive than the one it would
  // replace. The current hive files are first saved as a restore point of their own (its name
  // is returned), then the point's files replace them, all or none, and the store reads the
  // registry again. Throws RegistryError or RestorePointError; the hive files are then unchanged.
  std::string Restore(RegistryStore& store, const std::string& name, const TTargetIdentity& into,
                      bool intoOtherSystem = false,
                      std::chrono::system_clock::time_point when = std::chrono::system_clock::now());

 private:
  std::string CopyPoint(const std::vector<std::filesystem::path>& files, const TTargetIdentity& origin,
                        std::chrono::system_clock::time_point when, const std::atomic<bool>* stop);
  void WriteFileAtomically(const std::filesystem::path& file, const std::string& data);

  std::filesystem::path folder_;
  std::shared_ptr<Env> env_;
};

// Takes a restore point on its own thread and reports once, through the owner thread:
// `done(lParam)` with kRestorePointCreated or kRestorePointRefused (anything that went wrong;
// Error says what).
class TCreateSystemPointThread {
 public:
  TCreateSystemPointThread(std::shared_ptr<RegistryStore> store, TTargetIdentity origin,
                           std::filesystem::path backupFolder, IOwnerThread& owner,
                           std::function<void(int lParam, const std::string& error)> done);
  // Stops and waits.
  ~TCreateSystemPointThread();
  TCreateSystemPointThread(const TCreateSystemPointThread&) = delete;
  TCreateSystemPointThread& operator=(const TCreateSystemPointThread&) = delete;

  void Start();
  // Asks the copy to stop between files and waits for the thread; the report is still posted
  // (as a refusal when the copy did not finish).
  void Stop();

 private:
  void Execute();

  std::shared_ptr<RegistryStore> store_;
  TTargetIdentity origin_;
  std::filesystem::path backupFolder_;
  IOwnerThread& owner_;
  std::function<void(int, const std::string&)> done_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace kestrove
