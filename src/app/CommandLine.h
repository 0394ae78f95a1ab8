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

}  // namespace kestrove
