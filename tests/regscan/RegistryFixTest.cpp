// Fix Errors on a memory target: every kind of row, the backup that gives back what was
// removed, and the ways a Fix stops without losing anything.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "../cleaner/CleanerTestSupport.h"
#include "app/Helpers.h"
#include "platform/TRegistry.h"
#include "platform/memory/MemoryTarget.h"
#include "regscan/RegFile.h"
#include "regscan/RegistryFix.h"

namespace kestrove {
namespace {

namespace fs = std::filesystem;
using memory::MemoryTarget;

TScanResult Row(const std::string& location, TLocationKind kind, const std::string& data = "", bool selected = true) {
  return {"problem", data, location, kind, selected};
}

class RegistryFixTest : public ::testing::Test {
 protected:
  void SetUp() override {
    settings.BackupFolder = t.Folder() / "Backup";
    // Every type of data, names with quotes and backslashes, text beyond ASCII.
    const std::string app = "Software\\Gone App";
    t.SetString(HKEY_CURRENT_USER, app, "Path", "C:\\gone\\app.exe");
    t.SetExpandString(HKEY_CURRENT_USER, app, "Expand", "%ProgramFiles%\\gone");
    t.SetValue(HKEY_CURRENT_USER, app, "Multi", REG_MULTI_SZ, Utf8ToUtf16Le(std::string("a\0b\0\0", 5), false));
    t.SetDword(HKEY_CURRENT_USER, app + "\\Sub", "Count", 10);
    t.SetValue(HKEY_CURRENT_USER, app + "\\Sub", "Q\"uo\\te", REG_QWORD, Bytes{1, 2, 3, 4, 5, 6, 7, 8});
    t.SetValue(HKEY_CURRENT_USER, app + "\\Sub", "None", REG_NONE, Bytes{});
    t.SetValue(HKEY_CURRENT_USER, app + "\\Sub", "Empty", REG_BINARY, Bytes{});
    t.SetString(HKEY_CURRENT_USER, app + "\\Sub", "Grüße", "日本語");
    t.SetString(HKEY_LOCAL_MACHINE, "Software\\Run", "Gone", "C:\\gone.exe");
    t.SetString(HKEY_LOCAL_MACHINE, "Software\\Run", "", "C:\\default.exe");
    t.SetString(HKEY_LOCAL_MACHINE, "Software\\Run", "Kept", "C:\\kept.exe");
    t.SetString(HKEY_CURRENT_USER, "Software\\Assist", ROT13("UEME_RUNPATH:C:\\gone.exe"), "x");
    t.SetString(HKEY_CURRENT_USER, "Software\\Classes\\.gone", "", "gonefile");
    t.WriteFile("C:\\users\\user\\Desktop\\Gone.lnk", "L");
  }

  // Every value below the keys a Fix here touches, as "root\key\name=type:hex".
  std::vector<std::string> Snapshot() {
    std::vector<std::string> out;
    for (auto [root, key] : {std::pair{HKEY_CURRENT_USER, std::string("Software")},
                             std::pair{HKEY_LOCAL_MACHINE, std::string("Software\\Run")}}) {
      for (const TRegFileEntry& e : CollectRegSection(*t.Registry(), root, true, "", key)) {
        std::ostringstream line;
        if (e.kind == TRegFileEntry::kKey) line << "[" << e.path << "]";
        else line << e.name << "=" << e.type << ":" << std::string(e.data.begin(), e.data.end());
        out.push_back(line.str());
      }
    }
    return out;
  }

