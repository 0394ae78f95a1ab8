// kestrove-cli defrag on both kinds of target: a real Windows hive with half its keys deleted
// by another program, Wine's own registry files, and the states in which nothing may change.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "CliTestSupport.h"
#include "../platform/regf/RegfToolSupport.h"

namespace {

namespace fs = std::filesystem;
using kestrove::regftest::HaveTool;
using kestrove::regftest::RunShell;
using kestrove::testing::CliRun;
using kestrove::testing::FakeWineServer;
using kestrove::testing::Quote;
using kestrove::testing::RunCli;
using kestrove::testing::Slurp;

const fs::path kShared = fs::path(KESTROVE_SOURCE_DIR) / ".." / "shared" / "testdata";

class DefragCli : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "kestrove-defrag-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir = pattern;
    env = "KESTROVE_HOME=" + Quote((dir / "home").string()) + " TMPDIR=" + Quote(dir.string());
  }
  void TearDown() override { fs::remove_all(dir); }

  CliRun Run(const fs::path& root, const std::vector<std::string>& args) { return RunCli(dir, env, root, args); }
  // Every file below `root` whose name ends in `tail`.
  static std::vector<fs::path> FilesEndingIn(const fs::path& root, const std::string& tail) {
    std::vector<fs::path> found;
    for (const auto& e : fs::recursive_directory_iterator(root))
      if (e.path().filename().string().ends_with(tail)) found.push_back(e.path());
    return found;
  }

  fs::path dir;
  std::string env;
};

// A real Windows SYSTEM hive in which hivexsh deleted half of the services and a whole control
// set, as Windows leaves a hive: the freed cells stay in the file. The analysis shows the
// gain, apply shrinks the file, and both hive readers nobody here wrote read the same keys and
// values before and after.
TEST_F(DefragCli, ShrinksAHiveAnotherProgramEditedAndKeepsEveryKeyAndValue) {
  const fs::path packed = kShared / "regf" / "regipy" / "SYSTEM.xz";
  if (!fs::exists(packed)) GTEST_SKIP() << "no real SYSTEM hive at " << packed;
  if (!HaveTool("hivexsh") || !HaveTool("hivexregedit") || !HaveTool("xz"))
    GTEST_SKIP() << "hivexsh, hivexregedit or xz is not installed";
  const fs::path root = dir / "win";
  ASSERT_EQ(Run(root, {"sample", "--offline", root.string()}).status, 0);
  const fs::path system = root / "Windows" / "System32" / "config" / "SYSTEM";
  ASSERT_EQ(std::system(("xz -dc " + Quote(packed.string()) + " >" + Quote(system.string())).c_str()), 0);
  // Every other service of ControlSet001, then all of ControlSet002.
  const std::string script = (dir / "del.txt").string();
  ASSERT_EQ(RunShell("printf 'cd \\\\ControlSet001\\\\Services\\nls\\n' | hivexsh " + Quote(system.string()) +
                     " | awk 'NR%2==0' | while IFS= read -r n; do printf 'cd \\\\ControlSet001\\\\Services\\\\%s\\ndel\\n'"
                     " \"$n\"; done >" + Quote(script) + "; printf 'cd \\\\ControlSet002\\ndel\\ncommit\\n' >>" +
                     Quote(script) + "; hivexsh -w -f " + Quote(script) + " " + Quote(system.string()))
                .first,
            0);
  const auto exported = [&](const fs::path& hive) {
    return RunShell("hivexregedit --export " + Quote(hive.string()) + " '\\' 2>/dev/null").second;
  };
  const std::string before = exported(system);
  ASSERT_GT(before.size(), 1000000u);
  const auto sizeBefore = fs::file_size(system);

  const CliRun analyze = Run(root, {"defrag", "analyze", "--format", "tsv"});
  ASSERT_EQ(analyze.status, 0) << analyze.err;
  EXPECT_NE(analyze.out.find("\\REGISTRY\\MACHINE\\SYSTEM\tC:\\Windows\\System32\\config\\SYSTEM\t11,496 KB\t"),
            std::string::npos)
      << analyze.out;
  EXPECT_TRUE(FilesEndingIn(root, ".fdc").empty()) << "analyze leaves its copies behind";

  const CliRun apply = Run(root, {"defrag", "apply", "--yes"});
  ASSERT_EQ(apply.status, 0) << apply.out << apply.err;
  EXPECT_NE(apply.out.find("Compact Percent: "), std::string::npos) << apply.out;
  EXPECT_LT(fs::file_size(system), sizeBefore * 6 / 10);
  EXPECT_EQ(fs::file_size(system.string() + ".bak"), sizeBefore);
  EXPECT_TRUE(FilesEndingIn(root, ".fdc").empty());
  const std::string after = exported(system);
  EXPECT_TRUE(after == before) << "hivexregedit reads another registry after the defrag";
  if (HaveTool("regfexport")) {
    EXPECT_EQ(RunShell("regfexport " + Quote(system.string()) + " >/dev/null 2>&1").first, 0);
  }
  // The installation still opens, with the link Windows makes from Select\Current.
  const CliRun query = Run(root, {"reg", "query", "HKLM\\System\\CurrentControlSet\\Control", "/v", "CurrentUser"});
  EXPECT_EQ(query.status, 0) << query.err;
  EXPECT_NE(query.out.find("USERNAME"), std::string::npos) << query.out;
}

