#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "ScanTestSupport.h"
#include "app/Helpers.h"
#include "platform/memory/MemoryTarget.h"
#include "regscan/ScanTaskThread.h"

namespace kestrove {
namespace {

namespace fs = std::filesystem;
using memory::MemoryTarget;
using testing::ExpectSameRows;
using testing::LinkWriter;
using testing::Row;
using testing::RunScan;
using K = TLocationKind;

const char kHKLM[] = "HKEY_LOCAL_MACHINE\\";
const char kHKCU[] = "HKEY_CURRENT_USER\\";

class ScanSectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    t.WriteFile("C:\\Program Files\\App\\app.exe", "MZ");
    t.WriteFile("C:\\Program Files\\App\\core.dll", "MZ");
    t.WriteFile("C:\\Program Files\\App\\app.hlp", "help");
    t.WriteFile("C:\\windows\\media\\ding.wav", "RIFF");
  }
  std::vector<TScanResult> Scan(std::vector<int> codes) { return RunScan(t, codes); }
  void Value(TRootKey root, const std::string& key, const std::string& name, const std::string& data) {
    t.SetString(root, key, name, data);
  }
  MemoryTarget t;
};

// ---- whole-hive walks --------------------------------------------------------------------

TEST_F(ScanSectionTest, HiveWalkReportsMissingValuesAsValueRows) {
  Value(HKEY_CURRENT_USER, "Software\\Vendor\\App", "Path", "C:\\Program Files\\Gone\\x.exe");
  Value(HKEY_CURRENT_USER, "Software\\Vendor\\App", "Ok", "C:\\Program Files\\App\\app.exe -x");
  Value(HKEY_CURRENT_USER, "Software\\Vendor\\App", "Folder", "C:\\Program Files\\App");
  // A name with a backslash is reported by its name; the data decides.
  Value(HKEY_CURRENT_USER, "Software\\Vendor\\App", "C:\\Gone\\named.dll", "C:\\Gone\\data.dll");
  Value(HKEY_CURRENT_USER, "Software\\Vendor\\App", "C:\\Gone\\counted.dll", "1");
  Value(HKEY_CURRENT_USER, "Software\\Vendor\\App", "", "C:\\Gone\\default.exe");
  t.SetExpandString(HKEY_CURRENT_USER, "Software\\Vendor\\App", "Expand", "%windir%\\gone.exe");
  t.SetDword(HKEY_CURRENT_USER, "Software\\Vendor\\App", "Number", 5);
  t.SetValue(HKEY_CURRENT_USER, "Software\\Vendor\\App", "Multi", REG_MULTI_SZ,
             Utf8ToUtf16Le(std::string("C:\\Gone\\a.exe\0\0", 15), false));
  // A value right under the hive's root: an empty key path between two backslashes.
  Value(HKEY_CURRENT_USER, "", "RootValue", "C:\\Gone\\root.exe");
  ExpectSameRows(Scan({4}),
                 {Row(problem::kFileOrFolder, "C:\\Program Files\\Gone\\x.exe",
                      "HKEY_CURRENT_USER\\Software\\Vendor\\App\\Path", K::lkPathValue),
                  Row(problem::kFileOrFolder, "C:\\Gone\\named.dll", "HKEY_CURRENT_USER\\Software\\Vendor\\App",
                      K::lkDataValue),
                  Row(problem::kFileOrFolder, "C:\\Gone\\default.exe", "HKEY_CURRENT_USER\\Software\\Vendor\\App\\",
                      K::lkPathValue),
                  Row(problem::kFileOrFolder, "%windir%\\gone.exe", "HKEY_CURRENT_USER\\Software\\Vendor\\App\\Expand",
                      K::lkPathValue),
                  Row(problem::kFileOrFolder, "C:\\Gone\\root.exe", "HKEY_CURRENT_USER\\\\RootValue", K::lkPathValue)});
}

