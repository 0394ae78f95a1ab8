// The items of the categories Mozilla Firefox, Netscape, Opera and Google Chrome: the
// browsers' profile files go through the cleaner's file removal; Firefox's visits and
// Chrome's stored passwords are emptied from the profile's database in a clean.
#include "cleaner/BrowserItems.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>

#include "cleaner/FileRemoval.h"
#include "cleaner/ItemOperations.h"
#include "platform/FileServices.h"
#include "platform/Text.h"
#include "platform/wine/WineProcess.h"
#include "sqlite/SQLite.h"

namespace kestrove {

namespace {

const char kFirefoxProfiles[] = "Mozilla\\Firefox\\Profiles";

bool FolderExists(TargetSystem& target, const std::string& windowsPath) {
  if (windowsPath.empty()) return false;
  const auto host = target.HostPath(windowsPath);
  struct stat st {};
  return host && ::stat(host->c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// `base` + `tail` when that folder exists, else "".
std::string Existing(TargetSystem& target, const std::string& base, const std::string& tail) {
  if (base.empty()) return {};
  const std::string path = base + tail;
  return FolderExists(target, path) ? path : std::string();
}

// The subfolders of a folder in listing order. A link counts, as the shell lists a junction
// among the folders: whatever is then done through it is confined to the target as always.
std::vector<std::string> Subfolders(TargetSystem& target, const std::string& folder) {
  std::vector<std::string> out;
  auto opened = OpenTargetFolder(target, folder);
  if (!opened) return out;
  for (const TFolderEntry& e : ListFolder(*opened->Ops, opened->Fd.Get()))
    if (e.Kind == TEntryKind::Folder || e.Kind == TEntryKind::Link) out.push_back(e.Name);
  return out;
}

// Exact case: "x.Default" is some other profile.
bool IsDefaultProfile(const std::string& folderName) { return folderName.find(".default") != std::string::npos; }

std::string NetscapeProfile(TargetSystem& target, const std::string& appData) {
  if (appData.empty()) return {};
  const std::string base = appData + "Netscape\\NSB\\Profiles";
  if (FolderExists(target, base + "\\pbzik8cu.default")) return base + "\\pbzik8cu.default\\";
  // The profile's own name says it is the default one: a ".default" earlier in the path (a
  // user named so) must not make every profile look like it.
  for (const std::string& name : Subfolders(target, base)) {
    const std::string path = base + "\\" + name;
    if (IsDefaultProfile(name) && FolderExists(target, path)) return path + "\\";
  }
  return {};
}

TargetSystem& Target(TClearTaskThread& job) { return *job.Context().Target; }

TBrowserFolders Folders(TClearTaskThread& job) {
  if (IDesktopServices* desktop = job.Context().Desktop) desktop->EndBrowserSession();
  return BrowserFolders(Target(job));
}

bool ShowCacheLog(TClearTaskThread& job) {
  const TOptionsSetting* options = job.Context().Options;
  return options && options->ShowLogTempInternetFiles;
}

// Thousands of cache files go without a line each: one line shows the clean is at work.
void PleaseWait(TClearTaskThread& job) {
  if (!job.IsTestMode() && !ShowCacheLog(job)) job.LogLine(std::string("Clearing") + ", " + "please wait...");
}

std::uint64_t RM(TClearTaskThread& job, const std::string& folder, const char* pattern, bool recurse) {
  return RemoveMatchingFiles(job, folder, pattern, job.ItemCount, recurse);
}

std::uint64_t CF(TClearTaskThread& job, const std::string& folder, bool log) {
  return ClearFolder(job, folder, false, log, "", job.ItemCount);
}

// The database step's failure names the file by its Windows path, so that the user knows
// which profile it was; the layer's own text follows, its breaks made line breaks, and the
// name the library was given (a descriptor path of no meaning to the user) replaced.
[[noreturn]] void DatabaseFailed(const std::string& file, const std::string& libraryName, std::string text) {
  for (std::size_t at = 0; !libraryName.empty() && (at = text.find(libraryName, at)) != std::string::npos;
       at += file.size())
    text.replace(at, libraryName.size(), file);
  for (char& c : text)
    if (c == '\r') c = '\n';
  throw ESQLiteException(file + ": " + text);
}

// The path of the open folder `fd` with no link in it, or "" when the folder moved or went.
std::string OpenedFolderPath(int fd) {
  char buffer[PATH_MAX];
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer - 1);
  if (n <= 0 || buffer[0] != '/') return {};
  const std::string path(buffer, static_cast<std::size_t>(n));
  struct stat opened {}, named {};
  if (::fstat(fd, &opened) != 0 || ::lstat(path.c_str(), &named) != 0) return {};
  if (!S_ISDIR(named.st_mode) || opened.st_dev != named.st_dev || opened.st_ino != named.st_ino) return {};
  return path;
}

// Empties `table` of the database `fileName` in `folder` (a Windows path with its trailing
// "\"), when the table exists. The file is found as Windows finds it, letter case aside, and
// reached through its folder as it was opened for removal: only a plain file with a single
// name on the target's own mount inside the Windows system is written, never one reached
// through a link. A failure of the database travels on and ends the run.
void EmptyDatabaseTable(TClearTaskThread& job, const std::string& folder, const std::string& fileName,
                        const std::string& table) {
  if (job.Describe({TTraceKind::DatabaseRows, folder + fileName, table, false})) return;
  if (job.IsTestMode() || job.Terminated()) return;
  const std::string file = folder + fileName;
  TTargetAccess access;
  auto opened = OpenTargetParent(Target(job), file, &access);
  if (access == TTargetAccess::Outside)
    job.LogLine(job.LinePrefix + "skipped " + file + " (outside the Windows system)");
  if (!opened) return;
  TFileOps& ops = *opened->Ops;
  const std::string& leaf = opened->Leaf;
  struct stat st {};
  if (ops.StatAt(opened->Fd.Get(), leaf.c_str(), st, AT_SYMLINK_NOFOLLOW) != 0) return;
  // Said, as a second name is: otherwise the user cannot tell why the trace stayed.
  if (S_ISLNK(st.st_mode)) {
    job.LogLine(job.LinePrefix + "skipped " + file + " (it is a link)");
    return;
  }
  if (!S_ISREG(st.st_mode)) return;
  if (st.st_nlink != 1) {
    job.LogLine(job.LinePrefix + "skipped " + file + " (it has more than one name)");
    return;
  }
  {
    UniqueFd fd(ops.OpenAt(opened->Fd.Get(), leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.Valid() || ops.MountId(fd.Get()) != opened->Mount) return;
  }
  // The library writes into the journal, WAL and shared-memory files it finds beside the
  // database as they are: one with a second name (a hard link to a file anywhere) would be
  // written through, one that is a link would end the run. Such a database is left as it is.
  for (const char* suffix : {"-journal", "-wal", "-shm"}) {
    const std::string companion = leaf + suffix;
    struct stat cs {};
    if (ops.StatAt(opened->Fd.Get(), companion.c_str(), cs, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISREG(cs.st_mode) || cs.st_nlink != 1) {
      job.LogLine(job.LinePrefix + "skipped " + file + " (" + fileName + suffix + " beside it is no plain file of its own)");
      return;
    }
  }
  // The library opens by name and refuses every link on the way (the magic links of /proc
  // included), so it gets the folder's own path, checked to be the folder already opened;
  // its journal is written beside the file.
  const std::string name = OpenedFolderPath(opened->Fd.Get()) + "/" + leaf;
  if (name.size() == leaf.size() + 1) return;
  try {
    TSQLiteDatabase database(name);
    if (database.HasTable(table)) database.RunStatement("DELETE FROM " + table);
  } catch (const ESQLiteException& e) {
    DatabaseFailed(file, name, e.what());
  }
}

// ---- Mozilla Firefox -------------------------------------------------------------------

void FirefoxCookies(TClearTaskThread& job) {
  const std::string folder = Folders(job).FirefoxProfiles;
  if (folder.empty()) return;
  std::uint64_t bytes = RM(job, folder, "cookies*.txt", true);
  bytes += RM(job, folder, "cookies.sqlite", true);
  job.ItemBytes = bytes;
}

void FirefoxHistory(TClearTaskThread& job) {
  const std::string profiles = Folders(job).FirefoxProfiles;
  if (profiles.empty()) return;
  const std::string folder = profiles + "\\";
  job.ItemBytes = RM(job, folder, "history.dat", true);
  if (job.IsTestMode() && !job.Describing()) return;
  TargetSystem& target = Target(job);
  for (const std::string& name : Subfolders(target, folder)) {
    if (job.Terminated()) return;
    // Only the default profiles: another profile is left as the user keeps it.
    if (!IsDefaultProfile(name)) continue;
    EmptyDatabaseTable(job, folder + name + "\\", "places.sqlite", "moz_historyvisits");
  }
}

void FirefoxCache(TClearTaskThread& job) {
  PleaseWait(job);
  const TBrowserFolders f = Folders(job);
  const bool log = ShowCacheLog(job);
  TargetSystem& target = Target(job);
  std::uint64_t bytes = 0;
  for (const std::string& folder : {f.FirefoxProfiles, f.FirefoxLocalProfiles}) {
    if (folder.empty()) continue;
    for (const std::string& name : Subfolders(target, folder)) {
      if (job.Terminated()) break;
      const std::string cache = folder + "\\" + name + "\\Cache";
      if (FolderExists(target, cache)) bytes += CF(job, cache, log);
    }
  }
  job.ItemBytes = bytes;
}

void FirefoxDownloads(TClearTaskThread& job) {
  const std::string folder = Folders(job).FirefoxProfiles;
  if (folder.empty()) return;
  std::uint64_t bytes = RM(job, folder, "downloads.rdf", true);
  bytes += RM(job, folder, "downloads.sqlite", true);
  job.ItemBytes = bytes;
}

void FirefoxAutocomplete(TClearTaskThread& job) {
  const std::string folder = Folders(job).FirefoxProfiles;
  if (folder.empty()) return;
  std::uint64_t bytes = RM(job, folder, "signons.txt", true);
  bytes += RM(job, folder, "signons3.txt", true);
  job.ItemBytes = bytes;
}

void FirefoxPreferences(TClearTaskThread& job) {
  const std::string folder = Folders(job).FirefoxProfiles;
  if (folder.empty()) return;
  job.ItemBytes = RM(job, folder, "prefs.js", true);
}

void FirefoxForms(TClearTaskThread& job) {
  const std::string folder = Folders(job).FirefoxProfiles;
  if (folder.empty()) return;
  std::uint64_t bytes = RM(job, folder, "formhistory.dat", true);
  bytes += RM(job, folder, "formhistory.sqlite", true);
  job.ItemBytes = bytes;
}

// ---- Netscape --------------------------------------------------------------------------

// One file pattern in the profile folder itself.
void NetscapeFiles(TClearTaskThread& job, const char* pattern) {
  const std::string folder = Folders(job).NetscapeProfile;
  if (folder.empty()) return;
  job.ItemBytes = RM(job, folder, pattern, false);
}

void NetscapeCookies(TClearTaskThread& job) { NetscapeFiles(job, "cookies*.txt"); }
void NetscapeHistory(TClearTaskThread& job) { NetscapeFiles(job, "history.dat"); }
void NetscapePreferences(TClearTaskThread& job) { NetscapeFiles(job, "prefs.js"); }
void NetscapeForms(TClearTaskThread& job) { NetscapeFiles(job, "formhistory.dat"); }

void NetscapeCache(TClearTaskThread& job) {
  PleaseWait(job);
  const std::string folder = Folders(job).NetscapeProfile;
  if (folder.empty()) return;
  job.ItemBytes = CF(job, folder + "Cache", ShowCacheLog(job));
}

// ---- Opera -----------------------------------------------------------------------------

void OperaCache(TClearTaskThread& job) {
  const TBrowserFolders f = Folders(job);
  // Opera keeps its cache below the local folder only when it has a roaming one too.
  if (f.Opera.empty()) return;
  TargetSystem& target = Target(job);
  std::uint64_t bytes = 0;
  for (const std::string& folder : {f.Opera, f.OperaLocal}) {
    if (folder.empty()) continue;
    for (const std::string& name : Subfolders(target, folder)) {
      if (job.Terminated()) break;
      const std::string cache = folder + name + "\\profile\\cache4";
      if (FolderExists(target, cache)) bytes += CF(job, cache, true);
    }
  }
  job.ItemBytes = bytes;
}

// Each pattern in turn, recursively, below the roaming Opera folder.
void OperaFiles(TClearTaskThread& job, std::initializer_list<const char*> patterns) {
  const std::string folder = Folders(job).Opera;
  if (folder.empty()) return;
  std::uint64_t bytes = 0;
  for (const char* pattern : patterns) bytes += RM(job, folder, pattern, true);
  job.ItemBytes = bytes;
}

void OperaCookies(TClearTaskThread& job) { OperaFiles(job, {"cookies4.dat"}); }
void OperaHistory(TClearTaskThread& job) { OperaFiles(job, {"global.dat", "vlink4.dat", "autosave.win"}); }
void OperaTypedUrls(TClearTaskThread& job) { OperaFiles(job, {"opera.dir", "typed_history.xml"}); }
void OperaAutocomplete(TClearTaskThread& job) { OperaFiles(job, {"wand.dat"}); }
void OperaTransfers(TClearTaskThread& job) { OperaFiles(job, {"download.dat"}); }

// ---- Google Chrome ---------------------------------------------------------------------

void ChromeCache(TClearTaskThread& job) {
  const std::string folder = Folders(job).ChromeProfile;
  if (folder.empty()) return;
  job.ItemBytes = CF(job, folder + "Cache", true);
}

void ChromeCookies(TClearTaskThread& job) {
  const std::string folder = Folders(job).ChromeProfile;
  if (folder.empty()) return;
  job.ItemBytes = RM(job, folder, "Cookies", true);
}

void ChromeHistory(TClearTaskThread& job) {
  const std::string folder = Folders(job).ChromeProfile;
  if (folder.empty()) return;
  std::uint64_t bytes = 0;
  for (const char* name : {"Current Session", "History", "Archived History", "Thumbnails"})
    bytes += RM(job, folder, name, true);
  // Chrome adds one full-text index of the history per month ("History Index 2010-01").
  std::vector<std::string> indexes;
  if (auto opened = OpenTargetFolder(Target(job), folder)) {
    for (const TFolderEntry& e : ListFolder(*opened->Ops, opened->Fd.Get()))
      if (e.Kind != TEntryKind::Folder && AsciiUpper(e.Name).find("HISTORY INDEX") != std::string::npos)
        indexes.push_back(e.Name);
  }
  for (const std::string& name : indexes) {
    if (job.Terminated()) break;
    bytes += RemoveMatchingFiles(job, folder, name, job.ItemCount, true);
  }
  job.ItemBytes = bytes;
}

void ChromePasswords(TClearTaskThread& job) {
  const std::string folder = Folders(job).ChromeProfile;
  if (folder.empty()) return;
  EmptyDatabaseTable(job, folder, "Web Data", "logins");
  job.ItemBytes = 0;
}

}  // namespace

TBrowserFolders BrowserFolders(TargetSystem& target) {
  TBrowserFolders f;
  if (auto appData = target.ShellFolder("AppData"); appData && FolderExists(target, *appData))
    f.AppData = WithBackslash(*appData);
  if (auto local = target.ShellFolder("Local AppData"); local && !local->empty())
    f.LocalAppData = WithBackslash(*local);
  f.FirefoxProfiles = Existing(target, f.AppData, kFirefoxProfiles);
  f.FirefoxLocalProfiles = Existing(target, f.LocalAppData, kFirefoxProfiles);
  f.NetscapeProfile = NetscapeProfile(target, f.AppData);
  f.Opera = Existing(target, f.AppData, "Opera\\");
  f.OperaLocal = Existing(target, f.LocalAppData, "Opera\\");
  f.ChromeProfile = Existing(target, f.LocalAppData, "Google\\Chrome\\User Data\\Default\\");
  return f;
}

bool FirefoxOfTargetRunning(TargetSystem& target) {
  if (target.Kind() == "Wine prefix" && wine::WineProgramProcess(target.Folder(), "firefox.exe")) return true;
  const std::string profiles = BrowserFolders(target).FirefoxProfiles;
  if (profiles.empty()) return false;
  for (const std::string& name : Subfolders(target, profiles)) {
    auto parent = OpenTargetParent(target, profiles + "\\" + name + "\\parent.lock");
    if (!parent) continue;
    UniqueFd lock(parent->Ops->OpenAt(parent->Fd.Get(), parent->Leaf.c_str(),
                                      O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (lock.Valid() && parent->Ops->LockedByOther(lock.Get())) return true;
  }
  return false;
}

std::vector<TItemEntry> BrowserItemOperations() {
  return {
      {"Mozilla Firefox - Cookies", FirefoxCookies},
      {"Mozilla Firefox - Visited URL History", FirefoxHistory},
      {"Mozilla Firefox - Temporary Internet Files", FirefoxCache},
      {"Mozilla Firefox - Download Manager History", FirefoxDownloads},
      {"Mozilla Firefox - Autocomplete History", FirefoxAutocomplete},
      {"Mozilla Firefox - Preferences", FirefoxPreferences},
      {"Mozilla Firefox - Saved Form Information", FirefoxForms},
      {"Netscape - Cookies", NetscapeCookies},
      {"Netscape - Temporary Internet Files", NetscapeCache},
      {"Netscape - Visited URL History", NetscapeHistory},
      {"Netscape - Preferences", NetscapePreferences},
      {"Netscape - Saved Form Information", NetscapeForms},
      {"Opera - Temporary Internet Files", OperaCache},
      {"Opera - Cookies", OperaCookies},
      {"Opera - Visited URL History", OperaHistory},
      {"Opera - Recently Typed URLs", OperaTypedUrls},
      {"Opera - Autocomplete History", OperaAutocomplete},
      {"Opera - Transfers", OperaTransfers},
      {"Google Chrome - Temporary Internet Files", ChromeCache},
      {"Google Chrome - Cookies", ChromeCookies},
      {"Google Chrome - Visited URL History", ChromeHistory},
      {"Google Chrome - Stored passwords in Forms", ChromePasswords},
  };
}

}  // namespace kestrove
