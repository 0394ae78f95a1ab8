#include "platform/regf/OfflineSample.h"

#include <fstream>
#include <functional>
#include <system_error>

#include "platform/RegistryTree.h"
#include "platform/TRegistry.h"
#include "platform/regf/OfflineWindowsTarget.h"
#include "platform/regf/RegfWriter.h"
#include "platform/wine/WineSample.h"

namespace kestrove::regf {

namespace fs = std::filesystem;
using wine::SampleError;

namespace {

constexpr const char* kUserShellFolders = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
constexpr const char* kShellFolders = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
constexpr const char* kProfileList = "Software\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";

// A hive file holding only its root, or the keys `fill` makes below it. The base block has room
// for the last 31 characters of the path Windows loaded the hive from.
void WriteNewHive(const fs::path& file, std::u16string nameInHeader,
                  const std::function<void(regtree::Node&)>& fill = nullptr) {
  regtree::Node root;
  regtree::Hive hive;
  hive.root = &root;
  hive.label = file.string();
  if (fill) fill(root);
  TRegfWriteOptions options;
  options.now = regtree::NowFileTime();
  if (nameInHeader.size() > 31) nameInHeader.erase(0, nameInHeader.size() - 31);
  options.fileName = nameInHeader;
  const std::string data = WriteRegfHive(hive, [](regtree::Node&) {}, options);
  std::error_code ec;
  fs::create_directories(file.parent_path(), ec);
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  out.close();
  if (!out) throw SampleError("Cannot write " + file.string());
}

regtree::Node* MakeKey(regtree::Node& root, std::string_view path) {
  regtree::Node* n = &root;
  std::size_t start = 0;
  bool created = false;
  while (start < path.size()) {
    std::size_t end = path.find('\\', start);
    if (end == std::string_view::npos) end = path.size();
    n = n->FindOrAdd(path.substr(start, end - start), created);
    start = end + 1;
  }
  return n;
}

// Every key and value below `fromPath` of one store into another, links and the keys `skip`
// names (by their path in `from`) left out.
void CopyTree(RegistryStore& from, TRootKey fromRoot, const std::string& fromPath, RegistryStore& to, TRootKey toRoot,
              const std::string& toPath, const std::function<bool(const std::string&)>& skip) {
  std::vector<std::pair<std::string, std::string>> pending{{fromPath, toPath}};
  while (!pending.empty()) {
    auto [src, dst] = std::move(pending.back());
    pending.pop_back();
    if (!to.CreateKey(toRoot, dst)) throw SampleError("Cannot create the key " + dst);
    if (auto values = from.Values(fromRoot, src))
      for (const RegValue& v : *values) to.SetValue(toRoot, dst, v.name, v.type, v.data);
    if (auto names = from.SubKeyNames(fromRoot, src)) {
      for (const std::string& name : *names) {
        const std::string child = src.empty() ? name : src + "\\" + name;
        if (from.IsLink(fromRoot, child) || skip(child)) continue;
        pending.emplace_back(child, dst.empty() ? name : dst + "\\" + name);
      }
    }
  }
}

void SetString(RegistryStore& store, TRootKey root, const std::string& key, const std::string& name,
               const std::string& value, std::uint32_t type = REG_SZ) {
  store.CreateKey(root, key);
  store.SetValue(root, key, name, type, Utf8ToUtf16Le(value, true));
}

void SetDword(RegistryStore& store, TRootKey root, const std::string& key, const std::string& name, std::uint32_t v) {
  store.CreateKey(root, key);
  store.SetValue(root, key, name, REG_DWORD,
                 Bytes{static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                       static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)});
}

// What makes the copied keys a Windows 7 system of the sample's user: its version, folders,
// profile and environment as Windows 7 sets them.
void MakeWindows7(RegistryStore& s) {
  const TRootKey lm = HKEY_LOCAL_MACHINE, cu = HKEY_CURRENT_USER;
  const std::string nt = "Software\\Microsoft\\Windows NT\\CurrentVersion";
  for (auto [name, value] : {std::pair{"CurrentVersion", "6.1"}, {"CurrentBuild", "7601"},
                             {"CurrentBuildNumber", "7601"}, {"ProductName", "Windows 7 Professional"},
                             {"CSDVersion", "Service Pack 1"}, {"EditionID", "Professional"},
                             {"SystemRoot", "C:\\Windows"}, {"RegisteredOwner", kOfflineSampleUser}})
    SetString(s, lm, nt, name, value);
  for (const char* gone : {"CurrentMajorVersionNumber", "CurrentMinorVersionNumber", "ReleaseId", "DisplayVersion"})
    s.DeleteValue(lm, nt, gone);
  const std::string cv = "Software\\Microsoft\\Windows\\CurrentVersion";
  for (auto [name, value] : {std::pair{"ProgramFilesDir", "C:\\Program Files"},
                             {"ProgramFilesDir (x86)", "C:\\Program Files (x86)"},
                             {"CommonFilesDir", "C:\\Program Files\\Common Files"},
                             {"CommonFilesDir (x86)", "C:\\Program Files (x86)\\Common Files"},
                             {"ProgramW6432Dir", "C:\\Program Files"}, {"SystemRoot", "C:\\Windows"}})
    SetString(s, lm, cv, name, value);

  // Profiles: the sample's user, and where Windows 7 keeps the shared ones.
  s.DeleteKey(lm, kProfileList);
  SetString(s, lm, kProfileList, "ProfilesDirectory", "%SystemDrive%\\Users", REG_EXPAND_SZ);
  SetString(s, lm, kProfileList, "ProgramData", "%SystemDrive%\\ProgramData", REG_EXPAND_SZ);
  SetString(s, lm, kProfileList, "Public", "%SystemDrive%\\Users\\Public", REG_EXPAND_SZ);
  SetString(s, lm, kProfileList, "Default", "%SystemDrive%\\Users\\Default", REG_EXPAND_SZ);
  const std::string me = std::string(kProfileList) + "\\" + kOfflineSampleSid;
  SetString(s, lm, me, "ProfileImagePath", std::string("C:\\Users\\") + kOfflineSampleUser, REG_EXPAND_SZ);
  SetDword(s, lm, me, "Flags", 0);
  SetDword(s, lm, me, "State", 0);
  SetString(s, lm, std::string(kProfileList) + "\\S-1-5-18", "ProfileImagePath",
            "%systemroot%\\system32\\config\\systemprofile", REG_EXPAND_SZ);

  // The user's folders as Windows 7 names them; Explorer writes the expanded copy itself.
  s.DeleteKey(cu, kShellFolders);
  s.DeleteKey(cu, kUserShellFolders);
  for (auto [name, value] :
       {std::pair{"AppData", "%USERPROFILE%\\AppData\\Roaming"}, {"Cache", "%USERPROFILE%\\AppData\\Local\\Microsoft\\Windows\\Temporary Internet Files"},
        {"Cookies", "%USERPROFILE%\\AppData\\Roaming\\Microsoft\\Windows\\Cookies"},
        {"Desktop", "%USERPROFILE%\\Desktop"}, {"Favorites", "%USERPROFILE%\\Favorites"},
        {"History", "%USERPROFILE%\\AppData\\Local\\Microsoft\\Windows\\History"},
        {"Local AppData", "%USERPROFILE%\\AppData\\Local"}, {"My Music", "%USERPROFILE%\\Music"},
        {"My Pictures", "%USERPROFILE%\\Pictures"}, {"My Video", "%USERPROFILE%\\Videos"},
        {"NetHood", "%USERPROFILE%\\AppData\\Roaming\\Microsoft\\Windows\\Network Shortcuts"},
        {"Personal", "%USERPROFILE%\\Documents"},
        {"PrintHood", "%USERPROFILE%\\AppData\\Roaming\\Microsoft\\Windows\\Printer Shortcuts"},
        {"Programs", "%USERPROFILE%\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs"},
        {"Recent", "%USERPROFILE%\\AppData\\Roaming\\Microsoft\\Windows\\Recent"},
        {"SendTo", "%USERPROFILE%\\AppData\\Roaming\\Microsoft\\Windows\\SendTo"},
        {"Start Menu", "%USERPROFILE%\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu"},
        {"Startup", "%USERPROFILE%\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs\\Startup"},
        {"Templates", "%USERPROFILE%\\AppData\\Roaming\\Microsoft\\Windows\\Templates"}})
    SetString(s, cu, kUserShellFolders, name, value, REG_EXPAND_SZ);
  s.DeleteKey(lm, kShellFolders);
  s.DeleteKey(lm, kUserShellFolders);
  for (auto [name, value] :
       {std::pair{"Common AppData", "%ProgramData%"}, {"Common Desktop", "%PUBLIC%\\Desktop"},
        {"Common Documents", "%PUBLIC%\\Documents"},
        {"Common Programs", "%ProgramData%\\Microsoft\\Windows\\Start Menu\\Programs"},
        {"Common Start Menu", "%ProgramData%\\Microsoft\\Windows\\Start Menu"},
        {"Common Startup", "%ProgramData%\\Microsoft\\Windows\\Start Menu\\Programs\\Startup"}})
    SetString(s, lm, kUserShellFolders, name, value, REG_EXPAND_SZ);

  s.DeleteKey(cu, "Environment");
  SetString(s, cu, "Environment", "TEMP", "%USERPROFILE%\\AppData\\Local\\Temp", REG_EXPAND_SZ);
  SetString(s, cu, "Environment", "TMP", "%USERPROFILE%\\AppData\\Local\\Temp", REG_EXPAND_SZ);
  s.DeleteKey(cu, "Volatile Environment");  // made at each logon

  // The control set Windows boots from and the names Windows gives the machine.
  SetDword(s, lm, "System\\Select", "Current", 1);
  SetDword(s, lm, "System\\Select", "Default", 1);
  SetDword(s, lm, "System\\Select", "LastKnownGood", 2);
  SetDword(s, lm, "System\\Select", "Failed", 0);
  const std::string env = "System\\ControlSet001\\Control\\Session Manager\\Environment";
  SetString(s, lm, env, "TEMP", "%SystemRoot%\\TEMP", REG_EXPAND_SZ);
  SetString(s, lm, env, "TMP", "%SystemRoot%\\TEMP", REG_EXPAND_SZ);
  SetString(s, lm, env, "windir", "%SystemRoot%", REG_EXPAND_SZ);
  SetString(s, lm, env, "Path", "%SystemRoot%\\system32;%SystemRoot%;%SystemRoot%\\System32\\Wbem", REG_EXPAND_SZ);
  SetString(s, lm, "System\\ControlSet001\\Control\\ComputerName\\ComputerName", "ComputerName", "ALICE-PC");
}

void Build(const fs::path& root, const fs::path& templateFolder) {
  const fs::path config = root / "Windows" / "System32" / "config";
  const fs::path profile = root / "Users" / kOfflineSampleUser;
  // The hives start empty but for the profile list, which says whose hive NTUSER.DAT is.
  WriteNewHive(config / "SOFTWARE", u"\\SystemRoot\\System32\\Config\\SOFTWARE", [](regtree::Node& r) {
    regtree::Node* me = MakeKey(r, std::string("Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\") + kOfflineSampleSid);
    me->values.push_back({"ProfileImagePath", REG_EXPAND_SZ,
                          Utf8ToUtf16Le(std::string("C:\\Users\\") + kOfflineSampleUser, true)});
  });
  // A control set and the choice of it, so that CurrentControlSet is the link Windows makes.
  WriteNewHive(config / "SYSTEM", u"\\SystemRoot\\System32\\Config\\SYSTEM", [](regtree::Node& r) {
    MakeKey(r, "ControlSet001");
    MakeKey(r, "Select")->values.push_back({"Current", REG_DWORD, Bytes{1, 0, 0, 0}});
  });
  WriteNewHive(config / "DEFAULT", u"\\SystemRoot\\System32\\Config\\DEFAULT");
  WriteNewHive(config / "SAM", u"\\SystemRoot\\System32\\Config\\SAM");
  WriteNewHive(config / "SECURITY", u"\\SystemRoot\\System32\\Config\\SECURITY");
  // "Software", so that its Classes is the link to the user's classes hive.
  WriteNewHive(profile / "NTUSER.DAT", u"\\??\\C:\\Users\\Alice\\ntuser.dat",
               [](regtree::Node& r) { MakeKey(r, "Software"); });
  WriteNewHive(profile / "AppData" / "Local" / "Microsoft" / "Windows" / "UsrClass.dat",
               u"\\??\\C:\\Users\\Alice\\AppData\\Local\\Microsoft\\Windows\\UsrClass.dat");

  auto target = OpenOfflineWindowsTarget(root, config, kOfflineSampleUser);
  RegistryStore& to = *target->Registry();
  auto from = RegistryStore::OpenWinePrefix(templateFolder);
  // Wine's own settings are no part of Windows; its control set is kept as the current one.
  auto notWine = [](const std::string& path) { return SameName(path, "Software\\Wine"); };
  CopyTree(*from, HKEY_LOCAL_MACHINE, "Software", to, HKEY_LOCAL_MACHINE, "Software", notWine);
  if (auto sets = from->SubKeyNames(HKEY_LOCAL_MACHINE, "System")) {
    for (const std::string& name : *sets) {
      const std::string dst = SameName(name, "CurrentControlSet") ? "ControlSet001" : name;
      if (!from->IsLink(HKEY_LOCAL_MACHINE, "System\\" + name))
        CopyTree(*from, HKEY_LOCAL_MACHINE, "System\\" + name, to, HKEY_LOCAL_MACHINE, "System\\" + dst, notWine);
    }
  }
  CopyTree(*from, HKEY_USERS, ".Default", to, HKEY_USERS, ".Default", notWine);
  CopyTree(*from, HKEY_CURRENT_USER, "", to, HKEY_CURRENT_USER, "", [](const std::string& path) {
    return SameName(path, "Software\\Wine") || SameName(path, "Software\\Classes");
  });
  MakeWindows7(to);
  target->Refresh();
  for (const char* folder : {"Windows/System32/drivers/etc", "Windows/Temp", "ProgramData", "Users/Public/Documents",
                             "Users/Default", "Program Files/Common Files", "Program Files (x86)/Common Files",
                             "Users/Alice/Contacts", "Users/Alice/Downloads", "Users/Alice/Links",
                             "Users/Alice/Saved Games", "Users/Alice/Searches", "Users/Alice/AppData/LocalLow"}) {
    std::error_code ec;
    fs::create_directories(root / folder, ec);
  }
  wine::AddSampleContent(*target, templateFolder);
  to.Commit();
}

}  // namespace

void WriteSampleOfflineWindows(const fs::path& folder, const fs::path& templateFolder) {
  wine::WriteSampleFolder(folder, templateFolder, [&](const fs::path& staging) { Build(staging, templateFolder); });
}

}  // namespace kestrove::regf
