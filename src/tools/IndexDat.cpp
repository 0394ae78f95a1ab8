#include "tools/IndexDat.h"

#include <fcntl.h>
#include <langinfo.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <random>
#include <unordered_set>

namespace kestrove {

namespace {

constexpr std::uint64_t kRecordedSizeAt = 28;
constexpr std::uint64_t kFirstTableAt = 32;
// A table's own header is 16 bytes: signature, block count, next table, sequence number. Its
// first entry follows at once (Internet Explorer and Wine fill the slots at 16 and 24 like any
// other; starting at 32 would miss the URLs those two slots point at).
constexpr std::uint64_t kTableHeaderSize = 16;
constexpr std::uint64_t kBlockSize = 128;
constexpr std::uint64_t kEntrySize = 8;
constexpr std::uint32_t kHashTag = 0x48534148;  // "HASH" read little-endian

// Little-endian 32-bit value at `at`; false when it does not lie wholly inside `d`.
bool U32At(std::string_view d, std::uint64_t at, std::uint32_t& value) {
  if (at > d.size() || d.size() - at < 4) return false;
  const auto* p = reinterpret_cast<const unsigned char*>(d.data() + at);
  value = std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
  return true;
}

bool U64At(std::string_view d, std::uint64_t at, std::uint64_t& value) {
  std::uint32_t lo = 0, hi = 0;
  if (!U32At(d, at, lo) || !U32At(d, at + 4, hi)) return false;
  value = std::uint64_t(hi) << 32 | lo;
  return true;
}

bool TagAt(std::string_view d, std::uint64_t at, const char (&tag)[5]) {
  return at <= d.size() && d.size() - at >= 4 && std::memcmp(d.data() + at, tag, 4) == 0;
}

// Entries a table of `blocks` blocks holds; the arithmetic is wide so that no block count,
// however large, wraps into a small or negative number.
std::int64_t EntriesOf(std::uint32_t blocks) {
  return (std::int64_t(blocks) * std::int64_t(kBlockSize) - std::int64_t(kTableHeaderSize)) /
         std::int64_t(kEntrySize);
}

// A zero-terminated single-byte text from `at`, ending at the end of the data when no zero
// byte follows.
std::string TextAt(std::string_view d, std::uint64_t at) {
  if (at >= d.size()) return {};
  const std::string_view rest = d.substr(at);
  const std::size_t zero = rest.find('\0');
  return std::string(zero == std::string_view::npos ? rest : rest.substr(0, zero));
}

bool ReadRecord(std::string_view d, std::uint64_t at, TIndexDatRecord& record) {
  std::uint64_t fileTime = 0;
  if (TagAt(d, at, "URL ") || TagAt(d, at, "LEAK")) {
    record.Kind = TagAt(d, at, "URL ") ? TIndexDatRecordKind::Url : TIndexDatRecordKind::Leak;
    if (at + 52 >= d.size()) return false;
    const unsigned char urlAt = static_cast<unsigned char>(d[at + 52]);
    if (urlAt == 0) return false;
    U64At(d, at + 16, fileTime);
    record.Url = TextAt(d, at + urlAt);
  } else if (TagAt(d, at, "REDR")) {
    record.Kind = TIndexDatRecordKind::Redirect;
    U64At(d, at + 8, fileTime);
    record.Url = TextAt(d, at + 16);
  } else {
    return false;
  }
  record.FileTime = fileTime;
  return !record.Url.empty();
}

// Opens a host path without following a link and without blocking on a FIFO; -1 unless it is
// a regular file.
int OpenRegular(const std::string& hostPath, int access) {
  const int fd = ::open(hostPath.c_str(), access | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool PReadU32(int fd, std::uint64_t at, std::uint32_t& value) {
  unsigned char b[4];
  ssize_t n;
  do n = ::pread(fd, b, sizeof b, off_t(at));
  while (n < 0 && errno == EINTR);
  if (n != 4) return false;
  value = std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 | std::uint32_t(b[2]) << 16 | std::uint32_t(b[3]) << 24;
  return true;
}

bool PWriteAll(int fd, const unsigned char* data, std::size_t size, std::uint64_t at) {
  while (size > 0) {
    const ssize_t n = ::pwrite(fd, data, size, off_t(at));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= std::size_t(n);
    at += std::uint64_t(n);
  }
  return true;
}

// Writes `buffer`'s byte over [from, to), in writes of at most the buffer's size.
bool Overwrite(int fd, const std::vector<unsigned char>& buffer, std::uint64_t from, std::uint64_t to) {
  while (from < to) {
    const std::size_t n = std::size_t(std::min<std::uint64_t>(buffer.size(), to - from));
    if (!PWriteAll(fd, buffer.data(), n, from)) return false;
    from += n;
  }
  return true;
}

// One pass of the wipe; false when a read or write failed (the wipe then stops).
bool WipePass(int fd, unsigned char fill) {
  std::uint32_t recordedSize = 0, first = 0;
  if (!PReadU32(fd, kRecordedSizeAt, recordedSize) || !PReadU32(fd, kFirstTableAt, first)) return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0) return false;
  // Never past the recorded size, and never past the real end: the wipe never grows a file.
  const std::uint64_t limit = std::min<std::uint64_t>(recordedSize, std::uint64_t(std::max<off_t>(st.st_size, 0)));

  // The chain first, so that no table's own header is overwritten by the stretch after
  // another table, whatever order the chain visits them in.
  struct TTable {
    std::uint64_t At, End;
  };
  std::vector<TTable> tables;
  std::unordered_set<std::uint32_t> visited;
  for (std::uint32_t at = first; at != 0 && at <= recordedSize && visited.insert(at).second;) {
    std::uint32_t tag = 0, next = 0;
    if (!PReadU32(fd, at, tag) || tag != kHashTag || !PReadU32(fd, std::uint64_t(at) + 8, next)) break;
    // The stretch of a table ends where the next table starts; a chain that leads backwards
    // (or in a loop) would leave this table's records, so such a table runs to the end.
    const std::uint64_t end = next > at ? next : recordedSize;
    tables.push_back({at, std::min<std::uint64_t>(end, limit)});
    at = next;
  }
  // What to overwrite: the union of the tables' stretches (each byte once, however the
  // stretches of a damaged chain overlap), less every table's header.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> stretches;
  for (const TTable& t : tables) {
    // The file header's two fields stay whatever a damaged chain says.
    const std::uint64_t from = std::max<std::uint64_t>(t.At + kTableHeaderSize, kFirstTableAt + 4);
    if (from < t.End) stretches.emplace_back(from, t.End);
  }
  std::sort(stretches.begin(), stretches.end());
  std::vector<std::uint64_t> headers;
  for (const TTable& t : tables) headers.push_back(t.At);
  std::sort(headers.begin(), headers.end());

  const std::vector<unsigned char> buffer(4096, fill);
  std::size_t nextHeader = 0;
  std::uint64_t done = 0;  // everything below has been written or skipped
  for (auto [from, to] : stretches) {
    from = std::max(from, done);
    while (from < to) {
      while (nextHeader < headers.size() && headers[nextHeader] + kTableHeaderSize <= from) ++nextHeader;
      if (nextHeader < headers.size() && headers[nextHeader] <= from) {
        from = headers[nextHeader] + kTableHeaderSize;  // inside a header: skip it
        continue;
      }
      const std::uint64_t stop =
          nextHeader < headers.size() ? std::min<std::uint64_t>(to, headers[nextHeader]) : to;
      if (!Overwrite(fd, buffer, from, stop)) return false;
      from = stop;
    }
    done = std::max(done, to);
  }
  ::fdatasync(fd);
  return true;
}

}  // namespace

std::vector<TIndexDatRecord> ParseIndexDat(std::string_view d, const TIndexDatProgress& progress) {
  std::vector<TIndexDatRecord> records;
  std::uint32_t recordedSize = 0, first = 0;
  if (!U32At(d, kRecordedSizeAt, recordedSize) || !U32At(d, kFirstTableAt, first)) return records;

  // Counting pass: the entries of every table on the chain, for the progress.
  std::uint64_t total = 0;
  std::unordered_set<std::uint32_t> visited;
  for (std::uint32_t at = first; at != 0 && at <= recordedSize && visited.insert(at).second;) {
    std::uint32_t blocks = 0, next = 0;
    if (!U32At(d, std::uint64_t(at) + 4, blocks) || !U32At(d, std::uint64_t(at) + 8, next)) break;
    const std::int64_t entries = EntriesOf(blocks);
    if (entries > 0) total += std::uint64_t(entries);
    at = next;
  }

  // Main pass.
  std::uint64_t walked = 0;
  visited.clear();
  for (std::uint32_t at = first; at != 0 && at <= recordedSize && visited.insert(at).second;) {
    std::uint32_t blocks = 0, next = 0;
    if (!TagAt(d, at, "HASH") || !U32At(d, std::uint64_t(at) + 4, blocks) ||
        !U32At(d, std::uint64_t(at) + 8, next))
      break;
    const std::int64_t entries = EntriesOf(blocks);
    const std::uint64_t base = std::uint64_t(at) + kTableHeaderSize;
    // Entries past the end of the data end the table: the count in the file cannot make the
    // walk longer than the file.
    const std::uint64_t inData = base < d.size() ? (d.size() - base) / kEntrySize : 0;
    const std::uint64_t count = entries > 0 ? std::min<std::uint64_t>(std::uint64_t(entries), inData) : 0;
    for (std::uint64_t i = 0; i < count; ++i) {
      // Tables of a real file never overlap, so no file holds more entries than it has 8-byte
      // slots; tables laid over one another in a damaged file end the walk there instead of
      // walking the same bytes again and again.
      if (walked >= d.size() / kEntrySize) return records;
      ++walked;
      if (progress && !progress(walked, total)) return records;
      const std::uint64_t entry = base + i * kEntrySize;
      const unsigned char hashLow = static_cast<unsigned char>(d[entry]);
      if (hashLow == 1 || hashLow == 3) continue;
      std::uint32_t recordAt = 0;
      U32At(d, entry + 4, recordAt);
      // Offsets are signed in the file's own terms: one at or above the recorded size, or one
      // that reads as negative, is skipped.
      if (std::int32_t(recordAt) >= std::int32_t(recordedSize) || std::int32_t(recordAt) < 0) continue;
      TIndexDatRecord record;
      record.Offset = recordAt;
      if (ReadRecord(d, recordAt, record)) records.push_back(std::move(record));
    }
    at = next;
  }
  return records;
}

bool ReadIndexDat(const std::string& hostPath, std::vector<TIndexDatRecord>& out, const TIndexDatProgress& progress) {
  out.clear();
  const int fd = OpenRegular(hostPath, O_RDONLY);
  if (fd < 0) return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    ::close(fd);
    return false;
  }
  // Mapped, not read: an index of any size costs only the pages the walk touches, and the
  // parse checks every offset against the mapping's length as it would against a copy.
  const std::size_t size = std::size_t(std::max<off_t>(st.st_size, 0));
  if (size == 0) {
    ::close(fd);
    out = ParseIndexDat({}, progress);
    return true;
  }
  void* map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  ::close(fd);
  if (map == MAP_FAILED) return false;
  try {
    out = ParseIndexDat(std::string_view(static_cast<const char*>(map), size), progress);
  } catch (...) {
    ::munmap(map, size);
    throw;
  }
  ::munmap(map, size);
  return true;
}

std::string IndexDatTimeText(std::uint64_t fileTime) {
  static const std::string kNotAvailable = "Not Available";
  // Windows cannot convert times from 2^63 on. A time stamp of 0 was never set: shown as a
  // date it would read as 1601 (or, with a two-digit year, as 2001).
  if (fileTime == 0 || fileTime >= (std::uint64_t(1) << 63)) return kNotAvailable;
  constexpr std::int64_t kUnixEpochSeconds = 11644473600;  // 1601-01-01 to 1970-01-01
  const std::time_t seconds = std::time_t(std::int64_t(fileTime / 10000000) - kUnixEpochSeconds);
  const unsigned milliseconds = unsigned(fileTime / 10000 % 1000);
  std::tm local{};
  if (::localtime_r(&seconds, &local) == nullptr) return kNotAvailable;
  const int year = local.tm_year + 1900;
  // A local time before 1601 has no FILETIME of its own.
  if (year < 1601 || year > 2500 || local.tm_mon + 1 > 12 || local.tm_mday > 31 || local.tm_hour > 24 ||
      local.tm_min > 60 || local.tm_sec > 60 || milliseconds > 1000)
    return kNotAvailable;
  // The date-time value 0 (1899-12-30 midnight) stands for "no time".
  if (year == 1899 && local.tm_mon == 11 && local.tm_mday == 30 && local.tm_hour == 0 && local.tm_min == 0 &&
      local.tm_sec == 0 && milliseconds == 0)
    return kNotAvailable;
  // The locale's short date, but always with the whole year: "08/25/15" could be 1915 or
  // 2015, and the stamps of a file span more than a century of possible values.
  std::string dateFormat = ::nl_langinfo(D_FMT);
  for (std::size_t at = 0; (at = dateFormat.find("%y", at)) != std::string::npos; at += 2) dateFormat[at + 1] = 'Y';
  char text[128];
  const std::size_t n = std::strftime(text, sizeof text, (dateFormat + " %X").c_str(), &local);
  return std::string(text, n);
}

std::string IndexDatWebAddress(std::string_view text) {
  const auto startsNoCase = [](std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
      if (std::tolower(static_cast<unsigned char>(s[i])) != prefix[i]) return false;
    return true;
  };
  bool cookie = false;
  if (startsNoCase(text, "visited:") || (cookie = startsNoCase(text, "cookie:"))) {
    const std::size_t at = text.find('@');
    if (at == std::string_view::npos) return {};
    text.remove_prefix(at + 1);
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  }
  // Control characters and blanks make no address a browser should be handed.
  if (text.empty() || std::any_of(text.begin(), text.end(), [](char c) {
        return static_cast<unsigned char>(c) <= 0x20 || c == 0x7f;
      }))
    return {};
  for (std::string_view scheme : {"http://", "https://", "ftp://"})
    if (startsNoCase(text, scheme)) return text.size() > scheme.size() ? std::string(text) : std::string();
  if (cookie && text.find(':') == std::string_view::npos) return "http://" + std::string(text);
  return {};
}

int IndexDatWipePasses(bool isWipeFile, int wipeNumber) {
  return std::clamp(isWipeFile ? wipeNumber : 0, 1, 3);
}

void WipeIndexDatRecordsFd(int fd, int passes) {
  if (fd < 0) return;
  passes = std::clamp(passes, 1, 3);
  try {
    std::random_device seed;
    std::mt19937 random(seed());
    std::uniform_int_distribution<int> anyByte(0, 254);
    for (int pass = 1; pass <= passes; ++pass) {
      const unsigned char fill = pass < passes ? static_cast<unsigned char>(anyByte(random)) : 0;
      if (!WipePass(fd, fill)) return;
    }
  } catch (...) {
    // The wipe is best effort: a failure leaves the file as far as it got.
  }
}

void WipeIndexDatRecords(const std::string& hostPath, int passes) {
  const int fd = OpenRegular(hostPath, O_RDWR);
  if (fd < 0) return;
  WipeIndexDatRecordsFd(fd, passes);
  ::close(fd);
}

}  // namespace kestrove
