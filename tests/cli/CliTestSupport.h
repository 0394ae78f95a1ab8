// What the tests that run kestrove-cli as a process share: reading a file whole, quoting
// for the shell, and a run's status and output.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace kestrove::testing {

inline std::string Slurp(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

struct CliRun {
  int status = -1;
  std::string out, err;
};

}  // namespace kestrove::testing
