#include "platform/FileServices.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <random>

#include "platform/PathResolver.h"
#include "platform/TRegistry.h"
#include "platform/Text.h"

namespace kestrove {

namespace fs = std::filesystem;

namespace {

constexpr int kOpenFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr int kOpenWriteFlags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
// Big enough that a pass costs few system calls, small enough to stay cheap to fill.
constexpr std::size_t kOverwriteChunk = 1u << 20;
// An emptied bin's INFO2 keeps its header (version, counters, record size).
constexpr off_t kInfo2HeaderSize = 20;

const char kSessionManager[] = "System\\CurrentControlSet\\Control\\Session Manager";
const char kPendingValue[] = "PendingFileRenameOperations";


bool NameLess(const TFolderEntry& a, const TFolderEntry& b) {
  const std::string& x = a.Name;
  const std::string& y = b.Name;
  const std::size_t n = std::min(x.size(), y.size());
  for (std::size_t i = 0; i < n; ++i) {
    const char cx = AsciiLower(x[i]);
    const char cy = AsciiLower(y[i]);
    if (cx != cy) return static_cast<unsigned char>(cx) < static_cast<unsigned char>(cy);
  }
  if (x.size() != y.size()) return x.size() < y.size();
  return x < y;  // names differing in case only: a fixed order all the same
}

TEntryKind KindOfMode(mode_t mode) {
  if (S_ISREG(mode)) return TEntryKind::File;
  if (S_ISDIR(mode)) return TEntryKind::Folder;
  if (S_ISLNK(mode)) return TEntryKind::Link;
  return TEntryKind::Other;
}

std::optional<std::string> RealPath(const fs::path& p) {
  char buf[PATH_MAX];
  if (!::realpath(p.c_str(), buf)) return std::nullopt;
  return std::string(buf);
}

bool Within(const std::string& path, const std::string& folder) {
  if (folder == "/") return true;
  if (path.compare(0, folder.size(), folder) != 0) return false;
  return path.size() == folder.size() || path[folder.size()] == '/';
}

// Where a Windows path may be removed from: below the target's real folder.
struct TConfinement {
  std::string Prefix;
};

// Resolves `host` (the host path of a Windows path on `letter`) for removal: its real path
// when it lies inside the drive's real folder and that inside the target's real folder.
TTargetAccess ResolveForRemoval(TFileOps& ops, const TargetSystem& target, char letter, const fs::path& host,
                                TConfinement& where, std::string& real) {
  const auto drive = target.Drive(letter);
  if (!drive) return TTargetAccess::Absent;
  struct stat st {};
  const bool exists = ops.StatAt(AT_FDCWD, host.c_str(), st, AT_SYMLINK_NOFOLLOW) == 0;
  // A drive of somebody else's data (the host's root, a folder of the user's home): read
  // through it as much as anyone likes, but nothing on it is removed or written.
  if (!drive->insideTarget) return exists ? TTargetAccess::Outside : TTargetAccess::Absent;
  const auto prefix = RealPath(target.Folder());
  const auto root = RealPath(drive->hostRoot);
  if (!prefix || !root) return TTargetAccess::Absent;
  // The drive's folder may have been swapped for a link since the drive map was read.
  if (!Within(*root, *prefix) || (*root == *prefix && !target.DriveMayBeFolder()))
    return exists ? TTargetAccess::Outside : TTargetAccess::Absent;
  const auto resolved = RealPath(host);
  if (!resolved) return TTargetAccess::Absent;
  if (!Within(*resolved, *root)) return TTargetAccess::Outside;
  where.Prefix = *prefix;
  real = *resolved;
  return TTargetAccess::Opened;
}

// Opens `real` (a resolved folder inside where.Prefix) one name at a time from the target's
// folder, never following a link and never leaving the target folder's mount: a folder
// swapped for a link or a mount put in since the path was resolved ends the walk.
TTargetAccess OpenWithinPrefix(TFileOps& ops, const TConfinement& where, const std::string& real, UniqueFd& out,
                               std::uint64_t& mount) {
  UniqueFd fd(ops.OpenAt(AT_FDCWD, where.Prefix.c_str(), kOpenFolderFlags));
  if (!fd.Valid()) return TTargetAccess::Absent;
  const auto prefixMount = ops.MountId(fd.Get());
  if (!prefixMount) return TTargetAccess::Outside;
  std::size_t pos = where.Prefix == "/" ? 1 : where.Prefix.size() + 1;
  while (pos < real.size()) {
    std::size_t end = real.find('/', pos);
    if (end == std::string::npos) end = real.size();
    const std::string name = real.substr(pos, end - pos);
    pos = end + 1;
    if (name.empty()) continue;
    UniqueFd next(ops.OpenAt(fd.Get(), name.c_str(), kOpenFolderFlags));
    if (!next.Valid()) return errno == ENOENT || errno == EACCES ? TTargetAccess::Absent : TTargetAccess::Outside;
    const auto nextMount = ops.MountId(next.Get());
    if (!nextMount || *nextMount != *prefixMount) return TTargetAccess::Outside;
    fd = std::move(next);
  }
  out = std::move(fd);
  mount = *prefixMount;
  return TTargetAccess::Opened;
}

bool WriteAllAt(TFileOps& ops, int fd, const char* data, std::size_t size, off_t offset) {
  while (size > 0) {
    const ssize_t n = ops.PWrite(fd, data, size, offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
    offset += n;
  }
  return true;
}

void AppendUnits(Bytes& out, const std::u16string& s) {
  for (char16_t u : s) {
    out.push_back(static_cast<std::uint8_t>(u & 0xFF));
    out.push_back(static_cast<std::uint8_t>(u >> 8));
  }
  out.push_back(0);
  out.push_back(0);
}

bool SamePendingSource(const std::u16string& a, const std::u16string& b) {
  return SameName(U16ToUtf8(a), U16ToUtf8(b));
}

// Empties one recycle bin folder; `perUser` bins hold one bin per user (named by SID).
std::uint64_t EmptyBinFolder(TFileOps& ops, int binFd, std::uint64_t mount, bool perUser,
                            const std::function<bool()>& stopped) {
  std::uint64_t removed = 0;
  for (const TFolderEntry& e : ListFolder(ops, binFd)) {
    if (stopped && stopped()) break;
    const std::string lower = AsciiLower(e.Name);
    if (lower == "desktop.ini") continue;
    if (lower == "info2" || lower == "info") {
      if (e.Kind != TEntryKind::File) continue;
      UniqueFd fd(ops.OpenAt(binFd, e.Name.c_str(), kOpenWriteFlags));
      struct stat st {};
      // Another name of the index may lie anywhere, outside the target too: cut only a file
      // that is nobody else's.
      if (fd.Valid() && ops.FStat(fd.Get(), st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
          st.st_size > kInfo2HeaderSize && ops.MountId(fd.Get()) == mount)
        (void)ops.FTruncate(fd.Get(), kInfo2HeaderSize);
      continue;
    }
    if (e.Kind == TEntryKind::Folder) {
      if (perUser && lower.rfind("s-1-", 0) == 0) {
        UniqueFd sub = OpenSubfolderOnMount(ops, binFd, e.Name.c_str(), mount);
        if (sub.Valid()) removed += EmptyBinFolder(ops, sub.Get(), mount, false, stopped);
        continue;
      }
      removed += RemoveTreeAt(ops, binFd, e.Name.c_str(), mount, stopped);
      continue;
    }
    if (ops.UnlinkAt(binFd, e.Name.c_str(), 0) == 0) ++removed;
  }
  return removed;
}

}  // namespace

void UniqueFd::Reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

std::vector<TFolderEntry> ListFolder(TFileOps& ops, int folderFd) {
  std::vector<TFolderEntry> out;
  // A listing cut short by an error keeps what was read: those entries are there.
  (void)ops.ReadFolder(folderFd, out);
  std::sort(out.begin(), out.end(), NameLess);
  return out;
}

std::optional<TTargetFolder> OpenTargetFolder(const TargetSystem& target, std::string_view windowsPath,
                                              TTargetAccess* access) {
  TTargetAccess ignored;
  TTargetAccess& why = access ? *access : ignored;
  why = TTargetAccess::Absent;
  const auto parts = ParseWindowsPath(windowsPath);
  if (!parts) return std::nullopt;
  const auto host = target.HostPath(windowsPath);
  if (!host) return std::nullopt;
  TTargetFolder out;
  out.Ops = target.FileOps();
  TConfinement where;
  std::string real;
  why = ResolveForRemoval(*out.Ops, target, parts->drive, *host, where, real);
  if (why != TTargetAccess::Opened) return std::nullopt;
  why = OpenWithinPrefix(*out.Ops, where, real, out.Fd, out.Mount);
  if (why != TTargetAccess::Opened) return std::nullopt;
  out.DriveRoot = parts->components.empty();
  return out;
}

std::optional<TTargetParent> OpenTargetParent(const TargetSystem& target, std::string_view windowsPath,
                                              TTargetAccess* access) {
  TTargetAccess ignored;
  TTargetAccess& why = access ? *access : ignored;
  why = TTargetAccess::Absent;
  const auto parts = ParseWindowsPath(windowsPath);
  if (!parts || parts->components.empty()) return std::nullopt;  // a drive's root is no file
  const auto host = target.HostPath(windowsPath);
  if (!host || !host->has_filename()) return std::nullopt;
  TTargetParent out;
  out.Ops = target.FileOps();
  TConfinement where;
  std::string real;
  why = ResolveForRemoval(*out.Ops, target, parts->drive, host->parent_path(), where, real);
  // A file on an outside drive is refused as itself, a missing one quietly.
  if (why == TTargetAccess::Outside) {
    struct stat st {};
    if (out.Ops->StatAt(AT_FDCWD, host->c_str(), st, AT_SYMLINK_NOFOLLOW) != 0) why = TTargetAccess::Absent;
  }
  if (why != TTargetAccess::Opened) return std::nullopt;
  why = OpenWithinPrefix(*out.Ops, where, real, out.Fd, out.Mount);
  if (why != TTargetAccess::Opened) return std::nullopt;
  out.Leaf = host->filename().string();
  return out;
}

UniqueFd OpenSubfolderOnMount(TFileOps& ops, int folderFd, const char* name, std::uint64_t mount, bool* otherMount) {
  if (otherMount) *otherMount = false;
  UniqueFd fd(ops.OpenAt(folderFd, name, kOpenFolderFlags));
  if (!fd.Valid()) return fd;
  if (ops.MountId(fd.Get()) != mount) {
    if (otherMount) *otherMount = true;
    return UniqueFd();
  }
  return fd;
}

bool IsFixedTargetDrive(const TargetSystem& target, char letter) {
  const auto drive = target.Drive(letter);
  if (!drive || drive->type != DRIVE_FIXED || !drive->insideTarget) return false;
  const auto real = RealPath(drive->hostRoot);
  return real && *real != "/";
}

std::optional<TEntryStat> StatEntry(TFileOps& ops, int folderFd, const char* name) {
  struct stat st {};
  if (ops.StatAt(folderFd, name, st, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
  TEntryStat out;
  out.Kind = KindOfMode(st.st_mode);
  if (out.Kind == TEntryKind::File) out.Size = static_cast<std::uint64_t>(st.st_size);
  return out;
}

bool FileInUseAt(TFileOps& ops, int folderFd, const char* name) {
  const auto st = StatEntry(ops, folderFd, name);
  if (!st) return false;
  if (st->Kind == TEntryKind::Folder) return true;
  if (st->Kind != TEntryKind::File) return false;
  UniqueFd fd(ops.OpenAt(folderFd, name, kOpenWriteFlags));
  if (!fd.Valid()) return true;
  if (ops.LockExclusive(fd.Get()) != 0) return true;
  return ops.LockedByOther(fd.Get());
}

bool OverwriteFileAt(TFileOps& ops, int folderFd, const char* name, int passes, const TOverwriteObserver& afterPass) {
  if (passes < 1) return true;
  // Opening a device or a pipe may already do something: look before opening.
  const auto st = StatEntry(ops, folderFd, name);
  if (!st || st->Kind != TEntryKind::File) return false;
  std::random_device seed;
  std::mt19937 random(seed());
  std::uniform_int_distribution<int> byteValue(0, 254);
  const auto folderMount = ops.MountId(folderFd);
  if (!folderMount) return false;
  std::unique_ptr<char[]> buffer;
  std::size_t bufferSize = 0;
  for (int pass = 1; pass <= passes; ++pass) {
    const auto value = static_cast<std::uint8_t>(byteValue(random));
    UniqueFd fd(ops.OpenAt(folderFd, name, kOpenWriteFlags));
    if (!fd.Valid()) return false;
    if (ops.LockExclusive(fd.Get()) != 0) return false;
    struct stat st {};
    // Another name of the same file (a hard link) may lie anywhere, also outside the target:
    // overwriting would destroy it there too.
    // A file bind-mounted over this name is somebody else's as well.
    if (ops.FStat(fd.Get(), st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) return false;
    if (ops.MountId(fd.Get()) != folderMount) return false;
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (!buffer) {
      bufferSize = static_cast<std::size_t>(std::min<std::uint64_t>(kOverwriteChunk, std::max<std::uint64_t>(size, 1)));
      buffer.reset(new char[bufferSize]);
    }
    std::memset(buffer.get(), value, bufferSize);
    std::uint64_t written = 0;
    while (written < size) {
      const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(bufferSize, size - written));
      if (!WriteAllAt(ops, fd.Get(), buffer.get(), piece, static_cast<off_t>(written))) return false;
      written += piece;
    }
    if (ops.FSync(fd.Get()) != 0) return false;
    fd.Reset();
    if (afterPass) afterPass(pass, value, written);
  }
  return true;
}

std::uint64_t RemoveTreeAt(TFileOps& ops, int parentFd, const char* name, std::uint64_t mount,
                           const std::function<bool()>& stopped) {
  UniqueFd fd = OpenSubfolderOnMount(ops, parentFd, name, mount);
  if (!fd.Valid()) return 0;
  std::uint64_t removed = 0;
  for (const TFolderEntry& e : ListFolder(ops, fd.Get())) {
    if (stopped && stopped()) return removed;
    if (e.Kind == TEntryKind::Folder) {
      removed += RemoveTreeAt(ops, fd.Get(), e.Name.c_str(), mount, stopped);
    } else if (ops.UnlinkAt(fd.Get(), e.Name.c_str(), 0) == 0) {
      ++removed;
    }
  }
  fd.Reset();
  if (stopped && stopped()) return removed;
  if (ops.UnlinkAt(parentFd, name, AT_REMOVEDIR) == 0) ++removed;
  return removed;
}

std::vector<std::string> PendingFileRenameOperations(TargetSystem& target) {
  TRegistry reg(target.Registry());
  reg.SetRootKey(HKEY_LOCAL_MACHINE);
  std::vector<std::string> out;
  if (!reg.OpenKeyReadOnly(kSessionManager)) return out;
  const auto value = reg.ReadRaw(kPendingValue);
  if (!value || value->type != REG_MULTI_SZ) return out;
  // Pairs keep their empty targets: split on every zero, drop only the list's end.
  std::u16string units;
  for (std::size_t i = 0; i + 1 < value->data.size(); i += 2)
    units.push_back(static_cast<char16_t>(value->data[i] | (value->data[i + 1] << 8)));
  if (!units.empty() && units.back() == 0) units.pop_back();
  if (!units.empty() && units.back() == 0) units.pop_back();
  std::u16string current;
  for (char16_t u : units) {
    if (u == 0) {
      out.push_back(U16ToUtf8(current));
      current.clear();
    } else {
      current += u;
    }
  }
  if (!units.empty()) out.push_back(U16ToUtf8(current));
  return out;
}

bool ScheduleDeleteAtNextStart(TargetSystem& target, std::string_view windowsPath) {
  const auto parts = ParseWindowsPath(windowsPath);
  if (!parts || parts->components.empty()) return false;
  if (!OpenTargetParent(target, windowsPath)) return false;
  const std::u16string source = Utf8ToU16("\\??\\" + FormatWindowsPath(*parts));
  try {
    TRegistry reg(target.Registry());
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    if (!reg.OpenKey(kSessionManager, true)) return false;
    Bytes data;
    if (const auto old = reg.ReadRaw(kPendingValue)) {
      // Something else under this name is not ours to replace.
      if (old->type != REG_MULTI_SZ) return false;
      data = old->data;
      if (data.size() % 2) data.pop_back();
    }
    // Already registered for deletion: nothing to add.
    const auto pending = PendingFileRenameOperations(target);
    for (std::size_t i = 0; i + 1 < pending.size(); i += 2) {
      if (pending[i + 1].empty() && SamePendingSource(Utf8ToU16(pending[i]), source)) return true;
    }
    // Drop the list's final zero (its last string keeps its own), then append the pair.
    const std::size_t units = data.size() / 2;
    auto unitAt = [&](std::size_t i) { return data[2 * i] | (data[2 * i + 1] << 8); };
    if (units == 1 && unitAt(0) == 0) {
      data.clear();
    } else if (units >= 2 && unitAt(units - 1) == 0 && unitAt(units - 2) == 0) {
      data.resize(data.size() - 2);
    } else if (units >= 1 && unitAt(units - 1) != 0) {
      data.push_back(0);  // a last string that lacked its zero
      data.push_back(0);
    }
    AppendUnits(data, source);
    AppendUnits(data, u"");
    data.push_back(0);
    data.push_back(0);
    reg.WriteRaw(kPendingValue, REG_MULTI_SZ, data);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool AddToWininitRename(TargetSystem& target, const std::vector<std::string>& lines) {
  const std::string path = target.WindowsFolder() + "\\Wininit.ini";
  auto parent = OpenTargetParent(target, path);
  if (!parent) return false;
  TFileOps& ops = *parent->Ops;
  const char* leaf = parent->Leaf.c_str();
  std::string text;
  {
    UniqueFd in(ops.OpenAt(parent->Fd.Get(), leaf, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!in.Valid() && errno != ENOENT) return false;
    if (in.Valid()) {
      char buf[65536];
      for (;;) {
        const ssize_t n = ops.Read(in.Get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        text.append(buf, static_cast<std::size_t>(n));
      }
    }
  }
  std::vector<std::string> file;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    file.push_back(std::move(line));
    start = end + 1;
  }
  auto header = std::find_if(file.begin(), file.end(), [](const std::string& l) { return AsciiLower(l) == "[rename]"; });
  if (header != file.end()) {
    const auto at = header - file.begin() + 1;
    for (const std::string& l : lines) file.insert(file.begin() + at, l);
  } else {
    file.push_back("[rename]");
    file.insert(file.end(), lines.begin(), lines.end());
  }
  std::string out;
  for (const std::string& l : file) out += l + "\r\n";

  // Written beside it and renamed over it: the old file or the new one, never half of one.
  // Created afresh: a leftover of that name may be another name of somebody else's file, which
  // truncating would destroy.
  const std::string temp = "." + parent->Leaf + ".kestrove-" + std::to_string(::getpid()) + ".tmp";
  ops.UnlinkAt(parent->Fd.Get(), temp.c_str(), 0);
  UniqueFd fd(ops.OpenAt(parent->Fd.Get(), temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!fd.Valid()) return false;
  const bool ok = WriteAllAt(ops, fd.Get(), out.data(), out.size(), 0) && ops.FSync(fd.Get()) == 0;
  fd.Reset();
  if (!ok || ops.RenameAt(parent->Fd.Get(), temp.c_str(), parent->Fd.Get(), leaf) != 0) {
    ops.UnlinkAt(parent->Fd.Get(), temp.c_str(), 0);
    return false;
  }
  return true;
}

std::uint64_t EmptyRecycleBins(TargetSystem& target, const std::function<bool()>& stopped) {
  std::uint64_t removed = 0;
  for (char letter = 'A'; letter <= 'Z' && !(stopped && stopped()); ++letter) {
    if (!IsFixedTargetDrive(target, letter)) continue;
    auto root = OpenTargetFolder(target, std::string(1, letter) + ":\\");
    if (!root) continue;
    TFileOps& ops = *root->Ops;
    for (const TFolderEntry& e : ListFolder(ops, root->Fd.Get())) {
      if (e.Kind != TEntryKind::Folder) continue;
      const std::string lower = AsciiLower(e.Name);
      const bool perUser = lower == "$recycle.bin" || lower == "recycler";
      if (!perUser && lower != "recycled") continue;
      UniqueFd bin = OpenSubfolderOnMount(ops, root->Fd.Get(), e.Name.c_str(), root->Mount);
      if (!bin.Valid()) continue;
      removed += EmptyBinFolder(ops, bin.Get(), root->Mount, perUser, stopped);
    }
  }
  return removed;
}

}  // namespace kestrove
