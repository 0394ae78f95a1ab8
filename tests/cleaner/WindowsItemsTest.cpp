#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>

#include "CleanJobTestSupport.h"
#include "cleaner/ItemOperations.h"
#include "platform/TRegistry.h"
#include "platform/memory/MemoryTarget.h"
#include "platform/wine/WineSample.h"
#include "platform/wine/WineSampleCleaner.h"

namespace kestrove {
namespace {

namespace fs = std::filesystem;
using testing::LinesWith;

// The items of this file's categories, as the operation table has them.
std::vector<std::string> WindowsItemNames() {
  std::vector<std::string> names;
  for (const TItemEntry& e : WindowsItemOperations()) names.push_back(e.Name);
  return names;
}
const std::vector<std::string> kItems = WindowsItemNames();

struct UniqueFdForTest {
  int fd;
  explicit UniqueFdForTest(int f) : fd(f) {}
  ~UniqueFdForTest() {
    if (fd >= 0) ::close(fd);
  }
};

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class WindowsItems : public ::testing::Test {
 protected:
  bool Exists(const std::string& windowsPath) {
    const auto host = target.HostPath(windowsPath);
    std::error_code ec;
    return host && fs::exists(fs::symlink_status(*host, ec));
  }
  bool KeyExists(const std::string& key) { return target.Registry()->KeyExists(HKEY_CURRENT_USER, key); }
  testing::TItemSummary Test(const std::string& item) {
    auto run = h.Run(TestRun, {item});
    EXPECT_TRUE(run.Completed) << run.Error;
    return run.Summary(item);
  }
  testing::TJobResult Clean(const std::string& item) {
    auto run = h.Run(DirectClean, {item});
    EXPECT_TRUE(run.Completed) << run.Error;
    return run;
  }

  memory::MemoryTarget target;
  testing::TCleanJobHarness h{target};
  const std::string appData = "C:\\users\\user\\AppData\\Roaming";
};

TEST_F(WindowsItems, TableHoldsEveryItemOfItsCategories) {
  EXPECT_EQ(kItems.size(), 22u);
  for (const TItemEntry& e : WindowsItemOperations()) EXPECT_TRUE(static_cast<bool>(e.Operation)) << e.Name;
}

TEST_F(WindowsItems, ClipboardIsEmptiedInACleanOnlyAndCountsNothing) {
  EXPECT_EQ(Test("Windows - Clipboard").Count, 0);
  EXPECT_EQ(h.Desktop.ClipboardEmptied, 0);
  const auto run = Clean("Windows - Clipboard");
  EXPECT_EQ(run.Summary("Windows - Clipboard").Count, 0);
  EXPECT_EQ(run.Summary("Windows - Clipboard").KB, "0");
  EXPECT_EQ(h.Desktop.ClipboardEmptied, 1);
}

TEST_F(WindowsItems, RecentDocumentsAreTheListAndTheShortcuts) {
  const std::string key = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\RecentDocs";
  target.SetString(HKEY_CURRENT_USER, key, "0", "a");
  target.SetString(HKEY_CURRENT_USER, key, "MRUListEx", "b");
  target.SetString(HKEY_CURRENT_USER, key + "\\.txt", "0", "c");
  const std::string recent = appData + "\\Microsoft\\Windows\\Recent";
  target.WriteFile(recent + "\\notes.lnk", std::string(1500, 'l'));
  target.WriteFile(recent + "\\report.lnk", std::string(600, 'l'));
  target.WriteFile(recent + "\\AutomaticDestinations\\x.automaticDestinations-ms", "not by this item");
  const auto summary = Test("Windows - Recent Documents");
  EXPECT_EQ(summary.Count, 5);
  EXPECT_EQ(summary.KB, "3");  // 2,100 bytes, rounded up
  EXPECT_GE(h.Desktop.SessionsEnded, 1);
  Clean("Windows - Recent Documents");
  EXPECT_FALSE(KeyExists(key));
  EXPECT_FALSE(Exists(recent + "\\notes.lnk"));
  EXPECT_TRUE(Exists(recent + "\\AutomaticDestinations\\x.automaticDestinations-ms"));
}

TEST_F(WindowsItems, MemoryDumpsTakeTheFullDumpOnlyByItsExactName) {
  std::ofstream(*target.HostPath("C:\\windows") / "MEMORY.DMP") << std::string(100, 'M');
  target.WriteFile("C:\\windows\\Minidump\\Mini1.dmp", std::string(10, 'm'));
  target.WriteFile("C:\\windows\\Minidump\\MINI2.DMP", std::string(20, 'm'));
  target.WriteFile("C:\\windows\\Minidump\\notes.txt", "n");
  EXPECT_EQ(Test("Windows - Memory Dumps").Count, 2);
  std::ofstream(*target.HostPath("C:\\windows") / "memory.dmp") << std::string(4000, 'D');
  EXPECT_EQ(Test("Windows - Memory Dumps").Count, 3);
  const auto run = Clean("Windows - Memory Dumps");
  EXPECT_EQ(run.Summary("Windows - Memory Dumps").KB, "4");
  EXPECT_TRUE(fs::exists(*target.HostPath("C:\\windows") / "MEMORY.DMP"));
  EXPECT_FALSE(fs::exists(*target.HostPath("C:\\windows") / "memory.dmp"));
  EXPECT_TRUE(Exists("C:\\windows\\Minidump\\notes.txt"));
  EXPECT_FALSE(Exists("C:\\windows\\Minidump\\MINI2.DMP"));
}

TEST_F(WindowsItems, ChkdskFragmentsAreTheSystemFoldersFileChkFiles) {
  target.WriteFile("C:\\windows\\system32\\FILE0000.CHK", "1");
  target.WriteFile("C:\\windows\\system32\\file0001.chk", "2");
  target.WriteFile("C:\\windows\\system32\\chkdsk.exe", "program");
  target.WriteFile("C:\\windows\\system32\\sub\\FILE0002.CHK", "not here");
  EXPECT_EQ(Test("Windows - Chkdsk File Fragments").Count, 2);
}

TEST_F(WindowsItems, TemporaryFilesEmptyTheTempFolderAndKeepIt) {
  const std::string temp = target.TempFolder();
  target.WriteFile(temp + "a.tmp", std::string(2048, 'a'));
  target.WriteFile(temp + "setup\\b.tmp", std::string(1, 'b'));
  const auto summary = Test("Windows - Temporary Files");
  EXPECT_EQ(summary.Count, 2);
  EXPECT_EQ(summary.KB, "3");
  Clean("Windows - Temporary Files");
  EXPECT_TRUE(Exists(temp));
  EXPECT_TRUE(fs::is_empty(*target.HostPath(temp)));
}

// Without TMP and TEMP the temporary folder falls back to the profile; a setting may name
// any folder. None of those is cleared, and the log says why.
TEST_F(WindowsItems, TemporaryFilesLeaveFoldersThatAreNotTemporary) {
  const char* userEnv = "Environment";
  const char* systemEnv = "System\\CurrentControlSet\\Control\\Session Manager\\Environment";
  target.WriteFile("C:\\users\\user\\notes.txt", "mine");
  target.WriteFile("C:\\windows\\win.ini", "[windows]");
  target.WriteFile("C:\\keep.txt", "root");
  struct Case {
    const char* temp;  // nullptr: no TMP or TEMP anywhere
    const char* why;
  } cases[] = {{nullptr, "it is the user profile folder"},
               {"C:\\windows", "it is the Windows folder"},
               {"C:\\windows\\system32\\", "it is the system folder"},
               {"c:/", "it is the root of a drive"},
               {"C:\\users", "it holds the user profile folder"},
               {"C:\\users\\user\\AppData", "it holds the folder C:\\users\\user\\AppData\\"}};
  for (const Case& c : cases) {
    for (TRootKey root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
      TRegistry reg(target.Registry());
      reg.SetRootKey(root);
      ASSERT_TRUE(reg.OpenKey(root == HKEY_CURRENT_USER ? userEnv : systemEnv, true));
      for (const char* name : {"TMP", "TEMP"}) {
        if (c.temp)
          reg.WriteString(name, c.temp);
        else
          reg.DeleteValue(name);
      }
    }
    target.Refresh();
    const auto run = Clean("Windows - Temporary Files");
    EXPECT_EQ(run.Summary("Windows - Temporary Files").Count, 0) << c.why;
    EXPECT_NE(std::find_if(run.Lines.begin(), run.Lines.end(),
                           [&](const std::string& l) {
                             return l.rfind("Clean: skipped ", 0) == 0 && l.find(std::string("(") + c.why) != std::string::npos;
                           }),
              run.Lines.end())
        << c.why;
  }
  EXPECT_TRUE(Exists("C:\\users\\user\\notes.txt"));
  EXPECT_TRUE(Exists("C:\\windows\\win.ini"));
  EXPECT_TRUE(Exists("C:\\keep.txt"));
}

TEST_F(WindowsItems, OldStyleBinIsListedByItsIndexAndEveryBinIsEmptied) {
  target.WriteFile("C:\\Recycled\\INFO2", std::string(820, 'i'));
  target.WriteFile("C:\\Recycled\\desktop.ini", "[.ShellClassInfo]");
  target.WriteFile("C:\\Recycled\\Dc1.txt", std::string(1000, 'd'));
  target.WriteFile("C:\\Recycled\\Dc2\\inner.txt", std::string(100, 'd'));
  const std::string sidBin = "C:\\$Recycle.Bin\\S-1-5-21-0-0-0-1000";
  target.WriteFile(sidBin + "\\$RABC123.txt", "deleted");
  target.WriteFile(sidBin + "\\$IABC123.txt", "index");
  target.WriteFile(sidBin + "\\desktop.ini", "[.ShellClassInfo]");
  target.WriteFile(sidBin + "\\$RDEF456\\folder.txt", "deleted folder");

  auto test = h.Run(TestRun, {"Windows - Empty Recycle Bin"});
  EXPECT_EQ(test.Summary("Windows - Empty Recycle Bin").Count, 2);
  EXPECT_EQ(test.Summary("Windows - Empty Recycle Bin").KB, "2");
  EXPECT_TRUE(LinesWith(test.Lines, "deleting").empty());  // the bin's files are logged only when asked
  h.Options.ShowLogRecycleBin = true;
  test = h.Run(TestRun, {"Windows - Empty Recycle Bin"});
  EXPECT_EQ(test.Deleting(), (std::vector<std::string>{"deleting C:\\Recycled\\Dc1.txt",
                                                       "deleting C:\\Recycled\\Dc2\\inner.txt"}));
  EXPECT_TRUE(Exists(sidBin + "\\$RABC123.txt"));

  h.Options.ShowLogRecycleBin = false;
  const auto clean = Clean("Windows - Empty Recycle Bin");
  EXPECT_EQ(LinesWith(clean.Lines, "Clearing, please wait...").size(), 1u);
  EXPECT_FALSE(Exists("C:\\Recycled\\Dc1.txt"));
  EXPECT_FALSE(Exists("C:\\Recycled\\Dc2"));
  EXPECT_EQ(fs::file_size(*target.HostPath("C:\\Recycled\\INFO2")), 20u);
  EXPECT_TRUE(Exists("C:\\Recycled\\desktop.ini"));
  EXPECT_FALSE(Exists(sidBin + "\\$RABC123.txt"));
  EXPECT_FALSE(Exists(sidBin + "\\$IABC123.txt"));
  EXPECT_FALSE(Exists(sidBin + "\\$RDEF456"));
  EXPECT_TRUE(Exists(sidBin + "\\desktop.ini"));
}

// The bin's files are taken from the bin already open, not found again by their path: a name
// that no Windows path can spell (a backslash in it) is still counted and removed.
TEST_F(WindowsItems, BinFilesAreTakenFromTheOpenBin) {
  target.WriteFile("C:\\Recycled\\INFO2", "i");
  target.WriteFile("C:\\Recycled\\desktop.ini", "[.ShellClassInfo]");
  const fs::path odd = *target.HostPath("C:\\Recycled") / "Dc1\\odd.txt";
  std::ofstream(odd) << std::string(2000, 'd');
  // A folder named "..\Keep" is the bin's own, not C:\Keep.
  target.WriteFile("C:\\Keep\\keep.txt", std::string(3000, 'k'));
  const fs::path oddFolder = *target.HostPath("C:\\Recycled") / "..\\Keep";
  fs::create_directory(oddFolder);
  std::ofstream(oddFolder / "in-bin.txt") << "b";
  EXPECT_EQ(Test("Windows - Empty Recycle Bin").Count, 2);
  EXPECT_EQ(Test("Windows - Empty Recycle Bin").KB, "2");
  Clean("Windows - Empty Recycle Bin");
  EXPECT_FALSE(fs::exists(odd));
  EXPECT_FALSE(fs::exists(oddFolder));
  EXPECT_TRUE(Exists("C:\\Keep\\keep.txt"));
}

// A stop ends the listing, and nothing more is removed: the bins are not emptied afterwards.
TEST_F(WindowsItems, StoppedCleanEmptiesNoBin) {
  target.WriteFile("C:\\Recycled\\INFO2", "i");
  target.WriteFile("C:\\Recycled\\desktop.ini", "[.ShellClassInfo]");
  target.WriteFile("C:\\Recycled\\Dc1.txt", "d");
  target.WriteFile("C:\\$Recycle.Bin\\S-1-5-21-0-0-0-1000\\$RABC123.txt", "deleted");
  auto job = h.MakeJob(DirectClean);
  job->Terminate();
  for (const TItemEntry& e : WindowsItemOperations())
    if (std::string_view(e.Name) == "Windows - Empty Recycle Bin") e.Operation(*job);
  EXPECT_TRUE(Exists("C:\\Recycled\\Dc1.txt"));
  EXPECT_TRUE(Exists("C:\\$Recycle.Bin\\S-1-5-21-0-0-0-1000\\$RABC123.txt"));
}

TEST_F(WindowsItems, NtfsBinAloneCountsNothingInATest) {
  target.WriteFile("C:\\$Recycle.Bin\\S-1-5-21-0-0-0-1000\\$RABC.txt", "deleted");
  target.WriteFile("C:\\Recycled\\Dc1.txt", "no index beside it");
  EXPECT_EQ(Test("Windows - Empty Recycle Bin").Count, 0);
  Clean("Windows - Empty Recycle Bin");
  EXPECT_FALSE(Exists("C:\\$Recycle.Bin\\S-1-5-21-0-0-0-1000\\$RABC.txt"));
}

TEST_F(WindowsItems, BinsOfDrivesThatAreNotTheTargetsOwnAreLeftAlone) {
  const fs::path outside = target.Folder() / "outside-drive";
  for (const char* name : {"INFO2", "desktop.ini", "Dc1.txt"}) {
    fs::create_directories(outside / "Recycled");
    std::ofstream(outside / "Recycled" / name) << "x";
  }
  // Fixed in the registry's words, but its folder leaves the target: someone else's disk.
  target.AddDrive('D', outside, DRIVE_FIXED, false);
  target.AddDrive('E', target.Folder() / "drive_e", DRIVE_CDROM, true);
  fs::create_directories(target.Folder() / "drive_e" / "Recycled");
  for (const char* name : {"INFO2", "desktop.ini", "Dc1.txt"}) std::ofstream(target.Folder() / "drive_e/Recycled" / name) << "x";
  EXPECT_EQ(Test("Windows - Empty Recycle Bin").Count, 0);
  Clean("Windows - Empty Recycle Bin");
  EXPECT_TRUE(fs::exists(outside / "Recycled" / "Dc1.txt"));
  EXPECT_TRUE(fs::exists(target.Folder() / "drive_e/Recycled/Dc1.txt"));
}

TEST_F(WindowsItems, RegistryItemsRemoveTheirKeys) {
  const std::string explorer = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\";
  target.SetString(HKEY_CURRENT_USER, "Software\\Microsoft\\Search Assistant\\ACMru\\5603", "000", "x");
  target.SetString(HKEY_CURRENT_USER, explorer + "ComDlg32\\OpenSaveMRU\\txt", "a", "x");
  target.SetString(HKEY_CURRENT_USER, explorer + "ComDlg32\\OpenSaveMRU\\txt", "MRUList", "a");
  target.SetString(HKEY_CURRENT_USER, explorer + "ComDlg32\\LastVisitedMRU", "a", "stays");
  target.CreateKey(HKEY_CURRENT_USER, explorer + "MenuOrder\\Start Menu2");
  target.SetString(HKEY_CURRENT_USER, explorer + "UserAssist\\{5E6AB780-7743-11CF-A12B-00AA004AE837}\\Count", "a", "x");
  target.SetString(HKEY_CURRENT_USER, explorer + "UserAssist\\{75048700-EF1F-11D0-9888-006097DEACF9}\\Count", "b", "x");
  target.SetString(HKEY_CURRENT_USER, explorer + "UserAssist\\{75048700-EF1F-11D0-9888-006097DEACF9}\\Count", "c", "x");
  target.SetString(HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\Applets\\Paint\\Recent File List",
                   "File1", "x");
  EXPECT_EQ(Test("Windows - Search Assistant").Count, 1);
  EXPECT_EQ(Test("Advanced - Open File History").Count, 2);
  EXPECT_EQ(Test("Advanced - Menu Order Cache").Count, 1);
  EXPECT_EQ(Test("Advanced - User Assist History").Count, 3);
  EXPECT_EQ(Test("Advanced - Paint").Count, 1);
  h.Run(DirectClean, {"Windows - Search Assistant", "Advanced - Open File History", "Advanced - Menu Order Cache",
                      "Advanced - User Assist History", "Advanced - Paint"});
  EXPECT_FALSE(KeyExists(explorer + "ComDlg32\\OpenSaveMRU"));
  EXPECT_TRUE(KeyExists(explorer + "ComDlg32\\LastVisitedMRU"));
  EXPECT_FALSE(KeyExists(explorer + "MenuOrder"));
  EXPECT_TRUE(KeyExists(explorer + "UserAssist\\{75048700-EF1F-11D0-9888-006097DEACF9}"));
  EXPECT_FALSE(KeyExists(explorer + "UserAssist\\{75048700-EF1F-11D0-9888-006097DEACF9}\\Count"));
  EXPECT_FALSE(KeyExists("Software\\Microsoft\\Search Assistant\\ACMru"));
}

TEST_F(WindowsItems, TrayCacheLosesItsTwoStreamsOnly) {
  const std::string tray = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\TrayNotify";
  target.SetValue(HKEY_CURRENT_USER, tray, "IconStreams", REG_BINARY, Bytes(40, 1));
  target.SetValue(HKEY_CURRENT_USER, tray, "PastIconsStream", REG_BINARY, Bytes(40, 2));
  target.SetDword(HKEY_CURRENT_USER, tray, "BalloonTip", 1);
  EXPECT_EQ(Test("Advanced - Tray Notifications Cache").Count, 2);
  const auto run = Clean("Advanced - Tray Notifications Cache");
  EXPECT_EQ(LinesWith(run.Lines, "deleting registry value HKEY_CURRENT_USER\\" + tray + "\\IconStreams").size(), 1u);
  const auto names = target.Registry()->ValueNames(HKEY_CURRENT_USER, tray);
  EXPECT_EQ(names, std::optional<std::vector<std::string>>(std::vector<std::string>{"BalloonTip"}));
}

TEST_F(WindowsItems, OfficeItemsClearTheirFilesAndTheKeysOfVersions8To12) {
  const std::string recent = appData + "\\Microsoft\\Office\\Recent";
  for (const char* name : {"a.mdb", "b.xls", "c.htm", "d.html", "e.ppt", "f.doc", "g.doc.LNK"})
    target.WriteFile(recent + "\\" + name, "x");
  for (const char* version : {"8.0", "12.0", "13.0"}) {
    const std::string office = std::string("Software\\Microsoft\\Office\\") + version;
    target.SetString(HKEY_CURRENT_USER, office + "\\Access\\Settings", "MRU1", "x");
    target.SetString(HKEY_CURRENT_USER, office + "\\Excel\\Recent Files", "File1", "x");
    target.SetString(HKEY_CURRENT_USER, office + "\\Excel\\Options", "Options", "x");
    target.SetString(HKEY_CURRENT_USER, office + "\\PowerPoint\\Recent File List", "File1", "x");
    target.SetString(HKEY_CURRENT_USER, office + "\\PowerPoint\\Recent Folder List", "Folder1", "x");
    target.SetString(HKEY_CURRENT_USER, office + "\\Word\\Data", "Settings", "x");
    target.SetString(HKEY_CURRENT_USER, office + "\\Word\\Data", "Toolbars", "stays");
  }
  target.SetString(HKEY_CURRENT_USER, "Software\\Microsoft\\FrontPage\\Explorer\\FrontPage Explorer\\Recent Web List",
                   "Web1", "x");
  EXPECT_EQ(Test("Microsoft Office - Access").Count, 1 + 2);
  EXPECT_EQ(Test("Microsoft Office - Excel").Count, 1 + 4);
  EXPECT_EQ(Test("Microsoft Office - FrontPage").Count, 2 + 1);
  EXPECT_EQ(Test("Microsoft Office - Powerpoint").Count, 1 + 4);
  EXPECT_EQ(Test("Microsoft Office - Word").Count, 1 + 2);
  EXPECT_EQ(Test("Microsoft Office - Recent Files").Count, 7);

  h.Run(DirectClean, {"Microsoft Office - Excel", "Microsoft Office - Powerpoint", "Microsoft Office - Word"});
  EXPECT_FALSE(KeyExists("Software\\Microsoft\\Office\\12.0\\Excel"));
  EXPECT_TRUE(KeyExists("Software\\Microsoft\\Office\\13.0\\Excel"));
  EXPECT_TRUE(KeyExists("Software\\Microsoft\\Office\\8.0\\PowerPoint"));
  EXPECT_FALSE(KeyExists("Software\\Microsoft\\Office\\8.0\\PowerPoint\\Recent Folder List"));
  EXPECT_EQ(target.Registry()->ValueNames(HKEY_CURRENT_USER, "Software\\Microsoft\\Office\\8.0\\Word\\Data"),
            std::optional<std::vector<std::string>>(std::vector<std::string>{"Toolbars"}));
  EXPECT_FALSE(Exists(recent + "\\f.doc"));
  EXPECT_TRUE(Exists(recent + "\\g.doc.LNK"));
}

TEST_F(WindowsItems, OfficeItemsDoNothingWithoutApplicationData) {
  target.SetString(HKEY_CURRENT_USER, "Software\\Microsoft\\Office\\11.0\\Excel\\Recent Files", "File1", "x");
  fs::remove_all(*target.HostPath(appData));
  EXPECT_EQ(Test("Microsoft Office - Excel").Count, 0);
  Clean("Microsoft Office - Excel");
  EXPECT_TRUE(KeyExists("Software\\Microsoft\\Office\\11.0\\Excel"));
  EXPECT_EQ(Test("Instant Messengers - Skype").Count, 0);
}

TEST_F(WindowsItems, MsnLogFolderIsTheFirstOneThatExists) {
  const std::string passports = "Software\\Microsoft\\MSNMessenger\\PerPassportSettings";
  target.SetString(HKEY_CURRENT_USER, passports + "\\111", "MessageLogPath", "C:\\gone");
  target.SetExpandString(HKEY_CURRENT_USER, passports + "\\222", "MessageLogPath", "%USERPROFILE%\\Chat Logs");
  target.SetString(HKEY_CURRENT_USER, passports + "\\333", "MessageLogPath", "C:\\also not read");
  target.WriteFile("C:\\users\\user\\Chat Logs\\friend.xml", "<Log/>");
  target.WriteFile("C:\\users\\user\\Documents\\My Received Files\\photo.jpg", "jpg");
  EXPECT_EQ(Test("Instant Messengers - MSN Messenger").Count, 2);
  Clean("Instant Messengers - MSN Messenger");
  EXPECT_TRUE(Exists("C:\\users\\user\\Chat Logs"));
  EXPECT_FALSE(Exists("C:\\users\\user\\Chat Logs\\friend.xml"));
  EXPECT_FALSE(Exists("C:\\users\\user\\Documents\\My Received Files\\photo.jpg"));
}

TEST_F(WindowsItems, MsnLogFolderThatIsTheReceivedFolderIsClearedOnce) {
  target.SetString(HKEY_CURRENT_USER, "Software\\Microsoft\\MSNMessenger\\PerPassportSettings\\111", "MessageLogPath",
                   "c:\\users\\user\\documents\\my received files");
  target.WriteFile("C:\\users\\user\\Documents\\My Received Files\\photo.jpg", "jpg");
  target.WriteFile("C:\\users\\user\\Documents\\My Received Files\\log.xml", "xml");
  EXPECT_EQ(Test("Instant Messengers - MSN Messenger").Count, 2);
}

TEST_F(WindowsItems, YahooAndSkypeTakeTheirHistoryOnly) {
  const std::string yahoo = "C:\\Program Files\\Yahoo!\\Messenger";
  target.WriteFile(yahoo + "\\ypager.log", "log");
  target.WriteFile(yahoo + "\\YPAGER.LOG.old", "old");
  target.WriteFile(yahoo + "\\YahooMessenger.exe", "program");
  target.WriteFile(yahoo + "\\IMVCache\\a.png", "png");
  target.WriteFile(yahoo + "\\Profiles\\me\\Archive\\m.dat", "dat");
  target.WriteFile(appData + "\\Skype\\shared.xml", "xml");
  target.WriteFile(appData + "\\Skype\\me\\user.dbb", "dbb");
  target.WriteFile(appData + "\\Skype\\me\\chat\\call.DBB", "dbb");
  EXPECT_EQ(Test("Instant Messengers - Yahoo! Messenger").Count, 3);
  EXPECT_EQ(Test("Instant Messengers - Skype").Count, 2);
  h.Run(DirectClean, {"Instant Messengers - Yahoo! Messenger", "Instant Messengers - Skype"});
  EXPECT_TRUE(Exists(yahoo + "\\YahooMessenger.exe"));
  EXPECT_TRUE(Exists(yahoo + "\\Profiles"));
  EXPECT_FALSE(Exists(yahoo + "\\Profiles\\me"));
  EXPECT_TRUE(Exists(appData + "\\Skype\\shared.xml"));
  EXPECT_TRUE(Exists(appData + "\\Skype\\me\\chat"));
  EXPECT_FALSE(Exists(appData + "\\Skype\\me\\chat\\call.DBB"));
}

// A Test lists what a Clean then removes: the same "deleting" lines in the same order (an
// entry two items share is listed by both in a test, and removed by the first in a clean),
// and a second Test finds nothing left.
TEST_F(WindowsItems, TestAndCleanListTheSameEntries) {
  wine::SampleBuilder builder(target);
  wine::CleanerTraces(builder);
  target.WriteFile(target.TempFolder() + "~DF01.tmp", std::string(3000, 't'));
  target.WriteFile(target.TempFolder() + "setup\\log.txt", "log");
  target.SetString(HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\RunMRU", "a", "cmd");
  h.Options.ShowLogRecycleBin = true;

  const auto test = h.Run(TestRun, kItems);
  ASSERT_TRUE(test.Completed) << test.Error;
  const auto clean = h.Run(DirectClean, kItems);
  ASSERT_TRUE(clean.Completed) << clean.Error;
  const auto listed = testing::FirstOccurrences(test.Deleting());
  EXPECT_GT(listed.size(), 40u);
  EXPECT_EQ(listed, testing::FirstOccurrences(clean.Deleting()));

  const auto again = h.Run(TestRun, kItems);
  for (const std::string& item : kItems) EXPECT_EQ(again.Summary(item).Count, 0) << item;
  EXPECT_TRUE(again.Deleting().empty());
}

// ---- the sample target ---------------------------------------------------------------------

class WindowsItemsSample : public ::testing::Test {
 protected:
  void SetUp() override {
    const fs::path templateFolder = fs::path(KESTROVE_SOURCE_DIR) / "data" / "sample";
    if (!fs::exists(templateFolder / "system.reg")) GTEST_SKIP() << "no sample template in " << templateFolder;
    std::string pattern = (fs::temp_directory_path() / "kestrove-sample-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir = pattern;
    wine::WriteSamplePrefix(dir / "prefix", templateFolder);
  }
  void TearDown() override {
    std::error_code ec;
    if (!dir.empty()) fs::remove_all(dir, ec);
  }
  fs::path dir;
};

TEST_F(WindowsItemsSample, EveryItemFindsItsTracesAndACleanRemovesThem) {
  auto target = OpenTarget(TargetChoice{dir / "prefix", "--root"});
  testing::TCleanJobHarness h(*target);
  const auto test = h.Run(TestRun, kItems);
  ASSERT_TRUE(test.Completed) << test.Error;
  for (const std::string& item : kItems) {
    if (item == "Windows - Clipboard") continue;
    EXPECT_GT(test.Summary(item).Count, 0) << item;
  }
  const auto clean = h.Run(DirectClean, kItems);
  ASSERT_TRUE(clean.Completed) << clean.Error;
  EXPECT_EQ(testing::FirstOccurrences(test.Deleting()), testing::FirstOccurrences(clean.Deleting()));
  target->Registry()->Commit();

  // What was cleaned stays cleaned when the prefix is opened again.
  auto reopened = OpenTarget(TargetChoice{dir / "prefix", "--root"});
  testing::TCleanJobHarness again(*reopened);
  const auto after = again.Run(TestRun, kItems);
  for (const std::string& item : kItems) EXPECT_EQ(after.Summary(item).Count, 0) << item;
  EXPECT_TRUE(fs::exists(dir / "prefix/drive_c/Program Files/Yahoo!/Messenger/YahooMessenger.exe"));
}

// While Wine runs on the prefix the registry cannot be written: a clean that reaches a
// registry item ends with the store's message instead of reporting keys removed.
TEST_F(WindowsItemsSample, CleanEndsWithWinesMessageWhileWineRuns) {
  const fs::path prefix = dir / "prefix";
  // A running wineserver as Debian's build keeps it: a write-locked file below $TMPDIR.
  std::ofstream(prefix / "wineserver") << "wine-test-server\n";
  struct stat st {};
  ASSERT_EQ(::stat(prefix.c_str(), &st), 0);
  char server[80];
  std::snprintf(server, sizeof server, "server-%llx-%llx", static_cast<unsigned long long>(st.st_dev),
                static_cast<unsigned long long>(st.st_ino));
  fs::create_directories(dir / "wine-test-server" / server);
  UniqueFdForTest lock(::open((dir / "wine-test-server" / server / "lock").c_str(), O_RDWR | O_CREAT, 0600));
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_len = 1;
  ASSERT_EQ(::fcntl(lock.fd, F_SETLK, &fl), 0);

  const std::string out = (dir / "out.txt").string();
  const std::string cmd = "TMPDIR='" + dir.string() + "' KESTROVE_HOME='" + (dir / "home").string() + "' '" +
                          KESTROVE_CLI_PATH + "' --root '" + prefix.string() +
                          "' clean --yes 'Windows - Start Run' >'" + out + "' 2>&1 </dev/null";
  const int status = std::system(cmd.c_str());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0) << ReadAll(out);
  EXPECT_NE(ReadAll(out).find("Wine is running"), std::string::npos) << ReadAll(out);
  EXPECT_NE(ReadAll(prefix / "user.reg").find("Explorer\\\\RunMRU]"), std::string::npos);
}

// The same through the command-line tool, as a user runs it.
TEST_F(WindowsItemsSample, CommandLineTestAndCleanAgree) {
  auto run = [&](const std::string& args) {
    const std::string out = (dir / "out.txt").string();
    const std::string cmd = "KESTROVE_HOME='" + (dir / "home").string() + "' '" + KESTROVE_CLI_PATH + "' --root '" +
                            (dir / "prefix").string() + "' " + args + " >'" + out + "' 2>&1 </dev/null";
    const int status = std::system(cmd.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << cmd << "\n" << ReadAll(out);
    std::vector<std::string> deleting;
    std::ifstream in(out);
    for (std::string line; std::getline(in, line);) {
      const auto at = line.find(": deleting");
      if (at != std::string::npos) deleting.push_back(line.substr(at + 2));
    }
    return deleting;
  };
  // Every detail line, the recycle bin's too.
  fs::create_directories(dir / "home");
  std::ofstream(dir / "home" / "options.ini") << "[Settings]\nFastScan=0\nShowLogRecycleBin=1\n";
  // Named one by one: the categories also hold items that definition files carry out.
  std::string items = "--yes";
  for (const std::string& item : kItems) items += " '" + item + "'";
  const auto test = run("test " + items);
  EXPECT_GT(test.size(), 40u);
  const auto clean = run("clean " + items);
  EXPECT_EQ(testing::FirstOccurrences(test), testing::FirstOccurrences(clean));
  EXPECT_FALSE(fs::exists(dir / "prefix/drive_c/windows/memory.dmp"));
}

}  // namespace
}  // namespace kestrove
