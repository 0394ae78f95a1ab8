#include <gtest/gtest.h>

#include <filesystem>

#include "platform/memory/MemoryTarget.h"
#include "regscan/PathRules.h"

namespace kestrove {
namespace {

namespace fs = std::filesystem;
using memory::MemoryTarget;

class PathRuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    t.WriteFile("C:\\windows\\notepad.exe", "MZ");
    t.WriteFile("C:\\windows\\system32\\shell32.dll", "MZ");
    t.WriteFile("C:\\Program Files\\App\\app.exe", "MZ");
    t.WriteFile("C:\\Program Files\\App\\uninst.exe", "MZ");
    t.WriteFile("C:\\Program Files\\Tools\\run.bat", "@echo off");
    t.WriteFile("C:\\Program Files\\Tools\\old.com", "MZ");
    t.MakeFolder("C:\\Program Files\\Empty");
  }

  // Rules as a scan of every drive letter with removable media not ignored.
  TPathRules& Rules(TPathRuleSettings s = Default()) {
    probe = std::make_unique<TFileProbe>(t);
    rules = std::make_unique<TPathRules>(t, *probe, std::move(s));
    return *rules;
  }
  static TPathRuleSettings Default() {
    TPathRuleSettings s;
    s.ScanDrives = "abcdefghijklmnopqrstuvwxyz";
    return s;
  }
  bool Missing(const std::string& p, const std::string& s = "", bool dirOK = false) {
    if (!rules) Rules();
    return rules->IsMissingPath(p, s, dirOK);
  }

  MemoryTarget t;
  std::unique_ptr<TFileProbe> probe;
  std::unique_ptr<TPathRules> rules;
};

TEST_F(PathRuleTest, TextsThatNameNoLocalPathAreNotReported) {
  EXPECT_FALSE(Missing(""));
  EXPECT_FALSE(Missing("\""));
  EXPECT_FALSE(Missing("\"\""));
  EXPECT_FALSE(Missing("rundll32.exe shell32.dll,Control_RunDLL"));
  EXPECT_FALSE(Missing("notepad.exe"));
  EXPECT_FALSE(Missing("\\\\server\\share\\gone.exe"));
  EXPECT_FALSE(Missing("C:gone.exe"));
  EXPECT_FALSE(Missing("1C:\\gone.exe"));
  // "\hp" anywhere, in any case, keeps a text out of the report.
  EXPECT_FALSE(Missing("C:\\Program Files\\HP\\gone.exe"));
  EXPECT_FALSE(Missing("C:\\gone\\hpscan.exe"));
}

TEST_F(PathRuleTest, LongPathPrefixNamesThePathAfterIt) {
  EXPECT_FALSE(Missing("\\\\?\\C:\\windows\\system32\\shell32.dll"));
  EXPECT_TRUE(Missing("\\\\?\\C:\\Program Files\\Gone\\gone.tlb"));
}

TEST_F(PathRuleTest, CommandLinesWhoseProgramExistsAreNotReported) {
  EXPECT_FALSE(Missing("C:\\Windows\\notepad.exe %1"));
  EXPECT_FALSE(Missing("c:\\WINDOWS\\NOTEPAD.EXE"));
  EXPECT_FALSE(Missing("C:\\Windows\\notepad.exe,1"));
  EXPECT_FALSE(Missing("C:\\Windows\\notepad.exe /p C:\\docs\\x.txt"));
  // The arguments hold backslashes, so the folder part names no folder: the program is
  // found at the front of the command line.
  EXPECT_FALSE(Missing("C:\\Windows\\notepad.exe /p docs\\x.txt"));
  EXPECT_FALSE(Missing("C:\\Windows\\notepad /p docs\\x.txt"));
  EXPECT_TRUE(Missing("C:\\Windows\\wordpad.exe %1"));
  EXPECT_TRUE(Missing("C:\\Windows\\wordpad.exe /p docs\\x.txt"));
}

