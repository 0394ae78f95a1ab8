#include "platform/memory/MemoryTarget.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "platform/TRegistry.h"

namespace kestrove::memory {

namespace fs = std::filesystem;

namespace {

fs::path MakeTempFolder() {
  std::error_code ec;
  fs::path base = fs::temp_directory_path(ec);
  if (ec) base = "/tmp";
  std::string pattern = (base / "kestrove-target-XXXXXX").string();
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (!::mkdtemp(buf.data())) throw std::runtime_error("Cannot create a temporary folder in " + base.string());
  fs::path folder(buf.data());
  fs::create_directories(folder / "drive_c", ec);
  if (ec) {
    fs::remove_all(folder, ec);
    throw std::runtime_error("Cannot create a temporary drive in " + folder.string());
  }
  return folder;
}

const char kShellFolders[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
const char kUserShellFolders[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";

// The user's shell folders below the profile, laid out as Wine lays out a new prefix.
struct ProfileFolder {
  const char* name;
  const char* below;  // below the profile folder
};
const ProfileFolder kUserFolders[] = {
    {"Administrative Tools", "AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs\\Administrative Tools"},
    {"AppData", "AppData\\Roaming"},
    {"Cache", "AppData\\Local\\Microsoft\\Windows\\INetCache"},
    {"Cookies", "AppData\\Local\\Microsoft\\Windows\\INetCookies"},
    {"Desktop", "Desktop"},
    {"Favorites", "Favorites"},
    {"History", "AppData\\Local\\Microsoft\\Windows\\History"},
    {"Local AppData", "AppData\\Local"},
    {"My Music", "Music"},
    {"My Pictures", "Pictures"},
    {"My Videos", "Videos"},
    {"NetHood", "AppData\\Roaming\\Microsoft\\Windows\\Network Shortcuts"},
    {"Personal", "Documents"},
    {"PrintHood", "AppData\\Roaming\\Microsoft\\Windows\\Printer Shortcuts"},
    {"Programs", "AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs"},
    {"Recent", "AppData\\Roaming\\Microsoft\\Windows\\Recent"},
    {"SendTo", "AppData\\Roaming\\Microsoft\\Windows\\SendTo"},
    {"Start Menu", "AppData\\Roaming\\Microsoft\\Windows\\Start Menu"},
    {"StartUp", "AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs\\StartUp"},
    {"Templates", "AppData\\Roaming\\Microsoft\\Windows\\Templates"},
};

struct CommonFolder {
  const char* name;
  const char* var;    // the variable the unexpanded form starts with
  const char* below;  // below it
};
const CommonFolder kCommonFolders[] = {
    {"Common AppData", "ProgramData", ""},
    {"Common Desktop", "PUBLIC", "Desktop"},
    {"Common Documents", "PUBLIC", "Documents"},
    {"Common Programs", "ProgramData", "Microsoft\\Windows\\Start Menu\\Programs"},
    {"Common Start Menu", "ProgramData", "Microsoft\\Windows\\Start Menu"},
    {"Common StartUp", "ProgramData", "Microsoft\\Windows\\Start Menu\\Programs\\StartUp"},
    {"Common Templates", "ProgramData", "Microsoft\\Windows\\Templates"},
};

std::string Join(const std::string& a, const char* b) { return *b ? a + "\\" + b : a; }

}  // namespace

MemoryTarget::MemoryTarget() : MemoryTarget(Options{}) {}

MemoryTarget::MemoryTarget(Options options)
    : TargetSystem("in-memory", MakeTempFolder(),
                   std::shared_ptr<RegistryStore>(RegistryStore::CreateInMemory(options.userSid))) {
  try {
    drives_.Set('C', DriveC(), DRIVE_FIXED, true);
    SetDriveMap(drives_);
    if (options.defaultRegistry) FillDefaultRegistry(options);
  } catch (...) {
    std::error_code ec;
    fs::remove_all(Folder(), ec);
    throw;
  }
}

MemoryTarget::~MemoryTarget() {
  std::error_code ec;
  fs::remove_all(Folder(), ec);
}

DriveMap MemoryTarget::BuildDriveMap() { return drives_; }

void MemoryTarget::CreateKey(TRootKey root, std::string_view key) {
  if (!Registry()->CreateKey(root, key)) {
    throw std::runtime_error("Cannot create the key " + RootKeyName(root) + "\\" + std::string(key));
  }
  ForgetFacts();
}

void MemoryTarget::SetValue(TRootKey root, std::string_view key, std::string_view name, std::uint32_t type,
                            const Bytes& data) {
  CreateKey(root, key);
  if (!Registry()->SetValue(root, key, name, type, data)) {
    throw std::runtime_error("Cannot set the value " + std::string(name) + " of " + RootKeyName(root) + "\\" +
                             std::string(key));
  }
  ForgetFacts();
}

void MemoryTarget::SetString(TRootKey root, std::string_view key, std::string_view name, std::string_view value) {
  SetValue(root, key, name, REG_SZ, Utf8ToUtf16Le(value, true));
}

void MemoryTarget::SetExpandString(TRootKey root, std::string_view key, std::string_view name,
                                   std::string_view value) {
  SetValue(root, key, name, REG_EXPAND_SZ, Utf8ToUtf16Le(value, true));
}

void MemoryTarget::SetDword(TRootKey root, std::string_view key, std::string_view name, std::uint32_t value) {
  Bytes data{static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
             static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
  SetValue(root, key, name, REG_DWORD, data);
}

void MemoryTarget::DeleteValue(TRootKey root, std::string_view key, std::string_view name) {
  Registry()->DeleteValue(root, key, name);
  ForgetFacts();
}

fs::path MemoryTarget::MakeFolder(std::string_view windowsPath) {
  auto host = HostPath(windowsPath);
  if (!host) throw std::runtime_error("Not a path on a drive of the target: " + std::string(windowsPath));
  std::error_code ec;
  fs::create_directories(*host, ec);
  if (ec) throw std::runtime_error("Cannot create " + host->string() + ": " + ec.message());
  return *host;
}

fs::path MemoryTarget::WriteFile(std::string_view windowsPath, std::string_view contents) {
  auto host = HostPath(windowsPath);
  if (!host) throw std::runtime_error("Not a path on a drive of the target: " + std::string(windowsPath));
  std::error_code ec;
  fs::create_directories(host->parent_path(), ec);
  if (ec) throw std::runtime_error("Cannot create " + host->parent_path().string() + ": " + ec.message());
  std::ofstream out(*host, std::ios::binary | std::ios::trunc);
  out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  out.close();
  if (!out) throw std::runtime_error("Cannot write " + host->string());
  return *host;
}

void MemoryTarget::AddDrive(char letter, const fs::path& hostRoot, std::uint32_t type, bool insideTarget) {
  std::error_code ec;
  fs::create_directories(hostRoot, ec);
  drives_.Set(letter, hostRoot, type, insideTarget);
  SetDriveMap(drives_);
}

void MemoryTarget::RemoveDrive(char letter) {
  drives_.Remove(letter);
  SetDriveMap(drives_);
}

void MemoryTarget::FillDefaultRegistry(const Options& options) {
  const std::string profile = "C:\\users\\" + options.userName;

  const char* nt = "Software\\Microsoft\\Windows NT\\CurrentVersion";
  SetString(HKEY_LOCAL_MACHINE, nt, "CurrentVersion", "6.1");
  SetString(HKEY_LOCAL_MACHINE, nt, "CurrentBuild", "7601");
  SetString(HKEY_LOCAL_MACHINE, nt, "CurrentBuildNumber", "7601");
  SetString(HKEY_LOCAL_MACHINE, nt, "CSDVersion", "Service Pack 1");
  SetString(HKEY_LOCAL_MACHINE, nt, "ProductName", "Microsoft Windows 7");
  SetString(HKEY_LOCAL_MACHINE, nt, "SystemRoot", "C:\\windows");

  const char* cv = "Software\\Microsoft\\Windows\\CurrentVersion";
  SetString(HKEY_LOCAL_MACHINE, cv, "ProgramFilesDir", "C:\\Program Files");
  SetString(HKEY_LOCAL_MACHINE, cv, "ProgramFilesDir (x86)", "C:\\Program Files (x86)");
  SetString(HKEY_LOCAL_MACHINE, cv, "CommonFilesDir", "C:\\Program Files\\Common Files");
  SetString(HKEY_LOCAL_MACHINE, cv, "CommonFilesDir (x86)", "C:\\Program Files (x86)\\Common Files");

  const std::string profiles = "Software\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
  SetExpandString(HKEY_LOCAL_MACHINE, profiles, "ProfilesDirectory", "C:\\users");
  SetExpandString(HKEY_LOCAL_MACHINE, profiles, "ProgramData", "C:\\ProgramData");
  SetExpandString(HKEY_LOCAL_MACHINE, profiles, "Public", "C:\\users\\Public");
  SetString(HKEY_LOCAL_MACHINE, profiles + "\\" + options.userSid, "ProfileImagePath", profile);

  SetString(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\ComputerName\\ComputerName", "ComputerName",
            "KESTROVE-TEST");

  const char* sysEnv = "System\\CurrentControlSet\\Control\\Session Manager\\Environment";
  SetExpandString(HKEY_LOCAL_MACHINE, sysEnv, "ComSpec", "%SystemRoot%\\system32\\cmd.exe");
  SetString(HKEY_LOCAL_MACHINE, sysEnv, "OS", "Windows_NT");
  SetExpandString(HKEY_LOCAL_MACHINE, sysEnv, "PATH", "%SystemRoot%\\system32;%SystemRoot%");
  SetString(HKEY_LOCAL_MACHINE, sysEnv, "PATHEXT", ".COM;.EXE;.BAT;.CMD");
  SetExpandString(HKEY_LOCAL_MACHINE, sysEnv, "TEMP", "%SystemRoot%\\TEMP");
  SetExpandString(HKEY_LOCAL_MACHINE, sysEnv, "TMP", "%SystemRoot%\\TEMP");

  SetExpandString(HKEY_CURRENT_USER, "Environment", "TEMP", "%USERPROFILE%\\AppData\\Local\\Temp");
  SetExpandString(HKEY_CURRENT_USER, "Environment", "TMP", "%USERPROFILE%\\AppData\\Local\\Temp");

  for (const ProfileFolder& f : kUserFolders) {
    SetString(HKEY_CURRENT_USER, kShellFolders, f.name, Join(profile, f.below));
    SetExpandString(HKEY_CURRENT_USER, kUserShellFolders, f.name, Join("%USERPROFILE%", f.below));
    MakeFolder(Join(profile, f.below));
  }
  SetString(HKEY_CURRENT_USER, kShellFolders, "Fonts", "C:\\windows\\Fonts");
  SetExpandString(HKEY_CURRENT_USER, kUserShellFolders, "Fonts", "C:\\windows\\Fonts");
  for (const CommonFolder& f : kCommonFolders) {
    const std::string base = std::string(f.var) == "PUBLIC" ? "C:\\users\\Public" : "C:\\ProgramData";
    SetString(HKEY_LOCAL_MACHINE, kShellFolders, f.name, Join(base, f.below));
    SetExpandString(HKEY_LOCAL_MACHINE, kUserShellFolders, f.name, Join("%" + std::string(f.var) + "%", f.below));
    MakeFolder(Join(base, f.below));
  }

  for (const char* folder : {"C:\\windows\\system32", "C:\\windows\\temp", "C:\\windows\\Fonts",
                             "C:\\Program Files\\Common Files", "C:\\Program Files (x86)\\Common Files"}) {
    MakeFolder(folder);
  }
  MakeFolder(profile + "\\AppData\\Local\\Temp");
}

}  // namespace kestrove::memory
