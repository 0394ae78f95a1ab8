#include "cleaner/FileRemoval.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <set>

#include "platform/FileServices.h"
#include "platform/PathResolver.h"
#include "platform/Text.h"

namespace kestrove {

namespace {

constexpr int kFileLogStep = 50;

// The user's folders a clear asks about before it touches them.
struct TGuards {
  std::string Documents;
  std::string Pictures;
  // Since Vista the pictures no longer live below the documents: their own shell folder is
  // guarded too.
  std::string PicturesShell;

  explicit TGuards(TargetSystem& target) {
    if (const auto docs = target.ShellFolder("Personal"); docs && !docs->empty()) {
      Documents = FolderCompareKey(*docs);
      Pictures = FolderCompareKey(WithBackslash(*docs) + "My Pictures\\");
    }
    if (const auto pictures = target.ShellFolder("My Pictures"); pictures && !pictures->empty())
      PicturesShell = FolderCompareKey(*pictures);
  }
  bool IsDocuments(const std::string& key) const { return !key.empty() && key == Documents; }
  bool IsPictures(const std::string& key) const {
    return !key.empty() && (key == Pictures || key == PicturesShell);
  }
};

bool Confirm(TClearTaskThread& job, const std::string& text) {
  TMessageRequest request;
  request.Caption = kProductName;
  request.Text = text;
  request.Buttons = TMsgButtons::YesNo;
  request.Icon = TMsgIcon::Information;
  request.DefaultButton = 1;
  return job.Prompt().Ask(request) == TMsgResult::Yes;
}

std::string ClearQuestion(const std::string& folder) {
  return "Do you want to delete all files and folders under " + folder + "?";
}

std::string FilesQuestion(const std::string& folder) { return "Do you want to delete the files on " + folder + "?"; }

int WipePasses(const TOptionsSetting& options) {
  return (options.WipeNumber >= 1 && options.WipeNumber <= 10) ? options.WipeNumber : 1;
}

// Removes one entry of an open folder: a file (overwritten first when asked), a link or a
// device node, never a folder. `path` is how the log names it.
bool RemoveEntryAt(TClearTaskThread& job, TFileOps& ops, int folderFd, const std::string& name,
                   const std::string& path, bool log, bool plainFile) {
  if (log && !job.FastMode()) job.LogDetail(job.LinePrefix + "deleting" + " " + path, kFileLogStep);
  if (job.IsTestMode()) return true;
  const TOptionsSetting* options = job.Context().Options;
  // A failed overwrite leaves the file as it is and the removal still runs: the user asked
  // for the file to go.
  if (plainFile && options && options->IsWipeFile && !FileInUseAt(ops, folderFd, name.c_str()))
    OverwriteFileAt(ops, folderFd, name.c_str(), WipePasses(*options));
  return ops.UnlinkAt(folderFd, name.c_str(), 0) == 0 || job.RemovalFailed(errno);
}

// The one line a place outside the Windows system gets: it is skipped, in a test as in a clean.
void LogOutside(TClearTaskThread& job, const std::string& path) {
  job.LogLine(job.LinePrefix + "skipped " + path + " (outside the Windows system)");
}

void CountEntry(TClearTaskThread& job, int& counter, std::uint64_t& bytes, std::uint64_t size) {
  ++counter;
  bytes += size;
  job.ProgressPacing();
}

// State shared by the folders of one clear.
struct TClearWalk {
  TClearTaskThread& job;
  TFileOps& ops;
  bool test;
  bool log;
  std::string excluded;
  int& counter;
  std::uint64_t mount;
  std::optional<TGuards> guards;  // clean mode only: a test asks nothing
  std::vector<std::string> kept;  // folded, with a trailing backslash

