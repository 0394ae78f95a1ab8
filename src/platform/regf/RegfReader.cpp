#include "platform/regf/RegfReader.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <unordered_map>

#include "platform/regf/RegfFormat.h"

namespace kestrove::regf {

namespace {

constexpr std::uint64_t kMaxHiveFile = 4ull << 30;
constexpr std::uint64_t kLogSeed = 0x82EF4D887A4E55C5ull;
constexpr std::size_t kLogSector = 512;
constexpr std::size_t kLogEntryFixed = 40;
constexpr std::size_t kMaxListNesting = 8;  // index roots inside index roots, which Windows never writes
constexpr const char* kBootAdvice = "boot Windows once, then try again";

[[noreturn]] void Fail(std::string_view label, std::uint64_t fileOffset, std::string_view what) {
  throw RegistryError("The registry hive " + std::string(label) + " is damaged at byte offset " +
                      std::to_string(fileOffset) + ": " + std::string(what) + ".");
}

// The hive as it will be read: the bytes (the map, or the patched copy) and, per 4096-byte
// page of the bins, where the bin holding it ends, so that no cell is read across its bin.
struct TImage {
  std::string label;
  std::string copy;                    // the image when not mapped: given in memory or patched by logs
  const unsigned char* data = nullptr; // the whole file, base block first
  std::size_t size = 0;
  void* map = nullptr;
  std::size_t mapSize = 0;
  std::uint32_t binsSize = 0;
  std::uint32_t minor = 0;
  std::vector<std::uint32_t> binStart;  // per page of the bins, relative to the first bin
  std::vector<std::uint32_t> binEnd;
  mutable std::atomic<std::uint32_t> valueReads{0};  // since the map's pages were last handed back

