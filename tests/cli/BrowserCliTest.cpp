// kestrove-cli test and clean of the browser items on the sample prefix, and what it says
// when a browser's database cannot be emptied.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "CliTestSupport.h"

namespace {

namespace fs = std::filesystem;
using kestrove::testing::CliRun;
using kestrove::testing::Quote;
using kestrove::testing::Slurp;

class BrowserCli : public ::testing::Test {
 protected:
  fs::path dir;
  fs::path profile;
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "kestrove-browsercli-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir = pattern;
    CliRun r = Cli({"sample", (dir / "prefix").string()});
    ASSERT_EQ(r.status, 0) << r.err;
    profile = dir / "prefix/drive_c/users/root/AppData/Roaming/Mozilla/Firefox/Profiles/abcd.default";
  }
  void TearDown() override { fs::remove_all(dir); }
  CliRun Cli(const std::vector<std::string>& args) {
    return kestrove::testing::RunCli(dir, "KESTROVE_HOME=" + Quote((dir / "home").string()), dir / "prefix", args);
  }
  static std::string Query(const fs::path& db, const std::string& sql) {
    const std::string cmd = "sqlite3 " + Quote(db.string()) + " " + Quote(sql);
    std::string out;
    if (FILE* p = ::popen(cmd.c_str(), "r")) {
      char buf[256];
      while (std::fgets(buf, sizeof buf, p)) out += buf;
      ::pclose(p);
    }
    return out;
  }
};

TEST_F(BrowserCli, TestThenCleanEmptiesTheDefaultProfilesVisits) {
  if (std::system("command -v sqlite3 >/dev/null 2>&1") != 0) GTEST_SKIP() << "the sqlite3 shell is not installed";
  CliRun r = Cli({"test", "Mozilla Firefox", "Google Chrome"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Total items will be removed = "), std::string::npos);
  EXPECT_EQ(Query(profile / "places.sqlite", "SELECT count(*) FROM moz_historyvisits"), "6\n");
  r = Cli({"clean", "--yes", "Mozilla Firefox", "Google Chrome"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Query(profile / "places.sqlite", "PRAGMA integrity_check"), "ok\n");
  EXPECT_EQ(Query(profile / "places.sqlite", "SELECT count(*) FROM moz_historyvisits"), "0\n");
  EXPECT_EQ(Query(profile / "places.sqlite", "SELECT count(*) FROM moz_places"), "3\n");
  EXPECT_FALSE(fs::exists(profile / "cookies.sqlite"));
}

TEST_F(BrowserCli, ADamagedDatabaseIsNamedWithTheReason) {
  std::ofstream(profile / "places.sqlite", std::ios::trunc) << std::string(8192, 'x');
  const CliRun r = Cli({"clean", "--yes", "Mozilla Firefox - Visited URL History"});
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("kestrove-cli: C:\\users\\"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("\\Mozilla\\Firefox\\Profiles\\abcd.default\\places.sqlite: "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("not a database"), std::string::npos) << r.err;
}

}  // namespace
