// What the tests of the browser application items share: a sample prefix in a folder of
// its own, kestrove-cli run on it, browsers made to look installed, and the files below a
// folder.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "CliTestSupport.h"

namespace kestrove::testing {

class BrowserPrefixTest : public ::testing::Test {
 protected:
  std::filesystem::path dir;
  std::filesystem::path prefix;

  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "kestrove-browsers-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir = pattern;
    prefix = dir / "prefix";
    const CliRun r = Cli({"sample", prefix.string()});
    ASSERT_EQ(r.status, 0) << r.err;
  }
  void TearDown() override { std::filesystem::remove_all(dir); }

  CliRun Cli(const std::vector<std::string>& args) {
    return RunCli(dir, "KESTROVE_HOME=" + Quote((dir / "home").string()), prefix, args);
  }

  // The sample's user folders on the host.
  std::filesystem::path Local() const { return prefix / "drive_c/users/root/AppData/Local"; }
  std::filesystem::path Roaming() const { return prefix / "drive_c/users/root/AppData/Roaming"; }

  // An Uninstall entry with this DisplayName, as the browser's installer writes one.
  void Install(const std::string& key, const std::string& displayName) {
    const CliRun r = Cli({"reg", "add", "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + key,
                          "/v", "DisplayName", "/d", displayName, "/f"});
    ASSERT_EQ(r.status, 0) << r.err;
  }

  // Every file and folder below `root`, as paths relative to the prefix.
  std::set<std::string> Entries(const std::filesystem::path& root) const {
    std::set<std::string> out;
    if (!std::filesystem::exists(root)) return out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root))
      out.insert(std::filesystem::relative(e.path(), prefix).string());
    return out;
  }

  // The number N of "Total items will be removed = N ; ...".
  static int TotalItems(const std::string& out) {
    const std::string key = "Total items will be removed = ";
    const std::size_t at = out.find(key);
    return at == std::string::npos ? -1 : std::atoi(out.c_str() + at + key.size());
  }
};

}  // namespace kestrove::testing
