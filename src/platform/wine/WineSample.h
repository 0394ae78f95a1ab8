// A small, realistic Wine prefix for trying the program out and for tests: the registry of a
// fresh Wine 8 prefix, the folders Wine creates, and a few traces of use (run history, recent
// documents, temporary files) for the cleaner to find.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "platform/TargetSystem.h"

namespace kestrove::wine {

class SampleError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What the steps of the sample build with: files on the sample's drives and its registry.
class SampleBuilder {
 public:
  explicit SampleBuilder(TargetSystem& target) : target_(target) {}
  TargetSystem& Target() { return target_; }

  // Creates a folder (and its parents) at a Windows path.
  void Folder(std::string_view windowsPath);
  // Writes a file at a Windows path, creating its folder; `ageHours` > 0 dates it back.
  void File(std::string_view windowsPath, std::string_view contents, int ageHours = 0);
  // Registry values; the key is created when missing.
  void String(TRootKey root, std::string_view key, std::string_view name, std::string_view value);
  void Binary(TRootKey root, std::string_view key, std::string_view name, const Bytes& data);
  void Dword(TRootKey root, std::string_view key, std::string_view name, std::uint32_t value);

 private:
  std::filesystem::path Host(std::string_view windowsPath);
  TargetSystem& target_;
};

// One part of the sample; new traces are added as new steps in WineSample.cpp.
using SampleStep = void (*)(SampleBuilder&);

// The registry template: system.reg, user.reg, userdef.reg and update-timestamp.
// Looks beside the program ("sample/"), in the source tree ("../data/sample/" of a build
// folder) and in an installed share folder; nullopt when none holds the template.
std::optional<std::filesystem::path> FindSampleTemplate(const std::filesystem::path& programFolder);

// Writes a sample target into `folder`, which must not exist or be an empty folder: `build`
// fills a folder made beside it, which is then renamed into place, so a failure leaves nothing
// behind. `templateFolder` must hold the whole registry template. Throws SampleError.
void WriteSampleFolder(const std::filesystem::path& folder, const std::filesystem::path& templateFolder,
                       const std::function<void(const std::filesystem::path&)>& build);

// Writes the sample prefix into `folder`, which must not exist or be an empty folder. The
// prefix is built beside it and renamed into place, so a failure leaves nothing behind.
// Throws SampleError.
void WriteSamplePrefix(const std::filesystem::path& folder, const std::filesystem::path& templateFolder);

// What the sample adds to a fresh system's registry and folders: the folders and program files
// the registry names, documents, and traces of use for the cleaner and the scan to find; and a
// machine GUID of its own. The registry is left uncommitted.
void AddSampleContent(TargetSystem& target, const std::filesystem::path& templateFolder);

// A minimal shell link (.lnk) whose LinkInfo names `target` on a fixed drive, as the shell
// writes into the Recent folder.
Bytes MakeShellLink(std::string_view target);

}  // namespace kestrove::wine
