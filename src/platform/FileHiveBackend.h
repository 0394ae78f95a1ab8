// What every backend whose hives live in files of the target shares: the staged file beside
// each hive, the rename that puts it in place, the journal that undoes a commit cut between
// two renames, the lock that serialises Kestrove processes on the target, and the check that a
// file is still the one read. The formats are the subclasses' (wine/, regf/).
// Internal to src/platform.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Env.h"
#include "platform/HiveStore.h"
#include "platform/wine/WineServer.h"

namespace kestrove {

class TFileHiveBackend : public IHiveBackend {
 public:
  void PublishHive(std::size_t index) override;
  void DropStagedHive(std::size_t index) override;
  void UnpublishHive(std::size_t index) override;
  void ForgetReplacedHive(std::size_t index) override;
  bool HiveChanged(std::size_t index) override;
  void BeginPublish(const std::vector<std::size_t>& staged) override;
  void EndPublish() override;
  void RecoverInterruptedCommit() override;
  void StageHiveData(std::size_t index, const std::string& data) override;
  // Takes the lock file that serialises Kestrove processes on the target, undoes a commit cut
  // short and removes what crashed commits left behind.
  void BeginWriteSession() override;
  void EndWriteSession() override;
  std::vector<std::filesystem::path> HiveFiles() override;
  void SaveHiveCopy(std::size_t index, const regtree::Hive& hive, const std::function<void(regtree::Node&)>& ensureValues,
                    const std::filesystem::path& target) override;
  void StageHiveCopy(std::size_t index, const std::filesystem::path& copy) override;
  std::optional<FileStamp> LoadedStamp(std::size_t index) override { return files_[index].stamp; }

 protected:
  // `folder` holds the lock file and the commit journal.
  TFileHiveBackend(std::filesystem::path folder, std::shared_ptr<Env> env);

  struct THiveFile {
    std::filesystem::path file;
    std::optional<FileStamp> stamp;  // as last loaded or saved; nullopt: there was no file
    // Between PublishHive and ForgetReplacedHive: what the replaced file was (kept under
    // ReplacedFile's name when there was one).
    bool published = false;
    std::optional<FileStamp> replaced{};
    bool kept = false;
    std::optional<FileStamp> staged{};  // the staged file, as it will be once renamed
    std::optional<std::filesystem::path> stagedCopy{};  // StageHiveCopy's copy, named until published
  };

  // Writes hive `index`'s new file to its staged place through `write`, which hands its
  // output to the sink it is given (false from the sink: stop, the write failed), and brings
  // it to the disk. Throws RegistryError, then nothing is left behind.
  void StageWith(std::size_t index, const std::function<void(const std::function<bool(std::string_view)>&)>& write);
  // A compact copy of the hive's tree in the format's own words, handed to `sink` piece by
  // piece (false from the sink: stop, the write failed).
  virtual void WriteHiveCopy(std::size_t index, const regtree::Hive& hive,
                             const std::function<void(regtree::Node&)>& ensureValues,
                             const std::function<bool(std::string_view)>& sink) = 0;
  // Throws the message every failed save gives, after removing the staged file.
  [[noreturn]] void FailSave(const THiveFile& f, const std::string& why);
  // After hive `index`'s new file was renamed into place.
  virtual void Published(std::size_t) {}
  // Where StageHive writes the hive's new file, and where PublishHive keeps the old one.
  std::filesystem::path StagedFile(const THiveFile& f) const;
  std::filesystem::path ReplacedFile(const THiveFile& f) const;

  std::filesystem::path folder_;
  std::shared_ptr<Env> env_;
  std::vector<THiveFile> files_;  // in the order of Mounts()
  wine::AdvisoryLock lock_;

 private:
  void RemoveStaleTempFiles();
  // Undoes a commit whose process died between two renames; with the lock held.
  void RollBackJournal();
  std::filesystem::path JournalFile() const;
};

}  // namespace kestrove
