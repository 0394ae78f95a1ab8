// kestrove-cli startup on a sample prefix: what a Run key and a Startup folder hold is listed
// in the page's order and rules, deleting takes exactly the named entries, and nothing is
// deleted while Wine runs.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "CliTestSupport.h"
#include "platform/TargetSystem.h"
#include "platform/wine/WineSample.h"

namespace kestrove {
namespace {

namespace fs = std::filesystem;
using testing::CliRun;
using testing::Quote;
using testing::Slurp;

const std::string kRun = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run";

class StartupCli : public ::testing::Test {
 protected:
  fs::path dir;
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "kestrove-startup-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir = pattern;
    ASSERT_EQ(Cli({"sample", (dir / "prefix").string()}).status, 0);
  }
  void TearDown() override { fs::remove_all(dir); }

  // TMPDIR is the test's folder, where a FakeWineServer keeps its lock.
  CliRun Cli(const std::vector<std::string>& args, const fs::path& root = {}) {
    return testing::RunCli(dir, "TMPDIR=" + Quote(dir.string()) + " KESTROVE_HOME=" + Quote((dir / "home").string()),
                           root.empty() ? dir / "prefix" : root, args);
  }
  fs::path StartupFolder() {
    auto target = OpenTarget(dir / "prefix");
    return *target->HostPath(*target->ShellFolder("Startup"));
  }
  std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }
};