  TImage() = default;
  TImage(const TImage&) = delete;
  TImage& operator=(const TImage&) = delete;
  ~TImage() {
    if (map) ::munmap(map, mapSize);
  }
  const unsigned char* Bins() const { return data + kBaseBlockSize; }
};

struct TCell {
  const unsigned char* p;
  std::size_t size;  // payload bytes, after the size field
};

// The cell at `offset` (relative to the first bin): allocated, inside its bin, big enough for
// `need` bytes.
TCell Cell(const TImage& im, std::uint32_t offset, std::size_t need, std::string_view what) {
  const std::uint64_t at = kBaseBlockSize + static_cast<std::uint64_t>(offset);
  if (offset == kNoCell || offset % kCellAlignment != 0 || offset >= im.binsSize)
    Fail(im.label, at, std::string(what) + " points outside the hive bins");
  const std::uint32_t end = im.binEnd[offset / kBinAlignment];
  if (offset - im.binStart[offset / kBinAlignment] < kBinHeaderSize)
    Fail(im.label, at, std::string(what) + " points into a bin's header");
  if (static_cast<std::uint64_t>(offset) + 4 > end) Fail(im.label, at, std::string(what) + " overruns its bin");
  const auto raw = static_cast<std::int32_t>(Get32(im.Bins() + offset));
  if (raw >= 0) Fail(im.label, at, std::string(what) + " is a free cell");
  const std::uint64_t cellSize = static_cast<std::uint64_t>(-static_cast<std::int64_t>(raw));
  if (cellSize < 8 || offset + cellSize > end) Fail(im.label, at, std::string(what) + " overruns its bin");
  if (cellSize - 4 < need) Fail(im.label, at, std::string(what) + " is too short");
  return {im.Bins() + offset + 4, static_cast<std::size_t>(cellSize - 4)};
}

// Key and value names: one byte a character (Latin-1) or UTF-16LE.
std::string DecodeName(const unsigned char* p, std::size_t len, bool compressed) {
  std::string out;
  if (compressed) {
    out.reserve(len);
    // Latin-1 to UTF-8: one byte below 0x80, two above.
    for (std::size_t i = 0; i < len; ++i) {
      if (p[i] < 0x80) {
        out += static_cast<char>(p[i]);
      } else {
        out += static_cast<char>(0xC0 | (p[i] >> 6));
        out += static_cast<char>(0x80 | (p[i] & 0x3F));
      }
    }
    return out;
  }
  return Utf16LeToUtf8(p, len & ~std::size_t{1});
}

// Offsets of a key's subkeys from its list, through index roots.
void CollectSubkeys(const TImage& im, std::uint32_t listOffset, std::vector<std::uint32_t>& out) {
  struct TPending {
    std::uint32_t offset;
    std::size_t depth;
  };
  std::vector<TPending> pending{{listOffset, 0}};
  while (!pending.empty()) {
    const TPending list = pending.back();
    pending.pop_back();
    const TCell c = Cell(im, list.offset, kListFixed, "a subkey list");
    const std::uint64_t at = kBaseBlockSize + static_cast<std::uint64_t>(list.offset);
    const std::size_t count = Get16(c.p + 2);
    const bool leafWithHash = (c.p[0] == 'l' && (c.p[1] == 'f' || c.p[1] == 'h'));
    const bool plain = c.p[0] == 'l' && c.p[1] == 'i';
    const bool root = c.p[0] == 'r' && c.p[1] == 'i';
    if (!leafWithHash && !plain && !root) Fail(im.label, at, "a subkey list has an unknown signature");
    const std::size_t step = leafWithHash ? 8 : 4;
    if (kListFixed + count * step > c.size) Fail(im.label, at, "a subkey list counts more entries than it holds");
    if (root) {
      if (list.depth >= kMaxListNesting) Fail(im.label, at, "subkey index roots nest too deep");
      // Pushed in reverse so that the lists are read in their order.
      for (std::size_t i = count; i-- > 0;) pending.push_back({Get32(c.p + kListFixed + i * 4), list.depth + 1});
      continue;
    }
    for (std::size_t i = 0; i < count; ++i) out.push_back(Get32(c.p + kListFixed + i * step));
  }
}

// One value of a key: checked always, decoded into `value` when it is given, and where its
// record and data lie into `raw` when that is given.
void ReadValue(const TImage& im, std::uint32_t vkOffset, RegValue* value, TRawValues::TValue* raw = nullptr) {
  const TCell c = Cell(im, vkOffset, kValueFixed, "a value");
  const std::uint64_t at = kBaseBlockSize + static_cast<std::uint64_t>(vkOffset);
  if (c.p[0] != 'v' || c.p[1] != 'k') Fail(im.label, at, "a value has no \"vk\" signature");
  const std::size_t nameLen = Get16(c.p + 2);
  if (kValueFixed + nameLen > c.size) Fail(im.label, at, "a value's name overruns its cell");
  const std::uint32_t rawSize = Get32(c.p + 4);
  const std::uint32_t dataOffset = Get32(c.p + 8);
  if (value) {
    value->name = DecodeName(c.p + kValueFixed, nameLen, (Get16(c.p + 16) & kValueCompName) != 0);
    value->type = Get32(c.p + 12);
    value->data.clear();
  }
  auto piece = [](const unsigned char* p, std::size_t n) { return std::string_view(reinterpret_cast<const char*>(p), n); };
  if (raw) {
    raw->record = piece(c.p, kValueFixed + nameLen);
    raw->size = rawSize & ~kDataInOffset;
    raw->pieces.clear();
  }
  if (rawSize & kDataInOffset) {
    const std::size_t len = rawSize & ~kDataInOffset;
    if (len > 4) Fail(im.label, at, "a value's data held in its record is longer than 4 bytes");
    if (value) value->data.assign(c.p + 8, c.p + 8 + len);
    return;
  }
  const std::size_t len = rawSize;
  if (len == 0) return;
  const TCell d = Cell(im, dataOffset, 0, "a value's data");
  const bool big = im.minor >= 4 && len > kBigDataSegment && d.size >= kBigDataFixed && d.p[0] == 'd' && d.p[1] == 'b';
  if (!big) {
    if (len > d.size) Fail(im.label, kBaseBlockSize + static_cast<std::uint64_t>(dataOffset), "a value's data overruns its cell");
    if (value) value->data.assign(d.p, d.p + len);
    if (raw) raw->pieces.push_back(piece(d.p, len));
    return;
  }
  const std::uint64_t dbAt = kBaseBlockSize + static_cast<std::uint64_t>(dataOffset);
  const std::size_t segments = Get16(d.p + 2);
  if (static_cast<std::uint64_t>(segments) * kBigDataSegment < len)
    Fail(im.label, dbAt, "a big value has fewer segments than its size needs");
  const TCell list = Cell(im, Get32(d.p + 4), segments * 4, "a big value's segment list");
  if (value) value->data.reserve(len);
  std::size_t left = len;
  for (std::size_t i = 0; i < segments && left > 0; ++i) {
    const std::size_t take = std::min(left, kBigDataSegment);
    const TCell seg = Cell(im, Get32(list.p + i * 4), take, "a big value's segment");
    if (value) value->data.insert(value->data.end(), seg.p, seg.p + take);
    if (raw) raw->pieces.push_back(piece(seg.p, take));
    left -= take;
  }
}

// The value list of the key at `nkOffset`; calls `each` with every value's cell offset.
template <typename Fn>
void ForEachValue(const TImage& im, const TCell& nk, Fn each) {
  const std::uint32_t count = Get32(nk.p + 36);
  if (count == 0) return;
  const TCell list = Cell(im, Get32(nk.p + 40), static_cast<std::size_t>(count) * 4, "a value list");
  for (std::uint32_t i = 0; i < count; ++i) each(Get32(list.p + i * 4));
}

TCell KeyCell(const TImage& im, std::uint32_t offset) {
  const TCell c = Cell(im, offset, kKeyNodeFixed, "a key");
  const std::uint64_t at = kBaseBlockSize + static_cast<std::uint64_t>(offset);
  if (c.p[0] != 'n' || c.p[1] != 'k') Fail(im.label, at, "a key has no \"nk\" signature");
  if (kKeyNodeFixed + Get16(c.p + 72) > c.size) Fail(im.label, at, "a key's name overruns its cell");
  return c;
}

class TTreeReader {
 public:
  explicit TTreeReader(const TImage& im) : im_(im), seen_(im.binsSize / kCellAlignment + 1) {}

