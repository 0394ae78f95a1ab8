// The program's own command line: only the first argument is looked at ("/Auto" exact,
// "/Clear", "/Regscan", "/Regdefrag" without regard to case); the second serves "/Regscan".
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kestrove {

enum class TStartSwitch { None, Auto, Clear, Regscan, Regdefrag };

struct TCommandLine {
  TStartSwitch Switch = TStartSwitch::None;
  std::optional<std::string> RegscanResultFile;  // "/Regscan"'s second argument
};

// `args` are the arguments after the program's name.
TCommandLine ParseCommandLine(const std::vector<std::string>& args);

// The Linux program's own options, taken out of the arguments wherever they stand so that
// the system's switches keep their place as the first argument: "--root DIR" (or
// "--root=DIR"), "--help"/"-h", "--version".
struct THostOptions {
  std::optional<std::string> Root;
  bool Help = false;
  bool Version = false;
  std::string Error;  // "--root" without a folder
};
THostOptions TakeHostOptions(std::vector<std::string>& args);

}  // namespace kestrove
