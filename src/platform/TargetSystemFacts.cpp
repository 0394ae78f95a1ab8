// What the target's own system derives from its registry: the version, the Windows and
// system folders, the environment of the user's programs and the shell folders.
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "platform/TRegistry.h"
#include "platform/TargetSystem.h"

namespace kestrove {

// ---- version classification --------------------------------------------------------------

std::uint8_t ClassifyWindowsVersion(std::uint32_t platformId, std::uint32_t major, std::uint32_t minor) {
  if (platformId == VER_PLATFORM_WIN32_WINDOWS) {
    if (major == 4 && minor == 0) return 1;
    if (major == 4 && minor == 10) return 3;
    if (major == 4 && minor == 90) return 8;
    return 10;
  }
  if (platformId == VER_PLATFORM_WIN32_NT) {
    switch (major) {
      case 3: return 5;
      case 4: return 6;
      case 5:
        if (minor == 1) return 9;
        if (minor == 2) return 10;
        return 7;  // 5.0 and 5.3 on
      case 6:
        if (minor == 1) return 12;
        return 11;  // 6.0 and 6.2 on
      default: return 10;
    }
  }
  // Win32s on Windows 3.x: no row of the classification fits.
  return 0;
}

std::string WindowsSystemName(const TWindowsVersionInfo& v) {
  switch (ClassifyWindowsVersion(v)) {
    case 1: return "Windows 95";
    case 3: return "Windows 98";
    case 8: return "Windows Me";
    case 5: return "NT 3.x";
    case 6: return "NT 4.0";
    case 7: return "Windows 2000";
    case 9: return "Windows XP";
    case 10: return v.platformId == VER_PLATFORM_WIN32_NT && v.major == 5 ? "Server 2003" : "";
    case 11: return "Vista";
    case 12: return "Windows 7";
    default: return "";
  }
}

// ---- environment variables -------------------------------------------------------------

void EnvironmentBlock::Set(std::string_view name, std::string value) {
  std::string key = FoldName(name);
  auto it = index_.find(key);
  if (it != index_.end()) {
    entries_[it->second].value = std::move(value);
    return;
  }
  index_.emplace(std::move(key), entries_.size());
  entries_.push_back({std::string(name), std::move(value)});
}

void EnvironmentBlock::Unset(std::string_view name) {
  auto it = index_.find(FoldName(name));
  if (it == index_.end()) return;
  const std::size_t pos = it->second;
  entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(pos));
  index_.erase(it);
  for (auto& [key, i] : index_) {
    if (i > pos) --i;
  }
}

std::optional<std::string> EnvironmentBlock::Get(std::string_view name) const {
  auto it = index_.find(FoldName(name));
  if (it == index_.end()) return std::nullopt;
  return entries_[it->second].value;
}

std::vector<std::pair<std::string, std::string>> EnvironmentBlock::List() const {
  std::vector<std::pair<std::string, std::string>> out;
  out.reserve(entries_.size());
  for (const Entry& e : entries_) out.emplace_back(e.name, e.value);
  return out;
}

std::string ExpandEnvironmentStrings(std::string_view text, const EnvironmentBlock& env) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t open = text.find('%', i);
    if (open == std::string_view::npos) {
      out.append(text.substr(i));
      break;
    }
    out.append(text.substr(i, open - i));
    const std::size_t close = text.find('%', open + 1);
    if (close == std::string_view::npos) {
      out.append(text.substr(open));  // a lone "%": the rest stays as written
      break;
    }
    const std::string_view name = text.substr(open + 1, close - open - 1);
    std::optional<std::string> value;
    if (!name.empty()) value = env.Get(name);
    if (value) {
      out.append(*value);
    } else {
      out.append(text.substr(open, close - open + 1));
    }
    i = close + 1;
  }
  return out;
}

// ---- reading the registry ----------------------------------------------------------------

