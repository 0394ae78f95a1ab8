// The registry of an offline Windows installation: the machine's hives in
// Windows/System32/config and the chosen user's NTUSER.DAT and UsrClass.dat, in Windows'
// binary hive format.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Env.h"
#include "platform/FileHiveBackend.h"
#include "platform/regf/OfflineWindows.h"

namespace kestrove::regf {

class TRegfRegistryBackend final : public TFileHiveBackend {
 public:
  TRegfRegistryBackend(std::filesystem::path root, std::filesystem::path configFolder, TOfflineProfile user,
                       std::shared_ptr<Env> env);

  std::vector<THiveMount> Mounts() override;
  std::string UserSid() override { return user_.Sid; }
  std::string Describe() override { return folder_.string(); }

  void LoadHive(std::size_t index, regtree::Hive& hive) override;
  void LoadValues(const regtree::Hive& hive, regtree::Node& node) override;
  void StageHive(std::size_t index, const regtree::Hive& hive,
                 const std::function<void(regtree::Node&)>& ensureValues) override;
  void ForgetReplacedHive(std::size_t index) override;
  // A whole regf hive that reads without fault, and the same hive: Windows names each hive's
  // root when it makes the hive, and the name stays with it.
  void CheckHiveData(std::size_t index, const std::string& data, const std::string& shownName) override;
  void LoadHiveCopy(std::size_t index, const std::filesystem::path& copy, regtree::Hive& hive) override;

  std::optional<std::string> WriteBlockReason() override;
  // Windows shows the user's classes over the machine's in HKEY_CLASSES_ROOT.
  std::string ClassesOverlay() override { return user_.ClassesHive ? "User\\" + user_.Sid + "_Classes" : ""; }

  // What reading the hives had to say (logs missing or damaged), for `info`.
  std::vector<std::string> Warnings();

 protected:
  void WriteHiveCopy(std::size_t index, const regtree::Hive& hive, const std::function<void(regtree::Node&)>& ensureValues,
                     const std::function<bool(std::string_view)>& sink) override;

 private:
  struct TMount {
    std::string path;  // below \Registry
    std::filesystem::path file;
  };
  // Puts the link Windows makes at boot from SYSTEM's Select\Current; it is not written back.
  void AddCurrentControlSet(regtree::Hive& hive);
  void AddUserClassesLink(regtree::Hive& hive);
  // The links Windows makes for the hive at boot or logon.
  void AddVolatileKeys(std::size_t index, regtree::Hive& hive);
  // Empties the transaction logs of a hive whose new file is in place: their entries are in it.
  void EmptyLogs(const std::filesystem::path& hiveFile);

  std::filesystem::path config_;
  TOfflineProfile user_;
  std::vector<TMount> mounts_;
  std::mutex reportMutex_;  // WriteBlockReason may come from any thread
  std::vector<std::optional<std::string>> refusals_;  // by hive, from its logs
  std::vector<std::vector<std::string>> warnings_;
  std::vector<std::string> rootNames_;  // by hive, as last loaded
};

}  // namespace kestrove::regf
