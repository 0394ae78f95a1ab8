// The URL cache and URL history of a target, read and written in their own index files
// (Content.IE5\index.dat, History.IE5\index.dat, the Cookies folder's index.dat), laid out as
// Wine's wininet lays them out: a 0x4000-byte header holding the allocation bitmap of the
// 128-byte blocks that follow it, a chain of hash tables whose slots point at "URL "
// records, and the records themselves.
//
// Entries are listed as wininet's FindFirst/NextUrlCacheEntry lists them: hash tables in
// chain order, slots in order, skipping free and deleted slots and records that are not
// "URL " records. Deleting an entry does what wininet's DeleteUrlCacheEntry does, so that
// the file stays valid for wininet: the hash slot becomes free again, the record's blocks
// are cleared in the allocation bitmap, the header's counts (blocks in use, files in the
// cache folder, cache or exempt usage) go down, and the cache file goes.
//
// Every length and offset read from the file is checked against the buffer: damaged bytes
// give fewer entries, never a read outside them, and a chain that loops ends.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/FileServices.h"
#include "platform/TargetSystem.h"

namespace kestrove {

inline constexpr std::uint8_t kUrlCacheNoSubfolder = 0xFE;

struct TUrlCacheEntry {
  std::string Url;        // the source URL as stored ("http://...", "Visited: user@...", "Cookie:user@...")
  std::string LocalName;  // the cache file's name; "" when the entry has none
  std::string Subfolder;  // the cache folder it lies in ("" for the index's own folder)
  std::uint32_t Offset = 0;  // of the record in the file
};

// An index file held in memory.
class TUrlCacheIndex {
 public:
  // nullopt when the bytes are not a URL cache index (too short, or a recorded size or
  // first hash table outside them).
  static std::optional<TUrlCacheIndex> Parse(std::vector<std::uint8_t> bytes);

  std::vector<TUrlCacheEntry> Entries() const;
  // The cache folders the header names (wininet stores new files only in these, and cannot
  // store any while one of them is missing), in header order; names that would leave the
  // index's folder are left out.
  std::vector<std::string> Folders() const;
  // Removes the entry whose URL is exactly `url` (the first one listed); the entry removed,
  // or nullopt when there is none. The slots are walked once per index, not once per call,
  // so deleting every entry costs as much as listing them.
  std::optional<TUrlCacheEntry> Delete(std::string_view url);
  const std::vector<std::uint8_t>& Bytes() const { return bytes_; }

 private:
  explicit TUrlCacheIndex(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
  struct TSlot {
    std::uint32_t SlotOffset;  // where the slot's key lies
    TUrlCacheEntry Entry;
  };
  std::vector<TSlot> Slots() const;
  // The slots as first read, less those deleted since (their SlotOffset is 0), with the
  // positions of each URL's slots in listing order.
  void ReadSlots() const;
  bool StillListed(const TSlot& slot) const;
  std::string FolderName(std::uint32_t folder) const;  // the header's name of cache folder `folder` (< 32)
  std::uint32_t U32(std::size_t at) const;
  void SetU32(std::size_t at, std::uint32_t v);
  std::uint64_t U64(std::size_t at) const;
  void SetU64(std::size_t at, std::uint64_t v);
  std::size_t Limit() const;  // the bound of every offset: the smaller of recorded and real size

  std::vector<std::uint8_t> bytes_;
  mutable bool slotsRead_ = false;
  mutable std::vector<TSlot> slots_;
  mutable std::unordered_map<std::string, std::vector<std::size_t>> byUrl_;
};

// One index file of a target, opened for reading and, when asked, for deleting entries.
// The file is reached inside the Windows system only (its folder opened as removal opens
// folders: inside the prefix, on its mount, no link followed) and is never written in place:
// Commit writes the changed index to a temporary file in the same folder, flushes it and
// renames it over the old one. Cache files are removed from the index's folder or one of its
// cache folders, never through a link.
class TUrlCacheFile {
 public:
  // nullopt when the index is missing, outside the Windows system, not a plain file, too
  // large, or no URL cache index.
  static std::optional<TUrlCacheFile> Open(const TargetSystem& target, const std::string& indexPath);

  std::vector<TUrlCacheEntry> Entries() const { return index_->Entries(); }
  std::vector<std::string> Folders() const { return index_->Folders(); }
  // Deletes the entry of `url` and its cache file; false when there is no such entry.
  bool Delete(std::string_view url);
  // Writes the changes, if any, and only then removes the cache files of the deleted
  // entries; false (errno set) when the index could not be replaced: index and files are
  // then as they were.
  bool Commit();
  bool Changed() const { return changed_; }

 private:
  TUrlCacheFile() = default;
  void RemoveCacheFile(const TUrlCacheEntry& entry);

  std::shared_ptr<TFileOps> ops_;
  UniqueFd folder_;
  std::uint64_t mount_ = 0;
  std::string leaf_;
  unsigned mode_ = 0644;
  std::optional<TUrlCacheIndex> index_;
  bool changed_ = false;
  std::vector<TUrlCacheEntry> filesToRemove_;  // of the entries deleted since the last Commit
};

// Leaves an index whose records the record-area wipe overwrote as wininet leaves an index it
// has emptied: every slot of every hash table free, no block in use but the tables' own, no
// bytes counted in the cache or its folders. Without this the zeroed slots read as taken
// (wininet reuses only slots marked free) and the wiped records' blocks as allocated, so each
// clean would cost the file a new hash table and the space of every page it had held, until
// wininet could store no more. Written in place on `fd` (open for reading and writing), the
// header and the tables only; false when the file is no URL cache index or a write failed.
bool MarkWipedIndexEmpty(int fd);

// The entries of an index file, in listing order; empty when it cannot be read.
std::vector<TUrlCacheEntry> ReadUrlCache(const TargetSystem& target, const std::string& indexPath);

}  // namespace kestrove
