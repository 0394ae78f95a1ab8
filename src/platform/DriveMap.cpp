#include "platform/DriveMap.h"

#include <cctype>
#include <system_error>

#include "platform/Text.h"

namespace kestrove {

namespace fs = std::filesystem;

namespace {

bool IsDriveLetter(char c) {
  const char u = AsciiUpper(c);
  return u >= 'A' && u <= 'Z';
}

fs::path Normal(const fs::path& p) {
  std::error_code ec;
  fs::path abs = p.is_absolute() ? p : fs::absolute(p, ec);
  if (ec) abs = p;
  fs::path n = abs.lexically_normal();
  // "/a/b/" normalises to "/a/b/"; drop the empty last element so prefixes compare cleanly.
  if (!n.empty() && !n.has_filename() && n != n.root_path()) n = n.parent_path();
  return n;
}

bool LexicallyWithin(const fs::path& path, const fs::path& folder) {
  auto p = path.begin();
  for (auto f = folder.begin(); f != folder.end(); ++f, ++p) {
    if (f->empty()) continue;  // trailing separator of a root such as "/"
    if (p == path.end() || *p != *f) return false;
  }
  return true;
}

// Guesses a letter's device kind from the node a "x::" entry points at.
std::optional<std::uint32_t> TypeFromDeviceNode(const fs::path& device) {
  const std::string name = device.filename().string();
  auto starts = [&](const char* prefix) { return name.rfind(prefix, 0) == 0; };
  if (starts("sr") || starts("scd") || starts("cdrom") || starts("dvd")) return DRIVE_CDROM;
  if (starts("fd") || starts("floppy")) return DRIVE_REMOVABLE;
  return std::nullopt;
}

}  // namespace

std::string DriveTypeName(std::uint32_t type) {
  switch (type) {
    case DRIVE_UNKNOWN: return "unknown";
    case DRIVE_NO_ROOT_DIR: return "none";
    case DRIVE_REMOVABLE: return "removable";
    case DRIVE_FIXED: return "fixed";
    case DRIVE_REMOTE: return "network";
    case DRIVE_CDROM: return "cdrom";
    case DRIVE_RAMDISK: return "ramdisk";
    default: return "unknown";
  }
}

std::optional<std::uint32_t> DriveTypeFromWineName(std::string_view name) {
  const std::string lower = AsciiLower(name);
  if (lower == "hd") return DRIVE_FIXED;
  if (lower == "network") return DRIVE_REMOTE;
  if (lower == "floppy") return DRIVE_REMOVABLE;
  if (lower == "cdrom") return DRIVE_CDROM;
  if (lower == "ramdisk") return DRIVE_RAMDISK;
  return std::nullopt;
}

bool PathIsWithin(const fs::path& path, const fs::path& folder) {
  std::error_code ec1, ec2;
  fs::path cp = fs::weakly_canonical(Normal(path), ec1);
  fs::path cf = fs::weakly_canonical(Normal(folder), ec2);
  if (!ec1 && !ec2) return LexicallyWithin(Normal(cp), Normal(cf));
  return LexicallyWithin(Normal(path), Normal(folder));
}

void DriveMap::Set(char letter, const fs::path& hostRoot, std::uint32_t type, bool insideTarget, std::string link) {
  if (!IsDriveLetter(letter)) return;
  DriveInfo info;
  info.letter = AsciiUpper(letter);
  info.hostRoot = Normal(hostRoot);
  info.type = type;
  info.insideTarget = insideTarget;
  info.link = std::move(link);
  drives_[info.letter] = std::move(info);
}

void DriveMap::Remove(char letter) { drives_.erase(AsciiUpper(letter)); }

const DriveInfo* DriveMap::Find(char letter) const {
  auto it = drives_.find(AsciiUpper(letter));
  return it == drives_.end() ? nullptr : &it->second;
}

std::uint32_t DriveMap::TypeOf(char letter) const {
  if (!IsDriveLetter(letter)) return DRIVE_UNKNOWN;
  const DriveInfo* d = Find(letter);
  return d ? d->type : DRIVE_NO_ROOT_DIR;
}

std::vector<DriveInfo> DriveMap::List() const {
  std::vector<DriveInfo> out;
  out.reserve(drives_.size());
  for (const auto& [letter, info] : drives_) out.push_back(info);
  return out;
}

const DriveInfo* DriveMap::DriveHolding(const fs::path& hostPath) const {
  auto pick = [&](const fs::path& p, bool canonical) -> const DriveInfo* {
    const DriveInfo* best = nullptr;
    std::size_t bestDepth = 0;
    for (const auto& [letter, info] : drives_) {
      fs::path root = info.hostRoot;
      if (canonical) {
        std::error_code ec;
        root = fs::weakly_canonical(root, ec);
        if (ec) continue;
        root = Normal(root);
      }
      if (!LexicallyWithin(p, root)) continue;
      const std::size_t depth = static_cast<std::size_t>(std::distance(root.begin(), root.end()));
      if (!best || depth > bestDepth) {
        best = &info;
        bestDepth = depth;
      }
    }
    return best;
  };
  const fs::path normal = Normal(hostPath);
  if (const DriveInfo* d = pick(normal, false)) return d;
  std::error_code ec;
  fs::path canon = fs::weakly_canonical(normal, ec);
  if (ec) return nullptr;
  return pick(Normal(canon), true);
}

DriveMap DriveMap::FromDosDevices(const fs::path& dosdevices, const fs::path& targetFolder,
                                  const std::map<char, std::uint32_t>& wineTypes) {
  DriveMap map;
  std::map<char, std::uint32_t> deviceHints;
  std::error_code ec;
  fs::directory_iterator it(dosdevices, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    // "c:" is a drive's folder, "c::" its raw device; anything else (com1, lpt1) is no drive.
    if (name.size() < 2 || !IsDriveLetter(name[0]) || name[1] != ':') continue;
    const char letter = AsciiUpper(name[0]);
    std::error_code lec;
    const fs::path target = fs::read_symlink(it->path(), lec);
    if (name.size() == 3 && name[2] == ':') {
      if (!lec) {
        if (auto hint = TypeFromDeviceNode(target)) deviceHints[letter] = *hint;
      }
      continue;
    }
    if (name.size() != 2) continue;
    fs::path root;
    std::string link;
    if (!lec) {
      link = target.string();
      root = target.is_absolute() ? target : dosdevices / target;
    } else {
      // Not a link: a real folder standing in for the drive.
      root = it->path();
    }
    // A drive of the target lies below its folder: one that is the target's folder itself
    // (or holds it) would expose the registry files and the drive links to a clean.
    const bool inside = PathIsWithin(root, targetFolder) && !PathIsWithin(targetFolder, root);
    map.Set(letter, root, DRIVE_FIXED, inside, link);
  }
  for (auto& [letter, info] : map.drives_) {
    std::optional<std::uint32_t> type;
    auto wt = wineTypes.find(AsciiLower(letter));
    if (wt != wineTypes.end()) type = wt->second;
    if (!type) {
      auto hint = deviceHints.find(letter);
      if (hint != deviceHints.end()) type = hint->second;
    }
    // The type is the one Wine gives the drive, so that reading (the scanner, the drive
    // listing) sees what programs on the target see. A folder outside the target (Z: -> /,
    // a link into the user's home) stays somebody else's data through `insideTarget`:
    // nothing is removed or written there, whatever its type.
    info.type = type.value_or(DRIVE_FIXED);
  }
  return map;
}

}  // namespace kestrove
