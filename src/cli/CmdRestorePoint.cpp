// kestrove-cli restore-point: lists the target's restore points and puts one back.

#include <filesystem>
#include <ostream>

#include "app/OptionsSetting.h"
#include "app/ProgramFolder.h"
#include "cli/Commands.h"
#include "cli/OutputFormat.h"
#include "platform/TargetSystem.h"
#include "regscan/BackupOrigin.h"
#include "regscan/RestorePoint.h"

namespace kestrove::cli {

namespace {

std::filesystem::path BackupFolder() {
  return LoadSettingsWithoutItems(TOptionsSetting::OptionsFile(ProgramFolder())).OutputDirectory;
}

}  // namespace

int CmdRestorePoint(CliContext& ctx, const Args& args) {
  Args words;
  Args given = args;
  TOutputFormat format = TOutputFormat::Plain;
  if (!TakeFormatOption(given, format, ctx.err)) return 2;
  bool intoOther = false;
  for (const std::string& a : given) {
    if (a == "--into-other-system")
      intoOther = true;
    else if (IsOption(a))
      return UnknownOption(ctx, a);
    else
      words.push_back(a);
  }
  const bool list = words.size() == 1 && words[0] == "list" && !intoOther;
  const bool restore = words.size() == 2 && words[0] == "restore" && format == TOutputFormat::Plain;
  if (!list && !restore) {
    ctx.err << "Usage: kestrove-cli [--root DIR] restore-point list [--format tsv|json]\n"
               "       kestrove-cli [--root DIR] restore-point restore NAME [--into-other-system]\n";
    return 2;
  }
  // A missing or unknown target ends the command through main's error line.
  std::unique_ptr<TargetSystem> target = OpenTarget(ctx.root);
  const TTargetIdentity current = target->Identity();
  TRestorePoints points(BackupFolder());
  if (list) {
    const std::vector<TRestorePointInfo> found = points.ListFor(current);
    if (format != TOutputFormat::Plain) {
      TRecordWriter rows(ctx.out, format, {"name", "path", "bytes", "files", "origin", "system"});
      for (const TRestorePointInfo& p : found) {
        std::vector<TValue> row = {p.Name, (points.Folder() / p.Name).string(), p.Bytes, TValue::List(p.Files)};
        for (TValue& v : OriginFields(p.Origin, current)) row.push_back(std::move(v));
        rows.Row(row);
      }
      return 0;
    }
    if (found.empty()) ctx.out << "no restore points yet\n";
    for (const TRestorePointInfo& p : found) {
      ctx.out << p.Name << "\t" << p.Bytes << " bytes\t";
      for (std::size_t i = 0; i < p.Files.size(); ++i) ctx.out << (i ? " " : "") << p.Files[i];
      ctx.out << "\t" << OriginColumnText(p.Origin, current) << "\n";
    }
    return 0;
  }
  try {
    const std::string saved = points.Restore(*target->Registry(), words[1], current, intoOther);
    ctx.out << "Restored " << words[1] << ". The registry as it was is kept as the restore point " << saved << ".\n";
    return 0;
  } catch (const std::exception& e) {
    ctx.err << "kestrove-cli: restore-point: " << e.what() << "\n";
    return 1;
  }
}

}  // namespace kestrove::cli
