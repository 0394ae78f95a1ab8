// kestrove-cli given files that would hang it or fill its memory: a clear error, at once.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "CliTestSupport.h"

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

namespace fs = std::filesystem;

using kestrove::testing::CliRun;
using kestrove::testing::Quote;
using kestrove::testing::Slurp;

class HostileInputCli : public ::testing::Test {
 protected:
  fs::path dir;

  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "kestrove-hostile-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir = pattern;
    fs::create_directories(dir / "home");
    CliRun r = Cli({"sample", (dir / "prefix").string()});
    ASSERT_EQ(r.status, 0) << r.err;
  }
  void TearDown() override { fs::remove_all(dir); }

  // The guard: a run that hangs is killed by `timeout` and shows as status 124.
  CliRun Cli(const std::vector<std::string>& args) {
    std::string cmd = "KESTROVE_HOME=" + Quote((dir / "home").string()) + " TMPDIR=" + Quote(dir.string()) +
                      " timeout -s KILL 60 " + Quote(KESTROVE_CLI_PATH) + " --root " + Quote((dir / "prefix").string());
    for (const auto& a : args) cmd += " " + Quote(a);
    cmd += " </dev/null >" + Quote((dir / "out.txt").string()) + " 2>" + Quote((dir / "err.txt").string());
    CliRun r;
    int raw = std::system(cmd.c_str());
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = Slurp(dir / "out.txt");
    r.err = Slurp(dir / "err.txt");
    return r;
  }
};

TEST_F(HostileInputCli, OptionsThatAreNoFileGiveAClearError) {
  const fs::path options = dir / "home" / "options.ini";
  ASSERT_EQ(::mkfifo(options.c_str(), 0600), 0);
  CliRun r = Cli({"items"});
  EXPECT_EQ(r.status, 1) << "124 or -1: it hung";
  EXPECT_EQ(r.err, "kestrove-cli: Cannot read " + options.string() + ": a FIFO, not a regular file\n");
  fs::remove(options);
  fs::create_symlink("/dev/zero", options);
  r = Cli({"items"});
  EXPECT_EQ(r.status, 1) << "124 or -1: it hung or ran out of memory";
  EXPECT_EQ(r.err, "kestrove-cli: Cannot read " + options.string() + ": a device, not a regular file\n");
}

TEST_F(HostileInputCli, AFifoAsWinesNameFileDoesNotHangWrites) {
  ASSERT_EQ(::mkfifo((dir / "prefix" / "wineserver").c_str(), 0600), 0);
  const CliRun r = Cli({"reg", "add", "HKCU\\Software\\Kestrove Test", "/v", "V", "/d", "x", "/f"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "The operation completed successfully.\n");
  EXPECT_NE(Slurp(dir / "prefix" / "user.reg").find("[Software\\\\Kestrove Test]"), std::string::npos);
}

}  // namespace
