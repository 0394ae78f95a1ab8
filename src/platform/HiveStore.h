// The registry store of every kind of target: one key tree over a set of hives, with the
// lock, path resolution, links and change tracking. Where the hives come from and how they
// go back is a backend's business (wine/, memory/). Internal to src/platform.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/RegistryStore.h"
#include "platform/RegistryTree.h"

namespace kestrove {

// Where a backend's hive sits in the tree.
struct THiveMount {
  // Its root key below \Registry: "Machine", "User\\.Default", "User\\<SID>", ...
  std::string path;
  // Names the hive in messages: its file, or its place when it has none.
  std::string label;
};

// What one kind of target adds to the key tree. Hives are named by their index in Mounts().
// Calls that read, write or replace a hive come with the store's exclusive lock held;
// LoadValues comes under the shared lock, one call at a time; WriteBlockReason may come from
// any thread at any time.
class IHiveBackend {
 public:
  virtual ~IHiveBackend() = default;

  // The hives, in the order they are loaded and written. Asked once.
  virtual std::vector<THiveMount> Mounts() = 0;
  // The SID of the user whose hive is HKEY_CURRENT_USER; one of the mounts is "User\\<SID>".
  virtual std::string UserSid() = 0;
  // Describes the registry for messages: the target's folder, or "memory".
  virtual std::string Describe() = 0;

  // Fills `hive`, whose root is empty; a hive without a file yet is an empty hive. May leave
  // values unread (Node::valuesReady false) for LoadValues. Throws RegistryError and then
  // leaves the root empty.
  virtual void LoadHive(std::size_t index, regtree::Hive& hive) = 0;
  // Reads the values of a key of `hive` whose values were left unread.
  virtual void LoadValues(const regtree::Hive& hive, regtree::Node& node) = 0;
  // A commit in two steps, so that one that changes several hives changes all or none:
  // StageHive writes the hive's new file beside the old one (to the disk) without replacing it;
  // `ensureValues` reads the values of a key before they are written. Throws RegistryError and
  // then leaves nothing behind. PublishHive puts the staged file in place so that a crash leaves
  // the old or the new file; throws RegistryError, the file then as it was. DropStagedHive
  // removes a staged file that will not be published.
  virtual void StageHive(std::size_t index, const regtree::Hive& hive,
                         const std::function<void(regtree::Node&)>& ensureValues) = 0;
  virtual void PublishHive(std::size_t index) = 0;
  virtual void DropStagedHive(std::size_t index) = 0;
  // PublishHive may keep the file it replaced until ForgetReplacedHive, so that a commit whose
  // later hive cannot be published puts the earlier ones back (UnpublishHive, which does what it
  // can and never throws).
  virtual void UnpublishHive(std::size_t) {}
  virtual void ForgetReplacedHive(std::size_t) {}
  // True when the hive's file is no longer the one last loaded or saved (another process
  // wrote it), so that changes are made on the current content.
  virtual bool HiveChanged(std::size_t index) = 0;
  // Around the PublishHive calls of one commit: BeginPublish records on disk which hives are
  // about to be replaced, so that a process killed between two of them has its commit undone
  // at the next open (RecoverInterruptedCommit) instead of leaving half of it; EndPublish,
  // once every hive is in place or put back, forgets that record. Throws RegistryError from
  // BeginPublish, nothing then replaced.
  virtual void BeginPublish(const std::vector<std::size_t>&) {}
  virtual void EndPublish() {}
  // Called before the hives are first read, and when a run of changes begins.
  virtual void RecoverInterruptedCommit() {}
  // For ReplaceHiveFiles: CheckHiveData throws RegistryError (naming `shownName` and the line)
  // unless `data` is a whole, readable file of this hive; StageHiveData stages it as StageHive
  // stages a hive's new file.
  virtual void CheckHiveData(std::size_t, const std::string&, const std::string& shownName) {
    throw RegistryError("The registry has no file that " + shownName + " could replace.");
  }
  virtual void StageHiveData(std::size_t, const std::string&) {
    throw RegistryError("The registry has no files to replace.");
  }

  // For compacting a hive: SaveHiveCopy writes the hive's tree as a fresh file of its format to
  // `target` (through a temporary file, replacing `target` once whole), with the exclusive
  // lock held. LoadHiveCopy reads such a file into `hive` (root empty) as the hive's own file
  // is read (values may be left for LoadValues); throws RegistryError naming `copy` unless it
  // is a whole, readable file of this hive. StageHiveCopy makes the file the hive's staged
  // file, as StageHive would have written it; the copy's own name is gone once published.
  virtual void SaveHiveCopy(std::size_t, const regtree::Hive&, const std::function<void(regtree::Node&)>&,
                            const std::filesystem::path&) {
    throw RegistryError("The registry has no files to compact.");
  }
  virtual void LoadHiveCopy(std::size_t, const std::filesystem::path&, regtree::Hive&) {
    throw RegistryError("The registry has no files to compact.");
  }
  virtual void StageHiveCopy(std::size_t, const std::filesystem::path&) {
    throw RegistryError("The registry has no files to compact.");
  }
  // The stamp of the hive's file as last loaded or saved.
  virtual std::optional<FileStamp> LoadedStamp(std::size_t) { return std::nullopt; }