  bool Kept(const std::string& folder) const {
    return !kept.empty() && std::find(kept.begin(), kept.end(), FoldName(folder)) != kept.end();
  }
  bool Guarded(const std::string& folder) const {
    if (!guards) return false;
    const std::string key = FolderCompareKey(folder);
    return guards->IsDocuments(key) || guards->IsPictures(key);
  }
};

std::uint64_t ClearOpenFolder(TClearWalk& walk, int folderFd, const std::string& folder);

// A subfolder found while clearing: emptied depth first, then removed when empty. A link to
// a folder never gets here (it is an entry of its own), nor does another file system.
std::uint64_t ClearSubfolderAt(TClearWalk& walk, int parentFd, const std::string& name, const std::string& path) {
  if (walk.job.Terminated()) return 0;
  const std::string folder = WithBackslash(path);
  bool otherMount = false;
  UniqueFd fd = OpenSubfolderOnMount(walk.ops, parentFd, name.c_str(), walk.mount, &otherMount);
  if (otherMount) LogOutside(walk.job, folder);
  if (!fd.Valid()) return 0;
  if (walk.Guarded(folder) && !Confirm(walk.job, ClearQuestion(folder))) return 0;
  const std::uint64_t bytes = ClearOpenFolder(walk, fd.Get(), folder);
  fd.Reset();
  // Fails unless empty. After a stop the folder stays, even when the stop came after its last
  // entry: nothing more is removed.
  if (!walk.test && !walk.Kept(folder) && !walk.job.Terminated())
    walk.ops.UnlinkAt(parentFd, name.c_str(), AT_REMOVEDIR);
  return bytes;
}

std::uint64_t ClearOpenFolder(TClearWalk& walk, int folderFd, const std::string& folder) {
  std::uint64_t bytes = 0;
  for (const TFolderEntry& e : ListFolder(walk.ops, folderFd)) {
    if (walk.job.Terminated()) break;
    if (e.Kind == TEntryKind::Folder) {
      bytes += ClearSubfolderAt(walk, folderFd, e.Name, folder + e.Name);
      continue;
    }
    if (!walk.excluded.empty() && SameName(e.Name, walk.excluded)) continue;
    const auto st = StatEntry(walk.ops, folderFd, e.Name.c_str());
    if (!st || st->Kind == TEntryKind::Folder) continue;  // gone, or replaced meanwhile
    if (RemoveEntryAt(walk.job, walk.ops, folderFd, e.Name, folder + e.Name, walk.log, st->Kind == TEntryKind::File))
      CountEntry(walk.job, walk.counter, bytes, st->Size);
  }
  return bytes;
}

// A file name pattern: "*.*" takes every file; a pattern with "*" takes the names that begin
// with the text before the first "*" and end with the text after it, without regard to
// case; a pattern without "*" takes only the file of exactly that name.
class TNamePattern {
 public:
  explicit TNamePattern(const std::string& pattern) : pattern_(pattern) {
    const auto star = pattern.find('*');
    hasStar_ = star != std::string::npos;
    if (hasStar_) {
      prefix_ = FoldName(pattern.substr(0, star));
      suffix_ = FoldName(pattern.substr(star + 1));
    }
  }
  bool Matches(const std::string& name) const {
    if (pattern_ == "*.*" || name == pattern_) return true;
    if (!hasStar_) return false;
    if (prefix_.empty() && suffix_.empty()) return true;
    const std::string folded = FoldName(name);
    if (!prefix_.empty() && folded.compare(0, prefix_.size(), prefix_) != 0) return false;
    if (!suffix_.empty() &&
        (folded.size() < suffix_.size() || folded.compare(folded.size() - suffix_.size(), suffix_.size(), suffix_) != 0))
      return false;
    return true;
  }
  bool Empty() const { return pattern_.empty(); }
  bool HasStar() const { return hasStar_; }

