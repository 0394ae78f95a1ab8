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

TEST(InternetExplorerWine, WininetSeesExactlyTheKeptCookieAndStoresNewPagesAfterAClean) {
  if (!Have("wine") || !Have("wineserver") || !Have("x86_64-w64-mingw32-gcc"))
    GTEST_SKIP() << "wine and mingw-w64 are needed for this check";
  WinePrefixFolder folder;
  const fs::path exe = folder.Dir() / "make_cache.exe";
  const fs::path source = fs::path(KESTROVE_SOURCE_DIR) / "data" / "sample" / "wininet" / "make_cache.c";
  ASSERT_EQ(std::system(("x86_64-w64-mingw32-gcc -O1 -o '" + exe.string() + "' '" + source.string() + "' -lwininet")
                            .c_str()),
            0);
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

}  // namespace
}  // namespace kestrove
