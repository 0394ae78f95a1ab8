#include "platform/UrlCache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <set>

#include "platform/PathResolver.h"

namespace kestrove {

namespace {

// The layout wininet writes (all values little-endian).
constexpr std::size_t kEntryStart = 0x4000;  // first 128-byte block
constexpr std::size_t kBlockSize = 128;
constexpr std::size_t kAllocationTable = 0x250;
constexpr std::size_t kAllocationBytes = kEntryStart - kAllocationTable;
constexpr std::size_t kHeaderSize = 28;  // the size recorded by the owner follows the signature
constexpr std::size_t kHeaderHashTable = 32;
constexpr std::size_t kHeaderCapacity = 36;
constexpr std::size_t kHeaderBlocksInUse = 40;
constexpr std::size_t kHeaderCacheUsage = 56;
constexpr std::size_t kHeaderExemptUsage = 64;
constexpr std::size_t kHeaderFolderCount = 72;
constexpr std::size_t kHeaderFolders = 76;  // 12 bytes each: file count, 8-character name
constexpr std::size_t kFolderRecord = 12;
constexpr std::uint32_t kMaxFolders = 32;

constexpr std::size_t kHashSlots = 16;  // within a hash table
constexpr std::size_t kHashSlotCount = 448;
constexpr std::size_t kHashTableBytes = kHashSlots + kHashSlotCount * 8;
constexpr std::uint32_t kSlotDeleted = 1;
constexpr std::uint32_t kSlotFree = 3;

// Fields of a "URL " record.
constexpr std::size_t kUrlSize = 32;
constexpr std::size_t kUrlNameOffset = 52;
constexpr std::size_t kUrlFolder = 56;
constexpr std::size_t kUrlLocalNameOffset = 60;
constexpr std::size_t kUrlEntryType = 64;
constexpr std::size_t kUrlRecordMin = 104;
constexpr std::uint32_t kStickyEntry = 0x4;

constexpr std::uint32_t Signature(const char (&s)[5]) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(s[0])) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(s[1])) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(s[2])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(s[3])) << 24;
}
constexpr std::uint32_t kHashSignature = Signature("HASH");
constexpr std::uint32_t kUrlSignature = Signature("URL ");

// Larger than wininet ever makes an index (its bitmap ends near 16 MiB of blocks).
constexpr std::uint64_t kMaxIndexBytes = 64ull << 20;

// A zero-terminated text within [from, end); nullopt when it does not end there.
std::optional<std::string> TextAt(const std::vector<std::uint8_t>& b, std::size_t from, std::size_t end) {
  if (from >= end || end > b.size()) return std::nullopt;
  const auto first = b.begin() + static_cast<std::ptrdiff_t>(from);
  const auto last = b.begin() + static_cast<std::ptrdiff_t>(end);
  const auto zero = std::find(first, last, 0);
  if (zero == last) return std::nullopt;
  return std::string(first, zero);
}

// A name that stays within its folder.
bool PlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find_first_of("/\\") == std::string::npos;
}

}  // namespace

// ---- TUrlCacheIndex -----------------------------------------------------------------------

std::uint32_t TUrlCacheIndex::U32(std::size_t at) const {
  if (at + 4 > bytes_.size()) return 0;
  return static_cast<std::uint32_t>(bytes_[at]) | static_cast<std::uint32_t>(bytes_[at + 1]) << 8 |
         static_cast<std::uint32_t>(bytes_[at + 2]) << 16 | static_cast<std::uint32_t>(bytes_[at + 3]) << 24;
}

