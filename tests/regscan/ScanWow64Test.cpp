// The 32-bit registry view: on a 64-bit target the fixed-key sections also read the
// Wow6432Node keys 32-bit programs write to, and report them as their own kind of problem.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "ScanTestSupport.h"
#include "platform/memory/MemoryTarget.h"

namespace kestrove {
namespace {

namespace fs = std::filesystem;
using memory::MemoryTarget;
using testing::Row;
using testing::RunScan;
using K = TLocationKind;

const std::string kHKLM = "HKEY_LOCAL_MACHINE\\";
const std::string kRun = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const std::string kWowRun = "Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Run";
const std::string kClsid = "{6F1C3A52-0E7B-4D39-9C41-7A2B5E8D0F20}";

// A 64-bit system as Wine lays it out, with a broken 32-bit program in its 32-bit view.
class ScanWow64 : public ::testing::Test {
 protected:
  void SetUp() override {
    t.WriteFile("C:\\Program Files (x86)\\App\\app.exe", "MZ");
    t.SetString(HKEY_LOCAL_MACHINE, kRun, "Native", "C:\\Gone\\native.exe");
    t.SetString(HKEY_LOCAL_MACHINE, kWowRun, "Old32", "C:\\Gone\\old32.exe");
    t.SetString(HKEY_LOCAL_MACHINE, kWowRun, "Fine32", "\"C:\\Program Files (x86)\\App\\app.exe\" /tray");
    t.SetDword(HKEY_LOCAL_MACHINE, "Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\SharedDlls",
               "C:\\Gone\\s32.dll", 1);
    t.SetString(HKEY_LOCAL_MACHINE, "Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Gone32",
                "UninstallString", "C:\\Gone\\uninst32.exe /x");
    t.SetString(HKEY_CLASSES_ROOT, "Wow6432Node\\CLSID\\" + kClsid + "\\InprocServer32", "", "C:\\Gone\\com32.dll");
    t.SetString(HKEY_CLASSES_ROOT, "TypeLib\\" + kClsid + "\\1.0\\0\\win32", "", "C:\\Gone\\tl.dll");
    // Wine shares the type libraries between the views, and shows Classes\Wow6432Node again
    // under Software\Wow6432Node: neither may be read twice.
    t.CreateKey(HKEY_LOCAL_MACHINE, "Software\\Classes\\Wow6432Node");
    ASSERT_TRUE(t.Registry()->CreateLink(HKEY_LOCAL_MACHINE, "Software\\Classes\\Wow6432Node\\TypeLib",
                                         "\\Registry\\Machine\\Software\\Classes\\TypeLib"));
    ASSERT_TRUE(t.Registry()->CreateLink(HKEY_LOCAL_MACHINE, "Software\\Wow6432Node\\Classes",
                                         "\\Registry\\Machine\\Software\\Classes\\Wow6432Node"));
  }
  void Architecture(const char* arch) {
    t.SetString(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Session Manager\\Environment",
                "PROCESSOR_ARCHITECTURE", arch);
  }
  std::vector<TScanResult> Scan(std::vector<int> codes) { return RunScan(t, codes); }
  MemoryTarget t;
};

TEST_F(ScanWow64, SixtyFourBitTargetReportsTheThirtyTwoBitViewInItsSections) {
  Architecture("AMD64");
  ASSERT_TRUE(t.Is64Bit());
  // The 64-bit key's rows first, then the 32-bit view's.
  EXPECT_EQ(Scan({14}),
            (std::vector<TScanResult>{
                Row(problem::kStartup, "C:\\Gone\\native.exe", kHKLM + kRun + "\\Native", K::lkPathValue),
                Row(problem::kStartup, "C:\\Gone\\old32.exe", kHKLM + kWowRun + "\\Old32", K::lkPathValue)}));
  EXPECT_EQ(Scan({7}),
            (std::vector<TScanResult>{
                Row(problem::kSharedDlls, "C:\\Gone\\s32.dll",
                    kHKLM + "Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\SharedDlls", K::lkDataValue)}));
  EXPECT_EQ(Scan({21}),
            (std::vector<TScanResult>{Row(
                problem::kInstaller, "C:\\Gone\\uninst32.exe /x",
                kHKLM + "SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Gone32\\UninstallString",
                K::lkPathValue)}));
  EXPECT_EQ(Scan({16}), (std::vector<TScanResult>{
                            Row(problem::kCustomControls, "C:\\Gone\\com32.dll",
                                "HKEY_CLASSES_ROOT\\Wow6432Node\\CLSID\\" + kClsid + "\\InprocServer32", K::lkKey)}));
  // The shared type library key is read once, under its own name.
  const auto activeX = Scan({20});
  ASSERT_EQ(activeX.size(), 1u) << testing::Describe(activeX);
  EXPECT_EQ(activeX[0].Location, "HKEY_CLASSES_ROOT\\TypeLib\\" + kClsid + "\\1.0\\0\\win32\\");

  // The machine walk leaves the 32-bit Run and Uninstall keys to their sections and meets
  // each class key once.
  testing::ExpectSameRows(
      Scan({5}),
      {Row(problem::kFileOrFolder, "C:\\Gone\\com32.dll",
           kHKLM + "Software\\Classes\\Wow6432Node\\CLSID\\" + kClsid + "\\InprocServer32\\", K::lkPathValue),
       Row(problem::kFileOrFolder, "C:\\Gone\\tl.dll",
           kHKLM + "Software\\Classes\\TypeLib\\" + kClsid + "\\1.0\\0\\win32\\", K::lkPathValue)});
}

TEST_F(ScanWow64, ThirtyTwoBitTargetHasNoSecondView) {
  // Without a recorded processor, the 32-bit view's key is what tells.
  EXPECT_TRUE(t.Is64Bit());
  EXPECT_FALSE(MemoryTarget().Is64Bit());
  Architecture("x86");
  ASSERT_FALSE(t.Is64Bit());
  EXPECT_EQ(Scan({14}), (std::vector<TScanResult>{Row(problem::kStartup, "C:\\Gone\\native.exe",
                                                      kHKLM + kRun + "\\Native", K::lkPathValue)}));
  EXPECT_TRUE(Scan({7, 16, 21}).empty());
  // The keys are an ordinary part of the machine's software there.
  const auto machine = Scan({5});
  EXPECT_NE(std::find(machine.begin(), machine.end(),
                      Row(problem::kFileOrFolder, "C:\\Gone\\old32.exe", kHKLM + kWowRun + "\\Old32", K::lkPathValue)),
            machine.end())
      << testing::Describe(machine);
}

// A Run entry a 32-bit program would have left, written by Wine's own reg.exe into a fresh
// 64-bit prefix.
TEST(ScanWow64Live, WineWrittenThirtyTwoBitRunEntryIsAStartupProblem) {
  if (std::system("command -v wine >/dev/null 2>&1 && command -v wineserver >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "Wine is not installed";
  const fs::path prefix = fs::temp_directory_path() / ("kestrove-wow64-" + std::to_string(::getpid()));
  fs::create_directories(prefix);
  const std::string env = "WINEPREFIX='" + prefix.string() + "' WINEDEBUG=-all ";
  ASSERT_NE(std::system((env + "timeout 300 wineboot -i >/dev/null 2>&1").c_str()), -1);
  const int rc = std::system((env + "timeout 120 wine reg add "
                                    "'HKLM\\Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Run' "
                                    "/v X /d 'C:\\gone\\x.exe' /f >/dev/null 2>&1")
                                 .c_str());
  // The registry files are complete once the server has ended.
  std::system((env + "timeout 60 wineserver -w >/dev/null 2>&1").c_str());
  struct Cleanup {
    fs::path dir;
    ~Cleanup() {
      std::error_code ec;
      fs::remove_all(dir, ec);
    }
  } cleanup{prefix};
  if (!fs::exists(prefix / "system.reg")) GTEST_SKIP() << "wineboot made no prefix";
  ASSERT_EQ(rc, 0);
  auto target = OpenTarget(TargetChoice{prefix, "--root"});
  ASSERT_TRUE(target->Is64Bit());
  const auto rows = RunScan(*target, {5, 14});
  const TScanResult expected = Row(problem::kStartup, "C:\\gone\\x.exe", kHKLM + kWowRun + "\\X", K::lkPathValue);
  // Reported once, by Startup: the machine walk leaves the key to it.
  EXPECT_EQ(std::count(rows.begin(), rows.end(), expected), 1) << testing::Describe(rows);
  EXPECT_EQ(std::count_if(rows.begin(), rows.end(), [&](const TScanResult& r) { return r.Data == expected.Data; }), 1)
      << testing::Describe(rows);
}

}  // namespace
}  // namespace kestrove
