// The registry of a Wine prefix: system.reg (HKLM), userdef.reg (HKU\.Default) and user.reg
// (HKU\<user SID>) in the prefix folder, in Wine's text format.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Env.h"
#include "platform/HiveStore.h"
#include "platform/wine/WineHive.h"
#include "platform/wine/WineServer.h"

namespace kestrove::wine {

class TWineRegistryBackend final : public IHiveBackend {
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
  void PublishHive(std::size_t index) override;
  void DropStagedHive(std::size_t index) override;
  void UnpublishHive(std::size_t index) override;
  void ForgetReplacedHive(std::size_t index) override;
  bool HiveChanged(std::size_t index) override;
  void BeginPublish(const std::vector<std::size_t>& staged) override;
  void EndPublish() override;
  void RecoverInterruptedCommit() override;
  void CheckHiveData(std::size_t index, const std::string& data, const std::string& shownName) override;
  void StageHiveData(std::size_t index, const std::string& data) override;

  // Wine keeps a running prefix's registry in memory and writes its files when it exits.
  std::optional<std::string> WriteBlockReason() override;
  // Takes the lock file that serialises Kestrove processes on the prefix.
  void BeginWriteSession() override;
  void EndWriteSession() override;
  std::vector<std::filesystem::path> HiveFiles() override;

 private:
  struct HiveFile {
    std::filesystem::path file;
    std::string relativeTo;  // as the file's preamble names the hive's place
    std::optional<FileStamp> stamp;  // as last loaded or saved; nullopt: there was no file
    // Between PublishHive and ForgetReplacedHive: what the replaced file was (kept under
    // ReplacedFile's name when there was one).
    bool published = false;
    std::optional<FileStamp> replaced{};
    bool kept = false;
    std::optional<FileStamp> staged{};  // the staged file, as it will be once renamed
  };

  void RemoveStaleTempFiles();
  // Undoes a commit whose process died between two renames; with the lock held.
  void RollBackJournal();
  std::filesystem::path JournalFile() const;
  bool LoadFocused(HiveFile& f, regtree::Hive& hive);
  void StageSplice(HiveFile& f, const regtree::Hive& hive, const std::function<void(regtree::Node&)>& ensureValues,
                   const std::function<void(const std::string&)>& fail);
  // Where StageHive writes the hive's new file, and where PublishHive keeps the old one.
  std::filesystem::path StagedFile(const HiveFile& f) const;
  std::filesystem::path ReplacedFile(const HiveFile& f) const;

  std::filesystem::path prefix_;
  std::shared_ptr<Env> env_;
  std::string sid_;
  std::vector<HiveFile> files_;  // in the order of Mounts()
  AdvisoryLock lock_;
  std::optional<std::size_t> focusHive_;
  THiveFocus focus_;
  bool focusChanges_ = false;
  bool focusFailed_ = false;
  // Of the focused hive as last loaded: where its cut text came from, where a new focus key
  // goes, and how many keys of the file it holds.
  std::vector<THiveFocusFilter::TSpan> spans_;
  std::uint64_t insertAt_ = 0;
  std::size_t fileKeys_ = 0;
};

}  // namespace kestrove::wine
