#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "CleanJobTestSupport.h"
#include "app/CookieKeepList.h"
#include "cleaner/ItemOperations.h"
#include "platform/FileOps.h"
#include "platform/FileServices.h"
#include "platform/ProtectedStorage.h"
#include "platform/Text.h"
#include "platform/UrlCache.h"
#include "platform/memory/MemoryTarget.h"

namespace kestrove {
namespace {

namespace fs = std::filesystem;

const fs::path kIeData = fs::path(KESTROVE_SOURCE_DIR) / "data" / "sample" / "ie";
const std::string kLocal = "C:\\users\\user\\AppData\\Local\\Microsoft\\Windows\\";
const std::string kCache = kLocal + "INetCache\\";
const std::string kCookies = kLocal + "INetCookies\\";
const std::string kHistory = kLocal + "History\\";

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::uint8_t> Bytes(const fs::path& p) {
  const std::string s = ReadAll(p);
  return std::vector<std::uint8_t>(s.begin(), s.end());
}

// The cookie file wininet wrote for a site in the sample (see scripts/make-ie-sample.sh).
std::string CookieFileOf(const std::string& site) {
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(kIeData / "INetCookies", ec))
    if (e.path().extension() == ".txt" && ReadAll(e.path()).find(site) != std::string::npos)
      return e.path().filename().string();
  return "missing-cookie-of-" + site;
}
const std::string kExampleCookie = CookieFileOf("www.example.com");
const std::string kWinehqCookie = CookieFileOf("www.winehq.org");

std::uint32_t U32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

void PutU32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// What wininet checks before it trusts an index: the recorded size and the count of blocks
// in use against the allocation bitmap.
bool ValidForWininet(const std::vector<std::uint8_t>& b) {
  if (b.size() < 0x4000 || U32(b, 28) != b.size() || U32(b, 36) * 128 + 0x4000 != b.size()) return false;
  std::uint32_t bits = 0;
  for (std::size_t i = 0; i < U32(b, 36) / 8; ++i) bits += static_cast<std::uint32_t>(__builtin_popcount(b[0x250 + i]));
  return bits == U32(b, 40);
}

std::vector<std::string> Urls(const std::vector<TUrlCacheEntry>& entries) {
  std::vector<std::string> out;
  for (const auto& e : entries) out.push_back(e.Url);
  return out;
}

// A Windows 7 target holding the sample's cache, cookies and history as Wine made them.
class InternetExplorerItems : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::is_directory(kIeData)) GTEST_SKIP() << "no sample data at " << kIeData;
    CopyTree(kIeData / "INetCache", kCache);
    CopyTree(kIeData / "INetCookies", kCookies);
    CopyTree(kIeData / "History", kHistory);
    fs::create_directories(h.ProgramFolder);
  }
  void CopyTree(const fs::path& from, const std::string& to) {
    const fs::path dest = *target.HostPath(to);
    fs::create_directories(dest);
    fs::copy(from, dest, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
  }
  fs::path Host(const std::string& windowsPath) { return *target.HostPath(windowsPath); }
  bool Exists(const std::string& windowsPath) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(Host(windowsPath), ec));
  }
  void KeepList(const std::string& text) { std::ofstream(fs::path(h.ProgramFolder) / "Cookies.ini") << text; }
  testing::TJobResult Run(TRunMode mode, const std::string& item) {
    auto run = h.Run(mode, {item});
    EXPECT_TRUE(run.Completed) << run.Error;
    return run;
  }
  std::vector<std::string> Entries(const std::string& index) { return Urls(ReadUrlCache(target, index)); }
  std::vector<std::string> ReadUrlCacheFolders(const std::string& index) {
    auto file = TUrlCacheFile::Open(target, index);
    return file ? file->Folders() : std::vector<std::string>{};
  }

  memory::MemoryTarget target;
  testing::TCleanJobHarness h{target};
};

// ---- the index reader and writer ---------------------------------------------------------

