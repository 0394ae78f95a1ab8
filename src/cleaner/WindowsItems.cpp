// The items of the categories Windows, Advanced, Microsoft Office and Instant Messengers.
#include <sys/stat.h>

#include "cleaner/FileRemoval.h"
#include "platform/Text.h"
#include "cleaner/ItemOperations.h"
#include "cleaner/RegistryRemoval.h"
#include "cleaner/SystemFolders.h"
#include "platform/FileServices.h"
#include "platform/PathResolver.h"
#include "platform/TRegistry.h"

namespace kestrove {

namespace {

const char kExplorer[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\";
const char kOffice[] = "Software\\Microsoft\\Office\\";
constexpr int kFirstOfficeVersion = 8;
constexpr int kLastOfficeVersion = 12;

// Two spellings of one folder (C:\Users\x\ and c:/users/x) compare equal.
bool SameFolder(const std::string& a, const std::string& b) {
  const std::string key = FolderCompareKey(a);
  return !key.empty() && key == FolderCompareKey(b);
}

TargetSystem& Target(TClearTaskThread& job) { return *job.Context().Target; }

void EndBrowserSession(TClearTaskThread& job) {
  if (IDesktopServices* desktop = job.Context().Desktop) desktop->EndBrowserSession();
}

// A shell folder of the target's user; "" when the target has none.
std::string ShellFolder(TClearTaskThread& job, const char* name) {
  return Target(job).ShellFolder(name).value_or(std::string());
}

bool FolderExists(TClearTaskThread& job, const std::string& windowsPath) {
  if (windowsPath.empty()) return false;
  const auto host = Target(job).HostPath(windowsPath);
  struct stat st {};
  return host && ::stat(host->c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void RemoveUserKeyItem(TClearTaskThread& job, const std::string& key) { job.ItemCount = RemoveUserKey(job, key); }

// ---- Windows ---------------------------------------------------------------------------

void RecentDocuments(TClearTaskThread& job) {
  EndBrowserSession(job);
  const std::string recent = ShellFolder(job, "Recent");
  job.ItemCount = RemoveUserKey(job, std::string(kExplorer) + "RecentDocs");
  if (!recent.empty()) job.ItemBytes = RemoveMatchingFiles(job, recent, "*.*", job.ItemCount, false);
}

void StartRun(TClearTaskThread& job) { RemoveUserKeyItem(job, std::string(kExplorer) + "RunMRU"); }

void SearchAssistant(TClearTaskThread& job) {
  RemoveUserKeyItem(job, "Software\\Microsoft\\Search Assistant\\ACMru");
}

void EmptyRecycleBin(TClearTaskThread& job) {
  const TOptionsSetting* options = job.Context().Options;
  const bool showLog = options && options->ShowLogRecycleBin;
  if (!job.IsTestMode() && !showLog) job.LogLine(std::string("Clearing") + ", " + "please wait...");
  TargetSystem& target = Target(job);
  if (job.Describing()) {
    // What the shell's emptying below reaches: every kind of bin on every fixed drive.
    for (char letter = 'A'; letter <= 'Z'; ++letter)
      if (IsFixedTargetDrive(target, letter))
        for (const char* bin : {"Recycled", "RECYCLER", "$Recycle.Bin"})
          job.Describe({TTraceKind::FolderContents, std::string(1, letter) + ":\\" + bin + "\\", {}, true});
    return;
  }
  std::uint64_t bytes = 0;
  for (char letter = 'C'; letter <= 'Z' && !job.Terminated(); ++letter) {
    if (!IsFixedTargetDrive(target, letter)) continue;
    const std::string bin = std::string(1, letter) + ":\\Recycled";
    // Only an old-style bin, with its index and its desktop.ini, is listed.
    auto info2 = OpenTargetParent(target, bin + "\\INFO2");
    auto desktopIni = OpenTargetParent(target, bin + "\\desktop.ini");
    if (!info2 || !desktopIni || !StatEntry(*info2->Ops, info2->Fd.Get(), info2->Leaf.c_str()) ||
        !StatEntry(*desktopIni->Ops, desktopIni->Fd.Get(), desktopIni->Leaf.c_str()))
      continue;
    auto folder = OpenTargetFolder(target, bin);
    if (!folder) continue;
    for (const TFolderEntry& e : ListFolder(*folder->Ops, folder->Fd.Get())) {
      if (job.Terminated()) break;
      const std::string path = bin + "\\" + e.Name;
      if (e.Kind == TEntryKind::Folder) {
        // Opened from the bin: a name holding backslashes, spelt as a path, would lead elsewhere
        // ("..\\Windows" to the Windows folder).
        bytes += ClearOpenSubfolder(job, *folder->Ops, folder->Fd.Get(), folder->Mount, e.Name, path, job.ItemCount,
                                    showLog);
        continue;
      }
      if (SameName(e.Name, "desktop.ini") || SameName(e.Name, "info2")) continue;
      std::uint64_t size = 0;
      // Removed relative to the bin already open: resolving each file's path from the drive
      // root again would cost more than the removal itself in a full bin.
      if (RemoveFileAt(job, *folder->Ops, folder->Fd.Get(), e.Name, path, showLog, &size)) {
        ++job.ItemCount;
        bytes += size;
        job.ProgressPacing();
      }
    }
  }
  job.ItemBytes = bytes;
  // Then every bin is emptied, as the shell empties them, whatever was counted; after a
  // stop nothing more is removed.
  if (!job.IsTestMode() && !job.Terminated()) EmptyRecycleBins(target, [&job] { return job.Terminated(); });
}

void TemporaryFiles(TClearTaskThread& job) {
  // Without TMP and TEMP the temporary folder falls back to the profile or the Windows
  // folder, and a setting may name any folder at all: clearing such a folder would take the
  // user's files with it.
  const std::string temp = Target(job).TempFolder();
  if (auto why = TSystemFolders(Target(job)).TempFolderRefusal(temp)) {
    job.LogLine(RefusedLine(job.LinePrefix, temp, *why));
    return;
  }
  job.ItemBytes = ClearFolder(job, temp, false, true, "", job.ItemCount);
}

void Clipboard(TClearTaskThread& job) {
  if (job.Describe({TTraceKind::Clipboard, {}, {}, false})) return;
  if (job.IsTestMode() || job.Terminated()) return;
  if (IDesktopServices* desktop = job.Context().Desktop) desktop->EmptyClipboard();
}

void MemoryDumps(TClearTaskThread& job) {
  const std::string windows = WithBackslash(Target(job).WindowsFolder());
  std::uint64_t bytes = RemoveMatchingFiles(job, windows, "memory.dmp", job.ItemCount, false);
  bytes += RemoveMatchingFiles(job, windows + "MiniDump", "*.dmp", job.ItemCount, false);
  job.ItemBytes = bytes;
}

void ChkdskFragments(TClearTaskThread& job) {
  job.ItemBytes = RemoveMatchingFiles(job, Target(job).SystemFolder(), "File*.chk", job.ItemCount, false);
}

// ---- Advanced --------------------------------------------------------------------------

void OpenFileHistory(TClearTaskThread& job) {
  RemoveUserKeyItem(job, std::string(kExplorer) + "ComDlg32\\OpenSaveMRU");
}

void MenuOrderCache(TClearTaskThread& job) { RemoveUserKeyItem(job, std::string(kExplorer) + "MenuOrder"); }

void TrayNotificationsCache(TClearTaskThread& job) {
  const std::string key = std::string(kExplorer) + "TrayNotify";
  job.ItemCount += RemoveUserValues(job, key, "IconStreams");
  job.ItemCount += RemoveUserValues(job, key, "PastIconsStream");
}

void UserAssistHistory(TClearTaskThread& job) {
  const std::string base = std::string(kExplorer) + "UserAssist\\";
  job.ItemCount = RemoveUserKey(job, base + "{5E6AB780-7743-11CF-A12B-00AA004AE837}\\Count");
  job.ItemCount += RemoveUserKey(job, base + "{75048700-EF1F-11D0-9888-006097DEACF9}\\Count");
}

void Paint(TClearTaskThread& job) {
  RemoveUserKeyItem(job, "Software\\Microsoft\\Windows\\CurrentVersion\\Applets\\Paint\\Recent File List");
}

// ---- Microsoft Office ------------------------------------------------------------------

// The files of Office's Recent folder that match `pattern`, added to the item's bytes.
// False when the user has no Application Data folder: the whole item then does nothing.
bool OfficeFiles(TClearTaskThread& job, const char* pattern) {
  EndBrowserSession(job);
  const std::string appData = ShellFolder(job, "AppData");
  if (!FolderExists(job, appData)) return false;
  job.ItemBytes += RemoveMatchingFiles(job, WithBackslash(appData) + "Microsoft\\Office\\Recent", pattern,
                                       job.ItemCount, false);
  return true;
}

std::string OfficeVersionKey(int version) { return kOffice + std::to_string(version) + ".0"; }

void OfficeAccess(TClearTaskThread& job) {
  if (!OfficeFiles(job, "*.mdb")) return;
  for (int n = kFirstOfficeVersion; n <= kLastOfficeVersion; ++n)
    job.ItemCount += RemoveUserKey(job, OfficeVersionKey(n) + "\\Access\\Settings");
}

void OfficeExcel(TClearTaskThread& job) {
  if (!OfficeFiles(job, "*.xls")) return;
  for (int n = kFirstOfficeVersion; n <= kLastOfficeVersion; ++n)
    job.ItemCount += RemoveUserKey(job, OfficeVersionKey(n) + "\\Excel");
}

void OfficeFrontPage(TClearTaskThread& job) {
  if (!OfficeFiles(job, "*.htm") || !OfficeFiles(job, "*.html")) return;
  const std::string base = "Software\\Microsoft\\FrontPage\\Explorer\\FrontPage Explorer\\";
  for (const char* list : {"Recent File List", "Recent Page List", "Recent Web List"})
    job.ItemCount += RemoveUserKey(job, base + list);
}

// PowerPoint keeps its lists of recent presentations and folders under its own key of each
// Office version, as Word and Excel keep theirs.
void OfficePowerpoint(TClearTaskThread& job) {
  if (!OfficeFiles(job, "*.ppt")) return;
  for (int n = kFirstOfficeVersion; n <= kLastOfficeVersion; ++n) {
    job.ItemCount += RemoveUserKey(job, OfficeVersionKey(n) + "\\PowerPoint\\Recent File List");
    job.ItemCount += RemoveUserKey(job, OfficeVersionKey(n) + "\\PowerPoint\\Recent Folder List");
  }
}

void OfficeWord(TClearTaskThread& job) {
  if (!OfficeFiles(job, "*.doc")) return;
  for (int n = kFirstOfficeVersion; n <= kLastOfficeVersion; ++n)
    job.ItemCount += RemoveUserValues(job, OfficeVersionKey(n) + "\\Word\\Data", "Settings");
}

void OfficeRecentFiles(TClearTaskThread& job) { OfficeFiles(job, "*.*"); }

// ---- Instant Messengers ----------------------------------------------------------------

// The message log folder each passport's settings name; the first that exists wins, else
// the last one read.
std::string MsnLogPath(TClearTaskThread& job) {
  TargetSystem& target = Target(job);
  TRegistry reg(target.Registry());
  reg.SetRootKey(HKEY_CURRENT_USER);
  const std::string base = "Software\\Microsoft\\MSNMessenger\\PerPassportSettings";
  if (!reg.OpenKeyReadOnly(base)) return {};
  std::vector<std::string> passports;
  reg.GetKeyNames(passports);
  std::string path;
  for (const std::string& passport : passports) {
    TRegistry sub(target.Registry());
    sub.SetRootKey(HKEY_CURRENT_USER);
    path.clear();
    if (sub.OpenKeyReadOnly(base + "\\" + passport)) {
      const TRegDataType type = sub.GetDataType("MessageLogPath");
      try {
        if (type == TRegDataType::rdString) path = sub.ReadString("MessageLogPath");
        // An expandable path means what it says once expanded for the user.
        if (type == TRegDataType::rdExpandString) path = target.ExpandEnvironmentStrings(sub.ReadString("MessageLogPath"));
      } catch (const ERegistryException&) {
        path.clear();
      }
    }
    if (FolderExists(job, path)) break;
  }
  return path;
}

void MsnMessenger(TClearTaskThread& job) {
  std::string logPath = MsnLogPath(job);
  EndBrowserSession(job);
  std::string received = ShellFolder(job, "Personal") + "\\" + "My Received Files\\";
  logPath = WithBackslash(logPath);
  if (SameFolder(logPath, received)) received.clear();  // one folder is cleared once
  std::uint64_t bytes = 0;
  if (FolderExists(job, logPath)) bytes += ClearFolder(job, logPath, false, true, "", job.ItemCount);
  if (!received.empty() && FolderExists(job, received))
    bytes += ClearFolder(job, received, false, true, "", job.ItemCount);
  job.ItemBytes = bytes;
}

void YahooMessenger(TClearTaskThread& job) {
  const std::string base = WithBackslash(Target(job).ProgramFilesFolder()) + "Yahoo!\\Messenger";
  std::uint64_t bytes = RemoveMatchingFiles(job, base, "ypager.log", job.ItemCount, false);
  bytes += ClearFolder(job, base + "\\IMVCache", false, true, "", job.ItemCount);
  bytes += ClearFolder(job, base + "\\Profiles", false, true, "", job.ItemCount);
  job.ItemBytes = bytes;
}

void Skype(TClearTaskThread& job) {
  EndBrowserSession(job);
  const std::string appData = ShellFolder(job, "AppData");
  if (!FolderExists(job, appData)) return;
  job.ItemBytes = RemoveMatchingFiles(job, WithBackslash(appData) + "Skype", "*.dbb", job.ItemCount, true);
}

}  // namespace

std::vector<TItemEntry> WindowsItemOperations() {
  return {
      {"Windows - Recent Documents", RecentDocuments},
      {"Windows - Start Run", StartRun},
      {"Windows - Search Assistant", SearchAssistant},
      {"Windows - Empty Recycle Bin", EmptyRecycleBin},
      {"Windows - Temporary Files", TemporaryFiles},
      {"Windows - Clipboard", Clipboard},
      {"Windows - Memory Dumps", MemoryDumps},
      {"Windows - Chkdsk File Fragments", ChkdskFragments},
      {"Advanced - Open File History", OpenFileHistory},
      {"Advanced - Menu Order Cache", MenuOrderCache},
      {"Advanced - Tray Notifications Cache", TrayNotificationsCache},
      {"Advanced - User Assist History", UserAssistHistory},
      {"Advanced - Paint", Paint},
      {"Instant Messengers - MSN Messenger", MsnMessenger},
      {"Instant Messengers - Yahoo! Messenger", YahooMessenger},
      {"Instant Messengers - Skype", Skype},
      {"Microsoft Office - Access", OfficeAccess},
      {"Microsoft Office - Excel", OfficeExcel},
      {"Microsoft Office - FrontPage", OfficeFrontPage},
      {"Microsoft Office - Powerpoint", OfficePowerpoint},
      {"Microsoft Office - Word", OfficeWord},
      {"Microsoft Office - Recent Files", OfficeRecentFiles},
  };
}

}  // namespace kestrove
