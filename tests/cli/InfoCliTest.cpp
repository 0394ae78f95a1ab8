// kestrove-cli info on a sample prefix: which drives lie outside the Windows system.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

namespace {

namespace fs = std::filesystem;

TEST(InfoCli, SaysWhichDrivesAreOutsideTheWindowsSystem) {
  std::string pattern = (fs::temp_directory_path() / "kestrove-infocli-XXXXXX").string();
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  const fs::path dir = pattern;
  struct Cleanup {
    fs::path p;
    ~Cleanup() { fs::remove_all(p); }
  } cleanup{dir};
  const fs::path prefix = dir / "prefix";
  const std::string cli = KESTROVE_CLI_PATH;
  ASSERT_EQ(std::system((cli + " sample '" + prefix.string() + "' >/dev/null").c_str()), 0);
  fs::create_directories(prefix / "drive_d");
  fs::create_directories(dir / "data");
  fs::create_symlink("../drive_d", prefix / "dosdevices" / "d:");
  fs::create_symlink(dir / "data", prefix / "dosdevices" / "e:");
  const fs::path out = dir / "out.txt";
  const int raw = std::system((cli + " --root '" + prefix.string() + "' info >'" + out.string() + "'").c_str());
  ASSERT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0);
  std::ifstream in(out);
  std::map<char, std::string> drives;
  for (std::string line; std::getline(in, line);)
    if (line.size() > 4 && line.compare(0, 2, "  ") == 0 && line[3] == ':') drives[line[2]] = line;
  const std::string outside = "(outside the Windows system: nothing on it is removed)";
  ASSERT_EQ(drives.size(), 4u);
  EXPECT_EQ(drives['C'].find(outside), std::string::npos) << drives['C'];
  EXPECT_EQ(drives['D'].find(outside), std::string::npos) << drives['D'];
  EXPECT_NE(drives['E'].find(outside), std::string::npos) << drives['E'];
  EXPECT_NE(drives['Z'].find(outside), std::string::npos) << drives['Z'];
}

}  // namespace
