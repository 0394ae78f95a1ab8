// Whether Wine runs on a prefix, and the lock that serialises Kestrove processes.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kestrove::wine {

// The lock files a wineserver for `prefix` would hold: "<dir>/server-<dev>-<inode>/lock"
// under /tmp/.wine-<uid>/ and, for Debian's build, under $TMPDIR (or /tmp)/<name>/ where
// <name> is kept in the prefix's file "wineserver".
std::vector<std::filesystem::path> WineServerLockFiles(const std::filesystem::path& prefix);

// The lock file of a wineserver running on the prefix (someone holds a write lock on its
// first byte), or nullopt when Wine does not run there.
std::optional<std::filesystem::path> RunningWineServer(const std::filesystem::path& prefix);

// The message shown when a write is refused because Wine runs on the prefix.
std::string WineRunningMessage(const std::filesystem::path& prefix);

// An exclusive advisory lock on a file; released on destruction.
class AdvisoryLock {
 public:
  AdvisoryLock() = default;
  ~AdvisoryLock() { Release(); }
  AdvisoryLock(const AdvisoryLock&) = delete;
  AdvisoryLock& operator=(const AdvisoryLock&) = delete;
  // Waits up to `timeout` for the lock. On failure returns false with a message in `error`.
  bool Acquire(const std::filesystem::path& file, std::chrono::milliseconds timeout, std::string& error);
  void Release();
  bool Held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace kestrove::wine
