// The registry of a Wine prefix: system.reg (HKLM), userdef.reg (HKU\.Default) and user.reg
// (HKU\<user SID>) in the prefix folder, in Wine's text format.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Env.h"
#include "platform/FileHiveBackend.h"
#include "platform/wine/WineHive.h"
#include "platform/wine/WineServer.h"

namespace kestrove::wine {

class TWineRegistryBackend final : public TFileHiveBackend {
 public:
  // Reads the user's SID from user.reg; the hives themselves are read by LoadHive.
  TWineRegistryBackend(std::filesystem::path prefix, std::shared_ptr<Env> env);

  // From now on only `focus` of hive `index` is read (other hives are empty); writes are
  // refused unless `changes`, and then written by StageSplice. See
  // RegistryStore::OpenWinePrefixFocused.
  void Focus(std::size_t index, THiveFocus focus, bool changes);
  // True when a focused hive turned out to need the whole registry (a link, a fault of the file).
  bool FocusFailed() const { return focusFailed_; }

  std::vector<THiveMount> Mounts() override;
  std::string UserSid() override { return sid_; }
  std::string Describe() override { return prefix_.string(); }

  void LoadHive(std::size_t index, regtree::Hive& hive) override;
  void LoadValues(const regtree::Hive& hive, regtree::Node& node) override;
  void StageHive(std::size_t index, const regtree::Hive& hive,
                 const std::function<void(regtree::Node&)>& ensureValues) override;
  void CheckHiveData(std::size_t index, const std::string& data, const std::string& shownName) override;
  void LoadHiveCopy(std::size_t index, const std::filesystem::path& copy, regtree::Hive& hive) override;

  // Wine keeps a running prefix's registry in memory and writes its files when it exits.
  std::optional<std::string> WriteBlockReason() override;
  void BeginWriteSession() override;

 protected:
  void Published(std::size_t index) override;
  void WriteHiveCopy(std::size_t index, const regtree::Hive& hive, const std::function<void(regtree::Node&)>& ensureValues,
                     const std::function<bool(std::string_view)>& sink) override;

 private:
  bool LoadFocused(THiveFile& f, regtree::Hive& hive);
  // Parses `hive.buffer` into `hive` and checks that it names this hive's place (Wine loads a
  // file whatever place it names); throws RegistryError naming `shownName` and the line.
  void ParseCheckedHive(std::size_t index, regtree::Hive& hive, const std::string& shownName);
  void StageSplice(THiveFile& f, const regtree::Hive& hive, const std::function<void(regtree::Node&)>& ensureValues,
                   const std::function<void(const std::string&)>& fail);

  std::filesystem::path& prefix_ = folder_;
  std::string sid_;
  std::vector<std::string> relativeTo_;  // as each file's preamble names the hive's place
  std::optional<std::size_t> focusHive_;
  THiveFocus focus_;
  bool focusChanges_ = false;
  bool focusFailed_ = false;
  // Of the focused hive as last loaded: where its cut text came from, where a new focus key
  // goes, and how many keys of the file it holds.
  std::vector<THiveFocusFilter::TSpan> spans_;
  std::uint64_t insertAt_ = 0;
  std::size_t fileKeys_ = 0;
  // The keys of the focus's subtree that may be removed (when it was read whole): each by where
  // its text is in the cut, and where that text is in the file.
  struct TRemovable {
    std::size_t cut;
    std::uint64_t begin, end;
  };
  std::vector<TRemovable> removable_;
};

}  // namespace kestrove::wine
