// An offline Windows installation as the target system: the folder is drive C:, the registry
// is its hive files, the user is one of its profiles.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/TargetSystem.h"
#include "platform/regf/OfflineWindows.h"

namespace kestrove::regf {

class TRegfRegistryBackend;

class OfflineWindowsTarget : public TargetSystem {
 public:
  // Use OpenOfflineWindowsTarget.
  OfflineWindowsTarget(const std::filesystem::path& folder, std::shared_ptr<RegistryStore> store,
                       TRegfRegistryBackend* backend, std::vector<TOfflineProfile> profiles, TOfflineProfile user);

  bool DriveMayBeFolder() const override { return true; }

  // Every person's profile of the installation, the chosen one among them.
  const std::vector<TOfflineProfile>& Profiles() const { return profiles_; }
  const TOfflineProfile& User() const { return user_; }
  // What reading the hives had to say (transaction logs missing or damaged).
  std::vector<std::string> Warnings() const;

 protected:
  DriveMap BuildDriveMap() override;

 private:
  std::vector<TOfflineProfile> profiles_;
  TOfflineProfile user_;
  TRegfRegistryBackend* backend_ = nullptr;  // owned by the registry store
};

// Opens the installation in `folder`, whose hives are in `configFolder` (OfflineConfigFolder),
// for `user` as ChooseOfflineProfile takes it. Throws TargetError or RegistryError.
std::unique_ptr<TargetSystem> OpenOfflineWindowsTarget(const std::filesystem::path& folder,
                                                       const std::filesystem::path& configFolder,
                                                       const std::string& user);
// Only its registry, as the target opened by OpenOfflineWindowsTarget has it.
std::unique_ptr<RegistryStore> OpenOfflineWindowsRegistry(const std::filesystem::path& folder,
                                                          const std::filesystem::path& configFolder,
                                                          const std::string& user);

}  // namespace kestrove::regf