TEST(UrlCache, ListsAndDeletesEntriesAsWininetDoesKeepingTheFileValid) {
  if (!fs::is_directory(kIeData)) GTEST_SKIP() << "no sample data";
  auto bytes = Bytes(kIeData / "INetCache" / "Content.IE5" / "index.dat");
  ASSERT_TRUE(ValidForWininet(bytes));
  auto index = TUrlCacheIndex::Parse(bytes);
  ASSERT_TRUE(index);
  auto entries = index->Entries();
  ASSERT_EQ(entries.size(), 3u);
  for (const auto& e : entries) {
    EXPECT_EQ(e.Url.rfind("http://", 0), 0u) << e.Url;
    EXPECT_TRUE(fs::exists(kIeData / "INetCache" / "Content.IE5" / e.Subfolder / e.LocalName)) << e.LocalName;
  }
  const std::uint32_t inUse = U32(index->Bytes(), 40);
  const auto removed = index->Delete("http://www.winehq.org/news");
  ASSERT_TRUE(removed);
  EXPECT_EQ(removed->LocalName, "news[0].htm");
  EXPECT_FALSE(index->Delete("http://www.winehq.org/news"));
  EXPECT_FALSE(index->Delete("http://nowhere.example/"));
  const auto& after = index->Bytes();
  EXPECT_TRUE(ValidForWininet(after));
  EXPECT_LT(U32(after, 40), inUse);
  // The address is gone from the file, not only from the table.
  EXPECT_EQ(std::string(after.begin(), after.end()).find("www.winehq.org"), std::string::npos);
  auto reread = TUrlCacheIndex::Parse(after);
  ASSERT_TRUE(reread);
  EXPECT_EQ(reread->Entries().size(), 2u);

  // The cookie container keeps its files beside the index.
  auto cookies = TUrlCacheIndex::Parse(Bytes(kIeData / "INetCookies" / "index.dat"));
  ASSERT_TRUE(cookies);
  for (const auto& e : cookies->Entries()) {
    EXPECT_EQ(e.Url.rfind("Cookie:", 0), 0u);
    EXPECT_EQ(e.Subfolder, "");
  }
}

TEST(UrlCache, DamagedIndexesGiveFewerEntriesNeverAHangOrAStrayRead) {
  if (!fs::is_directory(kIeData)) GTEST_SKIP() << "no sample data";
  const auto good = Bytes(kIeData / "History" / "History.IE5" / "index.dat");
  const std::uint32_t table = U32(good, 32);
  {
    auto b = good;  // a chain that leads back to itself
    PutU32(b, table + 8, table);
    EXPECT_EQ(TUrlCacheIndex::Parse(b)->Entries().size(), 2u);
  }
  {
    auto b = good;  // a recorded size past the end, a first table past it
    PutU32(b, 28, static_cast<std::uint32_t>(b.size() + 1));
    EXPECT_FALSE(TUrlCacheIndex::Parse(b));
    b = good;
    PutU32(b, 32, static_cast<std::uint32_t>(b.size() - 8));
    EXPECT_FALSE(TUrlCacheIndex::Parse(b));
  }
  {
    auto b = good;  // records whose lengths and text offsets point out of them
    auto index = TUrlCacheIndex::Parse(b);
    for (const auto& e : index->Entries()) {
      PutU32(b, e.Offset + 4, 0x7fffffff);
      PutU32(b, e.Offset + 52, 0xffffff00);
    }
    EXPECT_TRUE(TUrlCacheIndex::Parse(b)->Entries().empty());
  }
  EXPECT_FALSE(TUrlCacheIndex::Parse(std::vector<std::uint8_t>(100, 0)));
}

