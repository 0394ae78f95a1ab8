// A Wine prefix as the target system: system.reg, user.reg and userdef.reg for the registry,
// dosdevices/ for the drive letters.
#pragma once

#include <filesystem>
#include <memory>

#include "platform/TargetSystem.h"

namespace kestrove::wine {

// A folder holding system.reg and a drive_c or dosdevices folder.
bool IsWinePrefix(const std::filesystem::path& folder);

class WinePrefixTarget : public TargetSystem {
 public:
  // `folder` must be a Wine prefix (IsWinePrefix); the registry is read lazily.
  explicit WinePrefixTarget(const std::filesystem::path& folder);

 protected:
  DriveMap BuildDriveMap() override;
};

std::unique_ptr<TargetSystem> OpenWinePrefixTarget(const std::filesystem::path& folder);

}  // namespace kestrove::wine