// Wine's own files from a fresh prefix: the copies are Wine's text of the same keys, the
// swap keeps the old files, and every key reads the same afterwards.
TEST_F(DefragCli, WinePrefixReadsTheSameAfterTheSwap) {
  const fs::path fresh = kShared / "wine-8.0-fresh";
  if (!fs::is_regular_file(fresh / "system.reg")) GTEST_SKIP() << "no fresh Wine prefix data at " << fresh;
  const fs::path root = dir / "wine";
  fs::create_directories(root / "drive_c");
  for (const char* name : {"system.reg", "user.reg", "userdef.reg"}) fs::copy_file(fresh / name, root / name);
  const auto everything = [&] {
    std::string all;
    for (const char* key : {"HKLM", "HKU", "HKCU"}) all += Run(root, {"reg", "query", key, "/s"}).out;
    return all;
  };
  const std::string before = everything();
  ASSERT_GT(before.size(), 100000u);
  const CliRun apply = Run(root, {"defrag", "apply", "--yes"});
  ASSERT_EQ(apply.status, 0) << apply.out << apply.err;
  EXPECT_NE(apply.out.find("\\REGISTRY\\USER\\.DEFAULT"), std::string::npos) << apply.out;
  for (const char* name : {"system.reg", "user.reg", "userdef.reg"})
    EXPECT_EQ(Slurp(root / (std::string(name) + ".bak")), Slurp(fresh / name)) << name;
  EXPECT_TRUE(everything() == before);
}

// Wine itself starts on the prefix after the swap and reads what it had written.
TEST_F(DefragCli, WineStartsOnTheDefragmentedPrefix) {
  if (std::system("command -v wine >/dev/null 2>&1 && command -v wineserver >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "wine is not installed";
  const fs::path prefix = dir / "live";
  const std::string wineEnv = "WINEDEBUG=-all WINEPREFIX=" + Quote(prefix.string()) + " ";
  ASSERT_NE(std::system((wineEnv + "timeout 300 wineboot -i >/dev/null 2>&1; " + wineEnv + "wineserver -w").c_str()), -1);
  if (!fs::exists(prefix / "system.reg")) GTEST_SKIP() << "wineboot made no prefix";
  const std::string query = wineEnv + "wine reg query 'HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion' 2>/dev/null";
  const std::string before = RunShell(query).second;
  ASSERT_NE(before.find("CurrentBuildNumber"), std::string::npos) << before;
  ASSERT_NE(std::system((wineEnv + "wineserver -w").c_str()), -1);
  const CliRun apply = Run(prefix, {"defrag", "apply", "--yes"});
  ASSERT_EQ(apply.status, 0) << apply.out << apply.err;
  EXPECT_EQ(RunShell(query).second, before);
  EXPECT_NE(std::system((wineEnv + "wineserver -k >/dev/null 2>&1").c_str()), -1);
}

// States in which apply must change nothing: Wine running, and a ".bak" name taken by a
// folder (the old hive would have nowhere to go). Each leaves every hive file as it was and no
// copy behind.
TEST_F(DefragCli, RefusalsChangeNothing) {
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> arrange;
    std::string said;
  };
  std::vector<std::unique_ptr<FakeWineServer>> servers;
  const std::vector<Case> cases = {
      {"wine runs",
       [&](const fs::path& root) { servers.push_back(std::make_unique<FakeWineServer>(dir, root)); },
       "Wine is running"},
      {"bak is a folder", [](const fs::path& root) { fs::create_directories(root / "user.reg.bak" / "x"); },
       "is not a file"},
  };
  for (const Case& c : cases) {
    const fs::path root = dir / c.name;
    ASSERT_EQ(Run(root, {"sample", root.string()}).status, 0) << c.name;
    c.arrange(root);
    const std::string system = Slurp(root / "system.reg"), user = Slurp(root / "user.reg");
    const CliRun apply = Run(root, {"defrag", "apply", "--yes"});
    EXPECT_EQ(apply.status, 1) << c.name << apply.out;
    EXPECT_NE(apply.err.find(c.said), std::string::npos) << c.name << ": " << apply.err;
    EXPECT_EQ(Slurp(root / "system.reg"), system) << c.name;
    EXPECT_EQ(Slurp(root / "user.reg"), user) << c.name;
    EXPECT_FALSE(fs::exists(root / "system.reg.bak")) << c.name;
    EXPECT_TRUE(FilesEndingIn(root, ".fdc").empty()) << c.name;
  }
}

// A SOFTWARE hive whose compact copy is under a quarter of it is taken for a failed save:
// the analysis does not count and apply replaces nothing.
TEST_F(DefragCli, SoftwareCompactedBelowAQuarterIsRefused) {
  if (!HaveTool("hivexsh")) GTEST_SKIP() << "hivexsh is not installed";
  const fs::path root = dir / "win";
  ASSERT_EQ(Run(root, {"sample", "--offline", root.string()}).status, 0);
  const fs::path config = root / "Windows" / "System32" / "config";
  const std::string script = (dir / "del.txt").string();
  ASSERT_EQ(RunShell("printf 'cd \\\\Classes\\ndel\\ncd \\\\Wow6432Node\\ndel\\ncommit\\n' >" + Quote(script) +
                     " && hivexsh -w -f " + Quote(script) + " " + Quote((config / "SOFTWARE").string()))
                .first,
            0);
  const std::string software = Slurp(config / "SOFTWARE");
  const CliRun apply = Run(root, {"defrag", "apply", "--yes"});
  EXPECT_EQ(apply.status, 1);
  EXPECT_NE(apply.err.find("Failed to analyze the registry!"), std::string::npos) << apply.err;
  EXPECT_TRUE(Slurp(config / "SOFTWARE") == software);
  EXPECT_TRUE(FilesEndingIn(root, ".bak").empty());
  EXPECT_TRUE(FilesEndingIn(root, ".fdc").empty());
}

}  // namespace