TEST_F(InternetExplorerItems, IndexFileIsReplacedWholeAndItsCacheFileRemovedOnlyInside) {
  const std::string index = kCache + "Content.IE5\\index.dat";
  auto entries = ReadUrlCache(target, index);
  ASSERT_EQ(entries.size(), 3u);
  // One cache file is a link to a file outside the Windows system: the link goes, not the file.
  const fs::path outside = target.Folder().parent_path() / ("urlcache-outside-" + std::to_string(::getpid()));
  std::ofstream(outside) << "precious";
  const TUrlCacheEntry& linked = entries[0];
  const fs::path cacheFile = Host(kCache + "Content.IE5\\" + linked.Subfolder + "\\" + linked.LocalName);
  fs::remove(cacheFile);
  fs::create_symlink(outside, cacheFile);
  auto file = TUrlCacheFile::Open(target, index);
  ASSERT_TRUE(file);
  for (const auto& e : entries) EXPECT_TRUE(file->Delete(e.Url));
  ASSERT_TRUE(file->Commit());
  EXPECT_EQ(ReadAll(outside), "precious");
  fs::remove(outside);
  for (const auto& e : entries)
    EXPECT_FALSE(Exists(kCache + "Content.IE5\\" + e.Subfolder + "\\" + e.LocalName)) << e.LocalName;
  EXPECT_TRUE(Entries(index).empty());
  EXPECT_TRUE(ValidForWininet(Bytes(Host(index))));
  for (const auto& e : fs::directory_iterator(Host(kCache + "Content.IE5")))
    EXPECT_EQ(e.path().filename().string().find("kestrove"), std::string::npos) << "temporary file left";

  // An index reached through a link out of the Windows system is not opened at all.
  const fs::path away = target.Folder().parent_path() / ("urlcache-away-" + std::to_string(::getpid()));
  fs::create_directories(away);
  fs::copy_file(kIeData / "INetCookies" / "index.dat", away / "index.dat");
  fs::create_directory_symlink(away, Host(kLocal + "Linked"));
  EXPECT_FALSE(TUrlCacheFile::Open(target, kLocal + "Linked\\index.dat"));
  fs::remove_all(away);
}

// ---- the keep list -------------------------------------------------------------------------

TEST(CookieKeepList, ReadsItsSectionAndRefusesAListItCannotTrust) {
  const fs::path dir = fs::temp_directory_path() / ("keeplist-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const fs::path file = dir / "Cookies.ini";
  auto read = [&](const std::string& text) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
    return ReadCookieKeepList(file);
  };
  EXPECT_TRUE(ReadCookieKeepList(dir / "missing.ini").Ok);
  auto list = read("[cookies TO keep]\r\nCount=3\r\n0=a@site.txt\r\n1=\r\n2=b@site.txt\r\n");
  EXPECT_TRUE(list.Ok);
  EXPECT_EQ(list.Names, (std::vector<std::string>{"a@site.txt", "b@site.txt"}));
  EXPECT_TRUE(read("[Other]\r\nCount=x\r\n").Ok);
  // The Options dialog rewrites Count and the keys below it only: a shortened or emptied
  // list leaves the earlier keys behind, which are no part of it.
  list = read("[Cookies to Keep]\r\nCount=1\r\n0=a@site.txt\r\n1=b@site.txt\r\n");
  EXPECT_TRUE(list.Ok) << list.Error;
  EXPECT_EQ(list.Names, (std::vector<std::string>{"a@site.txt"}));
  list = read("[Cookies to Keep]\r\nCount=0\r\n0=a@site.txt\r\n");
  EXPECT_TRUE(list.Ok && list.Names.empty()) << list.Error;
  // The dialog's reading and writing: a huge Count reads the keys the file holds; a shorter
  // list written over a longer one leaves none of the old keys.
  read("[Cookies to Keep]\r\nCount=2000000000\r\n1=b@site.txt\r\n0=a@site.txt\r\n07=c\r\n");
  EXPECT_EQ(CookieKeepListNames(file), (std::vector<std::string>{"a@site.txt", "b@site.txt"}));
  WriteCookieKeepList(file, {"c@site.txt"});
  EXPECT_EQ(CookieKeepListNames(file), (std::vector<std::string>{"c@site.txt"}));
  EXPECT_EQ(ReadCookieKeepList(file).Names, (std::vector<std::string>{"c@site.txt"}));
  static const char kBinary[] = "[Cookies to keep]\r\nCount=1\r\n0=a\0.txt\r\n";
  for (const std::string& bad : std::vector<std::string>{"[Cookies to keep]\r\nCount=many\r\n0=a.txt\r\n", "[Cookies to keep]\r\nCount=-1\r\n",
                                std::string(kBinary, sizeof kBinary - 1)}) {
    const auto damaged = read(bad);
    EXPECT_FALSE(damaged.Ok) << bad;
    EXPECT_NE(damaged.Error.find(file.string()), std::string::npos);
  }
  // Names that the dialog would have written with a Count; a link to a list that is gone.
  EXPECT_FALSE(read("[Cookies to keep]\r\n0=a@site.txt\r\n").Ok);
  EXPECT_TRUE(read("[Cookies to keep]\r\n0=\r\n").Ok);
  fs::remove(file);
  fs::create_symlink(dir / "gone.ini", file);
  const auto dangling = ReadCookieKeepList(file);
  EXPECT_FALSE(dangling.Ok);
  EXPECT_NE(dangling.Error.find("link"), std::string::npos) << dangling.Error;
  fs::remove(file);
  fs::create_directory(file);  // not a file at all
  EXPECT_FALSE(ReadCookieKeepList(file).Ok);
  fs::remove_all(dir);
}

