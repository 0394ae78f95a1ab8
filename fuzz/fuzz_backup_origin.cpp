// The origin of a backup, read from the first bytes of any file in the backup folder: never a
// fault, and an origin found is one whose line, written again, reads back the same.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "regscan/BackupOrigin.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const auto origin = kestrove::ParseBackupOriginHead(bytes.substr(0, kestrove::kOriginHeadBytes));
  if (origin) {
    const auto again = kestrove::ParseOriginLine(kestrove::OriginLine(*origin));
    if (!again || again->Kind != origin->Kind || again->Folder != origin->Folder ||
        again->UserSid != origin->UserSid || again->MachineId != origin->MachineId)
      std::abort();
  }
  (void)kestrove::ParseOriginLine(bytes);
  return 0;
}
