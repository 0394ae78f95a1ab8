// kestrove-cli sample DIR: writes a small sample Wine prefix to try the program on.
#include <unistd.h>

#include <filesystem>
#include <ostream>
#include <system_error>

#include "cli/Commands.h"
#include "platform/regf/OfflineSample.h"
#include "platform/wine/WineSample.h"

namespace kestrove::cli {

namespace {

std::filesystem::path ProgramFolder() {
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return std::filesystem::current_path(ec);
  return exe.parent_path();
}

}  // namespace

int CmdSample(CliContext& ctx, const Args& argsIn) {
  Args args = argsIn;
  bool offline = false;
  if (!args.empty() && args[0] == "--offline") {
    offline = true;
    args.erase(args.begin());
  }
  if (args.size() != 1 || args[0].empty()) {
    ctx.err << "Usage: kestrove-cli sample [--offline] DIR\n";
    return 2;
  }
  const std::filesystem::path programFolder = ProgramFolder();
  auto templateFolder = wine::FindSampleTemplate(programFolder);
  if (!templateFolder) {
    ctx.err << "kestrove-cli: the sample's registry template (system.reg, user.reg, userdef.reg) is not in "
            << (programFolder / "sample").string() << ", "
            << (programFolder / ".." / "data" / "sample").lexically_normal().string() << " nor "
            << (programFolder / ".." / "share" / "kestrove" / "sample").lexically_normal().string() << "\n";
    return 1;
  }
  try {
    if (offline)
      regf::WriteSampleOfflineWindows(args[0], *templateFolder);
    else
      wine::WriteSamplePrefix(args[0], *templateFolder);
  } catch (const wine::SampleError& e) {
    ctx.err << "kestrove-cli: " << e.what() << "\n";
    return 1;
  } catch (const TargetError& e) {
    ctx.err << "kestrove-cli: " << e.what() << "\n";
    return 1;
  } catch (const RegistryError& e) {
    ctx.err << "kestrove-cli: " << e.what() << "\n";
    return 1;
  }
  ctx.out << (offline ? "Wrote a sample offline Windows 7 installation to " : "Wrote a sample Wine prefix to ") << args[0]
          << "\n";
  return 0;
}

}  // namespace kestrove::cli
