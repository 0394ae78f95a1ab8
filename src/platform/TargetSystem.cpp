#include "platform/TargetSystem.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>

#include "platform/regf/OfflineWindows.h"
#include "platform/regf/OfflineWindowsTarget.h"
#include "platform/wine/WinePrefixTarget.h"

namespace kestrove {

namespace fs = std::filesystem;

std::shared_ptr<const DriveMap> TargetSystem::DriveSnapshot() const {
  std::lock_guard lock(drivesMutex_);
  return drives_;
}

std::vector<DriveInfo> TargetSystem::Drives() const { return DriveSnapshot()->List(); }

std::optional<DriveInfo> TargetSystem::Drive(char letter) const {
  const auto drives = DriveSnapshot();
  const DriveInfo* d = drives->Find(letter);
  if (!d) return std::nullopt;
  return *d;
}

std::uint32_t TargetSystem::DriveType(char letter) const { return DriveSnapshot()->TypeOf(letter); }

std::optional<fs::path> TargetSystem::HostPath(std::string_view windowsPath) const {
  return resolver_.ToHost(*DriveSnapshot(), windowsPath);
}

std::optional<std::string> TargetSystem::WindowsPath(const fs::path& hostPath) const {
  return PathResolver::ToWindows(*DriveSnapshot(), hostPath);
}

void TargetSystem::ClearPathCache() { resolver_.ClearCache(); }

std::shared_ptr<TFileOps> TargetSystem::FileOps() const {
  std::lock_guard lock(drivesMutex_);
  return fileOps_;
}

void TargetSystem::SetFileOps(std::shared_ptr<TFileOps> ops) {
  if (!ops) ops = TFileOps::Posix();
  std::lock_guard lock(drivesMutex_);
  fileOps_ = std::move(ops);
}

void TargetSystem::SetDriveMap(DriveMap drives) {
  auto snapshot = std::make_shared<const DriveMap>(std::move(drives));
  {
    std::lock_guard lock(drivesMutex_);
    drives_ = std::move(snapshot);
  }
  resolver_.ClearCache();
}

void TargetSystem::Refresh() {
  ForgetFacts();
  SetDriveMap(BuildDriveMap());
}

std::uint64_t TargetSystem::RefreshRegistry() {
  const std::uint64_t before = store_->View();
  const std::uint64_t view = store_->Refresh();
  if (view != before) Refresh();
  return view;
}

TTargetIdentity TargetSystem::Identity() {
  TTargetIdentity id;
  id.Kind = kind_;
  std::error_code ec;
  const fs::path real = fs::weakly_canonical(folder_, ec);
  id.Folder = (ec ? folder_ : real).string();
  id.UserSid = store_->UserSid();
  // Windows and Wine's wineboot give every installation a random machine GUID; its digest
  // names the machine without copying the GUID into every file we write.
  if (auto guid = store_->QueryValue(TRootKey::LocalMachine, "Software\\Microsoft\\Cryptography", "MachineGuid");
      guid && (guid->type == REG_SZ || guid->type == REG_EXPAND_SZ)) {
    std::string text = Utf16LeToUtf8(guid->data);
    while (!text.empty() && text.back() == '\0') text.pop_back();
    if (!text.empty()) {
      std::uint64_t h = 14695981039346656037ull;  // FNV-1a, 64 bits
      for (char c : text) {
        h ^= static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
        h *= 1099511628211ull;
      }
      static const char* kDigits = "0123456789abcdef";
      for (int shift = 60; shift >= 0; shift -= 4) id.MachineId += kDigits[(h >> shift) & 0xF];
    }
  }
  return id;
}

// ---- choosing the target ---------------------------------------------------------------

namespace {

std::string HomeFolder(const std::function<const char*(const char*)>& getenv) {
  const char* home = getenv("HOME");
  if (home && *home) return home;
  if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "/";
}

}  // namespace

TargetChoice ChooseTargetFolder(const std::optional<fs::path>& root,
                                const std::function<const char*(const char*)>& getenvFn) {
  std::function<const char*(const char*)> getenv = getenvFn;
  if (!getenv) getenv = [](const char* name) { return static_cast<const char*>(std::getenv(name)); };
  TargetChoice choice;
  if (root && !root->empty()) {
    choice = {*root, "--root"};
  } else if (const char* v = getenv("KESTROVE_ROOT"); v && *v) {
    choice = {fs::path(v), "$KESTROVE_ROOT"};
  } else if (const char* w = getenv("WINEPREFIX"); w && *w) {
    choice = {fs::path(w), "$WINEPREFIX"};
  } else {
    choice = {fs::path(HomeFolder(getenv)) / ".wine", "the default ~/.wine"};
  }
  if (const char* u = getenv("KESTROVE_USER"); u && *u) choice.user = u;
  return choice;
}

std::unique_ptr<TargetSystem> OpenTarget(const std::optional<fs::path>& root) {
  return OpenTarget(ChooseTargetFolder(root));
}

namespace {

struct TChosenFolder {
  fs::path folder;
  std::optional<fs::path> config;  // of an offline Windows installation
};

// The chosen folder, when it is a Wine prefix or an offline Windows installation; throws
// TargetError otherwise.
TChosenFolder TargetFolder(const TargetChoice& choice) {
  std::error_code ec;
  fs::path folder = fs::absolute(choice.folder, ec);
  if (ec) folder = choice.folder;
  folder = folder.lexically_normal();
  if (!folder.has_filename() && folder != folder.root_path()) folder = folder.parent_path();
  const std::string where = "'" + folder.string() + "' (chosen by " + choice.source + ")";

  const fs::file_status st = fs::status(folder, ec);
  if (ec && ec != std::errc::no_such_file_or_directory) {
    throw TargetError("Cannot open the target " + where + ": " + ec.message() + ".");
  }
  if (!fs::exists(st)) {
    throw TargetError("No Windows system at " + where +
                      ": the folder does not exist. Name a Wine prefix or the folder of an offline "
                      "Windows installation with --root DIR, KESTROVE_ROOT or WINEPREFIX.");
  }
  if (!fs::is_directory(st)) {
    throw TargetError("The target " + where + " is not a folder.");
  }
  if (wine::IsWinePrefix(folder)) return {folder, std::nullopt};
  if (auto config = regf::OfflineConfigFolder(folder)) return {folder, config};
  throw TargetError("The target " + where +
                    " is not a Wine prefix: it needs system.reg and a drive_c or dosdevices folder; nor is it "
                    "an offline Windows installation, which has Windows/System32/config/SOFTWARE.");
}

}  // namespace

std::unique_ptr<TargetSystem> OpenTarget(const TargetChoice& choice) {
  const TChosenFolder chosen = TargetFolder(choice);
  if (chosen.config) return regf::OpenOfflineWindowsTarget(chosen.folder, *chosen.config, choice.user);
  return wine::OpenWinePrefixTarget(chosen.folder);
}

std::unique_ptr<RegistryStore> OpenTargetRegistryFocused(const std::optional<fs::path>& root,
                                                        const TRegistryFocus& focus) {
  const TargetChoice choice = ChooseTargetFolder(root);
  const TChosenFolder chosen = TargetFolder(choice);
  // A regf hive is read through a map of the file, so there is nothing to gain from reading
  // only part of it.
  if (chosen.config) return regf::OpenOfflineWindowsRegistry(chosen.folder, *chosen.config, choice.user);
  return RegistryStore::OpenWinePrefixFocused(chosen.folder, focus);
}

}  // namespace kestrove