 private:
  std::string pattern_;
  bool hasStar_ = false;
  std::string prefix_;
  std::string suffix_;
};

struct TMatchWalk {
  TClearTaskThread& job;
  TFileOps& ops;
  TNamePattern pattern;
  int& counter;
  bool recurse;
  std::uint64_t mount;
  std::optional<TGuards> guards;
};

// The questions before files of a folder are removed by pattern; false when one is answered No.
bool ConfirmMatching(TMatchWalk& walk, const std::string& folder, bool driveRoot) {
  if (!walk.guards) return true;
  if (driveRoot && (walk.pattern.Empty() || walk.pattern.HasStar()) && !Confirm(walk.job, ClearQuestion(folder)))
    return false;
  const std::string key = FolderCompareKey(folder);
  if (walk.guards->IsDocuments(key) && !Confirm(walk.job, FilesQuestion(folder))) return false;
  if (walk.guards->IsPictures(key) && !Confirm(walk.job, FilesQuestion(folder))) return false;
  return true;
}

// SQLite keeps a database's latest changes in files beside it: a database removed without
// them would leave its newest rows readable there. These are the companions of `name` in the
// open folder when `name` is a plain file holding an SQLite database; none otherwise.
std::vector<std::string> DatabaseCompanions(TFileOps& ops, int folderFd, const std::string& name) {
  std::vector<std::string> found;
  for (const char* suffix : {"-wal", "-shm", "-journal"}) {
    const std::string companion = name + suffix;
    const auto st = StatEntry(ops, folderFd, companion.c_str());
    if (st && st->Kind != TEntryKind::Folder) found.push_back(companion);
  }
  if (found.empty()) return found;  // the usual case costs no open
  static constexpr char kMagic[] = "SQLite format 3";  // with its zero byte: 16 bytes
  char head[sizeof kMagic] = {};
  UniqueFd fd(ops.OpenAt(folderFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat st {};
  if (!fd.Valid() || ops.FStat(fd.Get(), st) != 0 || !S_ISREG(st.st_mode) ||
      ops.Read(fd.Get(), head, sizeof head) != static_cast<ssize_t>(sizeof head) ||
      std::memcmp(head, kMagic, sizeof kMagic) != 0)
    found.clear();
  return found;
}

std::uint64_t MatchOpenFolder(TMatchWalk& walk, int folderFd, const std::string& folder, bool driveRoot) {
  if (walk.job.Terminated()) return 0;
  if (!ConfirmMatching(walk, folder, driveRoot)) return 0;
  std::uint64_t bytes = 0;
  std::set<std::string> companionsDone;  // already removed (or listed) with their database
  for (const TFolderEntry& e : ListFolder(walk.ops, folderFd)) {
    if (walk.job.Terminated()) break;
    if (companionsDone.count(e.Name)) continue;
    if (e.Kind == TEntryKind::Folder) {
      if (!walk.recurse) continue;
      bool otherMount = false;
      UniqueFd sub = OpenSubfolderOnMount(walk.ops, folderFd, e.Name.c_str(), walk.mount, &otherMount);
      if (otherMount) LogOutside(walk.job, folder + e.Name + "\\");
      if (!sub.Valid()) continue;
      bytes += MatchOpenFolder(walk, sub.Get(), folder + e.Name + "\\", false);
      continue;
    }
    if (!walk.pattern.Matches(e.Name)) continue;
    const auto st = StatEntry(walk.ops, folderFd, e.Name.c_str());
    if (!st || st->Kind == TEntryKind::Folder) continue;
    const bool plain = st->Kind == TEntryKind::File;
    const std::vector<std::string> companions =
        plain ? DatabaseCompanions(walk.ops, folderFd, e.Name) : std::vector<std::string>{};
    if (!RemoveEntryAt(walk.job, walk.ops, folderFd, e.Name, folder + e.Name, true, plain)) continue;
    CountEntry(walk.job, walk.counter, bytes, st->Size);
    // Only once the database went (or, in a test, would go): a database that stays keeps
    // the files it needs.
    for (const std::string& companion : companions) {
      if (walk.job.Terminated()) break;
      companionsDone.insert(companion);
      const auto cs = StatEntry(walk.ops, folderFd, companion.c_str());
      if (!cs || cs->Kind == TEntryKind::Folder) continue;
      if (RemoveEntryAt(walk.job, walk.ops, folderFd, companion, folder + companion, true,
                        cs->Kind == TEntryKind::File))
        CountEntry(walk.job, walk.counter, bytes, cs->Size);
    }
  }
  return bytes;
}

std::string WithoutBackslash(std::string path) {
  while (path.size() > 3 && (path.back() == '\\' || path.back() == '/')) path.pop_back();
  return path;
}

}  // namespace

bool RemoveFile(TClearTaskThread& job, const std::string& path, bool log) {
  if (job.Describe({TTraceKind::File, path, {}, false})) return false;
  TTargetAccess access;
  auto parent = OpenTargetParent(*job.Context().Target, path, &access);
  if (access == TTargetAccess::Outside) {
    LogOutside(job, path);
    return false;
  }
  if (!parent) {
    if (log && !job.FastMode()) job.LogDetail(job.LinePrefix + "deleting" + " " + path, kFileLogStep);
    return false;
  }
  return RemoveFileAt(job, *parent->Ops, parent->Fd.Get(), parent->Leaf, path, log);
}

bool RemoveFileAt(TClearTaskThread& job, TFileOps& ops, int folderFd, const std::string& name,
                  const std::string& path, bool log, std::uint64_t* size) {
  if (log && !job.FastMode()) job.LogDetail(job.LinePrefix + "deleting" + " " + path, kFileLogStep);
  const auto st = StatEntry(ops, folderFd, name.c_str());
  // A file that is not there is no file removed, in a test as in a clean; a folder is
  // never removed as a file.
  if (!st || st->Kind == TEntryKind::Folder) return false;
  if (size) *size = st->Size;
  return RemoveEntryAt(job, ops, folderFd, name, path, false, st->Kind == TEntryKind::File);
}

std::uint64_t ClearFolder(TClearTaskThread& job, const std::string& folder, bool removeFolder, bool log,
                          const std::string& excludedName, int& counter,
                          const std::vector<std::string>& keptFolders) {
  if (job.Terminated() || folder == "\\") return 0;
  if (job.Describe({TTraceKind::FolderContents, WithBackslash(folder), excludedName, true})) return 0;
  TargetSystem& target = *job.Context().Target;
  const std::string path = WithBackslash(folder);
  TTargetAccess access;
  auto opened = OpenTargetFolder(target, folder, &access);
  if (access == TTargetAccess::Outside) LogOutside(job, path);
  if (!opened) return 0;
  TClearWalk walk{job, *opened->Ops, job.IsTestMode(), log, excludedName, counter, opened->Mount, std::nullopt, {}};
  for (const std::string& kept : keptFolders) walk.kept.push_back(FoldName(WithBackslash(kept)));
  if (!walk.test) {
    walk.guards.emplace(target);
    if ((opened->DriveRoot || walk.Guarded(path)) && !Confirm(job, ClearQuestion(path))) return 0;
  }
  const std::uint64_t bytes = ClearOpenFolder(walk, opened->Fd.Get(), path);
  opened->Fd.Reset();
  if (!walk.test && removeFolder && !opened->DriveRoot && !job.Terminated()) {
    if (auto parent = OpenTargetParent(target, WithoutBackslash(folder)))
      parent->Ops->UnlinkAt(parent->Fd.Get(), parent->Leaf.c_str(), AT_REMOVEDIR);
  }
  return bytes;
}

std::uint64_t ClearOpenSubfolder(TClearTaskThread& job, TFileOps& ops, int folderFd, std::uint64_t mount,
                                 const std::string& name, const std::string& path, int& counter, bool log) {
  if (job.Terminated()) return 0;
  TClearWalk walk{job, ops, job.IsTestMode(), log, "", counter, mount, std::nullopt, {}};
  if (!walk.test) walk.guards.emplace(*job.Context().Target);
  return ClearSubfolderAt(walk, folderFd, name, path);
}

// The folder named is cleared wherever it lies on its drive (as a junction is followed on
// Windows) as long as that is inside the Windows system; links found inside it never are.
std::uint64_t ClearSubfolder(TClearTaskThread& job, const std::string& folder, int& counter, bool log,
                             const std::string& excludedName) {
  return ClearFolder(job, folder, true, log, excludedName, counter);
}

std::uint64_t RemoveMatchingFiles(TClearTaskThread& job, const std::string& folder, const std::string& pattern,
                                  int& counter, bool recurse) {
  if (job.Terminated() || folder == "\\") return 0;
  if (job.Describe({TTraceKind::Files, WithBackslash(folder), pattern, recurse})) return 0;
  TargetSystem& target = *job.Context().Target;
  TTargetAccess access;
  auto opened = OpenTargetFolder(target, folder, &access);
  if (access == TTargetAccess::Outside) LogOutside(job, WithBackslash(folder));
  if (!opened) return 0;
  TMatchWalk walk{job, *opened->Ops, TNamePattern(pattern), counter, recurse, opened->Mount, std::nullopt};
  if (!job.IsTestMode()) walk.guards.emplace(target);
  return MatchOpenFolder(walk, opened->Fd.Get(), WithBackslash(folder), opened->DriveRoot);
}

bool NameMatchesPattern(const std::string& pattern, const std::string& name) {
  return TNamePattern(pattern).Matches(name);
}

bool FileInUse(TClearTaskThread& job, const std::string& path) {
  auto parent = OpenTargetParent(*job.Context().Target, path);
  return parent && FileInUseAt(*parent->Ops, parent->Fd.Get(), parent->Leaf.c_str());
}

void OverwriteFile(TClearTaskThread& job, const std::string& path, int passes) {
  auto parent = OpenTargetParent(*job.Context().Target, path);
  if (!parent) return;
  // Any failure ends the overwriting quietly: the removal that follows still runs.
  OverwriteFileAt(*parent->Ops, parent->Fd.Get(), parent->Leaf.c_str(), passes);
}

void RemoveAtNextStart(TClearTaskThread& job, const std::string& path) {
  if (job.IsTestMode() || job.Terminated()) return;
  TargetSystem& target = *job.Context().Target;
  TTargetAccess access;
  auto parent = OpenTargetParent(target, path, &access);
  if (access == TTargetAccess::Outside) LogOutside(job, path);
  if (!parent || !StatEntry(*parent->Ops, parent->Fd.Get(), parent->Leaf.c_str())) return;  // nothing to remove
  ScheduleDeleteAtNextStart(target, path);
}

void AddToRenameList(TClearTaskThread& job, const std::vector<std::string>& lines) {
  if (job.IsTestMode() || job.Terminated()) return;
  AddToWininitRename(*job.Context().Target, lines);
}

}  // namespace kestrove
