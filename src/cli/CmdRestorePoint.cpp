// kestrove-cli restore-point: lists the target's restore points and puts one back.

#include <filesystem>
#include <ostream>

#include "app/OptionsSetting.h"
#include "app/ProgramFolder.h"
#include "cli/Commands.h"
#include "platform/TargetSystem.h"
#include "regscan/RestorePoint.h"

namespace kestrove::cli {

namespace {

std::filesystem::path BackupFolder() {
  return LoadSettingsWithoutItems(TOptionsSetting::OptionsFile(ProgramFolder())).OutputDirectory;
}

}  // namespace

int CmdRestorePoint(CliContext& ctx, const Args& args) {
  const bool list = args.size() == 1 && args[0] == "list";
  const bool restore = args.size() == 2 && args[0] == "restore";
  if (!list && !restore) {
    ctx.err << "Usage: kestrove-cli [--root DIR] restore-point list\n"
               "       kestrove-cli [--root DIR] restore-point restore NAME\n";
    return 2;
  }
  // A missing or unknown target ends the command through main's error line.
  std::unique_ptr<TargetSystem> target = OpenTarget(ctx.root);
  TRestorePoints points(BackupFolder());
  if (list) {
    for (const TRestorePointInfo& p : points.List()) {
      ctx.out << p.Name << "\t" << p.Bytes << " bytes\t";
      for (std::size_t i = 0; i < p.Files.size(); ++i) ctx.out << (i ? " " : "") << p.Files[i];
      ctx.out << "\n";
    }
    return 0;
  }
  try {
    const std::string saved = points.Restore(*target->Registry(), args[1]);
    ctx.out << "Restored " << args[1] << ". The registry as it was is kept as the restore point " << saved << ".\n";
    return 0;
  } catch (const std::exception& e) {
    ctx.err << "kestrove-cli: restore-point: " << e.what() << "\n";
    return 1;
  }
}

}  // namespace kestrove::cli
