// The scan over the sample prefix: it holds an installed application whose references are
// all sound and a removed one whose references are all broken; the scan must report
// exactly the broken ones.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <set>

#include "ScanTestSupport.h"
#include "platform/TargetSystem.h"
#include "platform/wine/WineSample.h"
#include "platform/wine/WineSampleRegScan.h"

namespace kestrove {
namespace {

namespace fs = std::filesystem;
using testing::Row;
using K = TLocationKind;

const std::string kp = wine::kSampleInstalledApp;
const std::string ot = wine::kSampleRemovedApp;
const std::string HKLM = "HKEY_LOCAL_MACHINE\\";
const std::string HKCU = "HKEY_CURRENT_USER\\";

class RegScanSample : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string pattern = (fs::temp_directory_path() / "kestrove-regscan-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) return;
    dir_ = pattern;
    wine::WriteSamplePrefix(dir_ / "prefix", fs::path(KESTROVE_SOURCE_DIR) / "data" / "sample");
    target_ = OpenTarget(TargetChoice{dir_ / "prefix", "--root"}).release();
  }
  static void TearDownTestSuite() {
    delete target_;
    target_ = nullptr;
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
  }
  void SetUp() override { ASSERT_NE(target_, nullptr); }

  std::vector<TScanResult> Scan(std::vector<int> codes) { return testing::RunScan(*target_, codes); }

  std::string Docs() { return *target_->ShellFolder("Personal"); }

  // Whether the path a row names is really gone: the text as a command line is tried the
  // simple way, by every prefix that ends before a blank, comma or quote.
  bool NamesSomethingThatExists(const TScanResult& r) {
    std::string text = r.Data;
    if (r.LocationKind == K::lkEncodedDataValue) {
      const auto colon = text.find(':');
      if (colon == std::string::npos) return false;
      text = text.substr(colon + 1);
    }
    if (!text.empty() && text[0] == '"') text = text.substr(1, text.find('"', 1) - 1);
    text = target_->ExpandEnvironmentStrings(text);
    for (std::size_t n = 1; n <= text.size(); ++n) {
      if (n < text.size() && text[n] != ' ' && text[n] != ',' && text[n] != '"') continue;
      auto host = target_->HostPath(text.substr(0, n));
      std::error_code ec;
      if (host && text.substr(0, n).find(":\\") == 1 && fs::is_regular_file(*host, ec)) return true;
    }
    return false;
  }

  // Every row is about something gone, and every expected row is there.
  void ExpectReportsTheBrokenOnes(const std::vector<TScanResult>& rows, const std::vector<TScanResult>& expected) {
    for (const TScanResult& r : rows) {
      EXPECT_FALSE(NamesSomethingThatExists(r)) << "reported, yet there: " << SaveAsTextLine(r);
      for (const std::string& healthy : {kp + "\\kpaint.exe", kp + "\\kptray.exe", kp + "\\kpsvc.exe",
                                         kp + "\\kpcore.dll", kp + "\\kpshell.dll", kp + "\\uninstall.exe"}) {
        EXPECT_EQ(r.Data.find(healthy), std::string::npos) << SaveAsTextLine(r);
      }
    }
    for (const TScanResult& e : expected) {
      EXPECT_NE(std::find(rows.begin(), rows.end(), e), rows.end()) << "not reported: " << SaveAsTextLine(e);
    }
  }