TEST_F(PathRuleTest, ProgramExtensionsAreTriedOnNamesWithout) {
  EXPECT_FALSE(Missing("C:\\Program Files\\App\\app"));
  EXPECT_FALSE(Missing("C:\\Program Files\\App\\app -min"));
  EXPECT_FALSE(Missing("C:\\Program Files\\Tools\\run"));
  EXPECT_FALSE(Missing("C:\\Program Files\\Tools\\old arg"));
  EXPECT_TRUE(Missing("C:\\Program Files\\Tools\\gone"));
}

TEST_F(PathRuleTest, QuotedProgramIsTestedWithoutItsArguments) {
  EXPECT_FALSE(Missing("\"C:\\Program Files\\App\\app.exe\" -min"));
  EXPECT_FALSE(Missing("\"C:\\Program Files\\App\\app.exe\" \"C:\\other\\gone.txt\""));
  EXPECT_TRUE(Missing("\"C:\\Program Files\\App\\gone.exe\" -min"));
  // An unclosed quote: the rest is the path.
  EXPECT_TRUE(Missing("\"C:\\Program Files\\App\\gone.exe"));
  EXPECT_FALSE(Missing("\"C:\\Program Files\\App\\app.exe"));
}

TEST_F(PathRuleTest, FoldersNeedTheirFlagOrATrailingBackslash) {
  EXPECT_TRUE(Missing("C:\\Missing\\"));
  EXPECT_FALSE(Missing("C:\\Windows\\"));
  EXPECT_FALSE(Missing("C:\\Program Files\\Empty\\"));
  // Without the trailing backslash an existing folder counts only with DirOK.
  EXPECT_TRUE(Missing("C:\\Program Files\\Empty"));
  EXPECT_FALSE(Missing("C:\\Program Files\\Empty", "", true));
  EXPECT_TRUE(Missing("C:\\Program Files\\Gone", "", true));
  // No folder of that name, but the file at its front exists.
  EXPECT_FALSE(Missing("C:\\Windows\\notepad.exe\\"));
  EXPECT_TRUE(Missing("C:\\Windows\\gone.exe\\"));
}

TEST_F(PathRuleTest, TrailingSemicolonsAreStrippedOneByOne) {
  EXPECT_FALSE(Missing("C:\\Program Files\\App\\app.exe;"));
  EXPECT_FALSE(Missing("C:\\Program Files\\App\\app.exe;;;"));
  EXPECT_FALSE(Missing("C:\\Program Files\\App\\app;"));
  EXPECT_TRUE(Missing("C:\\Program Files\\App\\gone.exe;"));
  // A semicolon inside ends a candidate like any separator.
  EXPECT_FALSE(Missing("C:\\Program Files\\App\\app.exe;x"));
}

TEST_F(PathRuleTest, ASecondDrivePathIsAnArgument) {
  EXPECT_FALSE(Missing("C:\\App\\tool.exe C:\\data\\file.txt"));
  EXPECT_FALSE(Missing("C:\\gone.exe D:\\x"));
  EXPECT_TRUE(Missing("C:\\App\\tool.exe D-data"));
}

TEST_F(PathRuleTest, LeadingVariableIsExpandedOnlyToAnExistingFolder) {
  EXPECT_FALSE(Missing("%SystemRoot%\\system32\\shell32.dll"));
  EXPECT_TRUE(Missing("%SystemRoot%\\system32\\x.dll"));
  EXPECT_TRUE(Missing("%windir%\\gone.exe -x"));
  EXPECT_FALSE(Missing("%windir%\\notepad.exe"));
  // Unknown variables, and variables that name a file, leave the "%" in front.
  EXPECT_FALSE(Missing("%NoSuchVariable%\\x.dll"));
  EXPECT_FALSE(Missing("%ComSpec% /c gone.bat"));
  // A variable further on is not expanded: the text is then no drive path.
  EXPECT_FALSE(Missing("C%windir%\\gone.exe"));
  // Only the leading variable is expanded; the rest is taken as written.
  EXPECT_TRUE(Missing("%windir%\\%windir%\\x.exe"));
}

