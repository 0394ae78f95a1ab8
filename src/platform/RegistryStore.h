// The registry of one target system, shared by every TRegistry object of the process.
//
// Keys live in hives: HKLM, HKU\.Default and HKU\<user SID> (HKCU). A hive may be
// backed by a file of the target (Wine's text files); changes stay in memory until Commit().
// Every call is safe from any thread (a reader-writer lock inside).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Env.h"
#include "platform/RegistryTypes.h"

namespace kestrove {

// The one key a command is about, and how much below it: its subkeys' names, or every key
// below. With `changes` the command sets or deletes the key's values and may create it, and
// changes nothing else.
struct TRegistryFocus {
  TRootKey root = TRootKey::LocalMachine;
  std::string path;
  bool subtree = false;
  bool changes = false;
};

// A key met by RegistryStore::WalkTree, valid only while the visitor runs.
class TWalkedKey {
 public:
  // The walk's start path as given, then the subkey names as enumerated, '\' between.
  std::string_view Path() const { return path_; }
  // 0 for the start key, 1 for its subkeys, and so on.
  int Depth() const { return depth_; }
  // The key's values in enumeration order, as Values() gives them; read on the first call,
  // so a visitor that passes a key over never pays for them. nullptr when the key cannot be
  // read.
  virtual const std::vector<RegValue>* Values() = 0;
  // How many subkeys the key has, as QueryKeyInfo counts them (0 when it cannot be read).
  virtual std::size_t SubKeyCount() = 0;

 protected:
  ~TWalkedKey() = default;
  std::string_view path_;
  int depth_ = 0;
};

// What a walk's visitor wants after a key: its subkeys, not them, or no more keys at all.
enum class TWalkStep { Enter, Skip, Stop };

class RegistryStore {
 public:
  // The user SID Wine gives the prefix's user.
  static constexpr const char* kDefaultUserSid = "S-1-5-21-0-0-0-1000";

  virtual ~RegistryStore() = default;

  // An empty registry that lives in memory only (tests, generated targets).
  static std::unique_ptr<RegistryStore> CreateInMemory(std::string userSid = kDefaultUserSid);
  // The registry of a Wine prefix: system.reg, userdef.reg and user.reg, whose keys are read
  // now and values on first use. Throws RegistryError when a present hive file is malformed.
  static std::unique_ptr<RegistryStore> OpenWinePrefix(const std::filesystem::path& prefix,
                                                       std::shared_ptr<Env> env = Env::Default());
  // The registry of a Wine prefix opened only for `focus`: of its hive file only the key, the
  // keys on the way to it and what is below it are kept (see TRegistryFocus); the rest is
  // looked through, not loaded or checked, and other hives are left empty. What is asked of the
  // focus is answered as by OpenWinePrefix. Without `focus.changes` nothing can be changed; with
  // it, a commit writes the hive's file anew from the file itself: every other byte as it is,
  // the changed keys' text replaced where it stood and a new key put where it sorts. Where
  // links, a key named twice or a fault of the file need the whole registry, this is
  // OpenWinePrefix.
  static std::unique_ptr<RegistryStore> OpenWinePrefixFocused(const std::filesystem::path& prefix,
                                                             const TRegistryFocus& focus,
                                                             std::shared_ptr<Env> env = Env::Default());

  // Paths are relative to the root, components separated by '\'; "" is the root itself.
  // Symbolic-link keys on the way are followed. Names compare without regard to case.
  virtual bool KeyExists(TRootKey root, std::string_view path) = 0;
  // Creates the key and missing parents. False when the path is invalid.
  virtual bool CreateKey(TRootKey root, std::string_view path) = 0;
  // Subkey and value names in enumeration order; nullopt when the key does not exist.
  virtual std::optional<std::vector<std::string>> SubKeyNames(TRootKey root, std::string_view path) = 0;
  virtual std::optional<std::vector<std::string>> ValueNames(TRootKey root, std::string_view path) = 0;
  virtual std::optional<std::vector<RegValue>> Values(TRootKey root, std::string_view path) = 0;
  virtual std::optional<RegValue> QueryValue(TRootKey root, std::string_view path, std::string_view name) = 0;
  virtual std::optional<RegKeyInfo> QueryKeyInfo(TRootKey root, std::string_view path) = 0;
  // False when the key does not exist.
  virtual bool SetValue(TRootKey root, std::string_view path, std::string_view name, std::uint32_t type,
                        const Bytes& data) = 0;
  virtual bool DeleteValue(TRootKey root, std::string_view path, std::string_view name) = 0;
  // Deletes the key and everything below it. A link key below is removed as a link:
  // what it points to is never deleted through it. False when the key does not exist.
  virtual bool DeleteKey(TRootKey root, std::string_view path) = 0;
  // True when DeleteKey would delete the key: it exists and is not a root the store keeps
  // (HKEY_USERS itself, a hive's own root, a key outside every hive). Lets a caller refuse
  // before it has removed anything below the key.
  virtual bool CanDeleteKey(TRootKey root, std::string_view path) = 0;
  // Creates a symbolic-link key pointing at `target`, an absolute path such as
  // "\\Registry\\Machine\\System\\ControlSet001" (as Wine's own links are written).
  virtual bool CreateLink(TRootKey root, std::string_view path, std::string_view target) = 0;
  // True when the key at `path` is a symbolic link (the path's last component is not followed).
  virtual bool IsLink(TRootKey root, std::string_view path) = 0;
  // The number of values of the key and of every key below it; a link key below is not
  // entered (what it points to is counted where it lives). 0 when the key does not exist.
  // Walks without recursion, so any depth is safe.
  virtual std::size_t TreeValueCount(TRootKey root, std::string_view path);
  // Shows `visit` the key at `path` and then, as long as it answers Enter, each key's subkeys
  // in enumeration order, every key before the keys below it: what Values, SubKeyNames and
  // IsLink tell key by key, without finding every key again from its root. Link keys below
  // the start are neither shown nor entered (what they point to is walked where it lives).
  // Nothing when the key does not exist. Walks without recursion, so any depth is safe.
  // A store may hold its registry for reading throughout: `visit` must not call the store,
  // and a change made meanwhile on another thread may wait for the walk.
  using WalkVisitor = std::function<TWalkStep(TWalkedKey&)>;
  virtual void WalkTree(TRootKey root, std::string_view path, const WalkVisitor& visit);