  static fs::path dir_;
  static TargetSystem* target_;
};

fs::path RegScanSample::dir_;
TargetSystem* RegScanSample::target_ = nullptr;

TEST_F(RegScanSample, SharedDllsSoftwareLocationsHelpAndServices) {
  const std::string shared = HKLM + "Software\\Microsoft\\Windows\\CurrentVersion\\SharedDlls";
  testing::ExpectSameRows(Scan({7}), {Row(problem::kSharedDlls, ot + "\\trackhook.dll", shared, K::lkDataValue),
                                      Row(problem::kSharedDlls, kp + "\\kpfilter.dll", shared, K::lkDataValue)});
  const std::string paths = HKLM + "Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\tracker.exe\\";
  testing::ExpectSameRows(Scan({8}), {Row(problem::kSoftwareLocations, ot + "\\tracker.exe", paths, K::lkPathValue),
                                      Row(problem::kSoftwareLocations, ot, paths + "Path", K::lkPathValue)});
  testing::ExpectSameRows(
      Scan({13}), {Row(problem::kHelpFiles, ot + "\\tracker.hlp", HKLM + "Software\\Microsoft\\Windows\\Help\\tracker.hlp",
                       K::lkPathValue),
                   Row(problem::kHelpFiles, ot + "\\Help\\tracker.chm",
                       HKLM + "Software\\Microsoft\\Windows\\Html Help\\tracker.chm", K::lkPathValue)});
  testing::ExpectSameRows(Scan({17}), {Row(problem::kService, ot + "\\trsvc.exe -service",
                                           HKLM + "SYSTEM\\CurrentControlSet\\Services\\OldTrackerSvc\\ImagePath",
                                           K::lkPathValue)});
}

TEST_F(RegScanSample, FontsOnlyTheMissingOnes) {
  // Wine names the host's own fonts through Z:; those missing on this machine are reported too.
  std::vector<TScanResult> rows;
  for (const TScanResult& r : Scan({12})) {
    if (r.Data.rfind("Z:\\", 0) == 0) {
      EXPECT_FALSE(NamesSomethingThatExists(r)) << r.Data;
      continue;
    }
    rows.push_back(r);
  }
  testing::ExpectSameRows(rows, {Row(problem::kFonts, ot + "\\trsym.ttf",
                                     HKLM + "Software\\Microsoft\\Windows NT\\CurrentVersion\\Fonts\\Tracker Symbols (TrueType)",
                                     K::lkPathValue)});
}

TEST_F(RegScanSample, StartupPrograms) {
  const std::string run = "Software\\Microsoft\\Windows\\CurrentVersion\\Run\\";
  testing::ExpectSameRows(
      Scan({14}),
      {Row(problem::kStartup, "", HKCU + run + "Leftover", K::lkPathValue),
       Row(problem::kStartup, ot + "\\tracker.exe /background", HKCU + run + "OldTracker", K::lkPathValue),
       Row(problem::kStartup, "\"\"", HKCU + run + "QuotedNothing", K::lkPathValue),
       Row(problem::kStartup, "\"" + ot + "\\update.exe\" /check", HKLM + run + "TrackerUpdate", K::lkPathValue),
       Row(problem::kStartup, ot + "\\tracker.exe",
           HKLM + "Software\\Microsoft\\Shared Tools\\MSConfig\\startupreg\\OldTracker", K::lkKey)});
}

TEST_F(RegScanSample, ComServersTypeLibrariesInstallerAndApplications) {
  // Wine's own servers and type libraries are all in place in the sample.
  testing::ExpectSameRows(Scan({16}), {Row(problem::kCustomControls, ot + "\\trackext.dll",
                                           "HKEY_CLASSES_ROOT\\CLSID\\{6F1C3A52-0E7B-4D39-9C41-7A2B5E8D0F13}\\InprocServer32",
                                           K::lkKey)});
  const auto activeX = Scan({20});
  ASSERT_EQ(activeX.size(), 1u) << testing::Describe(activeX);
  EXPECT_EQ(activeX[0].Data, ot + "\\trackext.dll");
  EXPECT_EQ(activeX[0].ProblemType, problem::kActiveX);

  const std::string uninstall = HKLM + "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\OldTracker\\";
  testing::ExpectSameRows(
      Scan({21}),
      {Row(problem::kInstaller, ot + "\\uninst.exe /x {6F1C3A52-0E7B-4D39-9C41-7A2B5E8D0F15}", uninstall + "UninstallString",
           K::lkPathValue),
       Row(problem::kInstaller, ot + "\\tracker.exe,0", uninstall + "DisplayIcon", K::lkPathValue),
       Row(problem::kInstaller, ot + "\\", HKLM + "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\Folders",
           K::lkDataValue)});
  const std::string apps = HKLM + "Software\\Classes\\Applications\\tracker.exe\\shell\\";
  testing::ExpectSameRows(Scan({22}), {Row(problem::kOpenWith, "\"" + ot + "\\tracker.exe\" \"%1\"",
                                           apps + "open\\command", K::lkKey),
                                       Row(problem::kOpenWith, "", apps + "print\\command", K::lkKey)});
}

TEST_F(RegScanSample, ShortcutsSoundsAndHistoryLists) {
  const std::string desktop = *target_->ShellFolder("Desktop");
  const std::string programs = *target_->ShellFolder("Programs");
  const std::string recent = *target_->ShellFolder("Recent");
  ExpectReportsTheBrokenOnes(
      Scan({18}), {Row(problem::kShortcut, ot + "\\tracker.exe", desktop + "\\Old Tracker.lnk", K::lkShortcutFile),
                   Row(problem::kShortcut, ot + "\\uninst.exe", programs + "\\Old Tracker\\Uninstall Old Tracker.LNK",
                       K::lkShortcutFile),
                   Row(problem::kShortcut, Docs() + "\\old_letter.doc", recent + "\\old_letter.lnk", K::lkShortcutFile)});
  EXPECT_EQ(Scan({18}).size(), 3u);

  const std::string apps = HKCU + "AppEvents\\Schemes\\Apps\\";
  testing::ExpectSameRows(
      Scan({19}),
      {Row(problem::kSoundFile, target_->WindowsFolder() + "\\Media\\critical stop.wav",
           apps + ".Default\\SystemHand\\.Current", K::lkDefaultValue),
       Row(problem::kSoundFile, ot + "\\sounds\\saved.wav", apps + "KestrelPaint\\Saved\\.Default", K::lkDefaultValue)});

  const std::string mru = HKCU + "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\ComDlg32\\OpenSaveMRU";
  const std::string count = HKCU +
      "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\UserAssist\\{75048700-EF1F-11D0-9888-006097DEACF9}\\Count";
  const auto history = Scan({24});
  ExpectReportsTheBrokenOnes(
      history, {Row(problem::kMruLists, Docs() + "\\gone", mru + "\\b", K::lkPathValue),
                Row(problem::kMruLists, Docs() + "\\lost plans.txt", mru + "\\txt\\b", K::lkPathValue),
                Row(problem::kMruLists, Docs() + "\\old_letter.doc", mru + "\\*\\b", K::lkPathValue),
                Row(problem::kMruLists, "UEME_RUNPATH:" + ot + "\\tracker.exe", count, K::lkEncodedDataValue),
                Row(problem::kMruLists, "UEME_RUNPIDL:%csidl2%\\Kestrel Paint\\Kestrel Paint.lnk", count,
                    K::lkEncodedDataValue)});
  for (const TScanResult& r : history) {
    EXPECT_NE(r.Location, mru + "\\a") << "notes.txt is there";
    EXPECT_EQ(r.Data.find("UEME_CTL"), std::string::npos) << r.Data;
  }
}

TEST_F(RegScanSample, KeySectionsFindTheOrphanedStartMenuOrder) {
  // The Start Menu keeps an order for "Accessories", a folder the sample does not have.
  EXPECT_EQ(Scan({9}), (std::vector<TScanResult>{Row(
                           problem::kStartMenu, "Accessories",
                           "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MenuOrder\\Start "
                           "Menu2\\Programs",
                           K::lkDataSubkey)}));
  // Both uninstall entries have a command and content; no class key is useless.
  EXPECT_TRUE(Scan({11, 15, 23}).empty());
}

TEST_F(RegScanSample, WholeHiveWalksReportOnlyWhatIsGone) {
  const auto classes = Scan({3});
  ExpectReportsTheBrokenOnes(classes, {Row(problem::kFileOrFolder, ot + "\\trackext.dll",
                                           "HKEY_CLASSES_ROOT\\CLSID\\{6F1C3A52-0E7B-4D39-9C41-7A2B5E8D0F13}\\InprocServer32\\",
                                           K::lkPathValue)});
  // The program files Wine installs are there: only the removed application's entries remain.
  for (const TScanResult& r : classes) EXPECT_NE(r.Data.find("Old Tracker"), std::string::npos) << SaveAsTextLine(r);

  const auto user = Scan({4});
  ExpectReportsTheBrokenOnes(user, {Row(problem::kFileOrFolder, ot + "\\data",
                                        HKCU + "Software\\Old Tracker\\Settings\\DataFolder", K::lkPathValue)});
  for (const TScanResult& r : user) {
    EXPECT_EQ(r.Location.find("\\CurrentVersion\\Run\\"), std::string::npos) << "excluded: " << r.Location;
    EXPECT_EQ(r.Location.find("AppEvents\\Schemes\\Apps"), std::string::npos) << "excluded: " << r.Location;
  }
  const auto machine = Scan({5});
  ExpectReportsTheBrokenOnes(machine, {Row(problem::kFileOrFolder, ot + "\\trsym.ttf",
                                           HKLM + "Software\\Microsoft\\Windows NT\\CurrentVersion\\Fonts\\Tracker Symbols (TrueType)",
                                           K::lkPathValue)});
  for (const TScanResult& r : machine) {
    EXPECT_EQ(r.Location.find("\\Uninstall\\"), std::string::npos) << "excluded: " << r.Location;
    EXPECT_EQ(r.Location.find("\\App Paths\\"), std::string::npos) << "excluded: " << r.Location;
  }
  ExpectReportsTheBrokenOnes(Scan({6}), {Row(problem::kFileOrFolder, ot + "\\tracker.exe /background",
                                             "HKEY_USERS\\" + target_->Registry()->UserSid() +
                                                 "\\Software\\Microsoft\\Windows\\CurrentVersion\\Run\\OldTracker",
                                             K::lkPathValue)});
}

}  // namespace
}  // namespace kestrove