  // Fills `root` (empty) from the root key at `rootOffset`; returns the root key's own name.
  std::string Read(std::uint32_t rootOffset, regtree::Node& root) {
    std::vector<std::pair<std::uint32_t, regtree::Node*>> pending;
    std::string rootName = Fill(rootOffset, root);
    pending.push_back({rootOffset, &root});
    std::vector<std::uint32_t> subkeys;
    while (!pending.empty()) {
      auto [offset, node] = pending.back();
      pending.pop_back();
      const TCell nk = KeyCell(im_, offset);
      if (Get32(nk.p + 20) == 0) continue;
      subkeys.clear();
      CollectSubkeys(im_, Get32(nk.p + 28), subkeys);
      node->children.reserve(subkeys.size());
      // The map's pages count as ours once read; handing them back now and then keeps a
      // large hive's peak near its tree, the kernel reading them again if a value needs them.
      if (im_.map && (visited_ += subkeys.size()) >= kKeysBetweenReleases) {
        ::madvise(im_.map, im_.mapSize, MADV_DONTNEED);
        visited_ = 0;
      }
      for (std::uint32_t child : subkeys) {
        auto n = std::make_unique<regtree::Node>();
        n->name = Fill(child, *n);
        n->parent = node;
        pending.push_back({child, n.get()});
        node->children.push_back(std::move(n));
      }
      auto less = [](const std::unique_ptr<regtree::Node>& a, const std::unique_ptr<regtree::Node>& b) {
        return CompareNames(a->name, b->name) < 0;
      };
      if (!std::is_sorted(node->children.begin(), node->children.end(), less))
        std::stable_sort(node->children.begin(), node->children.end(), less);
    }
    return rootName;
  }

 private:
  // Reads a key's own fields into `n` and checks its values; returns its name.
  std::string Fill(std::uint32_t offset, regtree::Node& n) {
    const std::uint64_t at = kBaseBlockSize + static_cast<std::uint64_t>(offset);
    const TCell nk = KeyCell(im_, offset);
    // Each key is reached once: a second visit is a list reaching back to an ancestor, or two
    // lists sharing a key, and either would make the walk endless or the tree a graph.
    if (seen_[offset / kCellAlignment]) Fail(im_.label, at, "a key is listed twice (a loop in the subkey lists)");
    seen_[offset / kCellAlignment] = true;
    const std::uint16_t flags = Get16(nk.p + 2);
    n.modif = Get64(nk.p + 4);
    n.isLink = (flags & kKeySymLink) != 0;
    n.rawBegin = offset;
    n.rawEnd = static_cast<std::size_t>(offset) + 1;
    bool hasValues = false;
    ForEachValue(im_, nk, [&](std::uint32_t vk) {
      ReadValue(im_, vk, nullptr);
      hasValues = true;
    });
    n.valuesReady.store(!hasValues);
    const std::uint16_t kept = flags & (kKeyNoDelete | kKeyPredefHandle);
    std::optional<std::string> keyClass;
    const std::size_t classLen = Get16(nk.p + 74);
    const std::uint32_t classOffset = Get32(nk.p + 48);
    if (classOffset != kNoCell && classLen > 0) {
      const TCell c = Cell(im_, classOffset, classLen, "a key's class name");
      keyClass = Utf16LeToUtf8(c.p, classLen & ~std::size_t{1});
    }
    std::shared_ptr<const std::string> security;
    const std::uint32_t skOffset = Get32(nk.p + 44);
    if (skOffset != kNoCell) security = Security(skOffset);
    if (kept || keyClass || security) {
      n.extra = std::make_unique<regtree::KeyExtra>();
      n.extra->flags = kept;
      n.extra->keyClass = std::move(keyClass);
      n.extra->security = std::move(security);
    }
    return DecodeName(nk.p + kKeyNodeFixed, Get16(nk.p + 72), (flags & kKeyCompName) != 0);
  }

  std::shared_ptr<const std::string> Security(std::uint32_t offset) {
    auto it = security_.find(offset);
    if (it != security_.end()) return it->second;
    const TCell c = Cell(im_, offset, kSecurityFixed, "a security descriptor");
    const std::uint64_t at = kBaseBlockSize + static_cast<std::uint64_t>(offset);
    if (c.p[0] != 's' || c.p[1] != 'k') Fail(im_.label, at, "a security descriptor has no \"sk\" signature");
    const std::size_t len = Get32(c.p + 16);
    if (len > c.size - kSecurityFixed) Fail(im_.label, at, "a security descriptor overruns its cell");
    auto sd = std::make_shared<const std::string>(reinterpret_cast<const char*>(c.p + kSecurityFixed), len);
    security_.emplace(offset, sd);
    return sd;
  }

  static constexpr std::size_t kKeysBetweenReleases = 8192;

