#include "app/CommandLine.h"

#include "platform/Text.h"

namespace kestrove {

namespace {
bool SameText(const std::string& a, const char* b) { return AsciiEqualNoCase(a, b); }
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

THostOptions TakeHostOptions(std::vector<std::string>& args) {
  THostOptions out;
  std::vector<std::string> rest;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--root") {
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        out.Error = "--root needs the folder of the Windows system to work on";
        ++i;
        continue;
      }
      out.Root = args[++i];
    } else if (a.rfind("--root=", 0) == 0) {
      if (a.size() == 7)
        out.Error = "--root needs the folder of the Windows system to work on";
      else
        out.Root = a.substr(7);
    } else if (a == "--help" || a == "-h") {
      out.Help = true;
    } else if (a == "--version") {
      out.Version = true;
    } else {
      rest.push_back(a);
    }
  }
  args = std::move(rest);
  return out;
}

}  // namespace kestrove
