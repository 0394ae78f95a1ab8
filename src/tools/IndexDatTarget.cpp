// The record-area wipe on a target's file, through the target's confined file operations.
#include <fcntl.h>
#include <sys/stat.h>

#include "platform/FileServices.h"
#include "platform/UrlCache.h"
#include "tools/IndexDat.h"

namespace kestrove {

bool WipeIndexDatRecordsInTarget(const TargetSystem& target, std::string_view windowsPath, int passes,
                                 TTargetAccess* access) {
  auto parent = OpenTargetParent(target, windowsPath, access);
  if (!parent) return false;
  TFileOps& ops = *parent->Ops;
  UniqueFd fd(ops.OpenAt(parent->Fd.Get(), parent->Leaf.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.Valid()) return false;
  struct stat st {};
  // A second name could lie outside the Windows system: such a file is never written in place.
  if (ops.FStat(fd.Get(), st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) return false;
  const auto mount = ops.MountId(fd.Get());
  if (!mount || *mount != parent->Mount) return false;
  WipeIndexDatRecordsFd(fd.Get(), passes);
  // The index stays one that wininet can go on storing pages in.
  MarkWipedIndexEmpty(fd.Get());
  return true;
}

}  // namespace kestrove
