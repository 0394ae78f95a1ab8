#include "platform/wine/WineServer.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

namespace kestrove::wine {

std::vector<std::filesystem::path> WineServerLockFiles(const std::filesystem::path& prefix) {
  std::vector<std::filesystem::path> out;
  struct stat st {};
  if (::stat(prefix.c_str(), &st) != 0) return out;
  char server[80];
  std::snprintf(server, sizeof server, "server-%llx-%llx", static_cast<unsigned long long>(st.st_dev),
                static_cast<unsigned long long>(st.st_ino));
  std::filesystem::path upstream = "/tmp/.wine-" + std::to_string(::getuid());
  out.push_back(upstream / server / "lock");
  const char* tmpdir = std::getenv("TMPDIR");
  std::filesystem::path tmp = (tmpdir && *tmpdir) ? tmpdir : "/tmp";
  std::ifstream nameFile(prefix / "wineserver");
  std::string name;
  if (nameFile && std::getline(nameFile, name)) {
    while (!name.empty() && (name.back() == '\r' || name.back() == ' ')) name.pop_back();
    // The name is a single folder name; anything else is not ours to follow.
    if (!name.empty() && name.find('/') == std::string::npos && name != "." && name != "..")
      out.push_back(tmp / name / server / "lock");
  }
  if (tmp != "/tmp") out.push_back(tmp / (".wine-" + std::to_string(::getuid())) / server / "lock");
  return out;
}

std::optional<std::filesystem::path> RunningWineServer(const std::filesystem::path& prefix) {
  for (const auto& lock : WineServerLockFiles(prefix)) {
    int fd = ::open(lock.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 1;
    bool held = ::fcntl(fd, F_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
    ::close(fd);
    if (held) return lock;
  }
  return std::nullopt;
}

std::string WineRunningMessage(const std::filesystem::path& prefix) {
  return "Wine is running on " + prefix.string() +
         ": it keeps the registry in memory and would overwrite any change, so nothing was written. "
         "Close the Windows programs and stop Wine (WINEPREFIX=\"" + prefix.string() +
         "\" wineserver -k), then try again.";
}

bool AdvisoryLock::Acquire(const std::filesystem::path& file, std::chrono::milliseconds timeout,
                           std::string& error) {
  if (fd_ >= 0) return true;
  int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = "Cannot create the lock file " + file.string() + ": " + std::strerror(errno);
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      fd_ = fd;
      return true;
    }
    if (errno != EWOULDBLOCK && errno != EINTR) {
      error = "Cannot lock " + file.string() + ": " + std::strerror(errno);
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      error = "Another Kestrove program is changing the registry of this system (lock " + file.string() +
              "); try again when it has finished.";
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ::close(fd);
  return false;
}

void AdvisoryLock::Release() {
  if (fd_ >= 0) {
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
    fd_ = -1;
  }
}

}  // namespace kestrove::wine
