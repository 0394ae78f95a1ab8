// The command lines and environments of other processes, as /proc gives them: any bytes are
// read without fault, and a program found in a command line is one of its first arguments.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/wine/WineProcess.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const bool runs = kestrove::wine::CommandLineRunsProgram(text, "firefox.exe");
  if (runs && text.find('\0') == std::string::npos && text.size() < 11) std::abort();
  (void)kestrove::wine::PrefixOfEnvironment(text);
  return 0;
}
