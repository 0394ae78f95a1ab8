// The file services the cleaner asks of Windows, on the folders of a target system:
// opening a folder or a file's folder by its Windows path for removal without ever leaving
// the Windows system (its folder, its own drives, its mount), folder listings that never
// follow links, the "in use" test, overwriting, delayed deletion at the next start, the 9x
// rename list and the emptying of the recycle bins.
//
// Everything below a folder that was opened is reached relative to its descriptor, with
// links never followed: a link found in a folder is an entry of its own, removed as itself.
// Every call on the file system goes through the target's TFileOps (the `ops` argument, or
// the one an opened folder carries), so tests can make any of them fail.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/FileOps.h"
#include "platform/TargetSystem.h"

namespace kestrove {

// A file descriptor that is closed with its owner.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = other.Release();
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset();

 private:
  int fd_ = -1;
};

// The entries of an open folder without "." and "..", in the order an NTFS listing gives
// them (by name without regard to case). An unreadable folder lists nothing.
std::vector<TFolderEntry> ListFolder(TFileOps& ops, int folderFd);

// Why a folder or file of the target could not be had for removal or writing.
enum class TTargetAccess {
  Opened,
  Absent,   // no such place, or not reachable (the caller goes on quietly)
  Outside,  // it exists but lies outside the Windows system: nothing there is touched
};

// A folder of the target opened for clearing.
struct TTargetFolder {
  UniqueFd Fd;
  std::uint64_t Mount = 0;  // the prefix folder's mount: nothing on another one is entered
  bool DriveRoot = false;
  std::shared_ptr<TFileOps> Ops;  // the target's: everything below Fd goes through it
};

// Opens a folder named by a full Windows path for removal. Only a folder inside the target's
// own folder is had, on a drive whose folder lies inside it too, below that drive's folder
// once every link on the way is resolved, and on the same mount as the target's folder
// (bind mounts included). The folder is reached from the target's folder one name at a time
// without following links, so a folder swapped for a link since the path was looked up
// ends the opening. Anything else is nullopt; `access` says whether it was absent or lies
// outside the Windows system (Wine's Z: is the host's "/").
std::optional<TTargetFolder> OpenTargetFolder(const TargetSystem& target, std::string_view windowsPath,
                                              TTargetAccess* access = nullptr);

// The folder holding a file named by a full Windows path, opened under the same rules, and
// the file's name in it (as the folder spells it when the file exists).
struct TTargetParent {
  UniqueFd Fd;
  std::uint64_t Mount = 0;
  std::string Leaf;
  std::shared_ptr<TFileOps> Ops;
};
std::optional<TTargetParent> OpenTargetParent(const TargetSystem& target, std::string_view windowsPath,
                                              TTargetAccess* access = nullptr);

// A subfolder of an open folder, opened without following a link, when it lies on `mount`;
// `otherMount` (optional) is set when it is there but a mount point (another file system or
// a bind mount).
UniqueFd OpenSubfolderOnMount(TFileOps& ops, int folderFd, const char* name, std::uint64_t mount,
                              bool* otherMount = nullptr);

// A drive whose folder lies within the target and is not the host's root: only these are
// "fixed disks" to the whole-drive rules.
bool IsFixedTargetDrive(const TargetSystem& target, char letter);

// The kind and size of an entry, links not followed; nullopt when it is gone.
struct TEntryStat {
  TEntryKind Kind = TEntryKind::File;
  std::uint64_t Size = 0;  // 0 for anything but a file
};
std::optional<TEntryStat> StatEntry(TFileOps& ops, int folderFd, const char* name);

// True when the file exists and cannot be had for exclusive reading and writing: it cannot
// be opened for writing (immutable, read-only medium, a running program's image) or another
// open file holds a lock on it. A link or a device is never in use; a folder always is.
bool FileInUseAt(TFileOps& ops, int folderFd, const char* name);

// Overwrites a file in place `passes` times with one byte value (0 to 254, at random) per
// pass over its whole size, flushing each pass to disk; the file keeps its name and size.
// Refused (false) for anything but a plain file with a single name on the folder's own mount,
// and when the file cannot be opened exclusively. `afterPass` (optional) hears each pass: number, byte, bytes written.
using TOverwriteObserver = std::function<void(int pass, std::uint8_t value, std::uint64_t written)>;
bool OverwriteFileAt(TFileOps& ops, int folderFd, const char* name, int passes,
                     const TOverwriteObserver& afterPass = nullptr);

// Removes a folder tree below an open folder without logging or asking: links are removed as
// themselves, nothing off `mount` is entered. Returns the entries removed.
// `stopped`, when given, is asked before each entry: once it says so nothing more goes.
std::uint64_t RemoveTreeAt(TFileOps& ops, int parentFd, const char* name, std::uint64_t mount,
                           const std::function<bool()>& stopped = {});

// Registers a file for deletion at the next start of the target, as MoveFileEx with a null
// target and MOVEFILE_DELAY_UNTIL_REBOOT does: the pair "\??\C:\path" and "" is appended to
// HKLM\System\CurrentControlSet\Control\Session Manager\PendingFileRenameOperations (Wine
// carries the list out when the prefix next starts). A file already registered is not added
// twice. False when the path is not on the target's drives or the registry refuses.
bool ScheduleDeleteAtNextStart(TargetSystem& target, std::string_view windowsPath);

// The entries of the pending list, in order (sources and targets alternate).
std::vector<std::string> PendingFileRenameOperations(TargetSystem& target);

// Adds lines to the [rename] section of "Wininit.ini" in the target's Windows folder, as the
// 9x family's delayed operations are kept: right below an existing "[rename]" header (so
// the lines end up last first), else a new section at the end. The file is replaced as a
// whole. False when it cannot be read or written.
bool AddToWininitRename(TargetSystem& target, const std::vector<std::string>& lines);

// Empties the recycle bins ("$Recycle.Bin", "RECYCLER", "Recycled") of the target's fixed
// drives, as the shell does: the deleted items go, each bin's desktop.ini stays and its
// INFO2 index is cut back to its header (unless it has another name somewhere: a file with
// more than one link is never written in place). Returns the entries removed. Once `stopped`
// (when given) says so, nothing more is removed or cut back.
std::uint64_t EmptyRecycleBins(TargetSystem& target, const std::function<bool()>& stopped = {});

}  // namespace kestrove