TEST_F(PathRuleTest, PercentSignsWithoutAVariableAreNotReported) {
  EXPECT_FALSE(Missing("%"));
  EXPECT_FALSE(Missing("%%"));
  EXPECT_FALSE(Missing("%%\\gone.exe"));
  // No closing sign: no variable and no drive path at the front.
  EXPECT_FALSE(Missing("%windir\\gone.exe"));
  EXPECT_FALSE(Missing("%C:\\gone.exe"));
}

TEST_F(PathRuleTest, ExpandLeadingVariableKeepsOnlyFolders) {
  TPathRules& r = Rules();
  EXPECT_EQ(r.ExpandLeadingVariable("%windir%"), "C:\\windows");
  EXPECT_EQ(r.ExpandLeadingVariable("%WINDIR%"), "C:\\windows");
  EXPECT_EQ(r.ExpandLeadingVariable("%ComSpec%"), "%ComSpec%");
  EXPECT_EQ(r.ExpandLeadingVariable("%Nope%"), "%Nope%");

  t.SetString(HKEY_CURRENT_USER, "Environment", "PADDED", "  C:\\Program Files\\Empty \t");
  t.SetString(HKEY_CURRENT_USER, "Environment", "HUGE", "C:\\" + std::string(1100, 'x'));
  t.SetString(HKEY_CURRENT_USER, "Environment", "GONE", "C:\\Program Files\\Gone");
  t.Refresh();
  TPathRules& r2 = Rules();
  EXPECT_EQ(r2.ExpandLeadingVariable("%PADDED%"), "C:\\Program Files\\Empty");
  // More than the system's 1024-character buffer holds: the expansion fails.
  EXPECT_EQ(r2.ExpandLeadingVariable("%HUGE%"), "%HUGE%");
  EXPECT_EQ(r2.ExpandLeadingVariable("%GONE%"), "%GONE%");
  EXPECT_FALSE(Missing("%GONE%\\x.exe"));
  EXPECT_TRUE(Missing("%PADDED%\\app.exe"));
}

TEST_F(PathRuleTest, AnchorCutsThePathAfterIt) {
  EXPECT_FALSE(Missing("C:\\Program Files\\App\\uninst.exe /x {0F2B6E1A-77C1-4C3B-9E4A-1D5B2C3A4F60}", ".exe"));
  EXPECT_TRUE(Missing("C:\\Program Files\\App\\gone.exe /x {0F2B6E1A-77C1-4C3B-9E4A-1D5B2C3A4F60}", ".exe"));
  // Any case; the anchor is put back as given.
  EXPECT_FALSE(Missing("C:\\Program Files\\App\\UNINST.EXE,0", ".exe"));
  EXPECT_FALSE(Missing("\"C:\\Program Files\\App\\uninst.exe\" /S", ".exe"));
  // No anchor, no report.
  EXPECT_FALSE(Missing("C:\\Program Files\\Gone\\readme.txt", ".exe"));
  EXPECT_FALSE(Missing("MsiExec.exe /X{0F2B6E1A-77C1-4C3B-9E4A-1D5B2C3A4F60}", ".exe"));
  // The folder exists but the file does not: reported, whatever DirOK says.
  EXPECT_TRUE(Missing("C:\\Program Files\\App\\other.exe", ".exe", false));
  EXPECT_TRUE(Missing("C:\\Program Files\\App\\other.exe", ".exe", true));
  EXPECT_FALSE(Missing("C:\\Windows\\system32\\shell32.dll\\2", ".dll"));
}

TEST_F(PathRuleTest, OnlyDrivesOfTheDriveSetAreChecked) {
  TPathRuleSettings s = Default();
  s.ScanDrives = "c";
  Rules(s);
  EXPECT_FALSE(Missing("E:\\gone.exe"));
  EXPECT_FALSE(Missing("e:\\gone.exe", ".exe"));
  EXPECT_TRUE(Missing("c:\\gone.exe"));
}