  const TImage& im_;
  std::vector<bool> seen_;
  std::size_t visited_ = 0;
  std::unordered_map<std::uint32_t, std::shared_ptr<const std::string>> security_;
};

// ---- Transaction logs ----

bool BaseBlockValid(const unsigned char* b) {
  return std::memcmp(b, "regf", 4) == 0 && Get32(b + kOffChecksum) == BaseBlockChecksum(b);
}

struct TLogEntry {
  const std::string* log;
  std::size_t offset;
  std::uint32_t size;
  std::uint32_t binsSize;
  std::uint32_t pagesEnd;  // where its last page ends in the bins
};

// The new format's entries of one log, up to the first torn or foreign one.
void CollectEntries(const std::string& log, std::size_t logIndex, std::map<std::uint32_t, TLogEntry>& entries,
                    std::vector<std::string>& warnings, std::string_view label) {
  const auto* d = reinterpret_cast<const unsigned char*>(log.data());
  std::size_t at = kLogSector;
  while (at + kLogEntryFixed <= log.size() && std::memcmp(d + at, "HvLE", 4) == 0) {
    const std::uint32_t size = Get32(d + at + 4);
    const std::uint32_t seq = Get32(d + at + 12);
    const std::uint32_t binsSize = Get32(d + at + 16);
    const std::uint32_t pages = Get32(d + at + 20);
    std::string bad;
    std::uint32_t pagesEnd = 0;
    if (size < kLogEntryFixed || size % kLogSector != 0 || size > log.size() - at)
      bad = "its size is wrong";
    else if (Marvin32(d + at + kLogEntryFixed, size - kLogEntryFixed, kLogSeed) != Get64(d + at + 24) ||
             Marvin32(d + at, 32, kLogSeed) != Get64(d + at + 32))
      bad = "its checksum is wrong";
    else if (binsSize % kBinAlignment != 0 || static_cast<std::uint64_t>(pages) * 8 > size - kLogEntryFixed)
      bad = "its header is inconsistent";
    if (bad.empty()) {
      // Every page must lie inside the entry and inside the bins the entry describes.
      std::uint64_t dataAt = kLogEntryFixed + static_cast<std::uint64_t>(pages) * 8;
      for (std::uint32_t i = 0; i < pages && bad.empty(); ++i) {
        const std::uint32_t off = Get32(d + at + kLogEntryFixed + i * 8);
        const std::uint32_t len = Get32(d + at + kLogEntryFixed + i * 8 + 4);
        if (static_cast<std::uint64_t>(off) + len > binsSize || dataAt + len > size) bad = "a page lies outside it";
        pagesEnd = std::max(pagesEnd, off + len);
        dataAt += len;
      }
    }
    if (!bad.empty()) {
      warnings.push_back("The transaction log " + std::to_string(logIndex + 1) + " of " + std::string(label) +
                         " has a damaged entry at byte offset " + std::to_string(at) + " (" + bad +
                         "); the entries before it are applied.");
      return;
    }
    entries.emplace(seq, TLogEntry{&log, at, size, binsSize, pagesEnd});
    at += size;
  }
}

void ApplyEntry(std::string& image, const TLogEntry& e) {
  const auto* d = reinterpret_cast<const unsigned char*>(e.log->data()) + e.offset;
  const std::size_t want = kBaseBlockSize + e.binsSize;
  if (image.size() < want) image.resize(want, '\0');
  const std::uint32_t pages = Get32(d + 20);
  std::size_t dataAt = kLogEntryFixed + static_cast<std::size_t>(pages) * 8;
  for (std::uint32_t i = 0; i < pages; ++i) {
    const std::uint32_t off = Get32(d + kLogEntryFixed + i * 8);
    const std::uint32_t len = Get32(d + kLogEntryFixed + i * 8 + 4);
    std::memcpy(image.data() + kBaseBlockSize + off, d + dataAt, len);
    dataAt += len;
  }
}

void SetSequence(std::string& image, std::uint32_t seq, std::uint32_t binsSize) {
  auto* b = reinterpret_cast<unsigned char*>(image.data());
  Put32(b + kOffPrimarySeq, seq);
  Put32(b + kOffSecondarySeq, seq);
  Put32(b + kOffHiveBinsSize, binsSize);
  Put32(b + kOffFileType, static_cast<std::uint32_t>(TFileType::Primary));
  Put32(b + kOffChecksum, BaseBlockChecksum(b));
}

// New-format logs: the entries from the hive's own sequence number on, as long as the numbers
// run on without a gap, from whichever log holds them.
std::vector<TLogEntry> NewLogPlan(const unsigned char* hiveBase, std::size_t hiveSize, const std::vector<std::string>& logs,
                                  TRegfLoadReport& report, std::string_view label) {
  std::map<std::uint32_t, TLogEntry> entries;
  for (std::size_t i = 0; i < logs.size(); ++i) {
    const auto* d = reinterpret_cast<const unsigned char*>(logs[i].data());
    if (logs[i].size() < kLogSector || std::memcmp(d, "regf", 4) != 0 ||
        Get32(d + kOffFileType) != static_cast<std::uint32_t>(TFileType::LogNew))
      continue;
    CollectEntries(logs[i], i, entries, report.warnings, label);
  }
  // A log starts with the hive's number of the time and its entries count on from there, so
  // the hive holds the entries before its secondary number (the last write it completed) and
  // none from it on: a dirty hive's primary number is only the write it broke off.
  const std::uint32_t first = Get32(hiveBase + kOffSecondarySeq);
  std::vector<TLogEntry> plan;
  auto it = entries.lower_bound(first);
  // Bins an entry adds must come with it as pages: a size grown past them would be zeros
  // (and a size read from a damaged log could ask for gigabytes).
  std::uint64_t binsSize = hiveSize > kBaseBlockSize ? hiveSize - kBaseBlockSize : 0;
  for (std::uint32_t seq = it == entries.end() ? 0 : it->first; it != entries.end() && it->first == seq; ++it, ++seq) {
    if (it->second.binsSize > std::max<std::uint64_t>(binsSize, it->second.pagesEnd)) {
      report.warnings.push_back("A transaction log of " + std::string(label) + " grows the hive in entry " +
                                std::to_string(seq) + " without the bins it adds; the entries before it are applied.");
      break;
    }
    binsSize = it->second.binsSize;
    plan.push_back(it->second);
  }
  return plan;
}

void ApplyNewLogs(std::string& image, const std::vector<TLogEntry>& plan) {
  for (const TLogEntry& e : plan) ApplyEntry(image, e);
  const TLogEntry& last = plan.back();
  image.resize(kBaseBlockSize + last.binsSize);
  SetSequence(image, Get32(reinterpret_cast<const unsigned char*>(last.log->data()) + last.offset + 12), last.binsSize);
}

// Old-format logs: a dirty vector of 512-byte pages and the pages. Only a dirty hive takes
// one, and only the log written for the hive as it is (the same last-written time). Returns
// the log's index, or nullopt.
std::optional<std::size_t> OldLogPlan(const unsigned char* hiveBase, std::size_t hiveSize, const std::vector<std::string>& logs,
                                      TRegfLoadReport& report, std::string_view label) {
  for (std::size_t i = 0; i < logs.size(); ++i) {
    const auto* d = reinterpret_cast<const unsigned char*>(logs[i].data());
    const std::size_t size = logs[i].size();
    if (size < 2 * kLogSector || std::memcmp(d, "regf", 4) != 0 ||
        Get32(d + kOffFileType) != static_cast<std::uint32_t>(TFileType::Log))
      continue;
    const std::string where = "The transaction log " + std::to_string(i + 1) + " of " + std::string(label);
    if (Get32(d + kOffChecksum) != BaseBlockChecksum(d) || Get32(d + kOffPrimarySeq) != Get32(d + kOffSecondarySeq)) {
      report.warnings.push_back(where + " was not completely written; it is not applied.");
      continue;
    }
    if (Get64(d + kOffLastWritten) != Get64(hiveBase + kOffLastWritten)) continue;  // for another state of the hive
    const std::uint32_t binsSize = Get32(d + kOffHiveBinsSize);
    if (binsSize % kBinAlignment != 0 || std::memcmp(d + kLogSector, "DIRT", 4) != 0) {
      report.warnings.push_back(where + " has no dirty vector at byte offset 512; it is not applied.");
      continue;
    }
    const std::size_t bits = binsSize / kLogSector;
    const std::size_t vectorEnd = kLogSector + 4 + (bits + 7) / 8;
    if (vectorEnd > size) {
      report.warnings.push_back(where + " is cut short in its dirty vector; it is not applied.");
      continue;
    }
    const std::size_t pageAt = (vectorEnd + kLogSector - 1) / kLogSector * kLogSector;
    std::size_t dirtyPages = 0, pagesEnd = 0;
    for (std::size_t bit = 0; bit < bits; ++bit) {
      if (!((d[kLogSector + 4 + bit / 8] >> (bit % 8)) & 1)) continue;
      ++dirtyPages;
      pagesEnd = (bit + 1) * kLogSector;
    }
    if (binsSize > std::max(hiveSize > kBaseBlockSize ? hiveSize - kBaseBlockSize : 0, pagesEnd)) {
      report.warnings.push_back(where + " grows the hive without the bins it adds; it is not applied.");
      continue;
    }
    if (pageAt + dirtyPages * kLogSector > size) {
      report.warnings.push_back(where + " is cut short in its pages; it is not applied.");
      continue;
    }
    return i;
  }
  return std::nullopt;
}

void ApplyOldLog(std::string& image, const std::string& log) {
  const auto* d = reinterpret_cast<const unsigned char*>(log.data());
  const std::uint32_t binsSize = Get32(d + kOffHiveBinsSize);
  const std::size_t bits = binsSize / kLogSector;
  std::size_t pageAt = (kLogSector + 4 + (bits + 7) / 8 + kLogSector - 1) / kLogSector * kLogSector;
  image.resize(kBaseBlockSize + binsSize, '\0');
  for (std::size_t bit = 0; bit < bits; ++bit) {
    if (!((d[kLogSector + 4 + bit / 8] >> (bit % 8)) & 1)) continue;
    std::memcpy(image.data() + kBaseBlockSize + bit * kLogSector, d + pageAt, kLogSector);
    pageAt += kLogSector;
  }
  SetSequence(image, Get32(d + kOffPrimarySeq), binsSize);
}

// Checks the base block and walks the bins, filling the bin table.
void Index(TImage& im) {
  const unsigned char* b = im.data;
  if (im.size < kBaseBlockSize) Fail(im.label, im.size, "the file is shorter than a base block");
  if (std::memcmp(b, "regf", 4) != 0) Fail(im.label, kOffSignature, "no \"regf\" signature: not a registry hive");
  if (Get32(b + kOffMajorVersion) != 1) Fail(im.label, kOffMajorVersion, "an unknown major version");
  im.minor = Get32(b + kOffMinorVersion);
  im.binsSize = Get32(b + kOffHiveBinsSize);
  if (im.binsSize == 0 || im.binsSize % kBinAlignment != 0)
    Fail(im.label, kOffHiveBinsSize, "the size of the hive bins is not a multiple of 4096");
  if (static_cast<std::uint64_t>(im.binsSize) > im.size - kBaseBlockSize)
    Fail(im.label, im.size, "the file ends before its hive bins (truncated)");
  im.binEnd.assign(im.binsSize / kBinAlignment, 0);
  im.binStart.assign(im.binsSize / kBinAlignment, 0);
  constexpr std::uint32_t kReleaseEvery = 4u << 20;
  std::uint32_t at = 0, released = 0;
  while (at < im.binsSize) {
    const unsigned char* h = im.Bins() + at;
    const std::uint64_t fileAt = kBaseBlockSize + static_cast<std::uint64_t>(at);
    if (std::memcmp(h, "hbin", 4) != 0) Fail(im.label, fileAt, "no \"hbin\" signature where a hive bin should start");
    if (Get32(h + 4) != at) Fail(im.label, fileAt + 4, "a hive bin gives another offset than its own");
    const std::uint32_t size = Get32(h + 8);
    if (size == 0 || size % kBinAlignment != 0 || size > im.binsSize - at)
      Fail(im.label, fileAt + 8, "a hive bin's size is wrong");
    std::fill(im.binEnd.begin() + at / kBinAlignment, im.binEnd.begin() + (at + size) / kBinAlignment, at + size);
    std::fill(im.binStart.begin() + at / kBinAlignment, im.binStart.begin() + (at + size) / kBinAlignment, at);
    at += size;
    // Every bin's header is on a page of its own: without handing them back as it goes, this
    // walk alone would make the whole file resident.
    if (im.map && at - released >= kReleaseEvery) {
      ::madvise(static_cast<char*>(im.map) + kBaseBlockSize + released, at - released, MADV_DONTNEED);
      released = at;
    }
  }
}

TRegfLoadReport Load(std::unique_ptr<TImage> im, std::string* ownedData, std::vector<std::string> logs,
                     regtree::Hive& hive) {
  TRegfLoadReport report;
  const std::string& label = im->label;
  if (im->size < kBaseBlockSize) Fail(label, im->size, "the file is shorter than a base block");
  const bool checksumOk = Get32(im->data + kOffChecksum) == BaseBlockChecksum(im->data);
  const bool dirty = !checksumOk || Get32(im->data + kOffPrimarySeq) != Get32(im->data + kOffSecondarySeq);
  if (std::memcmp(im->data, "regf", 4) != 0) Fail(label, kOffSignature, "no \"regf\" signature: not a registry hive");

  // A base block with a wrong checksum is taken from a log that holds a whole one.
  std::optional<std::size_t> headerLog;
  for (std::size_t i = 0; !checksumOk && !headerLog && i < logs.size(); ++i)
    if (logs[i].size() >= kLogSector && BaseBlockValid(reinterpret_cast<const unsigned char*>(logs[i].data())))
      headerLog = i;
  // Replaying works on a copy; the map is read as it is otherwise.
  auto takeCopy = [&] {
    if (!im->map) return;
    // A piece at a time, each piece's pages handed back once copied, so that the file is not
    // resident twice.
    constexpr std::size_t kPiece = 1 << 20;
    im->copy.resize(im->size);
    for (std::size_t at = 0; at < im->size; at += kPiece) {
      const std::size_t len = std::min(kPiece, im->size - at);
      std::memcpy(im->copy.data() + at, im->data + at, len);
      ::madvise(static_cast<char*>(im->map) + at, len, MADV_DONTNEED);
    }
    ::munmap(im->map, im->mapSize);
    im->map = nullptr;
    im->data = reinterpret_cast<const unsigned char*>(im->copy.data());
  };
  if (ownedData) {
    im->copy = std::move(*ownedData);
    im->data = reinterpret_cast<const unsigned char*>(im->copy.data());
  }
  if (headerLog) {
    takeCopy();
    std::memcpy(im->copy.data(), logs[*headerLog].data(), kLogSector);
    auto* b = reinterpret_cast<unsigned char*>(im->copy.data());
    Put32(b + kOffFileType, static_cast<std::uint32_t>(TFileType::Primary));
    Put32(b + kOffChecksum, BaseBlockChecksum(b));
    im->data = b;
    report.warnings.push_back("The base block of " + label + " was damaged; the one in its transaction log " +
                              std::to_string(*headerLog + 1) + " is used.");
  }
  std::vector<TLogEntry> newPlan;
  std::optional<std::size_t> oldLog;
  if (checksumOk || headerLog) {
    newPlan = NewLogPlan(im->data, im->size, logs, report, label);
    if (newPlan.empty() && dirty) oldLog = OldLogPlan(im->data, im->size, logs, report, label);
  }
  const bool applied = !newPlan.empty() || oldLog;
  if (applied) takeCopy();
  if (!newPlan.empty()) ApplyNewLogs(im->copy, newPlan);
  if (oldLog) ApplyOldLog(im->copy, logs[*oldLog]);
  if (!im->map) {
    im->data = reinterpret_cast<const unsigned char*>(im->copy.data());
    im->size = im->copy.size();
  }
  logs = {};  // done with: a large hive's logs are megabytes its tree can use
  report.logsApplied = applied;
  if (dirty && !applied) {
    report.warnings.push_back(std::string("The registry hive ") + label +
                              (checksumOk ? " was not completely written by Windows"
                                          : " has a damaged base block (its checksum is wrong)") +
                              " and no usable transaction log beside it completes it; what the file holds is read.");
    report.writeRefusal = "The registry hive " + label +
                          " was left unfinished by Windows, and writing it now could lose what Windows would still "
                          "recover: " + kBootAdvice;
  }

  Index(*im);
  const std::uint32_t rootOffset = Get32(im->data + kOffRootCell);
  regtree::Node top;
  TTreeReader reader(*im);
  std::string rootName = reader.Read(rootOffset, top);

  if (im->map) ::madvise(im->map, im->mapSize, MADV_DONTNEED);

  // Only now, with nothing left to fail, does the hive's root take what was read.
  regtree::Node& root = *hive.root;
  root.children = std::move(top.children);
  for (auto& c : root.children) c->parent = &root;
  root.extra = std::move(top.extra);
  root.modif = top.modif;
  root.isLink = top.isLink;
  root.rawBegin = top.rawBegin;
  root.rawEnd = top.rawEnd;
  root.values.clear();
  root.valuesReady.store(top.valuesReady.load());
  hive.header.assign(reinterpret_cast<const char*>(im->data), kBaseBlockSize);
  hive.rootName = std::move(rootName);
  hive.source = std::shared_ptr<const TImage>(std::move(im));
  return report;
}

// Reads a small file (a log) whole; nullopt when it cannot be read.
std::optional<std::string> ReadSmallFile(const std::filesystem::path& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat st{};
  std::optional<std::string> out;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<std::uint64_t>(st.st_size) < kMaxHiveFile) {
    std::string data(static_cast<std::size_t>(st.st_size), '\0');
    std::size_t got = 0;
    while (got < data.size()) {
      const ssize_t n = ::pread(fd, data.data() + got, data.size() - got, static_cast<off_t>(got));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    data.resize(got);
    out = std::move(data);
  }
  ::close(fd);
  return out;
}

// The logs beside `file`: .LOG1, .LOG2 and .LOG, whatever their letter case.
std::vector<std::string> ReadLogs(const std::filesystem::path& file) {
  std::vector<std::string> logs;
  const std::string base = file.filename().string();
  std::error_code ec;
  std::filesystem::path found[3];
  for (const auto& entry : std::filesystem::directory_iterator(file.parent_path().empty() ? "." : file.parent_path(), ec)) {
    const std::string name = entry.path().filename().string();
    if (name.size() <= base.size() || !SameName(name.substr(0, base.size()), base)) continue;
    const std::string tail = name.substr(base.size());
    if (SameName(tail, ".LOG1")) found[0] = entry.path();
    else if (SameName(tail, ".LOG2")) found[1] = entry.path();
    else if (SameName(tail, ".LOG")) found[2] = entry.path();
  }
  for (const auto& p : found) {
    if (p.empty()) continue;
    if (auto data = ReadSmallFile(p)) logs.push_back(std::move(*data));
  }
  return logs;
}

}  // namespace

std::uint64_t Marvin32(const unsigned char* data, std::size_t size, std::uint64_t seed) {
  std::uint32_t lo = static_cast<std::uint32_t>(seed);
  std::uint32_t hi = static_cast<std::uint32_t>(seed >> 32);
  auto rotl = [](std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); };
  auto mix = [&] {
    hi ^= lo;
    lo = rotl(lo, 20) + hi;
    hi = rotl(hi, 9) ^ lo;
    lo = rotl(lo, 27) + hi;
    hi = rotl(hi, 19);
  };
  std::size_t i = 0;
  for (; size - i >= 4; i += 4) {
    lo += Get32(data + i);
    mix();
  }
  std::uint32_t last = 0x80;
  for (std::size_t k = size - i; k-- > 0;) last = (last << 8) | data[i + k];
  lo += last;
  mix();
  mix();
  return static_cast<std::uint64_t>(lo) | (static_cast<std::uint64_t>(hi) << 32);
}

