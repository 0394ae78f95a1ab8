#include <gtest/gtest.h>

#include <fstream>

#include "CleanerTestSupport.h"
#include "platform/TRegistry.h"
#include "platform/memory/MemoryTarget.h"

namespace kestrove {
namespace {

class LogEvents : public IClearTaskEvents {
 public:
  std::vector<std::string> lines;
  bool ended = false;
  void AddLogLine(const std::string& line) override { lines.push_back(line); }
  void ScrollLogToEnd() override {}
  void CleanProgress(int) override {}
  void CleanDone(int) override {}
  void JobEnded(bool, const std::string&) override { ended = true; }
};

// Runs the custom list "<New List>" (or a qvtk.dat item) with the given definition lines.
class DefinitionsTest : public ::testing::Test {
 protected:
  memory::MemoryTarget target;
  TNoDesktop desktop;
  testing::TScriptedPrompt prompt;
  TOptionsSetting options;
  std::string folder;

  void SetUp() override {
    folder = (target.Folder() / "program").string() + "/";
    std::filesystem::create_directories(folder);
    options.FastScan = false;
  }

  bool Exists(const std::string& windowsPath) {
    auto host = target.HostPath(windowsPath);
    return host && std::filesystem::exists(*host);
  }

  void Write(const std::string& file, const std::string& text) { std::ofstream(folder + file) << text; }

  // Returns the log; `count` and `bytes` get the item's result.
  std::vector<std::string> Run(TRunMode mode, const std::string& item, int* count = nullptr) {
    TMessageQueue queue;
    LogEvents events;
    std::atomic<bool> fast{false};
    TCleanContext context{&target, folder, &prompt, &desktop, &options};
    auto job = std::make_shared<TClearTaskThread>(context, queue, events, mode, std::vector<std::string>{item}, fast);
    job->Resume();
    EXPECT_TRUE(queue.ProcessUntil([&] { return events.ended; }, std::chrono::seconds(30)));
    if (count) *count = job->TotalCount;
    return events.lines;
  }