TEST_F(PathRuleTest, FloppyWithoutMediaIsMissingWithoutTouchingTheDrive) {
  // Drive A: holds the file, but had no media when the scan began.
  const fs::path floppy = t.Folder() / "floppy";
  t.AddDrive('A', floppy, DRIVE_REMOVABLE);
  t.WriteFile("A:\\setup.exe", "MZ");
  Rules();
  EXPECT_TRUE(Missing("A:\\setup.exe"));
  EXPECT_TRUE(Missing("a:\\setup.exe", ".exe"));
  EXPECT_TRUE(rules->FloppyRule("A:\\anything"));
  EXPECT_EQ(probe->FoldersResolved(), 0u);

  TPathRuleSettings withMedia = Default();
  withMedia.FloppyAHasMedia = true;
  Rules(withMedia);
  EXPECT_FALSE(Missing("A:\\setup.exe"));
  EXPECT_TRUE(Missing("A:\\gone.exe"));
  EXPECT_TRUE(Missing("B:\\setup.exe"));

  // Removable drives ignored: the rule is off and A: is not in the drive set.
  TPathRuleSettings ignored = Default();
  ignored.IncludeRemoveMedia = true;
  ignored.ScanDrives = ComputeScanDrives(t, true);
  Rules(ignored);
  EXPECT_FALSE(rules->FloppyRule("A:\\setup.exe"));
  EXPECT_FALSE(Missing("A:\\gone.exe"));
}

TEST_F(PathRuleTest, DriveSetFollowsTheRemovableMediaSetting) {
  t.AddDrive('D', t.Folder() / "cdrom", DRIVE_CDROM);
  t.AddDrive('E', t.Folder() / "data", DRIVE_FIXED);
  t.AddDrive('Z', "/", DRIVE_REMOTE, false);
  EXPECT_EQ(ComputeScanDrives(t, false), "abcdefghijklmnopqrstuvwxyz");
  EXPECT_EQ(ComputeScanDrives(t, true), "ce");

  TPathRuleSettings s = Default();
  s.IncludeRemoveMedia = true;
  s.ScanDrives = ComputeScanDrives(t, true);
  Rules(s);
  EXPECT_FALSE(Missing("D:\\setup\\gone.exe"));
  EXPECT_FALSE(Missing("Z:\\gone.exe"));
  EXPECT_TRUE(Missing("E:\\gone.exe"));
}

TEST_F(PathRuleTest, FloppyMediaProbe) {
  EXPECT_FALSE(ProbeFloppyMedia(t, 'A'));
  t.AddDrive('A', t.Folder() / "floppy", DRIVE_REMOVABLE);
  EXPECT_TRUE(ProbeFloppyMedia(t, 'A'));
  fs::remove_all(t.Folder() / "floppy");
  EXPECT_FALSE(ProbeFloppyMedia(t, 'A'));
}

TEST_F(PathRuleTest, Wow64LeavesSystemAndProgramFoldersAlone) {
  t.SetString(HKEY_CURRENT_USER, "Environment", "APPS", "C:\\Program Files");
  t.Refresh();
  TPathRuleSettings s = Default();
  s.IsWow64 = true;
  Rules(s);
  EXPECT_FALSE(Missing("C:\\Windows\\System32\\gone.dll"));
  EXPECT_FALSE(Missing("C:\\Program Files\\Gone\\x.exe"));
  EXPECT_FALSE(Missing("C:\\ProgramFiles\\x.exe"));
  // Also when the folder comes from the variable.
  EXPECT_FALSE(Missing("%APPS%\\Gone\\x.exe"));
  Rules();
  EXPECT_TRUE(Missing("%APPS%\\Gone\\x.exe"));
  Rules(s);
  EXPECT_TRUE(Missing("C:\\Windows\\gone.dll"));
}

