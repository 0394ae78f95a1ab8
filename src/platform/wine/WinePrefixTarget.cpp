#include "platform/wine/WinePrefixTarget.h"

#include <cctype>
#include <map>
#include <system_error>

#include "platform/TRegistry.h"
#include "platform/Text.h"

namespace kestrove::wine {

namespace fs = std::filesystem;

bool IsWinePrefix(const fs::path& folder) {
  std::error_code ec;
  if (!fs::is_regular_file(folder / "system.reg", ec)) return false;
  return fs::is_directory(folder / "drive_c", ec) || fs::is_directory(folder / "dosdevices", ec);
}

WinePrefixTarget::WinePrefixTarget(const fs::path& folder)
    : TargetSystem("Wine prefix", folder, std::shared_ptr<RegistryStore>(RegistryStore::OpenWinePrefix(folder))) {
  SetDriveMap(BuildDriveMap());
}

DriveMap WinePrefixTarget::BuildDriveMap() {
  // Wine keeps the kind of each drive in HKLM\Software\Wine\Drives ("d:"="cdrom").
  std::map<char, std::uint32_t> wineTypes;
  TRegistry reg(Registry());
  reg.SetRootKey(HKEY_LOCAL_MACHINE);
  if (reg.OpenKeyReadOnly("Software\\Wine\\Drives")) {
    std::vector<std::string> names;
    reg.GetValueNames(names);
    for (const std::string& name : names) {
      if (name.size() != 2 || name[1] != ':' || !std::isalpha(static_cast<unsigned char>(name[0]))) continue;
      auto value = reg.ReadRaw(name);
      if (!value || (value->type != REG_SZ && value->type != REG_EXPAND_SZ)) continue;
      std::string text = Utf16LeToUtf8(value->data);
      if (auto nul = text.find('\0'); nul != std::string::npos) text.resize(nul);
      if (auto type = DriveTypeFromWineName(text)) {
        wineTypes[AsciiLower(name[0])] = *type;
      }
    }
  }

  const fs::path dosdevices = Folder() / "dosdevices";
  std::error_code ec;
  DriveMap map;
  if (fs::is_directory(dosdevices, ec)) map = DriveMap::FromDosDevices(dosdevices, Folder(), wineTypes);
  // Wine creates c: -> ../drive_c itself when it is missing; do the same in our map.
  if (!map.Find('C') && fs::is_directory(Folder() / "drive_c", ec)) {
    auto t = wineTypes.find('c');
    map.Set('C', Folder() / "drive_c", t != wineTypes.end() ? t->second : DRIVE_FIXED, true, "../drive_c");
  }
  return map;
}

std::unique_ptr<TargetSystem> OpenWinePrefixTarget(const fs::path& folder) {
  return std::make_unique<WinePrefixTarget>(folder);
}

}  // namespace kestrove::wine
