#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "TargetTestSupport.h"
#include "platform/PathResolver.h"
#include "platform/memory/MemoryTarget.h"

namespace kestrove {
namespace {

namespace fs = std::filesystem;
using testing::TempFolder;

std::vector<std::string> Components(std::string_view path) {
  auto parts = ParseWindowsPath(path);
  return parts ? parts->components : std::vector<std::string>{"<none>"};
}

TEST(PathResolveParse, DriveAndComponents) {
  auto p = ParseWindowsPath("c:\\Users\\x\\file.txt");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->drive, 'C');
  EXPECT_EQ(p->components, (std::vector<std::string>{"Users", "x", "file.txt"}));
  EXPECT_EQ(Components("C:/a//b\\\\c/"), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(Components("C:\\"), std::vector<std::string>{});
  EXPECT_EQ(Components("C:"), std::vector<std::string>{});
  EXPECT_EQ(Components("\\\\?\\C:\\long\\path"), (std::vector<std::string>{"long", "path"}));
  EXPECT_EQ(Components("\\??\\D:\\pending\\rename.tmp"), (std::vector<std::string>{"pending", "rename.tmp"}));
  EXPECT_EQ(FormatWindowsPath(*ParseWindowsPath("c:/a/./b/")), "C:\\a\\b");
}

TEST(PathResolveParse, DotDotNeverLeavesTheRoot) {
  EXPECT_EQ(Components("C:\\a\\b\\..\\c"), (std::vector<std::string>{"a", "c"}));
  EXPECT_EQ(Components("C:\\..\\..\\windows"), (std::vector<std::string>{"windows"}));
  EXPECT_EQ(Components("C:\\a\\..\\..\\..\\etc\\passwd"), (std::vector<std::string>{"etc", "passwd"}));
  EXPECT_EQ(Components("C:\\a\\.\\.\\b\\."), (std::vector<std::string>{"a", "b"}));
}

TEST(PathResolveParse, PathsOnNoDrive) {
  for (const char* p : {"", "a\\b", "\\windows", "/etc/passwd", "C:relative", "\\\\server\\share\\x",
                        "//server/share", "\\\\.\\C:\\x", "\\\\?\\UNC\\server\\share", "1:\\x", ":\\x"}) {
    EXPECT_FALSE(ParseWindowsPath(p)) << p;
  }
  EXPECT_FALSE(ParseWindowsPath(std::string_view("C:\\a\0b", 6)));
}

TEST(PathResolveFold, FoldsLikeRegistryNames) {
  EXPECT_EQ(FoldName("Program Files"), "program files");
  EXPECT_EQ(FoldName("\xC3\x84rger"), FoldName("\xC3\xA4RGER"));  // Ä / ä
}

class PathResolveTree : public ::testing::Test {
 protected:
  void SetUp() override {
    tmp.Write("drive_c/users/Alice/Documents/Report.TXT", "r");
    tmp.Mkdir("drive_c/windows/system32");
    drives.Set('C', tmp / "drive_c", DRIVE_FIXED, true);
  }
  TempFolder tmp;
  DriveMap drives;
  PathResolver resolver;
};

TEST_F(PathResolveTree, MatchesEveryComponentWithoutCase) {
  auto host = resolver.ToHost(drives, "C:\\USERS\\alice\\documents\\report.txt");
  ASSERT_TRUE(host);
  EXPECT_EQ(*host, tmp / "drive_c/users/Alice/Documents/Report.TXT");
  EXPECT_TRUE(fs::exists(*host));
  EXPECT_EQ(*resolver.ToHost(drives, "c:/Windows/SYSTEM32"), tmp / "drive_c/windows/system32");
  EXPECT_EQ(*resolver.ToHost(drives, "C:\\"), tmp / "drive_c");
}

TEST_F(PathResolveTree, MissingTailIsAppendedAsWritten) {
  auto host = resolver.ToHost(drives, "C:\\Users\\ALICE\\New Folder\\Sub\\File.dat");
  ASSERT_TRUE(host);
  EXPECT_EQ(*host, tmp / "drive_c/users/Alice/New Folder/Sub/File.dat");
}

TEST_F(PathResolveTree, DotDotStaysOnTheDrive) {
  auto host = resolver.ToHost(drives, "C:\\windows\\..\\..\\..\\..\\users");
  ASSERT_TRUE(host);
  EXPECT_EQ(*host, tmp / "drive_c/users");
  EXPECT_EQ(*resolver.ToHost(drives, "C:\\..\\drive_c"), tmp / "drive_c/drive_c");
}

TEST_F(PathResolveTree, UnmappedDriveAndRelativePaths) {
  EXPECT_FALSE(resolver.ToHost(drives, "D:\\x"));
  EXPECT_FALSE(resolver.ToHost(drives, "users\\Alice"));
  EXPECT_FALSE(resolver.ToHost(drives, "\\\\server\\share\\x"));
}

TEST_F(PathResolveTree, ExactNameFirstThenTheSmallestMatch) {
  tmp.Write("drive_c/Dup/file", "upper");
  tmp.Write("drive_c/dup/file", "lower");
  EXPECT_EQ(*resolver.ToHost(drives, "C:\\dup\\file"), tmp / "drive_c/dup/file");
  EXPECT_EQ(*resolver.ToHost(drives, "C:\\Dup\\file"), tmp / "drive_c/Dup/file");
  // Neither spelling given: the same pick every time.
  EXPECT_EQ(*resolver.ToHost(drives, "C:\\DUP\\file"), tmp / "drive_c/Dup/file");
}

TEST_F(PathResolveTree, CacheFollowsChangesOnDisk) {
  ASSERT_TRUE(resolver.ToHost(drives, "C:\\USERS"));
  EXPECT_GT(resolver.CacheSize(), 0u);
  // Renamed behind the cache's back: the stale entry is not trusted.
  fs::rename(tmp / "drive_c/users", tmp / "drive_c/Users2");
  tmp.Mkdir("drive_c/USERS");
  EXPECT_EQ(*resolver.ToHost(drives, "C:\\users"), tmp / "drive_c/USERS");
  fs::remove(tmp / "drive_c/USERS");
  EXPECT_EQ(*resolver.ToHost(drives, "C:\\users"), tmp / "drive_c/users");
  resolver.ClearCache();
  EXPECT_EQ(resolver.CacheSize(), 0u);
}

TEST_F(PathResolveTree, ConcurrentLookups) {
  for (int i = 0; i < 20; ++i) tmp.Write("drive_c/many/File" + std::to_string(i) + ".TXT", "x");
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 50; ++round) {
        const int i = (round + t) % 20;
        auto host = resolver.ToHost(drives, "C:\\MANY\\file" + std::to_string(i) + ".txt");
        if (!host || host->filename() != "File" + std::to_string(i) + ".TXT") ++wrong;
        if (round % 17 == 0) resolver.ClearCache();
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST_F(PathResolveTree, HostToWindows) {
  EXPECT_EQ(PathResolver::ToWindows(drives, tmp / "drive_c/users/Alice"), "C:\\users\\Alice");
  EXPECT_EQ(PathResolver::ToWindows(drives, tmp / "drive_c"), "C:\\");
  EXPECT_EQ(PathResolver::ToWindows(drives, tmp / "drive_c/./users/../windows/"), "C:\\windows");
  EXPECT_FALSE(PathResolver::ToWindows(drives, tmp / "elsewhere"));
  EXPECT_FALSE(PathResolver::ToWindows(drives, tmp / "drive_cx/file"));
}

TEST_F(PathResolveTree, HostToWindowsPrefersTheInnermostDrive) {
  drives.Set('Z', "/", DRIVE_REMOTE, false);
  EXPECT_EQ(PathResolver::ToWindows(drives, tmp / "drive_c/windows"), "C:\\windows");
  auto z = PathResolver::ToWindows(drives, "/usr/share");
  ASSERT_TRUE(z);
  EXPECT_EQ(*z, "Z:\\usr\\share");
}

TEST_F(PathResolveTree, HostToWindowsThroughALinkedFolder) {
  // The drive is reached through a link; a path given by its real location still maps.
  fs::create_directory_symlink(tmp / "drive_c", tmp / "linked_c");
  DriveMap linked;
  linked.Set('C', tmp / "linked_c", DRIVE_FIXED, true);
  EXPECT_EQ(PathResolver::ToWindows(linked, tmp / "drive_c/users"), "C:\\users");
}

TEST(PathResolveTarget, MemoryTargetMapsCaseInsensitively) {
  memory::MemoryTarget t;
  const fs::path written = t.WriteFile("C:\\Users\\User\\Documents\\a.txt", "x");
  // The default profile folder is "users\user": the write landed there.
  EXPECT_EQ(written, t.DriveC() / "users/user/Documents/a.txt");
  EXPECT_EQ(*t.HostPath("c:\\USERS\\USER\\documents\\A.TXT"), written);
  EXPECT_EQ(*t.WindowsPath(written), "C:\\users\\user\\Documents\\a.txt");
  t.ClearPathCache();
  EXPECT_EQ(*t.HostPath("C:\\users\\user\\DOCUMENTS\\a.txt"), written);
}

}  // namespace
}  // namespace kestrove
