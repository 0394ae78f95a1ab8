// kestrove-cli reg: Windows' reg.exe over the target's registry.
#include <unistd.h>

#include <iostream>
#include <memory>

#include "cli/Commands.h"
#include "cli/RegTool.h"
#include "platform/TargetSystem.h"

namespace kestrove::cli {

int CmdReg(CliContext& ctx, const Args& args) {
  RegToolIo io{std::cin, ctx.out, ctx.err, ::isatty(STDIN_FILENO) == 1};
  // The target is opened only for a valid command line, so "reg /?" and syntax errors work
  // without one.
  std::unique_ptr<TargetSystem> target;
  std::unique_ptr<RegistryStore> focused;
  auto store = [&](const TRegistryFocus* focus) -> RegistryStore& {
    // A command about one key reads that key, not the whole registry.
    if (focus) {
      focused = OpenTargetRegistryFocused(ctx.root, *focus);
      return *focused;
    }
    target = OpenTarget(ctx.root);
    return *target->Registry();
  };
  try {
    return RunRegTool(args, store, io);
  } catch (const TargetError& e) {
    ctx.err << "kestrove-cli: " << e.what() << "\n";
  } catch (const RegistryError& e) {
    // A hive file that cannot be read when first used.
    ctx.err << "ERROR: " << e.what() << "\n";
  }
  return 1;
}

}  // namespace kestrove::cli