void TUrlCacheIndex::SetU32(std::size_t at, std::uint32_t v) {
  if (at + 4 > bytes_.size()) return;
  for (int i = 0; i < 4; ++i) bytes_[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint64_t TUrlCacheIndex::U64(std::size_t at) const {
  return static_cast<std::uint64_t>(U32(at)) | static_cast<std::uint64_t>(U32(at + 4)) << 32;
}

void TUrlCacheIndex::SetU64(std::size_t at, std::uint64_t v) {
  SetU32(at, static_cast<std::uint32_t>(v));
  SetU32(at + 4, static_cast<std::uint32_t>(v >> 32));
}

std::size_t TUrlCacheIndex::Limit() const {
  return std::min<std::size_t>(bytes_.size(), U32(kHeaderSize));
}

std::optional<TUrlCacheIndex> TUrlCacheIndex::Parse(std::vector<std::uint8_t> bytes) {
  TUrlCacheIndex index(std::move(bytes));
  if (index.bytes_.size() < kEntryStart) return std::nullopt;
  const std::uint32_t recorded = index.U32(kHeaderSize);
  if (recorded < kEntryStart || recorded > index.bytes_.size()) return std::nullopt;
  const std::uint32_t first = index.U32(kHeaderHashTable);
  if (first != 0 && (first < kEntryStart || first > recorded - kHashTableBytes || recorded < kHashTableBytes))
    return std::nullopt;
  return index;
}

std::vector<TUrlCacheIndex::TSlot> TUrlCacheIndex::Slots() const {
  std::vector<TSlot> out;
  const std::size_t limit = Limit();
  const std::uint32_t folders = std::min(U32(kHeaderFolderCount), kMaxFolders);
  std::set<std::uint32_t> seen;  // a chain that comes back to a table ends there
  for (std::uint32_t table = U32(kHeaderHashTable); table != 0; table = U32(table + 8)) {
    if (table < kEntryStart || table + kHashTableBytes > limit || !seen.insert(table).second) break;
    if (U32(table) != kHashSignature) break;
    for (std::size_t i = 0; i < kHashSlotCount; ++i) {
      const std::size_t slot = table + kHashSlots + i * 8;
      const std::uint32_t key = U32(slot);
      if (key == kSlotFree || key == kSlotDeleted) continue;
      const std::size_t record = U32(slot + 4);
      if (record < kEntryStart || record + kUrlRecordMin > limit || U32(record) != kUrlSignature) continue;
      const std::uint64_t length = static_cast<std::uint64_t>(U32(record + 4)) * kBlockSize;
      if (length < kUrlRecordMin || record + length > limit) continue;
      const std::size_t end = record + static_cast<std::size_t>(length);
      const std::uint32_t urlOffset = U32(record + kUrlNameOffset);
      if (urlOffset == 0) continue;
      auto url = TextAt(bytes_, record + urlOffset, end);
      if (!url || urlOffset >= length) continue;
      TUrlCacheEntry entry;
      entry.Url = std::move(*url);
      entry.Offset = static_cast<std::uint32_t>(record);
      const std::uint32_t nameOffset = U32(record + kUrlLocalNameOffset);
      const std::uint8_t folder = bytes_[record + kUrlFolder];
      if (nameOffset != 0 && nameOffset < length) {
        auto name = TextAt(bytes_, record + nameOffset, end);
        // A file in a cache folder the header does not name is no file of this cache.
        if (name && folder != kUrlCacheNoSubfolder && folder < folders) {
          std::string sub = FolderName(folder);
          if (!sub.empty()) {
            entry.Subfolder = std::move(sub);
            entry.LocalName = std::move(*name);
          }
        } else if (name && folder == kUrlCacheNoSubfolder) {
          entry.LocalName = std::move(*name);
        }
      }
      out.push_back({static_cast<std::uint32_t>(slot), std::move(entry)});
    }
  }
  return out;
}

std::string TUrlCacheIndex::FolderName(std::uint32_t folder) const {
  const std::size_t at = kHeaderFolders + folder * kFolderRecord + 4;  // Parse() keeps the header whole
  std::string name(bytes_.begin() + static_cast<std::ptrdiff_t>(at), bytes_.begin() + static_cast<std::ptrdiff_t>(at + 8));
  return name.substr(0, name.find('\0'));
}

std::vector<std::string> TUrlCacheIndex::Folders() const {
  std::vector<std::string> out;
  const std::uint32_t folders = std::min(U32(kHeaderFolderCount), kMaxFolders);
  for (std::uint32_t i = 0; i < folders; ++i)
    if (std::string name = FolderName(i); PlainName(name)) out.push_back(std::move(name));
  return out;
}

void TUrlCacheIndex::ReadSlots() const {
  if (slotsRead_) return;
  slots_ = Slots();
  for (std::size_t i = 0; i < slots_.size(); ++i) byUrl_[slots_[i].Entry.Url].push_back(i);
  slotsRead_ = true;
}

// A slot read before is still listed while it is not deleted and its record was not cleared
// by the deletion of another slot that named the same record (a damaged index may do so).
bool TUrlCacheIndex::StillListed(const TSlot& slot) const {
  return slot.SlotOffset != 0 && U32(slot.Entry.Offset) == kUrlSignature;
}

std::vector<TUrlCacheEntry> TUrlCacheIndex::Entries() const {
  ReadSlots();
  std::vector<TUrlCacheEntry> out;
  for (const TSlot& s : slots_)
    if (StillListed(s)) out.push_back(s.Entry);
  return out;
}

std::optional<TUrlCacheEntry> TUrlCacheIndex::Delete(std::string_view url) {
  ReadSlots();
  const auto found = byUrl_.find(std::string(url));
  if (found == byUrl_.end()) return std::nullopt;
  for (const std::size_t position : found->second) {
    TSlot& s = slots_[position];
    if (!StillListed(s)) continue;
    const std::size_t record = s.Entry.Offset;
    const std::uint32_t blocks = U32(record + 4);  // Slots() checked the record lies within the file

    // The counts wininet keeps of what the cache holds.
    const std::uint8_t folder = bytes_[record + kUrlFolder];
    if (folder < std::min(U32(kHeaderFolderCount), kMaxFolders)) {
      const std::size_t count = kHeaderFolders + folder * kFolderRecord;
      if (const std::uint32_t n = U32(count); n > 0) SetU32(count, n - 1);
    }
    const std::uint64_t size = U64(record + kUrlSize);
    const std::size_t usage = (U32(record + kUrlEntryType) & kStickyEntry) ? kHeaderExemptUsage : kHeaderCacheUsage;
    SetU64(usage, size < U64(usage) ? U64(usage) - size : 0);

    // Its blocks become free: only bits that were set are cleared and counted, so that the
    // count in use keeps matching the bitmap, as wininet checks when it opens the file.
    const std::size_t first = (record - kEntryStart) / kBlockSize;
    const std::size_t capacity = std::min<std::size_t>(U32(kHeaderCapacity), kAllocationBytes * 8);
    std::uint32_t freed = 0;
    for (std::size_t b = first; b < first + blocks && b < capacity; ++b) {
      std::uint8_t& bits = bytes_[kAllocationTable + b / 8];
      const std::uint8_t mask = static_cast<std::uint8_t>(1u << (b % 8));
      if (bits & mask) {
        bits = static_cast<std::uint8_t>(bits & ~mask);
        ++freed;
      }
    }
    const std::uint32_t inUse = U32(kHeaderBlocksInUse);
    SetU32(kHeaderBlocksInUse, freed < inUse ? inUse - freed : 0);

    // The slot is as a new table's slots are; the record's bytes are cleared so that the
    // address does not stay readable in a free block.
    SetU32(s.SlotOffset, kSlotFree);
    SetU32(s.SlotOffset + 4, kSlotFree);
    std::fill(bytes_.begin() + static_cast<std::ptrdiff_t>(record),
              bytes_.begin() + static_cast<std::ptrdiff_t>(record + std::size_t{blocks} * kBlockSize), 0);
    s.SlotOffset = 0;
    return s.Entry;
  }
  return std::nullopt;
}

bool MarkWipedIndexEmpty(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<std::uint64_t>(st.st_size) < kEntryStart)
    return false;
  std::vector<std::uint8_t> header(kEntryStart);
  if (::pread(fd, header.data(), header.size(), 0) != static_cast<ssize_t>(header.size())) return false;
  const auto u32 = [&](std::size_t at) {
    return static_cast<std::uint32_t>(header[at]) | static_cast<std::uint32_t>(header[at + 1]) << 8 |
           static_cast<std::uint32_t>(header[at + 2]) << 16 | static_cast<std::uint32_t>(header[at + 3]) << 24;
  };
  const auto set32 = [&](std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) header[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
  };
  const std::uint64_t limit = std::min<std::uint64_t>(u32(kHeaderSize), static_cast<std::uint64_t>(st.st_size));
  if (limit < kEntryStart) return false;

  // The tables of the chain, as the walks of the reader and of the wipe find them.
  struct TTable {
    std::uint32_t At;
    std::uint32_t Blocks;
  };
  std::vector<TTable> tables;
  std::set<std::uint32_t> seen;
  for (std::uint32_t at = u32(kHeaderHashTable); at != 0;) {
    if (at < kEntryStart || at + kHashTableBytes > limit || !seen.insert(at).second) break;
    std::uint8_t head[12];
    if (::pread(fd, head, sizeof head, at) != static_cast<ssize_t>(sizeof head)) return false;
    const auto field = [&](int i) {
      return static_cast<std::uint32_t>(head[i]) | static_cast<std::uint32_t>(head[i + 1]) << 8 |
             static_cast<std::uint32_t>(head[i + 2]) << 16 | static_cast<std::uint32_t>(head[i + 3]) << 24;
    };
    if (field(0) != kHashSignature) break;
    const std::uint64_t blocks = std::max<std::uint64_t>(field(4), (kHashTableBytes + kBlockSize - 1) / kBlockSize);
    tables.push_back({at, static_cast<std::uint32_t>(std::min<std::uint64_t>(blocks, (limit - at) / kBlockSize))});
    at = field(8);
  }
  if (tables.empty()) return false;

  // Every slot free, as in a new table.
  std::vector<std::uint8_t> slots(kHashSlotCount * 8);
  for (std::size_t i = 0; i < slots.size(); i += 4) {
    slots[i] = static_cast<std::uint8_t>(kSlotFree);
    slots[i + 1] = slots[i + 2] = slots[i + 3] = 0;
  }
  for (const TTable& t : tables)
    if (::pwrite(fd, slots.data(), slots.size(), t.At + kHashSlots) != static_cast<ssize_t>(slots.size())) return false;

  // Only the tables' blocks in use; nothing cached.
  const std::size_t capacity = std::min<std::size_t>(u32(kHeaderCapacity), kAllocationBytes * 8);
  std::fill(header.begin() + kAllocationTable, header.end(), 0);
  std::uint32_t inUse = 0;
  for (const TTable& t : tables) {
    const std::size_t first = (t.At - kEntryStart) / kBlockSize;
    for (std::size_t b = first; b < first + t.Blocks && b < capacity; ++b) {
      std::uint8_t& bits = header[kAllocationTable + b / 8];
      const std::uint8_t mask = static_cast<std::uint8_t>(1u << (b % 8));
      if (!(bits & mask)) ++inUse;
      bits = static_cast<std::uint8_t>(bits | mask);
    }
  }
  set32(kHeaderBlocksInUse, inUse);
  for (const std::size_t usage : {kHeaderCacheUsage, kHeaderExemptUsage}) {
    set32(usage, 0);
    set32(usage + 4, 0);
  }
  const std::uint32_t folders = std::min<std::uint32_t>(u32(kHeaderFolderCount), kMaxFolders);
  for (std::uint32_t i = 0; i < folders; ++i) set32(kHeaderFolders + i * kFolderRecord, 0);
  if (::pwrite(fd, header.data(), header.size(), 0) != static_cast<ssize_t>(header.size())) return false;
  return ::fdatasync(fd) == 0;
}

// ---- TUrlCacheFile ------------------------------------------------------------------------

std::optional<TUrlCacheFile> TUrlCacheFile::Open(const TargetSystem& target, const std::string& indexPath) {
  auto parent = OpenTargetParent(target, indexPath);
  if (!parent) return std::nullopt;
  TFileOps& ops = *parent->Ops;
  UniqueFd fd(ops.OpenAt(parent->Fd.Get(), parent->Leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.Valid()) return std::nullopt;
  struct stat st {};
  if (ops.FStat(fd.Get(), st) != 0 || !S_ISREG(st.st_mode) || static_cast<std::uint64_t>(st.st_size) > kMaxIndexBytes)
    return std::nullopt;
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(st.st_size));
  std::size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = ops.Read(fd.Get(), bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  bytes.resize(got);
  auto index = TUrlCacheIndex::Parse(std::move(bytes));
  if (!index) return std::nullopt;
  TUrlCacheFile file;
  file.ops_ = parent->Ops;
  file.folder_ = std::move(parent->Fd);
  file.mount_ = parent->Mount;
  file.leaf_ = parent->Leaf;
  file.mode_ = st.st_mode & 0777;
  file.index_ = std::move(index);
  return file;
}

void TUrlCacheFile::RemoveCacheFile(const TUrlCacheEntry& entry) {
  if (!PlainName(entry.LocalName) || (!entry.Subfolder.empty() && !PlainName(entry.Subfolder))) return;
  UniqueFd sub;
  int folder = folder_.Get();
  if (!entry.Subfolder.empty()) {
    sub = OpenSubfolderOnMount(*ops_, folder_.Get(), entry.Subfolder.c_str(), mount_);
    if (!sub.Valid()) return;
    folder = sub.Get();
  }
  // Wine creates the name as recorded; a differently cased copy is the same file to Windows.
  std::string name = entry.LocalName;
  if (!StatEntry(*ops_, folder, name.c_str())) {
    for (const TFolderEntry& e : ListFolder(*ops_, folder))
      if (FoldName(e.Name) == FoldName(name)) name = e.Name;
  }
  const auto st = StatEntry(*ops_, folder, name.c_str());
  if (!st || st->Kind == TEntryKind::Folder) return;
  ops_->UnlinkAt(folder, name.c_str(), 0);
}

bool TUrlCacheFile::Delete(std::string_view url) {
  auto removed = index_->Delete(url);
  if (!removed) return false;
  changed_ = true;
  if (!removed->LocalName.empty()) filesToRemove_.push_back(std::move(*removed));
  return true;
}

bool TUrlCacheFile::Commit() {
  if (!changed_) return true;
  const int folder = folder_.Get();
  // The index is replaced only if it is still the plain file that was read.
  struct stat st {};
  if (ops_->StatAt(folder, leaf_.c_str(), st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) return false;
  std::random_device random;
  std::string temp;
  UniqueFd fd;
  for (int attempt = 0; attempt < 20 && !fd.Valid(); ++attempt) {
    temp = "." + leaf_ + ".kestrove-" + std::to_string(random() % 100000000);
    fd = UniqueFd(ops_->OpenAt(folder, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                               static_cast<mode_t>(mode_)));
    if (!fd.Valid() && errno != EEXIST) return false;
  }
  if (!fd.Valid()) return false;
  const auto& bytes = index_->Bytes();
  bool ok = true;
  for (std::size_t done = 0; ok && done < bytes.size();) {
    const ssize_t n = ops_->PWrite(fd.Get(), bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<std::size_t>(n);
  }
  ok = ok && ops_->FSync(fd.Get()) == 0;
  fd.Reset();
  ok = ok && ops_->RenameAt(folder, temp.c_str(), folder, leaf_.c_str()) == 0;
  if (!ok) {
    const int error = errno;
    ops_->UnlinkAt(folder, temp.c_str(), 0);
    errno = error;
    return false;
  }
  changed_ = false;
  // The files go once no index names them any more: a failed write leaves index and files as
  // they were.
  for (const TUrlCacheEntry& entry : filesToRemove_) RemoveCacheFile(entry);
  filesToRemove_.clear();
  return true;
}

std::vector<TUrlCacheEntry> ReadUrlCache(const TargetSystem& target, const std::string& indexPath) {
  auto file = TUrlCacheFile::Open(target, indexPath);
  return file ? file->Entries() : std::vector<TUrlCacheEntry>{};
}

}  // namespace kestrove