// ---- the items -----------------------------------------------------------------------------

TEST_F(InternetExplorerItems, TableHoldsTheSevenItems) {
  EXPECT_EQ(InternetExplorerItemOperations().size(), 7u);
}

TEST_F(InternetExplorerItems, CookiesKeepTheListedFileAndWipeTheIndexOnlyWithoutAList) {
  KeepList("[Cookies to keep]\r\nCount=1\r\n0=" + kExampleCookie + "\r\n");
  const auto test = Run(TestRun, "Internet Explorer - Cookies");
  EXPECT_EQ(test.Summary("Internet Explorer - Cookies").Count, 1);
  const auto clean = Run(DirectClean, "Internet Explorer - Cookies");
  EXPECT_EQ(clean.Deleting(), test.Deleting());
  EXPECT_TRUE(Exists(kCookies + kExampleCookie));
  EXPECT_FALSE(Exists(kCookies + kWinehqCookie));
  // Not wiped: the kept cookie's entry is still listed; the removed one's went with its file.
  EXPECT_EQ(Entries(kCookies + "index.dat"), (std::vector<std::string>{"Cookie:root@www.example.com/"}));

  // Windows names match in any case: a list naming the kept file in capitals keeps it.
  KeepList("[Cookies to keep]\r\nCount=1\r\n0=" + AsciiUpper(kExampleCookie) + "\r\n");
  EXPECT_EQ(Run(DirectClean, "Internet Explorer - Cookies").Summary("Internet Explorer - Cookies").Count, 0);
  EXPECT_TRUE(Exists(kCookies + kExampleCookie));

  KeepList("");
  Run(DirectClean, "Internet Explorer - Cookies");
  EXPECT_FALSE(Exists(kCookies + kExampleCookie));
  EXPECT_TRUE(Exists(kCookies + "index.dat"));
  EXPECT_TRUE(Entries(kCookies + "index.dat").empty());
}

// Without the Cookies shell folder the item works in c:\windows\cookies, on its own files
// only (its "Low" folder only when it holds no cookie itself), and removes nothing when that
// folder is a link out of the Windows system.
TEST_F(InternetExplorerItems, TheWindowsCookiesFallbackStaysInItsFolder) {
  const std::string item = "Internet Explorer - Cookies";
  fs::remove_all(Host(kCookies));
  const std::string fallback = "C:\\windows\\cookies\\";
  target.WriteFile(fallback + "user@site[1].txt", "cookie");
  target.WriteFile(fallback + "Low\\user@low[1].txt", "cookie");
  const auto run = Run(DirectClean, item);
  EXPECT_EQ(run.Summary(item).Count, 1);
  EXPECT_FALSE(Exists(fallback + "user@site[1].txt"));
  EXPECT_TRUE(Exists(fallback + "Low\\user@low[1].txt"));
  // With no cookie left beside it, the protected mode's "Low" folder is the one cleared.
  EXPECT_EQ(Run(DirectClean, item).Summary(item).Count, 1);
  EXPECT_FALSE(Exists(fallback + "Low\\user@low[1].txt"));

  const fs::path outside = target.Folder().parent_path() / ("ie-cookies-away-" + std::to_string(::getpid()));
  fs::create_directories(outside);
  std::ofstream(outside / "user@away[1].txt") << "cookie";
  fs::remove_all(Host(fallback));
  fs::create_directory_symlink(outside, Host("C:\\windows\\cookies"));
  EXPECT_EQ(Run(DirectClean, item).Summary(item).Count, 0);
  EXPECT_TRUE(fs::exists(outside / "user@away[1].txt"));
  fs::remove_all(outside);
}

