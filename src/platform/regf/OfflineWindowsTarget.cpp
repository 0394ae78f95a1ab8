#include "platform/regf/OfflineWindowsTarget.h"

#include "platform/HiveStore.h"
#include "platform/regf/RegfRegistryBackend.h"

namespace kestrove::regf {

namespace fs = std::filesystem;

OfflineWindowsTarget::OfflineWindowsTarget(const fs::path& folder, std::shared_ptr<RegistryStore> store,
                                           TRegfRegistryBackend* backend, std::vector<TOfflineProfile> profiles,
                                           TOfflineProfile user)
    : TargetSystem("offline Windows", folder, std::move(store)),
      profiles_(std::move(profiles)),
      user_(std::move(user)),
      backend_(backend) {
  SetShortNames(TShortNames::NtfsStored);
  SetDriveMap(BuildDriveMap());
}

std::vector<std::string> OfflineWindowsTarget::Warnings() const { return backend_->Warnings(); }

DriveMap OfflineWindowsTarget::BuildDriveMap() {
  // The installation's own volume is its C:. Other letters would be other disks of that
  // machine, which are not here.
  DriveMap map;
  map.Set('C', Folder(), DRIVE_FIXED, true);
  return map;
}

namespace {

struct TOpenedRegistry {
  std::vector<TOfflineProfile> profiles;
  TOfflineProfile user;
  std::unique_ptr<THiveStore> store;
  TRegfRegistryBackend* backend = nullptr;
};

TOpenedRegistry OpenRegistry(const fs::path& folder, const fs::path& configFolder, const std::string& user) {
  TOpenedRegistry opened;
  try {
    opened.profiles = ListOfflineProfiles(folder, configFolder);
  } catch (const RegistryError& e) {
    throw TargetError("Cannot open the offline Windows installation at '" + folder.string() + "': " + e.what());
  }
  opened.user = ChooseOfflineProfile(opened.profiles, user, folder);
  auto backend = std::make_unique<TRegfRegistryBackend>(folder, configFolder, opened.user, Env::Default());
  opened.backend = backend.get();
  opened.store = std::make_unique<THiveStore>(std::move(backend));
  return opened;
}

}  // namespace

std::unique_ptr<TargetSystem> OpenOfflineWindowsTarget(const fs::path& folder, const fs::path& configFolder,
                                                       const std::string& user) {
  TOpenedRegistry r = OpenRegistry(folder, configFolder, user);
  return std::make_unique<OfflineWindowsTarget>(folder, std::shared_ptr<RegistryStore>(std::move(r.store)), r.backend,
                                                std::move(r.profiles), std::move(r.user));
}

std::unique_ptr<RegistryStore> OpenOfflineWindowsRegistry(const fs::path& folder, const fs::path& configFolder,
                                                          const std::string& user) {
  return OpenRegistry(folder, configFolder, user).store;
}

}  // namespace kestrove::regf