  MemoryTarget t;
  testing::TScriptedPrompt prompt;
  TFixSettings settings;
  const std::chrono::system_clock::time_point start = std::chrono::system_clock::now();
};

TEST_F(RegistryFixTest, EveryKindIsRemovedAndTheBackupGivesItBack) {
  const auto before = Snapshot();
  std::vector<TScanResult> rows = {
      Row("HKEY_CURRENT_USER\\Software\\Gone App", TLocationKind::lkKey),
      Row("HKEY_LOCAL_MACHINE\\Software\\Run\\Gone", TLocationKind::lkPathValue),
      Row("HKEY_LOCAL_MACHINE\\Software\\Run", TLocationKind::lkDefaultValue),
      Row("HKEY_LOCAL_MACHINE\\Software\\Run", TLocationKind::lkDataValue, "Kept", false),  // not selected
      Row("HKEY_CURRENT_USER\\Software\\Assist", TLocationKind::lkEncodedDataValue, "UEME_RUNPATH:C:\\gone.exe"),
      Row("HKEY_CURRENT_USER\\Software\\Classes", TLocationKind::lkDataSubkey, ".gone"),
      Row("C:\\users\\user\\Desktop\\Gone.lnk", TLocationKind::lkShortcutFile),
      Row("HKEY_CURRENT_USER\\Software\\No Such Key", TLocationKind::lkKey),  // gone already
      Row("HKCU\\Software\\Run", TLocationKind::lkKey),                        // not a root name here
      Row("HKEY_USERS\\", TLocationKind::lkDataSubkey, t.Registry()->UserSid()),  // a hive's root
      Row("NoBackslash", TLocationKind::lkKey),                                // names nothing: stays
  };
  TRegistryFix fix(t, prompt);
  const TFixResult r = fix.Run(rows, settings, start);
  EXPECT_EQ(r.Outcome, TFixOutcome::Fixed) << r.Error;
  EXPECT_EQ(r.Removed, 6);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].Data, "Kept");
  EXPECT_EQ(rows[1].Location, "NoBackslash");
  EXPECT_TRUE(prompt.asked.size() == 1 && prompt.asked[0].Text.find("can not find the backup folder.") != std::string::npos);
  EXPECT_FALSE(t.Registry()->KeyExists(HKEY_CURRENT_USER, "Software\\Gone App"));
  EXPECT_TRUE(t.Registry()->QueryValue(HKEY_LOCAL_MACHINE, "Software\\Run", "Kept"));
  EXPECT_TRUE(t.Registry()->KeyExists(HKEY_CURRENT_USER, "Software"));
  EXPECT_FALSE(fs::exists(*t.HostPath("C:\\users\\user\\Desktop\\Gone.lnk")));
  EXPECT_EQ(r.BackupFile.parent_path(), settings.BackupFolder);
  EXPECT_EQ(r.BackupFile.extension(), ".reg");

