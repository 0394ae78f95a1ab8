#include "platform/PathResolver.h"

#include <sys/xattr.h>

#include <cctype>
#include <mutex>
#include <system_error>

#include "platform/RegistryTypes.h"
#include "platform/wine/WineShortName.h"

namespace kestrove {

namespace fs = std::filesystem;

namespace {

// Beyond this many cached names the cache starts over rather than grow without bound.
constexpr std::size_t kMaxCacheEntries = 1 << 16;

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool Exists(const fs::path& p) {
  std::error_code ec;
  const fs::file_status st = fs::symlink_status(p, ec);
  return !ec && st.type() != fs::file_type::not_found && st.type() != fs::file_type::none;
}

fs::path NormalAbsolute(const fs::path& p) {
  std::error_code ec;
  fs::path abs = p.is_absolute() ? p : fs::absolute(p, ec);
  if (ec) abs = p;
  fs::path n = abs.lexically_normal();
  if (!n.empty() && !n.has_filename() && n != n.root_path()) n = n.parent_path();
  return n;
}

// The components of `path` below `root`, or nullopt when it does not lie below it.
std::optional<std::vector<std::string>> ComponentsBelow(const fs::path& path, const fs::path& root) {
  auto p = path.begin();
  for (auto r = root.begin(); r != root.end(); ++r, ++p) {
    if (r->empty()) continue;
    if (p == path.end() || *p != *r) return std::nullopt;
  }
  std::vector<std::string> out;
  for (; p != path.end(); ++p) {
    const std::string part = p->string();
    if (part.empty() || part == ".") continue;
    out.push_back(part);
  }
  return out;
}

}  // namespace

std::optional<WindowsPathParts> ParseWindowsPath(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) return std::nullopt;
  std::string_view s = path;
  if (s.substr(0, 4) == "\\\\?\\" || s.substr(0, 4) == "\\??\\") {
    s.remove_prefix(4);
  } else if (s.size() >= 2 && IsSeparator(s[0]) && IsSeparator(s[1])) {
    return std::nullopt;  // UNC share or device
  }
  if (s.size() < 2 || s[1] != ':' || !std::isalpha(static_cast<unsigned char>(s[0]))) return std::nullopt;
  WindowsPathParts parts;
  parts.drive = static_cast<char>(std::toupper(static_cast<unsigned char>(s[0])));
  std::string_view rest = s.substr(2);
  if (rest.empty()) return parts;
  if (!IsSeparator(rest[0])) return std::nullopt;  // "C:a" is relative to a current folder
  std::size_t i = 0;
  while (i < rest.size()) {
    while (i < rest.size() && IsSeparator(rest[i])) ++i;
    std::size_t j = i;
    while (j < rest.size() && !IsSeparator(rest[j])) ++j;
    std::string_view part = rest.substr(i, j - i);
    i = j;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.components.empty()) parts.components.pop_back();
      continue;
    }
    parts.components.emplace_back(part);
  }
  return parts;
}

std::string FormatWindowsPath(const WindowsPathParts& parts) {
  std::string out;
  out += parts.drive;
  out += ":\\";
  for (std::size_t i = 0; i < parts.components.size(); ++i) {
    if (i) out += '\\';
    out += parts.components[i];
  }
  return out;
}

std::string FolderCompareKey(std::string_view folder) {
  const auto parts = ParseWindowsPath(folder);
  if (!parts) return {};
  std::string key = FoldName(FormatWindowsPath(*parts));
  if (key.back() != '\\') key += '\\';
  return key;
}

std::string FoldName(std::string_view name) {
  bool ascii = true;
  for (char c : name) {
    if (static_cast<unsigned char>(c) & 0x80) {
      ascii = false;
      break;
    }
  }
  if (ascii) {
    std::string out(name);
    for (char& c : out) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    }
    return out;
  }
  std::u16string u = Utf8ToU16(name);
  for (char16_t& c : u) c = FoldCase(c);
  return U16ToUtf8(u);
}