namespace {

const char kNtCurrentVersion[] = "Software\\Microsoft\\Windows NT\\CurrentVersion";
const char kCurrentVersion[] = "Software\\Microsoft\\Windows\\CurrentVersion";
const char kProfileList[] = "Software\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
const char kSystemEnvironment[] = "System\\CurrentControlSet\\Control\\Session Manager\\Environment";
const char kShellFolders[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
const char kUserShellFolders[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";

struct StringValue {
  std::string name;
  std::uint32_t type = REG_SZ;
  std::string text;
};

std::string DecodeString(const RegValue& v) {
  std::string text = Utf16LeToUtf8(v.data);
  if (auto nul = text.find('\0'); nul != std::string::npos) text.resize(nul);
  return text;
}

// Reads values through the program's registry object, one short-lived object per read.
class Reader {
 public:
  explicit Reader(std::shared_ptr<RegistryStore> store) : store_(std::move(store)) {}

  std::optional<RegValue> Raw(TRootKey root, std::string_view key, std::string_view name) {
    TRegistry reg(store_);
    reg.SetRootKey(root);
    if (!reg.OpenKeyReadOnly(key)) return std::nullopt;
    return reg.ReadRaw(name);
  }

  // A string value (REG_SZ or REG_EXPAND_SZ); nullopt for other types.
  std::optional<StringValue> String(TRootKey root, std::string_view key, std::string_view name) {
    auto v = Raw(root, key, name);
    if (!v || (v->type != REG_SZ && v->type != REG_EXPAND_SZ)) return std::nullopt;
    return StringValue{v->name, v->type, DecodeString(*v)};
  }

  std::optional<std::uint32_t> Dword(TRootKey root, std::string_view key, std::string_view name) {
    auto v = Raw(root, key, name);
    if (!v || v->type != REG_DWORD || v->data.size() < 4) return std::nullopt;
    return static_cast<std::uint32_t>(v->data[0]) | (static_cast<std::uint32_t>(v->data[1]) << 8) |
           (static_cast<std::uint32_t>(v->data[2]) << 16) | (static_cast<std::uint32_t>(v->data[3]) << 24);
  }

  // The string values of a key in enumeration order.
  std::vector<StringValue> Strings(TRootKey root, std::string_view key) {
    std::vector<StringValue> out;
    TRegistry reg(store_);
    reg.SetRootKey(root);
    if (!reg.OpenKeyReadOnly(key)) return out;
    std::vector<std::string> names;
    reg.GetValueNames(names);
    for (const std::string& name : names) {
      auto v = reg.ReadRaw(name);
      if (!v || (v->type != REG_SZ && v->type != REG_EXPAND_SZ)) continue;
      out.push_back({name, v->type, DecodeString(*v)});
    }
    return out;
  }

 private:
  std::shared_ptr<RegistryStore> store_;
};

// "6.1" -> 6, 1; "4.10.2222" -> 4, 10, 2222. Numbers end at the first non-digit.
std::vector<std::uint32_t> ParseDottedNumbers(std::string_view text) {
  std::vector<std::uint32_t> out;
  std::size_t i = 0;
  while (i <= text.size()) {
    std::uint32_t n = 0;
    bool any = false;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      n = n * 10 + static_cast<std::uint32_t>(text[i] - '0');
      any = true;
      ++i;
    }
    if (!any) break;
    out.push_back(n);
    if (i < text.size() && text[i] == '.') {
      ++i;
      continue;
    }
    break;
  }
  return out;
}

// The version names Wine accepts in HKCU\Software\Wine "Version" (winecfg's choice).
std::optional<TWindowsVersionInfo> WineVersionByName(std::string_view name) {
  struct Row {
    const char* name;
    std::uint32_t platform, major, minor, build;
  };
  static const Row rows[] = {
      {"win20", VER_PLATFORM_WIN32s, 2, 0, 0},
      {"win30", VER_PLATFORM_WIN32s, 3, 0, 0},
      {"win31", VER_PLATFORM_WIN32s, 3, 10, 0},
      {"win95", VER_PLATFORM_WIN32_WINDOWS, 4, 0, 950},
      {"win98", VER_PLATFORM_WIN32_WINDOWS, 4, 10, 2222},
      {"winme", VER_PLATFORM_WIN32_WINDOWS, 4, 90, 3000},
      {"nt351", VER_PLATFORM_WIN32_NT, 3, 51, 1057},
      {"nt40", VER_PLATFORM_WIN32_NT, 4, 0, 1381},
      {"win2000", VER_PLATFORM_WIN32_NT, 5, 0, 2195},
      {"win2k", VER_PLATFORM_WIN32_NT, 5, 0, 2195},
      {"nt2k", VER_PLATFORM_WIN32_NT, 5, 0, 2195},
      {"nt2000", VER_PLATFORM_WIN32_NT, 5, 0, 2195},
      {"winxp", VER_PLATFORM_WIN32_NT, 5, 1, 2600},
      {"winxp64", VER_PLATFORM_WIN32_NT, 5, 2, 3790},
      {"win2003", VER_PLATFORM_WIN32_NT, 5, 2, 3790},
      {"win2k3", VER_PLATFORM_WIN32_NT, 5, 2, 3790},
      {"vista", VER_PLATFORM_WIN32_NT, 6, 0, 6002},
      {"winvista", VER_PLATFORM_WIN32_NT, 6, 0, 6002},
      {"win2008", VER_PLATFORM_WIN32_NT, 6, 0, 6002},
      {"win2k8", VER_PLATFORM_WIN32_NT, 6, 0, 6002},
      {"win2008r2", VER_PLATFORM_WIN32_NT, 6, 1, 7601},
      {"win2k8r2", VER_PLATFORM_WIN32_NT, 6, 1, 7601},
      {"win7", VER_PLATFORM_WIN32_NT, 6, 1, 7601},
      {"win8", VER_PLATFORM_WIN32_NT, 6, 2, 9200},
      {"win81", VER_PLATFORM_WIN32_NT, 6, 3, 9600},
      {"win10", VER_PLATFORM_WIN32_NT, 10, 0, 19045},
      {"win11", VER_PLATFORM_WIN32_NT, 10, 0, 22000},
  };
  for (const Row& r : rows) {
    if (name == r.name) return TWindowsVersionInfo{r.platform, r.major, r.minor, r.build, ""};
  }
  return std::nullopt;
}

TWindowsVersionInfo ReadVersion(Reader& reader) {
  // Wine's own order: the version chosen in winecfg, then the NT keys, then the 9x keys,
  // then its built-in default.
  if (auto v = reader.String(HKEY_CURRENT_USER, "Software\\Wine", "Version")) {
    if (auto known = WineVersionByName(v->text)) return *known;
  }

  TWindowsVersionInfo nt;
  nt.platformId = VER_PLATFORM_WIN32_NT;
  auto major = reader.Dword(HKEY_LOCAL_MACHINE, kNtCurrentVersion, "CurrentMajorVersionNumber");
  auto minor = reader.Dword(HKEY_LOCAL_MACHINE, kNtCurrentVersion, "CurrentMinorVersionNumber");
  if (major && minor && *major != 0) {
    nt.major = *major;
    nt.minor = *minor;
  } else if (auto cv = reader.String(HKEY_LOCAL_MACHINE, kNtCurrentVersion, "CurrentVersion")) {
    auto numbers = ParseDottedNumbers(cv->text);
    if (!numbers.empty()) nt.major = numbers[0];
    if (numbers.size() > 1) nt.minor = numbers[1];
  }
  if (nt.major != 0) {
    if (auto b = reader.String(HKEY_LOCAL_MACHINE, kNtCurrentVersion, "CurrentBuildNumber")) {
      auto numbers = ParseDottedNumbers(b->text);
      if (!numbers.empty()) nt.build = numbers[0];
    }
    if (auto csd = reader.String(HKEY_LOCAL_MACHINE, kNtCurrentVersion, "CSDVersion")) nt.csdVersion = csd->text;
    return nt;
  }

  TWindowsVersionInfo w9x;
  w9x.platformId = VER_PLATFORM_WIN32_WINDOWS;
  if (auto vn = reader.String(HKEY_LOCAL_MACHINE, kCurrentVersion, "VersionNumber")) {
    auto numbers = ParseDottedNumbers(vn->text);
    if (!numbers.empty()) w9x.major = numbers[0];
    if (numbers.size() > 1) w9x.minor = numbers[1];
    if (numbers.size() > 2) w9x.build = numbers[2];
  } else if (auto name = reader.String(HKEY_LOCAL_MACHINE, kCurrentVersion, "Version")) {
    // Only the product name is left ("Windows 98"): take the release it names.
    const std::string& t = name->text;
    if (t.find("95") != std::string::npos) {
      w9x.major = 4;
    } else if (t.find("98") != std::string::npos) {
      w9x.major = 4, w9x.minor = 10;
    } else if (t.find("Millennium") != std::string::npos || t.find(" Me") != std::string::npos ||
               t.find(" ME") != std::string::npos) {
      w9x.major = 4, w9x.minor = 90;
    }
  }
  if (w9x.major != 0) {
    if (auto sub = reader.String(HKEY_LOCAL_MACHINE, kCurrentVersion, "SubVersionNumber")) w9x.csdVersion = sub->text;
    return w9x;
  }
  return TWindowsVersionInfo{VER_PLATFORM_WIN32_NT, 10, 0, 19045, ""};
}

std::string StripTrailingBackslashes(std::string path) {
  while (path.size() > 3 && (path.back() == '\\' || path.back() == '/')) path.pop_back();
  return path;
}

std::string LastComponent(std::string_view path) {
  const std::size_t slash = path.find_last_of("\\/");
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string HostUserName() {
  if (const char* u = std::getenv("USER"); u && *u) return u;
  if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_name) return pw->pw_name;
  return "user";
}

// Sets the variables of one registry key: plain strings first, then the ones that expand,
// each expanded with what is set so far. A user's PATH adds to the system's.
void ApplyEnvironmentKey(EnvironmentBlock& env, const std::vector<StringValue>& values) {
  for (const std::uint32_t pass : {REG_SZ, REG_EXPAND_SZ}) {
    for (const StringValue& v : values) {
      if (v.type != pass || v.name.empty()) continue;
      // The system sets these two itself from the Windows folder.
      if (SameName(v.name, "SystemRoot") || SameName(v.name, "SystemDrive")) continue;
      std::string value = pass == REG_EXPAND_SZ ? ExpandEnvironmentStrings(v.text, env) : v.text;
      if (value.empty()) continue;
      if (SameName(v.name, "PATH")) {
        if (auto existing = env.Get("PATH"); existing && !existing->empty()) value = *existing + ";" + value;
      }
      env.Set(v.name, std::move(value));
    }
  }
}

}  // namespace

// ---- the facts ---------------------------------------------------------------------------

struct TargetSystem::Facts {
  TWindowsVersionInfo version;
  std::string windowsFolder;
  std::string systemFolder;
  std::string programFiles;
  std::string userProfile;
  std::string userName;
  EnvironmentBlock env;
  std::vector<std::pair<std::string, std::string>> shellFolders;  // sorted by folded name
  bool is64Bit = false;
};

TargetSystem::TargetSystem(std::string kind, std::filesystem::path folder, std::shared_ptr<RegistryStore> store)
    : kind_(std::move(kind)), folder_(std::move(folder)), store_(std::move(store)) {}

TargetSystem::~TargetSystem() = default;

void TargetSystem::ForgetFacts() {
  std::lock_guard lock(factsMutex_);
  facts_.reset();
}

TargetSystem::Facts& TargetSystem::LoadedFacts() {
  if (facts_) return *facts_;
  auto f = std::make_unique<Facts>();
  Reader reader(store_);

  f->version = ReadVersion(reader);
  const bool is9x = f->version.platformId == VER_PLATFORM_WIN32_WINDOWS;

  // The Windows folder.
  std::optional<StringValue> root = reader.String(HKEY_LOCAL_MACHINE, kNtCurrentVersion, "SystemRoot");
  if (!root || root->text.empty()) root = reader.String(HKEY_LOCAL_MACHINE, kCurrentVersion, "SystemRoot");
  f->windowsFolder = StripTrailingBackslashes(root && !root->text.empty() ? root->text : "C:\\windows");
  f->systemFolder = f->windowsFolder + (is9x ? "\\system" : "\\system32");
  const std::string systemDrive =
      f->windowsFolder.size() >= 2 && f->windowsFolder[1] == ':' ? f->windowsFolder.substr(0, 2) : "C:";

  EnvironmentBlock& env = f->env;
  env.Set("SystemRoot", f->windowsFolder);
  env.Set("windir", f->windowsFolder);
  env.Set("SystemDrive", systemDrive);

  // Program folders, as a 64-bit system names them.
  auto setFrom = [&](std::string_view value, std::initializer_list<const char*> vars) -> std::optional<std::string> {
    auto v = reader.String(HKEY_LOCAL_MACHINE, kCurrentVersion, value);
    if (!v || v->text.empty()) return std::nullopt;
    std::string text = v->type == REG_EXPAND_SZ ? kestrove::ExpandEnvironmentStrings(v->text, env) : v->text;
    for (const char* var : vars) env.Set(var, text);
    return text;
  };
  auto pf = setFrom("ProgramFilesDir", {"ProgramFiles", "ProgramW6432"});
  f->programFiles = StripTrailingBackslashes(pf ? *pf : systemDrive + "\\Program Files");
  setFrom("ProgramFilesDir (x86)", {"ProgramFiles(x86)"});
  setFrom("CommonFilesDir", {"CommonProgramFiles", "CommonProgramW6432"});
  setFrom("CommonFilesDir (x86)", {"CommonProgramFiles(x86)"});

  // Profiles.
  auto profileValue = [&](std::string_view key, std::string_view name) -> std::optional<std::string> {
    auto v = reader.String(HKEY_LOCAL_MACHINE, key, name);
    if (!v || v->text.empty()) return std::nullopt;
    return StripTrailingBackslashes(v->type == REG_EXPAND_SZ ? kestrove::ExpandEnvironmentStrings(v->text, env) : v->text);
  };
  if (auto pd = profileValue(kProfileList, "ProgramData")) {
    env.Set("ALLUSERSPROFILE", *pd);
    env.Set("ProgramData", *pd);
  } else if (auto all = profileValue(kProfileList, "AllUsersProfile")) {
    env.Set("ALLUSERSPROFILE", *all);
  }
  if (auto pub = profileValue(kProfileList, "Public")) env.Set("PUBLIC", *pub);

  const std::string sidKey = std::string(kProfileList) + "\\" + store_->UserSid();
  if (auto image = profileValue(sidKey, "ProfileImagePath")) {
    f->userProfile = *image;
  } else {
    std::string dir = profileValue(kProfileList, "ProfilesDirectory").value_or(systemDrive + "\\users");
    // Wine names the profile after the host's user, as it does when it creates the prefix.
    f->userProfile = dir + "\\" + HostUserName();
  }
  f->userName = LastComponent(f->userProfile);
  env.Set("USERPROFILE", f->userProfile);
  env.Set("USERNAME", f->userName);
  if (f->userProfile.size() >= 2 && f->userProfile[1] == ':') {
    env.Set("HOMEDRIVE", f->userProfile.substr(0, 2));
    env.Set("HOMEPATH", f->userProfile.size() > 2 ? f->userProfile.substr(2) : "\\");
  }
  for (const char* key : {"System\\CurrentControlSet\\Control\\ComputerName\\ComputerName",
                          "System\\CurrentControlSet\\Control\\ComputerName\\ActiveComputerName"}) {
    if (auto name = reader.String(HKEY_LOCAL_MACHINE, key, "ComputerName"); name && !name->text.empty()) {
      env.Set("COMPUTERNAME", name->text);
      break;
    }
  }

  // Shell folders: the cached "Shell Folders" paths first, then "User Shell Folders"
  // expanded; the user's before the machine's (the machine holds the "Common ..." ones).
  struct Source {
    TRootKey root;
    const char* key;
  };
  const Source sources[] = {{HKEY_CURRENT_USER, kShellFolders},
                            {HKEY_LOCAL_MACHINE, kShellFolders},
                            {HKEY_CURRENT_USER, kUserShellFolders},
                            {HKEY_LOCAL_MACHINE, kUserShellFolders}};
  std::vector<std::vector<StringValue>> shellValues;
  for (const Source& s : sources) shellValues.push_back(reader.Strings(s.root, s.key));
  auto shellRaw = [&](std::string_view name) -> const StringValue* {
    for (const auto& values : shellValues) {
      for (const StringValue& v : values) {
        if (!v.text.empty() && SameName(v.name, name)) return &v;
      }
    }
    return nullptr;
  };
  auto expandShell = [&](const StringValue& v) {
    return StripTrailingBackslashes(v.type == REG_EXPAND_SZ ? kestrove::ExpandEnvironmentStrings(v.text, env) : v.text);
  };

  // The logon adds the roaming and local application-data folders.
  const StringValue* appData = shellRaw("AppData");
  env.Set("APPDATA", appData ? expandShell(*appData) : f->userProfile + "\\AppData\\Roaming");
  const StringValue* localAppData = shellRaw("Local AppData");
  env.Set("LOCALAPPDATA", localAppData ? expandShell(*localAppData) : f->userProfile + "\\AppData\\Local");

  ApplyEnvironmentKey(env, reader.Strings(HKEY_LOCAL_MACHINE, kSystemEnvironment));
  ApplyEnvironmentKey(env, reader.Strings(HKEY_CURRENT_USER, "Environment"));
  ApplyEnvironmentKey(env, reader.Strings(HKEY_CURRENT_USER, "Volatile Environment"));

  std::map<std::string, std::pair<std::string, std::string>> shell;  // folded name -> name, path
  for (const auto& values : shellValues) {
    for (const StringValue& v : values) {
      if (v.text.empty() || v.name.empty()) continue;
      std::string key = FoldName(v.name);
      if (shell.count(key)) continue;
      shell.emplace(std::move(key), std::make_pair(v.name, expandShell(v)));
    }
  }
  for (auto& [key, entry] : shell) f->shellFolders.push_back(std::move(entry));

  // The machine's own processor, as the system records it at start (a 32-bit program on a
  // 64-bit system sees "x86" in its environment, never here). Without the value, a 32-bit
  // view of the software key is what a 64-bit system keeps.
  if (auto arch = reader.String(HKEY_LOCAL_MACHINE, kSystemEnvironment, "PROCESSOR_ARCHITECTURE")) {
    f->is64Bit = SameName(arch->text, "AMD64") || SameName(arch->text, "ARM64") || SameName(arch->text, "IA64");
  } else {
    f->is64Bit = store_->KeyExists(HKEY_LOCAL_MACHINE, "Software\\Wow6432Node");
  }

  facts_ = std::move(f);
  return *facts_;
}

TWindowsVersionInfo TargetSystem::VersionInfo() {
  std::lock_guard lock(factsMutex_);
  return LoadedFacts().version;
}

bool TargetSystem::Is64Bit() {
  std::lock_guard lock(factsMutex_);
  return LoadedFacts().is64Bit;
}

std::string TargetSystem::WindowsFolder() {
  std::lock_guard lock(factsMutex_);
  return LoadedFacts().windowsFolder;
}

std::string TargetSystem::SystemFolder() {
  std::lock_guard lock(factsMutex_);
  return LoadedFacts().systemFolder;
}

std::string TargetSystem::ProgramFilesFolder() {
  std::lock_guard lock(factsMutex_);
  return LoadedFacts().programFiles;
}

std::string TargetSystem::UserProfileFolder() {
  std::lock_guard lock(factsMutex_);
  return LoadedFacts().userProfile;
}

std::string TargetSystem::UserName() {
  std::lock_guard lock(factsMutex_);
  return LoadedFacts().userName;
}

std::string TargetSystem::TempFolder() {
  std::lock_guard lock(factsMutex_);
  Facts& f = LoadedFacts();
  std::string path;
  for (const char* var : {"TMP", "TEMP", "USERPROFILE"}) {
    if (auto v = f.env.Get(var); v && !v->empty()) {
      path = *v;
      break;
    }
  }
  if (path.empty()) path = f.windowsFolder;
  if (path.back() != '\\') path += '\\';
  return path;
}

std::optional<std::string> TargetSystem::ShellFolder(std::string_view name) {
  std::lock_guard lock(factsMutex_);
  for (const auto& [n, path] : LoadedFacts().shellFolders) {
    if (SameName(n, name)) return path;
  }
  return std::nullopt;
}

std::vector<std::pair<std::string, std::string>> TargetSystem::ShellFolders() {
  std::lock_guard lock(factsMutex_);
  return LoadedFacts().shellFolders;
}

EnvironmentBlock TargetSystem::Environment() {
  std::lock_guard lock(factsMutex_);
  return LoadedFacts().env;
}

std::string TargetSystem::ExpandEnvironmentStrings(std::string_view text) {
  std::lock_guard lock(factsMutex_);
  return kestrove::ExpandEnvironmentStrings(text, LoadedFacts().env);
}

}  // namespace kestrove
