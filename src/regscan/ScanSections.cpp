// The scan sections that report registry entries naming files or folders that are gone.
#include <algorithm>
#include <cstring>
#include <set>
#include <system_error>
#include <unordered_set>

#include "app/Helpers.h"
#include "platform/Text.h"
#include "platform/TRegistry.h"
#include "platform/PathResolver.h"
#include "regscan/ScanTaskThread.h"
#include "regscan/ShellLink.h"

namespace kestrove {

namespace fs = std::filesystem;

namespace {

constexpr int kMaxFolderDepth = 64;
constexpr int kMaxKeyDepth = 512;

const char kSharedDllsKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\SharedDlls";
const char kHelpKey[] = "Software\\Microsoft\\Windows\\Help";
const char kHtmlHelpKey[] = "Software\\Microsoft\\Windows\\Html Help";
const char kStartupRegKey[] = "Software\\Microsoft\\Shared Tools\\MSConfig\\startupreg";
const char kServicesKey[] = "SYSTEM\\CurrentControlSet\\Services";
const char kSoundSchemesKey[] = "AppEvents\\Schemes\\Apps";
const char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const char kInstallerFoldersKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\Folders";
const char kApplicationsKey[] = "Software\\Classes\\Applications";
const char kOpenSaveMruKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\ComDlg32\\OpenSaveMRU";
const char kUserAssistCountKey[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\UserAssist\\{75048700-EF1F-11D0-9888-006097DEACF9}\\Count";


}  // namespace

// Shared DLLs: every counter value names a file; report it when it is gone or its count
// has dropped to zero.
void TScanTaskThread::ScanSharedDlls() {
  TPathRules& rules = Rules();
  for (const std::string& key : KeyViews(HKEY_LOCAL_MACHINE, kSharedDllsKey)) {
    auto values = store_.Values(HKEY_LOCAL_MACHINE, key);
    if (!values) continue;
    SetKeyMemo(key);
    for (const RegValue& v : *values) {
      if (Terminated()) return;
      if (v.type != REG_DWORD || v.data.size() > 4) continue;
      std::uint32_t count = 0;
      std::memcpy(&count, v.data.data(), v.data.size());
      if (rules.FloppyRule(v.name) || rules.IsMissingPath(v.name, "", false) || count == 0) {
        AddRow(problem::kSharedDlls, v.name, "HKEY_LOCAL_MACHINE\\" + key, TLocationKind::lkDataValue);
      }
    }
  }
}

// Fonts: a font value names a file in the Fonts folder by its name alone, or a full path.
void TScanTaskThread::ScanFonts() {
  const std::string fontsFolder = target_.ShellFolder("Fonts").value_or(target_.WindowsFolder() + "\\Fonts");
  std::unordered_set<std::string> fontFiles;
  if (auto host = target_.HostPath(fontsFolder)) {
    std::error_code ec;
    for (fs::directory_iterator it(*host, ec), end; !ec && it != end; it.increment(ec)) {
      if (Terminated()) return;
      std::error_code sec;
      if (it->is_directory(sec)) continue;
      fontFiles.insert(FoldName(it->path().filename().string()));
    }
  }
  const std::uint8_t version = target_.WindowsVersion();
  const bool win9x = (version >= 1 && version <= 4) || version == 8;
  const std::string key = win9x ? "Software\\Microsoft\\Windows\\CurrentVersion\\Fonts"
                                : "Software\\Microsoft\\Windows NT\\CurrentVersion\\Fonts";
  TPathRules& rules = Rules();
  for (const std::string& view : KeyViews(HKEY_LOCAL_MACHINE, key)) {
    auto values = store_.Values(HKEY_LOCAL_MACHINE, view);
    if (!values) continue;
    SetKeyMemo(view);
    for (const RegValue& v : *values) {
      if (Terminated()) return;
      auto file = RegStringData(v);
      if (!file) continue;
      bool report = rules.FloppyRule(*file);
      if (!report) {
        if (fontFiles.count(FoldName(*file))) continue;
        report = rules.IsMissingPath(*file, "", false);
      }
      if (report) AddValueRow(problem::kFonts, HKEY_LOCAL_MACHINE, view, v.name, *file);
    }
  }
}

// Help files: each value's name is a help file, its data the folder that holds it.
void TScanTaskThread::ScanHelpFiles() {
  TPathRules& rules = Rules();
  std::vector<std::string> keys;
  for (const char* key : {kHelpKey, kHtmlHelpKey}) {
    for (std::string& view : KeyViews(HKEY_LOCAL_MACHINE, key)) keys.push_back(std::move(view));
  }
  for (const std::string& key : keys) {
    auto values = store_.Values(HKEY_LOCAL_MACHINE, key);
    if (!values) continue;
    SetKeyMemo(key);
    const std::string location = "HKEY_LOCAL_MACHINE\\" + key;
    for (const RegValue& v : *values) {
      if (Terminated()) return;
      auto folder = RegStringData(v);
      if (!folder) continue;
      std::string text = *folder;
      if (!text.empty() && text.back() != '\\') text += '\\';
      text += v.name;
      if (!rules.FloppyRule(text) && !rules.IsMissingPath(text, "", false)) continue;
      if (v.name.find('\\') != std::string::npos) {
        AddRow(problem::kHelpFiles, v.name, location, TLocationKind::lkDataValue);
      } else {
        AddRow(problem::kHelpFiles, text, location + "\\" + v.name, TLocationKind::lkPathValue);
      }
    }
  }
}

// Startup: programs started at logon, and the entries MSConfig keeps of the ones it
// switched off.
void TScanTaskThread::ScanStartup() {
  TPathRules& rules = Rules();
  const std::pair<TRootKey, const char*> runKeys[] = {
      {HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\Run"},
      {HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce"},
      {HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\Run"},
      {HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce"},
  };
  for (const auto& [root, runKey] : runKeys) {
    for (const std::string& key : KeyViews(root, runKey)) {
      auto values = store_.Values(root, key);
      if (!values) continue;
      SetKeyMemo(key);
      for (const RegValue& v : *values) {
        if (Terminated()) return;
        auto command = RegStringData(v);
        if (!command) continue;
        if (command->empty() || *command == "\"\"" || rules.IsMissingPath(*command, "", false)) {
          AddValueRow(problem::kStartup, root, key, v.name, *command);
        }
      }
    }
  }

  // An error here ends this step only.
  try {
    for (const std::string& key : KeyViews(HKEY_LOCAL_MACHINE, kStartupRegKey)) {
      auto names = store_.SubKeyNames(HKEY_LOCAL_MACHINE, key);
      if (!names) continue;
      for (const std::string& name : *names) {
        if (Terminated()) return;
        const std::string path = key + "\\" + name;
        SetKeyMemo(path);
        auto v = store_.QueryValue(HKEY_LOCAL_MACHINE, path, "command");
        if (!v) continue;
        auto command = RegStringData(*v);
        if (command && rules.IsMissingPath(*command, "", false)) {
          AddRow(problem::kStartup, *command, "HKEY_LOCAL_MACHINE\\" + path, TLocationKind::lkKey);
        }
      }
    }
  } catch (const std::exception&) {
  }
}

// Custom controls, first step: COM server paths. The whole-machine walk covers them when it
// is selected.
void TScanTaskThread::ScanCustomControls() {
  if (SectionSelected(5)) return;
  for (const std::string& key : KeyViews(HKEY_CLASSES_ROOT, "CLSID")) {
    if (Terminated()) return;
    WalkDefaultValues(HKEY_CLASSES_ROOT, key);
  }
}

// Windows services: the program file each service runs.
void TScanTaskThread::ScanServices() {
  auto names = store_.SubKeyNames(HKEY_LOCAL_MACHINE, kServicesKey);
  if (!names) return;
  TPathRules& rules = Rules();
  for (const std::string& name : *names) {
    if (Terminated()) return;
    // The software licensing service keeps a path the scan must leave alone.
    if (AsciiContainsNoCase(name, "SLSVC")) continue;
    const std::string path = std::string(kServicesKey) + "\\" + name;
    SetKeyMemo(path);
    auto v = store_.QueryValue(HKEY_LOCAL_MACHINE, path, "ImagePath");
    if (!v) continue;
    auto image = RegStringData(*v);
    if (!image) continue;
    if (rules.IsMissingPath(*image, "", true)) {
      AddRow(problem::kService, *image, "HKEY_LOCAL_MACHINE\\" + path + "\\ImagePath", TLocationKind::lkPathValue);
    }
  }
}

// Shortcuts: .lnk files in the Start Menus, on the Desktops, in Application Data and Recent.
void TScanTaskThread::ScanShortcuts() {
  if (!environment_) environment_ = target_.Environment();
  const char* const folders[] = {"Common Start Menu", "Common Desktop", "AppData", "Recent", "Start Menu", "Desktop"};
  std::error_code pec;
  const fs::path prefix = fs::weakly_canonical(target_.Folder(), pec);
  for (const char* name : folders) {
    if (Terminated()) return;
    auto folder = target_.ShellFolder(name);
    if (!folder || folder->empty()) continue;
    auto host = target_.HostPath(*folder);
    if (!host) continue;
    std::string windowsFolder = *folder;
    while (!windowsFolder.empty() && windowsFolder.back() == '\\') windowsFolder.pop_back();
    // A folder that leads out of the Windows system (Wine links the Desktop to the user's
    // Linux home) holds the shortcuts put there at its top level; below it lies the user's
    // own tree, which is no part of the system and may be of any size. Only the top level is
    // read, so a scan costs the same however large the home folder is.
    std::error_code hec;
    const fs::path real = fs::weakly_canonical(*host, hec);
    const auto rel = real.lexically_relative(prefix);
    const bool inside = !pec && !hec && !rel.empty() && *rel.begin() != "..";
    WalkShortcutFolder(windowsFolder, *host, inside ? 0 : kMaxFolderDepth);
  }
  examinedShortcuts_.clear();
}

void TScanTaskThread::WalkShortcutFolder(const std::string& windowsFolder, const fs::path& hostFolder, int depth) {
  if (Terminated() || depth > kMaxFolderDepth) return;
  struct Entry {
    std::string name;
    bool folder;
  };
  std::vector<Entry> entries;
  std::error_code ec;
  for (fs::directory_iterator it(hostFolder, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code sec;
    // A link to a folder is not followed: it could lead back up the tree.
    const bool folder = it->is_directory(sec) && !it->is_symlink(sec);
    entries.push_back({it->path().filename().string(), folder});
  }
  // The order the system lists a folder in: by name, without regard to case.
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    return CompareNames(a.name, b.name) < 0;
  });
  TPathRules& rules = Rules();
  for (const Entry& e : entries) {
    if (Terminated()) return;
    const std::string windowsPath = windowsFolder + "\\" + e.name;
    if (e.folder) {
      WalkShortcutFolder(windowsPath, hostFolder / e.name, depth + 1);
      continue;
    }
    const std::size_t dot = e.name.rfind('.');
    if (dot == std::string::npos || AsciiLower(e.name.substr(dot)) != ".lnk") continue;
    // The folders overlap on newer systems (Recent and the Start Menu lie inside
    // Application Data): a shortcut is examined, and reported, once.
    std::error_code cec;
    const fs::path canonical = fs::weakly_canonical(hostFolder / e.name, cec);
    if (!examinedShortcuts_.insert(cec ? (hostFolder / e.name).string() : canonical.string()).second) continue;
    SetKeyMemo(windowsPath);
    const std::string target = ResolveShortcutTarget(hostFolder / e.name, *environment_);
    if (target.empty()) continue;
    if (IsWow64 && (AsciiContainsNoCase(target, "system32") || AsciiContainsNoCase(target, "ProgramFiles") ||
                    AsciiContainsNoCase(target, "Program Files")))
      continue;
    if (!rules.OnScanDrive(target) || target.find(":\\") != 1) continue;
    if (rules.FloppyRule(target) ||
        (rules.IsMissingPath(target, "", false) && !rules.Probe().DirectoryExists(target))) {
      AddRow(problem::kShortcut, target, windowsPath, TLocationKind::lkShortcutFile);
    }
  }
}

// Sound events: the current and default sound of every event of every application.
void TScanTaskThread::ScanSoundEvents() {
  if (!store_.KeyExists(HKEY_CURRENT_USER, kSoundSchemesKey)) return;
  WalkSoundSchemes(kSoundSchemesKey, 0);
}

void TScanTaskThread::WalkSoundSchemes(const std::string& path, int depth) {
  if (Terminated() || depth > kMaxKeyDepth) return;
  auto names = store_.SubKeyNames(HKEY_CURRENT_USER, path);
  if (!names) return;
  for (const std::string& name : *names) {
    if (Terminated()) return;
    const std::string child = path + "\\" + name;
    if (store_.IsLink(HKEY_CURRENT_USER, child)) continue;
    const std::string lower = AsciiLower(name);
    if (lower == ".current" || lower == ".default" || lower == "utopia0") {
      if (auto v = store_.QueryValue(HKEY_CURRENT_USER, child, "")) {
        if (auto file = RegStringData(*v)) {
          SetKeyMemo(child);
          if (Rules().IsMissingPath(*file, "", false)) {
            AddRow(problem::kSoundFile, *file, "HKEY_CURRENT_USER\\" + child, TLocationKind::lkDefaultValue);
          }
        }
      }
    }
    WalkSoundSchemes(child, depth + 1);
  }
}

// Invalid ActiveX, first step: type library files. The whole-machine walk covers them when
// it is selected.
void TScanTaskThread::ScanActiveX() {
  if (SectionSelected(5)) return;
  for (const std::string& key : KeyViews(HKEY_CLASSES_ROOT, "TypeLib")) {
    if (Terminated()) return;
    WalkValues(HKEY_CLASSES_ROOT, key, problem::kActiveX, ".dll");
  }
}

// Installer, first two steps: the programs named by uninstall entries, and the folders
// Windows Installer keeps a count of.
void TScanTaskThread::ScanInstaller() {
  for (const std::string& key : KeyViews(HKEY_LOCAL_MACHINE, kUninstallKey)) {
    if (Terminated()) return;
    WalkValues(HKEY_LOCAL_MACHINE, key, problem::kInstaller, ".exe");
  }
  TPathRules& rules = Rules();
  for (const std::string& key : KeyViews(HKEY_LOCAL_MACHINE, kInstallerFoldersKey)) {
    if (Terminated()) return;
    auto names = store_.ValueNames(HKEY_LOCAL_MACHINE, key);
    if (!names) continue;
    SetKeyMemo(key);
    for (const std::string& name : *names) {
      if (Terminated()) return;
      if (rules.IsMissingPath(name, "", true)) {
        AddRow(problem::kInstaller, name, "HKEY_LOCAL_MACHINE\\" + key, TLocationKind::lkDataValue);
      }
    }
  }
}

// Applications: the commands of the "Open with" list.
void TScanTaskThread::ScanApplications() {
  // An error anywhere here ends this section only.
  try {
    TPathRules& rules = Rules();
    for (const std::string& base : KeyViews(HKEY_LOCAL_MACHINE, kApplicationsKey)) {
      auto names = store_.SubKeyNames(HKEY_LOCAL_MACHINE, base);
      if (!names) continue;
      for (const std::string& app : *names) {
        if (Terminated()) return;
        const std::string start = base + "\\" + app;
        SetKeyMemo(start);
        std::string lastFound;
        // Each search finds the command key after the last one; a key met twice (the registry
        // changed under the search) ends the search instead of going round for ever.
        std::set<std::string> seen;
        while (auto found = FindNextCommandKey(start, lastFound)) {
          if (Terminated()) return;
          const auto& [key, command] = *found;
          if (!seen.insert(key).second) break;
          if (command.empty() || rules.IsMissingPath(command, "", false)) {
            AddRow(problem::kOpenWith, command, "HKEY_LOCAL_MACHINE\\" + key + "\\command", TLocationKind::lkKey);
          }
          lastFound = key;
        }
      }
    }
  } catch (const std::exception&) {
  }
}

// MRU History Lists: the file dialogs' history and the programs UserAssist counts.
void TScanTaskThread::ScanMruLists() {
  TPathRules& rules = Rules();
  if (store_.KeyExists(HKEY_CURRENT_USER, kOpenSaveMruKey)) {
    SetKeyMemo(kOpenSaveMruKey);
    const std::vector<std::string> extensions =
        store_.SubKeyNames(HKEY_CURRENT_USER, kOpenSaveMruKey).value_or(std::vector<std::string>());
    auto values = store_.Values(HKEY_CURRENT_USER, kOpenSaveMruKey).value_or(std::vector<RegValue>());
    // A file is found when it is there as written, or with one of the listed extensions.
    auto exists = [&](const std::string& file) {
      return !rules.FloppyRule(file) && rules.Probe().FileExists(file);
    };
    for (const RegValue& v : values) {
      if (Terminated()) return;
      auto file = RegStringData(v);
      if (!file || file->find(":\\") != 1 || !rules.OnScanDrive(*file)) continue;
      bool found = exists(*file);
      for (const std::string& ext : extensions) {
        if (found) break;
        if (ext != "*") found = exists(*file + "." + ext);
      }
      if (!found) AddValueRow(problem::kMruLists, HKEY_CURRENT_USER, kOpenSaveMruKey, v.name, *file);
    }
    for (const std::string& ext : extensions) {
      if (Terminated()) return;
      WalkValues(HKEY_CURRENT_USER, std::string(kOpenSaveMruKey) + "\\" + ext, problem::kMruLists, "");
    }
  }

  // An error here ends this step only.
  try {
    auto values = store_.Values(HKEY_CURRENT_USER, kUserAssistCountKey);
    if (!values) return;
    SetKeyMemo(kUserAssistCountKey);
    for (const RegValue& v : *values) {
      if (Terminated()) return;
      const std::string name = ROT13(v.name);
      bool missing = false;
      if (name.find(".lnk") == std::string::npos) {
        if (const std::size_t colon = name.find(':'); colon != std::string::npos) {
          missing = rules.IsMissingPath(name.substr(colon + 1), "", true);
        }
      }
      // The run counter is the second 32-bit number. A shorter value has no counter at all:
      // only its path can make it a problem.
      bool unused = false;
      if (v.data.size() >= 8) {
        const std::uint32_t count = static_cast<std::uint32_t>(v.data[4]) | (static_cast<std::uint32_t>(v.data[5]) << 8) |
                                    (static_cast<std::uint32_t>(v.data[6]) << 16) |
                                    (static_cast<std::uint32_t>(v.data[7]) << 24);
        unused = count == 0;
      }
      if (unused || missing) {
        AddRow(problem::kMruLists, name, std::string("HKEY_CURRENT_USER\\") + kUserAssistCountKey,
               TLocationKind::lkEncodedDataValue);
      }
    }
  } catch (const std::exception&) {
  }
}

}  // namespace kestrove