TEST_F(PathRuleTest, FileProbeMatchesAsTheSystemDoes) {
  TFileProbe p(t);
  using K = TFileProbe::Kind;
  EXPECT_EQ(p.Query("C:\\WINDOWS\\Notepad.Exe"), K::File);
  EXPECT_EQ(p.Query("C:\\windows"), K::Folder);
  EXPECT_EQ(p.Query("C:\\windows\\"), K::Folder);
  EXPECT_EQ(p.Query("C:\\"), K::Folder);
  EXPECT_EQ(p.Query("C:"), K::Folder);
  EXPECT_EQ(p.Query("c:/windows/notepad.exe"), K::File);
  // Trailing dots and blanks of the last name are ignored; inner ones are not.
  EXPECT_EQ(p.Query("C:\\windows\\notepad.exe. "), K::File);
  EXPECT_EQ(p.Query("C:\\windows\\system32\\..\\notepad.exe"), K::File);
  EXPECT_EQ(p.Query("C:\\windows\\notepad.exe\\"), K::Missing);
  EXPECT_EQ(p.Query("C:\\windows\\note*.exe"), K::Missing);
  EXPECT_EQ(p.Query("C:\\windows\\notepad.exe:stream"), K::Missing);
  EXPECT_EQ(p.Query("C:\\gone\\notepad.exe"), K::Missing);
  EXPECT_EQ(p.Query("Q:\\x"), K::Missing);
  EXPECT_EQ(p.Query("windows\\notepad.exe"), K::Missing);
  // Links are followed; a dangling one names nothing.
  fs::create_symlink(t.DriveC() / "windows" / "notepad.exe", t.DriveC() / "windows" / "edit.exe");
  fs::create_symlink(t.DriveC() / "nowhere", t.DriveC() / "windows" / "dangling.exe");
  TFileProbe fresh(t);
  EXPECT_EQ(fresh.Query("C:\\windows\\EDIT.EXE"), K::File);
  EXPECT_EQ(fresh.Query("C:\\windows\\dangling.exe"), K::Missing);
}

TEST_F(PathRuleTest, EachDistinctPathAndFolderIsCheckedOncePerScan) {
  TPathRules& r = Rules();
  EXPECT_TRUE(r.IsMissingPath("C:\\Program Files\\App\\gone.exe", "", false));
  const std::size_t resolved = probe->FoldersResolved();
  const std::size_t listed = probe->FoldersListed();
  // The file appears after the first answer: within the scan the answer stands.
  t.WriteFile("C:\\Program Files\\App\\gone.exe", "MZ");
  EXPECT_TRUE(r.IsMissingPath("C:\\Program Files\\App\\gone.exe", "", false));
  EXPECT_EQ(r.CacheHits(), 1u);
  // Other paths in the same folders reuse their listing.
  EXPECT_FALSE(r.IsMissingPath("C:\\Program Files\\App\\app.exe -x", "", false));
  EXPECT_TRUE(r.IsMissingPath("C:\\Program Files\\App\\other.exe", "", false));
  EXPECT_EQ(probe->FoldersListed(), listed);
  EXPECT_EQ(probe->FoldersResolved(), resolved);
  // The anchor and the folder flag are part of what is asked.
  EXPECT_TRUE(r.IsMissingPath("C:\\Program Files\\App\\gone.exe", ".exe", false));
  EXPECT_EQ(r.CacheHits(), 1u);
  // Many answers, asked twice: the second time each comes from the cache, unchanged.
  for (int i = 0; i < 3000; i += 2) t.WriteFile("C:\\Many\\f" + std::to_string(i) + ".dll", "M");
  std::vector<bool> first;
  for (int i = 0; i < 3000; ++i) first.push_back(r.IsMissingPath("C:\\Many\\f" + std::to_string(i) + ".dll", "", false));
  const std::size_t hits = r.CacheHits();
  for (int i = 0; i < 3000; ++i) {
    EXPECT_EQ(first[std::size_t(i)], i % 2 == 1) << i;
    EXPECT_EQ(r.IsMissingPath("C:\\Many\\f" + std::to_string(i) + ".dll", "", false), first[std::size_t(i)]) << i;
  }
  EXPECT_EQ(r.CacheHits(), hits + 3000);
}

}  // namespace
}  // namespace kestrove
