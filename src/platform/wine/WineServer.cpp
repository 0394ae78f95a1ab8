#include "platform/wine/WineServer.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <thread>

#include "platform/Env.h"

namespace kestrove::wine {

namespace {

// The prefix's "wineserver" file holds one folder name.
constexpr std::uint64_t kMaxNameFileBytes = 4096;

}  // namespace

std::string WineServerFolderName(const std::filesystem::path& prefix) {
  struct stat st {};
  if (::stat(prefix.c_str(), &st) != 0) return {};
  char server[80];
  std::snprintf(server, sizeof server, "server-%llx-%llx", static_cast<unsigned long long>(st.st_dev),
                static_cast<unsigned long long>(st.st_ino));
  return server;
}

std::vector<std::filesystem::path> WineServerLockFiles(const std::filesystem::path& prefix) {
  std::vector<std::filesystem::path> out;
  const std::string server = WineServerFolderName(prefix);
  if (server.empty()) return out;
  std::filesystem::path upstream = "/tmp/.wine-" + std::to_string(::getuid());
  out.push_back(upstream / server / "lock");
  const char* tmpdir = std::getenv("TMPDIR");
  std::filesystem::path tmp = (tmpdir && *tmpdir) ? tmpdir : "/tmp";
  std::string error;
  if (auto text = ReadInputFile(prefix / "wineserver", kMaxNameFileBytes, error)) {
    std::string name = text->substr(0, text->find('\n'));
    while (!name.empty() && (name.back() == '\r' || name.back() == ' ')) name.pop_back();
    // The name is a single folder name; anything else is not ours to follow.
    if (!name.empty() && name.find('/') == std::string::npos && name != "." && name != "..")
      out.push_back(tmp / name / server / "lock");
  }
  if (tmp != "/tmp") out.push_back(tmp / (".wine-" + std::to_string(::getuid())) / server / "lock");
  return out;
}

std::optional<std::filesystem::path> WineServerProcess(const std::filesystem::path& prefix) {
  const std::string server = WineServerFolderName(prefix);
  if (server.empty()) return std::nullopt;
  struct stat prefixStat {};
  if (::stat(prefix.c_str(), &prefixStat) != 0) return std::nullopt;
  DIR* proc = ::opendir("/proc");
  if (!proc) return std::nullopt;
  std::optional<std::filesystem::path> found;
  while (dirent* e = ::readdir(proc)) {
    const std::string_view pid = e->d_name;
    if (pid.empty() || pid.find_first_not_of("0123456789") != std::string_view::npos) continue;
    const std::string link = "/proc/" + std::string(pid) + "/cwd";
    char target[4096];
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) continue;  // gone, or not ours to inspect
    std::string_view cwd(target, static_cast<std::size_t>(n));
    // The kernel marks a working folder removed since with this suffix; a server whose folder
    // was deleted still runs, and still writes the registry when it ends.
    if (cwd.ends_with(" (deleted)")) cwd.remove_suffix(std::string_view(" (deleted)").size());
    const std::size_t slash = cwd.rfind('/');
    if (slash != std::string_view::npos && cwd.substr(slash + 1) == server) {
      found = std::filesystem::path(std::string(cwd));
      break;
    }
    // While it loads or saves the registry, and for good when its server folder is on a
    // noexec mount, a wineserver works in the prefix folder itself. Any program may sit
    // there (a shell, a file manager), so only a wineserver's own executable counts.
    struct stat st {};
    if (::stat(link.c_str(), &st) != 0 || st.st_dev != prefixStat.st_dev || st.st_ino != prefixStat.st_ino)
      continue;
    const std::string exeLink = "/proc/" + std::string(pid) + "/exe";
    const ssize_t m = ::readlink(exeLink.c_str(), target, sizeof target - 1);
    if (m <= 0) continue;
    std::string_view exe(target, static_cast<std::size_t>(m));
    if (exe.ends_with(" (deleted)")) exe.remove_suffix(std::string_view(" (deleted)").size());
    if (exe.substr(exe.rfind('/') + 1).starts_with("wineserver")) {
      found = prefix;
      break;
    }
  }
  ::closedir(proc);
  return found;
}

std::optional<std::filesystem::path> RunningWineServer(const std::filesystem::path& prefix) {
  for (const auto& lock : WineServerLockFiles(prefix)) {
    std::string error;
    int fd = OpenInputFile(lock, kNoSizeLimit, error);
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
  return WineServerProcess(prefix);
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
  // Never through a link: a link planted in its place would have us create or lock a file
  // anywhere. Non-blocking, so that a FIFO in its place cannot stall the open.
  int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (errno == ELOOP)
      error = "The lock file " + file.string() +
              " is a symbolic link, which is never followed; remove it and try again.";
    else
      error = "Cannot create the lock file " + file.string() + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    error = "The lock file " + file.string() + " is not a regular file; remove it and try again.";
    ::close(fd);
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