TEST_F(InternetExplorerItems, ADamagedKeepListStopsTheCookiesItemAndRemovesNothing) {
  KeepList("[Cookies to keep]\r\nCount=one\r\n0=" + kExampleCookie + "\r\n");
  const auto run = Run(DirectClean, "Internet Explorer - Cookies");
  EXPECT_EQ(run.Summary("Internet Explorer - Cookies").Count, 0);
  EXPECT_EQ(testing::LinesWith(run.Lines, "no cookie is removed").size(), 1u);
  EXPECT_TRUE(Exists(kCookies + kExampleCookie));
  EXPECT_TRUE(Exists(kCookies + kWinehqCookie));
  EXPECT_EQ(Entries(kCookies + "index.dat").size(), 2u);
}

TEST_F(InternetExplorerItems, TemporaryInternetFilesLeaveTheIndexAndWipeItsRecords) {
  const std::string item = "Internet Explorer - Temporary Internet Files";
  h.Options.ShowLogTempInternetFiles = true;
  const auto test = Run(TestRun, item);
  EXPECT_EQ(test.Summary(item).Count, 3);
  EXPECT_TRUE(testing::LinesWith(test.Deleting(), "index.dat").empty());
  const auto clean = Run(DirectClean, item);
  EXPECT_EQ(clean.Deleting(), test.Deleting());
  EXPECT_EQ(clean.Summary(item).Count, 3);
  for (const std::string& line : clean.Deleting()) EXPECT_FALSE(Exists(line.substr(9))) << line;
  EXPECT_TRUE(Exists(kCache + "Content.IE5\\index.dat"));
  EXPECT_TRUE(Entries(kCache + "Content.IE5\\index.dat").empty());
  // Wiped and handed back as wininet's own emptying leaves it: every hash slot free for new
  // pages, no block in use but the hash tables', nothing counted in the cache.
  const auto wiped = Bytes(Host(kCache + "Content.IE5\\index.dat"));
  ASSERT_TRUE(ValidForWininet(wiped));
  std::uint32_t tableBlocks = 0;
  for (std::uint32_t table = U32(wiped, 32); table != 0; table = U32(wiped, table + 8)) {
    tableBlocks += U32(wiped, table + 4);
    for (std::uint32_t slot = table + 16; slot < table + 16 + 448 * 8; slot += 8)
      ASSERT_EQ(U32(wiped, slot), 3u) << "slot at " << slot;
  }
  EXPECT_EQ(U32(wiped, 40), tableBlocks);
  EXPECT_EQ(U32(wiped, 56), 0u);
  h.Options.ShowLogTempInternetFiles = false;
  EXPECT_EQ(testing::LinesWith(Run(DirectClean, item).Lines, "Clearing, please wait...").size(), 1u);
}

