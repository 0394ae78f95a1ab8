// kestrove-cli startup list | delete NAME... [--yes|--no]: the programs the Windows system starts
// at logon, as the Tools page lists them (program, file, location; tab-separated), and their
// removal. NAME is a program's name as listed (any letter case); a name listed in more than one
// place removes every one of them. Deleting asks first on a terminal; --yes answers yes.
#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <ostream>

#include "cli/Commands.h"
#include "cli/OutputFormat.h"
#include "platform/RegistryTypes.h"
#include "platform/TargetSystem.h"
#include "platform/Text.h"
#include "tools/StartupManager.h"

namespace kestrove::cli {

namespace {

constexpr int kDeclinedStatus = 3;
constexpr const char* kUsage =
    "Usage: kestrove-cli startup list [--format tsv|json]\n       kestrove-cli startup delete NAME... [--yes|--no]\n";

bool Confirm(CliContext& ctx, const std::string& question, bool yes, bool no) {
  if (yes) return true;
  if (no) return false;
  if (!::isatty(STDIN_FILENO)) {
    ctx.err << question << "\n(no answer possible without a terminal: taken as No; use --yes)\n";
    return false;
  }
  ctx.err << question << " [y/N] " << std::flush;
  std::string answer;
  if (!std::getline(std::cin, answer)) return false;
  return answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes";
}

}  // namespace

int CmdStartup(CliContext& ctx, const Args& given) {
  Args args = given;
  TOutputFormat format = TOutputFormat::Plain;
  if (!TakeFormatOption(args, format, ctx.err)) return 2;
  if (args.empty() || (args[0] != "list" && args[0] != "delete") || (args[0] == "list" && args.size() != 1)) {
    ctx.err << kUsage;
    return 2;
  }
  bool yes = false, no = false;
  std::vector<std::string> names;
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--yes")
      yes = true;
    else if (args[i] == "--no")
      no = true;
    else if (IsOption(args[i]))
      return UnknownOption(ctx, args[i]);
    else
      names.push_back(args[i]);
  }
  if (args[0] == "delete" && names.empty()) {
    ctx.err << kUsage;
    return 2;
  }
  try {
    auto target = OpenTarget(ctx.root);
    const TStartupList list = ListStartupEntries(*target);
    if (args[0] == "list") {
      if (format != TOutputFormat::Plain) {
        TRecordWriter writer(ctx.out, format, {"program", "file", "location"});
        for (const TStartupEntry& e : list.Entries) writer.Row({e.Program, e.File, e.Location});
        writer.Finish();
        return 0;
      }
      for (const TStartupEntry& e : list.Entries) ctx.out << e.Program << "\t" << e.File << "\t" << e.Location << "\n";
      if (list.Entries.empty()) ctx.out << "no startup entries\n";
      return 0;
    }
    if (format != TOutputFormat::Plain) return UnknownOption(ctx, "--format");
    std::vector<TStartupEntry> chosen;
    for (const std::string& name : names) {
      std::size_t found = 0;
      for (const TStartupEntry& e : list.Entries)
        if (AsciiEqualNoCase(e.Program, name)) {
          ++found;
          if (std::find(chosen.begin(), chosen.end(), e) == chosen.end()) chosen.push_back(e);
        }
      if (found == 0) {
        ctx.err << "kestrove-cli: no startup entry is named " << name << " (kestrove-cli startup list lists them)\n";
        return 1;
      }
    }
    for (const TStartupEntry& e : chosen) ctx.out << e.Program << "\t" << e.File << "\t" << e.Location << "\n";
    if (!Confirm(ctx, "Delete " + std::to_string(chosen.size()) + (chosen.size() == 1 ? " entry" : " entries") + "?",
                 yes, no)) {
      ctx.err << "kestrove-cli: not confirmed; nothing was deleted\n";
      return kDeclinedStatus;
    }
    const TStartupDeletion done = DeleteStartupEntries(*target, list.View, chosen);
    for (const auto& [entry, why] : done.Failed)
      ctx.err << "kestrove-cli: " << entry.Program << " (" << entry.Location << ") stayed: " << why << "\n";
    ctx.err << "kestrove-cli: " << done.Removed.size() << " of " << chosen.size() << " deleted\n";
    return done.Failed.empty() ? 0 : 1;
  } catch (const TargetError& e) {
    ctx.err << "kestrove-cli: " << e.what() << "\n";
  } catch (const RegistryError& e) {
    ctx.err << "kestrove-cli: " << e.what() << "\n";
  }
  return 1;
}

}  // namespace kestrove::cli