  // What was removed comes back, with its types and data, from the backup alone.
  std::ifstream in(r.BackupFile, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<TRegFileProblem> problems;
  const auto contents = ParseRegFile(bytes, problems);
  ASSERT_TRUE(contents) << (problems.empty() ? "" : problems[0].text);
  EXPECT_FALSE(ApplyRegFile(*t.Registry(), *contents));
  EXPECT_EQ(Snapshot(), before);
}

// Rows may name one item twice (HKEY_CURRENT_USER and HKEY_USERS\<SID>) or an item inside a
// key another row removes: each item goes once and no such row counts as failed. A row whose
// item cannot be removed is counted, so that no caller reports every entry handled.
TEST_F(RegistryFixTest, OneItemOfSeveralRowsGoesOnceAndWhatCannotGoIsCounted) {
  const std::string users = "HKEY_USERS\\" + t.Registry()->UserSid();
  std::vector<TScanResult> rows = {
      Row("HKEY_CURRENT_USER\\Software\\Gone App\\Path", TLocationKind::lkPathValue),
      Row(users + "\\Software\\Gone App\\PATH", TLocationKind::lkPathValue),
      Row(users + "\\software\\gone app\\sub\\Count", TLocationKind::lkPathValue),
      Row("HKEY_CURRENT_USER\\Software\\Gone App\\Sub", TLocationKind::lkKey),
      Row("Q:\\outside\\Gone.lnk", TLocationKind::lkShortcutFile),
  };
  TRegistryFix fix(t, prompt);
  const TFixResult r = fix.Run(rows, settings, start);
  EXPECT_EQ(r.Outcome, TFixOutcome::Fixed) << r.Error;
  EXPECT_EQ(r.Rows, 5);
  EXPECT_EQ(r.Removed, 2);
  EXPECT_EQ(r.NotRemoved, 1);
  EXPECT_TRUE(rows.empty());
  EXPECT_FALSE(t.Registry()->QueryValue(HKEY_CURRENT_USER, "Software\\Gone App", "Path"));
  std::ifstream in(r.BackupFile, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<TRegFileProblem> problems;
  const auto contents = ParseRegFile(bytes, problems);
  ASSERT_TRUE(contents);
  EXPECT_EQ(std::count_if(contents->entries.begin(), contents->entries.end(),
                          [](const TRegFileEntry& e) { return e.kind == TRegFileEntry::kValue && e.name == "Path"; }),
            1);
}

TEST_F(RegistryFixTest, AFixThatCannotBackUpStopsAtThatRowAndKeepsIt) {
  std::vector<TScanResult> rows = {Row("HKEY_LOCAL_MACHINE\\Software\\Run\\Kept", TLocationKind::lkPathValue),
                                   Row("HKEY_LOCAL_MACHINE\\Software\\Run\\Gone", TLocationKind::lkPathValue)};
  fs::create_directories(MakeBackupFileName(settings.BackupFolder, start));  // the file cannot be made
  TRegistryFix fix(t, prompt);
  const TFixResult r = fix.Run(rows, settings, start);
  EXPECT_EQ(r.Outcome, TFixOutcome::StoppedAtRow);
  ASSERT_EQ(rows.size(), 2u);  // the last row is handled first, and the Fix ends there
  EXPECT_TRUE(t.Registry()->QueryValue(HKEY_LOCAL_MACHINE, "Software\\Run", "Gone"));
  EXPECT_TRUE(t.Registry()->QueryValue(HKEY_LOCAL_MACHINE, "Software\\Run", "Kept"));
}

TEST_F(RegistryFixTest, TheBackupFolderQuestionAndAnEmptyList) {
  std::vector<TScanResult> rows = {Row("HKEY_LOCAL_MACHINE\\Software\\Run\\Gone", TLocationKind::lkPathValue)};
  prompt.answers = {TMsgResult::No};
  EXPECT_EQ(TRegistryFix(t, prompt).Run(rows, settings, start).Outcome, TFixOutcome::FolderDeclined);
  EXPECT_FALSE(fs::exists(settings.BackupFolder));
  std::ofstream(t.Folder() / "plainfile") << "x";
  settings.BackupFolder = t.Folder() / "plainfile" / "Backup";  // below a file: cannot be made
  const TFixResult notMade = TRegistryFix(t, prompt).Run(rows, settings, start);
  EXPECT_EQ(notMade.Outcome, TFixOutcome::FolderNotCreated);
  EXPECT_EQ(notMade.Error, "Cannot create " + settings.BackupFolder.string());
  EXPECT_EQ(rows.size(), 1u);
  std::vector<TScanResult> none;
  settings.BackupFolder = t.Folder();
  EXPECT_EQ(TRegistryFix(t, prompt).Run(none, settings, start).Outcome, TFixOutcome::NoRows);
  EXPECT_TRUE(t.Registry()->QueryValue(HKEY_LOCAL_MACHINE, "Software\\Run", "Gone"));
}

// The restore-point dialog is asked only with the setting on and on Windows versions 9 to 12;
// its Cancel (a refused restore point answered No) ends Fix before anything is changed.
TEST_F(RegistryFixTest, ACancelledRestorePointStopsFixBeforeAnyChange) {
  class TAnswer : public IRestorePointDialog {
   public:
    bool Run() override {
      ++asked;
      return answer;
    }
    bool answer = false;
    int asked = 0;
  } dialog;
  const auto before = Snapshot();
  std::vector<TScanResult> rows = {Row("HKEY_LOCAL_MACHINE\\Software\\Run\\Gone", TLocationKind::lkPathValue),
                                   Row("HKEY_CURRENT_USER\\Software\\Gone App", TLocationKind::lkKey)};
  settings.RestorePoint = true;
  for (int version : {9, 12}) {
    settings.WindowsVersion = version;
    TRegistryFix fix(t, prompt, &dialog);
    const TFixResult r = fix.Run(rows, settings, start);
    EXPECT_EQ(r.Outcome, TFixOutcome::RestorePointCancelled);
    EXPECT_EQ(rows.size(), 2u);
  }
  EXPECT_TRUE(!fs::exists(settings.BackupFolder) || fs::is_empty(settings.BackupFolder));
  EXPECT_EQ(dialog.asked, 2);
  EXPECT_EQ(Snapshot(), before);
  // Below 9 (8 is Windows Me) the dialog is not asked, and Fix goes on.
  settings.WindowsVersion = 8;
  EXPECT_EQ(TRegistryFix(t, prompt, &dialog).Run(rows, settings, start).Outcome, TFixOutcome::Fixed);
  EXPECT_EQ(dialog.asked, 2);
  EXPECT_TRUE(rows.empty());
}

// Every key below `path` with its values, exactly as the store spells and holds them.
std::vector<std::string> Tree(RegistryStore& store, TRootKey root, const std::string& path) {
  std::vector<std::string> out;
  std::vector<std::string> stack{path};
  while (!stack.empty()) {
    const std::string key = stack.back();
    stack.pop_back();
    out.push_back("[" + key + "]");
    for (const RegValue& v : store.Values(root, key).value_or(std::vector<RegValue>{}))
      out.push_back("\"" + v.name + "\"=" + std::to_string(v.type) + ":" + std::string(v.data.begin(), v.data.end()));
    for (const std::string& sub : store.SubKeyNames(root, key).value_or(std::vector<std::string>{}))
      stack.push_back(key + "\\" + sub);
  }
  return out;
}

// What a Fix removes, key by key and value by value, comes back from its backup byte for byte:
// names the file must quote or escape, text beyond the code page, text data that is not a
// plain terminated string, every type, big and empty data, wide and deep trees.
TEST(RegistryFixBackup, HardNamesAndDataComeBackExactly) {
  const std::string emoji = "\xF0\x9F\x98\x80";
  auto u16 = [](std::string_view s) { return Utf8ToUtf16Le(s, true); };
  Bytes big(10000);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = std::uint8_t(i * 7);
  const std::vector<RegValue> values = {
      {"", REG_SZ, u16("default")},
      {"Quote\"d", REG_SZ, u16("say \"hi\"")},
      {"Back\\slash\\", REG_SZ, u16("C:\\dir\\")},
      {"Eq=ual", REG_SZ, u16("a=b")},
      {"[brack]", REG_SZ, u16("[x]")},
      {"]", REG_SZ, u16("]")},
      {"@", REG_SZ, u16("at")},
      {"  spaced  ", REG_SZ, u16("  x  ")},
      {";semi", REG_SZ, u16(";")},
      {"Tab\tName", REG_SZ, u16("t\tab")},
      {std::string("Nul\0Name", 8), REG_SZ, u16("n")},
      {"caf\xC3\xA9", REG_SZ, u16("\xC3\xA9t\xC3\xA9")},
      {"\xE6\x97\xA5\xE6\x9C\xAC", REG_SZ, u16("\xE6\x97\xA5\xE6\x9C\xAC")},
      {"smile" + emoji, REG_EXPAND_SZ, u16(emoji + "%TEMP%")},
      {"Line\nBreak", REG_SZ, u16("x")},
      {"Carriage\rReturn", REG_DWORD, {1, 0, 0, 0}},
      {"EmbeddedZero", REG_SZ, {'a', 0, 0, 0, 'b', 0, 0, 0}},
      {"OddCount", REG_SZ, {'a', 0, 'b'}},
      {"NoTerminator", REG_SZ, {'a', 0, 'b', 0}},
      {"EmptySz", REG_SZ, {}},
      {"OnlyTerminator", REG_SZ, {0, 0}},
      {"LoneSurrogate", REG_SZ, {0x00, 0xD8, 0, 0}},
      {"C1", REG_SZ, {0x81, 0, 0x80, 0, 0, 0}},
      {"LineData", REG_SZ, u16("one\r\ntwo")},
      {"Expand", REG_EXPAND_SZ, u16("%SystemRoot%\\x")},
      {"ExpandOdd", REG_EXPAND_SZ, {'%', 0, 'A'}},
      {"Multi", REG_MULTI_SZ, {'a', 0, 0, 0, 0, 0, 'b', 0, 0, 0, 0, 0}},
      {"MultiEmpty", REG_MULTI_SZ, {0, 0, 0, 0}},
      {"MultiWide", REG_MULTI_SZ, {0x3B, 0x04, 0, 0, 0, 0}},
      {"Dword", REG_DWORD, {0xFF, 0xFF, 0xFF, 0xFF}},
      {"DwordShort", REG_DWORD, {1}},
      {"DwordLong", REG_DWORD, {1, 2, 3, 4, 5}},
      {"BigEndian", REG_DWORD_BIG_ENDIAN, {0, 0, 0, 1}},
      {"Qword", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 0x80}},
      {"Bin0", REG_BINARY, {}},
      {"Bin10000", REG_BINARY, big},
      {"None", REG_NONE, {}},
      {"NoneData", REG_NONE, {0, 1}},
      {"Unknown", 0x12345, {9, 8, 7}},
      {"TypeMax", 0xFFFFFFFF, {}},
  };
  const std::vector<std::string> keyNames = {"Quote\"Key",     "Eq=Key", "[Bracket]", "]end", "-dash", " spaced ",
                                             "caf\xC3\xA9",    "\xE6\x97\xA5\xE6\x9C\xAC", "smile" + emoji,
                                             "MiXeD Case",     "\xC3\x89T\xC3\x89", "Empty"};
  MemoryTarget t;
  RegistryStore& store = *t.Registry();
  const std::string tree = "Software\\Hard Tree", vals = "Software\\Hard Values", bare = "Software\\No Default";
  for (const std::string& key : {tree, vals})
    for (const RegValue& v : values)
      ASSERT_TRUE(store.CreateKey(HKEY_CURRENT_USER, key) && store.SetValue(HKEY_CURRENT_USER, key, v.name, v.type, v.data));
  for (const std::string& name : keyNames) ASSERT_TRUE(store.CreateKey(HKEY_CURRENT_USER, tree + "\\" + name));
  // Names that differ in case only are one key: the spelling the store keeps must come back.
  ASSERT_TRUE(store.CreateKey(HKEY_CURRENT_USER, tree + "\\mixed case\\Child"));
  ASSERT_TRUE(store.SetValue(HKEY_CURRENT_USER, tree + "\\" + keyNames[0], "", REG_DWORD, {7, 0, 0, 0}));
  for (int i = 0; i < 2000; ++i)
    ASSERT_TRUE(store.CreateKey(HKEY_CURRENT_USER, tree + "\\Many") &&
                store.SetValue(HKEY_CURRENT_USER, tree + "\\Many", "v" + std::to_string(i), REG_DWORD,
                               {std::uint8_t(i), std::uint8_t(i >> 8), 0, 0}));
  std::string deep = tree;
  for (int i = 0; i < 520; ++i) deep += "\\d" + std::to_string(i);  // deeper than Windows allows
  ASSERT_TRUE(store.CreateKey(HKEY_CURRENT_USER, deep) && store.SetValue(HKEY_CURRENT_USER, deep, "", REG_SZ, u16("deep")));
  ASSERT_TRUE(store.CreateKey(HKEY_CURRENT_USER, bare) && store.SetValue(HKEY_CURRENT_USER, bare, "v", REG_SZ, u16("x")));
  const auto treeBefore = Tree(store, HKEY_CURRENT_USER, tree);
  const auto valsBefore = Tree(store, HKEY_CURRENT_USER, vals);
  const auto bareBefore = Tree(store, HKEY_CURRENT_USER, bare);

  // Rows go last to first: plain values first (a "REGEDIT4" file), the rest turns it Unicode.
  std::vector<TScanResult> rows = {Row("HKEY_CURRENT_USER\\" + tree, TLocationKind::lkKey),
                                   Row("HKEY_CURRENT_USER\\" + vals, TLocationKind::lkDefaultValue),
                                   Row("HKEY_CURRENT_USER\\" + bare, TLocationKind::lkDefaultValue)};
  for (auto it = values.rbegin(); it != values.rend(); ++it)
    if (!it->name.empty()) rows.push_back(Row("HKEY_CURRENT_USER\\" + vals, TLocationKind::lkDataValue, it->name));
  testing::TScriptedPrompt prompt;
  TFixSettings settings;
  settings.BackupFolder = t.Folder() / "Backup";
  fs::create_directories(settings.BackupFolder);
  const TFixResult r = TRegistryFix(t, prompt).Run(rows, settings);
  ASSERT_EQ(r.Outcome, TFixOutcome::Fixed) << r.Error;
  EXPECT_EQ(r.Removed, int(values.size()) + 1);  // the missing default value of `bare` is no removal
  EXPECT_FALSE(store.KeyExists(HKEY_CURRENT_USER, tree));
  EXPECT_EQ(Tree(store, HKEY_CURRENT_USER, vals), std::vector<std::string>{"[" + vals + "]"});

  std::ifstream in(r.BackupFile, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<TRegFileProblem> problems;
  const auto contents = ParseRegFile(bytes, problems);
  ASSERT_TRUE(contents) << problems[0].line << ": " << problems[0].text;
  EXPECT_TRUE(contents->unicode);
  EXPECT_FALSE(ApplyRegFile(store, *contents));
  EXPECT_EQ(Tree(store, HKEY_CURRENT_USER, tree), treeBefore);
  EXPECT_EQ(Tree(store, HKEY_CURRENT_USER, vals), valsBefore);
  EXPECT_EQ(Tree(store, HKEY_CURRENT_USER, bare), bareBefore);

  // A key line takes no escapes: a key below with a line break in its name cannot be saved,
  // so the Fix stops at that row and removes nothing of it.
  ASSERT_TRUE(store.CreateKey(HKEY_CURRENT_USER, tree + "\\Line\nBreak"));
  const auto withBreak = Tree(store, HKEY_CURRENT_USER, tree);
  std::vector<TScanResult> more = {Row("HKEY_CURRENT_USER\\" + tree, TLocationKind::lkKey)};
  EXPECT_EQ(TRegistryFix(t, prompt).Run(more, settings).Outcome, TFixOutcome::StoppedAtRow);
  EXPECT_EQ(more.size(), 1u);
  EXPECT_EQ(Tree(store, HKEY_CURRENT_USER, tree), withBreak);
}

TEST(RegistryFixName, BackupFileNameIsTheRunsDateAndTime) {
  std::tm tm{};
  tm.tm_year = 2010 - 1900;
  tm.tm_mon = 2;
  tm.tm_mday = 7;
  tm.tm_hour = 9;
  tm.tm_min = 15;
  tm.tm_sec = 5;
  tm.tm_isdst = -1;
  const auto when = std::chrono::system_clock::from_time_t(std::mktime(&tm));
  EXPECT_EQ(MakeBackupFileName("/b", when), fs::path("/b/2010_03_07_091505.reg"));
}

}  // namespace
}  // namespace kestrove
