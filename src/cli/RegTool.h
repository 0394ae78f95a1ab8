// "reg query | add | delete": the target's registry read and changed with the switches, texts
// and exit statuses of Windows' own reg.exe. The functions work on a RegistryStore and streams,
// so tests run them without a process.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/Commands.h"
#include "platform/RegistryStore.h"

namespace kestrove::cli {

// Where the command reads its answers and writes its results and errors. `interactive` is true
// when `in` is a terminal: the user's Enter then ends the prompt's line; otherwise the command
// ends it itself so the next message starts on a line of its own.
struct RegToolIo {
  std::istream& in;
  std::ostream& out;
  std::ostream& err;
  bool interactive = false;
};

// A key as given on the command line: "HKCU\Software\X" or "HKEY_CURRENT_USER\Software\X\".
struct RegKeyArg {
  TRootKey root = HKEY_CURRENT_USER;
  std::string path;     // below the root, without edge backslashes; "" is the root itself
  std::string display;  // long root name and the path as typed: "HKEY_CURRENT_USER\Software\X"
};

// nullopt when the text names no key reg.exe accepts (unknown root, "HKCU\", "HKCU\A\\",
// empty components, a remote "\\machine\..." key).
std::optional<RegKeyArg> ParseRegKey(std::string_view text);

// "REG_SZ", "REG_DWORD", ...; "0x<n>" for a type Windows has no name for.
std::string RegTypeName(std::uint32_t type);
// The data as reg query prints it: strings as they are, REG_DWORD / REG_QWORD as 0x%x,
// REG_MULTI_SZ joined by `multiSeparator`, anything else as uppercase hex bytes.
std::string FormatRegData(std::uint32_t type, const Bytes& data, std::string_view multiSeparator = "\\0");

// Converts /d DATA for /t TYPE as reg add does. `separator` is the /s character (0: "\0" in the
// text separates REG_MULTI_SZ strings). On bad data, nullopt and a message in `error`.
std::optional<Bytes> ConvertRegData(std::uint32_t type, const std::optional<std::string>& data, char32_t separator,
                                    std::string& error);

// Commits the store; on a refusal (Wine runs on the target) or a failed write, says why on
// io.err as "ERROR: ...", drops the changes and returns false.
bool CommitOrReport(RegistryStore& store, RegToolIo& io);

// Gives the store a command works on. A command about one key names it (the store may then
// hold just that key and what the focus says); others pass nullptr and get the whole registry.
using RegStoreFn = std::function<RegistryStore&(const TRegistryFocus* focus)>;

// Runs "reg ARGS..." (args[0] is the operation). The store is asked for only once the command
// line is known to be valid; whatever it throws (the target cannot be opened) goes to the caller.
// Returns reg.exe's exit status: 0 success, 1 failure.
int RunRegTool(const Args& args, const RegStoreFn& store, RegToolIo& io);

}  // namespace kestrove::cli
