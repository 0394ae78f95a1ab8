// Definition files: qvtk.dat (shipped) and Custom.dat (the user's own list) describe clean
// items as lines of registry keys, values, folders and file patterns to remove.
#include <unistd.h>

#include <cctype>
#include <optional>

#include "app/Helpers.h"
#include "platform/Text.h"
#include "app/IniFile.h"
#include "cleaner/FileRemoval.h"
#include "cleaner/ItemOperations.h"
#include "cleaner/RegistryRemoval.h"
#include "cleaner/SystemFolders.h"
#include "platform/FileServices.h"
#include "platform/TRegistry.h"

namespace kestrove {

namespace {

constexpr const char* kNotAdministrator = "You must have administrators user.";

std::string ReadValue(TargetSystem& target, TRootKey root, const std::string& key, const std::string& name) {
  TRegistry reg(target.Registry());
  reg.SetRootKey(root);
  if (!reg.OpenKey(key, false)) return {};
  try {
    return reg.ReadString(name);
  } catch (const ERegistryException&) {
    return {};
  }
}

// The folders the placeholders of a definition stand for, read once per run.
struct TPlaceholders {
  std::string ProgramFiles, Windows, LocalAppData, CurrentAppData, CommonAppData;

  explicit TPlaceholders(TargetSystem& target) {
    const std::string shellFolders = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
    ProgramFiles = ReadValue(target, HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion", "ProgramFilesDir");
    Windows = target.WindowsFolder();
    LocalAppData = ReadValue(target, HKEY_CURRENT_USER, shellFolders, "Local AppData");
    CurrentAppData = ReadValue(target, HKEY_CURRENT_USER, shellFolders, "AppData");
    CommonAppData = ReadValue(target, HKEY_LOCAL_MACHINE, shellFolders, "Common AppData");
  }

  std::string Resolve(const std::string& base) const {
    if (base == "%ProgramFiles%") return ProgramFiles;
    if (base == "%windir%") return Windows;
    if (base == "{Local AppData}") return LocalAppData;
    if (base == "{Current AppData}") return CurrentAppData;
    if (base == "{Common AppData}") return CommonAppData;
    if (base == "{C: Drive}") return "C:\\";
    return base;
  }
};

// The folders a folder path of the shipped definitions names. Windows allows no "*" in a
// folder name, so there a "*" within a name of the path can only be a pattern: it stands for
// each subfolder whose name it takes, as file patterns take file names. Browsers keep one
// folder per profile under a random name (Firefox's "x1y2z3.default-release") or a numbered
// one ("Profile 3"), and a list of fixed names would miss the next one. Only real folders
// are taken: a link is not followed to find more places. The text before `from` (the base)
// is taken as written.
void ExpandFolderPattern(TargetSystem& target, const std::string& path, std::size_t from,
                         std::vector<std::string>& out) {
  const std::size_t star = path.find('*', from);
  if (star == std::string::npos) {
    out.push_back(path);
    return;
  }
  const std::size_t slash = path.rfind('\\', star);
  const std::size_t start = slash == std::string::npos ? 0 : slash + 1;
  const std::size_t end = path.find('\\', star);
  const std::string parent = path.substr(0, start);
  const std::string pattern = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
  const std::string tail = end == std::string::npos ? std::string() : path.substr(end);
  auto opened = OpenTargetFolder(target, parent);
  if (!opened) return;
  for (const TFolderEntry& e : ListFolder(*opened->Ops, opened->Fd.Get()))
    if (e.Kind == TEntryKind::Folder && NameMatchesPattern(pattern, e.Name))
      ExpandFolderPattern(target, parent + e.Name + tail, start + e.Name.size(), out);
}

// A file line's value: the folder it names, with the placeholder of its base resolved, and
// the pattern after the first "," when it has one.
struct TFileLine {
  std::size_t BaseLength = 0;  // of Folder: the resolved base with its backslash
  std::string Folder;
  std::optional<std::string> Pattern;
};

TFileLine ParseFileLine(const TPlaceholders& placeholders, const std::string& value) {
  const std::size_t slash = value.find('\\');
  const std::string base = placeholders.Resolve(slash == std::string::npos ? value : value.substr(0, slash));
  const std::string rest = slash == std::string::npos ? std::string() : value.substr(slash + 1);
  const std::size_t comma = rest.find(',');
  TFileLine out;
  out.BaseLength = WithBackslash(base).size();
  out.Folder = WithBackslash(base) + rest.substr(0, comma);
  if (comma != std::string::npos) out.Pattern = rest.substr(comma + 1);
  return out;
}

// Files of a kind may go from any folder; every file of a system folder may not.
bool EveryFile(const std::string& pattern) { return pattern == "*" || pattern == "*.*"; }

}  // namespace

std::optional<std::string> DefinitionLineRefusal(TargetSystem& target, const std::string& line) {
  const std::size_t eq = line.find('=');
  if (eq == std::string::npos) return std::nullopt;
  const std::string value = line.substr(eq + 1);
  if (line.find("DelRegValue") != std::string::npos) {
    const std::size_t slash = value.find('\\');
    const std::string rest = slash == std::string::npos ? std::string() : value.substr(slash + 1);
    const std::size_t comma = rest.find(',');
    // One value is never refused; a key removed or emptied may be.
    if (slash != std::string::npos && (comma == std::string::npos || comma + 1 == rest.size())) {
      if (auto why = RegistryKeyRefusal(*target.Registry(), UpperCase(value.substr(0, slash)), rest.substr(0, comma)))
        return why;
    }
  }
  if (line.find("DelFile") != std::string::npos) {
    const TFileLine file = ParseFileLine(TPlaceholders(target), value);
    if (!file.Pattern || EveryFile(*file.Pattern)) return TSystemFolders(target).ClearRefusal(file.Folder);
  }
  return std::nullopt;
}

// Administrators may write HKEY_LOCAL_MACHINE; here that is whoever may write its hive file.
bool IsAdministrator(TargetSystem& target) {
  const std::filesystem::path hive = target.Folder() / "system.reg";
  if (!std::filesystem::exists(hive)) return true;  // a target without a hive file on disk
  return ::access(hive.c_str(), W_OK) == 0;
}

// The section of an item: the part of its name after the first "-" and the blank after it.
std::string DefinitionSectionName(const std::string& itemName) {
  std::size_t dash = itemName.find('-');
  if (dash == std::string::npos) return itemName;
  std::size_t start = dash + 1;
  if (start < itemName.size() && itemName[start] == ' ') ++start;
  return itemName.substr(start);
}

void RunDefinition(TClearTaskThread& job, const std::string& fileName, const std::string& itemName) {
  TargetSystem& target = *job.Context().Target;
  const TPlaceholders placeholders(target);
  TIniFile file(job.Context().ProgramFolder + fileName);
  const std::vector<std::string> lines = file.ReadSectionLines(DefinitionSectionName(itemName));
  bool warned = false;
  std::uint64_t bytes = 0;
  std::optional<TSystemFolders> systemFolders;  // read at the first file line
  // Folder patterns only in the shipped file: a user's own list keeps every line it had
  // meaning exactly what it meant, and a stray "*" typed there stays a name that finds
  // nothing instead of becoming a sweep over many folders.
  const bool folderPatterns = fileName == "qvtk.dat";
  for (const std::string& line : lines) {
    if (job.Terminated()) break;
    const std::size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string value = line.substr(eq + 1);

    if (line.find("DelRegValue") != std::string::npos) {
      const std::size_t slash = value.find('\\');
      if (slash != std::string::npos) {
        const std::string rootName = UpperCase(value.substr(0, slash));
        const std::string rest = value.substr(slash + 1);
        const std::size_t comma = rest.find(',');
        if (comma == std::string::npos) {
          job.ItemCount += RemoveKey(job, rootName, rest);
        } else {
          const std::string key = rest.substr(0, comma);
          const std::string valueName = rest.substr(comma + 1);
          if (rootName != "HKEY_LOCAL_MACHINE") {
            job.ItemCount += RemoveValues(job, rootName, key, valueName);
          } else {
            const int version = target.WindowsVersion();
            const bool family9x = (version >= 1 && version <= 4) || version == 8;
            if (family9x || IsAdministrator(target)) {
              job.ItemCount += RemoveValues(job, rootName, key, valueName);
            } else if (!warned) {
              if (job.Mode() != DirectClean) job.Prompt().Ask({"", kNotAdministrator, TMsgButtons::Ok, TMsgIcon::None});
              warned = true;
            }
          }
        }
      }
    }

    if (line.find("DelFile") != std::string::npos) {
      const TFileLine file = ParseFileLine(placeholders, value);
      if (!systemFolders) systemFolders.emplace(target);
      std::vector<std::string> folders;
      if (folderPatterns && file.Folder.find('*', file.BaseLength) != std::string::npos)
        ExpandFolderPattern(target, file.Folder, file.BaseLength, folders);
      else
        folders.push_back(file.Folder);
      for (const std::string& folder : folders) {
        if (job.Terminated()) break;
        if (!file.Pattern) {
          if (auto why = systemFolders->ClearRefusal(folder)) {
            job.LogLine(RefusedLine(job.LinePrefix, folder, *why));
            continue;
          }
          bytes += ClearFolder(job, folder, true, true, "", job.ItemCount);
        } else {
          const std::string& pattern = *file.Pattern;
          if (EveryFile(pattern)) {
            if (auto why = systemFolders->ClearRefusal(folder)) {
              job.LogLine(RefusedLine(job.LinePrefix, folder, *why));
              continue;
            }
          }
          bytes += RemoveMatchingFiles(job, folder, pattern, job.ItemCount, false);
        }
      }
    }
  }
  job.ItemBytes = bytes;
  job.ItemSizeText = SizeToKBText(bytes);
}

}  // namespace kestrove
