// The program's folder: where options.ini, Cookies.ini, Custom.dat, qvtk.dat and the Backup
// folder live. In order:
//   1. $KESTROVE_HOME when set (created when missing);
//   2. the executable's folder when it holds qvtk.dat and may be written (a portable copy);
//   3. $XDG_CONFIG_HOME/kestrove, by default ~/.config/kestrove, created on first use and
//      seeded with the shipped qvtk.dat.
// The result ends with a separator, as the program appends file names to it.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kestrove {

// The definition file shipped with the program.
inline constexpr const char* kDefinitionFileName = "qvtk.dat";

// What the choice depends on; unset variables are nullopt.
struct ProgramFolderInputs {
  std::optional<std::string> kestroveHome;   // $KESTROVE_HOME
  std::optional<std::string> xdgConfigHome;  // $XDG_CONFIG_HOME
  std::optional<std::string> home;           // $HOME, else the account's home folder
  std::filesystem::path exeFolder;           // the executable's folder; empty when unknown
};

// Chooses the folder, creating it and seeding qvtk.dat where the rules above say so.
std::string ResolveProgramFolder(const ProgramFolderInputs& inputs);

// The inputs of this process: its environment and /proc/self/exe.
ProgramFolderInputs CurrentProgramFolderInputs();

// ResolveProgramFolder(CurrentProgramFolderInputs()).
std::string ProgramFolder();

// Where a shipped qvtk.dat may be found for an executable in exeFolder: beside it, in the
// source tree's data/ folder above a build folder, or in ../share/kestrove of an installation.
std::vector<std::filesystem::path> ShippedDefinitionFileCandidates(const std::filesystem::path& exeFolder);

}  // namespace kestrove
