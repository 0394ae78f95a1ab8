// kestrove-cli defrag: measures how much compacting the registry's hives would gain, and
// compacts them.

#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <ostream>

#include "app/OptionsSetting.h"
#include "app/ProgramFolder.h"
#include "cli/Commands.h"
#include "cli/OutputFormat.h"
#include "defrag/DefragApply.h"
#include "defrag/HiveAnalysis.h"
#include "platform/TargetSystem.h"
#include "regscan/RestorePoint.h"

namespace kestrove::cli {

namespace {

constexpr int kDeclinedStatus = 3;

bool AskYesNo(const std::string& text, std::ostream& err) {
  if (!::isatty(STDIN_FILENO)) {
    err << text << "\n(no answer possible without a terminal: taken as No; use --yes)\n";
    return false;
  }
  err << text << " [y/N] " << std::flush;
  std::string answer;
  if (!std::getline(std::cin, answer)) return false;
  return answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes";
}

void PrintFigures(CliContext& ctx, const TDefragAnalysis& a, TOutputFormat format) {
  if (format != TOutputFormat::Plain) {
    TRecordWriter rows(ctx.out, format, {"hive", "file", "current_size", "new_size", "reduction"});
    for (std::size_t i = 0; i < a.Table.size(); ++i)
      rows.Row({a.Table.Names[i], a.Table.Files[i], a.Figures.Rows[i].CurrentSize, a.Figures.Rows[i].NewSize,
                a.Figures.Rows[i].Reduction});
    return;
  }
  std::size_t width = std::string("Hive Name").size();
  for (const std::string& n : a.Table.Names) width = std::max(width, n.size());
  auto pad = [](const std::string& s, std::size_t w) { return s + std::string(w > s.size() ? w - s.size() : 0, ' '); };
  auto right = [](const std::string& s, std::size_t w) { return std::string(w > s.size() ? w - s.size() : 0, ' ') + s; };
  ctx.out << pad("Hive Name", width) << "  " << right("Current Size", 14) << "  " << right("New Size", 14) << "  "
          << right("Reduction", 9) << "\n";
  for (std::size_t i = 0; i < a.Table.size(); ++i)
    ctx.out << pad(a.Table.Names[i], width) << "  " << right(a.Figures.Rows[i].CurrentSize, 14) << "  "
            << right(a.Figures.Rows[i].NewSize, 14) << "  " << right(a.Figures.Rows[i].Reduction, 9) << "\n";
  ctx.out << "\nCurrent Registry Size: " << a.Figures.CurrentRegistrySize << "\n"
          << "New Registry Size: " << a.Figures.NewRegistrySize << "\n"
          << "Size Reduction: " << a.Figures.SizeReduction << "\n"
          << "Compact Percent: " << a.Figures.CompactPercent << "\n";
}

// The analysis with its refusals and the copies that could not be made said on `err`; false
// when it does not count.
bool RunAnalysis(CliContext& ctx, TargetSystem& target, TDefragAnalysis& a) {
  const bool progress = ::isatty(STDERR_FILENO) == 1;
  a = AnalyzeRegistry(target, [&](const std::string& hive) {
    if (progress) ctx.err << "Checking: " << hive << "\n";
  });
  if (a.Table.empty()) {
    ctx.err << "kestrove-cli: defrag: the registry of " << target.Folder().string() << " has no hive files\n";
    return false;
  }
  for (std::size_t i = 0; i < a.Errors.size(); ++i)
    if (!a.Errors[i].empty()) ctx.err << "kestrove-cli: defrag: " << a.Table.Names[i] << ": " << a.Errors[i] << "\n";
  if (!a.Refusal.empty()) {
    ctx.err << "kestrove-cli: defrag: " << a.Refusal << "\n";
    return false;
  }
  return a.Finished;
}

}  // namespace

int CmdDefrag(CliContext& ctx, const Args& args) {
  Args given = args;
  TOutputFormat format = TOutputFormat::Plain;
  if (!TakeFormatOption(given, format, ctx.err)) return 2;
  Args words;
  bool yes = false, restorePoint = true;
  for (const std::string& a : given) {
    if (a == "--yes")
      yes = true;
    else if (a == "--no-restore-point")
      restorePoint = false;
    else if (IsOption(a))
      return UnknownOption(ctx, a);
    else
      words.push_back(a);
  }
  const bool analyze = words.size() == 1 && words[0] == "analyze" && !yes && restorePoint;
  const bool apply = words.size() == 1 && words[0] == "apply" && format == TOutputFormat::Plain;
  if (!analyze && !apply) {
    ctx.err << "Usage: kestrove-cli [--root DIR] defrag analyze [--format tsv|json]\n"
               "       kestrove-cli [--root DIR] defrag apply [--yes] [--no-restore-point]\n";
    return 2;
  }
  // A missing or unknown target ends the command through main's error line.
  std::unique_ptr<TargetSystem> target = OpenTarget(ctx.root);
  TDefragAnalysis a;
  const bool counted = RunAnalysis(ctx, *target, a);
  // The copies are this run's alone: the next run writes its own.
  struct TCopiesGone {
    const THiveTable& table;
    ~TCopiesGone() { RemoveHiveCopies(table); }
  } copiesGone{a.Table};
  if (!counted) return 1;
  PrintFigures(ctx, a, format);
  if (analyze) {
    if (a.Figures.LowFragmentRate && format == TOutputFormat::Plain)
      ctx.out << "\n" << FragmentRateMessage(a.Figures.CompactPercent) << "\n";
    return 0;
  }
  if (a.Figures.LowFragmentRate) ctx.out << "\n" << FragmentRateMessage(a.Figures.CompactPercent) << "\n";
  if (!yes && !AskYesNo("Replace the registry's hive files by their compacted copies (the old ones are kept as .bak)?",
                        ctx.err))
    return kDeclinedStatus;
  const TOptionsSetting options = LoadSettingsWithoutItems(TOptionsSetting::OptionsFile(ProgramFolder()));
  const int version = target->WindowsVersion();
  if (restorePoint && options.RestorePoint && version >= 9 && version <= 12) {
    try {
      TRestorePoints points(options.OutputDirectory);
      const std::string name = points.Create(*target->Registry(), target->Identity());
      ctx.out << "Restore point " << name << " taken in " << points.Folder().string() << "\n";
    } catch (const std::exception& e) {
      ctx.err << "kestrove-cli: defrag: the restore point could not be taken: " << e.what()
              << "\nNothing was replaced (--no-restore-point defragments without one).\n";
      return 1;
    }
  }
  const TDefragApplyResult result = ApplyDefrag(*target, a.Table, a.MadeFrom);
  for (const TDefragApplyResult::TFailure& f : result.Failures) ctx.err << f.Message << "\n  " << f.Reason << "\n";
  if (result.Replaced > 0) ctx.out << kDefragDone << "\n";
  return result.Failures.empty() ? 0 : 1;
}

}  // namespace kestrove::cli
