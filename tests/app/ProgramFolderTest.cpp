#include "app/ProgramFolder.h"

#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "AppTestSupport.h"

namespace kestrove {
namespace {

namespace fs = std::filesystem;
using testing::ReadAll;
using testing::TempFolder;
using testing::WriteAll;

// A fake installation: tree/build/<exe folder> and tree/data/qvtk.dat.
struct Layout {
  TempFolder dir;
  fs::path exe = dir / "build";
  fs::path home = dir / "home";
  Layout() {
    fs::create_directories(exe);
    fs::create_directories(home);
  }
  ProgramFolderInputs Inputs() const { return {std::nullopt, std::nullopt, home.string(), exe}; }
};

TEST(ProgramFolderTest, HomeVariableWins) {
  Layout l;
  WriteAll(l.exe / "qvtk.dat", "[x]\n");
  ProgramFolderInputs in = l.Inputs();
  in.kestroveHome = (l.dir / "custom" / "place").string();
  EXPECT_EQ(ResolveProgramFolder(in), (l.dir / "custom" / "place").string() + "/");
  EXPECT_TRUE(fs::is_directory(l.dir / "custom" / "place"));
  EXPECT_TRUE(fs::exists(l.dir / "custom" / "place" / "qvtk.dat")) << "seeded with the shipped definitions";

  in.kestroveHome = (l.dir / "slash").string() + "/";
  EXPECT_EQ(ResolveProgramFolder(in), (l.dir / "slash").string() + "/");

  in.kestroveHome = "";  // set but empty counts as unset
  EXPECT_EQ(ResolveProgramFolder(in), l.exe.string() + "/");
}

TEST(ProgramFolderTest, RelativeHomeVariableIsMadeAbsolute) {
  Layout l;
  ProgramFolderInputs in = l.Inputs();
  in.kestroveHome = "relative-home-for-test";
  std::string folder = ResolveProgramFolder(in);
  EXPECT_TRUE(fs::path(folder).is_absolute());
  EXPECT_EQ(folder, (fs::current_path() / "relative-home-for-test").string() + "/");
  fs::remove(fs::current_path() / "relative-home-for-test");
}

TEST(ProgramFolderTest, PortableCopyUsesTheExecutablesFolder) {
  Layout l;
  WriteAll(l.exe / "qvtk.dat", "[x]\n");
  EXPECT_EQ(ResolveProgramFolder(l.Inputs()), l.exe.string() + "/");
  EXPECT_FALSE(fs::exists(l.home / ".config"));
  // A build folder is no portable copy: its settings would go with the next clean build.
  WriteAll(l.exe / "CMakeCache.txt", "# cache\n");
  EXPECT_EQ(ResolveProgramFolder(l.Inputs()), (l.home / ".config" / "kestrove").string() + "/");
  EXPECT_EQ(ReadAll(l.home / ".config" / "kestrove" / "qvtk.dat"), "[x]\n");
}

TEST(ProgramFolderTest, ConfigFolderIsCreatedAndSeeded) {
  Layout l;
  fs::create_directories(l.dir / "data");
  WriteAll(l.dir / "data" / "qvtk.dat", "[Windows Log Files]\nFile1=x\n");
  EXPECT_EQ(ResolveProgramFolder(l.Inputs()), (l.home / ".config" / "kestrove").string() + "/");
  EXPECT_EQ(ReadAll(l.home / ".config" / "kestrove" / "qvtk.dat"), "[Windows Log Files]\nFile1=x\n");

  // An existing copy is the user's: never overwritten.
  WriteAll(l.home / ".config" / "kestrove" / "qvtk.dat", "[mine]\n");
  ResolveProgramFolder(l.Inputs());
  EXPECT_EQ(ReadAll(l.home / ".config" / "kestrove" / "qvtk.dat"), "[mine]\n");
}

TEST(ProgramFolderTest, XdgConfigHomeAbsoluteOnly) {
  Layout l;
  ProgramFolderInputs in = l.Inputs();
  in.xdgConfigHome = (l.dir / "xdg").string();
  EXPECT_EQ(ResolveProgramFolder(in), (l.dir / "xdg" / "kestrove").string() + "/");
  EXPECT_TRUE(fs::is_directory(l.dir / "xdg" / "kestrove"));

  in.xdgConfigHome = "relative/xdg";
  EXPECT_EQ(ResolveProgramFolder(in), (l.home / ".config" / "kestrove").string() + "/");
}

TEST(ProgramFolderTest, NothingToSeedLeavesTheFileAbsent) {
  Layout l;
  std::string folder = ResolveProgramFolder(l.Inputs());
  EXPECT_TRUE(fs::is_directory(folder));
  EXPECT_FALSE(fs::exists(fs::path(folder) / "qvtk.dat"));
  EXPECT_EQ(testing::FolderEntries(folder).size(), 0u);
}

TEST(ProgramFolderTest, ReadOnlyExecutableFolderSeedsTheConfigFolder) {
  Layout l;
  WriteAll(l.exe / "qvtk.dat", "[shipped]\n");
  fs::permissions(l.exe, fs::perms::owner_read | fs::perms::owner_exec);
  if (::access(l.exe.c_str(), W_OK) == 0) {
    fs::permissions(l.exe, fs::perms::owner_all);
    GTEST_SKIP() << "this user may write to read-only folders";
  }
  EXPECT_EQ(ResolveProgramFolder(l.Inputs()), (l.home / ".config" / "kestrove").string() + "/");
  EXPECT_EQ(ReadAll(l.home / ".config" / "kestrove" / "qvtk.dat"), "[shipped]\n");
  fs::permissions(l.exe, fs::perms::owner_all);
}

TEST(ProgramFolderTest, CurrentInputsComeFromTheProcess) {
  const char* saved = std::getenv("KESTROVE_HOME");
  std::optional<std::string> old = saved ? std::optional<std::string>(saved) : std::nullopt;
  TempFolder dir;
  ::setenv("KESTROVE_HOME", dir.path().c_str(), 1);
  ProgramFolderInputs in = CurrentProgramFolderInputs();
  EXPECT_EQ(in.kestroveHome, dir.path().string());
  EXPECT_TRUE(fs::exists(in.exeFolder / fs::read_symlink("/proc/self/exe").filename()));
  EXPECT_EQ(ProgramFolder(), dir.folder());
  if (old) ::setenv("KESTROVE_HOME", old->c_str(), 1);
  else ::unsetenv("KESTROVE_HOME");
}

}  // namespace
}  // namespace kestrove
