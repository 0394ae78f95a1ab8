#include "cleaner/SystemFolders.h"

#include "platform/PathResolver.h"
#include "platform/TRegistry.h"
#include "platform/Text.h"

namespace kestrove {

namespace {

bool IsBelow(const std::string& inner, const std::string& outer) {
  return inner.size() > outer.size() && inner.compare(0, outer.size(), outer) == 0;
}

bool IsDriveRootKey(const std::string& key) { return key.size() == 3 && key[1] == ':'; }

}  // namespace

std::string RefusedLine(const std::string& linePrefix, const std::string& what, const std::string& why) {
  return linePrefix + "skipped " + what + " (" + why + ")";
}

TSystemFolders::TSystemFolders(TargetSystem& target) {
  auto add = [](std::vector<TNamed>& to, const std::string& path, std::string what) {
    const std::string key = FolderCompareKey(path);
    if (!key.empty()) to.push_back({key, std::move(what)});
  };
  add(system_, target.UserProfileFolder(), "the user profile folder");
  add(system_, target.WindowsFolder(), "the Windows folder");
  add(system_, target.SystemFolder(), "the system folder");
  add(system_, target.ProgramFilesFolder(), "the program files folder");
  TRegistry reg(target.Registry());
  reg.SetRootKey(HKEY_LOCAL_MACHINE);
  if (reg.OpenKeyReadOnly("Software\\Microsoft\\Windows\\CurrentVersion")) {
    for (const char* name : {"ProgramFilesDir (x86)", "CommonFilesDir"}) {
      try {
        if (reg.ValueExists(name)) add(system_, reg.ReadString(name), "the program files folder");
      } catch (const ERegistryException&) {
      }
    }
  }
  for (const auto& [name, path] : target.ShellFolders()) add(shell_, path, "the folder " + path);
}

std::optional<std::string> TSystemFolders::SameAs(const std::string& key) const {
  if (IsDriveRootKey(key)) return std::string("it is the root of a drive");
  for (const TNamed& f : system_)
    if (f.Key == key) return "it is " + f.What;
  return std::nullopt;
}

std::optional<std::string> TSystemFolders::Holding(const std::string& key) const {
  for (const auto* list : {&system_, &shell_})
    for (const TNamed& f : *list)
      if (f.Key == key || IsBelow(f.Key, key)) return "it holds " + f.What;
  return std::nullopt;
}

std::optional<std::string> TSystemFolders::TempFolderRefusal(std::string_view folder) const {
  const std::string key = FolderCompareKey(folder);
  if (key.empty()) return std::string("it names no folder of the Windows system");
  if (auto why = SameAs(key)) return why;
  return Holding(key);
}

std::optional<std::string> TSystemFolders::ClearRefusal(std::string_view folder) const {
  const std::string key = FolderCompareKey(folder);
  if (key.empty() || IsDriveRootKey(key)) return std::nullopt;
  if (auto why = SameAs(key)) return why;
  for (const TNamed& f : system_)
    if (IsBelow(f.Key, key)) return "it holds " + f.What;
  return std::nullopt;
}

}  // namespace kestrove