// wininet cannot store a page while a cache folder its index names is missing: a clean empties
// those folders and leaves them; every other folder goes with its content.
TEST_F(InternetExplorerItems, TemporaryInternetFilesKeepTheCacheFoldersTheIndexNamesEmpty) {
  const std::string item = "Internet Explorer - Temporary Internet Files";
  const std::string content = kCache + "Content.IE5\\";
  const auto named = ReadUrlCacheFolders(content + "index.dat");
  ASSERT_EQ(named.size(), 4u);
  for (const std::string& name : named) fs::create_directories(Host(content + name));  // git keeps no empty folder
  // Not cache folders: one the index does not name, and one with a cache folder's name elsewhere.
  for (const std::string& stray : {content + "STRAY123\\", kCache + named[0] + "\\"}) {
    fs::create_directories(Host(stray));
    std::ofstream(Host(stray + "page.htm")) << "x";
  }
  h.Options.ShowLogTempInternetFiles = true;
  const auto test = Run(TestRun, item);
  EXPECT_EQ(test.Summary(item).Count, 5);
  const auto clean = Run(DirectClean, item);
  EXPECT_EQ(clean.Deleting(), test.Deleting());
  for (const std::string& name : named) {
    ASSERT_TRUE(fs::is_directory(Host(content + name))) << name;
    EXPECT_TRUE(fs::is_empty(Host(content + name))) << name;
  }
  EXPECT_FALSE(Exists(content + "STRAY123"));
  EXPECT_FALSE(Exists(kCache + named[0]));
}

TEST_F(InternetExplorerItems, VisitedHistoryDeletesHistoryAndOnlyHttpCacheEntries) {
  const std::string item = "Internet Explorer - Visited URL History";
  const auto test = Run(TestRun, item);
  EXPECT_EQ(test.Summary(item).Count, 5);  // two visited pages, three http:// cache entries
  const auto lines = test.Deleting();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "deleting http://www.example.com/index.html"), 2);
  const auto clean = Run(DirectClean, item);
  EXPECT_EQ(clean.Deleting(), test.Deleting());
  EXPECT_TRUE(Entries(kHistory + "History.IE5\\index.dat").empty());
  EXPECT_TRUE(Entries(kCache + "Content.IE5\\index.dat").empty());
  EXPECT_EQ(Entries(kCookies + "index.dat").size(), 2u);  // cookies are no http:// entries
  EXPECT_TRUE(Exists(kCookies + kExampleCookie));
  EXPECT_EQ(Run(TestRun, item).Summary(item).Count, 0);
}

// An index that cannot be written back (a read-only disk) keeps the entries the item counted
// and their cache files: the clean says they could not be removed rather than reporting them gone.
TEST_F(InternetExplorerItems, AnIndexThatCannotBeReplacedCountsItsEntriesAsFailed) {
  struct TNoIndexRename : TFileOpsWrapper {
    using TFileOpsWrapper::TFileOpsWrapper;
    int RenameAt(int fromFd, const char* from, int toFd, const char* to) override {
      if (std::string(to) == "index.dat") {
        errno = EROFS;
        return -1;
      }
      return TFileOpsWrapper::RenameAt(fromFd, from, toFd, to);
    }
  };
  target.SetFileOps(std::make_shared<TNoIndexRename>(target.FileOps()));
  // On XP the history item wipes no index its history step wrote.
  target.SetString(HKEY_CURRENT_USER, "Software\\Wine", "Version", "winxp");
  target.Refresh();
  const std::string item = "Internet Explorer - Visited URL History";
  EXPECT_EQ(Run(TestRun, item).Failed, 0);
  const auto clean = Run(DirectClean, item);
  EXPECT_EQ(clean.Summary(item).Count, 5);
  EXPECT_EQ(clean.Failed, 5);  // two visited pages, three cache entries
  EXPECT_EQ(Entries(kHistory + "History.IE5\\index.dat").size(), 2u);
  // The cache files stay with the entries that name them.
  for (const auto& e : ReadUrlCache(target, kCache + "Content.IE5\\index.dat"))
    EXPECT_TRUE(Exists(kCache + "Content.IE5\\" + e.Subfolder + "\\" + e.LocalName)) << e.LocalName;
}

