#include <gtest/gtest.h>

#include "platform/TargetSystem.h"
#include "platform/memory/MemoryTarget.h"

namespace kestrove {
namespace {

using memory::MemoryTarget;

struct VersionRow {
  std::uint32_t platform, major, minor;
  int code;
};

TEST(WindowsVersionClassify, EveryRowOfTheTable) {
  const VersionRow rows[] = {
      // 9x family
      {VER_PLATFORM_WIN32_WINDOWS, 4, 0, 1},
      {VER_PLATFORM_WIN32_WINDOWS, 4, 10, 3},
      {VER_PLATFORM_WIN32_WINDOWS, 4, 90, 8},
      {VER_PLATFORM_WIN32_WINDOWS, 4, 3, 10},  // "any other": 95 OSR2.1
      {VER_PLATFORM_WIN32_WINDOWS, 5, 0, 10},
      // NT
      {VER_PLATFORM_WIN32_NT, 3, 51, 5},
      {VER_PLATFORM_WIN32_NT, 3, 10, 5},
      {VER_PLATFORM_WIN32_NT, 4, 0, 6},
      {VER_PLATFORM_WIN32_NT, 4, 7, 6},
      {VER_PLATFORM_WIN32_NT, 5, 0, 7},
      {VER_PLATFORM_WIN32_NT, 5, 1, 9},
      {VER_PLATFORM_WIN32_NT, 5, 2, 10},
      {VER_PLATFORM_WIN32_NT, 5, 3, 7},
      {VER_PLATFORM_WIN32_NT, 5, 9, 7},
      {VER_PLATFORM_WIN32_NT, 6, 0, 11},
      {VER_PLATFORM_WIN32_NT, 6, 1, 12},
      {VER_PLATFORM_WIN32_NT, 6, 2, 11},
      {VER_PLATFORM_WIN32_NT, 6, 3, 11},
      {VER_PLATFORM_WIN32_NT, 10, 0, 10},  // "any other major": Windows 10 and 11
      {VER_PLATFORM_WIN32_NT, 7, 0, 10},
      {VER_PLATFORM_WIN32_NT, 2, 0, 10},
  };
  for (const VersionRow& r : rows) {
    EXPECT_EQ(ClassifyWindowsVersion(r.platform, r.major, r.minor), r.code)
        << "platform " << r.platform << " version " << r.major << "." << r.minor;
  }
}

TEST(WindowsVersionClassify, CodesTwoAndFourAreNeverProduced) {
  for (std::uint32_t platform : {VER_PLATFORM_WIN32s, VER_PLATFORM_WIN32_WINDOWS, VER_PLATFORM_WIN32_NT}) {
    for (std::uint32_t major = 0; major < 12; ++major) {
      for (std::uint32_t minor = 0; minor < 100; ++minor) {
        const int code = ClassifyWindowsVersion(platform, major, minor);
        ASSERT_NE(code, 2);
        ASSERT_NE(code, 4);
      }
    }
  }
}

TEST(WindowsVersionClassify, SystemNames) {
  EXPECT_EQ(WindowsSystemName({VER_PLATFORM_WIN32_WINDOWS, 4, 0, 950, ""}), "Windows 95");
  EXPECT_EQ(WindowsSystemName({VER_PLATFORM_WIN32_WINDOWS, 4, 90, 3000, ""}), "Windows Me");
  EXPECT_EQ(WindowsSystemName({VER_PLATFORM_WIN32_NT, 5, 2, 3790, ""}), "Server 2003");
  EXPECT_EQ(WindowsSystemName({VER_PLATFORM_WIN32_NT, 6, 1, 7601, ""}), "Windows 7");
  // Code 10 is also every unknown version: it gets no name of its own.
  EXPECT_EQ(WindowsSystemName({VER_PLATFORM_WIN32_NT, 10, 0, 19045, ""}), "");
  EXPECT_EQ(WindowsSystemName({VER_PLATFORM_WIN32_WINDOWS, 4, 3, 0, ""}), "");
}

const char kNt[] = "Software\\Microsoft\\Windows NT\\CurrentVersion";
const char kWin[] = "Software\\Microsoft\\Windows\\CurrentVersion";

MemoryTarget::Options EmptyRegistry() {
  MemoryTarget::Options o;
  o.defaultRegistry = false;
  return o;
}

TEST(WindowsVersionRegistry, DefaultMemoryTargetIsWindows7) {
  MemoryTarget t;
  const TWindowsVersionInfo v = t.VersionInfo();
  EXPECT_EQ(v.platformId, VER_PLATFORM_WIN32_NT);
  EXPECT_EQ(v.major, 6u);
  EXPECT_EQ(v.minor, 1u);
  EXPECT_EQ(v.build, 7601u);
  EXPECT_EQ(v.csdVersion, "Service Pack 1");
  EXPECT_EQ(t.WindowsVersion(), 12);
}

TEST(WindowsVersionRegistry, NumberDwordsWinOverTheVersionString) {
  MemoryTarget t(EmptyRegistry());
  t.SetString(HKEY_LOCAL_MACHINE, kNt, "CurrentVersion", "6.3");
  t.SetDword(HKEY_LOCAL_MACHINE, kNt, "CurrentMajorVersionNumber", 10);
  t.SetDword(HKEY_LOCAL_MACHINE, kNt, "CurrentMinorVersionNumber", 0);
  EXPECT_EQ(t.VersionInfo().major, 10u);
  EXPECT_EQ(t.WindowsVersion(), 10);
}

TEST(WindowsVersionRegistry, MajorWithoutMinorFallsBackToTheString) {
  MemoryTarget t(EmptyRegistry());
  t.SetString(HKEY_LOCAL_MACHINE, kNt, "CurrentVersion", "5.1");
  t.SetDword(HKEY_LOCAL_MACHINE, kNt, "CurrentMajorVersionNumber", 10);
  EXPECT_EQ(t.WindowsVersion(), 9);
  // A number stored with the wrong type does not count either.
  t.SetString(HKEY_LOCAL_MACHINE, kNt, "CurrentMinorVersionNumber", "0");
  EXPECT_EQ(t.WindowsVersion(), 9);
}

TEST(WindowsVersionRegistry, WineVersionSettingWins) {
  MemoryTarget t;
  t.SetString(HKEY_CURRENT_USER, "Software\\Wine", "Version", "winxp");
  EXPECT_EQ(t.WindowsVersion(), 9);
  t.SetString(HKEY_CURRENT_USER, "Software\\Wine", "Version", "win98");
  EXPECT_EQ(t.VersionInfo().platformId, VER_PLATFORM_WIN32_WINDOWS);
  EXPECT_EQ(t.WindowsVersion(), 3);
  t.SetString(HKEY_CURRENT_USER, "Software\\Wine", "Version", "win10");
  EXPECT_EQ(t.WindowsVersion(), 10);
  // A name Wine does not know is ignored, as Wine ignores it.
  t.SetString(HKEY_CURRENT_USER, "Software\\Wine", "Version", "win99");
  EXPECT_EQ(t.WindowsVersion(), 12);
}

TEST(WindowsVersionRegistry, NineXKeysWithoutNtKey) {
  MemoryTarget t(EmptyRegistry());
  t.SetString(HKEY_LOCAL_MACHINE, kWin, "VersionNumber", "4.10.2222");
  t.SetString(HKEY_LOCAL_MACHINE, kWin, "SubVersionNumber", " A ");
  TWindowsVersionInfo v = t.VersionInfo();
  EXPECT_EQ(v.platformId, VER_PLATFORM_WIN32_WINDOWS);
  EXPECT_EQ(v.build, 2222u);
  EXPECT_EQ(t.WindowsVersion(), 3);
  t.SetString(HKEY_LOCAL_MACHINE, kWin, "VersionNumber", "4.00.950");
  EXPECT_EQ(t.WindowsVersion(), 1);
  t.SetString(HKEY_LOCAL_MACHINE, kWin, "VersionNumber", "4.90.3000");
  EXPECT_EQ(t.WindowsVersion(), 8);
  // The 9x system folder is "system".
  EXPECT_EQ(t.SystemFolder(), "C:\\windows\\system");
  // Once an NT key says otherwise, the system is NT.
  t.SetString(HKEY_LOCAL_MACHINE, kNt, "CurrentVersion", "5.0");
  EXPECT_EQ(t.WindowsVersion(), 7);
}

TEST(WindowsVersionRegistry, OnlyTheProductNameOfA9xSystem) {
  MemoryTarget t(EmptyRegistry());
  t.SetString(HKEY_LOCAL_MACHINE, kWin, "Version", "Windows 95");
  EXPECT_EQ(t.WindowsVersion(), 1);
  t.SetString(HKEY_LOCAL_MACHINE, kWin, "Version", "Windows Millennium Edition");
  EXPECT_EQ(t.WindowsVersion(), 8);
}

TEST(WindowsVersionRegistry, EmptyRegistryIsWineDefaultWindows10) {
  MemoryTarget t(EmptyRegistry());
  const TWindowsVersionInfo v = t.VersionInfo();
  EXPECT_EQ(v.major, 10u);
  EXPECT_EQ(t.WindowsVersion(), 10);
}

TEST(WindowsVersionRegistry, MalformedVersionStrings) {
  MemoryTarget t(EmptyRegistry());
  t.SetString(HKEY_LOCAL_MACHINE, kNt, "CurrentVersion", "");
  EXPECT_EQ(t.WindowsVersion(), 10);  // nothing usable: the default
  t.SetString(HKEY_LOCAL_MACHINE, kNt, "CurrentVersion", "6");
  EXPECT_EQ(t.VersionInfo().minor, 0u);
  EXPECT_EQ(t.WindowsVersion(), 11);
  t.SetString(HKEY_LOCAL_MACHINE, kNt, "CurrentVersion", "x.y");
  EXPECT_EQ(t.WindowsVersion(), 10);
}

}  // namespace
}  // namespace kestrove
