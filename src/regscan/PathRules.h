// Whether a text read from the registry names a file or folder that is missing on the
// target's drives: the path test the scan sections report by, the drive set it works with,
// and the file system look-ups behind it. Everything here belongs to one scan worker.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/TargetSystem.h"

namespace kestrove {

// The separators that end a candidate file name inside a command line.
bool IsPathSeparatorChar(char c);

// ---- File system look-ups ----------------------------------------------------------------

// Answers "is this Windows path an existing file / folder" on the target, the way the
// system's own tests answer it: names match without regard to case, a trailing "\" names a
// folder only, trailing dots and blanks of the last name are ignored, wildcards and other
// characters no file name may hold find nothing. Folders are resolved through the target's
// path resolution once and listed once; every distinct text is answered once. Nothing is
// ever written. Not thread-safe: one probe per worker. The answers hold for the scan that
// made them, as the scan changes nothing on disk.
class TFileProbe {
 public:
  enum class Kind : std::uint8_t { Missing, File, Folder };

  explicit TFileProbe(const TargetSystem& target);
  ~TFileProbe();
  TFileProbe(const TFileProbe&) = delete;
  TFileProbe& operator=(const TFileProbe&) = delete;

  Kind Query(std::string_view windowsPath);
  bool FileExists(std::string_view windowsPath) { return Query(windowsPath) == Kind::File; }
  bool DirectoryExists(std::string_view windowsPath) { return Query(windowsPath) == Kind::Folder; }

  // How many folders were looked up on the host and how many were listed (for tests and the
  // benchmark: each distinct folder once).
  std::size_t FoldersResolved() const { return foldersResolved_; }
  std::size_t FoldersListed() const { return foldersListed_; }

 private:
  struct Folder;
  Folder* ResolveFolder(std::string_view folderText);
  Folder* ResolveFolderText(std::string_view folderText);
  Kind Lookup(Folder& folder, std::string_view name);
  Kind LookupShortName(Folder& folder, std::string_view name);
  void List(Folder& folder);

  const TargetSystem& target_;
  // Raw folder text as asked -> the folder (nullptr: no folder there).
  std::unordered_map<std::string, Folder*> byText_;
  // Drive and folded components -> the folder.
  std::unordered_map<std::string, std::unique_ptr<Folder>> byKey_;
  std::size_t foldersResolved_ = 0;
  std::size_t foldersListed_ = 0;
  // The last folder asked for, and a buffer for folded names.
  bool haveLast_ = false;
  std::string lastText_;
  Folder* lastFolder_ = nullptr;
  std::string folded_;
};

// ---- The drive set -----------------------------------------------------------------------

// The letters of the drives whose missing files are reported, in lower case. With
// `includeRemoveMedia` off every letter from "a" to "z"; on, only the letters from "c" to
// "z" whose drive is a fixed disk.
std::string ComputeScanDrives(const TargetSystem& target, bool includeRemoveMedia);

// Whether drive A: or B: answers a volume query: it exists and its folder can be read.
bool ProbeFloppyMedia(const TargetSystem& target, char letter);

// ---- The path test -----------------------------------------------------------------------

struct TPathRuleSettings {
  std::string ScanDrives;  // letters, either case
  bool IncludeRemoveMedia = false;
  bool FloppyAHasMedia = false;
  bool FloppyBHasMedia = false;
  bool IsWow64 = false;
};

// IsMissingPath's answers by (anchor, dirOK, path): one flat table of hashes beside one
// buffer of the key texts, so that a look-up allocates nothing and a scan that names the
// same files many times pays little for each repeat.
class TPathResultCache {
 public:
  // The answer stored for the key, if any.
  std::optional<bool> Find(std::string_view anchor, bool dirOK, std::string_view path);
  void Add(std::string_view anchor, bool dirOK, std::string_view path, bool missing);
  std::size_t Size() const { return count_; }
  void Clear();

 private:
  struct TSlot {
    std::uint64_t hash = 0;
    std::uint32_t offset = 0;  // of the anchor, the path follows it in texts_
    std::uint32_t anchorSize = 0;
    std::uint32_t pathSize = 0;
    std::uint8_t state = kEmpty;  // kEmpty, or the answer plus kDirOK
  };
  static constexpr std::uint8_t kEmpty = 0xFF;
  static constexpr std::uint8_t kDirOK = 2;
  static std::uint64_t Hash(std::string_view anchor, bool dirOK, std::string_view path);
  std::size_t SlotOf(std::uint64_t hash, std::string_view anchor, bool dirOK, std::string_view path) const;
  void Grow();

  std::vector<TSlot> slots_;
  std::string texts_;
  std::size_t count_ = 0;
};

class TPathRules {
 public:
  // `probe` must outlive the rules. The target's environment is read once, here.
  TPathRules(TargetSystem& target, TFileProbe& probe, TPathRuleSettings settings);

  // True when P names something missing on a drive of the drive set. S, when not empty, is
  // the anchor the path is cut after (".exe", ".dll"); with `dirOK` an existing folder also
  // counts as found. Texts that are no local drive path, and any failure, give false.
  bool IsMissingPath(std::string_view p, std::string_view s, bool dirOK);

  // The environment variable text V expanded (at most 1023 characters), trimmed of blanks
  // and control characters, when that names an existing folder; otherwise V itself.
  std::string ExpandLeadingVariable(std::string_view v);

  // With removable media not ignored: a text on A: or B: whose drive had no media when the
  // scan began counts as missing without the drive being touched.
  bool FloppyRule(std::string_view text) const;
  // The first character of `text` is a letter of the drive set.
  bool OnScanDrive(std::string_view text) const;

  const TPathRuleSettings& Settings() const { return settings_; }
  TFileProbe& Probe() { return probe_; }
  // How many IsMissingPath calls were answered from the cache.
  std::size_t CacheHits() const { return cacheHits_; }

 private:
  bool Test(std::string_view p, std::string_view s, bool dirOK);
  bool Found(const std::string& c, bool dirOK);
  bool ProgramExists(const std::string& c);

  TFileProbe& probe_;
  TPathRuleSettings settings_;
  EnvironmentBlock environment_;
  bool driveSet_[26] = {};
  TPathResultCache results_;
  std::unordered_map<std::string, std::string> expansions_;
  std::size_t cacheHits_ = 0;
  std::string candidate_;
};

}  // namespace kestrove
