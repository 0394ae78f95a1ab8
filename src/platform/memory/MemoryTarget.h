// A target built by code for tests: the registry lives in memory, drive C: is a temporary
// folder that is created with the target and removed with it.
//
//   MemoryTarget t;                                   // Windows 7, user "user"
//   t.SetString(HKEY_CURRENT_USER, "Software\\X", "Path", "C:\\x\\y.txt");
//   t.WriteFile("C:\\x\\y.txt", "data");
//   auto host = t.HostPath("C:\\X\\Y.TXT");
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/TargetSystem.h"

namespace kestrove::memory {

class MemoryTarget : public TargetSystem {
 public:
  struct Options {
    // Fill the registry as a fresh Windows 7 holds it (version 6.1, C:\windows, the user's
    // shell folders and environment) and create the folders it names. Off: an empty registry
    // and an empty C: drive.
    bool defaultRegistry = true;
    std::string userName = "user";
    std::string userSid = RegistryStore::kDefaultUserSid;
  };

  MemoryTarget();
  explicit MemoryTarget(Options options);
  // Removes the temporary folder and everything in it.
  ~MemoryTarget() override;

  // The host folder behind C:.
  std::filesystem::path DriveC() const { return Folder() / "drive_c"; }

  // Registry helpers; keys are created as needed. They throw std::runtime_error when the
  // store refuses, so that a test's set-up cannot fail unnoticed.
  void CreateKey(TRootKey root, std::string_view key);
  void SetValue(TRootKey root, std::string_view key, std::string_view name, std::uint32_t type, const Bytes& data);
  void SetString(TRootKey root, std::string_view key, std::string_view name, std::string_view value);
  void SetExpandString(TRootKey root, std::string_view key, std::string_view name, std::string_view value);
  void SetDword(TRootKey root, std::string_view key, std::string_view name, std::uint32_t value);
  void DeleteValue(TRootKey root, std::string_view key, std::string_view name);

  // File helpers on Windows paths of a mapped drive; parent folders are created. They
  // return the host path and throw std::runtime_error when it cannot be written.
  std::filesystem::path WriteFile(std::string_view windowsPath, std::string_view contents);
  std::filesystem::path MakeFolder(std::string_view windowsPath);

  // Adds a drive backed by a host folder (created when missing); `insideTarget` false makes
  // it behave as a folder outside the target.
  void AddDrive(char letter, const std::filesystem::path& hostRoot, std::uint32_t type, bool insideTarget = true);
  void RemoveDrive(char letter);

 protected:
  DriveMap BuildDriveMap() override;

 private:
  void FillDefaultRegistry(const Options& options);

  DriveMap drives_;
};

}  // namespace kestrove::memory