TRegfLoadReport LoadRegfHiveData(std::string data, const std::vector<std::string>& logs, std::string_view label,
                                 regtree::Hive& hive) {
  auto im = std::make_unique<TImage>();
  im->label = std::string(label);
  im->data = reinterpret_cast<const unsigned char*>(data.data());
  im->size = data.size();
  return Load(std::move(im), &data, logs, hive);
}

TRegfLoadReport LoadRegfHive(const std::filesystem::path& file, regtree::Hive& hive) {
  const std::string label = file.string();
  const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    if (err == ELOOP) throw RegistryError("The registry hive " + label + " is a link; only a plain file is read.");
    throw RegistryError("The registry hive " + label + " cannot be opened: " + std::strerror(err) + ".");
  }
  struct stat st{};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    throw RegistryError("The registry hive " + label + " is not a plain file (a FIFO, device or folder); it is not read.");
  }
  if (static_cast<std::uint64_t>(st.st_size) > kMaxHiveFile) {
    ::close(fd);
    throw RegistryError("The registry hive " + label + " is larger than 4 GiB, which no registry hive is; it is not read.");
  }
  auto im = std::make_unique<TImage>();
  im->label = label;
  im->size = static_cast<std::size_t>(st.st_size);
  if (im->size > 0) {
    void* map = ::mmap(nullptr, im->size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (map == MAP_FAILED) {
      const int err = errno;
      ::close(fd);
      throw RegistryError("The registry hive " + label + " cannot be read: " + std::strerror(err) + ".");
    }
    im->map = map;
    im->mapSize = im->size;
    im->data = static_cast<const unsigned char*>(map);
  }
  ::close(fd);
  if (im->size == 0) Fail(label, 0, "the file is empty");
  return Load(std::move(im), nullptr, ReadLogs(file), hive);
}

