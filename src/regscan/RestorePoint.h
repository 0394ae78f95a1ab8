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
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/OwnerThread.h"
#include "platform/Env.h"
#include "platform/RegistryStore.h"

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
  std::string Create(RegistryStore& store, std::chrono::system_clock::time_point when = std::chrono::system_clock::now(),
                     const std::atomic<bool>* stop = nullptr);

  // The restore points, oldest first (their names sort by date).
  std::vector<TRestorePointInfo> List() const;

  // Puts the restore point `name` back: refused while the registry cannot be written; the
  // current hive files are first saved as a restore point of their own (its name is returned),
  // then each hive file held by the point is replaced (temporary file, disk, rename) and the
  // store reads the registry again. Throws RegistryError or RestorePointError; before the
  // first rename, the hive files are unchanged.
  std::string Restore(RegistryStore& store, const std::string& name,
                      std::chrono::system_clock::time_point when = std::chrono::system_clock::now());

 private:
  std::string CopyPoint(const std::vector<std::filesystem::path>& files, std::chrono::system_clock::time_point when,
                        const std::atomic<bool>* stop);
  void WriteFileAtomically(const std::filesystem::path& file, const std::string& data);

  std::filesystem::path folder_;
  std::shared_ptr<Env> env_;
};

// Takes a restore point on its own thread and reports once, through the owner thread:
// `done(lParam)` with kRestorePointCreated or kRestorePointRefused (anything that went wrong;
// Error says what).
class TCreateSystemPointThread {
 public:
  TCreateSystemPointThread(std::shared_ptr<RegistryStore> store, std::filesystem::path backupFolder, IOwnerThread& owner,
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
  std::filesystem::path backupFolder_;
  IOwnerThread& owner_;
  std::function<void(int, const std::string&)> done_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace kestrove
