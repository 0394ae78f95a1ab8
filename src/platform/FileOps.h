// The descriptor-level file operations that removal, overwriting and the other writes into a
// target go through, behind one interface as Env is for the registry files: the host's own
// calls by default, and in tests a wrapper that makes chosen calls fail (an unlink refused
// with EIO, a full disk under an overwrite, a folder that cannot be read).
//
// Every call reports failure as the system call it stands for does: -1 (or false) with errno
// set, so a caller can pass errno on. Names are single entries of an open folder; AT_FDCWD
// with a full path is allowed where the system call allows it. No call ever follows a link
// on its own: the caller passes O_NOFOLLOW or AT_SYMLINK_NOFOLLOW where it means it.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestrove {

// What a folder entry is. A link is never looked through, whatever it points at.
enum class TEntryKind { File, Folder, Link, Other };

struct TFolderEntry {
  std::string Name;
  TEntryKind Kind = TEntryKind::File;
};

class TFileOps {
 public:
  virtual ~TFileOps() = default;

  // openat(2): the new descriptor, or -1.
  virtual int OpenAt(int folderFd, const char* name, int flags, mode_t mode = 0) = 0;
  // fstatat(2) with `flags` (AT_SYMLINK_NOFOLLOW, AT_EMPTY_PATH): 0, or -1.
  virtual int StatAt(int folderFd, const char* name, struct stat& st, int flags) = 0;
  // fstat(2) of an open descriptor: 0, or -1.
  virtual int FStat(int fd, struct stat& st) = 0;
  // The mount an open file or folder lies on, as the kernel numbers mounts; nullopt when the
  // system cannot tell (callers then touch nothing).
  virtual std::optional<std::uint64_t> MountId(int fd) = 0;
  // The entries of an open folder without "." and ".." in the order the file system gives
  // them, kinds from the listing (links never looked through). The folder's own descriptor
  // keeps its position. False when it cannot be read; `out` then holds what was read.
  virtual bool ReadFolder(int folderFd, std::vector<TFolderEntry>& out) = 0;
  // unlinkat(2) with `flags` (AT_REMOVEDIR for an empty folder): 0, or -1.
  virtual int UnlinkAt(int folderFd, const char* name, int flags) = 0;
  // renameat(2) within or between open folders: 0, or -1.
  virtual int RenameAt(int fromFd, const char* from, int toFd, const char* to) = 0;
  // An exclusive, non-blocking whole-file lock (flock LOCK_EX | LOCK_NB): 0, or -1.
  virtual int LockExclusive(int fd) = 0;
  // True when another open file description holds a write lock on the file (F_OFD_GETLK).
  virtual bool LockedByOther(int fd) = 0;
  // read(2), pwrite(2): bytes moved, or -1.
  virtual ssize_t Read(int fd, void* buffer, std::size_t size) = 0;
  virtual ssize_t PWrite(int fd, const void* data, std::size_t size, off_t offset) = 0;
  // fsync(2), ftruncate(2): 0, or -1.
  virtual int FSync(int fd) = 0;
  virtual int FTruncate(int fd, off_t length) = 0;

  // The process-wide implementation over the host's system calls.
  static std::shared_ptr<TFileOps> Posix();
};

// The host's answer to TFileOps::MountId (statx's mount id, else /proc/self/fdinfo). Two bind
// mounts of one file system differ here where their device numbers agree.
std::optional<std::uint64_t> MountIdOf(int fd);

// Forwards every call to another TFileOps; tests derive from it to make chosen calls fail.
class TFileOpsWrapper : public TFileOps {
 public:
  explicit TFileOpsWrapper(std::shared_ptr<TFileOps> inner = TFileOps::Posix()) : inner_(std::move(inner)) {}
  int OpenAt(int folderFd, const char* name, int flags, mode_t mode = 0) override {
    return inner_->OpenAt(folderFd, name, flags, mode);
  }
  int StatAt(int folderFd, const char* name, struct stat& st, int flags) override {
    return inner_->StatAt(folderFd, name, st, flags);
  }
  int FStat(int fd, struct stat& st) override { return inner_->FStat(fd, st); }
  std::optional<std::uint64_t> MountId(int fd) override { return inner_->MountId(fd); }
  bool ReadFolder(int folderFd, std::vector<TFolderEntry>& out) override { return inner_->ReadFolder(folderFd, out); }
  int UnlinkAt(int folderFd, const char* name, int flags) override { return inner_->UnlinkAt(folderFd, name, flags); }
  int RenameAt(int fromFd, const char* from, int toFd, const char* to) override {
    return inner_->RenameAt(fromFd, from, toFd, to);
  }
  int LockExclusive(int fd) override { return inner_->LockExclusive(fd); }
  bool LockedByOther(int fd) override { return inner_->LockedByOther(fd); }
  ssize_t Read(int fd, void* buffer, std::size_t size) override { return inner_->Read(fd, buffer, size); }
  ssize_t PWrite(int fd, const void* data, std::size_t size, off_t offset) override {
    return inner_->PWrite(fd, data, size, offset);
  }
  int FSync(int fd) override { return inner_->FSync(fd); }
  int FTruncate(int fd, off_t length) override { return inner_->FTruncate(fd, length); }

 protected:
  TFileOps& inner() { return *inner_; }

 private:
  std::shared_ptr<TFileOps> inner_;
};

}  // namespace kestrove
