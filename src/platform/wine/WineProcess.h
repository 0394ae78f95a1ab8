// Whether a Windows program runs under Wine on a given prefix, found among the host's
// processes as Wine starts them.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string_view>

namespace kestrove::wine {

// A process of this user that runs the Windows program `exeName` ("firefox.exe") on
// `prefix`: its command line names the program (the first argument, or the argument after
// Wine's loader, ends in "\exeName" or "/exeName" or is exactly that name, without regard to
// case), and its prefix - WINEPREFIX of its environment, else "$HOME/.wine" - is the same
// folder as `prefix` (same device and inode). Processes that cannot be inspected are passed
// over.
std::optional<pid_t> WineProgramProcess(const std::filesystem::path& prefix, std::string_view exeName);

// Whether a command line (NUL-separated arguments, as /proc/<pid>/cmdline holds them) runs
// the Windows program `exeName`.
bool CommandLineRunsProgram(std::string_view cmdline, std::string_view exeName);

// The prefix a process with this environment (NUL-separated NAME=value pairs) works on:
// WINEPREFIX when set and not empty, else "$HOME/.wine"; empty when neither is known.
std::filesystem::path PrefixOfEnvironment(std::string_view environ);

}  // namespace kestrove::wine
