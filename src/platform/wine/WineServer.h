// Whether Wine runs on a prefix, and the lock that serialises Kestrove processes.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kestrove::wine {

// The name of the folder a wineserver for `prefix` works in: "server-<dev>-<inode>", the
// prefix folder's device and inode numbers in hexadecimal. Empty when the prefix is missing.
std::string WineServerFolderName(const std::filesystem::path& prefix);

// The lock files a wineserver for `prefix` would hold: "<dir>/server-<dev>-<inode>/lock"
// under /tmp/.wine-<uid>/ and, for Debian's build, under $TMPDIR (or /tmp)/<name>/ where
// <name> is kept in the prefix's file "wineserver".
std::vector<std::filesystem::path> WineServerLockFiles(const std::filesystem::path& prefix);

// A process working in a wineserver folder of `prefix`, wherever that folder is (Wine and
// Kestrove may have been started with different TMPDIR): its working folder, from
// /proc/<pid>/cwd; or a wineserver executable working in the prefix folder itself, where
// the server loads and saves the registry (then the prefix is returned). Processes that
// cannot be inspected are passed over.
std::optional<std::filesystem::path> WineServerProcess(const std::filesystem::path& prefix);

// Evidence of a wineserver running on the prefix: the lock file it holds (someone holds a
// write lock on its first byte) or the working folder of its process; nullopt when Wine does
// not run there.
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
  // The file must be a regular file reached without a symbolic link.
  bool Acquire(const std::filesystem::path& file, std::chrono::milliseconds timeout, std::string& error);
  void Release();
  bool Held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace kestrove::wine
