// backups, restore and backup-full: Fix's .reg backups listed and put back, and the whole
// registry exported, through the same registry editor runs as the window's.
#include <unistd.h>

#include <iostream>
#include <string>

#include "app/IniFile.h"
#include "app/OptionsSetting.h"
#include "app/ProgramFolder.h"
#include "cli/Commands.h"
#include "cli/OutputFormat.h"
#include "platform/TargetSystem.h"
#include "regscan/BackupOrigin.h"
#include "regscan/Restore.h"

namespace kestrove::cli {

namespace fs = std::filesystem;

namespace {

TOptionsSetting LoadOptions() {
  return LoadSettingsWithoutItems(TOptionsSetting::OptionsFile(ProgramFolder()));
}

// Messages go to the error stream; the overwrite question is answered by --yes or on a terminal.
class TRestorePrompt : public IPrompt {
 public:
  TRestorePrompt(bool yes, std::ostream& err) : yes_(yes), err_(err) {}
  TMsgResult Ask(const TMessageRequest& r) override {
    if (r.Buttons != TMsgButtons::YesNo) {
      err_ << r.Text << "\n";
      return TMsgResult::Ok;
    }
    if (yes_) return TMsgResult::Yes;
    if (!::isatty(STDIN_FILENO)) {
      err_ << r.Text << "\n(no answer possible without a terminal: taken as No; use --yes)\n";
      return TMsgResult::No;
    }
    err_ << r.Text << " [y/N] " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer)) return TMsgResult::No;
    return (answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes") ? TMsgResult::Yes : TMsgResult::No;
  }

 private:
  bool yes_;
  std::ostream& err_;
};

// The editor works on the same target as this command, named explicitly.
bool PrepareRunner(CliContext& ctx, TRegeditRunner& runner, IPrompt& prompt, TTargetIdentity* identity = nullptr) {
  try {
    auto target = OpenTarget(ctx.root);
    runner.Root = target->Folder();
    if (identity) *identity = target->Identity();
  } catch (const TargetError& e) {
    ctx.err << "kestrove-cli: " << e.what() << "\n";
    return false;
  }
  runner.Prompt = &prompt;
  return true;
}

}  // namespace

int CmdBackups(CliContext& ctx, const Args& args) {
  Args words = args;
  TOutputFormat format = TOutputFormat::Plain;
  if (!TakeFormatOption(words, format, ctx.err)) return 2;
  if (!words.empty()) {
    if (IsOption(words[0])) return UnknownOption(ctx, words[0]);
    ctx.err << "Usage: kestrove-cli backups [--format tsv|json]\n";
    return 2;
  }
  const TOptionsSetting options = LoadOptions();
  // A missing or unknown target ends the command through main's error line.
  const TTargetIdentity current = OpenTarget(ctx.root)->Identity();
  auto files = ListBackupFilesFor(options.OutputDirectory, current);
  if (!files) {
    // The first Fix makes the folder; anything else in its place is a fault.
    std::error_code ec;
    if (options.OutputDirectory.empty() || fs::exists(fs::symlink_status(options.OutputDirectory, ec))) {
      ctx.err << kNoBackupFolder << " (" << options.OutputDirectory << ")\n";
      return 1;
    }
    files.emplace();
  }
  if (format != TOutputFormat::Plain) {
    TRecordWriter rows(ctx.out, format, {"name", "path", "modified", "bytes", "origin", "system"});
    for (const TBackupFile& f : *files) {
      std::vector<TValue> row = {f.FileName, BackupFilePath(options.OutputDirectory, f.FileName),
                                 IsoUtcText(f.Modified), f.Size};
      for (TValue& v : OriginFields(f.Origin, current)) row.push_back(std::move(v));
      rows.Row(row);
    }
    return 0;
  }
  if (files->empty()) ctx.out << "no backups yet\n";
  for (const TBackupFile& f : *files)
    ctx.out << f.FileName << "\t" << BackupDateText(f.Modified) << "\t" << BackupSizeText(f.Size) << "\t"
            << OriginColumnText(f.Origin, current) << "\n";
  return 0;
}

int CmdRestore(CliContext& ctx, const Args& args) {
  bool intoOther = false;
  std::vector<std::string> files;
  for (const std::string& a : args) {
    if (a == "--into-other-system")
      intoOther = true;
    else if (IsOption(a))
      return UnknownOption(ctx, a);
    else
      files.push_back(a);
  }
  if (files.size() != 1) {
    ctx.err << "Usage: kestrove-cli restore FILE [--into-other-system]\n";
    return 2;
  }
  const TOptionsSetting options = LoadOptions();
  // A bare name is one of the backup folder's files; anything with a folder in it is a path.
  std::string folder = options.OutputDirectory;
  std::string name = files[0];
  if (name.find('/') != std::string::npos) {
    const fs::path p = fs::absolute(name);
    folder = p.parent_path().string();
    name = p.filename().string();
  }
  std::error_code ec;
  if (!fs::is_regular_file(BackupFilePath(folder, name), ec)) {
    ctx.err << "kestrove-cli: restore: no backup file " << BackupFilePath(folder, name) << "\n";
    return 1;
  }
  TRestorePrompt prompt(false, ctx.err);
  TRegeditRunner runner;
  TTargetIdentity current;
  if (!PrepareRunner(ctx, runner, prompt, &current)) return 1;
  const TRestoreOutcome outcome =
      RestoreBackupFile(runner, folder, name, options.DeleteBackupFile, current, intoOther);
  if (!outcome.Imported) {
    if (!outcome.Error.empty()) ctx.err << "kestrove-cli: restore: " << outcome.Error << "\n";
    if (outcome.OtherSystem && !intoOther)
      ctx.err << "kestrove-cli: restore: to put it into this system all the same, add --into-other-system\n";
    else
      ctx.err << "kestrove-cli: restore: " << name << " was not imported\n";
    return 1;
  }
  ctx.out << "Restored " << name << (outcome.Deleted ? "; the backup file was deleted" : "") << "\n";
  return 0;
}

int CmdBackupFull(CliContext& ctx, const Args& args) {
  bool yes = false;
  std::string file;
  for (const std::string& a : args) {
    if (a == "--yes" || a == "-y")
      yes = true;
    else if (IsOption(a))
      return UnknownOption(ctx, a);
    else if (file.empty())
      file = a;
    else
      file = "\n";  // a second name: usage
  }
  if (file.empty() || file == "\n") {
    ctx.err << "Usage: kestrove-cli backup-full FILE [--yes]\n";
    return 2;
  }
  TRestorePrompt prompt(yes, ctx.err);
  TRegeditRunner runner;
  if (!PrepareRunner(ctx, runner, prompt)) return 1;
  const std::string target = FullBackupFileName(file);
  std::error_code ec;
  const bool existed = fs::exists(target, ec);
  if (!BackupFullRegistry(runner, prompt, file)) return existed ? 3 : 1;
  if (runner.LastExitCode != 0) {
    if (!runner.LastErrorText.empty()) ctx.err << runner.LastErrorText << "\n";
    return 1;
  }
  ctx.out << "The registry was saved to " << target << "\n";
  return 0;
}

}  // namespace kestrove::cli