TEST_F(StartupCli, ListsByThePagesRulesAndDeletesExactlyTheNamedEntries) {
  for (const std::vector<std::string>& add :
       {std::vector<std::string>{kRun, "/v", "Expanded", "/t", "REG_EXPAND_SZ", "/d", "%ProgramFiles%\\App\\app.exe"},
        {kRun, "/v", "Counter", "/t", "REG_DWORD", "/d", "1"},
        {"HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce", "/v", "Once", "/d", "C:\\once.exe"}}) {
    std::vector<std::string> args = {"reg", "add"};
    args.insert(args.end(), add.begin(), add.end());
    args.push_back("/f");
    ASSERT_EQ(Cli(args).status, 0);
  }
  const fs::path startup = StartupFolder();
  fs::create_directories(startup);
  const Bytes link = wine::MakeShellLink("C:\\Program Files\\Tool\\tool.exe");
  for (const char* name : {"Tool.LNK", "Elsewhere.lnk"})
    std::ofstream(startup / name, std::ios::binary).write(reinterpret_cast<const char*>(link.data()), link.size());
  std::ofstream(startup / "page.url") << "[InternetShortcut]\nURL=http://example.org/\n";
  std::ofstream(startup / "broken.lnk") << "not a shortcut";
  // A link in the folder is not read through, whatever it points at.
  fs::create_symlink(startup / "Elsewhere.lnk", startup / "linked.lnk");

  CliRun list = Cli({"startup", "list"});
  ASSERT_EQ(list.status, 0) << list.err;
  const auto rows = Lines(list.out);
  const auto row = [&](const std::string& program) {
    for (std::size_t i = 0; i < rows.size(); ++i)
      if (rows[i].rfind(program + "\t", 0) == 0) return static_cast<int>(i);
    return -1;
  };
  EXPECT_EQ(rows[static_cast<std::size_t>(row("Expanded"))],
            "Expanded\t%ProgramFiles%\\App\\app.exe\tHKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run");
  EXPECT_EQ(rows[static_cast<std::size_t>(row("Tool.LNK"))], "Tool.LNK\tC:\\Program Files\\Tool\\tool.exe\tStartup");
  for (const char* absent : {"Counter", "page.url", "broken.lnk", "linked.lnk"}) EXPECT_EQ(row(absent), -1) << absent;
  // The user's Run key, the machine's RunOnce after it, the folders last.
  EXPECT_LT(row("Expanded"), row("Once"));
  EXPECT_LT(row("Once"), row("Tool.LNK"));

  // Refused while Wine runs: nothing goes.
  {
    testing::FakeWineServer wine(dir, dir / "prefix");
    ASSERT_TRUE(wine.Locked());
    const CliRun refused = Cli({"startup", "delete", "expanded", "Tool.LNK", "--yes"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("Wine is running"), std::string::npos) << refused.err;
    EXPECT_EQ(Cli({"startup", "list"}).out, list.out);
    fs::remove(dir / "prefix" / "wineserver");
  }
  // Without --yes and no terminal: not confirmed.
  EXPECT_EQ(Cli({"startup", "delete", "Once"}).status, 3);

  const CliRun deleted = Cli({"startup", "delete", "expanded", "Tool.LNK", "--yes"});
  EXPECT_EQ(deleted.status, 0) << deleted.err;
  std::vector<std::string> expected;
  for (const std::string& r : rows)
    if (r.rfind("Expanded\t", 0) != 0 && r.rfind("Tool.LNK\t", 0) != 0) expected.push_back(r);
  EXPECT_EQ(Lines(Cli({"startup", "list"}).out), expected);
  EXPECT_FALSE(fs::exists(startup / "Tool.LNK"));
  EXPECT_TRUE(fs::exists(startup / "Elsewhere.lnk"));
  EXPECT_EQ(Cli({"startup", "delete", "Nobody", "--yes"}).status, 1);
}

bool Have(const char* tool) { return std::system(("command -v " + std::string(tool) + " >/dev/null 2>&1").c_str()) == 0; }

// Entries planted by Wine itself (its reg.exe, and a shortcut saved through the shell's link
// object by a mingw program) are listed exactly; deleting one leaves the others, as Wine's own
// reg.exe then reads them, and Wine still starts on the prefix.
TEST_F(StartupCli, ListsAndDeletesWhatWineItselfPlanted) {
  if (!Have("wine") || !Have("wineserver") || !Have("x86_64-w64-mingw32-gcc"))
    GTEST_SKIP() << "wine and mingw-w64 are needed for this check";
  const fs::path prefix = dir / "wine";
  fs::create_directories(prefix);
  const std::string env = "WINEPREFIX=" + Quote(prefix.string()) + " WINEDEBUG=-all ";
  const auto wine = [&](const std::string& command) {
    const std::string out = (dir / "wine-out").string();
    std::system((env + command + " >" + Quote(out) + " 2>/dev/null; " + env + "wineserver -w").c_str());
    std::string text = Slurp(out);
    std::erase(text, '\r');
    return text;
  };
  const fs::path exe = dir / "make_startup_link.exe";
  const fs::path source = fs::path(KESTROVE_SOURCE_DIR) / "tests" / "cli" / "wine" / "make_startup_link.c";
  ASSERT_EQ(std::system(("x86_64-w64-mingw32-gcc -municode -O1 -o " + Quote(exe.string()) + " " +
                         Quote(source.string()) + " -lole32 -luuid -lshell32")
                            .c_str()),
            0);
  wine("wine reg add 'HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run' /v WineTool /d 'C:\\windows\\notepad.exe' /f");
  wine("wine reg add 'HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Run' /v Wine32 /d 'C:\\windows\\syswow64\\notepad.exe' /f /reg:32");
  wine("wine reg add 'HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Run' /v Wine64 /t REG_EXPAND_SZ /d '%SystemRoot%\\regedit.exe' /f");
  ASSERT_EQ(wine("wine " + Quote(exe.string()) + " Notes 'C:\\windows\\notepad.exe'"), "made\n");

  const auto startup = [&](std::vector<std::string> args) {
    args.insert(args.begin(), "startup");
    return Cli(args, prefix);
  };
  const std::string run = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
  CliRun list = startup({"list"});
  ASSERT_EQ(list.status, 0) << list.err;
  EXPECT_EQ(list.out, "WineTool\tC:\\windows\\notepad.exe\tHKEY_CURRENT_USER\\" + run + "\n" +
                          "Wine64\t%SystemRoot%\\regedit.exe\tHKEY_LOCAL_MACHINE\\" + run + "\n" +
                          "Wine32\tC:\\windows\\syswow64\\notepad.exe\tHKEY_LOCAL_MACHINE\\Software\\Wow6432Node\\"
                          "Microsoft\\Windows\\CurrentVersion\\Run\n" +
                          "Notes.lnk\tC:\\windows\\notepad.exe\tStartup\n");

  const CliRun deleted = startup({"delete", "Wine64", "--yes"});
  EXPECT_EQ(deleted.status, 0) << deleted.err;
  const std::string query = wine("wine reg query 'HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Run'");
  EXPECT_EQ(query.find("Wine64"), std::string::npos) << query;
  EXPECT_NE(wine("wine reg query 'HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Run' /reg:32").find("Wine32"),
            std::string::npos);
  EXPECT_NE(wine("wine reg query 'HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run'").find("WineTool"),
            std::string::npos);
  EXPECT_EQ(wine("wine cmd /c echo started"), "started\n");
  wine("wineserver -k");
}

}  // namespace
}  // namespace kestrove
