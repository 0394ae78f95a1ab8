// Shortcut files: any bytes are read without fault, and what is read holds together: a
// target is always one of the paths the file's parts spell.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/TargetSystem.h"
#include "regscan/ShellLink.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto link = kestrove::ParseShellLink(data, size);
  if (!link) return 0;
  kestrove::EnvironmentBlock env;
  env.Set("windir", "C:\\windows");
  env.Set("ProgramFiles", "C:\\Program Files");
  const std::string target = kestrove::ShellLinkTargetPath(
      *link, [&](std::string_view text) { return kestrove::ExpandEnvironmentStrings(text, env); });
  if (target.empty()) return 0;
  const bool fromEnvironment = !link->EnvironmentTarget.empty();
  const bool fromLinkInfo = (link->HasNetworkPath && !link->NetName.empty() && target.rfind(link->NetName, 0) == 0) ||
                            (link->HasLocalPath && !link->LocalBasePath.empty() &&
                             target.rfind(link->LocalBasePath, 0) == 0);
  const bool fromIdList = target == link->IdListPath;
  if (!fromEnvironment && !fromLinkInfo && !fromIdList) std::abort();
  return 0;
}