  // Why writes are refused right now, or nullopt.
  virtual std::optional<std::string> WriteBlockReason() = 0;
  // Before the first change since the last commit or discard: refuses (RegistryError) when
  // writes are blocked, and waits for the right to write that other processes respect. Held
  // until EndWriteSession, so that no one else writes between a change and its commit.
  virtual void BeginWriteSession() = 0;
  virtual void EndWriteSession() = 0;
  // The mount of the hive whose keys HKEY_CLASSES_ROOT shows over HKLM\Software\Classes (a
  // user's classes, as Windows merges them), or "" when HKEY_CLASSES_ROOT is HKLM's alone.
  virtual std::string ClassesOverlay() { return {}; }
  // The files the hives live in, in the order of Mounts(); empty when they live in memory.
  virtual std::vector<std::filesystem::path> HiveFiles() { return {}; }
};

class THiveStore final : public RegistryStore {
 public:
  // Mounts and loads every hive of `backend`. Throws RegistryError when one cannot be read.
  explicit THiveStore(std::unique_ptr<IHiveBackend> backend);

  bool KeyExists(TRootKey root, std::string_view path) override;
  bool CreateKey(TRootKey root, std::string_view path) override;
  std::optional<std::vector<std::string>> SubKeyNames(TRootKey root, std::string_view path) override;
  std::optional<std::vector<std::string>> ValueNames(TRootKey root, std::string_view path) override;
  std::optional<std::vector<RegValue>> Values(TRootKey root, std::string_view path) override;
  std::optional<RegValue> QueryValue(TRootKey root, std::string_view path, std::string_view name) override;
  std::optional<RegKeyInfo> QueryKeyInfo(TRootKey root, std::string_view path) override;
  bool SetValue(TRootKey root, std::string_view path, std::string_view name, std::uint32_t type,
                const Bytes& data) override;
  bool DeleteValue(TRootKey root, std::string_view path, std::string_view name) override;
  bool CanDeleteKey(TRootKey root, std::string_view path) override;
  bool DeleteKey(TRootKey root, std::string_view path) override;
  bool CreateLink(TRootKey root, std::string_view path, std::string_view target) override;
  bool IsLink(TRootKey root, std::string_view path) override;
  std::size_t TreeValueCount(TRootKey root, std::string_view path) override;
  void WalkTree(TRootKey root, std::string_view path, const WalkVisitor& visit) override;

  std::optional<std::string> WriteBlockReason() override;
  void Commit() override;
  bool HasUncommittedChanges() override;
  void Discard() override;
  void WithHiveFiles(const HiveFilesFn& fn) override;
  void ReplaceHiveFiles(const THiveReplacement& replacement) override;
  std::uint64_t View() override;
  std::uint64_t Refresh() override;
  std::uint64_t BeginChanges() override;
  std::optional<std::string> CanonicalKeyPath(TRootKey root, std::string_view path) override;
  std::vector<THiveFileInfo> HiveFileTable() override;
  FileStamp SaveHiveCopy(std::size_t index, const std::filesystem::path& target) override;
  std::vector<std::string> InstallHiveCopies(const std::vector<std::optional<THiveCopy>>& copies,
                                             const HiveFilesFn& beforeReplace) override;

  std::string UserSid() override { return sid_; }
  std::string Describe() override { return backend_->Describe(); }

 private:
  void Load(std::size_t index);
  // Load for a hive whose file changed: the tree shows another view.
  void Reload(std::size_t index);
  // Every hive read again after its files were replaced, and the write session ended; throws
  // the first hive's error after that.
  void ReloadAll();
  // Puts the staged hives in place, all or none.
  void PublishStaged(const std::vector<std::size_t>& staged);
  void BeginWrite();
  void EndWrite();
  void Touch(regtree::Node& n);
  void EnsureValues(regtree::Node& n);
  regtree::Node* FollowLink(regtree::Node* n, int depth);
  regtree::Node* Step(regtree::Node* n, std::string_view name, bool create, bool follow,
                     regtree::Hive** hive = nullptr);
  regtree::Node* Walk(regtree::Node* base, std::string_view path, bool create, bool followLast);
  regtree::Node* Base(TRootKey root, bool create);
  regtree::Node* Resolve(TRootKey root, std::string_view path);
  // Where paths below `root` are looked up, in order: one key, or for a merged
  // HKEY_CLASSES_ROOT the user's classes and then the machine's.
  std::vector<regtree::Node*> Bases(TRootKey root);
  std::pair<regtree::Node*, regtree::Node*> Deletable(regtree::Node* base, std::string_view path);

  std::shared_mutex mu_;
  std::mutex lazyMu_;
  std::unique_ptr<IHiveBackend> backend_;
  std::string sid_;
  std::unique_ptr<regtree::Node> top_;
  regtree::Node* machine_ = nullptr;
  regtree::Node* users_ = nullptr;
  regtree::Node* userClasses_ = nullptr;  // the root of ClassesOverlay()'s hive
  std::vector<std::unique_ptr<regtree::Hive>> hives_;  // in the backend's order
  std::vector<std::string> mounts_;                    // their places, in the same order
  bool writing_ = false;  // between BeginWriteSession and EndWriteSession
  std::uint64_t view_ = 1;  // under mu_
};

}  // namespace kestrove
