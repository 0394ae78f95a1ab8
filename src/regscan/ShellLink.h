// Our own reader of shortcut (.lnk) files, the Shell Link binary format: enough of it to
// say what file a shortcut points at, as the shell's link object answers "GetPath" with the
// network form preferred. Every read is bounds-checked; a damaged or cut-off file never
// reads outside its bytes and gives what could be read (or nothing).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace kestrove {

class EnvironmentBlock;

// Link flags of the header that the reader acts on.
inline constexpr std::uint32_t kSlHasLinkTargetIDList = 0x00000001;
inline constexpr std::uint32_t kSlHasLinkInfo = 0x00000002;
inline constexpr std::uint32_t kSlHasName = 0x00000004;
inline constexpr std::uint32_t kSlHasRelativePath = 0x00000008;
inline constexpr std::uint32_t kSlHasWorkingDir = 0x00000010;
inline constexpr std::uint32_t kSlHasArguments = 0x00000020;
inline constexpr std::uint32_t kSlHasIconLocation = 0x00000040;
inline constexpr std::uint32_t kSlIsUnicode = 0x00000080;
inline constexpr std::uint32_t kSlForceNoLinkInfo = 0x00000100;
inline constexpr std::uint32_t kSlHasExpString = 0x00000200;

// What a shortcut file says, as far as it could be read. Texts are UTF-8; texts the file
// stores in the system code page are read as Windows-1252.
struct TShellLinkInfo {
  std::uint32_t LinkFlags = 0;
  std::uint32_t FileAttributes = 0;
  // The parts the file promised but did not hold completely.
  bool Truncated = false;

  // LinkInfo.
  bool HasLocalPath = false;
  std::string LocalBasePath;
  bool HasNetworkPath = false;
  std::string NetName;
  std::string DeviceName;
  std::string CommonPathSuffix;

  // String data.
  std::string Name;
  std::string RelativePath;
  std::string WorkingDir;
  std::string Arguments;
  std::string IconLocation;

  // The environment variable block's target, not expanded.
  std::string EnvironmentTarget;

  // The path the target ID list spells (My Computer, a drive, folders and a file), or empty
  // when the list names something else.
  std::string IdListPath;
};

// Parses a shortcut file's bytes. nullopt when they do not start with a Shell Link header.
std::optional<TShellLinkInfo> ParseShellLink(const std::uint8_t* data, std::size_t size);

// The target path: the environment block's target expanded by `expand` (when the link says
// it has one), else the LinkInfo path (network form first: share name and suffix; then the
// local base path and suffix), else the ID list's path. Empty when none gives a path.
std::string ShellLinkTargetPath(const TShellLinkInfo& link,
                                const std::function<std::string(std::string_view)>& expand);

// Reads the shortcut at `hostFile` and gives its target with the target's environment
// variables expanded. Empty when the file cannot be read or names no path. Files above
// 1 MiB are not shortcuts the shell would load, and anything but a regular file (a FIFO, a
// device) is never opened for reading: both give empty too.
std::string ResolveShortcutTarget(const std::filesystem::path& hostFile, const EnvironmentBlock& environment);

}  // namespace kestrove