std::string_view RegfImage(const regtree::Hive& hive) {
  const auto* im = static_cast<const TImage*>(hive.source.get());
  if (!im) return {};
  return {reinterpret_cast<const char*>(im->data), im->size};
}

namespace {

const TImage& ImageOf(const regtree::Hive& hive, const regtree::Node& node) {
  const auto* im = static_cast<const TImage*>(hive.source.get());
  if (!im) throw RegistryError("The registry hive " + hive.label + " was not read from a hive file.");
  if (node.rawEnd != node.rawBegin + 1 || node.rawBegin >= im->binsSize)
    throw RegistryError("A key of the registry hive " + im->label + " has no place in its file to read values from.");
  return *im;
}

// Pages read for values are handed back now and then, so that reading every value of a large
// hive does not keep the whole file resident.
void CountValueRead(const TImage& im) {
  if (im.map && im.valueReads.fetch_add(1, std::memory_order_relaxed) + 1 >= 4096) {
    im.valueReads.store(0, std::memory_order_relaxed);
    ::madvise(im.map, im.mapSize, MADV_DONTNEED);
  }
}

}  // namespace

bool TRawValues::Available(const regtree::Hive& hive, const regtree::Node& node) {
  const auto* im = static_cast<const TImage*>(hive.source.get());
  return im && !node.valuesReady.load(std::memory_order_acquire) && node.rawEnd == node.rawBegin + 1 &&
         node.rawBegin < im->binsSize;
}

