#include "regscan/PathRules.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <system_error>

#include "platform/PathResolver.h"
#include "platform/Text.h"
#include "platform/wine/WineShortName.h"

namespace kestrove {

namespace fs = std::filesystem;

namespace {

// Beyond these sizes a cache starts over rather than grow without bound.
constexpr std::size_t kMaxCachedResults = 1u << 22;
constexpr std::size_t kMaxCachedFolderTexts = 1u << 20;

// The longest expansion the system's call returns, terminating zero included.
constexpr std::size_t kExpandBufferChars = 1024;

bool IsSlash(char c) { return c == '\\' || c == '/'; }


// FoldName into a buffer that keeps its storage between calls.
void FoldInto(std::string_view name, std::string& out) {
  for (char c : name) {
    if (static_cast<unsigned char>(c) & 0x80) {
      out = FoldName(name);
      return;
    }
  }
  out.assign(name);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
}

// Characters no file name on Windows may hold; a text with one of them names nothing.
struct InvalidNameChars {
  bool table[256] = {};
  InvalidNameChars() {
    for (unsigned char c : {'*', '?', '"', '<', '>', '|', '\0'}) table[c] = true;
  }
};
bool HasInvalidNameChar(std::string_view text) {
  static const InvalidNameChars kInvalid;
  for (char c : text) {
    if (kInvalid.table[static_cast<unsigned char>(c)]) return true;
  }
  return false;
}

std::string TrimControls(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ') s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.remove_suffix(1);
  return std::string(s);
}

}  // namespace

bool IsPathSeparatorChar(char c) {
  switch (c) {
    case ' ':
    case '*':
    case ',':
    case '/':
    case ':':
    case ';':
    case '<':
    case '>':
    case '?':
    case '|':
      return true;
    default:
      return false;
  }
}

// ---- TFileProbe --------------------------------------------------------------------------

struct TFileProbe::Folder {
  fs::path host;
  bool listed = false;
  bool listFailed = false;
  // Folded name -> the names the folder holds under it (several only when the host keeps
  // names that differ in case alone) with what each is.
  std::unordered_map<std::string, std::vector<std::pair<std::string, Kind>>> entries;
  // Folded short name -> what the long name it stands for is; made at the first look-up of
  // a name that may be a short name.
  bool shortNamesIndexed = false;
  std::unordered_map<std::string, std::pair<std::string, Kind>> byShortName;
};

TFileProbe::TFileProbe(const TargetSystem& target) : target_(target) {}
TFileProbe::~TFileProbe() = default;

TFileProbe::Folder* TFileProbe::ResolveFolder(std::string_view folderText) {
  // The candidates of one path mostly share its folder: the last answer first.
  if (haveLast_ && folderText == lastText_) return lastFolder_;
  Folder* found = ResolveFolderText(folderText);
  lastText_.assign(folderText);
  lastFolder_ = found;
  haveLast_ = true;
  return found;
}

TFileProbe::Folder* TFileProbe::ResolveFolderText(std::string_view folderText) {
  std::string text(folderText);
  if (auto it = byText_.find(text); it != byText_.end()) return it->second;
  if (byText_.size() >= kMaxCachedFolderTexts) byText_.clear();

  Folder* result = nullptr;
  if (!HasInvalidNameChar(text)) {
    if (auto parts = ParseWindowsPath(text)) {
      std::string key(1, parts->drive);
      bool bad = false;
      for (const std::string& c : parts->components) {
        // "C:\a:b\": a stream or device name, never a folder.
        if (c.find(':') != std::string::npos) bad = true;
        key += '\\';
        key += FoldName(c);
      }
      if (!bad) {
        auto found = byKey_.find(key);
        if (found == byKey_.end()) {
          std::unique_ptr<Folder> folder;
          ++foldersResolved_;
          if (auto host = target_.HostPath(FormatWindowsPath(*parts))) {
            std::error_code ec;
            if (fs::is_directory(*host, ec)) {
              folder = std::make_unique<Folder>();
              folder->host = *host;
            }
          }
          found = byKey_.emplace(std::move(key), std::move(folder)).first;
        }
        result = found->second.get();
      }
    }
  }
  byText_.emplace(std::move(text), result);
  return result;
}

void TFileProbe::List(Folder& folder) {
  folder.listed = true;
  ++foldersListed_;
  std::error_code ec;
  fs::directory_iterator it(folder.host, ec), end;
  if (ec) {
    folder.listFailed = true;
    return;
  }
  for (; !ec && it != end; it.increment(ec)) {
    std::error_code sec;
    Kind kind = Kind::File;
    if (it->is_symlink(sec)) {
      // Links are followed, as the system follows them; a dangling one names nothing.
      const fs::file_status st = it->status(sec);
      if (sec || !fs::exists(st)) continue;
      kind = fs::is_directory(st) ? Kind::Folder : Kind::File;
    } else {
      // The listing says what an entry is; no further question to the file system.
      const bool folder = it->is_directory(sec);
      if (sec) continue;
      kind = folder ? Kind::Folder : Kind::File;
    }
    std::string name = it->path().filename().string();
    auto& list = folder.entries[FoldName(name)];
    list.emplace_back(std::move(name), kind);
    if (list.size() > 1) std::sort(list.begin(), list.end());
  }
  if (ec) folder.listFailed = true;
}

TFileProbe::Kind TFileProbe::Lookup(Folder& folder, std::string_view name) {
  if (!folder.listed) List(folder);
  if (folder.listFailed) {
    // A folder that may be passed through but not listed: ask for the name as written.
    std::error_code ec;
    const fs::file_status st = fs::status(folder.host / std::string(name), ec);
    if (ec || !fs::exists(st)) return Kind::Missing;
    return fs::is_directory(st) ? Kind::Folder : Kind::File;
  }
  FoldInto(name, folded_);
  auto it = folder.entries.find(folded_);
  if (it == folder.entries.end()) return LookupShortName(folder, name);
  for (const auto& [entry, kind] : it->second) {
    if (entry == name) return kind;
  }
  return it->second.front().second;
}

// Installers record paths by the short names the target derives ("ACME~JQI"): a name that
// may be one is looked for among the short names of the folder's long names.
TFileProbe::Kind TFileProbe::LookupShortName(Folder& folder, std::string_view name) {
  // A name without "~" is no short name; most missing names are not, and need no UTF-16 copy.
  if (name.find('~') == std::string_view::npos || !wine::MayBeHashedShortName(Utf8ToU16(name))) return Kind::Missing;
  if (!folder.shortNamesIndexed) {
    folder.shortNamesIndexed = true;
    for (const auto& [folded, list] : folder.entries) {
      for (const auto& [entry, kind] : list) {
        const std::u16string shortName = wine::HashedShortName(Utf8ToU16(entry));
        if (shortName.empty()) continue;
        auto [slot, added] = folder.byShortName.try_emplace(FoldName(U16ToUtf8(shortName)), entry, kind);
        if (!added && entry < slot->second.first) slot->second = {entry, kind};
      }
    }
  }
  auto it = folder.byShortName.find(folded_);
  return it == folder.byShortName.end() ? Kind::Missing : it->second.second;
}

TFileProbe::Kind TFileProbe::Query(std::string_view path) {
  if (path.empty() || HasInvalidNameChar(path)) return Kind::Missing;
  std::size_t cut = std::string_view::npos;
  for (std::size_t i = path.size(); i-- > 0;) {
    if (IsSlash(path[i])) {
      cut = i;
      break;
    }
  }
  if (cut == std::string_view::npos) {
    // Only "C:" names a place without a separator: the drive's root.
    if (path.size() == 2 && path[1] == ':') return ResolveFolder(path) ? Kind::Folder : Kind::Missing;
    return Kind::Missing;
  }
  const std::string_view folderText = path.substr(0, cut + 1);
  std::string_view name = path.substr(cut + 1);
  if (name.empty()) return ResolveFolder(folderText) ? Kind::Folder : Kind::Missing;
  // The system ignores dots and blanks at the end of the last name.
  if (name != "." && name != "..") {
    while (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.remove_suffix(1);
    if (name.empty()) return ResolveFolder(folderText) ? Kind::Folder : Kind::Missing;
  } else {
    return ResolveFolder(std::string(path) + "\\") ? Kind::Folder : Kind::Missing;
  }
  if (name.find(':') != std::string_view::npos) return Kind::Missing;
  Folder* folder = ResolveFolder(folderText);
  if (!folder) return Kind::Missing;
  return Lookup(*folder, name);
}

// ---- drives ------------------------------------------------------------------------------

std::string ComputeScanDrives(const TargetSystem& target, bool includeRemoveMedia) {
  std::string drives;
  if (!includeRemoveMedia) {
    drives = "ab";
    for (char c = 'c'; c <= 'z'; ++c) drives += c;
    return drives;
  }
  for (char c = 'c'; c <= 'z'; ++c) {
    if (target.DriveType(static_cast<char>(c - 32)) == DRIVE_FIXED) drives += c;
  }
  return drives;
}

bool ProbeFloppyMedia(const TargetSystem& target, char letter) {
  auto drive = target.Drive(letter);
  if (!drive) return false;
  std::error_code ec;
  fs::directory_iterator it(drive->hostRoot, ec);
  return !ec;
}

// ---- TPathRules --------------------------------------------------------------------------

TPathRules::TPathRules(TargetSystem& target, TFileProbe& probe, TPathRuleSettings settings)
    : probe_(probe), settings_(std::move(settings)), environment_(target.Environment()) {
  for (char c : settings_.ScanDrives) {
    const char l = AsciiLower(c);
    if (l >= 'a' && l <= 'z') driveSet_[l - 'a'] = true;
  }
}

bool TPathRules::OnScanDrive(std::string_view text) const {
  if (text.empty()) return false;
  const char l = AsciiLower(text[0]);
  return l >= 'a' && l <= 'z' && driveSet_[l - 'a'];
}

bool TPathRules::FloppyRule(std::string_view text) const {
  if (settings_.IncludeRemoveMedia) return false;
  return (AsciiStartsWithNoCase(text, "A:\\") && !settings_.FloppyAHasMedia) ||
         (AsciiStartsWithNoCase(text, "B:\\") && !settings_.FloppyBHasMedia);
}

std::string TPathRules::ExpandLeadingVariable(std::string_view v) {
  std::string key(v);
  if (auto it = expansions_.find(key); it != expansions_.end()) return it->second;
  std::string result = key;
  const std::string expanded = ExpandEnvironmentStrings(v, environment_);
  // The system's call fails when the result and its terminating zero exceed the buffer.
  if (Utf16Length(expanded) < kExpandBufferChars) {
    std::string trimmed = TrimControls(expanded);
    if (!trimmed.empty() && probe_.DirectoryExists(trimmed)) result = std::move(trimmed);
  }
  expansions_.emplace(std::move(key), result);
  return result;
}

bool TPathRules::Found(const std::string& c, bool dirOK) {
  const TFileProbe::Kind k = probe_.Query(c);
  return k == TFileProbe::Kind::File || (dirOK && k == TFileProbe::Kind::Folder);
}

bool TPathRules::ProgramExists(const std::string& c) {
  for (const char* ext : {".exe", ".com", ".bat"}) {
    candidate_.assign(c);
    candidate_ += ext;
    if (probe_.FileExists(candidate_)) return true;
  }
  return false;
}

std::uint64_t TPathResultCache::Hash(std::string_view anchor, bool dirOK, std::string_view path) {
  constexpr std::uint64_t kMul = 0x9E3779B97F4A7C15ull;
  auto mix = [](std::uint64_t h, std::string_view t) {
    std::size_t i = 0;
    for (; i + 8 <= t.size(); i += 8) {
      std::uint64_t w;
      std::memcpy(&w, t.data() + i, 8);
      h = (h ^ w) * kMul;
      h ^= h >> 29;
    }
    std::uint64_t w = 0;
    if (i < t.size()) std::memcpy(&w, t.data() + i, t.size() - i);
    h = (h ^ w ^ (static_cast<std::uint64_t>(t.size()) << 56)) * kMul;
    return h ^ (h >> 32);
  };
  return mix(mix(dirOK ? 1 : 2, anchor), path);
}

// The slot holding the key, or the empty slot where it would go.
std::size_t TPathResultCache::SlotOf(std::uint64_t hash, std::string_view anchor, bool dirOK,
                                     std::string_view path) const {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    const TSlot& slot = slots_[i];
    if (slot.state == kEmpty) return i;
    if (slot.hash == hash && ((slot.state & kDirOK) != 0) == dirOK && slot.anchorSize == anchor.size() &&
        slot.pathSize == path.size() && texts_.compare(slot.offset, anchor.size(), anchor) == 0 &&
        texts_.compare(slot.offset + anchor.size(), path.size(), path) == 0)
      return i;
  }
}

std::optional<bool> TPathResultCache::Find(std::string_view anchor, bool dirOK, std::string_view path) {
  if (slots_.empty()) return std::nullopt;
  const TSlot& slot = slots_[SlotOf(Hash(anchor, dirOK, path), anchor, dirOK, path)];
  if (slot.state == kEmpty) return std::nullopt;
  return (slot.state & 1) != 0;
}

void TPathResultCache::Add(std::string_view anchor, bool dirOK, std::string_view path, bool missing) {
  // Offsets are 32-bit: past that much text the cache starts over.
  if (count_ >= kMaxCachedResults || texts_.size() + anchor.size() + path.size() >= (1ull << 31)) Clear();
  if ((count_ + 1) * 2 > slots_.size()) Grow();
  const std::uint64_t hash = Hash(anchor, dirOK, path);
  TSlot& slot = slots_[SlotOf(hash, anchor, dirOK, path)];
  if (slot.state == kEmpty) {
    ++count_;
    slot.hash = hash;
    slot.offset = static_cast<std::uint32_t>(texts_.size());
    slot.anchorSize = static_cast<std::uint32_t>(anchor.size());
    slot.pathSize = static_cast<std::uint32_t>(path.size());
    texts_.append(anchor);
    texts_.append(path);
  }
  slot.state = static_cast<std::uint8_t>((missing ? 1 : 0) | (dirOK ? kDirOK : 0));
}

void TPathResultCache::Grow() {
  std::vector<TSlot> old = std::move(slots_);
  slots_.assign(old.empty() ? 1024 : old.size() * 2, TSlot{});
  const std::size_t mask = slots_.size() - 1;
  for (const TSlot& slot : old) {
    if (slot.state == kEmpty) continue;
    std::size_t i = slot.hash & mask;
    while (slots_[i].state != kEmpty) i = (i + 1) & mask;
    slots_[i] = slot;
  }
}

void TPathResultCache::Clear() {
  slots_.clear();
  texts_.clear();
  count_ = 0;
}

bool TPathRules::IsMissingPath(std::string_view p, std::string_view s, bool dirOK) {
  // Test judges only a text that holds a drive path ("C:\\"), or a variable that may expand
  // to one. Most registry texts (class names, GUIDs, numbers) hold neither: they are answered
  // here, and the cache keeps only texts worth remembering, not one entry per value.
  if (p.find(":\\") == std::string_view::npos && p.find('%') == std::string_view::npos) return false;
  if (const auto known = results_.Find(s, dirOK, p)) {
    ++cacheHits_;
    return *known;
  }
  bool missing = false;
  try {
    missing = Test(p, s, dirOK);
  } catch (...) {
    // Any failure while testing means "not reported".
    missing = false;
  }
  results_.Add(s, dirOK, p, missing);
  return missing;
}

bool TPathRules::Test(std::string_view p, std::string_view s, bool dirOK) {
  if (p.empty()) return false;
  if (AsciiContainsNoCase(p, "\\hp")) return false;
  if (settings_.IsWow64 &&
      (AsciiContainsNoCase(p, "system32") || AsciiContainsNoCase(p, "ProgramFiles") || AsciiContainsNoCase(p, "Program Files")))
    return false;

  // A quoted program: what stands between the quotes, without the arguments after them.
  std::string t(p);
  if (p.front() == '"') {
    std::string_view q = p.substr(1);
    if (q.empty()) return false;
    if (const std::size_t close = q.find('"'); close != std::string_view::npos) q = q.substr(0, close);
    t = std::string(q);
  }

  // "\\?\C:\..." (how Wine registers type libraries) names the path after the prefix.
  if (t.size() > 4 && t.compare(0, 4, "\\\\?\\") == 0) t.erase(0, 4);

  // A leading environment variable, expanded only when it names a folder.
  if (!t.empty() && t.front() == '%') {
    const std::string r = t.substr(1);
    if (r.empty()) return false;
    const std::size_t k = r.find('%');
    // A "%" without a closing one is no variable at all; such a text names no local path.
    if (k == std::string::npos) return false;
    const std::string e = ExpandLeadingVariable("%" + r.substr(0, k + 1));
    if (!e.empty() && e.front() == '%') return false;
    t = e + r.substr(k + 1);
  }

  if (settings_.IsWow64 && (AsciiContainsNoCase(t, "system32") || AsciiContainsNoCase(t, "Program Files"))) return false;

  if (!s.empty()) {
    const std::size_t i = AsciiFindNoCase(t, s);
    if (i == std::string::npos) return false;
    t = t.substr(0, i) + std::string(s);
    if (!OnScanDrive(t)) return false;
    if (t.find(":\\") != 1) return false;
    if (FloppyRule(t)) return true;
    return !probe_.FileExists(t);
  }

  if (t.empty()) return false;
  if (!OnScanDrive(t)) return false;
  if (t.find(":\\") != 1) return false;
  if (FloppyRule(t)) return true;
  // A second drive path further on is an argument; the first is not judged by it.
  if (t.find(":\\", 3) != std::string::npos) return false;

  const std::size_t k = t.rfind('\\');
  const std::string dir = t.substr(0, k + 1);
  if (dir.size() == t.size() && probe_.DirectoryExists(t)) return false;

  if (probe_.DirectoryExists(dir)) {
    // The folder exists: try the name up to each separator, then the whole text.
    std::string c = dir;
    for (std::size_t pos = k + 1; pos < t.size(); ++pos) {
      const char ch = t[pos];
      if (IsPathSeparatorChar(ch)) {
        if (Found(c, dirOK)) return false;
        if (ProgramExists(c)) return false;
      }
      c += ch;
    }
    for (;;) {
      if (Found(c, dirOK)) return false;
      if (ProgramExists(c)) return false;
      if (c.back() != ';') return true;
      c.pop_back();
      if (c.empty()) return true;
    }
  }

  // The folder part itself is missing: a program may still stand at the front of a command
  // line whose arguments hold backslashes.
  std::string c;
  c.reserve(t.size());
  for (const char ch : t) {
    if (IsPathSeparatorChar(ch) && ProgramExists(c)) return false;
    c += ch;
    if (probe_.FileExists(c)) return false;
  }
  return true;
}

}  // namespace kestrove
