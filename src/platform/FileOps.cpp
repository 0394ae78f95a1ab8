#include "platform/FileOps.h"

#include <dirent.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kestrove {

namespace {

std::optional<std::uint64_t> MountIdFromFdInfo(int fd) {
  const int info = ::open(("/proc/self/fdinfo/" + std::to_string(fd)).c_str(), O_RDONLY | O_CLOEXEC);
  if (info < 0) return std::nullopt;
  char buf[4096];
  const ssize_t n = ::read(info, buf, sizeof buf - 1);
  ::close(info);
  if (n <= 0) return std::nullopt;
  buf[n] = 0;
  const char* at = std::strstr(buf, "mnt_id:");
  if (!at) return std::nullopt;
  char* end = nullptr;
  const unsigned long long id = std::strtoull(at + 7, &end, 10);
  if (end == at + 7) return std::nullopt;
  return static_cast<std::uint64_t>(id);
}

TEntryKind KindOfMode(mode_t mode) {
  if (S_ISREG(mode)) return TEntryKind::File;
  if (S_ISDIR(mode)) return TEntryKind::Folder;
  if (S_ISLNK(mode)) return TEntryKind::Link;
  return TEntryKind::Other;
}

class TPosixFileOps : public TFileOps {
 public:
  int OpenAt(int folderFd, const char* name, int flags, mode_t mode) override {
    return ::openat(folderFd, name, flags, mode);
  }
  int StatAt(int folderFd, const char* name, struct stat& st, int flags) override {
    return ::fstatat(folderFd, name, &st, flags);
  }
  int FStat(int fd, struct stat& st) override { return ::fstat(fd, &st); }
  std::optional<std::uint64_t> MountId(int fd) override { return MountIdOf(fd); }

  bool ReadFolder(int folderFd, std::vector<TFolderEntry>& out) override {
    // A listing of its own, so that the caller's descriptor keeps its position.
    const int fd = ::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
      const int err = errno;
      ::close(fd);
      errno = err;
      return false;
    }
    bool ok = true;
    for (;;) {
      errno = 0;
      const dirent* d = ::readdir(dir);
      if (!d) {
        ok = errno == 0;
        break;
      }
      const char* name = d->d_name;
      if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
      TFolderEntry e;
      e.Name = name;
      switch (d->d_type) {
        case DT_REG: e.Kind = TEntryKind::File; break;
        case DT_DIR: e.Kind = TEntryKind::Folder; break;
        case DT_LNK: e.Kind = TEntryKind::Link; break;
        case DT_UNKNOWN: {
          struct stat st {};
          if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // gone already
          e.Kind = KindOfMode(st.st_mode);
          break;
        }
        default: e.Kind = TEntryKind::Other; break;
      }
      out.push_back(std::move(e));
    }
    const int err = errno;
    ::closedir(dir);
    errno = err;
    return ok;
  }

  int UnlinkAt(int folderFd, const char* name, int flags) override { return ::unlinkat(folderFd, name, flags); }
  int RenameAt(int fromFd, const char* from, int toFd, const char* to) override {
    return ::renameat(fromFd, from, toFd, to);
  }
  int LockExclusive(int fd) override { return ::flock(fd, LOCK_EX | LOCK_NB); }
  bool LockedByOther(int fd) override {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    return ::fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
  }
  ssize_t Read(int fd, void* buffer, std::size_t size) override { return ::read(fd, buffer, size); }
  ssize_t PWrite(int fd, const void* data, std::size_t size, off_t offset) override {
    return ::pwrite(fd, data, size, offset);
  }
  int FSync(int fd) override { return ::fsync(fd); }
  int FTruncate(int fd, off_t length) override { return ::ftruncate(fd, length); }
};

}  // namespace

std::optional<std::uint64_t> MountIdOf(int fd) {
#ifdef STATX_MNT_ID
  struct statx sx {};
  if (::statx(fd, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, STATX_MNT_ID, &sx) == 0 && (sx.stx_mask & STATX_MNT_ID))
    return static_cast<std::uint64_t>(sx.stx_mnt_id);
#endif
  return MountIdFromFdInfo(fd);
}

std::shared_ptr<TFileOps> TFileOps::Posix() {
  static std::shared_ptr<TFileOps> ops = std::make_shared<TPosixFileOps>();
  return ops;
}

}  // namespace kestrove