  static bool Has(const std::vector<std::string>& lines, const std::string& text) {
    return std::find(lines.begin(), lines.end(), text) != lines.end();
  }
};

TEST_F(DefinitionsTest, TheExampleListRemovesWhatItNames) {
  target.WriteFile("C:\\Temp\\Old\\a.txt", "aaaa");
  target.WriteFile("C:\\Temp\\Old\\sub\\b.txt", "bb");
  target.SetString(HKEY_CURRENT_USER, "Software\\Foo", "One", "1");
  target.SetString(HKEY_CURRENT_USER, "Software\\Foo\\Sub", "Two", "2");
  const std::string logs = target.ShellFolder("Local AppData").value() + "\\Foo\\Logs\\";
  target.WriteFile(logs + "x.log", "log");
  target.WriteFile(logs + "x.txt", "txt");
  target.WriteFile(logs + "deeper\\y.log", "log");
  Write("Custom.dat",
        "[<New List>]\nDelFile1=C:\\Temp\\Old\nDelRegValue1=HKEY_CURRENT_USER\\Software\\Foo,\n"
        "DelFile2={Local AppData}\\Foo\\Logs,*.log\n");

  int tested = 0, cleaned = 0;
  auto test = Run(TestRun, "Custom Lists - <New List>", &tested);
  EXPECT_TRUE(Exists("C:\\Temp\\Old\\a.txt"));
  auto clean = Run(DirectClean, "Custom Lists - <New List>", &cleaned);
  EXPECT_EQ(tested, cleaned);
  EXPECT_EQ(cleaned, 2 + 2 + 1);  // two files, two values (the key's and its subkey's), one log
  EXPECT_FALSE(Exists("C:\\Temp\\Old"));
  EXPECT_TRUE(Exists("C:\\Temp"));
  TRegistry reg(target.Registry());
  EXPECT_TRUE(reg.KeyExists("Software\\Foo")) << "the key itself stays";
  EXPECT_FALSE(reg.KeyExists("Software\\Foo\\Sub"));
  ASSERT_TRUE(reg.OpenKey("Software\\Foo", false));
  EXPECT_FALSE(reg.ValueExists("One"));
  EXPECT_FALSE(Exists(logs + "x.log"));
  EXPECT_TRUE(Exists(logs + "x.txt"));
  EXPECT_TRUE(Exists(logs + "deeper\\y.log")) << "subfolders are not searched";
}

TEST_F(DefinitionsTest, RegistryLinesAndRootNamesInAnyCase) {
  target.SetString(HKEY_CURRENT_USER, "Software\\Foo", "Bar", "x");
  target.SetString(HKEY_CURRENT_USER, "Software\\Gone", "V", "x");
  Write("Custom.dat", "[<New List>]\nDelRegValue1=hkey_current_user\\Software\\Foo,Bar\n"
                      "DelRegValue2=HKEY_CURRENT_USER\\Software\\Gone\nDelRegValue3=HKEY_NOWHERE\\Software\\Foo\n"
                      "DelRegValue4=nobackslash\n; a comment\nNo equals sign DelFile\n");
  int count = 0;
  auto lines = Run(DirectClean, "Custom Lists - <New List>", &count);
  EXPECT_EQ(count, 2);
  EXPECT_TRUE(Has(lines, "Clean: deleting registry value HKEY_CURRENT_USER\\Software\\Foo\\Bar"));
  EXPECT_TRUE(Has(lines, "Clean: deleting registry key HKEY_CURRENT_USER\\Software\\Gone"));
  TRegistry reg(target.Registry());
  EXPECT_FALSE(reg.KeyExists("Software\\Gone"));
}

TEST_F(DefinitionsTest, PlaceholdersAndPatterns) {
  const std::string windows = target.WindowsFolder();
  target.WriteFile(windows + "\\Temp\\a.tmp", "12345");
  target.WriteFile(windows + "\\Temp\\keep\\b.tmp", "1");
  target.WriteFile("C:\\Junk\\j.bin", "j");
  Write("qvtk.dat", "[Junk Things]\nDelFile1=%windir%\\Temp,*.tmp\nDelFile2={C: Drive}\\Junk\n");
  int count = 0;
  auto lines = Run(DirectClean, "Applications - Junk Things", &count);
  EXPECT_EQ(count, 2);
  EXPECT_FALSE(Exists(windows + "\\Temp\\a.tmp"));
  EXPECT_TRUE(Exists(windows + "\\Temp\\keep\\b.tmp"));
  EXPECT_FALSE(Exists("C:\\Junk"));
  EXPECT_TRUE(Has(lines, "1 items to be removed; 1 KB to be removed.") || Has(lines, "2 items to be removed; 1 KB to be removed."));
}

TEST_F(DefinitionsTest, AWholeDriveIsAskedAboutFirst) {
  target.WriteFile("C:\\precious.txt", "keep me");
  Write("Custom.dat", "[<New List>]\nDelFile1=C:\n");
  prompt.answers = {TMsgResult::No};
  int count = -1;
  Run(DirectClean, "Custom Lists - <New List>", &count);
  ASSERT_EQ(prompt.asked.size(), 1u);
  EXPECT_EQ(prompt.asked[0].Text, "Do you want to delete all files and folders under C:\\?");
  EXPECT_EQ(count, 0);
  EXPECT_TRUE(Exists("C:\\precious.txt"));
}

TEST_F(DefinitionsTest, MissingFileOrSectionFindsNothing) {
  int count = -1;
  auto lines = Run(TestRun, "Windows - Windows Log Files", &count);
  EXPECT_EQ(count, 0);
  EXPECT_TRUE(Has(lines, "0 items will be removed; 0 KB will be removed."));
  Write("qvtk.dat", "[Other]\nDelFile1=C:\\x\n");
  lines = Run(TestRun, "Windows - Windows Log Files", &count);
  EXPECT_EQ(count, 0);
}

TEST_F(DefinitionsTest, ShippedDefinitionsReadAndFindWindowsLogs) {
  std::filesystem::copy_file(std::filesystem::path(KESTROVE_SOURCE_DIR) / "data" / "qvtk.dat", folder + "qvtk.dat");
  TIniFile shipped(folder + "qvtk.dat");
  for (const char* section : {"Windows Log Files", "ICQ", "AOL Instant Messenger", "Google Toolbar History",
                              "MSN Toolbar History", "Yahoo! Toolbar History"})
    EXPECT_TRUE(shipped.SectionExists(section)) << section;
  EXPECT_GE(shipped.ReadSections().size(), 6u + 10u);
  target.WriteFile(target.WindowsFolder() + "\\setupact.log", "log");
  int count = 0;
  Run(TestRun, "Windows - Windows Log Files", &count);
  EXPECT_GE(count, 1);
}

// A definition line that names a system folder as a whole, or a registry key the system keeps,
// is refused before anything is removed; lines naming files of a kind still run.
TEST_F(DefinitionsTest, LinesNamingSystemFoldersOrHiveRootsAreRefused) {
  target.WriteFile("C:\\windows\\win.ini", "[windows]");
  target.WriteFile("C:\\windows\\setup.log", "log");
  target.WriteFile("C:\\users\\user\\notes.txt", "mine");
  const std::string sid = target.Registry()->UserSid();
  target.SetString(HKEY_CURRENT_USER, "Software\\Foo", "One", "1");
  Write("Custom.dat",
        "[<New List>]\nDelFile1=%windir%\nDelFile2=%windir%\\,*.*\nDelFile3=C:\\users\\user\\\n"
        "DelFile4=C:\\users\nDelFile5=%windir%\\,*.log\n"
        "DelRegValue1=HKEY_USERS\\" + sid + "\nDelRegValue2=HKEY_USERS\\" + sid + ",\n");
  for (TRunMode mode : {TestRun, DirectClean}) {
    int count = 0;
    const auto lines = Run(mode, "Custom Lists - <New List>", &count);
    EXPECT_EQ(count, 1);  // setup.log
    const std::string prefix = mode == TestRun ? "Test: " : "Clean: ";
    for (const std::string& line : std::vector<std::string>{
             "skipped C:\\windows\\ (it is the Windows folder)", "skipped C:\\users\\user\\ (it is the user profile folder)",
          "skipped C:\\users (it holds the user profile folder)",
          "skipped HKEY_USERS\\" + sid + " (it is a root key of the registry)"})
      EXPECT_TRUE(Has(lines, prefix + line)) << line;
  }
  EXPECT_TRUE(Exists("C:\\windows\\win.ini"));
  EXPECT_FALSE(Exists("C:\\windows\\setup.log"));
  EXPECT_TRUE(Exists("C:\\users\\user\\notes.txt"));
  EXPECT_TRUE(target.Registry()->KeyExists(HKEY_CURRENT_USER, "Software\\Foo"));
}

// A "*" within a folder name of a shipped definition stands for the subfolders it takes
// (browser profiles); the user's own list keeps such a name literal, finding nothing.
TEST_F(DefinitionsTest, FolderPatternsOfTheShippedFileTakeEachMatchingSubfolder) {
  const std::string local = target.ShellFolder("Local AppData").value();
  const std::string data = local + "\\B\\User Data\\";
  struct Entry {
    std::string path;
    bool removed;
  };
  const std::vector<Entry> entries = {
      {data + "Profile 1\\History", true},
      {data + "profile 12\\History", true},  // names are matched without regard to case
      {data + "Profile 1\\Cache\\Cache_Data\\f_000001", true},
      {data + "Profile 1\\Bookmarks", false},
      {data + "System Profile\\History", false},
      {data + "Default\\History", false},
      {data + "Profile 3", false},  // a file: only folders stand for the pattern
      {local + "\\W\\a\\b\\t.txt", true},
      {local + "\\W\\c\\d\\t.txt", true},
      {local + "\\W\\a\\t.txt", false},  // one level short of the two patterns
      {local + "\\W\\t.txt", false},
  };
  const std::string lines =
      "DelFile1={Local AppData}\\B\\User Data\\Profile *,History\n"
      "DelFile2={Local AppData}\\B\\User Data\\Profile *\\Cache\n"
      "DelFile3={Local AppData}\\W\\*\\*,t.txt\n";
  auto lay = [&] {
    for (const Entry& e : entries) target.WriteFile(e.path, "x");
    // A link is not followed to find more folders.
    std::filesystem::create_directory_symlink(*target.HostPath(data + "System Profile"),
                                              *target.HostPath(data) / "Profile 9");
  };
  lay();
  Write("Custom.dat", "[<New List>]\n" + lines);
  int count = -1;
  Run(DirectClean, "Custom Lists - <New List>", &count);
  EXPECT_EQ(count, 0) << "a user's list takes \"*\" in a folder name literally";
  for (const Entry& e : entries) EXPECT_TRUE(Exists(e.path)) << e.path;

  Write("qvtk.dat", "[Browser]\n" + lines);
  int tested = -1, cleaned = -1;
  Run(TestRun, "Applications - Browser", &tested);
  for (const Entry& e : entries) EXPECT_TRUE(Exists(e.path)) << "a test removes nothing: " << e.path;
  const auto log = Run(DirectClean, "Applications - Browser", &cleaned);
  EXPECT_EQ(tested, 5);
  EXPECT_EQ(cleaned, tested);
  for (const Entry& e : entries) EXPECT_EQ(Exists(e.path), !e.removed) << e.path;
  EXPECT_FALSE(Exists(data + "Profile 1\\Cache")) << "a whole-folder line removes each folder it names";
  EXPECT_TRUE(Exists(data + "System Profile\\History")) << "not reached through the link";
}

}  // namespace
}  // namespace kestrove
