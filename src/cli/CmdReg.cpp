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
  std::unique_ptr<RegistryStore> readStore;
  auto store = [&](const TRegistryFocus* readOnly) -> RegistryStore& {
    // A query reads the one key it is about, not the whole registry.
    if (readOnly) {
      readStore = OpenTargetRegistryToRead(ctx.root, *readOnly);
      return *readStore;
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