TEST_F(ScanSectionTest, HiveWalksLeaveTheSubtreesOfOtherSections) {
  const std::string run = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
  Value(HKEY_LOCAL_MACHINE, run, "A", "C:\\Gone\\a.exe");
  Value(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\x.exe", "", "C:\\Gone\\x.exe");
  Value(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnceEx", "B", "C:\\Gone\\b.exe");
  Value(HKEY_LOCAL_MACHINE, "Software\\Wow6432Node\\Wow6432Node\\Vendor", "C", "C:\\Gone\\c.exe");
  Value(HKEY_LOCAL_MACHINE, "Software\\Wow6432Node\\Vendor", "D", "C:\\Gone\\d.exe");
  Value(HKEY_CURRENT_USER, run, "E", "C:\\Gone\\e.exe");
  Value(HKEY_CURRENT_USER, "AppEvents\\Schemes\\Apps\\.Default\\X\\.Current", "", "C:\\Gone\\e.wav");
  Value(HKEY_CURRENT_USER, "AppEvents\\Schemes\\Names", "F", "C:\\Gone\\f.wav");

  // Section 5 skips the HKLM list (compared whole and in any case) and the doubled 32-bit view.
  ExpectSameRows(Scan({5}), {Row(problem::kFileOrFolder, "C:\\Gone\\b.exe",
                                 "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnceEx\\B",
                                 K::lkPathValue),
                             Row(problem::kFileOrFolder, "C:\\Gone\\d.exe",
                                 "HKEY_LOCAL_MACHINE\\Software\\Wow6432Node\\Vendor\\D", K::lkPathValue)});
  // Section 4 skips the HKCU list.
  ExpectSameRows(Scan({4}), {Row(problem::kFileOrFolder, "C:\\Gone\\f.wav",
                                 "HKEY_CURRENT_USER\\AppEvents\\Schemes\\Names\\F", K::lkPathValue)});
  // The whole HKEY_USERS walk has no list: the user's Run key is in it.
  const auto users = Scan({6});
  EXPECT_EQ(users.size(), 3u) << testing::Describe(users);
  // Software Locations walks its own key even with section 5 in the same scan.
  const auto both = Scan({5, 8});
  EXPECT_EQ(both.size(), 3u) << testing::Describe(both);
  EXPECT_EQ(both.back().ProblemType, problem::kSoftwareLocations);
  EXPECT_EQ(both.back().Location,
            "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\x.exe\\");
}

TEST_F(ScanSectionTest, HiveWalkDoesNotFollowLinkKeys) {
  Value(HKEY_LOCAL_MACHINE, "Software\\Vendor\\Real", "A", "C:\\Gone\\a.exe");
  ASSERT_TRUE(t.Registry()->CreateLink(HKEY_LOCAL_MACHINE, "Software\\Vendor\\Alias",
                                       "\\Registry\\Machine\\Software\\Vendor\\Real"));
  // A link back up the tree would otherwise never end.
  ASSERT_TRUE(
      t.Registry()->CreateLink(HKEY_LOCAL_MACHINE, "Software\\Vendor\\Real\\Loop", "\\Registry\\Machine\\Software"));
  const auto rows = Scan({5});
  ASSERT_EQ(rows.size(), 1u) << testing::Describe(rows);
  EXPECT_EQ(rows[0].Location, "HKEY_LOCAL_MACHINE\\Software\\Vendor\\Real\\A");
}

TEST_F(ScanSectionTest, FreshMemoryTargetHasNothingToReport) {
  EXPECT_EQ(Scan({3, 4, 5, 6, 7, 8, 12, 13, 14, 16, 17, 18, 19, 20, 21, 22, 24}).size(), 0u);
}

// ---- sections ----------------------------------------------------------------------------

TEST_F(ScanSectionTest, SharedDlls) {
  const char* key = "Software\\Microsoft\\Windows\\CurrentVersion\\SharedDlls";
  t.SetDword(HKEY_LOCAL_MACHINE, key, "C:\\Program Files\\App\\core.dll", 3);
  t.SetDword(HKEY_LOCAL_MACHINE, key, "C:\\Program Files\\App\\app.exe", 0);
  t.SetDword(HKEY_LOCAL_MACHINE, key, "C:\\Program Files\\Gone\\gone.dll", 1);
  t.SetDword(HKEY_LOCAL_MACHINE, key, "A:\\setup\\floppy.dll", 1);
  t.SetDword(HKEY_LOCAL_MACHINE, key, "shared.dll", 0);  // no path, but counted down to nothing
  Value(HKEY_LOCAL_MACHINE, key, "C:\\Program Files\\Gone\\string.dll", "1");
  t.SetValue(HKEY_LOCAL_MACHINE, key, "C:\\Program Files\\Gone\\long.dll", REG_DWORD, Bytes(8, 1));
  const std::string loc = std::string(kHKLM) + key;
  ExpectSameRows(Scan({7}), {Row(problem::kSharedDlls, "C:\\Program Files\\App\\app.exe", loc, K::lkDataValue),
                             Row(problem::kSharedDlls, "C:\\Program Files\\Gone\\gone.dll", loc, K::lkDataValue),
                             Row(problem::kSharedDlls, "A:\\setup\\floppy.dll", loc, K::lkDataValue),
                             Row(problem::kSharedDlls, "shared.dll", loc, K::lkDataValue)});
}

TEST_F(ScanSectionTest, SoftwareLocations) {
  const std::string key = "Software\\Microsoft\\Windows\\CurrentVersion\\App Paths";
  Value(HKEY_LOCAL_MACHINE, key + "\\app.exe", "", "C:\\Program Files\\App\\app.exe");
  Value(HKEY_LOCAL_MACHINE, key + "\\app.exe", "Path", "C:\\Program Files\\App");
  Value(HKEY_LOCAL_MACHINE, key + "\\gone.exe", "", "C:\\Program Files\\Gone\\gone.exe");
  Value(HKEY_LOCAL_MACHINE, key + "\\gone.exe", "Path", "C:\\Program Files\\Gone;");
  const std::string loc = std::string(kHKLM) + key + "\\gone.exe\\";
  ExpectSameRows(Scan({8}),
                 {Row(problem::kSoftwareLocations, "C:\\Program Files\\Gone\\gone.exe", loc, K::lkPathValue),
                  Row(problem::kSoftwareLocations, "C:\\Program Files\\Gone;", loc + "Path", K::lkPathValue)});
}

TEST_F(ScanSectionTest, FontsByNameInTheFontsFolderOrByFullPath) {
  t.WriteFile("C:\\windows\\Fonts\\Sample.TTF", "font");
  const std::string nt = "Software\\Microsoft\\Windows NT\\CurrentVersion\\Fonts";
  Value(HKEY_LOCAL_MACHINE, nt, "Sample (TrueType)", "sample.ttf");
  Value(HKEY_LOCAL_MACHINE, nt, "Named Only (TrueType)", "notthere.ttf");
  Value(HKEY_LOCAL_MACHINE, nt, "Full (TrueType)", "C:\\Program Files\\Gone\\full.ttf");
  Value(HKEY_LOCAL_MACHINE, nt, "Floppy", "A:\\font.ttf");
  Value(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\Fonts", "Other", "C:\\Gone\\9x.ttf");
  ExpectSameRows(Scan({12}), {Row(problem::kFonts, "C:\\Program Files\\Gone\\full.ttf",
                                  std::string(kHKLM) + nt + "\\Full (TrueType)", K::lkPathValue),
                              Row(problem::kFonts, "A:\\font.ttf", std::string(kHKLM) + nt + "\\Floppy", K::lkPathValue)});
  // The 9x family keeps its fonts under Windows\CurrentVersion.
  Value(HKEY_CURRENT_USER, "Software\\Wine", "Version", "win98");
  t.Refresh();
  ExpectSameRows(Scan({12}), {Row(problem::kFonts, "C:\\Gone\\9x.ttf",
                                  std::string(kHKLM) + "Software\\Microsoft\\Windows\\CurrentVersion\\Fonts\\Other",
                                  K::lkPathValue)});
}

TEST_F(ScanSectionTest, HelpFilesJoinFolderAndName) {
  const std::string help = "Software\\Microsoft\\Windows\\Help";
  const std::string html = "Software\\Microsoft\\Windows\\Html Help";
  Value(HKEY_LOCAL_MACHINE, help, "app.hlp", "C:\\Program Files\\App");
  Value(HKEY_LOCAL_MACHINE, help, "gone.hlp", "C:\\Program Files\\App\\");
  Value(HKEY_LOCAL_MACHINE, help, "C:\\Gone\\full.hlp", "");
  Value(HKEY_LOCAL_MACHINE, help, "nopath.hlp", "");
  Value(HKEY_LOCAL_MACHINE, html, "gone.chm", "C:\\Gone");
  ExpectSameRows(Scan({13}),
                 {Row(problem::kHelpFiles, "C:\\Program Files\\App\\gone.hlp", std::string(kHKLM) + help + "\\gone.hlp",
                      K::lkPathValue),
                  Row(problem::kHelpFiles, "C:\\Gone\\full.hlp", std::string(kHKLM) + help, K::lkDataValue),
                  Row(problem::kHelpFiles, "C:\\Gone\\gone.chm", std::string(kHKLM) + html + "\\gone.chm",
                      K::lkPathValue)});
}

TEST_F(ScanSectionTest, StartupProgramsAndMsconfigEntries) {
  const std::string run = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
  const std::string runOnce = "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
  Value(HKEY_CURRENT_USER, run, "Ok", "\"C:\\Program Files\\App\\app.exe\" /tray");
  Value(HKEY_CURRENT_USER, run, "Empty", "");
  Value(HKEY_CURRENT_USER, run, "Quotes", "\"\"");
  t.SetDword(HKEY_CURRENT_USER, run, "Number", 1);
  Value(HKEY_CURRENT_USER, runOnce, "Once", "C:\\Gone\\once.exe");
  Value(HKEY_LOCAL_MACHINE, run, "Gone", "C:\\Gone\\gone.exe -x");
  Value(HKEY_LOCAL_MACHINE, run, "NoPath", "rundll32.exe x.dll,Entry");
  const std::string reg = "Software\\Microsoft\\Shared Tools\\MSConfig\\startupreg";
  Value(HKEY_LOCAL_MACHINE, reg + "\\Gone", "command", "C:\\Gone\\off.exe");
  Value(HKEY_LOCAL_MACHINE, reg + "\\Ok", "command", "C:\\Program Files\\App\\app.exe");
  t.SetDword(HKEY_LOCAL_MACHINE, reg + "\\Odd", "command", 1);
  const auto rows = Scan({14});
  ExpectSameRows(rows, {Row(problem::kStartup, "", std::string(kHKCU) + run + "\\Empty", K::lkPathValue),
                        Row(problem::kStartup, "\"\"", std::string(kHKCU) + run + "\\Quotes", K::lkPathValue),
                        Row(problem::kStartup, "C:\\Gone\\once.exe", std::string(kHKCU) + runOnce + "\\Once",
                            K::lkPathValue),
                        Row(problem::kStartup, "C:\\Gone\\gone.exe -x", std::string(kHKLM) + run + "\\Gone",
                            K::lkPathValue),
                        Row(problem::kStartup, "C:\\Gone\\off.exe", std::string(kHKLM) + reg + "\\Gone", K::lkKey)});
  // The keys in their order: user Run, user RunOnce, machine Run, then startupreg.
  EXPECT_EQ(rows[2].Data, "C:\\Gone\\once.exe");
  EXPECT_EQ(rows.back().LocationKind, K::lkKey);
}

TEST_F(ScanSectionTest, CustomControlsDefaultValuesUnlessTheMachineWalkRuns) {
  Value(HKEY_CLASSES_ROOT, "CLSID\\{A}\\InprocServer32", "", "C:\\Gone\\a.dll");
  Value(HKEY_CLASSES_ROOT, "CLSID\\{A}\\InprocServer32", "Other", "C:\\Gone\\other.dll");
  Value(HKEY_CLASSES_ROOT, "CLSID\\{B}\\InprocServer32", "", "C:\\Program Files\\App\\core.dll");
  Value(HKEY_CLASSES_ROOT, "CLSID\\{C}\\LocalServer32", "", "\"C:\\Gone\\c.exe\" /automation");
  Value(HKEY_CLASSES_ROOT, "CLSID\\{D}", "", "A friendly name");
  ExpectSameRows(Scan({16}),
                 {Row(problem::kCustomControls, "C:\\Gone\\a.dll", "HKEY_CLASSES_ROOT\\CLSID\\{A}\\InprocServer32",
                      K::lkKey),
                  Row(problem::kCustomControls, "\"C:\\Gone\\c.exe\" /automation",
                      "HKEY_CLASSES_ROOT\\CLSID\\{C}\\LocalServer32", K::lkKey)});
  // With the machine walk selected this step is left to it.
  for (const TScanResult& r : Scan({5, 16})) EXPECT_NE(r.ProblemType, problem::kCustomControls);
}

TEST_F(ScanSectionTest, ServiceImagePaths) {
  const std::string s = "SYSTEM\\CurrentControlSet\\Services";
  Value(HKEY_LOCAL_MACHINE, s + "\\Gone", "ImagePath", "C:\\Gone\\svc.exe -service");
  Value(HKEY_LOCAL_MACHINE, s + "\\Ok", "ImagePath", "\"C:\\Program Files\\App\\app.exe\"");
  Value(HKEY_LOCAL_MACHINE, s + "\\Folder", "ImagePath", "C:\\Program Files\\App");
  Value(HKEY_LOCAL_MACHINE, s + "\\Driver", "ImagePath", "system32\\drivers\\gone.sys");
  Value(HKEY_LOCAL_MACHINE, s + "\\slsvc", "ImagePath", "C:\\Gone\\slsvc.exe");
  t.SetDword(HKEY_LOCAL_MACHINE, s + "\\Number", "ImagePath", 1);
  ExpectSameRows(Scan({17}), {Row(problem::kService, "C:\\Gone\\svc.exe -service",
                                  std::string(kHKLM) + s + "\\Gone\\ImagePath", K::lkPathValue)});
}

TEST_F(ScanSectionTest, ShortcutsInTheSixFolders) {
  auto link = [&](const std::string& file, const std::string& target) {
    LinkWriter w;
    w.hasLinkInfo = true;
    w.localBasePath = target;
    const auto d = w.Build();
    t.WriteFile(file, std::string(d.begin(), d.end()));
  };
  const std::string desktop = *t.ShellFolder("Desktop");
  const std::string common = *t.ShellFolder("Common Start Menu");
  const std::string recent = *t.ShellFolder("Recent");
  link(desktop + "\\ok.lnk", "C:\\Program Files\\App\\app.exe");
  link(desktop + "\\folder.lnk", "C:\\Program Files\\App");
  link(desktop + "\\gone.LNK", "C:\\Gone\\gone.exe");
  link(desktop + "\\gone.txt", "C:\\Gone\\not a shortcut.exe");
  link(desktop + "\\unc.lnk", "\\\\server\\share\\x.exe");
  link(desktop + "\\floppy.lnk", "A:\\setup.exe");
  t.WriteFile(desktop + "\\broken.lnk", "not a shortcut");
  link(common + "\\Programs\\App\\deep.lnk", "C:\\Gone\\deep.exe");
  // Recent lies inside Application Data: found by both walks, reported once.
  link(recent + "\\doc.lnk", "C:\\Gone\\doc.txt");

  const auto rows = Scan({18});
  ExpectSameRows(rows, {Row(problem::kShortcut, "C:\\Gone\\gone.exe", desktop + "\\gone.LNK", K::lkShortcutFile),
                        Row(problem::kShortcut, "A:\\setup.exe", desktop + "\\floppy.lnk", K::lkShortcutFile),
                        Row(problem::kShortcut, "C:\\Gone\\deep.exe", common + "\\Programs\\App\\deep.lnk",
                            K::lkShortcutFile),
                        Row(problem::kShortcut, "C:\\Gone\\doc.txt", recent + "\\doc.lnk", K::lkShortcutFile)});
  // The common Start Menu comes first.
  EXPECT_EQ(rows.front().Data, "C:\\Gone\\deep.exe");

  // Removable drives ignored: only fixed drives are checked.
  const auto fixedOnly = RunScan(t, {18}, true);
  EXPECT_EQ(fixedOnly.size(), 3u) << testing::Describe(fixedOnly);
}

// A Desktop that links out of the Windows system (into the Linux home, as Wine makes it) is
// read at its top level only: the home folder's own tree is not walked.
TEST_F(ScanSectionTest, ShortcutFolderOutsideTheSystemIsReadAtItsTopLevelOnly) {
  const fs::path home = fs::temp_directory_path() / ("kestrove-home-" + std::to_string(::getpid()));
  fs::remove_all(home);
  fs::create_directories(home / ".rustup" / "toolchains");
  auto link = [](const fs::path& file, const std::string& target) {
    LinkWriter w;
    w.hasLinkInfo = true;
    w.localBasePath = target;
    const auto d = w.Build();
    std::ofstream(file, std::ios::binary) << std::string(d.begin(), d.end());
  };
  link(home / "top.lnk", "C:\\Gone\\top.exe");
  link(home / ".rustup" / "toolchains" / "deep.lnk", "C:\\Gone\\deep.exe");
  const std::string desktop = *t.ShellFolder("Desktop");
  const fs::path host = *t.HostPath(desktop);
  fs::remove_all(host);
  fs::create_directory_symlink(home, host);
  const auto rows = Scan({18});
  fs::remove_all(home);
  ExpectSameRows(rows, {Row(problem::kShortcut, "C:\\Gone\\top.exe", desktop + "\\top.lnk", K::lkShortcutFile)});
}

TEST_F(ScanSectionTest, SoundSchemesCurrentAndDefaultOnly) {
  const std::string apps = "AppEvents\\Schemes\\Apps";
  Value(HKEY_CURRENT_USER, apps + "\\.Default\\SystemHand\\.Current", "", "C:\\windows\\media\\ding.wav");
  Value(HKEY_CURRENT_USER, apps + "\\.Default\\SystemHand\\.Default", "", "C:\\windows\\media\\gone.wav");
  Value(HKEY_CURRENT_USER, apps + "\\App\\Open\\.CURRENT", "", "C:\\Gone\\open.wav");
  Value(HKEY_CURRENT_USER, apps + "\\App\\Open\\.Modified", "", "C:\\Gone\\modified.wav");
  Value(HKEY_CURRENT_USER, apps + "\\App\\Open\\.Modified\\.Current", "", "C:\\Gone\\below.wav");
  Value(HKEY_CURRENT_USER, apps + "\\App\\Open\\Utopia0", "", "C:\\Gone\\utopia.wav");
  Value(HKEY_CURRENT_USER, apps + "\\App\\Open\\.Current", "Other", "C:\\Gone\\named.wav");
  Value(HKEY_CURRENT_USER, apps + "\\App\\Close\\.Current", "", "ding.wav");
  const std::string loc = std::string(kHKCU) + apps;
  ExpectSameRows(
      Scan({19}),
      {Row(problem::kSoundFile, "C:\\windows\\media\\gone.wav", loc + "\\.Default\\SystemHand\\.Default",
           K::lkDefaultValue),
       Row(problem::kSoundFile, "C:\\Gone\\open.wav", loc + "\\App\\Open\\.CURRENT", K::lkDefaultValue),
       Row(problem::kSoundFile, "C:\\Gone\\below.wav", loc + "\\App\\Open\\.Modified\\.Current", K::lkDefaultValue),
       Row(problem::kSoundFile, "C:\\Gone\\utopia.wav", loc + "\\App\\Open\\Utopia0", K::lkDefaultValue)});
}

TEST_F(ScanSectionTest, ActiveXTypeLibrariesCutAfterTheDll) {
  const std::string lib = "TypeLib\\{T}\\1.0\\0";
  Value(HKEY_CLASSES_ROOT, lib + "\\win32", "", "C:\\Gone\\lib.dll\\3");
  Value(HKEY_CLASSES_ROOT, lib + "\\win64", "", "C:\\Program Files\\App\\core.dll\\2");
  Value(HKEY_CLASSES_ROOT, lib + "\\win16", "", "C:\\Gone\\lib.tlb");
  ExpectSameRows(Scan({20}), {Row(problem::kActiveX, "C:\\Gone\\lib.dll\\3",
                                  "HKEY_CLASSES_ROOT\\" + lib + "\\win32\\", K::lkPathValue)});
  for (const TScanResult& r : Scan({5, 20})) EXPECT_NE(r.ProblemType, problem::kActiveX);
}

TEST_F(ScanSectionTest, InstallerUninstallProgramsAndFolders) {
  const std::string u = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
  Value(HKEY_LOCAL_MACHINE, u + "\\Gone", "UninstallString", "C:\\Gone\\uninst.exe /x {0}");
  Value(HKEY_LOCAL_MACHINE, u + "\\Gone", "DisplayName", "Gone 1.0");
  Value(HKEY_LOCAL_MACHINE, u + "\\Gone", "InstallLocation", "C:\\Gone");
  Value(HKEY_LOCAL_MACHINE, u + "\\App", "UninstallString", "\"C:\\Program Files\\App\\app.exe\" /uninstall");
  Value(HKEY_LOCAL_MACHINE, u + "\\Msi", "UninstallString", "MsiExec.exe /X{1}");
  const std::string f = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\Folders";
  Value(HKEY_LOCAL_MACHINE, f, "C:\\Program Files\\App\\", "");
  Value(HKEY_LOCAL_MACHINE, f, "C:\\Gone\\", "");
  t.SetDword(HKEY_LOCAL_MACHINE, f, "C:\\Gone\\Sub\\", 1);
  ExpectSameRows(Scan({21}),
                 {Row(problem::kInstaller, "C:\\Gone\\uninst.exe /x {0}",
                      std::string(kHKLM) + u + "\\Gone\\UninstallString", K::lkPathValue),
                  Row(problem::kInstaller, "C:\\Gone\\", std::string(kHKLM) + f, K::lkDataValue),
                  Row(problem::kInstaller, "C:\\Gone\\Sub\\", std::string(kHKLM) + f, K::lkDataValue)});
}

TEST_F(ScanSectionTest, ApplicationsCommandsInSearchOrder) {
  const std::string a = "Software\\Classes\\Applications";
  Value(HKEY_LOCAL_MACHINE, a + "\\app.exe\\shell\\open\\command", "", "\"C:\\Program Files\\App\\app.exe\" \"%1\"");
  Value(HKEY_LOCAL_MACHINE, a + "\\gone.exe\\shell\\open\\command", "", "\"C:\\Gone\\gone.exe\" \"%1\"");
  Value(HKEY_LOCAL_MACHINE, a + "\\gone.exe\\shell\\print\\command", "", "");
  t.CreateKey(HKEY_LOCAL_MACHINE, a + "\\gone.exe\\shell\\edit\\command");  // no default value: empty
  t.SetDword(HKEY_LOCAL_MACHINE, a + "\\gone.exe\\shell\\play\\command", "", 1);  // not a text: skipped
  Value(HKEY_LOCAL_MACHINE, a + "\\gone.exe\\shell\\view\\command", "", "C:\\Gone\\view.exe");
  const auto rows = Scan({22});
  const std::string loc = std::string(kHKLM) + a + "\\gone.exe\\shell\\";
  // Keys are taken in the order the registry lists them.
  EXPECT_EQ(rows, (std::vector<TScanResult>{
                      Row(problem::kOpenWith, "", loc + "edit\\command", K::lkKey),
                      Row(problem::kOpenWith, "\"C:\\Gone\\gone.exe\" \"%1\"", loc + "open\\command", K::lkKey),
                      Row(problem::kOpenWith, "", loc + "print\\command", K::lkKey),
                      Row(problem::kOpenWith, "C:\\Gone\\view.exe", loc + "view\\command", K::lkKey)}))
      << testing::Describe(rows);
}

TEST_F(ScanSectionTest, FindNextCommandKeyResumesAfterTheLastFound) {
  const std::string a = "Software\\Classes\\Applications\\x.exe";
  Value(HKEY_LOCAL_MACHINE, a + "\\shell\\open\\command", "", "one");
  Value(HKEY_LOCAL_MACHINE, a + "\\shell\\open\\more\\command", "", "hidden");  // below a command's owner
  Value(HKEY_LOCAL_MACHINE, a + "\\shell\\edit\\command", "", "two");
  testing::RecordingEvents events;
  TScanTaskThread worker(t, events, false);
  std::string last;
  auto first = worker.FindNextCommandKey(a, last);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->first, a + "\\shell\\edit");
  EXPECT_EQ(first->second, "two");
  last = first->first;
  auto second = worker.FindNextCommandKey(a, last);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->first, a + "\\shell\\open");
  EXPECT_EQ(second->second, "one");
  EXPECT_TRUE(last.empty());
  last = second->first;
  // The command key's owner is searched no further: "more" is looked for as shell\open\more
  // only through the names below "command".
  EXPECT_FALSE(worker.FindNextCommandKey(a, last));
  EXPECT_FALSE(worker.FindNextCommandKey(a + "\\nothing", last));
}

TEST_F(ScanSectionTest, MruListsAndUserAssist) {
  const std::string mru = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\ComDlg32\\OpenSaveMRU";
  t.WriteFile("C:\\docs\\plan.txt", "x");
  t.WriteFile("C:\\docs\\full.doc", "x");
  t.CreateKey(HKEY_CURRENT_USER, mru + "\\*");
  Value(HKEY_CURRENT_USER, mru + "\\txt", "a", "C:\\docs\\plan.txt");
  Value(HKEY_CURRENT_USER, mru + "\\txt", "b", "C:\\docs\\gone.txt");
  Value(HKEY_CURRENT_USER, mru + "\\txt", "MRUList", "ab");
  Value(HKEY_CURRENT_USER, mru, "a", "C:\\docs\\plan");       // found as plan.txt
  Value(HKEY_CURRENT_USER, mru, "b", "C:\\docs\\full.doc");   // found as it is
  Value(HKEY_CURRENT_USER, mru, "c", "C:\\docs\\gone");       // neither
  Value(HKEY_CURRENT_USER, mru, "d", "docs\\relative");       // no drive path: skipped
  Value(HKEY_CURRENT_USER, mru, "MRUList", "abcd");

  const std::string count =
      "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\UserAssist\\{75048700-EF1F-11D0-9888-006097DEACF9}\\Count";
  auto assist = [&](const std::string& name, std::uint32_t runs, std::size_t size = 16) {
    Bytes data(size, 0);
    for (int i = 0; i < 4 && 4 + i < static_cast<int>(size); ++i) data[4 + i] = static_cast<std::uint8_t>(runs >> (8 * i));
    t.SetValue(HKEY_CURRENT_USER, count, ROT13(name), REG_BINARY, data);
  };
  assist("UEME_RUNPATH:C:\\Program Files\\App\\app.exe", 4);
  assist("UEME_RUNPATH:C:\\Gone\\gone.exe", 2);
  assist("UEME_RUNPATH:C:\\Program Files\\App", 1);               // a folder counts as found
  assist("UEME_RUNPIDL:%csidl2%\\App.lnk", 0);                    // counter 0, no path test
  assist("UEME_RUNPIDL:C:\\Gone\\shortcut.lnk", 3);               // ".lnk": no path test
  assist("UEME_CTLSESSION", 0, 4);                                // too short for a counter
  assist("UEME_CTLCUACount:ctor", 1);

  ExpectSameRows(
      Scan({24}),
      {Row(problem::kMruLists, "C:\\docs\\gone.txt", std::string(kHKCU) + mru + "\\txt\\b", K::lkPathValue),
       Row(problem::kMruLists, "C:\\docs\\gone", std::string(kHKCU) + mru + "\\c", K::lkPathValue),
       Row(problem::kMruLists, "UEME_RUNPATH:C:\\Gone\\gone.exe", std::string(kHKCU) + count, K::lkEncodedDataValue),
       Row(problem::kMruLists, "UEME_RUNPIDL:%csidl2%\\App.lnk", std::string(kHKCU) + count,
           K::lkEncodedDataValue)});
}

TEST_F(ScanSectionTest, KeySectionsOnAPlainTargetFindNothingButShowTheirCaption) {
  Value(HKEY_CURRENT_USER, "Software\\Empty\\Key", "x", "");
  testing::RecordingEvents events;
  EXPECT_TRUE(RunScan(t, {9, 10, 11, 15, 23, 25, 1, 2, 99, 0}, false, &events).empty());
  EXPECT_EQ(std::count(events.calls.begin(), events.calls.end(), "title:Scanning: Empty Registry Keys"), 1);
  EXPECT_EQ(std::count(events.calls.begin(), events.calls.end(), "step"), 10);
}

}  // namespace
}  // namespace kestrove
