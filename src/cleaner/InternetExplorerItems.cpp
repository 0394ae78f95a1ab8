// The items of the category Internet Explorer: the cache, cookies, history, typed addresses,
// index files, download folder and form entries of the browser.
//
// The URL cache and the URL history are the target's own index files, read and changed
// through TUrlCacheFile: the URL history service's URLs are the "Visited:" entries of
// History.IE5\index.dat, and the URL cache lists the entries of the three containers wininet
// keeps (Content.IE5, History.IE5 and the Cookies folder).
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "app/CookieKeepList.h"
#include "app/Helpers.h"
#include "cleaner/FileRemoval.h"
#include "cleaner/ItemOperations.h"
#include "cleaner/RegistryRemoval.h"
#include "platform/FileServices.h"
#include "platform/PathResolver.h"
#include "platform/ProtectedStorage.h"
#include "platform/TRegistry.h"
#include "platform/Text.h"
#include "platform/UrlCache.h"
#include "platform/wine/WineShortName.h"
#include "tools/IndexDat.h"

namespace kestrove {

namespace {

constexpr int kUrlLogStep = 50;
const char kIE[] = "Software\\Microsoft\\Internet Explorer";
const char kExplorerBar[] = "Software\\Microsoft\\Internet Explorer\\Explorer Bars\\{C4EE31F3-4768-11D2-BE5C-00A0C9A83DA1}\\";

TargetSystem& Target(TClearTaskThread& job) { return *job.Context().Target; }

void EndBrowserSession(TClearTaskThread& job) {
  if (IDesktopServices* desktop = job.Context().Desktop) desktop->EndBrowserSession();
}

// A shell folder after ending the browser session, with a trailing "\"; "" when the target has none.
std::string IEFolder(TClearTaskThread& job, const char* name) {
  EndBrowserSession(job);
  const auto folder = Target(job).ShellFolder(name);
  return folder && !folder->empty() ? WithBackslash(*folder) : std::string();
}

bool FolderExists(TClearTaskThread& job, const std::string& windowsPath) {
  if (windowsPath.empty()) return false;
  const auto host = Target(job).HostPath(windowsPath);
  struct stat st {};
  return host && ::stat(host->c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void LogOutside(TClearTaskThread& job, const std::string& path) {
  job.LogLine(job.LinePrefix + "skipped " + path + " (outside the Windows system)");
}

// The record-area wipe of an index file, on the file itself: opened inside the Windows system
// only, never through a link, never a file with a second name or on another mount. The wiped
// index is left empty and usable, as wininet leaves one it emptied.
void WipeIndex(TClearTaskThread& job, const std::string& path) {
  if (job.Terminated()) return;  // after a stop nothing more is overwritten
  const TOptionsSetting* options = job.Context().Options;
  TTargetAccess access = TTargetAccess::Absent;
  WipeIndexDatRecordsInTarget(Target(job), path,
                              IndexDatWipePasses(options && options->IsWipeFile, options ? options->WipeNumber : 0),
                              &access);
  if (access == TTargetAccess::Outside) LogOutside(job, path);
}

// The entries of a folder, links not followed; empty when it cannot be opened.
std::vector<TFolderEntry> FolderEntries(TClearTaskThread& job, const std::string& folder) {
  auto opened = OpenTargetFolder(Target(job), folder);
  return opened ? ListFolder(*opened->Ops, opened->Fd.Get()) : std::vector<TFolderEntry>{};
}

// Writes back an index whose entries a clean deleted. When it cannot be replaced, every one
// of those entries is still there: the clean counts them as failed removals instead of
// reporting them gone.
void CommitIndex(TClearTaskThread& job, TUrlCacheFile& index, int deleted) {
  errno = 0;
  if (index.Commit()) return;
  const int error = errno != 0 ? errno : EIO;
  for (int i = 0; i < deleted; ++i) job.RemovalFailed(error);
}

bool HasFileEndingNoCase(TClearTaskThread& job, const std::string& folder, std::string_view ending) {
  for (const TFolderEntry& e : FolderEntries(job, folder)) {
    if (e.Kind == TEntryKind::Folder || e.Name.size() < ending.size()) continue;
    if (AsciiEqualNoCase(std::string_view(e.Name).substr(e.Name.size() - ending.size()), ending)) return true;
  }
  return false;
}

// ---- Temporary Internet Files --------------------------------------------------------------

// The cache folders of the cache's index files (the protected mode's "Low" one too). wininet
// stores a new page only in one of the folders its index names and fails to store any while
// one is missing, so a clean empties them and leaves the folders: removing them would leave a
// cache that can be read but never written again.
std::vector<std::string> CacheFoldersToKeep(TClearTaskThread& job, const std::string& cache) {
  std::vector<std::string> kept;
  for (const std::string& container : {cache + "Content.IE5\\", cache + "Low\\Content.IE5\\"})
    if (auto index = TUrlCacheFile::Open(Target(job), container + "index.dat"))
      for (const std::string& name : index->Folders()) kept.push_back(container + name);
  return kept;
}

// The index files count as in use, as they are on a running system where the shell keeps them
// open: a clean leaves them, as a test does not list them, and wipes Content.IE5's in place.
// Folders are never counted, so keeping the cache folders changes no count.
void TemporaryInternetFiles(TClearTaskThread& job) {
  const TOptionsSetting* options = job.Context().Options;
  const bool showLog = options && options->ShowLogTempInternetFiles;
  if (!job.IsTestMode() && !showLog) job.LogLine(std::string("Clearing") + ", " + "please wait...");
  const std::string cache = IEFolder(job, "Cache");
  if (!FolderExists(job, cache)) return;
  const std::vector<std::string> kept = job.IsTestMode() ? std::vector<std::string>{} : CacheFoldersToKeep(job, cache);
  job.ItemBytes = ClearFolder(job, cache, false, showLog, "index.dat", job.ItemCount, kept);
  if (!job.IsTestMode() && !job.Terminated()) WipeIndex(job, cache + "Content.IE5\\index.dat");
}

// ---- Cookies -------------------------------------------------------------------------------

void Cookies(TClearTaskThread& job) {
  std::string folder = IEFolder(job, "Cookies");
  if (!FolderExists(job, folder)) folder = "c:\\windows\\cookies\\";
  if (!FolderExists(job, folder)) return;
  // Internet Explorer's protected mode keeps its cookies in "Low".
  if (FolderExists(job, folder + "Low") && !HasFileEndingNoCase(job, folder, ".txt") &&
      HasFileEndingNoCase(job, folder + "Low\\", ".txt"))
    folder += "Low\\";
  if (job.Describe({TTraceKind::Files, folder, "*.txt (but the cookies to keep)", false})) return;

  const TCookieKeepList keep = ReadCookieKeepList(std::filesystem::path(job.Context().ProgramFolder) / kCookieKeepListFile);
  if (!keep.Ok) {
    job.LogLine(job.LinePrefix + "stopped: " + keep.Error + "; no cookie is removed.");
    job.ItemStopped();
    return;
  }

  auto opened = OpenTargetFolder(Target(job), folder);
  if (!opened) return;
  std::vector<std::string> removed;
  for (const TFolderEntry& e : ListFolder(*opened->Ops, opened->Fd.Get())) {
    if (job.Terminated()) break;
    if (e.Kind == TEntryKind::Folder || e.Name.find(".txt") == std::string::npos) continue;
    // Windows compares file names without regard to case: a kept name matches in any case.
    if (std::any_of(keep.Names.begin(), keep.Names.end(),
                    [&](const std::string& kept) { return FoldName(kept) == FoldName(e.Name); }))
      continue;
    const auto st = StatEntry(*opened->Ops, opened->Fd.Get(), e.Name.c_str());
    if (!st || st->Kind == TEntryKind::Folder) continue;
    if (RemoveFile(job, folder + e.Name, true)) {
      ++job.ItemCount;
      job.ItemBytes += st->Size;
      job.ProgressPacing();
      removed.push_back(FoldName(e.Name));
    }
  }
  if (job.IsTestMode()) return;
  // The cookie index names each cookie's file: the entries of the files removed go too, so
  // that wininet lists only the cookies that are left.
  if (auto index = TUrlCacheFile::Open(Target(job), folder + "index.dat")) {
    for (const TUrlCacheEntry& entry : index->Entries())
      if (entry.Subfolder.empty() && std::find(removed.begin(), removed.end(), FoldName(entry.LocalName)) != removed.end())
        index->Delete(entry.Url);
    index->Commit();
  }
  if (keep.Names.empty() && !job.Terminated()) WipeIndex(job, folder + "index.dat");
}

// ---- Visited URL History -------------------------------------------------------------------

// The address the URL history service gives for a history entry: without "Visited: user@".
std::string HistoryUrl(const std::string& stored) {
  const std::size_t at = stored.find('@');
  std::string url = at == std::string::npos ? stored.substr(8) : stored.substr(at + 1);
  url.erase(0, url.find_first_not_of(' '));
  return url;
}

void UrlHistory(TClearTaskThread& job, const std::string& history) {
  if (history.empty()) return;
  if (job.Describe({TTraceKind::UrlCacheEntries, history + "History.IE5\\index.dat", "Visited:", false})) return;
  auto index = TUrlCacheFile::Open(Target(job), history + "History.IE5\\index.dat");
  if (!index) return;
  int deleted = 0;
  for (const TUrlCacheEntry& entry : index->Entries()) {
    if (job.Terminated()) break;
    if (entry.Url.compare(0, 8, "Visited:") != 0) continue;
    ++job.ItemCount;
    if (!job.FastMode()) job.LogDetail(job.LinePrefix + "deleting" + " " + HistoryUrl(entry.Url), kUrlLogStep);
    job.ProgressPacing();
    if (job.IsTestMode()) continue;
    if (!index->Delete(entry.Url)) break;
    ++deleted;
  }
  // The entries go from the file only when the index is written back: after a stop it is left
  // as it was, for writing it would remove them (and the files they name) after the stop.
  if (!job.Terminated()) CommitIndex(job, *index, deleted);
}

// The URL cache's entries whose source is an http:// address; in a clean they are deleted.
int UrlCacheWalk(TClearTaskThread& job) {
  EndBrowserSession(job);
  int count = 0;
  bool first = true;
  std::vector<std::string> containers;
  if (std::string cache = IEFolder(job, "Cache"); !cache.empty()) containers.push_back(cache + "Content.IE5\\index.dat");
  if (std::string history = IEFolder(job, "History"); !history.empty())
    containers.push_back(history + "History.IE5\\index.dat");
  if (std::string cookies = IEFolder(job, "Cookies"); !cookies.empty()) containers.push_back(cookies + "index.dat");
  for (const std::string& path : containers) {
    if (job.Terminated()) break;
    if (job.Describe({TTraceKind::UrlCacheEntries, path, "http://", false})) continue;
    auto index = TUrlCacheFile::Open(Target(job), path);
    if (!index) continue;
    int deleted = 0;
    for (const TUrlCacheEntry& entry : index->Entries()) {
      if (job.Terminated()) break;
      if (entry.Url.compare(0, 7, "http://") != 0) continue;
      ++count;
      if (!job.FastMode()) {
        const std::string line = job.LinePrefix + "deleting" + " " + entry.Url;
        if (first)
          job.LogLine(line);
        else
          job.LogDetail(line, kUrlLogStep);
      }
      first = false;
      job.ProgressPacing();
      if (!job.IsTestMode() && index->Delete(entry.Url)) ++deleted;
    }
    if (!job.Terminated()) CommitIndex(job, *index, deleted);
  }
  return count;
}

// Today's daily history folder as Internet Explorer names it: "MSHist01" and the date.
std::string TodaysHistoryPrefix() {
  const std::time_t now = std::time(nullptr);
  std::tm local {};
  localtime_r(&now, &local);
  char text[64];
  std::snprintf(text, sizeof text, "MSHist01%04d%02d%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
  return text;
}

// The files named index.dat in `folder` and below, links and other mounts not entered.
void FindIndexFiles(TClearTaskThread& job, TFileOps& ops, int fd, std::uint64_t mount, const std::string& folder,
                    bool top, std::vector<std::string>& out) {
  for (const TFolderEntry& e : ListFolder(ops, fd)) {
    if (job.Terminated()) return;
    if (e.Kind == TEntryKind::Folder) {
      UniqueFd sub = OpenSubfolderOnMount(ops, fd, e.Name.c_str(), mount);
      if (sub.Valid()) FindIndexFiles(job, ops, sub.Get(), mount, folder + e.Name + "\\", false, out);
    } else if (e.Kind == TEntryKind::File && !top && AsciiEqualNoCase(e.Name, "INDEX.DAT")) {
      out.push_back(folder + e.Name);
    }
  }
}

void VisitedUrlHistory(TClearTaskThread& job) {
  const std::string history = IEFolder(job, "History");
  UrlHistory(job, history);
  job.ItemCount += UrlCacheWalk(job);
  if (!FolderExists(job, history)) return;

  const std::uint8_t version = Target(job).WindowsVersion();
  if (version == 11 || version == 12) {
    job.WorkPath = history + "Low\\History.IE5";
    if (FolderExists(job, job.WorkPath)) {
      const std::string today = AsciiUpper(TodaysHistoryPrefix());
      for (const TFolderEntry& e : FolderEntries(job, job.WorkPath)) {
        if (job.Terminated()) break;
        if (e.Kind != TEntryKind::Folder || AsciiUpper(e.Name).find(today) != std::string::npos) continue;
        job.ItemBytes += ClearSubfolder(job, job.WorkPath + "\\" + e.Name, job.ItemCount, true, "");
      }
    }
    job.WorkPath = history;
  } else {
    job.WorkPath = history + "History.IE5";
    job.ItemBytes = ClearFolder(job, job.WorkPath, false, true, "index.dat", job.ItemCount);
  }

  if (job.IsTestMode() || job.Terminated()) return;
  auto opened = OpenTargetFolder(Target(job), job.WorkPath);
  if (!opened) return;
  std::vector<std::string> files;
  FindIndexFiles(job, *opened->Ops, opened->Fd.Get(), opened->Mount, WithBackslash(job.WorkPath), true, files);
  for (const std::string& file : files) WipeIndex(job, file);
}

// ---- Recently Typed URLs -------------------------------------------------------------------

void RecentlyTypedUrls(TClearTaskThread& job) {
  const std::string typed = std::string(kIE) + "\\TypedURLs";
  if (!job.FastMode()) {
    TRegistry reg(Target(job).Registry());
    reg.SetRootKey(HKEY_CURRENT_USER);
    if (reg.OpenKeyReadOnly(typed)) {
      std::vector<std::string> names;
      reg.GetValueNames(names);
      for (std::size_t i = 0; i < names.size(); ++i) {
        std::string text;
        try {
          text = reg.ReadString(names[i]);
        } catch (const ERegistryException&) {
        }
        // The log scrolls to its end after the last address.
        if (i + 1 < names.size())
          job.LogLine(job.LinePrefix + "deleting" + " " + text);
        else
          job.LogDetail(job.LinePrefix + "deleting" + " " + text, 0);
      }
    }
  }
  job.ItemCount = RemoveUserKey(job, typed) + RemoveUserKey(job, std::string(kExplorerBar) + "FilesNamedMRU") +
                  RemoveUserKey(job, std::string(kExplorerBar) + "ContainingTextMRU");
}

// ---- Index.dat Files -----------------------------------------------------------------------

// The short (8.3) form of a path as Wine derives it; "" when the file is not there.
std::string ShortPathName(TClearTaskThread& job, const std::string& path) {
  const auto parts = ParseWindowsPath(path);
  if (!parts || !OpenTargetParent(Target(job), path)) return {};
  const auto host = Target(job).HostPath(path);
  struct stat st {};
  if (!host || ::lstat(host->c_str(), &st) != 0) return {};
  std::string out = std::string(1, parts->drive) + ":";
  for (const std::string& name : parts->components) {
    const std::u16string wide = Utf8ToU16(name);
    out += "\\" + (wine::IsLegal8Dot3Name(wide) ? name : U16ToUtf8(wine::HashedShortName(wide)));
  }
  return out;
}

void IndexDatFiles(TClearTaskThread& job) {
  job.LogLine("Warning: This will take effect next time windows is rebooted.");
  const std::vector<std::string> files = {IEFolder(job, "Cookies") + "index.dat",
                                          IEFolder(job, "Cache") + "Content.IE5\\index.dat",
                                          IEFolder(job, "History") + "History.IE5\\index.dat"};
  if (job.Describing()) {
    for (const std::string& file : files)
      job.Describe({TTraceKind::File, file, "wiped now and removed at the next start of Windows", false});
    return;
  }
  std::uint64_t bytes = 0;
  for (const std::string& file : files) {
    auto parent = OpenTargetParent(Target(job), file);
    if (!parent) continue;
    if (auto st = StatEntry(*parent->Ops, parent->Fd.Get(), parent->Leaf.c_str()); st && st->Kind == TEntryKind::File)
      bytes += st->Size;
  }
  job.ItemBytes = bytes;
  if (SizeToKBText(bytes) != "0") job.ItemCount = 3;
  if (job.IsTestMode()) return;

  for (const std::string& file : files) WipeIndex(job, file);
  const std::uint8_t version = Target(job).WindowsVersion();
  static constexpr std::uint8_t kNtFamily[] = {5, 6, 7, 9, 10, 11, 12};
  if (std::find(std::begin(kNtFamily), std::end(kNtFamily), version) != std::end(kNtFamily)) {
    for (const std::string& file : files) RemoveAtNextStart(job, file);
  } else {
    std::vector<std::string> lines;
    // "NUL=" is the rename list's way of saying "delete": any other name before the "=" is a
    // destination, and the start-up pass would move the index to a file of that name instead.
    for (const std::string& file : files) lines.push_back("NUL=" + ShortPathName(job, file));
    AddToRenameList(job, lines);
  }
}

// ---- Last Download Location, Autocomplete History ------------------------------------------

void LastDownloadLocation(TClearTaskThread& job) { job.ItemCount += RemoveUserValues(job, kIE, "Download Directory"); }

void AutocompleteHistory(TClearTaskThread& job) {
  try {
    std::unique_ptr<TPStorage> storage = ProtectedStorageFactory()();
    if (!storage || !storage->Available() || !storage->Connect()) return;
    for (const TPStorageId& type : storage->Types()) {
      if (storage->TypeName(type) != "Internet Explorer") continue;
      for (const TPStorageId& subtype : storage->Subtypes(type)) {
        const TItemList items = storage->Items(type, subtype);
        job.ItemCount = items.size() == 1 ? 1 : static_cast<int>(items.size() / 2);
        for (const std::string& name : items) {
          if (job.Terminated()) return;
          if (name.compare(0, 7, "http://") == 0 && name.find("StringData") != std::string::npos) job.ProgressPacing();
          if (!job.IsTestMode()) storage->DeleteItem(type, subtype, name);
        }
      }
    }
    storage.reset();
    job.ItemCount += RemoveUserKey(job, std::string(kIE) + "\\IntelliForms\\Storage1") +
                     RemoveUserKey(job, std::string(kIE) + "\\IntelliForms\\Storage2");
  } catch (const std::exception&) {
    // The storage's failures end the item quietly.
  }
}

}  // namespace

std::vector<TItemEntry> InternetExplorerItemOperations() {
  return {
      {"Internet Explorer - Temporary Internet Files", TemporaryInternetFiles},
      {"Internet Explorer - Cookies", Cookies},
      {"Internet Explorer - Visited URL History", VisitedUrlHistory},
      {"Internet Explorer - Recently Typed URLs", RecentlyTypedUrls},
      {"Internet Explorer - Index.dat Files", IndexDatFiles},
      {"Internet Explorer - Last Download Location", LastDownloadLocation},
      {"Internet Explorer - Autocomplete History", AutocompleteHistory},
  };
}

}  // namespace kestrove
