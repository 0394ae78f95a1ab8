#include "regscan/ResultListOps.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

#include "platform/Env.h"
#include "platform/TRegistry.h"
#include "platform/TargetSystem.h"

extern char** environ;

namespace kestrove {

namespace fs = std::filesystem;

TResultMenuState ResultMenuState(std::size_t rowCount, int focused) {
  TResultMenuState s;
  const bool hasFocus = focused >= 0 && static_cast<std::size_t>(focused) < rowCount;
  s.SelectItem = s.DeselectItem = hasFocus;
  s.SelectAllType = s.UnselectAllType = hasFocus;
  s.OpenRegedit = hasFocus;
  s.SaveText = rowCount > 0;
  return s;
}

void SetAllSelected(std::vector<TScanResult>& rows, bool selected) {
  for (TScanResult& r : rows) r.Selected = selected;
}

void SetTypeSelected(std::vector<TScanResult>& rows, const std::string& type, bool selected) {
  for (TScanResult& r : rows)
    if (r.ProblemType == type) r.Selected = selected;
}

std::string ScanTextFileName(const std::string& chosen) {
  return fs::path(chosen).extension().string() == ".txt" ? chosen : chosen + ".txt";
}

std::string ScanTextFileContents(const std::vector<TScanResult>& rows) {
  std::string text;
  for (const TScanResult& r : rows) {
    text += SaveAsTextLine(r);
    text += "\r\n";
  }
  return text;
}

bool SaveScanResultsToFile(const std::string& chosen, const std::vector<TScanResult>& rows, IPrompt& prompt) {
  const std::string name = ScanTextFileName(chosen);
  std::error_code ec;
  if (fs::exists(name, ec)) {
    TMessageRequest ask{kProductName, name + " has existed,overite it?", TMsgButtons::YesNo, TMsgIcon::Question, 1};
    if (prompt.Ask(ask) != TMsgResult::Yes) return false;
  }
  // Written beside the file and renamed over it: a failed write leaves the old file.
  Env& env = *Env::Default();
  const fs::path path(name);
  const fs::path temp = path.string() + ".kestrove-tmp";
  std::string error;
  env.Remove(temp);
  auto file = env.NewWritableFile(temp, error);
  if (!file) throw std::runtime_error("Cannot write " + name + ": " + error);
  if (!file->Append(ScanTextFileContents(rows)) || !file->Sync() || !file->Close()) {
    error = file->Error();
    env.Remove(temp);
    throw std::runtime_error("Cannot write " + name + ": " + error);
  }
  if (!env.Rename(temp, path, error)) {
    env.Remove(temp);
    throw std::runtime_error("Cannot write " + name + ": " + error);
  }
  return true;
}

std::string RegeditKeyOf(const TScanResult& row) {
  switch (row.LocationKind) {
    case TLocationKind::lkPathValue: {
      const auto slash = row.Location.rfind('\\');
      return slash == std::string::npos ? row.Location : row.Location.substr(0, slash);
    }
    case TLocationKind::lkDataSubkey:
      return row.Location + "\\" + row.Data;
    case TLocationKind::lkShortcutFile:
      return {};
    default:
      return row.Location;
  }
}

namespace {

std::optional<fs::path> FindProgram(const std::string& name, const std::string& searchPath) {
  std::size_t start = 0;
  while (start <= searchPath.size()) {
    std::size_t end = searchPath.find(':', start);
    if (end == std::string::npos) end = searchPath.size();
    const std::string dir = searchPath.substr(start, end - start);
    if (!dir.empty()) {
      const fs::path candidate = fs::path(dir) / name;
      std::error_code ec;
      if (fs::is_regular_file(candidate, ec) && ::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    start = end + 1;
  }
  return std::nullopt;
}

// Runs the program in a grandchild that belongs to no one: the intermediate child exits at
// once and is reaped here, so no zombie is left and the editor outlives the window. Every
// string is built before fork, since only async-signal-safe calls are allowed after it.
bool SpawnDetached(const fs::path& program, const std::vector<std::string>& args,
                   const std::vector<std::string>& environment) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  const pid_t child = ::fork();
  if (child < 0) return false;
  if (child == 0) {
    ::setsid();
    const pid_t grandchild = ::fork();
    if (grandchild != 0) ::_exit(grandchild < 0 ? 1 : 0);
    const int devnull = ::open("/dev/null", O_RDWR);
    if (devnull >= 0) {
      ::dup2(devnull, 0);
      ::dup2(devnull, 1);
      ::dup2(devnull, 2);
    }
    for (int fd = 3; fd < 1024; ++fd) ::close(fd);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

std::optional<std::string> StartWineRegedit(const TargetSystem& target, const std::string& searchPath) {
  if (target.Kind() != "Wine prefix")
    return "The registry editor is Wine's own regedit, which opens Wine prefixes only; " + target.Folder().string() +
           " is not one.";
  const auto wine = FindProgram("wine", searchPath);
  if (!wine)
    return "The registry editor is Wine's own regedit, and Wine is not installed on this machine (no \"wine\" "
           "program was found).";
  std::vector<std::string> environment;
  for (char** e = environ; e && *e; ++e)
    if (std::string_view(*e).substr(0, 11) != "WINEPREFIX=") environment.emplace_back(*e);
  // Never another prefix than the one the program works on, whatever the caller's WINEPREFIX.
  environment.push_back("WINEPREFIX=" + fs::absolute(target.Folder()).string());
  // A start that fails is not reported: the editor simply does not appear.
  SpawnDetached(*wine, {"regedit"}, environment);
  return std::nullopt;
}

std::optional<std::string> StartWineRegedit(const TargetSystem& target) {
  const char* path = std::getenv("PATH");
  return StartWineRegedit(target, path ? path : "");
}

std::optional<std::string> OpenRegeditAt(TargetSystem& target, const TScanResult& row,
                                         const TRegeditStarter& starter) {
  // 1.
  const std::string key = RegeditKeyOf(row);
  // Wine would overwrite LastKey with its own copy of the registry, and an editor started
  // now would be a second Wine on the same prefix: neither is done.
  const auto& store = target.Registry();
  if (auto reason = store->WriteBlockReason()) return reason;
  // 2. A key that cannot be opened leaves LastKey unwritten; the editor still starts.
  {
    TRegistry reg(store);
    reg.SetRootKey(HKEY_CURRENT_USER);
    try {
      if (reg.OpenKey(kRegeditAppletKey, true)) reg.WriteString(kRegeditLastKey, key);
    } catch (const std::exception&) {
    }
  }
  try {
    store->Commit();
  } catch (const std::exception& e) {
    return std::string(e.what());
  }
  // 3.
  return starter ? starter(target) : std::nullopt;
}

}  // namespace kestrove
