#include "app/CommandLine.h"

#include <cctype>

namespace kestrove {

namespace {
bool SameText(const std::string& a, const char* b) {
  std::size_t i = 0;
  for (; i < a.size() && b[i]; ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return i == a.size() && !b[i];
}
}  // namespace

TCommandLine ParseCommandLine(const std::vector<std::string>& args) {
  TCommandLine cl;
  if (args.empty()) return cl;
  const std::string& first = args[0];
  if (first == "/Auto") {
    cl.Switch = TStartSwitch::Auto;
  } else if (SameText(first, "/Clear")) {
    cl.Switch = TStartSwitch::Clear;
  } else if (SameText(first, "/Regdefrag")) {
    cl.Switch = TStartSwitch::Regdefrag;
  } else if (SameText(first, "/Regscan")) {
    cl.Switch = TStartSwitch::Regscan;
    if (args.size() > 1) cl.RegscanResultFile = args[1];
  }
  return cl;
}

}  // namespace kestrove
