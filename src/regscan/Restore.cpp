#include "regscan/Restore.h"

#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "app/Helpers.h"
#include "regscan/BackupOrigin.h"

extern char** environ;

namespace kestrove {

namespace fs = std::filesystem;

bool IsRegFileName(const std::string& name) {
  const std::size_t dot = name.rfind('.');
  return dot != std::string::npos && UpperCase(name.substr(dot)) == ".REG";
}

std::optional<std::vector<TBackupFile>> ListBackupFiles(const fs::path& folder) {
  std::error_code ec;
  if (folder.empty() || !fs::is_directory(folder, ec)) return std::nullopt;
  std::vector<TBackupFile> files;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (!IsRegFileName(name)) continue;
    struct stat st {};
    if (::stat(it->path().c_str(), &st) != 0 || S_ISDIR(st.st_mode)) continue;
    files.push_back({name, st.st_mtime, static_cast<std::uint64_t>(st.st_size), ReadBackupOrigin(it->path())});
  }
  std::sort(files.begin(), files.end(), [](const TBackupFile& a, const TBackupFile& b) {
    return UpperCase(a.FileName) > UpperCase(b.FileName);
  });
  return files;
}

std::optional<std::vector<TBackupFile>> ListBackupFilesFor(const fs::path& folder, const TTargetIdentity& current) {
  auto files = ListBackupFiles(folder);
  if (files)
    std::stable_sort(files->begin(), files->end(), [&](const TBackupFile& a, const TBackupFile& b) {
      return MatchOrigin(a.Origin, current) < MatchOrigin(b.Origin, current);
    });
  return files;
}

std::string BackupSizeText(std::uint64_t bytes) { return SizeToKBText(bytes) + " KB"; }

std::string BackupDateText(std::time_t modified) {
  std::tm local{};
  ::localtime_r(&modified, &local);
  char text[128];
  const std::size_t n = std::strftime(text, sizeof text, "%x %X", &local);
  return std::string(text, n);
}

std::string BackupFilePath(const std::string& folder, const std::string& fileName) {
  if (folder.empty() || folder.back() == '/') return folder + fileName;
  return folder + "/" + fileName;
}

bool DeleteBackupFileAt(const std::string& folder, const std::string& fileName) {
  return ::unlink(BackupFilePath(folder, fileName).c_str()) == 0;
}

// ---- TChildProcess

TChildProcess::~TChildProcess() {
  if (!ended_) Kill();
  if (errFd_ >= 0) ::close(errFd_);
}

bool TChildProcess::Start(const std::vector<std::string>& argv) {
  if (argv.empty() || !ended_) return false;
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  if (errFd_ >= 0) ::close(errFd_);
  // A file rather than a pipe: the child never blocks on a parent that only polls it.
  errFd_ = ::memfd_create("kestrove-child-stderr", MFD_CLOEXEC);
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  if (errFd_ >= 0) ::posix_spawn_file_actions_adddup2(&actions, errFd_, STDERR_FILENO);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return false;
  pid_ = pid;
  exitCode_ = -1;
  ended_ = false;
  return true;
}

bool TChildProcess::Running() {
  if (ended_) return false;
  int status = 0;
  const pid_t r = ::waitpid(pid_, &status, WNOHANG);
  if (r == 0) return true;
  ended_ = true;
  if (r == pid_ && WIFEXITED(status)) exitCode_ = WEXITSTATUS(status);
  return false;
}

void TChildProcess::Wait() {
  if (ended_) return;
  int status = 0;
  pid_t r;
  do r = ::waitpid(pid_, &status, 0);
  while (r < 0 && errno == EINTR);
  ended_ = true;
  if (r == pid_ && WIFEXITED(status)) exitCode_ = WEXITSTATUS(status);
}