void TRawValues::Open(const regtree::Hive& hive, const regtree::Node& node) {
  image_ = &ImageOf(hive, node);
  const TImage& im = *static_cast<const TImage*>(image_);
  list_ = nullptr;
  const TCell nk = KeyCell(im, static_cast<std::uint32_t>(node.rawBegin));
  count_ = Get32(nk.p + 36);
  if (count_) list_ = Cell(im, Get32(nk.p + 40), count_ * 4, "a value list").p;
  CountValueRead(im);
}

const TRawValues::TValue& TRawValues::Get(std::size_t index) {
  ReadValue(*static_cast<const TImage*>(image_), Get32(list_ + index * 4), nullptr, &value_);
  return value_;
}

void LoadRegfValues(const regtree::Hive& hive, regtree::Node& node) {
  const TImage* im = &ImageOf(hive, node);
  const TCell nk = KeyCell(*im, static_cast<std::uint32_t>(node.rawBegin));
  std::vector<RegValue> values;
  values.reserve(Get32(nk.p + 36));
  ForEachValue(*im, nk, [&](std::uint32_t vk) {
    values.emplace_back();
    ReadValue(*im, vk, &values.back());
  });
  CountValueRead(*im);
  std::stable_sort(values.begin(), values.end(),
                   [](const RegValue& a, const RegValue& b) { return CompareNames(a.name, b.name) < 0; });
  node.values = std::move(values);
}

}  // namespace kestrove::regf
