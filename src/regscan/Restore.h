// Putting Fix's .reg backups back, and exporting the whole registry: the list of backup files,
// and the registry editor run as a child process while a progress display waits for it. The
// editor is kestrove-regedit beside the program; the command lines keep the "Regedit /s" form.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app/Prompt.h"
#include "platform/TargetSystem.h"

namespace kestrove {

inline constexpr const char* kRegeditCannotStart = "Please check if Regedit.exe exists.";
inline constexpr const char* kNoBackupFolder = "can not find the backup folder.";
inline constexpr const char* kRestoreRegistryHint = "Restore registry...";
inline constexpr const char* kBackupRegistryHint = "Backup registry...";
inline constexpr const char* kRegeditProgramName = "kestrove-regedit";

// ---- The restore list

struct TBackupFile {
  std::string FileName;
  std::time_t Modified = 0;  // last write
  std::uint64_t Size = 0;
  std::optional<TTargetIdentity> Origin;  // the system it was taken of; nullopt: not recorded
};

// Whether the name's extension, in upper case, is exactly ".REG".
bool IsRegFileName(const std::string& name);

// The .REG files (not folders) of `folder`, by file name descending without regard to case;
// nullopt when the folder does not exist.
std::optional<std::vector<TBackupFile>> ListBackupFiles(const std::filesystem::path& folder);
// The same for `current`: its own files first, then those of unknown origin, then other
// systems'; each group by file name descending.
std::optional<std::vector<TBackupFile>> ListBackupFilesFor(const std::filesystem::path& folder,
                                                           const TTargetIdentity& current);

// "1,025 KB": bytes / 1024 rounded up.
std::string BackupSizeText(std::uint64_t bytes);
// The C library's local date and time ("%x %X").
std::string BackupDateText(std::time_t modified);

// The folder with a trailing separator, then the name.
std::string BackupFilePath(const std::string& folder, const std::string& fileName);

// Deletes folder + name (no recycle bin, no question); false when it could not go.
bool DeleteBackupFileAt(const std::string& folder, const std::string& fileName);

// ---- The registry editor as a child process

class TChildProcess {
 public:
  TChildProcess() = default;
  ~TChildProcess();  // a child still running is killed and reaped
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  // Starts argv[0] (a path) with argv; false when it cannot be started. What the child writes
  // to its error stream is kept for ErrorText.
  bool Start(const std::vector<std::string>& argv);
  // What the child wrote to its error stream (the first 64 KiB), once it has ended.
  std::string ErrorText() const;
  // False once the child has ended (reaping it); polls without waiting.
  bool Running();
  // Blocks until the child ends.
  void Wait();
  // Ends the child at once.
  void Kill();
  // The exit status once ended by itself; -1 when killed or still running.
  int ExitCode() const { return exitCode_; }
  pid_t Pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int exitCode_ = -1;
  bool ended_ = true;
  int errFd_ = -1;  // an unnamed file the child's error stream goes to
};

// Splits a command line into words; double quotes group, and are dropped.
std::vector<std::string> SplitCommandLine(const std::string& commandLine);

// kestrove-regedit in the folder of this process's executable.
std::filesystem::path RegeditBesideExecutable();

// Waits for the editor while showing progress: the window's progress dialog, or a plain
// wait. True when the child ended by itself, false when the user stopped it.
class IRegeditProgress {
 public:
  virtual ~IRegeditProgress() = default;
  virtual bool WaitWithProgress(TChildProcess& child, const std::string& hint) = 0;
};

class TBlockingRegeditWait : public IRegeditProgress {
 public:
  bool WaitWithProgress(TChildProcess& child, const std::string&) override {
    child.Wait();
    return true;
  }
};

class TRegeditRunner {
 public:
  std::filesystem::path Program = RegeditBesideExecutable();
  std::optional<std::filesystem::path> Root;  // the target's folder, passed as --root
  IPrompt* Prompt = nullptr;                  // the cannot-start message
  IRegeditProgress* Progress = nullptr;       // nullptr: a plain wait

  // The argument vector for a "Regedit ..." command line: the program name mapped to
  // Program, --root added.
  std::vector<std::string> Arguments(const std::string& commandLine) const;
  // Runs the command line; true when the editor ended by itself, false when it could not be
  // started (after the message) or was stopped.
  bool RunRegeditWithProgress(const std::string& commandLine, const std::string& hint);
  // The editor's exit status of the last run that ended by itself, else -1.
  int LastExitCode = -1;
  // What the editor of the last run said on its error stream.
  std::string LastErrorText;
};

// ---- Restore and full backup

struct TRestoreOutcome {
  bool Ran = false;       // the editor ended by itself
  bool Imported = false;  // ... and said the file was imported
  bool Deleted = false;   // the backup file was deleted afterwards
  bool OtherSystem = false;  // the file was taken of another system: not imported unless allowed
  std::string Error;      // why nothing was imported, for the user; "" when it was, or when stopped
};

// Imports folder + name with "Regedit /s" into `into`, the system the runner's editor works
// on; afterwards, when `deleteBackupFile` is on and the editor ended by itself reporting
// success, deletes the file. A failed or stopped import keeps the backup: it is the only copy
// of what Fix removed. A file taken of another system is refused, naming both systems, unless
// `intoOtherSystem`; it is then imported but never deleted, as it belongs to that system.
TRestoreOutcome RestoreBackupFile(TRegeditRunner& runner, const std::string& folder, const std::string& fileName,
                                  bool deleteBackupFile, const TTargetIdentity& into, bool intoOtherSystem = false);

// The chosen name with ".reg" appended unless its extension is ".REG" in any case.
std::string FullBackupFileName(const std::string& chosen);

// Exports the whole registry to `chosen` (after the extension rule); an existing file is
// overwritten only after a Yes. False when declined, not started or stopped.
bool BackupFullRegistry(TRegeditRunner& runner, IPrompt& prompt, const std::string& chosen);

}  // namespace kestrove
