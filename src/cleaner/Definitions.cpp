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

}  // namespace

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
      const std::size_t slash = value.find('\\');
      const std::string base = placeholders.Resolve(slash == std::string::npos ? value : value.substr(0, slash));
      const std::string rest = slash == std::string::npos ? std::string() : value.substr(slash + 1);
      const std::size_t comma = rest.find(',');
      if (!systemFolders) systemFolders.emplace(target);
      if (comma == std::string::npos) {
        const std::string folder = WithBackslash(base) + rest;
        if (auto why = systemFolders->ClearRefusal(folder)) {
          job.LogLine(RefusedLine(job.LinePrefix, folder, *why));
          continue;
        }
        bytes += ClearFolder(job, folder, true, true, "", job.ItemCount);
      } else {
        const std::string folder = WithBackslash(base) + rest.substr(0, comma);
        const std::string pattern = rest.substr(comma + 1);
        // Files of a kind may go from any folder; every file of a system folder may not.
        const bool everyFile = pattern == "*" || pattern == "*.*";
        if (everyFile) {
          if (auto why = systemFolders->ClearRefusal(folder)) {
            job.LogLine(RefusedLine(job.LinePrefix, folder, *why));
            continue;
          }
        }
        bytes += RemoveMatchingFiles(job, folder, pattern, job.ItemCount, false);
      }
    }
  }
  job.ItemBytes = bytes;
  job.ItemSizeText = SizeToKBText(bytes);
}

}  // namespace kestrove
