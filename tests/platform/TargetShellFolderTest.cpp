#include <gtest/gtest.h>

#include "TargetTestSupport.h"
#include "platform/TargetSystem.h"
#include "platform/memory/MemoryTarget.h"

namespace kestrove {
namespace {

namespace fs = std::filesystem;
using memory::MemoryTarget;

const char kShell[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
const char kUserShell[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";

TEST(ShellFolderLookup, DefaultTargetFolders) {
  MemoryTarget t;
  EXPECT_EQ(t.ShellFolder("Personal"), "C:\\users\\user\\Documents");
  EXPECT_EQ(t.ShellFolder("recent"), "C:\\users\\user\\AppData\\Roaming\\Microsoft\\Windows\\Recent");
  EXPECT_EQ(t.ShellFolder("Common AppData"), "C:\\ProgramData");
  EXPECT_EQ(t.ShellFolder("Common Desktop"), "C:\\users\\Public\\Desktop");
  EXPECT_FALSE(t.ShellFolder("No Such Folder"));
  EXPECT_EQ(t.WindowsFolder(), "C:\\windows");
  EXPECT_EQ(t.SystemFolder(), "C:\\windows\\system32");
  EXPECT_EQ(t.ProgramFilesFolder(), "C:\\Program Files");
}

TEST(ShellFolderLookup, ShellFoldersBeforeUserShellFolders) {
  MemoryTarget t;
  t.SetString(HKEY_CURRENT_USER, kShell, "Personal", "D:\\Docs");
  t.SetExpandString(HKEY_CURRENT_USER, kUserShell, "Personal", "%USERPROFILE%\\Elsewhere");
  EXPECT_EQ(t.ShellFolder("Personal"), "D:\\Docs");
}

TEST(ShellFolderLookup, FallsBackToUserShellFoldersExpanded) {
  MemoryTarget t;
  t.DeleteValue(HKEY_CURRENT_USER, kShell, "Personal");
  t.SetExpandString(HKEY_CURRENT_USER, kUserShell, "Personal", "%USERPROFILE%\\My Files\\");
  EXPECT_EQ(t.ShellFolder("Personal"), "C:\\users\\user\\My Files");
  // An empty cached value does not hide the other one either.
  t.SetString(HKEY_CURRENT_USER, kShell, "Personal", "");
  EXPECT_EQ(t.ShellFolder("Personal"), "C:\\users\\user\\My Files");
  // A plain string under User Shell Folders is taken as written.
  t.DeleteValue(HKEY_CURRENT_USER, kShell, "Favorites");
  t.SetString(HKEY_CURRENT_USER, kUserShell, "Favorites", "%NOT_EXPANDED%\\Fav");
  EXPECT_EQ(t.ShellFolder("Favorites"), "%NOT_EXPANDED%\\Fav");
}

TEST(ShellFolderLookup, MachineFoldersAfterTheUsers) {
  MemoryTarget t;
  t.SetString(HKEY_LOCAL_MACHINE, kShell, "Personal", "C:\\machine\\docs");
  EXPECT_EQ(t.ShellFolder("Personal"), "C:\\users\\user\\Documents");
  t.DeleteValue(HKEY_LOCAL_MACHINE, kShell, "Common AppData");
  EXPECT_EQ(t.ShellFolder("Common AppData"), "C:\\ProgramData");  // from User Shell Folders
}

TEST(ShellFolderLookup, ListIsSortedAndUnique) {
  MemoryTarget t;
  const auto list = t.ShellFolders();
  ASSERT_GT(list.size(), 25u);
  for (std::size_t i = 1; i < list.size(); ++i) {
    EXPECT_LT(FoldName(list[i - 1].first), FoldName(list[i].first));
  }
}

TEST(ShellFolderLookup, FoldersExistOnTheMemoryDrive) {
  MemoryTarget t;
  for (const char* name : {"Personal", "Recent", "AppData", "Local AppData", "Cache", "Cookies", "History"}) {
    auto path = t.ShellFolder(name);
    ASSERT_TRUE(path) << name;
    auto host = t.HostPath(*path);
    ASSERT_TRUE(host) << name;
    EXPECT_TRUE(fs::is_directory(*host)) << name << " " << host->string();
  }
  EXPECT_TRUE(fs::is_directory(*t.HostPath(t.TempFolder())));
  EXPECT_TRUE(fs::is_directory(*t.HostPath(t.SystemFolder())));
}

// The registry Wine 8 wrote for a new prefix (user "root").
class ShellFolderFreshPrefix : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::MakeFreshPrefix(tmp / "prefix")) {
      GTEST_SKIP() << "no fresh Wine prefix in " << testing::FreshPrefixData();
    }
    target = OpenTarget(TargetChoice{tmp / "prefix", "--root"});
  }
  // The Windows path maps to a host path under drive_c.
  void ExpectUnderDriveC(const std::string& windowsPath) {
    auto host = target->HostPath(windowsPath);
    ASSERT_TRUE(host) << windowsPath;
    const fs::path rel = host->lexically_relative(tmp / "prefix" / "drive_c");
    EXPECT_FALSE(rel.empty()) << windowsPath;
    EXPECT_NE(rel.begin()->string(), "..") << windowsPath << " -> " << host->string();
  }
  testing::TempFolder tmp;
  std::unique_ptr<TargetSystem> target;
};

TEST_F(ShellFolderFreshPrefix, VersionAndFolders) {
  // Wine 8 writes Windows 7's numbers and no Wine version setting.
  EXPECT_EQ(target->WindowsVersion(), 12);
  EXPECT_EQ(target->VersionInfo().build, 7601u);
  EXPECT_EQ(target->WindowsFolder(), "C:\\windows");
  EXPECT_EQ(target->SystemFolder(), "C:\\windows\\system32");
  EXPECT_EQ(target->ProgramFilesFolder(), "C:\\Program Files");
  EXPECT_EQ(target->UserProfileFolder(), "C:\\users\\root");
  EXPECT_EQ(target->UserName(), "root");
  EXPECT_EQ(target->TempFolder(), "C:\\users\\root\\Temp\\");
}

TEST_F(ShellFolderFreshPrefix, ShellFoldersResolveUnderDriveC) {
  EXPECT_EQ(target->ShellFolder("Personal"), "C:\\users\\root\\Documents");
  EXPECT_EQ(target->ShellFolder("Recent"), "C:\\users\\root\\AppData\\Roaming\\Microsoft\\Windows\\Recent");
  EXPECT_EQ(target->ShellFolder("Cache"), "C:\\users\\root\\AppData\\Local\\Microsoft\\Windows\\INetCache");
  EXPECT_EQ(target->ShellFolder("Common AppData"), "C:\\ProgramData");
  const auto folders = target->ShellFolders();
  EXPECT_GE(folders.size(), 35u);
  for (const auto& [name, path] : folders) {
    EXPECT_EQ(path.rfind("C:\\", 0), 0u) << name << " = " << path;
    EXPECT_EQ(path.find('%'), std::string::npos) << name << " = " << path;
    ExpectUnderDriveC(path);
  }
  ExpectUnderDriveC(target->TempFolder());
  ExpectUnderDriveC(target->WindowsFolder());
}

TEST_F(ShellFolderFreshPrefix, EnvironmentAsWineBuildsIt) {
  const EnvironmentBlock env = target->Environment();
  EXPECT_EQ(env.Get("USERPROFILE"), "C:\\users\\root");
  EXPECT_EQ(env.Get("APPDATA"), "C:\\users\\root\\AppData\\Roaming");
  EXPECT_EQ(env.Get("ProgramData"), "C:\\ProgramData");
  EXPECT_EQ(env.Get("PUBLIC"), "C:\\users\\Public");
  EXPECT_EQ(env.Get("COMPUTERNAME"), "VM");
  EXPECT_EQ(env.Get("ComSpec"), "C:\\windows\\system32\\cmd.exe");
  EXPECT_EQ(env.Get("ProgramFiles(x86)"), "C:\\Program Files (x86)");
  EXPECT_EQ(env.Get("TEMP"), "C:\\users\\root\\Temp");
  EXPECT_EQ(target->ExpandEnvironmentStrings("%windir%\\Fonts"), "C:\\windows\\Fonts");
  // The fresh prefix's drives: C: inside, Z: the whole host, both fixed as Wine has them.
  EXPECT_EQ(target->DriveType('C'), DRIVE_FIXED);
  EXPECT_EQ(target->DriveType('Z'), DRIVE_FIXED);
  EXPECT_FALSE(target->Drive('Z')->insideTarget);
}

}  // namespace
}  // namespace kestrove
