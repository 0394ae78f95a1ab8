// A registry that lives in memory only: the hives a Wine prefix or Windows has (HKLM,
// HKU\.Default, HKU\<user SID>), built by code, never read from or written to a file.
#pragma once

#include <string>
#include <vector>

#include "platform/HiveStore.h"

namespace kestrove::memory {

class TMemoryRegistryBackend final : public IHiveBackend {
 public:
  explicit TMemoryRegistryBackend(std::string userSid) : sid_(std::move(userSid)) {}

  std::vector<THiveMount> Mounts() override;
  std::string UserSid() override { return sid_; }
  std::string Describe() override { return "memory"; }

  // Every hive starts empty and every key is made with its values, so there is nothing to
  // read; a commit keeps the tree as it is and only ends the run of changes.
  void LoadHive(std::size_t, regtree::Hive&) override {}
  void LoadValues(const regtree::Hive&, regtree::Node&) override {}
  void StageHive(std::size_t, const regtree::Hive&, const std::function<void(regtree::Node&)>&) override {}
  void PublishHive(std::size_t) override {}
  void DropStagedHive(std::size_t) override {}
  bool HiveChanged(std::size_t) override { return false; }

  std::optional<std::string> WriteBlockReason() override { return std::nullopt; }
  void BeginWriteSession() override {}
  void EndWriteSession() override {}

 private:
  std::string sid_;
};

}  // namespace kestrove::memory
