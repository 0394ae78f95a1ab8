// The sub-commands of kestrove-cli. Each returns the process exit status and writes its
// errors to `err`; `args` are the words after the sub-command's name.
#pragma once

#include <filesystem>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "app/IniFile.h"
#include "app/OptionsSetting.h"

namespace kestrove::cli {

struct CliContext {
  std::optional<std::filesystem::path> root;  // --root DIR, if given
  std::ostream& out;
  std::ostream& err;
};

using Args = std::vector<std::string>;

// The stored settings for a command that has no clean items to tick (scan, fix, backups...).
TOptionsSetting LoadSettingsWithoutItems(const TIniFile& ini);

int CmdInfo(CliContext& ctx, const Args& args);
int CmdReg(CliContext& ctx, const Args& args);
int CmdSample(CliContext& ctx, const Args& args);
int CmdScan(CliContext& ctx, const Args& args);
int CmdFix(CliContext& ctx, const Args& args);
int CmdItems(CliContext& ctx, const Args& args);
int CmdTest(CliContext& ctx, const Args& args);
int CmdClean(CliContext& ctx, const Args& args);
int CmdBackups(CliContext& ctx, const Args& args);
int CmdRestore(CliContext& ctx, const Args& args);
int CmdBackupFull(CliContext& ctx, const Args& args);
int CmdRestorePoint(CliContext& ctx, const Args& args);
int CmdIndexDat(CliContext& ctx, const Args& args);
int CmdStartup(CliContext& ctx, const Args& args);
int CmdDefrag(CliContext& ctx, const Args& args);

}  // namespace kestrove::cli
