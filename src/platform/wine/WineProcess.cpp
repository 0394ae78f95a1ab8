#include "platform/wine/WineProcess.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/Env.h"
#include "platform/PathResolver.h"

namespace kestrove::wine {

namespace {

// /proc files of a process are small; a command line or environment above this is cut.
constexpr std::uint64_t kMaxProcFileBytes = 1 << 20;

std::vector<std::string_view> Split(std::string_view text) {
  std::vector<std::string_view> out;
  while (!text.empty()) {
    const std::size_t end = text.find('\0');
    out.push_back(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return out;
}

std::string_view BaseName(std::string_view path) {
  const std::size_t cut = path.find_last_of("\\/");
  return cut == std::string_view::npos ? path : path.substr(cut + 1);
}

bool SameFile(const std::filesystem::path& a, const std::filesystem::path& b) {
  struct stat sa {}, sb {};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

std::optional<std::string> ReadProcFile(const std::string& path) {
  std::string error;
  return ReadInputFile(path, kMaxProcFileBytes, error);
}

}  // namespace

bool CommandLineRunsProgram(std::string_view cmdline, std::string_view exeName) {
  if (exeName.empty()) return false;
  const std::string wanted = FoldName(exeName);
  // Wine shows a Windows program's own path as its first argument; an older loader shows
  // itself first ("wine64-preloader /usr/bin/wine64 firefox.exe").
  for (std::string_view arg : Split(cmdline)) {
    const std::string base = FoldName(BaseName(arg));
    if (base == wanted) return true;
    if (base.rfind(FoldName("wine"), 0) != 0) break;
  }
  return false;
}

std::filesystem::path PrefixOfEnvironment(std::string_view environ) {
  std::string_view home;
  for (std::string_view pair : Split(environ)) {
    if (pair.starts_with("WINEPREFIX=") && pair.size() > 11) return std::filesystem::path(std::string(pair.substr(11)));
    if (pair.starts_with("HOME=")) home = pair.substr(5);
  }
  if (home.empty()) return {};
  return std::filesystem::path(std::string(home)) / ".wine";
}

std::optional<pid_t> WineProgramProcess(const std::filesystem::path& prefix, std::string_view exeName) {
  DIR* proc = ::opendir("/proc");
  if (!proc) return std::nullopt;
  std::optional<pid_t> found;
  while (dirent* e = ::readdir(proc)) {
    const std::string_view pid = e->d_name;
    if (pid.empty() || pid.find_first_not_of("0123456789") != std::string_view::npos) continue;
    const std::string base = "/proc/" + std::string(pid) + "/";
    const auto cmdline = ReadProcFile(base + "cmdline");
    if (!cmdline || !CommandLineRunsProgram(*cmdline, exeName)) continue;
    // Another user's environment is not ours to read: such a process is passed over.
    const auto environ = ReadProcFile(base + "environ");
    if (!environ) continue;
    const auto itsPrefix = PrefixOfEnvironment(*environ);
    if (!itsPrefix.empty() && SameFile(itsPrefix, prefix)) {
      found = static_cast<pid_t>(std::stol(std::string(pid)));
      break;
    }
  }
  ::closedir(proc);
  return found;
}

}  // namespace kestrove::wine
