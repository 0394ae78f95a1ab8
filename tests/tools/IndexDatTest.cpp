// The index.dat reader, time text and record-area wipe on generated files (every rule of the
// walk and every kind of damage), the real files of the shared test data against
// msiecfexport, and kestrove-cli index-dat.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "platform/memory/MemoryTarget.h"
#include "tools/IndexDat.h"
#include "IndexDatBuilder.h"

namespace kestrove {
namespace {

namespace fs = std::filesystem;
using testing::TIndexDatBuilder;

constexpr std::uint64_t kAug2015 = 130849743202620000;  // 2015-08-25 11:05:20.262 UTC

struct TempDir {
  fs::path path = fs::temp_directory_path() / ("kestrove-indexdat-" + std::to_string(::getpid()));
  TempDir() { fs::create_directories(path); }
  ~TempDir() { fs::remove_all(path); }
};

void WriteFile(const fs::path& p, const std::string& bytes) {
  std::ofstream(p, std::ios::binary) << bytes;
}

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::vector<std::string> Urls(const std::vector<TIndexDatRecord>& records) {
  std::vector<std::string> urls;
  for (const auto& r : records) urls.push_back(r.Url);
  return urls;
}

// Runs the test body in UTC so time texts are fixed, putting the zone back afterwards.
struct UtcZone {
  std::string old;
  bool had = false;
  UtcZone() {
    if (const char* tz = std::getenv("TZ")) had = true, old = tz;
    ::setenv("TZ", "UTC", 1);
    ::tzset();
  }
  ~UtcZone() {
    had ? ::setenv("TZ", old.c_str(), 1) : ::unsetenv("TZ");
    ::tzset();
  }
};

TEST(IndexDat, ListsWhatTheHashEntriesPointAtByTheRecordRules) {
  TIndexDatBuilder b;
  const std::uint32_t t = b.Table(4);
  b.Entry(t, 0, b.Url("http://first.slot/", kAug2015));
  b.Entry(t, 1, b.Url("leak://a", kAug2015 + 1, "LEAK"));
  b.Entry(t, 2, b.Redirect("http://redirected/", kAug2015 + 2));
  b.Entry(t, 3, b.Url("http://hash1/", 0), 0x101);  // low byte 1: an empty slot
  b.Entry(t, 4, b.Url("http://hash3/", 0), 0x203);  // low byte 3: an empty slot
  b.Entry(t, 5, b.Url("http://no.offset/", 0, "URL ", 0));
  b.Entry(t, 6, b.Url("", 0));
  b.Entry(t, 7, b.Url("http://other/", 0, "TEMP"));
  b.Entry(t, 8, b.Url("http://at.68/", 5, "URL ", 68));
  const std::uint32_t recorded = std::uint32_t(b.Data().size());
  b.Entry(t, 9, recorded);  // exactly at the recorded size
  b.Url("http://past.recorded.size/", 0);
  b.Entry(t, 10, 0x80000010);  // negative in the file's own terms
  const auto records = ParseIndexDat(b.Build(recorded));
  ASSERT_EQ(Urls(records),
            (std::vector<std::string>{"http://first.slot/", "leak://a", "http://redirected/", "http://at.68/"}));
  EXPECT_EQ(records[0].FileTime, kAug2015);
  EXPECT_EQ(records[0].Kind, TIndexDatRecordKind::Url);
  EXPECT_EQ(records[1].FileTime, kAug2015 + 1);
  EXPECT_EQ(records[1].Kind, TIndexDatRecordKind::Leak);
  EXPECT_EQ(records[2].FileTime, kAug2015 + 2);  // a redirect's time is at 8
  EXPECT_EQ(records[2].Kind, TIndexDatRecordKind::Redirect);
  EXPECT_EQ(records[3].FileTime, 5u);

  // A URL without its zero ends at the end of the file.
  TIndexDatBuilder cut;
  const std::uint32_t ct = cut.Table(1);
  const std::uint32_t last = cut.Url("http://to.the.end/", 1);
  cut.Entry(ct, 0, last);
  const std::string whole = cut.Build();
  EXPECT_EQ(Urls(ParseIndexDat(whole.substr(0, last + 104 + 10))), std::vector<std::string>{"http://to."});
}

TEST(IndexDat, ChainCountsEntriesAndReportsEveryOne) {
  TIndexDatBuilder b;
  const std::uint32_t one = b.Table(1);  // 128 bytes: 14 entries after the 16-byte header
  const std::uint32_t two = b.Table(2);
  b.Entry(one, 13, b.Url("http://last.of.one/", 1));
  b.Entry(two, 0, b.Url("http://first.of.two/", 2));
  const std::string file = b.Build();
  std::vector<std::pair<std::uint64_t, std::uint64_t>> calls;
  const auto records = ParseIndexDat(file, [&](std::uint64_t walked, std::uint64_t total) {
    calls.emplace_back(walked, total);
    return true;
  });
  EXPECT_EQ(Urls(records), (std::vector<std::string>{"http://last.of.one/", "http://first.of.two/"}));
  ASSERT_EQ(calls.size(), 14u + 30u);
  EXPECT_EQ(calls.front(), std::make_pair(std::uint64_t(1), std::uint64_t(44)));
  EXPECT_EQ(calls.back(), std::make_pair(std::uint64_t(44), std::uint64_t(44)));

  // A progress answer of false stops the walk with what was collected.
  const auto stopped = ParseIndexDat(file, [](std::uint64_t walked, std::uint64_t) { return walked < 15; });
  EXPECT_EQ(Urls(stopped), (std::vector<std::string>{"http://last.of.one/"}));

  // No first table: nothing.
  TIndexDatBuilder none;
  none.Url("http://orphan/", 1);
  EXPECT_TRUE(ParseIndexDat(none.Build()).empty());
}

TEST(IndexDat, DamagedFilesEndTheWalkWithoutCrashOrHang) {
  auto twoTables = [](TIndexDatBuilder& b, std::uint32_t& a, std::uint32_t& c) {
    a = b.Table(1);
    c = b.Table(1);
    b.Entry(a, 0, b.Url("http://a/", 1));
    b.Entry(c, 0, b.Url("http://c/", 1));
  };
  const std::vector<std::string> both{"http://a/", "http://c/"};
  std::uint32_t a = 0, c = 0;
  {  // the second table leads back to the first, and a table that leads to itself
    TIndexDatBuilder b;
    twoTables(b, a, c);
    b.Put32(c + 8, a);
    EXPECT_EQ(Urls(ParseIndexDat(b.Build())), both);
    b.Put32(c + 8, c);
    EXPECT_EQ(Urls(ParseIndexDat(b.Build())), both);
  }
  {  // a next-table offset above the recorded size, and one at a table without "HASH"
    TIndexDatBuilder b;
    twoTables(b, a, c);
    const std::string file = b.Build();
    b.Put32(a + 8, std::uint32_t(file.size()) + 1);
    EXPECT_EQ(Urls(ParseIndexDat(b.Build())), std::vector<std::string>{"http://a/"});
    b.Put32(a + 8, c);
    b.Data()[c] = 'X';
    EXPECT_EQ(Urls(ParseIndexDat(b.Build())), std::vector<std::string>{"http://a/"});
  }
  {  // a huge block count, a cut file, offsets at the top of the range
    TIndexDatBuilder b;
    twoTables(b, a, c);
    b.Put32(a + 4, 0xFFFFFFFF);
    b.Put32(c + 16 + 4, 0xFFFFFFF0);
    std::uint64_t walks = 0;
    const std::string file = b.Build(0xFFFFFFFF);
    ParseIndexDat(file, [&](std::uint64_t, std::uint64_t) { return ++walks, true; });
    EXPECT_LE(walks, file.size() / 8);
    for (std::size_t cut : {std::size_t(0), std::size_t(30), std::size_t(35), std::size_t(a + 6), std::size_t(a + 20),
                            file.size() - 100})
      ParseIndexDat(std::string_view(file).substr(0, cut));
    b.Put32(32, 0xFFFFFFFC);
    EXPECT_TRUE(ParseIndexDat(b.Build(0xFFFFFFFF)).empty());
  }
  {  // tables laid over one another, one every 16 bytes of a 1 MB file: each byte is walked
     // and wiped a bounded number of times, not once per table
    std::string file(1 << 20, '\0');
    auto put = [&](std::size_t at, std::uint32_t v) {
      for (int i = 0; i < 4; ++i) file[at + i] = char(v >> (8 * i));
    };
    put(28, std::uint32_t(file.size()));
    put(32, 64);
    for (std::size_t at = 64; at + 16 <= file.size(); at += 16) {
      file.replace(at, 4, "HASH");
      put(at + 4, 0x10000);
      put(at + 8, at + 16 + 16 <= file.size() ? std::uint32_t(at + 16) : 0);
    }
    std::uint64_t walks = 0;
    ParseIndexDat(file, [&](std::uint64_t, std::uint64_t) { return ++walks, true; });
    EXPECT_LE(walks, file.size() / 8);
    TempDir dir;
    WriteFile(dir.path / "overlap.dat", file);
    WipeIndexDatRecords((dir.path / "overlap.dat").string(), 1);
    const std::string wiped = ReadFile(dir.path / "overlap.dat");
    EXPECT_EQ(wiped, file) << "only table headers and nothing between them: nothing to change";
  }
  {  // a block count of 0 counts no entries and walks none
    TIndexDatBuilder b;
    twoTables(b, a, c);
    b.Put32(a + 4, 0);
    std::uint64_t lastTotal = 99;
    EXPECT_EQ(Urls(ParseIndexDat(b.Build(), [&](std::uint64_t, std::uint64_t total) { return lastTotal = total, true; })),
              std::vector<std::string>{"http://c/"});
    EXPECT_EQ(lastTotal, 14u);
  }
}

TEST(IndexDat, TimeTextIsLocalOrNotAvailable) {
  UtcZone utc;
  EXPECT_EQ(IndexDatTimeText(kAug2015), "08/25/2015 11:05:20");
  constexpr std::uint64_t kPerSecond = 10000000;
  constexpr std::uint64_t k1601To1970 = 11644473600;
  // 2501-01-01 is past the checked range; so is every time Windows cannot convert.
  const std::uint64_t year2501 = (k1601To1970 + 16756761600ULL) * kPerSecond;
  EXPECT_EQ(IndexDatTimeText(year2501), "Not Available");
  EXPECT_NE(IndexDatTimeText(year2501 - 366 * 86400 * kPerSecond), "Not Available");
  EXPECT_EQ(IndexDatTimeText(0x8000000000000000ULL), "Not Available");
  EXPECT_EQ(IndexDatTimeText(~0ULL), "Not Available");
  EXPECT_EQ(IndexDatTimeText(0), "Not Available");
  EXPECT_NE(IndexDatTimeText(1), "Not Available");
  // The date-time value 0 (1899-12-30 midnight) is the one in-range time shown as missing.
  const std::uint64_t dateTimeZero = (k1601To1970 - 2209161600ULL) * kPerSecond;
  EXPECT_EQ(IndexDatTimeText(dateTimeZero), "Not Available");
  EXPECT_NE(IndexDatTimeText(dateTimeZero + 10000), "Not Available");
}

TEST(IndexDatWipe, PassesAndWhatIsOverwritten) {
  EXPECT_EQ(IndexDatWipePasses(false, 7), 1);
  EXPECT_EQ(IndexDatWipePasses(true, 7), 3);
  EXPECT_EQ(IndexDatWipePasses(true, 2), 2);
  EXPECT_EQ(IndexDatWipePasses(true, 0), 1);
  EXPECT_EQ(IndexDatWipePasses(true, -5), 1);

  TempDir dir;
  TIndexDatBuilder b;
  const std::uint32_t one = b.Table(1);
  b.Entry(one, 0, b.Url("http://one/", 1));
  const std::uint32_t two = b.Table(2);
  b.Entry(two, 1, b.Url("http://two/", 2));
  b.Put32(two + 8, one);  // a loop back to the first table
  const std::uint32_t recorded = std::uint32_t(b.Data().size());
  b.Url("http://past.recorded.size/", 3);
  const std::string before = b.Build(recorded);
  const fs::path file = dir.path / "index.dat";
  WriteFile(file, before);

  WipeIndexDatRecords(file.string(), 3);
  const std::string after = ReadFile(file);
  ASSERT_EQ(after.size(), before.size());
  EXPECT_TRUE(ParseIndexDat(after).empty());
  EXPECT_EQ(after.substr(0, one + 16), before.substr(0, one + 16)) << "the header changed";
  EXPECT_EQ(after.substr(two, 16), before.substr(two, 16)) << "a table's header changed";
  EXPECT_EQ(after.substr(one + 16, two - one - 16), std::string(two - one - 16, '\0'));
  EXPECT_EQ(after.substr(two + 16, recorded - two - 16), std::string(recorded - two - 16, '\0'));
  EXPECT_EQ(after.substr(recorded), before.substr(recorded)) << "written past the recorded size";

  // A recorded size beyond the real end never makes the file grow.
  WriteFile(file, b.Build(recorded * 4));
  WipeIndexDatRecords(file.string(), 1);
  EXPECT_EQ(fs::file_size(file), before.size());

  // Not through a link, and not into anything but a regular file.
  WriteFile(file, before);
  fs::create_symlink(file, dir.path / "link.dat");
  WipeIndexDatRecords((dir.path / "link.dat").string(), 1);
  ASSERT_EQ(::mkfifo((dir.path / "fifo.dat").c_str(), 0600), 0);
  WipeIndexDatRecords((dir.path / "fifo.dat").string(), 1);
  WipeIndexDatRecords((dir.path / "missing.dat").string(), 1);
  EXPECT_EQ(ReadFile(file), before);

  // On a descriptor the caller opened: the same wipe; a read-only descriptor changes nothing.
  const int ro = ::open(file.c_str(), O_RDONLY);
  WipeIndexDatRecordsFd(ro, 3);
  ::close(ro);
  EXPECT_EQ(ReadFile(file), before);
  const int rw = ::open(file.c_str(), O_RDWR);
  WipeIndexDatRecordsFd(rw, 2);
  ::close(rw);
  EXPECT_EQ(ReadFile(file), after);
}

TEST(IndexDatWipe, InATargetOnlyInsideTheWindowsSystem) {
  TIndexDatBuilder b;
  b.Entry(b.Table(1), 0, b.Url("http://one/", 1));
  const std::string file = b.Build();
  memory::MemoryTarget target;
  TempDir outside;
  target.AddDrive('Z', outside.path, 3, false);
  const fs::path inside = target.WriteFile("C:\\cache\\index.dat", file);
  target.WriteFile("C:\\cache\\linked.dat", file);
  fs::create_hard_link(target.DriveC() / "cache" / "linked.dat", outside.path / "second-name.dat");
  WriteFile(outside.path / "index.dat", file);

  EXPECT_TRUE(WipeIndexDatRecordsInTarget(target, "c:\\CACHE\\INDEX.DAT", 1));
  EXPECT_TRUE(ParseIndexDat(ReadFile(inside)).empty());
  EXPECT_FALSE(WipeIndexDatRecordsInTarget(target, "Z:\\index.dat", 1));
  EXPECT_EQ(ReadFile(outside.path / "index.dat"), file);
  EXPECT_FALSE(WipeIndexDatRecordsInTarget(target, "C:\\cache\\linked.dat", 1));
  EXPECT_EQ(ReadFile(outside.path / "second-name.dat"), file);
  EXPECT_FALSE(WipeIndexDatRecordsInTarget(target, "C:\\cache\\missing.dat", 1));
}

// ---- the real files of the shared test data against msiecfexport (libmsiecf-utils)

struct TReferenceItem {
  std::string Type, Location;
  std::optional<std::uint64_t> PrimaryTime;
};

// msiecfexport prints "Primary time : Aug 25, 2015 11:05:20.262000000" in UTC; back to a FILETIME.
std::optional<std::uint64_t> FileTimeOfText(const std::string& text) {
  std::tm tm{};
  const char* rest = ::strptime(text.c_str(), "%b %d, %Y %H:%M:%S", &tm);
  if (rest == nullptr || *rest != '.') return std::nullopt;
  const std::uint64_t nanoseconds = std::strtoull(rest + 1, nullptr, 10);
  const std::int64_t seconds = ::timegm(&tm) + 11644473600;
  return std::uint64_t(seconds) * 10000000 + nanoseconds / 100;
}

std::map<std::uint32_t, TReferenceItem> MsiecfExport(const fs::path& file) {
  std::map<std::uint32_t, TReferenceItem> items;
  FILE* pipe = ::popen(("msiecfexport '" + file.string() + "' 2>/dev/null").c_str(), "r");
  if (!pipe) return items;
  std::string out;
  char buf[4096];
  while (std::size_t n = std::fread(buf, 1, sizeof buf, pipe)) out.append(buf, n);
  ::pclose(pipe);
  std::istringstream in(out);
  std::string line;
  TReferenceItem* item = nullptr;
  while (std::getline(in, line)) {
    const auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string key = line.substr(0, colon), value = line.substr(colon + 1);
    while (!key.empty() && (key.back() == '\t' || key.back() == ' ')) key.pop_back();
    value.erase(0, value.find_first_not_of(" \t"));
    if (key == "Offset range") item = &items[std::uint32_t(std::stoul(value))];
    if (!item) continue;
    if (key == "Location") item->Location = value;
    if (key == "Primary time") item->PrimaryTime = FileTimeOfText(value);
  }
  return items;
}

// The record's type as msiecfexport names it, read independently of the reader.
std::string TypeAt(const std::string& file, std::uint32_t offset) { return file.substr(offset, 4); }

TEST(IndexDatReference, EveryRecordMatchesMsiecfexport) {
  const fs::path folder = fs::path(KESTROVE_SOURCE_DIR) / ".." / "shared" / "testdata" / "msiecf";
  if (!fs::is_directory(folder)) GTEST_SKIP() << "no shared test data at " << folder;
  if (std::system("command -v msiecfexport >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "msiecfexport (Debian package libmsiecf-utils) is not installed";
  int files = 0;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string bytes = ReadFile(entry.path());
    std::vector<TIndexDatRecord> ours;
    ASSERT_TRUE(ReadIndexDat(entry.path().string(), ours)) << entry.path();
    auto reference = MsiecfExport(entry.path());
    ASSERT_FALSE(reference.empty()) << entry.path();
    ++files;
    for (const TIndexDatRecord& r : ours) {
      SCOPED_TRACE(entry.path().filename().string() + " @" + std::to_string(r.Offset));
      auto found = reference.find(r.Offset);
      ASSERT_NE(found, reference.end()) << "msiecfexport has no record there";
      const TReferenceItem& ref = found->second;
      // msiecfexport turns windows-1252 into UTF-8; the files' URLs are ASCII.
      EXPECT_EQ(r.Url, ref.Location);
      if (r.Kind == TIndexDatRecordKind::Redirect) {
        EXPECT_EQ(TypeAt(bytes, r.Offset), "REDR");
      } else {
        ASSERT_TRUE(ref.PrimaryTime.has_value());
        EXPECT_EQ(r.FileTime, *ref.PrimaryTime);
      }
      reference.erase(found);
    }
    // What msiecfexport lists and we do not is only what holds no URL.
    for (const auto& [offset, ref] : reference)
      EXPECT_TRUE(ref.Location.empty()) << entry.path().filename() << " @" << offset << ": " << ref.Location;
  }
  EXPECT_GT(files, 0);
}

// ---- kestrove-cli index-dat

struct CliRun {
  int status = -1;
  std::string out, err;
};

CliRun IndexDatCli(const fs::path& dir, const std::string& arg) {
  const std::string cmd = "TZ=UTC '" + std::string(KESTROVE_CLI_PATH) + "' index-dat '" + arg + "' >'" +
                          (dir / "out").string() + "' 2>'" + (dir / "err").string() + "' </dev/null";
  const int raw = std::system(cmd.c_str());
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadFile(dir / "out"), ReadFile(dir / "err")};
}

// What a double-click may hand to the browser: web addresses only, whatever else a file holds.
TEST(IndexDat, WebAddressOfARow) {
  const std::pair<const char*, const char*> cases[] = {
      {"http://example.org/a?b=c", "http://example.org/a?b=c"},
      {"HTTPS://example.org/", "HTTPS://example.org/"},
      {"ftp://files.example/x", "ftp://files.example/x"},
      {"Visited: root@http://www.example.com/index.html", "http://www.example.com/index.html"},
      {"Cookie:root@www.example.com/", "http://www.example.com/"},
      {"Cookie:root@javascript:alert(1)", ""},
      {"Visited: root@file:///C:/secret.txt", ""},
      {"file:///C:/Windows/notepad.exe", ""},
      {"C:\\Windows\\notepad.exe", ""},
      {"javascript:alert(1)", ""},
      {"http://", ""},
      {"http://a b/", ""},
      {"Visited: nobody", ""},
  };
  for (const auto& [text, address] : cases) EXPECT_EQ(IndexDatWebAddress(text), address) << text;
}

TEST(IndexDatCli, PrintsTheViewerRowsOrSaysWhyNot) {
  TempDir dir;
  TIndexDatBuilder b;
  const std::uint32_t t = b.Table(1);
  b.Entry(t, 0, b.Url("http://example.org/", kAug2015));
  b.Entry(t, 1, b.Redirect("http://redirect/", 0x8000000000000000ULL));
  WriteFile(dir.path / "index.dat", b.Build());
  const CliRun ok = IndexDatCli(dir.path, (dir.path / "index.dat").string());
  EXPECT_EQ(ok.status, 0) << ok.err;
  EXPECT_EQ(ok.out, "http://example.org/\t08/25/2015 11:05:20\nhttp://redirect/\tNot Available\n");

  const CliRun missing = IndexDatCli(dir.path, (dir.path / "nothing.dat").string());
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("nothing.dat: no such file"), std::string::npos) << missing.err;
  const CliRun folder = IndexDatCli(dir.path, dir.path.string());
  EXPECT_EQ(folder.status, 1);
  EXPECT_NE(folder.err.find("not a regular file"), std::string::npos) << folder.err;
}

}  // namespace
}  // namespace kestrove
