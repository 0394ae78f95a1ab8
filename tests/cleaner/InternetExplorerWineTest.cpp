// After a clean, Wine's own wininet still opens the cache, history and cookie store, sees
// exactly what was kept, and stores new pages in the cache. Needs wine and mingw-w64; skipped
// without them.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "CleanJobTestSupport.h"
#include "platform/TargetSystem.h"

namespace kestrove {
namespace {

namespace fs = std::filesystem;

bool Have(const char* tool) { return std::system(("command -v " + std::string(tool) + " >/dev/null 2>&1").c_str()) == 0; }

// Runs a shell command and returns its standard output.
std::string Output(const std::string& command) {
  std::string out;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    ::pclose(pipe);
  }
  std::erase(out, '\r');  // Wine's console ends lines as Windows does
  return out;
}

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class WinePrefixFolder {
 public:
  WinePrefixFolder() : dir_(fs::temp_directory_path() / ("kestrove-ie-wine-" + std::to_string(::getpid()))) {
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "prefix");
  }
  ~WinePrefixFolder() {
    Wine("wineserver -k");
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  const fs::path& Dir() const { return dir_; }
  std::string Wine(const std::string& command) const {
    return Output("WINEPREFIX='" + (dir_ / "prefix").string() + "' WINEDEBUG=-all " + command + " 2>/dev/null");
  }

 private:
  fs::path dir_;
};

// Builds the wininet helper program into the folder; false when mingw-w64 failed.
bool BuildHelper(const fs::path& exe) {
  const fs::path source = fs::path(KESTROVE_SOURCE_DIR) / "data" / "sample" / "wininet" / "make_cache.c";
  return std::system(("x86_64-w64-mingw32-gcc -O1 -o '" + exe.string() + "' '" + source.string() + "' -lwininet")
                         .c_str()) == 0;
}

TEST(InternetExplorerWine, WininetSeesExactlyTheKeptCookieAndStoresNewPagesAfterAClean) {
  if (!Have("wine") || !Have("wineserver") || !Have("x86_64-w64-mingw32-gcc"))
    GTEST_SKIP() << "wine and mingw-w64 are needed for this check";
  WinePrefixFolder folder;
  const fs::path exe = folder.Dir() / "make_cache.exe";
  ASSERT_TRUE(BuildHelper(exe));
  ASSERT_EQ(folder.Wine("wine '" + exe.string() + "' make"), "made\n");
  folder.Wine("wineserver -w");
  const std::string before = folder.Wine("wine '" + exe.string() + "' list");
  folder.Wine("wineserver -w");
  ASSERT_NE(before.find("cookie http://www.winehq.org/"), std::string::npos) << before;

  auto target = OpenTarget(folder.Dir() / "prefix");
  ASSERT_TRUE(target);
  const std::string cookies = target->ShellFolder("Cookies").value_or("");
  std::string kept;
  for (const auto& e : fs::directory_iterator(*target->HostPath(cookies)))
    if (e.path().extension() == ".txt" && ReadAll(e.path()).find("www.example.com") != std::string::npos)
      kept = e.path().filename().string();
  ASSERT_FALSE(kept.empty());

  testing::TCleanJobHarness h(*target);
  fs::create_directories(h.ProgramFolder);
  std::ofstream(fs::path(h.ProgramFolder) / "Cookies.ini") << "[Cookies to keep]\r\nCount=1\r\n0=" << kept << "\r\n";
  const auto run = h.Run(DirectClean, {"Internet Explorer - Temporary Internet Files", "Internet Explorer - Cookies",
                                       "Internet Explorer - Visited URL History"});
  ASSERT_TRUE(run.Completed) << run.Error;
  EXPECT_EQ(run.Summary("Internet Explorer - Cookies").Count, 1);

  const std::string user = target->UserName();
  EXPECT_EQ(folder.Wine("wine '" + exe.string() + "' list"),
            "entry Cookie:" + user + "@www.example.com/\n" + "cookie http://www.example.com/ session=abc123\nend\n");
  folder.Wine("wineserver -w");

  // The cache's folders stayed, so a browser can store pages again.
  EXPECT_EQ(folder.Wine("wine '" + exe.string() + "' store http://www.example.com/after.html"), "stored\n");
  folder.Wine("wineserver -w");
  const std::string after = folder.Wine("wine '" + exe.string() + "' list");
  EXPECT_NE(after.find("entry http://www.example.com/after.html\n"), std::string::npos) << after;
}

// A browsing session and a clean, twenty times over: the clean hands every record's blocks and
// hash slot back, so the cache and history indexes stay the size they had after the first
// session, and wininet stores a full session's pages each time. (An index whose wiped slots
// read as taken gains a hash table per clean until wininet refuses new pages.)
TEST(InternetExplorerWine, TwentySessionsAndCleansLeaveTheIndexesTheirFirstSize) {
  if (!Have("wine") || !Have("wineserver") || !Have("x86_64-w64-mingw32-gcc"))
    GTEST_SKIP() << "wine and mingw-w64 are needed for this check";
  WinePrefixFolder folder;
  const fs::path exe = folder.Dir() / "make_cache.exe";
  ASSERT_TRUE(BuildHelper(exe));
  std::uintmax_t firstCache = 0, firstHistory = 0;
  for (int cycle = 0; cycle < 20; ++cycle) {
    ASSERT_EQ(folder.Wine("wine '" + exe.string() + "' fill 300 s" + std::to_string(cycle)), "filled\n")
        << "session " << cycle;
    folder.Wine("wineserver -w");
    auto target = OpenTarget(folder.Dir() / "prefix");
    ASSERT_TRUE(target);
    const fs::path cache = *target->HostPath(target->ShellFolder("Cache").value_or("") + "\\Content.IE5\\index.dat");
    const fs::path history =
        *target->HostPath(target->ShellFolder("History").value_or("") + "\\History.IE5\\index.dat");
    if (cycle == 0) {
      firstCache = fs::file_size(cache);
      firstHistory = fs::file_size(history);
    }
    EXPECT_LE(fs::file_size(cache), firstCache) << "session " << cycle;
    EXPECT_LE(fs::file_size(history), firstHistory) << "session " << cycle;

    testing::TCleanJobHarness h(*target);
    const auto run =
        h.Run(DirectClean, {"Internet Explorer - Temporary Internet Files", "Internet Explorer - Visited URL History"});
    ASSERT_TRUE(run.Completed) << run.Error;
  }
}

}  // namespace
}  // namespace kestrove