std::optional<std::string> NtfsStoredShortName(const fs::path& file) {
  char buffer[64];
  const ssize_t size = ::lgetxattr(file.c_str(), "system.ntfs_dos_name", buffer, sizeof buffer);
  if (size <= 0) return std::nullopt;
  std::string name(buffer, static_cast<std::size_t>(size));
  while (!name.empty() && name.back() == '\0') name.pop_back();
  return name;
}

std::optional<std::string> PathResolver::MatchInFolder(const fs::path& folder, std::string_view name) const {
  std::string key = folder.native();
  key += '\0';
  key += FoldName(name);
  {
    std::shared_lock lock(mutex_);
    auto it = cache_.find(key);
    if (it != cache_.end()) {
      // A cached name is only a hint: the file may have gone since.
      if (Exists(folder / it->second)) return it->second;
    }
  }
  std::optional<std::string> found;
  std::optional<std::string> byShortName;
  // Installers record paths by short names ("PROGRA~1", "ACME~JQI"); Wine derives those from
  // the long names, so the listing is searched for a long name whose short name this is.
  const std::u16string wide = Utf8ToU16(name);
  const bool mayBeShort = wine::MayBeHashedShortName(wide);
  std::error_code ec;
  fs::directory_iterator it(folder, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    std::string entry = it->path().filename().string();
    if (SameName(entry, name)) {
      // Two names differing only in case can live side by side on the host; take the
      // smallest so that every look-up picks the same one.
      if (!found || entry < *found) found = std::move(entry);
    } else if (mayBeShort && !found) {
      const std::optional<std::string> shortName = shortNames_ == TShortNames::WineHashed
                                                       ? std::optional(U16ToUtf8(wine::HashedShortName(Utf8ToU16(entry))))
                                                       : NtfsStoredShortName(it->path());
      if (shortName && !shortName->empty() && SameName(*shortName, name) && (!byShortName || entry < *byShortName))
        byShortName = std::move(entry);
    }
  }
  // A long name of exactly these letters wins over a short name that happens to match.
  if (!found) found = std::move(byShortName);
  std::unique_lock lock(mutex_);
  if (found) {
    if (cache_.size() >= kMaxCacheEntries) cache_.clear();
    cache_[key] = *found;
  } else {
    cache_.erase(key);
  }
  return found;
}

std::optional<fs::path> PathResolver::ToHost(const DriveMap& drives, std::string_view windowsPath) const {
  auto parts = ParseWindowsPath(windowsPath);
  if (!parts) return std::nullopt;
  const DriveInfo* drive = drives.Find(parts->drive);
  if (!drive) return std::nullopt;
  fs::path current = drive->hostRoot;
  bool resolving = true;
  for (const std::string& component : parts->components) {
    if (resolving) {
      if (Exists(current / component)) {
        current /= component;
        continue;
      }
      if (auto match = MatchInFolder(current, component)) {
        current /= *match;
        continue;
      }
      resolving = false;
    }
    current /= component;
  }
  return current;
}

std::optional<std::string> PathResolver::ToWindows(const DriveMap& drives, const fs::path& hostPath) {
  const DriveInfo* drive = drives.DriveHolding(hostPath);
  if (!drive) return std::nullopt;
  const fs::path normal = NormalAbsolute(hostPath);
  auto components = ComponentsBelow(normal, drive->hostRoot);
  if (!components) {
    // The drive was found through resolved links: compare in resolved terms.
    std::error_code ec1, ec2;
    const fs::path canonPath = NormalAbsolute(fs::weakly_canonical(normal, ec1));
    const fs::path canonRoot = NormalAbsolute(fs::weakly_canonical(drive->hostRoot, ec2));
    if (ec1 || ec2) return std::nullopt;
    components = ComponentsBelow(canonPath, canonRoot);
    if (!components) return std::nullopt;
  }
  WindowsPathParts parts;
  parts.drive = drive->letter;
  parts.components = std::move(*components);
  return FormatWindowsPath(parts);
}

void PathResolver::ClearCache() {
  std::unique_lock lock(mutex_);
  cache_.clear();
}

std::size_t PathResolver::CacheSize() const {
  std::shared_lock lock(mutex_);
  return cache_.size();
}

}  // namespace kestrove
