#include <gtest/gtest.h>

#include "TargetTestSupport.h"
#include "platform/DriveMap.h"
#include "platform/FileServices.h"
#include "platform/TargetSystem.h"
#include "platform/memory/MemoryTarget.h"
#include "regscan/PathRules.h"

namespace kestrove {
namespace {

namespace fs = std::filesystem;
using testing::TempFolder;

class DriveDosDevices : public ::testing::Test {
 protected:
  void SetUp() override {
    prefix = tmp / "prefix";
    fs::create_directories(prefix / "dosdevices");
    fs::create_directories(prefix / "drive_c");
    fs::create_directories(prefix / "drive_e");
    fs::create_directories(tmp / "home/user");
    Link("../drive_c", "c:");
    Link("/", "z:");
  }
  void Link(const fs::path& target, const std::string& name) {
    fs::create_symlink(target, prefix / "dosdevices" / name);
  }
  DriveMap Read(const std::map<char, std::uint32_t>& types = {}) {
    return DriveMap::FromDosDevices(prefix / "dosdevices", prefix, types);
  }
  TempFolder tmp;
  fs::path prefix;
};

TEST_F(DriveDosDevices, DriveCAndZAreFixedAndZIsOutside) {
  DriveMap map = Read();
  ASSERT_NE(map.Find('c'), nullptr);
  EXPECT_EQ(map.Find('C')->hostRoot, prefix / "drive_c");
  EXPECT_EQ(map.Find('C')->link, "../drive_c");
  EXPECT_TRUE(map.Find('C')->insideTarget);
  EXPECT_EQ(map.TypeOf('C'), DRIVE_FIXED);
  EXPECT_EQ(map.Find('Z')->hostRoot, fs::path("/"));
  EXPECT_FALSE(map.Find('Z')->insideTarget);
  EXPECT_EQ(map.TypeOf('z'), DRIVE_FIXED);  // as Wine calls it
}

// Drives that leave the target keep the type Wine gives them, and are outside: removal never
// reaches them (and the whole-drive rules take only fixed drives that are inside).
TEST_F(DriveDosDevices, OutsideTheTargetKeepsWinesTypeAndIsOutside) {
  Link(tmp / "home/user", "h:");  // a link into the user's home
  Link("../../home/user", "i:");  // the same, relative
  Link("..", "j:");               // the prefix folder itself, registry files and all
  fs::create_directory_symlink(tmp / "home/user", prefix / "drive_k");
  Link("../drive_k", "k:");  // a folder inside that links out
  DriveMap map = Read({{'h', DRIVE_FIXED}, {'i', DRIVE_REMOTE}});
  EXPECT_EQ(map.TypeOf('H'), DRIVE_FIXED);
  EXPECT_EQ(map.TypeOf('I'), DRIVE_REMOTE);
  EXPECT_EQ(map.TypeOf('Z'), DRIVE_FIXED);
  for (char letter : {'H', 'I', 'J', 'K', 'Z'}) EXPECT_FALSE(map.Find(letter)->insideTarget) << letter;
}

TEST_F(DriveDosDevices, OtherDrivesInsideAreFixed) {
  Link("../drive_e", "e:");
  Link((prefix / "drive_c").string(), "f:");  // absolute, but inside
  DriveMap map = Read();
  EXPECT_EQ(map.TypeOf('E'), DRIVE_FIXED);
  EXPECT_EQ(map.TypeOf('F'), DRIVE_FIXED);
}

TEST_F(DriveDosDevices, RegistryTypesAndDeviceHints) {
  Link("../drive_e", "d:");
  Link("/dev/sr0", "d::");
  Link("../drive_e", "e:");
  Link("../drive_e", "r:");
  Link("/dev/fd0", "a::");  // a device without a folder maps no drive
  DriveMap map = Read({{'e', DRIVE_CDROM}, {'r', DRIVE_RAMDISK}});
  EXPECT_EQ(map.TypeOf('D'), DRIVE_CDROM);  // from the device it stands for
  EXPECT_EQ(map.TypeOf('E'), DRIVE_CDROM);
  EXPECT_EQ(map.TypeOf('R'), DRIVE_RAMDISK);
  EXPECT_EQ(map.Find('A'), nullptr);
  EXPECT_EQ(map.TypeOf('A'), DRIVE_NO_ROOT_DIR);
}

TEST_F(DriveDosDevices, OtherEntriesAreNoDrives) {
  Link("/dev/ttyS0", "com1");
  Link("/dev/lp0", "lpt1");
  Link("../drive_e", "ab:");
  Link("../drive_e", "1:");
  DriveMap map = Read();
  EXPECT_EQ(map.List().size(), 2u);  // C: and Z:
  EXPECT_EQ(map.TypeOf('1'), DRIVE_UNKNOWN);
  EXPECT_EQ(map.TypeOf('Q'), DRIVE_NO_ROOT_DIR);
}

TEST_F(DriveDosDevices, DanglingLinkStillMapsTheDrive) {
  Link("../drive_missing", "m:");
  DriveMap map = Read();
  ASSERT_NE(map.Find('M'), nullptr);
  EXPECT_EQ(map.TypeOf('M'), DRIVE_FIXED);
}

TEST(DriveTypes, WineNamesAndTypeNames) {
  EXPECT_EQ(DriveTypeFromWineName("hd"), DRIVE_FIXED);
  EXPECT_EQ(DriveTypeFromWineName("CDROM"), DRIVE_CDROM);
  EXPECT_EQ(DriveTypeFromWineName("network"), DRIVE_REMOTE);
  EXPECT_EQ(DriveTypeFromWineName("floppy"), DRIVE_REMOVABLE);
  EXPECT_EQ(DriveTypeFromWineName("ramdisk"), DRIVE_RAMDISK);
  EXPECT_FALSE(DriveTypeFromWineName("tape"));
  EXPECT_EQ(DriveTypeName(DRIVE_REMOTE), "network");
  EXPECT_EQ(DriveTypeName(DRIVE_NO_ROOT_DIR), "none");
}

TEST(DrivePrefix, WinePrefixReadsTypesFromTheRegistry) {
  TempFolder tmp;
  const fs::path prefix = tmp / "prefix";
  fs::create_directories(prefix / "dosdevices");
  fs::create_directories(prefix / "drive_c");
  fs::create_directories(prefix / "drive_d");
  fs::create_symlink("../drive_c", prefix / "dosdevices" / "c:");
  fs::create_symlink("../drive_d", prefix / "dosdevices" / "d:");
  fs::create_symlink("/", prefix / "dosdevices" / "z:");
  tmp.Write("prefix/system.reg",
            "WINE REGISTRY Version 2\n;; All keys relative to REGISTRY\\\\Machine\n\n#arch=win64\n\n"
            "[Software\\\\Wine\\\\Drives] 1700000000\n\"d:\"=\"cdrom\"\n\"z:\"=\"hd\"\n");
  auto target = OpenTarget(TargetChoice{prefix, "--root"});
  EXPECT_EQ(target->Kind(), "Wine prefix");
  EXPECT_EQ(target->DriveType('C'), DRIVE_FIXED);
  EXPECT_EQ(target->DriveType('D'), DRIVE_CDROM);
  EXPECT_EQ(target->DriveType('Z'), DRIVE_FIXED);  // "hd" in Wine's list
  EXPECT_FALSE(IsFixedTargetDrive(*target, 'Z'));    // but never a drive of this system to empty
  EXPECT_EQ(target->DriveType('Y'), DRIVE_NO_ROOT_DIR);
  // The scanner judges references on Z: as Wine would find them, like those on C:.
  EXPECT_EQ(ComputeScanDrives(*target, true), "cz");
  TFileProbe probe(*target);
  TPathRuleSettings settings;
  settings.ScanDrives = ComputeScanDrives(*target, true);
  TPathRules rules(*target, probe, settings);
  EXPECT_TRUE(rules.IsMissingPath("Z:\\kestrove-no-such-folder\\app.exe", "", false));
  EXPECT_FALSE(rules.IsMissingPath("Z:\\", "", true));
  EXPECT_EQ(target->Drives().size(), 3u);
}

TEST(DrivePrefix, DriveCWithoutDosdevices) {
  TempFolder tmp;
  tmp.Write("system.reg", "WINE REGISTRY Version 2\n;; All keys relative to REGISTRY\\\\Machine\n\n");
  tmp.Mkdir("drive_c/windows");
  auto target = OpenTarget(TargetChoice{tmp.path(), "--root"});
  ASSERT_TRUE(target->Drive('C'));
  EXPECT_EQ(target->DriveType('C'), DRIVE_FIXED);
  EXPECT_EQ(*target->HostPath("C:\\WINDOWS"), tmp / "drive_c/windows");
}

TEST(DriveMemory, AddedDrives) {
  memory::MemoryTarget t;
  EXPECT_EQ(t.DriveType('C'), DRIVE_FIXED);
  t.AddDrive('D', t.Folder() / "drive_d", DRIVE_CDROM);
  EXPECT_EQ(t.DriveType('d'), DRIVE_CDROM);
  t.WriteFile("D:\\setup.exe", "MZ");
  EXPECT_TRUE(fs::exists(t.Folder() / "drive_d/setup.exe"));
  t.RemoveDrive('D');
  EXPECT_EQ(t.DriveType('D'), DRIVE_NO_ROOT_DIR);
  EXPECT_FALSE(t.HostPath("D:\\setup.exe"));
}

}  // namespace
}  // namespace kestrove