std::string TChildProcess::ErrorText() const {
  if (errFd_ < 0) return {};
  std::string text(64 * 1024, '\0');
  const ssize_t n = ::pread(errFd_, text.data(), text.size(), 0);
  text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

void TChildProcess::Kill() {
  if (ended_) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  ended_ = true;
  exitCode_ = -1;
}

// ---- Command lines

std::vector<std::string> SplitCommandLine(const std::string& commandLine) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false, quoted = false;
  for (char c : commandLine) {
    if (c == '"') {
      quoted = !quoted;
      inWord = true;
    } else if (!quoted && (c == ' ' || c == '\t')) {
      if (inWord) words.push_back(word);
      word.clear();
      inWord = false;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (inWord) words.push_back(word);
  return words;
}

fs::path RegeditBesideExecutable() {
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  return ec ? fs::path(kRegeditProgramName) : exe.parent_path() / kRegeditProgramName;
}

std::vector<std::string> TRegeditRunner::Arguments(const std::string& commandLine) const {
  std::vector<std::string> words = SplitCommandLine(commandLine);
  std::vector<std::string> argv{Program.string()};
  if (Root) {
    argv.push_back("--root");
    argv.push_back(Root->string());
  }
  // The first word names the editor; only its switches and files are passed on.
  if (!words.empty()) argv.insert(argv.end(), words.begin() + 1, words.end());
  return argv;
}

bool TRegeditRunner::RunRegeditWithProgress(const std::string& commandLine, const std::string& hint) {
  LastExitCode = -1;
  LastErrorText.clear();
  TChildProcess child;
  if (!child.Start(Arguments(commandLine))) {
    if (Prompt) Prompt->Ask({kProductName, kRegeditCannotStart, TMsgButtons::Ok, TMsgIcon::Information, 0});
    return false;
  }
  TBlockingRegeditWait plain;
  const bool ended = (Progress ? *Progress : static_cast<IRegeditProgress&>(plain)).WaitWithProgress(child, hint);
  if (!ended) {
    child.Kill();
    return false;
  }
  child.Wait();
  LastExitCode = child.ExitCode();
  LastErrorText = child.ErrorText();
  return true;
}

// ---- Restore and full backup

TRestoreOutcome RestoreBackupFile(TRegeditRunner& runner, const std::string& folder, const std::string& fileName,
                                  bool deleteBackupFile, const TTargetIdentity& into, bool intoOtherSystem) {
  TRestoreOutcome outcome;
  const std::string path = BackupFilePath(folder, fileName);
  const std::optional<TTargetIdentity> origin = ReadBackupOrigin(path);
  outcome.OtherSystem = MatchOrigin(origin, into) == TOriginMatch::OtherSystem;
  if (outcome.OtherSystem && !intoOtherSystem) {
    outcome.Error = OtherSystemMessage("The backup " + fileName, *origin, into) + " Nothing was restored.";
    return outcome;
  }
  outcome.Ran = runner.RunRegeditWithProgress("Regedit /s \"" + path + "\"", kRestoreRegistryHint);
  if (!outcome.Ran) return outcome;  // not started (the editor's message was shown) or stopped
  outcome.Imported = runner.LastExitCode == 0;
  if (!outcome.Imported) {
    outcome.Error = runner.LastErrorText.empty()
                        ? "The registry editor could not import " + fileName + "; nothing of it was put back."
                        : runner.LastErrorText;
    return outcome;
  }
  if (deleteBackupFile && !outcome.OtherSystem) outcome.Deleted = DeleteBackupFileAt(folder, fileName);
  return outcome;
}

std::string FullBackupFileName(const std::string& chosen) {
  const std::string name = fs::path(chosen).filename().string();
  const std::size_t dot = name.rfind('.');
  if (dot != std::string::npos && UpperCase(name.substr(dot)) == ".REG") return chosen;
  return chosen + ".reg";
}

bool BackupFullRegistry(TRegeditRunner& runner, IPrompt& prompt, const std::string& chosen) {
  const std::string fileName = FullBackupFileName(chosen);
  std::error_code ec;
  if (fs::exists(fileName, ec) &&
      prompt.Ask({kProductName, fileName + " has existed,overite it?", TMsgButtons::YesNo, TMsgIcon::Information, 1}) !=
          TMsgResult::Yes)
    return false;
  return runner.RunRegeditWithProgress("Regedit /e \"" + fileName + "\"", kBackupRegistryHint);
}

}  // namespace kestrove
