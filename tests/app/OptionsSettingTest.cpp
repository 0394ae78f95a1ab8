#include "app/OptionsSetting.h"

#include <gtest/gtest.h>

#include "AppTestSupport.h"

namespace kestrove {
namespace {

using testing::FaultyEnv;
using testing::MemoryCheckTree;
using testing::ReadAll;
using testing::TempFolder;
using testing::WriteAll;
using Names = std::vector<std::string>;

// A cut-down cleaner tree with the real categories and image indices.
MemoryCheckTree CleanerTree() {
  MemoryCheckTree t;
  auto ie = t.AddTop("Internet Explorer", 1);
  for (const char* s : {"Recently Typed URLs", "Cookies", "Visited URL History"}) t.AddChild(ie, s);
  auto win = t.AddTop("Windows", 2);
  for (const char* s : {"Recent Documents", "Start Run", "Clipboard", "Temporary Files"}) t.AddChild(win, s);
  t.AddChild(t.AddTop("Netscape", 3), "Cookies");
  t.AddChild(t.AddTop("Opera", 4), "Cookies");
  t.AddChild(t.AddTop("Mozilla Firefox", 5), "Cookies");
  t.AddChild(t.AddTop("Google Chrome", 11), "Cookies");
  t.AddChild(t.AddTop("Advanced", 6), "Paint");
  t.AddChild(t.AddTop("Microsoft Office", 7), "Word");
  t.AddChild(t.AddTop("Instant Messengers", 8), "Skype");
  t.AddTop("Applications", 9);
  t.AddChild(t.AddTop("Custom Lists", 10), "<New List>");
  return t;
}

// The registry sections tree, image index i on the node of table entry i.
MemoryCheckTree RegistryTree() {
  MemoryCheckTree t;
  auto root = t.AddTop("My Computers", 1);
  auto files = t.AddChild(root, "Files and Folders", 2);
  int image = 3;
  for (const char* s : {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE", "HKEY_USERS"})
    t.AddChild(files, s, image++);
  for (const char* s : {"Shared DLLs", "Software Locations", "Start Menu Section", "Obsolete Software",
                        "File Extensions", "Fonts Section", "Help File Paths", "Startup Programs",
                        "Add/Remove Programs", "Custom Controls", "Windows Services", "Shortcuts",
                        "Sound and Appevents", "Invalid ActiveX", "Installer", "Applications", "Uninstaller Entry",
                        "MRU History Lists", "Empty Registry Keys"})
    t.AddChild(root, s, image++);
  return t;
}

const TWindowDefaults kScreen{1024, 768, 600, 401};

class OptionsSettingTest : public ::testing::Test {
 protected:
  TIniFile Ini() const { return TOptionsSetting::OptionsFile(dir.folder()); }
  std::string File() const { return ReadAll(dir / "options.ini"); }
  void Write(const std::string& content) const { WriteAll(dir / "options.ini", content); }
  TOptionsSetting Loaded(MemoryCheckTree& tree) const {
    TOptionsSetting s;
    s.Load(Ini(), tree, kScreen);
    return s;
  }
  TOptionsSetting Loaded() const {
    MemoryCheckTree tree = CleanerTree();
    return Loaded(tree);
  }
  void Save(TOptionsSetting& s, const MemoryCheckTree& tree,
            TWindowPlacement placement = {TWindowShowState::Normal, 10, 20, 600, 401}) const {
    TIniFile ini = Ini();
    s.Save(ini, tree, RegistryTree(), placement);
  }

  TempFolder dir;
};

TEST_F(OptionsSettingTest, NoFileGivesTheDefaults) {
  MemoryCheckTree tree = CleanerTree();
  tree.SetChecked(tree.Find({"Windows", "Clipboard"}), true);  // cleared by the load
  TOptionsSetting s = Loaded(tree);

  EXPECT_TRUE(tree.CheckedNames().empty());
  EXPECT_TRUE(s.IsAskBeforeClear);
  EXPECT_FALSE(s.IsWipeFile);
  EXPECT_EQ(s.WipeNumber, 1);
  EXPECT_FALSE(s.EnableHotkey);
  EXPECT_TRUE(s.Hotkey.IsCtrl);
  EXPECT_FALSE(s.Hotkey.IsShift);
  EXPECT_FALSE(s.Hotkey.IsAlt);
  EXPECT_EQ(s.Hotkey.CharString, "F5");
  EXPECT_EQ(s.Hotkey.CharAscII, 116);
  EXPECT_FALSE(s.EnableIE || s.EnableNetscape || s.EnableFirefox || s.EnableOpera);
  EXPECT_FALSE(s.AutoClean || s.StartClean || s.ShutdownClean);
  EXPECT_EQ(s.CleanInterval, 0);
  EXPECT_EQ(s.SelectedCount, 0);
  EXPECT_FALSE(s.ShowLogTempInternetFiles || s.ShowLogRecycleBin);
  EXPECT_TRUE(s.FastScan);
  EXPECT_EQ(s.OutputDirectory, dir.folder() + "Backup");
  EXPECT_TRUE(s.DeleteBackupFile);
  EXPECT_TRUE(s.IncludeRemoveMedia);
  EXPECT_FALSE(s.IncludeCDdrive);
  EXPECT_EQ(s.IgnoreValueCount, 0);
  EXPECT_TRUE(s.IgnoreValues.empty());
  EXPECT_EQ(s.IgnoreKeyCount, 0);
  EXPECT_TRUE(s.IgnoreKeys.empty());
  EXPECT_FALSE(s.WindowMaximized);
  EXPECT_EQ(s.WindowLeft, (1024 - 600) / 2);
  EXPECT_EQ(s.WindowTop, (768 - 401) / 2);
  EXPECT_EQ(s.WindowWidth, 600);
  EXPECT_EQ(s.WindowHeight, 401);
  EXPECT_FALSE(s.RestorePoint);

  // Registry sections 1 to 22 start checked, 23 to 25 unchecked.
  MemoryCheckTree reg = RegistryTree();
  s.RestoreRegistryChecks(reg);
  WalkCheckTree(reg, [&](ICheckTree::Node n, ICheckTree::Node, int) {
    EXPECT_EQ(reg.Checked(n), reg.ImageIndex(n) <= 22) << reg.Text(n);
  });
  // Categories 1 to 10 start expanded; Google Chrome (11) has no slot.
  s.RestoreExpandedStates(tree);
  for (std::size_t i = 0; i < tree.TopCount(); ++i)
    EXPECT_EQ(tree.Expanded(tree.Top(i)), tree.Text(tree.Top(i)) != "Google Chrome") << tree.Text(tree.Top(i));
  EXPECT_FALSE(std::filesystem::exists(dir / "options.ini"));
}

TEST_F(OptionsSettingTest, CentredDefaultRoundsTowardZero) {
  MemoryCheckTree tree = CleanerTree();
  TOptionsSetting s;
  s.Load(Ini(), tree, TWindowDefaults{800, 600, 1001, 603});
  EXPECT_EQ(s.WindowLeft, -100);
  EXPECT_EQ(s.WindowTop, -1);
}

TEST_F(OptionsSettingTest, WipeNumberIsClamped) {
  for (auto [stored, loaded] : {std::pair{"0", 1}, std::pair{"11", 1}, std::pair{"-3", 1}, std::pair{"0x5", 5},
                                std::pair{"10", 10}, std::pair{"1", 1}, std::pair{"five", 1}}) {
    Write(std::string("[Options]\nWipeNumber=") + stored + "\n");
    EXPECT_EQ(Loaded().WipeNumber, loaded) << stored;
  }
}

TEST_F(OptionsSettingTest, BooleansReadAsIntegers) {
  Write("[Options]\nIsWipeFile=yes\nIsAskBeforeClear=yes\n");
  TOptionsSetting s = Loaded();
  EXPECT_FALSE(s.IsWipeFile);
  EXPECT_TRUE(s.IsAskBeforeClear);  // not a number: the default, true
  Write("[Options]\nIsWipeFile=2\nIsAskBeforeClear=0\n");
  s = Loaded();
  EXPECT_TRUE(s.IsWipeFile);
  EXPECT_FALSE(s.IsAskBeforeClear);
}

TEST_F(OptionsSettingTest, HotkeyCodeOutside16BitsKeepsTheDefault) {
  Write("[Hotkey]\nCharAscII=70000\nCharString=F9\n");
  EXPECT_EQ(Loaded().Hotkey.CharAscII, 116);
  Write("[Hotkey]\nCharAscII=0x78\n");
  EXPECT_EQ(Loaded().Hotkey.CharAscII, 0x78);
}

TEST_F(OptionsSettingTest, ScheduleSectionMatchesAnySpelling) {
  Write("[schedule]\nAutoClean=1\nCleanInterval=9\n");
  TOptionsSetting s = Loaded();
  EXPECT_TRUE(s.AutoClean);
  EXPECT_EQ(s.CleanInterval, 9);  // kept as stored; the schedule maps it

  std::filesystem::remove(dir / "options.ini");
  MemoryCheckTree tree = CleanerTree();
  Save(s, tree);
  EXPECT_NE(File().find("[SChedule]\nAutoClean=1\nCleanInterval=9\nStartClean=0\nShutdownClean=0\n"),
            std::string::npos);
}

TEST_F(OptionsSettingTest, MaximisedWindowReopensMaximised) {
  TOptionsSetting s;
  MemoryCheckTree tree = CleanerTree();
  Save(s, tree, {TWindowShowState::Maximized, 5, 6, 700, 500});
  EXPECT_NE(File().find("[Window]\nState=3\nLeft=5\nTop=6\nWidth=700\nHeight=500\n"), std::string::npos);

  TOptionsSetting loaded;
  loaded.WindowLeft = loaded.WindowTop = loaded.WindowWidth = loaded.WindowHeight = -12345;
  loaded.Load(Ini(), tree, kScreen);
  EXPECT_TRUE(loaded.WindowMaximized);
  EXPECT_EQ(loaded.WindowLeft, -12345);
  EXPECT_EQ(loaded.WindowTop, -12345);
  EXPECT_EQ(loaded.WindowWidth, -12345);
  EXPECT_EQ(loaded.WindowHeight, -12345);
}

TEST_F(OptionsSettingTest, MinimisedOrUnknownPlacementKeepsBounds) {
  TOptionsSetting s;
  MemoryCheckTree tree = CleanerTree();
  Save(s, tree, {TWindowShowState::Maximized, 1, 2, 3, 4});
  // A placement that cannot be read leaves the stored state alone but still stores bounds.
  Save(s, tree, {TWindowShowState::Unknown, 50, 60, 640, 480});
  EXPECT_NE(File().find("State=3\nLeft=50\nTop=60\nWidth=640\nHeight=480\n"), std::string::npos);

  Save(s, tree, {TWindowShowState::Minimized, 50, 60, 640, 480});
  TOptionsSetting loaded = Loaded();
  EXPECT_FALSE(loaded.WindowMaximized);
  EXPECT_EQ(loaded.WindowLeft, 50);
  EXPECT_EQ(loaded.WindowTop, 60);
  EXPECT_EQ(loaded.WindowWidth, 640);
  EXPECT_EQ(loaded.WindowHeight, 480);
}

TEST_F(OptionsSettingTest, SavedSelectionExample) {
  MemoryCheckTree tree = CleanerTree();
  for (auto path : {Names{"Internet Explorer"}, Names{"Internet Explorer", "Cookies"}, Names{"Windows"},
                    Names{"Windows", "Recent Documents"}})
    tree.SetChecked(tree.Find(path), true);
  TOptionsSetting s;
  Save(s, tree);
  EXPECT_EQ(s.SelectedCount, 4);
  EXPECT_NE(File().find("[NodeSelected]\n1=Internet Explorer\n2=Internet Explorer - Cookies\n3=Windows\n"
                        "4=Windows - Recent Documents\nSelectedCount=4\n"),
            std::string::npos);

  MemoryCheckTree fresh = CleanerTree();
  TOptionsSetting loaded = Loaded(fresh);
  EXPECT_EQ(loaded.SelectedCount, 4);
  EXPECT_EQ(fresh.CheckedNames(), (Names{"Internet Explorer", "Internet Explorer - Cookies", "Windows",
                                         "Windows - Recent Documents"}));
}

TEST_F(OptionsSettingTest, UnmatchedSelectionIsSkipped) {
  Write("[NodeSelected]\nSelectedCount=2\n1=Windows - Clipboard\n2=Windows - Defragment Everything\n");
  MemoryCheckTree tree = CleanerTree();
  Loaded(tree);
  EXPECT_EQ(tree.CheckedNames(), (Names{"Windows", "Windows - Clipboard"}));
}

TEST_F(OptionsSettingTest, SelectionNamesMatchExactly) {
  // An item's own text without its category, other letter case, and the category of
  // another item match nothing; the first "Cookies" under Opera matches only there.
  Write("[NodeSelected]\nSelectedCount=4\n1=Cookies\n2=windows - clipboard\n3=Opera - Cookies\n4=\n");
  MemoryCheckTree tree = CleanerTree();
  Loaded(tree);
  EXPECT_EQ(tree.CheckedNames(), (Names{"Opera", "Opera - Cookies"}));
}

TEST_F(OptionsSettingTest, FirstMatchEndsItsGroup) {
  // Two categories of the same text, each with two items of the same text.
  MemoryCheckTree tree;
  for (int c = 0; c < 2; ++c) {
    auto cat = tree.AddTop("A", c + 1);
    tree.AddChild(cat, "x");
    tree.AddChild(cat, "x");
  }
  Write("[NodeSelected]\nSelectedCount=1\n1=A - x\n");
  Loaded(tree);
  // The first "x" of each category: a match on the second level ends only its own group.
  std::vector<bool> marks;
  WalkCheckTree(tree, [&](ICheckTree::Node n, ICheckTree::Node, int depth) {
    if (depth == 1) marks.push_back(tree.Checked(n));
  });
  EXPECT_EQ(marks, (std::vector<bool>{true, false, true, false}));

  // A top-level match ends the whole walk.
  Write("[NodeSelected]\nSelectedCount=1\n1=A\n");
  Loaded(tree);
  EXPECT_TRUE(tree.Checked(tree.Top(0)));
  EXPECT_FALSE(tree.Checked(tree.Top(1)));
}

TEST_F(OptionsSettingTest, ShorterSaveLeavesOldKeysUnread) {
  MemoryCheckTree tree = CleanerTree();
  for (auto path : {Names{"Windows"}, Names{"Windows", "Recent Documents"}, Names{"Windows", "Start Run"},
                    Names{"Windows", "Clipboard"}, Names{"Windows", "Temporary Files"}})
    tree.SetChecked(tree.Find(path), true);
  TOptionsSetting s;
  Save(s, tree);
  EXPECT_EQ(s.SelectedCount, 5);

  tree.SetChecked(tree.Find({"Windows", "Start Run"}), false);
  tree.SetChecked(tree.Find({"Windows", "Clipboard"}), false);
  tree.SetChecked(tree.Find({"Windows", "Temporary Files"}), false);
  Save(s, tree);
  EXPECT_EQ(s.SelectedCount, 2);
  TIniFile ini = Ini();
  EXPECT_EQ(ini.ReadInteger("NodeSelected", "SelectedCount", -1), 2);
  EXPECT_EQ(ini.ReadString("NodeSelected", "3", ""), "Windows - Start Run");
  EXPECT_EQ(ini.ReadString("NodeSelected", "5", ""), "Windows - Temporary Files");

  MemoryCheckTree fresh = CleanerTree();
  Loaded(fresh);
  EXPECT_EQ(fresh.CheckedNames(), (Names{"Windows", "Windows - Recent Documents"}));
}

TEST_F(OptionsSettingTest, EverythingSurvivesSaveAndLoad) {
  TOptionsSetting s;
  s.IsAskBeforeClear = false;
  s.IsWipeFile = true;
  s.WipeNumber = 7;
  s.EnableHotkey = true;
  s.Hotkey = {false, true, true, "Pause", 19};
  s.EnableIE = s.EnableFirefox = true;
  s.AutoClean = s.ShutdownClean = true;
  s.CleanInterval = 3;
  s.FastScan = false;
  s.FirstNodeExpand.fill(false);
  s.FirstNodeExpand[1] = true;
  s.ShowLogRecycleBin = true;
  s.OutputDirectory = "C:\\My Backups\\";
  s.DeleteBackupFile = false;
  s.IncludeRemoveMedia = false;
  s.IncludeCDdrive = true;
  s.IgnoreValues = {"C:\\a.dll", " leading space", "\"quoted\"", ""};
  s.IgnoreValueCount = 99;  // out of step with the list: the list wins
  s.IgnoreKeys = {"HKEY_CURRENT_USER\\Software\\X"};
  s.IgnoreKeyCount = 1;
  s.RestorePoint = true;
  MemoryCheckTree tree = CleanerTree();
  Save(s, tree, {TWindowShowState::Normal, -4, 7, 800, 555});
  EXPECT_EQ(s.IgnoreValueCount, 4);

  TOptionsSetting l = Loaded();
  EXPECT_EQ(l.IsAskBeforeClear, false);
  EXPECT_EQ(l.IsWipeFile, true);
  EXPECT_EQ(l.WipeNumber, 7);
  EXPECT_EQ(l.EnableHotkey, true);
  EXPECT_EQ(l.Hotkey.IsCtrl, false);
  EXPECT_EQ(l.Hotkey.IsShift, true);
  EXPECT_EQ(l.Hotkey.IsAlt, true);
  EXPECT_EQ(l.Hotkey.CharString, "Pause");
  EXPECT_EQ(l.Hotkey.CharAscII, 19);
  EXPECT_TRUE(l.EnableIE && l.EnableFirefox && !l.EnableNetscape && !l.EnableOpera);
  EXPECT_TRUE(l.AutoClean && l.ShutdownClean && !l.StartClean);
  EXPECT_EQ(l.CleanInterval, 3);
  EXPECT_FALSE(l.FastScan);
  EXPECT_EQ(l.FirstNodeExpand, s.FirstNodeExpand);
  EXPECT_TRUE(l.ShowLogRecycleBin && !l.ShowLogTempInternetFiles);
  EXPECT_EQ(l.OutputDirectory, "C:\\My Backups\\");
  EXPECT_FALSE(l.DeleteBackupFile || l.IncludeRemoveMedia);
  EXPECT_TRUE(l.IncludeCDdrive);
  EXPECT_EQ(l.IgnoreValues, s.IgnoreValues);
  EXPECT_EQ(l.IgnoreValueCount, 4);
  EXPECT_EQ(l.IgnoreKeys, s.IgnoreKeys);
  EXPECT_EQ(l.IgnoreKeyCount, 1);
  EXPECT_FALSE(l.WindowMaximized);
  EXPECT_EQ(l.WindowLeft, -4);
  EXPECT_EQ(l.WindowTop, 7);
  EXPECT_EQ(l.WindowWidth, 800);
  EXPECT_EQ(l.WindowHeight, 555);
  EXPECT_TRUE(l.RestorePoint);
}

TEST_F(OptionsSettingTest, SaveWritesSectionsInOrder) {
  TOptionsSetting s = Loaded();
  MemoryCheckTree tree = CleanerTree();
  Save(s, tree);
  EXPECT_EQ(TIniFile(dir / "options.ini").ReadSections(),
            (Names{"Options", "Hotkey", "SChedule", "NodeSelected", "FirstNodeExpand", "Settings", "TreeViewNodeCheck",
                   "IgnoreValue", "IgnoreKey", "Window"}));
  EXPECT_EQ(TIniFile(dir / "options.ini").ReadSection("Options"),
            (Names{"IsAskBeforeClear", "IsWipeFile", "WipeNumber", "OutputDirectory", "DeleteBackupFile",
                   "IncludeRemoveMedia", "IncludeCDdrive", "RestorePoint"}));
}

TEST_F(OptionsSettingTest, RegistrySectionsAreKeptByImageIndex) {
  MemoryCheckTree reg = RegistryTree();
  WalkCheckTree(reg, [&](ICheckTree::Node n, ICheckTree::Node, int) { reg.SetChecked(n, reg.ImageIndex(n) % 2 == 0); });
  TOptionsSetting s;
  TIniFile ini = Ini();
  s.Save(ini, CleanerTree(), reg, {});
  for (int i = 1; i <= 22; ++i)
    EXPECT_EQ(ini.ReadString("TreeViewNodeCheck", std::to_string(i), "?"), i % 2 == 0 ? "1" : "0") << i;
  EXPECT_FALSE(ini.ValueExists("TreeViewNodeCheck", "23"));
  EXPECT_FALSE(ini.ValueExists("Window", "State"));

  MemoryCheckTree fresh = RegistryTree();
  WalkCheckTree(fresh, [&](ICheckTree::Node n, ICheckTree::Node, int) { fresh.SetChecked(n, true); });
  TOptionsSetting l = Loaded();
  l.RestoreRegistryChecks(fresh);
  WalkCheckTree(fresh, [&](ICheckTree::Node n, ICheckTree::Node, int) {
    int i = fresh.ImageIndex(n);
    EXPECT_EQ(fresh.Checked(n), i <= 22 && i % 2 == 0) << fresh.Text(n);
  });
}

TEST_F(OptionsSettingTest, ExpandedStatesByImageIndex) {
  MemoryCheckTree tree = CleanerTree();
  for (std::size_t i = 0; i < tree.TopCount(); ++i) tree.SetExpanded(tree.Top(i), true);
  tree.SetExpanded(tree.Find({"Windows"}), false);
  TOptionsSetting s;
  s.FirstNodeExpand.fill(false);
  s.StoreExpandedStates(tree);
  for (int i = 1; i <= 10; ++i) EXPECT_EQ(s.FirstNodeExpand[static_cast<std::size_t>(i - 1)], i != 2) << i;

  MemoryCheckTree fresh = CleanerTree();
  s.RestoreExpandedStates(fresh);
  for (std::size_t i = 0; i < fresh.TopCount(); ++i) {
    const std::string text = fresh.Text(fresh.Top(i));
    EXPECT_EQ(fresh.Expanded(fresh.Top(i)), text != "Windows" && text != "Google Chrome") << text;
  }
}

TEST_F(OptionsSettingTest, IgnoreListsWithGapsAndDamagedCounts) {
  Write("[IgnoreValue]\nCount=3\nValue1=a\nValue3=c\nValue02=not read\n"
        "[IgnoreKey]\nCount=2000000000\nkey1=K1\nKEY2=K2\n");
  TOptionsSetting s = Loaded();
  EXPECT_EQ(s.IgnoreValues, (Names{"a", "", "c"}));
  EXPECT_EQ(s.IgnoreValueCount, 3);
  EXPECT_EQ(s.IgnoreKeys, (Names{"K1", "K2"}));
  EXPECT_EQ(s.IgnoreKeyCount, 2);

  Write("[IgnoreValue]\nCount=-4\nValue1=a\n[IgnoreKey]\nCount=1\nKey1=K1\nKey2=beyond the count\n");
  s = Loaded();
  EXPECT_TRUE(s.IgnoreValues.empty());
  EXPECT_EQ(s.IgnoreKeys, (Names{"K1"}));
}

TEST_F(OptionsSettingTest, FailedWriteEndsTheSave) {
  TOptionsSetting s = Loaded();
  MemoryCheckTree tree = CleanerTree();
  const std::string expected = "Unable to write to " + (dir / "options.ini").string();

  TIniFile failing(dir / "options.ini", std::make_shared<FaultyEnv>(FaultyEnv::Fault::Create));
  try {
    s.Save(failing, tree, RegistryTree(), {});
    ADD_FAILURE() << "save succeeded";
  } catch (const EIniFileError& e) {
    EXPECT_EQ(e.what(), expected);
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "options.ini"));

  // Failing from the tenth write on: the first nine keys are in the file, nothing after.
  TIniFile late(dir / "options.ini", std::make_shared<FaultyEnv>(FaultyEnv::Fault::Create, 10));
  EXPECT_THROW(s.Save(late, tree, RegistryTree(), {}), EIniFileError);
  TIniFile ini = Ini();
  EXPECT_TRUE(ini.ValueExists("Hotkey", "CharAscII"));     // ninth
  EXPECT_FALSE(ini.ValueExists("Hotkey", "EnableIE"));     // tenth
  EXPECT_FALSE(ini.ValueExists("Options", "RestorePoint"));
  EXPECT_FALSE(ini.SectionExists("Window"));
}

}  // namespace
}  // namespace kestrove