  // Why writing is refused right now (Wine runs on the target), or nullopt.
  virtual std::optional<std::string> WriteBlockReason() = 0;
  // Writes every changed hive atomically. Throws RegistryError; the files are then unchanged.
  virtual void Commit() = 0;
  virtual bool HasUncommittedChanges() = 0;
  // Drops uncommitted changes (the hives are read again on next use).
  virtual void Discard() = 0;

  // Which state of the hive files the tree shows. It changes whenever the tree is read again
  // because the files changed under it (another process wrote them, a restore replaced them);
  // this store's own commits keep it. Work planned on one view (a scan's rows) is carried out
  // only on that view.
  virtual std::uint64_t View() { return 0; }
  // Reads again every hive whose file is no longer the one last read and that holds no
  // uncommitted change; returns View(). Before a scan, a clean or a restore.
  virtual std::uint64_t Refresh() { return View(); }
  // Opens the run of changes now (refused, RegistryError, while writes are blocked), so that no
  // other Kestrove process writes until Commit or Discard, and reads again the hives that
  // changed meanwhile; returns View(). A caller that compares it with the view its work was
  // planned on knows that nothing can change under it before the commit.
  virtual std::uint64_t BeginChanges() { return View(); }

  // The files the registry lives in, in the store's order, handed to `fn` while no Kestrove
  // process can write them (the lock a commit takes), so that whatever `fn` reads of them is
  // whole. Refused (RegistryError) while writes are blocked, and by a registry without files.
  using HiveFilesFn = std::function<void(const std::vector<std::filesystem::path>&)>;
  virtual void WithHiveFiles(const HiveFilesFn& fn);

  // Puts new content in place of hive files, under the same lock, all or nothing:
  // `read` gives the new content of each file (in the order of the files; nullopt keeps that
  // file). Every new content is checked as the file it replaces (a damaged file, or one that
  // holds another hive, is refused with its name and line) before `beforeReplace` runs and
  // before anything is replaced. A file that another program changes meanwhile is not
  // overwritten. Afterwards the store reads the files again; uncommitted changes are dropped
  // (also on failure). Throws RegistryError, or what the callbacks throw; the files are then
  // as they were.
  struct THiveReplacement {
    std::function<std::vector<std::optional<std::string>>(const std::vector<std::filesystem::path>&)> read;
    HiveFilesFn beforeReplace;
  };
  virtual void ReplaceHiveFiles(const THiveReplacement& replacement);

  // The hives that live in files, for measuring and compacting them: each hive's place below
  // \Registry ("Machine", "Machine\\Software", "User\\<SID>_Classes") and its file.
  struct THiveFileInfo {
    std::string mount;
    std::filesystem::path file;
  };
  virtual std::vector<THiveFileInfo> HiveFileTable() { return {}; }
  // Writes the hive of HiveFileTable()[index] compacted, as a fresh write of its format gives
  // it (no free space, nothing but its keys and values), to `target`, which is replaced only
  // once the copy is whole and on the disk. The hive is first read again when its file
  // changed. Returns the stamp of the hive file the copy holds the content of. Refused
  // (RegistryError) while writes are blocked or while the hive has uncommitted changes.
  virtual FileStamp SaveHiveCopy(std::size_t index, const std::filesystem::path& target);
  // Puts compacted copies (SaveHiveCopy) in place of their hive files. `copies[i]` belongs to
  // HiveFileTable()[i]; nullopt keeps that hive. A copy is used only when its hive file is still
  // the one it was made from (`madeFrom`) and it holds exactly the keys and values of that
  // file; a hive that fails either is kept, with the reason in its place of the result ("" for
  // the others). The hives that pass are replaced together, all or nothing, under the lock
  // commits take; `beforeReplace` gets their files first (to keep the old ones). A copy put in
  // place no longer exists under its own name. Throws RegistryError when the replacement as a
  // whole fails; the files are then as they were. The store reads the files again afterwards.
  struct THiveCopy {
    std::filesystem::path copy;
    FileStamp madeFrom;
  };
  virtual std::vector<std::string> InstallHiveCopies(const std::vector<std::optional<THiveCopy>>& copies,
                                                     const HiveFilesFn& beforeReplace);

  // The key a path leads to, as a path below \Registry ("Machine\Software\Classes\.txt"),
  // links on the way followed; nullopt when it does not exist. Two paths that name the same
  // key (HKEY_CURRENT_USER and HKEY_USERS\<SID>) give the same text, letters as stored.
  virtual std::optional<std::string> CanonicalKeyPath(TRootKey root, std::string_view path);

  virtual std::string UserSid() = 0;
  // Describes the target's registry for messages: the prefix folder, or "memory".
  virtual std::string Describe() = 0;
};

// Splits "A\B\C" into components; empty components (doubled or edge separators) are dropped.
std::vector<std::string_view> SplitKeyPath(std::string_view path);

}  // namespace kestrove