TEST_F(InternetExplorerItems, OnWindows7TodaysDailyHistoryFolderStays) {
  std::time_t now = std::time(nullptr);
  std::tm local {};
  localtime_r(&now, &local);
  char today[64];
  std::snprintf(today, sizeof today, "MSHist01%04d%02d%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
  const std::string low = kHistory + "Low\\History.IE5\\";
  target.WriteFile(low + today + "99999999\\index.dat", std::string(100, 'x'));
  target.WriteFile(low + "MSHist012010120620101207\\index.dat", std::string(100, 'y'));
  target.WriteFile(low + "MSHist012010120620101207\\page.htm", "old page");
  target.WriteFile(low + "index.dat", "top");
  const std::string item = "Internet Explorer - Visited URL History";
  const auto test = Run(TestRun, item);
  EXPECT_EQ(test.Summary(item).Count, 5 + 2);
  Run(DirectClean, item);
  EXPECT_TRUE(Exists(low + today + "99999999\\index.dat"));
  EXPECT_FALSE(Exists(low + "MSHist012010120620101207"));
  EXPECT_TRUE(Exists(low + "index.dat"));
}

TEST_F(InternetExplorerItems, IndexDatFilesCountThreeWhenAnyHoldsAByte) {
  const std::string item = "Internet Explorer - Index.dat Files";
  fs::remove(Host(kCookies + "index.dat"));
  const auto test = Run(TestRun, item);
  EXPECT_EQ(test.Summary(item).Count, 3);
  EXPECT_EQ(testing::LinesWith(test.Lines, "Warning: This will take effect next time windows is rebooted.").size(), 1u);
  Run(DirectClean, item);
  const auto pending = PendingFileRenameOperations(target);
  EXPECT_EQ(std::count(pending.begin(), pending.end(), std::string()), 2);
  EXPECT_NE(std::find_if(pending.begin(), pending.end(),
                         [](const std::string& p) { return p.find("Content.IE5\\index.dat") != std::string::npos; }),
            pending.end());
  fs::remove(Host(kCache + "Content.IE5\\index.dat"));
  fs::remove(Host(kHistory + "History.IE5\\index.dat"));
  EXPECT_EQ(Run(TestRun, item).Summary(item).Count, 0);
}

TEST_F(InternetExplorerItems, OnTheNineXFamilyIndexFilesGoToTheRenameListByShortName) {
  target.SetString(HKEY_CURRENT_USER, "Software\\Wine", "Version", "win98");
  target.Refresh();
  Run(DirectClean, "Internet Explorer - Index.dat Files");
  EXPECT_TRUE(PendingFileRenameOperations(target).empty());
  const std::string ini = ReadAll(Host("C:\\windows\\Wininit.ini"));
  const auto cookies = ini.find("\\INET~MEH\\index.dat"), cache = ini.find("\\Content.IE5\\index.dat"),
             history = ini.find("\\History.IE5\\index.dat");
  EXPECT_NE(ini.find("NUL=C:\\users\\user\\AppData\\Local\\MICR~20J\\"), std::string::npos) << ini;
  EXPECT_NE(cookies, std::string::npos) << ini;
  EXPECT_LT(cookies, cache) << ini;
  EXPECT_LT(cache, history) << ini;
}

TEST_F(InternetExplorerItems, OnXpTheHistoryFolderIsClearedButItsIndex) {
  target.SetString(HKEY_CURRENT_USER, "Software\\Wine", "Version", "winxp");
  target.Refresh();
  target.WriteFile(kHistory + "History.IE5\\MSHist012010120620101207\\index.dat", std::string(100, 'y'));
  target.WriteFile(kHistory + "History.IE5\\desktop.ini", "[.ShellClassInfo]");
  const std::string item = "Internet Explorer - Visited URL History";
  EXPECT_EQ(Run(TestRun, item).Summary(item).Count, 5 + 1);
  Run(DirectClean, item);
  EXPECT_FALSE(Exists(kHistory + "History.IE5\\desktop.ini"));
  EXPECT_TRUE(Exists(kHistory + "History.IE5\\index.dat"));
  EXPECT_TRUE(Exists(kHistory + "History.IE5\\MSHist012010120620101207\\index.dat"));
}

TEST_F(InternetExplorerItems, EveryItemCleansExactlyWhatItsTestListed) {
  target.SetString(HKEY_CURRENT_USER, "Software\\Microsoft\\Internet Explorer\\TypedURLs", "url1", "http://a.example/");
  target.SetString(HKEY_CURRENT_USER, "Software\\Microsoft\\Internet Explorer", "Download Directory", "C:\\dl");
  h.Options.ShowLogTempInternetFiles = true;
  KeepList("[Cookies to keep]\r\nCount=1\r\n0=" + kWinehqCookie + "\r\n");
  for (const TItemEntry& e : InternetExplorerItemOperations()) {
    const auto test = Run(TestRun, e.Name);
    const auto clean = Run(DirectClean, e.Name);
    EXPECT_EQ(clean.Deleting(), test.Deleting()) << e.Name;
    EXPECT_EQ(clean.Summary(e.Name).Count, test.Summary(e.Name).Count) << e.Name;
    // The index files go only at the next start.
    if (std::string(e.Name) != "Internet Explorer - Index.dat Files") {
      EXPECT_EQ(Run(TestRun, e.Name).Summary(e.Name).Count, 0) << e.Name << " left something it listed";
    }
  }
}

TEST_F(InternetExplorerItems, TypedUrlsDownloadFolderAndAutocomplete) {
  target.SetString(HKEY_CURRENT_USER, "Software\\Microsoft\\Internet Explorer\\TypedURLs", "url1", "http://a.example/");
  target.SetString(HKEY_CURRENT_USER, "Software\\Microsoft\\Internet Explorer", "Download Directory", "C:\\dl");
  target.SetString(HKEY_CURRENT_USER, "Software\\Microsoft\\Internet Explorer\\IntelliForms\\Storage2", "x", "y");
  const auto typed = Run(TestRun, "Internet Explorer - Recently Typed URLs");
  EXPECT_EQ(typed.Summary("Internet Explorer - Recently Typed URLs").Count, 1);
  EXPECT_EQ(testing::LinesWith(typed.Lines, "deleting http://a.example/").size(), 1u);
  EXPECT_EQ(Run(TestRun, "Internet Explorer - Last Download Location").Summary("Internet Explorer - Last Download Location").Count, 1);
  // Without protected storage the form entries and their keys are left.
  const std::string autocomplete = "Internet Explorer - Autocomplete History";
  EXPECT_EQ(Run(DirectClean, autocomplete).Summary(autocomplete).Count, 0);
  EXPECT_TRUE(target.Registry()->KeyExists(HKEY_CURRENT_USER, "Software\\Microsoft\\Internet Explorer\\IntelliForms\\Storage2"));

  struct TFiveItems : TPStorage {
    bool Available() const override { return true; }
    bool Connect() override { return true; }
    TIDList Types() override { return {TPStorageId{1}}; }
    TIDList Subtypes(const TPStorageId&) override { return {TPStorageId{2}}; }
    TItemList Items(const TPStorageId&, const TPStorageId&) override { return {"a", "b", "c", "d", "e"}; }
    std::string TypeName(const TPStorageId&) override { return "Internet Explorer"; }
  };
  auto saved = ProtectedStorageFactory();
  ProtectedStorageFactory() = [] { return std::make_unique<TFiveItems>(); };
  const int count = Run(TestRun, autocomplete).Summary(autocomplete).Count;
  ProtectedStorageFactory() = saved;
  EXPECT_EQ(count, 2 + 1);  // five items count two, and the one value of Storage2
}

TEST_F(InternetExplorerItems, ACookiesFolderLinkedOutOfTheSystemLosesNothing) {
  const fs::path outside = target.Folder().parent_path() / ("urlcache-cookies-" + std::to_string(::getpid()));
  fs::create_directories(outside);
  fs::copy(Host(kCookies), outside, fs::copy_options::recursive);
  fs::remove_all(Host(kCookies));
  fs::create_directory_symlink(outside, Host(kCookies));
  for (const std::string item : {"Internet Explorer - Cookies", "Internet Explorer - Visited URL History",
                                 "Internet Explorer - Index.dat Files"})
    Run(DirectClean, item);
  EXPECT_TRUE(fs::exists(outside / kExampleCookie));
  EXPECT_TRUE(fs::exists(outside / kWinehqCookie));
  EXPECT_EQ(Bytes(outside / "index.dat"), Bytes(kIeData / "INetCookies" / "index.dat"));
  fs::remove_all(outside);
}

}  // namespace
}  // namespace kestrove
